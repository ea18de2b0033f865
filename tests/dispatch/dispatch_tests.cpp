// Late binding of the five classes, driven only through IDispatch, against
// the runtime's own service in a private store: names, the table's
// identifiers, coercion, by-reference write-back, default members, the
// enumerator, errors in EXCEPINFO and IErrorInfo, and refusals of malformed
// calls.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "component/com/module.h"
#include "component/objects.h"
#include "component/surface.h"
#include "dispatch_fixture.h"
#include "late.h"

using namespace late;
using velqosch::ComRef;
namespace surface = TaskScheduler::surface;
using surface::Type;

namespace {

class Dispatch : public dispatch_test::StoreFixture {
protected:
    void SetUp() override {
        StoreFixture::SetUp();
        scheduler = NewScheduler();
        ASSERT_TRUE(scheduler);
    }
    void TearDown() override {
        scheduler = nullptr;
        StoreFixture::TearDown();
    }

    // Scheduler.Tasks, late-bound.
    ComRef<IDispatch> Tasks() {
        Call c = Invoke(scheduler.get(), u"Tasks", kGet);
        EXPECT_EQ(c.hr, S_OK);
        return ComRef<IDispatch>::Share(c.result.disp());
    }
    // Tasks.Add of `name`, late-bound.
    ComRef<IDispatch> AddTask(IDispatch *tasks, const char16_t *name) {
        Call c = Invoke(tasks, u"Add", kCall, {Var::Str(name)});
        EXPECT_EQ(c.hr, S_OK);
        return ComRef<IDispatch>::Share(c.result.disp());
    }
    ComRef<IDispatch> Child(IDispatch *parent, const char16_t *name, std::vector<Var> args = {}) {
        Call c = Invoke(parent, name, kCall, std::move(args));
        EXPECT_EQ(c.hr, S_OK) << std::hex << c.hr;
        return ComRef<IDispatch>::Share(c.result.disp());
    }

