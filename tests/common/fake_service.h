// One strict, scriptable Task Scheduler service for the tests of the five
// classes: every call goes to a journal as "Method(arguments)" and answers
// the status it is told; a member the component never calls fails the test.
// Every object counts its references exactly.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "collection/keyed_collection.h"
#include "common/error_info.h"
#include "component/objects.h"
#include "globals/globals.h"
#include "service/platform.h"
#include "tasks/task.h"

namespace fake {

using velqosch::ComRef;
using Calls = std::vector<std::string>;

class Journal {
public:
    // Records the call and answers the scripted status (S_OK unless told):
    // first "Method#n" (its n-th call), then "Method(args)", then "Method".
    HRESULT Enter(const std::string &method, const std::string &args = "");
    // The same, and on success `then` (writes the fake's state or the caller's result).
    template <class F>
    HRESULT Enter(const std::string &method, const std::string &args, F then) {
        const HRESULT hr = Enter(method, args);
        if (SUCCEEDED(hr)) then();
        return hr;
    }
    void Answer(const std::string &key, HRESULT hr) { answers_[key] = hr; }
    void ClearAnswers() { answers_.clear(); }
    const Calls &Log() const noexcept { return calls_; }
    Calls Of(const std::string &method) const;  // the argument texts of one method's calls
    void Clear() { calls_.clear(), counts_.clear(); }

private:
    Calls calls_;
    std::map<std::string, int> counts_;
    std::map<std::string, HRESULT> answers_;
};

// The component's standard errors 5, 6, 9, 13 and 457.
constexpr HRESULT kE5 = static_cast<HRESULT>(0x800A0005), kE6 = static_cast<HRESULT>(0x800A0006),
                  kE9 = static_cast<HRESULT>(0x800A0009), kE13 = static_cast<HRESULT>(0x800A000D),
                  kE457 = static_cast<HRESULT>(0x800A01C9);
// The number of the component error that `f` raises, 0 when none.
LONG ErrorOf(const std::function<void()> &f);
// The text of a BSTR, which it frees.
std::u16string Take(BSTR b);

// Argument texts: "abc" in quotes or null; a time as 2024-01-02 03:04:05.006.
std::string Text(LPCWSTR s);
std::string Text(const SYSTEMTIME &st);
LPWSTR CopyOut(const std::u16string &text);
inline SYSTEMTIME Time(WORD y, WORD mo, WORD d, WORD h = 0, WORD mi = 0) {
    SYSTEMTIME st{};
    st.wYear = y, st.wMonth = mo, st.wDay = d, st.wHour = h, st.wMinute = mi;
    return st;
}
inline DATE Day(WORD year, WORD month, WORD day) {
    SYSTEMTIME st = Time(year, month, day);
    DOUBLE date = 0;
    SystemTimeToVariantTime(&st, &date);
    return date;
}

using test_error::TakeErrorInfo, test_error::Raised;

// The reference count every fake keeps; it deletes itself at zero.
template <class... I>
class Counted : public I... {
public:
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }
    ULONG Refs() const noexcept { return refs_; }
    virtual ~Counted() = default;

private:
    ULONG refs_ = 1;
};

// A trigger record of the given type with its size filled in.
TASK_TRIGGER Record(LONG type = TASK_TIME_TRIGGER_DAILY);
// Answers IUnknown and `own` with `self`, anything else E_NOINTERFACE.
HRESULT Answer(IUnknown *self, REFIID riid, const IID &own, void **ppv);
// Writes a copy of `text` to *out when the journal's answer succeeds.
inline HRESULT Give(Journal &journal, const std::string &method, const std::u16string &text, LPWSTR *out) {
    *out = nullptr;
    return journal.Enter(method, "", [&] { *out = CopyOut(text); });
}

#define FAKE_UNCALLED(Name, ...)                                       \
    HRESULT STDMETHODCALLTYPE Name(__VA_ARGS__) override {             \
        ADD_FAILURE() << "the component called " #Name " of the fake"; \
        return E_NOTIMPL;                                              \
    }

