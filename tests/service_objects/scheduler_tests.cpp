// The scheduler object: names, the store's files, enumeration, target
// computers, reference counts and allocation failures.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <vector>

#include "store_fixture.h"

namespace {

using SchedulerTest = StoreTest;

// What a refused call must leave in the caller's variable.
IUnknown *const kUntouched = reinterpret_cast<IUnknown *>(static_cast<std::uintptr_t>(0xcfcfcfcfu));
// What reading a work item through a symbolic link answers (ERROR_CANT_RESOLVE_FILENAME).
constexpr HRESULT kLinkRefused = HRESULT_FROM_WIN32(1921);

// A name is one file name; an extension other than ".job" (what follows the
// last dot) is refused where an item is named, as on Windows, yet a file so
// named by hand still opens, so it never stops a load.
TEST_F(SchedulerTest, ItemNames) {
    const std::u16string tooLong(261, u'a'), longest(239, u'b');
    const std::u16string tooManyBytes(240, u'a');      // 244 bytes with ".job"
    const std::u16string tooManyUtf8(120, u'\u00e9');  // 240 UTF-8 bytes
    ITask *unsaved = nullptr;
    ASSERT_EQ(sched_->NewWorkItem(u"unsaved", CLSID_CTask, IID_ITask, reinterpret_cast<IUnknown **>(&unsaved)), S_OK);
    const struct {
        std::vector<const char16_t *> names;
        HRESULT named, activated;  // of NewWorkItem, AddWorkItem, Delete; of Activate
    } rows[] = {
        // clang-format off
        {{u"", u".", u"..", u"a/b", u"a\\b", u"a:b", u"a*b", u"a?b", u"a\"b", u"a<b", u"a>b", u"a|b", u"a\tb", u"\x01",
          u".hidden", u".job", u"a.job.job", u"a.JOB.Job", tooLong.c_str(), tooManyBytes.c_str(), tooManyUtf8.c_str()},
         E_INVALIDARG, E_INVALIDARG},
        {{u"report.txt", u"v1.2", u"x.", u"a.b c", u"x..y", u"x.jobs", u"x.jo", u"x.job.bak"},
         E_INVALIDARG, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)},
        {{longest.c_str(), u"a b", u"\u00e9t\u00e9", u"x.job"}, S_OK, S_OK},
        // clang-format on
    };
    for (const auto &row : rows) {
        for (const char16_t *name : row.names) {
            SCOPED_TRACE(std::string(name, name + std::char_traits<char16_t>::length(name)));
            IUnknown *item = kUntouched;
            EXPECT_EQ(sched_->NewWorkItem(name, CLSID_CTask, IID_ITask, &item), row.named);
            if (SUCCEEDED(row.named)) {
                EXPECT_EQ(Save(item), S_OK);
                item->Release();
                EXPECT_EQ(sched_->AddWorkItem(name, unsaved), HRESULT_FROM_WIN32(ERROR_FILE_EXISTS));
            } else {
                EXPECT_EQ(item, kUntouched);
                EXPECT_EQ(sched_->AddWorkItem(name, unsaved), row.named);
            }
            item = kUntouched;
            EXPECT_EQ(sched_->Activate(name, IID_ITask, &item), row.activated);
            if (SUCCEEDED(row.activated)) item->Release();
            EXPECT_TRUE(SUCCEEDED(row.activated) || item == kUntouched);
            EXPECT_EQ(sched_->Delete(name), row.named);
        }
    }
    unsaved->Release();
    EXPECT_EQ(sched_->Delete(nullptr), E_INVALIDARG);
    Saved(u"plain")->Release();
    WriteFile("a.b c.job", ReadFile(tasks_ + "/plain.job"));
    Open(u"a.b c")->Release();
    EXPECT_EQ(sched_->Delete(u"a.b c.job"), S_OK);
}

