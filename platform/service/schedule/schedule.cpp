// Run times and statuses of work items.
//
// Each enabled time trigger is a rule that says on which days it starts and
// at which minutes of such a day it runs. The search walks the calendar a day
// at a time from the first day that can contribute, collects every trigger's
// times of that day and stops as soon as the earliest `max` times are known,
// at the query's end, at the triggers' end dates or after the year 9999.
// Rules that can never start (30 February only, no day or month selected)
// are recognised before the walk, so no search runs without a reason.
//
// Decisions of this service:
// - Weeks of a weekly trigger start on Sunday; week 0 is the week of the
//   begin date, and the trigger runs in weeks 0, N, 2N, ...
// - Repetition: from the start time every MinutesInterval minutes while the
//   offset is below MinutesDuration; a duration may cross midnight.
// - An end date (TASK_TRIGGER_FLAG_HAS_END_DATE) is the last day on which
//   the trigger may start; repetitions begun that day run to their end.
// - Statuses: no enabled trigger -> NOT_SCHEDULED; enabled triggers of which
//   none can run in the future and the item never ran -> NO_VALID_TRIGGERS;
//   the same after a run -> NO_MORE_RUNS; only event triggers -> READY (or
//   HAS_NOT_RUN before the first run); a time ahead -> HAS_NOT_RUN before the
//   first run, READY after it.
#include "platform/service/schedule/schedule.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <set>

#include "platform/service/job/jobfile.h"
#include "platform/service/schedule/calendar.h"

namespace velqo::service {

namespace {

// The record's type word as stored: a record read from a file or handed in
// by a client may carry any value, which the enumeration type cannot hold.
inline unsigned TypeOf(const TASK_TRIGGER &t) noexcept {
    unsigned raw = 0;
    static_assert(sizeof(t.TriggerType) == sizeof raw);
    std::memcpy(&raw, &t.TriggerType, sizeof raw);
    return raw;
}

using cal::DayNumber;
using cal::DayOfWeek;
using cal::FromDayNumber;
using cal::MonthLength;

constexpr std::int64_t kMinutesPerDay = 1440;
constexpr int kLastYear = 9999;

bool IsTimeTrigger(const TASK_TRIGGER &t) noexcept { return TypeOf(t) <= TASK_TIME_TRIGGER_MONTHLYDOW; }
bool IsEventTrigger(const TASK_TRIGGER &t) noexcept {
    return TypeOf(t) >= TASK_EVENT_TRIGGER_ON_IDLE && TypeOf(t) <= TASK_EVENT_TRIGGER_AT_LOGON;
}
bool Enabled(const TASK_TRIGGER &t) noexcept { return !(t.rgFlags & TASK_TRIGGER_FLAG_DISABLED); }

bool RealDate(int y, int m, int d) noexcept {
    return y >= 1601 && y <= kLastYear && m >= 1 && m <= 12 && d >= 1 && d <= MonthLength(y, m);
}

// The day that holds `minute`: rounded toward the past, also before 1970.
std::int64_t DayOf(std::int64_t minute) noexcept {
    return minute >= 0 ? minute / kMinutesPerDay : (minute - kMinutesPerDay + 1) / kMinutesPerDay;
}

std::int64_t MinuteOf(const SYSTEMTIME &st) noexcept {
    return DayNumber(st.wYear, st.wMonth, st.wDay) * kMinutesPerDay + st.wHour * 60 + st.wMinute;
}

// The first minute at or after `st` (a time with seconds runs from the next minute).
std::int64_t CeilMinuteOf(const SYSTEMTIME &st) noexcept {
    return MinuteOf(st) + ((st.wSecond || st.wMilliseconds) ? 1 : 0);
}

SYSTEMTIME FromMinute(std::int64_t minute) noexcept {
    const std::int64_t day = DayOf(minute);
    const std::int64_t rest = minute - day * kMinutesPerDay;
    const cal::Ymd ymd = FromDayNumber(day);
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(ymd.y);
    st.wMonth = static_cast<WORD>(ymd.m);
    st.wDay = static_cast<WORD>(ymd.d);
    st.wDayOfWeek = static_cast<WORD>(DayOfWeek(day));
    st.wHour = static_cast<WORD>(rest / 60);
    st.wMinute = static_cast<WORD>(rest % 60);
    return st;
}

// One enabled time trigger as a day rule.
struct Rule {
    const TASK_TRIGGER *t;
    std::int64_t firstDay;  // begin date
    std::int64_t lastDay;   // end date, or the last day of the year 9999
    std::int64_t spanDays;  // how many days after its start a repetition can reach

