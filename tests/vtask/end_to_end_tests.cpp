// The real vtask program against the registered component: each test has its
// own registry, registers libvelqosch.so there and runs vtask as a user would.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>
#include <sstream>

#include "common/scoped_env.h"
#include "common/store.h"
#include "common/unprivileged.h"
#include "platform/service/objects/objects_internal.h"

namespace {

namespace svc = velqo::service;

// A command line, its exit code and parts of what it prints (standard output
// and error together); a part "=TEXT" is the whole standard output.
struct Step {
    std::vector<std::string> args;
    int code;
    std::vector<std::string> parts = {};
};

using test_user::ReadFile;
using test_user::WriteFile;
bool Exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

class Vtask : public test_store::Store {
protected:
    void SetUp() override {
        Store::SetUp();
        tasks_ = windows_ + "/Tasks/";
    }
    // Registers the component in this test's registry, as the installer does.
    void Register() {
        ASSERT_EQ(mkdir((dir_ + "/registry").c_str(), 0700), 0);
        const Outcome r = Run({VELQO_REGSVR, VELQO_COMPONENT});
        ASSERT_EQ(r.code, 0) << r.out << r.err;
        ASSERT_TRUE(test_service::Start()) << "the service did not start";
    }

    Outcome V(std::vector<std::string> args) {
        args.insert(args.begin(), VTASK);
        return Run(args);
    }

    void Steps(const std::vector<Step> &steps) {
        for (const Step &step : steps) {
            std::string line;
            for (const std::string &a : step.args) line += "[" + a + "] ";
            const Outcome r = V(step.args);
            EXPECT_EQ(r.code, step.code) << line << r.err;
            for (const std::string &part : step.parts)
                if (part.rfind("=", 0) == 0)
                    EXPECT_EQ(r.out, part.substr(1)) << line;
                else
                    EXPECT_NE((r.out + r.err).find(part), std::string::npos) << line << "lacks " << part << ":\n"
                                                                             << r.out << r.err;
        }
    }

    std::string tasks_;
};

}  // namespace

