// The task and trigger objects: settings through a save and a fresh
// Activate, triggers, run times and statuses, accounts, persistence.
#include <sys/stat.h>

#include <cstring>

#include "store_fixture.h"

namespace {

using TaskTest = StoreTest;

TASK_TRIGGER Weekly(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD days) {
    TASK_TRIGGER t{};
    t.cbTriggerSize = sizeof t;
    t.wBeginYear = year;
    t.wBeginMonth = month;
    t.wBeginDay = day;
    t.wStartHour = hour;
    t.wStartMinute = minute;
    t.TriggerType = TASK_TIME_TRIGGER_WEEKLY;
    t.Type.Weekly.WeeksInterval = 1;
    t.Type.Weekly.rgfDaysOfTheWeek = days;
    return t;
}

TEST_F(TaskTest, EverySettingSurvivesSaveAndActivate) {
    ITask *task = Saved(u"settings");
    ASSERT_EQ(task->SetApplicationName(u"/usr/bin/backup"), S_OK);
    ASSERT_EQ(task->SetParameters(u"--all \"two words\""), S_OK);
    ASSERT_EQ(task->SetWorkingDirectory(u"/var/tmp"), S_OK);
    ASSERT_EQ(task->SetComment(u"nightly \u00e9t\u00e9 \U0001F600"), S_OK);
    ASSERT_EQ(task->SetCreator(u"ops"), S_OK);
    ASSERT_EQ(task->SetIdleWait(7, 33), S_OK);
    ASSERT_EQ(task->SetPriority(HIGH_PRIORITY_CLASS), S_OK);
    ASSERT_EQ(task->SetMaxRunTime(0xFFFFFFFFu), S_OK);
    ASSERT_EQ(task->SetFlags(TASK_FLAG_HIDDEN | TASK_FLAG_DELETE_WHEN_DONE), S_OK);
    ASSERT_EQ(task->SetTaskFlags(0x1234), S_OK);
    BYTE data[] = {0, 1, 2, 250};
    ASSERT_EQ(task->SetWorkItemData(sizeof data, data), S_OK);
    IPersistFile *file = nullptr;
    ASSERT_EQ(task->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&file)), S_OK);
    EXPECT_EQ(file->IsDirty(), S_OK);
    ASSERT_EQ(file->Save(nullptr, TRUE), S_OK);
    EXPECT_EQ(file->IsDirty(), S_FALSE);
    file->Release();
    task->Release();

    ITask *again = Open(u"settings");
    ASSERT_NE(again, nullptr);
    LPWSTR text = nullptr;
    ASSERT_EQ(again->GetApplicationName(&text), S_OK);
    EXPECT_EQ(Take(text), u"/usr/bin/backup");
    ASSERT_EQ(again->GetParameters(&text), S_OK);
    EXPECT_EQ(Take(text), u"--all \"two words\"");
    ASSERT_EQ(again->GetWorkingDirectory(&text), S_OK);
    EXPECT_EQ(Take(text), u"/var/tmp");
    ASSERT_EQ(again->GetComment(&text), S_OK);
    EXPECT_EQ(Take(text), u"nightly \u00e9t\u00e9 \U0001F600");
    ASSERT_EQ(again->GetCreator(&text), S_OK);
    EXPECT_EQ(Take(text), u"ops");
    WORD idle = 0, deadline = 0;
    ASSERT_EQ(again->GetIdleWait(&idle, &deadline), S_OK);
    EXPECT_EQ(idle, 7);
    EXPECT_EQ(deadline, 33);
    DWORD value = 0;
    ASSERT_EQ(again->GetPriority(&value), S_OK);
    EXPECT_EQ(value, static_cast<DWORD>(HIGH_PRIORITY_CLASS));
    ASSERT_EQ(again->GetMaxRunTime(&value), S_OK);
    EXPECT_EQ(value, 0xFFFFFFFFu);
    ASSERT_EQ(again->GetFlags(&value), S_OK);
    EXPECT_EQ(value, static_cast<DWORD>(TASK_FLAG_HIDDEN | TASK_FLAG_DELETE_WHEN_DONE));
    ASSERT_EQ(again->GetTaskFlags(&value), S_OK);
    EXPECT_EQ(value, 0x1234u);
    WORD size = 0;
    BYTE *bytes = nullptr;
    ASSERT_EQ(again->GetWorkItemData(&size, &bytes), S_OK);
    ASSERT_EQ(size, sizeof data);
    EXPECT_EQ(std::memcmp(bytes, data, size), 0);
    CoTaskMemFree(bytes);
    ASSERT_EQ(again->SetWorkItemData(0, nullptr), S_OK);
    ASSERT_EQ(again->GetWorkItemData(&size, &bytes), S_OK);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(bytes, nullptr);
    EXPECT_EQ(again->Release(), 0u);
}

