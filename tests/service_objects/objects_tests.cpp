// The service's COM objects over a fresh Windows directory, and the text
// form of EditWorkItem.
#include <gtest/gtest.h>
#include <mstask.h>
#include <sys/stat.h>
#include <unistd.h>
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/scoped_env.h"
#include "common/unprivileged.h"
#include "platform/service/job/jobfile.h"
#include "platform/service/objects/objects_internal.h"

namespace {

namespace fs = std::filesystem;
namespace svc = velqo::service;

// What a refused call must leave in the caller's variable.
template <class T = IUnknown>
T *Untouched() {
    return reinterpret_cast<T *>(static_cast<std::uintptr_t>(0xcfcfcfcfu));
}
LPCWSTR W(const std::u16string &text) { return reinterpret_cast<LPCWSTR>(text.c_str()); }
std::string Narrow(const std::u16string &s) { return std::string(s.begin(), s.end()); }
std::u16string Wide(const std::string &s) { return std::u16string(s.begin(), s.end()); }
std::u16string Take(LPWSTR text) {
    const std::u16string out = text ? reinterpret_cast<const char16_t *>(text) : u"";
    CoTaskMemFree(text);
    return out;
}

// Every setting as one text, read through the getters.
std::string Settings(ITask *task) {
    std::u16string text;
    HRESULT(ITask::*const getters[])
    (LPWSTR *) = {&ITask::GetApplicationName, &ITask::GetParameters, &ITask::GetWorkingDirectory,
                  &ITask::GetComment,         &ITask::GetCreator,    &ITask::GetAccountInformation};
    for (auto get : getters) {
        LPWSTR value = nullptr;
        EXPECT_EQ((task->*get)(&value), S_OK);
        text += Take(value) + u"|";
    }
    WORD idle = 0, deadline = 0, size = 0;
    DWORD priority = 0, maxRunTime = 0, flags = 0, taskFlags = 0;
    BYTE *data = nullptr;
    EXPECT_EQ(task->GetIdleWait(&idle, &deadline) | task->GetPriority(&priority) | task->GetMaxRunTime(&maxRunTime) |
                  task->GetFlags(&flags) | task->GetTaskFlags(&taskFlags) | task->GetWorkItemData(&size, &data),
              S_OK);
    char numbers[120];
    std::snprintf(numbers, sizeof numbers, "%u %u %lx %lx %lx %lx |", idle, deadline, (unsigned long)priority,
                  (unsigned long)maxRunTime, (unsigned long)flags, (unsigned long)taskFlags);
    std::string out = Narrow(text) + numbers;
    for (WORD i = 0; i < size; ++i) out += " " + std::to_string(data[i]);
    CoTaskMemFree(data);
    return out;
}
const std::string kNewItem = "10 60 20 f731400 0 0 |";  // a new item's numbers

TASK_TRIGGER Weekly(WORD day, WORD hour, WORD days) {
    TASK_TRIGGER t{};
    t.cbTriggerSize = sizeof t;
    t.wBeginYear = 2026, t.wBeginMonth = 12, t.wBeginDay = day, t.wStartHour = hour, t.wStartMinute = 30;
    t.TriggerType = TASK_TIME_TRIGGER_WEEKLY;
    t.Type.Weekly = {1, days};
    return t;
}

class ObjectsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(CoCreateInstance(CLSID_CTaskScheduler, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskScheduler,
                                   reinterpret_cast<void **>(&sched_)),
                  S_OK);
    }
    void TearDown() override { EXPECT_EQ(sched_ ? sched_->Release() : 0u, 0u); }
    ITask *New(const std::u16string &name) {
        ITask *task = nullptr;
        EXPECT_EQ(sched_->NewWorkItem(W(name), CLSID_CTask, IID_ITask, reinterpret_cast<IUnknown **>(&task)), S_OK);
        return task;
    }
    ITask *Saved(const std::u16string &name) {  // the caller owns the reference
        ITask *task = New(name);
        EXPECT_EQ(Save(task), S_OK);
        return task;
    }
    static HRESULT Save(IUnknown *item, const std::string &path = "", BOOL remember = TRUE) {
        IPersistFile *file = nullptr;
        HRESULT hr = item->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&file));
        if (FAILED(hr)) return hr;
        hr = file->Save(path.empty() ? nullptr : W(Wide(path)), remember);
        file->Release();
        return hr;
    }
    ITask *Open(const std::u16string &name, HRESULT expect = S_OK) {
        ITask *task = nullptr;
        EXPECT_EQ(sched_->Activate(W(name), IID_ITask, reinterpret_cast<IUnknown **>(&task)), expect);
        return task;
    }
    std::string StoredSettings(const std::u16string &name) {
        ITask *task = Open(name);
        if (!task) return "";
        const std::string out = Settings(task);
        task->Release();
        return out;
    }
    void Write(const std::string &name, const std::string &bytes) { test_user::WriteFile(tasks_ + "/" + name, bytes); }
    static std::u16string CurFile(IUnknown *item) {
        IPersistFile *file = nullptr;
        EXPECT_EQ(item->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&file)), S_OK);
        LPOLESTR name = nullptr;
        EXPECT_EQ(file->GetCurFile(&name), S_OK);
        file->Release();
        const std::u16string path = Take(reinterpret_cast<LPWSTR>(name));
        return path.substr(path.rfind(u'/') + 1);
    }
    // Every name Enum lists, fetched `batch` at a time; the answers of Next in `results`.
    std::vector<std::u16string> EnumAll(ULONG batch, std::vector<HRESULT> *results = nullptr) {
        IEnumWorkItems *items = nullptr;
        EXPECT_EQ(sched_->Enum(&items), S_OK);
        std::vector<std::u16string> names;
        for (HRESULT hr = S_OK; hr == S_OK;) {
            LPWSTR *array = nullptr;
            ULONG fetched = 99;
            hr = items->Next(batch, &array, &fetched);
            if (results) results->push_back(hr);
            for (ULONG i = 0; i < fetched; ++i) names.push_back(Take(array[i]));
            EXPECT_TRUE(fetched > 0 || array == nullptr);
            CoTaskMemFree(array);
        }
        EXPECT_EQ(items->Release(), 0u);
        return names;
    }

    test_user::TempDir dir_;
    const std::string root_ = dir_.path(), tasks_ = root_ + "/Tasks";
    const test_env::Scoped windir_{"VELQOSCH_WINDIR", root_};
    ITaskScheduler *sched_ = nullptr;
};

