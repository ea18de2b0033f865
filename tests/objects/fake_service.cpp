#include "fake_service.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

namespace fake {

namespace {

std::string Num(unsigned long long v) { return std::to_string(v); }

LPWSTR CopyOut(const std::u16string &text) {
    auto *p = static_cast<LPWSTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(WCHAR)));
    if (!p) return nullptr;
    std::memcpy(p, text.data(), text.size() * sizeof(WCHAR));
    p[text.size()] = 0;
    return p;
}

}  // namespace

HRESULT Journal::Enter(const std::string &method, const std::string &args) {
    calls_.push_back(method + "(" + args + ")");
    if (strict_ && !allowed_.count(method)) ADD_FAILURE() << "unexpected service call " << calls_.back();
    auto it = answers_.find(method);
    return it == answers_.end() ? S_OK : it->second;
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

TASK_TRIGGER Record(LONG type) {
    TASK_TRIGGER r{};
    r.cbTriggerSize = sizeof(TASK_TRIGGER);
    std::memcpy(reinterpret_cast<unsigned char *>(&r) + offsetof(TASK_TRIGGER, TriggerType), &type, sizeof type);
    return r;
}

// ---- FakeTrigger --------------------------------------------------------------------------------------------------

FakeTrigger::FakeTrigger(std::shared_ptr<Journal> journal, int id, const TASK_TRIGGER &r)
    : record(r), journal_(std::move(journal)), id_(id) {}

HRESULT FakeTrigger::QueryInterface(REFIID riid, void **ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_ITaskTrigger)) return E_NOINTERFACE;
    *ppv = static_cast<ITaskTrigger *>(this);
    AddRef();
    return S_OK;
}

ULONG FakeTrigger::Release() {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
}

HRESULT FakeTrigger::SetTrigger(const PTASK_TRIGGER pTrigger) {
    const HRESULT hr = journal_->Enter(Prefix() + "SetTrigger", "");
    if (FAILED(hr)) return hr;
    record = *pTrigger;
    ++setCount;
    return hr;
}

HRESULT FakeTrigger::GetTrigger(PTASK_TRIGGER pTrigger) {
    const HRESULT hr = journal_->Enter(Prefix() + "GetTrigger", Num(pTrigger->cbTriggerSize));
    if (FAILED(hr)) return hr;
    // The service insists on the record size.
    if (pTrigger->cbTriggerSize != sizeof(TASK_TRIGGER)) return E_INVALIDARG;
    *pTrigger = record;
    pTrigger->cbTriggerSize = sizeof(TASK_TRIGGER);
    return hr;
}

HRESULT FakeTrigger::GetTriggerString(LPWSTR *ppwszTrigger) {
    *ppwszTrigger = nullptr;
    const HRESULT hr = journal_->Enter(Prefix() + "GetTriggerString", "");
    if (FAILED(hr)) return hr;
    *ppwszTrigger = CopyOut(text);
    return *ppwszTrigger ? hr : E_OUTOFMEMORY;
}

// ---- FakeWorkItem -------------------------------------------------------------------------------------------------

FakeWorkItem::FakeWorkItem() { newTriggerRecord = Record(TASK_TIME_TRIGGER_ONCE); }

FakeTrigger *FakeWorkItem::AddStoredTrigger(const TASK_TRIGGER &r) {
    triggers.push_back(ComRef<FakeTrigger>::Adopt(new FakeTrigger(journalPtr, nextTriggerId++, r)));
    return triggers.back().get();
}

