// The task and trigger objects: settings through a save and a fresh
// Activate, triggers, run times and statuses, accounts, persistence.
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "platform/service/job/jobfile.h"
#include "store_fixture.h"

namespace {

using TaskTest = StoreTest;

// What a refused call must leave in the caller's variable.
void *const kUntouched = reinterpret_cast<void *>(static_cast<std::uintptr_t>(0xcfcfcfcfu));

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

// Every setting as one text, read through the getters.
std::string Settings(ITask *task) {
    std::u16string text;
    HRESULT (ITask::*const getters[])
    (LPWSTR *) = {&ITask::GetApplicationName, &ITask::GetParameters, &ITask::GetWorkingDirectory,
                  &ITask::GetComment,         &ITask::GetCreator,    &ITask::GetAccountInformation};
    for (auto get : getters) {
        LPWSTR value = nullptr;
        EXPECT_EQ((task->*get)(&value), S_OK);
        text += StoreTest::Take(value) + u"|";
    }
    WORD idle = 0, deadline = 0, size = 0;
    DWORD priority = 0, maxRunTime = 0, flags = 0, taskFlags = 0;
    BYTE *data = nullptr;
    EXPECT_EQ(task->GetIdleWait(&idle, &deadline), S_OK);
    EXPECT_EQ(task->GetPriority(&priority) | task->GetMaxRunTime(&maxRunTime) | task->GetFlags(&flags) |
                  task->GetTaskFlags(&taskFlags) | task->GetWorkItemData(&size, &data),
              S_OK);
    char numbers[120];
    std::snprintf(numbers, sizeof numbers, "%u %u %lx %lx %lx %lx |", idle, deadline, (unsigned long)priority,
                  (unsigned long)maxRunTime, (unsigned long)flags, (unsigned long)taskFlags);
    std::string out(text.begin(), text.end());  // the texts below are ASCII but for one comment unit
    out += numbers;
    for (WORD i = 0; i < size; ++i) out += " " + std::to_string(data[i]);
    CoTaskMemFree(data);
    return out;
}

TEST_F(TaskTest, EverySettingSurvivesSaveAndActivate) {
    ITask *task = Saved(u"settings");
    EXPECT_EQ(Settings(task), "||||||10 60 20 f731400 0 0 |");  // a new item's
    ASSERT_EQ(task->SetApplicationName(u"/usr/bin/backup"), S_OK);
    ASSERT_EQ(task->SetParameters(u"--all \"two words\""), S_OK);
    ASSERT_EQ(task->SetWorkingDirectory(u"/var/tmp"), S_OK);
    ASSERT_EQ(task->SetComment(u"nightly \u00e9"), S_OK);
    ASSERT_EQ(task->SetCreator(u"ops"), S_OK);
    ASSERT_EQ(task->SetAccountInformation(u"operator", u"pw"), S_OK);
    ASSERT_EQ(task->SetIdleWait(7, 33), S_OK);
    ASSERT_EQ(task->SetPriority(HIGH_PRIORITY_CLASS), S_OK);
    ASSERT_EQ(task->SetMaxRunTime(0xFFFFFFFEu), S_OK);
    ASSERT_EQ(task->SetFlags(0xFFFFFFFFu), S_OK);  // the low 15 bits are kept
    ASSERT_EQ(task->SetTaskFlags(0x1234), S_OK);
    BYTE data[] = {0, 1, 2, 250};
    ASSERT_EQ(task->SetWorkItemData(sizeof data, data), S_OK);
    const std::string set =
        "/usr/bin/backup|--all \"two words\"|/var/tmp|nightly \xe9|ops|operator|7 33 80 fffffffe 7fff 1234 | 0 1 2 250";
    EXPECT_EQ(Settings(task), set);
    IPersistFile *file = nullptr;
    ASSERT_EQ(task->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&file)), S_OK);
    EXPECT_EQ(file->IsDirty(), S_OK);
    ASSERT_EQ(file->Save(nullptr, TRUE), S_OK);
    EXPECT_EQ(file->IsDirty(), S_FALSE);
    file->Release();
    task->Release();
    ITask *again = Open(u"settings");
    EXPECT_EQ(Settings(again), set);
    EXPECT_EQ(again->Release(), 0u);
}

