// The fixture of the object tests: every object a test creates is gone at
// its end and the fake work item is held by the fixture alone; the Windows
// directory of the test run.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "common/fake_service.h"
#include "component/objects.h"
#include "globals/globals.h"
#include "globals/strings.h"
#include "tasks/task.h"
#include "triggers/triggers.h"

namespace objects_test {

using fake::Calls;
using fake::Raised;
using fake::TakeErrorInfo;
using velqosch::ComRef;
constexpr HRESULT kE5 = static_cast<HRESULT>(0x800A0005), kE6 = static_cast<HRESULT>(0x800A0006),
                  kE9 = static_cast<HRESULT>(0x800A0009), kE13 = static_cast<HRESULT>(0x800A000D);

inline std::u16string Take(BSTR b) {
    std::u16string text = velqosch::FromBstr(b);
    SysFreeString(b);
    return text;
}

// The Date of a calendar day.
inline DATE Day(int year, int month, int day) {
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(year), st.wMonth = static_cast<WORD>(month), st.wDay = static_cast<WORD>(day);
    DOUBLE date = 0;
    SystemTimeToVariantTime(&st, &date);
    return date;
}

// The component reads the Windows directory at start-up: a folder of this
// test run, set before any test starts and removed after the last.
class WindowsDirectory : public ::testing::Environment {
public:
    void SetUp() override {
        std::filesystem::create_directories(dir_ / "Tasks");
        ::setenv("VELQOSCH_WINDIR", dir_.c_str(), 1);
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

private:
    std::filesystem::path dir_ =
        std::filesystem::temp_directory_path() / ("velqosch-objects-" + std::to_string(::getpid()));
};
inline ::testing::Environment *const kWindowsDirectory = ::testing::AddGlobalTestEnvironment(new WindowsDirectory);

class ObjectsTest : public ::testing::Test {
protected:
    void SetUp() override {
        velqosch::EnsureThreadStarted();
        liveAtStart_ = velqosch::LiveObjectCount();
    }
    void TearDown() override {
        EXPECT_EQ(velqosch::LiveObjectCount(), liveAtStart_) << "objects of the test are still alive";
        EXPECT_EQ(item->Refs(), 1u) << "references to the work item are left over";
    }
    ComRef<velqosch::TaskObject> BoundTask() {
        ComRef<velqosch::TaskObject> task = velqosch::TaskObject::Create();
        task->SetITask(item.get());
        return task;
    }

    ComRef<fake::FakeWorkItem> item = fake::FakeWorkItem::Create();
    fake::Journal &journal = item->journal;
    LONG liveAtStart_ = 0;
};

}  // namespace objects_test
