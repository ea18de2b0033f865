// Run times, statuses, validation and texts of the service's schedule engine,
// against schedules worked out by hand on a calendar.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "common/scoped_env.h"
#include "platform/service/job/jobfile.h"
#include "platform/service/schedule/schedule.h"

namespace svc = velqo::service;

namespace {

// "YYYY-MM-DD HH:MM"
SYSTEMTIME At(const char *text) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0;
    std::sscanf(text, "%d-%d-%d %d:%d", &y, &mo, &d, &h, &mi);
    return SYSTEMTIME{WORD(y), WORD(mo), 0, WORD(d), WORD(h), WORD(mi), 0, 0};
}

std::string Text(const SYSTEMTIME &st) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d", st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute);
    return buf;
}

// A trigger of `type` from `begin` ("YYYY-MM-DD HH:MM") with the words of its type.
TASK_TRIGGER T(TASK_TRIGGER_TYPE type, const char *begin, DWORD a = 0, WORD b = 0, WORD c = 0) {
    const SYSTEMTIME st = At(begin);
    TASK_TRIGGER t{};
    t.cbTriggerSize = sizeof t;
    t.wBeginYear = st.wYear, t.wBeginMonth = st.wMonth, t.wBeginDay = st.wDay;
    t.wStartHour = st.wHour, t.wStartMinute = st.wMinute;
    t.TriggerType = type;
    switch (type) {
        case TASK_TIME_TRIGGER_DAILY: t.Type.Daily.DaysInterval = WORD(a); break;
        case TASK_TIME_TRIGGER_WEEKLY: t.Type.Weekly = {WORD(a), b}; break;
        case TASK_TIME_TRIGGER_MONTHLYDATE: t.Type.MonthlyDate = {a, b}; break;
        case TASK_TIME_TRIGGER_MONTHLYDOW: t.Type.MonthlyDOW = {WORD(a), b, c}; break;
        default: break;
    }
    return t;
}
TASK_TRIGGER Rep(TASK_TRIGGER t, DWORD interval, DWORD duration) {
    t.MinutesInterval = interval, t.MinutesDuration = duration;
    return t;
}
TASK_TRIGGER Ends(TASK_TRIGGER t, const char *day, DWORD flags = TASK_TRIGGER_FLAG_HAS_END_DATE) {
    const SYSTEMTIME st = At(day);
    t.wEndYear = st.wYear, t.wEndMonth = st.wMonth, t.wEndDay = st.wDay, t.rgFlags = flags;
    return t;
}
TASK_TRIGGER Off(TASK_TRIGGER t) {
    t.rgFlags |= TASK_TRIGGER_FLAG_DISABLED;
    return t;
}

constexpr auto kOnce = TASK_TIME_TRIGGER_ONCE, kDaily = TASK_TIME_TRIGGER_DAILY, kWeekly = TASK_TIME_TRIGGER_WEEKLY,
               kDate = TASK_TIME_TRIGGER_MONTHLYDATE, kDow = TASK_TIME_TRIGGER_MONTHLYDOW;
constexpr WORD kAllMonths = 0xFFF;

// The run times as one text, each with its weekday checked against the C library's calendar.
std::string Runs(const std::vector<TASK_TRIGGER> &triggers, const char *from, std::size_t max, HRESULT &hr,
                 const char *end = nullptr, DWORD flags = 0) {
    std::vector<SYSTEMTIME> out;
    const SYSTEMTIME until = end ? At(end) : SYSTEMTIME{};
    hr = svc::RunTimes(triggers, flags, At(from), end ? &until : nullptr, max, out);
    std::string text;
    for (const SYSTEMTIME &st : out) {
        tm parts{};
        parts.tm_year = st.wYear - 1900, parts.tm_mon = st.wMonth - 1, parts.tm_mday = st.wDay;
        const time_t day = timegm(&parts);
        gmtime_r(&day, &parts);
        EXPECT_EQ(st.wDayOfWeek, parts.tm_wday) << Text(st);
        text += (text.empty() ? "" : ", ") + Text(st);
    }
    return text;
}

