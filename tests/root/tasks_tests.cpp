// The Tasks collection over real Task objects and the strict fake service:
// loading, Remove, Add and Clone (lookups and Exists: collection_tests).
#include <regex>

#include "common/fake_service.h"
#include "globals/strings.h"
#include "tasks/tasks.h"

using namespace velqosch;
using fake::Calls, fake::FakeScheduler, fake::FakeWorkItem, fake::kE457, fake::kE5, fake::kE6, fake::kE9;
using TaskScheduler::_Task;
using Names = std::vector<std::u16string>;

namespace {

std::u16string Widen(const std::string &s) { return {s.begin(), s.end()}; }
std::string Narrow(const std::u16string &s) { return std::string(s.begin(), s.end()); }

Names Numbered(size_t n, const std::u16string &suffix = u".job") {
    Names names;
    for (size_t i = 0; i < n; ++i) names.push_back(u"T" + Widen(std::to_string(i)) + suffix);
    return names;
}

// A lookup argument that frees itself.
struct Arg {
    explicit Arg(LONG position) { v.vt = VT_I4, v.lVal = position; }
    explicit Arg(const char16_t *key) { v.vt = VT_BSTR, v.bstrVal = SysAllocString(key); }
    ~Arg() { VariantClear(&v); }
    VARIANT v{};
};

std::u16string NameOf(_Task *t) {
    BstrHolder name;
    EXPECT_EQ(t->get_TaskName(name.out()), S_OK);
    return FromBstr(name.get());
}

class TasksTest : public fake::ServiceTest {
protected:
    void SetUp() override {
        ServiceTest::SetUp();
        tasks = Tasks::Create();
    }
    void TearDown() override {
        tasks.reset();
        ServiceTest::TearDown();
    }
    LONG Load(Names names) {
        service->names = std::move(names);
        service->journal.Clear();
        return Guard([&] { tasks->SetTaskScheduler(service.get()); });
    }
    // The Tasks in order, by their items' application names (the fake's: the name activated).
    Names Loaded() {
        Names out;
        for (LONG i = 1; i <= tasks->Count(); ++i) {
            BstrHolder app;
            EXPECT_EQ(At(i)->get_ApplicationName(app.out()), S_OK);
            out.push_back(FromBstr(app.get()));
        }
        return out;
    }
    ComRef<_Task> At(LONG i) {
        Arg p(i);
        return tasks->Item(&p.v);
    }

    ComRef<Tasks> tasks;
};

TEST_F(TasksTest, LoadsWholeEnumerationsInOrderAskingFiveAtATime) {
    for (size_t n : {0u, 5u, 50u, 51u}) {
        SCOPED_TRACE(n);
        ASSERT_EQ(Load(Numbered(n)), S_OK);
        EXPECT_EQ(Loaded(), Numbered(n, u""));
        EXPECT_EQ(service->journal.Of("Next"), Calls(n / 5 + (n % 5 ? 1 : 0) + 1, "5"));
    }
    service->batchLimit = 3;
    ASSERT_EQ(Load(Numbered(53)), S_OK);
    EXPECT_EQ(Loaded(), Numbered(53, u"")) << "partial batches";
    ASSERT_EQ(Load({u"Backup.job", u"Report.JOB", u"x.job.job", u"Plain", u"Mixed.JoB", u"job", u"a.jobs"}), S_OK);
    EXPECT_EQ(Loaded(), (Names{u"Backup", u"Report", u"x.job", u"Plain", u"Mixed", u"job", u"a.jobs"}));
    EXPECT_EQ(service->journal.Of("Activate")[1], "\"Report\"");
    // 32,750 names at most: one more overflows before anything is replaced.
    service->batchLimit = 0xFFFFFFFF;
    ASSERT_EQ(Load(Numbered(32750)), S_OK);
    EXPECT_EQ(NameOf(At(32750).get()), u"T32749");
    ASSERT_EQ(Load({u"Old1", u"Old2"}), S_OK);
    EXPECT_EQ(Load(Numbered(32751)), kE6);
    EXPECT_EQ(Loaded(), (Names{u"Old1", u"Old2"}));
    EXPECT_TRUE(service->journal.Of("Activate").empty());
}

TEST_F(TasksTest, FailuresWhileLoading) {
    struct Row {
        const char *what, *answerKey;
        HRESULT answer, raised;
        Names left;
    };
    constexpr HRESULT kVersion = SCHED_E_UNKNOWN_OBJECT_VERSION;
    // clang-format off
    const Row rows[] = {
        {"Enum keeps the previous entries", "Enum", E_ACCESSDENIED, E_ACCESSDENIED, {u"Old"}},
        {"Next ends the enumeration quietly", "Next#2", E_FAIL, S_OK, {u"A", u"B", u"C", u"D", u"E"}},
        {"Activate stops part-way", "Activate(\"C\")", kVersion, kVersion, {u"A", u"B"}},
    };
    // clang-format on
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        service = ComRef<FakeScheduler>::Adopt(new FakeScheduler());
        ASSERT_EQ(Load({u"Old"}), S_OK);
        service->journal.Answer(r.answerKey, r.answer);
        EXPECT_EQ(Load({u"A", u"B", u"C", u"D", u"E", u"F"}), r.raised);
        EXPECT_EQ(Loaded(), r.left);
        EXPECT_EQ(service->liveEnums, 0);
    }
}

