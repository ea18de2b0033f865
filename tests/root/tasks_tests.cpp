// The Tasks collection against the scriptable service: loading, lookups,
// removal, Exists, Add and Clone, with the reference counts they leave.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "globals/globals.h"
#include "globals/strings.h"
#include "root/fakes.h"
#include "tasks/tasks.h"
#include "trace/error.h"

using namespace velqosch;
using fakes::AsFake;
using fakes::Call;
using fakes::FakeScheduler;
using fakes::FakeTask;
using fakes::Narrow;
using fakes::RefCount;
using TaskScheduler::_Task;

namespace {

constexpr HRESULT kE5 = static_cast<HRESULT>(0x800A0005);
constexpr HRESULT kE6 = static_cast<HRESULT>(0x800A0006);
constexpr HRESULT kE9 = static_cast<HRESULT>(0x800A0009);
constexpr HRESULT kE13 = static_cast<HRESULT>(0x800A000D);
constexpr HRESULT kE457 = static_cast<HRESULT>(0x800A01C9);

std::vector<std::u16string> Numbered(size_t n, const std::u16string &suffix = u".job") {
    std::vector<std::u16string> names;
    for (size_t i = 0; i < n; ++i) names.push_back(u"T" + fakes::Widen(std::to_string(i)) + suffix);
    return names;
}

VARIANT Position(LONG p) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = p;
    return v;
}

// A string argument that frees itself.
struct Key {
    explicit Key(const std::u16string &text) : b(ToBstr(text)) {
        VariantInit(&v);
        v.vt = VT_BSTR;
        v.bstrVal = b;
    }
    ~Key() { SysFreeString(b); }
    BSTR b;
    VARIANT v;
};

struct ErrorFields {
    std::u16string source, description, helpFile;
    DWORD helpContext = 0;
    bool present = false;
};
ErrorFields ThreadError() {
    ErrorFields f;
    IErrorInfo *info = nullptr;
    if (GetErrorInfo(0, &info) != S_OK || !info) return f;
    f.present = true;
    BstrHolder s, d, h;
    info->GetSource(s.out());
    info->GetDescription(d.out());
    info->GetHelpFile(h.out());
    info->GetHelpContext(&f.helpContext);
    f.source = FromBstr(s.get());
    f.description = FromBstr(d.get());
    f.helpFile = FromBstr(h.get());
    info->Release();
    return f;
}

LONG RaisedNumber(const std::function<void()> &f) {
    try {
        f();
    } catch (const ComponentError &e) {
        return e.record().number;
    }
    return 0;
}

class TasksTest : public ::testing::Test {
protected:
    void SetUp() override {
        EnsureThreadStarted();
        service = ComRef<FakeScheduler>::Adopt(new FakeScheduler());
        tasks = Tasks::Create();
    }
    void TearDown() override {
        tasks.reset();
        EXPECT_EQ(FakeTask::live, 0) << "Task objects leaked";
        EXPECT_EQ(*service->liveItems, 0) << "work items leaked";
        EXPECT_EQ(*service->liveEnums, 0) << "enumerators leaked";
        EXPECT_EQ(service->refs(), 1u);
    }
    void Load(std::vector<std::u16string> names) {
        service->names = std::move(names);
        service->calls.clear();
        tasks->SetTaskScheduler(service.get());
    }
    // The collection's keys, read from each Task in order.
    std::vector<std::u16string> Names() {
        std::vector<std::u16string> out;
        for (LONG i = 1; i <= tasks->Count(); ++i) {
            VARIANT p = Position(i);
            out.push_back(AsFake(tasks->Item(&p).get())->TaskName);
        }
        return out;
    }
    FakeTask *At(LONG i) {
        VARIANT p = Position(i);
        return AsFake(tasks->Item(&p).get());
    }

    fakes::FakeTaskClass taskClass;
    ComRef<FakeScheduler> service;
    ComRef<Tasks> tasks;
};

// ---- Loading ------------------------------------------------------------------------------------------------------