TEST_F(TaskTest, SettersRefuseBadValuesAndKeepTheOldOne) {
    ITask *task = Saved(u"refuse");
    for (DWORD priority : {0u, 0x10u, 0x21u, 0x8000u}) EXPECT_EQ(task->SetPriority(priority), E_INVALIDARG);
    DWORD value = 0;
    task->GetPriority(&value);
    EXPECT_EQ(value, static_cast<DWORD>(NORMAL_PRIORITY_CLASS));
    EXPECT_EQ(task->SetFlags(0x8), E_INVALIDARG);
    EXPECT_EQ(task->SetFlags(0x10000), E_INVALIDARG);
    EXPECT_EQ(task->SetMaxRunTime(0), E_INVALIDARG);
    task->GetMaxRunTime(&value);
    EXPECT_EQ(value, 259200000u);
    const std::u16string huge(65535, u'x');
    EXPECT_EQ(task->SetComment(huge.c_str()), E_INVALIDARG);
    EXPECT_EQ(task->SetComment(huge.c_str() + 1), S_OK);
    EXPECT_EQ(task->SetWorkItemData(4, nullptr), E_INVALIDARG);
    EXPECT_EQ(task->SetErrorRetryCount(1), E_NOTIMPL);
    EXPECT_EQ(task->SetErrorRetryInterval(1), E_NOTIMPL);
    WORD w = 0;
    EXPECT_EQ(task->GetErrorRetryCount(&w), E_NOTIMPL);
    EXPECT_EQ(task->GetErrorRetryInterval(&w), E_NOTIMPL);
    EXPECT_EQ(task->GetPriority(nullptr), E_POINTER);
    EXPECT_EQ(task->GetComment(nullptr), E_POINTER);
    EXPECT_EQ(task->GetIdleWait(&w, nullptr), E_POINTER);
    task->Release();
}

