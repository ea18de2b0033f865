// Test doubles for the root tests: a scriptable Task Scheduler service
// (ITaskScheduler with its IEnumWorkItems and work items) that records every
// call and answers any status, and a Task object standing in for the Task
// class behind the collection.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "component/surface.h"
#include "service/platform.h"
#include "collection/keyed_collection.h"
#include "tasks/tasks.h"

namespace fakes {

using velqosch::ComRef;

std::string Narrow(const std::u16string &s);
std::u16string Widen(const std::string &s);

// A service string as the service hands it out.
LPWSTR ServiceString(const std::u16string &text);

// Base of the fakes: a reference count that tests can read.
template <class... I>
class Counted : public I... {
public:
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }
    ULONG refs() const { return refs_; }
    virtual ~Counted() = default;

private:
    ULONG refs_ = 1;
};

// Reference count of any COM object, read by an AddRef/Release pair.
inline ULONG RefCount(IUnknown *p) {
    p->AddRef();
    return p->Release();
}

// A work item: its name and whether it is still alive.
class FakeWorkItem final : public Counted<ITask> {
public:
    explicit FakeWorkItem(std::u16string name, std::shared_ptr<int> alive);
    ~FakeWorkItem() override;
    const std::u16string &name() const { return name_; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override;
    // IScheduledWorkItem: a work item without triggers; the rest is not used here.
    HRESULT WINAPI CreateTrigger(WORD *, ITaskTrigger **) override { return E_NOTIMPL; }
    HRESULT WINAPI DeleteTrigger(WORD) override { return E_NOTIMPL; }
    HRESULT WINAPI GetTriggerCount(WORD *pwCount) override;
    HRESULT WINAPI GetTrigger(WORD, ITaskTrigger **) override { return E_NOTIMPL; }
    HRESULT WINAPI GetTriggerString(WORD, LPWSTR *) override { return E_NOTIMPL; }
    HRESULT WINAPI GetRunTimes(const LPSYSTEMTIME, const LPSYSTEMTIME, WORD *, LPSYSTEMTIME *) override {
        return E_NOTIMPL;
    }
    HRESULT WINAPI GetNextRunTime(SYSTEMTIME *) override { return E_NOTIMPL; }
    HRESULT WINAPI SetIdleWait(WORD, WORD) override { return E_NOTIMPL; }
    HRESULT WINAPI GetIdleWait(WORD *, WORD *) override { return E_NOTIMPL; }
    HRESULT WINAPI Run() override { return E_NOTIMPL; }
    HRESULT WINAPI Terminate() override { return E_NOTIMPL; }
    HRESULT WINAPI EditWorkItem(HWND, DWORD) override { return E_NOTIMPL; }
    HRESULT WINAPI GetMostRecentRunTime(SYSTEMTIME *) override { return E_NOTIMPL; }
    HRESULT WINAPI GetStatus(HRESULT *) override { return E_NOTIMPL; }
    HRESULT WINAPI GetExitCode(DWORD *) override { return E_NOTIMPL; }
    HRESULT WINAPI SetComment(LPCWSTR) override { return E_NOTIMPL; }
    HRESULT WINAPI GetComment(LPWSTR *) override { return E_NOTIMPL; }
    HRESULT WINAPI SetCreator(LPCWSTR) override { return E_NOTIMPL; }
    HRESULT WINAPI GetCreator(LPWSTR *) override { return E_NOTIMPL; }
    HRESULT WINAPI SetWorkItemData(WORD, BYTE[]) override { return E_NOTIMPL; }
    HRESULT WINAPI GetWorkItemData(WORD *, BYTE **) override { return E_NOTIMPL; }
    HRESULT WINAPI SetErrorRetryCount(WORD) override { return E_NOTIMPL; }
    HRESULT WINAPI GetErrorRetryCount(WORD *) override { return E_NOTIMPL; }
    HRESULT WINAPI SetErrorRetryInterval(WORD) override { return E_NOTIMPL; }
    HRESULT WINAPI GetErrorRetryInterval(WORD *) override { return E_NOTIMPL; }
    HRESULT WINAPI SetFlags(DWORD) override { return E_NOTIMPL; }
    HRESULT WINAPI GetFlags(DWORD *) override { return E_NOTIMPL; }
    HRESULT WINAPI SetAccountInformation(LPCWSTR, LPCWSTR) override { return E_NOTIMPL; }
    HRESULT WINAPI GetAccountInformation(LPWSTR *) override { return E_NOTIMPL; }
    // ITask
    HRESULT WINAPI SetApplicationName(LPCWSTR) override { return E_NOTIMPL; }
    HRESULT WINAPI GetApplicationName(LPWSTR *) override { return E_NOTIMPL; }
    HRESULT WINAPI SetParameters(LPCWSTR) override { return E_NOTIMPL; }
    HRESULT WINAPI GetParameters(LPWSTR *) override { return E_NOTIMPL; }
    HRESULT WINAPI SetWorkingDirectory(LPCWSTR) override { return E_NOTIMPL; }
    HRESULT WINAPI GetWorkingDirectory(LPWSTR *) override { return E_NOTIMPL; }
    HRESULT WINAPI SetPriority(DWORD) override { return E_NOTIMPL; }
    HRESULT WINAPI GetPriority(DWORD *) override { return E_NOTIMPL; }
    HRESULT WINAPI SetTaskFlags(DWORD) override { return E_NOTIMPL; }
    HRESULT WINAPI GetTaskFlags(DWORD *) override { return E_NOTIMPL; }
    HRESULT WINAPI SetMaxRunTime(DWORD) override { return E_NOTIMPL; }
    HRESULT WINAPI GetMaxRunTime(DWORD *) override { return E_NOTIMPL; }

private:
    std::u16string name_;
    std::shared_ptr<int> alive_;
};

// One recorded call on the service.
struct Call {
    std::string method;
    std::u16string name;  // the name argument, if any
    bool nullName = false;
    ULONG count = 0;      // Next: the number of names asked for
    bool operator==(const Call &) const = default;
};

// The scriptable service. Statuses: `fail[method]` answers every call of
// that method with the status; `failName[{method, name}]` only calls with
// that name. In strict mode a call of a method outside `expected` is
// recorded in `unexpected` and answered with E_UNEXPECTED.
class FakeScheduler final : public Counted<ITaskScheduler> {
public:
    FakeScheduler();
    ~FakeScheduler() override;

