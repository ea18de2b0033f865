// What vtask reads and prints where the command line cannot reach it alone:
// the words for bits and codes (unknown ones included), dates before the epoch
// and out of range, the clock changes, UTF-16 that is not well formed, the run
// times of event triggers and the cap. Each row: what a call gave, and what it must.
#include <gtest/gtest.h>

#include <sstream>

#include "tools/vtask/dates.h"
#include "tools/vtask/output.h"
#include "tools/vtask/text.h"
#include "tools/vtask/words.h"

using namespace vtask;

namespace {

constexpr double kMonday = 46363.0;  // 2026-12-07
using Rows = std::vector<std::pair<std::string, std::string>>;

void Check(const Rows &rows) {
    for (std::size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(rows[i].first, rows[i].second) << "row " << i;
}
std::string N(double v) { return std::to_string(v); }

std::string JsonText(const Json &j) {
    std::ostringstream out;
    j.Write(out);
    return out.str();
}

std::string RunTimesText(const RunTimes &r, bool json) {
    std::ostringstream out;
    PrintRunTimes(out, r, json);
    return out.str();
}

}  // namespace

TEST(Units, WordsNumbersDatesAndRunTimes) {
    const double now = kMonday + 13.25 / 24;
    TriggerInfo boot;
    boot.type = 6;
    Check({{N(ParseDays("Sunday, SAT")), N(0x41)},
           {DaysText(0x7F), "mon,tue,wed,thu,fri,sat,sun"},
           {DaysText(0), "none"},
           {N(ParseMonths("December")), N(0x800)},
           {N(ParseMonths("all")), N(0xFFF)},
           {MonthsText(0xFFF), "all"},
           {MonthsText(0x41), "jan,jul"},
           {N(ParseDaysOfMonth("1-3,31")), N(0x7u | 1u << 30)},
           {DaysOfMonthText(0x80004001u), "1,15,0x80000000"},
           {N(ParseWhichWeek("Last")), "5.000000"},
           {WhichWeekText(4), "fourth"},
           {WhichWeekText(9), "9"},
           {N(ParsePriority("REALTIME")), N(0x100)},
           {PriorityText(0x40), "idle"},
           {PriorityText(0x8000), "0x00008000"},
           {N(ParseTaskFlags("+hidden,-interactive", 0x2001)), N(0x2200)},
           {N(ParseTaskFlags("none", 7)), "0.000000"},
           {N(ParseTaskFlags(TaskFlagsText(0x2E77), 0)), N(0x2E77)},
           {TaskFlagsText(0x4001), "interactive,0x00004000"},
           {TriggerTypeText(7), "at-logon"},
           {TriggerTypeText(8), "type 8"},
           {TriggerFlagsText(0x5), "has-end-date,disabled"},
           {StatusText(0x41308), "event trigger"},
           {StatusText(0x41309), "0x00041309"},
           {MaxRunTimeText(90061001), "25:01:01.001"},
           {JsonQuote("a\"b\\c\n\x01\xC3\xBC"), "\"a\\\"b\\\\c\\n\\u0001\xC3\xBC\""},
           {Utf8FromUtf16(Utf16FromUtf8("\xE2\x82\xAC \xF0\x9F\x93\x85")), "\xE2\x82\xAC \xF0\x9F\x93\x85"},
           {N(Utf16FromUtf8("\xF0\x9F\x93\x85")[1]), N(0xDCC5)},
           {Utf8FromUtf16(std::u16string{u'a', 0xD800, u'b', 0xDC00}),
            "a\xEF\xBF\xBD"
            "b\xEF\xBF\xBD"},
           {N(DateFromCivil({1900, 1, 1, 0, 0})), "2.000000"},
           {N(DateFromCivil({1899, 12, 29, 6, 0})), "-1.250000"},
           {N(DateFromCivil({2000, 3, 1, 0, 0}) - DateFromCivil({2000, 2, 28, 0, 0})), "2.000000"},
           {FormatDateTime(kMonday + 9.5 / 24 - 1e-9), "2026-12-07 09:30"},
           {FormatDateTime(kMonday + 86399.9 / 86400), "2026-12-08 00:00"},
           {FormatDateTime(-1.25), "1899-12-29 06:00"},
           {FormatDateTime(1e12), "(invalid date)"},
           {FormatDay(kMonday + 0.75), "2026-12-07"},
           {FormatTimeOfDay(14.0 / 24 + 35.0 / 1440 + 50.0 / 86400), "14:35"},
           {N(ParseDateTime("2026-12-07 09:30", now, "--from")), N(kMonday + 9.5 / 24)},
           {N(ParseDateTime("now", now, "--from")), N(now)},
           {N(ParseDateTime("Today", now, "--from")), N(kMonday)},
           {N(ParseDateTime("2024-02-29", now, "--from")), N(45351)},
           {N(ParseTimeOfDay("9:05", "--at")), "545.000000"},
           {N(CivilFromDate(-700000).has_value()), "0.000000"},
           {TriggerScheduleText(boot), "at-system-start"},
           {JsonText(Json(false)), "false"},
           {RunTimesText({{}, true, false}, false), "(event triggers only: no run times)\n"},
           {RunTimesText({{kMonday, kMonday + 1}, false, true}, false),
            "2026-12-07 00:00\n2026-12-08 00:00\n(the first 2 run times of the period)\n"}});
    for (double d = -36522; d < 2958465; d += 997.25) EXPECT_DOUBLE_EQ(DateFromCivil(*CivilFromDate(d)), d) << d;
}

#ifndef _WIN32
#include "common/scoped_env.h"

// In Berlin 02:00-02:59 do not exist on 2027-03-28 and happen twice on 2027-10-31.
TEST(Units, RunTimesTheClockChangesMoveAreMarked) {
    const test_env::Scoped berlin("TZ", "Europe/Berlin");
    Check({{ClockChangeNote(DateFromCivil({2027, 3, 28, 2, 30})), "02:30 does not exist: runs at 03:00"},
           {ClockChangeNote(DateFromCivil({2027, 10, 31, 2, 30})), "02:30 happens twice: runs at the first"},
           {ClockChangeNote(DateFromCivil({2027, 3, 28, 3, 0})), ""},
           {ClockChangeNote(DateFromCivil({2027, 6, 1, 2, 30})), ""},
           {RunTimesText({{DateFromCivil({2027, 3, 28, 2, 0})}, false, false}, false),
            "2027-03-28 02:00  (02:00 does not exist: runs at 03:00)\n"}});
}
#endif
