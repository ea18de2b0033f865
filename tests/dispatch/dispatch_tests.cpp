// Late binding of the five classes through IDispatch alone, against the runtime's own service in a private store.
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "common/store.h"
#include "component/objects.h"
#include "runtime/runtime_test_support.h"
#include "service/platform.h"

extern "C" HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID *ppv);

using velqosch::ComRef;

namespace {

// An owned VARIANT, taken over from the runtime tests' makers (I4, Str ...).
class Var {
public:
    Var() noexcept { VariantInit(&v_); }
    Var(VARIANT v) noexcept : v_(v) {}
    Var(const Var &other) : Var() { VariantCopy(&v_, const_cast<VARIANT *>(&other.v_)); }
    Var &operator=(const Var &) = delete;
    ~Var() { VariantClear(&v_); }
    VARIANT *get() noexcept { return &v_; }
    const VARIANT *operator->() const noexcept { return &v_; }
    VARTYPE vt() const noexcept { return v_.vt; }
    std::u16string str() const { return v_.vt == VT_BSTR && v_.bstrVal ? v_.bstrVal : u""; }
    IDispatch *disp() const noexcept { return v_.vt == VT_DISPATCH ? v_.pdispVal : nullptr; }

private:
    VARIANT v_;
};

VARIANT Missing() { return MakeVar(VT_ERROR, DISP_E_PARAMNOTFOUND); }
// A by-reference argument to a caller's variable of type vt.
VARIANT Ref(VARTYPE vt, void *target) { return MakeVar(VT_BYREF | vt, target); }

// Whether two variants have the same type and, as text, the same value.
inline bool Same(const Var &a, const Var &b) {
    Var x, y;
    auto text = [](const Var &v, Var &out) {
        return VariantChangeType(out.get(), const_cast<VARIANT *>(v.operator->()), 0, VT_BSTR) == S_OK;
    };
    return a.vt() == b.vt() && text(a, x) && text(b, y) && x.str() == y.str();
}

// The DISPIDs of `names` on `object` (DISPID_UNKNOWN for a name it lacks) and its answer.
inline std::pair<HRESULT, std::vector<DISPID>> IdsOf(IDispatch *object, std::vector<const char16_t *> names) {
    std::vector<DISPID> ids(names.size(), 123);
    const auto raw = const_cast<LPOLESTR *>(names.data());
    return {object->GetIDsOfNames(IID_NULL, raw, UINT(names.size()), 0, ids.data()), ids};  // in that order
}
inline DISPID IdOf(IDispatch *object, const char16_t *name) { return IdsOf(object, {name}).second[0]; }

struct Call {
    HRESULT hr = E_FAIL;
    Var result;
    UINT argErr = 0xFFFFFFFF;
    // With an EXCEPINFO asked for: "scode wCode source: description (help file, context)".
    std::string exception;
};

// Invokes `id` with `args` in reading order, the first named.size() of them named by `named`.
inline Call InvokeId(IDispatch *object, DISPID id, WORD flags, std::vector<Var> args, bool exception = false,
                     std::vector<DISPID> named = {}) {
    // rgvarg holds the named arguments first, then the positional ones in reverse.
    std::vector<VARIANT> raw;
    for (std::size_t i = 0; i < named.size(); ++i) raw.push_back(*args[i].get());
    for (std::size_t i = args.size(); i > named.size(); --i) raw.push_back(*args[i - 1].get());
    if (flags & DISPATCH_PROPERTYPUT) named = {DISPID_PROPERTYPUT};
    DISPPARAMS dp{raw.empty() ? nullptr : raw.data(), named.empty() ? nullptr : named.data(),
                  static_cast<UINT>(raw.size()), static_cast<UINT>(named.size())};
    Call c;
    EXCEPINFO e{};
    c.hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &dp, c.result.get(), exception ? &e : nullptr,
                          &c.argErr);
    if (!exception) return c;
    char head[32];
    std::snprintf(head, sizeof head, "%08X %u ", static_cast<unsigned>(e.scode), e.wCode);
    c.exception = head + ErrorRecord(e.bstrSource, e.bstrDescription, e.bstrHelpFile, e.dwHelpContext);
    return c;
}

