// An early-bound client of the registered velqosch.dll: the dual interfaces
// of component/surface.h through CoCreateInstance, against the platform's
// Task Scheduler service, and the error information that comes with a
// failing call.
//
//   early_bound [gtest flags] DLL_PATH [TLB_PATH]
#include <gtest/gtest.h>

#include <string>

#include "component/surface.h"

using namespace TaskScheduler;

namespace {

std::wstring g_dll;

std::wstring Take(BSTR b) {
    std::wstring r = b ? std::wstring(b, SysStringLen(b)) : std::wstring();
    SysFreeString(b);
    return r;
}

// An owned BSTR that a by-reference parameter can write to.
struct Str {
    BSTR b;
    explicit Str(const wchar_t *s) : b(SysAllocString(s)) {}
    Str(const Str &) = delete;
    Str &operator=(const Str &) = delete;
    ~Str() { SysFreeString(b); }
    std::wstring text() const { return b ? std::wstring(b, SysStringLen(b)) : std::wstring(); }
};

template <typename T>
struct Ref {
    T *p = nullptr;
    Ref() = default;
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    ~Ref() { reset(); }
    void reset() {
        if (p) p->Release();
        p = nullptr;
    }
    T *operator->() const { return p; }
    T **operator&() {
        reset();
        return &p;
    }
    explicit operator bool() const { return p != nullptr; }
};

struct ErrorRecord {
    bool present = false;
    std::wstring source, description, helpfile;
    DWORD context = 0;
};

// The thread's error information, taken (GetErrorInfo clears it).
ErrorRecord TakeErrorInfo() {
    ErrorRecord r;
    IErrorInfo *info = nullptr;
    if (GetErrorInfo(0, &info) != S_OK || !info) return r;
    r.present = true;
    BSTR b = nullptr;
    info->GetSource(&b);
    r.source = Take(b);
    b = nullptr;
    info->GetDescription(&b);
    r.description = Take(b);
    b = nullptr;
    info->GetHelpFile(&b);
    r.helpfile = Take(b);
    info->GetHelpContext(&r.context);
    info->Release();
    return r;
}

std::wstring BaseName(const std::wstring &path) { return path.substr(path.find_last_of(L"\\/") + 1); }

class EarlyBound : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(CoCreateInstance(CLSID_Scheduler, nullptr, CLSCTX_INPROC_SERVER, IID__Scheduler,
                                   reinterpret_cast<void **>(&scheduler_)),
                  S_OK);
        ASSERT_EQ(scheduler_->get_Tasks(&tasks_), S_OK);
        ASSERT_TRUE(tasks_);
    }
    void TearDown() override {
        // Tasks that a test added go again, from the service too.
        for (const std::wstring &name : added_) {
            VARIANT key;
            V_VT(&key) = VT_BSTR;
            V_BSTR(&key) = SysAllocString(name.c_str());
            tasks_->Remove(&key);
            VariantClear(&key);
            std::wstring file = WindowsDirectory() + L"\\Tasks\\" + name + L".job";
            DeleteFileW(file.c_str());
        }
    }

    static std::wstring WindowsDirectory() {
        wchar_t buf[MAX_PATH] = {};
        GetWindowsDirectoryW(buf, MAX_PATH);
        return buf;
    }

    // Adds a task under `name` (empty: a generated one, returned).
    std::wstring AddTask(const wchar_t *name, Ref<_Task> &task) {
        Str n(name);
        HRESULT hr = tasks_->Add(&n.b, &task);
        EXPECT_EQ(hr, S_OK);
        if (SUCCEEDED(hr)) added_.push_back(n.text());
        return n.text();
    }

    LONG Count() {
        LONG n = -1;
        EXPECT_EQ(tasks_->get_Count(&n), S_OK);
        return n;
    }

    bool Exists(const std::wstring &name) {
        Str n(name.c_str());
        VARIANT_BOOL b = 1;
        EXPECT_EQ(tasks_->Exists(&n.b, &b), S_OK);
        EXPECT_TRUE(b == VARIANT_TRUE || b == VARIANT_FALSE);
        return b == VARIANT_TRUE;
    }

    Ref<_Scheduler> scheduler_;
    Ref<_Tasks> tasks_;
    std::vector<std::wstring> added_;
};

