// Scheduler: the root object. It owns the connection to the Task Scheduler
// service and the one Tasks collection of the targeted computer, and makes
// sure the service runs before it first hands the collection out.
#pragma once

#include <string>

#include "collection/keyed_collection.h"
#include "component/objects.h"
#include "component/surface.h"
#include "service/platform.h"
#include "tasks/tasks.h"

namespace velqosch {

class Scheduler final : public DualObject<Scheduler, TaskScheduler::_Scheduler> {
public:
    // A new Scheduler connected to the local computer with its task list
    // loaded; one reference for the caller. Raises when the connection or the
    // load fails.
    static ComRef<Scheduler> Create();
    static bool IsOwnInterface(REFIID riid) noexcept { return IsEqualIID(riid, TaskScheduler::IID__Scheduler); }

    // _Scheduler
    HRESULT STDMETHODCALLTYPE put_Computer(BSTR *value) noexcept override;
    HRESULT STDMETHODCALLTYPE get_Computer(BSTR *ret) noexcept override;
    HRESULT STDMETHODCALLTYPE get_Tasks(TaskScheduler::_Tasks **ret) noexcept override;

    // The members' bodies; these raise.
    void SetComputer(const std::u16string &name);
    std::u16string Computer();
    ComRef<Tasks> GetTasks();

    // Set once a Tasks read found the service running or started it.
    bool ServiceChecked() const noexcept { return serviceChecked_; }

private:
    friend class DualObject<Scheduler, TaskScheduler::_Scheduler>;
    Scheduler() = default;
    ~Scheduler() override = default;
    void Initialize();

    ComRef<ITaskScheduler> connection_;
    ComRef<Tasks> tasks_;
    bool serviceChecked_ = false;
};

// The class factory's entry: a new Scheduler asked for riid.
HRESULT CreateScheduler(REFIID riid, void **ppv) noexcept;

}  // namespace velqosch