TEST_F(TaskTest, TriggersAddSetDeleteAndRefuse) {
    ITask *task = Saved(u"triggers");
    WORD index = 9;
    ITaskTrigger *first = nullptr, *second = nullptr;
    ASSERT_EQ(task->CreateTrigger(&index, &first), S_OK);
    EXPECT_EQ(index, 0);
    ASSERT_EQ(task->CreateTrigger(&index, &second), S_OK);
    EXPECT_EQ(index, 1);
    TASK_TRIGGER record{};
    ASSERT_EQ(first->GetTrigger(&record), S_OK);
    EXPECT_EQ(record.TriggerType, TASK_TIME_TRIGGER_DAILY);
    EXPECT_EQ(record.rgFlags & TASK_TRIGGER_FLAG_DISABLED, static_cast<DWORD>(TASK_TRIGGER_FLAG_DISABLED));

    TASK_TRIGGER weekly = Weekly(2026, 12, 7, 9, 30, TASK_MONDAY);
    ASSERT_EQ(second->SetTrigger(&weekly), S_OK);
    // refused records leave the previous one in place
    TASK_TRIGGER bad = weekly;
    bad.cbTriggerSize = 40;
    TASK_TRIGGER badHour = weekly;
    badHour.wStartHour = 24;
    TASK_TRIGGER badDate = weekly;
    badDate.wBeginMonth = 13;
    for (TASK_TRIGGER *refused : {&bad, &badHour, &badDate}) EXPECT_EQ(second->SetTrigger(refused), E_INVALIDARG);
    EXPECT_EQ(second->SetTrigger(nullptr), E_INVALIDARG);
    ASSERT_EQ(second->GetTrigger(&record), S_OK);
    EXPECT_EQ(std::memcmp(&record, &weekly, sizeof record), 0);

    WORD count = 0;
    ITaskTrigger *none = reinterpret_cast<ITaskTrigger *>(1);
    EXPECT_EQ(task->GetTrigger(2, &none), SCHED_E_TRIGGER_NOT_FOUND);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(task->DeleteTrigger(2), SCHED_E_TRIGGER_NOT_FOUND);
    LPWSTR text = nullptr;
    EXPECT_EQ(task->GetTriggerString(5, &text), SCHED_E_TRIGGER_NOT_FOUND);

    // deleting the first: the second object follows its record to index 0,
    // the first answers "not found"
    ASSERT_EQ(task->DeleteTrigger(0), S_OK);
    ASSERT_EQ(task->GetTriggerCount(&count), S_OK);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(first->GetTrigger(&record), SCHED_E_TRIGGER_NOT_FOUND);
    EXPECT_EQ(first->SetTrigger(&weekly), SCHED_E_TRIGGER_NOT_FOUND);
    ASSERT_EQ(second->GetTrigger(&record), S_OK);
    EXPECT_EQ(record.TriggerType, TASK_TIME_TRIGGER_WEEKLY);
    ASSERT_EQ(task->GetTriggerString(0, &text), S_OK);
    EXPECT_FALSE(Take(text).empty());
    EXPECT_EQ(first->Release(), 0u);
    EXPECT_EQ(second->Release(), 0u);

    ASSERT_EQ(Save(task), S_OK);
    task->Release();
    ITask *again = Open(u"triggers");
    ASSERT_EQ(again->GetTriggerCount(&count), S_OK);
    ASSERT_EQ(count, 1);
    ITaskTrigger *stored = nullptr;
    ASSERT_EQ(again->GetTrigger(0, &stored), S_OK);
    ASSERT_EQ(stored->GetTrigger(&record), S_OK);
    EXPECT_EQ(std::memcmp(&record, &weekly, sizeof record), 0);
    stored->Release();
    again->Release();
}

