// The real vtask program against the registered component: each test has its
// own registry and Windows directory (so its own task store and daemon),
// registers libvelqosch.so there and runs vtask as a user would.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "common/schedule_service.h"
#include "platform/service/job/jobfile.h"
#include "service/platform.h"

extern char **environ;

namespace {

struct Outcome {
    int code = -1;
    std::string out, err;
};

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string &path, const std::string &bytes) { std::ofstream(path, std::ios::binary) << bytes; }

bool Exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

class Vtask : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/velqosch-vtask-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        tasks_ = dir_ + "/windows/Tasks/";
        ASSERT_EQ(mkdir((dir_ + "/registry").c_str(), 0700), 0);
        setenv("VELQOSCH_WINDIR", (dir_ + "/windows").c_str(), 1);
        setenv("VELQOSCH_REGISTRY", (dir_ + "/registry").c_str(), 1);
        setenv("VELQOSCH_SERVICE", VELQO_DAEMON, 1);
    }
    void TearDown() override {
        test_service::Stop();
        const std::string cmd = "/bin/rm -rf '" + dir_ + "'";
        if (std::system(cmd.c_str()) != 0) ADD_FAILURE() << "could not remove " << dir_;
    }

    // Registers the component in this test's registry, as the installer does.
    void Register() {
#ifdef VELQO_REGSVR
        const Outcome r = Run(VELQO_REGSVR, {VELQO_COMPONENT});
        ASSERT_EQ(r.code, 0) << r.out << r.err;
#else
        void *library = dlopen(VELQO_COMPONENT, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library, nullptr) << dlerror();
        using Entry = HRESULT (*)();
        auto registerServer = reinterpret_cast<Entry>(dlsym(library, "DllRegisterServer"));
        ASSERT_NE(registerServer, nullptr);
        ASSERT_EQ(registerServer(), S_OK);
        dlclose(library);
#endif
        ASSERT_TRUE(test_service::Start()) << "the service did not start";
    }

    Outcome Run(const std::string &program, const std::vector<std::string> &args, const std::string &input = "") {
        const std::string outPath = dir_ + "/stdout", errPath = dir_ + "/stderr", inPath = dir_ + "/stdin";
        WriteFile(inPath, input);
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_addopen(&files, 0, inPath.c_str(), O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&files, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&files, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        std::vector<char *> argv = {const_cast<char *>(program.c_str())};
        for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        pid_t pid = 0;
        Outcome r;
        if (posix_spawn(&pid, program.c_str(), &files, nullptr, argv.data(), environ) == 0) {
            int status = 0;
            waitpid(pid, &status, 0);
            r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        posix_spawn_file_actions_destroy(&files);
        r.out = ReadFile(outPath);
        r.err = ReadFile(errPath);
        return r;
    }
    Outcome V(const std::vector<std::string> &args, const std::string &input = "") { return Run(VTASK, args, input); }

    // Runs vtask and expects it to succeed.
    std::string Ok(const std::vector<std::string> &args) {
        const Outcome r = V(args);
        EXPECT_EQ(r.code, 0) << args[0] << ": " << r.err;
        return r.out;
    }

    std::string dir_, tasks_;
};

bool Contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

}  // namespace

TEST_F(Vtask, WithoutTheComponentRegisteredEveryCommandFailsClearly) {
    const Outcome r = V({"list"});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(Contains(r.err, "vtask: error ")) << r.err;
    EXPECT_TRUE(Contains(r.err, "creating TaskScheduler.Scheduler")) << r.err;
}

