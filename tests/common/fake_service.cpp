#include "common/fake_service.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "globals/strings.h"

namespace fake {

HRESULT Journal::Enter(const std::string &method, const std::string &args) {
    calls_.push_back(method + "(" + args + ")");
    const int n = ++counts_[method];
    for (const std::string &key : {method + "#" + std::to_string(n), calls_.back(), method})
        if (auto it = answers_.find(key); it != answers_.end()) return it->second;
    return S_OK;
}

Calls Journal::Of(const std::string &method) const {
    Calls out;
    for (const std::string &c : calls_)
        if (c.compare(0, method.size() + 1, method + "(") == 0)
            out.push_back(c.substr(method.size() + 1, c.size() - method.size() - 2));
    return out;
}

LONG ErrorOf(const std::function<void()> &f) {
    try {
        f();
    } catch (const velqosch::ComponentError &e) {
        return e.record().number;
    }
    return 0;
}

std::u16string Take(BSTR b) {
    std::u16string text = velqosch::FromBstr(b);
    SysFreeString(b);
    return text;
}

std::string Text(LPCWSTR s) {
    if (!s) return "null";
    std::string out = "\"";
    for (; *s; ++s) out += *s < 128 ? static_cast<char>(*s) : '?';
    return out + "\"";
}

std::string Text(const SYSTEMTIME &st) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04u-%02u-%02u %02u:%02u:%02u.%03u", st.wYear, st.wMonth, st.wDay, st.wHour,
                  st.wMinute, st.wSecond, st.wMilliseconds);
    return buffer;
}

LPWSTR CopyOut(const std::u16string &text) {
    auto *p = static_cast<LPWSTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(WCHAR)));
    if (!p) return nullptr;
    std::memcpy(p, text.data(), text.size() * sizeof(WCHAR));
    p[text.size()] = 0;
    return p;
}

TASK_TRIGGER Record(LONG type) {
    TASK_TRIGGER r{};
    r.cbTriggerSize = sizeof(TASK_TRIGGER);
    std::memcpy(reinterpret_cast<unsigned char *>(&r) + offsetof(TASK_TRIGGER, TriggerType), &type, sizeof type);
    return r;
}

HRESULT Answer(IUnknown *self, REFIID riid, const IID &own, void **ppv) {
    *ppv = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, own)) return E_NOINTERFACE;
    *ppv = self;
    self->AddRef();
    return S_OK;
}

HRESULT FakeWorkItem::QueryInterface(REFIID riid, void **ppv) {
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IPersistFile) || IsEqualIID(riid, IID_IPersist)) {
        if (FAILED(persistQuery)) return persistQuery;
        *ppv = static_cast<IPersistFile *>(this);
    } else if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_ITask) ||
               IsEqualIID(riid, IID_IScheduledWorkItem)) {
        *ppv = static_cast<ITask *>(this);
    }
    return *ppv ? AddRef(), S_OK : E_NOINTERFACE;
}

HRESULT FakeWorkItem::CreateTrigger(WORD *piNewTrigger, ITaskTrigger **ppTrigger) {
    *ppTrigger = nullptr;
    return journal.Enter("CreateTrigger", "", [&] {
        (*ppTrigger = AddStoredTrigger(newTriggerRecord))->AddRef();
        *piNewTrigger = static_cast<WORD>(1000 + nextTriggerId);  // not the position: the collection keeps its own
    });
}

HRESULT FakeWorkItem::GetRunTimes(const LPSYSTEMTIME begin, const LPSYSTEMTIME end, WORD *count, LPSYSTEMTIME *times) {
    const WORD asked = *count;
    const HRESULT hr = journal.Enter("GetRunTimes", Text(*begin) + "," + Text(*end) + "," + std::to_string(asked));
    *count = hr == S_OK ? static_cast<WORD>(std::min<size_t>(asked, runs.size())) : 0;
    *times = *count ? static_cast<LPSYSTEMTIME>(CoTaskMemAlloc(*count * sizeof(SYSTEMTIME))) : nullptr;
    if (*times) std::copy(runs.begin(), runs.begin() + *count, *times);
    return hr == S_OK && *count < asked ? S_FALSE : hr;  // fewer than asked, as the service answers
}

