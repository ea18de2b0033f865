// Stores of stored work items for the benchmarks: one temporary Windows
// directory per size, filled once through the service, removed at exit; and
// the two floors the component's loading is measured against: reading the
// files, and the service's own Enum + Activate loop.
#pragma once

#include <fcntl.h>
#include <mstask.h>
#include <stdlib.h>
#include <unistd.h>
#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace bench_store {

struct Store {
    std::string root;
    std::vector<std::string> files;
};

// One store per size, filled once and reused by every run.
inline const Store &StoreOf(int count) {
    static std::map<int, Store> stores;
    static const bool cleanup = [] {
        std::atexit([] {
            for (const auto &entry : stores) {
                const std::string cmd = "/bin/rm -rf '" + entry.second.root + "'";
                if (std::system(cmd.c_str()) != 0) continue;
            }
        });
        return true;
    }();
    (void)cleanup;
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

inline void ReadAll(const Store &store) {
    char buffer[4096];
    for (const std::string &path : store.files) {
        const int fd = ::open(path.c_str(), O_RDONLY);
        while (::read(fd, buffer, sizeof buffer) > 0) {
        }
        ::close(fd);
    }
}

inline void EnumerateAndActivate(ITaskScheduler *sched) {
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

inline double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

}  // namespace bench_store