    // What Enum hands out, in order.
    std::vector<std::u16string> names;
    // Enumerated names returned per Next call (at most what was asked).
    ULONG batchLimit = 0xFFFFFFFF;
    // Next answers this status at its n-th call (1-based), 0 for never.
    ULONG nextFailsAt = 0;
    HRESULT nextFailure = E_FAIL;
    // What GetTargetComputer answers.
    std::u16string reportedTarget = u"\\\\LOCALHOST";

    std::map<std::string, HRESULT> fail;
    std::map<std::pair<std::string, std::u16string>, HRESULT> failName;
    bool strict = false;
    std::set<std::string> expected;
    std::vector<std::string> unexpected;

    std::vector<Call> calls;
    // Names the service holds: NewWorkItem fails for these, Delete removes them.
    std::set<std::u16string> stored;
    // The work items handed out that are still alive.
    std::shared_ptr<int> liveItems = std::make_shared<int>(0);

    std::vector<Call> CallsOf(const std::string &method) const;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override;
    HRESULT WINAPI SetTargetComputer(LPCWSTR pwszComputer) override;
    HRESULT WINAPI GetTargetComputer(LPWSTR *ppwszComputer) override;
    HRESULT WINAPI Enum(IEnumWorkItems **ppEnumWorkItems) override;
    HRESULT WINAPI Activate(LPCWSTR pwszName, REFIID riid, IUnknown **ppUnk) override;
    HRESULT WINAPI Delete(LPCWSTR pwszName) override;
    HRESULT WINAPI NewWorkItem(LPCWSTR pwszTaskName, REFCLSID rclsid, REFIID riid, IUnknown **ppUnk) override;
    HRESULT WINAPI AddWorkItem(LPCWSTR, IScheduledWorkItem *) override;
    HRESULT WINAPI IsOfType(LPCWSTR, REFIID) override;

    // Enumerators made by Enum and still alive.
    std::shared_ptr<int> liveEnums = std::make_shared<int>(0);

private:
    // Records the call and tells the scripted status (S_OK when none).
    HRESULT Record(Call call);
};

// A stand-in for the Task class: its settings in memory, the order of the
// assignments made to it, and the work item it was bound to.
class FakeTask final : public Counted<TaskScheduler::_Task> {
public:
    FakeTask();
    ~FakeTask() override;

    static int live;
    // Settings.
    std::u16string TaskName, AccountName, ApplicationName = u"app.exe", Comment, Creator = u"creator",
                                          Parameters, WorkingDirectory;
    LONG flags = 0, MaxRunTime = 259200000, Priority = 32;
    SHORT IdleWaitDeadlineMinutes = 60, IdleWaitMinutes = 10, ErrorRetryCount = 0, ErrorRetryInterval = 0;
    std::vector<BYTE> WorkItemData;
    // Assignments in order, by property name.
    std::vector<std::string> puts;
    // A get or put of this property name fails with error 5 as the Task
    // class raises it ("get:Comment", "put:Comment").
    std::set<std::string> failing;
    ComRef<ITask> item;

