// Trigger: one schedule of a work item. Holds the service's ITaskTrigger and
// its own copy of the trigger record; property writes change the copy (and
// mark the object dirty), Update writes the whole copy back.
#pragma once

#include <string>

#include "component/objects.h"
#include "component/surface.h"
#include "service/platform.h"

namespace velqosch {

class TriggersObject;

class TriggerObject final : public DualObject<TriggerObject, TaskScheduler::_Trigger> {
public:
    using TRIGGER_TYPE = TaskScheduler::TASK_TRIGGER_TYPE;
    using TRIGGER_FLAGS = TaskScheduler::TASK_TRIGGER_FLAGS;
    using TRIGGER_MONTH = TaskScheduler::TASK_TRIGGER_MONTH;
    using TRIGGER_WEEK = TaskScheduler::TASK_TRIGGER_WEEK;
    using TRIGGER_DAY = TaskScheduler::TASK_TRIGGER_DAY;

    // A new, unbound Trigger with one reference for the caller.
    static ComRef<TriggerObject> Create();
    static bool IsOwnInterface(REFIID riid) noexcept;

    // _Trigger
    HRESULT STDMETHODCALLTYPE get_IsDirty(VARIANT_BOOL *ret) noexcept override {
        return GuardResult(ret, [&] { return IsDirty(); });
    }
    HRESULT STDMETHODCALLTYPE put_RandomMinutesInterval(SHORT value) noexcept override {
        return Guard([&] { PutRandomMinutesInterval(value); });
    }
    HRESULT STDMETHODCALLTYPE get_RandomMinutesInterval(SHORT *ret) noexcept override {
        return GuardResult(ret, [&] { return RandomMinutesInterval(); });
    }
    HRESULT STDMETHODCALLTYPE put_MinutesInterval(LONG value) noexcept override {
        return Guard([&] { PutMinutesInterval(value); });
    }
    HRESULT STDMETHODCALLTYPE get_MinutesInterval(LONG *ret) noexcept override {
        return GuardResult(ret, [&] { return MinutesInterval(); });
    }
    HRESULT STDMETHODCALLTYPE put_MinutesDuration(LONG value) noexcept override {
        return Guard([&] { PutMinutesDuration(value); });
    }
    HRESULT STDMETHODCALLTYPE get_MinutesDuration(LONG *ret) noexcept override {
        return GuardResult(ret, [&] { return MinutesDuration(); });
    }
    HRESULT STDMETHODCALLTYPE put_TriggerType(TRIGGER_TYPE value) noexcept override {
        return Guard([&] { PutTriggerType(value); });
    }
    HRESULT STDMETHODCALLTYPE get_TriggerType(TRIGGER_TYPE *ret) noexcept override {
        return GuardResult(ret, [&] { return static_cast<TRIGGER_TYPE>(TriggerType()); });
    }
    HRESULT STDMETHODCALLTYPE put_flags(TRIGGER_FLAGS *value) noexcept override {
        return Guard([&] { PutFlags(Ref(value)); });
    }
    HRESULT STDMETHODCALLTYPE get_flags(TRIGGER_FLAGS *ret) noexcept override {
        return GuardResult(ret, [&] { return static_cast<TRIGGER_FLAGS>(Flags()); });
    }
    HRESULT STDMETHODCALLTYPE put_StartTime(DATE value) noexcept override {
        return Guard([&] { PutStartTime(value); });
    }
    HRESULT STDMETHODCALLTYPE get_StartTime(DATE *ret) noexcept override {
        return GuardResult(ret, [&] { return StartTime(); });
    }
    HRESULT STDMETHODCALLTYPE put_EndDate(DATE value) noexcept override {
        return Guard([&] { PutEndDate(value); });
    }
    HRESULT STDMETHODCALLTYPE get_EndDate(DATE *ret) noexcept override {
        return GuardResult(ret, [&] { return EndDate(); });
    }
    HRESULT STDMETHODCALLTYPE put_BeginDate(DATE value) noexcept override {
        return Guard([&] { PutBeginDate(value); });
    }
    HRESULT STDMETHODCALLTYPE get_BeginDate(DATE *ret) noexcept override {
        return GuardResult(ret, [&] { return BeginDate(); });
    }
    HRESULT STDMETHODCALLTYPE Update() noexcept override {
        return Guard([&] { UpdateRecord(); });
    }
    HRESULT STDMETHODCALLTYPE get_Description(BSTR *ret) noexcept override {
        return GuardResult(ret, [&] { return DescriptionBstr(); });
    }
    HRESULT STDMETHODCALLTYPE get_DaysOfTheMonth(LONG *ret) noexcept override {
        return GuardResult(ret, [&] { return DaysOfTheMonth(); });
    }
    HRESULT STDMETHODCALLTYPE put_DaysOfTheMonth(LONG value) noexcept override {
        return Guard([&] { PutDaysOfTheMonth(value); });
    }
    HRESULT STDMETHODCALLTYPE get_MonthsOfTheYear(TRIGGER_MONTH *ret) noexcept override {
        return GuardResult(ret, [&] { return static_cast<TRIGGER_MONTH>(MonthsOfTheYear()); });
    }
    HRESULT STDMETHODCALLTYPE put_MonthsOfTheYear(TRIGGER_MONTH value) noexcept override {
        return Guard([&] { PutMonthsOfTheYear(value); });
    }
    HRESULT STDMETHODCALLTYPE get_WhichWeeks(TRIGGER_WEEK *ret) noexcept override {
        return GuardResult(ret, [&] { return static_cast<TRIGGER_WEEK>(WhichWeeks()); });
    }
    HRESULT STDMETHODCALLTYPE put_WhichWeeks(TRIGGER_WEEK value) noexcept override {
        return Guard([&] { PutWhichWeeks(value); });
    }
    HRESULT STDMETHODCALLTYPE get_DaysOfTheWeek(TRIGGER_DAY *ret) noexcept override {
        return GuardResult(ret, [&] { return static_cast<TRIGGER_DAY>(DaysOfTheWeek()); });
    }
    HRESULT STDMETHODCALLTYPE put_DaysOfTheWeek(TRIGGER_DAY value) noexcept override {
        return Guard([&] { PutDaysOfTheWeek(value); });
    }
    HRESULT STDMETHODCALLTYPE get_DaysInterval(SHORT *ret) noexcept override {
        return GuardResult(ret, [&] { return DaysInterval(); });
    }
    HRESULT STDMETHODCALLTYPE put_DaysInterval(SHORT value) noexcept override {
        return Guard([&] { PutDaysInterval(value); });
    }
    HRESULT STDMETHODCALLTYPE get_WeeksInterval(SHORT *ret) noexcept override {
        return GuardResult(ret, [&] { return WeeksInterval(); });
    }
    HRESULT STDMETHODCALLTYPE put_WeeksInterval(SHORT value) noexcept override {
        return Guard([&] { PutWeeksInterval(value); });
    }
    HRESULT STDMETHODCALLTYPE get_Index(SHORT *ret) noexcept override {
        return GuardResult(ret, [&] { return Index(); });
    }

