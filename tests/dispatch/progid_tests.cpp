// A client that knows nothing of the component but its ProgID: the library
// registered through its own DllRegisterServer, created by name through the
// runtime, driven through IDispatch alone, and gone from the registry after
// DllUnregisterServer.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "common/store.h"
#include "late.h"

using namespace late;

namespace {

constexpr GUID kSchedulerClsid = {0x24CF4E3E, 0xAED2, 0x423C, {0xAA, 0x8F, 0x5E, 0x87, 0xE7, 0xBF, 0xC4, 0x01}};

HRESULT CallEntry(const char *entry) {
    void *library = dlopen(VELQO_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (!library) return E_FAIL;
    auto fn = reinterpret_cast<HRESULT (*)()>(dlsym(library, entry));
    const HRESULT hr = fn ? fn() : E_FAIL;
    dlclose(library);
    return hr;
}

using ByProgId = test_store::Store;

TEST_F(ByProgId, RegisteredLibraryIsCreatedByNameAndDrivenLateBound) {
    CLSID clsid{};
    EXPECT_EQ(CLSIDFromProgID(u"TaskScheduler.Scheduler", &clsid), CO_E_CLASSSTRING);
    ASSERT_EQ(CallEntry("DllRegisterServer"), S_OK);
    ASSERT_EQ(CLSIDFromProgID(u"TaskScheduler.Scheduler", &clsid), S_OK);
    EXPECT_TRUE(IsEqualGUID(clsid, kSchedulerClsid));
    // The other classes are registered, but no client can make one.
    CLSID tasksClsid{};
    ASSERT_EQ(CLSIDFromProgID(u"TaskScheduler.Tasks", &tasksClsid), S_OK);
    IUnknown *refused = reinterpret_cast<IUnknown *>(0x1);
    EXPECT_EQ(
        CoCreateInstance(tasksClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, reinterpret_cast<void **>(&refused)),
        CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(refused, nullptr);

    IDispatch *scheduler = nullptr;
    ASSERT_EQ(
        CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, reinterpret_cast<void **>(&scheduler)),
        S_OK);
    {
        Call tasks = Invoke(scheduler, u"Tasks", kGet);
        ASSERT_EQ(tasks.hr, S_OK);
        Call task = Invoke(tasks.result.disp(), u"Add", kCall, {Var::Str(u"By ProgID")});
        ASSERT_EQ(task.hr, S_OK);
        IDispatch *t = task.result.disp();
        EXPECT_EQ(Invoke(t, u"ApplicationName", kPut, {Var::Str(u"/bin/true")}).hr, S_OK);
        Call trigger = Invoke(Invoke(t, u"Triggers", kGet).result.disp(), u"Add", kCall);
        ASSERT_EQ(trigger.hr, S_OK);
        IDispatch *tr = trigger.result.disp();
        EXPECT_EQ(Invoke(tr, u"TriggerType", kPut, {Var::I4(TASK_TIME_TRIGGER_WEEKLY)}).hr, S_OK);
        EXPECT_EQ(Invoke(tr, u"WeeksInterval", kPut, {Var::I2(1)}).hr, S_OK);
        EXPECT_EQ(Invoke(tr, u"DaysOfTheWeek", kPut, {Var::I4(TASK_MONDAY)}).hr, S_OK);
        EXPECT_EQ(Invoke(tr, u"StartTime", kPut, {Var::Date(9.5 / 24)}).hr, S_OK);
        EXPECT_EQ(Invoke(tr, u"flags", kPut, {Var::I4(0)}).hr, S_OK);
        EXPECT_EQ(Invoke(tr, u"Update", kCall).hr, S_OK);
        EXPECT_EQ(Invoke(t, u"Save", kCall).hr, S_OK);
        Call text = Invoke(tr, u"Description", kGet);
        EXPECT_NE(text.result.str().find(u"every Mon of every week"), std::u16string::npos);
    }
    struct stat st {};
    EXPECT_EQ(stat((windows_ + "/Tasks/By ProgID.job").c_str(), &st), 0);
    scheduler->Release();
    CoFreeUnusedLibraries();

    ASSERT_EQ(CallEntry("DllUnregisterServer"), S_OK);
    EXPECT_EQ(CLSIDFromProgID(u"TaskScheduler.Scheduler", &clsid), CO_E_CLASSSTRING);
    IUnknown *gone = nullptr;
    EXPECT_EQ(CoCreateInstance(kSchedulerClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void **>(&gone)),
              REGDB_E_CLASSNOTREG);
}

}  // namespace