    bool StartsOn(std::int64_t day) const noexcept {
        if (day < firstDay || day > lastDay) return false;
        const auto &u = t->Type;
        switch (TypeOf(*t)) {
            case TASK_TIME_TRIGGER_ONCE: return day == firstDay;
            case TASK_TIME_TRIGGER_DAILY: return (day - firstDay) % u.Daily.DaysInterval == 0;
            case TASK_TIME_TRIGGER_WEEKLY: {
                if (!(u.Weekly.rgfDaysOfTheWeek & (1u << DayOfWeek(day)))) return false;
                const std::int64_t week0 = firstDay - DayOfWeek(firstDay);
                const std::int64_t week = (day - DayOfWeek(day) - week0) / 7;
                return week % u.Weekly.WeeksInterval == 0;
            }
            case TASK_TIME_TRIGGER_MONTHLYDATE: {
                const cal::Ymd d = FromDayNumber(day);
                return (u.MonthlyDate.rgfMonths & (1u << (d.m - 1))) && (u.MonthlyDate.rgfDays & (1u << (d.d - 1)));
            }
            case TASK_TIME_TRIGGER_MONTHLYDOW: {
                if (!(u.MonthlyDOW.rgfDaysOfTheWeek & (1u << DayOfWeek(day)))) return false;
                const cal::Ymd d = FromDayNumber(day);
                if (!(u.MonthlyDOW.rgfMonths & (1u << (d.m - 1)))) return false;
                if (u.MonthlyDOW.wWhichWeek == TASK_LAST_WEEK) return d.d + 7 > MonthLength(d.y, d.m);
                return (d.d - 1) / 7 + 1 == u.MonthlyDOW.wWhichWeek;
            }
            default: return false;
        }
    }

    // Whether any day at all can match (no search for rules that never start).
    bool CanEverStart() const noexcept {
        if (firstDay > lastDay) return false;
        const auto &u = t->Type;
        switch (TypeOf(*t)) {
            case TASK_TIME_TRIGGER_MONTHLYDATE: {
                // Some selected day must exist in some selected month (29 February
                // in a leap year counts).
                for (int m = 1; m <= 12; ++m) {
                    if (!(u.MonthlyDate.rgfMonths & (1u << (m - 1)))) continue;
                    const int longest = m == 2 ? 29 : MonthLength(2001, m);
                    if (u.MonthlyDate.rgfDays & ((longest >= 32 ? 0xFFFFFFFFu : ((1u << longest) - 1)))) return true;
                }
                return false;
            }
            case TASK_TIME_TRIGGER_WEEKLY: return (u.Weekly.rgfDaysOfTheWeek & 0x7F) != 0 && u.Weekly.WeeksInterval > 0;
            case TASK_TIME_TRIGGER_MONTHLYDOW:
                return (u.MonthlyDOW.rgfDaysOfTheWeek & 0x7F) && (u.MonthlyDOW.rgfMonths & 0xFFF) &&
                       u.MonthlyDOW.wWhichWeek >= 1 && u.MonthlyDOW.wWhichWeek <= 5;
            case TASK_TIME_TRIGGER_DAILY: return u.Daily.DaysInterval > 0;
            default: return true;
        }
    }

