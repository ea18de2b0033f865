#include <gtest/gtest.h>
#include <time.h>

#include <cstdlib>
#include <string>

#include "tools/vtask/dates.h"
#include "tools/vtask/text.h"

using namespace vtask;

TEST(Dates, CountDaysFromTheAutomationEpoch) {
    EXPECT_EQ(DateFromCivil({1899, 12, 30, 0, 0}), 0.0);
    EXPECT_EQ(DateFromCivil({1900, 1, 1, 0, 0}), 2.0);
    EXPECT_EQ(DateFromCivil({2026, 12, 7, 0, 0}), 46363.0);
    EXPECT_DOUBLE_EQ(DateFromCivil({2026, 12, 7, 9, 30}), 46363.0 + 9.5 / 24);
    // Before the epoch the day counts down and the time of day still adds up.
    EXPECT_DOUBLE_EQ(DateFromCivil({1899, 12, 29, 6, 0}), -1.25);
    EXPECT_EQ(DateFromCivil({2000, 3, 1, 0, 0}) - DateFromCivil({2000, 2, 28, 0, 0}), 2.0);
}

TEST(Dates, FormatToTheMinuteRoundingToTheSecond) {
    EXPECT_EQ(FormatDateTime(46363.0 + 9.5 / 24), "2026-12-07 09:30");
    // A hair under 9:30, as a conversion may leave it, still prints 9:30.
    EXPECT_EQ(FormatDateTime(46363.0 + 9.5 / 24 - 1e-9), "2026-12-07 09:30");
    EXPECT_EQ(FormatDateTime(46363.0 + 86399.9 / 86400), "2026-12-08 00:00");
    EXPECT_EQ(FormatDateTime(-1.25), "1899-12-29 06:00");
    EXPECT_EQ(FormatDay(46363.75), "2026-12-07");
    EXPECT_EQ(FormatTimeOfDay(14.0 / 24 + 35.0 / 1440 + 50.0 / 86400), "14:35");
    EXPECT_EQ(FormatDateTime(1e12), "(invalid date)");
}

TEST(Dates, ParseTheCommandLineForms) {
    const double now = 46363.0 + 13.25 / 24;
    EXPECT_EQ(ParseDateTime("2026-12-07", now, "--from"), 46363.0);
    EXPECT_DOUBLE_EQ(ParseDateTime("2026-12-07T09:30", now, "--from"), 46363.0 + 9.5 / 24);
    EXPECT_DOUBLE_EQ(ParseDateTime("2026-12-07 09:30", now, "--from"), 46363.0 + 9.5 / 24);
    EXPECT_EQ(ParseDateTime("now", now, "--from"), now);
    EXPECT_EQ(ParseDateTime("Today", now, "--from"), 46363.0);
    EXPECT_EQ(ParseDateTime("2024-02-29", now, "--from"), DateFromCivil({2024, 2, 29, 0, 0}));
    for (const char *bad : {"2026-02-29", "2026-13-01", "2026-12-00", "2026-12-07T24:00", "2026-12-07T09:60",
                            "2026-12-7", "07.12.2026", "2026-12-07T0930", "0099-01-01", "yesterday"})
        EXPECT_THROW(ParseDateTime(bad, now, "--from"), UsageError) << bad;
}

TEST(Dates, ParseTimesOfDay) {
    EXPECT_EQ(ParseTimeOfDay("09:30", "--at"), 570);
    EXPECT_EQ(ParseTimeOfDay("9:05", "--at"), 545);
    EXPECT_EQ(ParseTimeOfDay("23:59", "--at"), 1439);
    for (const char *bad : {"24:00", "12:60", "930", "9:5", "-1:00", "12:00:00", ""})
        EXPECT_THROW(ParseTimeOfDay(bad, "--at"), UsageError) << bad;
}

TEST(Dates, CivilPartsRoundTripOverFourCenturies) {
    for (double d = -36522; d < 2958465; d += 997.25) {
        const auto c = CivilFromDate(d);
        ASSERT_TRUE(c) << d;
        EXPECT_DOUBLE_EQ(DateFromCivil(*c), d) << d;
    }
    EXPECT_FALSE(CivilFromDate(-700000));
}

#ifndef _WIN32
// In Berlin 02:00-02:59 do not exist on 2027-03-28 and happen twice on 2027-10-31.
TEST(Dates, RunTimesTheClockChangesMoveAreMarked) {
    const char *old = std::getenv("TZ");
    const std::string saved = old ? old : "";
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    struct Row {
        CivilTime at;
        const char *note;
    };
    const Row rows[] = {
        {{2027, 3, 28, 2, 30}, "02:30 does not exist: runs at 03:00"},
        {{2027, 3, 28, 2, 0}, "02:00 does not exist: runs at 03:00"},
        {{2027, 10, 31, 2, 30}, "02:30 happens twice: runs at the first"},
        {{2027, 3, 28, 3, 0}, ""},
        {{2027, 10, 31, 3, 0}, ""},
        {{2027, 6, 1, 2, 30}, ""},
    };
    for (const Row &row : rows)
        EXPECT_EQ(ClockChangeNote(DateFromCivil(row.at)), row.note) << FormatDateTime(DateFromCivil(row.at));
    if (old)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}
#endif