TEST_F(EarlyBound, OnlySchedulerCanBeCreated) {
    for (const auto &c : surface::kClasses) {
        IUnknown *obj = reinterpret_cast<IUnknown *>(1);
        HRESULT hr =
            CoCreateInstance(c.clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, reinterpret_cast<void **>(&obj));
        if (c.creatable) {
            EXPECT_EQ(hr, S_OK) << c.name;
            if (SUCCEEDED(hr)) obj->Release();
        } else {
            EXPECT_TRUE(FAILED(hr)) << c.name;
            EXPECT_EQ(obj, nullptr) << c.name;
        }
    }
}

TEST_F(EarlyBound, DualInterfaceIsTheDispatchInterface) {
    Ref<IDispatch> disp;
    ASSERT_EQ(scheduler_->QueryInterface(IID_IDispatch, reinterpret_cast<void **>(&disp)), S_OK);
    Ref<IUnknown> a, b;
    scheduler_->QueryInterface(IID_IUnknown, reinterpret_cast<void **>(&a));
    disp->QueryInterface(IID_IUnknown, reinterpret_cast<void **>(&b));
    EXPECT_EQ(a.p, b.p);
    UINT count = 0;
    EXPECT_EQ(disp->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    Ref<ITypeInfo> ti;
    ASSERT_EQ(disp->GetTypeInfo(0, 0, &ti), S_OK);
    TYPEATTR *ta = nullptr;
    ti->GetTypeAttr(&ta);
    EXPECT_TRUE(IsEqualGUID(ta->guid, IID__Scheduler));
    ti->ReleaseTypeAttr(ta);
}

TEST_F(EarlyBound, AddUnderAGivenAndAGeneratedNameExistsAndRemove) {
    LONG before = Count();
    Ref<_Task> given, generated;
    AddTask(L"velqo early bound", given);
    std::wstring name = AddTask(L"", generated);
    EXPECT_FALSE(name.empty()) << "the generated name is written back";
    EXPECT_EQ(Count(), before + 2);
    EXPECT_TRUE(Exists(L"VELQO EARLY BOUND")) << "keys ignore letter case";
    EXPECT_TRUE(Exists(name));
    EXPECT_FALSE(Exists(L"velqo no such task"));
    EXPECT_FALSE(TakeErrorInfo().present) << "Exists of a missing name raises nothing";

    Str task_name(nullptr);
    ASSERT_EQ(generated->get_TaskName(&task_name.b), S_OK);
    EXPECT_EQ(task_name.text(), name);

    VARIANT key;
    V_VT(&key) = VT_BSTR;
    V_BSTR(&key) = SysAllocString(L"velqo early bound");
    Ref<_Task> found;
    ASSERT_EQ(tasks_->get_Item(&key, &found), S_OK);
    EXPECT_EQ(found.p, given.p);
    // Remove deletes the item's file: it must have one. (Wine's service writes
    // it and then answers SaveCompleted with E_NOTIMPL.)
    ASSERT_EQ(given->put_ApplicationName(Str(L"notepad.exe").b), S_OK);
    const HRESULT saved = given->Save();
    EXPECT_TRUE(saved == S_OK || saved == E_NOTIMPL) << std::hex << saved;
    ASSERT_EQ(tasks_->Remove(&key), S_OK);
    VariantClear(&key);
    EXPECT_FALSE(Exists(L"velqo early bound"));
    EXPECT_EQ(Count(), before + 1);
}

TEST_F(EarlyBound, MissingKeyIsError5) {
    VARIANT key;
    V_VT(&key) = VT_BSTR;
    V_BSTR(&key) = SysAllocString(L"velqo no such task");
    _Task *task = reinterpret_cast<_Task *>(1);
    EXPECT_EQ(tasks_->get_Item(&key, &task), HRESULT(0x800A0005));
    VariantClear(&key);
    TakeErrorInfo();
}

TEST_F(EarlyBound, EmptyApplicationNameRaisesTheComponentsError) {
    Ref<_Task> task;
    AddTask(L"", task);
    ASSERT_TRUE(task);
    Ref<ISupportErrorInfo> support;
    ASSERT_EQ(task->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void **>(&support)), S_OK);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID__Task), S_OK);

    Str app(L"notepad.exe");
    ASSERT_EQ(task->put_ApplicationName(app.b), S_OK);
    Str empty(L"");
    EXPECT_EQ(task->put_ApplicationName(empty.b), HRESULT(0x800A0005));
    ErrorRecord e = TakeErrorInfo();
    ASSERT_TRUE(e.present);
    EXPECT_EQ(e.source, L"Velqo Task Scheduler");
    EXPECT_EQ(e.description, L"Application name must not be empty");
    EXPECT_EQ(BaseName(e.helpfile), L"velqosch.chm");
    EXPECT_EQ(e.context, 9999u);

    Str now(nullptr);
    ASSERT_EQ(task->get_ApplicationName(&now.b), S_OK);
    EXPECT_NE(now.text().find(L"notepad.exe"), std::wstring::npos) << "the failed put changed nothing";
}

