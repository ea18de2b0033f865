// Enumerating and activating every stored work item, against the floor of
// just reading those files. The "vs_read" counter is the ratio of the two.
#include <benchmark/benchmark.h>

#include "support/job_store.h"

namespace {

using namespace bench_store;

void BM_EnumerateAndActivate(benchmark::State &state) {
    const Store &store = StoreOf(static_cast<int>(state.range(0)));
    ITaskScheduler *sched = nullptr;
    CoCreateInstance(CLSID_CTaskScheduler, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskScheduler,
                     reinterpret_cast<void **>(&sched));
    auto floorStart = std::chrono::steady_clock::now();
    constexpr int kFloorPasses = 3;
    for (int i = 0; i < kFloorPasses; ++i) ReadAll(store);
    const double floor = Seconds(std::chrono::steady_clock::now() - floorStart) / kFloorPasses;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) EnumerateAndActivate(sched);
    const double each = Seconds(std::chrono::steady_clock::now() - start) / static_cast<double>(state.iterations());
    state.counters["vs_read"] = floor > 0 ? each / floor : 0;
    state.SetItemsProcessed(state.iterations() * state.range(0));
    sched->Release();
}
BENCHMARK(BM_EnumerateAndActivate)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

void BM_ReadFilesOnly(benchmark::State &state) {
    const Store &store = StoreOf(static_cast<int>(state.range(0)));
    for (auto _ : state) ReadAll(store);
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ReadFilesOnly)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