TEST_F(TaskTest, SettersRefuseBadValuesAndKeepTheOldOne) {
    ITask *task = Saved(u"refuse");
    for (DWORD priority : {0u, 0x10u, 0x21u, 0x8000u}) EXPECT_EQ(task->SetPriority(priority), E_INVALIDARG);
    DWORD value = 0;
    task->GetPriority(&value);
    EXPECT_EQ(value, static_cast<DWORD>(NORMAL_PRIORITY_CLASS));
    const std::u16string huge(65535, u'x');
    EXPECT_EQ(task->SetComment(huge.c_str()), E_INVALIDARG);
    EXPECT_EQ(task->SetComment(huge.c_str() + 1), S_OK);
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

    // refused calls leave the caller's variables as they were
    WORD count = 0;
    ITaskTrigger *none = reinterpret_cast<ITaskTrigger *>(kUntouched);
    EXPECT_EQ(task->GetTrigger(2, &none), SCHED_E_TRIGGER_NOT_FOUND);
    EXPECT_EQ(none, reinterpret_cast<ITaskTrigger *>(kUntouched));
    EXPECT_EQ(task->DeleteTrigger(2), SCHED_E_TRIGGER_NOT_FOUND);
    LPWSTR text = reinterpret_cast<LPWSTR>(kUntouched);
    EXPECT_EQ(task->GetTriggerString(5, &text), SCHED_E_TRIGGER_NOT_FOUND);
    EXPECT_EQ(text, reinterpret_cast<LPWSTR>(kUntouched));
    EXPECT_EQ(second->GetTrigger(nullptr), E_INVALIDARG);

    // deleting the first: the second object follows its record to index 0,
    // the first answers "not found"
    ASSERT_EQ(task->DeleteTrigger(0), S_OK);
    ASSERT_EQ(task->GetTriggerCount(&count), S_OK);
    EXPECT_EQ(count, 1);
    TASK_TRIGGER filled;
    std::memset(&filled, 0xcf, sizeof filled);
    record = filled;
    EXPECT_EQ(first->GetTrigger(&record), SCHED_E_TRIGGER_NOT_FOUND);
    EXPECT_EQ(std::memcmp(&record, &filled, sizeof record), 0);
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
    record = TASK_TRIGGER{};
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
    // refused: the count and the caller's pointer stay as they were
    SYSTEMTIME *const sentinel = reinterpret_cast<SYSTEMTIME *>(kUntouched);
    for (WORD bad : {WORD(0), WORD(TASK_MAX_RUN_TIMES + 1)}) {
        count = bad;
        times = sentinel;
        EXPECT_EQ(task->GetRunTimes(&begin, nullptr, &count, &times), E_INVALIDARG);
        EXPECT_EQ(count, bad);
        EXPECT_EQ(times, sentinel);
    }
    count = 1;
    EXPECT_EQ(task->GetRunTimes(nullptr, nullptr, &count, &times), E_INVALIDARG);
    EXPECT_EQ(task->GetRunTimes(&begin, nullptr, nullptr, &times), E_INVALIDARG);
    EXPECT_EQ(times, sentinel);
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

// Values Windows takes where one might expect a refusal, and the one it refuses.
TEST_F(TaskTest, FlagsMaxRunTimeAndDataTakeWhatWindowsTakes) {
    ITask *task = Saved(u"limits");
    // SetFlags keeps the low 15 bits and refuses nothing
    struct FlagRow {
        DWORD set, read;
    } flags[] = {{0, 0},           {0xFFFFFFFFu, 0x7FFF},
                 {0x9234, 0x1234}, {0x8000, 0},
                 {0x7FFF, 0x7FFF}, {0x8, 0x8},
                 {0x10000, 0},     {TASK_FLAG_HIDDEN, TASK_FLAG_HIDDEN}};
    for (const FlagRow &row : flags) {
        EXPECT_EQ(task->SetFlags(row.set), S_OK) << std::hex << row.set;
        DWORD value = 0xcfcfcfcfu;
        ASSERT_EQ(task->GetFlags(&value), S_OK);
        EXPECT_EQ(value, row.read) << std::hex << row.set;
    }
    for (DWORD ms : {0u, 1u, 0xFFFFFFFEu, 0xFFFFFFFFu}) {
        EXPECT_EQ(task->SetMaxRunTime(ms), S_OK) << ms;
        DWORD value = 0xcfcfcfcfu;
        ASSERT_EQ(task->GetMaxRunTime(&value), S_OK);
        EXPECT_EQ(value, ms);
    }
    // data: a size and a pointer come together or not at all
    BYTE kept[] = {7, 8};
    BYTE other[] = {1};
    ASSERT_EQ(task->SetWorkItemData(sizeof kept, kept), S_OK);
    struct DataRow {
        WORD size;
        BYTE *data;
        HRESULT expected;
        WORD sizeAfter;
    } data[] = {{0, other, E_INVALIDARG, 2}, {1, nullptr, E_INVALIDARG, 2}, {0, nullptr, S_OK, 0}};
    for (const DataRow &row : data) {
        EXPECT_EQ(task->SetWorkItemData(row.size, row.data), row.expected) << row.size;
        WORD size = 0xcfcf;
        BYTE *bytes = reinterpret_cast<BYTE *>(kUntouched);
        ASSERT_EQ(task->GetWorkItemData(&size, &bytes), S_OK);
        ASSERT_EQ(size, row.sizeAfter);
        if (row.sizeAfter)
            EXPECT_EQ(std::memcmp(bytes, kept, sizeof kept), 0);
        else
            EXPECT_EQ(bytes, nullptr);
        CoTaskMemFree(bytes);
    }
    task->Release();
}

// GetTrigger fills every common field, zeroes the reserved words and the
// random minutes, and writes only the type-specific words of the trigger's
// type: the caller's other bytes stay as they were.
TEST_F(TaskTest, GetTriggerWritesTheWordsOfItsTypeOnly) {
    ITask *task = Saved(u"words");
    WORD index = 0;
    ITaskTrigger *trigger = nullptr;
    ASSERT_EQ(task->CreateTrigger(&index, &trigger), S_OK);
    constexpr std::size_t kUnion = offsetof(TASK_TRIGGER, Type);
    struct Row {
        TASK_TRIGGER_TYPE type;
        std::size_t words;  // bytes of the type-specific area the type defines
    } rows[] = {{TASK_TIME_TRIGGER_ONCE, 0},
                {TASK_TIME_TRIGGER_DAILY, 2},
                {TASK_TIME_TRIGGER_WEEKLY, 4},
                {TASK_TIME_TRIGGER_MONTHLYDATE, 6},
                {TASK_TIME_TRIGGER_MONTHLYDOW, 6},
                {TASK_EVENT_TRIGGER_ON_IDLE, 0},
                {TASK_EVENT_TRIGGER_AT_SYSTEMSTART, 0},
                {TASK_EVENT_TRIGGER_AT_LOGON, 0}};
    for (const Row &row : rows) {
        for (WORD callerSize : {WORD(0), WORD(47), WORD(48)}) {
            SCOPED_TRACE(testing::Message() << "type " << row.type << ", caller's size " << callerSize);
            TASK_TRIGGER set{};
            set.cbTriggerSize = sizeof set;
            set.Reserved1 = 80;
            set.wBeginYear = 2026, set.wBeginMonth = 12, set.wBeginDay = 7;
            set.wEndYear = 2027, set.wEndMonth = 1, set.wEndDay = 31;
            set.wStartHour = 9, set.wStartMinute = 30;
            set.MinutesDuration = 60, set.MinutesInterval = 15;
            set.rgFlags = TASK_TRIGGER_FLAG_HAS_END_DATE | TASK_TRIGGER_FLAG_KILL_AT_DURATION_END;
            set.TriggerType = row.type;
            // valid words for every type: weekly 1 / Mon+Fri; monthly days 1..4 of Jan+Feb
            const BYTE words[8] = {1, 0, 0x22, 0, 0x0F, 0, 0x03, 0};
            std::memcpy(reinterpret_cast<BYTE *>(&set) + kUnion, words, sizeof words);
            if (row.type == TASK_TIME_TRIGGER_MONTHLYDATE) set.Type.MonthlyDate.rgfMonths = 0x3;
            if (row.type == TASK_TIME_TRIGGER_MONTHLYDOW) set.Type.MonthlyDOW.rgfMonths = 0x3;
            set.Reserved2 = 80;
            set.wRandomMinutesInterval = 5;
            ASSERT_EQ(trigger->SetTrigger(&set), S_OK);

            TASK_TRIGGER got;
            std::memset(&got, 0xcf, sizeof got);
            got.cbTriggerSize = callerSize;
            ASSERT_EQ(trigger->GetTrigger(&got), S_OK);
            TASK_TRIGGER expected;
            std::memset(&expected, 0xcf, sizeof expected);
            std::memcpy(&expected, &set, kUnion);
            expected.Reserved1 = 0;
            std::memcpy(reinterpret_cast<BYTE *>(&expected) + kUnion, reinterpret_cast<BYTE *>(&set) + kUnion,
                        row.words);
            expected.Reserved2 = 0;
            expected.wRandomMinutesInterval = 0;
            EXPECT_EQ(std::memcmp(&got, &expected, sizeof got), 0);
        }
    }
    trigger->Release();
    task->Release();
}

// A program name without a path is stored as the search path finds it.
TEST_F(TaskTest, ApplicationNameIsResolvedOnThePath) {
    const std::string bin = root_ + "/bin", other = root_ + "/other";
    std::filesystem::create_directories(bin);
    std::filesystem::create_directories(other);
    auto make = [](const std::string &path, std::filesystem::perms perms) {
        std::ofstream(path) << "#!/bin/sh\n";
        std::filesystem::permissions(path, perms);
    };
    const auto exec = std::filesystem::perms::owner_all;
    make(bin + "/tool", exec);
    make(other + "/tool", exec);  // later on the path
    make(bin + "/plain", std::filesystem::perms::owner_read);
    std::filesystem::create_directories(bin + "/folder");
    make(root_ + "/here", exec);  // only reachable through a relative entry
    const char *saved = std::getenv("PATH");
    const std::optional<std::string> oldPath = saved ? std::optional<std::string>(saved) : std::nullopt;
    ::setenv("PATH", ("relative::" + root_ + "/none:" + bin + "/:" + other).c_str(), 1);
    const std::filesystem::path oldDir = std::filesystem::current_path();
    std::filesystem::current_path(root_);
    const std::u16string wideBin(bin.begin(), bin.end());
    struct Row {
        std::u16string set, stored;
    } rows[] = {
        {u"tool", wideBin + u"/tool"},  // the first directory that has it
        {u"plain", u"plain"},           // not executable
        {u"folder", u"folder"},         // not a file
        {u"here", u"here"},             // relative entries are not searched
        {u"missing", u"missing"},       // found nowhere: kept as given
        {u"./tool", u"./tool"},         // a path is kept as given
        {u"/usr/bin/env", u"/usr/bin/env"},
        {u"", u""},
    };
    ITask *task = Saved(u"app");
    for (const Row &row : rows) {
        SCOPED_TRACE(std::string(row.set.begin(), row.set.end()));
        ASSERT_EQ(task->SetApplicationName(W(row.set.c_str())), S_OK);
        LPWSTR text = nullptr;
        ASSERT_EQ(task->GetApplicationName(&text), S_OK);
        EXPECT_EQ(Take(text), row.stored);
    }
    if (oldPath)
        ::setenv("PATH", oldPath->c_str(), 1);
    else
        ::unsetenv("PATH");
    std::filesystem::current_path(oldDir);
    task->Release();
}

// Save with a file name writes a new file only: an existing one, the item's
// own included, is refused and left as it was.
TEST_F(TaskTest, SaveRefusesToNameAnExistingFile) {
    ITask *task = Saved(u"mine");
    Saved(u"theirs")->Release();
    ASSERT_EQ(task->SetComment(u"changed"), S_OK);
    IPersistFile *file = nullptr;
    ASSERT_EQ(task->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&file)), S_OK);
    for (const char *name : {"mine.job", "theirs.job"}) {
        const std::string path = tasks_ + "/" + name;
        const std::string before = ReadFile(path);
        const std::u16string wide(path.begin(), path.end());
        for (BOOL remember : {FALSE, TRUE}) {
            EXPECT_EQ(file->Save(W(wide.c_str()), remember), HRESULT_FROM_WIN32(ERROR_FILE_EXISTS)) << name;
            EXPECT_EQ(ReadFile(path), before) << name;
        }
    }
    EXPECT_EQ(file->IsDirty(), S_OK);
    EXPECT_EQ(file->Save(nullptr, FALSE), S_OK);
    file->Release();
    task->Release();
    ITask *again = Open(u"mine");
    LPWSTR text = nullptr;
    ASSERT_EQ(again->GetComment(&text), S_OK);
    EXPECT_EQ(Take(text), u"changed");
    again->Release();
}