TEST_F(Vtask, AddedTasksAreSavedListedAndShown) {
    ASSERT_NO_FATAL_FAILURE(Register());
    EXPECT_EQ(Ok({"list", "--json"}), "[]\n");
    EXPECT_EQ(
        Ok({"add", "Weekly Report", "--app", "/usr/bin/report", "--params", "--full", "--dir", "/tmp", "--comment",
            "Für alle", "--creator", "ops", "--priority", "high", "--max-run-time", "3600000", "--flags", "hidden"}),
        "");
    EXPECT_TRUE(Exists(tasks_ + "Weekly Report.job"));
    const std::string list = Ok({"list"});
    EXPECT_TRUE(Contains(list, "Weekly Report")) << list;
    EXPECT_TRUE(Contains(list, "/usr/bin/report")) << list;

    const std::string show = Ok({"show", "Weekly Report"});
    for (const char *line :
         {"Application:        /usr/bin/report\n", "Parameters:         --full\n", "Working directory:  /tmp\n",
          "Comment:            Für alle\n", "Creator:            ops\n", "Priority:           high\n",
          "Max run time:       1:00:00\n", "Flags:              hidden\n", "Triggers:           0\n"})
        EXPECT_TRUE(Contains(show, line)) << line << "in\n" << show;

    const std::string json = Ok({"show", "Weekly Report", "--json"});
    EXPECT_TRUE(Contains(json, "\"comment\": \"Für alle\",")) << json;
    EXPECT_TRUE(Contains(json, "\"maxRunTime\": 3600000,")) << json;

    // set changes only what it is given, and saves.
    Ok({"set", "Weekly Report", "--comment", "", "--flags", "+disabled,-hidden"});
    const std::string changed = Ok({"show", "Weekly Report"});
    EXPECT_TRUE(Contains(changed, "Comment:            \n")) << changed;
    EXPECT_TRUE(Contains(changed, "Flags:              disabled\n")) << changed;
    EXPECT_TRUE(Contains(changed, "Application:        /usr/bin/report\n")) << changed;
}

TEST_F(Vtask, AnEmptyNameGetsAGeneratedOneThatIsPrinted) {
    ASSERT_NO_FATAL_FAILURE(Register());
    const std::string name = Ok({"add", "", "--app", "/bin/true"});
    ASSERT_GT(name.size(), 1u);
    ASSERT_EQ(name.back(), '\n');
    const std::string generated = name.substr(0, name.size() - 1);
    EXPECT_TRUE(Exists(tasks_ + generated + ".job")) << generated;
    EXPECT_TRUE(Contains(Ok({"list"}), generated));
}

TEST_F(Vtask, TriggersAreAddedWithTheirRunTimesAndRemovedByIndex) {
    ASSERT_NO_FATAL_FAILURE(Register());
    Ok({"add", "Report", "--app", "/bin/true"});
    const std::string weekly =
        Ok({"trigger", "add", "Report", "--weekly", "1", "--days", "mon,fri", "--at", "09:30", "--from", "2026-12-07"});
    EXPECT_EQ(weekly.rfind("[0] ", 0), 0u) << weekly;
    EXPECT_EQ(Ok({"runs", "Report", "--from", "2026-12-07", "--to", "2026-12-19"}),
              "2026-12-07 09:30\n2026-12-11 09:30\n2026-12-14 09:30\n2026-12-18 09:30\n");
    EXPECT_EQ(Ok({"runs", "Report", "--from", "2026-12-07", "--to", "2026-12-12", "--json"}),
              "[\n  \"2026-12-07 09:30\",\n  \"2026-12-11 09:30\"\n]\n");

    const std::string monthly = Ok({"trigger", "add", "Report", "--monthly-date", "1,15", "--months", "jan", "--at",
                                    "06:00", "--from", "2027-01-01", "--until", "2027-12-31"});
    EXPECT_EQ(monthly.rfind("[1] ", 0), 0u) << monthly;
    const std::string show = Ok({"show", "Report"});
    EXPECT_TRUE(Contains(show, "Triggers:           2\n")) << show;
    EXPECT_TRUE(Contains(show, "every 1 week on mon,fri at 09:30, from 2026-12-07")) << show;
    EXPECT_TRUE(Contains(show, "on day 1,15 of jan months at 06:00, from 2027-01-01 until 2027-12-31")) << show;

    // Removing index 0 moves the monthly trigger down to index 0.
    Ok({"trigger", "remove", "Report", "0"});
    const std::string after = Ok({"show", "Report", "--json"});
    EXPECT_TRUE(Contains(after, "\"index\": 0,")) << after;
    EXPECT_FALSE(Contains(after, "\"index\": 1,")) << after;
    EXPECT_TRUE(Contains(after, "\"type\": \"monthly-date\"")) << after;
    EXPECT_EQ(Ok({"runs", "Report", "--from", "2027-01-01", "--to", "2027-02-28"}),
              "2027-01-01 06:00\n2027-01-15 06:00\n");

}

