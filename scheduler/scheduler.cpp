#include "scheduler/scheduler.h"

#include <new>

#include "globals/globals.h"
#include "globals/strings.h"
#include "scheduler/service_start.h"
#include "trace/error.h"
#include "trace/trace.h"

namespace velqosch {

namespace {

constexpr std::string_view kModule = "Scheduler";
constexpr LONG kErrServiceNotRunning = static_cast<LONG>(0x80040000u);

}  // namespace

// ---- Object -------------------------------------------------------------------------------------------------------

ComRef<Scheduler> Scheduler::Create() {
    EnsureThreadStarted();
    ComRef<Scheduler> scheduler = ComRef<Scheduler>::Adopt(new Scheduler());
    scheduler->Initialize();
    return scheduler;
}

void Scheduler::Initialize() {
    TraceScope trace(kModule, "Sub Class_Initialize");
    ITaskScheduler *raw = nullptr;
    Check(CoCreateInstance(CLSID_CTaskScheduler, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskScheduler,
                           reinterpret_cast<void **>(&raw)));
    connection_ = ComRef<ITaskScheduler>::Adopt(raw);
    if (!connection_) RaiseHResult(E_POINTER);
    tasks_ = Tasks::Create();
    tasks_->SetTaskScheduler(connection_.get());
}

HRESULT CreateScheduler(REFIID riid, void **ppv) noexcept {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    ComRef<Scheduler> scheduler;
    const HRESULT hr = Guard([&] { scheduler = Scheduler::Create(); });
    if (FAILED(hr)) return hr;
    return scheduler->QueryInterface(riid, ppv);
}

// ---- Published members ----------------------------------------------------------------------------------------

HRESULT Scheduler::put_Computer(BSTR *value) noexcept {
    return Guard([&] { SetComputer(FromBstr(Ref(value))); });
}
HRESULT Scheduler::get_Computer(BSTR *ret) noexcept {
    return GuardResult(ret, [&] { return ToBstr(Computer()); });
}
HRESULT Scheduler::get_Tasks(TaskScheduler::_Tasks **ret) noexcept {
    return GuardResult(ret, [&] { return ComRef<TaskScheduler::_Tasks>::Adopt(GetTasks().Detach()); });
}

// ---- Bodies -------------------------------------------------------------------------------------------------------

void Scheduler::SetComputer(const std::u16string &name) {
    TraceScope trace(kModule, "Property (Let) Computer");
    // A name of spaces only targets the local computer; any other name goes
    // to the service as given, spaces included.
    const bool blank = name.find_first_not_of(u' ') == std::u16string::npos;
    Check(connection_->SetTargetComputer(blank ? nullptr : Wide(name)));
    // The same collection, reloaded from the new target.
    tasks_->SetTaskScheduler(connection_.get());
}

std::u16string Scheduler::Computer() {
    TraceScope trace(kModule, "Property (Get) Computer");
    LPWSTR name = nullptr;
    Check(connection_->GetTargetComputer(&name));
    return StringFromLongPtr(name);
}

ComRef<Tasks> Scheduler::GetTasks() {
    TraceScope trace(kModule, "Property (Get) Tasks");
    // Until one check succeeds, every read asks again; the check concerns the
    // local computer's service whatever Computer names.
    if (!serviceChecked_) {
        if (StartScheduler() != 0)
            Raise(kErrServiceNotRunning, kProductName, u"Scheduler service is not running and will not start");
        serviceChecked_ = true;
    }
    return tasks_;
}

}  // namespace velqosch
