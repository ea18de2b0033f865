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
