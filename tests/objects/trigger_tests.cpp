// Trigger: binding, calendar packing, the common fields with their dirty
// rule, the schedule fields under each trigger type, Update and Description.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "objects_test_support.h"
#include "triggers/calendar.h"

namespace objects_test {
namespace {

using TaskScheduler::_Trigger;
using velqosch::TriggerObject;

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

TASK_TRIGGER WithDates(WORD by, WORD bm, WORD bd, WORD ey, WORD em, WORD ed) {
    TASK_TRIGGER r = fake::Record();
    r.wBeginYear = by, r.wBeginMonth = bm, r.wBeginDay = bd;
    r.wEndYear = ey, r.wEndMonth = em, r.wEndDay = ed;
    return r;
}

// ---- Calendar packing ---------------------------------------------------------------------------------------------

TEST(CalendarPacking, TwoDigitYearsMonthAndDayCarries) {
    using velqosch::PackDate;
    EXPECT_EQ(PackDate(0, 0, 0), 36494.0);  // 30 November 1999
    EXPECT_EQ(PackDate(29, 1, 1), 47119.0);  // 2029
    EXPECT_EQ(PackDate(30, 1, 1), 10959.0);  // 1930
    EXPECT_EQ(PackDate(99, 12, 31), Day(1999, 12, 31));
    EXPECT_EQ(PackDate(100, 1, 1), -657434.0);  // no window from 100 on
    EXPECT_EQ(PackDate(2024, 13, 1), 45658.0);  // January of the year after
    EXPECT_EQ(PackDate(2024, 0, 15), 45275.0);  // December of the year before
    EXPECT_EQ(PackDate(2024, 3, 0), 45351.0);   // 29 February, a leap year
    EXPECT_EQ(PackDate(2024, 2, 31), 45353.0);  // 2 March
    EXPECT_EQ(PackDate(2024, 5, 17), Day(2024, 5, 17));
}

TEST(CalendarPacking, OutOfRangeDatesRaiseError5) {
    try {
        velqosch::PackDate(9999, 12, 32);
        FAIL() << "no error";
    } catch (const velqosch::ComponentError &e) {
        EXPECT_EQ(e.record().number, 5);
    }
    EXPECT_THROW(velqosch::PackDate(-1, 1, 1), velqosch::ComponentError);
    EXPECT_THROW(velqosch::UnpackDate(3e6), velqosch::ComponentError);
    EXPECT_THROW(velqosch::UnpackDate(std::nan("")), velqosch::ComponentError);
}

TEST(CalendarPacking, TimesAndComponents) {
    EXPECT_DOUBLE_EQ(velqosch::PackTime(14, 35, 0), (14 * 60 + 35) / 1440.0);
    EXPECT_DOUBLE_EQ(velqosch::PackTime(25, 0, 0), 1 + 1 / 24.0);
    const velqosch::CalendarParts p = velqosch::UnpackDate(Day(2024, 5, 17) + (14 * 3600 + 35 * 60 + 50) / 86400.0);
    EXPECT_EQ(p.year, 2024);
    EXPECT_EQ(p.month, 5);
    EXPECT_EQ(p.day, 17);
    EXPECT_EQ(p.hour, 14);
    EXPECT_EQ(p.minute, 35);
    EXPECT_EQ(p.second, 50);
    // A whisker before midnight rounds to the next day.
    const velqosch::CalendarParts q = velqosch::UnpackDate(Day(2024, 2, 29) + 0.9999999);
    EXPECT_EQ(q.month, 3);
    EXPECT_EQ(q.day, 1);
    EXPECT_EQ(q.hour, 0);
    // Before 1899 the time of day still counts forward from midnight.
    const velqosch::CalendarParts r = velqosch::UnpackDate(-1.25);
    EXPECT_EQ(r.year, 1899);
    EXPECT_EQ(r.day, 29);
    EXPECT_EQ(r.hour, 6);
}

// ---- Binding ------------------------------------------------------------------------------------------------------

TEST_F(TriggerTest, BindingReadsTheRecordWithItsSizeSet) {
    TASK_TRIGGER r = WithDates(2024, 5, 17, 0, 0, 0);
    r.wStartHour = 9;
    r.wStartMinute = 30;
    ComRef<TriggerObject> t = Bind(r);
    EXPECT_EQ(journal.Calls(), (std::vector<std::string>{"T0.GetTrigger(48)"}));
    _Trigger *api = t.get();
    DATE d = -1;
    ASSERT_EQ(api->get_BeginDate(&d), S_OK);
    EXPECT_EQ(d, Day(2024, 5, 17));
    ASSERT_EQ(api->get_EndDate(&d), S_OK);
    EXPECT_EQ(d, 36494.0) << "the all-zero end date is 30 November 1999";
    ASSERT_EQ(api->get_StartTime(&d), S_OK);
    EXPECT_DOUBLE_EQ(d, (9 * 60 + 30) / 1440.0);
    VARIANT_BOOL dirty = VARIANT_TRUE;
    ASSERT_EQ(api->get_IsDirty(&dirty), S_OK);
    EXPECT_EQ(dirty, VARIANT_FALSE);
}

TEST_F(TriggerTest, FailingBindingRaisesTheServiceCode) {
    journal.Answer("T0.GetTrigger", E_ACCESSDENIED);
    ComRef<TriggerObject> t = TriggerObject::Create();
    service = item->AddStoredTrigger(fake::Record());
    try {
        t->SetITaskTrigger(service);
        FAIL() << "no error";
    } catch (const velqosch::ComponentError &e) {
        EXPECT_EQ(e.record().number, E_ACCESSDENIED);
    }
}

// ---- Common fields ------------------------------------------------------------------------------------------------

TEST_F(TriggerTest, IntegerFieldsMoveAsBitPatternsAndSetDirtyOnlyOnChange) {
    TASK_TRIGGER r = fake::Record(TASK_TIME_TRIGGER_WEEKLY);
    r.Reserved2 = 0x5A5A;
    r.wRandomMinutesInterval = 40000;
    r.MinutesInterval = 15;
    r.rgFlags = TASK_TRIGGER_FLAG_DISABLED;
    ComRef<TriggerObject> t = Bind(r);
    _Trigger *api = t.get();
    SHORT random = 0;
    ASSERT_EQ(api->get_RandomMinutesInterval(&random), S_OK);
    EXPECT_EQ(random, static_cast<SHORT>(40000)) << "a 16-bit field above 32767 reads negative";

    // Writing the current values changes nothing.
    ASSERT_EQ(api->put_RandomMinutesInterval(random), S_OK);
    ASSERT_EQ(api->put_MinutesInterval(15), S_OK);
    ASSERT_EQ(api->put_TriggerType(static_cast<TaskScheduler::TASK_TRIGGER_TYPE>(TASK_TIME_TRIGGER_WEEKLY)), S_OK);
    auto flags = static_cast<TaskScheduler::TASK_TRIGGER_FLAGS>(TASK_TRIGGER_FLAG_DISABLED);
    ASSERT_EQ(api->put_flags(&flags), S_OK);
    EXPECT_EQ(t->IsDirty(), VARIANT_FALSE);

    ASSERT_EQ(api->put_RandomMinutesInterval(7), S_OK);
    EXPECT_EQ(t->IsDirty(), VARIANT_TRUE);
    TASK_TRIGGER expected = r;
    expected.wRandomMinutesInterval = 7;
    EXPECT_EQ(std::memcmp(&t->Record(), &expected, sizeof expected), 0) << "only wRandomMinutesInterval changes";

    ASSERT_EQ(api->put_MinutesDuration(-1), S_OK);
    EXPECT_EQ(t->Record().MinutesDuration, 0xFFFFFFFFu);
    LONG duration = 0;
    ASSERT_EQ(api->get_MinutesDuration(&duration), S_OK);
    EXPECT_EQ(duration, -1);
    EXPECT_EQ(api->put_flags(nullptr), E_POINTER);
}

TEST_F(TriggerTest, DatesKeepTheirTimeInTheMemberButNotInTheRecord) {
    ComRef<TriggerObject> t = Bind(WithDates(2024, 5, 17, 2024, 12, 31));
    _Trigger *api = t.get();
    const DATE afternoon = Day(2024, 5, 17) + 0.6082175925925926;  // 14:35:50
    ASSERT_EQ(api->put_BeginDate(afternoon), S_OK);
    EXPECT_EQ(t->IsDirty(), VARIANT_TRUE) << "same day, other time: still a change";
    EXPECT_EQ(t->Record().wBeginDay, 17);
    DATE d = 0;
    ASSERT_EQ(api->get_BeginDate(&d), S_OK);
    EXPECT_EQ(d, Day(2024, 5, 17)) << "BeginDate reads the record: midnight";

    const DWORD flagsBefore = t->Record().rgFlags;
    ASSERT_EQ(api->put_EndDate(Day(2025, 2, 3)), S_OK);
    EXPECT_EQ(t->Record().wEndYear, 2025);
    EXPECT_EQ(t->Record().wEndMonth, 2);
    EXPECT_EQ(t->Record().wEndDay, 3);
    EXPECT_EQ(t->Record().rgFlags, flagsBefore) << "EndDate leaves the has-end-date flag alone";

    ASSERT_EQ(api->put_StartTime(afternoon), S_OK);
    EXPECT_EQ(t->Record().wStartHour, 14);
    EXPECT_EQ(t->Record().wStartMinute, 35);
    ASSERT_EQ(api->get_StartTime(&d), S_OK);
    EXPECT_EQ(d, afternoon) << "StartTime reads back exactly what was written";
}

TEST_F(TriggerTest, WritingAnUnchangedDateLeavesTheTriggerClean) {
    ComRef<TriggerObject> t = Bind(WithDates(2024, 5, 17, 0, 0, 0));
    ASSERT_EQ(t->put_BeginDate(Day(2024, 5, 17)), S_OK);
    ASSERT_EQ(t->put_EndDate(36494.0), S_OK);
    ASSERT_EQ(t->put_StartTime(0.0), S_OK);
    EXPECT_EQ(t->IsDirty(), VARIANT_FALSE);
}

TEST_F(TriggerTest, AnUnrepresentableDateIsRefusedAndNothingChanges) {
    ComRef<TriggerObject> t = Bind(WithDates(2024, 5, 17, 0, 0, 0));
    const TASK_TRIGGER before = t->Record();
    EXPECT_EQ(t->put_BeginDate(1e9), static_cast<HRESULT>(0x800A0005));
    EXPECT_EQ(t->put_StartTime(std::nan("")), static_cast<HRESULT>(0x800A0005));
    EXPECT_EQ(std::memcmp(&t->Record(), &before, sizeof before), 0);
    EXPECT_EQ(t->IsDirty(), VARIANT_FALSE);
    DATE d = 0;
    ASSERT_EQ(t->get_BeginDate(&d), S_OK);
    EXPECT_EQ(d, Day(2024, 5, 17));
}

// ---- Schedule fields ----------------------------------------------------------------------------------------------

struct FieldAccess {
    const char *name;
    HRESULT (*get)(_Trigger *, LONG *);
    HRESULT (*put)(_Trigger *, LONG);
    std::vector<LONG> types;
};

const std::vector<FieldAccess> &Fields() {
    using namespace TaskScheduler;
    static const std::vector<FieldAccess> fields = {
        {"DaysOfTheMonth", [](_Trigger *t, LONG *v) { return t->get_DaysOfTheMonth(v); },
         [](_Trigger *t, LONG v) { return t->put_DaysOfTheMonth(v); }, {3}},
        {"MonthsOfTheYear",
         [](_Trigger *t, LONG *v) {
             TASK_TRIGGER_MONTH m{};
             HRESULT hr = t->get_MonthsOfTheYear(&m);
             *v = m;
             return hr;
         },
         [](_Trigger *t, LONG v) { return t->put_MonthsOfTheYear(static_cast<TASK_TRIGGER_MONTH>(v)); }, {3, 4}},
        {"WhichWeeks",
         [](_Trigger *t, LONG *v) {
             TASK_TRIGGER_WEEK w{};
             HRESULT hr = t->get_WhichWeeks(&w);
             *v = w;
             return hr;
         },
         [](_Trigger *t, LONG v) { return t->put_WhichWeeks(static_cast<TASK_TRIGGER_WEEK>(v)); }, {4}},
        {"DaysOfTheWeek",
         [](_Trigger *t, LONG *v) {
             TASK_TRIGGER_DAY d{};
             HRESULT hr = t->get_DaysOfTheWeek(&d);
             *v = d;
             return hr;
         },
         [](_Trigger *t, LONG v) { return t->put_DaysOfTheWeek(static_cast<TASK_TRIGGER_DAY>(v)); }, {2, 4}},
        {"DaysInterval",
         [](_Trigger *t, LONG *v) {
             SHORT s = 0;
             HRESULT hr = t->get_DaysInterval(&s);
             *v = s;
             return hr;
         },
         [](_Trigger *t, LONG v) { return t->put_DaysInterval(static_cast<SHORT>(v)); }, {1}},
        {"WeeksInterval",
         [](_Trigger *t, LONG *v) {
             SHORT s = 0;
             HRESULT hr = t->get_WeeksInterval(&s);
             *v = s;
             return hr;
         },
         [](_Trigger *t, LONG v) { return t->put_WeeksInterval(static_cast<SHORT>(v)); }, {2}},
    };
    return fields;
}

TEST_F(TriggerTest, EachScheduleFieldExistsExactlyForItsTypes) {
    TASK_TRIGGER r = fake::Record(0);
    const WORD words[3] = {0x0102, 0x0304, 0x0506};
    std::memcpy(reinterpret_cast<unsigned char *>(&r) + offsetof(TASK_TRIGGER, Type), words, sizeof words);
    ComRef<TriggerObject> t = Bind(r);
    for (LONG type : {0, 1, 2, 3, 4, 5, 6, 7, 8, -1}) {
        t->PutTriggerType(type);
        for (const FieldAccess &f : Fields()) {
            SCOPED_TRACE(std::string(f.name) + " under type " + std::to_string(type));
            const bool has = std::find(f.types.begin(), f.types.end(), type) != f.types.end();
            const TASK_TRIGGER before = t->Record();
            LONG value = 12345;
            ASSERT_EQ(f.get(t.get(), &value), S_OK);
            if (!has) {
                EXPECT_EQ(value, 0);
                EXPECT_EQ(f.put(t.get(), 1), static_cast<HRESULT>(0x800A0005));
                const SeenError e = TakeErrorInfo();
                EXPECT_EQ(e.description, u"Invalid property assignment");
                EXPECT_EQ(e.source, u"Velqo Task Scheduler");
                EXPECT_EQ(e.helpFile, u"velqosch.chm");
                EXPECT_EQ(e.helpContext, 0u);
                EXPECT_EQ(std::memcmp(&t->Record(), &before, sizeof before), 0) << "a refused write changes nothing";
            } else {
                EXPECT_NE(value, 0);
                EXPECT_EQ(f.put(t.get(), value), S_OK);
                EXPECT_EQ(std::memcmp(&t->Record(), &before, sizeof before), 0) << "value read writes back the same";
            }
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
    EXPECT_EQ(t->DaysOfTheWeek(), 34);

    t->PutTriggerType(TASK_TIME_TRIGGER_MONTHLYDATE);
    t->PutDaysOfTheMonth(static_cast<LONG>(0x80000001u));
    EXPECT_EQ(t->Record().Type.MonthlyDate.rgfDays, 0x80000001u);
    EXPECT_EQ(t->DaysOfTheMonth(), static_cast<LONG>(0x80000001u)) << "all 32 bits, bit 31 reads negative";
    t->PutMonthsOfTheYear(4095);
    EXPECT_EQ(t->Record().Type.MonthlyDate.rgfMonths, 4095);
    t->PutMonthsOfTheYear(-2);
    EXPECT_EQ(t->MonthsOfTheYear(), -2) << "a 16-bit word through a 32-bit property is sign-extended";

    t->PutTriggerType(TASK_TIME_TRIGGER_DAILY);
    t->PutDaysInterval(3);
    EXPECT_EQ(t->Record().Type.Daily.DaysInterval, 3);
    EXPECT_EQ(t->WeeksInterval(), 0);
}

TEST_F(TriggerTest, ScheduleWritesCheckTheTypeBeforeTheRangeAndLeaveDirtyAlone) {
    ComRef<TriggerObject> t = Bind(fake::Record(TASK_TIME_TRIGGER_MONTHLYDATE));
    const TASK_TRIGGER before = t->Record();
    EXPECT_EQ(t->put_MonthsOfTheYear(static_cast<TaskScheduler::TASK_TRIGGER_MONTH>(40000)),
              static_cast<HRESULT>(0x800A0006));
    EXPECT_EQ(std::memcmp(&t->Record(), &before, sizeof before), 0);
    t->PutTriggerType(TASK_TIME_TRIGGER_DAILY);
    EXPECT_EQ(t->put_MonthsOfTheYear(static_cast<TaskScheduler::TASK_TRIGGER_MONTH>(40000)),
              static_cast<HRESULT>(0x800A0005));

    ComRef<TriggerObject> clean = Bind(fake::Record(TASK_TIME_TRIGGER_DAILY));
    clean->PutDaysInterval(9);
    EXPECT_EQ(clean->IsDirty(), VARIANT_FALSE);
    clean->UpdateRecord();
    EXPECT_EQ(service->record.Type.Daily.DaysInterval, 9) << "Update still sends the new value";
}

// ---- Service calls ------------------------------------------------------------------------------------------------

TEST_F(TriggerTest, UpdateAlwaysWritesTheWholeRecordAndKeepsDirty) {
    ComRef<TriggerObject> t = Bind(WithDates(2024, 5, 17, 0, 0, 0));
    journal.Clear();
    ASSERT_EQ(t->Update(), S_OK);
    EXPECT_EQ(journal.Calls(), (std::vector<std::string>{"T0.SetTrigger()"}));
    EXPECT_EQ(t->IsDirty(), VARIANT_FALSE);

    t->PutMinutesInterval(60);
    ASSERT_EQ(t->Update(), S_OK);
    EXPECT_EQ(std::memcmp(&service->record, &t->Record(), sizeof(TASK_TRIGGER)), 0);
    EXPECT_EQ(t->IsDirty(), VARIANT_TRUE) << "Update does not clear dirty";

    journal.Answer("T0.SetTrigger", SCHED_E_SERVICE_NOT_RUNNING);
    t->PutMinutesInterval(61);
    EXPECT_EQ(t->Update(), SCHED_E_SERVICE_NOT_RUNNING);
    EXPECT_EQ(t->Record().MinutesInterval, 61u) << "a failed Update keeps the record";
    EXPECT_EQ(service->record.MinutesInterval, 60u);
}

TEST_F(TriggerTest, DescriptionComesFromTheServiceCopy) {
    ComRef<TriggerObject> t = Bind(fake::Record());
    service->text = u"Every 2 weeks on Monday";
    BSTR text = nullptr;
    ASSERT_EQ(t->get_Description(&text), S_OK);
    EXPECT_EQ(Take(text), u"Every 2 weeks on Monday");
    journal.Answer("T0.GetTriggerString", E_OUTOFMEMORY);
    text = reinterpret_cast<BSTR>(1);
    EXPECT_EQ(t->get_Description(&text), E_OUTOFMEMORY);
    EXPECT_EQ(text, nullptr) << "the result slot stays empty on an error";
    EXPECT_EQ(t->get_Description(nullptr), E_POINTER);
}

TEST_F(TriggerTest, AnswersBothInterfaceIdentifiers) {
    ComRef<TriggerObject> t = Bind(fake::Record());
    void *p = reinterpret_cast<void *>(1);
    ASSERT_EQ(t->QueryInterface(TaskScheduler::IID__TriggerV0, &p), S_OK);
    EXPECT_EQ(p, static_cast<_Trigger *>(t.get()));
    static_cast<IUnknown *>(p)->Release();
    ASSERT_EQ(t->QueryInterface(TaskScheduler::IID__Trigger, &p), S_OK);
    static_cast<IUnknown *>(p)->Release();
    ASSERT_EQ(t->QueryInterface(IID_ISupportErrorInfo, &p), S_OK);
    auto *support = static_cast<ISupportErrorInfo *>(p);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(TaskScheduler::IID__Trigger), S_OK);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(TaskScheduler::IID__Task), S_FALSE);
    support->Release();
    p = reinterpret_cast<void *>(1);
    EXPECT_EQ(t->QueryInterface(TaskScheduler::IID__Task, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr) << "the out-pointer is cleared first";
    EXPECT_EQ(t->References(), 1u);
}

}  // namespace
}  // namespace objects_test