inline Call Invoke(IDispatch *object, const char16_t *name, WORD flags, std::vector<Var> args = {},
                   bool exception = false) {
    return InvokeId(object, IdOf(object, name), flags, std::move(args), exception);
}

constexpr WORD kGet = DISPATCH_PROPERTYGET;
constexpr WORD kPut = DISPATCH_PROPERTYPUT;
constexpr WORD kCall = DISPATCH_METHOD | DISPATCH_PROPERTYGET;  // what a script's call syntax asks for

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
    ComRef<IDispatch> AddTask(const char16_t *name) { return Child(tasks.get(), u"Add", {Str(name)}); }
    std::u16string NameOf(IDispatch *task) { return Invoke(task, u"TaskName", kGet).result.str(); }

    ComRef<IDispatch> scheduler, tasks;
};

// Names in any letter case; a member's parameters follow it, counted from 0.
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

// One call per row: arguments coerced as automation does or refused at their position; a put is read back.
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
        {task.get(), u"ApplicationName", kPut, {Str(u"/bin/true")}, S_OK, 0, Str(u"/bin/true")},
        {task.get(), u"IdleWaitMinutes", kPut, {I4(12)}, S_OK, 0, I2(12)},
        {task.get(), u"Priority", kPut, {I2(HIGH_PRIORITY_CLASS)}, S_OK, 0, I4(HIGH_PRIORITY_CLASS)},
        {trigger.get(), u"BeginDate", kPut, {Str(u"2026-12-07")}, S_OK, 0, Date(46363.0)},
        {trigger.get(), u"IsDirty", kGet, {}, S_OK, 0, Bool(true)},
        {task.get(), u"IdleWaitMinutes", kPut, {I4(70000)}, DISP_E_OVERFLOW, 0, {}},
        {task.get(), u"MaxRunTime", kPut, {Str(u"soon")}, DISP_E_TYPEMISMATCH, 0, {}},
        {tasks.get(), u"Clone", kCall, {Str(u"Coerce"), Missing()}, DISP_E_PARAMNOTOPTIONAL, 0, {}},
        {tasks.get(), u"Clone", kCall, {Missing(), Str(u"x")}, DISP_E_PARAMNOTOPTIONAL, 1, {}},
        {tasks.get(), u"Clone", kCall, {Str(u"Coerce")}, DISP_E_BADPARAMCOUNT, ~0u, {}},
        {tasks.get(), u"Count", kGet, {I4(1)}, DISP_E_BADPARAMCOUNT, ~0u, {}},
        {tasks.get(), u"Item", kCall, {Ref(VT_I4, nullptr)}, E_POINTER, 0, {}},
        {task.get(), u"Status", kPut, {I4(1)}, DISP_E_MEMBERNOTFOUND, ~0u, {}},
        {task.get(), u"Save", kGet, {}, DISP_E_MEMBERNOTFOUND, ~0u, {}},  // a method is not a property
        {task.get(), u"NoSuchMember", kGet, {}, DISP_E_MEMBERNOTFOUND, ~0u, {}},
        // Named arguments: Clone NewTaskName:="Copy", ExistingTaskName:="Coerce", ones it does not have, one left out.
        {tasks.get(), u"Clone", kCall, {Str(u"Copy"), Str(u"Coerce")}, S_OK, 0, {}, {1, 0}},
        {tasks.get(), u"Clone", kCall, {Str(u"Coerce"), Str(u"Copy")}, DISP_E_PARAMNOTFOUND, 0, {}, {7}},
        {tasks.get(), u"Clone", kCall, {Str(u"Coerce"), Str(u"Copy")}, DISP_E_PARAMNOTFOUND, 1, {}, {1, 1}},
        {tasks.get(), u"Clone", kCall, {Str(u"Copy")}, DISP_E_PARAMNOTOPTIONAL, ~0u, {}, {1}},
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
    Var result, value = I4(5);
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
    ComRef<IDispatch> copy = Child(tasks.get(), u"Item", {Str(u"Copy")});  // the named Clone's
    EXPECT_EQ(Invoke(copy.get(), u"ApplicationName", kGet).result.str(), u"/bin/true");
}

