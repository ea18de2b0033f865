// A property get late-bound (Invoke by DISPID, and by name with
// GetIDsOfNames first, as a script engine without caching does) against the
// same get through the table of functions. The ratio of the late-bound
// times to the vtable time is the cost of the dispatch layer.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdlib>
#include <string>

#include "component/surface.h"
#include "scheduler/scheduler.h"

namespace {

using velqosch::ComRef;

ComRef<TaskScheduler::_Scheduler> NewScheduler() {
    static char store[] = "/tmp/velqosch-bench-dispatch-XXXXXX";
    static bool made = mkdtemp(store) != nullptr;
    if (!made) return {};
    setenv("VELQOSCH_WINDIR", store, 1);
    ComRef<TaskScheduler::_Scheduler> s;
    if (FAILED(velqosch::CreateScheduler(TaskScheduler::IID__Scheduler, reinterpret_cast<void **>(s.Out())))) return {};
    return s;
}

LPOLESTR Name(const char16_t *s) { return reinterpret_cast<LPOLESTR>(const_cast<char16_t *>(s)); }

void VtableGet(benchmark::State &state) {
    auto scheduler = NewScheduler();
    if (!scheduler) return state.SkipWithError("no Scheduler");
    for (auto _ : state) {
        BSTR b = nullptr;
        scheduler->get_Computer(&b);
        benchmark::DoNotOptimize(b);
        SysFreeString(b);
    }
}
BENCHMARK(VtableGet);

void LateBoundGetById(benchmark::State &state) {
    auto scheduler = NewScheduler();
    if (!scheduler) return state.SkipWithError("no Scheduler");
    LPOLESTR names[] = {Name(u"Computer")};
    DISPID id = 0;
    scheduler->GetIDsOfNames(IID_NULL, names, 1, 0, &id);
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    for (auto _ : state) {
        VARIANT result;
        VariantInit(&result);
        scheduler->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr);
        benchmark::DoNotOptimize(result.bstrVal);
        VariantClear(&result);
    }
}
BENCHMARK(LateBoundGetById);

void LateBoundGetByName(benchmark::State &state) {
    auto scheduler = NewScheduler();
    if (!scheduler) return state.SkipWithError("no Scheduler");
    LPOLESTR names[] = {Name(u"computer")};
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    for (auto _ : state) {
        DISPID id = 0;
        scheduler->GetIDsOfNames(IID_NULL, names, 1, 0, &id);
        VARIANT result;
        VariantInit(&result);
        scheduler->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr);
        benchmark::DoNotOptimize(result.bstrVal);
        VariantClear(&result);
    }
}
BENCHMARK(LateBoundGetByName);

}  // namespace

BENCHMARK_MAIN();