TEST_F(EarlyBound, TriggerErrorsAndTheEarlierTriggerIdentifier) {
    Ref<_Task> task;
    AddTask(L"", task);
    ASSERT_TRUE(task);
    Ref<_Triggers> triggers;
    ASSERT_EQ(task->get_Triggers(&triggers), S_OK);
    Ref<_Trigger> trigger;
    ASSERT_EQ(triggers->Add(&trigger), S_OK);
    SHORT index = -2;
    ASSERT_EQ(trigger->get_Index(&index), S_OK);
    EXPECT_EQ(index, 0);

    Ref<IUnknown> earlier;
    ASSERT_EQ(trigger->QueryInterface(IID_Trigger___v0, reinterpret_cast<void **>(&earlier)), S_OK);
    EXPECT_EQ(static_cast<void *>(earlier.p), static_cast<void *>(trigger.p));

    ASSERT_EQ(trigger->put_TriggerType(static_cast<TaskScheduler::TASK_TRIGGER_TYPE>(2)), S_OK);  // weekly
    EXPECT_EQ(trigger->put_DaysOfTheMonth(1), HRESULT(0x800A0005));
    ErrorRecord e = TakeErrorInfo();
    EXPECT_EQ(e.source, L"Velqo Task Scheduler");
    EXPECT_EQ(e.description, L"Invalid property assignment");
    EXPECT_EQ(BaseName(e.helpfile), L"velqosch.chm");
    EXPECT_EQ(e.context, 0u);

    SHORT zero = 0;
    EXPECT_EQ(triggers->Remove(&zero), HRESULT(0x800A0005));
    e = TakeErrorInfo();
    EXPECT_EQ(e.source, L"Velqo Task Scheduler");
    EXPECT_EQ(e.description, L"Invalid Trigger Index");
    EXPECT_EQ(e.helpfile, L"");
    EXPECT_EQ(e.context, 0u);
    LONG n = 0;
    EXPECT_EQ(triggers->get_Count(&n), S_OK);
    EXPECT_EQ(n, 1);
}

TEST_F(EarlyBound, ServiceFailurePassesThroughUnchanged) {
    // Wine's service targets only the local computer and refuses any other name with ERROR_BAD_NETPATH.
    Str remote(L"\\\\velqo-no-such-host");
    EXPECT_EQ(scheduler_->put_Computer(&remote.b), HRESULT_FROM_WIN32(ERROR_BAD_NETPATH));
    TakeErrorInfo();
    Str local(L"");
    EXPECT_EQ(scheduler_->put_Computer(&local.b), S_OK);
}

TEST_F(EarlyBound, SaveWritesTheJobFileAndANewSchedulerReadsIt) {
    Ref<_Task> task;
    std::wstring name = AddTask(L"velqo saved", task);
    Str app(L"C:\\windows\\notepad.exe"), comment(L"written by early_bound");
    ASSERT_EQ(task->put_ApplicationName(app.b), S_OK);
    ASSERT_EQ(task->put_Comment(comment.b), S_OK);
    ASSERT_EQ(task->put_MaxRunTime(120000), S_OK);
    HRESULT hr = task->Save();
    // Wine's service writes the file, then answers SaveCompleted with E_NOTIMPL.
    EXPECT_TRUE(hr == S_OK || hr == E_NOTIMPL) << std::hex << hr;
    TakeErrorInfo();
    std::wstring file = WindowsDirectory() + L"\\Tasks\\" + name + L".job";
    ASSERT_NE(GetFileAttributesW(file.c_str()), INVALID_FILE_ATTRIBUTES) << "no job file";

    Ref<_Scheduler> other;
    ASSERT_EQ(CoCreateInstance(CLSID_Scheduler, nullptr, CLSCTX_INPROC_SERVER, IID__Scheduler,
                               reinterpret_cast<void **>(&other)),
              S_OK);
    Ref<_Tasks> list;
    ASSERT_EQ(other->get_Tasks(&list), S_OK);
    VARIANT key;
    V_VT(&key) = VT_BSTR;
    V_BSTR(&key) = SysAllocString(name.c_str());
    Ref<_Task> loaded;
    ASSERT_EQ(list->get_Item(&key, &loaded), S_OK);
    VariantClear(&key);
    Str got_comment(nullptr), got_app(nullptr);
    EXPECT_EQ(loaded->get_Comment(&got_comment.b), S_OK);
    EXPECT_EQ(got_comment.text(), comment.text());
    EXPECT_EQ(loaded->get_ApplicationName(&got_app.b), S_OK);
    EXPECT_EQ(got_app.text(), app.text());
    LONG max = 0;
    EXPECT_EQ(loaded->get_MaxRunTime(&max), S_OK);
    EXPECT_EQ(max, 120000);
}