// By-reference arguments as a script passes a variable (VT_BYREF|VT_VARIANT): a converted variable takes a value back
// only where the member assigns one.
TEST_F(Dispatch, ConvertedByReferenceArgumentsComeBackOnlyWhereTheMemberAssignsThem) {
    ComRef<IDispatch> task = AddTask(u"100"), triggers = Child(task.get(), u"Triggers");
    ComRef<IDispatch> trigger = Child(triggers.get(), u"Add");
    ASSERT_EQ(Invoke(task.get(), u"ApplicationName", kPut, {Str(u"/bin/true")}).hr, S_OK);
    ASSERT_EQ(Invoke(trigger.get(), u"TriggerType", kPut, {I4(TASK_TIME_TRIGGER_DAILY)}).hr, S_OK);
    ASSERT_EQ(Invoke(trigger.get(), u"BeginDate", kPut, {Str(u"2026-12-01")}).hr, S_OK);
    ASSERT_EQ(Invoke(trigger.get(), u"Update", kCall).hr, S_OK);
    const Var dec1 = Date(46357.0), dec4 = Date(46360.0), y1990 = Date(32874.0);
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
        {tasks.get(), u"Add", kCall, 0, {Var()}, I4(42), Kept},
        {tasks.get(), u"Item", kGet, 0, {Var()}, I4(1), Kept},
        {tasks.get(), u"Clone", kCall, 0, {Var(), Str(u"Copy")}, I4(100), Kept},
        {tasks.get(), u"Clone", kCall, 1, {Str(u"100"), Var()}, Var(), Guid},
        {task.get(), u"TaskName", kPut, 0, {Var()}, I4(100), Kept},
        {task.get(), u"GetRunTimes", kCall, 0, {Var(), dec4, Var()}, Str(u"2026-12-01"), Kept},
        {task.get(), u"GetRunTimes", kCall, 2, {dec1, dec4, Var()}, Var(), Dates},
        {task.get(), u"GetRunTimes", kCall, 2, {y1990, y1990, Var()}, Var(), Kept},
        {task.get(), u"WorkItemData", kPut, 0, {Var()}, Str(u"ab"), Kept},
        {task.get(), u"SaveAs", kCall, 0, {Var()}, I4(100), Text, u"100.job"},
        {tasks.get(), u"Remove", kCall, 0, {Var()}, Str(u"100"), Kept},  // saved as 100.job
        {triggers.get(), u"Item", kGet, 0, {Var()}, Str(u"1"), Kept},
        {trigger.get(), u"flags", kPut, 0, {Var()}, Str(u"0"), Kept},
        {scheduler.get(), u"Computer", kPut, 0, {Var()}, Var(), Kept},
    };
    // clang-format on
    for (const auto &r : rows) {
        SCOPED_TRACE(&r - rows);
        Var variable(r.variable);
        std::vector<Var> args;
        for (std::size_t k = 0; k < r.args.size(); ++k)
            args.push_back(k == r.param ? Ref(VT_VARIANT, variable.get()) : r.args[k]);
        const Call c = Invoke(r.object, r.member, r.flags, args);
        ASSERT_EQ(c.hr, S_OK) << std::hex << c.hr;
        if (r.back == Kept)
            EXPECT_TRUE(Same(variable, r.variable)) << variable.vt();
        else if (r.back == Dates)
            EXPECT_TRUE(variable.vt() == (VT_ARRAY | VT_DATE) && c.result->lVal > 0 &&
                        LONG(variable->parray->rgsabound[0].cElements) == c.result->lVal);
        else  // a String: the row's text, or a generated name
            EXPECT_EQ(variable.vt() != VT_BSTR ? u"not a String"
                      : r.back == Text         ? variable.str()
                                               : std::u16string(variable.str().size(), u'?'),
                      r.back == Text ? r.text : std::u16string(36, u'?'));
    }
    // A typed variable of the parameter's type is written in place; one of another type cannot take a String back.
    BSTR fileName = SysAllocString(u"Saved As");
    EXPECT_EQ(Invoke(task.get(), u"SaveAs", kCall, {Ref(VT_BSTR, &fileName)}).hr, S_OK);
    EXPECT_EQ(std::u16string(fileName), u"Saved As.job");
    SysFreeString(fileName);
    SHORT number = 3;
    EXPECT_EQ(Invoke(tasks.get(), u"Add", kCall, {Ref(VT_I2, &number)}).hr, DISP_E_TYPEMISMATCH);
    EXPECT_EQ(number, 3);
}

