// The daemon end to end: items run through run requests and start-up
// triggers, and what it records in the item files.
#include <dirent.h>
#include <mstask.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "daemon_support.h"
#include "platform/service/objects/objects_internal.h"

namespace daemon_test {
namespace {

namespace svc = velqo::service;

// What reading a work item through a symbolic link answers (ERROR_CANT_RESOLVE_FILENAME).
constexpr HRESULT kLinkRefused = HRESULT_FROM_WIN32(1921);

bool IsRunning(const svc::JobData &job) { return job.status == SCHED_S_TASK_RUNNING; }

time_t ToTime(const SYSTEMTIME &s) {
    tm parts{};
    parts.tm_year = s.wYear - 1900;
    parts.tm_mon = s.wMonth - 1;
    parts.tm_mday = s.wDay;
    parts.tm_hour = s.wHour;
    parts.tm_min = s.wMinute;
    parts.tm_sec = s.wSecond;
    parts.tm_isdst = -1;
    return mktime(&parts);
}

TASK_TRIGGER StartupTrigger(WORD type) {
    TASK_TRIGGER t{};
    t.cbTriggerSize = sizeof t;
    time_t now = time(nullptr);
    tm today{};
    localtime_r(&now, &today);
    t.wBeginYear = WORD(today.tm_year + 1900);
    t.wBeginMonth = WORD(today.tm_mon + 1);
    t.wBeginDay = WORD(today.tm_mday);
    t.TriggerType = TASK_TRIGGER_TYPE(type);
    return t;
}

class Daemon : public DaemonTest {
protected:
    // Waits until the item has run and is no longer running.
    svc::JobData WaitForEnd(const std::string &name, int ms = 5000) {
        svc::JobData job;
        bool ended = WaitFor(
            [&] {
                return svc::ReadJobFile(JobPath(name), job) == S_OK && job.mostRecentRun.wYear != 0 && !IsRunning(job);
            },
            ms);
        EXPECT_TRUE(ended) << LogText();
        return job;
    }
    void WaitForRunning(const std::string &name) {
        svc::JobData job;
        ASSERT_TRUE(WaitFor([&] { return svc::ReadJobFile(JobPath(name), job) == S_OK && IsRunning(job); }))
            << LogText();
        EXPECT_EQ(job.runningInstances, 1);
    }
    std::vector<std::string> TasksFolderEntries() {
        std::vector<std::string> names;
        for (const auto &entry : std::filesystem::directory_iterator(TasksDir()))
            names.push_back(entry.path().filename().string());
        return names;
    }
};

TEST_F(Daemon, RecordsExitCodeAndRunTime) {
    Store("Seven", Item(u"/bin/sh", u"-c \"exit 7\""));
    StartService();
    time_t before = time(nullptr);
    ASSERT_EQ(svc::RequestRun(JobPath("Seven")), S_OK);
    svc::JobData job = WaitForEnd("Seven");
    time_t after = time(nullptr);
    EXPECT_EQ(job.exitCode, 7u);
    EXPECT_EQ(job.runningInstances, 0);
    EXPECT_NE(job.status, SCHED_S_TASK_TERMINATED);
    time_t ran = ToTime(job.mostRecentRun);
    EXPECT_GE(ran, before - 1);
    EXPECT_LE(ran, after + 1);
    // The log line may follow the recorded result by a moment.
    EXPECT_TRUE(WaitFor([&] { return LogText().find("exited \"Seven\" code 7") != std::string::npos; })) << LogText();
    EXPECT_NE(LogText().find("started \"Seven\""), std::string::npos) << LogText();
}

TEST_F(Daemon, SplitsParametersAndEntersTheWorkingDirectory) {
    const std::string work = windir_ + "/work dir";
    std::filesystem::create_directories(work);
    // $0..$3 as the program received them, one per line, written where it ran.
    svc::JobData job = Item(u"/bin/sh",
                            u"-c \"printf '%s\\n' \\\"$PWD\\\" \\\"$0\\\" \\\"$1\\\" > out\" "
                            u"\"two words\" back\\\\slash");
    job.workingDirectory = svc::ToUtf16(work);
    Store("Args", job);
    StartService();
    ASSERT_EQ(svc::RequestRun(JobPath("Args")), S_OK);
    EXPECT_EQ(WaitForEnd("Args").exitCode, 0u);
    std::ifstream in(work + "/out");
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), work + "\ntwo words\nback\\\\slash\n");
}

TEST_F(Daemon, MaxRunTimeEndsTheRun) {
    svc::JobData job = Item(u"/bin/sleep", u"30");
    job.maxRunTime = 300;
    Store("Sleeper", job);
    StartService();
    ASSERT_EQ(svc::RequestRun(JobPath("Sleeper")), S_OK);
    job = WaitForEnd("Sleeper", 4000);
    EXPECT_EQ(job.status, SCHED_S_TASK_TERMINATED);
    EXPECT_EQ(job.exitCode, 128u + 15u);  // ended by SIGTERM
    EXPECT_EQ(job.runningInstances, 0);
    EXPECT_NE(LogText().find("maximum run time reached"), std::string::npos) << LogText();
}