TEST_F(SchedulerTest, NewWorkItemChecksClassInterfaceAndExistingFile) {
    IUnknown *item = nullptr;
    EXPECT_EQ(sched_->NewWorkItem(u"a", CLSID_CTaskScheduler, IID_ITask, &item), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(sched_->NewWorkItem(u"a", CLSID_CTask, IID_ITaskTrigger, &item), E_NOINTERFACE);
    EXPECT_EQ(item, nullptr);
    EXPECT_EQ(sched_->NewWorkItem(u"a", CLSID_CTask, IID_ITask, nullptr), E_POINTER);
    for (const IID *iid : {&IID_ITask, &IID_IScheduledWorkItem, &IID_IUnknown, &IID_IPersistFile}) {
        ASSERT_EQ(sched_->NewWorkItem(u"a", CLSID_CTask, *iid, &item), S_OK);
        item->Release();
    }
    // an unsaved item leaves no file, so the name is still free
    EXPECT_FALSE(std::filesystem::exists(tasks_ + "/a.job"));
    ITask *task = Saved(u"a");
    EXPECT_EQ(sched_->NewWorkItem(u"a", CLSID_CTask, IID_ITask, &item), HRESULT_FROM_WIN32(ERROR_FILE_EXISTS));
    EXPECT_EQ(sched_->NewWorkItem(u"a.job", CLSID_CTask, IID_ITask, &item), HRESULT_FROM_WIN32(ERROR_FILE_EXISTS));
    task->Release();
}

TEST_F(SchedulerTest, ActivateAndDeleteByNameWithOrWithoutSuffix) {
    IUnknown *missing = kUntouched;
    EXPECT_EQ(sched_->Activate(u"missing", IID_ITask, &missing), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(missing, kUntouched);
    EXPECT_EQ(sched_->Delete(u"missing"), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    Saved(u"job1")->Release();
    ITask *a = Open(u"job1");
    ITask *b = Open(u"job1.job");
    ASSERT_TRUE(a && b);
    a->Release();
    b->Release();
    IUnknown *unk = nullptr;
    EXPECT_EQ(sched_->Activate(u"job1", IID_ITaskScheduler, &unk), E_NOINTERFACE);
    EXPECT_EQ(unk, nullptr);
    EXPECT_EQ(sched_->IsOfType(u"job1", IID_ITask), S_OK);
    EXPECT_EQ(sched_->IsOfType(u"job1", IID_ITaskScheduler), S_FALSE);
    EXPECT_EQ(sched_->Delete(u"job1.job"), S_OK);
    EXPECT_FALSE(std::filesystem::exists(tasks_ + "/job1.job"));
    EXPECT_EQ(sched_->Delete(u"job1"), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
}

std::u16string CurFile(IUnknown *item) {
    IPersistFile *file = nullptr;
    EXPECT_EQ(item->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&file)), S_OK);
    LPOLESTR name = nullptr;
    EXPECT_EQ(file->GetCurFile(&name), S_OK);
    file->Release();
    const std::u16string path = StoreTest::Take(reinterpret_cast<LPWSTR>(name));
    return path.substr(path.rfind(u'/') + 1);
}

std::vector<std::u16string> EnumAll(ITaskScheduler *sched, ULONG batch, std::vector<HRESULT> *results = nullptr) {
    IEnumWorkItems *items = nullptr;
    EXPECT_EQ(sched->Enum(&items), S_OK);
    std::vector<std::u16string> names;
    for (;;) {
        LPWSTR *array = nullptr;
        ULONG fetched = 99;
        const HRESULT hr = items->Next(batch, &array, &fetched);
        if (results) results->push_back(hr);
        for (ULONG i = 0; i < fetched; ++i) names.push_back(StoreTest::Take(array[i]));
        CoTaskMemFree(array);
        if (hr != S_OK) {
            if (fetched == 0) {
                EXPECT_EQ(array, nullptr);
            }
            break;
        }
    }
    EXPECT_EQ(items->Release(), 0u);
    return names;
}

TEST_F(SchedulerTest, EnumListsJobFilesInCaseInsensitiveOrderInBatches) {
    for (const char16_t *name : {u"beta", u"Alpha", u"gamma", u"ALPHA2", u"Delta", u"epsilon", u"Zeta"})
        Saved(name)->Release();
    WriteFile("notes.txt", "x");
    WriteFile(".beta.job.tmp-abc123", "partial");   // a save under way: kept
    WriteFile(".gamma.job.tmp-abc123", "partial");  // a killed save's: removed
    const std::filesystem::path killed = tasks_ + "/.gamma.job.tmp-abc123";
    std::filesystem::last_write_time(killed, std::filesystem::last_write_time(killed) - std::chrono::hours(1));
    WriteFile("corrupt.job", "not a job file");
    std::filesystem::create_directory(tasks_ + "/folder.job");
    // Links are not work items, even to one: reading one would leave the folder.
    std::filesystem::copy_file(tasks_ + "/beta.job", root_ + "/outside.job");
    std::filesystem::create_symlink(root_ + "/outside.job", tasks_ + "/linked.job");
    std::filesystem::create_directory_symlink(root_, tasks_ + "/linkedfolder.job");
    EXPECT_EQ(Open(u"linked", kLinkRefused), nullptr);
    EXPECT_EQ(Open(u"corrupt", SCHED_E_INVALID_TASK), nullptr);  // listed, but not activated
    EXPECT_EQ(sched_->IsOfType(u"corrupt", IID_ITask), S_FALSE);
    const std::vector<std::u16string> expected = {u"Alpha.job", u"ALPHA2.job",  u"beta.job",  u"corrupt.job",
                                                  u"Delta.job", u"epsilon.job", u"gamma.job", u"Zeta.job"};
    std::vector<HRESULT> results;
    EXPECT_EQ(EnumAll(sched_, 5, &results), expected);
    EXPECT_EQ(results, (std::vector<HRESULT>{S_OK, S_FALSE}));
    results.clear();
    EXPECT_EQ(EnumAll(sched_, 4, &results), expected);
    EXPECT_EQ(results, (std::vector<HRESULT>{S_OK, S_OK, S_FALSE}));
    EXPECT_EQ(EnumAll(sched_, 1), expected);
    EXPECT_FALSE(std::filesystem::exists(killed));
    EXPECT_TRUE(std::filesystem::exists(tasks_ + "/.beta.job.tmp-abc123"));
}

TEST_F(SchedulerTest, EnumIsASnapshotWithSkipResetAndClone) {
    for (const char16_t *name : {u"a", u"b", u"c"}) Saved(name)->Release();
    IEnumWorkItems *items = nullptr;
    ASSERT_EQ(sched_->Enum(&items), S_OK);
    Saved(u"d")->Release();  // after the snapshot
    EXPECT_EQ(sched_->Delete(u"a"), S_OK);
    EXPECT_EQ(items->Skip(1), S_OK);
    IEnumWorkItems *copy = nullptr;
    ASSERT_EQ(items->Clone(&copy), S_OK);
    LPWSTR *array = nullptr;
    ULONG fetched = 0;
    ASSERT_EQ(copy->Next(5, &array, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 2u);
    EXPECT_EQ(Take(array[0]), u"b.job");
    EXPECT_EQ(Take(array[1]), u"c.job");
    CoTaskMemFree(array);
    EXPECT_EQ(items->Skip(5), S_FALSE);
    EXPECT_EQ(items->Next(1, &array, nullptr), S_FALSE);
    EXPECT_EQ(items->Reset(), S_OK);
    ASSERT_EQ(items->Next(1, &array, nullptr), S_OK);
    EXPECT_EQ(Take(array[0]), u"a.job");
    CoTaskMemFree(array);
    // refused calls, the caller's variables left as they were
    struct Refused {
        ULONG count;
        bool names, fetched;
    } refused[] = {{0, true, true}, {2, true, false}, {1, false, true}, {1, false, false}};
    for (const Refused &r : refused) {
        SCOPED_TRACE(r.count);
        LPWSTR *const sentinel = reinterpret_cast<LPWSTR *>(kUntouched);
        array = sentinel;
        fetched = 0xcfcfcfcfu;
        EXPECT_EQ(items->Next(r.count, r.names ? &array : nullptr, r.fetched ? &fetched : nullptr), E_INVALIDARG);
        EXPECT_EQ(array, sentinel);
        EXPECT_EQ(fetched, 0xcfcfcfcfu);
    }
    EXPECT_EQ(sched_->Enum(nullptr), E_INVALIDARG);
    // the position did not move
    ASSERT_EQ(items->Next(1, &array, nullptr), S_OK);
    EXPECT_EQ(Take(array[0]), u"b.job");
    CoTaskMemFree(array);
    EXPECT_EQ(copy->Release(), 0u);
    EXPECT_EQ(items->Release(), 0u);
}

TEST_F(SchedulerTest, TargetComputerRules) {
    char host[256] = {};
    ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
    const std::u16string local(host, host + std::strlen(host));
    const std::u16string expected = u"\\\\" + local;
    std::filesystem::create_directories(root_ + "/remote");
    WriteFile("computers", "# other stores\nFARHOST=" + root_ + "/remote\nBROKEN=relative/path\n");
    struct Case {
        std::u16string name;
        bool null;
        HRESULT hr;
        std::u16string target;
    };
    const Case cases[] = {
        {u"", true, S_OK, expected},
        {u"", false, S_OK, expected},
        {local, false, S_OK, expected},
        {u"\\\\" + local, false, S_OK, expected},
        {u"\\\\farhost", false, S_OK, u"\\\\FARHOST"},
        {u"nowhere", false, HRESULT_FROM_WIN32(ERROR_BAD_NETPATH), u"\\\\FARHOST"},
        {u"BROKEN", false, HRESULT_FROM_WIN32(ERROR_BAD_NETPATH), u"\\\\FARHOST"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(sched_->SetTargetComputer(c.null ? nullptr : c.name.c_str()), c.hr);
        LPWSTR name = nullptr;
        ASSERT_EQ(sched_->GetTargetComputer(&name), S_OK);
        EXPECT_EQ(Take(name), c.target);
    }
    // items now go to the other store
    Saved(u"there")->Release();
    EXPECT_TRUE(std::filesystem::exists(root_ + "/remote/there.job"));
    EXPECT_FALSE(std::filesystem::exists(tasks_ + "/there.job"));
    EXPECT_EQ(sched_->SetTargetComputer(nullptr), S_OK);
    EXPECT_EQ(Open(u"there", HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)), nullptr);
    EXPECT_EQ(sched_->GetTargetComputer(nullptr), E_POINTER);
}

TEST_F(SchedulerTest, ReferenceCountsOfHandedOutObjects) {
    EXPECT_EQ(sched_->AddRef(), 2u);
    EXPECT_EQ(sched_->Release(), 1u);
    IUnknown *unk = nullptr;
    EXPECT_EQ(sched_->QueryInterface(IID_IUnknown, reinterpret_cast<void **>(&unk)), S_OK);
    EXPECT_EQ(unk->Release(), 1u);
    EXPECT_EQ(sched_->QueryInterface(IID_ITask, reinterpret_cast<void **>(&unk)), E_NOINTERFACE);
    EXPECT_EQ(unk, nullptr);

    ITask *task = Saved(u"counted");
    ITaskTrigger *trigger = nullptr;
    WORD index = 0;
    ASSERT_EQ(task->CreateTrigger(&index, &trigger), S_OK);
    // the trigger holds its task
    EXPECT_EQ(task->AddRef(), 3u);
    EXPECT_EQ(task->Release(), 2u);
    IPersistFile *file = nullptr;
    ASSERT_EQ(task->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&file)), S_OK);
    EXPECT_EQ(file->Release(), 2u);
    EXPECT_EQ(trigger->Release(), 0u);
    EXPECT_EQ(task->Release(), 0u);

    IEnumWorkItems *items = nullptr;
    ASSERT_EQ(sched_->Enum(&items), S_OK);
    IEnumWorkItems *copy = nullptr;
    ASSERT_EQ(items->Clone(&copy), S_OK);
    EXPECT_EQ(items->AddRef(), 2u);
    EXPECT_EQ(items->Release(), 1u);
    EXPECT_EQ(copy->Release(), 0u);
    EXPECT_EQ(items->Release(), 0u);

    IClassFactory *factory = nullptr;
    ASSERT_EQ(CoGetClassObject(CLSID_CTaskScheduler, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                               reinterpret_cast<void **>(&factory)),
              S_OK);
    ITaskScheduler *second = nullptr;
    EXPECT_EQ(factory->CreateInstance(reinterpret_cast<IUnknown *>(factory), IID_ITaskScheduler,
                                      reinterpret_cast<void **>(&second)),
              CLASS_E_NOAGGREGATION);
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_ITaskScheduler, reinterpret_cast<void **>(&second)), S_OK);
    EXPECT_EQ(second->Release(), 0u);
    EXPECT_EQ(factory->Release(), 0u);
    EXPECT_EQ(CoGetClassObject(CLSID_CTask, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                               reinterpret_cast<void **>(&factory)),
              REGDB_E_CLASSNOTREG);
}

