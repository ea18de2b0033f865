#include "triggers/trigger.h"

#include <cstddef>
#include <cstring>

#include "globals/globals.h"
#include "globals/strings.h"
#include "trace/error.h"
#include "trace/trace.h"
#include "triggers/calendar.h"
#include "triggers/triggers.h"

namespace velqosch {

namespace {

constexpr std::string_view kModule = "Trigger";
constexpr std::size_t kTypeOffset = offsetof(TASK_TRIGGER, TriggerType);
constexpr std::size_t kScheduleOffset = offsetof(TASK_TRIGGER, Type);

// The 32-bit fields move as bit patterns; the type field is read as a plain
// number so that values outside the service's enumeration stay harmless.
LONG ReadLong(const TASK_TRIGGER &record, std::size_t offset) noexcept {
    LONG value = 0;
    std::memcpy(&value, reinterpret_cast<const unsigned char *>(&record) + offset, sizeof value);
    return value;
}
void WriteLong(TASK_TRIGGER &record, std::size_t offset, LONG value) noexcept {
    std::memcpy(reinterpret_cast<unsigned char *>(&record) + offset, &value, sizeof value);
}

SHORT AsShort(WORD w) noexcept { return static_cast<SHORT>(w); }
WORD AsWord(SHORT s) noexcept { return static_cast<WORD>(s); }
DWORD AsDword(LONG l) noexcept { return static_cast<DWORD>(l); }
LONG AsLong(DWORD d) noexcept { return static_cast<LONG>(d); }

void RaiseInvalidAssignment() { Raise(kErrInvalidCall, kProductName, u"Invalid property assignment", kHelpFile, 0); }

}  // namespace

ComRef<TriggerObject> TriggerObject::Create() {
    EnsureThreadStarted();
    TraceScope trace(kModule, "Sub Class_Initialize");
    return ComRef<TriggerObject>::Adopt(new TriggerObject());
}

TriggerObject::TriggerObject() = default;
TriggerObject::~TriggerObject() = default;

bool TriggerObject::IsOwnInterface(REFIID riid) noexcept {
    return IsEqualIID(riid, TaskScheduler::IID__Trigger) || IsEqualIID(riid, TaskScheduler::IID__TriggerV0);
}

// ---- Binding ------------------------------------------------------------------------------------------------------

void TriggerObject::SetITaskTrigger(ITaskTrigger *trigger) {
    TraceScope trace(kModule, "Property (Set) ITaskTrigger");
    trigger_ = ComRef<ITaskTrigger>::Share(trigger);
    if (!trigger_) Raise(91, kProductName, u"Object variable or With block variable not set");
    TASK_TRIGGER read = record_;
    read.cbTriggerSize = sizeof(TASK_TRIGGER);
    Check(trigger_->GetTrigger(&read));
    const DATE begin = PackDate(AsShort(read.wBeginYear), AsShort(read.wBeginMonth), AsShort(read.wBeginDay));
    const DATE end = PackDate(AsShort(read.wEndYear), AsShort(read.wEndMonth), AsShort(read.wEndDay));
    record_ = read;
    beginDate_ = begin;
    endDate_ = end;
    startTime_ = PackTime(AsShort(record_.wStartHour), AsShort(record_.wStartMinute), 0);
}

void TriggerObject::SetParent(TriggersObject *parent) {
    parent_ = ComRef<TriggersObject>::Share(parent);
    if (parent_) slot_ = parent_->AllocateIndexSlot();
}

SHORT TriggerObject::Index() {
    if (!parent_) Raise(91, kProductName, u"Object variable or With block variable not set");
    return parent_->IndexOfSlot(slot_);
}

// ---- Common fields ------------------------------------------------------------------------------------------------

VARIANT_BOOL TriggerObject::IsDirty() {
    TraceScope trace(kModule, "Property (Get) IsDirty");
    return dirty_;
}

void TriggerObject::PutRandomMinutesInterval(SHORT value) {
    TraceScope trace(kModule, "Property (Let) RandomMinutesInterval");
    if (value == AsShort(record_.wRandomMinutesInterval)) return;
    record_.wRandomMinutesInterval = AsWord(value);
    Changed();
}

SHORT TriggerObject::RandomMinutesInterval() {
    TraceScope trace(kModule, "Property (Get) RandomMinutesInterval");
    return AsShort(record_.wRandomMinutesInterval);
}

void TriggerObject::PutMinutesInterval(LONG value) {
    TraceScope trace(kModule, "Property (Let) MinutesInterval");
    if (value == AsLong(record_.MinutesInterval)) return;
    record_.MinutesInterval = AsDword(value);
    Changed();
}

LONG TriggerObject::MinutesInterval() {
    TraceScope trace(kModule, "Property (Get) MinutesInterval");
    return AsLong(record_.MinutesInterval);
}

void TriggerObject::PutMinutesDuration(LONG value) {
    TraceScope trace(kModule, "Property (Let) MinutesDuration");
    if (value == AsLong(record_.MinutesDuration)) return;
    record_.MinutesDuration = AsDword(value);
    Changed();
}

LONG TriggerObject::MinutesDuration() {
    TraceScope trace(kModule, "Property (Get) MinutesDuration");
    return AsLong(record_.MinutesDuration);
}

void TriggerObject::PutTriggerType(LONG value) {
    TraceScope trace(kModule, "Property (Let) TriggerType");
    if (value == ReadLong(record_, kTypeOffset)) return;
    WriteLong(record_, kTypeOffset, value);
    Changed();
}

LONG TriggerObject::TriggerType() {
    TraceScope trace(kModule, "Property (Get) TriggerType");
    return ReadLong(record_, kTypeOffset);
}

void TriggerObject::PutFlags(LONG value) {
    TraceScope trace(kModule, "Property (Let) flags");
    if (value == AsLong(record_.rgFlags)) return;
    record_.rgFlags = AsDword(value);
    Changed();
}

LONG TriggerObject::Flags() {
    TraceScope trace(kModule, "Property (Get) flags");
    return AsLong(record_.rgFlags);
}

// ---- Dates and times ----------------------------------------------------------------------------------------------

void TriggerObject::PutStartTime(DATE value) {
    TraceScope trace(kModule, "Property (Let) StartTime");
    if (value == startTime_) return;
    const CalendarParts parts = UnpackDate(value);
    startTime_ = value;
    record_.wStartHour = AsWord(parts.hour);
    record_.wStartMinute = AsWord(parts.minute);
    Changed();
}

DATE TriggerObject::StartTime() {
    TraceScope trace(kModule, "Property (Get) StartTime");
    return startTime_;
}

void TriggerObject::PutEndDate(DATE value) {
    TraceScope trace(kModule, "Property (Let) EndDate");
    if (value == endDate_) return;
    const CalendarParts parts = UnpackDate(value);
    endDate_ = value;
    record_.wEndYear = AsWord(parts.year);
    record_.wEndMonth = AsWord(parts.month);
    record_.wEndDay = AsWord(parts.day);
    Changed();
}

DATE TriggerObject::EndDate() {
    TraceScope trace(kModule, "Property (Get) EndDate");
    return PackDate(AsShort(record_.wEndYear), AsShort(record_.wEndMonth), AsShort(record_.wEndDay));
}

void TriggerObject::PutBeginDate(DATE value) {
    TraceScope trace(kModule, "Property (Let) BeginDate");
    if (value == beginDate_) return;
    const CalendarParts parts = UnpackDate(value);
    beginDate_ = value;
    record_.wBeginYear = AsWord(parts.year);
    record_.wBeginMonth = AsWord(parts.month);
    record_.wBeginDay = AsWord(parts.day);
    Changed();
}

DATE TriggerObject::BeginDate() {
    TraceScope trace(kModule, "Property (Get) BeginDate");
    return PackDate(AsShort(record_.wBeginYear), AsShort(record_.wBeginMonth), AsShort(record_.wBeginDay));
}

// ---- Service ------------------------------------------------------------------------------------------------------

void TriggerObject::UpdateRecord() {
    TraceScope trace(kModule, "Sub Update");
    if (!trigger_) Raise(91, kProductName, u"Object variable or With block variable not set");
    // The service gets a copy: whatever it does with it, our record stays.
    TASK_TRIGGER copy = record_;
    Check(trigger_->SetTrigger(&copy));
}

std::u16string TriggerObject::Description() {
    TraceScope trace(kModule, "Property (Get) Description");
    if (!trigger_) Raise(91, kProductName, u"Object variable or With block variable not set");
    LPWSTR text = nullptr;
    Check(trigger_->GetTriggerString(&text));
    return StringFromLongPtr(text);
}

BSTR TriggerObject::DescriptionBstr() { return ToBstr(Description()); }

// ---- Schedule fields ----------------------------------------------------------------------------------------------

SHORT TriggerObject::Word(int n) const noexcept {
    SHORT value = 0;
    std::memcpy(&value, reinterpret_cast<const unsigned char *>(&record_) + kScheduleOffset + 2 * n, sizeof value);
    return value;
}

void TriggerObject::SetWord(int n, SHORT value) noexcept {
    std::memcpy(reinterpret_cast<unsigned char *>(&record_) + kScheduleOffset + 2 * n, &value, sizeof value);
}

bool TriggerObject::TypeIs(LONG type) const noexcept { return ReadLong(record_, kTypeOffset) == type; }

void TriggerObject::RequireType(bool allowed) const {
    if (!allowed) RaiseInvalidAssignment();
}

LONG TriggerObject::DaysOfTheMonth() {
    TraceScope trace(kModule, "Property (Get) DaysOfTheMonth");
    if (!TypeIs(TASK_TIME_TRIGGER_MONTHLYDATE)) return 0;
    return ReadLong(record_, kScheduleOffset);
}

void TriggerObject::PutDaysOfTheMonth(LONG value) {
    RequireType(TypeIs(TASK_TIME_TRIGGER_MONTHLYDATE));
    WriteLong(record_, kScheduleOffset, value);
}

LONG TriggerObject::MonthsOfTheYear() {
    TraceScope trace(kModule, "Property (Get) MonthsOfTheYear");
    if (!TypeIs(TASK_TIME_TRIGGER_MONTHLYDATE) && !TypeIs(TASK_TIME_TRIGGER_MONTHLYDOW)) return 0;
    return Word(2);
}

void TriggerObject::PutMonthsOfTheYear(LONG value) {
    RequireType(TypeIs(TASK_TIME_TRIGGER_MONTHLYDATE) || TypeIs(TASK_TIME_TRIGGER_MONTHLYDOW));
    SetWord(2, CheckedI2(value));
}

LONG TriggerObject::WhichWeeks() {
    TraceScope trace(kModule, "Property (Get) WhichWeeks");
    if (!TypeIs(TASK_TIME_TRIGGER_MONTHLYDOW)) return 0;
    return Word(0);
}

void TriggerObject::PutWhichWeeks(LONG value) {
    RequireType(TypeIs(TASK_TIME_TRIGGER_MONTHLYDOW));
    SetWord(0, CheckedI2(value));
}

LONG TriggerObject::DaysOfTheWeek() {
    TraceScope trace(kModule, "Property (Get) DaysOfTheWeek");
    if (!TypeIs(TASK_TIME_TRIGGER_WEEKLY) && !TypeIs(TASK_TIME_TRIGGER_MONTHLYDOW)) return 0;
    return Word(1);
}

void TriggerObject::PutDaysOfTheWeek(LONG value) {
    RequireType(TypeIs(TASK_TIME_TRIGGER_WEEKLY) || TypeIs(TASK_TIME_TRIGGER_MONTHLYDOW));
    SetWord(1, CheckedI2(value));
}

SHORT TriggerObject::DaysInterval() {
    TraceScope trace(kModule, "Property (Get) DaysInterval");
    if (!TypeIs(TASK_TIME_TRIGGER_DAILY)) return 0;
    return Word(0);
}

void TriggerObject::PutDaysInterval(SHORT value) {
    RequireType(TypeIs(TASK_TIME_TRIGGER_DAILY));
    SetWord(0, value);
}

SHORT TriggerObject::WeeksInterval() {
    TraceScope trace(kModule, "Property (Get) WeeksInterval");
    if (!TypeIs(TASK_TIME_TRIGGER_WEEKLY)) return 0;
    return Word(0);
}

void TriggerObject::PutWeeksInterval(SHORT value) {
    RequireType(TypeIs(TASK_TIME_TRIGGER_WEEKLY));
    SetWord(0, value);
}

}  // namespace velqosch
