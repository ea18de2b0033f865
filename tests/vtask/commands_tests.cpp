// The checks that vtask makes before it calls the component: a wrong command
// line is refused with exit code 2 and reaches no object.
#include <gtest/gtest.h>

#include <sstream>

#include "tools/vtask/commands.h"
#include "tools/vtask/dates.h"
#include "tools/vtask/text.h"

using namespace vtask;

namespace {

constexpr double kNow = 46363.0 + 13.25 / 24;  // 2026-12-07 13:15

ParsedArgs Args(std::vector<std::string> words) {
    // The same option set as `trigger add` and `add` together, for the parsers.
    return ParseArgs(
        words,
        {{"once", false}, {"daily"}, {"weekly"},  {"monthly-date"}, {"monthly-dow"}, {"days"},         {"months"},
         {"at"},          {"from"},  {"until"},   {"every"},        {"for"},         {"to"},           {"app"},
         {"params"},      {"dir"},   {"comment"}, {"creator"},      {"priority"},    {"max-run-time"}, {"flags"}});
}

struct Outcome {
    int code;
    std::string out, err;
};

Outcome RunVtask(std::vector<std::string> args) {
    std::ostringstream out, err;
    const int code = RunCommandLine(args, out, err);
    return {code, out.str(), err.str()};
}

}  // namespace

TEST(Settings, AreCheckedAndConverted) {
    const TaskSettings s = ParseTaskSettings(
        Args({"--app", "/bin/true", "--priority", "idle", "--max-run-time", "4294967294", "--flags", "hidden"}));
    EXPECT_EQ(s.application, "/bin/true");
    EXPECT_EQ(s.priority, 0x40);
    EXPECT_EQ(s.maxRunTime, -2);  // the service's 32 bits, as a Long
    EXPECT_EQ(s.flags, "hidden");
    EXPECT_FALSE(s.comment);
    EXPECT_EQ(ParseTaskSettings(Args({"--max-run-time", "none"})).maxRunTime, -1);
    EXPECT_TRUE(ParseTaskSettings(Args({})).Empty());
    // An empty comment is a setting; an empty program is not.
    EXPECT_EQ(ParseTaskSettings(Args({"--comment", ""})).comment, "");
    EXPECT_THROW(ParseTaskSettings(Args({"--app", ""})), UsageError);
    EXPECT_THROW(ParseTaskSettings(Args({"--max-run-time", "4294967295"})), UsageError);
    EXPECT_THROW(ParseTaskSettings(Args({"--flags", "hidden,+disabled"})), UsageError);
    EXPECT_THROW(ParseTaskSettings(Args({"--comment", "\xFF"})), UsageError);
}

TEST(Triggers, WeeklyAndMonthlyRequests) {
    const TriggerRequest w = ParseTriggerRequest(
        Args({"--weekly", "2", "--days", "mon,fri", "--at", "09:30", "--from", "2026-12-07T18:00"}), kNow);
    EXPECT_EQ(w.type, 2);
    EXPECT_EQ(w.interval, 2);
    EXPECT_EQ(w.daysOfTheWeek, 0x22u);
    EXPECT_EQ(w.startMinutes, 570);
    EXPECT_EQ(w.from, 46363.0);  // the day only; the time comes from --at
    EXPECT_FALSE(w.until);

    const TriggerRequest d =
        ParseTriggerRequest(Args({"--monthly-dow", "last", "--days", "sun", "--at", "6:00"}), kNow);
    EXPECT_EQ(d.type, 4);
    EXPECT_EQ(d.whichWeek, 5);
    EXPECT_EQ(d.months, 0xFFFu);  // every month unless told

    const TriggerRequest m = ParseTriggerRequest(
        Args({"--monthly-date", "1,15", "--months", "jan,jul", "--at", "00:00", "--until", "2027-01-01"}), kNow);
    EXPECT_EQ(m.type, 3);
    EXPECT_EQ(m.daysOfTheMonth, 0x4001u);
    EXPECT_EQ(m.months, 0x41u);
    EXPECT_EQ(m.until, DateFromCivil({2027, 1, 1, 0, 0}));
}

TEST(Triggers, RepetitionLastsADayUnlessTold) {
    const TriggerRequest r = ParseTriggerRequest(Args({"--daily", "1", "--at", "08:00", "--every", "15"}), kNow);
    EXPECT_EQ(r.every, 15);
    EXPECT_EQ(r.duration, 1440);
    // The service refuses a repetition that lasts no longer than its interval.
    for (const auto &[every, duration] : std::vector<std::pair<const char *, const char *>>{
             {"2000", nullptr}, {"1440", nullptr}, {"30", "20"}, {"60", "60"}}) {
        std::vector<std::string> words = {"--once", "--at", "08:00", "--every", every};
        if (duration) words.insert(words.end(), {"--for", duration});
        EXPECT_THROW(ParseTriggerRequest(Args(words), kNow), UsageError)
            << every << " for " << (duration ? duration : "-");
    }
}