TEST(RunTimes, Table) {
    const TASK_TRIGGER daily9 = T(kDaily, "2026-12-01 09:00", 1);
    const TASK_TRIGGER rep = Rep(T(kDaily, "2026-12-01 23:30", 1), 20, 60);  // 23:30, 23:50, 0:10; 0:30 ends it
    struct Row {
        const char *what;
        std::vector<TASK_TRIGGER> triggers;
        const char *from;
        std::size_t max;
        HRESULT hr;
        const char *runs;
        const char *end = nullptr;
        DWORD flags = 0;
    } rows[] = {
        // clang-format off
        {"weekly Mon, Fri", {T(kWeekly, "2026-12-01 09:30", 1, TASK_MONDAY | TASK_FRIDAY)}, "2026-12-01 00:00", 4, S_OK,
         "2026-12-04 09:30, 2026-12-07 09:30, 2026-12-11 09:30, 2026-12-14 09:30"},
        // Weeks count from the begin date's week (Sun 11/29); Tue 12/1 lies before the begin date.
        {"every 2 weeks on Tue", {T(kWeekly, "2026-12-02 08:00", 2, TASK_TUESDAY)}, "2026-11-01 00:00", 4, S_OK,
         "2026-12-15 08:00, 2026-12-29 08:00, 2027-01-12 08:00, 2027-01-26 08:00"},
        {"every 3 days over a month end", {T(kDaily, "2026-01-30 23:00", 3)}, "2026-01-01 00:00", 3, S_OK,
         "2026-01-30 23:00, 2026-02-02 23:00, 2026-02-05 23:00"},
        {"day 31 skips short months", {T(kDate, "2026-01-01 08:00", 1u << 30, kAllMonths)}, "2026-01-01 00:00", 3, S_OK,
         "2026-01-31 08:00, 2026-03-31 08:00, 2026-05-31 08:00"},
        {"29 February in leap years", {T(kDate, "2026-01-01 06:00", 1u << 28, TASK_FEBRUARY)}, "2026-01-01 00:00", 2,
         S_OK, "2028-02-29 06:00, 2032-02-29 06:00"},
        {"2100 is no leap year", {T(kDate, "2090-01-01 06:00", 1u << 28, TASK_FEBRUARY)}, "2096-03-01 00:00", 2, S_OK,
         "2104-02-29 06:00, 2108-02-29 06:00"},
        // January 2026 has five Saturdays, February and March four; both January and February end on one.
        {"last Saturday", {T(kDow, "2026-01-01 17:00", TASK_LAST_WEEK, TASK_SATURDAY, kAllMonths)}, "2026-01-01 00:00",
         4, S_OK, "2026-01-31 17:00, 2026-02-28 17:00, 2026-03-28 17:00, 2026-04-25 17:00"},
        {"first Monday of Jan, Jul", {T(kDow, "2026-01-01 07:15", 1, TASK_MONDAY, TASK_JANUARY | TASK_JULY)},
         "2026-01-01 00:00", 3, S_OK, "2026-01-05 07:15, 2026-07-06 07:15, 2027-01-04 07:15"},
        // Days before 1970 have negative numbers: the period's first day is not skipped.
        {"daily before 1970", {T(kDaily, "1969-12-29 09:00", 1)}, "1969-12-29 08:00", 4, S_OK,
         "1969-12-29 09:00, 1969-12-30 09:00, 1969-12-31 09:00, 1970-01-01 09:00"},
        {"once, fewer than asked", {T(kOnce, "2026-12-01 10:00")}, "2026-11-01 00:00", 3, S_FALSE, "2026-12-01 10:00"},
        {"begin is inclusive", {T(kOnce, "2026-12-01 10:00")}, "2026-12-01 10:00", 1, S_OK, "2026-12-01 10:00"},
        {"once, passed", {T(kOnce, "2026-12-01 10:00")}, "2026-12-01 10:01", 1, S_FALSE, ""},
        {"repetition crosses midnight", {rep}, "2026-12-01 00:00", 4, S_OK,
         "2026-12-01 23:30, 2026-12-01 23:50, 2026-12-02 00:10, 2026-12-02 23:30"},
        {"repetition begun the day before", {rep}, "2026-12-02 00:00", 2, S_OK, "2026-12-02 00:10, 2026-12-02 23:30"},
        {"mid-repetition: the next step", {rep}, "2026-12-01 23:40", 1, S_OK, "2026-12-01 23:50"},
        {"end date is the last day", {Ends(daily9, "2026-12-03")}, "2026-01-01 00:00", 5, S_FALSE,
         "2026-12-01 09:00, 2026-12-02 09:00, 2026-12-03 09:00"},
        {"end date without its flag", {Ends(daily9, "2026-12-03", 0)}, "2026-11-30 00:00", 4, S_OK,
         "2026-12-01 09:00, 2026-12-02 09:00, 2026-12-03 09:00, 2026-12-04 09:00"},
        {"the query's end is inclusive", {daily9}, "2026-01-01 00:00", 5, S_FALSE,
         "2026-12-01 09:00, 2026-12-02 09:00", "2026-12-02 09:00"},
        {"triggers merge, each time once", {T(kDaily, "2026-12-01 12:00", 1), T(kDaily, "2026-12-01 12:00", 1),
          T(kWeekly, "2026-12-01 08:00", 1, TASK_WEDNESDAY), Off(T(kDaily, "2026-12-01 06:00", 1))}, "2026-12-01 00:00",
         4, S_OK, "2026-12-01 12:00, 2026-12-02 08:00, 2026-12-02 12:00, 2026-12-03 12:00"},
        {"disabled task", {daily9}, "2026-01-01 00:00", 5, SCHED_S_TASK_DISABLED, "", nullptr, TASK_FLAG_DISABLED},
        {"no triggers", {}, "2026-01-01 00:00", 5, SCHED_S_TASK_NO_VALID_TRIGGERS, ""},
        {"a day no month has", {T(kDate, "2026-01-01 00:00", 1u << 29, TASK_FEBRUARY)}, "2026-01-01 00:00", 5,
         SCHED_S_TASK_NO_VALID_TRIGGERS, ""},
        {"ends before it begins", {Ends(daily9, "2026-11-30")}, "2026-01-01 00:00", 5, SCHED_S_TASK_NO_VALID_TRIGGERS, ""},
        {"only event triggers", {T(TASK_EVENT_TRIGGER_ON_IDLE, "2026-12-01 00:00")}, "2026-01-01 00:00", 5,
         SCHED_S_EVENT_TRIGGER, ""},
        {"no count", {daily9}, "2026-01-01 00:00", 0, E_INVALIDARG, ""},
        {"too many", {daily9}, "2026-01-01 00:00", TASK_MAX_RUN_TIMES + 1, E_INVALIDARG, ""},
        // clang-format on
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        HRESULT hr = E_FAIL;
        EXPECT_EQ(Runs(row.triggers, row.from, row.max, hr, row.end, row.flags), row.runs);
        EXPECT_EQ(hr, row.hr);
    }
    // The next run is the first run time, or why there is none (none left: no valid triggers).
    SYSTEMTIME next = At("0001-01-01 01:01");
    EXPECT_EQ(svc::NextRunTime({daily9}, 0, At("2026-12-02 09:01"), next), S_OK);
    EXPECT_EQ(Text(next), "2026-12-03 09:00");
    EXPECT_EQ(svc::NextRunTime({T(kOnce, "2026-12-01 10:00")}, 0, At("2026-12-01 10:01"), next),
              SCHED_S_TASK_NO_VALID_TRIGGERS);
    EXPECT_EQ(Text(next), "0000-00-00 00:00");
    EXPECT_EQ(svc::NextRunTime({daily9}, TASK_FLAG_DISABLED, At("2026-12-02 09:01"), next), SCHED_S_TASK_DISABLED);
    std::vector<SYSTEMTIME> most;
    EXPECT_EQ(
        svc::RunTimes({T(kDaily, "2026-01-01 00:00", 1)}, 0, At("2026-01-01 00:00"), nullptr, TASK_MAX_RUN_TIMES, most),
        S_OK);
    EXPECT_EQ(most.size(), std::size_t{TASK_MAX_RUN_TIMES});
    HRESULT hr = E_FAIL;
    // A new trigger: daily from now, disabled.
    TASK_TRIGGER fresh = svc::DefaultTrigger(At("2026-12-06 19:45"));
    EXPECT_EQ(svc::ValidateTrigger(fresh), S_OK);
    EXPECT_EQ(fresh.rgFlags, DWORD{TASK_TRIGGER_FLAG_DISABLED});
    fresh.rgFlags = 0;
    EXPECT_EQ(Runs({fresh}, "2026-12-06 19:45", 2, hr), "2026-12-06 19:45, 2026-12-07 19:45");
}

