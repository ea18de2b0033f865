#include "dispatch_fixture.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>

#include "common/schedule_service.h"
#include "component/surface.h"

extern "C" HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID *ppv);

namespace dispatch_test {

// The component reads the Windows directory once per thread, so the tests of
// this process share one; each test empties it and gets its own registry.
void StoreFixture::SetUp() {
    char tmpl[] = "/tmp/velqosch-dispatch-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    static const std::string windows = [] {
        static char shared[] = "/tmp/velqosch-dispatch-windows-XXXXXX";
        if (!mkdtemp(shared)) return std::string("/nonexistent");
        std::atexit([] { std::system(("/bin/rm -rf '" + std::string(shared) + "'").c_str()); });
        return std::string(shared);
    }();
    setenv("VELQOSCH_WINDIR", windows.c_str(), 1);
    setenv("VELQOSCH_REGISTRY", (dir_ + "/registry").c_str(), 1);
    setenv("VELQOSCH_SERVICE", VELQO_DAEMON, 1);
    windows_ = windows;
}

void StoreFixture::TearDown() {
    test_service::Stop();
    const std::string cmd = "/bin/rm -rf '" + dir_ + "' '" + windows_ + "/Tasks'/*.job";
    if (std::system(cmd.c_str()) != 0) ADD_FAILURE() << "could not empty " << dir_;
}

velqosch::ComRef<IDispatch> StoreFixture::NewScheduler() {
    velqosch::ComRef<IClassFactory> factory;
    EXPECT_EQ(
        DllGetClassObject(TaskScheduler::CLSID_Scheduler, IID_IClassFactory, reinterpret_cast<void **>(factory.Out())),
        S_OK);
    velqosch::ComRef<IDispatch> scheduler;
    if (factory) {
        EXPECT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void **>(scheduler.Out())), S_OK);
    }
    return scheduler;
}

}  // namespace dispatch_test