TEST_F(Vtask, TasksAndTriggersAreAddedListedShownChangedAndDeleted) {
    ASSERT_NO_FATAL_FAILURE(Register());
    // clang-format off
    Steps({
        {{"list", "--json"}, 0, {"=[]\n"}},
        {{"add", "Weekly Report", "--app", "/usr/bin/report", "--params", "--full", "--dir", "/tmp", "--comment",
          "F\xC3\xBCr alle", "--creator", "ops", "--priority", "high", "--max-run-time", "3600000", "--flags",
          "hidden"}, 0, {"="}},
        {{"add", "B\xC3\xBCro", "--app", "/bin/true", "--max-run-time", "4294967294"}, 0},
        {{"list"}, 0, {"=NAME           STATUS         NEXT RUN  APPLICATION\n"
                       "B\xC3\xBCro           not scheduled  -         /bin/true\n"
                       "Weekly Report  not scheduled  -         /usr/bin/report\n"}},
        {{"show", "Weekly Report"}, 0,
         {"Application:        /usr/bin/report\n", "Parameters:         --full\n", "Working directory:  /tmp\n",
          "Comment:            F\xC3\xBCr alle\n", "Creator:            ops\n", "Priority:           high\n",
          "Max run time:       1:00:00\n", "Flags:              hidden\n", "Triggers:           0\n"}},
        {{"show", "B\xC3\xBCro"}, 0, {"Max run time:       1193:02:47.294\n"}},
        {{"list", "--json"}, 0, {"\"name\": \"B\xC3\xBCro\",\n    \"status\": \"not scheduled\",\n    "
                                 "\"statusCode\": 267013,\n    \"nextRun\": null,"}},
        {{"show", "Weekly Report", "--json"}, 0, {"\"comment\": \"F\xC3\xBCr alle\",", "\"maxRunTime\": 3600000,"}},
        // set changes only what it is given, and saves.
        {{"set", "Weekly Report", "--comment", "", "--flags", "+disabled,-hidden"}, 0, {"="}},
        {{"show", "Weekly Report"}, 0, {"Comment:            \n", "Flags:              disabled\n",
                                        "Application:        /usr/bin/report\n"}},
        {{"clone", "Weekly Report", "Copy"}, 0, {"="}},
        {{"show", "Copy"}, 0, {"Application:        /usr/bin/report\n"}},
        {{"delete", "Weekly Report"}, 0},
        {{"delete", "Weekly Report"}, 1, {"=", "vtask: no task named 'Weekly Report'\n"}},
        // A ".job" suffix in any letter case is the file's; names differ in more than case.
        {{"add", "x.JOB", "--app", "/bin/true"}, 0},
        {{"add", "x.job.job", "--app", "/bin/true"}, 1, {"(0x80070057)"}},
        {{"add", "X", "--app", "/bin/true"}, 1, {"(0x80070050)"}},
        {{"delete", "x.JOB"}, 0},
    });
    // clang-format on
    EXPECT_FALSE(Exists(tasks_ + "Weekly Report.job"));
    EXPECT_TRUE(Exists(tasks_ + "Copy.job"));
    EXPECT_FALSE(Exists(tasks_ + "x.JOB"));
    // An empty name gets a generated one, printed.
    const std::string name = V({"add", "", "--app", "/bin/true"}).out;
    ASSERT_GT(name.size(), 1u);
    EXPECT_TRUE(Exists(tasks_ + name.substr(0, name.size() - 1) + ".job")) << name;
    // Data goes in and out whole or not at all.
    const std::string bytes("\x01\x00\xFF payload", 11);
    WriteFile(dir_ + "/in.bin", bytes);
    WriteFile(dir_ + "/big.bin", std::string(32768, 'x'));
    WriteFile(dir_ + "/max.bin", std::string(32767, 'y'));
    WriteFile(dir_ + "/empty.bin", "");
    Steps({
        {{"data", "Copy", "--set", dir_ + "/in.bin"}, 0, {"="}},
        {{"data", "Copy", "--get", "-"}, 0, {"=" + bytes}},
        {{"show", "Copy"}, 0, {"Data:               11 bytes\n"}},
        // Too large or empty for a work item: refused before the task is touched.
        {{"data", "Copy", "--set", dir_ + "/big.bin"}, 1, {"has 32768 bytes: a task's data holds at most 32767"}},
        {{"data", "Copy", "--set", dir_ + "/empty.bin"}, 1, {"is empty: a task's data holds 1 to 32767 bytes"}},
        {{"data", "Copy", "--set", dir_ + "/max.bin"}, 0},
        {{"data", "Copy", "--get", dir_ + "/max-out.bin"}, 0},
    });
    EXPECT_EQ(ReadFile(dir_ + "/max-out.bin"), std::string(32767, 'y'));
    // An item that cannot be opened stops the listing until check --repair
    // moves it aside; a second one of that name keeps the first in quarantine.
    const std::string bad = ReadFile(tasks_ + "Copy.job").substr(0, 90), quarantine = windows_ + "/Tasks.quarantine/";
    WriteFile(tasks_ + "Bad.job", bad);
    Steps({
        {{"list"}, 1, {"'vtask check --repair' moves it aside"}},
        {{"check", "--repair"}, 1, {"Bad: SCHED_E_INVALID_TASK", "  moved to " + quarantine + "Bad.job\n"}},
        {{"list"}, 0, {"Copy"}},
    });
    WriteFile(tasks_ + "Bad.job", "x");
    Steps({{{"check", "--repair"}, 1, {"  moved to " + quarantine + "Bad.job.1\n"}}, {{"list"}, 0}});
    EXPECT_EQ(ReadFile(quarantine + "Bad.job") + ReadFile(quarantine + "Bad.job.1"), bad + "x");
    EXPECT_FALSE(Exists(tasks_ + "Bad.job"));
    // Triggers are added with their run times and removed by index.
    // clang-format off
    Steps({
        {{"add", "Report", "--app", "/bin/true"}, 0},
        {{"trigger", "add", "Report", "--weekly", "1", "--days", "mon,fri", "--at", "09:30", "--from", "2026-12-07"}, 0,
         {"[0] "}},
        {{"runs", "Report", "--from", "2026-12-07", "--to", "2026-12-19"}, 0,
         {"=2026-12-07 09:30\n2026-12-11 09:30\n2026-12-14 09:30\n2026-12-18 09:30\n"}},
        {{"runs", "Report", "--from", "2026-12-07", "--to", "2026-12-12", "--json"}, 0,
         {"=[\n  \"2026-12-07 09:30\",\n  \"2026-12-11 09:30\"\n]\n"}},
        {{"trigger", "add", "Report", "--monthly-date", "1,15", "--months", "jan", "--at", "06:00", "--from",
          "2027-01-01", "--until", "2027-12-31"}, 0, {"[1] "}},
        {{"trigger", "add", "Report", "--monthly-dow", "last", "--days", "sun", "--months", "jan,jul", "--at", "6:00",
          "--from", "2027-01-01", "--every", "10", "--for", "60"}, 0},
        {{"trigger", "add", "Report", "--once", "--at", "12:00", "--from", "2027-03-01"}, 0},
        {{"trigger", "add", "Report", "--daily", "2", "--at", "07:00", "--from", "2027-03-01"}, 0},
        {{"show", "Report"}, 0,
         {"Triggers:           5\n", "every 1 week on mon,fri at 09:30, from 2026-12-07",
          "on day 1,15 of jan months at 06:00, from 2027-01-01 until 2027-12-31",
          "on the last sun of jan,jul months at 06:00, from 2027-01-01, every 10 minutes for 60 minutes",
          "once on 2027-03-01 at 12:00", "every 2 days at 07:00, from 2027-03-01"}},
        // Removing index 0 moves the others down.
        {{"trigger", "remove", "Report", "0"}, 0, {"="}},
        {{"show", "Report", "--json"}, 0, {"\"index\": 3,", "\"type\": \"monthly-date\""}},
        {{"runs", "Report", "--from", "2027-01-01", "--to", "2027-01-16"}, 0,
         {"=2027-01-01 06:00\n2027-01-15 06:00\n"}},
    });
    // clang-format on
    const std::string json = V({"show", "Report", "--json"}).out;
    EXPECT_EQ(json.find("\"index\": 4,"), std::string::npos) << json;
    // A component error shows its record and leaves the file as it was.
    const std::string before = ReadFile(tasks_ + "Report.job");
    Steps({{{"trigger", "remove", "Report", "9"},
            1,
            {"=", "error 5 (0x00000005)", "Velqo Task Scheduler: Invalid Trigger"}}});
    EXPECT_EQ(ReadFile(tasks_ + "Report.job"), before);
}

