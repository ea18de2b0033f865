// Run times, statuses, validation and texts of the service's schedule engine,
// against schedules worked out by hand on a calendar.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "platform/service/job/jobfile.h"
#include "platform/service/schedule/schedule.h"

namespace svc = velqo::service;

namespace {

SYSTEMTIME At(int y, int mo, int d, int h = 0, int mi = 0) {
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(y);
    st.wMonth = static_cast<WORD>(mo);
    st.wDay = static_cast<WORD>(d);
    st.wHour = static_cast<WORD>(h);
    st.wMinute = static_cast<WORD>(mi);
    return st;
}

std::string Text(const SYSTEMTIME &st) {
    char buf[40];
    snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d", st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute);
    return buf;
}

TASK_TRIGGER Base(TASK_TRIGGER_TYPE type, int y, int mo, int d, int h, int mi) {
    TASK_TRIGGER t{};
    t.cbTriggerSize = sizeof(TASK_TRIGGER);
    t.wBeginYear = static_cast<WORD>(y);
    t.wBeginMonth = static_cast<WORD>(mo);
    t.wBeginDay = static_cast<WORD>(d);
    t.wStartHour = static_cast<WORD>(h);
    t.wStartMinute = static_cast<WORD>(mi);
    t.TriggerType = type;
    return t;
}

TASK_TRIGGER Weekly(WORD weeks, WORD days, int y, int mo, int d, int h, int mi) {
    TASK_TRIGGER t = Base(TASK_TIME_TRIGGER_WEEKLY, y, mo, d, h, mi);
    t.Type.Weekly.WeeksInterval = weeks;
    t.Type.Weekly.rgfDaysOfTheWeek = days;
    return t;
}
TASK_TRIGGER Daily(WORD every, int y, int mo, int d, int h, int mi) {
    TASK_TRIGGER t = Base(TASK_TIME_TRIGGER_DAILY, y, mo, d, h, mi);
    t.Type.Daily.DaysInterval = every;
    return t;
}
TASK_TRIGGER MonthlyDate(DWORD days, WORD months, int y, int mo, int d, int h, int mi) {
    TASK_TRIGGER t = Base(TASK_TIME_TRIGGER_MONTHLYDATE, y, mo, d, h, mi);
    t.Type.MonthlyDate.rgfDays = days;
    t.Type.MonthlyDate.rgfMonths = months;
    return t;
}
TASK_TRIGGER MonthlyDow(WORD week, WORD days, WORD months, int y, int mo, int d, int h, int mi) {
    TASK_TRIGGER t = Base(TASK_TIME_TRIGGER_MONTHLYDOW, y, mo, d, h, mi);
    t.Type.MonthlyDOW.wWhichWeek = week;
    t.Type.MonthlyDOW.rgfDaysOfTheWeek = days;
    t.Type.MonthlyDOW.rgfMonths = months;
    return t;
}

constexpr WORD kAllMonths = 0xFFF;

// The run times as text, with the result code.
std::vector<std::string> Runs(const std::vector<TASK_TRIGGER> &triggers, const SYSTEMTIME &from, std::size_t max,
                              HRESULT *hr = nullptr, const SYSTEMTIME *end = nullptr, DWORD flags = 0) {
    std::vector<SYSTEMTIME> out;
    const HRESULT r = svc::RunTimes(triggers, flags, from, end, max, out);
    if (hr) *hr = r;
    std::vector<std::string> texts;
    for (const auto &st : out) texts.push_back(Text(st));
    return texts;
}

using V = std::vector<std::string>;

TEST(RunTimes, EachTriggerTypeOnItsDays) {
    struct Case {
        const char *what;
        TASK_TRIGGER trigger;
        SYSTEMTIME from;
        V expected;
    } cases[] = {
        {"weekly Mon, Fri",
         Weekly(1, TASK_MONDAY | TASK_FRIDAY, 2026, 12, 1, 9, 30),
         At(2026, 12, 1),
         {"2026-12-04 09:30", "2026-12-07 09:30", "2026-12-11 09:30", "2026-12-14 09:30"}},
        // Weeks count from the begin date's week (Sun 11/29); Tue 12/1 lies before the begin date.
        {"every 2 weeks on Tue",
         Weekly(2, TASK_TUESDAY, 2026, 12, 2, 8, 0),
         At(2026, 11, 1),
         {"2026-12-15 08:00", "2026-12-29 08:00", "2027-01-12 08:00", "2027-01-26 08:00"}},
        {"every 3 days across a month end",
         Daily(3, 2026, 1, 30, 23, 0),
         At(2026, 1, 1),
         {"2026-01-30 23:00", "2026-02-02 23:00", "2026-02-05 23:00", "2026-02-08 23:00"}},
        {"day 31 skips short months",
         MonthlyDate(1u << 30, kAllMonths, 2026, 1, 1, 8, 0),
         At(2026, 1, 1),
         {"2026-01-31 08:00", "2026-03-31 08:00", "2026-05-31 08:00", "2026-07-31 08:00"}},
        {"29 February only in leap years",
         MonthlyDate(1u << 28, TASK_FEBRUARY, 2026, 1, 1, 6, 0),
         At(2026, 1, 1),
         {"2028-02-29 06:00", "2032-02-29 06:00", "2036-02-29 06:00", "2040-02-29 06:00"}},
        {"2100 is not a leap year",
         MonthlyDate(1u << 28, TASK_FEBRUARY, 2090, 1, 1, 6, 0),
         At(2096, 3, 1),
         {"2104-02-29 06:00", "2108-02-29 06:00", "2112-02-29 06:00", "2116-02-29 06:00"}},
        // January 2026 has five Fridays, February and March four.
        {"last Friday",
         MonthlyDow(TASK_LAST_WEEK, TASK_FRIDAY, kAllMonths, 2026, 1, 1, 17, 0),
         At(2026, 1, 1),
         {"2026-01-30 17:00", "2026-02-27 17:00", "2026-03-27 17:00", "2026-04-24 17:00"}},
        {"first Monday of Jan, Jul",
         MonthlyDow(1, TASK_MONDAY, TASK_JANUARY | TASK_JULY, 2026, 1, 1, 7, 15),
         At(2026, 1, 1),
         {"2026-01-05 07:15", "2026-07-06 07:15", "2027-01-04 07:15", "2027-07-05 07:15"}},
        {"fourth Sunday",
         MonthlyDow(4, TASK_SUNDAY, kAllMonths, 2026, 3, 1, 12, 0),
         At(2026, 3, 1),
         {"2026-03-22 12:00", "2026-04-26 12:00", "2026-05-24 12:00", "2026-06-28 12:00"}},
        // Days before 1970 have negative numbers: the period's first day is not skipped.
        {"daily before 1970",
         Daily(1, 1969, 12, 29, 9, 0),
         At(1969, 12, 29, 8, 0),
         {"1969-12-29 09:00", "1969-12-30 09:00", "1969-12-31 09:00", "1970-01-01 09:00"}},
    };
    for (const auto &c : cases) {
        HRESULT hr = E_FAIL;
        EXPECT_EQ(Runs({c.trigger}, c.from, 4, &hr), c.expected) << c.what;
        EXPECT_EQ(hr, S_OK) << c.what;
    }
}

TEST(RunTimes, OnceTriggerAndTheCountRules) {
    const TASK_TRIGGER once = Base(TASK_TIME_TRIGGER_ONCE, 2026, 12, 1, 10, 0);
    HRESULT hr = E_FAIL;
    EXPECT_EQ(Runs({once}, At(2026, 11, 1), 3, &hr), V{"2026-12-01 10:00"});
    EXPECT_EQ(hr, S_FALSE);  // fewer than asked
    EXPECT_EQ(Runs({once}, At(2026, 12, 1, 10, 0), 1, &hr), V{"2026-12-01 10:00"}) << "begin is inclusive";
    EXPECT_EQ(hr, S_OK);
    EXPECT_TRUE(Runs({once}, At(2026, 12, 1, 10, 1), 1, &hr).empty());
    EXPECT_EQ(hr, S_FALSE);

    for (std::size_t bad : {std::size_t{0}, std::size_t{TASK_MAX_RUN_TIMES + 1}}) {
        Runs({once}, At(2026, 1, 1), bad, &hr);
        EXPECT_EQ(hr, E_INVALIDARG) << bad;
    }
    EXPECT_EQ(Runs({Daily(1, 2026, 1, 1, 0, 0)}, At(2026, 1, 1), TASK_MAX_RUN_TIMES, &hr).size(),
              std::size_t{TASK_MAX_RUN_TIMES});
    EXPECT_EQ(hr, S_OK);
}

TEST(RunTimes, RepetitionCrossesMidnightAndStopsAtTheDuration) {
    TASK_TRIGGER t = Daily(1, 2026, 12, 1, 23, 30);
    t.MinutesInterval = 20;
    t.MinutesDuration = 60;  // 23:30, 23:50, 0:10; 0:30 is the duration's end
    EXPECT_EQ(Runs({t}, At(2026, 12, 1), 4),
              (V{"2026-12-01 23:30", "2026-12-01 23:50", "2026-12-02 00:10", "2026-12-02 23:30"}));
    // A repetition begun the day before is still found from midnight on.
    EXPECT_EQ(Runs({t}, At(2026, 12, 2), 3), (V{"2026-12-02 00:10", "2026-12-02 23:30", "2026-12-02 23:50"}));
    // Mid-repetition starts at the next step, not the next day.
    EXPECT_EQ(Runs({t}, At(2026, 12, 1, 23, 40), 1), V{"2026-12-01 23:50"});
}

TEST(RunTimes, BeginAndEndDatesBoundTheRuns) {
    TASK_TRIGGER t = Daily(1, 2026, 12, 1, 9, 0);
    t.rgFlags = TASK_TRIGGER_FLAG_HAS_END_DATE;
    t.wEndYear = 2026;
    t.wEndMonth = 12;
    t.wEndDay = 3;
    HRESULT hr = E_FAIL;
    EXPECT_EQ(Runs({t}, At(2026, 1, 1), 5, &hr), (V{"2026-12-01 09:00", "2026-12-02 09:00", "2026-12-03 09:00"}));
    EXPECT_EQ(hr, S_FALSE);
    // Without the flag the end date fields mean nothing.
    t.rgFlags = 0;
    EXPECT_EQ(Runs({t}, At(2026, 1, 1), 5, &hr).size(), 5u);
    // The query's own end is inclusive.
    const SYSTEMTIME end = At(2026, 12, 2, 9, 0);
    EXPECT_EQ(Runs({t}, At(2026, 1, 1), 5, &hr, &end), (V{"2026-12-01 09:00", "2026-12-02 09:00"}));
    EXPECT_EQ(hr, S_FALSE);
}

TEST(RunTimes, SeveralTriggersMergeInOrderEachTimeOnce) {
    TASK_TRIGGER off = Daily(1, 2026, 12, 1, 6, 0);
    off.rgFlags = TASK_TRIGGER_FLAG_DISABLED;
    const std::vector<TASK_TRIGGER> triggers = {Daily(1, 2026, 12, 1, 12, 0), Daily(1, 2026, 12, 1, 12, 0),
                                                Weekly(1, TASK_WEDNESDAY, 2026, 12, 1, 8, 0), off};
    EXPECT_EQ(Runs(triggers, At(2026, 12, 1), 4),
              (V{"2026-12-01 12:00", "2026-12-02 08:00", "2026-12-02 12:00", "2026-12-03 12:00"}));
    std::vector<SYSTEMTIME> out;
    ASSERT_EQ(svc::RunTimes(triggers, 0, At(2026, 12, 1), nullptr, 2, out), S_OK);
    EXPECT_EQ(out[1].wDayOfWeek, 3) << "12/2/2026 is a Wednesday";
}

TEST(RunTimes, CodesWhenThereIsNothingToComputeFrom) {
    const TASK_TRIGGER daily = Daily(1, 2026, 12, 1, 9, 0);
    TASK_TRIGGER off = daily;
    off.rgFlags = TASK_TRIGGER_FLAG_DISABLED;
    const TASK_TRIGGER idle = Base(TASK_EVENT_TRIGGER_ON_IDLE, 2026, 12, 1, 0, 0);
    const TASK_TRIGGER feb30 = MonthlyDate(1u << 29, TASK_FEBRUARY, 2026, 1, 1, 0, 0);
    TASK_TRIGGER endsFirst = daily;
    endsFirst.rgFlags = TASK_TRIGGER_FLAG_HAS_END_DATE;
    endsFirst.wEndYear = 2026, endsFirst.wEndMonth = 11, endsFirst.wEndDay = 30;
    struct Case {
        const char *what;
        std::vector<TASK_TRIGGER> triggers;
        DWORD flags;
        HRESULT expected;
    } cases[] = {
        {"disabled task", {daily}, TASK_FLAG_DISABLED, SCHED_S_TASK_DISABLED},
        {"no triggers", {}, 0, SCHED_S_TASK_NO_VALID_TRIGGERS},
        {"only disabled triggers", {off}, 0, SCHED_S_TASK_NO_VALID_TRIGGERS},
        {"a day no month has", {feb30}, 0, SCHED_S_TASK_NO_VALID_TRIGGERS},
        {"ends before it begins", {endsFirst}, 0, SCHED_S_TASK_NO_VALID_TRIGGERS},
        {"only event triggers", {idle}, 0, SCHED_S_EVENT_TRIGGER},
    };
    for (const auto &c : cases) {
        HRESULT hr = E_FAIL;
        EXPECT_TRUE(Runs(c.triggers, At(2026, 1, 1), 5, &hr, nullptr, c.flags).empty()) << c.what;
        EXPECT_EQ(hr, c.expected) << c.what;
        SYSTEMTIME next = At(1, 1, 1, 1, 1);
        EXPECT_EQ(svc::NextRunTime(c.triggers, c.flags, At(2026, 1, 1), next), c.expected) << c.what;
        EXPECT_EQ(next.wYear, 0) << c.what;
    }
}

TEST(NextRunTime, FirstAtOrAfterAndZeroWhenNoneLeft) {
    SYSTEMTIME next{};
    ASSERT_EQ(
        svc::NextRunTime({Weekly(1, TASK_MONDAY | TASK_FRIDAY, 2026, 12, 1, 9, 30)}, 0, At(2026, 12, 4, 9, 31), next),
        S_OK);
    EXPECT_EQ(Text(next), "2026-12-07 09:30");
    next = At(5, 5, 5);
    EXPECT_EQ(svc::NextRunTime({Base(TASK_TIME_TRIGGER_ONCE, 2026, 1, 1, 0, 0)}, 0, At(2026, 6, 1), next),
              SCHED_S_TASK_NO_VALID_TRIGGERS);
    EXPECT_EQ(next.wYear, 0);
}

TEST(ValidateTrigger, OneFieldWrongAtATime) {
    const TASK_TRIGGER good = Weekly(1, TASK_MONDAY, 2026, 12, 1, 9, 30);
    ASSERT_EQ(svc::ValidateTrigger(good), S_OK);
    struct Case {
        const char *what;
        void (*change)(TASK_TRIGGER &);
        HRESULT expected;
    } cases[] = {
        {"size 47", [](TASK_TRIGGER &t) { t.cbTriggerSize = 47; }, E_INVALIDARG},
        {"month 0", [](TASK_TRIGGER &t) { t.wBeginMonth = 0; }, E_INVALIDARG},
        {"month 13", [](TASK_TRIGGER &t) { t.wBeginMonth = 13; }, E_INVALIDARG},
        {"31 November", [](TASK_TRIGGER &t) { t.wBeginMonth = 11, t.wBeginDay = 31; }, E_INVALIDARG},
        {"30 November", [](TASK_TRIGGER &t) { t.wBeginMonth = 11, t.wBeginDay = 30; }, S_OK},
        {"29 February 2027", [](TASK_TRIGGER &t) { t.wBeginYear = 2027, t.wBeginMonth = 2, t.wBeginDay = 29; },
         E_INVALIDARG},
        {"29 February 2028", [](TASK_TRIGGER &t) { t.wBeginYear = 2028, t.wBeginMonth = 2, t.wBeginDay = 29; }, S_OK},
        {"hour 24", [](TASK_TRIGGER &t) { t.wStartHour = 24; }, E_INVALIDARG},
        {"hour 23", [](TASK_TRIGGER &t) { t.wStartHour = 23; }, S_OK},
        {"minute 60", [](TASK_TRIGGER &t) { t.wStartMinute = 60; }, E_INVALIDARG},
        // refused, as Windows does: a repetition must last longer than its interval
        {"interval = duration", [](TASK_TRIGGER &t) { t.MinutesInterval = 30, t.MinutesDuration = 30; }, E_INVALIDARG},
        {"interval > duration", [](TASK_TRIGGER &t) { t.MinutesInterval = 31, t.MinutesDuration = 30; }, E_INVALIDARG},
        {"interval without duration", [](TASK_TRIGGER &t) { t.MinutesInterval = 6; }, E_INVALIDARG},
        {"interval < duration", [](TASK_TRIGGER &t) { t.MinutesInterval = 29, t.MinutesDuration = 30; }, S_OK},
        // taken, as Windows does: the trigger then never starts
        {"end before begin",
         [](TASK_TRIGGER &t) {
             t.rgFlags = TASK_TRIGGER_FLAG_HAS_END_DATE, t.wEndYear = 2026, t.wEndMonth = 11, t.wEndDay = 30;
         },
         S_OK},
        {"end date no real date",
         [](TASK_TRIGGER &t) {
             t.rgFlags = TASK_TRIGGER_FLAG_HAS_END_DATE, t.wEndYear = 2026, t.wEndMonth = 13, t.wEndDay = 1;
         },
         E_INVALIDARG},
        {"end on begin",
         [](TASK_TRIGGER &t) {
             t.rgFlags = TASK_TRIGGER_FLAG_HAS_END_DATE, t.wEndYear = 2026, t.wEndMonth = 12, t.wEndDay = 1;
         },
         S_OK},
        {"garbage end date without the flag", [](TASK_TRIGGER &t) { t.wEndMonth = 77; }, S_OK},
        {"no weekday", [](TASK_TRIGGER &t) { t.Type.Weekly.rgfDaysOfTheWeek = 0; }, E_INVALIDARG},
        {"weekday bit 7", [](TASK_TRIGGER &t) { t.Type.Weekly.rgfDaysOfTheWeek = 0x80; }, E_INVALIDARG},
        {"every 0 weeks", [](TASK_TRIGGER &t) { t.Type.Weekly.WeeksInterval = 0; }, E_INVALIDARG},
        {"unknown type",
         [](TASK_TRIGGER &t) {
             const DWORD raw = 8;
             std::memcpy(&t.TriggerType, &raw, sizeof raw);
         },
         E_INVALIDARG},
        {"unknown flag", [](TASK_TRIGGER &t) { t.rgFlags = 8; }, E_INVALIDARG},
        // Another type's fields are not looked at: weekly words read as a daily interval of 1.
        {"as daily", [](TASK_TRIGGER &t) { t.TriggerType = TASK_TIME_TRIGGER_DAILY; }, S_OK},
        {"as logon", [](TASK_TRIGGER &t) { t.TriggerType = TASK_EVENT_TRIGGER_AT_LOGON, t.Type.Weekly = {}; }, S_OK},
    };
    for (const auto &c : cases) {
        TASK_TRIGGER t = good;
        c.change(t);
        EXPECT_EQ(svc::ValidateTrigger(t), c.expected) << c.what;
    }
    TASK_TRIGGER dow = MonthlyDow(5, TASK_SUNDAY, kAllMonths, 2026, 1, 1, 0, 0);
    EXPECT_EQ(svc::ValidateTrigger(dow), S_OK);
    dow.Type.MonthlyDOW.wWhichWeek = 6;
    EXPECT_EQ(svc::ValidateTrigger(dow), E_INVALIDARG);
    dow.Type.MonthlyDOW.wWhichWeek = 0;
    EXPECT_EQ(svc::ValidateTrigger(dow), E_INVALIDARG);
    TASK_TRIGGER date = MonthlyDate(0, kAllMonths, 2026, 1, 1, 0, 0);
    EXPECT_EQ(svc::ValidateTrigger(date), E_INVALIDARG);
    date.Type.MonthlyDate.rgfDays = 1;
    date.Type.MonthlyDate.rgfMonths = 0x1000;
    EXPECT_EQ(svc::ValidateTrigger(date), E_INVALIDARG);
}

TEST(DefaultTrigger, DailyTodayNowDisabled) {
    SYSTEMTIME now = At(2026, 12, 6, 19, 45);
    now.wSecond = 12;
    const TASK_TRIGGER t = svc::DefaultTrigger(now);
    EXPECT_EQ(t.cbTriggerSize, sizeof(TASK_TRIGGER));
    EXPECT_EQ(t.TriggerType, TASK_TIME_TRIGGER_DAILY);
    EXPECT_EQ(t.Type.Daily.DaysInterval, 1);
    EXPECT_EQ(t.rgFlags, DWORD{TASK_TRIGGER_FLAG_DISABLED});
    EXPECT_EQ((std::vector<int>{t.wBeginYear, t.wBeginMonth, t.wBeginDay, t.wStartHour, t.wStartMinute}),
              (std::vector<int>{2026, 12, 6, 19, 45}));
    EXPECT_EQ(svc::ValidateTrigger(t), S_OK);
}

std::string Narrow(const std::u16string &s) { return std::string(s.begin(), s.end()); }

TEST(TriggerText, EachForm) {
    TASK_TRIGGER rep = Daily(1, 2026, 12, 1, 0, 5);
    rep.MinutesInterval = 15;
    rep.MinutesDuration = 120;
    TASK_TRIGGER ending = Daily(3, 2026, 12, 1, 12, 0);
    ending.rgFlags = TASK_TRIGGER_FLAG_HAS_END_DATE | TASK_TRIGGER_FLAG_DISABLED;
    ending.wEndYear = 2026, ending.wEndMonth = 12, ending.wEndDay = 31;
    struct Case {
        TASK_TRIGGER trigger;
        const char *expected;
    } cases[] = {
        {Weekly(1, TASK_MONDAY | TASK_FRIDAY, 2026, 12, 1, 9, 30),
         "At 9:30 AM every Mon, Fri of every week, starting 12/1/2026"},
        {Weekly(2, TASK_SATURDAY, 2026, 12, 1, 21, 0), "At 9:00 PM every Sat of every 2 weeks, starting 12/1/2026"},
        {Base(TASK_TIME_TRIGGER_ONCE, 2027, 2, 3, 12, 0), "At 12:00 PM on 2/3/2027"},
        {rep, "At 12:05 AM every day, starting 12/1/2026, repeating every 15 minutes for 120 minutes"},
        {ending, "At 12:00 PM every 3 days, starting 12/1/2026, ending 12/31/2026 (disabled)"},
        {MonthlyDate(1u | 1u << 14, kAllMonths, 2026, 12, 1, 8, 0),
         "At 8:00 AM on day 1, 15 of every month, starting 12/1/2026"},
        {MonthlyDate(1u << 30, TASK_JANUARY | TASK_JULY, 2026, 12, 1, 8, 0),
         "At 8:00 AM on day 31 of Jan, Jul, starting 12/1/2026"},
        {MonthlyDow(TASK_LAST_WEEK, TASK_SUNDAY, kAllMonths, 2026, 12, 1, 8, 0),
         "At 8:00 AM on the last Sun of every month, starting 12/1/2026"},
        {MonthlyDow(1, TASK_MONDAY | TASK_FRIDAY, TASK_JANUARY | TASK_JULY, 2026, 12, 1, 8, 0),
         "At 8:00 AM on the first Mon, Fri of Jan, Jul, starting 12/1/2026"},
        {Base(TASK_EVENT_TRIGGER_ON_IDLE, 2026, 12, 1, 8, 0), "Run when idle"},
        {Base(TASK_EVENT_TRIGGER_AT_SYSTEMSTART, 2026, 12, 1, 8, 0), "At system startup"},
        {Base(TASK_EVENT_TRIGGER_AT_LOGON, 2026, 12, 1, 8, 0), "At logon"},
    };
    for (const auto &c : cases) EXPECT_EQ(Narrow(svc::TriggerText(c.trigger)), c.expected);
}

TEST(ItemStatus, FromFlagsTriggersAndHistory) {
    const SYSTEMTIME now = At(2026, 12, 6, 12, 0);
    auto job = [](std::vector<TASK_TRIGGER> triggers, bool ran, DWORD flags = 0) {
        svc::JobData j;
        j.triggers = std::move(triggers);
        j.flags = flags;
        if (ran) j.mostRecentRun = At(2026, 12, 1, 9, 0);
        return j;
    };
    const TASK_TRIGGER ahead = Daily(1, 2026, 12, 1, 9, 0);
    const TASK_TRIGGER past = Base(TASK_TIME_TRIGGER_ONCE, 2026, 12, 1, 9, 0);
    TASK_TRIGGER off = ahead;
    off.rgFlags = TASK_TRIGGER_FLAG_DISABLED;
    const TASK_TRIGGER logon = Base(TASK_EVENT_TRIGGER_AT_LOGON, 2026, 12, 1, 0, 0);
    struct Case {
        const char *what;
        svc::JobData j;
        HRESULT expected;
    } cases[] = {
        {"never ran, run ahead", job({ahead}, false), SCHED_S_TASK_HAS_NOT_RUN},
        {"ran, run ahead", job({ahead}, true), SCHED_S_TASK_READY},
        {"ran, nothing ahead", job({past}, true), SCHED_S_TASK_NO_MORE_RUNS},
        {"never ran, nothing ahead", job({past}, false), SCHED_S_TASK_NO_VALID_TRIGGERS},
        {"no triggers", job({}, false), SCHED_S_TASK_NOT_SCHEDULED},
        {"only a disabled trigger", job({off}, true), SCHED_S_TASK_NOT_SCHEDULED},
        {"disabled task", job({ahead}, true, TASK_FLAG_DISABLED), SCHED_S_TASK_DISABLED},
        {"event trigger only", job({logon}, false), SCHED_S_TASK_HAS_NOT_RUN},
    };
    for (const auto &c : cases) EXPECT_EQ(svc::ItemStatus(c.j, now), c.expected) << c.what;

    svc::JobData running = job({ahead}, true, TASK_FLAG_DISABLED);
    running.status = SCHED_S_TASK_RUNNING;
    running.runningInstances = 1;
    EXPECT_EQ(svc::ItemStatus(running, now), SCHED_S_TASK_RUNNING);
    running.runningInstances = 0;  // a stale status from a daemon that died
    EXPECT_EQ(svc::ItemStatus(running, now), SCHED_S_TASK_DISABLED);
}

}  // namespace