TEST_F(TaskTest, RunTimesCountsAndStatuses) {
    ITask *task = Saved(u"times");
    SYSTEMTIME begin{};
    begin.wYear = 2026;
    begin.wMonth = 12;
    begin.wDay = 1;
    WORD count = 5;
    SYSTEMTIME *times = reinterpret_cast<SYSTEMTIME *>(1);
    // no trigger at all
    HRESULT hr = task->GetRunTimes(&begin, nullptr, &count, &times);
    EXPECT_TRUE(hr == S_FALSE || hr == SCHED_S_TASK_NO_VALID_TRIGGERS) << std::hex << hr;
    EXPECT_EQ(count, 0);
    EXPECT_EQ(times, nullptr);

    WORD index = 0;
    ITaskTrigger *trigger = nullptr;
    ASSERT_EQ(task->CreateTrigger(&index, &trigger), S_OK);
    TASK_TRIGGER weekly = Weekly(2026, 12, 1, 9, 30, TASK_MONDAY | TASK_FRIDAY);
    ASSERT_EQ(trigger->SetTrigger(&weekly), S_OK);
    trigger->Release();
    for (WORD bad : {WORD(0), WORD(TASK_MAX_RUN_TIMES + 1)}) {
        count = bad;
        EXPECT_EQ(task->GetRunTimes(&begin, nullptr, &count, &times), E_INVALIDARG);
    }
    count = 1;
    EXPECT_EQ(task->GetRunTimes(nullptr, nullptr, &count, &times), E_INVALIDARG);
    EXPECT_EQ(task->GetRunTimes(&begin, nullptr, nullptr, &times), E_INVALIDARG);
    count = 4;
    ASSERT_EQ(task->GetRunTimes(&begin, nullptr, &count, &times), S_OK);
    ASSERT_EQ(count, 4);
    // Dec 2026: Fri 4, Mon 7, Fri 11, Mon 14
    const WORD days[] = {4, 7, 11, 14};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(times[i].wDay, days[i]);
        EXPECT_EQ(times[i].wHour, 9);
        EXPECT_EQ(times[i].wMinute, 30);
    }
    CoTaskMemFree(times);
    SYSTEMTIME end = begin;
    end.wDay = 8;
    count = 10;
    ASSERT_EQ(task->GetRunTimes(&begin, &end, &count, &times), S_FALSE);
    EXPECT_EQ(count, 2);
    CoTaskMemFree(times);

    SYSTEMTIME last{};
    EXPECT_EQ(task->GetMostRecentRunTime(&last), SCHED_S_TASK_HAS_NOT_RUN);
    DWORD exitCode = 5;
    EXPECT_EQ(task->GetExitCode(&exitCode), SCHED_S_TASK_HAS_NOT_RUN);
    HRESULT status = 0;
    ASSERT_EQ(task->GetStatus(&status), S_OK);
    EXPECT_EQ(status, SCHED_S_TASK_HAS_NOT_RUN);
    ASSERT_EQ(task->SetFlags(TASK_FLAG_DISABLED), S_OK);
    ASSERT_EQ(task->GetStatus(&status), S_OK);
    EXPECT_EQ(status, SCHED_S_TASK_DISABLED);
    count = 3;
    EXPECT_EQ(task->GetRunTimes(&begin, nullptr, &count, &times), SCHED_S_TASK_DISABLED);
    EXPECT_EQ(count, 0);
    task->Release();
}

TEST_F(TaskTest, RunNeedsAStoredItem) {
    ITask *task = nullptr;
    ASSERT_EQ(sched_->NewWorkItem(u"unsaved", CLSID_CTask, IID_ITask, reinterpret_cast<IUnknown **>(&task)), S_OK);
    EXPECT_EQ(task->Run(), SCHED_E_TASK_NOT_READY);
    EXPECT_EQ(task->Terminate(), SCHED_E_TASK_NOT_RUNNING);
    ASSERT_EQ(Save(task), S_OK);
    // no daemon runs in the fresh Windows directory
    EXPECT_EQ(task->Run(), SCHED_E_SERVICE_NOT_RUNNING);
    task->Release();
}

