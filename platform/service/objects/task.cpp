// The task object (ITask, IScheduledWorkItem, IPersistFile) and its trigger
// objects (ITaskTrigger).
//
// A task keeps the whole work item in memory; nothing reaches its file before
// IPersistFile::Save. A trigger object names one record of its task's trigger
// list; it follows that record when earlier records are deleted. Once its own
// record is deleted (or the task loads another file) the object stays valid
// but answers SCHED_E_TRIGGER_NOT_FOUND.
//
// Account name and password go to the account store (objects_internal.h) when
// the task is saved; no method hands a password back.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <new>
#include <sstream>
#include <vector>

#include "objects_internal.h"
#include "platform/service/control/control.h"
#include "platform/service/schedule/schedule.h"

namespace velqo::service {
namespace {

// The longest text a .job string can hold: its count includes the NUL.
constexpr std::size_t kMaxText = 65534;
// SetFlags keeps the low 15 bits, as Windows does: every defined flag and the
// two unnamed bits among them (0x8, 0x4000).
constexpr DWORD kFlagMask = 0x7FFF;

// A caller's text: null counts as empty; false when it is too long to store.
bool TakeText(LPCWSTR text, std::u16string &out) {
    if (!text) {
        out.clear();
        return true;
    }
    const std::size_t n = BoundedLength(text, kMaxText);
    if (n > kMaxText) return false;
    out.assign(text, n);
    return true;
}

// A file-system path given through IPersistFile; '\' is taken as a separator.
bool TakePath(LPCOLESTR path, std::string &out) {
    if (!path) return false;
    const std::size_t n = BoundedLength(path, 4096);
    if (n == 0 || n > 4096) return false;
    out = ToUtf8(std::u16string_view(path, n));
    for (char &c : out)
        if (c == '\\') c = '/';
    return true;
}

// A program name without a '/' is looked up as Windows does with its search
// path: here the first absolute directory of PATH that holds an executable
// regular file of that name. A name found nowhere is kept as given.
std::u16string FindOnPath(const std::u16string &name) {
    if (name.empty() || name.find(u'/') != std::u16string::npos) return name;
    const char *path = std::getenv("PATH");
    if (!path) return name;
    const std::string file = ToUtf8(name);
    std::string_view rest(path);
    for (;;) {
        const std::size_t colon = rest.find(':');
        const std::string_view dir = rest.substr(0, colon);
        if (!dir.empty() && dir[0] == '/') {
            std::string candidate(dir);
            if (candidate.back() != '/') candidate += '/';
            candidate += file;
            struct stat st {};
            if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(candidate.c_str(), X_OK) == 0) {
                std::u16string found = ToUtf16(candidate);
                return found.size() <= kMaxText ? found : name;
            }
        }
        if (colon == std::string_view::npos) return name;
        rest.remove_prefix(colon + 1);
    }
}

// The file that `path` reaches in its folder: the same name in another
// letter case is the same item (see store.cpp).
std::string ResolvedPath(const std::string &path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return FindItemFile(".", path);
    const std::string folder = slash == 0 ? "/" : path.substr(0, slash);
    return path.substr(0, slash + 1) + FindItemFile(folder, path.substr(slash + 1));
}

bool NeverRun(const SYSTEMTIME &t) { return t.wYear == 0 && t.wMonth == 0 && t.wDay == 0; }

class Task;

class Trigger final : public ITaskTrigger {
public:
    Trigger(Task *task, std::uint64_t id);
    HRESULT WINAPI QueryInterface(REFIID riid, void **ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_ITaskTrigger) return E_NOINTERFACE;
        *ppv = static_cast<ITaskTrigger *>(this);
        AddRef();
        return S_OK;
    }
    ULONG WINAPI AddRef() override { return ++refs_; }
    ULONG WINAPI Release() override;
    HRESULT WINAPI SetTrigger(const PTASK_TRIGGER pTrigger) override;
    HRESULT WINAPI GetTrigger(PTASK_TRIGGER pTrigger) override;
    HRESULT WINAPI GetTriggerString(LPWSTR *ppwszTrigger) override;

private:
    ~Trigger();
    std::atomic<ULONG> refs_{1};
    Task *task_;
    std::uint64_t id_;
};

class Task final : public ITask, public IPersistFile {
public:
    Task(std::shared_ptr<const std::string> folder, std::string file, JobData &&job, bool stored)
        : folder_(std::move(folder)), stored_(stored), job_(std::move(job)) {
        SetFile(std::move(file));
        RenumberTriggers();
        accountRead_ = !stored_;
    }