TEST(ValidateTrigger, OneFieldWrongAtATime) {
    const TASK_TRIGGER good = T(kWeekly, "2026-12-01 09:30", 1, TASK_MONDAY);
    struct Row {
        const char *what;
        void (*change)(TASK_TRIGGER &);
        HRESULT expected;
    } rows[] = {
        {"as it is", [](TASK_TRIGGER &) {}, S_OK},
        {"size 47", [](TASK_TRIGGER &t) { t.cbTriggerSize = 47; }, E_INVALIDARG},
        {"month 13", [](TASK_TRIGGER &t) { t.wBeginMonth = 13; }, E_INVALIDARG},
        {"31 November", [](TASK_TRIGGER &t) { t.wBeginMonth = 11, t.wBeginDay = 31; }, E_INVALIDARG},
        {"30 November", [](TASK_TRIGGER &t) { t.wBeginMonth = 11, t.wBeginDay = 30; }, S_OK},
        {"29 Feb 2100", [](TASK_TRIGGER &t) { t.wBeginYear = 2100, t.wBeginMonth = 2, t.wBeginDay = 29; },
         E_INVALIDARG},
        {"29 Feb 2028", [](TASK_TRIGGER &t) { t.wBeginYear = 2028, t.wBeginMonth = 2, t.wBeginDay = 29; }, S_OK},
        {"hour 24", [](TASK_TRIGGER &t) { t.wStartHour = 24; }, E_INVALIDARG},
        {"hour 23", [](TASK_TRIGGER &t) { t.wStartHour = 23; }, S_OK},
        {"minute 60", [](TASK_TRIGGER &t) { t.wStartMinute = 60; }, E_INVALIDARG},
        // as Windows does: a repetition must last longer than its interval
        {"interval = duration", [](TASK_TRIGGER &t) { t = Rep(t, 30, 30); }, E_INVALIDARG},
        {"interval < duration", [](TASK_TRIGGER &t) { t = Rep(t, 29, 30); }, S_OK},
        // taken, as Windows does: the trigger then never starts
        {"end before begin", [](TASK_TRIGGER &t) { t = Ends(t, "2026-11-30"); }, S_OK},
        {"end no real date", [](TASK_TRIGGER &t) { t = Ends(t, "2026-13-01"); }, E_INVALIDARG},
        {"garbage end without the flag", [](TASK_TRIGGER &t) { t = Ends(t, "2026-77-01", 0); }, S_OK},
        {"no weekday", [](TASK_TRIGGER &t) { t.Type.Weekly.rgfDaysOfTheWeek = 0; }, E_INVALIDARG},
        {"weekday bit 7", [](TASK_TRIGGER &t) { t.Type.Weekly.rgfDaysOfTheWeek = 0x80; }, E_INVALIDARG},
        {"every 0 weeks", [](TASK_TRIGGER &t) { t.Type.Weekly.WeeksInterval = 0; }, E_INVALIDARG},
        {"type 8",
         [](TASK_TRIGGER &t) {
             const DWORD raw = 8;
             std::memcpy(&t.TriggerType, &raw, sizeof raw);
         },
         E_INVALIDARG},
        {"unknown flag", [](TASK_TRIGGER &t) { t.rgFlags = 8; }, E_INVALIDARG},
        {"daily every 0 days", [](TASK_TRIGGER &t) { t = T(kDaily, "2026-12-01 09:30", 0); }, E_INVALIDARG},
        {"as logon", [](TASK_TRIGGER &t) { t.TriggerType = TASK_EVENT_TRIGGER_AT_LOGON, t.Type.Weekly = {}; }, S_OK},
        {"fifth Sunday", [](TASK_TRIGGER &t) { t = T(kDow, "2026-01-01 00:00", 5, TASK_SUNDAY, kAllMonths); }, S_OK},
        {"sixth Sunday", [](TASK_TRIGGER &t) { t = T(kDow, "2026-01-01 00:00", 6, TASK_SUNDAY, kAllMonths); },
         E_INVALIDARG},
        {"no month day", [](TASK_TRIGGER &t) { t = T(kDate, "2026-01-01 00:00", 0, kAllMonths); }, E_INVALIDARG},
        {"month bit 12", [](TASK_TRIGGER &t) { t = T(kDate, "2026-01-01 00:00", 1, 0x1000); }, E_INVALIDARG},
    };
    for (const Row &row : rows) {
        TASK_TRIGGER t = good;
        row.change(t);
        EXPECT_EQ(svc::ValidateTrigger(t), row.expected) << row.what;
    }
}

