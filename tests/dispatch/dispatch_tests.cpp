// Late binding of the five classes, driven only through IDispatch, against
// the runtime's own service in a private store: names, coercion and the
// refusals at an argument's position, by-reference write-back, default
// members, the enumerator, errors in EXCEPINFO and IErrorInfo, and every
// failed allocation of a call.
#include <cstring>
#include <string>

#include "common/store.h"
#include "component/objects.h"
#include "late.h"
#include "runtime/runtime_test_support.h"

extern "C" HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID *ppv);

using namespace late;
using velqosch::ComRef;

namespace {

class Dispatch : public test_store::Store {
protected:
    void SetUp() override {
        Store::SetUp();
        ComRef<IClassFactory> factory;
        ASSERT_EQ(DllGetClassObject(TaskScheduler::CLSID_Scheduler, IID_IClassFactory,
                                    reinterpret_cast<void **>(factory.Out())),
                  S_OK);
        ASSERT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void **>(scheduler.Out())), S_OK);
        tasks = Child(scheduler.get(), u"Tasks");
    }
    void TearDown() override {
        scheduler = tasks = nullptr;
        Store::TearDown();
    }
    static ComRef<IDispatch> Child(IDispatch *parent, const char16_t *name, std::vector<Var> args = {}) {
        Call c = Invoke(parent, name, kCall, std::move(args));
        EXPECT_EQ(c.hr, S_OK) << std::hex << c.hr;
        return ComRef<IDispatch>::Share(c.result.disp());
    }
    ComRef<IDispatch> AddTask(const char16_t *name) { return Child(tasks.get(), u"Add", {Var::Str(name)}); }
    std::u16string NameOf(IDispatch *task) { return Invoke(task, u"TaskName", kGet).result.str(); }

    ComRef<IDispatch> scheduler, tasks;
};

// Members are found by name without regard to letter case; a member's
// parameters are named after it, counted from 0.
TEST_F(Dispatch, NamesGiveTheTableIdentifiers) {
    ComRef<IDispatch> task = AddTask(u"Names");
    EXPECT_EQ(IdOf(task.get(), u"FLAGS"), 0x68030001);
    EXPECT_EQ(IdOf(task.get(), u"mostrecentRUNTIME"), 0x68030011);
    EXPECT_EQ(IdsOf(task.get(), {u"NoSuchMember", u"x"}), std::pair(DISP_E_UNKNOWNNAME, std::vector<DISPID>{-1, -1}));
    EXPECT_EQ(IdsOf(tasks.get(), {u"Clone", u"newtaskname", u"ExistingTaskName", u"Bogus"}),
              std::pair(DISP_E_UNKNOWNNAME, std::vector<DISPID>{0x60030008, 1, 0, -1}));
    LPOLESTR name[] = {const_cast<LPOLESTR>(u"Save")};
    DISPID id = 0;
    EXPECT_EQ(task->GetIDsOfNames(IID_IDispatch, name, 1, 0, &id), DISP_E_UNKNOWNINTERFACE);
    EXPECT_EQ(task->GetIDsOfNames(IID_NULL, nullptr, 1, 0, &id), E_INVALIDARG);
    EXPECT_EQ(task->GetIDsOfNames(IID_NULL, name, 1, 0, nullptr), E_INVALIDARG);
}