TEST_F(TasksTest, LoadsWholeEnumerationsInOrderAskingFiveAtATime) {
    for (size_t n : {0u, 5u, 50u, 51u}) {
        SCOPED_TRACE(n);
        Load(Numbered(n));
        std::vector<std::u16string> expected = Numbered(n, u"");
        EXPECT_EQ(Names(), expected);
        const auto nexts = service->CallsOf("Next");
        EXPECT_EQ(nexts.size(), n / 5 + (n % 5 ? 1 : 0) + 1);  // the last call returns nothing
        for (const Call &c : nexts) EXPECT_EQ(c.count, 5u);
        const auto activates = service->CallsOf("Activate");
        ASSERT_EQ(activates.size(), n);
        for (size_t i = 0; i < n; ++i) EXPECT_EQ(activates[i].name, expected[i]);
        // Each Task is bound to the work item of its own name.
        for (LONG i = 1; i <= static_cast<LONG>(n); ++i)
            EXPECT_EQ(static_cast<fakes::FakeWorkItem *>(At(i)->item.get())->name(), expected[i - 1]);
        EXPECT_EQ(*service->liveEnums, 0);
    }
}

TEST_F(TasksTest, PartialBatchesLoadCompletely) {
    service->batchLimit = 3;
    Load(Numbered(53));
    EXPECT_EQ(Names(), Numbered(53, u""));
}

TEST_F(TasksTest, JobSuffixIsStrippedInAnyCaseOnce) {
    Load({u"Backup.job", u"Report.JOB", u"x.job.job", u"Plain", u"Mixed.JoB", u"job", u"a.jobs"});
    const std::vector<std::u16string> expected = {u"Backup", u"Report", u"x.job", u"Plain", u"Mixed", u"job",
                                                  u"a.jobs"};
    EXPECT_EQ(Names(), expected);
    const auto activates = service->CallsOf("Activate");
    ASSERT_EQ(activates.size(), expected.size());
    EXPECT_EQ(activates[1].name, u"Report");
    // The stripped name is the key.
    Key k(u"report");
    EXPECT_EQ(AsFake(tasks->Item(&k.v).get())->TaskName, u"Report");
}

TEST_F(TasksTest, ReloadReplacesEntriesButHeldTasksStayAlive) {
    Load({u"A", u"B"});
    Key a(u"A");
    ComRef<_Task> held = tasks->Item(&a.v);
    Load({u"C"});
    EXPECT_EQ(Names(), std::vector<std::u16string>{u"C"});
    EXPECT_EQ(RefCount(held.get()), 1u);  // only the client's reference is left
    EXPECT_EQ(AsFake(held.get())->TaskName, u"A");
    EXPECT_TRUE(AsFake(held.get())->item);
}

TEST_F(TasksTest, MoreThan32750NamesOverflowBeforeTheCollectionIsReplaced) {
    Load({u"Old1", u"Old2"});
    FakeTask *old1 = At(1);
    EXPECT_EQ(RaisedNumber([&] { Load(Numbered(32751)); }), kErrOverflow);
    EXPECT_EQ(tasks->Count(), 2);
    EXPECT_EQ(At(1), old1);
    EXPECT_TRUE(service->CallsOf("Activate").empty());
    EXPECT_EQ(*service->liveEnums, 0);
}

TEST_F(TasksTest, Exactly32750NamesLoad) {
    Load(Numbered(32750));
    EXPECT_EQ(tasks->Count(), 32750);
    EXPECT_EQ(At(32750)->TaskName, u"T32749");
}

TEST_F(TasksTest, FailingEnumKeepsThePreviousEntries) {
    Load({u"A", u"B"});
    service->fail["Enum"] = E_ACCESSDENIED;
    EXPECT_EQ(RaisedNumber([&] { Load({u"C"}); }), E_ACCESSDENIED);
    EXPECT_EQ(Names(), (std::vector<std::u16string>{u"A", u"B"}));
}

TEST_F(TasksTest, FailingNextEndsTheEnumerationWithoutAnError) {
    service->nextFailsAt = 2;
    Load(Numbered(12));
    EXPECT_EQ(Names(), Numbered(5, u""));
}