TEST_F(Vtask, ComponentErrorsShowTheirRecordAndLeaveTheFileAsItWas) {
    ASSERT_NO_FATAL_FAILURE(Register());
    Ok({"add", "Report", "--app", "/bin/true"});
    Ok({"trigger", "add", "Report", "--daily", "2", "--at", "07:00"});
    const std::string before = ReadFile(tasks_ + "Report.job");

    const Outcome bad = V({"trigger", "remove", "Report", "3"});
    EXPECT_EQ(bad.code, 1);
    EXPECT_TRUE(Contains(bad.err, "error 5 (0x00000005)")) << bad.err;
    EXPECT_TRUE(Contains(bad.err, "Velqo Task Scheduler")) << bad.err;
    EXPECT_TRUE(Contains(bad.err, "Invalid Trigger Index")) << bad.err;
    EXPECT_EQ(bad.out, "");
    EXPECT_EQ(ReadFile(tasks_ + "Report.job"), before);

    const Outcome missing = V({"show", "Nobody"});
    EXPECT_EQ(missing.code, 1);
    EXPECT_EQ(missing.err, "vtask: no task named 'Nobody'\n");
}

TEST_F(Vtask, DataGoesInAndOutWholeOrNotAtAll) {
    ASSERT_NO_FATAL_FAILURE(Register());
    Ok({"add", "Report", "--app", "/bin/true"});
    const std::string bytes("\x01\x00\xFF payload", 11);
    WriteFile(dir_ + "/in.bin", bytes);
    Ok({"data", "Report", "--set", dir_ + "/in.bin"});
    Ok({"data", "Report", "--get", dir_ + "/out.bin"});
    EXPECT_EQ(ReadFile(dir_ + "/out.bin"), bytes);
    EXPECT_EQ(V({"data", "Report", "--get", "-"}).out, bytes);
    EXPECT_TRUE(Contains(Ok({"show", "Report"}), "Data:               11 bytes\n"));

    // Too large for a work item: refused before the task is touched.
    WriteFile(dir_ + "/big.bin", std::string(32768, 'x'));
    const std::string before = ReadFile(tasks_ + "Report.job");
    const Outcome big = V({"data", "Report", "--set", dir_ + "/big.bin"});
    EXPECT_EQ(big.code, 1);
    EXPECT_TRUE(Contains(big.err, "at most 32767")) << big.err;
    EXPECT_EQ(ReadFile(tasks_ + "Report.job"), before);

    WriteFile(dir_ + "/max.bin", std::string(32767, 'y'));
    Ok({"data", "Report", "--set", dir_ + "/max.bin"});
    Ok({"data", "Report", "--get", dir_ + "/out.bin"});
    EXPECT_EQ(ReadFile(dir_ + "/out.bin"), std::string(32767, 'y'));
}

TEST_F(Vtask, CloneCopiesAndDeleteRemoves) {
    ASSERT_NO_FATAL_FAILURE(Register());
    Ok({"add", "Source", "--app", "/usr/bin/report", "--comment", "copied"});
    Ok({"trigger", "add", "Source", "--once", "--at", "12:00", "--from", "2027-03-01"});
    EXPECT_EQ(Ok({"clone", "Source", "Copy"}), "");
    EXPECT_TRUE(Exists(tasks_ + "Copy.job"));
    const std::string copy = Ok({"show", "Copy"});
    EXPECT_TRUE(Contains(copy, "Application:        /usr/bin/report\n")) << copy;
    EXPECT_TRUE(Contains(copy, "Comment:            copied\n")) << copy;

    Ok({"delete", "Source"});
    EXPECT_FALSE(Exists(tasks_ + "Source.job"));
    EXPECT_TRUE(Exists(tasks_ + "Copy.job"));
    const Outcome again = V({"delete", "Source"});
    EXPECT_EQ(again.code, 1);
    EXPECT_EQ(again.err, "vtask: no task named 'Source'\n");
    EXPECT_EQ(V({"clone", "Source", "Other"}).code, 1);
}

TEST_F(Vtask, NamesWithTheSuffixInAnyCaseLeaveTheStoreUsable) {
    ASSERT_NO_FATAL_FAILURE(Register());
    Ok({"add", "x.JOB", "--app", "/bin/true"});
    Ok({"add", "y.Job", "--app", "/bin/true"});
    EXPECT_TRUE(Exists(tasks_ + "x.JOB"));
    for (const char *refused : {"x.job.job", "X"}) {
        const Outcome r = V({"add", refused, "--app", "/bin/true"});
        EXPECT_EQ(r.code, 1) << refused;
        EXPECT_TRUE(Contains(r.err, refused[0] == 'X' ? "(0x80070050)" : "(0x80070057)")) << r.err;
    }
    const std::string list = Ok({"list", "--json"});
    EXPECT_TRUE(Contains(list, "\"name\": \"x\"")) << list;
    EXPECT_TRUE(Contains(list, "\"name\": \"y\"")) << list;
    EXPECT_TRUE(Contains(Ok({"show", "X.job"}), "Application:        /bin/true\n"));
    Ok({"delete", "x.JOB"});
    Ok({"delete", "Y"});
    EXPECT_EQ(Ok({"list", "--json"}), "[]\n");
}