// One call per row: the arguments are coerced to the member's types as
// automation does, or refused with the argument's position; a put that
// succeeds is read back.
TEST_F(Dispatch, CoercionsAndRefusalsAtTheArgumentsPosition) {
    ComRef<IDispatch> task = AddTask(u"Coerce"), trigger = Child(Child(task.get(), u"Triggers").get(), u"Add");
    struct Row {
        IDispatch *object;
        const char16_t *member;
        WORD flags;
        std::vector<Var> args;
        HRESULT hr;
        UINT argErr;                     // when the call fails
        Var back;                        // what a get returns after a successful put
        std::vector<DISPID> named = {};  // the named parameters among the first arguments
    };
    const Row rows[] = {
        {task.get(), u"ApplicationName", kPut, {Var::Str(u"/bin/true")}, S_OK, 0, Var::Str(u"/bin/true")},
        {task.get(), u"Comment", kPut, {Var::Str(u"copied")}, S_OK, 0, Var::Str(u"copied")},
        {task.get(), u"Creator", kPut, {Var::Str(u"me")}, S_OK, 0, Var::Str(u"me")},
        {task.get(), u"IdleWaitMinutes", kPut, {Var::I4(12)}, S_OK, 0, Var::I2(12)},
        {task.get(), u"IdleWaitMinutes", kPut, {Var::Str(u"34")}, S_OK, 0, Var::I2(34)},
        {task.get(), u"Priority", kPut, {Var::I2(HIGH_PRIORITY_CLASS)}, S_OK, 0, Var::I4(HIGH_PRIORITY_CLASS)},
        {trigger.get(), u"BeginDate", kPut, {Var::Str(u"2026-12-07")}, S_OK, 0, Var::Date(46363.0)},
        {trigger.get(), u"IsDirty", kGet, {}, S_OK, 0, Var::Of(VT_BOOL, [](VARIANT &v) { v.boolVal = VARIANT_TRUE; })},
        {tasks.get(), u"Count", kGet, {}, S_OK, 0, Var::I4(1)},
        {task.get(), u"IdleWaitMinutes", kPut, {Var::I4(70000)}, DISP_E_OVERFLOW, 0, {}},
        {task.get(), u"MaxRunTime", kPut, {Var::Str(u"soon")}, DISP_E_TYPEMISMATCH, 0, {}},
        {tasks.get(), u"Clone", kCall, {Var::Str(u"Coerce"), Var::Missing()}, DISP_E_PARAMNOTOPTIONAL, 0, {}},
        {tasks.get(), u"Clone", kCall, {Var::Missing(), Var::Str(u"x")}, DISP_E_PARAMNOTOPTIONAL, 1, {}},
        {tasks.get(), u"Clone", kCall, {Var::Str(u"Coerce")}, DISP_E_BADPARAMCOUNT, ~0u, {}},
        {tasks.get(), u"Count", kGet, {Var::I4(1)}, DISP_E_BADPARAMCOUNT, ~0u, {}},
        {tasks.get(), u"Exists", kCall, {}, DISP_E_BADPARAMCOUNT, ~0u, {}},
        {tasks.get(), u"Exists", kCall, {Var::Ref(VT_VARIANT, nullptr)}, E_POINTER, 0, {}},
        {tasks.get(), u"Item", kCall, {Var::Ref(VT_I4, nullptr)}, E_POINTER, 0, {}},
        {scheduler.get(), u"Tasks", kPut, {Var::I4(1)}, DISP_E_MEMBERNOTFOUND, ~0u, {}},
        {task.get(), u"Status", kPut, {Var::I4(1)}, DISP_E_MEMBERNOTFOUND, ~0u, {}},
        {task.get(), u"Save", kGet, {}, DISP_E_MEMBERNOTFOUND, ~0u, {}},  // a method is not a property
        {task.get(), u"NoSuchMember", kGet, {}, DISP_E_MEMBERNOTFOUND, ~0u, {}},
        // Named arguments: Clone NewTaskName:="Copy", ExistingTaskName:="Coerce", ones it does not have, one left out.
        {tasks.get(), u"Clone", kCall, {Var::Str(u"Copy"), Var::Str(u"Coerce")}, S_OK, 0, {}, {1, 0}},
        {tasks.get(), u"Clone", kCall, {Var::Str(u"Coerce"), Var::Str(u"Copy")}, DISP_E_PARAMNOTFOUND, 0, {}, {7}},
        {tasks.get(), u"Clone", kCall, {Var::Str(u"Coerce"), Var::Str(u"Copy")}, DISP_E_PARAMNOTFOUND, 1, {}, {1, 1}},
        {tasks.get(), u"Clone", kCall, {Var::Str(u"Copy")}, DISP_E_PARAMNOTOPTIONAL, ~0u, {}, {1}},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(&r - rows);
        Call c = InvokeId(r.object, IdOf(r.object, r.member), r.flags, r.args, false, r.named);
        EXPECT_EQ(c.hr, r.hr);
        EXPECT_EQ(c.argErr, FAILED(r.hr) ? r.argErr : ~0u);
        if (FAILED(r.hr) || r.back.vt() == VT_EMPTY) continue;
        Call get = r.flags == kPut ? Invoke(r.object, r.member, kGet) : std::move(c);
        EXPECT_TRUE(Same(get.result, r.back)) << get.result.vt();
    }
    // Malformed calls are refused without touching the object.
    DISPPARAMS none{nullptr, nullptr, 0, 0}, noArray{nullptr, nullptr, 1, 0};
    Var result, value = Var::I4(5);
    DISPID wrongName = 0;
    DISPPARAMS misnamed{value.get(), &wrongName, 1, 1};
    UINT argErr = 99;
    const DISPID status = IdOf(task.get(), u"Status");
    EXPECT_EQ(
        (Results{task->Invoke(DISPID_VALUE, IID_NULL, 0, kGet, &none, result.get(), nullptr, nullptr),  // no default
                 task->Invoke(status, IID_IDispatch, 0, kGet, &none, result.get(), nullptr, nullptr),
                 task->Invoke(status, IID_NULL, 0, kGet, nullptr, result.get(), nullptr, nullptr),
                 task->Invoke(status, IID_NULL, 0, kGet, &noArray, result.get(), nullptr, nullptr), result.vt(),
                 task->Invoke(IdOf(task.get(), u"MaxRunTime"), IID_NULL, 0, kPut, &misnamed, nullptr, nullptr, &argErr),
                 argErr}),
        (Results{DISP_E_MEMBERNOTFOUND, DISP_E_UNKNOWNINTERFACE, E_INVALIDARG, E_INVALIDARG, VT_EMPTY,
                 DISP_E_PARAMNOTFOUND, 0}));
    ComRef<IDispatch> copy = Child(tasks.get(), u"Item", {Var::Str(u"Copy")});  // the named Clone's
    EXPECT_EQ(
        Invoke(copy.get(), u"ApplicationName", kGet).result.str() + Invoke(copy.get(), u"Comment", kGet).result.str(),
        u"/bin/truecopied");
}

