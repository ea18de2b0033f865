#include "root/fakes.h"

#include <algorithm>

#include "globals/strings.h"
#include "trace/error.h"

namespace fakes {

using velqosch::FromBstr;
using velqosch::Guard;
using velqosch::ToBstr;

std::string Narrow(const std::u16string &s) {
    std::string out;
    for (char16_t c : s) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

std::u16string Widen(const std::string &s) { return std::u16string(s.begin(), s.end()); }

LPWSTR ServiceString(const std::u16string &text) {
    auto *p = static_cast<LPWSTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(WCHAR)));
    for (size_t i = 0; i < text.size(); ++i) p[i] = static_cast<WCHAR>(text[i]);
    p[text.size()] = 0;
    return p;
}

namespace {
std::u16string Text(LPCWSTR s) {
    std::u16string out;
    if (s)
        for (; *s; ++s) out.push_back(static_cast<char16_t>(*s));
    return out;
}

// The enumerator of FakeScheduler: hands out its names in batches.
class FakeEnum final : public Counted<IEnumWorkItems> {
public:
    FakeEnum(FakeScheduler &owner, std::shared_ptr<int> alive)
        : owner_(owner), names_(owner.names), alive_(std::move(alive)) {
        ++*alive_;
    }
    ~FakeEnum() override { --*alive_; }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override {
        *ppv = nullptr;
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IEnumWorkItems)) return E_NOINTERFACE;
        *ppv = static_cast<IEnumWorkItems *>(this);
        AddRef();
        return S_OK;
    }
    HRESULT WINAPI Next(ULONG celt, LPWSTR **rgpwszNames, ULONG *pceltFetched) override {
        ++calls_;
        owner_.calls.push_back(Call{"Next", {}, false, celt});
        *rgpwszNames = nullptr;
        *pceltFetched = 0;
        if (owner_.nextFailsAt != 0 && calls_ == owner_.nextFailsAt) return owner_.nextFailure;
        const ULONG left = static_cast<ULONG>(names_.size() - next_);
        const ULONG n = std::min({celt, left, owner_.batchLimit});
        if (n == 0) return S_FALSE;
        auto *array = static_cast<LPWSTR *>(CoTaskMemAlloc(n * sizeof(LPWSTR)));
        for (ULONG i = 0; i < n; ++i) array[i] = ServiceString(names_[next_++]);
        *rgpwszNames = array;
        *pceltFetched = n;
        return n == celt ? S_OK : S_FALSE;
    }
    HRESULT WINAPI Skip(ULONG) override { return E_NOTIMPL; }
    HRESULT WINAPI Reset() override { return E_NOTIMPL; }
    HRESULT WINAPI Clone(IEnumWorkItems **) override { return E_NOTIMPL; }

private:
    FakeScheduler &owner_;
    std::vector<std::u16string> names_;
    size_t next_ = 0;
    ULONG calls_ = 0;
    std::shared_ptr<int> alive_;
};
}  // namespace

// ---- FakeWorkItem -----------------------------------------------------------------------------------------------

FakeWorkItem::FakeWorkItem(std::u16string name, std::shared_ptr<int> alive)
    : name_(std::move(name)), alive_(std::move(alive)) {
    ++*alive_;
}
FakeWorkItem::~FakeWorkItem() { --*alive_; }

HRESULT FakeWorkItem::QueryInterface(REFIID riid, void **ppv) {
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_ITask) || IsEqualIID(riid, IID_IScheduledWorkItem)) {
        *ppv = static_cast<ITask *>(this);
        AddRef();
        return S_OK;
    }
    return E_NOINTERFACE;
}

HRESULT FakeWorkItem::GetTriggerCount(WORD *pwCount) {
    *pwCount = 0;
    return S_OK;
}

// ---- FakeScheduler ------------------------------------------------------------------------------------------------

FakeScheduler::FakeScheduler() = default;
FakeScheduler::~FakeScheduler() = default;

std::vector<Call> FakeScheduler::CallsOf(const std::string &method) const {
    std::vector<Call> out;
    for (const Call &c : calls)
        if (c.method == method) out.push_back(c);
    return out;
}

HRESULT FakeScheduler::Record(Call call) {
    calls.push_back(call);
    if (strict && !expected.count(call.method)) {
        unexpected.push_back(call.method);
        return E_UNEXPECTED;
    }
    if (auto it = failName.find({call.method, call.name}); it != failName.end()) return it->second;
    if (auto it = fail.find(call.method); it != fail.end()) return it->second;
    return S_OK;
}