    // The minutes of a start on `day`, from `from` to `to` inclusive.
    template <class Sink>
    void TimesOn(std::int64_t day, std::int64_t from, std::int64_t to, Sink &&sink) const {
        const std::int64_t start = day * kMinutesPerDay + t->wStartHour * 60 + t->wStartMinute;
        if (t->MinutesInterval == 0 || t->MinutesDuration == 0) {
            if (start >= from && start <= to) sink(start);
            return;
        }
        const std::int64_t step = t->MinutesInterval;
        std::int64_t k = from > start ? (from - start + step - 1) / step : 0;
        for (; k * step < t->MinutesDuration; ++k) {
            const std::int64_t m = start + k * step;
            if (m > to) break;
            sink(m);
        }
    }
};

bool MakeRule(const TASK_TRIGGER &t, Rule &rule) noexcept {
    if (!RealDate(t.wBeginYear, t.wBeginMonth, t.wBeginDay) || t.wStartHour > 23 || t.wStartMinute > 59) return false;
    rule.t = &t;
    rule.firstDay = DayNumber(t.wBeginYear, t.wBeginMonth, t.wBeginDay);
    rule.lastDay = DayNumber(kLastYear, 12, 31);
    if (t.rgFlags & TASK_TRIGGER_FLAG_HAS_END_DATE) {
        if (!RealDate(t.wEndYear, t.wEndMonth, t.wEndDay)) return false;
        rule.lastDay = DayNumber(t.wEndYear, t.wEndMonth, t.wEndDay);
    }
    // A once trigger starts on its begin date only: no later day need be looked at.
    if (TypeOf(t) == TASK_TIME_TRIGGER_ONCE) rule.lastDay = std::min(rule.lastDay, rule.firstDay);
    const std::int64_t reach = (t.MinutesInterval && t.MinutesDuration)
                                   ? t.wStartHour * 60 + t.wStartMinute + static_cast<std::int64_t>(t.MinutesDuration)
                                   : 0;
    rule.spanDays = reach / kMinutesPerDay;
    return rule.CanEverStart();
}

enum class Kind { Disabled, NoTriggers, EventOnly, Timed };

// What the trigger list amounts to, and the rules of its time triggers.
Kind Classify(const std::vector<TASK_TRIGGER> &triggers, DWORD taskFlags, std::vector<Rule> &rules) {
    if (taskFlags & TASK_FLAG_DISABLED) return Kind::Disabled;
    bool anyEvent = false, anyTime = false;
    for (const auto &t : triggers) {
        if (!Enabled(t)) continue;
        if (IsEventTrigger(t)) anyEvent = true;
        if (!IsTimeTrigger(t)) continue;
        anyTime = true;
        Rule r{};
        if (MakeRule(t, r)) rules.push_back(r);
    }
    // Time triggers none of which can ever start count as no trigger at all.
    (void)anyTime;
    if (!rules.empty()) return Kind::Timed;
    return anyEvent ? Kind::EventOnly : Kind::NoTriggers;
}

// The earliest `max` run minutes in [from, to].
void Collect(const std::vector<Rule> &rules, std::int64_t from, std::int64_t to, std::size_t max,
             std::set<std::int64_t> &found) {
    if (rules.empty() || max == 0 || from > to) return;
    std::int64_t span = 0, first = INT64_MAX, last = INT64_MIN;
    for (const auto &r : rules) {
        span = std::max(span, r.spanDays);
        first = std::min(first, r.firstDay);
        last = std::max(last, r.lastDay);
    }
    const std::int64_t fromDay = DayOf(from);
    const std::int64_t toDay = std::min(DayOf(to), last);
    for (std::int64_t day = std::max(first, fromDay - span); day <= toDay; ++day) {
        // Every time a later day can add lies at or after its midnight.
        if (found.size() >= max && *found.rbegin() < day * kMinutesPerDay) break;
        for (const auto &r : rules) {
            if (!r.StartsOn(day)) continue;
            r.TimesOn(day, from, to, [&](std::int64_t m) {
                if (found.size() >= max && m >= *found.rbegin()) return;
                found.insert(m);
                if (found.size() > max) found.erase(std::prev(found.end()));
            });
        }
    }
}

std::int64_t EndOfTime() noexcept { return DayNumber(kLastYear, 12, 31) * kMinutesPerDay + kMinutesPerDay - 1; }

}  // namespace

HRESULT ValidateTrigger(const TASK_TRIGGER &t) noexcept {
    if (t.cbTriggerSize != sizeof(TASK_TRIGGER)) return E_INVALIDARG;
    if (!RealDate(t.wBeginYear, t.wBeginMonth, t.wBeginDay)) return E_INVALIDARG;
    if (t.wStartHour > 23 || t.wStartMinute > 59) return E_INVALIDARG;
    if (t.MinutesInterval && t.MinutesInterval >= t.MinutesDuration) return E_INVALIDARG;
    if (t.rgFlags &
        ~DWORD{TASK_TRIGGER_FLAG_HAS_END_DATE | TASK_TRIGGER_FLAG_KILL_AT_DURATION_END | TASK_TRIGGER_FLAG_DISABLED})
        return E_INVALIDARG;
    // An end date before the begin date is taken (the trigger then never
    // starts); only an end date that is no real date is refused.
    if ((t.rgFlags & TASK_TRIGGER_FLAG_HAS_END_DATE) && !RealDate(t.wEndYear, t.wEndMonth, t.wEndDay))
        return E_INVALIDARG;
    const auto &u = t.Type;
    switch (TypeOf(t)) {
        case TASK_TIME_TRIGGER_ONCE:
        case TASK_EVENT_TRIGGER_ON_IDLE:
        case TASK_EVENT_TRIGGER_AT_SYSTEMSTART:
        case TASK_EVENT_TRIGGER_AT_LOGON: return S_OK;
        case TASK_TIME_TRIGGER_DAILY: return u.Daily.DaysInterval >= 1 ? S_OK : E_INVALIDARG;
        case TASK_TIME_TRIGGER_WEEKLY:
            return u.Weekly.WeeksInterval >= 1 && u.Weekly.rgfDaysOfTheWeek && !(u.Weekly.rgfDaysOfTheWeek & ~0x7F)
                       ? S_OK
                       : E_INVALIDARG;
        case TASK_TIME_TRIGGER_MONTHLYDATE:
            return u.MonthlyDate.rgfDays && !(u.MonthlyDate.rgfDays & 0x80000000u) && u.MonthlyDate.rgfMonths &&
                           !(u.MonthlyDate.rgfMonths & ~0xFFF)
                       ? S_OK
                       : E_INVALIDARG;
        case TASK_TIME_TRIGGER_MONTHLYDOW:
            return u.MonthlyDOW.wWhichWeek >= 1 && u.MonthlyDOW.wWhichWeek <= 5 && u.MonthlyDOW.rgfDaysOfTheWeek &&
                           !(u.MonthlyDOW.rgfDaysOfTheWeek & ~0x7F) && u.MonthlyDOW.rgfMonths &&
                           !(u.MonthlyDOW.rgfMonths & ~0xFFF)
                       ? S_OK
                       : E_INVALIDARG;
        default: return E_INVALIDARG;
    }
}

TASK_TRIGGER DefaultTrigger(const SYSTEMTIME &now) noexcept {
    TASK_TRIGGER t{};
    t.cbTriggerSize = sizeof(TASK_TRIGGER);
    t.wBeginYear = now.wYear;
    t.wBeginMonth = now.wMonth;
    t.wBeginDay = now.wDay;
    t.wStartHour = now.wHour;
    t.wStartMinute = now.wMinute;
    t.rgFlags = TASK_TRIGGER_FLAG_DISABLED;
    t.TriggerType = TASK_TIME_TRIGGER_DAILY;
    t.Type.Daily.DaysInterval = 1;
    return t;
}

HRESULT RunTimes(const std::vector<TASK_TRIGGER> &triggers, DWORD taskFlags, const SYSTEMTIME &begin,
                 const SYSTEMTIME *end, std::size_t max, std::vector<SYSTEMTIME> &out) noexcept {
    out.clear();
    if (max < 1 || max > TASK_MAX_RUN_TIMES) return E_INVALIDARG;
    try {
        std::vector<Rule> rules;
        switch (Classify(triggers, taskFlags, rules)) {
            case Kind::Disabled: return SCHED_S_TASK_DISABLED;
            case Kind::NoTriggers: return SCHED_S_TASK_NO_VALID_TRIGGERS;
            case Kind::EventOnly: return SCHED_S_EVENT_TRIGGER;
            case Kind::Timed: break;
        }
        const std::int64_t from = CeilMinuteOf(begin);
        const std::int64_t to = end ? MinuteOf(*end) : EndOfTime();
        std::set<std::int64_t> found;
        Collect(rules, from, to, max, found);
        out.reserve(found.size());
        for (std::int64_t m : found) out.push_back(FromMinute(m));
        return out.size() == max ? S_OK : S_FALSE;
    } catch (...) {
        out.clear();
        return E_OUTOFMEMORY;
    }
}

HRESULT NextRunTime(const std::vector<TASK_TRIGGER> &triggers, DWORD taskFlags, const SYSTEMTIME &after,
                    SYSTEMTIME &out) noexcept {
    out = SYSTEMTIME{};
    std::vector<SYSTEMTIME> times;
    const HRESULT hr = RunTimes(triggers, taskFlags, after, nullptr, 1, times);
    if (hr == S_OK) {
        out = times.front();
        return S_OK;
    }
    // Time triggers none of which can run again.
    return hr == S_FALSE ? SCHED_S_TASK_NO_VALID_TRIGGERS : hr;
}

HRESULT ItemStatus(const JobData &job, const SYSTEMTIME &now) noexcept {
    if (job.status == SCHED_S_TASK_RUNNING && job.runningInstances > 0) return SCHED_S_TASK_RUNNING;
    if (job.flags & TASK_FLAG_DISABLED) return SCHED_S_TASK_DISABLED;
    const bool ran = job.mostRecentRun.wYear != 0;
    SYSTEMTIME next{};
    switch (NextRunTime(job.triggers, job.flags, now, next)) {
        case S_OK:
        case SCHED_S_EVENT_TRIGGER: return ran ? SCHED_S_TASK_READY : SCHED_S_TASK_HAS_NOT_RUN;
        case SCHED_S_TASK_NO_VALID_TRIGGERS: {
            bool enabled = false;
            for (const auto &t : job.triggers) enabled = enabled || Enabled(t);
            if (!enabled) return SCHED_S_TASK_NOT_SCHEDULED;
            return ran ? SCHED_S_TASK_NO_MORE_RUNS : SCHED_S_TASK_NO_VALID_TRIGGERS;
        }
        default: return SCHED_S_TASK_NOT_SCHEDULED;
    }
}

}  // namespace velqo::service