// Remove deletes the task by its current name; Add writes a generated name
// back for a blank one; Clone copies the eleven settings in order.
TEST_F(TasksTest, RemoveAddAndClone) {
    service->stored = {u"A", u"B", u"C", u"Renamed"};
    ASSERT_EQ(Load({u"A", u"B", u"C"}), S_OK);
    ComRef<_Task> first = At(1);
    Arg one(1);
    ASSERT_EQ(tasks->Remove(&one.v), S_OK);
    EXPECT_EQ(Loaded(), (Names{u"B", u"C"})) << "later ones move down";
    EXPECT_EQ(static_cast<TaskObject *>(first.get())->References(), 1u) << "only the client holds it";
    BstrHolder renamed(u"Renamed");
    BSTR value = renamed.get();
    ASSERT_EQ(At(2)->put_TaskName(&value), S_OK);
    Arg key(u"c");
    ASSERT_EQ(tasks->Remove(&key.v), S_OK);
    EXPECT_EQ(service->journal.Of("Delete"), (Calls{"\"A\"", "\"Renamed\""}));
    EXPECT_EQ(service->stored, (std::set<std::u16string>{u"B", u"C"}));

    // Failures leave the entry.
    Arg b(u"B"), absent(u"Z"), beyond(2);
    service->journal.Answer("Delete", E_ACCESSDENIED);
    EXPECT_EQ(tasks->Remove(&b.v), E_ACCESSDENIED);
    EXPECT_EQ(tasks->Remove(&absent.v), kE5);
    EXPECT_EQ(tasks->Remove(&beyond.v), kE9);
    EXPECT_EQ(service->journal.Of("Delete").size(), 3u);
    EXPECT_EQ(Loaded(), Names{u"B"});

    ASSERT_EQ(Load({u"Backup.job"}), S_OK);
    const std::regex guid("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}");
    Names generated;
    for (const char16_t *given : {u"   ", static_cast<const char16_t *>(nullptr)}) {
        BSTR name = given ? SysAllocString(given) : nullptr;
        ComRef<_Task> task;
        ASSERT_EQ(tasks->Add(&name, task.Out()), S_OK);
        const std::u16string written = FromBstr(name);
        EXPECT_TRUE(std::regex_match(Narrow(written), guid)) << Narrow(written);
        EXPECT_EQ(NameOf(task.get()), written);
        EXPECT_EQ(service->journal.Of("NewWorkItem").back(), "\"" + Narrow(written) + "\"");
        generated.push_back(written);
        SysFreeString(name);
    }
    EXPECT_NE(generated[0], generated[1]);
    EXPECT_EQ(tasks->Count(), 3);

    BstrHolder given(u" Nightly ");
    BSTR name = given.get();
    ComRef<_Task> task;
    ASSERT_EQ(tasks->Add(&name, task.Out()), S_OK);
    EXPECT_TRUE(name == given.get() && NameOf(task.get()) == u" Nightly ") << "a name not blank is used unchanged";

    // A name the service holds: its status. A key of the collection: 457, the new item dropped.
    service->stored = {u"Held"};
    BstrHolder held(u"Held"), backup(u"BACKUP");
    name = held.get();
    _Task *none = reinterpret_cast<_Task *>(1);
    EXPECT_EQ(tasks->Add(&name, &none), HRESULT_FROM_WIN32(ERROR_FILE_EXISTS));
    EXPECT_EQ(none, nullptr);
    name = backup.get();
    EXPECT_EQ(tasks->Add(&name, &none), kE457);
    EXPECT_EQ(service->created.back()->Refs(), 1u);
    EXPECT_EQ(tasks->Count(), 4);

    ComRef<FakeWorkItem> source = FakeWorkItem::Create();
    source->account = u"DOMAIN\\runner", source->applicationName = u"C:\\tools\\backup.exe",
    source->comment = u"nightly";
    source->flags = 0x2004, source->idleMinutes = 3, source->deadlineMinutes = 17, source->maxRunTime = 3600000;
    source->parameters = u"/all", source->priority = 0x80, source->workingDirectory = u"C:\\work";
    source->data = {1, 2, 3, 250}, source->creator = u"someone else";
    service->items[u"Source"] = source;
    ASSERT_EQ(Load({u"Source.job"}), S_OK);
    BstrHolder existing(u"SOURCE");
    BSTR existingName = existing.get(), newName = nullptr;
    ComRef<_Task> clone;
    ASSERT_EQ(tasks->Clone(&existingName, &newName, clone.Out()), S_OK);
    EXPECT_EQ(SysStringLen(newName), 36u) << "the generated name is written back";
    EXPECT_EQ(NameOf(clone.get()), FromBstr(newName));
    SysFreeString(newName);
    Calls sets;
    for (const std::string &c : service->created.back()->journal.Log())
        if (c.compare(0, 3, "Set") == 0) sets.push_back(c);
    EXPECT_EQ(sets,
              (Calls{"SetAccountInformation(\"DOMAIN\\runner\",null)", "SetApplicationName(\"C:\\tools\\backup.exe\")",
                     "SetComment(\"nightly\")", "SetFlags(8196)", "SetIdleWait(0,17)", "SetIdleWait(3,17)",
                     "SetMaxRunTime(3600000)", "SetParameters(\"/all\")", "SetPriority(128)",
                     "SetWorkingDirectory(\"C:\\work\")", "SetWorkItemData(4:1 2 3 250)"}))
        << "Creator and the retry settings are not copied";
    EXPECT_EQ(tasks->Count(), 2);
    clone.reset();

    // An absent source creates nothing; a failing copy keeps the new task
    // with what was copied before it, and the error's record.
    BstrHolder missing(u"Missing"), wanted(u"Copy");
    existingName = missing.get();
    newName = wanted.get();
    EXPECT_EQ(tasks->Clone(&existingName, &newName, clone.Out()), kE5);
    EXPECT_EQ(service->journal.Of("NewWorkItem").size(), 1u);
    source->applicationName.clear();
    existingName = existing.get();
    EXPECT_EQ(tasks->Clone(&existingName, &newName, clone.Out()), kE5);
    EXPECT_EQ(fake::TakeErrorInfo(), fake::Raised(u"Application name must not be empty", u"velqosch.chm", 9999));
    ASSERT_EQ(tasks->Count(), 3);
    EXPECT_EQ(NameOf(At(3).get()), u"Copy");
}

}  // namespace
