// Trigger and Triggers over the fake service: calendar packing, the dirty
// rule, the fields of each trigger type, the collection and its renumbering.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>

#include "common/fake_service.h"
#include "common/trace_viewer.h"
#include "triggers/calendar.h"
#include "triggers/triggers.h"

namespace fake {
namespace {

using TaskScheduler::_Trigger;
using velqosch::TaskObject, velqosch::TriggerObject, velqosch::TriggersObject;

bool Same(const TASK_TRIGGER &a, const TASK_TRIGGER &b) { return std::memcmp(&a, &b, sizeof a) == 0; }

TEST(CalendarPacking, TwoDigitYearsCarriesAndRanges) {
    using velqosch::PackDate, velqosch::UnpackDate;
    // clang-format off
    const std::tuple<int, int, int, DATE> rows[] = {
        {0, 0, 0, 36494.0} /* 30 November 1999 */, {29, 1, 1, 47119.0} /* 2029 */, {30, 1, 1, 10959.0} /* 1930 */,
        {99, 12, 31, Day(1999, 12, 31)}, {100, 1, 1, -657434.0} /* no window from 100 on */, {2024, 13, 1, 45658.0},
        {2024, 3, 0, 45351.0} /* 29 February */};
    // clang-format on
    for (const auto &[y, m, d, expected] : rows) EXPECT_EQ(PackDate(y, m, d), expected) << y << "-" << m << "-" << d;
    for (auto bad :
         std::initializer_list<std::function<void()>>{[] { PackDate(9999, 12, 32); }, [] { PackDate(-1, 1, 1); },
                                                      [] { UnpackDate(3e6); }, [] { UnpackDate(std::nan("")); }})
        EXPECT_EQ(ErrorOf(bad), 5);
    const auto parts = [](DATE d) {
        const velqosch::CalendarParts p = UnpackDate(d);
        return std::vector<int>{p.year, p.month, p.day, p.hour, p.minute, p.second};
    };
    EXPECT_EQ(parts(Day(2024, 2, 29) + 0.9999999), (std::vector<int>{2024, 3, 1, 0, 0, 0})) << "rounds to the next day";
    EXPECT_EQ(parts(-1.25), (std::vector<int>{1899, 12, 29, 6, 0, 0})) << "the time counts forward from midnight";
}

class TriggerTest : public ServiceTest {
protected:
    void TearDown() override {
        task.reset();
        ServiceTest::TearDown();
    }