HRESULT FakeWorkItem::SetWorkItemData(WORD cbData, BYTE rgbData[]) {
    std::string bytes;
    for (WORD i = 0; i < cbData && i < 8; ++i) bytes += (i ? " " : "") + std::to_string(rgbData[i]);
    return journal.Enter("SetWorkItemData", std::to_string(cbData) + ":" + bytes,
                         [&] { data.assign(rgbData, rgbData + cbData); });
}

HRESULT FakeWorkItem::GetWorkItemData(WORD *size, BYTE **bytes) {
    const HRESULT hr = journal.Enter("GetWorkItemData");
    *size = SUCCEEDED(hr) ? static_cast<WORD>(data.size()) : 0;
    *bytes = *size ? static_cast<BYTE *>(CoTaskMemAlloc(*size)) : nullptr;
    if (*bytes) std::copy(data.begin(), data.end(), *bytes);
    return hr;
}

// ---- FakeScheduler ------------------------------------------------------------------------------------------------

namespace {
class FakeEnum final : public Counted<IEnumWorkItems> {
public:
    explicit FakeEnum(FakeScheduler &owner) : owner_(owner) { ++owner_.liveEnums; }
    ~FakeEnum() override { --owner_.liveEnums; }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override {
        return Answer(this, riid, IID_IEnumWorkItems, ppv);
    }
    HRESULT STDMETHODCALLTYPE Next(ULONG celt, LPWSTR **rgpwszNames, ULONG *pceltFetched) override {
        *rgpwszNames = nullptr;
        *pceltFetched = 0;
        const HRESULT hr = owner_.journal.Enter("Next", std::to_string(celt));
        if (FAILED(hr)) return hr;
        const ULONG n = std::min({celt, static_cast<ULONG>(owner_.names.size() - next_), owner_.batchLimit});
        if (n == 0) return S_FALSE;
        auto *array = static_cast<LPWSTR *>(CoTaskMemAlloc(n * sizeof(LPWSTR)));
        for (ULONG i = 0; i < n; ++i) array[i] = CopyOut(owner_.names[next_++]);
        *rgpwszNames = array;
        *pceltFetched = n;
        return n == celt ? S_OK : S_FALSE;
    }
    FAKE_UNCALLED(Skip, ULONG)
    FAKE_UNCALLED(Reset)
    FAKE_UNCALLED(Clone, IEnumWorkItems **)

private:
    FakeScheduler &owner_;
    size_t next_ = 0;
};
}  // namespace

HRESULT FakeScheduler::Enum(IEnumWorkItems **ppEnumWorkItems) {
    *ppEnumWorkItems = nullptr;
    return journal.Enter("Enum", "", [&] { *ppEnumWorkItems = new FakeEnum(*this); });
}

HRESULT FakeScheduler::Activate(LPCWSTR pwszName, REFIID riid, IUnknown **ppUnk) {
    *ppUnk = nullptr;
    const HRESULT hr = journal.Enter("Activate", Text(pwszName));
    if (FAILED(hr)) return hr;
    if (!IsEqualIID(riid, IID_ITask)) return E_NOINTERFACE;
    const std::u16string name = reinterpret_cast<const char16_t *>(pwszName);
    ComRef<FakeWorkItem> item = items.count(name) ? items[name] : FakeWorkItem::Create();
    if (!items.count(name)) item->applicationName = name;
    *ppUnk = static_cast<ITask *>(item.Detach());
    return hr;
}

HRESULT FakeScheduler::NewWorkItem(LPCWSTR pwszTaskName, REFCLSID rclsid, REFIID riid, IUnknown **ppUnk) {
    *ppUnk = nullptr;
    const HRESULT hr = journal.Enter("NewWorkItem", Text(pwszTaskName));
    if (FAILED(hr)) return hr;
    if (!IsEqualCLSID(rclsid, CLSID_CTask) || !IsEqualIID(riid, IID_ITask)) return E_INVALIDARG;
    if (stored.count(reinterpret_cast<const char16_t *>(pwszTaskName))) return HRESULT_FROM_WIN32(ERROR_FILE_EXISTS);
    created.push_back(FakeWorkItem::Create());
    *ppUnk = static_cast<ITask *>(ComRef<FakeWorkItem>::Share(created.back().get()).Detach());
    return hr;
}

}  // namespace fake
