// A scriptable in-memory work item of the scheduling service, for the tests
// of Task, Triggers and Trigger: ITask (with IScheduledWorkItem) and
// IPersistFile on one object, ITaskTrigger on its triggers. Every call is
// written to a journal with its arguments; any method can be made to answer
// a chosen HRESULT; a strict journal fails the test on any call it was not
// told to expect.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "service/platform.h"
#include "collection/keyed_collection.h"

namespace fake {

using velqosch::ComRef;

// The journal shared by a work item and its triggers. Trigger methods are
// journalled with the prefix "T<id>." (T0.SetTrigger).
class Journal {
public:
    // Records the call and returns the scripted answer (S_OK unless told).
    HRESULT Enter(const std::string &method, const std::string &args);

    // Makes method answer hr from now on.
    void Answer(const std::string &method, HRESULT hr) { answers_[method] = hr; }
    void ClearAnswers() { answers_.clear(); }
    // From now on, any call of a method outside `methods` fails the test.
    void ExpectOnly(std::set<std::string> methods) {
        strict_ = true;
        allowed_ = std::move(methods);
    }
    void Relax() { strict_ = false; }

    const std::vector<std::string> &Calls() const noexcept { return calls_; }
    // The calls journalled since the last Clear.
    void Clear() { calls_.clear(); }

private:
    std::vector<std::string> calls_;
    std::map<std::string, HRESULT> answers_;
    std::set<std::string> allowed_;
    bool strict_ = false;
};

// Argument texts of the journal.
std::string Text(LPCWSTR s);             // "abc" in quotes, or null
std::string Text(const SYSTEMTIME &st);  // 2024-01-02 03:04:05.006

class FakeTrigger final : public ITaskTrigger {
public:
    FakeTrigger(std::shared_ptr<Journal> journal, int id, const TASK_TRIGGER &record);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE SetTrigger(const PTASK_TRIGGER pTrigger) override;
    HRESULT STDMETHODCALLTYPE GetTrigger(PTASK_TRIGGER pTrigger) override;
    HRESULT STDMETHODCALLTYPE GetTriggerString(LPWSTR *ppwszTrigger) override;

    ULONG Refs() const noexcept { return refs_; }
    int Id() const noexcept { return id_; }
    std::string Prefix() const { return "T" + std::to_string(id_) + "."; }

    TASK_TRIGGER record{};  // the service's copy
    std::u16string text = u"At 09:00 every day";
    int setCount = 0;

private:
    ~FakeTrigger() = default;
    std::shared_ptr<Journal> journal_;
    int id_;
    ULONG refs_ = 1;
};

class FakeWorkItem final : public ITask, public IPersistFile {
public:
    FakeWorkItem();
    static ComRef<FakeWorkItem> Create() { return ComRef<FakeWorkItem>::Adopt(new FakeWorkItem()); }

    // Shared with the triggers, which may outlive the item.
    std::shared_ptr<Journal> journalPtr = std::make_shared<Journal>();
    Journal &journal = *journalPtr;

    // Adds a trigger to the item as if it had been stored before.
    FakeTrigger *AddStoredTrigger(const TASK_TRIGGER &record);
    std::vector<ComRef<FakeTrigger>> triggers;
    int nextTriggerId = 0;
    // The record that CreateTrigger gives a new trigger.
    TASK_TRIGGER newTriggerRecord{};

