// What the trace costs a procedure when no viewer is open: a traced call
// next to the same call without the trace.
#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "trace/trace.h"

namespace {

__attribute__((noinline)) int Work(int x) {
    benchmark::DoNotOptimize(x);
    return x * 3 + 1;
}

__attribute__((noinline)) int Traced(int x) {
    velqosch::TraceScope trace("Trigger", "Property (Get) IsDirty");
    return Work(x);
}

void BM_Untraced(benchmark::State &state) {
    int x = 0;
    for (auto _ : state) benchmark::DoNotOptimize(x = Work(x));
}
BENCHMARK(BM_Untraced);

void BM_TracedNoViewer(benchmark::State &state) {
    int x = 0;
    Traced(x);  // this thread's one search for a viewer, outside the timing
    if (velqosch::CurrentTraceState().viewer) {
        state.SkipWithError("a trace viewer is open");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(x = Traced(x));
}
BENCHMARK(BM_TracedNoViewer);

}  // namespace

int main(int argc, char **argv) {
    // An empty session of our own, so no viewer of the user's can be found.
    char folder[] = "/tmp/vq-trace-bench-XXXXXX";
    if (!mkdtemp(folder)) return 1;
    setenv("XDG_RUNTIME_DIR", folder, 1);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::string windows = std::string(folder) + "/velqosch-windows";
    rmdir(windows.c_str());
    rmdir(folder);
    return 0;
}
