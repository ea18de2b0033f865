// vtask's command line as a user meets it: each row a command line, its exit
// code and a part of what it prints. A mistake exits with 2, says what is wrong
// and where help is, and is found before any object is made: these rows run
// without the component.
#include <gtest/gtest.h>

#include <sstream>

#include "tools/vtask/commands.h"

namespace {

struct Row {
    std::vector<std::string> args;
    int code;
    std::string err;       // a part of standard error
    std::string out = "";  // a part of standard output; empty: nothing printed
};

std::vector<Row> Rows() {
    std::vector<Row> rows = {
        {{"--help"}, 0, "", "usage: vtask"},
        {{"help"}, 0, "", "usage: vtask"},
        {{"trigger", "add", "--help"}, 0, "", "--monthly-dow WEEK"},
        {{}, 2, "usage: vtask"},
        {{"trigger"}, 2, "usage: vtask trigger add"},
        {{"frobnicate"}, 2, "vtask: unknown command 'frobnicate'\ntry 'vtask --help'\n"},
        {{"list", "extra"}, 2, "vtask: list: unexpected argument 'extra'\ntry 'vtask list --help'\n"},
        {{"list", "--", "--json"}, 2, "list: unexpected argument '--json'"},
        {{"list", "-a"}, 2, "unknown option '-a'"},
        {{"list", "--colour", "red"}, 2, "unknown option '--colour'"},
        {{"list", "--json=yes"}, 2, "option '--json' takes no value"},
        {{"delete", "Weekly", "--json"}, 2, "--json belongs to list, show and runs"},
        {{"show"}, 2, "vtask: show: missing NAME\ntry 'vtask show --help'\n"},
        {{"show", "\xFF"}, 2, "an argument is not valid UTF-8"},
        {{"add", "Weekly"}, 2, "add: --app is required"},
        {{"add", "Weekly", "--app"}, 2, "option '--app' needs a value"},
        {{"add", "Weekly", "--app", "a", "--app", "b"}, 2, "option '--app' given twice"},
        {{"add", "Weekly", "--app="}, 2, "--app: the program must not be empty"},
        {{"add", "Weekly", "--priority", "urgent", "--app", "x"},
         2,
         "vtask: --priority: unknown priority 'urgent' (normal, high, idle, realtime)\ntry 'vtask add --help'\n"},
        {{"add", "W", "--app", "x", "--max-run-time", "4294967295"}, 2, "--max-run-time: '4294967295' is not a whole"},
        {{"add", "W", "--app", "x", "--flags", "hidden,+disabled"}, 2, "--flags: either name every flag or change"},
        {{"add", "W", "--app", "x", "--flags", "invisible"}, 2, "--flags: unknown flag 'invisible'"},
        {{"set", "Weekly"}, 2, "set: no setting given"},
        {{"trigger", "remove", "Weekly", "x"}, 2, "'x' is not a whole number"},
        {{"runs", "W", "--from", "2026-12-02", "--to", "2026-12-01"}, 2, "--to: the period ends before it begins"},
        {{"data", "Weekly", "--set", "a", "--get", "b"}, 2, "data: give either --set FILE or --get FILE"},
        {{"data", "Weekly", "--set", "/nonexistent/vtask-data"}, 1, "vtask: cannot read '/nonexistent/vtask-data'\n"},
        {{"service"}, 2, "service: missing status|start|stop|enable"},
        {{"service", "restart"}, 2, "service: unknown action 'restart'"},
        {{"service", "status", "--json"}, 2, "service: takes no --computer or --json"},
    };
    // trigger add: the schedule, its days and months, the times and the repetition.
    const std::pair<std::vector<std::string>, const char *> triggers[] = {
        {{"--at", "09:30"}, "give one of --once, --daily N"},
        {{"--once", "--daily", "1", "--at", "09:30"}, "give one of --once, --daily N"},
        {{"--weekly", "1", "--at", "09:30"}, "--days is required with --weekly"},
        {{"--daily", "1", "--days", "mon", "--at", "09:30"}, "--days belongs to --weekly"},
        {{"--weekly", "1", "--days", "mon", "--months", "jan", "--at", "09:30"}, "--months belongs to"},
        {{"--weekly", "1", "--days", "mon,funday", "--at", "09:30"}, "--days: unknown day 'funday'"},
        {{"--weekly", "1", "--days", "mon,,fri", "--at", "09:30"}, "--days: empty item in list"},
        {{"--monthly-date", "1", "--months", "jan,foo", "--at", "09:30"}, "--months: unknown month 'foo'"},
        {{"--monthly-dow", "fifth", "--days", "mon", "--at", "09:30"}, "--monthly-dow: unknown week 'fifth'"},
        {{"--daily", "1"}, "trigger add: --at HH:MM is required"},
        {{"--daily", "1", "--at", "09:30", "--from", "2026-12-07", "--until", "2026-12-06"}, "--until: the last day"},
        {{"--daily", "1", "--at", "09:30", "--until", "2026-12-06"}, "--until: the last day"},  // before today
        {{"--once", "--at", "08:00", "--every", "1440"}, "--for: the repetition must last longer"},
        {{"--once", "--at", "08:00", "--every", "60", "--for", "60"}, "--for: the repetition must last longer"},
        {{"--once", "--at", "08:00", "--every", "0"}, "--every: '0' is not a whole number"},
    };
    for (const auto &[words, err] : triggers) {
        Row row{{"trigger", "add", "Weekly"}, 2, err};
        row.args.insert(row.args.end(), words.begin(), words.end());
        rows.push_back(row);
    }
    for (const char *n : {"0", "32768", "", "-", "1.5", "12a", "0x10", "99999999999999999999"})
        rows.push_back({{"trigger", "add", "W", "--daily", n, "--at", "09:30"}, 2, std::string("--daily: '") + n});
    for (const char *d : {"0", "32", "5-3", "1-", "x"})
        rows.push_back({{"trigger", "add", "W", "--monthly-date", d, "--at", "09:30"}, 2, "--monthly-date: "});
    for (const char *t : {"24:00", "12:60", "930", "9:5", "-1:00", "12:00:00", ""})
        rows.push_back({{"trigger", "add", "W", "--once", "--at", t}, 2, std::string("--at: '") + t + "'"});
    for (const char *d : {"2026-02-29", "2026-13-01", "2026-12-00", "2026-12-07T24:00", "2026-12-07T09:60", "2026-12-7",
                          "07.12.2026", "2026-12-07T0930", "0099-01-01", "tomorrow"})
        rows.push_back({{"runs", "W", "--from", d}, 2, std::string("--from: '") + d + "'"});
    for (const char *u : {"\xFF", "\xC3", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "a\x80"})
        rows.push_back({{"add", "W", "--app", "x", "--comment", u}, 2, "an option's value is not valid UTF-8"});
    return rows;
}

}  // namespace

