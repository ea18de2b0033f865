// A client of the installed component, built against the installed headers
// with `pkg-config --cflags --libs velqosch`: creates a Scheduler through the
// registry and prints the number of tasks, then each task's name and
// application, one per line.
#include <cstdio>
#include <string>

#include "component/surface.h"

using namespace TaskScheduler;

static std::string Narrow(BSTR text) {  // the tests' names are ASCII
    const std::string out(text, text + SysStringLen(text));
    SysFreeString(text);
    return out;
}

int main() {
    _Scheduler *scheduler = nullptr;
    _Tasks *tasks = nullptr;
    LONG count = 0;
    HRESULT hr = CoInitialize(nullptr);
    if (SUCCEEDED(hr))
        hr = CoCreateInstance(CLSID_Scheduler, nullptr, CLSCTX_INPROC_SERVER, IID__Scheduler,
                              reinterpret_cast<void **>(&scheduler));
    if (SUCCEEDED(hr)) hr = scheduler->get_Tasks(&tasks);
    if (SUCCEEDED(hr)) hr = tasks->get_Count(&count);
    if (SUCCEEDED(hr)) std::printf("%ld\n", static_cast<long>(count));
    for (LONG i = 1; SUCCEEDED(hr) && i <= count; ++i) {
        VARIANT index;
        VariantInit(&index);
        index.vt = VT_I4;
        index.lVal = i;
        _Task *task = nullptr;
        BSTR name = nullptr, application = nullptr;
        if (SUCCEEDED(hr = tasks->get_Item(&index, &task)) && SUCCEEDED(hr = task->get_TaskName(&name)) &&
            SUCCEEDED(hr = task->get_ApplicationName(&application)))
            std::printf("%s\t%s\n", Narrow(name).c_str(), Narrow(application).c_str());
        if (task) task->Release();
    }
    if (tasks) tasks->Release();
    if (scheduler) scheduler->Release();
    CoUninitialize();
    if (FAILED(hr)) std::fprintf(stderr, "client: failed: 0x%08X\n", static_cast<unsigned>(hr));
    return FAILED(hr) ? 1 : 0;
}
