// The daemon end to end: items run by request, trigger and start-up trigger, and what it records.
#include <mstask.h>
#include <pwd.h>

#include <algorithm>
#include <ctime>
#include <tuple>

#include "daemon_support.h"
#include "platform/service/objects/objects_internal.h"
#include "platform/service/schedule/schedule.h"

namespace daemon_test {
namespace {

constexpr HRESULT kNotFound = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);

time_t ToTime(const SYSTEMTIME &s) {
    tm parts{s.wSecond, s.wMinute, s.wHour, s.wDay, s.wMonth - 1, s.wYear - 1900, 0, 0, -1, 0, nullptr};
    return mktime(&parts);
}

TASK_TRIGGER TriggerAt(WORD type, time_t at, DWORD flags = 0) {
    TASK_TRIGGER t = svc::DefaultTrigger(svc::WallClockAt(at));
    t.TriggerType = TASK_TRIGGER_TYPE(type), t.rgFlags = flags;
    return t;
}

class Daemon : public DaemonTest {};

// Rows: an item, the answer to its run request, and what its file then holds.
TEST_F(Daemon, RunRequestsAndWhatTheyRecord) {
    struct Row {
        const char *name;
        const char16_t *application, *parameters;
        DWORD maxRunTime, flags;
        const char16_t *account;  // stored with the item, or null
        HRESULT answer;
        DWORD exitCode;  // past 128: terminated
        bool deleted;
    };
    const Row rows[] = {
        {"Seven", u"/bin/sh", u"-c \"exit 7\"", 0xFFFFFFFF, 0, nullptr, S_OK, 7, false},
        // $PWD and $0..$1 as the program received them, one per line, written where it ran
        {"Args", u"/bin/sh",
         u"-c \"printf '%s\\n' \\\"$PWD\\\" \\\"$0\\\" \\\"$1\\\" > out\" \"two words\" back\\\\slash", 0xFFFFFFFF, 0,
         nullptr, S_OK, 0, false},
        {"Sleeper", u"/bin/sleep", u"30", 300, 0, nullptr, S_OK, 128 + 15, false},
        // SIGTERM ignored: killed once the grace period is over
        {"Stubborn", u"/bin/sh", u"-c \"trap '' TERM; sleep 30\"", 300, 0, nullptr, S_OK, 128 + 9, false},
        {"Once", u"/bin/true", u"", 0xFFFFFFFF, TASK_FLAG_DELETE_WHEN_DONE, u"me", S_OK, 0, true},
        {"Theirs", u"/bin/true", u"", 0xFFFFFFFF, 0, u"somebody-else", E_ACCESSDENIED, 0, false},
        {"NoProgram", u"", u"", 0xFFFFFFFF, 0, nullptr, SCHED_E_TASK_NOT_READY, 0, false},
        {"Missing", u"/no/such/program", u"", 0xFFFFFFFF, 0, nullptr, kNotFound, 0, false},
        {"NoFolder", u"/bin/true", u"", 0xFFFFFFFF, 0, nullptr, kNotFound, 0, false},  // its folder is missing
    };
    std::map<std::string, svc::JobData> stored;
    for (const Row &row : rows) {
        svc::JobData job = Item(row.application, row.parameters);
        job.maxRunTime = row.maxRunTime;
        job.flags |= row.flags;
        job.workingDirectory = svc::ToUtf16(windir_ + (row.name == std::string("NoFolder") ? "/absent" : ""));
        Store(row.name, job);
        const std::u16string me = svc::ToUtf16(getpwuid(getuid())->pw_name);
        const std::u16string account = !row.account ? u"" : std::u16string(row.account) == u"me" ? me : row.account;
        ASSERT_TRUE(!row.account || svc::WriteCredentials(TasksDir(), job.uuid, account, u"pw") == S_OK) << row.name;
        stored[row.name] = job;
    }
    Store("Broken", Item(u"/bin/true", u""));
    test_user::WriteFile(JobPath("Broken"), "not a job file");
    ASSERT_EQ(svc::WriteJobFile(windir_ + "/outside.job", Item(u"/bin/true", u"")), S_OK);
    std::filesystem::create_symlink(windir_ + "/outside.job", JobPath("Linked"));
    constexpr int kRunning = 6;
    for (int i = 0; i < kRunning; ++i) Store("Long" + std::to_string(i), Item(u"/bin/sleep", u"30"));
    {  // Long1 as another writer lays it out: its empty comment counted 0, not 1 with its NUL
        std::string b = test_user::ReadFile(JobPath("Long1"));
        std::size_t at = 70;
        for (int i = 0; i < 4; ++i) at += 2 + 2 * std::size_t(BYTE(b[at]) | BYTE(b[at + 1]) << 8);
        ASSERT_EQ(b.substr(at, 4), std::string("\1\0\0\0", 4));
        b.replace(at, 4, std::string(2, '\0'));
        const int triggers = (BYTE(b[22]) | BYTE(b[23]) << 8) - 2;
        b[22] = char(triggers & 0xFF), b[23] = char(triggers >> 8);
        test_user::WriteFile(JobPath("Long1"), b);
    }
    EXPECT_EQ(svc::RequestRun(JobPath("Seven")) | svc::RequestTerminate(JobPath("Seven")), SCHED_E_SERVICE_NOT_RUNNING);
    StartService();
    // Only items of this Tasks folder, by a path without line breaks.
    const std::pair<std::string, HRESULT> bad[] = {
        {JobPath("Absent"), kNotFound},
        {JobPath("Broken"), SCHED_E_INVALID_TASK},
        {JobPath("Linked"), HRESULT_FROM_WIN32(1921)},  // ERROR_CANT_RESOLVE_FILENAME: a link is no item
        {windir_ + "/Elsewhere.job", E_INVALIDARG},
        {TasksDir() + "/.service/../../x.job", E_INVALIDARG},
        {JobPath("Two\nLines"), E_INVALIDARG},
    };
    for (const auto &[path, answer] : bad) EXPECT_EQ(svc::RequestRun(path), answer) << path.substr(0, 80);
    time_t before = time(nullptr);
    for (const Row &row : rows) EXPECT_EQ(svc::RequestRun(JobPath(row.name)), row.answer) << row.name;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        if (row.deleted) {
            EXPECT_TRUE(WaitFor([&] { return access(JobPath(row.name).c_str(), F_OK) != 0; })) << LogText();
            EXPECT_NE(LogText().find("deleted \"" + std::string(row.name) + "\""), std::string::npos);
        } else if (row.answer == S_OK) {
            // Each is over within a few seconds of its request: the kill comes after the 3 s grace.
            const int budget = row.exitCode == 128 + 9 ? 6000 : 3000;
            svc::JobData job = WaitForEnd(row.name, std::max<int>(int(budget - (time(nullptr) - before) * 1000), 0));
            EXPECT_EQ(std::tuple(job.exitCode, job.runningInstances, job.status == SCHED_S_TASK_TERMINATED),
                      std::tuple(row.exitCode, WORD(0), row.exitCode > 128));
            const time_t ran = ToTime(job.mostRecentRun);
            EXPECT_TRUE(ran >= before - 1 && ran <= time(nullptr) + 1) << ran - before;
        } else {
            EXPECT_EQ(Load(row.name).mostRecentRun.wYear, 0);
        }
        // A deleted item's password goes with it; the others keep theirs.
        const bool kept = access(svc::CredentialFile(TasksDir(), stored[row.name].uuid).c_str(), F_OK) == 0;
        EXPECT_EQ(kept, row.account && !row.deleted);
    }
    EXPECT_EQ(test_user::ReadFile(windir_ + "/out"), windir_ + "\ntwo words\nback\\\\slash\n");
    EXPECT_TRUE(WaitFor([&] { return Load("Missing").startError == kNotFound; })) << LogText();
    EXPECT_EQ(Load("Missing").status, SCHED_S_TASK_HAS_NOT_RUN);
    const std::string log = LogText();
    for (const char *line :
         {"exited \"Seven\" code 7", "refused \"Theirs\"", "maximum run time reached", "killing \"Stubborn\"",
          "started \"Seven\"", "\"NoFolder\" cannot enter its working directory", "\"Missing\" cannot run /no/such"})
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
    // A terminate ends only a running item, a second run starts nothing, an edit made during a run is kept; a stop
    // with items running terminates and records each, every file whole, nothing else left in the folder.
    EXPECT_EQ(svc::RequestTerminate(JobPath("Long0")), SCHED_E_TASK_NOT_RUNNING);
    for (int i = 0; i < kRunning; ++i) ASSERT_EQ(svc::RequestRun(JobPath("Long" + std::to_string(i))), S_OK);
    for (int i = 0; i < kRunning; ++i)
        EXPECT_TRUE(WaitFor([&] { return Load("Long" + std::to_string(i)).runningInstances == 1; })) << LogText();
    EXPECT_EQ(svc::RequestRun(JobPath("Long0")), S_OK);
    EXPECT_NE(LogText().find("skipped \"Long0\""), std::string::npos) << "a second run of a running item";
    svc::JobData edited = Load("Long0");
    edited.comment = u"changed by a client";
    Store("Long0", edited);
    EXPECT_EQ(svc::RequestTerminate(JobPath("Long0")), S_OK);
    EXPECT_EQ(WaitForEnd("Long0").comment, u"changed by a client");
    EXPECT_EQ(svc::RequestTerminate(JobPath("Long0")), SCHED_E_TASK_NOT_RUNNING);
    StopService();
    for (int i = 0; i < kRunning; ++i) {
        const svc::JobData job = Load("Long" + std::to_string(i));
        EXPECT_EQ(std::tuple(job.status, job.exitCode, job.runningInstances, job.application),
                  std::tuple(SCHED_S_TASK_TERMINATED, DWORD(128 + 15), WORD(0), std::u16string(u"/bin/sleep")));
    }
    for (const auto &entry : std::filesystem::directory_iterator(TasksDir())) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(name == ".service" || name == ".credentials" || name.ends_with(".job")) << "left behind: " << name;
    }
}

