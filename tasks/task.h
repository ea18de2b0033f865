// Task: one work item of the scheduling service, wrapping its ITask and
// IScheduledWorkItem. Reading a property reads the work item; setting one
// changes the work item held by the service; Save and SaveAs write its file.
#pragma once

#include <string>

#include "component/objects.h"
#include "component/surface.h"
#include "globals/strings.h"
#include "service/platform.h"
#include "triggers/triggers.h"

namespace velqosch {

class TaskObject final : public DualObject<TaskObject, TaskScheduler::_Task> {
public:
    // A new, unbound Task with one reference for the caller.
    static ComRef<TaskObject> Create();
    static bool IsOwnInterface(REFIID riid) noexcept;
    // The same for the Tasks collection, which knows Tasks by their interface.
    static ComRef<TaskScheduler::_Task> CreateTask();
    static void BindTask(TaskScheduler::_Task *task, ITask *item);
    static void NameTask(TaskScheduler::_Task *task, std::u16string name);
    // The name as it stands, without a trace line (the Tasks collection's key).
    static const std::u16string &NameOf(TaskScheduler::_Task *task) noexcept {
        return static_cast<TaskObject *>(task)->taskName_;
    }

    // _Task
    HRESULT STDMETHODCALLTYPE get_Triggers(TaskScheduler::_Triggers **ret) noexcept override {
        return GuardResult(ret, [&] { return Triggers(); });
    }
    HRESULT STDMETHODCALLTYPE Edit() noexcept override {
        return Guard([&] { EditItem(); });
    }
    HRESULT STDMETHODCALLTYPE put_TaskName(BSTR *value) noexcept override {
        return Guard([&] { PutTaskName(FromBstrRef(value)); });
    }
    HRESULT STDMETHODCALLTYPE get_TaskName(BSTR *ret) noexcept override {
        return GuardResult(ret, [&] { return Bstr(TaskName()); });
    }
    HRESULT STDMETHODCALLTYPE GetRunTimes(DATE *BeginDate, DATE *EndDate, SAFEARRAY **TaskTimes,
                                          LONG *ret) noexcept override {
        return GuardResult(ret, [&] { return RunTimes(Ref(BeginDate), Ref(EndDate), Ref(TaskTimes)); });
    }
    HRESULT STDMETHODCALLTYPE get_NextRunTime(DATE *ret) noexcept override {
        return GuardResult(ret, [&] { return NextRunTime(); });
    }
    HRESULT STDMETHODCALLTYPE get_MostRecentRuntime(DATE *ret) noexcept override {
        return GuardResult(ret, [&] { return MostRecentRuntime(); });
    }
    HRESULT STDMETHODCALLTYPE put_IdleWaitDeadlineMinutes(SHORT value) noexcept override {
        return Guard([&] { PutIdleWaitDeadlineMinutes(value); });
    }
    HRESULT STDMETHODCALLTYPE get_IdleWaitDeadlineMinutes(SHORT *ret) noexcept override {
        return GuardResult(ret, [&] { return IdleWaitDeadlineMinutes(); });
    }
    HRESULT STDMETHODCALLTYPE put_IdleWaitMinutes(SHORT value) noexcept override {
        return Guard([&] { PutIdleWaitMinutes(value); });
    }
    HRESULT STDMETHODCALLTYPE get_IdleWaitMinutes(SHORT *ret) noexcept override {
        return GuardResult(ret, [&] { return IdleWaitMinutes(); });
    }
    HRESULT STDMETHODCALLTYPE put_AccountName(BSTR value) noexcept override {
        return Guard([&] { PutAccountName(FromBstr(value)); });
    }
    HRESULT STDMETHODCALLTYPE get_AccountName(BSTR *ret) noexcept override {
        return GuardResult(ret, [&] { return Bstr(AccountName()); });
    }
    HRESULT STDMETHODCALLTYPE put_Password(BSTR value) noexcept override {
        return Guard([&] { PutPassword(FromBstr(value)); });
    }
    HRESULT STDMETHODCALLTYPE put_ErrorRetryInterval(SHORT value) noexcept override {
        return Guard([&] { PutErrorRetryInterval(value); });
    }
    HRESULT STDMETHODCALLTYPE get_ErrorRetryInterval(SHORT *ret) noexcept override {
        return GuardResult(ret, [&] { return ErrorRetryInterval(); });
    }
    HRESULT STDMETHODCALLTYPE put_ErrorRetryCount(SHORT value) noexcept override {
        return Guard([&] { PutErrorRetryCount(value); });
    }
    HRESULT STDMETHODCALLTYPE get_ErrorRetryCount(SHORT *ret) noexcept override {
        return GuardResult(ret, [&] { return ErrorRetryCount(); });
    }
    HRESULT STDMETHODCALLTYPE put_Comment(BSTR value) noexcept override {
        return Guard([&] { PutComment(FromBstr(value)); });
    }
    HRESULT STDMETHODCALLTYPE get_Comment(BSTR *ret) noexcept override {
        return GuardResult(ret, [&] { return Bstr(Comment()); });
    }
    HRESULT STDMETHODCALLTYPE put_Creator(BSTR value) noexcept override {
        return Guard([&] { PutCreator(FromBstr(value)); });
    }
    HRESULT STDMETHODCALLTYPE get_Creator(BSTR *ret) noexcept override {
        return GuardResult(ret, [&] { return Bstr(Creator()); });
    }
    HRESULT STDMETHODCALLTYPE put_Parameters(BSTR value) noexcept override {
        return Guard([&] { PutParameters(FromBstr(value)); });
    }
    HRESULT STDMETHODCALLTYPE get_Parameters(BSTR *ret) noexcept override {
        return GuardResult(ret, [&] { return Bstr(Parameters()); });
    }
    HRESULT STDMETHODCALLTYPE put_ApplicationName(BSTR value) noexcept override {
        return Guard([&] { PutApplicationName(FromBstr(value)); });
    }
    HRESULT STDMETHODCALLTYPE get_ApplicationName(BSTR *ret) noexcept override {
        return GuardResult(ret, [&] { return Bstr(ApplicationName()); });
    }
    HRESULT STDMETHODCALLTYPE put_MaxRunTime(LONG value) noexcept override {
        return Guard([&] { PutMaxRunTime(value); });
    }
    HRESULT STDMETHODCALLTYPE get_MaxRunTime(LONG *ret) noexcept override {
        return GuardResult(ret, [&] { return MaxRunTime(); });
    }
    HRESULT STDMETHODCALLTYPE put_Priority(TaskScheduler::TASK_PRIORITY value) noexcept override {
        return Guard([&] { PutPriority(value); });
    }
    HRESULT STDMETHODCALLTYPE get_Priority(TaskScheduler::TASK_PRIORITY *ret) noexcept override {
        return GuardResult(ret, [&] { return static_cast<TaskScheduler::TASK_PRIORITY>(Priority()); });
    }
    HRESULT STDMETHODCALLTYPE put_WorkingDirectory(BSTR value) noexcept override {
        return Guard([&] { PutWorkingDirectory(FromBstr(value)); });
    }
    HRESULT STDMETHODCALLTYPE get_WorkingDirectory(BSTR *ret) noexcept override {
        return GuardResult(ret, [&] { return Bstr(WorkingDirectory()); });
    }
    HRESULT STDMETHODCALLTYPE put_WorkItemData(SAFEARRAY **value) noexcept override {
        return Guard([&] { PutWorkItemData(Ref(value)); });
    }
    HRESULT STDMETHODCALLTYPE get_WorkItemData(SAFEARRAY **ret) noexcept override {
        return GuardResult(ret, [&] { return WorkItemData(); });
    }
    HRESULT STDMETHODCALLTYPE get_ExitCode(LONG *ret) noexcept override {
        return GuardResult(ret, [&] { return ExitCode(); });
    }
    HRESULT STDMETHODCALLTYPE put_flags(LONG value) noexcept override {
        return Guard([&] { PutFlags(value); });
    }
    HRESULT STDMETHODCALLTYPE get_flags(TaskScheduler::TASK_FLAGS *ret) noexcept override {
        return GuardResult(ret, [&] { return static_cast<TaskScheduler::TASK_FLAGS>(Flags()); });
    }
    HRESULT STDMETHODCALLTYPE get_Status(TaskScheduler::TASK_STATUS *ret) noexcept override {
        return GuardResult(ret, [&] { return static_cast<TaskScheduler::TASK_STATUS>(Status()); });
    }
    HRESULT STDMETHODCALLTYPE Save() noexcept override {
        return Guard([&] { SaveItem(); });
    }
    HRESULT STDMETHODCALLTYPE SaveAs(BSTR *TaskName) noexcept override {
        return Guard([&] { SaveItemAs(Ref(TaskName)); });
    }