TEST(CommandLine, EachRowExitsAndPrintsAsAUserSeesIt) {
#ifndef _WIN32
    // A row that a fault lets past the checks finds no component and no store
    // (never the user's own).
    setenv("VELQOSCH_REGISTRY", "/nonexistent/velqosch-registry", 1);
    setenv("VELQOSCH_WINDIR", "/nonexistent/velqosch-windows", 1);
#endif
    for (const Row &row : Rows()) {
        std::string line;
        for (const std::string &a : row.args) line += "[" + a + "] ";
        std::ostringstream out, err;
        EXPECT_EQ(vtask::RunCommandLine(row.args, out, err), row.code) << line << err.str();
        EXPECT_NE(err.str().find(row.err), std::string::npos) << line << err.str();
        const std::size_t at = out.str().find(row.out);
        EXPECT_TRUE(row.out.empty() ? out.str().empty() : at != std::string::npos) << line << out.str();
        // A mistake says where help is; help itself is all on standard output.
        const bool help = row.err.rfind("usage", 0) == 0 || row.code != 2;
        EXPECT_EQ(err.str().find("\ntry 'vtask ") != std::string::npos, !help && row.code == 2) << line << err.str();
        EXPECT_EQ(err.str().empty(), row.code == 0) << line;
    }
}
