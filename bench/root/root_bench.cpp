// Loading the task list through the component (a new Scheduler and its
// Tasks, which opens every stored item and reads its triggers) against the
// service's own Enum + Activate loop over the same store. The "vs_service"
// counter is the ratio of the two, measured in the same run, each load right
// after a service pass; "vs_service_cpu" is the same ratio of the process's
// CPU time, which other work on a busy machine disturbs less than the elapsed
// time. Each repetition starts the "Schedule" daemon, so that Scheduler.Tasks
// finds it running, and stops it at the end.
#include <benchmark/benchmark.h>
#include <time.h>

#include "scheduler/scheduler.h"
#include "support/job_store.h"

namespace {

using namespace bench_store;
using velqosch::ComRef;

// The daemon keeps its state in the store it serves: one per store.
void EnsureServiceRunning() {
    [] {
        SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
        SC_HANDLE service = manager ? OpenServiceA(manager, "Schedule", SERVICE_START | SERVICE_QUERY_STATUS) : nullptr;
        SERVICE_STATUS status{};
        if (service && QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_STOPPED)
            StartServiceA(service, 0, nullptr);
        for (int i = 0;
             service && i < 500 && QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_RUNNING;
             ++i)
            usleep(10000);
        if (service) CloseServiceHandle(service);
        if (manager) CloseServiceHandle(manager);
    }();
}

void StopService() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceA(manager, "Schedule", SERVICE_STOP) : nullptr;
    SERVICE_STATUS status{};
    if (service) ControlService(service, SERVICE_CONTROL_STOP, &status);
    if (service) CloseServiceHandle(service);
    if (manager) CloseServiceHandle(manager);
}

// The CPU time of this process (the service's objects run in it too).
double ProcessSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

LONG LoadThroughScheduler() {
    ComRef<TaskScheduler::_Scheduler> scheduler;
    if (FAILED(velqosch::CreateScheduler(TaskScheduler::IID__Scheduler, reinterpret_cast<void **>(scheduler.Out()))))
        return -1;
    ComRef<TaskScheduler::_Tasks> tasks;
    if (FAILED(scheduler->get_Tasks(tasks.Out()))) return -1;
    LONG count = 0;
    tasks->get_Count(&count);
    return count;
}

void BM_SchedulerTasks(benchmark::State &state) {
    const int count = static_cast<int>(state.range(0));
    StoreOf(count);
    EnsureServiceRunning();
    ITaskScheduler *service = nullptr;
    CoCreateInstance(CLSID_CTaskScheduler, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskScheduler,
                     reinterpret_cast<void **>(&service));
    // Each iteration times one service pass, then one load: the two alternate,
    // so that a machine that slows down or speeds up during the run weighs on
    // both alike. The reported time is the load's alone.
    double floor = 0, cpuFloor = 0, loads = 0, cpuLoads = 0;
    for (auto _ : state) {
        const auto serviceStart = std::chrono::steady_clock::now();
        const double serviceCpuStart = ProcessSeconds();
        EnumerateAndActivate(service);
        const auto start = std::chrono::steady_clock::now();
        const double cpuStart = ProcessSeconds();
        const LONG loaded = LoadThroughScheduler();
        const double each = Seconds(std::chrono::steady_clock::now() - start);
        const double cpuEach = ProcessSeconds() - cpuStart;
        if (loaded != count) {
            service->Release();
            return state.SkipWithError("the Scheduler did not load every task");
        }
        floor += Seconds(start - serviceStart);
        cpuFloor += cpuStart - serviceCpuStart;
        loads += each;
        cpuLoads += cpuEach;
        state.SetIterationTime(each);
    }
    service->Release();
    state.counters["vs_service"] = floor > 0 ? loads / floor : 0;
    state.counters["vs_service_cpu"] = cpuFloor > 0 ? cpuLoads / cpuFloor : 0;
    state.SetItemsProcessed(state.iterations() * state.range(0));
    StopService();
}
BENCHMARK(BM_SchedulerTasks)->Arg(1000)->Arg(10000)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