// By-reference parameters passed as a script passes a variable
// (VT_BYREF|VT_VARIANT): the caller's converted variable takes the member's
// value back only where the member assigns it (the generated names of Add and
// Clone, the name SaveAs completes, run times actually returned).
TEST_F(Dispatch, ConvertedByReferenceArgumentsComeBackOnlyWhereTheMemberAssignsThem) {
    ComRef<IDispatch> task = AddTask(u"100"), triggers = Child(task.get(), u"Triggers");
    ComRef<IDispatch> trigger = Child(triggers.get(), u"Add");
    ASSERT_EQ(Invoke(task.get(), u"ApplicationName", kPut, {Var::Str(u"/bin/true")}).hr, S_OK);
    ASSERT_EQ(Invoke(trigger.get(), u"TriggerType", kPut, {Var::I4(TASK_TIME_TRIGGER_DAILY)}).hr, S_OK);
    ASSERT_EQ(Invoke(trigger.get(), u"BeginDate", kPut, {Var::Str(u"2026-12-01")}).hr, S_OK);
    ASSERT_EQ(Invoke(trigger.get(), u"Update", kCall).hr, S_OK);
    const Var dec1 = Var::Date(46357.0), dec4 = Var::Date(46360.0), y1990 = Var::Date(32874.0);
    enum Back { Kept, Guid, Dates, Text };  // Text: the row's text comes back
    struct Row {
        IDispatch *object;
        const char16_t *member;
        WORD flags;
        std::size_t param;  // the by-reference argument among `args`
        std::vector<Var> args;
        Var variable;  // what the caller's variable holds before the call
        Back back;
        std::u16string text = u"";
    };
    // clang-format off
    const Row rows[] = {
        {tasks.get(), u"Add", kCall, 0, {Var()}, Var(), Guid},
        {tasks.get(), u"Add", kCall, 0, {Var()}, Var::Str(u""), Guid},
        {tasks.get(), u"Add", kCall, 0, {Var()}, Var::I4(42), Kept},
        {tasks.get(), u"Item", kGet, 0, {Var()}, Var::I4(1), Kept},
        {tasks.get(), u"Clone", kCall, 0, {Var(), Var::Str(u"Copy")}, Var::I4(100), Kept},
        {tasks.get(), u"Clone", kCall, 1, {Var::Str(u"100"), Var()}, Var(), Guid},
        {tasks.get(), u"Clone", kCall, 1, {Var::Str(u"100"), Var()}, Var::I4(101), Kept},
        {task.get(), u"TaskName", kPut, 0, {Var()}, Var::I4(100), Kept},
        {task.get(), u"GetRunTimes", kCall, 0, {Var(), dec4, Var()}, Var::Str(u"2026-12-01"), Kept},
        {task.get(), u"GetRunTimes", kCall, 2, {dec1, dec4, Var()}, Var(), Dates},
        {task.get(), u"GetRunTimes", kCall, 2, {y1990, y1990, Var()}, Var(), Kept},
        {task.get(), u"WorkItemData", kPut, 0, {Var()}, Var::Str(u"ab"), Kept},
        {task.get(), u"SaveAs", kCall, 0, {Var()}, Var::I4(100), Text, u"100.job"},
        {tasks.get(), u"Remove", kCall, 0, {Var()}, Var::Str(u"100"), Kept},  // saved as 100.job
        {triggers.get(), u"Item", kGet, 0, {Var()}, Var::Str(u"1"), Kept},
        {trigger.get(), u"flags", kPut, 0, {Var()}, Var::Str(u"0"), Kept},
        {triggers.get(), u"Remove", kCall, 0, {Var()}, Var::Str(u"1"), Kept},
        {scheduler.get(), u"Computer", kPut, 0, {Var()}, Var(), Kept},
    };
    // clang-format on
    for (const auto &r : rows) {
        SCOPED_TRACE(&r - rows);
        Var variable(r.variable);
        std::vector<Var> args;
        for (std::size_t k = 0; k < r.args.size(); ++k)
            args.push_back(k == r.param ? Var::Ref(VT_VARIANT, variable.get()) : r.args[k]);
        const Call c = Invoke(r.object, r.member, r.flags, args);
        ASSERT_EQ(c.hr, S_OK) << std::hex << c.hr;
        if (r.back == Kept) {
            EXPECT_TRUE(Same(variable, r.variable)) << variable.vt();
        } else if (r.back == Dates) {
            ASSERT_EQ(variable.vt(), VT_ARRAY | VT_DATE);
            EXPECT_EQ(static_cast<LONG>(variable->parray->rgsabound[0].cElements), c.result->lVal);
            EXPECT_GT(c.result->lVal, 0);
        } else {
            ASSERT_EQ(variable.vt(), VT_BSTR);
            EXPECT_EQ(r.back == Text ? variable.str() : std::u16string(variable.str().size(), u'?'),
                      r.back == Text ? r.text : std::u16string(36, u'?'));
        }
    }
    // A typed variable of the parameter's type is written in place; one of
    // another type cannot take a String back.
    BSTR fileName = SysAllocString(u"Saved As");
    EXPECT_EQ(Invoke(task.get(), u"SaveAs", kCall, {Var::Ref(VT_BSTR, &fileName)}).hr, S_OK);
    EXPECT_EQ(std::u16string(fileName), u"Saved As.job");
    SysFreeString(fileName);
    SHORT number = 3;
    EXPECT_EQ(Invoke(tasks.get(), u"Add", kCall, {Var::Ref(VT_I2, &number)}).hr, DISP_E_TYPEMISMATCH);
    EXPECT_EQ(number, 3);
}

