// Task: binding, Save and SaveAs, the settings with their own rules, run
// times and status, the work item data, and the error information a
// failing member leaves.
#include <cstring>

#include "globals/globals.h"
#include "objects_test_support.h"

namespace objects_test {
namespace {

using TaskScheduler::_Task;
using TaskScheduler::_Triggers;
using velqosch::TaskObject;
using Calls = std::vector<std::string>;

class TaskTest : public ObjectsTest {
protected:
    std::string TasksFolder() const {
        std::string dir;
        for (char16_t c : velqosch::Globals().WindowsDirectory) dir += static_cast<char>(c);
        return dir + "Tasks" + velqosch::kPathSeparator;
    }
};

SYSTEMTIME Time(WORD y, WORD mo, WORD d, WORD h = 0, WORD mi = 0) {
    SYSTEMTIME st{};
    st.wYear = y, st.wMonth = mo, st.wDay = d, st.wHour = h, st.wMinute = mi;
    return st;
}

SAFEARRAY *Bytes(LONG lower, std::vector<BYTE> bytes) {
    SAFEARRAY *a = SafeArrayCreateVector(VT_UI1, lower, static_cast<ULONG>(bytes.size()));
    if (a && !bytes.empty()) std::memcpy(a->pvData, bytes.data(), bytes.size());
    return a;
}

// ---- Object -------------------------------------------------------------------------------------------------------

TEST_F(TaskTest, BindingHoldsTheItemTwiceAndLoadsTheTriggers) {
    item->AddStoredTrigger(fake::Record());
    ComRef<TaskObject> task = TaskObject::Create();
    EXPECT_EQ(velqosch::LiveObjectCount(), liveAtStart_ + 2) << "the Task and its Triggers";
    task->SetITask(item.get());
    EXPECT_EQ(item->Refs(), 4u) << "fixture, ITask, IScheduledWorkItem, the Triggers' IScheduledWorkItem";
    _Triggers *first = nullptr, *second = nullptr;
    ASSERT_EQ(task->get_Triggers(&first), S_OK);
    ASSERT_EQ(task->get_Triggers(&second), S_OK);
    EXPECT_EQ(first, second);
    LONG count = 0;
    ASSERT_EQ(first->get_Count(&count), S_OK);
    EXPECT_EQ(count, 1);
    first->Release();
    second->Release();
    EXPECT_EQ(task->References(), 1u);
}

TEST_F(TaskTest, TheCollectionCreatesAndBindsThroughItsInterface) {
    ComRef<_Task> task = TaskObject::CreateTask();
    TaskObject::BindTask(task.get(), item.get());
    journal.Clear();
    LONG flags = 0;
    EXPECT_EQ(task->put_flags(TASK_FLAG_HIDDEN), S_OK);
    TaskScheduler::TASK_FLAGS read{};
    ASSERT_EQ(task->get_flags(&read), S_OK);
    flags = read;
    EXPECT_EQ(flags, TASK_FLAG_HIDDEN);
    EXPECT_EQ(journal.Calls(), (Calls{"SetFlags(512)", "GetFlags()"}));
}

TEST_F(TaskTest, TaskNameStaysWithTheObject) {
    ComRef<TaskObject> task = BoundTask();
    journal.ExpectOnly({});
    BSTR name = SysAllocString(u"Weekly backup");
    ASSERT_EQ(task->put_TaskName(&name), S_OK);
    EXPECT_EQ(velqosch::FromBstr(name), u"Weekly backup") << "the argument is left as it was";
    SysFreeString(name);
    BSTR back = nullptr;
    ASSERT_EQ(task->get_TaskName(&back), S_OK);
    EXPECT_EQ(Take(back), u"Weekly backup");
    EXPECT_EQ(task->put_TaskName(nullptr), E_POINTER);
}

TEST_F(TaskTest, EditOpensThePagesWithoutOwner) {
    ComRef<TaskObject> task = BoundTask();
    journal.Clear();
    ASSERT_EQ(task->Edit(), S_OK);
    EXPECT_EQ(journal.Calls(), (Calls{"EditWorkItem(0,0)"}));
}

TEST_F(TaskTest, SaveWritesTheItemsOwnFile) {
    ComRef<TaskObject> task = BoundTask();
    journal.Clear();
    journal.ExpectOnly({"Save", "SaveCompleted"});
    ASSERT_EQ(task->Save(), S_OK);
    EXPECT_EQ(journal.Calls(), (Calls{"Save(null,0)", "SaveCompleted(\"0\")"}));

    journal.Clear();
    journal.Answer("Save", E_ACCESSDENIED);
    EXPECT_EQ(task->Save(), E_ACCESSDENIED);
    EXPECT_EQ(journal.Calls(), (Calls{"Save(null,0)"})) << "no SaveCompleted after a failed Save";

    item->persistQuery = E_NOINTERFACE;
    EXPECT_EQ(task->Save(), E_NOINTERFACE);
}

// A service whose work item does not answer the base interface's identifier
// is still bound, through the ITask it derives from; any other refusal of
// the query fails the binding with that status.
TEST_F(TaskTest, BindingUsesTheITaskWhenTheItemDoesNotAnswerForItsBase) {
    item->workItemQuery = E_NOINTERFACE;
    ComRef<TaskObject> task = BoundTask();
    ASSERT_TRUE(task);
    ComRef<TaskScheduler::_Triggers> triggers;
    ASSERT_EQ(task->get_Triggers(triggers.Out()), S_OK);
    ComRef<TaskScheduler::_Trigger> trigger;
    EXPECT_EQ(triggers->Add(trigger.Out()), S_OK);
    BSTR comment = SysAllocString(reinterpret_cast<const OLECHAR *>(u"via ITask"));
    EXPECT_EQ(task->put_Comment(comment), S_OK);
    SysFreeString(comment);

    item->workItemQuery = E_ACCESSDENIED;
    ComRef<TaskObject> refused = TaskObject::Create();
    EXPECT_EQ(velqosch::Guard([&] { refused->SetITask(item.get()); }), E_ACCESSDENIED);
    item->workItemQuery = S_OK;
}

TEST_F(TaskTest, SaveAsAppendsTheSuffixIntoTheCallersArgument) {
    ComRef<TaskObject> task = BoundTask();
    struct Case {
        const char16_t *given;
        const char16_t *written;
    };
    for (const Case &c : {Case{u"Weekly", u"Weekly.job"}, Case{u"Weekly.JOB", u"Weekly.JOB"}, Case{u"", u".job"},
                          Case{u"job", u"job.job"}, Case{u"a.jobs", u"a.jobs.job"}}) {
        journal.Clear();
        BSTR name = SysAllocString(c.given);
        ASSERT_EQ(task->SaveAs(&name), S_OK);
        EXPECT_EQ(velqosch::FromBstr(name), c.written);
        std::string written;
        for (const char16_t *p = c.written; *p; ++p) written += static_cast<char>(*p);
        const std::string path = "\"" + TasksFolder() + written + "\"";
        EXPECT_EQ(journal.Calls(), (Calls{"Save(" + path + ",0)", "SaveCompleted(" + path + ")"}));
        SysFreeString(name);
    }
    // A later Save goes to the item's own file again.
    journal.Clear();
    ASSERT_EQ(task->Save(), S_OK);
    EXPECT_EQ(journal.Calls(), (Calls{"Save(null,0)", "SaveCompleted(\"0\")"}));
    EXPECT_EQ(task->SaveAs(nullptr), E_POINTER);
}

TEST_F(TaskTest, AFailedSaveAsHasStillExtendedTheName) {
    ComRef<TaskObject> task = BoundTask();
    journal.Answer("SaveCompleted", STG_E_FILENOTFOUND);
    BSTR name = SysAllocString(u"Nightly");
    EXPECT_EQ(task->SaveAs(&name), STG_E_FILENOTFOUND);
    EXPECT_EQ(Take(name), u"Nightly.job");
}

// ---- Settings -----------------------------------------------------------------------------------------------------

TEST_F(TaskTest, IdleValuesTravelAsAPair) {
    ComRef<TaskObject> task = BoundTask();
    journal.Clear();
    ASSERT_EQ(task->put_IdleWaitMinutes(10), S_OK);
    EXPECT_EQ(journal.Calls(), (Calls{"SetIdleWait(10,0)"})) << "a new Task sends 0 for the other value";

    ComRef<TaskObject> other = BoundTask();
    item->idleMinutes = 10;
    item->deadlineMinutes = 60;
    journal.Clear();
    SHORT deadline = 0;
    ASSERT_EQ(other->get_IdleWaitDeadlineMinutes(&deadline), S_OK);
    EXPECT_EQ(deadline, 60);
    ASSERT_EQ(other->put_IdleWaitDeadlineMinutes(30), S_OK);
    EXPECT_EQ(journal.Calls(), (Calls{"GetIdleWait()", "SetIdleWait(10,30)"}));

    // A failing put has already updated its cache.
    journal.Answer("SetIdleWait", E_ACCESSDENIED);
    EXPECT_EQ(other->put_IdleWaitMinutes(-1), E_ACCESSDENIED);
    journal.ClearAnswers();
    journal.Clear();
    ASSERT_EQ(other->put_IdleWaitDeadlineMinutes(31), S_OK);
    EXPECT_EQ(journal.Calls(), (Calls{"SetIdleWait(65535,31)"}));
}

TEST_F(TaskTest, AccountAndPasswordAreSentTogether) {
    ComRef<TaskObject> task = BoundTask();
    journal.Clear();
    velqosch::BstrHolder secret(u"s3cret"), bob(u"bob"), empty(u"");
    ASSERT_EQ(task->put_Password(secret.get()), S_OK);
    EXPECT_TRUE(journal.Calls().empty()) << "no account yet: the password is only kept";
    ASSERT_EQ(task->put_AccountName(bob.get()), S_OK);
    ASSERT_EQ(task->put_Password(empty.get()), S_OK);
    ASSERT_EQ(task->put_AccountName(bob.get()), S_OK);
    ASSERT_EQ(task->put_Password(secret.get()), S_OK);
    ASSERT_EQ(task->put_AccountName(nullptr), S_OK);
    EXPECT_EQ(journal.Calls(),
              (Calls{"SetAccountInformation(\"bob\",\"s3cret\")", "SetAccountInformation(\"bob\",\"\")",
                     "SetAccountInformation(\"bob\",null)", "SetAccountInformation(\"bob\",\"s3cret\")",
                     "SetAccountInformation(\"\",null)"}));
    journal.Clear();
    ASSERT_EQ(task->put_Password(secret.get()), S_OK);
    EXPECT_TRUE(journal.Calls().empty()) << "the empty account name is cached too";

    item->account = u"DOMAIN\\carol";
    BSTR name = nullptr;
    ASSERT_EQ(task->get_AccountName(&name), S_OK);
    EXPECT_EQ(Take(name), u"DOMAIN\\carol") << "the get asks the service, not the cache";
    journal.Answer("GetAccountInformation", SCHED_E_ACCOUNT_INFORMATION_NOT_SET);
    EXPECT_EQ(task->get_AccountName(&name), SCHED_E_ACCOUNT_INFORMATION_NOT_SET);
    EXPECT_EQ(name, nullptr);
}

TEST_F(TaskTest, ApplicationNameAndParametersRefuseOrIgnoreEmptyText) {
    ComRef<TaskObject> task = BoundTask();
    item->applicationName = u"/bin/true";
    item->parameters = u"--all";
    journal.Clear();
    journal.ExpectOnly({"SetComment", "SetCreator", "SetWorkingDirectory"});
    velqosch::BstrHolder empty(u"");
    EXPECT_EQ(task->put_ApplicationName(empty.get()), static_cast<HRESULT>(0x800A0005));
    const SeenError e = TakeErrorInfo();
    EXPECT_EQ(e.description, u"Application name must not be empty");
    EXPECT_EQ(e.source, u"Velqo Task Scheduler");
    EXPECT_EQ(e.helpFile, u"velqosch.chm");
    EXPECT_EQ(e.helpContext, 9999u);
    EXPECT_EQ(task->put_ApplicationName(nullptr), static_cast<HRESULT>(0x800A0005)) << "a null text is empty";
    ASSERT_EQ(task->put_Parameters(empty.get()), S_OK);
    ASSERT_EQ(task->put_Comment(empty.get()), S_OK);
    ASSERT_EQ(task->put_Creator(empty.get()), S_OK);
    ASSERT_EQ(task->put_WorkingDirectory(empty.get()), S_OK);
    EXPECT_EQ(journal.Calls(), (Calls{"SetComment(\"\")", "SetCreator(\"\")", "SetWorkingDirectory(\"\")"}));
    EXPECT_EQ(item->applicationName, u"/bin/true");
    EXPECT_EQ(item->parameters, u"--all");
}

TEST_F(TaskTest, PassThroughSettingsReachTheirOperations) {
    ComRef<TaskObject> task = BoundTask();
    journal.Clear();
    velqosch::BstrHolder app(u"/usr/bin/backup"), params(u"-v"), dir(u"/srv"), comment(u"c"), creator(u"me");
    ASSERT_EQ(task->put_ApplicationName(app.get()), S_OK);
    ASSERT_EQ(task->put_Parameters(params.get()), S_OK);
    ASSERT_EQ(task->put_WorkingDirectory(dir.get()), S_OK);
    ASSERT_EQ(task->put_Comment(comment.get()), S_OK);
    ASSERT_EQ(task->put_Creator(creator.get()), S_OK);
    ASSERT_EQ(task->put_MaxRunTime(-1), S_OK);
    ASSERT_EQ(task->put_Priority(static_cast<TaskScheduler::TASK_PRIORITY>(0x12345)), S_OK);
    EXPECT_EQ(journal.Calls(), (Calls{"SetApplicationName(\"/usr/bin/backup\")", "SetParameters(\"-v\")",
                                      "SetWorkingDirectory(\"/srv\")", "SetComment(\"c\")", "SetCreator(\"me\")",
                                      "SetMaxRunTime(4294967295)", "SetPriority(74565)"}));
    BSTR s = nullptr;
    ASSERT_EQ(task->get_ApplicationName(&s), S_OK);
    EXPECT_EQ(Take(s), u"/usr/bin/backup");
    ASSERT_EQ(task->get_Parameters(&s), S_OK);
    EXPECT_EQ(Take(s), u"-v");
    ASSERT_EQ(task->get_WorkingDirectory(&s), S_OK);
    EXPECT_EQ(Take(s), u"/srv");
    ASSERT_EQ(task->get_Comment(&s), S_OK);
    EXPECT_EQ(Take(s), u"c");
    ASSERT_EQ(task->get_Creator(&s), S_OK);
    EXPECT_EQ(Take(s), u"me");
    LONG ms = 0;
    ASSERT_EQ(task->get_MaxRunTime(&ms), S_OK);
    EXPECT_EQ(ms, -1);
    TaskScheduler::TASK_PRIORITY p{};
    ASSERT_EQ(task->get_Priority(&p), S_OK);
    EXPECT_EQ(static_cast<LONG>(p), 0x12345);

    journal.Answer("GetComment", E_ACCESSDENIED);
    s = reinterpret_cast<BSTR>(1);
    EXPECT_EQ(task->get_Comment(&s), E_ACCESSDENIED);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(task->get_Comment(nullptr), E_POINTER);
}

TEST_F(TaskTest, RetrySettingsAreInert) {
    ComRef<TaskObject> task = BoundTask();
    journal.Clear();
    journal.ExpectOnly({});
    ASSERT_EQ(task->put_ErrorRetryCount(3), S_OK);
    ASSERT_EQ(task->put_ErrorRetryInterval(5), S_OK);
    SHORT v = 7;
    ASSERT_EQ(task->get_ErrorRetryCount(&v), S_OK);
    EXPECT_EQ(v, 0);
    v = 7;
    ASSERT_EQ(task->get_ErrorRetryInterval(&v), S_OK);
    EXPECT_EQ(v, 0);
}

// ---- Run times and status -----------------------------------------------------------------------------------------

TEST_F(TaskTest, GetRunTimesFillsTheArrayFromZero) {
    ComRef<TaskObject> task = BoundTask();
    item->runs = {Time(2024, 5, 17, 9, 0), Time(2024, 5, 18, 9, 0), Time(2024, 5, 19, 9, 30)};
    DATE begin = Day(2024, 5, 17) + 0.25, end = Day(2024, 5, 20);
    SAFEARRAY *times = SafeArrayCreateVector(VT_DATE, 7, 10);
    journal.Clear();
    LONG n = -1;
    ASSERT_EQ(task->GetRunTimes(&begin, &end, &times, &n), S_OK);
    EXPECT_EQ(n, 3);
    EXPECT_EQ(journal.Calls(), (Calls{"GetRunTimes(2024-05-17 06:00:00.000,2024-05-20 00:00:00.000,50)"}));
    ASSERT_NE(times, nullptr);
    LONG lower = -1, upper = -1;
    SafeArrayGetLBound(times, 1, &lower);
    SafeArrayGetUBound(times, 1, &upper);
    EXPECT_EQ(lower, 0);
    EXPECT_EQ(upper, 2);
    const DATE *dates = static_cast<const DATE *>(times->pvData);
    EXPECT_DOUBLE_EQ(dates[0], Day(2024, 5, 17) + 9 / 24.0);
    EXPECT_DOUBLE_EQ(dates[2], Day(2024, 5, 19) + 9.5 / 24.0);
    SafeArrayDestroy(times);
}

TEST_F(TaskTest, GetRunTimesReturnValues) {
    ComRef<TaskObject> task = BoundTask();
    DATE begin = Day(2024, 1, 1), end = Day(2024, 12, 31);
    SAFEARRAY *const original = SafeArrayCreateVector(VT_DATE, 0, 1);
    struct Case {
        HRESULT answer;
        LONG expected;
    };
    for (const Case &c : {Case{SCHED_S_TASK_DISABLED, 0}, Case{SCHED_S_TASK_NO_VALID_TRIGGERS, 0},
                          Case{SCHED_S_EVENT_TRIGGER, 267016}, Case{E_ACCESSDENIED, 0}, Case{S_FALSE, 0}}) {
        SCOPED_TRACE(c.answer);
        journal.Answer("GetRunTimes", c.answer);
        SAFEARRAY *times = original;
        LONG n = -1;
        ASSERT_EQ(task->GetRunTimes(&begin, &end, &times, &n), S_OK) << "GetRunTimes raises nothing";
        EXPECT_EQ(n, c.expected);
        EXPECT_EQ(times, original) << "TaskTimes is left as it was";
    }
    SafeArrayDestroy(original);
}

TEST_F(TaskTest, GetRunTimesTakesTheFiftyTheServiceGives) {
    ComRef<TaskObject> task = BoundTask();
    for (WORD k = 0; k < 80; ++k) item->runs.push_back(Time(2024, 1, 1, static_cast<WORD>(k % 24), 0));
    DATE begin = Day(2024, 1, 1), end = Day(2024, 12, 31);
    SAFEARRAY *times = nullptr;
    LONG n = 0;
    ASSERT_EQ(task->GetRunTimes(&begin, &end, &times, &n), S_OK);
    EXPECT_EQ(n, 50);
    ASSERT_NE(times, nullptr);
    EXPECT_EQ(times->rgsabound[0].cElements, 50u);
    SafeArrayDestroy(times);
}

TEST_F(TaskTest, GetRunTimesRefusesALockedArrayAndFreesTheServiceBuffer) {
    ComRef<TaskObject> task = BoundTask();
    item->runs = {Time(2024, 5, 17, 9, 0)};
    DATE begin = Day(2024, 1, 1), end = Day(2024, 12, 31);
    SAFEARRAY *times = SafeArrayCreateVector(VT_DATE, 0, 2);
    SafeArrayLock(times);
    SAFEARRAY *const before = times;
    LONG n = -1;
    EXPECT_EQ(task->GetRunTimes(&begin, &end, &times, &n), DISP_E_ARRAYISLOCKED);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(times, before);
    SafeArrayUnlock(times);
    SafeArrayDestroy(times);

    SAFEARRAY *strings = SafeArrayCreateVector(VT_BSTR, 0, 1);
    EXPECT_EQ(task->GetRunTimes(&begin, &end, &strings, &n), static_cast<HRESULT>(0x800A000D));
    SafeArrayDestroy(strings);
    EXPECT_EQ(task->GetRunTimes(nullptr, &end, &times, &n), E_POINTER);
    // The leak checker of the sanitizer build proves the buffers were freed.
}

TEST_F(TaskTest, RunDatesStatusAndExitCode) {
    ComRef<TaskObject> task = BoundTask();
    DATE d = -1;
    ASSERT_EQ(task->get_NextRunTime(&d), S_OK);
    EXPECT_EQ(d, 0.0) << "an all-zero record is no time";
    item->nextRun = Time(2024, 5, 17, 12, 0);
    ASSERT_EQ(task->get_NextRunTime(&d), S_OK);
    EXPECT_DOUBLE_EQ(d, Day(2024, 5, 17) + 0.5);
    journal.Answer("GetNextRunTime", SCHED_E_SERVICE_NOT_RUNNING);
    EXPECT_EQ(task->get_NextRunTime(&d), SCHED_E_SERVICE_NOT_RUNNING);

    journal.Answer("GetMostRecentRunTime", SCHED_S_TASK_HAS_NOT_RUN);
    ASSERT_EQ(task->get_MostRecentRuntime(&d), S_OK);
    EXPECT_EQ(d, 0.0);
    journal.Answer("GetMostRecentRunTime", E_FAIL);
    item->lastRun = Time(2024, 5, 16, 6, 0);
    ASSERT_EQ(task->get_MostRecentRuntime(&d), S_OK) << "the result code is not looked at";
    EXPECT_DOUBLE_EQ(d, Day(2024, 5, 16) + 0.25);

    TaskScheduler::TASK_STATUS status{};
    item->status = SCHED_S_TASK_HAS_NOT_RUN;
    ASSERT_EQ(task->get_Status(&status), S_OK);
    EXPECT_EQ(static_cast<LONG>(status), SCHED_S_TASK_HAS_NOT_RUN);
    journal.Answer("GetStatus", E_ACCESSDENIED);
    EXPECT_EQ(task->get_Status(&status), E_ACCESSDENIED);

    LONG code = -1;
    journal.Answer("GetExitCode", SCHED_S_TASK_HAS_NOT_RUN);
    ASSERT_EQ(task->get_ExitCode(&code), S_OK);
    EXPECT_EQ(code, 0);
    item->exitCode = 0xC0000005u;
    journal.Answer("GetExitCode", E_FAIL);
    ASSERT_EQ(task->get_ExitCode(&code), S_OK);
    EXPECT_EQ(code, static_cast<LONG>(0xC0000005u));
}

// ---- Work item data -----------------------------------------------------------------------------------------------

TEST_F(TaskTest, WorkItemDataRoundTripsFromAnyLowerBound) {
    ComRef<TaskObject> task = BoundTask();
    journal.Clear();
    SAFEARRAY *data = Bytes(5, {1, 2, 3});
    ASSERT_EQ(task->put_WorkItemData(&data), S_OK);
    EXPECT_EQ(journal.Calls(), (Calls{"SetWorkItemData(3:1 2 3)"}));
    EXPECT_EQ(data->cLocks, 0u) << "the lock is released";
    SafeArrayDestroy(data);

    SAFEARRAY *back = nullptr;
    ASSERT_EQ(task->get_WorkItemData(&back), S_OK);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->rgsabound[0].lLbound, 0);
    EXPECT_EQ(back->rgsabound[0].cElements, 3u);
    EXPECT_EQ(std::memcmp(back->pvData, "\x01\x02\x03", 3), 0);
    SafeArrayDestroy(back);
}

TEST_F(TaskTest, EmptyWorkItemDataIsQuietAndStoresNothing) {
    ComRef<TaskObject> task = BoundTask();
    item->data = {9, 9};
    journal.Clear();
    journal.ExpectOnly({});
    SAFEARRAY *none = nullptr;
    EXPECT_EQ(task->put_WorkItemData(&none), S_OK);
    SAFEARRAY *zero = SafeArrayCreateVector(VT_UI1, 0, 0);
    EXPECT_EQ(task->put_WorkItemData(&zero), S_OK);
    SafeArrayDestroy(zero);
    EXPECT_FALSE(TakeErrorInfo().present);
    EXPECT_EQ(item->data, (std::vector<BYTE>{9, 9}));
    EXPECT_EQ(task->put_WorkItemData(nullptr), E_POINTER);
}

TEST_F(TaskTest, WorkItemDataIsLimitedToSixteenBits) {
    ComRef<TaskObject> task = BoundTask();
    SAFEARRAY *largest = Bytes(0, std::vector<BYTE>(32767, 7));
    ASSERT_EQ(task->put_WorkItemData(&largest), S_OK);
    EXPECT_EQ(item->data.size(), 32767u);
    SafeArrayDestroy(largest);

    journal.Clear();
    SAFEARRAY *tooLarge = Bytes(-3, std::vector<BYTE>(32768, 7));
    EXPECT_EQ(task->put_WorkItemData(&tooLarge), static_cast<HRESULT>(0x800A0006));
    EXPECT_TRUE(journal.Calls().empty());
    EXPECT_EQ(tooLarge->cLocks, 0u);
    SafeArrayDestroy(tooLarge);

    SAFEARRAY *words = SafeArrayCreateVector(VT_I4, 0, 2);
    EXPECT_EQ(task->put_WorkItemData(&words), static_cast<HRESULT>(0x800A000D)) << "not a byte array";
    SafeArrayDestroy(words);

    // A count beyond the 16-bit range, stored by another program, reads as
    // an array without elements.
    item->reportedDataCount = 40000;
    SAFEARRAY *back = reinterpret_cast<SAFEARRAY *>(1);
    ASSERT_EQ(task->get_WorkItemData(&back), S_OK);
    EXPECT_EQ(back, nullptr);
    item->reportedDataCount = 0;
    ASSERT_EQ(task->get_WorkItemData(&back), S_OK);
    EXPECT_EQ(back, nullptr);
}

TEST_F(TaskTest, WorkItemDataPassesServiceFailuresOnWithTheirRecord) {
    ComRef<TaskObject> task = BoundTask();
    journal.Answer("SetWorkItemData", E_ACCESSDENIED);
    SAFEARRAY *data = Bytes(0, {1});
    EXPECT_EQ(task->put_WorkItemData(&data), E_ACCESSDENIED);
    const SeenError e = TakeErrorInfo();
    EXPECT_TRUE(e.present);
    EXPECT_EQ(e.source, u"Velqo Task Scheduler");
    EXPECT_EQ(data->cLocks, 0u);
    SafeArrayDestroy(data);
    journal.Answer("GetWorkItemData", E_ACCESSDENIED);
    SAFEARRAY *back = nullptr;
    EXPECT_EQ(task->get_WorkItemData(&back), E_ACCESSDENIED);
}

// ---- Errors and the surface ---------------------------------------------------------------------------------------

TEST_F(TaskTest, ASuccessfulCallClearsTheErrorInformation) {
    ComRef<TaskObject> task = BoundTask();
    velqosch::BstrHolder empty(u"");
    EXPECT_EQ(task->put_ApplicationName(empty.get()), static_cast<HRESULT>(0x800A0005));
    BSTR name = nullptr;
    ASSERT_EQ(task->get_TaskName(&name), S_OK);
    SysFreeString(name);
    EXPECT_FALSE(TakeErrorInfo().present);
}

TEST_F(TaskTest, InterfacesAnswered) {
    ComRef<TaskObject> task = BoundTask();
    void *p = reinterpret_cast<void *>(1);
    for (const IID *iid : {&IID_IUnknown, &IID_IDispatch, &TaskScheduler::IID__Task}) {
        ASSERT_EQ(task->QueryInterface(*iid, &p), S_OK);
        EXPECT_EQ(p, static_cast<_Task *>(task.get()));
        static_cast<IUnknown *>(p)->Release();
    }
    EXPECT_EQ(task->QueryInterface(TaskScheduler::IID__Trigger, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(task->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
    EXPECT_EQ(task->InterfaceSupportsErrorInfo(TaskScheduler::IID__Task), S_OK);
    EXPECT_EQ(task->References(), 1u);
}

}  // namespace
}  // namespace objects_test