HRESULT FakeScheduler::QueryInterface(REFIID riid, void **ppv) {
    *ppv = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_ITaskScheduler)) return E_NOINTERFACE;
    *ppv = static_cast<ITaskScheduler *>(this);
    AddRef();
    return S_OK;
}

HRESULT FakeScheduler::SetTargetComputer(LPCWSTR pwszComputer) {
    return Record(Call{"SetTargetComputer", Text(pwszComputer), pwszComputer == nullptr, 0});
}

HRESULT FakeScheduler::GetTargetComputer(LPWSTR *ppwszComputer) {
    *ppwszComputer = nullptr;
    const HRESULT hr = Record(Call{"GetTargetComputer", {}, false, 0});
    if (SUCCEEDED(hr)) *ppwszComputer = ServiceString(reportedTarget);
    return hr;
}

HRESULT FakeScheduler::Enum(IEnumWorkItems **ppEnumWorkItems) {
    *ppEnumWorkItems = nullptr;
    const HRESULT hr = Record(Call{"Enum", {}, false, 0});
    if (SUCCEEDED(hr)) *ppEnumWorkItems = new FakeEnum(*this, liveEnums);
    return hr;
}

HRESULT FakeScheduler::Activate(LPCWSTR pwszName, REFIID riid, IUnknown **ppUnk) {
    *ppUnk = nullptr;
    const HRESULT hr = Record(Call{"Activate", Text(pwszName), false, 0});
    if (FAILED(hr)) return hr;
    if (!IsEqualIID(riid, IID_ITask)) return E_NOINTERFACE;
    *ppUnk = static_cast<ITask *>(new FakeWorkItem(Text(pwszName), liveItems));
    return hr;
}

HRESULT FakeScheduler::Delete(LPCWSTR pwszName) {
    const std::u16string name = Text(pwszName);
    const HRESULT hr = Record(Call{"Delete", name, false, 0});
    if (FAILED(hr)) return hr;
    if (!stored.erase(name)) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    return hr;
}

HRESULT FakeScheduler::NewWorkItem(LPCWSTR pwszTaskName, REFCLSID rclsid, REFIID riid, IUnknown **ppUnk) {
    *ppUnk = nullptr;
    const std::u16string name = Text(pwszTaskName);
    const HRESULT hr = Record(Call{"NewWorkItem", name, false, 0});
    if (FAILED(hr)) return hr;
    if (!IsEqualCLSID(rclsid, CLSID_CTask) || !IsEqualIID(riid, IID_ITask)) return E_INVALIDARG;
    if (stored.count(name)) return HRESULT_FROM_WIN32(ERROR_FILE_EXISTS);
    *ppUnk = static_cast<ITask *>(new FakeWorkItem(name, liveItems));
    return hr;
}

HRESULT FakeScheduler::AddWorkItem(LPCWSTR pwszTaskName, IScheduledWorkItem *) {
    return Record(Call{"AddWorkItem", Text(pwszTaskName), false, 0});
}

HRESULT FakeScheduler::IsOfType(LPCWSTR pwszName, REFIID) { return Record(Call{"IsOfType", Text(pwszName), false, 0}); }

// ---- FakeTask -----------------------------------------------------------------------------------------------------

int FakeTask::live = 0;

FakeTask::FakeTask() { ++live; }
FakeTask::~FakeTask() { --live; }

void FakeTask::FillDistinct() {
    AccountName = u"DOMAIN\\runner";
    ApplicationName = u"C:\\tools\\backup.exe";
    Comment = u"nightly";
    flags = 0x2004;
    IdleWaitDeadlineMinutes = 17;
    IdleWaitMinutes = 3;
    MaxRunTime = 3600000;
    Parameters = u"/all /quiet";
    Priority = 0x80;
    WorkingDirectory = u"C:\\work";
    WorkItemData = {1, 2, 3, 250};
    Creator = u"someone else";
    ErrorRetryCount = 4;
    ErrorRetryInterval = 9;
}

template <class F>
HRESULT FakeTask::Member(const char *what, F &&body) {
    return Guard([&] {
        if (failing.count(what))
            velqosch::Raise(5, u"Velqo Task Scheduler", u"Application name must not be empty", u"velqosch.chm",
                            9999);
        body();
    });
}

HRESULT FakeTask::QueryInterface(REFIID riid, void **ppv) {
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ||
        IsEqualIID(riid, TaskScheduler::IID__Task)) {
        *ppv = static_cast<TaskScheduler::_Task *>(this);
        AddRef();
        return S_OK;
    }
    return E_NOINTERFACE;
}

HRESULT FakeTask::get_Triggers(TaskScheduler::_Triggers **ret) {
    *ret = nullptr;
    return E_NOTIMPL;
}