TEST_F(Dispatch, DefaultMembersByReferenceIndexesAndTheEnumerator) {
    AddTask(u"First");
    ComRef<IDispatch> second = AddTask(u"Second");
    AddTask(u"Third");
    ASSERT_EQ(Invoke(second.get(), u"Save", kCall).hr, S_OK);
    // tasks("second"), tasks(1), and scheduler.Tasks("First"): arguments of a
    // property without parameters go to the default member of its result. An
    // index comes in every by-reference form automation passes for a Variant
    // (VB's `tasks.Item(s)` with `Dim s As String` passes VT_BYREF|VT_BSTR).
    BSTR key = SysAllocString(u"second");
    BYTE ui1 = 2;
    FLOAT r4 = 2.0f;
    Var inner = Var::I4(2);
    for (auto [object, arg, name] : {std::tuple{tasks.get(), Var::Str(u"second"), u"Second"},
                                     {tasks.get(), Var::I4(1), u"First"},
                                     {scheduler.get(), Var::Str(u"First"), u"First"},
                                     {tasks.get(), Var::Ref(VT_BSTR, &key), u"Second"},
                                     {tasks.get(), Var::Ref(VT_UI1, &ui1), u"Second"},
                                     {tasks.get(), Var::Ref(VT_R4, &r4), u"Second"},
                                     {tasks.get(), Var::Ref(VT_VARIANT, inner.get()), u"Second"}}) {
        Call c = InvokeId(object, object == tasks.get() ? DISPID_VALUE : IdOf(object, u"Tasks"), kCall, {arg});
        ASSERT_EQ(c.hr, S_OK) << arg.vt();
        EXPECT_EQ(NameOf(c.result.disp()), name) << arg.vt();
    }
    ComRef<IDispatch> triggers = Child(second.get(), u"Triggers");
    Child(triggers.get(), u"Add");
    Call trigger = InvokeId(triggers.get(), DISPID_VALUE, kCall, {Var::Str(u"1")});  // an Integer index as a string
    ASSERT_EQ(trigger.hr, S_OK);
    EXPECT_EQ(Invoke(trigger.result.disp(), u"Index", kGet).result->iVal, 0);

    for (IDispatch *collection : {tasks.get(), triggers.get()}) {
        Call e = InvokeId(collection, DISPID_NEWENUM, kCall, {});
        ASSERT_EQ(e.result.vt(), VT_UNKNOWN);
        ComRef<IEnumVARIANT> items;
        ASSERT_EQ(e.result->punkVal->QueryInterface(IID_IEnumVARIANT, reinterpret_cast<void **>(items.Out())), S_OK);
        VARIANT got[4];
        ULONG fetched = 0;
        std::u16string names = items->Next(4, got, &fetched) == S_FALSE ? u"" : u"not the end; ";
        for (ULONG i = 0; i < fetched; VariantClear(&got[i++]))
            names += got[i].vt != VT_DISPATCH ? u"?" : collection == tasks.get() ? NameOf(got[i].pdispVal) : u"T";
        EXPECT_EQ(names, collection == tasks.get() ? u"FirstSecondThird" : u"T");
    }
    EXPECT_EQ(Invoke(tasks.get(), u"Remove", kCall, {Var::Ref(VT_BSTR, &key)}).hr, S_OK);
    EXPECT_EQ(Invoke(tasks.get(), u"Exists", kCall, {Var::Str(u"Second")}).result->boolVal, VARIANT_FALSE);
    SysFreeString(key);
}