    // --- IUnknown ---
    HRESULT WINAPI QueryInterface(REFIID riid, void **ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IScheduledWorkItem || riid == IID_ITask)
            *ppv = static_cast<ITask *>(this);
        else if (riid == IID_IPersistFile || riid == IID_IPersist)
            *ppv = static_cast<IPersistFile *>(this);
        else
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG WINAPI AddRef() override { return ++refs_; }
    ULONG WINAPI Release() override {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }

    // --- triggers ---
    HRESULT WINAPI CreateTrigger(WORD *piNewTrigger, ITaskTrigger **ppTrigger) override try {
        if (!piNewTrigger || !ppTrigger) return E_POINTER;
        if (job_.triggers.size() >= 0xFFFF) return E_INVALIDARG;
        SYSTEMTIME now{};
        GetLocalTime(&now);
        if (idsListed_) ids_.reserve(ids_.size() + 1);
        auto *trigger = new Trigger(this, nextId_);
        job_.triggers.push_back(DefaultTrigger(now));
        if (idsListed_) ids_.push_back(nextId_);
        ++nextId_;
        dirty_ = true;
        *piNewTrigger = static_cast<WORD>(job_.triggers.size() - 1);
        *ppTrigger = trigger;
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    HRESULT WINAPI DeleteTrigger(WORD iTrigger) override try {
        if (iTrigger >= job_.triggers.size()) return SCHED_E_TRIGGER_NOT_FOUND;
        if (!idsListed_ && iTrigger == 0)
            ++firstId_;  // the ids left are consecutive still
        else if (!idsListed_)
            ListIds();
        job_.triggers.erase(job_.triggers.begin() + iTrigger);
        if (idsListed_) ids_.erase(ids_.begin() + iTrigger);
        dirty_ = true;
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    HRESULT WINAPI GetTriggerCount(WORD *pwCount) override {
        if (!pwCount) return E_POINTER;
        *pwCount = static_cast<WORD>(job_.triggers.size());
        return S_OK;
    }
    HRESULT WINAPI GetTrigger(WORD iTrigger, ITaskTrigger **ppTrigger) override try {
        if (!ppTrigger) return E_POINTER;
        if (iTrigger >= job_.triggers.size()) return SCHED_E_TRIGGER_NOT_FOUND;
        *ppTrigger = new Trigger(this, IdAt(iTrigger));
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    HRESULT WINAPI GetTriggerString(WORD iTrigger, LPWSTR *ppwszTrigger) override try {
        if (!ppwszTrigger) return E_POINTER;
        if (iTrigger >= job_.triggers.size()) return SCHED_E_TRIGGER_NOT_FOUND;
        return CopyOut(TriggerText(job_.triggers[iTrigger]), ppwszTrigger);
    } catch (...) {
        return E_OUTOFMEMORY;
    }

    // --- run times and state ---
    HRESULT WINAPI GetRunTimes(const LPSYSTEMTIME pstBegin, const LPSYSTEMTIME pstEnd, WORD *pCount,
                               LPSYSTEMTIME *rgstTaskTimes) override try {
        if (!rgstTaskTimes) return E_POINTER;
        if (!pstBegin || !pCount) return E_INVALIDARG;
        const WORD wanted = *pCount;
        if (wanted == 0 || wanted > TASK_MAX_RUN_TIMES) return E_INVALIDARG;
        std::vector<SYSTEMTIME> times;
        const HRESULT hr = RunTimes(job_.triggers, job_.flags, *pstBegin, pstEnd, wanted, times);
        if (FAILED(hr)) return hr;
        SYSTEMTIME *out = nullptr;
        if (!times.empty()) {
            out = static_cast<SYSTEMTIME *>(CoTaskMemAlloc(times.size() * sizeof(SYSTEMTIME)));
            if (!out) return E_OUTOFMEMORY;
            std::memcpy(out, times.data(), times.size() * sizeof(SYSTEMTIME));
        }
        *rgstTaskTimes = out;
        *pCount = static_cast<WORD>(times.size());
        return hr;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    HRESULT WINAPI GetNextRunTime(SYSTEMTIME *pstNextRun) override {
        if (!pstNextRun) return E_POINTER;
        SYSTEMTIME now{};
        GetLocalTime(&now);
        return NextRunTime(job_.triggers, job_.flags, now, *pstNextRun);
    }
    HRESULT WINAPI SetIdleWait(WORD wIdleMinutes, WORD wDeadlineMinutes) override {
        job_.idleWait = wIdleMinutes;
        job_.idleDeadline = wDeadlineMinutes;
        dirty_ = true;
        return S_OK;
    }
    HRESULT WINAPI GetIdleWait(WORD *pwIdleMinutes, WORD *pwDeadlineMinutes) override {
        if (!pwIdleMinutes || !pwDeadlineMinutes) return E_POINTER;
        *pwIdleMinutes = job_.idleWait;
        *pwDeadlineMinutes = job_.idleDeadline;
        return S_OK;
    }
    // The daemon runs what is stored: an item never saved cannot run.
    HRESULT WINAPI Run() override try {
        if (!stored_) return SCHED_E_TASK_NOT_READY;
        return RequestRun(Path());
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    HRESULT WINAPI Terminate() override try {
        if (!stored_) return SCHED_E_TASK_NOT_RUNNING;
        return RequestTerminate(Path());
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    HRESULT WINAPI EditWorkItem(HWND hParent, DWORD dwReserved) override;
    HRESULT WINAPI GetMostRecentRunTime(SYSTEMTIME *pstLastRun) override {
        if (!pstLastRun) return E_POINTER;
        *pstLastRun = job_.mostRecentRun;
        return NeverRun(job_.mostRecentRun) ? SCHED_S_TASK_HAS_NOT_RUN : S_OK;
    }
    HRESULT WINAPI GetStatus(HRESULT *phrStatus) override {
        if (!phrStatus) return E_POINTER;
        SYSTEMTIME now{};
        GetLocalTime(&now);
        *phrStatus = ItemStatus(job_, now);
        return S_OK;
    }
    HRESULT WINAPI GetExitCode(DWORD *pdwExitCode) override {
        if (!pdwExitCode) return E_POINTER;
        *pdwExitCode = 0;
        if (NeverRun(job_.mostRecentRun)) return SCHED_S_TASK_HAS_NOT_RUN;
        *pdwExitCode = job_.exitCode;
        return S_OK;
    }

    // --- texts ---
    HRESULT WINAPI SetComment(LPCWSTR text) override { return SetText(job_.comment, text); }
    HRESULT WINAPI GetComment(LPWSTR *out) override { return GetText(job_.comment, out); }
    HRESULT WINAPI SetCreator(LPCWSTR text) override { return SetText(job_.creator, text); }
    HRESULT WINAPI GetCreator(LPWSTR *out) override { return GetText(job_.creator, out); }
    HRESULT WINAPI SetApplicationName(LPCWSTR text) override try {
        std::u16string name;
        if (!TakeText(text, name)) return E_INVALIDARG;
        job_.application = FindOnPath(name);
        dirty_ = true;
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    HRESULT WINAPI GetApplicationName(LPWSTR *out) override { return GetText(job_.application, out); }
    HRESULT WINAPI SetParameters(LPCWSTR text) override { return SetText(job_.parameters, text); }
    HRESULT WINAPI GetParameters(LPWSTR *out) override { return GetText(job_.parameters, out); }
    HRESULT WINAPI SetWorkingDirectory(LPCWSTR text) override { return SetText(job_.workingDirectory, text); }
    HRESULT WINAPI GetWorkingDirectory(LPWSTR *out) override { return GetText(job_.workingDirectory, out); }

    // --- data ---
    HRESULT WINAPI SetWorkItemData(WORD cbData, BYTE rgbData[]) override try {
        if (!cbData != !rgbData) return E_INVALIDARG;  // a size without data, or data without a size
        job_.userData.assign(rgbData, rgbData + cbData);
        dirty_ = true;
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    HRESULT WINAPI GetWorkItemData(WORD *pcbData, BYTE **prgbData) override {
        if (!pcbData || !prgbData) return E_POINTER;
        BYTE *out = nullptr;
        if (!job_.userData.empty()) {
            out = static_cast<BYTE *>(CoTaskMemAlloc(job_.userData.size()));
            if (!out) return E_OUTOFMEMORY;
            std::memcpy(out, job_.userData.data(), job_.userData.size());
        }
        *prgbData = out;
        *pcbData = static_cast<WORD>(job_.userData.size());
        return S_OK;
    }

    // The service does not retry failed runs.
    HRESULT WINAPI SetErrorRetryCount(WORD) override { return E_NOTIMPL; }
    HRESULT WINAPI GetErrorRetryCount(WORD *) override { return E_NOTIMPL; }
    HRESULT WINAPI SetErrorRetryInterval(WORD) override { return E_NOTIMPL; }
    HRESULT WINAPI GetErrorRetryInterval(WORD *) override { return E_NOTIMPL; }

    // --- flags and settings ---
    HRESULT WINAPI SetFlags(DWORD dwFlags) override {
        job_.flags = dwFlags & kFlagMask;
        dirty_ = true;
        return S_OK;
    }
    HRESULT WINAPI GetFlags(DWORD *pdwFlags) override {
        if (!pdwFlags) return E_POINTER;
        *pdwFlags = job_.flags;
        return S_OK;
    }
    HRESULT WINAPI SetTaskFlags(DWORD dwFlags) override {
        job_.taskFlags = dwFlags;
        dirty_ = true;
        return S_OK;
    }
    HRESULT WINAPI GetTaskFlags(DWORD *pdwFlags) override {
        if (!pdwFlags) return E_POINTER;
        *pdwFlags = job_.taskFlags;
        return S_OK;
    }
    HRESULT WINAPI SetPriority(DWORD dwPriority) override {
        if (dwPriority != NORMAL_PRIORITY_CLASS && dwPriority != IDLE_PRIORITY_CLASS &&
            dwPriority != HIGH_PRIORITY_CLASS && dwPriority != REALTIME_PRIORITY_CLASS)
            return E_INVALIDARG;
        job_.priority = dwPriority;
        dirty_ = true;
        return S_OK;
    }
    HRESULT WINAPI GetPriority(DWORD *pdwPriority) override {
        if (!pdwPriority) return E_POINTER;
        *pdwPriority = job_.priority;
        return S_OK;
    }
    // Milliseconds, INFINITE for no limit; any value is taken, 0 included.
    HRESULT WINAPI SetMaxRunTime(DWORD dwMaxRunTimeMS) override {
        job_.maxRunTime = dwMaxRunTimeMS;
        dirty_ = true;
        return S_OK;
    }
    HRESULT WINAPI GetMaxRunTime(DWORD *pdwMaxRunTimeMS) override {
        if (!pdwMaxRunTimeMS) return E_POINTER;
        *pdwMaxRunTimeMS = job_.maxRunTime;
        return S_OK;
    }

    // --- account ---
    HRESULT WINAPI SetAccountInformation(LPCWSTR pwszAccountName, LPCWSTR pwszPassword) override try {
        if (!pwszAccountName) return E_INVALIDARG;
        std::u16string account, password;
        if (!TakeText(pwszAccountName, account) || !TakeText(pwszPassword, password)) return E_INVALIDARG;
        Wipe(password_);
        account_ = std::move(account);
        password_ = std::move(password);
        accountSet_ = accountChanged_ = dirty_ = accountRead_ = true;
        Wipe(password);
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    // An item without an account answers the empty name.
    HRESULT WINAPI GetAccountInformation(LPWSTR *ppwszAccountName) override try {
        ReadStoredAccount();
        return CopyOut(accountSet_ ? account_ : std::u16string(), ppwszAccountName);
    } catch (...) {
        return E_OUTOFMEMORY;
    }

    // --- IPersistFile ---
    HRESULT WINAPI GetClassID(CLSID *pClassID) override {
        if (!pClassID) return E_POINTER;
        *pClassID = CLSID_CTask;
        return S_OK;
    }
    HRESULT WINAPI IsDirty() override { return dirty_ ? S_OK : S_FALSE; }
    HRESULT WINAPI Load(LPCOLESTR pszFileName, DWORD) override try {
        std::string path;
        if (!TakePath(pszFileName, path)) return E_INVALIDARG;
        path = ResolvedPath(path);
        JobData job;
        const HRESULT hr = ReadJobFile(path, job);
        if (FAILED(hr)) return hr;
        job_ = std::move(job);
        SetFile(std::move(path));
        stored_ = true;
        dirty_ = accountChanged_ = false;
        Wipe(password_);
        account_.clear();
        accountSet_ = accountRead_ = false;
        RenumberTriggers();
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    // Null saves to the item's own file, keeping the run state the daemon
    // recorded there since the item was loaded. A path names a new file:
    // one that exists already (the item's own included) is refused with
    // ERROR_FILE_EXISTS. With fRemember the new file becomes the item's file.
    HRESULT WINAPI Save(LPCOLESTR pszFileName, BOOL fRemember) override try {
        std::string target = Path();
        if (pszFileName) {
            if (!TakePath(pszFileName, target)) return E_INVALIDARG;
        } else {
            RefreshRunState();
        }
        // Another writer may be saving the same name in another letter case:
        // which file holds the name, and writing it, is one step.
        const FolderLock lock(target);
        target = ResolvedPath(target);
        if (pszFileName) {
            struct stat st {};
            if (::lstat(target.c_str(), &st) == 0) return HRESULT_FROM_WIN32(ERROR_FILE_EXISTS);
        }
        if (accountChanged_) {
            const HRESULT hr = WriteCredentials(*folder_, job_.uuid, account_, password_);
            if (FAILED(hr)) return hr;
        }
        const HRESULT hr = WriteJobFile(target, job_);
        if (FAILED(hr)) return hr;
        accountChanged_ = false;
        if (!pszFileName || fRemember) {
            SetFile(std::move(target));
            stored_ = true;
            dirty_ = false;
        }
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    HRESULT WINAPI SaveCompleted(LPCOLESTR) override { return S_OK; }
    HRESULT WINAPI GetCurFile(LPOLESTR *ppszFileName) override try {
        return CopyOut(ToUtf16(Path()), reinterpret_cast<LPWSTR *>(ppszFileName));
    } catch (...) {
        return E_OUTOFMEMORY;
    }

    // --- for the trigger objects ---
    TASK_TRIGGER *Record(std::uint64_t id) {
        if (!idsListed_)
            return id >= firstId_ && id - firstId_ < job_.triggers.size() ? &job_.triggers[id - firstId_] : nullptr;
        for (std::size_t i = 0; i < ids_.size(); ++i)
            if (ids_[i] == id) return &job_.triggers[i];
        return nullptr;
    }
    void MarkDirty() { dirty_ = true; }

private:
    ~Task() { Wipe(password_); }

    static void Wipe(std::u16string &text) {
        volatile char16_t *p = text.data();
        for (std::size_t i = 0; i < text.size(); ++i) p[i] = 0;
        text.clear();
    }

    HRESULT SetText(std::u16string &field, LPCWSTR text) noexcept try {
        if (!TakeText(text, field)) return E_INVALIDARG;
        dirty_ = true;
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    static HRESULT GetText(const std::u16string &field, LPWSTR *out) noexcept { return CopyOut(field, out); }

    // A stored item's account is read from the account store when it is
    // first asked for, so that opening an item reads its file alone.
    void ReadStoredAccount() noexcept {
        if (accountRead_) return;
        accountRead_ = true;
        accountSet_ = ReadAccount(*folder_, job_.uuid, account_);
    }

    // Trigger records are named by ids, for the trigger objects. While the
    // ids are consecutive (the records as loaded, with records added at the
    // end and the first one deleted) they are firstId_ onwards, up to
    // nextId_, and no list is kept; the list is made when that stops being so.
    void RenumberTriggers() noexcept {
        ids_.clear();
        idsListed_ = false;
        firstId_ = nextId_;
        nextId_ += job_.triggers.size();
    }
    std::uint64_t IdAt(std::size_t index) const noexcept { return idsListed_ ? ids_[index] : firstId_ + index; }
    void ListIds() {
        std::vector<std::uint64_t> ids(job_.triggers.size());
        for (std::size_t i = 0; i < ids.size(); ++i) ids[i] = firstId_ + i;
        ids_ = std::move(ids);
        idsListed_ = true;
    }

    // The item's file: one in the store's folder is kept as its name alone
    // (the folder is shared by every item of the store), any other as its
    // whole path.
    void SetFile(std::string path) noexcept {
        const std::string &folder = *folder_;
        inFolder_ = path.size() > folder.size() + 1 && path.compare(0, folder.size(), folder) == 0 &&
                    path[folder.size()] == '/' && path.find('/', folder.size() + 1) == std::string::npos;
        if (inFolder_) {
            path.erase(0, folder.size() + 1);
            path.shrink_to_fit();  // a request: the name keeps the path's memory when it cannot move
        }
        file_ = std::move(path);
    }
    std::string Path() const { return inFolder_ ? *folder_ + "/" + file_ : file_; }

    // The daemon records runs in the stored file; take its run state. Only a
    // save does: like Windows' work items, an object reports the run state
    // its file held when it was loaded (or last saved), Run included.
    void RefreshRunState() noexcept {
        if (!stored_) return;
        JobData stored;
        try {
            if (FAILED(ReadJobFile(Path(), stored))) return;
        } catch (...) {
            return;
        }
        job_.status = stored.status;
        job_.exitCode = stored.exitCode;
        job_.mostRecentRun = stored.mostRecentRun;
        job_.startError = stored.startError;
        job_.runningInstances = stored.runningInstances;
    }

    std::atomic<ULONG> refs_{1};
    std::shared_ptr<const std::string> folder_;  // the store's Tasks folder (account records)
    std::string file_;                           // the item's file: its name alone when inFolder_
    bool inFolder_ = false;
    bool stored_;
    bool dirty_ = false;
    JobData job_;
    std::vector<std::uint64_t> ids_;  // one per trigger record when idsListed_
    bool idsListed_ = false;
    std::uint64_t firstId_ = 1;
    std::uint64_t nextId_ = 1;
    std::u16string account_, password_;
    bool accountSet_ = false, accountChanged_ = false;
    bool accountRead_ = false;  // account_ and accountSet_ hold the stored account, or one set since

    friend HRESULT EditTask(Task &task);
};

Trigger::Trigger(Task *task, std::uint64_t id) : task_(task), id_(id) { task_->AddRef(); }
Trigger::~Trigger() { task_->Release(); }
ULONG WINAPI Trigger::Release() {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
}
// The reserved words and the random-minutes word are not kept: they read 0.
HRESULT WINAPI Trigger::SetTrigger(const PTASK_TRIGGER pTrigger) {
    if (!pTrigger) return E_INVALIDARG;
    TASK_TRIGGER *record = task_->Record(id_);
    if (!record) return SCHED_E_TRIGGER_NOT_FOUND;
    const HRESULT hr = ValidateTrigger(*pTrigger);
    if (FAILED(hr)) return hr;
    *record = *pTrigger;
    record->Reserved1 = record->Reserved2 = record->wRandomMinutesInterval = 0;
    task_->MarkDirty();
    return S_OK;
}
// Writes every common field and, of the type-specific area, only the words
// the trigger's type defines; the caller's other words stay as they were.
// The caller's cbTriggerSize is not checked.
HRESULT WINAPI Trigger::GetTrigger(PTASK_TRIGGER pTrigger) {
    if (!pTrigger) return E_INVALIDARG;
    const TASK_TRIGGER *record = task_->Record(id_);
    if (!record) return SCHED_E_TRIGGER_NOT_FOUND;
    TASK_TRIGGER &out = *pTrigger;
    out.cbTriggerSize = sizeof(TASK_TRIGGER);
    out.Reserved1 = 0;
    out.wBeginYear = record->wBeginYear;
    out.wBeginMonth = record->wBeginMonth;
    out.wBeginDay = record->wBeginDay;
    out.wEndYear = record->wEndYear;
    out.wEndMonth = record->wEndMonth;
    out.wEndDay = record->wEndDay;
    out.wStartHour = record->wStartHour;
    out.wStartMinute = record->wStartMinute;
    out.MinutesDuration = record->MinutesDuration;
    out.MinutesInterval = record->MinutesInterval;
    out.rgFlags = record->rgFlags;
    // the type word as stored: a record read from a file may hold any value
    std::memcpy(&out.TriggerType, &record->TriggerType, sizeof out.TriggerType);
    unsigned type = 0;
    std::memcpy(&type, &record->TriggerType, sizeof type);
    const auto &from = record->Type;
    auto &to = out.Type;
    switch (type) {
        case TASK_TIME_TRIGGER_DAILY: to.Daily.DaysInterval = from.Daily.DaysInterval; break;
        case TASK_TIME_TRIGGER_WEEKLY:
            to.Weekly.WeeksInterval = from.Weekly.WeeksInterval;
            to.Weekly.rgfDaysOfTheWeek = from.Weekly.rgfDaysOfTheWeek;
            break;
        case TASK_TIME_TRIGGER_MONTHLYDATE:
            to.MonthlyDate.rgfDays = from.MonthlyDate.rgfDays;
            to.MonthlyDate.rgfMonths = from.MonthlyDate.rgfMonths;
            break;
        case TASK_TIME_TRIGGER_MONTHLYDOW:
            to.MonthlyDOW.wWhichWeek = from.MonthlyDOW.wWhichWeek;
            to.MonthlyDOW.rgfDaysOfTheWeek = from.MonthlyDOW.rgfDaysOfTheWeek;
            to.MonthlyDOW.rgfMonths = from.MonthlyDOW.rgfMonths;
            break;
        default: break;  // once and the event triggers have no words of their own
    }
    out.Reserved2 = 0;
    out.wRandomMinutesInterval = 0;
    return S_OK;
}
HRESULT WINAPI Trigger::GetTriggerString(LPWSTR *ppwszTrigger) try {
    if (!ppwszTrigger) return E_POINTER;
    const TASK_TRIGGER *record = task_->Record(id_);
    if (!record) return SCHED_E_TRIGGER_NOT_FOUND;
    return CopyOut(TriggerText(*record), ppwszTrigger);
} catch (...) {
    return E_OUTOFMEMORY;
}

// --- EditWorkItem ---------------------------------------------------------------------

std::string EditorCommand() {
    for (const char *name : {"VISUAL", "EDITOR"})
        if (const char *value = std::getenv(name); value && *value) return value;
    return "vi";
}

bool ReadWholeFile(const std::string &path, std::string &text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    text = buffer.str();
    return true;
}

std::string ShellQuote(const std::string &text) {
    std::string out = "'";
    for (char c : text) out += (c == '\'') ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

HRESULT EditTask(Task &task) {
    std::string temp = "/tmp/velqo-edit-XXXXXX";
    if (const char *dir = std::getenv("TMPDIR"); dir && *dir == '/') temp = std::string(dir) + "/velqo-edit-XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) return E_ACCESSDENIED;
    ::close(fd);
    struct Cleanup {
        std::string path;
        ~Cleanup() { ::unlink(path.c_str()); }
    } cleanup{temp};

    task.ReadStoredAccount();
    std::string text = WriteEditForm(task.job_, task.accountSet_ ? &task.account_ : nullptr);
    for (;;) {
        {
            std::ofstream out(temp, std::ios::binary | std::ios::trunc);
            out << text;
            if (!out) return E_ACCESSDENIED;
        }
        const std::string command = EditorCommand() + " " + ShellQuote(temp);
        const int status = std::system(command.c_str());
        if (status != 0) return E_ABORT;
        std::string edited;
        if (!ReadWholeFile(temp, edited)) return E_ACCESSDENIED;
        EditForm form;
        form.job = task.job_;
        form.account = task.account_;
        std::string error;
        if (!ParseEditForm(edited, form, error)) {
            // show the form again, the reason on top
            std::string body;
            std::istringstream lines(edited);
            std::string line;
            while (std::getline(lines, line))
                if (line.rfind("# error:", 0) != 0) body += line + "\n";
            text = "# error: " + error + "\n" + body;
            continue;
        }
        const bool sameCount = form.job.triggers.size() == task.job_.triggers.size();
        task.job_ = std::move(form.job);
        if (!sameCount) task.RenumberTriggers();
        if (form.accountSet) {
            task.account_ = form.account;
            if (form.passwordSet) {
                Task::Wipe(task.password_);
                task.password_ = form.password;
            }
            task.accountSet_ = task.accountChanged_ = true;
        }
        Task::Wipe(form.password);
        task.dirty_ = true;
        return form.save ? task.Save(nullptr, TRUE) : S_OK;
    }
}

// Needs a terminal on both stdin and stdout; the form is edited in
// $VISUAL, else $EDITOR, else vi. HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED)
// without a terminal, E_ABORT when the editor fails.
HRESULT WINAPI Task::EditWorkItem(HWND, DWORD) try {
    if (!::isatty(0) || !::isatty(1)) return HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED);
    return EditTask(*this);
} catch (...) {
    return E_OUTOFMEMORY;
}

}  // namespace

HRESULT CreateTaskObject(std::shared_ptr<const std::string> tasksFolder, std::string file, JobData &&job, bool stored,
                         REFIID riid, void **ppv) noexcept {
    if (!ppv) return E_POINTER;
    try {
        auto *task = new Task(std::move(tasksFolder), std::move(file), std::move(job), stored);
        void *object = nullptr;
        const HRESULT hr = static_cast<ITask *>(task)->QueryInterface(riid, &object);
        static_cast<ITask *>(task)->Release();
        if (SUCCEEDED(hr)) *ppv = object;
        return hr;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

}  // namespace velqo::service