TEST_F(TasksTest, FailingActivateStopsTheLoadPartWay) {
    Load({u"Old"});
    service->failName[{"Activate", u"C"}] = SCHED_E_UNKNOWN_OBJECT_VERSION;
    EXPECT_EQ(RaisedNumber([&] { Load({u"A.job", u"B.job", u"C.job", u"D.job"}); }),
              SCHED_E_UNKNOWN_OBJECT_VERSION);
    EXPECT_EQ(Names(), (std::vector<std::u16string>{u"A", u"B"}));
    EXPECT_EQ(service->CallsOf("Activate").size(), 3u);
}

TEST_F(TasksTest, StrictServiceSeesOnlyEnumNextAndActivate) {
    service->strict = true;
    service->expected = {"Enum", "Activate"};
    Load({u"A", u"B"});
    EXPECT_TRUE(service->unexpected.empty());
    EXPECT_EQ(tasks->Count(), 2);
}

// ---- Lookups ------------------------------------------------------------------------------------------------------

TEST_F(TasksTest, ItemByPositionAndNameThroughTheInterface) {
    Load({u"Backup.job", u"Report.job"});
    _Task *got = reinterpret_cast<_Task *>(0x1);
    Key k(u"BACKUP");
    ASSERT_EQ(tasks->get_Item(&k.v, &got), S_OK);
    EXPECT_EQ(AsFake(got)->TaskName, u"Backup");
    EXPECT_EQ(RefCount(got), 2u);  // the collection's and ours
    got->Release();

    VARIANT p = Position(2);
    ASSERT_EQ(tasks->get_Item(&p, &got), S_OK);
    EXPECT_EQ(AsFake(got)->TaskName, u"Report");
    got->Release();

    got = reinterpret_cast<_Task *>(0x1);
    Key absent(u"Nope");
    EXPECT_EQ(tasks->get_Item(&absent.v, &got), kE5);
    EXPECT_EQ(got, nullptr);
    EXPECT_TRUE(ThreadError().present);
    p = Position(3);
    EXPECT_EQ(tasks->get_Item(&p, &got), kE9);
    p = Position(0);
    EXPECT_EQ(tasks->get_Item(&p, &got), kE9);
    VARIANT empty;
    VariantInit(&empty);
    EXPECT_EQ(tasks->get_Item(&empty, &got), kE13);
    EXPECT_EQ(tasks->get_Item(nullptr, &got), E_POINTER);
    EXPECT_EQ(tasks->get_Item(&k.v, nullptr), E_POINTER);

    LONG count = 0;
    EXPECT_EQ(tasks->get_Count(&count), S_OK);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(tasks->get_Count(nullptr), E_POINTER);
}

TEST_F(TasksTest, NewEnumYieldsTheTasksInOrder) {
    Load({u"A", u"B", u"C"});
    IUnknown *unknown = nullptr;
    ASSERT_EQ(tasks->get_NewEnum(&unknown), S_OK);
    EXPECT_EQ(RefCount(At(1)), 2u);  // the collection's and the enumerator's
    ComRef<IEnumVARIANT> e;
    ASSERT_EQ(unknown->QueryInterface(IID_IEnumVARIANT, reinterpret_cast<void **>(e.Out())), S_OK);
    unknown->Release();
    std::vector<std::u16string> seen;
    VARIANT v;
    while (e->Next(1, &v, nullptr) == S_OK) {
        EXPECT_EQ(v.vt, VT_DISPATCH);
        seen.push_back(AsFake(static_cast<_Task *>(v.pdispVal))->TaskName);
        VariantClear(&v);
    }
    EXPECT_EQ(seen, (std::vector<std::u16string>{u"A", u"B", u"C"}));
    e.reset();
    EXPECT_EQ(RefCount(At(1)), 1u);
}