// An object reports the run state its file held when it was loaded: a run
// the daemon records afterwards (as after Run) shows in a new object, and a
// save of the old one keeps it.
TEST_F(TaskTest, RunStateIsThatOfTheLoadedFile) {
    namespace svc = velqo::service;
    ITask *task = Saved(u"ran");
    WORD index = 0;
    ITaskTrigger *trigger = nullptr;
    ASSERT_EQ(task->CreateTrigger(&index, &trigger), S_OK);
    TASK_TRIGGER daily{};
    ASSERT_EQ(trigger->GetTrigger(&daily), S_OK);
    daily.rgFlags = 0;
    daily.wBeginYear = 2026;
    ASSERT_EQ(trigger->SetTrigger(&daily), S_OK);
    trigger->Release();
    ASSERT_EQ(Save(task), S_OK);

    // what the daemon writes when it starts the item
    const std::string path = tasks_ + "/ran.job";
    svc::JobData job;
    ASSERT_EQ(svc::ReadJobFile(path, job), S_OK);
    job.status = SCHED_S_TASK_RUNNING;
    job.runningInstances = 1;
    job.exitCode = 3;
    job.mostRecentRun = SYSTEMTIME{2026, 12, 1, 7, 9, 30, 0, 0};
    ASSERT_EQ(svc::WriteJobFile(path, job), S_OK);

    HRESULT status = 0;
    SYSTEMTIME last{};
    DWORD exitCode = 9;
    ASSERT_EQ(task->GetStatus(&status), S_OK);
    EXPECT_EQ(status, SCHED_S_TASK_HAS_NOT_RUN);
    EXPECT_EQ(task->GetMostRecentRunTime(&last), SCHED_S_TASK_HAS_NOT_RUN);
    EXPECT_EQ(task->GetExitCode(&exitCode), SCHED_S_TASK_HAS_NOT_RUN);

    ITask *fresh = Open(u"ran");
    ASSERT_EQ(fresh->GetStatus(&status), S_OK);
    EXPECT_EQ(status, SCHED_S_TASK_RUNNING);
    EXPECT_EQ(fresh->GetExitCode(&exitCode), S_OK);
    EXPECT_EQ(exitCode, 3u);
    fresh->Release();

    ASSERT_EQ(task->SetComment(u"saved while it ran"), S_OK);
    ASSERT_EQ(Save(task), S_OK);
    task->Release();
    ASSERT_EQ(svc::ReadJobFile(path, job), S_OK);
    EXPECT_EQ(job.status, SCHED_S_TASK_RUNNING);
    EXPECT_EQ(job.runningInstances, 1);
    EXPECT_EQ(job.exitCode, 3u);
    EXPECT_EQ(job.mostRecentRun.wDay, 7);
    EXPECT_EQ(job.comment, u"saved while it ran");
}

}  // namespace
