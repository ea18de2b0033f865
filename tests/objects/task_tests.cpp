// Task over the strict fake service: Save and SaveAs, what each setting
// sends, run times, the last run and exit code, work item data, error records.
#include <cstring>

#include "common/fake_service.h"
#include "globals/strings.h"

namespace fake {
namespace {

using TaskScheduler::_Task;
using velqosch::BstrHolder, velqosch::FromBstr, velqosch::TaskObject;

SAFEARRAY *Bytes(LONG lower, std::vector<BYTE> bytes, VARTYPE vt = VT_UI1) {
    SAFEARRAY *a = SafeArrayCreateVector(vt, lower, static_cast<ULONG>(bytes.size()));
    if (a && !bytes.empty() && vt == VT_UI1) std::memcpy(a->pvData, bytes.data(), bytes.size());
    return a;
}

using TaskTest = ServiceTest;

TEST_F(TaskTest, SaveAsWritesTheNameBackWithItsSuffixAndEachSettingSendsItsCalls) {
    ComRef<TaskObject> task = BoundTask();
    std::string folder = "\"";
    for (char16_t c : velqosch::Globals().WindowsDirectory) folder += static_cast<char>(c);
    folder += std::string("Tasks") + velqosch::kPathSeparator;
    for (auto [given, written] : {std::pair{u"a.jOb", u"a.jOb"}, {u"job", u"job.job"}, {u"a.jobs", u"a.jobs.job"}}) {
        journal.Clear();
        BSTR name = SysAllocString(given);
        ASSERT_EQ(task->SaveAs(&name), S_OK);
        EXPECT_EQ(Take(name), written);
        const std::string path = folder + fake::Text(written).substr(1);
        EXPECT_EQ(journal.Log(), (Calls{"Save(" + path + ",0)", "SaveCompleted(" + path + ")"}));
    }
    journal.Clear();
    ASSERT_EQ(task->Save(), S_OK);
    EXPECT_EQ(journal.Log(), (Calls{"Save(null,0)", "SaveCompleted(\"0\")"}));

    journal.Answer("SaveCompleted", STG_E_FILENOTFOUND);
    BSTR name = SysAllocString(u"Nightly");
    EXPECT_EQ(task->SaveAs(&name), STG_E_FILENOTFOUND);
    EXPECT_EQ(FromBstr(name), u"Nightly.job") << "a failed SaveAs has still extended the name";
    BSTR value = name;
    ASSERT_EQ(task->put_TaskName(&value), S_OK);
    EXPECT_EQ(value, name) << "TaskName leaves its argument as it was";
    journal.Clear();
    journal.Answer("Save", E_ACCESSDENIED);
    EXPECT_EQ(task->Save(), E_ACCESSDENIED);
    EXPECT_EQ(journal.Log(), (Calls{"Save(null,0)"}));
    item->persistQuery = E_NOINTERFACE;
    EXPECT_EQ(task->SaveAs(&name), E_NOINTERFACE);
    EXPECT_EQ(TakeErrorInfo(), Raised(u"No such interface supported"));
    SysFreeString(name);

    // What each setting sends, in order: a password before any account is only
    // kept, the empty account is cached too; an empty Parameters is not sent;
    // numbers go as bit patterns, idle values as a pair; the retry settings are inert.
    journal.Clear();
    const BstrHolder xy(u"x y"), none(u""), secret(u"s3cret"), bob(u"bob");
    using Put = HRESULT (STDMETHODCALLTYPE _Task::*)(BSTR);
    // clang-format off
    const std::pair<Put, BSTR> texts[] = {
        {&_Task::put_Password, secret.get()}, {&_Task::put_AccountName, bob.get()}, {&_Task::put_Password, none.get()},
        {&_Task::put_AccountName, bob.get()}, {&_Task::put_AccountName, nullptr}, {&_Task::put_Password, secret.get()},
        {&_Task::put_ApplicationName, xy.get()}, {&_Task::put_Parameters, xy.get()}, {&_Task::put_Parameters, none.get()},
        {&_Task::put_WorkingDirectory, none.get()}, {&_Task::put_Comment, none.get()}, {&_Task::put_Creator, xy.get()}};
    // clang-format on
    for (auto [put, value] : texts) EXPECT_EQ((task.get()->*put)(value), S_OK);
    for (HRESULT hr : {task->put_MaxRunTime(-1), task->put_Priority(static_cast<TaskScheduler::TASK_PRIORITY>(0x12345)),
                       task->put_flags(TASK_FLAG_HIDDEN), task->put_IdleWaitMinutes(10),
                       task->put_IdleWaitDeadlineMinutes(-1), task->Edit()})
        EXPECT_EQ(hr, S_OK);  // in this order
    SHORT count = 7, interval = 7;
    EXPECT_EQ(task->put_ErrorRetryCount(3) | task->put_ErrorRetryInterval(5), S_OK);
    EXPECT_EQ(task->get_ErrorRetryCount(&count) | task->get_ErrorRetryInterval(&interval), S_OK);
    EXPECT_EQ(count + interval, 0);
    EXPECT_EQ(journal.Log(),
              (Calls{"SetAccountInformation(\"bob\",\"s3cret\")", "SetAccountInformation(\"bob\",\"\")",
                     "SetAccountInformation(\"bob\",null)", "SetAccountInformation(\"\",null)",
                     "SetApplicationName(\"x y\")", "SetParameters(\"x y\")", "SetWorkingDirectory(\"\")",
                     "SetComment(\"\")", "SetCreator(\"x y\")", "SetMaxRunTime(4294967295)", "SetPriority(74565)",
                     "SetFlags(512)", "SetIdleWait(10,0)", "SetIdleWait(10,65535)", "EditWorkItem(0,0)"}));
}

TEST_F(TaskTest, ErrorRecordsAndServiceFailures) {
    ComRef<TaskObject> task = BoundTask();
    journal.Clear();
    EXPECT_EQ(task->put_ApplicationName(nullptr), kE5) << "the null string is empty too";  // "" in end_to_end_tests
    BSTR s = nullptr;
    ASSERT_EQ(task->get_TaskName(&s), S_OK);
    SysFreeString(s);
    EXPECT_TRUE(TakeErrorInfo().empty()) << "a later successful call clears the thread's error";

    journal.Answer("GetAccountInformation", SCHED_E_ACCOUNT_INFORMATION_NOT_SET);
    journal.Answer("GetComment", E_ACCESSDENIED);
    s = reinterpret_cast<BSTR>(1);
    EXPECT_EQ(task->get_AccountName(&s), SCHED_E_ACCOUNT_INFORMATION_NOT_SET);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(task->get_Comment(&s), E_ACCESSDENIED);
    EXPECT_EQ(TakeErrorInfo(), Raised(u"Access is denied."));
    EXPECT_EQ(task->get_Comment(nullptr), E_POINTER);

    // The last run and the exit code are read whatever the service answers.
    journal.ClearAnswers();
    journal.Answer("GetMostRecentRunTime", E_FAIL), journal.Answer("GetExitCode", E_FAIL);
    item->lastRun = Time(2024, 5, 16, 6, 0), item->exitCode = 0xC0000005u;
    DATE d = -1;
    LONG code = -1;
    ASSERT_EQ(task->get_MostRecentRuntime(&d) | task->get_ExitCode(&code), S_OK);
    EXPECT_DOUBLE_EQ(d, Day(2024, 5, 16) + 0.25);
    EXPECT_EQ(code, static_cast<LONG>(0xC0000005u));
    EXPECT_EQ(journal.Log(),
              (Calls{"GetAccountInformation()", "GetComment()", "GetMostRecentRunTime()", "GetExitCode()"}));
}

TEST_F(TaskTest, GetRunTimesAndWorkItemDataMakeNewArraysFromZero) {
    ComRef<TaskObject> task = BoundTask();
    item->runs = {Time(2024, 5, 17, 9, 0), Time(2024, 5, 18, 9, 0), Time(2024, 5, 19, 9, 30)};
    DATE begin = Day(2024, 5, 17) + 0.25, end = Day(2024, 5, 20);
    SAFEARRAY *times = SafeArrayCreateVector(VT_DATE, 7, 10);
    LONG n = -1;
    ASSERT_EQ(task->GetRunTimes(&begin, &end, &times, &n), S_OK);
    EXPECT_EQ(n, 3);
    EXPECT_EQ(journal.Of("GetRunTimes"), Calls{"2024-05-17 06:00:00.000,2024-05-20 00:00:00.000,50"});
    ASSERT_NE(times, nullptr);
    EXPECT_EQ(times->rgsabound[0].lLbound, 0);
    EXPECT_EQ(times->rgsabound[0].cElements, 3u);
    EXPECT_DOUBLE_EQ(static_cast<const DATE *>(times->pvData)[2], Day(2024, 5, 19) + 9.5 / 24.0);
    SafeArrayDestroy(times);

    item->runs.resize(1);
    SAFEARRAY *const original = SafeArrayCreateVector(VT_DATE, 0, 1);
    for (auto [answer, expected] : {std::pair{SCHED_S_EVENT_TRIGGER, 267016}, {E_ACCESSDENIED, 0}}) {
        journal.Answer("GetRunTimes", answer);
        times = original, n = -1;
        ASSERT_EQ(task->GetRunTimes(&begin, &end, &times, &n), S_OK) << "GetRunTimes raises nothing";
        EXPECT_EQ(n, expected);
        EXPECT_EQ(times, original);
    }
    journal.ClearAnswers();
    SafeArrayLock(original);
    EXPECT_EQ(task->GetRunTimes(&begin, &end, &times, &n), DISP_E_ARRAYISLOCKED);
    EXPECT_EQ(times, original);
    SafeArrayUnlock(original);
    SafeArrayDestroy(original);
    SAFEARRAY *strings = SafeArrayCreateVector(VT_BSTR, 0, 1);
    EXPECT_EQ(task->GetRunTimes(&begin, &end, &strings, &n), kE13);
    SafeArrayDestroy(strings);

    // Work item data from any lower bound, up to 32767 bytes.
    SAFEARRAY *data = Bytes(5, {1, 2, 3}), *back = nullptr;
    ASSERT_EQ(task->put_WorkItemData(&data), S_OK);
    EXPECT_EQ(journal.Of("SetWorkItemData"), Calls{"3:1 2 3"});
    EXPECT_EQ(data->cLocks, 0u) << "the lock is released";
    SafeArrayDestroy(data);
    ASSERT_EQ(task->get_WorkItemData(&back), S_OK);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->rgsabound[0].lLbound, 0);
    EXPECT_EQ(std::vector<BYTE>(static_cast<BYTE *>(back->pvData), static_cast<BYTE *>(back->pvData) + 3),
              (std::vector<BYTE>{1, 2, 3}));
    SafeArrayDestroy(back);
    SAFEARRAY *largest = Bytes(0, std::vector<BYTE>(32767, 7));
    ASSERT_EQ(task->put_WorkItemData(&largest), S_OK);
    EXPECT_EQ(item->data.size(), 32767u);
    SafeArrayDestroy(largest);

    item->data = {9, 9};
    journal.Clear();
    SAFEARRAY *none = nullptr, *zero = Bytes(0, {});
    EXPECT_EQ(task->put_WorkItemData(&none) | task->put_WorkItemData(&zero), S_OK);
    SafeArrayDestroy(zero);
    EXPECT_TRUE(TakeErrorInfo().empty()) << "no elements: quiet, nothing stored";
    SAFEARRAY *tooLarge = Bytes(-3, std::vector<BYTE>(32768, 7)), *words = Bytes(0, {0, 0}, VT_I4);
    EXPECT_EQ(task->put_WorkItemData(&tooLarge), kE6);
    EXPECT_EQ(task->put_WorkItemData(&words), kE13);
    SafeArrayDestroy(tooLarge);
    SafeArrayDestroy(words);
    EXPECT_TRUE(journal.Log().empty() && item->data == (std::vector<BYTE>{9, 9}));
    journal.Answer("GetWorkItemData", E_ACCESSDENIED);
    EXPECT_EQ(task->get_WorkItemData(&data), E_ACCESSDENIED);
}

}  // namespace
}  // namespace fake