TEST(TriggerText, EachForm) {
    const struct {
        TASK_TRIGGER trigger;
        const char *expected;
    } rows[] = {
        {T(kWeekly, "2026-12-01 09:30", 1, TASK_MONDAY | TASK_FRIDAY),
         "At 9:30 AM every Mon, Fri of every week, starting 12/1/2026"},
        {T(kWeekly, "2026-12-01 21:00", 2, TASK_SATURDAY), "At 9:00 PM every Sat of every 2 weeks, starting 12/1/2026"},
        {T(kOnce, "2027-02-03 12:00"), "At 12:00 PM on 2/3/2027"},
        {Rep(T(kDaily, "2026-12-01 00:05", 1), 15, 120),
         "At 12:05 AM every day, starting 12/1/2026, repeating every 15 minutes for 120 minutes"},
        {Ends(T(kDaily, "2026-12-01 12:00", 3), "2026-12-31",
              TASK_TRIGGER_FLAG_HAS_END_DATE | TASK_TRIGGER_FLAG_DISABLED),
         "At 12:00 PM every 3 days, starting 12/1/2026, ending 12/31/2026 (disabled)"},
        {T(kDate, "2026-12-01 08:00", 1u | 1u << 14, kAllMonths),
         "At 8:00 AM on day 1, 15 of every month, starting 12/1/2026"},
        {T(kDow, "2026-12-01 08:00", TASK_LAST_WEEK, TASK_SUNDAY, kAllMonths),
         "At 8:00 AM on the last Sun of every month, starting 12/1/2026"},
        {T(kDow, "2026-12-01 08:00", 1, TASK_MONDAY | TASK_FRIDAY, TASK_JANUARY | TASK_JULY),
         "At 8:00 AM on the first Mon, Fri of Jan, Jul, starting 12/1/2026"},
        {T(TASK_EVENT_TRIGGER_ON_IDLE, "2026-12-01 08:00"), "Run when idle"},
        {T(TASK_EVENT_TRIGGER_AT_SYSTEMSTART, "2026-12-01 08:00"), "At system startup"},
        {T(TASK_EVENT_TRIGGER_AT_LOGON, "2026-12-01 08:00"), "At logon"},
    };
    for (const auto &row : rows) {
        const std::u16string text = svc::TriggerText(row.trigger);
        EXPECT_EQ(std::string(text.begin(), text.end()), row.expected);
    }
}

