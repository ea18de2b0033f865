// Trigger and Triggers: calendar packing, binding, the dirty rule, the
// schedule fields under each trigger type, Update and Description; the
// collection's loading, Add, Item, Remove with its renumbering, the
// enumerator, and who holds whom.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>

#include "objects/objects_test.h"
#include "triggers/calendar.h"

namespace objects_test {
namespace {

using TaskScheduler::_Trigger;
using TaskScheduler::_Triggers;
using velqosch::TaskObject;
using velqosch::TriggerObject;
using velqosch::TriggersObject;

bool Same(const TASK_TRIGGER &a, const TASK_TRIGGER &b) { return std::memcmp(&a, &b, sizeof a) == 0; }

TEST(CalendarPacking, TwoDigitYearsCarriesAndRanges) {
    struct Row {
        int y, m, d;
        DATE expected;
    };
    for (const Row &r :
         {Row{0, 0, 0, 36494.0} /* 30 November 1999 */, Row{29, 1, 1, 47119.0} /* 2029 */,
          Row{30, 1, 1, 10959.0} /* 1930 */, Row{99, 12, 31, Day(1999, 12, 31)},
          Row{100, 1, 1, -657434.0} /* no window from 100 on */, Row{2024, 13, 1, 45658.0}, Row{2024, 0, 15, 45275.0},
          Row{2024, 3, 0, 45351.0} /* 29 February */, Row{2024, 2, 31, 45353.0}, Row{2024, 5, 17, Day(2024, 5, 17)}})
        EXPECT_EQ(velqosch::PackDate(r.y, r.m, r.d), r.expected) << r.y << "-" << r.m << "-" << r.d;
    try {
        velqosch::PackDate(9999, 12, 32);
        ADD_FAILURE() << "no error";
    } catch (const velqosch::ComponentError &e) {
        EXPECT_EQ(e.record().number, 5);
    }
    EXPECT_THROW(velqosch::PackDate(-1, 1, 1), velqosch::ComponentError);
    EXPECT_THROW(velqosch::UnpackDate(3e6), velqosch::ComponentError);
    EXPECT_THROW(velqosch::UnpackDate(std::nan("")), velqosch::ComponentError);
    EXPECT_DOUBLE_EQ(velqosch::PackTime(25, 0, 0), 1 + 1 / 24.0);
    const velqosch::CalendarParts p = velqosch::UnpackDate(Day(2024, 5, 17) + (14 * 3600 + 35 * 60 + 50) / 86400.0);
    EXPECT_EQ(std::vector<int>({p.year, p.month, p.day, p.hour, p.minute, p.second}),
              std::vector<int>({2024, 5, 17, 14, 35, 50}));
    const velqosch::CalendarParts q = velqosch::UnpackDate(Day(2024, 2, 29) + 0.9999999);
    EXPECT_EQ(std::vector<int>({q.month, q.day, q.hour}), std::vector<int>({3, 1, 0})) << "rounds to the next day";
    const velqosch::CalendarParts r = velqosch::UnpackDate(-1.25);
    EXPECT_EQ(std::vector<int>({r.year, r.day, r.hour}), std::vector<int>({1899, 29, 6}))
        << "before 1899 the time still counts forward from midnight";
}

class TriggerTest : public ObjectsTest {
protected:
    // A Trigger bound to a service trigger holding `record`.
    ComRef<TriggerObject> Bind(const TASK_TRIGGER &record) {
        service = item->AddStoredTrigger(record);
        ComRef<TriggerObject> t = TriggerObject::Create();
        t->SetITaskTrigger(service);
        return t;
    }
    fake::FakeTrigger *service = nullptr;
};

TASK_TRIGGER WithDates(WORD by, WORD bm, WORD bd, WORD ey = 0, WORD em = 0, WORD ed = 0) {
    TASK_TRIGGER r = fake::Record();
    r.wBeginYear = by, r.wBeginMonth = bm, r.wBeginDay = bd;
    r.wEndYear = ey, r.wEndMonth = em, r.wEndDay = ed;
    r.wStartHour = 9, r.wStartMinute = 30;
    return r;
}

TEST_F(TriggerTest, BindingReadsTheRecordWithItsSizeSetOrRaisesTheServiceCode) {
    ComRef<TriggerObject> t = Bind(WithDates(2024, 5, 17));
    EXPECT_EQ(journal.Calls(), (Calls{"T0.GetTrigger(48)"}));
    DATE d = -1;
    ASSERT_EQ(t->get_BeginDate(&d), S_OK);
    EXPECT_EQ(d, Day(2024, 5, 17));
    ASSERT_EQ(t->get_EndDate(&d), S_OK);
    EXPECT_EQ(d, 36494.0) << "the all-zero end date is 30 November 1999";
    ASSERT_EQ(t->get_StartTime(&d), S_OK);
    EXPECT_DOUBLE_EQ(d, (9 * 60 + 30) / 1440.0);
    EXPECT_EQ(t->IsDirty(), VARIANT_FALSE);

    journal.Answer("T1.GetTrigger", E_ACCESSDENIED);
    EXPECT_EQ(velqosch::Guard([&] { Bind(fake::Record()); }), E_ACCESSDENIED);
}

TEST_F(TriggerTest, WritesMoveBitPatternsAndSetDirtyOnlyOnAChange) {
    TASK_TRIGGER r = WithDates(2024, 5, 17, 2024, 12, 31);
    r.wRandomMinutesInterval = 40000;
    r.MinutesInterval = 15;
    r.MinutesDuration = 60;
    r.rgFlags = TASK_TRIGGER_FLAG_DISABLED;
    ComRef<TriggerObject> t = Bind(r);
    SHORT random = 0;
    ASSERT_EQ(t->get_RandomMinutesInterval(&random), S_OK);
    EXPECT_EQ(random, static_cast<SHORT>(40000)) << "a 16-bit field above 32767 reads negative";
    auto flags = static_cast<TaskScheduler::TASK_TRIGGER_FLAGS>(TASK_TRIGGER_FLAG_DISABLED);
    // Each row writes one field: first its current value (clean), then another.
    struct Row {
        const char *what;
        std::function<HRESULT(bool)> put;
        std::function<void(TASK_TRIGGER &)> change;
    };
    const Row rows[] = {
        {"RandomMinutesInterval", [&](bool c) { return t->put_RandomMinutesInterval(c ? 7 : random); },
         [](TASK_TRIGGER &x) { x.wRandomMinutesInterval = 7; }},
        {"MinutesInterval", [&](bool c) { return t->put_MinutesInterval(c ? 16 : 15); },
         [](TASK_TRIGGER &x) { x.MinutesInterval = 16; }},
        {"MinutesDuration", [&](bool c) { return t->put_MinutesDuration(c ? -1 : 60); },
         [](TASK_TRIGGER &x) { x.MinutesDuration = 0xFFFFFFFFu; }},
        {"TriggerType",
         [&](bool c) { return t->put_TriggerType(static_cast<TaskScheduler::TASK_TRIGGER_TYPE>(c ? 2 : 1)); },
         [](TASK_TRIGGER &x) { x.TriggerType = TASK_TIME_TRIGGER_WEEKLY; }},
        {"flags",
         [&](bool c) {
             auto f = static_cast<TaskScheduler::TASK_TRIGGER_FLAGS>(c ? 0 : flags);
             return t->put_flags(&f);
         },
         [](TASK_TRIGGER &x) { x.rgFlags = 0; }},
        {"BeginDate",
         [&](bool c) { return t->put_BeginDate(c ? Day(2024, 5, 17) + 0.6082175925925926 : t->BeginDate()); },
         [](TASK_TRIGGER &) {}},  // same day, other time: a change, the record keeps the day
        {"EndDate", [&](bool c) { return t->put_EndDate(c ? Day(2025, 2, 3) : t->EndDate()); },
         [](TASK_TRIGGER &x) { x.wEndYear = 2025, x.wEndMonth = 2, x.wEndDay = 3; }},
        {"StartTime", [&](bool c) { return t->put_StartTime(c ? 0.6082175925925926 : t->StartTime()); },
         [](TASK_TRIGGER &x) { x.wStartHour = 14, x.wStartMinute = 35; }},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        ComRef<TriggerObject> fresh = Bind(r);
        t = fresh;
        TASK_TRIGGER expected = t->Record();
        ASSERT_EQ(row.put(false), S_OK);
        EXPECT_EQ(t->IsDirty(), VARIANT_FALSE);
        ASSERT_EQ(row.put(true), S_OK);
        EXPECT_EQ(t->IsDirty(), VARIANT_TRUE);
        row.change(expected);
        EXPECT_TRUE(Same(t->Record(), expected)) << "only this field changes";
    }
    DATE d = 0;
    ASSERT_EQ(t->get_StartTime(&d), S_OK);
    EXPECT_EQ(d, 0.6082175925925926) << "StartTime reads back exactly what was written";
    EXPECT_EQ(t->put_flags(nullptr), E_POINTER);
    t.reset();
}

TEST_F(TriggerTest, AnUnrepresentableDateIsRefusedAndNothingChanges) {
    ComRef<TriggerObject> t = Bind(WithDates(2024, 5, 17));
    const TASK_TRIGGER before = t->Record();
    EXPECT_EQ(t->put_BeginDate(1e9), kE5);
    EXPECT_EQ(t->put_StartTime(std::nan("")), kE5);
    EXPECT_TRUE(Same(t->Record(), before));
    EXPECT_EQ(t->IsDirty(), VARIANT_FALSE);
}

struct FieldAccess {
    const char *name;
    LONG (*get)(TriggerObject *);
    HRESULT (*put)(_Trigger *, LONG);
    std::vector<LONG> types;
};

template <class E, HRESULT (STDMETHODCALLTYPE _Trigger::*Put)(E)>
HRESULT PutAs(_Trigger *t, LONG v) {
    return (t->*Put)(static_cast<E>(v));
}

TEST_F(TriggerTest, EachScheduleFieldExistsExactlyForItsTypes) {
    using namespace TaskScheduler;
    const FieldAccess fields[] = {
        {"DaysOfTheMonth",
         [](TriggerObject *t) { return t->DaysOfTheMonth(); },
         PutAs<LONG, &_Trigger::put_DaysOfTheMonth>,
         {3}},
        {"MonthsOfTheYear",
         [](TriggerObject *t) { return t->MonthsOfTheYear(); },
         PutAs<TASK_TRIGGER_MONTH, &_Trigger::put_MonthsOfTheYear>,
         {3, 4}},
        {"WhichWeeks",
         [](TriggerObject *t) { return t->WhichWeeks(); },
         PutAs<TASK_TRIGGER_WEEK, &_Trigger::put_WhichWeeks>,
         {4}},
        {"DaysOfTheWeek",
         [](TriggerObject *t) { return t->DaysOfTheWeek(); },
         PutAs<TASK_TRIGGER_DAY, &_Trigger::put_DaysOfTheWeek>,
         {2, 4}},
        {"DaysInterval",
         [](TriggerObject *t) { return LONG{t->DaysInterval()}; },
         PutAs<SHORT, &_Trigger::put_DaysInterval>,
         {1}},
        {"WeeksInterval",
         [](TriggerObject *t) { return LONG{t->WeeksInterval()}; },
         PutAs<SHORT, &_Trigger::put_WeeksInterval>,
         {2}},
    };
    TASK_TRIGGER r = fake::Record(0);
    const WORD words[3] = {0x0102, 0x0304, 0x0506};
    std::memcpy(reinterpret_cast<unsigned char *>(&r) + offsetof(TASK_TRIGGER, Type), words, sizeof words);
    ComRef<TriggerObject> t = Bind(r);
    for (LONG type : {0, 1, 2, 3, 4, 5, 6, 7, 8, -1}) {
        t->PutTriggerType(type);
        for (const FieldAccess &f : fields) {
            SCOPED_TRACE(std::string(f.name) + " under type " + std::to_string(type));
            const bool has = std::find(f.types.begin(), f.types.end(), type) != f.types.end();
            const TASK_TRIGGER before = t->Record();
            const LONG value = f.get(t.get());
            if (!has) {
                EXPECT_EQ(value, 0);
                EXPECT_EQ(f.put(t.get(), 1), kE5);
                EXPECT_EQ(TakeErrorInfo(), Record(u"Invalid property assignment", u"velqosch.chm"));
            } else {
                EXPECT_NE(value, 0);
                EXPECT_EQ(f.put(t.get(), value), S_OK);
            }
            EXPECT_TRUE(Same(t->Record(), before)) << "a refused write, or the value read, changes nothing";
        }
    }
}

TEST_F(TriggerTest, ScheduleWordsLieWhereTheServiceExpectsThem) {
    ComRef<TriggerObject> t = Bind(fake::Record(TASK_TIME_TRIGGER_WEEKLY));
    t->PutWeeksInterval(2);
    t->PutDaysOfTheWeek(TASK_MONDAY | TASK_FRIDAY);
    EXPECT_EQ(t->Record().Type.Weekly.WeeksInterval, 2);
    EXPECT_EQ(t->Record().Type.Weekly.rgfDaysOfTheWeek, 34);
    t->PutTriggerType(TASK_TIME_TRIGGER_MONTHLYDOW);
    EXPECT_EQ(t->WhichWeeks(), 2) << "changing the type keeps the words";
    t->PutTriggerType(TASK_TIME_TRIGGER_MONTHLYDATE);
    t->PutDaysOfTheMonth(static_cast<LONG>(0x80000001u));
    EXPECT_EQ(t->Record().Type.MonthlyDate.rgfDays, 0x80000001u);
    EXPECT_EQ(t->DaysOfTheMonth(), static_cast<LONG>(0x80000001u)) << "all 32 bits, bit 31 reads negative";
    t->PutMonthsOfTheYear(-2);
    EXPECT_EQ(t->MonthsOfTheYear(), -2) << "a 16-bit word through a 32-bit property is sign-extended";
    // The type is checked before the range; schedule writes leave dirty alone.
    const TASK_TRIGGER before = t->Record();
    EXPECT_EQ(t->put_MonthsOfTheYear(static_cast<TaskScheduler::TASK_TRIGGER_MONTH>(40000)), kE6);
    EXPECT_TRUE(Same(t->Record(), before));
    t->PutTriggerType(TASK_TIME_TRIGGER_DAILY);
    EXPECT_EQ(t->put_MonthsOfTheYear(static_cast<TaskScheduler::TASK_TRIGGER_MONTH>(40000)), kE5);
    ComRef<TriggerObject> clean = Bind(fake::Record(TASK_TIME_TRIGGER_DAILY));
    clean->PutDaysInterval(9);
    EXPECT_EQ(clean->IsDirty(), VARIANT_FALSE);
    clean->UpdateRecord();
    EXPECT_EQ(service->record.Type.Daily.DaysInterval, 9) << "Update still sends the new value";
}

TEST_F(TriggerTest, UpdateAndDescriptionGoToTheService) {
    ComRef<TriggerObject> t = Bind(WithDates(2024, 5, 17));
    journal.Clear();
    t->PutMinutesInterval(60);
    ASSERT_EQ(t->Update(), S_OK);
    EXPECT_EQ(journal.Calls(), (Calls{"T0.SetTrigger()"}));
    EXPECT_TRUE(Same(service->record, t->Record())) << "the whole record";
    EXPECT_EQ(t->IsDirty(), VARIANT_TRUE) << "Update does not clear dirty";
    journal.Answer("T0.SetTrigger", SCHED_E_SERVICE_NOT_RUNNING);
    t->PutMinutesInterval(61);
    EXPECT_EQ(t->Update(), SCHED_E_SERVICE_NOT_RUNNING);
    EXPECT_EQ(t->Record().MinutesInterval, 61u) << "a failed Update keeps the record";
    EXPECT_EQ(service->record.MinutesInterval, 60u);

    service->text = u"Every 2 weeks on Monday";
    BSTR text = nullptr;
    ASSERT_EQ(t->get_Description(&text), S_OK);
    EXPECT_EQ(Take(text), u"Every 2 weeks on Monday");
    journal.Answer("T0.GetTriggerString", E_OUTOFMEMORY);
    text = reinterpret_cast<BSTR>(1);
    EXPECT_EQ(t->get_Description(&text), E_OUTOFMEMORY);
    EXPECT_EQ(text, nullptr);
}

// ---- Triggers -----------------------------------------------------------------------------------------------------

class TriggersTest : public ObjectsTest {
protected:
    void TearDown() override {
        task.reset();
        ObjectsTest::TearDown();
    }
    // n stored triggers told apart by MinutesInterval 100, 101, ..., and the bound Triggers.
    ComRef<TriggersObject> Store(int n) {
        for (int i = 0; i < n; ++i) {
            TASK_TRIGGER r = fake::Record(TASK_TIME_TRIGGER_DAILY);
            r.MinutesInterval = static_cast<DWORD>(100 + i);
            item->AddStoredTrigger(r);
        }
        task = BoundTask();
        return task->Triggers();
    }
    // The marks of the triggers in collection order, and their Index.
    static std::vector<LONG> Marks(TriggersObject *c) {
        std::vector<LONG> out;
        for (SHORT p = 1; p <= c->Count(); ++p) out.push_back(c->Item(p)->MinutesInterval());
        return out;
    }
    ComRef<TaskObject> task;
};

TEST_F(TriggersTest, BindingWrapsEachTriggerInOrderAndAFailureKeepsWhatWasWrapped) {
    ComRef<TriggersObject> triggers = Store(3);
    EXPECT_EQ(journal.Calls(), (Calls{"GetTriggerCount()", "GetTrigger(0)", "T0.GetTrigger(48)", "GetTrigger(1)",
                                      "T1.GetTrigger(48)", "GetTrigger(2)", "T2.GetTrigger(48)"}));
    EXPECT_EQ(Marks(triggers.get()), (std::vector<LONG>{100, 101, 102}));
    for (SHORT p = 1; p <= 3; ++p) EXPECT_EQ(triggers->Item(p)->Index(), p - 1);
    for (const auto &s : item->triggers) EXPECT_EQ(s->Refs(), 2u) << "the item and one Trigger hold it";

    journal.Answer("T1.GetTrigger", E_ACCESSDENIED);
    ComRef<TaskObject> other = TaskObject::Create();
    EXPECT_EQ(velqosch::Guard([&] { other->SetITask(item.get()); }), E_ACCESSDENIED);
    EXPECT_EQ(other->Triggers()->Count(), 1);
    EXPECT_EQ(item->triggers[1]->Refs(), 2u) << "the Trigger that failed to bind let go of its service trigger";
}

TEST_F(TriggersTest, AddCreatesAServiceTriggerWithFlagsZeroAndItsOwnIndex) {
    ComRef<TriggersObject> triggers = Store(2);
    item->newTriggerRecord.rgFlags = TASK_TRIGGER_FLAG_DISABLED;
    journal.Clear();
    ComRef<_Trigger> added;
    ASSERT_EQ(triggers->Add(added.Out()), S_OK);
    EXPECT_EQ(journal.Calls(), (Calls{"CreateTrigger()", "T2.GetTrigger(48)"})) << "nothing written before Update";
    auto *t = static_cast<TriggerObject *>(added.get());
    EXPECT_EQ(t->Index(), 2) << "the collection's own numbering, not the service's answer";
    EXPECT_EQ(triggers->Item(3).get(), t);
    EXPECT_EQ(t->Flags(), 0);
    EXPECT_EQ(t->IsDirty(), VARIANT_TRUE) << "flags were not 0 before";
    EXPECT_EQ(t->References(), 2u) << "the list and this test";
    EXPECT_EQ(item->triggers[2]->Refs(), 2u) << "the item and the new Trigger";
    item->newTriggerRecord.rgFlags = 0;
    EXPECT_EQ(triggers->AddTrigger()->IsDirty(), VARIANT_FALSE) << "flags already 0: clean";

    journal.Answer("CreateTrigger", SCHED_E_SERVICE_NOT_RUNNING);
    _Trigger *failed = reinterpret_cast<_Trigger *>(1);
    EXPECT_EQ(triggers->Add(&failed), SCHED_E_SERVICE_NOT_RUNNING);
    EXPECT_EQ(failed, nullptr);
    EXPECT_EQ(triggers->Count(), 4);
    EXPECT_EQ(triggers->SlotsAllocated(), 4);
    EXPECT_EQ(TakeErrorInfo().source, u"Velqo Task Scheduler");
}

TEST_F(TriggersTest, ItemAndRemoveOutsideTheListRaiseTheirErrors) {
    ComRef<TriggersObject> triggers = Store(2);
    journal.Clear();
    for (SHORT bad : {SHORT{0}, SHORT{3}, SHORT{-1}, SHORT{-32768}}) {
        _Trigger *t = reinterpret_cast<_Trigger *>(1);
        EXPECT_EQ(triggers->get_Item(&bad, &t), kE9);
        EXPECT_EQ(t, nullptr);
        EXPECT_EQ(triggers->Remove(&bad), kE5);
        EXPECT_EQ(TakeErrorInfo(), Record(u"Invalid Trigger Index"));
    }
    SHORT one = 1;
    EXPECT_EQ(triggers->get_Item(&one, nullptr), E_POINTER);
    EXPECT_EQ(triggers->Remove(nullptr), E_POINTER);
    EXPECT_TRUE(journal.Calls().empty());

    ComRef<TriggerObject> second = triggers->Item(2);
    journal.Answer("DeleteTrigger", E_ACCESSDENIED);
    EXPECT_EQ(triggers->Remove(&one), E_ACCESSDENIED);
    EXPECT_EQ(triggers->Count(), 2);
    EXPECT_EQ(second->Index(), 1);
    EXPECT_EQ(triggers->LiveTriggers(), 2);
}

TEST_F(TriggersTest, RemoveDeletesByCurrentIndexAndRenumbers) {
    ComRef<TriggersObject> triggers = Store(4);
    ComRef<TriggerObject> a = triggers->Item(1), b = triggers->Item(2), c = triggers->Item(3), d = triggers->Item(4);
    journal.Clear();
    SHORT one = 1, two = 2;
    ASSERT_EQ(triggers->Remove(&one), S_OK);
    ASSERT_EQ(triggers->Remove(&two), S_OK);
    EXPECT_EQ(journal.Calls(), (Calls{"DeleteTrigger(0)", "DeleteTrigger(1)"})) << "A, then C";
    EXPECT_EQ(std::vector<SHORT>({a->Index(), b->Index(), c->Index(), d->Index()}), std::vector<SHORT>({-1, 0, -1, 1}));
    EXPECT_EQ(Marks(triggers.get()), (std::vector<LONG>{101, 103}));
    EXPECT_EQ(a->References(), 1u) << "only this test holds a removed Trigger";
    ASSERT_EQ(item->triggers.size(), 2u) << "the service's list agrees";
    EXPECT_EQ(item->triggers[1]->record.MinutesInterval, 103u);
    EXPECT_EQ(triggers->AddTrigger()->Index(), 2) << "a new trigger takes the next index after the live ones";
    journal.Clear();
    triggers->RemoveTrigger(1);
    triggers->RemoveTrigger(1);
    EXPECT_EQ(journal.Calls(), (Calls{"DeleteTrigger(0)", "DeleteTrigger(0)"}));
    EXPECT_EQ(std::vector<SHORT>({b->Index(), d->Index(), triggers->Item(1)->Index()}),
              std::vector<SHORT>({-1, -1, 0}));
}

TEST_F(TriggersTest, IndexTableGrowsInStepsOfTen) {
    ComRef<TriggersObject> triggers = Store(0);
    EXPECT_EQ(triggers->IndexTable().size(), 0u);
    for (int i = 0; i < 10; ++i) triggers->AllocateIndexSlot();
    EXPECT_EQ(triggers->IndexTable().size(), 10u);
    triggers->FreeIndexSlot(3);
    EXPECT_EQ(triggers->AllocateIndexSlot(), 10) << "slots are never reused";
    ASSERT_EQ(triggers->IndexTable().size(), 20u);
    EXPECT_EQ(std::vector<SHORT>({triggers->IndexOfSlot(2), triggers->IndexOfSlot(3), triggers->IndexOfSlot(9),
                                  triggers->IndexOfSlot(10)}),
              std::vector<SHORT>({2, -1, 8, 9}));
    EXPECT_THROW(triggers->IndexOfSlot(20), velqosch::ComponentError);
}

TEST_F(TriggersTest, EnumeratorYieldsTheTriggersInOrder) {
    ComRef<TriggersObject> triggers = Store(3);
    ComRef<IUnknown> unknown;
    ASSERT_EQ(triggers->get_NewEnum(unknown.Out()), S_OK);
    ComRef<IEnumVARIANT> e;
    ASSERT_EQ(unknown->QueryInterface(IID_IEnumVARIANT, reinterpret_cast<void **>(e.Out())), S_OK);
    VARIANT v[4];
    ULONG fetched = 0;
    EXPECT_EQ(e->Next(4, v, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 3u);
    for (ULONG k = 0; k < fetched; ++k) {
        ASSERT_EQ(v[k].vt, VT_DISPATCH);
        EXPECT_EQ(static_cast<TriggerObject *>(static_cast<_Trigger *>(v[k].pdispVal))->MinutesInterval(),
                  static_cast<LONG>(100 + k));
        VariantClear(&v[k]);
    }
    EXPECT_EQ(e->Reset(), S_OK);
    EXPECT_EQ(e->Skip(2), S_OK);
    EXPECT_EQ(e->Skip(2), S_FALSE);
}

TEST_F(TriggersTest, EndingTheTaskBreaksTheCycleButHeldTriggersStayUsable) {
    const LONG before = velqosch::LiveObjectCount();
    ComRef<TriggersObject> collection = Store(2);
    EXPECT_EQ(velqosch::LiveObjectCount(), before + 4) << "Task, Triggers and two Triggers";
    EXPECT_EQ(collection->References(), 4u) << "Task, two Triggers, this test";
    ComRef<TriggerObject> held = collection->Item(2);
    collection.reset();
    task.reset();
    EXPECT_EQ(velqosch::LiveObjectCount(), before + 2) << "the held Trigger and the Triggers it keeps";
    EXPECT_EQ(held->Index(), 1);
    held->PutMinutesInterval(5);
    EXPECT_EQ(held->Update(), S_OK);
    EXPECT_EQ(item->triggers[1]->record.MinutesInterval, 5u);
    EXPECT_EQ(item->triggers[0]->Refs(), 1u) << "the Trigger nobody held is gone";
    held.reset();
    EXPECT_EQ(velqosch::LiveObjectCount(), before);
}

}  // namespace
}  // namespace objects_test