TEST_F(Daemon, DeleteWhenDoneRemovesAnItemWithNoRunLeft) {
    // Both carry a stored password: the deleted item's goes with it.
    const std::u16string me = svc::ToUtf16(getpwuid(getuid())->pw_name);
    svc::JobData once = Item(u"/bin/true", u"");
    once.flags |= TASK_FLAG_DELETE_WHEN_DONE;
    Store("Once", once);
    svc::JobData kept = Item(u"/bin/true", u"");
    Store("Kept", kept);
    for (const auto *job : {&once, &kept}) ASSERT_EQ(svc::WriteCredentials(TasksDir(), job->uuid, me, u"pw"), S_OK);
    StartService();
    ASSERT_EQ(svc::RequestRun(JobPath("Once")), S_OK);
    ASSERT_EQ(svc::RequestRun(JobPath("Kept")), S_OK);
    EXPECT_TRUE(WaitFor([&] { return access(JobPath("Once").c_str(), F_OK) != 0; })) << LogText();
    EXPECT_EQ(WaitForEnd("Kept").exitCode, 0u);
    EXPECT_NE(LogText().find("deleted \"Once\""), std::string::npos);
    EXPECT_NE(access(svc::CredentialFile(TasksDir(), once.uuid).c_str(), F_OK), 0) << "the password stays on disk";
    EXPECT_EQ(access(svc::CredentialFile(TasksDir(), kept.uuid).c_str(), F_OK), 0);
}

TEST_F(Daemon, StopTerminatesRunningItemsAndLeavesWholeFiles) {
    Store("Long", Item(u"/bin/sleep", u"30"));
    StartService();
    ASSERT_EQ(svc::RequestRun(JobPath("Long")), S_OK);
    WaitForRunning("Long");
    StopService();
    svc::JobData job = Load("Long");
    EXPECT_EQ(job.status, SCHED_S_TASK_TERMINATED);
    EXPECT_EQ(job.runningInstances, 0);
    EXPECT_EQ(job.application, u"/bin/sleep");
    for (const auto &name : TasksFolderEntries())
        EXPECT_TRUE(name == ".service" || name == "Long.job") << "left behind: " << name;
}

TEST_F(Daemon, TerminateRequestEndsOnlyARunningItem) {
    Store("Idle", Item(u"/bin/true", u""));
    Store("Busy", Item(u"/bin/sleep", u"30"));
    StartService();
    EXPECT_EQ(svc::RequestTerminate(JobPath("Idle")), SCHED_E_TASK_NOT_RUNNING);
    ASSERT_EQ(svc::RequestRun(JobPath("Busy")), S_OK);
    WaitForRunning("Busy");
    // A second run of a running item starts nothing new.
    EXPECT_EQ(svc::RequestRun(JobPath("Busy")), S_OK);
    EXPECT_EQ(Load("Busy").runningInstances, 1);
    EXPECT_EQ(svc::RequestTerminate(JobPath("Busy")), S_OK);
    svc::JobData job = WaitForEnd("Busy");
    EXPECT_EQ(job.status, SCHED_S_TASK_TERMINATED);
    EXPECT_EQ(svc::RequestTerminate(JobPath("Busy")), SCHED_E_TASK_NOT_RUNNING);
}

TEST_F(Daemon, AnEditDuringTheRunIsKept) {
    Store("Edited", Item(u"/bin/sleep", u"30"));
    StartService();
    ASSERT_EQ(svc::RequestRun(JobPath("Edited")), S_OK);
    WaitForRunning("Edited");
    svc::JobData job = Load("Edited");
    job.comment = u"changed by a client";
    Store("Edited", job);
    ASSERT_EQ(svc::RequestTerminate(JobPath("Edited")), S_OK);
    job = WaitForEnd("Edited");
    EXPECT_EQ(job.comment, u"changed by a client");
    EXPECT_EQ(job.status, SCHED_S_TASK_TERMINATED);
}