TEST_F(TasksTest, ExistsIgnoresCaseAndNeverRaisesForAMissingName) {
    Load({u"Backup.job", u"Été"});
    VARIANT_BOOL found = 7;
    BstrHolder present(u"BACKUP"), accented(u"éTÉ"), absent(u"Other");
    BSTR b = present.get();
    ASSERT_EQ(tasks->Exists(&b, &found), S_OK);
    EXPECT_EQ(found, VARIANT_TRUE);
    b = accented.get();
    ASSERT_EQ(tasks->Exists(&b, &found), S_OK);
    EXPECT_EQ(found, VARIANT_TRUE);
    b = absent.get();
    ASSERT_EQ(tasks->Exists(&b, &found), S_OK);
    EXPECT_EQ(found, VARIANT_FALSE);
    EXPECT_FALSE(ThreadError().present);
    EXPECT_EQ(tasks->Exists(nullptr, &found), E_POINTER);
    EXPECT_EQ(tasks->Exists(&b, nullptr), E_POINTER);
}

// ---- Remove -------------------------------------------------------------------------------------------------------

TEST_F(TasksTest, RemoveDeletesTheStoredTaskAndMovesLaterOnesDown) {
    service->stored = {u"A", u"B", u"C"};
    Load({u"A", u"B", u"C"});
    Key a(u"A");
    ComRef<_Task> held = tasks->Item(&a.v);
    VARIANT one = Position(1);
    ASSERT_EQ(tasks->Remove(&one), S_OK);
    EXPECT_EQ(service->stored, (std::set<std::u16string>{u"B", u"C"}));
    EXPECT_EQ(Names(), (std::vector<std::u16string>{u"B", u"C"}));
    EXPECT_EQ(RefCount(held.get()), 1u);
    EXPECT_EQ(AsFake(held.get())->TaskName, u"A");
}

TEST_F(TasksTest, RemoveUsesTheTasksCurrentName) {
    service->stored = {u"A", u"B", u"Renamed"};
    Load({u"A", u"B"});
    BstrHolder renamed(u"Renamed");
    BSTR value = renamed.get();
    ASSERT_EQ(At(1)->put_TaskName(&value), S_OK);
    Key key(u"a");
    ASSERT_EQ(tasks->Remove(&key.v), S_OK);
    const auto deletes = service->CallsOf("Delete");
    ASSERT_EQ(deletes.size(), 1u);
    EXPECT_EQ(deletes[0].name, u"Renamed");
    EXPECT_EQ(service->stored, (std::set<std::u16string>{u"A", u"B"}));
    EXPECT_EQ(Names(), std::vector<std::u16string>{u"B"});
}