TEST_F(Vtask, ServiceCommandStartsReportsAndStopsTheDaemon) {
    struct Step {
        std::vector<std::string> args;
        int code;
        const char *out;  // null: not compared
    };
    const Step steps[] = {
        {{"service", "status"}, 0, "Schedule: stopped\n"},
        {{"service", "start"}, 0, "Schedule: running\n"},
        {{"service", "start"}, 0, "Schedule: running\n"},  // already running is no failure
        {{"service", "status"}, 0, "Schedule: running\n"},
        {{"service", "stop"}, 0, "Schedule: stopped\n"},
        {{"service", "stop"}, 0, "Schedule: stopped\n"},
        {{"service", "status"}, 0, "Schedule: stopped\n"},
        {{"service", "restart"}, 2, ""},
        {{"service"}, 2, ""},
        {{"service", "status", "--json"}, 2, ""},
        {{"service", "--help"}, 0, nullptr},
    };
    for (const Step &step : steps) {
        const Outcome r = V(step.args);
        std::string line;
        for (const std::string &a : step.args) line += a + " ";
        EXPECT_EQ(r.code, step.code) << line << r.err;
        if (step.out) {
            EXPECT_EQ(r.out, step.out) << line;
        }
    }
}

// --- vtask check ------------------------------------------------------------------------