// A name is one file name; an extension other than ".job" is refused where an
// item is named, as on Windows, yet a file so named by hand still opens.
TEST_F(ObjectsTest, ItemNames) {
    const std::u16string tooLong(261, u'a'), longest(239, u'b');
    const std::u16string tooManyUtf8(120, u'\u00e9');  // 240 UTF-8 bytes
    ITask *unsaved = New(u"unsaved");
    ASSERT_EQ(unsaved->SetCreator(u"added"), S_OK);
    const struct {
        std::vector<std::u16string> names;
        HRESULT named, activated;  // of NewWorkItem, AddWorkItem, Delete; of Activate
    } rows[] = {
        // clang-format off
        {{u"", u".", u"..", u"a/b", u"a\\b", u"a:b", u"a*b", u"a?b", u"a\"b", u"a<b", u"a>b", u"a|b", u"a\tb", u"\x01",
          u"a\x7F" u"b", u".hidden", u".job", u"a.job.job", u"a.JOB.Job", tooLong, tooManyUtf8},
         E_INVALIDARG, E_INVALIDARG},
        {{u"report.txt", u"v1.2", u"x.", u"a.b c", u"x..y", u"x.jobs", u"x.jo", u"x.job.bak"},
         E_INVALIDARG, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)},
        {{longest, u"a b", u"\u00e9t\u00e9", u"x.job"}, S_OK, S_OK},
        // clang-format on
    };
    for (const auto &row : rows) {
        for (const std::u16string &name : row.names) {
            SCOPED_TRACE(Narrow(name));
            IUnknown *item = Untouched();
            EXPECT_EQ(sched_->NewWorkItem(W(name), CLSID_CTask, IID_ITask, &item), row.named);
            if (SUCCEEDED(row.named)) {
                EXPECT_EQ(Save(item), S_OK);
                item->Release();
            }
            EXPECT_EQ(sched_->AddWorkItem(W(name), unsaved),
                      SUCCEEDED(row.named) ? HRESULT_FROM_WIN32(ERROR_FILE_EXISTS) : row.named);
            if (FAILED(row.named)) item = Untouched();
            EXPECT_EQ(sched_->Activate(W(name), IID_ITask, &item), row.activated);
            if (SUCCEEDED(row.activated)) item->Release(), item = Untouched();
            EXPECT_EQ(item, Untouched());
            EXPECT_EQ(sched_->Delete(W(name)), row.named);
        }
    }
    EXPECT_EQ(sched_->Delete(nullptr), E_INVALIDARG);
    EXPECT_EQ(sched_->AddWorkItem(u"plain", nullptr), E_INVALIDARG);
    ASSERT_EQ(sched_->AddWorkItem(u"plain", unsaved), S_OK);
    unsaved->Release();
    EXPECT_EQ(StoredSettings(u"plain"), "||||added||" + kNewItem);
    Write("a.b c.job", test_user::ReadFile(tasks_ + "/plain.job"));
    Open(u"a.b c")->Release();
    EXPECT_EQ(sched_->Delete(u"a.b c.job"), S_OK);
}