    // The members' bodies; these raise.
    ComRef<TriggersObject> Triggers();
    void EditItem();
    void PutTaskName(std::u16string name);
    std::u16string TaskName();
    LONG RunTimes(DATE beginDate, DATE endDate, SAFEARRAY *&taskTimes);
    DATE NextRunTime();
    DATE MostRecentRuntime();
    void PutIdleWaitDeadlineMinutes(SHORT value);
    SHORT IdleWaitDeadlineMinutes();
    void PutIdleWaitMinutes(SHORT value);
    SHORT IdleWaitMinutes();
    void PutAccountName(const std::u16string &value);
    std::u16string AccountName();
    void PutPassword(const std::u16string &value);
    void PutErrorRetryInterval(SHORT value);
    SHORT ErrorRetryInterval();
    void PutErrorRetryCount(SHORT value);
    SHORT ErrorRetryCount();
    void PutComment(const std::u16string &value);
    std::u16string Comment();
    void PutCreator(const std::u16string &value);
    std::u16string Creator();
    void PutParameters(const std::u16string &value);
    std::u16string Parameters();
    void PutApplicationName(const std::u16string &value);
    std::u16string ApplicationName();
    void PutMaxRunTime(LONG value);
    LONG MaxRunTime();
    void PutPriority(LONG value);
    LONG Priority();
    void PutWorkingDirectory(const std::u16string &value);
    std::u16string WorkingDirectory();
    void PutWorkItemData(SAFEARRAY *data);
    SAFEARRAY *WorkItemData();
    LONG ExitCode();
    void PutFlags(LONG value);
    LONG Flags();
    LONG Status();
    void SaveItem();
    void SaveItemAs(BSTR &taskName);

    // Internal member: binds the Task to its work item and loads the item's
    // triggers into the Triggers collection.
    void SetITask(ITask *task);

private:
    TaskObject();
    ~TaskObject() override;
    friend class DualObject<TaskObject, TaskScheduler::_Task>;

    static std::u16string FromBstrRef(BSTR *value);
    static BSTR Bstr(const std::u16string &text);
    ITask &Item() const;
    IScheduledWorkItem &WorkItem() const;
    void SendIdleWait();

    std::u16string taskName_;
    std::u16string password_;
    std::u16string accountName_;
    SHORT idleMinutes_ = 0;
    SHORT deadlineMinutes_ = 0;
    ComRef<TriggersObject> triggers_;
    ComRef<ITask> task_;
    ComRef<IScheduledWorkItem> workItem_;
};

}  // namespace velqosch
