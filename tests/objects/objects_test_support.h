// Shared pieces of the object tests: the fixture that proves every object
// created in a test is gone at its end, the reader of the thread's error
// information, and small string helpers.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "component/objects.h"
#include "fake_service.h"
#include "globals/strings.h"
#include "service/platform.h"
#include "tasks/task.h"
#include "triggers/triggers.h"

namespace objects_test {

using velqosch::ComRef;

// What the thread's IErrorInfo says after a failing member.
struct SeenError {
    bool present = false;
    std::u16string source, description, helpFile;
    DWORD helpContext = 0;
};
SeenError TakeErrorInfo();

// The text of a BSTR, and the BSTR freed.
std::u16string Take(BSTR b);

// Every test starts and ends with the same number of live objects, and with
// the fake work item held by the fixture alone.
class ObjectsTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A Task bound to `item`.
    ComRef<velqosch::TaskObject> BoundTask();
    // The Triggers of a Task bound to `item`, kept alive by `task`.
    ComRef<velqosch::TriggersObject> BoundTriggers(ComRef<velqosch::TaskObject> &task);

    ComRef<fake::FakeWorkItem> item = fake::FakeWorkItem::Create();
    fake::Journal &journal = item->journal;
    LONG liveAtStart_ = 0;
};

// The Date of a calendar day, as the automation date counts it.
DATE Day(int year, int month, int day);

}  // namespace objects_test