TEST_F(SchedulerTest, AllocationFailuresAnswerOutOfMemory) {
    for (const char16_t *name : {u"a", u"b", u"c"}) Saved(name)->Release();
    // Next makes the array, then one block per name: fail each in turn
    for (long n = 0; n < 4; ++n) {
        IEnumWorkItems *items = nullptr;
        ASSERT_EQ(sched_->Enum(&items), S_OK);
        LPWSTR *array = reinterpret_cast<LPWSTR *>(kUntouched);
        ULONG fetched = 7;
        VelqoFailAllocationAfter(n);
        EXPECT_EQ(items->Next(3, &array, &fetched), E_OUTOFMEMORY);
        VelqoFailAllocationAfter(-1);
        EXPECT_EQ(array, reinterpret_cast<LPWSTR *>(kUntouched));
        EXPECT_EQ(fetched, 7u);
        // the position did not move
        ASSERT_EQ(items->Next(3, &array, &fetched), S_OK);
        for (ULONG i = 0; i < fetched; ++i) CoTaskMemFree(array[i]);
        CoTaskMemFree(array);
        items->Release();
    }
    // a failed call leaves the caller's variables as they were
    LPWSTR const sentinel = reinterpret_cast<LPWSTR>(kUntouched);
    LPWSTR name = sentinel;
    VelqoFailAllocationAfter(0);
    EXPECT_EQ(sched_->GetTargetComputer(&name), E_OUTOFMEMORY);
    EXPECT_EQ(name, sentinel);
    ITask *task = Open(u"a");
    VelqoFailAllocationAfter(0);
    EXPECT_EQ(task->GetComment(&name), E_OUTOFMEMORY);
    EXPECT_EQ(name, sentinel);
    BYTE data[3] = {1, 2, 3};
    ASSERT_EQ(task->SetWorkItemData(3, data), S_OK);
    WORD size = 0xcfcf;
    BYTE *out = reinterpret_cast<BYTE *>(kUntouched);
    VelqoFailAllocationAfter(0);
    EXPECT_EQ(task->GetWorkItemData(&size, &out), E_OUTOFMEMORY);
    EXPECT_EQ(size, 0xcfcf);
    EXPECT_EQ(out, reinterpret_cast<BYTE *>(kUntouched));
    task->Release();
}