TEST_F(Daemon, BadRequestsGetTheirErrors) {
    EXPECT_EQ(svc::RequestRun(JobPath("Any")), SCHED_E_SERVICE_NOT_RUNNING);
    EXPECT_EQ(svc::RequestTerminate(JobPath("Any")), SCHED_E_SERVICE_NOT_RUNNING);
    Store("Broken", Item(u"/bin/true", u""));
    { std::ofstream(JobPath("Broken"), std::ios::binary | std::ios::trunc) << "not a job file"; }
    Store("NoProgram", Item(u"", u""));
    Store("Missing", Item(u"/no/such/program", u""));
    StartService();
    EXPECT_EQ(svc::RequestRun(JobPath("Absent")), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(svc::RequestRun(JobPath("Broken")), SCHED_E_INVALID_TASK);
    EXPECT_EQ(svc::RequestRun(JobPath("NoProgram")), SCHED_E_TASK_NOT_READY);
    EXPECT_EQ(svc::RequestRun(JobPath("Missing")), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(WaitFor([&] { return Load("Missing").startError == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND); }));
    EXPECT_EQ(Load("Missing").status, SCHED_S_TASK_HAS_NOT_RUN);
    // Only items of this Tasks folder, by a path without line breaks.
    EXPECT_EQ(svc::RequestRun(windir_ + "/Elsewhere.job"), E_INVALIDARG);
    EXPECT_EQ(svc::RequestRun(TasksDir() + "/.service/../../x.job"), E_INVALIDARG);
    EXPECT_EQ(svc::RequestRun(JobPath("Two\nLines")), E_INVALIDARG);
    EXPECT_EQ(svc::RequestRun(""), E_INVALIDARG);
    ASSERT_EQ(svc::WriteJobFile(windir_ + "/outside.job", Item(u"/bin/true", u"")), S_OK);
    std::filesystem::create_symlink(windir_ + "/outside.job", JobPath("Linked"));
    EXPECT_EQ(svc::RequestRun(JobPath("Linked")), kLinkRefused);
    EXPECT_EQ(svc::RequestRun(TasksDir() + "/" + std::string(5000, 'x') + ".job"), E_INVALIDARG);
    // The daemon keeps serving after all of that.
    Store("Fine", Item(u"/bin/sh", u"-c \"exit 3\""));
    ASSERT_EQ(svc::RequestRun(JobPath("Fine")), S_OK);
    EXPECT_EQ(WaitForEnd("Fine").exitCode, 3u);
}

TEST_F(Daemon, AnotherUsersItemIsRefused) {
    Store("Theirs", Item(u"/bin/true", u""));
    Store("Mine", Item(u"/bin/true", u""));
    ASSERT_EQ(svc::WriteCredentials(TasksDir(), Load("Theirs").uuid, u"somebody-else", u"secret"), S_OK);
    ASSERT_EQ(svc::WriteCredentials(TasksDir(), Load("Mine").uuid, svc::ToUtf16(getpwuid(getuid())->pw_name), u""),
              S_OK);
    StartService();
    EXPECT_EQ(svc::RequestRun(JobPath("Theirs")), E_ACCESSDENIED);
    EXPECT_NE(LogText().find("refused \"Theirs\""), std::string::npos) << LogText();
    EXPECT_EQ(Load("Theirs").mostRecentRun.wYear, 0);
    ASSERT_EQ(svc::RequestRun(JobPath("Mine")), S_OK);
    EXPECT_EQ(WaitForEnd("Mine").exitCode, 0u);
}

TEST_F(Daemon, RunsAnItemWhenItsTriggerFires) {
    // The daemon's clock is set two seconds before a minute boundary, so
    // the once triggers at that minute fire almost at once.
    const time_t real = time(nullptr);
    const time_t boundary = (real / 60 + 2) * 60;
    setenv("VELQOSVC_TIME_OFFSET", std::to_string(boundary - real - 2).c_str(), 1);
    auto once = [](time_t at, DWORD flags) {
        tm local{};
        localtime_r(&at, &local);
        TASK_TRIGGER t{};
        t.cbTriggerSize = sizeof t;
        t.wBeginYear = WORD(local.tm_year + 1900);
        t.wBeginMonth = WORD(local.tm_mon + 1);
        t.wBeginDay = WORD(local.tm_mday);
        t.wStartHour = WORD(local.tm_hour);
        t.wStartMinute = WORD(local.tm_min);
        t.TriggerType = TASK_TIME_TRIGGER_ONCE;
        t.rgFlags = flags;
        return t;
    };
    svc::JobData due = Item(u"/bin/sh", u"-c \"exit 9\"");
    due.triggers = {once(boundary, 0)};
    Store("Due", due);
    svc::JobData later = due;
    later.triggers = {once(boundary + 60, 0)};
    Store("Later", later);
    svc::JobData off = due;
    off.triggers = {once(boundary, TASK_TRIGGER_FLAG_DISABLED)};
    Store("TriggerOff", off);
    svc::JobData disabled = due;
    disabled.flags |= TASK_FLAG_DISABLED;
    Store("TaskOff", disabled);
    // A link to a due item defined outside the folder is no item of it.
    ASSERT_EQ(svc::WriteJobFile(windir_ + "/outside.job", due), S_OK);
    std::filesystem::create_symlink(windir_ + "/outside.job", JobPath("Linked"));
    StartService();
    svc::JobData job = WaitForEnd("Due", 6000);
    EXPECT_EQ(job.exitCode, 9u);
    EXPECT_LE(ToTime(job.mostRecentRun) - boundary, 1);
    EXPECT_GE(ToTime(job.mostRecentRun), boundary);
    StopService();
    for (const char *name : {"Later", "TriggerOff", "TaskOff"}) EXPECT_EQ(Load(name).mostRecentRun.wYear, 0) << name;
    svc::JobData outside;
    ASSERT_EQ(svc::ReadJobFile(windir_ + "/outside.job", outside), S_OK);
    EXPECT_EQ(outside.mostRecentRun.wYear, 0) << "ran through a link";
    EXPECT_EQ(LogText().find("\"Linked\""), std::string::npos) << LogText();
}

// The daemon's clock is set two seconds before Berlin's clocks go forward
// (2027-03-28 02:00 +01:00 becomes 03:00 +02:00): a daily 02:30, a time
// that does not exist that day, runs once as the gap ends, at 03:00.
TEST_F(Daemon, ARunTimeTheClocksSkipRunsWhenTheGapEnds) {
    const char *oldZone = std::getenv("TZ");
    const std::string savedZone = oldZone ? oldZone : "";
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    const time_t gapEnds = 1806195600;  // 2027-03-28T01:00:00Z
    setenv("VELQOSVC_TIME_OFFSET", std::to_string(gapEnds - 2 - time(nullptr)).c_str(), 1);
    TASK_TRIGGER daily{};
    daily.cbTriggerSize = sizeof daily;
    daily.wBeginYear = 2027;
    daily.wBeginMonth = 3;
    daily.wBeginDay = 27;
    daily.wStartHour = 2;
    daily.wStartMinute = 30;
    daily.TriggerType = TASK_TIME_TRIGGER_DAILY;
    daily.Type.Daily.DaysInterval = 1;
    svc::JobData job = Item(u"/bin/true", u"");
    job.triggers = {daily};
    Store("Skipped", job);
    StartService();
    job = WaitForEnd("Skipped", 6000);
    EXPECT_EQ(job.mostRecentRun.wHour, 3);
    EXPECT_EQ(job.mostRecentRun.wMinute, 0);
    EXPECT_LE(ToTime(job.mostRecentRun) - gapEnds, 1);
    StopService();
    if (oldZone)
        setenv("TZ", savedZone.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST_F(Daemon, ClearsARunLeftMarkedByAnEarlierDaemon) {
    svc::JobData job = Item(u"/bin/true", u"");
    job.status = SCHED_S_TASK_RUNNING;
    job.runningInstances = 3;
    Store("Stale", job);
    StartService();
    ASSERT_TRUE(WaitFor([&] { return !IsRunning(Load("Stale")); })) << LogText();
    job = Load("Stale");
    EXPECT_EQ(job.runningInstances, 0);
    // and it runs as any other item
    ASSERT_EQ(svc::RequestRun(JobPath("Stale")), S_OK);
    EXPECT_EQ(WaitForEnd("Stale").runningInstances, 0);
}

TEST_F(Daemon, StartupTriggersRunOnceWhenItStarts) {
    struct Case {
        const char *name;
        WORD type;
        DWORD taskFlags, triggerFlags;
        bool runs;
    };
    const Case cases[] = {
        {"AtStart", TASK_EVENT_TRIGGER_AT_SYSTEMSTART, 0, 0, true},
        {"AtLogon", TASK_EVENT_TRIGGER_AT_LOGON, 0, 0, true},
        {"TaskDisabled", TASK_EVENT_TRIGGER_AT_SYSTEMSTART, TASK_FLAG_DISABLED, 0, false},
        {"TriggerDisabled", TASK_EVENT_TRIGGER_AT_SYSTEMSTART, 0, TASK_TRIGGER_FLAG_DISABLED, false},
        {"OnIdle", TASK_EVENT_TRIGGER_ON_IDLE, 0, 0, false},
    };
    for (const auto &c : cases) {
        svc::JobData job = Item(u"/bin/sh", u"-c \"exit 5\"");
        job.flags |= c.taskFlags;
        TASK_TRIGGER trigger = StartupTrigger(c.type);
        trigger.rgFlags = c.triggerFlags;
        job.triggers.push_back(trigger);
        Store(c.name, job);
    }
    StartService();
    for (const auto &c : cases) {
        if (c.runs) {
            EXPECT_EQ(WaitForEnd(c.name).exitCode, 5u) << c.name;
        }
    }
    StopService();
    for (const auto &c : cases) {
        svc::JobData job = Load(c.name);
        EXPECT_EQ(job.mostRecentRun.wYear != 0, c.runs) << c.name;
    }
}

}  // namespace
}  // namespace daemon_test
