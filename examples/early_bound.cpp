// An early-bound C++ client: the dual interfaces of component/surface.h,
// called through their tables of functions. It lists the tasks, adds a
// weekly task, changes its trigger, prints next week's run times, stores and
// reads the private data, removes the task again and prints "done".
#include "component/surface.h"
#include "examples/common.h"

using namespace TaskScheduler;
using namespace example;

namespace {

int Run() {
    _Scheduler *scheduler = nullptr;
    Check(CoCreateInstance(CLSID_Scheduler, nullptr, CLSCTX_INPROC_SERVER, IID__Scheduler,
                           reinterpret_cast<void **>(&scheduler)),
          "creating the Scheduler");
    _Tasks *tasks = nullptr;
    Check(scheduler->get_Tasks(&tasks), "Scheduler.Tasks");

    // 1. List the tasks.
    LONG count = 0;
    Check(tasks->get_Count(&count), "Tasks.Count");
    std::printf("%ld task(s)\n", static_cast<long>(count));
    for (LONG i = 1; i <= count; ++i) {
        VARIANT key;
        VariantInit(&key);
        key.vt = VT_I4;
        key.lVal = i;
        _Task *task = nullptr;
        Check(tasks->get_Item(&key, &task), "Tasks.Item");
        BSTR name = nullptr, program = nullptr;
        Check(task->get_TaskName(&name), "Task.TaskName");
        Check(task->get_ApplicationName(&program), "Task.ApplicationName");
        std::printf("  %s  %s\n", Narrow(name).c_str(), Narrow(program).c_str());
        SysFreeString(name);
        SysFreeString(program);
        task->Release();
    }

    // 2. Add a weekly task: Mondays and Fridays at 09:30.
    BSTR name = SysAllocString(TEXT16("Example weekly (early-bound C++)"));
    VARIANT_BOOL exists = VARIANT_FALSE;
    Check(tasks->Exists(&name, &exists), "Tasks.Exists");
    if (exists) {
        VARIANT key;
        VariantInit(&key);
        key.vt = VT_BSTR;
        key.bstrVal = name;
        Check(tasks->Remove(&key), "Tasks.Remove");
    }
    _Task *task = nullptr;
    Check(tasks->Add(&name, &task), "Tasks.Add");
    BSTR program = SysAllocString(kProgram);
    Check(task->put_ApplicationName(program), "Task.ApplicationName");
    SysFreeString(program);
    _Triggers *triggers = nullptr;
    Check(task->get_Triggers(&triggers), "Task.Triggers");
    _Trigger *trigger = nullptr;
    Check(triggers->Add(&trigger), "Triggers.Add");
    Check(trigger->put_TriggerType(static_cast<TaskScheduler::TASK_TRIGGER_TYPE>(2)), "Trigger.TriggerType");  // weekly
    Check(trigger->put_WeeksInterval(1), "Trigger.WeeksInterval");
    Check(trigger->put_DaysOfTheWeek(static_cast<TaskScheduler::TASK_TRIGGER_DAY>(0x2 | 0x20)),
          "Trigger.DaysOfTheWeek");
    const DATE today = static_cast<DATE>(static_cast<long long>(Now()));
    Check(trigger->put_BeginDate(today), "Trigger.BeginDate");
    Check(trigger->put_StartTime(today + TimeOfDay(9, 30)), "Trigger.StartTime");
    Check(trigger->Update(), "Trigger.Update");
    CheckSave(task->Save());
    trigger->Release();

    // 3. Change the trigger: 10:15 instead.
    SHORT first = 1;
    Check(triggers->get_Item(&first, &trigger), "Triggers.Item");
    Check(trigger->put_StartTime(today + TimeOfDay(10, 15)), "Trigger.StartTime");
    Check(trigger->Update(), "Trigger.Update");
    CheckSave(task->Save());
    BSTR description = nullptr;
    if (SUCCEEDED(trigger->get_Description(&description))) std::printf("trigger: %s\n", Narrow(description).c_str());
    SysFreeString(description);
    trigger->Release();
    triggers->Release();

    // 4. The run times of the next week.
    DATE from = Now(), to = from + 7;
    SAFEARRAY *times = nullptr;
    LONG runs = 0;
    Check(task->GetRunTimes(&from, &to, &times, &runs), "Task.GetRunTimes");
    std::printf("%ld run(s) next week\n", static_cast<long>(runs));
    if (times) {
        DATE *data = nullptr;
        Check(SafeArrayAccessData(times, reinterpret_cast<void **>(&data)), "SafeArrayAccessData");
        for (LONG i = 0; i < runs; ++i) std::printf("  %s\n", DateText(data[i]).c_str());
        SafeArrayUnaccessData(times);
        SafeArrayDestroy(times);
    }

    // 5. Private data: four bytes in, the same four out.
    SAFEARRAY *block = SafeArrayCreateVector(VT_UI1, 0, 4);
    BYTE *bytes = nullptr;
    Check(SafeArrayAccessData(block, reinterpret_cast<void **>(&bytes)), "SafeArrayAccessData");
    bytes[0] = 1, bytes[1] = 2, bytes[2] = 3, bytes[3] = 250;
    SafeArrayUnaccessData(block);
    Check(task->put_WorkItemData(&block), "Task.WorkItemData");
    SafeArrayDestroy(block);
    CheckSave(task->Save());
    SAFEARRAY *back = nullptr;
    Check(task->get_WorkItemData(&back), "Task.WorkItemData");
    LONG upper = -1;
    SafeArrayGetUBound(back, 1, &upper);
    Check(SafeArrayAccessData(back, reinterpret_cast<void **>(&bytes)), "SafeArrayAccessData");
    const bool same = upper == 3 && bytes[3] == 250;
    std::printf("data: %ld bytes, last %u\n", static_cast<long>(upper + 1), upper >= 0 ? bytes[upper] : 0u);
    SafeArrayUnaccessData(back);
    SafeArrayDestroy(back);
    task->Release();
    if (!same) return 1;

    VARIANT key;
    VariantInit(&key);
    key.vt = VT_BSTR;
    key.bstrVal = name;
    Check(tasks->Remove(&key), "Tasks.Remove");
    SysFreeString(name);
    tasks->Release();
    scheduler->Release();
    std::printf("done\n");
    return 0;
}

}  // namespace

int main() {
    Check(CoInitialize(nullptr), "CoInitialize");
    const int code = Run();
    CoUninitialize();
    return code;
}