    // The members' bodies; these raise.
    VARIANT_BOOL IsDirty();
    void PutRandomMinutesInterval(SHORT value);
    SHORT RandomMinutesInterval();
    void PutMinutesInterval(LONG value);
    LONG MinutesInterval();
    void PutMinutesDuration(LONG value);
    LONG MinutesDuration();
    void PutTriggerType(LONG value);
    LONG TriggerType();
    void PutFlags(LONG value);
    LONG Flags();
    void PutStartTime(DATE value);
    DATE StartTime();
    void PutEndDate(DATE value);
    DATE EndDate();
    void PutBeginDate(DATE value);
    DATE BeginDate();
    void UpdateRecord();
    std::u16string Description();
    LONG DaysOfTheMonth();
    void PutDaysOfTheMonth(LONG value);
    LONG MonthsOfTheYear();
    void PutMonthsOfTheYear(LONG value);
    LONG WhichWeeks();
    void PutWhichWeeks(LONG value);
    LONG DaysOfTheWeek();
    void PutDaysOfTheWeek(LONG value);
    SHORT DaysInterval();
    void PutDaysInterval(SHORT value);
    SHORT WeeksInterval();
    void PutWeeksInterval(SHORT value);
    SHORT Index();

    // Internal members, set by the Triggers collection: ITaskTrigger first
    // (reads the record), then Parent (takes an index slot).
    void SetITaskTrigger(ITaskTrigger *trigger);
    void SetParent(TriggersObject *parent);
    SHORT IndexSlot() const noexcept { return slot_; }
    // The record as the object holds it.
    const TASK_TRIGGER &Record() const noexcept { return record_; }

private:
    TriggerObject();
    ~TriggerObject() override;
    friend class DualObject<TriggerObject, TaskScheduler::_Trigger>;

    BSTR DescriptionBstr();
    // The schedule words (record offsets 36, 38 and 40).
    SHORT Word(int n) const noexcept;
    void SetWord(int n, SHORT value) noexcept;
    // Whether the record's current trigger type is the one given.
    bool TypeIs(LONG type) const noexcept;
    // Error 5 "Invalid property assignment" unless the field belongs to the
    // record's current type.
    void RequireType(bool allowed) const;
    void Changed() noexcept { dirty_ = VARIANT_TRUE; }

    DATE beginDate_ = 0;
    DATE endDate_ = 0;
    DATE startTime_ = 0;
    VARIANT_BOOL dirty_ = VARIANT_FALSE;
    TASK_TRIGGER record_{};
    ComRef<ITaskTrigger> trigger_;
    SHORT slot_ = 0;
    ComRef<TriggersObject> parent_;
};

}  // namespace velqosch
