#include "objects_test_support.h"

#include <cstdlib>
#include <filesystem>

#include <unistd.h>

#include "globals/globals.h"

namespace objects_test {

namespace {

// The component reads the Windows directory at start-up: point it at a
// folder of this test run before any test starts.
class WindowsDirectory : public ::testing::Environment {
public:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() / ("velqosch-objects-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir_ / "Tasks");
        ::setenv("VELQOSCH_WINDIR", dir_.c_str(), 1);
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

private:
    std::filesystem::path dir_;
};

[[maybe_unused]] ::testing::Environment *const kWindowsDirectory =
    ::testing::AddGlobalTestEnvironment(new WindowsDirectory);

}  // namespace

SeenError TakeErrorInfo() {
    SeenError seen;
    IErrorInfo *raw = nullptr;
    if (GetErrorInfo(0, &raw) != S_OK || !raw) return seen;
    ComRef<IErrorInfo> info = ComRef<IErrorInfo>::Adopt(raw);
    seen.present = true;
    BSTR b = nullptr;
    info->GetSource(&b);
    seen.source = Take(b);
    info->GetDescription(&b);
    seen.description = Take(b);
    info->GetHelpFile(&b);
    seen.helpFile = Take(b);
    info->GetHelpContext(&seen.helpContext);
    return seen;
}

std::u16string Take(BSTR b) {
    std::u16string text = velqosch::FromBstr(b);
    SysFreeString(b);
    return text;
}

void ObjectsTest::SetUp() {
    velqosch::EnsureThreadStarted();
    liveAtStart_ = velqosch::LiveObjectCount();
}

void ObjectsTest::TearDown() {
    EXPECT_EQ(velqosch::LiveObjectCount(), liveAtStart_) << "objects of the test are still alive";
    EXPECT_EQ(item->Refs(), 1u) << "references to the work item are left over";
}

ComRef<velqosch::TaskObject> ObjectsTest::BoundTask() {
    ComRef<velqosch::TaskObject> task = velqosch::TaskObject::Create();
    task->SetITask(item.get());
    return task;
}

ComRef<velqosch::TriggersObject> ObjectsTest::BoundTriggers(ComRef<velqosch::TaskObject> &task) {
    task = BoundTask();
    return task->Triggers();
}

DATE Day(int year, int month, int day) {
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(year);
    st.wMonth = static_cast<WORD>(month);
    st.wDay = static_cast<WORD>(day);
    DOUBLE date = 0;
    SystemTimeToVariantTime(&st, &date);
    return date;
}

}  // namespace objects_test