namespace {

// Sets TZ for one test, restoring the old zone afterwards.
class ZoneScope {
public:
    explicit ZoneScope(const char *zone) {
        const char *old = std::getenv("TZ");
        had_ = old != nullptr;
        if (old) old_ = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ZoneScope() {
        if (had_)
            setenv("TZ", old_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    bool had_ = false;
    std::string old_;
};

// The daemon's successive run instants from `from` (UTC "YYYY-MM-DD HH:MM"),
// `count` of them, each as UTC text and the local run time it stands for.
std::vector<std::string> Instants(const std::vector<TASK_TRIGGER> &triggers, const char *fromUtc, int count) {
    tm parts{};
    strptime(fromUtc, "%Y-%m-%d %H:%M", &parts);
    time_t after = timegm(&parts);
    std::vector<std::string> out;
    for (int i = 0; i < count; ++i) {
        time_t at = 0;
        SYSTEMTIME wall{};
        if (!svc::NextRunInstant(triggers, 0, after, &at, &wall)) break;
        tm utc{};
        gmtime_r(&at, &utc);
        char text[64];
        strftime(text, sizeof text, "%Y-%m-%d %H:%MZ", &utc);
        out.push_back(std::string(text) + " for " + Text(wall));
        after = at + 1;
    }
    return out;
}

}  // namespace

// Berlin goes from +01:00 to +02:00 at 02:00 on 2027-03-28 (02:00-02:59 do
// not exist) and back at 03:00 on 2027-10-31 (02:00-02:59 happen twice).
TEST(NextRunInstant, ClockChangesNeitherLoseNorDoubleARun) {
    ZoneScope berlin("Europe/Berlin");
    TASK_TRIGGER daily = Daily(1, 2027, 3, 1, 2, 30);
    TASK_TRIGGER every30 = Daily(1, 2027, 3, 1, 1, 30);
    every30.MinutesInterval = 30;
    every30.MinutesDuration = 120;  // 01:30, 02:00, 02:30, 03:00 local (03:30 ends it)
    struct Row {
        const char *what;
        TASK_TRIGGER trigger;
        const char *fromUtc;
        V expected;
    };
    const Row rows[] = {
        {"a skipped time runs once, when the gap ends",
         daily,
         "2027-03-27 00:00",
         {"2027-03-27 01:30Z for 2027-03-27 02:30", "2027-03-28 01:00Z for 2027-03-28 02:30",
          "2027-03-29 00:30Z for 2027-03-29 02:30"}},
        {"a repeated time runs once, at its first occurrence",
         daily,
         "2027-10-30 00:00",
         {"2027-10-30 00:30Z for 2027-10-30 02:30", "2027-10-31 00:30Z for 2027-10-31 02:30",
          "2027-11-01 01:30Z for 2027-11-01 02:30"}},
        // 02:00 and 02:30 do not exist; with 03:00 they are one instant, one run.
        {"a repetition over the gap follows the wall clock",
         every30,
         "2027-03-28 00:00",
         {"2027-03-28 00:30Z for 2027-03-28 01:30", "2027-03-28 01:00Z for 2027-03-28 02:00",
          "2027-03-28 23:30Z for 2027-03-29 01:30"}},
        {"a repetition over the repeated hour runs each wall-clock time once",
         every30,
         "2027-10-30 23:00",
         {"2027-10-30 23:30Z for 2027-10-31 01:30", "2027-10-31 00:00Z for 2027-10-31 02:00",
          "2027-10-31 00:30Z for 2027-10-31 02:30", "2027-10-31 02:00Z for 2027-10-31 03:00",
          "2027-11-01 00:30Z for 2027-11-01 01:30"}},
    };
    for (const Row &row : rows)
        EXPECT_EQ(Instants({row.trigger}, row.fromUtc, int(row.expected.size())), row.expected) << row.what;
}