TEST_F(SchedulerTest, OneNameSpaceWithoutRegardToLetterCase) {
    Saved(u"Backup")->Release();
    Saved(u"\u00c9t\u00e9")->Release();  // Été
    WriteFile("Other.JOB", ReadFile(tasks_ + "/Backup.job"));
    Saved(u"Plain.job")->Release();
    // Every name of a row reaches the file of the row.
    const struct {
        const char16_t *name;
        const char16_t *file;
    } rows[] = {
        {u"Backup", u"Backup.job"},     {u"backup", u"Backup.job"},
        {u"BACKUP.JOB", u"Backup.job"}, {u"bAcKuP.Job", u"Backup.job"},
        {u"Other", u"Other.JOB"},       {u"OTHER.job", u"Other.JOB"},
        {u"plain", u"Plain.job"},       {u"\u00e9T\u00c9", u"\u00c9t\u00e9.job"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string(row.name, row.name + std::char_traits<char16_t>::length(row.name)));
        ITask *task = Open(row.name);
        ASSERT_NE(task, nullptr);
        EXPECT_EQ(CurFile(task), row.file);
        task->Release();
        EXPECT_EQ(sched_->IsOfType(row.name, IID_ITask), S_OK);
        IUnknown *item = nullptr;
        EXPECT_EQ(sched_->NewWorkItem(row.name, CLSID_CTask, IID_ITask, &item), HRESULT_FROM_WIN32(ERROR_FILE_EXISTS));
        EXPECT_EQ(item, nullptr);
    }
    EXPECT_EQ(EnumAll(sched_, 5),
              (std::vector<std::u16string>{u"Backup.job", u"Other.JOB", u"Plain.job", u"\u00c9t\u00e9.job"}));
    EXPECT_EQ(sched_->Delete(u"OTHER"), S_OK);
    EXPECT_FALSE(std::filesystem::exists(tasks_ + "/Other.JOB"));
    EXPECT_EQ(sched_->Delete(u"\u00c9T\u00c9.JOB"), S_OK);
    EXPECT_EQ(EnumAll(sched_, 5), (std::vector<std::u16string>{u"Backup.job", u"Plain.job"}));
}

