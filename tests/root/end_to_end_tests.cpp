// The road from a client to a single trigger, against the runtime's own
// service and daemon: one process creates a Scheduler, adds a task, sets it
// up with a weekly trigger and saves it; a second process started afresh
// finds it in the same store with every setting.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "common/schedule_service.h"
#include "scheduler/scheduler.h"

extern char **environ;

using namespace velqosch;
using TaskScheduler::_Scheduler;
using TaskScheduler::_Task;
using TaskScheduler::_Tasks;
using TaskScheduler::_Trigger;
using TaskScheduler::_Triggers;

namespace {

constexpr const char *kStoreVariable = "VELQOSCH_E2E_STORE";

struct Bstr {
    BSTR b;
    explicit Bstr(const char16_t *s) : b(SysAllocString(reinterpret_cast<const OLECHAR *>(s))) {}
    ~Bstr() { SysFreeString(b); }
    std::u16string str() const { return b ? std::u16string(reinterpret_cast<const char16_t *>(b)) : u""; }
};

std::u16string Take(BSTR b) {
    std::u16string s = b ? reinterpret_cast<const char16_t *>(b) : u"";
    SysFreeString(b);
    return s;
}

// 7 December 2026 (a Monday) and 9:30 as Dates.
constexpr DATE kBegin = 46363.0;
constexpr DATE kNineThirty = 9.5 / 24;

ComRef<_Scheduler> NewScheduler() {
    ComRef<_Scheduler> s;
    EXPECT_EQ(CreateScheduler(TaskScheduler::IID__Scheduler, reinterpret_cast<void **>(s.Out())), S_OK);
    return s;
}

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char *store = std::getenv(kStoreVariable)) {
            dir_ = store;
            child_ = true;
        } else {
            char tmpl[] = "/tmp/velqosch-e2e-XXXXXX";
            ASSERT_NE(mkdtemp(tmpl), nullptr);
            dir_ = tmpl;
        }
        setenv("VELQOSCH_WINDIR", dir_.c_str(), 1);
        setenv("VELQOSCH_SERVICE", VELQO_DAEMON, 1);
    }
    void TearDown() override {
        if (child_) return;
        test_service::Stop();
        const std::string cmd = "/bin/rm -rf '" + dir_ + "'";
        if (std::system(cmd.c_str()) != 0) ADD_FAILURE() << "could not remove " << dir_;
    }
    // Runs one test of this program in a new process on the same store.
    int RunInAnotherProcess(const char *test) {
        const std::string filter = std::string("--gtest_filter=") + test;
        const std::string store = std::string(kStoreVariable) + "=" + dir_;
        char self[4096] = {};
        if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) return -1;
        std::vector<char *> env;
        for (char **e = environ; *e; ++e) env.push_back(*e);
        env.push_back(const_cast<char *>(store.c_str()));
        env.push_back(nullptr);
        char *argv[] = {self, const_cast<char *>(filter.c_str()), nullptr};
        pid_t pid = 0;
        if (posix_spawn(&pid, self, nullptr, nullptr, argv, env.data()) != 0) return -1;
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string dir_;
    bool child_ = false;
};