// A failed allocation answers E_OUTOFMEMORY and changes nothing.
TEST_F(ObjectsTest, EnumIsASnapshotWithSkipResetAndCloneAndOutOfMemory) {
    for (const char16_t *name : {u"a", u"b", u"c"}) Saved(name)->Release();
    for (long n = 0; n < 4; ++n) {  // the array, then one block per name
        IEnumWorkItems *items = nullptr;
        ASSERT_EQ(sched_->Enum(&items), S_OK);
        LPWSTR *array = Untouched<LPWSTR>();
        ULONG fetched = 7;
        VelqoFailAllocationAfter(n);
        EXPECT_EQ(items->Next(3, &array, &fetched), E_OUTOFMEMORY);
        VelqoFailAllocationAfter(-1);
        EXPECT_TRUE(array == Untouched<LPWSTR>() && fetched == 7u);
        ASSERT_EQ(items->Next(3, &array, &fetched), S_OK);  // from where it was
        EXPECT_EQ(fetched, 3u);
        for (ULONG i = 0; i < fetched; ++i) CoTaskMemFree(array[i]);
        CoTaskMemFree(array);
        items->Release();
    }
    IEnumWorkItems *items = nullptr, *copy = nullptr;
    ASSERT_EQ(sched_->Enum(&items), S_OK);
    Saved(u"d")->Release();  // after the snapshot
    EXPECT_EQ(sched_->Delete(u"a"), S_OK);
    EXPECT_EQ(items->Skip(1), S_OK);
    ASSERT_EQ(items->Clone(&copy), S_OK);
    LPWSTR *array = nullptr;
    ULONG fetched = 0;
    ASSERT_EQ(copy->Next(5, &array, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 2u);
    EXPECT_EQ(Take(array[0]) + Take(array[1]), u"b.jobc.job");
    CoTaskMemFree(array);
    EXPECT_EQ(items->Skip(5), S_FALSE);
    EXPECT_EQ(items->Next(1, &array, nullptr), S_FALSE);
    EXPECT_EQ(items->Reset(), S_OK);
    // refused calls leave the caller's variables and the position as they were
    for (const auto &[count, names, counted] : {std::tuple{0u, true, true}, {2u, true, false}, {1u, false, true}}) {
        array = Untouched<LPWSTR>();
        fetched = 0xcfcfcfcfu;
        EXPECT_EQ(items->Next(count, names ? &array : nullptr, counted ? &fetched : nullptr), E_INVALIDARG);
        EXPECT_TRUE(array == Untouched<LPWSTR>() && fetched == 0xcfcfcfcfu);
    }
    EXPECT_EQ(sched_->Enum(nullptr), E_INVALIDARG);
    ASSERT_EQ(items->Next(1, &array, nullptr), S_OK);
    EXPECT_EQ(Take(array[0]), u"a.job");
    CoTaskMemFree(array);
    EXPECT_EQ(copy->Release(), 0u);
    EXPECT_EQ(items->Release(), 0u);
}

TEST_F(ObjectsTest, TargetComputersAndReferenceCounts) {
    char host[256] = {};
    ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
    const std::u16string local = Wide(host), self = u"\\\\" + local, far = u"\\\\FARHOST";
    const HRESULT bad = HRESULT_FROM_WIN32(ERROR_BAD_NETPATH);
    fs::create_directories(root_ + "/remote");
    Write("computers", "# other stores\nFARHOST=" + root_ + "/remote\nBROKEN=relative/path\n");
    const std::u16string null = u"<null>";
    for (const auto &[name, hr, target] : {std::tuple{null, S_OK, self},
                                           {local, S_OK, self},
                                           {self, S_OK, self},
                                           {u"\\\\farhost", S_OK, far},
                                           {u"nowhere", bad, far},
                                           {u"BROKEN", bad, far}}) {
        EXPECT_EQ(sched_->SetTargetComputer(name == null ? nullptr : W(name)), hr);
        LPWSTR got = nullptr;
        ASSERT_EQ(sched_->GetTargetComputer(&got), S_OK);
        EXPECT_EQ(Take(got), target);
    }
    Saved(u"there")->Release();  // items now go to the other store
    EXPECT_TRUE(fs::exists(root_ + "/remote/there.job"));
    EXPECT_EQ(sched_->SetTargetComputer(nullptr), S_OK);
    EXPECT_EQ(Open(u"there", HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)), nullptr);
    EXPECT_EQ(sched_->GetTargetComputer(nullptr), E_POINTER);
    // Reference counts: a trigger holds its task.
    IUnknown *unk = nullptr;
    EXPECT_EQ(sched_->QueryInterface(IID_ITask, reinterpret_cast<void **>(&unk)), E_NOINTERFACE);
    EXPECT_EQ(sched_->NewWorkItem(u"a", CLSID_CTaskScheduler, IID_ITask, &unk), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(sched_->NewWorkItem(u"a", CLSID_CTask, IID_ITaskTrigger, &unk), E_NOINTERFACE);
    ITask *task = Saved(u"counted");
    EXPECT_EQ(sched_->Activate(u"counted", IID_ITaskScheduler, &unk), E_NOINTERFACE);
    EXPECT_EQ(unk, nullptr);
    ITaskTrigger *trigger = nullptr;
    WORD index = 0;
    ASSERT_EQ(task->CreateTrigger(&index, &trigger), S_OK);
    EXPECT_EQ(task->AddRef(), 3u);  // the trigger holds its task
    EXPECT_EQ(task->Release(), 2u);
    EXPECT_EQ(trigger->Release(), 0u);
    EXPECT_EQ(task->Release(), 0u);
}

// One name space without regard to letter case, listed in that order. Of several spellings on disk the byte-wise
// first with ".job" in lower case is the item; a file of exactly the asked spelling is taken first.
TEST_F(ObjectsTest, LetterCaseOfNames) {
    Saved(u"Backup")->Release();
    Saved(u"\u00c9t\u00e9")->Release();  // Été
    const std::string bytes = test_user::ReadFile(tasks_ + "/Backup.job");
    for (const char *file : {"Other.JOB", "Zed.job", "ZED.JOB", "zed.job", "x.JOB", "x.job", "a.job.job", "a:b.job"})
        Write(file, bytes);
    // No items: a note, a folder, links even to an item (reading one would
    // leave the folder) and a killed save's file (removed; the rest of the sweep is the disk tests').
    Write("notes.txt", "x");
    Write(".gamma.job.tmp-abc123", "partial");
    const fs::path killed = tasks_ + "/.gamma.job.tmp-abc123";
    fs::last_write_time(killed, fs::last_write_time(killed) - std::chrono::hours(1));
    fs::create_directory(tasks_ + "/folder.job");
    fs::copy_file(tasks_ + "/Backup.job", root_ + "/outside.job");
    fs::create_symlink(root_ + "/outside.job", tasks_ + "/linked.job");
    fs::create_directory_symlink(root_, tasks_ + "/linkedfolder.job");
    EXPECT_EQ(Open(u"linked", HRESULT_FROM_WIN32(1921)), nullptr);  // ERROR_CANT_RESOLVE_FILENAME
    Write("corrupt.job", "not a job file");                         // listed, but not activated
    EXPECT_EQ(Open(u"corrupt", SCHED_E_INVALID_TASK), nullptr);
    EXPECT_EQ(sched_->IsOfType(u"corrupt", IID_ITask), S_FALSE);
    for (const auto &[name, file] : {std::pair{u"backup", u"Backup.job"},
                                     {u"bAcKuP.Job", u"Backup.job"},
                                     {u"OTHER.job", u"Other.JOB"},
                                     {u"\u00e9T\u00c9", u"\u00c9t\u00e9.job"},
                                     {u"ZED", u"Zed.job"},
                                     {u"zed", u"zed.job"},
                                     {u"ZED.JOB", u"ZED.JOB"},
                                     {u"X.job", u"x.job"}}) {
        SCOPED_TRACE(Narrow(name));
        ITask *task = Open(name);
        ASSERT_NE(task, nullptr);
        EXPECT_EQ(CurFile(task), file);
        task->Release();
        EXPECT_EQ(sched_->IsOfType(name, IID_ITask), S_OK);
        IUnknown *item = nullptr;
        EXPECT_EQ(sched_->NewWorkItem(name, CLSID_CTask, IID_ITask, &item), HRESULT_FROM_WIN32(ERROR_FILE_EXISTS));
    }
    std::vector<HRESULT> results;
    EXPECT_EQ(EnumAll(3, &results), (std::vector<std::u16string>{u"Backup.job", u"corrupt.job", u"Other.JOB", u"x.job",
                                                                 u"Zed.job", u"\u00c9t\u00e9.job"}));
    EXPECT_EQ(results, (std::vector<HRESULT>{S_OK, S_OK, S_FALSE}));
    EXPECT_FALSE(fs::exists(killed));
    EXPECT_EQ(sched_->Delete(u"OTHER") | sched_->Delete(u"\u00c9T\u00c9.JOB"), S_OK);
    EXPECT_EQ(sched_->Delete(u"Zed"), S_OK);  // the next spelling comes up
    EXPECT_EQ(EnumAll(5), (std::vector<std::u16string>{u"Backup.job", u"corrupt.job", u"x.job", u"zed.job"}));
    // Two clients create "Neu" and "neu" before either saves: one file.
    ITask *first = New(u"Neu"), *second = New(u"neu");
    ASSERT_EQ(Save(first) | Save(second), S_OK);
    EXPECT_EQ(CurFile(second), u"Neu.job");
    // A path names the stored file in any case; a new name keeps its spelling.
    EXPECT_EQ(Save(first, tasks_ + "/NEU.JOB", FALSE), HRESULT_FROM_WIN32(ERROR_FILE_EXISTS));
    EXPECT_EQ(Save(first, tasks_ + "/Weekly.JOB", FALSE), S_OK);
    EXPECT_TRUE(fs::exists(tasks_ + "/Weekly.JOB"));
    EXPECT_FALSE(fs::exists(tasks_ + "/neu.job"));
    EXPECT_EQ(first->Release(), 0u);
    EXPECT_EQ(second->Release(), 0u);
}

// Every setting survives a save and a fresh activation; what Windows takes where one might expect a refusal,
// what it refuses, and that a refusal keeps the old value. The account's password is kept apart.
TEST_F(ObjectsTest, SettingsSurviveSaveAndRefusalsKeepTheOldValue) {
    ITask *task = Saved(u"settings");
    EXPECT_EQ(Settings(task), "||||||" + kNewItem);
    ASSERT_EQ(task->SetApplicationName(u"/usr/bin/backup") | task->SetParameters(u"--all \"two words\"") |
                  task->SetWorkingDirectory(u"/var/tmp") | task->SetComment(u"nightly \u00e9") |
                  task->SetCreator(u"ops") | task->SetAccountInformation(u"operator", u"Sekr1t-pass") |
                  task->SetIdleWait(7, 33) | task->SetPriority(HIGH_PRIORITY_CLASS) | task->SetMaxRunTime(0xFFFFFFFEu) |
                  task->SetTaskFlags(0x1234),
              S_OK);
    ASSERT_EQ(task->SetFlags(0xFFFFFFFFu), S_OK);  // the low 15 bits are kept, as on Windows
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
    EXPECT_EQ(StoredSettings(u"settings"), set);
    // The account goes to an owner-only store, never into the job file, and leaves with the item.
    EXPECT_EQ(task->SetAccountInformation(nullptr, u"x"), E_INVALIDARG);
    const char16_t secret[] = u"Sekr1t-pass";
    EXPECT_EQ(test_user::ReadFile(tasks_ + "/settings.job")
                  .find(std::string(reinterpret_cast<const char *>(secret), sizeof secret - 2)),
              std::string::npos);
    const std::string store = tasks_ + "/.credentials";
    const std::vector<fs::path> files{fs::directory_iterator(store), fs::directory_iterator()};
    ASSERT_EQ(files.size(), 1u);
    struct stat folder {
    }, stored{};
    ASSERT_EQ(::stat(store.c_str(), &folder) | ::stat(files[0].c_str(), &stored), 0);
    EXPECT_EQ((folder.st_mode & 0777) * 01000 + (stored.st_mode & 0777), 0700600u);

    for (DWORD priority : {0u, 0x10u, 0x21u, 0x8000u}) EXPECT_EQ(task->SetPriority(priority), E_INVALIDARG);
    const std::u16string huge(65535, u'x');
    EXPECT_EQ(task->SetComment(W(huge)), E_INVALIDARG);
    ASSERT_EQ(task->SetFlags(0x9234) | task->SetMaxRunTime(0), S_OK);
    BYTE kept[] = {7, 8}, other[] = {1};
    ASSERT_EQ(task->SetWorkItemData(sizeof kept, kept), S_OK);
    EXPECT_EQ(task->SetWorkItemData(0, other), E_INVALIDARG);  // a size and a pointer come together
    EXPECT_EQ(task->SetWorkItemData(1, nullptr), E_INVALIDARG);
    const std::string head = "/usr/bin/backup|--all \"two words\"|/var/tmp|";
    EXPECT_EQ(Settings(task), head + "nightly \xe9|ops|operator|7 33 80 0 1234 1234 | 7 8");
    EXPECT_EQ(task->SetComment(W(huge) + 1), S_OK);
    ASSERT_EQ(task->SetWorkItemData(0, nullptr), S_OK);
    EXPECT_EQ(Settings(task), head + std::string(65534, 'x') + "|ops|operator|7 33 80 0 1234 1234 |");
    WORD w = 0;
    EXPECT_EQ(task->SetErrorRetryCount(1) | task->SetErrorRetryInterval(1), E_NOTIMPL);
    EXPECT_EQ(task->GetErrorRetryCount(&w) | task->GetErrorRetryInterval(&w), E_NOTIMPL);
    EXPECT_EQ(task->GetPriority(nullptr) | task->GetComment(nullptr) | task->GetIdleWait(&w, nullptr), E_POINTER);

    // A program name without a path is stored as the search path finds it: the first directory that has it;
    // not executable, not a file, relative entries not searched, found nowhere, or a path: kept as given.
    const std::string bin = root_ + "/bin", second = root_ + "/other";
    fs::create_directories(bin + "/folder");
    fs::create_directories(second);
    for (const std::string &path : {bin + "/tool", second + "/tool", bin + "/plain", root_ + "/here"}) {
        std::ofstream(path) << "#!/bin/sh\n";
        fs::permissions(path, path == bin + "/plain" ? fs::perms::owner_read : fs::perms::owner_all);
    }
    const test_env::Scoped path("PATH", "relative::" + root_ + "/none:" + bin + "/:" + second);
    const fs::path oldDir = fs::current_path();
    fs::current_path(root_);
    for (const auto &[set, stored] : {std::pair{u"tool", Wide(bin) + u"/tool"},
                                      {u"plain", u"plain"},
                                      {u"folder", u"folder"},
                                      {u"here", u"here"},
                                      {u"missing", u"missing"},
                                      {u"./tool", u"./tool"},
                                      {u"", u""}}) {
        ASSERT_EQ(task->SetApplicationName(set), S_OK);
        EXPECT_EQ(Settings(task).rfind(Narrow(stored) + "|", 0), 0u) << Narrow(set);
    }
    fs::current_path(oldDir);
    EXPECT_EQ(task->Release(), 0u);
    ASSERT_EQ(sched_->Delete(u"settings"), S_OK);
    EXPECT_TRUE(fs::is_empty(store));
}

// Each trigger object keeps naming its own record through deletions in the middle, at the end and at the front,
// and through records added after it. Then the run times the one left gives and the run state the daemon records.
TEST_F(ObjectsTest, TriggersRunTimesAndRunState) {
    ITask *task = Saved(u"times");
    WORD index = 9, count = 0;
    ITaskTrigger *t[5] = {};
    for (WORD i = 0; i < 4; ++i) {
        ASSERT_EQ(task->CreateTrigger(&index, &t[i]), S_OK);
        EXPECT_EQ(index, i);
    }
    TASK_TRIGGER record{};
    ASSERT_EQ(t[3]->GetTrigger(&record), S_OK);  // a new trigger: daily, disabled
    EXPECT_EQ(record.TriggerType, TASK_TIME_TRIGGER_DAILY);
    EXPECT_EQ(record.rgFlags, DWORD{TASK_TRIGGER_FLAG_DISABLED});
    for (WORD i = 0; i < 4; ++i) ASSERT_EQ(t[i]->SetTrigger(&(record = Weekly(7, WORD(i + 1), TASK_MONDAY))), S_OK);
    const auto hours = [&] {  // the start hour each object reaches, 0 for "not found"
        std::vector<int> out;
        for (ITaskTrigger *trigger : t)
            out.push_back(trigger && trigger->GetTrigger(&record) == S_OK ? record.wStartHour : 0);
        return out;
    };
    ASSERT_EQ(task->DeleteTrigger(0), S_OK);
    EXPECT_EQ(hours(), (std::vector<int>{0, 2, 3, 4, 0})) << "the first record";
    ASSERT_EQ(task->DeleteTrigger(1), S_OK);
    EXPECT_EQ(hours(), (std::vector<int>{0, 2, 0, 4, 0})) << "a record in the middle";
    ASSERT_EQ(task->DeleteTrigger(1), S_OK);
    ASSERT_EQ(task->CreateTrigger(&index, &t[4]), S_OK);
    EXPECT_EQ(index, 1);
    ASSERT_EQ(t[4]->SetTrigger(&(record = Weekly(7, 5, TASK_MONDAY))), S_OK);
    EXPECT_EQ(hours(), (std::vector<int>{0, 2, 0, 0, 5})) << "the last record, then a new one in its place";
    ASSERT_EQ(task->DeleteTrigger(1), S_OK);
    ASSERT_EQ(task->GetTriggerCount(&count), S_OK);
    EXPECT_EQ(count, 1);
    ITaskTrigger *left = t[1];  // at index 0 now
    TASK_TRIGGER weekly = Weekly(1, 9, TASK_MONDAY | TASK_FRIDAY), bad = weekly;
    ASSERT_EQ(left->SetTrigger(&weekly), S_OK);
    bad.wStartHour = 24;  // the rules are the schedule tests'
    EXPECT_EQ(left->SetTrigger(&bad), E_INVALIDARG);
    EXPECT_EQ(left->SetTrigger(nullptr) | left->GetTrigger(nullptr), E_INVALIDARG);
    ITaskTrigger *none = Untouched<ITaskTrigger>();
    EXPECT_EQ(task->GetTrigger(1, &none), SCHED_E_TRIGGER_NOT_FOUND);
    EXPECT_EQ(none, Untouched<ITaskTrigger>());
    EXPECT_EQ(task->DeleteTrigger(1), SCHED_E_TRIGGER_NOT_FOUND);
    LPWSTR text = Untouched<WCHAR>();
    EXPECT_EQ(task->GetTriggerString(5, &text), SCHED_E_TRIGGER_NOT_FOUND);
    EXPECT_EQ(text, Untouched<WCHAR>());
    // An object whose record is gone answers "not found" and leaves the caller's record alone.
    TASK_TRIGGER filled;
    std::memset(&filled, 0xcf, sizeof filled);
    record = filled;
    EXPECT_EQ(t[0]->GetTrigger(&record), SCHED_E_TRIGGER_NOT_FOUND);
    EXPECT_EQ(std::memcmp(&record, &filled, sizeof record), 0);
    EXPECT_EQ(t[0]->SetTrigger(&weekly), SCHED_E_TRIGGER_NOT_FOUND);
    const std::u16string at930 = u"At 9:30 AM every Mon, Fri of every week, starting 12/1/2026";
    ASSERT_EQ(left->GetTriggerString(&text), S_OK);
    EXPECT_EQ(Take(text), at930);
    ASSERT_EQ(task->GetTriggerString(0, &text), S_OK);
    EXPECT_EQ(Take(text), at930);
    for (ITaskTrigger *trigger : t) EXPECT_EQ(trigger->Release(), 0u);
    // Its run times and run state.
    SYSTEMTIME begin{2026, 12, 0, 1, 0, 0, 0, 0}, end = begin, *times = Untouched<SYSTEMTIME>();
    count = TASK_MAX_RUN_TIMES + 1;
    EXPECT_EQ(task->GetRunTimes(&begin, nullptr, &count, &times), E_INVALIDARG);  // count and pointer stay
    EXPECT_TRUE(count == TASK_MAX_RUN_TIMES + 1 && times == Untouched<SYSTEMTIME>());
    count = TASK_MAX_RUN_TIMES;  // the largest count is taken
    ASSERT_EQ(task->GetRunTimes(&begin, nullptr, &count, &times), S_OK);
    CoTaskMemFree(times);
    end.wDay = 8, count = 10;  // Dec 2026: Fri 4, Mon 7
    ASSERT_EQ(task->GetRunTimes(&begin, &end, &count, &times), S_FALSE);
    ASSERT_EQ(count, 2);
    EXPECT_EQ(std::to_string(times[0].wDay) + "@" + std::to_string(times[0].wHour) + " " +
                  std::to_string(times[1].wDay) + "@" + std::to_string(times[1].wHour),
              "4@9 7@9");
    CoTaskMemFree(times);
    HRESULT status = 0;
    ASSERT_EQ(task->GetStatus(&status), S_OK);
    EXPECT_EQ(status, SCHED_S_TASK_HAS_NOT_RUN);
    // The daemon records a run: an object reports the run state of its load, a save keeps the new one.
    const std::string path = tasks_ + "/times.job";
    svc::JobData job;
    ASSERT_EQ(svc::ReadJobFile(path, job), S_OK);
    job.status = SCHED_S_TASK_RUNNING, job.runningInstances = 1, job.exitCode = 3;
    job.mostRecentRun = SYSTEMTIME{2026, 12, 1, 7, 9, 30, 0, 0};
    ASSERT_EQ(svc::WriteJobFile(path, job), S_OK);
    SYSTEMTIME last{};
    DWORD exitCode = 9;
    ASSERT_EQ(task->GetStatus(&status), S_OK);
    EXPECT_EQ(status, SCHED_S_TASK_HAS_NOT_RUN);
    EXPECT_EQ(task->GetMostRecentRunTime(&last), SCHED_S_TASK_HAS_NOT_RUN);
    EXPECT_EQ(task->GetExitCode(&exitCode), SCHED_S_TASK_HAS_NOT_RUN);
    ITask *fresh = Open(u"times");
    EXPECT_EQ(fresh->GetStatus(&status) | fresh->GetExitCode(&exitCode) | fresh->GetMostRecentRunTime(&last), S_OK);
    EXPECT_EQ(status + exitCode + last.wDay, SCHED_S_TASK_RUNNING + 3 + 7);
    fresh->Release();
    ASSERT_EQ(task->SetFlags(TASK_FLAG_DISABLED), S_OK);
    count = 3;
    EXPECT_EQ(task->GetRunTimes(&begin, nullptr, &count, &times), SCHED_S_TASK_DISABLED);
    EXPECT_EQ(count, 0);
    ASSERT_EQ(Save(task), S_OK);
    task->Release();
    ASSERT_EQ(svc::ReadJobFile(path, job), S_OK);
    EXPECT_EQ((std::vector<unsigned long>{(unsigned long)job.status, job.runningInstances, job.exitCode,
                                          job.mostRecentRun.wDay, job.flags}),
              (std::vector<unsigned long>{SCHED_S_TASK_RUNNING, 1, 3, 7, TASK_FLAG_DISABLED}));
    ITask *unsaved = New(u"unsaved");
    EXPECT_EQ(unsaved->Run(), SCHED_E_TASK_NOT_READY);  // the daemon runs what is stored
    EXPECT_EQ(unsaved->Terminate(), SCHED_E_TASK_NOT_RUNNING);
    ASSERT_EQ(Save(unsaved), S_OK);
    EXPECT_EQ(unsaved->Run(), SCHED_E_SERVICE_NOT_RUNNING);  // no daemon in the fresh Windows directory
    unsaved->Release();
}

// Load, Save under another name (a new file only) and the current file.
TEST_F(ObjectsTest, PersistFile) {
    ITask *task = Saved(u"persist");
    Saved(u"theirs")->Release();
    IPersistFile *file = nullptr;
    ASSERT_EQ(task->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&file)), S_OK);
    CLSID clsid{};
    EXPECT_TRUE(file->GetClassID(&clsid) == S_OK && clsid == CLSID_CTask);
    ASSERT_EQ(task->SetComment(u"copy"), S_OK);
    ASSERT_EQ(Save(task, tasks_ + "/copy.job", FALSE), S_OK);
    EXPECT_EQ(file->IsDirty(), S_OK);  // not remembered: still unsaved
    EXPECT_EQ(CurFile(task), u"persist.job");
    for (const char *name : {"persist.job", "theirs.job", "copy.job"}) {  // existing files are refused, unchanged
        const std::string before = test_user::ReadFile(tasks_ + "/" + name);
        for (BOOL remember : {FALSE, TRUE})
            EXPECT_EQ(Save(task, tasks_ + "/" + name, remember), HRESULT_FROM_WIN32(ERROR_FILE_EXISTS)) << name;
        EXPECT_EQ(test_user::ReadFile(tasks_ + "/" + name), before) << name;
    }
    Write("junk.job", "junk");  // a corrupt file does not replace what is loaded
    EXPECT_EQ(file->Load(W(Wide(tasks_ + "/junk.job")), 0), SCHED_E_INVALID_TASK);
    EXPECT_EQ(file->Load(nullptr, 0), E_INVALIDARG);
    EXPECT_EQ(Settings(task), "|||copy|||" + kNewItem);
    ASSERT_EQ(file->Load(W(Wide(tasks_ + "/THEIRS.job")), 0), S_OK);
    EXPECT_EQ(CurFile(task), u"theirs.job");
    EXPECT_EQ(file->IsDirty(), S_FALSE);
    file->Release();
    EXPECT_EQ(task->Release(), 0u);
    EXPECT_EQ(StoredSettings(u"copy"), "|||copy|||" + kNewItem);
    EXPECT_EQ(StoredSettings(u"persist"), "||||||" + kNewItem);
}