TEST_F(SchedulerTest, SpellingsOfOneNameAreListedOnceAndEachStaysReachable) {
    ITask *zed = Saved(u"zed");
    const std::string bytes = ReadFile(tasks_ + "/zed.job");
    zed->Release();
    for (const char *file : {"Zed.job", "ZED.JOB", "x.JOB", "x.job", "y.Job", "a.job.job", "a:b.job", "c.job.JOB"})
        WriteFile(file, bytes);
    // Of several spellings, the byte-wise first with ".job" in lower case;
    // files that no item name reaches are not listed.
    const std::vector<std::u16string> listed = {u"x.job", u"y.Job", u"Zed.job"};
    EXPECT_EQ(EnumAll(sched_, 5), listed);
    // What a client does with the list: strip ".job" and open each name.
    for (const std::u16string &name : listed) {
        ITask *task = Open(name.substr(0, name.size() - 4).c_str());
        ASSERT_NE(task, nullptr);
        EXPECT_EQ(CurFile(task), name);
        task->Release();
    }
    const struct {
        const char16_t *name;
        const char16_t *file;
    } rows[] = {{u"ZED", u"Zed.job"}, {u"zed", u"zed.job"}, {u"ZED.JOB", u"ZED.JOB"}, {u"X.job", u"x.job"}};
    for (const auto &row : rows) {
        ITask *task = Open(row.name);
        ASSERT_NE(task, nullptr);
        EXPECT_EQ(CurFile(task), row.file);
        task->Release();
    }
    // Deleting the listed spelling brings the next one up.
    EXPECT_EQ(sched_->Delete(u"Zed"), S_OK);
    EXPECT_EQ(EnumAll(sched_, 5), (std::vector<std::u16string>{u"x.job", u"y.Job", u"zed.job"}));
}

