#include <gtest/gtest.h>

#include "tools/vtask/text.h"
#include "tools/vtask/words.h"

using namespace vtask;

TEST(Words, DaysTakeShortAndFullNamesInAnyCase) {
    EXPECT_EQ(ParseDays("mon,fri"), 0x22u);
    EXPECT_EQ(ParseDays("Sunday, SAT"), 0x41u);
    EXPECT_EQ(ParseDays("mon,mon"), 0x2u);
    EXPECT_THROW(ParseDays("mon,funday"), UsageError);
    EXPECT_EQ(DaysText(0x7F), "mon,tue,wed,thu,fri,sat,sun");
    EXPECT_EQ(DaysText(0), "none");
    EXPECT_EQ(ParseDays(DaysText(0x5A)), 0x5Au);
}

TEST(Words, MonthsAndDaysOfTheMonth) {
    EXPECT_EQ(ParseMonths("jan,jul"), 0x41u);
    EXPECT_EQ(ParseMonths("all"), 0xFFFu);
    EXPECT_EQ(ParseMonths("December"), 0x800u);
    EXPECT_THROW(ParseMonths("jan,foo"), UsageError);
    EXPECT_EQ(MonthsText(0xFFF), "all");
    EXPECT_EQ(MonthsText(0x41), "jan,jul");
    EXPECT_EQ(ParseDaysOfMonth("1,15"), (1u << 0) | (1u << 14));
    EXPECT_EQ(ParseDaysOfMonth("1-3,31"), 0x7u | (1u << 30));
    for (const char *bad : {"0", "32", "5-3", "1-", "x"}) EXPECT_THROW(ParseDaysOfMonth(bad), UsageError) << bad;
    EXPECT_EQ(DaysOfMonthText((1u << 0) | (1u << 14) | (1u << 30)), "1,15,31");
    // Bit 31 is no day; it shows as itself rather than vanishing.
    EXPECT_EQ(DaysOfMonthText(0x80000001u), "1,0x80000000");
}

TEST(Words, WeeksAndPriorities) {
    EXPECT_EQ(ParseWhichWeek("first"), 1);
    EXPECT_EQ(ParseWhichWeek("Last"), 5);
    EXPECT_THROW(ParseWhichWeek("fifth"), UsageError);
    EXPECT_EQ(WhichWeekText(4), "fourth");
    EXPECT_EQ(WhichWeekText(9), "9");
    EXPECT_EQ(ParsePriority("high"), 0x80);
    EXPECT_EQ(ParsePriority("REALTIME"), 0x100);
    EXPECT_THROW(ParsePriority("urgent"), UsageError);
    EXPECT_EQ(PriorityText(0x40), "idle");
    EXPECT_EQ(PriorityText(0x8000), "0x00008000");
}

TEST(Words, TaskFlagsAreNamedOrChanged) {
    EXPECT_EQ(ParseTaskFlags("disabled,hidden", 0x2001), 0x204);
    EXPECT_EQ(ParseTaskFlags("none", 0x2001), 0);
    EXPECT_EQ(ParseTaskFlags("+hidden,-interactive", 0x2001), 0x2200);
    EXPECT_THROW(ParseTaskFlags("hidden,-disabled", 0), UsageError);
    EXPECT_THROW(ParseTaskFlags("invisible", 0), UsageError);
    EXPECT_EQ(TaskFlagsText(0x204), "disabled,hidden");
    EXPECT_EQ(TaskFlagsText(0x4000 | 0x1), "interactive,0x00004000");
    EXPECT_EQ(ParseTaskFlags(TaskFlagsText(0x2E77), 0), 0x2E77);
}

TEST(Words, TriggerWordsAndStatuses) {
    EXPECT_EQ(TriggerTypeText(4), "monthly-dow");
    EXPECT_EQ(TriggerTypeText(7), "at-logon");
    EXPECT_EQ(TriggerTypeText(8), "type 8");
    EXPECT_EQ(TriggerFlagsText(0x5), "has-end-date,disabled");
    EXPECT_EQ(StatusText(0x41300), "ready");
    EXPECT_EQ(StatusText(0x41305), "not scheduled");
    EXPECT_EQ(StatusText(0x41308), "event trigger");
    EXPECT_EQ(StatusText(0x41309), "0x00041309");
}
