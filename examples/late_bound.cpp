// A late-bound C++ client: only IDispatch, members found by name as a script
// finds them. It lists the tasks, adds a weekly task, changes its trigger,
// prints next week's run times, stores and reads the private data, removes
// the task again and prints "done".
#include <initializer_list>
#include <vector>

#include "examples/common.h"

using namespace example;

namespace {

// Calls member `name` of `object`; `args` in the order of the member's
// parameters. A failure prints the error record and ends the example.
VARIANT Call(IDispatch *object, const OLECHAR *name, WORD flags, std::initializer_list<VARIANT> args = {}) {
    DISPID id = 0;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    Check(object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), "GetIDsOfNames");
    std::vector<VARIANT> reversed(args.begin(), args.end());  // Invoke takes the arguments last to first
    for (std::size_t i = 0; i < reversed.size() / 2; ++i) std::swap(reversed[i], reversed[reversed.size() - 1 - i]);
    DISPID put = DISPID_PROPERTYPUT;
    DISPPARAMS params{reversed.data(), flags == DISPATCH_PROPERTYPUT ? &put : nullptr,
                      static_cast<UINT>(reversed.size()), flags == DISPATCH_PROPERTYPUT ? 1u : 0u};
    VARIANT result;
    VariantInit(&result);
    EXCEPINFO error{};
    const HRESULT hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, &result, &error, nullptr);
    if (hr == DISP_E_EXCEPTION && error.scode == E_NOTIMPL && flags == DISPATCH_METHOD) {
        // Save under Wine: the file is written, then the service answers E_NOTIMPL.
    } else if (hr == DISP_E_EXCEPTION) {
        std::fprintf(stderr, "%s: error %ld from %s: %s\n", Narrow(const_cast<BSTR>(name)).c_str(),
                     static_cast<long>(error.scode ? error.scode : error.wCode), Narrow(error.bstrSource).c_str(),
                     Narrow(error.bstrDescription).c_str());
        std::exit(1);
    } else {
        Check(hr, "Invoke");
    }
    SysFreeString(error.bstrSource);
    SysFreeString(error.bstrDescription);
    SysFreeString(error.bstrHelpFile);
    return result;
}

VARIANT Long(LONG v) {
    VARIANT r;
    VariantInit(&r);
    r.vt = VT_I4;
    r.lVal = v;
    return r;
}
VARIANT Date(DATE v) {
    VARIANT r;
    VariantInit(&r);
    r.vt = VT_DATE;
    r.date = v;
    return r;
}
VARIANT Text(const OLECHAR *v) {  // the caller clears it
    VARIANT r;
    VariantInit(&r);
    r.vt = VT_BSTR;
    r.bstrVal = SysAllocString(v);
    return r;
}
VARIANT Ref(VARIANT *v) {
    VARIANT r;
    VariantInit(&r);
    r.vt = VT_VARIANT | VT_BYREF;
    r.pvarVal = v;
    return r;
}