// The members of a work item the component never calls.
// clang-format off
#define FAKE_WORK_ITEM_UNCALLED(X)                                                                                \
    X(GetTriggerString, WORD, LPWSTR *) X(Run) X(Terminate) X(SetErrorRetryCount, WORD)                       \
    X(GetErrorRetryCount, WORD *) X(SetErrorRetryInterval, WORD) X(GetErrorRetryInterval, WORD *)             \
    X(SetTaskFlags, DWORD) X(GetTaskFlags, DWORD *) X(GetClassID, CLSID *) X(IsDirty) X(Load, LPCOLESTR, DWORD) \
    X(GetCurFile, LPOLESTR *) X(GetNextRunTime, SYSTEMTIME *) X(GetStatus, HRESULT *)
// clang-format on

// Calls are journalled as "T<id>.Method"; GetTrigger insists on the record's size, as the service does.
class FakeTrigger final : public Counted<ITaskTrigger> {
public:
    FakeTrigger(Journal &journal, int id, const TASK_TRIGGER &record)
        : record(record), journal_(journal), prefix_("T" + std::to_string(id) + ".") {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override {
        return Answer(this, riid, IID_ITaskTrigger, ppv);
    }
    HRESULT STDMETHODCALLTYPE SetTrigger(const PTASK_TRIGGER p) override {
        return journal_.Enter(prefix_ + "SetTrigger", "", [&] { record = *p; });
    }
    HRESULT STDMETHODCALLTYPE GetTrigger(PTASK_TRIGGER p) override {
        const HRESULT hr = journal_.Enter(prefix_ + "GetTrigger", std::to_string(p->cbTriggerSize));
        if (FAILED(hr)) return hr;
        if (p->cbTriggerSize != sizeof(TASK_TRIGGER)) return E_INVALIDARG;
        *p = record;
        return hr;
    }
    HRESULT STDMETHODCALLTYPE GetTriggerString(LPWSTR *out) override {
        return Give(journal_, prefix_ + "GetTriggerString", u"daily", out);
    }

    TASK_TRIGGER record{};  // the service's copy

private:
    Journal &journal_;  // the item's, which outlives its triggers in every test
    std::string prefix_;
};

// A string property kept in `field`, journalled as Set<Name>("text") and Get<Name>().
#define FAKE_TEXT(Name, field)                                                                     \
    HRESULT STDMETHODCALLTYPE Set##Name(LPCWSTR s) override { return Set("Set" #Name, s, field); } \
    HRESULT STDMETHODCALLTYPE Get##Name(LPWSTR *out) override { return Give(journal, "Get" #Name, field, out); }
#define FAKE_NUMBER(Name, field)                                                                 \
    HRESULT STDMETHODCALLTYPE Set##Name(DWORD v) override { return Set("Set" #Name, v, field); } \
    HRESULT STDMETHODCALLTYPE Get##Name(DWORD *p) override { return Get("Get" #Name, field, p); }
// The members of a work item kept in a field of the fake.
// clang-format off
#define FAKE_WORK_ITEM_FIELDS(TEXT, NUMBER)                                                                      \
    TEXT(Comment, comment) TEXT(Creator, creator) TEXT(ApplicationName, applicationName) TEXT(Parameters, parameters) \
    TEXT(WorkingDirectory, workingDirectory) NUMBER(Flags, flags) NUMBER(Priority, priority)                      \
    NUMBER(MaxRunTime, maxRunTime)
// clang-format on

class FakeWorkItem final : public Counted<ITask, IPersistFile> {
public:
    FakeWorkItem() { ++live; }
    ~FakeWorkItem() override { --live; }
    static ComRef<FakeWorkItem> Create() { return ComRef<FakeWorkItem>::Adopt(new FakeWorkItem()); }
    static inline int live = 0;

    Journal journal;
    // Adds a trigger as if stored before.
    FakeTrigger *AddStoredTrigger(const TASK_TRIGGER &r) {
        triggers.push_back(ComRef<FakeTrigger>::Adopt(new FakeTrigger(journal, nextTriggerId++, r)));
        return triggers.back().get();
    }
    std::vector<ComRef<FakeTrigger>> triggers;
    int nextTriggerId = 0;
    TASK_TRIGGER newTriggerRecord = Record(TASK_TIME_TRIGGER_ONCE);  // what CreateTrigger gives

