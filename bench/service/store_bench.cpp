// Enumerating and activating every stored work item, against the floor of
// just reading those files. The "vs_read" counter is the ratio of the two.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>
#include <windows.h>

#include <mstask.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace {

struct Store {
    std::string root;
    std::vector<std::string> files;
};

// One store per size, filled once and reused by every run.
const Store &StoreOf(int count) {
    static std::map<int, Store> stores;
    auto found = stores.find(count);
    if (found != stores.end()) {
        ::setenv("VELQOSCH_WINDIR", found->second.root.c_str(), 1);
        return found->second;
    }
    char pattern[] = "/tmp/velqo-bench-XXXXXX";
    Store &store = stores[count];
    store.root = ::mkdtemp(pattern);
    ::setenv("VELQOSCH_WINDIR", store.root.c_str(), 1);
    ITaskScheduler *sched = nullptr;
    CoCreateInstance(CLSID_CTaskScheduler, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskScheduler,
                     reinterpret_cast<void **>(&sched));
    for (int i = 0; i < count; ++i) {
        const std::string name = "task" + std::to_string(i);
        const std::u16string wide(name.begin(), name.end());
        ITask *task = nullptr;
        sched->NewWorkItem(wide.c_str(), CLSID_CTask, IID_ITask, reinterpret_cast<IUnknown **>(&task));
        task->SetApplicationName(u"/bin/true");
        WORD index = 0;
        ITaskTrigger *trigger = nullptr;
        task->CreateTrigger(&index, &trigger);
        trigger->Release();
        IPersistFile *file = nullptr;
        task->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&file));
        file->Save(nullptr, TRUE);
        file->Release();
        task->Release();
        store.files.push_back(store.root + "/Tasks/" + name + ".job");
    }
    sched->Release();
    return store;
}

void ReadAll(const Store &store) {
    char buffer[4096];
    for (const std::string &path : store.files) {
        const int fd = ::open(path.c_str(), O_RDONLY);
        while (::read(fd, buffer, sizeof buffer) > 0) {
        }
        ::close(fd);
    }
}

void EnumerateAndActivate(ITaskScheduler *sched) {
    IEnumWorkItems *items = nullptr;
    sched->Enum(&items);
    LPWSTR *names = nullptr;
    ULONG fetched = 0;
    while (SUCCEEDED(items->Next(5, &names, &fetched)) && fetched > 0) {
        for (ULONG i = 0; i < fetched; ++i) {
            IUnknown *task = nullptr;
            sched->Activate(names[i], IID_ITask, &task);
            if (task) task->Release();
            CoTaskMemFree(names[i]);
        }
        CoTaskMemFree(names);
    }
    items->Release();
}

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

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

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    // the stores are temporary
    char pattern[] = "/tmp/velqo-bench-";
    (void)pattern;
    return 0;
}