TEST(Triggers, InconsistentRequestsAreRefused) {
    const std::vector<std::vector<std::string>> bad = {
        {"--at", "09:30"},                                   // no schedule
        {"--once", "--daily", "1", "--at", "09:30"},         // two schedules
        {"--weekly", "1", "--at", "09:30"},                  // weekly without days
        {"--daily", "1", "--days", "mon", "--at", "09:30"},  // days on a daily schedule
        {"--weekly", "1", "--days", "mon", "--months", "jan", "--at", "09:30"},
        {"--daily", "0", "--at", "09:30"},
        {"--daily", "32768", "--at", "09:30"},
        {"--daily", "1"},  // no start time
        {"--daily", "1", "--at", "25:00"},
        {"--daily", "1", "--at", "09:30", "--from", "2026-12-07", "--until", "2026-12-06"},
        {"--daily", "1", "--at", "09:30", "--until", "2026-12-06"},  // before today
        {"--monthly-dow", "fifth", "--days", "mon", "--at", "09:30"},
        {"--monthly-date", "0", "--at", "09:30"},
    };
    for (const auto &words : bad) EXPECT_THROW(ParseTriggerRequest(Args(words), kNow), UsageError) << words[0];
}

TEST(Periods, DefaultToAMonthFromNow) {
    const Period p = ParsePeriod(Args({}), kNow);
    EXPECT_EQ(p.from, kNow);
    EXPECT_EQ(p.to, kNow + 31);
    const Period q = ParsePeriod(Args({"--from", "2026-12-01", "--to", "2026-12-02T12:00"}), kNow);
    EXPECT_EQ(q.from, DateFromCivil({2026, 12, 1, 0, 0}));
    EXPECT_DOUBLE_EQ(q.to, DateFromCivil({2026, 12, 2, 12, 0}));
    EXPECT_THROW(ParsePeriod(Args({"--from", "2026-12-02", "--to", "2026-12-01"}), kNow), UsageError);
}

TEST(CommandLine, HelpGoesToStandardOutput) {
    const Outcome top = RunVtask({"--help"});
    EXPECT_EQ(top.code, 0);
    EXPECT_NE(top.out.find("usage: vtask"), std::string::npos);
    const Outcome add = RunVtask({"trigger", "add", "--help"});
    EXPECT_EQ(add.code, 0);
    EXPECT_NE(add.out.find("--monthly-dow WEEK"), std::string::npos);
    EXPECT_EQ(RunVtask({"data", "--help"}).code, 0);
}

TEST(CommandLine, MistakesExitWithTwoBeforeAnyObjectIsMade) {
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"frobnicate"},
        {"list", "extra"},
        {"show"},
        {"add", "Weekly"},  // no program
        {"add", "Weekly", "--app", "x", "--priority", "urgent"},
        {"set", "Weekly"},  // nothing to set
        {"trigger"},
        {"trigger", "add", "Weekly", "--daily", "1"},  // no --at
        {"trigger", "remove", "Weekly", "-1"},
        {"trigger", "remove", "Weekly", "x"},
        {"runs", "Weekly", "--from", "tomorrow"},
        {"data", "Weekly"},
        {"data", "Weekly", "--set", "a", "--get", "b"},
        {"delete", "Weekly", "--json"},  // --json belongs to list, show and runs
        {"--computer", "a", "list", "--computer", "b"},
    };
    for (const auto &words : bad) {
        const Outcome r = RunVtask(words);
        EXPECT_EQ(r.code, 2) << (words.empty() ? "(nothing)" : words[0]) << ": " << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err, "");
    }
    const Outcome r = RunVtask({"add", "Weekly", "--priority", "urgent", "--app", "x"});
    EXPECT_EQ(r.err,
              "vtask: --priority: unknown priority 'urgent' (normal, high, idle, realtime)\n"
              "try 'vtask add --help'\n");
}

TEST(CommandLine, DataFromAMissingFileFailsBeforeTheTaskIsTouched) {
    const Outcome r = RunVtask({"data", "Weekly", "--set", "/nonexistent/vtask-data"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "vtask: cannot read '/nonexistent/vtask-data'\n");
}