    std::u16string comment, creator, account, applicationName, parameters, workingDirectory;
    DWORD flags = 0, priority = NORMAL_PRIORITY_CLASS, maxRunTime = 0;
    WORD idleMinutes = 0, deadlineMinutes = 0;
    DWORD exitCode = 0;
    std::vector<BYTE> data;
    std::vector<SYSTEMTIME> runs;
    SYSTEMTIME lastRun{};
    HRESULT persistQuery = S_OK;  // the answer to a query for IPersistFile

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override;
    // IScheduledWorkItem
    HRESULT STDMETHODCALLTYPE CreateTrigger(WORD *piNewTrigger, ITaskTrigger **ppTrigger) override;
    HRESULT STDMETHODCALLTYPE DeleteTrigger(WORD i) override {
        return Stored("DeleteTrigger", i, [&] { triggers.erase(triggers.begin() + i); });
    }
    HRESULT STDMETHODCALLTYPE GetTriggerCount(WORD *p) override { return Get("GetTriggerCount", triggers.size(), p); }
    HRESULT STDMETHODCALLTYPE GetTrigger(WORD i, ITaskTrigger **out) override {
        *out = nullptr;
        return Stored("GetTrigger", i, [&] { *out = ComRef<ITaskTrigger>::Share(triggers[i].get()).Detach(); });
    }
    HRESULT STDMETHODCALLTYPE GetRunTimes(const LPSYSTEMTIME begin, const LPSYSTEMTIME end, WORD *count,
                                          LPSYSTEMTIME *times) override;
    HRESULT STDMETHODCALLTYPE SetIdleWait(WORD idle, WORD deadline) override {
        return journal.Enter("SetIdleWait", std::to_string(idle) + "," + std::to_string(deadline),
                             [&] { idleMinutes = idle, deadlineMinutes = deadline; });
    }
    HRESULT STDMETHODCALLTYPE GetIdleWait(WORD *idle, WORD *deadline) override {
        return journal.Enter("GetIdleWait", "", [&] { *idle = idleMinutes, *deadline = deadlineMinutes; });
    }
    HRESULT STDMETHODCALLTYPE EditWorkItem(HWND parent, DWORD reserved) override {
        return journal.Enter("EditWorkItem", std::string(parent ? "window" : "0") + "," + std::to_string(reserved));
    }
    // These two fill their result whatever they answer, as the service does.
    HRESULT STDMETHODCALLTYPE GetMostRecentRunTime(SYSTEMTIME *p) override {
        *p = lastRun;
        return journal.Enter("GetMostRecentRunTime");
    }
    HRESULT STDMETHODCALLTYPE GetExitCode(DWORD *p) override {
        *p = exitCode;
        return journal.Enter("GetExitCode");
    }
    HRESULT STDMETHODCALLTYPE SetWorkItemData(WORD cbData, BYTE rgbData[]) override;
    HRESULT STDMETHODCALLTYPE GetWorkItemData(WORD *size, BYTE **bytes) override;
    HRESULT STDMETHODCALLTYPE SetAccountInformation(LPCWSTR name, LPCWSTR password) override {
        return journal.Enter("SetAccountInformation", Text(name) + "," + Text(password),
                             [&] { account = name ? reinterpret_cast<const char16_t *>(name) : u""; });
    }
    HRESULT STDMETHODCALLTYPE GetAccountInformation(LPWSTR *out) override {
        return Give(journal, "GetAccountInformation", account, out);
    }
    // IPersistFile
    HRESULT STDMETHODCALLTYPE Save(LPCOLESTR name, BOOL remember) override {
        return journal.Enter("Save", Text(name) + "," + std::to_string(remember));
    }
    HRESULT STDMETHODCALLTYPE SaveCompleted(LPCOLESTR name) override {
        return journal.Enter("SaveCompleted", Text(name));
    }
    FAKE_WORK_ITEM_FIELDS(FAKE_TEXT, FAKE_NUMBER)
    FAKE_WORK_ITEM_UNCALLED(FAKE_UNCALLED)

private:
    HRESULT Set(const char *method, LPCWSTR s, std::u16string &field) {
        return journal.Enter(method, Text(s), [&] { field = s ? reinterpret_cast<const char16_t *>(s) : u""; });
    }
    template <class T, class U>
    HRESULT Set(const char *method, T value, U &field) {
        return journal.Enter(method, std::to_string(value), [&] { field = static_cast<U>(value); });
    }
    template <class T, class U>
    HRESULT Get(const char *method, const U &field, T *out) {
        return journal.Enter(method, "", [&] { *out = static_cast<T>(field); });
    }
    // A call on the i-th stored trigger: SCHED_E_TRIGGER_NOT_FOUND beyond the list.
    template <class F>
    HRESULT Stored(const char *method, WORD i, F then) {
        const HRESULT hr = journal.Enter(method, std::to_string(i));
        if (FAILED(hr) || i >= triggers.size()) return FAILED(hr) ? hr : SCHED_E_TRIGGER_NOT_FOUND;
        return then(), hr;
    }
};
#undef FAKE_TEXT
#undef FAKE_NUMBER

// The scheduler object. Enum hands out `names` in batches of at most
// `batchLimit`; Activate answers the item kept under the name in `items`, or
// a new one whose application name is the name; NewWorkItem refuses a name
// in `stored` with ERROR_FILE_EXISTS and keeps what it creates in `created`;
// Delete removes a name from `stored` (ERROR_FILE_NOT_FOUND when absent).
class FakeScheduler final : public Counted<ITaskScheduler> {
public:
    Journal journal;
    std::vector<std::u16string> names;
    ULONG batchLimit = 0xFFFFFFFF;
    std::u16string target = u"\\\\LOCALHOST";
    std::set<std::u16string> stored;
    std::map<std::u16string, ComRef<FakeWorkItem>> items;
    std::vector<ComRef<FakeWorkItem>> created;
    int liveEnums = 0;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override {
        return Answer(this, riid, IID_ITaskScheduler, ppv);
    }
    HRESULT STDMETHODCALLTYPE SetTargetComputer(LPCWSTR name) override {
        return journal.Enter("SetTargetComputer", Text(name));
    }
    HRESULT STDMETHODCALLTYPE GetTargetComputer(LPWSTR *out) override {
        return Give(journal, "GetTargetComputer", target, out);
    }
    HRESULT STDMETHODCALLTYPE Enum(IEnumWorkItems **ppEnumWorkItems) override;
    HRESULT STDMETHODCALLTYPE Activate(LPCWSTR pwszName, REFIID riid, IUnknown **ppUnk) override;
    HRESULT STDMETHODCALLTYPE Delete(LPCWSTR name) override {
        const HRESULT hr = journal.Enter("Delete", Text(name));
        if (FAILED(hr)) return hr;
        return stored.erase(reinterpret_cast<const char16_t *>(name)) ? hr : HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    }
    HRESULT STDMETHODCALLTYPE NewWorkItem(LPCWSTR pwszTaskName, REFCLSID rclsid, REFIID riid,
                                          IUnknown **ppUnk) override;
    FAKE_UNCALLED(AddWorkItem, LPCWSTR, IScheduledWorkItem *)
    FAKE_UNCALLED(IsOfType, LPCWSTR, REFIID)
};

// The component reads the Windows directory at start-up: a folder of this
// test run, named before any test starts and removed at the end.
inline const bool kWindowsDirectory = [] {
    static const std::string dir = "/tmp/velqosch-fake-" + std::to_string(::getpid());
    ::setenv("VELQOSCH_WINDIR", dir.c_str(), 1);
    return std::atexit([] {
               std::error_code ignored;
               std::filesystem::remove_all(dir, ignored);
           }) == 0;
}();

// Every object a test creates is gone at its end; the fake scheduler and
// work item are held by the fixture alone, and no enumerator or other work
// item is left.
class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        velqosch::EnsureThreadStarted();
        live_ = velqosch::LiveObjectCount();
    }
    void TearDown() override {
        EXPECT_EQ(velqosch::LiveObjectCount(), live_) << "objects of the test are still alive";
        EXPECT_EQ(service->liveEnums, 0) << "enumerators leaked";
        for (auto &[name, i] : service->items) EXPECT_EQ(i->Refs(), 1u);
        for (auto &i : service->created) EXPECT_EQ(i->Refs(), 1u);
        EXPECT_EQ(item->Refs(), 1u) << "references to the work item are left over";
        EXPECT_EQ(service->Refs(), 1u);
        item.reset(), service.reset();
        EXPECT_EQ(FakeWorkItem::live, 0) << "work items leaked";
    }
    ComRef<velqosch::TaskObject> BoundTask() {
        ComRef<velqosch::TaskObject> task = velqosch::TaskObject::Create();
        task->SetITask(item.get());
        return task;
    }

    ComRef<FakeWorkItem> item = FakeWorkItem::Create();
    Journal &journal = item->journal;
    ComRef<FakeScheduler> service = ComRef<FakeScheduler>::Adopt(new FakeScheduler());
    LONG live_ = 0;
};

}  // namespace fake