namespace {

namespace svc = velqo::service;

TASK_TRIGGER Daily(WORD flags = 0) {
    TASK_TRIGGER t{};
    t.cbTriggerSize = sizeof t;
    t.wBeginYear = 2026;
    t.wBeginMonth = 1;
    t.wBeginDay = 1;
    t.wEndYear = 2020;
    t.wEndMonth = 6;
    t.wEndDay = 30;
    t.wStartHour = 9;
    t.TriggerType = TASK_TIME_TRIGGER_DAILY;
    t.Type.Daily.DaysInterval = 1;
    t.rgFlags = flags;
    return t;
}

svc::JobData GoodJob(std::u16string application = u"/bin/true") {
    svc::JobData job = svc::NewJob();
    job.application = std::move(application);
    job.parameters = u"-v \"two words\"";
    job.triggers = {Daily()};
    return job;
}

std::string JobBytes(const svc::JobData &job) {
    std::vector<BYTE> bytes;
    EXPECT_EQ(svc::SerializeJob(job, bytes), S_OK);
    return std::string(bytes.begin(), bytes.end());
}

// A store with one problem each (or none), what `check` says about it, and
// the HRESULT and kind its --json row carries.
struct CheckRow {
    const char *label;
    void (*seed)(const std::string &tasks, const std::string &dir);
    const char *line;  // a part of the problem line; null: no problem
    const char *hresult;
    const char *kind;
    bool serviceUp = true;
    const char *systemctl = "enabled";  // its answer (exit 0 only for "enabled"); null: none on PATH
};

const CheckRow kCheckRows[] = {
    {"a clean store", [](const std::string &t, const std::string &) { WriteFile(t + "Good.job", JobBytes(GoodJob())); },
     nullptr, nullptr, nullptr},
    {"a truncated item",
     [](const std::string &t, const std::string &) {
         const std::string bytes = JobBytes(GoodJob());
         WriteFile(t + "Cut.job", bytes.substr(0, bytes.size() - 80));
     },
     "Cut: SCHED_E_INVALID_TASK (0x8004130E): cannot be opened: truncated: 1 triggers run past the end", "0x8004130E",
     "unreadable"},
    {"an unknown file version",
     [](const std::string &t, const std::string &) {
         std::string bytes = JobBytes(GoodJob());
         bytes[2] = 2;
         WriteFile(t + "Future.job", bytes);
     },
     "Future: SCHED_E_UNKNOWN_OBJECT_VERSION (0x80041313): cannot be opened: bad version: file version 2, not 1",
     "0x80041313", "unreadable"},
    {"a string count without its NUL",
     [](const std::string &t, const std::string &) {
         std::string bytes = JobBytes(GoodJob());
         bytes[70] = 4;  // the application name's count: "/bin" without the rest and the NUL
         WriteFile(t + "Count.job", bytes);
     },
     "Count: SCHED_E_INVALID_TASK (0x8004130E): cannot be opened: bad string count: the application name field",
     "0x8004130E", "unreadable"},
    {"an item that is a folder",
     [](const std::string &t, const std::string &) { mkdir((t + "Dir.job").c_str(), 0700); },
     "Dir: E_ACCESSDENIED (0x80070005): cannot be opened: unreadable: Is a directory", "0x80070005", "unreadable"},
    {"names differing in case",
     [](const std::string &t, const std::string &) {
         WriteFile(t + "Report.job", JobBytes(GoodJob()));
         WriteFile(t + "report.job", JobBytes(GoodJob()));
     },
     "HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS) (0x800700B7): names that differ only in letter case: Report, report",
     "0x800700B7", "case"},
    {"disabled and ended triggers",
     [](const std::string &t, const std::string &) {
         svc::JobData job = GoodJob();
         job.triggers = {Daily(TASK_TRIGGER_FLAG_DISABLED), Daily(TASK_TRIGGER_FLAG_HAS_END_DATE)};
         WriteFile(t + "Never.job", JobBytes(job));
     },
     "Never: SCHED_S_TASK_NO_VALID_TRIGGERS (0x00041307): will never run", "0x00041307", "never-runs"},
    {"an account without a password",
     [](const std::string &t, const std::string &) {
         const svc::JobData job = GoodJob();
         WriteFile(t + "Account.job", JobBytes(job));
         mkdir((t + ".credentials").c_str(), 0700);
         OLECHAR guid[40] = {};
         StringFromGUID2(job.uuid, guid, 40);
         std::string id;
         for (const OLECHAR *p = guid + 1; *p && *p != u'}'; ++p) id.push_back(static_cast<char>(*p));
         WriteFile(t + ".credentials/" + id, "alice\n");
     },
     "Account: SCHED_E_ACCOUNT_INFORMATION_NOT_SET (0x8004130F): runs as alice but has no stored password",
     "0x8004130F", "password"},
    {"a program that does not exist",
     [](const std::string &t, const std::string &) {
         WriteFile(t + "Gone.job", JobBytes(GoodJob(u"/nonexistent/report")));
     },
     "Gone: HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) (0x80070002): its program /nonexistent/report does not exist",
     "0x80070002", "program"},
    {"a program that cannot be run",
     [](const std::string &t, const std::string &d) {
         WriteFile(d + "/plain", "text");
         chmod((d + "/plain").c_str(), 0644);
         svc::JobData job = GoodJob();
         job.workingDirectory = std::u16string(d.begin(), d.end());
         job.application = job.workingDirectory + u"/plain";
         WriteFile(t + "Plain.job", JobBytes(job));
     },
     "Plain: E_ACCESSDENIED (0x80070005): its program ", "0x80070005", "program"},
    {"single-quoted parameters",
     [](const std::string &t, const std::string &) {
         svc::JobData job = GoodJob();
         job.parameters = u"'two words' x";
         WriteFile(t + "Quotes.job", JobBytes(job));
     },
     "Quotes: E_INVALIDARG (0x80070057): its parameters 'two words' x reach the program as [\"'two\", \"words'\", "
     "\"x\"]",
     "0x80070057", "quoting"},
    {"the service stopped", [](const std::string &, const std::string &) {},
     "service: SCHED_E_SERVICE_NOT_RUNNING (0x80041315): the \"Schedule\" service is not running", "0x80041315",
     "service", false},
    {"a disabled unit", [](const std::string &, const std::string &) {},
     "HRESULT_FROM_WIN32(ERROR_SERVICE_DISABLED) (0x80070422): the unit velqosvc.service is installed but not "
     "enabled",
     "0x80070422", "unit", true, "disabled"},
    {"no systemctl", [](const std::string &, const std::string &) {},
     "HRESULT_FROM_WIN32(ERROR_SERVICE_DOES_NOT_EXIST) (0x80070424): the service is not installed as a unit",
     "0x80070424", "unit", true, nullptr},
};

}  // namespace

