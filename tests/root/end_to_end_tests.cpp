// The road from a client to a single trigger, against the runtime's own
// service and daemon: one process creates a Scheduler, adds a task, sets it
// up with a weekly trigger and saves it; a second process started afresh
// finds it in the same store with every setting.
#include <cmath>

#include "common/fake_service.h"
#include "common/store.h"
#include "globals/strings.h"
#include "scheduler/scheduler.h"
#include "tasks/task.h"
#include "triggers/trigger.h"

using namespace velqosch;
using fake::All, fake::Take;
using TaskScheduler::_Scheduler;
using TaskScheduler::_Task;
using TaskScheduler::_Tasks;
using TaskScheduler::_Trigger;
using TaskScheduler::_Triggers;

namespace {

// 7 December 2026 (a Monday) as a Date.
constexpr DATE kBegin = 46363.0;

// The Tasks of a new Scheduler.
ComRef<_Tasks> NewTasks() {
    ComRef<_Scheduler> s;
    ComRef<_Tasks> tasks;
    EXPECT_EQ(CreateScheduler(TaskScheduler::IID__Scheduler, reinterpret_cast<void **>(s.Out())), S_OK);
    if (s) s->get_Tasks(tasks.Out());  // the read-back finds no collection and fails
    return tasks;
}

using EndToEnd = test_store::Store;

using StringProperty = std::tuple<HRESULT (STDMETHODCALLTYPE _Task::*)(BSTR),
                                  HRESULT (STDMETHODCALLTYPE _Task::*)(BSTR *), const char16_t *>;
const StringProperty kStrings[] = {{&_Task::put_ApplicationName, &_Task::get_ApplicationName, u"/bin/echo"},
                                   {&_Task::put_Parameters, &_Task::get_Parameters, u"report --weekly"},
                                   {&_Task::put_WorkingDirectory, &_Task::get_WorkingDirectory, u"/tmp"},
                                   {&_Task::put_Comment, &_Task::get_Comment, u"Wöchentlicher Bericht"},
                                   {&_Task::put_Creator, &_Task::get_Creator, u"e2e"}};

// The writing half, in the test's own process.
void WriteWeeklyReport() {
    ComRef<_Tasks> tasks = NewTasks();
    ASSERT_TRUE(tasks);
    LONG count = -1;
    ASSERT_EQ(tasks->get_Count(&count), S_OK);
    EXPECT_EQ(count, 0) << "a fresh store";
    BstrHolder name(u"Weekly Report");
    BSTR value = name.get();
    ComRef<_Task> task;
    ASSERT_EQ(tasks->Add(&value, task.Out()), S_OK);
    for (const auto &[put, get, text] : kStrings) ASSERT_EQ((task.get()->*put)(BstrHolder(text).get()), S_OK);
    ASSERT_EQ(All({task->put_MaxRunTime(600000), task->put_IdleWaitMinutes(7),
                   task->put_Priority(static_cast<TaskScheduler::TASK_PRIORITY>(HIGH_PRIORITY_CLASS))}),
              S_OK);
    ComRef<_Triggers> triggers;
    ASSERT_EQ(task->get_Triggers(triggers.Out()), S_OK);
    ComRef<_Trigger> trigger;
    ASSERT_EQ(triggers->Add(trigger.Out()), S_OK);
    using TaskScheduler::TASK_TRIGGER_DAY, TaskScheduler::TASK_TRIGGER_FLAGS, TaskScheduler::TASK_TRIGGER_TYPE;
    auto enabled = static_cast<TASK_TRIGGER_FLAGS>(0);
    ASSERT_EQ(All({trigger->put_TriggerType(static_cast<TASK_TRIGGER_TYPE>(TASK_TIME_TRIGGER_WEEKLY)),
                   trigger->put_WeeksInterval(1),
                   trigger->put_DaysOfTheWeek(static_cast<TASK_TRIGGER_DAY>(TASK_MONDAY | TASK_FRIDAY)),
                   trigger->put_BeginDate(kBegin), trigger->put_StartTime(9.5 / 24), trigger->put_flags(&enabled)}),
              S_OK);
    ASSERT_EQ(trigger->Update(), S_OK);
    ASSERT_EQ(task->Save(), S_OK);
}

// The reading half, in a process started afresh on the same store: every setting read back as one text.
void ReadWeeklyReport() {
    ComRef<_Tasks> tasks = NewTasks();
    ASSERT_TRUE(tasks);
    VARIANT key{};
    V_VT(&key) = VT_BSTR, V_BSTR(&key) = SysAllocString(u"weekly report");
    ComRef<_Task> task;
    ASSERT_EQ(tasks->get_Item(&key, task.Out()), S_OK);
    VariantClear(&key);
    auto *t = static_cast<TaskObject *>(task.get());
    ASSERT_EQ(t->Triggers()->Count(), 1);
    ComRef<TriggerObject> trigger = t->Triggers()->Item(1);
    std::u16string got = t->TaskName();
    for (const auto &[put, get, value] : kStrings) {
        BSTR b = nullptr;
        EXPECT_EQ((t->*get)(&b), S_OK);
        got += u"|" + Take(b);
    }
    EXPECT_EQ(got + u"|" + trigger->Description(),
              u"Weekly Report|/bin/echo|report --weekly|/tmp|Wöchentlicher Bericht|"
              u"e2e|At 9:30 AM every Mon, Fri of every week, starting 12/7/2026");
    EXPECT_EQ(std::vector<double>({double(t->MaxRunTime()), double(t->Priority()), double(t->IdleWaitMinutes()),
                                   double(trigger->TriggerType()), double(trigger->DaysOfTheWeek()),
                                   trigger->BeginDate(), std::round(trigger->StartTime() * 24 * 60)}),
              std::vector<double>({600000, HIGH_PRIORITY_CLASS, 7, TASK_TIME_TRIGGER_WEEKLY, TASK_MONDAY | TASK_FRIDAY,
                                   kBegin, 9 * 60 + 30}));
    EXPECT_GT(t->NextRunTime(), 0.0);
}

TEST_F(EndToEnd, TaskSavedByOneProcessIsFoundByAnother) {
    if (child_) return ReadWeeklyReport();
    WriteWeeklyReport();
    if (HasFatalFailure()) return;
    // The Tasks read started the service; a fresh process that finds it still
    // starting would be told that it will not start, so wait until it runs.
    ASSERT_TRUE(test_service::Start()) << "the service did not start";
    EXPECT_EQ(RunInAnotherProcess("EndToEnd.TaskSavedByOneProcessIsFoundByAnother"), 0)
        << "the read-back in a fresh process failed";
}

}  // namespace