TEST_F(TasksTest, FailingDeleteOrLookupLeavesTheEntry) {
    Load({u"A", u"B"});  // nothing stored: Delete fails
    service->calls.clear();
    Key key(u"A");
    EXPECT_EQ(tasks->Remove(&key.v), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(tasks->Count(), 2);
    Key absent(u"Z");
    EXPECT_EQ(tasks->Remove(&absent.v), kE5);
    VARIANT beyond = Position(3);
    EXPECT_EQ(tasks->Remove(&beyond), kE9);
    EXPECT_EQ(tasks->Remove(nullptr), E_POINTER);
    EXPECT_EQ(service->CallsOf("Delete").size(), 1u);
    EXPECT_EQ(tasks->Count(), 2);
}

// ---- Add ----------------------------------------------------------------------------------------------------------

TEST_F(TasksTest, AddWithABlankNameWritesTheGeneratedNameBack) {
    Load({});
    const std::regex pattern("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}");
    std::vector<std::u16string> generated;
    for (const char16_t *given : {u"", u"   "}) {
        BSTR name = ToBstr(given);
        _Task *task = nullptr;
        ASSERT_EQ(tasks->Add(&name, &task), S_OK);
        const std::u16string written = FromBstr(name);
        EXPECT_TRUE(std::regex_match(Narrow(written), pattern)) << Narrow(written);
        EXPECT_EQ(AsFake(task)->TaskName, written);
        EXPECT_EQ(RefCount(task), 2u);
        Key k(written);
        EXPECT_EQ(tasks->Item(&k.v).get(), task);
        EXPECT_EQ(service->CallsOf("NewWorkItem").back().name, written);
        EXPECT_EQ(static_cast<fakes::FakeWorkItem *>(AsFake(task)->item.get())->name(), written);
        generated.push_back(written);
        task->Release();
        SysFreeString(name);
    }
    EXPECT_NE(generated[0], generated[1]);
    // A null string is an empty one.
    BSTR none = nullptr;
    _Task *task = nullptr;
    ASSERT_EQ(tasks->Add(&none, &task), S_OK);
    EXPECT_EQ(SysStringLen(none), 36u);
    task->Release();
    SysFreeString(none);
    EXPECT_EQ(tasks->Count(), 3);
}

TEST_F(TasksTest, AddUsesANonBlankNameUnchanged) {
    Load({});
    BstrHolder given(u" Nightly ");
    BSTR name = given.get();
    _Task *task = nullptr;
    ASSERT_EQ(tasks->Add(&name, &task), S_OK);
    EXPECT_EQ(name, given.get());  // not replaced
    EXPECT_EQ(AsFake(task)->TaskName, u" Nightly ");
    EXPECT_EQ(service->CallsOf("NewWorkItem").back().name, u" Nightly ");
    task->Release();
    EXPECT_EQ(tasks->Add(nullptr, &task), E_POINTER);
    EXPECT_EQ(tasks->Add(&name, nullptr), E_POINTER);
}

TEST_F(TasksTest, AddOfANameTheServiceHoldsRaisesItsStatus) {
    service->stored = {u"Backup"};
    Load({u"Backup.job"});
    BstrHolder given(u"Backup");
    BSTR name = given.get();
    _Task *task = reinterpret_cast<_Task *>(0x1);
    EXPECT_EQ(tasks->Add(&name, &task), HRESULT_FROM_WIN32(ERROR_FILE_EXISTS));
    EXPECT_EQ(task, nullptr);
    EXPECT_EQ(tasks->Count(), 1);
}

TEST_F(TasksTest, AddOfAKeyInTheCollectionRaises457AndDropsTheNewItem) {
    Load({u"Gone.job"});  // loaded, but no longer stored by the service
    const int items = *service->liveItems;
    BstrHolder given(u"GONE");
    BSTR name = given.get();
    _Task *task = nullptr;
    EXPECT_EQ(tasks->Add(&name, &task), kE457);
    EXPECT_EQ(service->CallsOf("NewWorkItem").size(), 1u);
    EXPECT_EQ(tasks->Count(), 1);
    EXPECT_EQ(*service->liveItems, items);
    EXPECT_EQ(FakeTask::live, 1);
}

// ---- Clone --------------------------------------------------------------------------------------------------------

TEST_F(TasksTest, CloneCopiesTheElevenSettingsInOrder) {
    Load({u"Source.job"});
    FakeTask *source = At(1);
    source->FillDistinct();
    BstrHolder existing(u"SOURCE");
    BSTR existingName = existing.get();
    BSTR newName = nullptr;
    _Task *clone = nullptr;
    ASSERT_EQ(tasks->Clone(&existingName, &newName, &clone), S_OK);
    FakeTask *copy = AsFake(clone);
    EXPECT_EQ(SysStringLen(newName), 36u);
    EXPECT_EQ(copy->TaskName, FromBstr(newName));
    const std::vector<std::string> order = {"AccountName", "ApplicationName", "Comment", "flags",
                                            "IdleWaitDeadlineMinutes", "IdleWaitMinutes", "MaxRunTime",
                                            "Parameters", "Priority", "WorkingDirectory", "WorkItemData"};
    EXPECT_EQ(copy->puts, order);
    EXPECT_EQ(copy->AccountName, source->AccountName);
    EXPECT_EQ(copy->ApplicationName, source->ApplicationName);
    EXPECT_EQ(copy->Comment, source->Comment);
    EXPECT_EQ(copy->flags, source->flags);
    EXPECT_EQ(copy->IdleWaitDeadlineMinutes, source->IdleWaitDeadlineMinutes);
    EXPECT_EQ(copy->IdleWaitMinutes, source->IdleWaitMinutes);
    EXPECT_EQ(copy->MaxRunTime, source->MaxRunTime);
    EXPECT_EQ(copy->Parameters, source->Parameters);
    EXPECT_EQ(copy->Priority, source->Priority);
    EXPECT_EQ(copy->WorkingDirectory, source->WorkingDirectory);
    EXPECT_EQ(copy->WorkItemData, source->WorkItemData);
    // Not copied.
    EXPECT_NE(copy->Creator, source->Creator);
    EXPECT_NE(copy->ErrorRetryCount, source->ErrorRetryCount);
    EXPECT_NE(copy->ErrorRetryInterval, source->ErrorRetryInterval);
    EXPECT_TRUE(source->puts.empty());
    EXPECT_EQ(tasks->Count(), 2);
    EXPECT_EQ(RefCount(clone), 2u);
    clone->Release();
    SysFreeString(newName);
}

TEST_F(TasksTest, CloneOfAnAbsentTaskCreatesNothing) {
    Load({u"Source"});
    BstrHolder existing(u"Missing"), wanted(u"New");
    BSTR existingName = existing.get(), newName = wanted.get();
    _Task *clone = nullptr;
    EXPECT_EQ(tasks->Clone(&existingName, &newName, &clone), kE5);
    EXPECT_TRUE(service->CallsOf("NewWorkItem").empty());
    EXPECT_EQ(tasks->Count(), 1);
    EXPECT_EQ(tasks->Clone(nullptr, &newName, &clone), E_POINTER);
}

TEST_F(TasksTest, CloneFailureKeepsTheNewTaskWithWhatWasCopiedAndTheErrorUnchanged) {
    Load({u"Source"});
    At(1)->FillDistinct();
    // The new task refuses its application name, as the Task class does for
    // an empty one.
    auto previous = SetTaskBuilder({[] {
                                        auto *t = new FakeTask();
                                        t->failing.insert("put:ApplicationName");
                                        return ComRef<_Task>::Adopt(t);
                                    },
                                    CurrentTaskBuilder().bind});
    BstrHolder existing(u"Source"), wanted(u"Copy");
    BSTR existingName = existing.get(), newName = wanted.get();
    _Task *clone = nullptr;
    EXPECT_EQ(tasks->Clone(&existingName, &newName, &clone), kE5);
    SetTaskBuilder(previous);
    const ErrorFields e = ThreadError();
    EXPECT_EQ(e.source, u"Velqo Task Scheduler");
    EXPECT_EQ(e.description, u"Application name must not be empty");
    EXPECT_EQ(e.helpFile, u"velqosch.chm");
    EXPECT_EQ(e.helpContext, 9999u);
    ASSERT_EQ(tasks->Count(), 2);
    FakeTask *copy = At(2);
    EXPECT_EQ(copy->TaskName, u"Copy");
    EXPECT_EQ(copy->puts, std::vector<std::string>{"AccountName"});
}

// ---- Object -------------------------------------------------------------------------------------------------------

TEST_F(TasksTest, QueryInterfaceClearsItsOutPointer) {
    void *p = reinterpret_cast<void *>(0x1);
    EXPECT_EQ(tasks->QueryInterface(IID_ITask, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(tasks->QueryInterface(TaskScheduler::IID__Tasks, &p), S_OK);
    EXPECT_EQ(p, static_cast<TaskScheduler::_Tasks *>(tasks.get()));
    EXPECT_EQ(RefCount(static_cast<TaskScheduler::_Tasks *>(tasks.get())), 2u);
    static_cast<IUnknown *>(p)->Release();
    ComRef<ISupportErrorInfo> support;
    ASSERT_EQ(tasks->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void **>(support.Out())), S_OK);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(TaskScheduler::IID__Tasks), S_OK);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IDispatch), S_FALSE);
    EXPECT_EQ(tasks->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
}

TEST_F(TasksTest, ConnectionIsHeldOnceByTheCollection) {
    Load({u"A"});
    EXPECT_EQ(service->refs(), 2u);
    tasks.reset();
    EXPECT_EQ(service->refs(), 1u);
}

}  // namespace
