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

using fake::Calls, fake::kE13, fake::kE5, fake::kE6, fake::kE9, fake::Raised, fake::Take, fake::TakeErrorInfo;
using velqosch::ComRef;

// The Date of a calendar day.
inline DATE Day(int year, int month, int day) {
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(year), st.wMonth = static_cast<WORD>(month), st.wDay = static_cast<WORD>(day);
    DOUBLE date = 0;
    SystemTimeToVariantTime(&st, &date);
    return date;
}

// The component reads the Windows directory at start-up: a folder of this
// test run, named before any test starts and removed at the end.
inline const bool kWindowsDirectory = [] {
    static const std::string dir = "/tmp/velqosch-objects-" + std::to_string(::getpid());
    ::setenv("VELQOSCH_WINDIR", dir.c_str(), 1);
    return std::atexit([] {
               std::error_code ignored;
               std::filesystem::remove_all(dir, ignored);
           }) == 0;
}();

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
