// An early-bound client of the registered velqosch.dll: the dual interfaces
// of component/surface.h through CoCreateInstance, against the platform's
// Task Scheduler service, and the error information of a failing call.
//
//   early_bound [gtest flags] DLL_PATH [TLB_PATH]
#include <vector>

#include "tests/wine/client.h"

using namespace TaskScheduler;
using namespace client;

namespace {

const HRESULT kError5 = HRESULT(0x800A0005);

class EarlyBound : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(CoCreateInstance(CLSID_Scheduler, nullptr, CLSCTX_INPROC_SERVER, IID__Scheduler, scheduler_.out()),
                  S_OK);
        ASSERT_EQ(scheduler_->get_Tasks(&tasks_), S_OK);
    }
    void TearDown() override {
        // Tasks that a test added go again, from the service too.
        for (const std::wstring &name : added_) {
            Key key(name.c_str());
            tasks_->Remove(&key.v);
        }
        TakeErrorInfo();
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

    bool Exists(const wchar_t *name) {
        Str n(name);
        VARIANT_BOOL b = 1;
        EXPECT_EQ(tasks_->Exists(&n.b, &b), S_OK);
        EXPECT_TRUE(b == VARIANT_TRUE || b == VARIANT_FALSE);
        return b == VARIANT_TRUE;
    }

    Ref<_Scheduler> scheduler_;
    Ref<_Tasks> tasks_;
    std::vector<std::wstring> added_;
};

TEST_F(EarlyBound, TheDualInterfaceIsTheDispatchOfTheObject) {
    Ref<IDispatch> disp;
    ASSERT_EQ(scheduler_->QueryInterface(IID_IDispatch, disp.out()), S_OK);
    Ref<IUnknown> a, b;
    scheduler_->QueryInterface(IID_IUnknown, a.out());
    disp->QueryInterface(IID_IUnknown, b.out());
    EXPECT_EQ(a.p, b.p);
    Ref<ITypeInfo> ti;
    ASSERT_EQ(disp->GetTypeInfo(0, 0, &ti), S_OK);
    TYPEATTR *ta = nullptr;
    ti->GetTypeAttr(&ta);
    EXPECT_TRUE(IsEqualGUID(ta->guid, IID__Scheduler));
    ti->ReleaseTypeAttr(ta);
}

TEST_F(EarlyBound, AddWritesAGeneratedNameBackAndRemoveDeletesTheItem) {
    LONG before = Count();
    Ref<_Task> given, generated;
    AddTask(L"velqo early bound", given);
    std::wstring name = AddTask(L"", generated);
    EXPECT_FALSE(name.empty()) << "the generated name is written back";
    EXPECT_EQ(Count(), before + 2);
    EXPECT_TRUE(Exists(L"VELQO EARLY BOUND")) << "keys ignore letter case";
    EXPECT_TRUE(Exists(name.c_str()));
    EXPECT_FALSE(Exists(L"velqo no such task"));
    EXPECT_EQ(TakeErrorInfo(), L"none") << "Exists of a missing name raises nothing";

    Key key(L"velqo early bound"), missing(L"velqo no such task");
    Ref<_Task> found;
    ASSERT_EQ(tasks_->get_Item(&key.v, &found), S_OK);
    EXPECT_EQ(found.p, given.p);
    EXPECT_EQ(tasks_->get_Item(&missing.v, &found), kError5);
    EXPECT_EQ(found.p, nullptr);
    TakeErrorInfo();
    // Remove deletes the item's file: it must have one. (Wine's service writes
    // it and then answers SaveCompleted with E_NOTIMPL.)
    ASSERT_EQ(given->put_ApplicationName(Str(L"notepad.exe").b), S_OK);
    const HRESULT saved = given->Save();
    EXPECT_TRUE(saved == S_OK || saved == E_NOTIMPL) << std::hex << saved;
    ASSERT_EQ(tasks_->Remove(&key.v), S_OK);
    EXPECT_FALSE(Exists(L"velqo early bound"));
    EXPECT_EQ(Count(), before + 1);
}

// The component's own errors, with their whole error records, through IErrorInfo.
TEST_F(EarlyBound, ErrorsComeWithTheirRecords) {
    Ref<_Task> task;
    AddTask(L"", task);
    ASSERT_TRUE(task);
    Ref<ISupportErrorInfo> support;
    ASSERT_EQ(task->QueryInterface(IID_ISupportErrorInfo, support.out()), S_OK);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID__Task), S_OK);
    ASSERT_EQ(task->put_ApplicationName(Str(L"notepad.exe").b), S_OK);
    EXPECT_EQ(task->put_ApplicationName(Str(L"").b), kError5);
    EXPECT_EQ(TakeErrorInfo(), L"Velqo Task Scheduler|Application name must not be empty|velqosch.chm|9999");
    Str now(nullptr);
    ASSERT_EQ(task->get_ApplicationName(&now.b), S_OK);
    EXPECT_NE(now.text().find(L"notepad.exe"), std::wstring::npos) << "the failed put changed nothing";

    Ref<_Triggers> triggers;
    ASSERT_EQ(task->get_Triggers(&triggers), S_OK);
    Ref<_Trigger> trigger;
    ASSERT_EQ(triggers->Add(&trigger), S_OK);
    Ref<IUnknown> earlier;
    ASSERT_EQ(trigger->QueryInterface(IID_Trigger___v0, earlier.out()), S_OK);
    EXPECT_EQ(static_cast<void *>(earlier.p), static_cast<void *>(trigger.p)) << "the earlier identifier";
    ASSERT_EQ(trigger->put_TriggerType(static_cast<TaskScheduler::TASK_TRIGGER_TYPE>(2)), S_OK);  // weekly
    EXPECT_EQ(trigger->put_DaysOfTheMonth(1), kError5);
    EXPECT_EQ(TakeErrorInfo(), L"Velqo Task Scheduler|Invalid property assignment|velqosch.chm|0");
    SHORT zero = 0;
    EXPECT_EQ(triggers->Remove(&zero), kError5);
    EXPECT_EQ(TakeErrorInfo(), L"Velqo Task Scheduler|Invalid Trigger Index||0");

    // A service failure passes through unchanged: Wine's service refuses another computer.
    Str remote(L"\\\\velqo-no-such-host"), local(L"");
    EXPECT_EQ(scheduler_->put_Computer(&remote.b), HRESULT_FROM_WIN32(ERROR_BAD_NETPATH));
    TakeErrorInfo();
    EXPECT_EQ(scheduler_->put_Computer(&local.b), S_OK);
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
        ASSERT_EQ(CoCreateInstance(CLSID_Scheduler, nullptr, CLSCTX_INPROC_SERVER, IID__Scheduler, s.out()), S_OK);
        EXPECT_EQ(can_unload(), S_FALSE);
    }
    EXPECT_EQ(can_unload(), S_OK);

    // A factory for Scheduler only; a locked factory keeps the module.
    Ref<IClassFactory> factory;
    ASSERT_EQ(get_class(CLSID_Scheduler, IID_IClassFactory, factory.out()), S_OK);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    factory.reset();
    EXPECT_EQ(can_unload(), S_FALSE);
    ASSERT_EQ(get_class(CLSID_Scheduler, IID_IClassFactory, factory.out()), S_OK);
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

int main(int argc, char **argv) { return client::Main(argc, argv, 1, "early_bound [gtest flags] DLL_PATH [TLB_PATH]"); }