int Run() {
    CLSID clsid;
    Check(CLSIDFromProgID(TEXT16("TaskScheduler.Scheduler"), &clsid), "CLSIDFromProgID");
    IDispatch *scheduler = nullptr;
    Check(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, reinterpret_cast<void **>(&scheduler)),
          "creating TaskScheduler.Scheduler");
    IDispatch *tasks = Call(scheduler, TEXT16("Tasks"), DISPATCH_PROPERTYGET).pdispVal;

    // 1. List the tasks.
    const LONG count = Call(tasks, TEXT16("Count"), DISPATCH_PROPERTYGET).lVal;
    std::printf("%ld task(s)\n", static_cast<long>(count));
    for (LONG i = 1; i <= count; ++i) {
        IDispatch *task = Call(tasks, TEXT16("Item"), DISPATCH_PROPERTYGET, {Long(i)}).pdispVal;
        VARIANT name = Call(task, TEXT16("TaskName"), DISPATCH_PROPERTYGET);
        VARIANT program = Call(task, TEXT16("ApplicationName"), DISPATCH_PROPERTYGET);
        std::printf("  %s  %s\n", Narrow(name.bstrVal).c_str(), Narrow(program.bstrVal).c_str());
        VariantClear(&name);
        VariantClear(&program);
        task->Release();
    }

    // 2. Add a weekly task: Mondays and Fridays at 09:30.
    VARIANT name = Text(TEXT16("Example weekly (late-bound C++)"));
    if (Call(tasks, TEXT16("Exists"), DISPATCH_METHOD, {name}).boolVal)
        Call(tasks, TEXT16("Remove"), DISPATCH_METHOD, {name});
    IDispatch *task = Call(tasks, TEXT16("Add"), DISPATCH_METHOD, {name}).pdispVal;
    VARIANT program = Text(kProgram);
    Call(task, TEXT16("ApplicationName"), DISPATCH_PROPERTYPUT, {program});
    VariantClear(&program);
    IDispatch *triggers = Call(task, TEXT16("Triggers"), DISPATCH_PROPERTYGET).pdispVal;
    IDispatch *trigger = Call(triggers, TEXT16("Add"), DISPATCH_METHOD).pdispVal;
    Call(trigger, TEXT16("TriggerType"), DISPATCH_PROPERTYPUT, {Long(2)});  // weekly
    Call(trigger, TEXT16("WeeksInterval"), DISPATCH_PROPERTYPUT, {Long(1)});
    Call(trigger, TEXT16("DaysOfTheWeek"), DISPATCH_PROPERTYPUT, {Long(0x2 | 0x20)});  // Monday, Friday
    const DATE today = static_cast<DATE>(static_cast<long long>(Now()));
    Call(trigger, TEXT16("BeginDate"), DISPATCH_PROPERTYPUT, {Date(today)});
    Call(trigger, TEXT16("StartTime"), DISPATCH_PROPERTYPUT, {Date(today + TimeOfDay(9, 30))});
    Call(trigger, TEXT16("Update"), DISPATCH_METHOD);
    Call(task, TEXT16("Save"), DISPATCH_METHOD);
    trigger->Release();

    // 3. Change the trigger: 10:15 instead.
    trigger = Call(triggers, TEXT16("Item"), DISPATCH_PROPERTYGET, {Long(1)}).pdispVal;
    Call(trigger, TEXT16("StartTime"), DISPATCH_PROPERTYPUT, {Date(today + TimeOfDay(10, 15))});
    Call(trigger, TEXT16("Update"), DISPATCH_METHOD);
    Call(task, TEXT16("Save"), DISPATCH_METHOD);
    VARIANT start = Call(trigger, TEXT16("StartTime"), DISPATCH_PROPERTYGET);
    std::printf("trigger starts %s\n", DateText(start.date).c_str());
    trigger->Release();
    triggers->Release();

    // 4. The run times of the next week: the array comes back in the by-reference argument.
    VARIANT times;
    VariantInit(&times);
    const LONG runs =
        Call(task, TEXT16("GetRunTimes"), DISPATCH_METHOD, {Date(Now()), Date(Now() + 7), Ref(&times)}).lVal;
    std::printf("%ld run(s) next week\n", static_cast<long>(runs));
    if ((times.vt & VT_ARRAY) && runs > 0) {
        DATE *data = nullptr;
        Check(SafeArrayAccessData(times.parray, reinterpret_cast<void **>(&data)), "SafeArrayAccessData");
        for (LONG i = 0; i < runs; ++i) std::printf("  %s\n", DateText(data[i]).c_str());
        SafeArrayUnaccessData(times.parray);
    }
    VariantClear(&times);

    // 5. Private data: four bytes in, the same four out.
    VARIANT block;
    VariantInit(&block);
    block.vt = VT_ARRAY | VT_UI1;
    block.parray = SafeArrayCreateVector(VT_UI1, 0, 4);
    BYTE *bytes = nullptr;
    Check(SafeArrayAccessData(block.parray, reinterpret_cast<void **>(&bytes)), "SafeArrayAccessData");
    bytes[0] = 1, bytes[1] = 2, bytes[2] = 3, bytes[3] = 250;
    SafeArrayUnaccessData(block.parray);
    Call(task, TEXT16("WorkItemData"), DISPATCH_PROPERTYPUT, {block});
    VariantClear(&block);
    Call(task, TEXT16("Save"), DISPATCH_METHOD);
    VARIANT back = Call(task, TEXT16("WorkItemData"), DISPATCH_PROPERTYGET);
    LONG upper = -1;
    if (back.vt == (VT_ARRAY | VT_UI1)) SafeArrayGetUBound(back.parray, 1, &upper);
    bool same = false;
    if (upper == 3) {
        Check(SafeArrayAccessData(back.parray, reinterpret_cast<void **>(&bytes)), "SafeArrayAccessData");
        same = bytes[0] == 1 && bytes[3] == 250;
        SafeArrayUnaccessData(back.parray);
    }
    std::printf("data: %ld bytes\n", static_cast<long>(upper + 1));
    VariantClear(&back);
    task->Release();
    if (!same) return 1;

    Call(tasks, TEXT16("Remove"), DISPATCH_METHOD, {name});
    VariantClear(&name);
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
