// Which procedures of Task and Trigger send trace lines, seen by a viewer on
// a private desktop: entry and exit on the normal way out, the entry alone
// when a procedure ends by an error, nothing from the untraced ones.
#include "common/trace_viewer.h"
#include "objects/objects_test.h"

namespace objects_test {
namespace {

using velqosch::TaskObject;
using velqosch::TriggerObject;

class ObjectTraceTest : public ObjectsTest {
protected:
    test_trace::PrivateDesktop desktop_;
    test_trace::Viewer viewer_;
};

TEST_F(ObjectTraceTest, TriggerTracedUntracedAndErrorExits) {
    ASSERT_TRUE(viewer_.open());
    item->AddStoredTrigger(fake::Record(TASK_TIME_TRIGGER_WEEKLY));
    journal.Answer("T0.SetTrigger", E_ACCESSDENIED);
    const auto lines = viewer_.Markers(
        [&] {
            ComRef<TriggerObject> t = TriggerObject::Create();
            t->SetITaskTrigger(item->triggers[0].get());
            VARIANT_BOOL dirty = 0;
            t->get_IsDirty(&dirty);
            t->put_DaysInterval(1);  // untraced, and refused
            t->Update();             // fails: entry line only
        },
        {"Trigger"});
    EXPECT_EQ(lines, (Calls{"-> Trigger : Sub Class_Initialize", "<- Trigger : Sub Class_Initialize",
                            "-> Trigger : Property (Set) ITaskTrigger", "<- Trigger : Property (Set) ITaskTrigger",
                            "-> Trigger : Property (Get) IsDirty", "<- Trigger : Property (Get) IsDirty",
                            "-> Trigger : Sub Update"}));
}

TEST_F(ObjectTraceTest, EmptyWorkItemDataLeavesWithoutExitLineAndApplicationNameIsUntraced) {
    ASSERT_TRUE(viewer_.open());
    const auto lines = viewer_.Markers(
        [&] {
            ComRef<TaskObject> task = BoundTask();
            SAFEARRAY *none = nullptr;
            task->put_WorkItemData(&none);
            velqosch::BstrHolder app(u"/bin/true");
            task->put_ApplicationName(app.get());
            task->put_flags(1);
        },
        {"Task"});
    EXPECT_EQ(lines, (Calls{"-> Task : Sub Class_Initialize", "<- Task : Sub Class_Initialize",
                            "-> Task : Property (Set) ITask", "<- Task : Property (Set) ITask",
                            "-> Task : Property (Let) WorkItemData", "-> Task : Property (Let) flags",
                            "<- Task : Property (Let) flags"}));
}

}  // namespace
}  // namespace objects_test