TEST(EditForm, WrittenParsedAndRefused) {
    const std::string head =
        "# Work item settings. Edit the values, save and quit the editor.\n"
        "# Lines starting with '#' are ignored. Add \"Password: ...\" to set a new password.\n"
        "Application: /bin/echo\nParameters: a \"b c\"\nWorkingDirectory: /tmp\n";
    const std::string middle = "Creator: me\nAccount: backup-user\n", idle = "IdleWait: 3\nIdleDeadline: 4\n";
    const std::string flags = "Flags: 0x00000200\nTaskFlags: 0x0000ABCD\n", tail = " flags=0x00000000 random=0";
    const std::string triggers =
        "Trigger: daily begin=2026-12-06 start=23:30 duration=60 interval=15" + tail + " days=2\n" +
        "Trigger: weekly begin=2026-12-06 end=2027-01-31 start=23:30 duration=0 interval=0 flags=0x00000005 random=0 "
        "weeks=3 dow=0x00000041\n" +
        "Trigger: monthly-date begin=2026-12-06 start=23:30 duration=0 interval=0" + tail +
        " monthdays=0x40000000 months=0x00000801\n" +
        "Trigger: monthly-dow begin=2026-12-06 start=23:30 duration=0 interval=0" + tail +
        " week=5 dow=0x00000020 months=0x00000FFF\n" +
        "Trigger: once begin=2026-12-06 start=23:30 duration=0 interval=0" + tail + "\n" +
        "Trigger: logon begin=2026-12-06 start=23:30 duration=0 interval=0" + tail + "\n";
    const std::string text = head + "Comment: caf\xc3\xa9\n" + middle + "Priority: idle\nMaxRunTime: infinite\n" +
                             idle + flags + triggers + "Save: no\n";
    svc::EditForm form;
    form.job = svc::NewJob();  // other values: every one must be overwritten
    std::string error;
    ASSERT_TRUE(svc::ParseEditForm(text, form, error)) << error;
    EXPECT_EQ(form.job.comment, u"caf\u00e9");
    EXPECT_EQ(svc::WriteEditForm(form.job, &form.account), text);
    EXPECT_FALSE(form.passwordSet || form.save);
    // Absent lines keep their value, trigger lines replace the list; a password is never shown.
    ASSERT_TRUE(
        svc::ParseEditForm("# comment\n\nComment:  new text \nPassword: s3cret\nPriority: realtime\n"
                           "MaxRunTime: 5000\nSave: yes\nTrigger: startup begin=2026-01-02 start=00:00\n",
                           form, error))
        << error;
    EXPECT_EQ(svc::WriteEditForm(form.job, &form.account),
              head + "Comment: new text\n" + middle + "Priority: realtime\nMaxRunTime: 5000\n" + idle + flags +
                  "Trigger: startup begin=2026-01-02 start=00:00 duration=0 interval=0" + tail + "\nSave: no\n");
    EXPECT_TRUE(form.passwordSet && form.save);
    EXPECT_EQ(form.password, u"s3cret");
    const svc::JobData job = form.job;
    // clang-format off
    const std::pair<const char *, const char *> broken[] = {
        {"no colon here\n", "line 1"}, {"Colour: blue\n", "unknown setting"}, {"\nPriority: urgent\n", "line 2"},
        {"MaxRunTime: 0\n", "MaxRunTime"}, {"MaxRunTime: -5\n", "MaxRunTime"}, {"IdleWait: 70000\n", "IdleWait"},
        {"Flags: 0x1G\n", "Flags"}, {"Save: maybe\n", "Save"},
        {"Trigger: hourly begin=2026-01-01\n", "unknown trigger type"}, {"Trigger: daily start=10:00\n", "begin"},
        {"Trigger: daily begin=2026-13-01 start=10:00\n", "not a valid"},
        {"Trigger: weekly begin=2026-01-01 days=3\n", "unknown trigger field"},
    };
    // clang-format on
    for (const auto &[form_text, reason] : broken) {
        form.job = job;
        EXPECT_FALSE(svc::ParseEditForm(form_text, form, error)) << form_text;
        EXPECT_NE(error.find(reason), std::string::npos) << form_text << ": " << error;
    }
}

}  // namespace