// Late-bound through the same object: a missing key in the default member comes back in the EXCEPINFO.
TEST_F(EarlyBound, DispatchReportsTheErrorInExcepinfo) {
    Ref<IDispatch> disp;
    ASSERT_EQ(tasks_->QueryInterface(IID_IDispatch, reinterpret_cast<void **>(&disp)), S_OK);
    VARIANT arg, result;
    V_VT(&arg) = VT_BSTR;
    V_BSTR(&arg) = SysAllocString(L"velqo no such task");
    VariantInit(&result);
    DISPPARAMS params = {&arg, nullptr, 1, 0};
    EXCEPINFO ei = {};
    UINT bad = 0;
    HRESULT hr =
        disp->Invoke(DISPID_VALUE, IID_NULL, 0, DISPATCH_PROPERTYGET | DISPATCH_METHOD, &params, &result, &ei, &bad);
    EXPECT_EQ(hr, DISP_E_EXCEPTION);
    EXPECT_TRUE(ei.scode == HRESULT(0x800A0005) || ei.wCode == 5) << std::hex << ei.scode << " " << ei.wCode;
    SysFreeString(ei.bstrSource);
    SysFreeString(ei.bstrDescription);
    SysFreeString(ei.bstrHelpFile);
    VariantClear(&arg);
    VariantClear(&result);
    TakeErrorInfo();
}

TEST(Module, CanUnloadOnlyWhenNothingIsAlive) {
    HMODULE m = LoadLibraryW(g_dll.c_str());
    ASSERT_NE(m, nullptr);
    auto can_unload =
        reinterpret_cast<HRESULT(STDAPICALLTYPE *)()>(reinterpret_cast<void *>(GetProcAddress(m, "DllCanUnloadNow")));
    auto get_class = reinterpret_cast<HRESULT(STDAPICALLTYPE *)(REFCLSID, REFIID, void **)>(
        reinterpret_cast<void *>(GetProcAddress(m, "DllGetClassObject")));
    ASSERT_TRUE(can_unload && get_class);
    EXPECT_EQ(can_unload(), S_OK);
    {
        Ref<_Scheduler> s;
        ASSERT_EQ(CoCreateInstance(CLSID_Scheduler, nullptr, CLSCTX_INPROC_SERVER, IID__Scheduler,
                                   reinterpret_cast<void **>(&s)),
                  S_OK);
        EXPECT_EQ(can_unload(), S_FALSE);
    }
    EXPECT_EQ(can_unload(), S_OK);

    // A factory for Scheduler only; a locked factory keeps the module.
    Ref<IClassFactory> factory;
    ASSERT_EQ(get_class(CLSID_Scheduler, IID_IClassFactory, reinterpret_cast<void **>(&factory)), S_OK);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    factory.reset();
    EXPECT_EQ(can_unload(), S_FALSE);
    ASSERT_EQ(get_class(CLSID_Scheduler, IID_IClassFactory, reinterpret_cast<void **>(&factory)), S_OK);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    factory.reset();
    EXPECT_EQ(can_unload(), S_OK);
    for (const auto &c : surface::kClasses) {
        if (c.creatable) continue;
        void *other = reinterpret_cast<void *>(1);
        EXPECT_TRUE(FAILED(get_class(c.clsid, IID_IClassFactory, &other))) << c.name;
        EXPECT_EQ(other, nullptr) << c.name;
    }
    FreeLibrary(m);
}

}  // namespace

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: early_bound [gtest flags] DLL_PATH [TLB_PATH]\n");
        return 2;
    }
    for (const char *s = argv[1]; *s; ++s) g_dll += static_cast<wchar_t>(*s);
    if (FAILED(CoInitialize(nullptr))) return 2;
    int rc = RUN_ALL_TESTS();
    CoUninitialize();
    return rc;
}