TEST_F(SchedulerTest, SavingOneNameInTwoCasesWritesOneFile) {
    // Two clients create "Zed" and "zed" before either saves.
    ITask *first = nullptr, *second = nullptr;
    ASSERT_EQ(sched_->NewWorkItem(W(u"Zed"), CLSID_CTask, IID_ITask, reinterpret_cast<IUnknown **>(&first)), S_OK);
    ASSERT_EQ(sched_->NewWorkItem(W(u"zed"), CLSID_CTask, IID_ITask, reinterpret_cast<IUnknown **>(&second)), S_OK);
    ASSERT_EQ(Save(first), S_OK);
    ASSERT_EQ(Save(second), S_OK);
    EXPECT_EQ(CurFile(second), u"Zed.job");
    // A path names the stored file in any case, so it is taken; a new name keeps its spelling.
    IPersistFile *file = nullptr;
    ASSERT_EQ(first->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&file)), S_OK);
    const std::u16string upper = std::u16string(tasks_.begin(), tasks_.end()) + u"/ZED.JOB";
    const std::u16string weekly = std::u16string(tasks_.begin(), tasks_.end()) + u"/Weekly.JOB";
    EXPECT_EQ(file->Save(reinterpret_cast<LPCOLESTR>(upper.c_str()), FALSE), HRESULT_FROM_WIN32(ERROR_FILE_EXISTS));
    EXPECT_EQ(file->Save(reinterpret_cast<LPCOLESTR>(weekly.c_str()), FALSE), S_OK);
    file->Release();
    std::vector<std::string> files;
    for (const auto &entry : std::filesystem::directory_iterator(tasks_))
        files.push_back(entry.path().filename().string());
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"Weekly.JOB", "Zed.job"}));
    first->Release();
    second->Release();
}

}  // namespace