HRESULT FakeWorkItem::QueryInterface(REFIID riid, void **ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IScheduledWorkItem) && FAILED(workItemQuery)) return workItemQuery;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_ITask) || IsEqualIID(riid, IID_IScheduledWorkItem)) {
        *ppv = static_cast<ITask *>(this);
    } else if (IsEqualIID(riid, IID_IPersistFile) || IsEqualIID(riid, IID_IPersist)) {
        if (FAILED(persistQuery)) return persistQuery;
        *ppv = static_cast<IPersistFile *>(this);
    } else {
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

ULONG FakeWorkItem::Release() {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
}

HRESULT FakeWorkItem::GiveString(const std::string &method, const std::u16string &text, LPWSTR *out) {
    *out = nullptr;
    const HRESULT hr = journal.Enter(method, "");
    if (FAILED(hr)) return hr;
    *out = CopyOut(text);
    return *out ? hr : E_OUTOFMEMORY;
}

HRESULT FakeWorkItem::CreateTrigger(WORD *piNewTrigger, ITaskTrigger **ppTrigger) {
    *ppTrigger = nullptr;
    const HRESULT hr = journal.Enter("CreateTrigger", "");
    if (FAILED(hr)) return hr;
    FakeTrigger *t = AddStoredTrigger(newTriggerRecord);
    // The service's own number, deliberately not the position, to show
    // that the collection keeps its own.
    *piNewTrigger = static_cast<WORD>(1000 + t->Id());
    t->AddRef();
    *ppTrigger = t;
    return hr;
}

HRESULT FakeWorkItem::DeleteTrigger(WORD iTrigger) {
    const HRESULT hr = journal.Enter("DeleteTrigger", Num(iTrigger));
    if (FAILED(hr)) return hr;
    if (iTrigger >= triggers.size()) return SCHED_E_TRIGGER_NOT_FOUND;
    triggers.erase(triggers.begin() + iTrigger);
    return hr;
}

HRESULT FakeWorkItem::GetTriggerCount(WORD *pwCount) {
    const HRESULT hr = journal.Enter("GetTriggerCount", "");
    if (FAILED(hr)) return hr;
    *pwCount = static_cast<WORD>(triggers.size());
    return hr;
}

HRESULT FakeWorkItem::GetTrigger(WORD iTrigger, ITaskTrigger **ppTrigger) {
    *ppTrigger = nullptr;
    const HRESULT hr = journal.Enter("GetTrigger", Num(iTrigger));
    if (FAILED(hr)) return hr;
    if (iTrigger >= triggers.size()) return SCHED_E_TRIGGER_NOT_FOUND;
    triggers[iTrigger]->AddRef();
    *ppTrigger = triggers[iTrigger].get();
    return hr;
}

HRESULT FakeWorkItem::GetTriggerString(WORD iTrigger, LPWSTR *ppwszTrigger) {
    *ppwszTrigger = nullptr;
    const HRESULT hr = journal.Enter("GetTriggerString", Num(iTrigger));
    if (FAILED(hr)) return hr;
    if (iTrigger >= triggers.size()) return SCHED_E_TRIGGER_NOT_FOUND;
    *ppwszTrigger = CopyOut(triggers[iTrigger]->text);
    return hr;
}

HRESULT FakeWorkItem::GetRunTimes(const LPSYSTEMTIME pstBegin, const LPSYSTEMTIME pstEnd, WORD *pCount,
                                  LPSYSTEMTIME *rgstTaskTimes) {
    *rgstTaskTimes = nullptr;
    const WORD asked = *pCount;
    HRESULT hr =
        journal.Enter("GetRunTimes", Text(*pstBegin) + "," + (pstEnd ? Text(*pstEnd) : "null") + "," + Num(asked));
    if (hr != S_OK && hr != S_FALSE) {
        *pCount = 0;
        return hr;
    }
    const WORD count = deliveredRuns ? *deliveredRuns : static_cast<WORD>(std::min<size_t>(asked, runs.size()));
    *pCount = count;
    if (count == 0) return S_FALSE;
    auto *buffer = static_cast<LPSYSTEMTIME>(CoTaskMemAlloc(count * sizeof(SYSTEMTIME)));
    if (!buffer) return E_OUTOFMEMORY;
    for (WORD k = 0; k < count; ++k) buffer[k] = k < runs.size() ? runs[k] : SYSTEMTIME{};
    *rgstTaskTimes = buffer;
    return count < asked ? S_FALSE : hr;
}

HRESULT FakeWorkItem::GetNextRunTime(SYSTEMTIME *pstNextRun) {
    const HRESULT hr = journal.Enter("GetNextRunTime", "");
    if (FAILED(hr)) return hr;
    *pstNextRun = nextRun;
    return hr;
}

HRESULT FakeWorkItem::SetIdleWait(WORD wIdleMinutes, WORD wDeadlineMinutes) {
    const HRESULT hr = journal.Enter("SetIdleWait", Num(wIdleMinutes) + "," + Num(wDeadlineMinutes));
    if (FAILED(hr)) return hr;
    idleMinutes = wIdleMinutes;
    deadlineMinutes = wDeadlineMinutes;
    return hr;
}

HRESULT FakeWorkItem::GetIdleWait(WORD *pwIdleMinutes, WORD *pwDeadlineMinutes) {
    const HRESULT hr = journal.Enter("GetIdleWait", "");
    if (FAILED(hr)) return hr;
    *pwIdleMinutes = idleMinutes;
    *pwDeadlineMinutes = deadlineMinutes;
    return hr;
}

HRESULT FakeWorkItem::Run() { return journal.Enter("Run", ""); }
HRESULT FakeWorkItem::Terminate() { return journal.Enter("Terminate", ""); }

HRESULT FakeWorkItem::EditWorkItem(HWND hParent, DWORD dwReserved) {
    return journal.Enter("EditWorkItem", std::string(hParent ? "window" : "0") + "," + Num(dwReserved));
}

HRESULT FakeWorkItem::GetMostRecentRunTime(SYSTEMTIME *pstLastRun) {
    const HRESULT hr = journal.Enter("GetMostRecentRunTime", "");
    *pstLastRun = lastRun;
    return hr;
}

HRESULT FakeWorkItem::GetStatus(HRESULT *phrStatus) {
    const HRESULT hr = journal.Enter("GetStatus", "");
    if (FAILED(hr)) return hr;
    *phrStatus = status;
    return hr;
}

HRESULT FakeWorkItem::GetExitCode(DWORD *pdwExitCode) {
    const HRESULT hr = journal.Enter("GetExitCode", "");
    if (exitCode) *pdwExitCode = *exitCode;
    return hr;
}

HRESULT FakeWorkItem::SetComment(LPCWSTR s) {
    const HRESULT hr = journal.Enter("SetComment", Text(s));
    if (SUCCEEDED(hr)) comment = s ? reinterpret_cast<const char16_t *>(s) : u"";
    return hr;
}
HRESULT FakeWorkItem::GetComment(LPWSTR *out) { return GiveString("GetComment", comment, out); }

HRESULT FakeWorkItem::SetCreator(LPCWSTR s) {
    const HRESULT hr = journal.Enter("SetCreator", Text(s));
    if (SUCCEEDED(hr)) creator = s ? reinterpret_cast<const char16_t *>(s) : u"";
    return hr;
}
HRESULT FakeWorkItem::GetCreator(LPWSTR *out) { return GiveString("GetCreator", creator, out); }

HRESULT FakeWorkItem::SetWorkItemData(WORD cbData, BYTE rgbData[]) {
    std::string bytes;
    for (WORD i = 0; i < cbData && i < 8; ++i) bytes += (i ? " " : "") + Num(rgbData[i]);
    const HRESULT hr = journal.Enter("SetWorkItemData", Num(cbData) + ":" + bytes);
    if (FAILED(hr)) return hr;
    data.assign(rgbData, rgbData + cbData);
    return hr;
}

HRESULT FakeWorkItem::GetWorkItemData(WORD *pcbData, BYTE **prgbData) {
    *pcbData = 0;
    *prgbData = nullptr;
    const HRESULT hr = journal.Enter("GetWorkItemData", "");
    if (FAILED(hr)) return hr;
    const WORD count = reportedDataCount ? *reportedDataCount : static_cast<WORD>(data.size());
    if (count == 0) return hr;
    auto *buffer = static_cast<BYTE *>(CoTaskMemAlloc(count));
    if (!buffer) return E_OUTOFMEMORY;
    for (WORD i = 0; i < count; ++i) buffer[i] = i < data.size() ? data[i] : BYTE{0xAB};
    *pcbData = count;
    *prgbData = buffer;
    return hr;
}

HRESULT FakeWorkItem::SetErrorRetryCount(WORD w) { return journal.Enter("SetErrorRetryCount", Num(w)); }
HRESULT FakeWorkItem::GetErrorRetryCount(WORD *) { return journal.Enter("GetErrorRetryCount", ""); }
HRESULT FakeWorkItem::SetErrorRetryInterval(WORD w) { return journal.Enter("SetErrorRetryInterval", Num(w)); }
HRESULT FakeWorkItem::GetErrorRetryInterval(WORD *) { return journal.Enter("GetErrorRetryInterval", ""); }

HRESULT FakeWorkItem::SetFlags(DWORD dwFlags) {
    const HRESULT hr = journal.Enter("SetFlags", Num(dwFlags));
    if (SUCCEEDED(hr)) flags = dwFlags;
    return hr;
}
HRESULT FakeWorkItem::GetFlags(DWORD *p) {
    const HRESULT hr = journal.Enter("GetFlags", "");
    if (SUCCEEDED(hr)) *p = flags;
    return hr;
}

HRESULT FakeWorkItem::SetAccountInformation(LPCWSTR name, LPCWSTR pw) {
    const HRESULT hr = journal.Enter("SetAccountInformation", Text(name) + "," + Text(pw));
    if (FAILED(hr)) return hr;
    account = name ? reinterpret_cast<const char16_t *>(name) : u"";
    password = pw ? std::optional<std::u16string>(reinterpret_cast<const char16_t *>(pw)) : std::nullopt;
    return hr;
}
HRESULT FakeWorkItem::GetAccountInformation(LPWSTR *out) { return GiveString("GetAccountInformation", account, out); }

HRESULT FakeWorkItem::SetApplicationName(LPCWSTR s) {
    const HRESULT hr = journal.Enter("SetApplicationName", Text(s));
    if (SUCCEEDED(hr)) applicationName = s ? reinterpret_cast<const char16_t *>(s) : u"";
    return hr;
}
HRESULT FakeWorkItem::GetApplicationName(LPWSTR *out) { return GiveString("GetApplicationName", applicationName, out); }

HRESULT FakeWorkItem::SetParameters(LPCWSTR s) {
    const HRESULT hr = journal.Enter("SetParameters", Text(s));
    if (SUCCEEDED(hr)) parameters = s ? reinterpret_cast<const char16_t *>(s) : u"";
    return hr;
}
HRESULT FakeWorkItem::GetParameters(LPWSTR *out) { return GiveString("GetParameters", parameters, out); }

HRESULT FakeWorkItem::SetWorkingDirectory(LPCWSTR s) {
    const HRESULT hr = journal.Enter("SetWorkingDirectory", Text(s));
    if (SUCCEEDED(hr)) workingDirectory = s ? reinterpret_cast<const char16_t *>(s) : u"";
    return hr;
}
HRESULT FakeWorkItem::GetWorkingDirectory(LPWSTR *out) {
    return GiveString("GetWorkingDirectory", workingDirectory, out);
}

HRESULT FakeWorkItem::SetPriority(DWORD p) {
    const HRESULT hr = journal.Enter("SetPriority", Num(p));
    if (SUCCEEDED(hr)) priority = p;
    return hr;
}
HRESULT FakeWorkItem::GetPriority(DWORD *p) {
    const HRESULT hr = journal.Enter("GetPriority", "");
    if (SUCCEEDED(hr)) *p = priority;
    return hr;
}

HRESULT FakeWorkItem::SetTaskFlags(DWORD f) { return journal.Enter("SetTaskFlags", Num(f)); }
HRESULT FakeWorkItem::GetTaskFlags(DWORD *) { return journal.Enter("GetTaskFlags", ""); }

HRESULT FakeWorkItem::SetMaxRunTime(DWORD ms) {
    const HRESULT hr = journal.Enter("SetMaxRunTime", Num(ms));
    if (SUCCEEDED(hr)) maxRunTime = ms;
    return hr;
}
HRESULT FakeWorkItem::GetMaxRunTime(DWORD *p) {
    const HRESULT hr = journal.Enter("GetMaxRunTime", "");
    if (SUCCEEDED(hr)) *p = maxRunTime;
    return hr;
}

HRESULT FakeWorkItem::GetClassID(CLSID *p) {
    *p = CLSID_CTask;
    return journal.Enter("GetClassID", "");
}
HRESULT FakeWorkItem::IsDirty() { return journal.Enter("IsDirty", ""); }
HRESULT FakeWorkItem::Load(LPCOLESTR name, DWORD mode) { return journal.Enter("Load", Text(name) + "," + Num(mode)); }
HRESULT FakeWorkItem::Save(LPCOLESTR name, BOOL remember) {
    return journal.Enter("Save", Text(name) + "," + Num(static_cast<unsigned>(remember)));
}
HRESULT FakeWorkItem::SaveCompleted(LPCOLESTR name) { return journal.Enter("SaveCompleted", Text(name)); }
HRESULT FakeWorkItem::GetCurFile(LPOLESTR *out) {
    *out = nullptr;
    return journal.Enter("GetCurFile", "");
}

}  // namespace fake