TEST(ItemStatus, FromFlagsTriggersAndHistory) {
    const TASK_TRIGGER ahead = T(kDaily, "2026-12-01 09:00", 1), past = T(kOnce, "2026-12-01 09:00");
    const TASK_TRIGGER logon = T(TASK_EVENT_TRIGGER_AT_LOGON, "2026-12-01 00:00");
    const struct {
        const char *what;
        std::vector<TASK_TRIGGER> triggers;
        bool ran;
        DWORD flags;
        HRESULT status;
        WORD running;
        HRESULT expected;
    } rows[] = {
        {"never ran, run ahead", {ahead}, false, 0, 0, 0, SCHED_S_TASK_HAS_NOT_RUN},
        {"ran, run ahead", {ahead}, true, 0, 0, 0, SCHED_S_TASK_READY},
        {"ran, nothing ahead", {past}, true, 0, 0, 0, SCHED_S_TASK_NO_MORE_RUNS},
        {"never ran, nothing ahead", {past}, false, 0, 0, 0, SCHED_S_TASK_NO_VALID_TRIGGERS},
        {"no triggers", {}, false, 0, 0, 0, SCHED_S_TASK_NOT_SCHEDULED},
        {"only a disabled trigger", {Off(ahead)}, true, 0, 0, 0, SCHED_S_TASK_NOT_SCHEDULED},
        {"disabled task", {ahead}, true, TASK_FLAG_DISABLED, 0, 0, SCHED_S_TASK_DISABLED},
        {"event trigger only", {logon}, false, 0, 0, 0, SCHED_S_TASK_HAS_NOT_RUN},
        {"running", {ahead}, true, TASK_FLAG_DISABLED, SCHED_S_TASK_RUNNING, 1, SCHED_S_TASK_RUNNING},
        // a stale status from a daemon that died
        {"running, no instance", {ahead}, true, TASK_FLAG_DISABLED, SCHED_S_TASK_RUNNING, 0, SCHED_S_TASK_DISABLED},
    };
    for (const auto &row : rows) {
        svc::JobData job;
        job.triggers = row.triggers;
        job.flags = row.flags;
        job.status = row.status;
        job.runningInstances = row.running;
        if (row.ran) job.mostRecentRun = At("2026-12-01 09:00");
        EXPECT_EQ(svc::ItemStatus(job, At("2026-12-06 12:00")), row.expected) << row.what;
    }
}