    // A Trigger bound to a service trigger holding `record`.
    ComRef<TriggerObject> Bind(const TASK_TRIGGER &record) {
        bound = item->AddStoredTrigger(record);
        ComRef<TriggerObject> t = TriggerObject::Create();
        t->SetITaskTrigger(bound);
        return t;
    }
    // n stored triggers told apart by MinutesInterval 100, 101, ..., and the bound Triggers.
    ComRef<TriggersObject> Store(int n) {
        for (int i = 0; i < n; ++i) {
            TASK_TRIGGER r = Record(TASK_TIME_TRIGGER_DAILY);
            r.MinutesInterval = static_cast<DWORD>(100 + i);
            item->AddStoredTrigger(r);
        }
        task = BoundTask();
        return task->Triggers();
    }
    static std::vector<LONG> Marks(TriggersObject *c) {
        std::vector<LONG> out;
        for (SHORT p = 1; p <= c->Count(); ++p) out.push_back(c->Item(p)->MinutesInterval());
        return out;
    }
    FakeTrigger *bound = nullptr;  // the service trigger of the last Bind
    ComRef<TaskObject> task;
};

template <class E, HRESULT (STDMETHODCALLTYPE _Trigger::*Member)(E)>
HRESULT Put(_Trigger *t, LONG v) {
    return (t->*Member)(static_cast<E>(v));
}

// Binding reads the record with its size set. Each row writes one field:
// first its current value (clean), then another; only that field changes.
TEST_F(TriggerTest, WritesMoveBitPatternsAndSetDirtyOnlyOnAChange) {
    TASK_TRIGGER r = Record();
    r.wBeginYear = 2024, r.wBeginMonth = 5, r.wBeginDay = 17, r.wEndYear = 2024, r.wEndMonth = 12, r.wEndDay = 31;
    r.wStartHour = 9, r.wStartMinute = 30;
    r.wRandomMinutesInterval = 40000, r.MinutesInterval = 15, r.MinutesDuration = 60;
    r.rgFlags = TASK_TRIGGER_FLAG_DISABLED;
    ComRef<TriggerObject> t = Bind(r);
    EXPECT_EQ(journal.Log(), (Calls{"T0.GetTrigger(48)"}));
    SHORT random = 0;
    ASSERT_EQ(t->get_RandomMinutesInterval(&random), S_OK);
    EXPECT_EQ(random, static_cast<SHORT>(40000)) << "a 16-bit field above 32767 reads negative";
    EXPECT_EQ(t->put_BeginDate(1e9), kE5);
    EXPECT_EQ(t->put_StartTime(std::nan("")), kE5);
    EXPECT_TRUE(Same(t->Record(), r) && t->IsDirty() == VARIANT_FALSE) << "an unrepresentable date changes nothing";
    const auto flags = [](LONG f) { return static_cast<TaskScheduler::TASK_TRIGGER_FLAGS>(f); };
    struct Row {
        std::function<HRESULT(bool)> put;
        std::function<void(TASK_TRIGGER &)> change;
    };
    // clang-format off
    const Row rows[] = {
        {[&](bool c) { return t->put_RandomMinutesInterval(c ? 7 : random); },
         [](TASK_TRIGGER &x) { x.wRandomMinutesInterval = 7; }},
        {[&](bool c) { return t->put_MinutesInterval(c ? 16 : 15); }, [](TASK_TRIGGER &x) { x.MinutesInterval = 16; }},
        {[&](bool c) { return t->put_MinutesDuration(c ? -1 : 60); }, [](TASK_TRIGGER &x) { x.MinutesDuration = ~0u; }},
        {[&](bool c) { return t->put_TriggerType(static_cast<TaskScheduler::TASK_TRIGGER_TYPE>(c ? 2 : 1)); },
         [](TASK_TRIGGER &x) { x.TriggerType = TASK_TIME_TRIGGER_WEEKLY; }},
        {[&](bool c) { auto f = flags(c ? 0 : TASK_TRIGGER_FLAG_DISABLED); return t->put_flags(&f); },
         [](TASK_TRIGGER &x) { x.rgFlags = 0; }},
        {[&](bool c) { return t->put_BeginDate(c ? Day(2024, 5, 17) + 0.6082175925925926 : t->BeginDate()); },
         [](TASK_TRIGGER &) {}},  // same day, other time: a change, the record keeps the day
        {[&](bool c) { return t->put_EndDate(c ? Day(2025, 2, 3) : t->EndDate()); },
         [](TASK_TRIGGER &x) { x.wEndYear = 2025, x.wEndMonth = 2, x.wEndDay = 3; }},
        {[&](bool c) { return t->put_StartTime(c ? 0.6082175925925926 : t->StartTime()); },
         [](TASK_TRIGGER &x) { x.wStartHour = 14, x.wStartMinute = 35; }},
    };
    // clang-format on
    for (const Row &row : rows) {
        t = Bind(r);
        TASK_TRIGGER expected = t->Record();
        ASSERT_EQ(row.put(false), S_OK);
        EXPECT_EQ(t->IsDirty(), VARIANT_FALSE);
        ASSERT_EQ(row.put(true), S_OK);
        EXPECT_EQ(t->IsDirty(), VARIANT_TRUE);
        row.change(expected);
        EXPECT_TRUE(Same(t->Record(), expected)) << &row - rows;
    }
    DATE d = 0;
    ASSERT_EQ(t->get_StartTime(&d), S_OK);
    EXPECT_EQ(d, 0.6082175925925926) << "StartTime reads back exactly what was written";

    // Update sends the whole record; a failed one keeps it. Description is the service's.
    journal.Clear();
    ASSERT_EQ(t->Update(), S_OK);
    EXPECT_EQ(journal.Log(), (Calls{"T8.SetTrigger()"}));
    EXPECT_TRUE(Same(bound->record, t->Record()));
    journal.Answer("T8.SetTrigger", SCHED_E_SERVICE_NOT_RUNNING), journal.Answer("T8.GetTriggerString", E_OUTOFMEMORY);
    t->PutMinutesInterval(61);
    EXPECT_EQ(t->Update(), SCHED_E_SERVICE_NOT_RUNNING);
    EXPECT_EQ(t->Record().MinutesInterval, 61u);
    BSTR text = nullptr;
    EXPECT_EQ(t->get_Description(&text), E_OUTOFMEMORY);
    EXPECT_EQ(text, nullptr);

    // The type matrix: each schedule field under types 0 to 8 and an unknown one.
    using namespace TaskScheduler;
    // clang-format off
    using Get = LONG (*)(TriggerObject *);
    const std::tuple<Get, HRESULT (*)(_Trigger *, LONG), std::vector<LONG>> fields[] = {
        {[](auto *t) { return t->DaysOfTheMonth(); }, Put<LONG, &_Trigger::put_DaysOfTheMonth>, {3}},
        {[](auto *t) { return t->MonthsOfTheYear(); }, Put<TASK_TRIGGER_MONTH, &_Trigger::put_MonthsOfTheYear>, {3, 4}},
        {[](auto *t) { return t->WhichWeeks(); }, Put<TASK_TRIGGER_WEEK, &_Trigger::put_WhichWeeks>, {4}},
        {[](auto *t) { return t->DaysOfTheWeek(); }, Put<TASK_TRIGGER_DAY, &_Trigger::put_DaysOfTheWeek>, {2, 4}},
        {[](auto *t) { return LONG{t->DaysInterval()}; }, Put<SHORT, &_Trigger::put_DaysInterval>, {1}},
        {[](auto *t) { return LONG{t->WeeksInterval()}; }, Put<SHORT, &_Trigger::put_WeeksInterval>, {2}},
    };
    // clang-format on
    r = Record(0);
    const WORD words[3] = {0x0102, 0x0304, 0x0506};
    std::memcpy(reinterpret_cast<unsigned char *>(&r) + offsetof(TASK_TRIGGER, Type), words, sizeof words);
    t = Bind(r);
    for (LONG type : {0, 1, 2, 3, 4, 5, 6, 7, 8, -1}) {
        t->PutTriggerType(type);
        for (const auto &[get, put, types] : fields) {
            SCOPED_TRACE("field " + std::to_string(&get - &std::get<0>(fields[0])) + " type " + std::to_string(type));
            const bool has = std::find(types.begin(), types.end(), type) != types.end();
            const TASK_TRIGGER before = t->Record();
            const LONG value = get(t.get());
            EXPECT_EQ(value != 0, has);
            if (!has) {
                EXPECT_EQ(put(t.get(), 1), kE5);
                EXPECT_EQ(TakeErrorInfo(), Raised(u"Invalid property assignment", u"velqosch.chm"));
            } else {
                EXPECT_EQ(put(t.get(), value), S_OK);
            }
            EXPECT_TRUE(Same(t->Record(), before)) << "a refused write, or the value read, changes nothing";
        }
    }
}

// ---- Triggers -----------------------------------------------------------------------------------------------------

// Loading wraps each service trigger in order; Add creates one, not written
// before Update, with flags 0 and the collection's own next index.
TEST_F(TriggerTest, TriggersLoadInOrderAddAndAFailureKeepsWhatWasWrapped) {
    ComRef<TriggersObject> triggers = Store(3);
    EXPECT_EQ(journal.Log(), (Calls{"GetTriggerCount()", "GetTrigger(0)", "T0.GetTrigger(48)", "GetTrigger(1)",
                                    "T1.GetTrigger(48)", "GetTrigger(2)", "T2.GetTrigger(48)"}));
    EXPECT_EQ(Marks(triggers.get()), (std::vector<LONG>{100, 101, 102}));
    for (const auto &s : item->triggers) EXPECT_EQ(s->Refs(), 2u) << "the item and one Trigger hold it";
    item->newTriggerRecord.rgFlags = TASK_TRIGGER_FLAG_DISABLED;
    journal.Clear();
    ComRef<_Trigger> added;
    ASSERT_EQ(triggers->Add(added.Out()), S_OK);
    EXPECT_EQ(journal.Log(), (Calls{"CreateTrigger()", "T3.GetTrigger(48)"}));
    auto *t = static_cast<TriggerObject *>(added.get());
    EXPECT_EQ(std::vector<LONG>({t->Index(), t->Flags(), t->IsDirty()}), std::vector<LONG>({3, 0, VARIANT_TRUE}));
    item->newTriggerRecord.rgFlags = 0;
    EXPECT_EQ(triggers->AddTrigger()->IsDirty(), VARIANT_FALSE) << "flags already 0: clean";
    journal.Answer("CreateTrigger", SCHED_E_SERVICE_NOT_RUNNING);
    _Trigger *failed = reinterpret_cast<_Trigger *>(1);
    EXPECT_EQ(triggers->Add(&failed), SCHED_E_SERVICE_NOT_RUNNING);
    EXPECT_EQ(failed, nullptr);
    EXPECT_EQ(triggers->Count(), 5);

    journal.Answer("T1.GetTrigger", E_ACCESSDENIED);
    ComRef<TaskObject> other = TaskObject::Create();
    EXPECT_EQ(velqosch::Guard([&] { other->SetITask(item.get()); }), E_ACCESSDENIED);
    EXPECT_EQ(other->Triggers()->Count(), 1);
    EXPECT_EQ(item->triggers[1]->Refs(), 2u) << "the Trigger that failed to bind let go of its service trigger";
}

// Item and Remove outside the list raise their errors and call nothing;
// Remove deletes by the current index and renumbers the Triggers.
TEST_F(TriggerTest, RemoveDeletesByCurrentIndexAndRenumbers) {
    ComRef<TriggersObject> triggers = Store(4);
    ComRef<TriggerObject> a = triggers->Item(1), b = triggers->Item(2), c = triggers->Item(3), d = triggers->Item(4);
    journal.Clear();
    for (SHORT bad : {SHORT{0}, SHORT{5}, SHORT{-1}, SHORT{-32768}}) {
        _Trigger *t = reinterpret_cast<_Trigger *>(1);
        EXPECT_EQ(triggers->get_Item(&bad, &t), kE9);
        EXPECT_EQ(t, nullptr);
        EXPECT_EQ(triggers->Remove(&bad), kE5);
        EXPECT_EQ(TakeErrorInfo(), Raised(u"Invalid Trigger Index"));
    }
    SHORT one = 1, two = 2;
    journal.Answer("DeleteTrigger#1", E_ACCESSDENIED);
    EXPECT_EQ(triggers->Remove(&one), E_ACCESSDENIED);
    journal.ClearAnswers();
    ASSERT_EQ(triggers->Remove(&one), S_OK);
    ASSERT_EQ(triggers->Remove(&two), S_OK);
    EXPECT_EQ(journal.Log(), (Calls{"DeleteTrigger(0)", "DeleteTrigger(0)", "DeleteTrigger(1)"})) << "A, then C";
    EXPECT_EQ(std::vector<SHORT>({a->Index(), b->Index(), c->Index(), d->Index()}), std::vector<SHORT>({-1, 0, -1, 1}));
    EXPECT_EQ(Marks(triggers.get()), (std::vector<LONG>{101, 103}));
    EXPECT_EQ(a->References(), 1u) << "only this test holds a removed Trigger";
    ASSERT_EQ(item->triggers.size(), 2u) << "the service's list agrees";
    EXPECT_EQ(item->triggers[1]->record.MinutesInterval, 103u);
    EXPECT_EQ(triggers->AddTrigger()->Index(), 2) << "a new trigger takes the next index after the live ones";
    journal.Clear();
    triggers->RemoveTrigger(1);
    triggers->RemoveTrigger(1);
    EXPECT_EQ(journal.Log(), (Calls{"DeleteTrigger(0)", "DeleteTrigger(0)"}));
    EXPECT_EQ(std::vector<SHORT>({a->Index(), b->Index(), c->Index(), d->Index(), triggers->Item(1)->Index()}),
              std::vector<SHORT>({-1, -1, -1, -1, 0}));
}

// Entry and exit on the normal way out, the entry alone when a procedure
// ends by an error, nothing from the untraced ones.
TEST_F(TriggerTest, TracedProcedures) {
    test_trace::Viewer viewer;
    ASSERT_TRUE(viewer.open());
    journal.Answer("T0.SetTrigger", E_ACCESSDENIED);
    const auto lines = viewer.Markers(
        [&] {
            ComRef<TaskObject> task = BoundTask();
            SAFEARRAY *none = nullptr;
            task->put_WorkItemData(&none);  // quiet, but no exit line
            task->put_flags(1);
            ComRef<TriggerObject> t = Bind(Record(TASK_TIME_TRIGGER_WEEKLY));
            t->put_DaysInterval(1);  // untraced, and refused
            t->Update();             // fails: entry line only
        },
        {"Trigger", "Task"});
    EXPECT_EQ(lines, (Calls{"-> Task : Sub Class_Initialize", "<- Task : Sub Class_Initialize",
                            "-> Task : Property (Set) ITask", "<- Task : Property (Set) ITask",
                            "-> Task : Property (Let) WorkItemData", "-> Task : Property (Let) flags",
                            "<- Task : Property (Let) flags", "-> Trigger : Sub Class_Initialize",
                            "<- Trigger : Sub Class_Initialize", "-> Trigger : Property (Set) ITaskTrigger",
                            "<- Trigger : Property (Set) ITaskTrigger", "-> Trigger : Sub Update"}));
}

}  // namespace
}  // namespace fake
