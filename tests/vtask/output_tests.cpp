#include <gtest/gtest.h>

#include <sstream>

#include "tools/vtask/output.h"

using namespace vtask;

namespace {

constexpr double kMonday = 46363.0;  // 2026-12-07

TriggerInfo Weekly() {
    TriggerInfo t;
    t.index = 1;
    t.type = 2;
    t.description = "At 9:30 AM every Mon, Fri of every 2 weeks, starting 12/7/2026";
    t.startTime = 9.5 / 24;
    t.beginDate = kMonday;
    t.endDate = kMonday + 30;
    t.flags = 0x1 | 0x4;
    t.weeksInterval = 2;
    t.daysOfTheWeek = 0x22;
    t.minutesInterval = 10;
    t.minutesDuration = 60;
    return t;
}

}  // namespace

TEST(Json, QuotesControlCharactersAndKeepsUtf8) {
    EXPECT_EQ(JsonQuote("a\"b\\c\n\x01\xC3\xBC"), "\"a\\\"b\\\\c\\n\\u0001\xC3\xBC\"");
}

TEST(Json, WritesNestedValuesInOrder) {
    Json o = Json::MakeObject();
    o.Add("z", 1);
    o.Add("a", Json());
    Json &list = o.Add("list", Json::MakeArray());
    list.Add("x");
    list.Add(false);
    o.Add("empty", Json::MakeArray());
    std::ostringstream out;
    o.Write(out);
    EXPECT_EQ(out.str(),
              "{\n  \"z\": 1,\n  \"a\": null,\n  \"list\": [\n    \"x\",\n    false\n  ],\n  \"empty\": []\n}");
}

TEST(TaskList, TableColumnsLineUpOverWideCharacters) {
    std::ostringstream out;
    PrintTaskList(out,
                  {{"B\xC3\xBC"
                    "ro",
                    0x41305, 0, "/bin/true"},
                   {"Weekly Report", 0x41300, kMonday + 0.5, "x"}},
                  false);
    EXPECT_EQ(out.str(),
              "NAME           STATUS         NEXT RUN          APPLICATION\n"
              "B\xC3\xBC"
              "ro           not scheduled  -                 /bin/true\n"
              "Weekly Report  ready          2026-12-07 12:00  x\n");
}

TEST(TaskList, JsonHasNullForNoNextRun) {
    std::ostringstream out;
    PrintTaskList(out, {{"Plain", 0x41305, 0, "a\\b"}}, true);
    EXPECT_EQ(out.str(),
              "[\n  {\n    \"name\": \"Plain\",\n    \"status\": \"not scheduled\",\n    \"statusCode\": 267013,\n"
              "    \"nextRun\": null,\n    \"application\": \"a\\\\b\"\n  }\n]\n");
}

TEST(Values, MaxRunTimeAndDates) {
    EXPECT_EQ(MaxRunTimeText(259200000), "72:00:00");
    EXPECT_EQ(MaxRunTimeText(-1), "none");
    EXPECT_EQ(MaxRunTimeText(90061001), "25:01:01.001");
    // Values above 2^31 arrive as negative Longs and still read as durations.
    EXPECT_EQ(MaxRunTimeText(-2), "1193:02:47.294");
    EXPECT_EQ(OptionalDateText(0), "-");
    EXPECT_EQ(OptionalDateText(kMonday + 0.25), "2026-12-07 06:00");
}

TEST(Values, ScheduleTextReadsOnlyTheFieldsOfItsType) {
    TriggerInfo t = Weekly();
    EXPECT_EQ(TriggerScheduleText(t),
              "every 2 weeks on mon,fri at 09:30, from 2026-12-07 until 2027-01-06, every 10 minutes for 60 minutes");
    t.type = 4;  // the same words read as monthly by weekday
    t.whichWeeks = 5;
    t.monthsOfTheYear = 0x41;
    t.flags = 0;
    t.minutesInterval = 0;
    EXPECT_EQ(TriggerScheduleText(t), "on the last mon,fri of jan,jul months at 09:30, from 2026-12-07");
    t.type = 3;
    t.daysOfTheMonth = 1 | (1 << 14);
    t.monthsOfTheYear = 0xFFF;
    EXPECT_EQ(TriggerScheduleText(t), "on day 1,15 of all months at 09:30, from 2026-12-07");
    t.type = 0;
    EXPECT_EQ(TriggerScheduleText(t), "once on 2026-12-07 at 09:30");
    t.type = 1;
    t.daysInterval = 1;
    EXPECT_EQ(TriggerScheduleText(t), "every 1 day at 09:30, from 2026-12-07");
    t.type = 6;
    EXPECT_EQ(TriggerScheduleText(t), "at-system-start");
}

TEST(TaskDetails, TextShowsTriggersByIndexAndTheNextRuns) {
    TaskInfo t;
    t.name = "Weekly Report";
    t.application = "/usr/bin/report";
    t.priority = 0x20;
    t.maxRunTime = 259200000;
    t.flags = 0x4;
    t.idleWait = 10;
    t.idleDeadline = 60;
    t.status = 0x41302;
    t.triggers.push_back(Weekly());
    TriggerInfo broken = Weekly();
    broken.index = 2;
    broken.description = "Not implemented";
    broken.descriptionFailed = true;
    t.triggers.push_back(broken);
    t.nextRuns = {kMonday + 9.5 / 24, kMonday + 4 + 9.5 / 24};
    std::ostringstream out;
    PrintTask(out, t, false);
    const std::string text = out.str();
    EXPECT_NE(text.find("Name:               Weekly Report\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Account:            (none set)\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Flags:              disabled\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Status:             disabled\n"), std::string::npos) << text;
    EXPECT_NE(text.find("  [1] At 9:30 AM every Mon, Fri of every 2 weeks, starting 12/7/2026\n"), std::string::npos);
    EXPECT_NE(text.find("; flags disabled\n"), std::string::npos) << text;
    EXPECT_NE(text.find("  [2] (no description: Not implemented)\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Next runs:\n  2026-12-07 09:30\n  2026-12-11 09:30\n"), std::string::npos) << text;
}

TEST(TaskDetails, JsonGivesNullsForWhatIsNotThere) {
    TaskInfo t;
    t.name = "N";
    t.account = "";
    TriggerInfo g = Weekly();
    g.flags = 0;
    g.descriptionFailed = true;
    t.triggers.push_back(g);
    std::ostringstream out;
    PrintTask(out, t, true);
    const std::string json = out.str();
    EXPECT_NE(json.find("\"account\": \"\","), std::string::npos) << json;
    EXPECT_NE(json.find("\"mostRecentRun\": null,"), std::string::npos) << json;
    EXPECT_NE(json.find("\"description\": null,"), std::string::npos) << json;
    EXPECT_NE(json.find("\"end\": null,"), std::string::npos) << json;
    EXPECT_NE(json.find("\"nextRuns\": []"), std::string::npos) << json;
}

TEST(RunTimesOutput, EventTriggersAndTheCap) {
    std::ostringstream events, capped, json;
    PrintRunTimes(events, {{}, true, false}, false);
    EXPECT_EQ(events.str(), "(event triggers only: no run times)\n");
    PrintRunTimes(capped, {{kMonday, kMonday + 1}, false, true}, false);
    EXPECT_EQ(capped.str(), "2026-12-07 00:00\n2026-12-08 00:00\n(the first 2 run times of the period)\n");
    PrintRunTimes(json, {{kMonday}, false, false}, true);
    EXPECT_EQ(json.str(), "[\n  \"2026-12-07 00:00\"\n]\n");
}
