// A client of the installed component, built against the installed headers
// with `pkg-config --cflags --libs velqosch`: creates a Scheduler through the
// registry and prints the number of tasks, then each task's name and
// application, one per line.
#include <cstdio>
#include <string>

#include "component/surface.h"

using namespace TaskScheduler;

namespace {

std::string Utf8(BSTR text) {
    std::string out;
    if (text) {
        const int length = static_cast<int>(SysStringLen(text));
        const int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
        out.resize(static_cast<std::size_t>(size > 0 ? size : 0));
        if (size > 0) WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), size, nullptr, nullptr);
    }
    SysFreeString(text);
    return out;
}

int Fail(const char *what, HRESULT hr) {
    std::fprintf(stderr, "client: %s failed: 0x%08X\n", what, static_cast<unsigned>(hr));
    return 1;
}

}  // namespace

int main() {
    if (FAILED(CoInitialize(nullptr))) return Fail("CoInitialize", E_FAIL);
    int code = 0;
    _Scheduler *scheduler = nullptr;
    _Tasks *tasks = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_Scheduler, nullptr, CLSCTX_INPROC_SERVER, IID__Scheduler,
                                  reinterpret_cast<void **>(&scheduler));
    if (FAILED(hr)) {
        code = Fail("CoCreateInstance(Scheduler)", hr);
    } else if (FAILED(hr = scheduler->get_Tasks(&tasks))) {
        code = Fail("Scheduler.Tasks", hr);
    } else {
        LONG count = 0;
        if (FAILED(hr = tasks->get_Count(&count))) return Fail("Tasks.Count", hr);
        std::printf("%ld\n", static_cast<long>(count));
        for (LONG i = 1; i <= count && code == 0; ++i) {
            VARIANT index;
            VariantInit(&index);
            index.vt = VT_I4;
            index.lVal = i;
            _Task *task = nullptr;
            BSTR name = nullptr, application = nullptr;
            if (FAILED(hr = tasks->get_Item(&index, &task)) || FAILED(hr = task->get_TaskName(&name)) ||
                FAILED(hr = task->get_ApplicationName(&application))) {
                code = Fail("reading a task", hr);
            } else {
                const std::string n = Utf8(name), a = Utf8(application);
                std::printf("%s\t%s\n", n.c_str(), a.c_str());
            }
            if (task) task->Release();
        }
    }
    if (tasks) tasks->Release();
    if (scheduler) scheduler->Release();
    CoUninitialize();
    return code;
}