TEST_F(TaskTest, AccountGoesToAnOwnerOnlyStoreNeverIntoTheJob) {
    ITask *task = Saved(u"account");
    LPWSTR name = nullptr;
    ASSERT_EQ(task->GetAccountInformation(&name), S_OK);
    EXPECT_EQ(Take(name), u"");
    EXPECT_EQ(task->SetAccountInformation(nullptr, u"x"), E_INVALIDARG);
    ASSERT_EQ(task->SetAccountInformation(u"operator", u"Sekr1t-pass"), S_OK);
    ASSERT_EQ(task->GetAccountInformation(&name), S_OK);
    EXPECT_EQ(Take(name), u"operator");
    ASSERT_EQ(Save(task), S_OK);
    task->Release();

    const std::string job = ReadFile(tasks_ + "/account.job");
    const char16_t secret[] = u"Sekr1t-pass";
    EXPECT_EQ(job.find(std::string(reinterpret_cast<const char *>(secret), sizeof secret - 2)), std::string::npos);
    EXPECT_EQ(job.find("Sekr1t-pass"), std::string::npos);
    struct stat st {};
    ASSERT_EQ(::stat((tasks_ + "/.credentials").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    int files = 0;
    for (const auto &entry : std::filesystem::directory_iterator(tasks_ + "/.credentials")) {
        ASSERT_EQ(::stat(entry.path().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        ++files;
    }
    EXPECT_EQ(files, 1);

    ITask *again = Open(u"account");
    ASSERT_EQ(again->GetAccountInformation(&name), S_OK);
    EXPECT_EQ(Take(name), u"operator");
    again->Release();
    // deleting the item drops its account record
    ASSERT_EQ(sched_->Delete(u"account"), S_OK);
    EXPECT_TRUE(std::filesystem::is_empty(tasks_ + "/.credentials"));
}

TEST_F(TaskTest, PersistFileLoadSaveAsAndCurFile) {
    ITask *task = Saved(u"persist");
    IPersistFile *file = nullptr;
    ASSERT_EQ(task->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&file)), S_OK);
    CLSID clsid{};
    ASSERT_EQ(file->GetClassID(&clsid), S_OK);
    EXPECT_TRUE(clsid == CLSID_CTask);
    LPOLESTR cur = nullptr;
    ASSERT_EQ(file->GetCurFile(&cur), S_OK);
    const std::u16string own = Take(cur);
    EXPECT_EQ(own, std::u16string(tasks_.begin(), tasks_.end()) + u"/persist.job");

    ASSERT_EQ(task->SetComment(u"copy"), S_OK);
    const std::string copyPath = tasks_ + "/copy.job";
    const std::u16string wideCopy(copyPath.begin(), copyPath.end());
    ASSERT_EQ(file->Save(wideCopy.c_str(), FALSE), S_OK);
    EXPECT_EQ(file->IsDirty(), S_OK);  // not remembered: still unsaved
    ASSERT_EQ(file->GetCurFile(&cur), S_OK);
    EXPECT_EQ(Take(cur), own);
    EXPECT_EQ(file->SaveCompleted(nullptr), S_OK);

    // a corrupt file does not replace what is loaded
    WriteFile("junk.job", "junk");
    const std::string junk = tasks_ + "/junk.job";
    const std::u16string wideJunk(junk.begin(), junk.end());
    EXPECT_EQ(file->Load(wideJunk.c_str(), 0), SCHED_E_INVALID_TASK);
    EXPECT_EQ(file->Load(nullptr, 0), E_INVALIDARG);
    LPWSTR text = nullptr;
    ASSERT_EQ(task->GetComment(&text), S_OK);
    EXPECT_EQ(Take(text), u"copy");
    file->Release();
    task->Release();

    ITask *copy = Open(u"copy");
    ASSERT_EQ(copy->GetComment(&text), S_OK);
    EXPECT_EQ(Take(text), u"copy");
    copy->Release();
    ITask *original = Open(u"persist");
    ASSERT_EQ(original->GetComment(&text), S_OK);
    EXPECT_EQ(Take(text), u"");
    original->Release();
}

TEST_F(TaskTest, AddWorkItemStoresAnUnsavedItemUnderANewName) {
    ITask *task = nullptr;
    ASSERT_EQ(sched_->NewWorkItem(u"first", CLSID_CTask, IID_ITask, reinterpret_cast<IUnknown **>(&task)), S_OK);
    ASSERT_EQ(task->SetCreator(u"added"), S_OK);
    EXPECT_EQ(sched_->AddWorkItem(u"bad/name", task), E_INVALIDARG);
    EXPECT_EQ(sched_->AddWorkItem(u"second", nullptr), E_INVALIDARG);
    ASSERT_EQ(sched_->AddWorkItem(u"second", task), S_OK);
    EXPECT_EQ(sched_->AddWorkItem(u"second", task), HRESULT_FROM_WIN32(ERROR_FILE_EXISTS));
    task->Release();
    ITask *stored = Open(u"second");
    LPWSTR text = nullptr;
    ASSERT_EQ(stored->GetCreator(&text), S_OK);
    EXPECT_EQ(Take(text), u"added");
    stored->Release();
}

}  // namespace