TEST_F(Vtask, CheckNamesEachProblemWithItsHresultAndRemedy) {
    const std::string path = getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin";
    int n = 0;
    for (const CheckRow &row : kCheckRows) {
        SCOPED_TRACE(row.label);
        // A store, a PATH and a service of the row's own.
        const std::string root = dir_ + "/row" + std::to_string(n++), bin = root + "/bin";
        ASSERT_EQ(mkdir(root.c_str(), 0700), 0);
        ASSERT_EQ(mkdir(bin.c_str(), 0700), 0);
        ASSERT_EQ(mkdir((root + "/windows").c_str(), 0700), 0);
        ASSERT_EQ(mkdir((root + "/windows/Tasks").c_str(), 0700), 0);
        setenv("VELQOSCH_WINDIR", (root + "/windows").c_str(), 1);
        if (row.systemctl) {
            const std::string fake = bin + "/systemctl";
            WriteFile(fake,
                      std::string("#!/bin/sh\necho ") + row.systemctl + "\n[ " + row.systemctl + " = enabled ]\n");
            chmod(fake.c_str(), 0755);
        }
        setenv("PATH", (bin + (row.systemctl ? ":" + path : "")).c_str(), 1);
        const std::string tasks = root + "/windows/Tasks/";
        row.seed(tasks, root);
        if (row.serviceUp) {
            ASSERT_TRUE(test_service::Start());
        }

        const Outcome text = V({"check"});
        const Outcome json = V({"check", "--json"});
        test_service::Stop();
        setenv("PATH", path.c_str(), 1);
        if (!row.line) {
            EXPECT_EQ(text.code, 0) << text.out << text.err;
            EXPECT_EQ(text.out, "no problems found in " + tasks.substr(0, tasks.size() - 1) + "\n");
            EXPECT_TRUE(Contains(json.out, "\"problems\": []")) << json.out;
            continue;
        }
        EXPECT_EQ(text.code, 1) << text.err;
        EXPECT_EQ(json.code, 1) << json.err;
        EXPECT_TRUE(Contains(text.out, row.line)) << text.out;
        EXPECT_TRUE(Contains(text.out, "\n  remedy: ")) << text.out;
        EXPECT_TRUE(Contains(text.out, "\n1 problem found in ")) << text.out;
        EXPECT_TRUE(Contains(json.out, std::string("\"kind\": \"") + row.kind + "\"")) << json.out;
        EXPECT_TRUE(Contains(json.out, std::string("\"hresult\": \"") + row.hresult + "\"")) << json.out;
    }
}

TEST_F(Vtask, CheckRepairQuarantinesWhatCannotBeOpenedSoTheStoreLoadsAgain) {
    ASSERT_NO_FATAL_FAILURE(Register());
    Ok({"add", "Good", "--app", "/bin/true"});
    const std::string bad = JobBytes(GoodJob()).substr(0, 90);
    WriteFile(tasks_ + "Bad.job", bad);

    const Outcome refused = V({"list"});
    EXPECT_EQ(refused.code, 1);
    EXPECT_TRUE(Contains(refused.err, "'vtask check --repair' moves it aside")) << refused.err;

    const std::string quarantine = dir_ + "/windows/Tasks.quarantine/";
    const Outcome repaired = V({"check", "--repair"});
    EXPECT_EQ(repaired.code, 1);
    EXPECT_TRUE(Contains(repaired.out, "Bad: SCHED_E_INVALID_TASK")) << repaired.out;
    EXPECT_TRUE(Contains(repaired.out, "  moved to " + quarantine + "Bad.job\n")) << repaired.out;
    EXPECT_EQ(ReadFile(quarantine + "Bad.job"), bad);
    EXPECT_FALSE(Exists(tasks_ + "Bad.job"));
    const Outcome list = V({"list"});
    EXPECT_EQ(list.code, 0) << list.err;
    EXPECT_TRUE(Contains(list.out, "Good")) << list.out;

    // A second bad item of the same name keeps the first one in quarantine.
    WriteFile(tasks_ + "Bad.job", "x");
    EXPECT_TRUE(Contains(V({"check", "--repair"}).out, "  moved to " + quarantine + "Bad.job.1\n"));
    EXPECT_EQ(ReadFile(quarantine + "Bad.job"), bad);
    EXPECT_EQ(ReadFile(quarantine + "Bad.job.1"), "x");
    EXPECT_EQ(V({"list"}).code, 0);
}