// --- vtask check ------------------------------------------------------------------------

namespace {

TASK_TRIGGER Daily(WORD flags = 0) {
    TASK_TRIGGER t{};
    t.cbTriggerSize = sizeof t;
    t.wBeginYear = 2026, t.wBeginMonth = t.wBeginDay = 1, t.wStartHour = 9;
    t.wEndYear = 2020, t.wEndMonth = 6, t.wEndDay = 30;  // in the past: only a trigger without an end date runs
    t.TriggerType = TASK_TIME_TRIGGER_DAILY;
    t.Type.Daily.DaysInterval = 1;
    t.rgFlags = flags;
    return t;
}

svc::JobData Job(std::u16string application = u"/bin/true", std::u16string parameters = u"-v \"two words\"") {
    svc::JobData job = svc::NewJob();
    job.application = std::move(application);
    job.parameters = std::move(parameters);
    job.triggers = {Daily()};
    return job;
}

std::string Bytes(const svc::JobData &job) {
    std::vector<BYTE> bytes;
    EXPECT_EQ(svc::SerializeJob(job, bytes), S_OK);
    return std::string(bytes.begin(), bytes.end());
}

}  // namespace

// Without the component registered a command fails clearly; the service
// command needs no component. Then `check` and `check --json` on a store with
// no problem, on one with a problem of each kind in its files, and on the
// service's own problems: it is not running, its unit is disabled, or none is installed.
TEST_F(Vtask, CheckNamesEachProblemWithItsHresultAndRemedy) {
    Steps({{{"list"}, 1, {"=", "vtask: error ", "creating TaskScheduler.Scheduler"}}});
    // Starting what runs and stopping what is stopped are no failures.
    for (auto [step, state] : {std::pair{"status", "stopped"},
                               {"start", "running"},
                               {"start", "running"},
                               {"stop", "stopped"},
                               {"stop", "stopped"}})
        Steps({{{"service", step}, 0, {std::string("=Schedule: ") + state + "\n"}}});
    const std::string path = getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin";
    int n = 0;
    // A store of its own with these files (a name ending in "/" is a folder), a systemctl on PATH that says
    // `systemctl` (none if null) and the service up or not. What check says, a line a problem: its text cut to 88
    // characters (a remedy under each, a count after them) and the kind and HRESULT of its --json row.
    const auto check = [&](const std::vector<std::pair<std::string, std::string>> &files,
                           const char *systemctl = "enabled", bool serviceUp = true) {
        const std::string root = dir_ + "/store" + std::to_string(n++), tasks = root + "/windows/Tasks/";
        EXPECT_EQ(std::system(("mkdir -p '" + tasks + "' '" + root + "/bin'").c_str()), 0);
        setenv("VELQOSCH_WINDIR", (root + "/windows").c_str(), 1);
        if (systemctl) {
            WriteFile(root + "/bin/systemctl",
                      std::string("#!/bin/sh\necho ") + systemctl + "\n[ " + systemctl + " = enabled ]\n");
            chmod((root + "/bin/systemctl").c_str(), 0755);
        }
        const test_env::Scoped pathVar("PATH", root + "/bin" + (systemctl ? ":" + path : ""));
        for (const auto &[name, bytes] : files)
            name.back() == '/' ? (void)mkdir((tasks + name).c_str(), 0700) : WriteFile(tasks + name, bytes);
        EXPECT_TRUE(!serviceUp || test_service::Start());
        const Outcome text = V({"check"}), json = V({"check", "--json"});
        test_service::Stop();
        using std::regex_constants::format_no_copy;
        std::istringstream lines(std::regex_replace(text.out, std::regex("(^|\n)([^ \n][^\n]{0,87})[^\n]*\n  remedy: "),
                                                    "$2\n", format_no_copy)),
            rows(std::regex_replace(json.out, std::regex("\"kind\": \"(.*)\",\n.*\n.*\"hresult\": \"(.*)\""), "$1 $2\n",
                                    format_no_copy));
        std::string out;
        int count = 0;
        for (std::string line, row; std::getline(lines, line), std::getline(rows, row), lines || rows; ++count)
            out += line + " [" + row + "]\n";
        EXPECT_EQ(text.code, count ? 1 : 0) << text.err;
        EXPECT_EQ(json.code, text.code) << json.err;
        const std::string found = std::string(count ? std::to_string(count) : "no") + " problem" +
                                  (count == 1 ? "" : "s") + " found in " + tasks.substr(0, tasks.size() - 1) + "\n";
        EXPECT_EQ(text.out.substr(text.out.size() - std::min(text.out.size(), found.size())), found);
        return out;
    };
    const std::string good = Bytes(Job());
    std::string future = good;
    future[2] = 2;  // the file version
    svc::JobData never = Job(), account = Job();
    never.triggers = {Daily(TASK_TRIGGER_FLAG_DISABLED), Daily(TASK_TRIGGER_FLAG_HAS_END_DATE)};
    EXPECT_EQ(check({{"Good.job", good}}), "");
    // clang-format off
    EXPECT_EQ(check({{"Good.job", good}, {"Cut.job", good.substr(0, good.size() - 80)}, {"Future.job", future},
                     {"Dir.job/", ""}, {"Report.job", good}, {"report.job", good},
                     {"Never.job", Bytes(never)}, {"Account.job", Bytes(account)}, {".credentials/", ""},
                     {svc::CredentialFile(".", account.uuid), "alice\n"}, {"Gone.job", Bytes(Job(u"/nonexistent/report"))},
                     {"Plain.job", Bytes(Job(u"/etc/passwd"))}, {"Quotes.job", Bytes(Job(u"/bin/true", u"'two words' x"))}}),
              R"(Account: SCHED_E_ACCOUNT_INFORMATION_NOT_SET (0x8004130F): runs as alice but has no stor [password 0x8004130F]
Cut: SCHED_E_INVALID_TASK (0x8004130E): cannot be opened: truncated: 1 triggers run past [unreadable 0x8004130E]
Dir: E_ACCESSDENIED (0x80070005): cannot be opened: unreadable: Is a directory [unreadable 0x80070005]
Future: SCHED_E_UNKNOWN_OBJECT_VERSION (0x80041313): cannot be opened: bad version: file [unreadable 0x80041313]
Gone: HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) (0x80070002): its program /nonexistent/re [program 0x80070002]
Never: SCHED_S_TASK_NO_VALID_TRIGGERS (0x00041307): will never run: each of its triggers [never-runs 0x00041307]
Plain: E_ACCESSDENIED (0x80070005): its program /etc/passwd is not executable [program 0x80070005]
Quotes: E_INVALIDARG (0x80070057): its parameters 'two words' x reach the program as ["' [quoting 0x80070057]
Report: HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS) (0x800700B7): names that differ only in [case 0x800700B7]
)");
    // clang-format on
    EXPECT_EQ(
        check({}, "enabled", false) + check({}, "disabled") + check({}, nullptr),
        R"(service: SCHED_E_SERVICE_NOT_RUNNING (0x80041315): the "Schedule" service is not running [service 0x80041315]
service: HRESULT_FROM_WIN32(ERROR_SERVICE_DISABLED) (0x80070422): the unit velqosvc.serv [unit 0x80070422]
service: HRESULT_FROM_WIN32(ERROR_SERVICE_DOES_NOT_EXIST) (0x80070424): the service is n [unit 0x80070424]
)");
}