// The writing half, in the test's own process.
void WriteWeeklyReport() {
    {
        ComRef<_Scheduler> scheduler = NewScheduler();
        ASSERT_TRUE(scheduler);
        ComRef<_Tasks> tasks;
        ASSERT_EQ(scheduler->get_Tasks(tasks.Out()), S_OK);
        LONG count = -1;
        ASSERT_EQ(tasks->get_Count(&count), S_OK);
        EXPECT_EQ(count, 0);

        Bstr name(u"Weekly Report");
        ComRef<_Task> task;
        ASSERT_EQ(tasks->Add(&name.b, task.Out()), S_OK);
        ASSERT_EQ(task->put_ApplicationName(Bstr(u"/bin/echo").b), S_OK);
        ASSERT_EQ(task->put_Parameters(Bstr(u"report --weekly").b), S_OK);
        ASSERT_EQ(task->put_WorkingDirectory(Bstr(u"/tmp").b), S_OK);
        ASSERT_EQ(task->put_Comment(Bstr(u"Wöchentlicher Bericht").b), S_OK);
        ASSERT_EQ(task->put_Creator(Bstr(u"e2e").b), S_OK);
        ASSERT_EQ(task->put_MaxRunTime(600000), S_OK);
        ASSERT_EQ(task->put_Priority(static_cast<TaskScheduler::TASK_PRIORITY>(HIGH_PRIORITY_CLASS)), S_OK);
        ASSERT_EQ(task->put_IdleWaitMinutes(7), S_OK);

        ComRef<_Triggers> triggers;
        ASSERT_EQ(task->get_Triggers(triggers.Out()), S_OK);
        ComRef<_Trigger> trigger;
        ASSERT_EQ(triggers->Add(trigger.Out()), S_OK);
        ASSERT_EQ(trigger->put_TriggerType(static_cast<TaskScheduler::TASK_TRIGGER_TYPE>(TASK_TIME_TRIGGER_WEEKLY)),
                  S_OK);
        ASSERT_EQ(trigger->put_WeeksInterval(1), S_OK);
        ASSERT_EQ(trigger->put_DaysOfTheWeek(static_cast<TaskScheduler::TASK_TRIGGER_DAY>(TASK_MONDAY | TASK_FRIDAY)),
                  S_OK);
        ASSERT_EQ(trigger->put_BeginDate(kBegin), S_OK);
        ASSERT_EQ(trigger->put_StartTime(kNineThirty), S_OK);
        auto enabled = static_cast<TaskScheduler::TASK_TRIGGER_FLAGS>(0);
        ASSERT_EQ(trigger->put_flags(&enabled), S_OK);
        ASSERT_EQ(trigger->Update(), S_OK);
        ASSERT_EQ(task->Save(), S_OK);
    }
}

// The reading half, in a process started afresh on the same store.
void ReadWeeklyReport() {
    ComRef<_Scheduler> scheduler = NewScheduler();
    ASSERT_TRUE(scheduler);
    ComRef<_Tasks> tasks;
    ASSERT_EQ(scheduler->get_Tasks(tasks.Out()), S_OK);
    LONG count = -1;
    ASSERT_EQ(tasks->get_Count(&count), S_OK);
    ASSERT_EQ(count, 1);
    VARIANT key;
    VariantInit(&key);
    V_VT(&key) = VT_BSTR;
    V_BSTR(&key) = SysAllocString(reinterpret_cast<const OLECHAR *>(u"weekly report"));
    ComRef<_Task> task;
    ASSERT_EQ(tasks->get_Item(&key, task.Out()), S_OK);
    VariantClear(&key);

    BSTR b = nullptr;
    const std::pair<HRESULT (STDMETHODCALLTYPE _Task::*)(BSTR *), const char16_t *> strings[] = {
        {&_Task::get_TaskName, u"Weekly Report"},        {&_Task::get_ApplicationName, u"/bin/echo"},
        {&_Task::get_Parameters, u"report --weekly"},    {&_Task::get_WorkingDirectory, u"/tmp"},
        {&_Task::get_Comment, u"Wöchentlicher Bericht"}, {&_Task::get_Creator, u"e2e"}};
    for (auto [get, expected] : strings) {
        ASSERT_EQ((task.get()->*get)(&b), S_OK);
        EXPECT_EQ(Take(b), expected);
    }
    LONG maxRun = 0;
    ASSERT_EQ(task->get_MaxRunTime(&maxRun), S_OK);
    EXPECT_EQ(maxRun, 600000);
    TaskScheduler::TASK_PRIORITY priority{};
    ASSERT_EQ(task->get_Priority(&priority), S_OK);
    EXPECT_EQ(static_cast<LONG>(priority), HIGH_PRIORITY_CLASS);
    SHORT idle = 0;
    ASSERT_EQ(task->get_IdleWaitMinutes(&idle), S_OK);
    EXPECT_EQ(idle, 7);

    ComRef<_Triggers> triggers;
    ASSERT_EQ(task->get_Triggers(triggers.Out()), S_OK);
    LONG triggerCount = 0;
    ASSERT_EQ(triggers->get_Count(&triggerCount), S_OK);
    ASSERT_EQ(triggerCount, 1);
    SHORT index = 1;
    ComRef<_Trigger> trigger;
    ASSERT_EQ(triggers->get_Item(&index, trigger.Out()), S_OK);
    TaskScheduler::TASK_TRIGGER_TYPE type{};
    ASSERT_EQ(trigger->get_TriggerType(&type), S_OK);
    EXPECT_EQ(static_cast<LONG>(type), TASK_TIME_TRIGGER_WEEKLY);
    TaskScheduler::TASK_TRIGGER_DAY days{};
    ASSERT_EQ(trigger->get_DaysOfTheWeek(&days), S_OK);
    EXPECT_EQ(static_cast<LONG>(days), TASK_MONDAY | TASK_FRIDAY);
    DATE begin = 0, start = 0;
    ASSERT_EQ(trigger->get_BeginDate(&begin), S_OK);
    EXPECT_DOUBLE_EQ(begin, kBegin);
    ASSERT_EQ(trigger->get_StartTime(&start), S_OK);
    EXPECT_NEAR(start, kNineThirty, 1e-6);
    ASSERT_EQ(trigger->get_Description(&b), S_OK);
    EXPECT_EQ(Take(b), u"At 9:30 AM every Mon, Fri of every week, starting 12/7/2026");
    DATE next = 0;
    ASSERT_EQ(task->get_NextRunTime(&next), S_OK);
    EXPECT_GT(next, 0.0);
}

