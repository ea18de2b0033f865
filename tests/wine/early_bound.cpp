// An early-bound client of the registered velqosch.dll: what only a compiled
// client meets (the dual interface is the object's dispatch, the earlier
// trigger identifier, IErrorInfo, the module's lifetime); the members
// themselves are the script suites' to check.
//
//   early_bound [gtest flags] DLL_PATH [TLB_PATH]
#include "tests/wine/client.h"

using namespace TaskScheduler;
using namespace client;

namespace {

TEST(EarlyBound, DualInterfacesErrorRecordsAndTheEarlierTriggerIdentifier) {
    Ref<_Scheduler> scheduler;
    ASSERT_EQ(CoCreateInstance(CLSID_Scheduler, nullptr, CLSCTX_INPROC_SERVER, IID__Scheduler, &scheduler), S_OK);
    Ref<IDispatch> disp;
    ASSERT_EQ(scheduler->QueryInterface(IID_IDispatch, &disp), S_OK);
    Ref<IUnknown> a, b;
    scheduler->QueryInterface(IID_IUnknown, &a);
    disp->QueryInterface(IID_IUnknown, &b);
    EXPECT_EQ(a.Get(), b.Get());
    Ref<ITypeInfo> ti;
    ASSERT_EQ(disp->GetTypeInfo(0, 0, &ti), S_OK);
    TYPEATTR *ta = nullptr;
    ti->GetTypeAttr(&ta);
    EXPECT_TRUE(IsEqualGUID(ta->guid, IID__Scheduler));
    ti->ReleaseTypeAttr(ta);

    Ref<_Tasks> tasks;
    ASSERT_EQ(scheduler->get_Tasks(&tasks), S_OK);
    Str name(L"");  // a generated name; the task is never saved
    Ref<_Task> task;
    ASSERT_EQ(tasks->Add(&name.b, &task), S_OK);
    Ref<ISupportErrorInfo> support;
    ASSERT_EQ(task->QueryInterface(IID_ISupportErrorInfo, &support), S_OK);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID__Task), S_OK);
    EXPECT_EQ(task->put_ApplicationName(Str(L"").b), HRESULT(0x800A0005));
    EXPECT_EQ(TakeErrorInfo(), L"Velqo Task Scheduler|Application name must not be empty|velqosch.chm|9999");

    Ref<_Triggers> triggers;
    ASSERT_EQ(task->get_Triggers(&triggers), S_OK);
    Ref<_Trigger> trigger;
    ASSERT_EQ(triggers->Add(&trigger), S_OK);
    Ref<IUnknown> earlier;
    ASSERT_EQ(trigger->QueryInterface(IID_Trigger___v0, &earlier), S_OK);
    EXPECT_EQ(static_cast<void *>(earlier.Get()), static_cast<void *>(trigger.Get())) << "the earlier identifier";
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
        ASSERT_EQ(CoCreateInstance(CLSID_Scheduler, nullptr, CLSCTX_INPROC_SERVER, IID__Scheduler, &s), S_OK);
        EXPECT_EQ(can_unload(), S_FALSE);
    }
    EXPECT_EQ(can_unload(), S_OK);

    // A factory for the creatable class only.
    for (const auto &c : surface::kClasses) {
        if (c.creatable) continue;
        void *other = reinterpret_cast<void *>(1);
        EXPECT_TRUE(FAILED(get_class(c.clsid, IID_IClassFactory, &other))) << c.name;
        EXPECT_EQ(other, nullptr) << c.name;
    }
    FreeLibrary(m);
}

}  // namespace

int main(int argc, char **argv) { return client::Main(argc, argv, 1, "early_bound [gtest flags] DLL_PATH [TLB_PATH]"); }