TEST_F(Dispatch, RaisedErrorsArriveInExcepInfoAndErrorInfo) {
    // The thread's error information tells the same; without an EXCEPINFO the member's own HRESULT comes back.
    Call missing = Invoke(tasks.get(), u"Item", kCall, {Var::Str(u"nobody")}, true);
    const std::string info = TakeErrorInfo();
    Call plain = Invoke(tasks.get(), u"Item", kCall, {Var::Str(u"nobody")});
    Call app = Invoke(AddTask(u"Empty app").get(), u"ApplicationName", kPut, {Var::Str(u"")}, true);
    EXPECT_EQ((Results{missing.hr, missing.result.vt(), plain.hr, app.hr}),
              (Results{DISP_E_EXCEPTION, VT_EMPTY, HRESULT(0x800A0005), DISP_E_EXCEPTION}));
    EXPECT_EQ(missing.exception + "\n" + info + "\n" + app.exception,
              "800A0005 0 Velqo Task Scheduler: Invalid procedure call or argument (, 0)\n"
              "Velqo Task Scheduler: Invalid procedure call or argument (, 0)\n"
              "800A0005 0 Velqo Task Scheduler: Application name must not be empty (velqosch.chm, 9999)");
}

// Every allocation of a late-bound call failing in turn: each failure comes
// back as an error and leaves nothing behind.
TEST_F(Dispatch, EachFailedAllocationOfALateBoundCallIsReported) {
    bool succeeded = false;
    for (long n = 0; n < 200 && !succeeded; ++n) {
        Var variable;
        VelqoFailAllocationAfter(n);
        Call c = Invoke(tasks.get(), u"Add", kCall, {Var::Ref(VT_VARIANT, variable.get())}, true);
        VelqoFailAllocationAfter(-1);
        succeeded = c.hr == S_OK;
        EXPECT_TRUE(succeeded || FAILED(c.hr)) << n;
        EXPECT_EQ(variable.vt(), succeeded ? VT_BSTR : VT_EMPTY) << n;
    }
    EXPECT_TRUE(succeeded);
    EXPECT_EQ(Invoke(tasks.get(), u"Count", kGet).result->lVal, 1);
}

}  // namespace