    std::u16string comment, creator, account, applicationName, parameters, workingDirectory;
    std::optional<std::u16string> password;  // null when the last call passed none
    DWORD flags = 0, priority = NORMAL_PRIORITY_CLASS, maxRunTime = 0;
    WORD idleMinutes = 0, deadlineMinutes = 0;
    HRESULT status = SCHED_S_TASK_READY;
    std::optional<DWORD> exitCode;  // nothing written when empty
    std::vector<BYTE> data;
    std::optional<WORD> reportedDataCount;  // a count other than data.size()
    std::vector<SYSTEMTIME> runs;
    std::optional<WORD> deliveredRuns;  // a run count other than min(asked, runs)
    SYSTEMTIME nextRun{}, lastRun{};
    ULONG Refs() const noexcept { return refs_; }
    HRESULT persistQuery = S_OK;   // the answer to a query for IPersistFile
    HRESULT workItemQuery = S_OK;  // the answer to a query for IScheduledWorkItem

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override;
    // IScheduledWorkItem
    HRESULT STDMETHODCALLTYPE CreateTrigger(WORD *piNewTrigger, ITaskTrigger **ppTrigger) override;
    HRESULT STDMETHODCALLTYPE DeleteTrigger(WORD iTrigger) override;
    HRESULT STDMETHODCALLTYPE GetTriggerCount(WORD *pwCount) override;
    HRESULT STDMETHODCALLTYPE GetTrigger(WORD iTrigger, ITaskTrigger **ppTrigger) override;
    HRESULT STDMETHODCALLTYPE GetTriggerString(WORD iTrigger, LPWSTR *ppwszTrigger) override;
    HRESULT STDMETHODCALLTYPE GetRunTimes(const LPSYSTEMTIME pstBegin, const LPSYSTEMTIME pstEnd, WORD *pCount,
                                          LPSYSTEMTIME *rgstTaskTimes) override;
    HRESULT STDMETHODCALLTYPE GetNextRunTime(SYSTEMTIME *pstNextRun) override;
    HRESULT STDMETHODCALLTYPE SetIdleWait(WORD wIdleMinutes, WORD wDeadlineMinutes) override;
    HRESULT STDMETHODCALLTYPE GetIdleWait(WORD *pwIdleMinutes, WORD *pwDeadlineMinutes) override;
    HRESULT STDMETHODCALLTYPE Run() override;
    HRESULT STDMETHODCALLTYPE Terminate() override;
    HRESULT STDMETHODCALLTYPE EditWorkItem(HWND hParent, DWORD dwReserved) override;
    HRESULT STDMETHODCALLTYPE GetMostRecentRunTime(SYSTEMTIME *pstLastRun) override;
    HRESULT STDMETHODCALLTYPE GetStatus(HRESULT *phrStatus) override;
    HRESULT STDMETHODCALLTYPE GetExitCode(DWORD *pdwExitCode) override;
    HRESULT STDMETHODCALLTYPE SetComment(LPCWSTR pwszComment) override;
    HRESULT STDMETHODCALLTYPE GetComment(LPWSTR *ppwszComment) override;
    HRESULT STDMETHODCALLTYPE SetCreator(LPCWSTR pwszCreator) override;
    HRESULT STDMETHODCALLTYPE GetCreator(LPWSTR *ppwszCreator) override;
    HRESULT STDMETHODCALLTYPE SetWorkItemData(WORD cbData, BYTE rgbData[]) override;
    HRESULT STDMETHODCALLTYPE GetWorkItemData(WORD *pcbData, BYTE **prgbData) override;
    HRESULT STDMETHODCALLTYPE SetErrorRetryCount(WORD wRetryCount) override;
    HRESULT STDMETHODCALLTYPE GetErrorRetryCount(WORD *pwRetryCount) override;
    HRESULT STDMETHODCALLTYPE SetErrorRetryInterval(WORD wRetryInterval) override;
    HRESULT STDMETHODCALLTYPE GetErrorRetryInterval(WORD *pwRetryInterval) override;
    HRESULT STDMETHODCALLTYPE SetFlags(DWORD dwFlags) override;
    HRESULT STDMETHODCALLTYPE GetFlags(DWORD *pdwFlags) override;
    HRESULT STDMETHODCALLTYPE SetAccountInformation(LPCWSTR pwszAccountName, LPCWSTR pwszPassword) override;
    HRESULT STDMETHODCALLTYPE GetAccountInformation(LPWSTR *ppwszAccountName) override;
    // ITask
    HRESULT STDMETHODCALLTYPE SetApplicationName(LPCWSTR pwszApplicationName) override;
    HRESULT STDMETHODCALLTYPE GetApplicationName(LPWSTR *ppwszApplicationName) override;
    HRESULT STDMETHODCALLTYPE SetParameters(LPCWSTR pwszParameters) override;
    HRESULT STDMETHODCALLTYPE GetParameters(LPWSTR *ppwszParameters) override;
    HRESULT STDMETHODCALLTYPE SetWorkingDirectory(LPCWSTR pwszWorkingDirectory) override;
    HRESULT STDMETHODCALLTYPE GetWorkingDirectory(LPWSTR *ppwszWorkingDirectory) override;
    HRESULT STDMETHODCALLTYPE SetPriority(DWORD dwPriority) override;
    HRESULT STDMETHODCALLTYPE GetPriority(DWORD *pdwPriority) override;
    HRESULT STDMETHODCALLTYPE SetTaskFlags(DWORD dwFlags) override;
    HRESULT STDMETHODCALLTYPE GetTaskFlags(DWORD *pdwFlags) override;
    HRESULT STDMETHODCALLTYPE SetMaxRunTime(DWORD dwMaxRunTimeMS) override;
    HRESULT STDMETHODCALLTYPE GetMaxRunTime(DWORD *pdwMaxRunTimeMS) override;
    // IPersistFile
    HRESULT STDMETHODCALLTYPE GetClassID(CLSID *pClassID) override;
    HRESULT STDMETHODCALLTYPE IsDirty() override;
    HRESULT STDMETHODCALLTYPE Load(LPCOLESTR pszFileName, DWORD dwMode) override;
    HRESULT STDMETHODCALLTYPE Save(LPCOLESTR pszFileName, BOOL fRemember) override;
    HRESULT STDMETHODCALLTYPE SaveCompleted(LPCOLESTR pszFileName) override;
    HRESULT STDMETHODCALLTYPE GetCurFile(LPOLESTR *ppszFileName) override;

private:
    ~FakeWorkItem() = default;
    HRESULT GiveString(const std::string &method, const std::u16string &text, LPWSTR *out);
    ULONG refs_ = 1;
};

// A trigger record with the given type and the record size filled in.
TASK_TRIGGER Record(LONG type = TASK_TIME_TRIGGER_DAILY);

}  // namespace fake
