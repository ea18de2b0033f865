// Tasks: the Task objects of the targeted computer, keyed by task name and
// in the order in which the service enumerated them.
#pragma once

#include <string>

#include "collection/keyed_collection.h"
#include "component/objects.h"
#include "component/surface.h"
#include "service/platform.h"

namespace velqosch {

// Re-raises the error that a published member of another object left: its
// HRESULT and the thread's error information, every field unchanged.
[[noreturn]] void RaiseFromMember(HRESULT hr);
// Checks the result of a call into a published member.
inline void CheckMember(HRESULT hr) {
    if (FAILED(hr)) RaiseFromMember(hr);
}

class Tasks final : public DualObject<Tasks, TaskScheduler::_Tasks> {
public:
    // A new, empty collection with one reference for the caller.
    static ComRef<Tasks> Create();
    static bool IsOwnInterface(REFIID riid) noexcept { return IsEqualIID(riid, TaskScheduler::IID__Tasks); }

    // _Tasks
    HRESULT STDMETHODCALLTYPE Add(BSTR *Name, TaskScheduler::_Task **ret) noexcept override;
    HRESULT STDMETHODCALLTYPE get_Item(VARIANT *vntIndexKey, TaskScheduler::_Task **ret) noexcept override;
    HRESULT STDMETHODCALLTYPE get_Count(LONG *ret) noexcept override;
    HRESULT STDMETHODCALLTYPE Remove(VARIANT *vntIndexKey) noexcept override;
    HRESULT STDMETHODCALLTYPE get_NewEnum(IUnknown **ret) noexcept override;
    HRESULT STDMETHODCALLTYPE Clone(BSTR *ExistingTaskName, BSTR *NewTaskName,
                                    TaskScheduler::_Task **ret) noexcept override;
    HRESULT STDMETHODCALLTYPE Exists(BSTR *Key, VARIANT_BOOL *ret) noexcept override;

    // For the component's own use; these raise.
    // Stores the connection and loads the task list from it.
    void SetTaskScheduler(ITaskScheduler *connection);
    // The one place where a Task is built: a new one for item, or, without
    // an item, for a new work item of that name; added under the name.
    ComRef<TaskScheduler::_Task> AddITask(std::u16string name, ITask *item);

    // The members' bodies. A generated name is written back into the
    // caller's name argument.
    ComRef<TaskScheduler::_Task> AddTask(BSTR *name);
    ComRef<TaskScheduler::_Task> Item(const VARIANT *indexKey);
    LONG Count();
    void RemoveTask(const VARIANT *indexKey);
    ComRef<IUnknown> NewEnum();
    ComRef<TaskScheduler::_Task> CloneTask(BSTR *existingName, BSTR *newName);
    bool ExistsKey(const std::u16string &key) const;

private:
    friend class DualObject<Tasks, TaskScheduler::_Tasks>;
    Tasks();
    ~Tasks() override;
    void GetTasks();

    KeyedCollection<TaskScheduler::_Task> collection_;
    ComRef<ITaskScheduler> connection_;
};

}  // namespace velqosch
