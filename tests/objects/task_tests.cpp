// Task: binding, Save and SaveAs, what each setting sends to the service,
// run times and status, the work item data, and the error records.
#include <cstring>
#include <functional>

#include "objects/objects_test.h"

namespace objects_test {
namespace {

using TaskScheduler::_Task;
using velqosch::BstrHolder;
using velqosch::TaskObject;

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

using TaskTest = ObjectsTest;

TEST_F(TaskTest, BindingHoldsTheItemThriceAndLoadsTheTriggers) {
    item->AddStoredTrigger(fake::Record());
    ComRef<TaskObject> task = TaskObject::Create();
    EXPECT_EQ(velqosch::LiveObjectCount(), liveAtStart_ + 2) << "the Task and its Triggers";
    task->SetITask(item.get());
    EXPECT_EQ(item->Refs(), 4u) << "fixture, ITask, IScheduledWorkItem, the Triggers' IScheduledWorkItem";
    EXPECT_EQ(task->Triggers()->Count(), 1);
    EXPECT_EQ(task->Triggers().get(), task->Triggers().get());

    // The name stays with the object; the service is not asked.
    journal.ExpectOnly({});
    BstrHolder name(u"Weekly backup");
    BSTR value = name.get();
    ASSERT_EQ(task->put_TaskName(&value), S_OK);
    EXPECT_EQ(value, name.get()) << "the argument is left as it was";
    BSTR back = nullptr;
    ASSERT_EQ(task->get_TaskName(&back), S_OK);
    EXPECT_EQ(Take(back), u"Weekly backup");
    EXPECT_EQ(task->put_TaskName(nullptr), E_POINTER);
}

// A work item that does not answer for its base interface is served by its
// ITask; any other refusal fails the binding with that status.
TEST_F(TaskTest, BindingUsesTheITaskWhenTheItemDoesNotAnswerForItsBase) {
    item->workItemQuery = E_NOINTERFACE;
    ComRef<TaskObject> task = BoundTask();
    EXPECT_EQ(item->Refs(), 4u);
    ComRef<TaskScheduler::_Trigger> trigger;
    EXPECT_EQ(task->Triggers()->Add(trigger.Out()), S_OK);
    trigger.reset();
    item->workItemQuery = E_ACCESSDENIED;
    ComRef<TaskObject> refused = TaskObject::Create();
    EXPECT_EQ(velqosch::Guard([&] { refused->SetITask(item.get()); }), E_ACCESSDENIED);
    item->workItemQuery = S_OK;
}

TEST_F(TaskTest, SaveAndSaveAsWriteTheNameBackWithItsSuffix) {
    ComRef<TaskObject> task = BoundTask();
    std::string folder;
    for (char16_t c : velqosch::Globals().WindowsDirectory) folder += static_cast<char>(c);
    folder += std::string("Tasks") + velqosch::kPathSeparator;
    struct Row {
        const char16_t *given, *written;
    };
    for (const Row &r : {Row{u"Weekly", u"Weekly.job"}, Row{u"Weekly.JOB", u"Weekly.JOB"}, Row{u"", u".job"},
                         Row{u"job", u"job.job"}, Row{u"a.jobs", u"a.jobs.job"}}) {
        journal.Clear();
        BSTR name = SysAllocString(r.given);
        ASSERT_EQ(task->SaveAs(&name), S_OK);
        EXPECT_EQ(Take(name), r.written);
        const std::string path = "\"" + folder + fake::Text(r.written).substr(1);
        EXPECT_EQ(journal.Calls(), (Calls{"Save(" + path + ",0)", "SaveCompleted(" + path + ")"}));
    }
    journal.Clear();
    ASSERT_EQ(task->Save(), S_OK);
    EXPECT_EQ(journal.Calls(), (Calls{"Save(null,0)", "SaveCompleted(\"0\")"})) << "Save goes to the item's own file";
    EXPECT_EQ(task->SaveAs(nullptr), E_POINTER);

    journal.Answer("SaveCompleted", STG_E_FILENOTFOUND);
    BSTR name = SysAllocString(u"Nightly");
    EXPECT_EQ(task->SaveAs(&name), STG_E_FILENOTFOUND);
    EXPECT_EQ(Take(name), u"Nightly.job") << "a failed SaveAs has still extended the name";

    journal.Clear();
    journal.Answer("Save", E_ACCESSDENIED);
    EXPECT_EQ(task->Save(), E_ACCESSDENIED);
    EXPECT_EQ(journal.Calls(), (Calls{"Save(null,0)"})) << "no SaveCompleted after a failed Save";
    item->persistQuery = E_NOINTERFACE;
    EXPECT_EQ(task->Save(), E_NOINTERFACE);
}

// Each row: what the client does to a fresh Task, and the service calls it makes.
TEST_F(TaskTest, EachSettingSendsItsServiceCalls) {
    using Put = std::function<void(_Task *)>;
    auto S = [](const char16_t *t) { return SysAllocString(t); };
    struct Row {
        const char *what;
        Put put;
        Calls calls;
    };
    const Row rows[] = {
        {"strings",
         [&](_Task *t) {
             for (auto m : {&_Task::put_ApplicationName, &_Task::put_Parameters, &_Task::put_WorkingDirectory,
                            &_Task::put_Comment, &_Task::put_Creator}) {
                 BSTR b = S(u"x y");
                 EXPECT_EQ((t->*m)(b), S_OK);
                 SysFreeString(b);
             }
         },
         {"SetApplicationName(\"x y\")", "SetParameters(\"x y\")", "SetWorkingDirectory(\"x y\")",
          "SetComment(\"x y\")", "SetCreator(\"x y\")"}},
        {"empty strings",
         [&](_Task *t) {
             BSTR b = S(u"");
             for (auto m : {&_Task::put_Parameters, &_Task::put_Comment, &_Task::put_WorkingDirectory})
                 EXPECT_EQ((t->*m)(b), S_OK);
             SysFreeString(b);
         },
         {"SetComment(\"\")", "SetWorkingDirectory(\"\")"}},
        {"numbers as bit patterns",
         [](_Task *t) {
             EXPECT_EQ(t->put_MaxRunTime(-1), S_OK);
             EXPECT_EQ(t->put_Priority(static_cast<TaskScheduler::TASK_PRIORITY>(0x12345)), S_OK);
             EXPECT_EQ(t->put_flags(TASK_FLAG_HIDDEN), S_OK);
         },
         {"SetMaxRunTime(4294967295)", "SetPriority(74565)", "SetFlags(512)"}},
        {"idle values travel as a pair",
         [](_Task *t) {
             EXPECT_EQ(t->put_IdleWaitMinutes(10), S_OK);
             EXPECT_EQ(t->put_IdleWaitDeadlineMinutes(-1), S_OK);
         },
         {"SetIdleWait(10,0)", "SetIdleWait(10,65535)"}},
        {"account and password",
         [&](_Task *t) {
             BSTR secret = S(u"s3cret"), bob = S(u"bob"), empty = S(u"");
             EXPECT_EQ(t->put_Password(secret), S_OK);  // no account yet: only kept
             EXPECT_EQ(t->put_AccountName(bob), S_OK);
             EXPECT_EQ(t->put_Password(empty), S_OK);
             EXPECT_EQ(t->put_AccountName(bob), S_OK);
             EXPECT_EQ(t->put_AccountName(nullptr), S_OK);
             EXPECT_EQ(t->put_Password(secret), S_OK);  // the empty account is cached too
             for (BSTR b : {secret, bob, empty}) SysFreeString(b);
         },
         {"SetAccountInformation(\"bob\",\"s3cret\")", "SetAccountInformation(\"bob\",\"\")",
          "SetAccountInformation(\"bob\",null)", "SetAccountInformation(\"\",null)"}},
        {"retry settings are inert",
         [](_Task *t) {
             SHORT v = 7;
             EXPECT_EQ(t->put_ErrorRetryCount(3), S_OK);
             EXPECT_EQ(t->put_ErrorRetryInterval(5), S_OK);
             EXPECT_EQ(t->get_ErrorRetryCount(&v), S_OK);
             EXPECT_EQ(v, 0);
             EXPECT_EQ(t->get_ErrorRetryInterval(&v), S_OK);
             EXPECT_EQ(v, 0);
         },
         {}},
        {"edit", [](_Task *t) { EXPECT_EQ(t->Edit(), S_OK); }, {"EditWorkItem(0,0)"}},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        ComRef<TaskObject> task = BoundTask();
        journal.Clear();
        r.put(task.get());
        EXPECT_EQ(journal.Calls(), r.calls);
    }
}

TEST_F(TaskTest, AnEmptyApplicationNameIsRefusedWithItsRecord) {
    ComRef<TaskObject> task = BoundTask();
    journal.Clear();
    journal.ExpectOnly({});
    BstrHolder empty(u"");
    for (BSTR value : {empty.get(), BSTR{}}) {
        EXPECT_EQ(task->put_ApplicationName(value), kE5);
        EXPECT_EQ(TakeErrorInfo(), Record(u"Application name must not be empty", u"velqosch.chm", 9999));
    }
    // A later successful call clears the thread's error.
    BSTR name = nullptr;
    ASSERT_EQ(task->get_TaskName(&name), S_OK);
    SysFreeString(name);
    EXPECT_FALSE(TakeErrorInfo().present);
}

TEST_F(TaskTest, GetsAskTheServiceAndPassItsFailuresOn) {
    ComRef<TaskObject> task = BoundTask();
    item->account = u"DOMAIN\\carol";
    item->idleMinutes = 10;
    item->deadlineMinutes = 60;
    BSTR s = nullptr;
    ASSERT_EQ(task->get_AccountName(&s), S_OK);
    EXPECT_EQ(Take(s), u"DOMAIN\\carol");
    SHORT deadline = 0;
    ASSERT_EQ(task->get_IdleWaitDeadlineMinutes(&deadline), S_OK);
    EXPECT_EQ(deadline, 60);
    journal.Clear();
    ASSERT_EQ(task->put_IdleWaitDeadlineMinutes(30), S_OK);
    EXPECT_EQ(journal.Calls(), (Calls{"SetIdleWait(10,30)"})) << "the get refreshed both cached values";

    journal.Answer("GetAccountInformation", SCHED_E_ACCOUNT_INFORMATION_NOT_SET);
    journal.Answer("GetComment", E_ACCESSDENIED);
    s = reinterpret_cast<BSTR>(1);
    EXPECT_EQ(task->get_AccountName(&s), SCHED_E_ACCOUNT_INFORMATION_NOT_SET);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(task->get_Comment(&s), E_ACCESSDENIED);
    EXPECT_EQ(TakeErrorInfo().source, u"Velqo Task Scheduler");
    EXPECT_EQ(task->get_Comment(nullptr), E_POINTER);
}

TEST_F(TaskTest, GetRunTimesFillsANewArrayFromZero) {
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
    EXPECT_EQ(times->rgsabound[0].lLbound, 0);
    EXPECT_EQ(times->rgsabound[0].cElements, 3u);
    EXPECT_DOUBLE_EQ(static_cast<const DATE *>(times->pvData)[2], Day(2024, 5, 19) + 9.5 / 24.0);
    SafeArrayDestroy(times);

    // At most the fifty the service gives.
    for (WORD k = 0; k < 80; ++k) item->runs.push_back(Time(2024, 6, 1, static_cast<WORD>(k % 24), 0));
    times = nullptr;
    ASSERT_EQ(task->GetRunTimes(&begin, &end, &times, &n), S_OK);
    EXPECT_EQ(n, 50);
    SafeArrayDestroy(times);
}

TEST_F(TaskTest, GetRunTimesAnswersAndRefusals) {
    ComRef<TaskObject> task = BoundTask();
    DATE begin = Day(2024, 1, 1), end = Day(2024, 12, 31);
    SAFEARRAY *const original = SafeArrayCreateVector(VT_DATE, 0, 1);
    struct Row {
        HRESULT answer;
        LONG expected;
    };
    for (const Row &r : {Row{SCHED_S_TASK_DISABLED, 0}, Row{SCHED_S_TASK_NO_VALID_TRIGGERS, 0},
                         Row{SCHED_S_EVENT_TRIGGER, 267016}, Row{E_ACCESSDENIED, 0}, Row{S_FALSE, 0}}) {
        SCOPED_TRACE(r.answer);
        journal.Answer("GetRunTimes", r.answer);
        SAFEARRAY *times = original;
        LONG n = -1;
        ASSERT_EQ(task->GetRunTimes(&begin, &end, &times, &n), S_OK) << "GetRunTimes raises nothing";
        EXPECT_EQ(n, r.expected);
        EXPECT_EQ(times, original) << "TaskTimes is left as it was";
    }
    journal.ClearAnswers();
    item->runs = {Time(2024, 5, 17, 9, 0)};
    SafeArrayLock(original);
    SAFEARRAY *times = original;
    LONG n = -1;
    EXPECT_EQ(task->GetRunTimes(&begin, &end, &times, &n), DISP_E_ARRAYISLOCKED);
    EXPECT_EQ(times, original);
    SafeArrayUnlock(original);
    SafeArrayDestroy(original);
    SAFEARRAY *strings = SafeArrayCreateVector(VT_BSTR, 0, 1);
    EXPECT_EQ(task->GetRunTimes(&begin, &end, &strings, &n), kE13);
    SafeArrayDestroy(strings);
    EXPECT_EQ(task->GetRunTimes(nullptr, &end, &times, &n), E_POINTER);
    // The sanitizer build's leak checker proves the service's buffers were freed.
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

TEST_F(TaskTest, WorkItemDataRoundTripsFromAnyLowerBoundUpTo32767Bytes) {
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

    SAFEARRAY *largest = Bytes(0, std::vector<BYTE>(32767, 7));
    ASSERT_EQ(task->put_WorkItemData(&largest), S_OK);
    EXPECT_EQ(item->data.size(), 32767u);
    SafeArrayDestroy(largest);
    // A count beyond the 16-bit range, stored by another program, reads as
    // an array without elements.
    item->reportedDataCount = 40000;
    back = reinterpret_cast<SAFEARRAY *>(1);
    ASSERT_EQ(task->get_WorkItemData(&back), S_OK);
    EXPECT_EQ(back, nullptr);
}

TEST_F(TaskTest, WorkItemDataRefusals) {
    ComRef<TaskObject> task = BoundTask();
    item->data = {9, 9};
    journal.Clear();
    journal.ExpectOnly({});
    // No elements: quiet, nothing stored, no error left.
    SAFEARRAY *none = nullptr, *zero = SafeArrayCreateVector(VT_UI1, 0, 0);
    EXPECT_EQ(task->put_WorkItemData(&none), S_OK);
    EXPECT_EQ(task->put_WorkItemData(&zero), S_OK);
    SafeArrayDestroy(zero);
    EXPECT_FALSE(TakeErrorInfo().present);
    EXPECT_EQ(task->put_WorkItemData(nullptr), E_POINTER);
    SAFEARRAY *tooLarge = Bytes(-3, std::vector<BYTE>(32768, 7)), *words = SafeArrayCreateVector(VT_I4, 0, 2);
    EXPECT_EQ(task->put_WorkItemData(&tooLarge), kE6);
    EXPECT_EQ(tooLarge->cLocks, 0u);
    EXPECT_EQ(task->put_WorkItemData(&words), kE13) << "not a byte array";
    SafeArrayDestroy(tooLarge);
    SafeArrayDestroy(words);
    EXPECT_EQ(item->data, (std::vector<BYTE>{9, 9}));

    journal.ExpectOnly({"SetWorkItemData", "GetWorkItemData"});
    journal.Answer("SetWorkItemData", E_ACCESSDENIED);
    journal.Answer("GetWorkItemData", E_ACCESSDENIED);
    SAFEARRAY *data = Bytes(0, {1});
    EXPECT_EQ(task->put_WorkItemData(&data), E_ACCESSDENIED);
    EXPECT_EQ(TakeErrorInfo().source, u"Velqo Task Scheduler");
    EXPECT_EQ(data->cLocks, 0u);
    SafeArrayDestroy(data);
    EXPECT_EQ(task->get_WorkItemData(&data), E_ACCESSDENIED);
}

// Every object answers its own interfaces, clears the out-pointer of a
// refused query and supports error information on its own interface only.
TEST_F(TaskTest, InterfacesOfTheObjects) {
    item->AddStoredTrigger(fake::Record());
    ComRef<TaskObject> task = BoundTask();
    struct Row {
        IUnknown *object;
        std::vector<const IID *> own;
        const IID *other;
    };
    const Row rows[] = {
        {static_cast<_Task *>(task.get()), {&TaskScheduler::IID__Task}, &TaskScheduler::IID__Trigger},
        {static_cast<TaskScheduler::_Triggers *>(task->Triggers().get()),
         {&TaskScheduler::IID__Triggers},
         &TaskScheduler::IID__Task},
        {static_cast<TaskScheduler::_Trigger *>(task->Triggers()->Item(1).get()),
         {&TaskScheduler::IID__Trigger, &TaskScheduler::IID__TriggerV0},
         &TaskScheduler::IID__Task},
    };
    for (const Row &r : rows) {
        void *p = nullptr;
        for (const IID *iid : r.own) {
            ASSERT_EQ(r.object->QueryInterface(*iid, &p), S_OK);
            EXPECT_EQ(p, r.object);
            static_cast<IUnknown *>(p)->Release();
        }
        ComRef<ISupportErrorInfo> support;
        ASSERT_EQ(r.object->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void **>(support.Out())), S_OK);
        EXPECT_EQ(support->InterfaceSupportsErrorInfo(*r.own[0]), S_OK);
        EXPECT_EQ(support->InterfaceSupportsErrorInfo(*r.other), S_FALSE);
        p = reinterpret_cast<void *>(1);
        EXPECT_EQ(r.object->QueryInterface(*r.other, &p), E_NOINTERFACE);
        EXPECT_EQ(p, nullptr);
        EXPECT_EQ(r.object->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
    }
    EXPECT_EQ(task->References(), 1u);
}

}  // namespace
}  // namespace objects_test
