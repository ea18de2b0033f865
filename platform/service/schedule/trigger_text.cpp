// The service's English texts of triggers. The forms:
//   once         "At 9:30 AM on 12/1/2026"
//   daily        "At 9:30 AM every day, starting 12/1/2026"
//                "At 9:30 AM every 3 days, starting 12/1/2026"
//   weekly       "At 9:30 AM every Mon, Fri of every week, starting 12/1/2026"
//                "At 9:30 AM every Sat of every 2 weeks, starting 12/1/2026"
//   monthly date "At 9:30 AM on day 1, 15 of every month, starting 12/1/2026"
//                "At 9:30 AM on day 31 of Jan, Jul, starting 12/1/2026"
//   monthly dow  "At 9:30 AM on the last Sun of every month, starting 12/1/2026"
//                "At 9:30 AM on the first Mon, Fri of Jan, Jul, starting 12/1/2026"
//   events       "Run when idle", "At system startup", "At logon"
// Time triggers add ", ending 12/31/2026" with an end date, and
// ", repeating every 15 minutes for 120 minutes" with a repetition. A disabled
// trigger's text ends in " (disabled)". A record of an unknown type reads
// "Unknown trigger".
#include <cstring>
#include <string>

#include "platform/service/schedule/schedule.h"

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

const char *const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char *const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char *const kWeeks[] = {"first", "second", "third", "fourth", "last"};

std::string Clock(unsigned hour, unsigned minute) {
    const unsigned h12 = hour % 12 == 0 ? 12 : hour % 12;
    std::string s = std::to_string(h12) + ":" + (minute < 10 ? "0" : "") + std::to_string(minute);
    return s + (hour < 12 ? " AM" : " PM");
}

std::string Date(unsigned y, unsigned m, unsigned d) {
    return std::to_string(m) + "/" + std::to_string(d) + "/" + std::to_string(y);
}

std::string DayList(unsigned mask) {
    std::string s;
    for (unsigned i = 0; i < 7; ++i)
        if (mask & (1u << i)) s += (s.empty() ? "" : ", ") + std::string(kDays[i]);
    return s;
}

std::string MonthList(unsigned mask) {
    if ((mask & 0xFFF) == 0xFFF) return "every month";
    std::string s;
    for (unsigned i = 0; i < 12; ++i)
        if (mask & (1u << i)) s += (s.empty() ? "" : ", ") + std::string(kMonths[i]);
    return s;
}

std::string Plural(unsigned n, const char *unit) { return std::to_string(n) + " " + unit + (n == 1 ? "" : "s"); }

std::u16string Widen(const std::string &s) { return std::u16string(s.begin(), s.end()); }

}  // namespace

std::u16string TriggerText(const TASK_TRIGGER &t) {
    const auto &u = t.Type;
    std::string s = "At " + Clock(t.wStartHour, t.wStartMinute);
    const std::string starting = ", starting " + Date(t.wBeginYear, t.wBeginMonth, t.wBeginDay);
    switch (TypeOf(t)) {
        case TASK_TIME_TRIGGER_ONCE: s += " on " + Date(t.wBeginYear, t.wBeginMonth, t.wBeginDay); break;
        case TASK_TIME_TRIGGER_DAILY:
            s += u.Daily.DaysInterval <= 1 ? " every day" : " every " + Plural(u.Daily.DaysInterval, "day");
            s += starting;
            break;
        case TASK_TIME_TRIGGER_WEEKLY:
            s += " every " + DayList(u.Weekly.rgfDaysOfTheWeek) + " of every " +
                 (u.Weekly.WeeksInterval <= 1 ? std::string("week") : Plural(u.Weekly.WeeksInterval, "week"));
            s += starting;
            break;
        case TASK_TIME_TRIGGER_MONTHLYDATE: {
            std::string days;
            for (unsigned i = 0; i < 31; ++i)
                if (u.MonthlyDate.rgfDays & (1u << i)) days += (days.empty() ? "" : ", ") + std::to_string(i + 1);
            s += " on day " + days + " of " + MonthList(u.MonthlyDate.rgfMonths) + starting;
            break;
        }
        case TASK_TIME_TRIGGER_MONTHLYDOW: {
            const unsigned w = u.MonthlyDOW.wWhichWeek;
            s += std::string(" on the ") + (w >= 1 && w <= 5 ? kWeeks[w - 1] : "?") + " " +
                 DayList(u.MonthlyDOW.rgfDaysOfTheWeek) + " of " + MonthList(u.MonthlyDOW.rgfMonths) + starting;
            break;
        }
        case TASK_EVENT_TRIGGER_ON_IDLE: s = "Run when idle"; break;
        case TASK_EVENT_TRIGGER_AT_SYSTEMSTART: s = "At system startup"; break;
        case TASK_EVENT_TRIGGER_AT_LOGON: s = "At logon"; break;
        default: return u"Unknown trigger";
    }
    if (TypeOf(t) <= TASK_TIME_TRIGGER_MONTHLYDOW) {
        if (t.rgFlags & TASK_TRIGGER_FLAG_HAS_END_DATE) s += ", ending " + Date(t.wEndYear, t.wEndMonth, t.wEndDay);
        if (t.MinutesInterval && t.MinutesDuration)
            s += ", repeating every " + Plural(t.MinutesInterval, "minute") + " for " +
                 Plural(t.MinutesDuration, "minute");
    }
    if (t.rgFlags & TASK_TRIGGER_FLAG_DISABLED) s += " (disabled)";
    return Widen(s);
}

}  // namespace velqo::service