// Items due in the same minute, more than the daemon starts in one turn, all run and are recorded. Rows: other
// items and whether they run (a start-up trigger runs once when the daemon starts). A run an earlier daemon left
// marked is cleared; a link to a due item outside the folder is no item.
TEST_F(Daemon, ItemsRunWhenDueAndAtStartup) {
    constexpr int kDue = 80;
    const time_t real = time(nullptr), minute = (real / 60 + 2) * 60;
    svc::JobData due = Item(u"/bin/sh", u"-c \"exit 9\"");
    due.triggers = {TriggerAt(TASK_TIME_TRIGGER_ONCE, minute)};
    for (int i = 0; i < kDue; ++i) Store("Due" + std::to_string(i), due);
    struct Row {
        const char *name;
        WORD type;
        time_t at;
        DWORD taskFlags, triggerFlags;
        bool runs;
    };
    const Row rows[] = {
        {"Later", TASK_TIME_TRIGGER_ONCE, minute + 60, 0, 0, false},
        {"TriggerOff", TASK_TIME_TRIGGER_ONCE, minute, 0, TASK_TRIGGER_FLAG_DISABLED, false},
        {"TaskOff", TASK_TIME_TRIGGER_ONCE, minute, TASK_FLAG_DISABLED, 0, false},
        {"AtStart", TASK_EVENT_TRIGGER_AT_SYSTEMSTART, real, 0, 0, true},
        {"AtLogon", TASK_EVENT_TRIGGER_AT_LOGON, real, 0, 0, true},
        {"StartOff", TASK_EVENT_TRIGGER_AT_SYSTEMSTART, real, TASK_FLAG_DISABLED, 0, false},
        {"StartTriggerOff", TASK_EVENT_TRIGGER_AT_SYSTEMSTART, real, 0, TASK_TRIGGER_FLAG_DISABLED, false},
        {"OnIdle", TASK_EVENT_TRIGGER_ON_IDLE, real, 0, 0, false},
    };
    for (const Row &row : rows) {
        svc::JobData job = due;
        job.flags |= row.taskFlags;
        job.triggers = {TriggerAt(row.type, row.at, row.triggerFlags)};
        Store(row.name, job);
    }
    svc::JobData stale = Item(u"/bin/true", u"");
    stale.status = SCHED_S_TASK_RUNNING, stale.runningInstances = 3;
    Store("Stale", stale);
    ASSERT_EQ(svc::WriteJobFile(windir_ + "/outside.job", due), S_OK);
    std::filesystem::create_symlink(windir_ + "/outside.job", JobPath("Linked"));
    // The daemon's minute begins two seconds after it starts, however long storing took.
    const test_env::Scoped offset("VELQOSVC_TIME_OFFSET", std::to_string(minute - time(nullptr) - 2));
    StartService();
    EXPECT_TRUE(WaitFor([&] { return Load("Stale").status != SCHED_S_TASK_RUNNING; })) << LogText();
    EXPECT_EQ(Load("Stale").runningInstances, 0);
    for (int i = 0; i < kDue; ++i) {
        svc::JobData job = WaitForEnd("Due" + std::to_string(i), 15000);
        EXPECT_EQ(job.exitCode, 9u) << i;
        EXPECT_GE(ToTime(job.mostRecentRun), minute) << i;
    }
    for (const Row &row : rows)
        if (row.runs) {
            EXPECT_EQ(WaitForEnd(row.name).exitCode, 9u) << row.name;
        }
    StopService();
    for (const Row &row : rows) EXPECT_EQ(Load(row.name).mostRecentRun.wYear != 0, row.runs) << row.name;
    svc::JobData outside;
    ASSERT_EQ(svc::ReadJobFile(windir_ + "/outside.job", outside), S_OK);
    EXPECT_EQ(outside.mostRecentRun.wYear, 0) << "ran through a link";
    EXPECT_EQ(LogText().find("\"Linked\""), std::string::npos) << LogText();
    EXPECT_EQ(LogText().find("skipped"), std::string::npos) << LogText();
}

// The daemon on its own clock across the spring gap: a daily 02:30 runs once,
// when the gap ends at 03:00.
TEST_F(Daemon, ARunTimeTheClocksSkipRunsWhenTheGapEnds) {
    const test_env::Scoped berlin("TZ", "Europe/Berlin");
    const time_t gapEnds = 1806195600;  // 2027-03-28T01:00:00Z
    svc::JobData job = Item(u"/bin/true", u"");
    job.triggers = {TriggerAt(TASK_TIME_TRIGGER_DAILY, gapEnds - 86400 + 1800)};  // 2027-03-27 02:30
    Store("Skipped", job);
    const test_env::Scoped offset("VELQOSVC_TIME_OFFSET", std::to_string(gapEnds - 5 - time(nullptr)));
    StartService();
    job = WaitForEnd("Skipped", 15000);
    EXPECT_EQ(job.mostRecentRun.wHour * 100 + job.mostRecentRun.wMinute, 300);
    EXPECT_LE(ToTime(job.mostRecentRun) - gapEnds, 1);
    StopService();
}

}  // namespace
}  // namespace daemon_test