TEST_F(EndToEnd, TaskSavedByOneProcessIsFoundByAnother) {
    if (child_) return ReadWeeklyReport();
    WriteWeeklyReport();
    if (HasFatalFailure()) return;
    EXPECT_EQ(RunInAnotherProcess("EndToEnd.TaskSavedByOneProcessIsFoundByAnother"), 0)
        << "the read-back in a fresh process failed";
}

// Task names are one name space without regard to letter case, whoever
// writes them: the store stays loadable and a name in use is the service's
// "in use" status, not the collection's duplicate key.
TEST_F(EndToEnd, NamesDifferingOnlyInCaseAreOneTask) {
    ASSERT_TRUE(test_service::Start()) << "the service did not start";
    ComRef<_Scheduler> first = NewScheduler(), second = NewScheduler();
    ASSERT_TRUE(first && second);
    ComRef<_Tasks> one, two;
    ASSERT_EQ(first->get_Tasks(one.Out()), S_OK);
    ASSERT_EQ(second->get_Tasks(two.Out()), S_OK);
    Bstr upper(u"Zed"), lower(u"zed");
    ComRef<_Task> a, b;
    ASSERT_EQ(one->Add(&upper.b, a.Out()), S_OK);
    ASSERT_EQ(two->Add(&lower.b, b.Out()), S_OK);
    ASSERT_EQ(a->Save(), S_OK);
    ASSERT_EQ(b->Save(), S_OK);
    // An item copied in from elsewhere with an upper-case suffix.
    const std::string tasksFolder = dir_ + "/Tasks/";
    ASSERT_EQ(std::system(("/bin/cp '" + tasksFolder + "Zed.job' '" + tasksFolder + "Other.JOB'").c_str()), 0);

    ComRef<_Scheduler> third = NewScheduler();
    ASSERT_TRUE(third);
    ComRef<_Tasks> tasks;
    ASSERT_EQ(third->get_Tasks(tasks.Out()), S_OK);
    LONG count = 0;
    ASSERT_EQ(tasks->get_Count(&count), S_OK);
    EXPECT_EQ(count, 2);
    VARIANT_BOOL found = VARIANT_FALSE;
    Bstr key(u"OTHER");
    ASSERT_EQ(tasks->Exists(&key.b, &found), S_OK);
    EXPECT_EQ(found, VARIANT_TRUE);
    for (const char16_t *name : {u"OTHER", u"zED"}) {
        Bstr taken(name);
        ComRef<_Task> c;
        EXPECT_EQ(tasks->Add(&taken.b, c.Out()), HRESULT_FROM_WIN32(ERROR_FILE_EXISTS));
    }
    ASSERT_EQ(tasks->get_Count(&count), S_OK);
    EXPECT_EQ(count, 2);
}

}  // namespace