// Berlin goes from +01:00 to +02:00 at 02:00 on 2027-03-28 (02:00-02:59 do
// not exist) and back at 03:00 on 2027-10-31 (02:00-02:59 happen twice).
TEST(NextRunInstant, ClockChangesNeitherLoseNorDoubleARun) {
    const test_env::Scoped berlin("TZ", "Europe/Berlin");
    const TASK_TRIGGER daily = T(kDaily, "2027-03-01 02:30", 1);
    const TASK_TRIGGER every30 = Rep(T(kDaily, "2027-03-01 01:30", 1), 30, 120);  // 01:30 to 03:00 local
    const struct {
        const char *what;
        TASK_TRIGGER trigger;
        const char *fromUtc, *expected;
    } rows[] = {
        // clang-format off
        {"a skipped time runs once, when the gap ends", daily, "2027-03-27 00:00", "2027-03-27 01:30Z for 2027-03-27 "
         "02:30, 2027-03-28 01:00Z for 2027-03-28 02:30, 2027-03-29 00:30Z for 2027-03-29 02:30"},
        {"a repeated time runs once, at its first occurrence", daily, "2027-10-30 00:00", "2027-10-30 00:30Z for "
         "2027-10-30 02:30, 2027-10-31 00:30Z for 2027-10-31 02:30, 2027-11-01 01:30Z for 2027-11-01 02:30"},
        // 02:00 and 02:30 do not exist; with 03:00 they are one instant, one run.
        {"a repetition over the gap follows the wall clock", every30, "2027-03-28 00:00", "2027-03-28 00:30Z for "
         "2027-03-28 01:30, 2027-03-28 01:00Z for 2027-03-28 02:00, 2027-03-28 23:30Z for 2027-03-29 01:30"},
        {"a repetition over the repeated hour runs each wall-clock time once", every30, "2027-10-30 23:00",
         "2027-10-30 23:30Z for 2027-10-31 01:30, 2027-10-31 00:00Z for 2027-10-31 02:00, 2027-10-31 00:30Z for "
         "2027-10-31 02:30, 2027-10-31 02:00Z for 2027-10-31 03:00, 2027-11-01 00:30Z for 2027-11-01 01:30"},
        // clang-format on
    };
    for (const auto &row : rows) {
        tm parts{};
        strptime(row.fromUtc, "%Y-%m-%d %H:%M", &parts);
        time_t after = timegm(&parts), at = 0;
        std::string got;
        SYSTEMTIME wall{};
        while (got.size() < std::strlen(row.expected) && svc::NextRunInstant({row.trigger}, 0, after, &at, &wall)) {
            char text[32];
            gmtime_r(&at, &parts);
            strftime(text, sizeof text, "%Y-%m-%d %H:%MZ", &parts);
            got += (got.empty() ? "" : ", ") + std::string(text) + " for " + Text(wall);
            after = at + 1;
        }
        EXPECT_EQ(got, row.expected) << row.what;
    }
}

}  // namespace