TEST_F(Dispatch, DefaultMembersByReferenceIndexesAndTheEnumerator) {
    AddTask(u"First");
    ComRef<IDispatch> second = AddTask(u"Second");
    AddTask(u"Third");
    ASSERT_EQ(Invoke(second.get(), u"Save", kCall).hr, S_OK);
    // Arguments of a property without parameters go to its result's default member (scheduler.Tasks("First")); an index
    // comes in by-reference forms too (VB's `tasks.Item(s)` with `Dim s As String`: VT_BYREF|VT_BSTR).
    BSTR key = SysAllocString(u"second");
    FLOAT r4 = 2.0f;
    Var inner = I4(2);
    for (auto [object, arg, name] : {std::tuple{tasks.get(), Var(Str(u"second")), u"Second"},
                                     {tasks.get(), I4(1), u"First"},
                                     {scheduler.get(), Str(u"First"), u"First"},
                                     {tasks.get(), Ref(VT_BSTR, &key), u"Second"},
                                     {tasks.get(), Ref(VT_R4, &r4), u"Second"},
                                     {tasks.get(), Ref(VT_VARIANT, inner.get()), u"Second"}}) {
        Call c = InvokeId(object, object == tasks.get() ? DISPID_VALUE : IdOf(object, u"Tasks"), kCall, {arg});
        ASSERT_EQ(c.hr, S_OK) << arg.vt();
        EXPECT_EQ(NameOf(c.result.disp()), name) << arg.vt();
    }
    ComRef<IDispatch> triggers = Child(second.get(), u"Triggers");
    Child(triggers.get(), u"Add");
    Call trigger = InvokeId(triggers.get(), DISPID_VALUE, kCall, {Str(u"1")});  // an Integer index as a string
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
    EXPECT_EQ(Invoke(tasks.get(), u"Remove", kCall, {Ref(VT_BSTR, &key)}).hr, S_OK);
    EXPECT_EQ(Invoke(tasks.get(), u"Exists", kCall, {Str(u"Second")}).result->boolVal, VARIANT_FALSE);
    SysFreeString(key);
}

TEST_F(Dispatch, RaisedErrorsArriveInExcepInfoAndErrorInfo) {
    // The thread's error information tells the same; without an EXCEPINFO the member's own HRESULT comes back.
    Call missing = Invoke(tasks.get(), u"Item", kCall, {Str(u"nobody")}, true);
    const std::string info = TakeErrorInfo();
    Call plain = Invoke(tasks.get(), u"Item", kCall, {Str(u"nobody")});
    Call app = Invoke(AddTask(u"Empty app").get(), u"ApplicationName", kPut, {Str(u"")}, true);
    EXPECT_EQ((Results{missing.hr, missing.result.vt(), plain.hr, app.hr}),
              (Results{DISP_E_EXCEPTION, VT_EMPTY, HRESULT(0x800A0005), DISP_E_EXCEPTION}));
    EXPECT_EQ(missing.exception + "\n" + info + "\n" + app.exception,
              "800A0005 0 Velqo Task Scheduler: Invalid procedure call or argument (, 0)\n"
              "Velqo Task Scheduler: Invalid procedure call or argument (, 0)\n"
              "800A0005 0 Velqo Task Scheduler: Application name must not be empty (velqosch.chm, 9999)");
}

// Every allocation of a late-bound call failing in turn: an error, nothing added, nothing written back.
TEST_F(Dispatch, EachFailedAllocationOfALateBoundCallIsReported) {
    bool succeeded = false;
    for (long n = 0; n < 200 && !succeeded; ++n) {
        Var variable;
        VelqoFailAllocationAfter(n);
        Call c = Invoke(tasks.get(), u"Add", kCall, {Ref(VT_VARIANT, variable.get())}, true);
        VelqoFailAllocationAfter(-1);
        succeeded = c.hr == S_OK;
        EXPECT_TRUE(succeeded || FAILED(c.hr)) << n;
        EXPECT_EQ(variable.vt(), succeeded ? VT_BSTR : VT_EMPTY) << n;
    }
    EXPECT_TRUE(succeeded);
    EXPECT_EQ(Invoke(tasks.get(), u"Count", kGet).result->lVal, 1);
}

}  // namespace