#define FAKE_STRING(Prop)                                                                          \
    HRESULT FakeTask::put_##Prop(BSTR value) {                                                     \
        return Member("put:" #Prop, [&] {                                                          \
            Prop = FromBstr(value);                                                                \
            puts.push_back(#Prop);                                                                 \
        });                                                                                        \
    }                                                                                              \
    HRESULT FakeTask::get_##Prop(BSTR *ret) {                                                      \
        return Member("get:" #Prop, [&] { *ret = ToBstr(Prop); });                                 \
    }
#define FAKE_VALUE(Prop, T)                                                                        \
    HRESULT FakeTask::put_##Prop(T value) {                                                        \
        return Member("put:" #Prop, [&] {                                                          \
            Prop = value;                                                                          \
            puts.push_back(#Prop);                                                                 \
        });                                                                                        \
    }                                                                                              \
    HRESULT FakeTask::get_##Prop(T *ret) {                                                         \
        return Member("get:" #Prop, [&] { *ret = Prop; });                                         \
    }

FAKE_STRING(AccountName)
FAKE_STRING(Comment)
FAKE_STRING(Creator)
FAKE_STRING(Parameters)
FAKE_STRING(ApplicationName)
FAKE_STRING(WorkingDirectory)
FAKE_VALUE(IdleWaitDeadlineMinutes, SHORT)
FAKE_VALUE(IdleWaitMinutes, SHORT)
FAKE_VALUE(ErrorRetryInterval, SHORT)
FAKE_VALUE(ErrorRetryCount, SHORT)
FAKE_VALUE(MaxRunTime, LONG)

HRESULT FakeTask::put_TaskName(BSTR *value) {
    return Member("put:TaskName", [&] { TaskName = FromBstr(*value); });
}
HRESULT FakeTask::get_TaskName(BSTR *ret) {
    return Member("get:TaskName", [&] { *ret = ToBstr(TaskName); });
}
HRESULT FakeTask::put_Password(BSTR) {
    return Member("put:Password", [&] { puts.push_back("Password"); });
}
HRESULT FakeTask::put_Priority(TaskScheduler::TASK_PRIORITY value) {
    return Member("put:Priority", [&] {
        Priority = value;
        puts.push_back("Priority");
    });
}
HRESULT FakeTask::get_Priority(TaskScheduler::TASK_PRIORITY *ret) {
    return Member("get:Priority", [&] { *ret = static_cast<TaskScheduler::TASK_PRIORITY>(Priority); });
}
HRESULT FakeTask::put_flags(LONG value) {
    return Member("put:flags", [&] {
        flags = value;
        puts.push_back("flags");
    });
}
HRESULT FakeTask::get_flags(TaskScheduler::TASK_FLAGS *ret) {
    return Member("get:flags", [&] { *ret = static_cast<TaskScheduler::TASK_FLAGS>(flags); });
}
HRESULT FakeTask::put_WorkItemData(SAFEARRAY **value) {
    return Member("put:WorkItemData", [&] {
        SAFEARRAY *array = *value;
        LONG lower = 0, upper = -1;
        SafeArrayGetLBound(array, 1, &lower);
        SafeArrayGetUBound(array, 1, &upper);
        void *data = nullptr;
        SafeArrayAccessData(array, &data);
        const auto *bytes = static_cast<const BYTE *>(data);
        WorkItemData.assign(bytes, bytes + (upper - lower + 1));
        SafeArrayUnaccessData(array);
        puts.push_back("WorkItemData");
    });
}
HRESULT FakeTask::get_WorkItemData(SAFEARRAY **ret) {
    return Member("get:WorkItemData", [&] {
        SAFEARRAY *array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(WorkItemData.size()));
        void *data = nullptr;
        SafeArrayAccessData(array, &data);
        std::copy(WorkItemData.begin(), WorkItemData.end(), static_cast<BYTE *>(data));
        SafeArrayUnaccessData(array);
        *ret = array;
    });
}

// ---- FakeTaskClass ------------------------------------------------------------------------------------------------

namespace {
ComRef<TaskScheduler::_Task> NewFakeTask() { return ComRef<TaskScheduler::_Task>::Adopt(new FakeTask()); }
void BindFakeTask(TaskScheduler::_Task *task, ITask *item) { AsFake(task)->item = ComRef<ITask>::Share(item); }
}  // namespace

FakeTaskClass::FakeTaskClass() : previous_(velqosch::SetTaskBuilder({NewFakeTask, BindFakeTask})) {}
FakeTaskClass::~FakeTaskClass() { velqosch::SetTaskBuilder(previous_); }

}  // namespace fakes