    // Sets every copied setting to a distinct value.
    void FillDistinct();

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo **) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR *, UINT, LCID, DISPID *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS *, VARIANT *, EXCEPINFO *,
                                     UINT *) override {
        return E_NOTIMPL;
    }

    HRESULT STDMETHODCALLTYPE get_Triggers(TaskScheduler::_Triggers **ret) override;
    HRESULT STDMETHODCALLTYPE Edit() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_TaskName(BSTR *value) override;
    HRESULT STDMETHODCALLTYPE get_TaskName(BSTR *ret) override;
    HRESULT STDMETHODCALLTYPE GetRunTimes(DATE *, DATE *, SAFEARRAY **, LONG *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_NextRunTime(DATE *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_MostRecentRuntime(DATE *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_IdleWaitDeadlineMinutes(SHORT value) override;
    HRESULT STDMETHODCALLTYPE get_IdleWaitDeadlineMinutes(SHORT *ret) override;
    HRESULT STDMETHODCALLTYPE put_IdleWaitMinutes(SHORT value) override;
    HRESULT STDMETHODCALLTYPE get_IdleWaitMinutes(SHORT *ret) override;
    HRESULT STDMETHODCALLTYPE put_AccountName(BSTR value) override;
    HRESULT STDMETHODCALLTYPE get_AccountName(BSTR *ret) override;
    HRESULT STDMETHODCALLTYPE put_Password(BSTR) override;
    HRESULT STDMETHODCALLTYPE put_ErrorRetryInterval(SHORT value) override;
    HRESULT STDMETHODCALLTYPE get_ErrorRetryInterval(SHORT *ret) override;
    HRESULT STDMETHODCALLTYPE put_ErrorRetryCount(SHORT value) override;
    HRESULT STDMETHODCALLTYPE get_ErrorRetryCount(SHORT *ret) override;
    HRESULT STDMETHODCALLTYPE put_Comment(BSTR value) override;
    HRESULT STDMETHODCALLTYPE get_Comment(BSTR *ret) override;
    HRESULT STDMETHODCALLTYPE put_Creator(BSTR value) override;
    HRESULT STDMETHODCALLTYPE get_Creator(BSTR *ret) override;
    HRESULT STDMETHODCALLTYPE put_Parameters(BSTR value) override;
    HRESULT STDMETHODCALLTYPE get_Parameters(BSTR *ret) override;
    HRESULT STDMETHODCALLTYPE put_ApplicationName(BSTR value) override;
    HRESULT STDMETHODCALLTYPE get_ApplicationName(BSTR *ret) override;
    HRESULT STDMETHODCALLTYPE put_MaxRunTime(LONG value) override;
    HRESULT STDMETHODCALLTYPE get_MaxRunTime(LONG *ret) override;
    HRESULT STDMETHODCALLTYPE put_Priority(TaskScheduler::TASK_PRIORITY value) override;
    HRESULT STDMETHODCALLTYPE get_Priority(TaskScheduler::TASK_PRIORITY *ret) override;
    HRESULT STDMETHODCALLTYPE put_WorkingDirectory(BSTR value) override;
    HRESULT STDMETHODCALLTYPE get_WorkingDirectory(BSTR *ret) override;
    HRESULT STDMETHODCALLTYPE put_WorkItemData(SAFEARRAY **value) override;
    HRESULT STDMETHODCALLTYPE get_WorkItemData(SAFEARRAY **ret) override;
    HRESULT STDMETHODCALLTYPE get_ExitCode(LONG *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_flags(LONG value) override;
    HRESULT STDMETHODCALLTYPE get_flags(TaskScheduler::TASK_FLAGS *ret) override;
    HRESULT STDMETHODCALLTYPE get_Status(TaskScheduler::TASK_STATUS *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Save() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SaveAs(BSTR *) override { return E_NOTIMPL; }

private:
    // Runs a get or put, failing when the test asked for it.
    template <class F>
    HRESULT Member(const char *what, F &&body);
};

// Puts FakeTask behind Tasks::AddITask for the life of the object.
class FakeTaskClass {
public:
    FakeTaskClass();
    ~FakeTaskClass();

private:
    velqosch::TaskBuilder previous_;
};

// The FakeTask behind an interface pointer handed out by the collection.
inline FakeTask *AsFake(TaskScheduler::_Task *task) { return static_cast<FakeTask *>(task); }

}  // namespace fakes