    ComRef<IDispatch> scheduler;
};

// Every member row of the table is reached by its name on an object of its
// interface, under the table's identifier, and a property's get and put meet
// under one identifier.
TEST_F(Dispatch, EveryMemberNameGivesTheTableIdentifier) {
    ComRef<IDispatch> tasks = Tasks();
    ComRef<IDispatch> task = AddTask(tasks.get(), u"Names");
    ComRef<IDispatch> triggers = Child(task.get(), u"Triggers");
    ComRef<IDispatch> trigger = Child(triggers.get(), u"Add");
    IDispatch *objects[] = {trigger.get(), triggers.get(), task.get(), tasks.get(), scheduler.get()};
    for (const auto &info : surface::kInterfaces) {
        IDispatch *object = nullptr;
        for (IDispatch *o : objects) {
            void *p = nullptr;
            if (o->QueryInterface(info.iid, &p) == S_OK) {
                object = o;
                static_cast<IUnknown *>(p)->Release();
            }
        }
        ASSERT_NE(object, nullptr) << info.name;
        const std::size_t first = surface::FirstMember(info.id);
        for (std::size_t i = first; i < first + surface::MemberCount(info.id); ++i) {
            const surface::Member &m = surface::kMembers[i];
            EXPECT_EQ(IdOf(object, reinterpret_cast<const char16_t *>(m.wname)), m.dispid)
                << info.name << "." << m.name;
        }
    }
}

TEST_F(Dispatch, NamesAreFoundWithoutRegardToCaseAndUnknownNamesAreRefused) {
    ComRef<IDispatch> tasks = Tasks();
    ComRef<IDispatch> task = AddTask(tasks.get(), u"Case");
    EXPECT_EQ(IdOf(task.get(), u"flags"), 0x68030001);
    EXPECT_EQ(IdOf(task.get(), u"FLAGS"), 0x68030001);
    EXPECT_EQ(IdOf(task.get(), u"MostRecentRuntime"), 0x68030011);
    EXPECT_EQ(IdOf(task.get(), u"mostrecentRUNTIME"), 0x68030011);
    EXPECT_EQ(IdOf(scheduler.get(), u"computer"), 0x68030003);

    LPOLESTR names[] = {reinterpret_cast<LPOLESTR>(const_cast<char16_t *>(u"NoSuchMember")),
                        reinterpret_cast<LPOLESTR>(const_cast<char16_t *>(u"x"))};
    DISPID ids[2] = {123, 456};
    EXPECT_EQ(task->GetIDsOfNames(IID_NULL, names, 2, 0, ids), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(ids[0], DISPID_UNKNOWN);
    EXPECT_EQ(ids[1], DISPID_UNKNOWN);
    // A member's parameters are named after it, counted from 0.
    LPOLESTR clone[] = {reinterpret_cast<LPOLESTR>(const_cast<char16_t *>(u"Clone")),
                        reinterpret_cast<LPOLESTR>(const_cast<char16_t *>(u"newtaskname")),
                        reinterpret_cast<LPOLESTR>(const_cast<char16_t *>(u"ExistingTaskName")),
                        reinterpret_cast<LPOLESTR>(const_cast<char16_t *>(u"Bogus"))};
    DISPID cloneIds[4] = {};
    EXPECT_EQ(tasks->GetIDsOfNames(IID_NULL, clone, 4, 0, cloneIds), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(cloneIds[0], 0x60030008);
    EXPECT_EQ(cloneIds[1], 1);
    EXPECT_EQ(cloneIds[2], 0);
    EXPECT_EQ(cloneIds[3], DISPID_UNKNOWN);

    EXPECT_EQ(task->GetIDsOfNames(IID_IDispatch, names, 1, 0, ids), DISP_E_UNKNOWNINTERFACE);
    EXPECT_EQ(task->GetIDsOfNames(IID_NULL, nullptr, 1, 0, ids), E_INVALIDARG);
    EXPECT_EQ(task->GetIDsOfNames(IID_NULL, names, 1, 0, nullptr), E_INVALIDARG);
}

TEST_F(Dispatch, PropertiesRoundTripWithCoercionAsScriptsPassThem) {
    ComRef<IDispatch> task = AddTask(Tasks().get(), u"Coerce");
    EXPECT_EQ(Invoke(task.get(), u"ApplicationName", kPut, {Var::Str(u"/bin/true")}).hr, S_OK);
    EXPECT_EQ(Invoke(task.get(), u"ApplicationName", kGet).result.str(), u"/bin/true");

    // An Integer from a Long and from a string of digits.
    EXPECT_EQ(Invoke(task.get(), u"IdleWaitMinutes", kPut, {Var::I4(12)}).hr, S_OK);
    Call idle = Invoke(task.get(), u"IdleWaitMinutes", kGet);
    ASSERT_EQ(idle.result.vt(), VT_I2);
    EXPECT_EQ(idle.result->iVal, 12);
    EXPECT_EQ(Invoke(task.get(), u"IdleWaitMinutes", kPut, {Var::Str(u"34")}).hr, S_OK);
    EXPECT_EQ(Invoke(task.get(), u"IdleWaitMinutes", kGet).result->iVal, 34);

    // An enumeration travels as a Long.
    EXPECT_EQ(Invoke(task.get(), u"Priority", kPut, {Var::I2(HIGH_PRIORITY_CLASS)}).hr, S_OK);
    Call priority = Invoke(task.get(), u"Priority", kGet);
    ASSERT_EQ(priority.result.vt(), VT_I4);
    EXPECT_EQ(priority.result->lVal, HIGH_PRIORITY_CLASS);

    // A Date from a date text; a Boolean result.
    ComRef<IDispatch> trigger = Child(Child(task.get(), u"Triggers").get(), u"Add");
    EXPECT_EQ(Invoke(trigger.get(), u"BeginDate", kPut, {Var::Str(u"2026-12-07")}).hr, S_OK);
    Call begin = Invoke(trigger.get(), u"BeginDate", kGet);
    ASSERT_EQ(begin.result.vt(), VT_DATE);
    EXPECT_DOUBLE_EQ(begin.result->date, 46363.0);
    Call dirty = Invoke(trigger.get(), u"IsDirty", kGet);
    ASSERT_EQ(dirty.result.vt(), VT_BOOL);
    EXPECT_EQ(dirty.result->boolVal, VARIANT_TRUE);
}

TEST_F(Dispatch, ArgumentsThatDoNotFitAreRefusedAtTheirPosition) {
    ComRef<IDispatch> tasks = Tasks();
    ComRef<IDispatch> task = AddTask(tasks.get(), u"Refuse");
    Call overflow = Invoke(task.get(), u"IdleWaitMinutes", kPut, {Var::I4(70000)});
    EXPECT_EQ(overflow.hr, DISP_E_OVERFLOW);
    EXPECT_EQ(overflow.argErr, 0u);
    Call text = Invoke(task.get(), u"MaxRunTime", kPut, {Var::Str(u"soon")});
    EXPECT_EQ(text.hr, DISP_E_TYPEMISMATCH);
    EXPECT_EQ(text.argErr, 0u);
    // Clone's second argument is rgvarg[0].
    Call second = Invoke(tasks.get(), u"Clone", kCall, {Var::Str(u"Refuse"), Var::Missing()});
    EXPECT_EQ(second.hr, DISP_E_PARAMNOTOPTIONAL);
    EXPECT_EQ(second.argErr, 0u);
    EXPECT_EQ(Invoke(tasks.get(), u"Clone", kCall, {Var::Str(u"Refuse")}).hr, DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(Invoke(tasks.get(), u"Count", kGet, {Var::I4(1)}).hr, DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(Invoke(tasks.get(), u"Exists", kCall, {}).hr, DISP_E_BADPARAMCOUNT);
    // The value of a property put under another name than DISPID_PROPERTYPUT.
    Var value = Var::I4(5);
    DISPID wrongName = 0;
    DISPPARAMS dp{value.get(), &wrongName, 1, 1};
    UINT argErr = 99;
    EXPECT_EQ(task->Invoke(IdOf(task.get(), u"MaxRunTime"), IID_NULL, 0, kPut, &dp, nullptr, nullptr, &argErr),
              DISP_E_PARAMNOTFOUND);
    EXPECT_EQ(argErr, 0u);
    // A by-reference argument whose pointer is null.
    VARIANT nullRef;
    nullRef.vt = VT_BYREF | VT_VARIANT;
    nullRef.pvarVal = nullptr;
    DISPPARAMS byNull{&nullRef, nullptr, 1, 0};
    EXPECT_EQ(tasks->Invoke(IdOf(tasks.get(), u"Exists"), IID_NULL, 0, kCall, &byNull, nullptr, nullptr, nullptr),
              E_POINTER);
}

TEST_F(Dispatch, MalformedCallsAreRefusedWithoutTouchingTheObject) {
    ComRef<IDispatch> task = AddTask(Tasks().get(), u"Malformed");
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    Var result;
    EXPECT_EQ(task->Invoke(12345, IID_NULL, 0, kGet, &none, result.get(), nullptr, nullptr), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(task->Invoke(DISPID_VALUE, IID_NULL, 0, kGet, &none, result.get(), nullptr, nullptr),
              DISP_E_MEMBERNOTFOUND);  // a Task has no default member
    const DISPID status = IdOf(task.get(), u"Status");
    Var v = Var::I4(1);
    DISPID putId = DISPID_PROPERTYPUT;
    DISPPARAMS put{v.get(), &putId, 1, 1};
    EXPECT_EQ(task->Invoke(status, IID_NULL, 0, kPut, &put, nullptr, nullptr, nullptr), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(task->Invoke(IdOf(task.get(), u"Save"), IID_NULL, 0, kGet, &none, nullptr, nullptr, nullptr),
              DISP_E_MEMBERNOTFOUND);  // a method is not a property
    EXPECT_EQ(task->Invoke(status, IID_IDispatch, 0, kGet, &none, result.get(), nullptr, nullptr),
              DISP_E_UNKNOWNINTERFACE);
    EXPECT_EQ(task->Invoke(status, IID_NULL, 0, kGet, nullptr, result.get(), nullptr, nullptr), E_INVALIDARG);
    DISPPARAMS noArray{nullptr, nullptr, 1, 0};
    EXPECT_EQ(task->Invoke(status, IID_NULL, 0, kGet, &noArray, result.get(), nullptr, nullptr), E_INVALIDARG);
    EXPECT_EQ(result.vt(), VT_EMPTY);
    // Named parameters that the member does not have.
    std::vector<Var> args{Var::Str(u"Malformed"), Var::Str(u"Copy")};
    Call badName = InvokeId(Tasks().get(), 0x60030008, kCall, args, nullptr, {7});
    EXPECT_EQ(badName.hr, DISP_E_PARAMNOTFOUND);
    EXPECT_EQ(badName.argErr, 0u);
    Call twice = InvokeId(Tasks().get(), 0x60030008, kCall, args, nullptr, {1, 1});
    EXPECT_EQ(twice.hr, DISP_E_PARAMNOTFOUND);
    EXPECT_EQ(twice.argErr, 1u);
}

TEST_F(Dispatch, NamedArgumentsGoToTheirParameters) {
    ComRef<IDispatch> tasks = Tasks();
    ComRef<IDispatch> original = AddTask(tasks.get(), u"Original");
    EXPECT_EQ(Invoke(original.get(), u"ApplicationName", kPut, {Var::Str(u"/bin/true")}).hr, S_OK);
    EXPECT_EQ(Invoke(original.get(), u"Comment", kPut, {Var::Str(u"cloned by name")}).hr, S_OK);
    // Clone NewTaskName:="Copy", ExistingTaskName:="Original"
    Call c = InvokeId(tasks.get(), 0x60030008, kCall, {Var::Str(u"Copy"), Var::Str(u"Original")}, nullptr, {1, 0});
    ASSERT_EQ(c.hr, S_OK);
    EXPECT_EQ(Invoke(c.result.disp(), u"TaskName", kGet).result.str(), u"Copy");
    EXPECT_EQ(Invoke(c.result.disp(), u"Comment", kGet).result.str(), u"cloned by name");
}

// One late-bound call per row, with one by-reference argument passed as a
// script passes a variable (VT_BYREF|VT_VARIANT) holding a value the member's
// parameter type must be converted from.
struct ByRefRow {
    surface::Interface iface;
    surface::Kind kind;
    const char *member;
    std::size_t param;  // the by-reference argument among `args`
    std::vector<Var> args;
    Var variable;         // what the caller's variable holds before the call
    bool assigns;         // the member assigns the parameter in this call
    std::u16string text;  // an assigned String: the value written back; empty for a generated name
};

// Every by-reference parameter of every member: the caller's converted
// variable takes the member's value back only where the member assigns it
// (the generated names of Add and Clone, the name SaveAs completes, run times
// actually returned), and is otherwise left as it was.
TEST_F(Dispatch, ConvertedByReferenceArgumentsComeBackOnlyWhereTheMemberAssignsThem) {
    using I = surface::Interface;
    using K = surface::Kind;
    ComRef<IDispatch> tasks = Tasks();
    ComRef<IDispatch> task = AddTask(tasks.get(), u"100");
    ASSERT_EQ(Invoke(task.get(), u"ApplicationName", kPut, {Var::Str(u"/bin/true")}).hr, S_OK);
    ComRef<IDispatch> triggers = Child(task.get(), u"Triggers");
    ComRef<IDispatch> trigger = Child(triggers.get(), u"Add");
    ASSERT_EQ(Invoke(trigger.get(), u"TriggerType", kPut, {Var::I4(TASK_TIME_TRIGGER_DAILY)}).hr, S_OK);
    ASSERT_EQ(Invoke(trigger.get(), u"BeginDate", kPut, {Var::Str(u"2026-12-01")}).hr, S_OK);
    ASSERT_EQ(Invoke(trigger.get(), u"Update", kCall).hr, S_OK);
    const Var december1 = Var::Date(46357.0), december4 = Var::Date(46360.0), year1990 = Var::Date(32874.0);

    const ByRefRow rows[] = {
        {I::_Tasks, K::Method, "Add", 0, {Var()}, Var(), true, u""},
        {I::_Tasks, K::Method, "Add", 0, {Var()}, Var::Str(u""), true, u""},
        {I::_Tasks, K::Method, "Add", 0, {Var()}, Var::I4(42), false, u""},
        {I::_Tasks, K::Get, "Item", 0, {Var()}, Var::I4(1), false, u""},
        {I::_Tasks, K::Method, "Exists", 0, {Var()}, Var::I4(100), false, u""},
        {I::_Tasks, K::Method, "Clone", 0, {Var(), Var::Str(u"Copy")}, Var::I4(100), false, u""},
        {I::_Tasks, K::Method, "Clone", 1, {Var::Str(u"100"), Var()}, Var(), true, u""},
        {I::_Tasks, K::Method, "Clone", 1, {Var::Str(u"100"), Var()}, Var::I4(101), false, u""},
        {I::_Task, K::Put, "TaskName", 0, {Var()}, Var::I4(100), false, u""},
        {I::_Task, K::Method, "GetRunTimes", 0, {Var(), december4, Var()}, Var::Str(u"2026-12-01"), false, u""},
        {I::_Task, K::Method, "GetRunTimes", 1, {december1, Var(), Var()}, Var::Str(u"2026-12-04"), false, u""},
        {I::_Task, K::Method, "GetRunTimes", 2, {december1, december4, Var()}, Var(), true, u""},
        {I::_Task, K::Method, "GetRunTimes", 2, {year1990, year1990, Var()}, Var(), false, u""},
        {I::_Task, K::Put, "WorkItemData", 0, {Var()}, Var::Str(u"ab"), false, u""},
        {I::_Task, K::Method, "SaveAs", 0, {Var()}, Var::I4(100), true, u"100.job"},
        {I::_Tasks, K::Method, "Remove", 0, {Var()}, Var::Str(u"100"), false, u""},  // saved as 100.job
        {I::_Triggers, K::Get, "Item", 0, {Var()}, Var::Str(u"1"), false, u""},
        {I::_Trigger, K::Put, "flags", 0, {Var()}, Var::Str(u"0"), false, u""},
        {I::_Triggers, K::Method, "Remove", 0, {Var()}, Var::Str(u"1"), false, u""},
        {I::_Scheduler, K::Put, "Computer", 0, {Var()}, Var(), false, u""},
    };

    // The rows name every by-reference parameter, and a call that assigns each one the table marks SET.
    for (const auto &m : surface::kMembers) {
        for (std::size_t p = 0; p < m.nparams; ++p) {
            if (m.params[p].dir != surface::Dir::Ref) continue;
            bool read = false, assigned = false;
            for (const auto &r : rows)
                if (r.iface == m.iface && r.kind == m.kind && !std::strcmp(r.member, m.name) && r.param == p)
                    (r.assigns ? assigned : read) = true;
            EXPECT_TRUE(read || assigned) << m.name << " parameter " << p << " has no row";
            EXPECT_EQ(assigned, m.params[p].assigned) << m.name << " parameter " << p;
        }
    }

    IDispatch *objects[] = {trigger.get(), triggers.get(), task.get(), tasks.get(), scheduler.get()};
    for (const auto &r : rows) {
        SCOPED_TRACE(std::string(r.member) + " parameter " + std::to_string(r.param));
        IDispatch *object = nullptr;
        for (IDispatch *o : objects) {
            void *p = nullptr;
            if (o->QueryInterface(surface::InterfaceOf(r.iface).iid, &p) == S_OK) {
                object = o;
                static_cast<IUnknown *>(p)->Release();
            }
        }
        ASSERT_NE(object, nullptr);
        const surface::Member *m = nullptr;
        for (const auto &row : surface::kMembers)
            if (row.iface == r.iface && row.kind == r.kind && !std::strcmp(row.name, r.member)) m = &row;
        ASSERT_NE(m, nullptr);

        Var variable(r.variable);
        std::vector<Var> args;
        for (std::size_t k = 0; k < r.args.size(); ++k)
            args.push_back(k == r.param ? Var::RefTo(variable.get()) : r.args[k]);
        const WORD flags = r.kind == K::Put ? kPut : r.kind == K::Get ? kGet : kCall;
        const Call c = InvokeId(object, m->dispid, flags, std::move(args));
        ASSERT_EQ(c.hr, S_OK) << std::hex << c.hr;
        if (!r.assigns) {
            EXPECT_EQ(variable.vt(), r.variable.vt());
            EXPECT_EQ(variable.str(), r.variable.str());
            EXPECT_EQ(variable.vt() == VT_I4 ? variable->lVal : 0, r.variable.vt() == VT_I4 ? r.variable->lVal : 0);
        } else if (m->params[r.param].type == Type::DateArray) {
            ASSERT_EQ(variable.vt(), VT_ARRAY | VT_DATE);
            EXPECT_EQ(static_cast<LONG>(variable->parray->rgsabound[0].cElements), c.result->lVal);
            EXPECT_GT(c.result->lVal, 0);
        } else {
            ASSERT_EQ(variable.vt(), VT_BSTR);
            if (r.text.empty())
                EXPECT_EQ(variable.str().size(), 36u);  // a generated name
            else
                EXPECT_EQ(variable.str(), r.text);
        }
    }
}

// A typed variable is passed as itself: one of the parameter's type is
// written in place, one of another type cannot take a String back.
TEST_F(Dispatch, TypedByReferenceVariables) {
    ComRef<IDispatch> tasks = Tasks();
    ComRef<IDispatch> task = AddTask(tasks.get(), u"Typed");
    BSTR fileName = SysAllocString(reinterpret_cast<const OLECHAR *>(u"Saved As"));
    EXPECT_EQ(Invoke(task.get(), u"SaveAs", kCall, {Var::RefTo(&fileName)}).hr, S_OK);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t *>(fileName)), u"Saved As.job");
    SysFreeString(fileName);

    SHORT number = 3;
    EXPECT_EQ(Invoke(tasks.get(), u"Add", kCall, {Var::RefTo(&number)}).hr, DISP_E_TYPEMISMATCH);
    EXPECT_EQ(number, 3);
}

// Every by-reference form automation passes for a Variant parameter: VB's
// `tasks.Item(s)` with `Dim s As String` passes VT_BYREF|VT_BSTR.
TEST_F(Dispatch, VariantParametersTakeEveryByReferenceForm) {
    ComRef<IDispatch> tasks = Tasks();
    BSTR key = SysAllocString(reinterpret_cast<const OLECHAR *>(u"second"));
    SHORT i2 = 2;
    LONG i4 = 2;
    BYTE ui1 = 2;
    FLOAT r4 = 2.0f;
    DOUBLE r8 = 2.0;
    VARIANT inner;
    VariantInit(&inner);
    inner.vt = VT_I4;
    inner.lVal = 2;
    struct Form {
        VARTYPE vt;
        void *target;
    } forms[] = {{VT_BSTR, &key}, {VT_I2, &i2}, {VT_I4, &i4},        {VT_UI1, &ui1},
                 {VT_R4, &r4},    {VT_R8, &r8}, {VT_VARIANT, &inner}};
    for (const surface::Member &m : surface::kMembers) {
        if (m.iface != surface::Interface::_Tasks || m.nparams != 1 || m.params[0].type != Type::Variant) continue;
        for (const Form &f : forms) {
            SCOPED_TRACE(std::string(m.name) + " vt " + std::to_string(f.vt));
            for (const char16_t *name : {u"First", u"Second"})
                ASSERT_EQ(Invoke(AddTask(tasks.get(), name).get(), u"Save", kCall).hr, S_OK);
            Var ref;
            ref.get()->vt = VT_BYREF | f.vt;
            ref.get()->byref = f.target;
            Call c = InvokeId(tasks.get(), m.dispid, kCall, {ref});
            ASSERT_EQ(c.hr, S_OK) << std::hex << c.hr;
            const bool found = m.result != Type::None;  // Item finds the second task, Remove removes it
            if (found) {
                EXPECT_EQ(Invoke(c.result.disp(), u"TaskName", kGet).result.str(), u"Second");
            }
            EXPECT_EQ(Invoke(tasks.get(), u"Exists", kCall, {Var::Str(u"Second")}).result->boolVal,
                      found ? VARIANT_TRUE : VARIANT_FALSE);
            for (const char16_t *name : {u"First", u"Second"}) {
                if (Invoke(tasks.get(), u"Exists", kCall, {Var::Str(name)}).result->boolVal) {
                    EXPECT_EQ(Invoke(tasks.get(), u"Remove", kCall, {Var::Str(name)}).hr, S_OK);
                }
            }
        }
    }
    SysFreeString(key);
}

TEST_F(Dispatch, DefaultMembersTakeTheirArguments) {
    ComRef<IDispatch> tasks = Tasks();
    AddTask(tasks.get(), u"First");
    AddTask(tasks.get(), u"Second");
    // tasks("second") and tasks(1)
    Call byKey = InvokeId(tasks.get(), DISPID_VALUE, kCall, {Var::Str(u"second")});
    ASSERT_EQ(byKey.hr, S_OK);
    EXPECT_EQ(Invoke(byKey.result.disp(), u"TaskName", kGet).result.str(), u"Second");
    Call byPosition = InvokeId(tasks.get(), DISPID_VALUE, kCall, {Var::I4(1)});
    ASSERT_EQ(byPosition.hr, S_OK);
    EXPECT_EQ(Invoke(byPosition.result.disp(), u"TaskName", kGet).result.str(), u"First");
    // scheduler.Tasks("First"): arguments of a property without parameters
    // go to the default member of the object it returns.
    Call chained = Invoke(scheduler.get(), u"Tasks", kCall, {Var::Str(u"First")});
    ASSERT_EQ(chained.hr, S_OK);
    EXPECT_EQ(Invoke(chained.result.disp(), u"TaskName", kGet).result.str(), u"First");
    // triggers(1), with the Integer index given as a string.
    ComRef<IDispatch> triggers = Child(byKey.result.disp(), u"Triggers");
    Child(triggers.get(), u"Add");
    Call trigger = InvokeId(triggers.get(), DISPID_VALUE, kCall, {Var::Str(u"1")});
    ASSERT_EQ(trigger.hr, S_OK);
    EXPECT_EQ(Invoke(trigger.result.disp(), u"Index", kGet).result->iVal, 0);
}

TEST_F(Dispatch, NewEnumYieldsTheEntriesInOrder) {
    ComRef<IDispatch> tasks = Tasks();
    AddTask(tasks.get(), u"A");
    AddTask(tasks.get(), u"B");
    AddTask(tasks.get(), u"C");
    Call e = InvokeId(tasks.get(), DISPID_NEWENUM, kCall, {});
    ASSERT_EQ(e.hr, S_OK);
    ASSERT_EQ(e.result.vt(), VT_UNKNOWN);
    ComRef<IEnumVARIANT> items;
    ASSERT_EQ(e.result->punkVal->QueryInterface(IID_IEnumVARIANT, reinterpret_cast<void **>(items.Out())), S_OK);
    VARIANT got[4];
    for (auto &v : got) VariantInit(&v);
    ULONG fetched = 0;
    EXPECT_EQ(items->Next(4, got, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 3u);
    std::u16string names;
    for (ULONG i = 0; i < fetched; ++i) {
        ASSERT_EQ(got[i].vt, VT_DISPATCH);
        names += Invoke(got[i].pdispVal, u"TaskName", kGet).result.str();
        VariantClear(&got[i]);
    }
    EXPECT_EQ(names, u"ABC");
    EXPECT_EQ(items->Reset(), S_OK);
    EXPECT_EQ(items->Skip(2), S_OK);
    ComRef<IEnumVARIANT> copy;
    ASSERT_EQ(items->Clone(copy.Out()), S_OK);
    ASSERT_EQ(copy->Next(1, got, &fetched), S_OK);
    EXPECT_EQ(Invoke(got[0].pdispVal, u"TaskName", kGet).result.str(), u"C");
    VariantClear(&got[0]);
    EXPECT_EQ(items->Skip(2), S_FALSE);
}

TEST_F(Dispatch, RaisedErrorsArriveInExcepInfoAndErrorInfo) {
    ComRef<IDispatch> tasks = Tasks();
    Exception e;
    Call missing = Invoke(tasks.get(), u"Item", kCall, {Var::Str(u"nobody")}, &e);
    EXPECT_EQ(missing.hr, DISP_E_EXCEPTION);
    EXPECT_EQ(e.info.scode, static_cast<SCODE>(0x800A0005));
    EXPECT_EQ(e.info.wCode, 0);
    EXPECT_EQ(e.source(), u"Velqo Task Scheduler");
    EXPECT_FALSE(e.description().empty());
    EXPECT_EQ(missing.result.vt(), VT_EMPTY);
    // The thread's error information still tells the same.
    IErrorInfo *info = nullptr;
    ASSERT_EQ(GetErrorInfo(0, &info), S_OK);
    BSTR source = nullptr;
    info->GetSource(&source);
    EXPECT_EQ(Exception::Text(source), u"Velqo Task Scheduler");
    SysFreeString(source);
    info->Release();
    // Without an EXCEPINFO the member's own HRESULT comes back.
    EXPECT_EQ(Invoke(tasks.get(), u"Item", kCall, {Var::Str(u"nobody")}).hr, static_cast<HRESULT>(0x800A0005));

    // A component error with its help file and context.
    ComRef<IDispatch> task = AddTask(tasks.get(), u"Empty app");
    Exception app;
    EXPECT_EQ(Invoke(task.get(), u"ApplicationName", kPut, {Var::Str(u"")}, &app).hr, DISP_E_EXCEPTION);
    EXPECT_EQ(app.description(), u"Application name must not be empty");
    EXPECT_EQ(app.source(), u"Velqo Task Scheduler");
}

TEST_F(Dispatch, TriggerAnswersItsEarlierInterfaceIdentifier) {
    ComRef<IDispatch> trigger = Child(Child(AddTask(Tasks().get(), u"Alias").get(), u"Triggers").get(), u"Add");
    void *now = nullptr, *earlier = nullptr;
    ASSERT_EQ(trigger->QueryInterface(TaskScheduler::IID__Trigger, &now), S_OK);
    ASSERT_EQ(trigger->QueryInterface(TaskScheduler::IID__TriggerV0, &earlier), S_OK);
    EXPECT_EQ(now, earlier);
    static_cast<IUnknown *>(now)->Release();
    static_cast<IUnknown *>(earlier)->Release();
}

// Every allocation of a late-bound call failing in turn: each failure comes
// back as an error and leaves nothing behind.
TEST_F(Dispatch, EachFailedAllocationOfALateBoundCallIsReported) {
    ComRef<IDispatch> tasks = Tasks();
    bool succeeded = false;
    for (long n = 0; n < 200 && !succeeded; ++n) {
        VARIANT variable;
        VariantInit(&variable);
        Exception e;
        VelqoFailAllocationAfter(n);
        Call c = Invoke(tasks.get(), u"Add", kCall, {Var::RefTo(&variable)}, &e);
        VelqoFailAllocationAfter(-1);
        succeeded = c.hr == S_OK;
        if (!succeeded) {
            EXPECT_TRUE(FAILED(c.hr)) << n;
            EXPECT_EQ(variable.vt, VT_EMPTY) << n;
        } else {
            EXPECT_EQ(variable.vt, VT_BSTR);
        }
        VariantClear(&variable);
    }
    EXPECT_TRUE(succeeded);
    EXPECT_EQ(Invoke(tasks.get(), u"Count", kGet).result->lVal, 1);
}

}  // namespace
