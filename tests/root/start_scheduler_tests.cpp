// StartScheduler against the runtime's own service control and agent
// look-up: a private Windows directory holds the service's state folder, a
// stand-in daemon (a forked child holding the daemon lock) plays a running
// service, and $VELQOSCH_SERVICE names the program a start spawns.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/trace_viewer.h"
#include "globals/globals.h"
#include "scheduler/service_start.h"

using namespace velqosch;

namespace {

// A private Windows directory, desktop and search path, restored afterwards;
// the folders are open to others so that an unprivileged child can reach them.
class Environment {
public:
    Environment() {
        char tmpl[] = "/tmp/velqosch-start-XXXXXX";
        dir_ = mkdtemp(tmpl);
        for (const char *name : {"VELQOSCH_WINDIR", "VELQOSCH_SERVICE", "XDG_RUNTIME_DIR", "PATH"}) Save(name);
        chmod(dir_.c_str(), 0755);
        mkdir((dir_ + "/windows").c_str(), 0755);
        mkdir((dir_ + "/bin").c_str(), 0700);
        setenv("VELQOSCH_WINDIR", (dir_ + "/windows").c_str(), 1);
        setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
        setenv("PATH", (dir_ + "/bin").c_str(), 1);
        // The daemon a start spawns: it stays until killed, so the start
        // stays pending.
        WriteProgram(dir_ + "/daemon", "#!/bin/sh\nexec /bin/sleep 60\n");
        setenv("VELQOSCH_SERVICE", (dir_ + "/daemon").c_str(), 1);
    }
    ~Environment() {
        for (auto &[name, value] : saved_) {
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
        chmod(StateFolder().c_str(), 0700);
        std::string cmd = "/bin/rm -rf '" + dir_ + "'";
        if (std::system(cmd.c_str()) != 0) ADD_FAILURE() << "could not remove " << dir_;
    }
    std::string Dir() const { return dir_; }
    std::string StateFolder() const { return dir_ + "/windows/Tasks/.service"; }
    void MakeStateFolder() const {
        mkdir((dir_ + "/windows/Tasks").c_str(), 0755);
        mkdir(StateFolder().c_str(), 0700);
    }
    // The pid a start wrote into the state folder; 0 when none.
    long StartedPid() const {
        std::ifstream in(StateFolder() + "/starting");
        long pid = 0;
        in >> pid;
        return pid;
    }
    static void WriteProgram(const std::string &path, const std::string &text) {
        std::ofstream(path) << text;
        chmod(path.c_str(), 0700);
    }

private:
    void Save(const char *name) {
        const char *v = std::getenv(name);
        saved_.emplace_back(name, v ? std::optional<std::string>(v) : std::nullopt);
    }
    std::string dir_;
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// A process this test started, killed and reaped at the end of its scope.
struct Child {
    explicit Child(long p = 0) : pid(p) {}
    ~Child() { Stop(); }
    void Stop() {
        if (pid <= 0) return;
        kill(pid_t(pid), SIGKILL);
        // A daemon spawned by a start is not our child; waitpid then fails.
        int status = 0;
        waitpid(pid_t(pid), &status, 0);
        pid = 0;
    }
    long pid;
};

// A running daemon as the service control sees one: a process holding the
// daemon lock whose state line says it answers requests.
long StartStandInDaemon(const std::string &folder) {
    int ready[2];
    if (pipe(ready) != 0) return 0;
    pid_t child = fork();
    if (child == 0) {
        close(ready[0]);
        int lock = open((folder + "/daemon.lock").c_str(), O_RDWR | O_CREAT, 0600);
        struct flock whole {};
        whole.l_type = F_WRLCK;
        whole.l_whence = SEEK_SET;
        if (lock < 0 || fcntl(lock, F_SETLKW, &whole) != 0) _exit(1);
        const std::string line = std::to_string(getpid()) + " running\n";
        int state = open((folder + "/state").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (state < 0 || write(state, line.data(), line.size()) != ssize_t(line.size())) _exit(1);
        close(state);
        char one = 1;
        (void)!write(ready[1], &one, 1);
        for (;;) pause();
    }
    close(ready[1]);
    char got = 0;
    const bool ok = child > 0 && read(ready[0], &got, 1) == 1;
    close(ready[0]);
    if (!ok && child > 0) {
        int status = 0;
        waitpid(child, &status, 0);
        return 0;
    }
    return child;
}

DWORD ServiceState() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager) return 0;
    SC_HANDLE service = OpenServiceA(manager, "Schedule", SERVICE_QUERY_STATUS);
    CloseServiceHandle(manager);
    if (!service) return 0;
    SERVICE_STATUS status{};
    const BOOL ok = QueryServiceStatus(service, &status);
    CloseServiceHandle(service);
    return ok ? status.dwCurrentState : 0;
}

// StartScheduler's result and its entry and exit trace lines, run with a viewer open.
struct Traced {
    LONG result;
    int entries, exits;
};
Traced TracedRun() {
    test_trace::Viewer viewer;
    EXPECT_TRUE(viewer.open());
    LONG result = -1;
    const auto lines = viewer.Markers([&] { result = StartScheduler(); }, {"Scheduler"});
    const auto count = [&](const char *m) { return int(std::count(lines.begin(), lines.end(), m)); };
    return {result, count("-> Scheduler : Function StartScheduler"), count("<- Scheduler : Function StartScheduler")};
}

class RealServiceStart : public ::testing::Test {
protected:
    void SetUp() override { EnsureThreadStarted(); }
    void TearDown() override { VelqoSetVersionPlatformId(0); }
    Environment env;
};

TEST_F(RealServiceStart, RunningServiceAnswersZeroWithoutAnExitLine) {
    env.MakeStateFolder();
    Child daemon(StartStandInDaemon(env.StateFolder()));
    ASSERT_GT(daemon.pid, 0);
    ASSERT_EQ(ServiceState(), static_cast<DWORD>(SERVICE_RUNNING));
    const Traced run = TracedRun();
    EXPECT_EQ(std::vector<LONG>({run.result, run.entries, run.exits}), std::vector<LONG>({0, 1, 0}));
    EXPECT_EQ(env.StartedPid(), 0) << "a running service was asked to start";
}

TEST_F(RealServiceStart, StoppedServiceIsStartedThenAnotherStartFindsItPending) {
    ASSERT_EQ(ServiceState(), static_cast<DWORD>(SERVICE_STOPPED));
    const Traced first = TracedRun();
    Child spawned(env.StartedPid());
    EXPECT_EQ(std::vector<LONG>({first.result, first.entries, first.exits}), std::vector<LONG>({0, 1, 1}));
    ASSERT_GT(spawned.pid, 0) << "no daemon was spawned";
    EXPECT_EQ(ServiceState(), static_cast<DWORD>(SERVICE_START_PENDING));
    // The spawned daemon never takes the lock: a second start is refused the
    // way StartServiceA refuses it.
    const Traced second = TracedRun();
    EXPECT_EQ(second.result, ERROR_SERVICE_ALREADY_RUNNING);
    EXPECT_EQ(second.exits, 0);
    EXPECT_EQ(env.StartedPid(), spawned.pid) << "the pending start was replaced";
}

TEST_F(RealServiceStart, FailuresGiveTheServiceControlsCode) {
    struct Row {
        const char *what;
        void (*prepare)(Environment &);
        LONG expected;
    };
    const Row rows[] = {
        {"daemon program missing", [](Environment &e) { setenv("VELQOSCH_SERVICE", (e.Dir() + "/absent").c_str(), 1); },
         ERROR_FILE_NOT_FOUND},
        {"state folder cannot be made",
         [](Environment &e) {
             mkdir((e.Dir() + "/windows/Tasks").c_str(), 0755);
             std::ofstream(e.StateFolder()) << "not a folder";
         },
         ERROR_ACCESS_DENIED},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        Environment local;
        row.prepare(local);
        const Traced run = TracedRun();
        Child stray(local.StartedPid());
        EXPECT_EQ(run.result, row.expected);
        EXPECT_EQ(run.exits, 0);
        EXPECT_EQ(stray.pid, 0);
    }
}

// A state folder the caller may not write refuses the start right. Its mode
// binds nobody as root, so the check runs in a child that has become an
// unprivileged user owning the read-only folder.
TEST_F(RealServiceStart, ReadOnlyStateFolderRefusesTheStartRight) {
    env.MakeStateFolder();
    const uid_t nobody = 65534;
    if (geteuid() == 0) {
        ASSERT_EQ(chown(env.StateFolder().c_str(), nobody, nobody), 0);
    }
    ASSERT_EQ(chmod(env.StateFolder().c_str(), 0500), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (geteuid() == 0 && (setgid(nobody) != 0 || setuid(nobody) != 0)) _exit(100);
        _exit(int(StartScheduler() == ERROR_ACCESS_DENIED ? 0 : 101));
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "exit " << WEXITSTATUS(status);
    EXPECT_EQ(env.StartedPid(), 0);
}

TEST_F(RealServiceStart, AgentPathTakesItsAnswersFromTheRuntime) {
    VelqoSetVersionPlatformId(VER_PLATFORM_WIN32_WINDOWS);
    Traced run = TracedRun();
    EXPECT_EQ(run.result, ERROR_FILE_NOT_FOUND) << "nothing along the search path";
    EXPECT_EQ(run.exits, 0);

    const std::string agent = env.Dir() + "/bin/mstask.exe";
    Environment::WriteProgram(agent, "not a program\n");
    chmod(agent.c_str(), 0600);
    run = TracedRun();
    EXPECT_NE(run.result, 0) << "found but not runnable: the runtime's creation error";
    EXPECT_NE(run.result, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(run.exits, 0);

    const std::string mark = env.Dir() + "/agent-ran";
    Environment::WriteProgram(agent, "#!/bin/sh\n/usr/bin/touch '" + mark + "'\n");
    run = TracedRun();
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.exits, 1);
    struct stat st {};
    for (int i = 0; i < 500 && stat(mark.c_str(), &st) != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(stat(mark.c_str(), &st), 0) << "the agent did not run";
    unlink(mark.c_str());

    // A window of the agent's class and title means it runs already; one of
    // another title is not the agent's.
    test_trace::Window other("SAGEWINDOWCLASS", "SYSTEM AGENT");
    test_trace::Window window("SAGEWINDOWCLASS", "SYSTEM AGENT COM WINDOW");
    ASSERT_NE(window.h, nullptr);
    run = TracedRun();
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.exits, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_NE(stat(mark.c_str(), &st), 0) << "a running agent was started again";
}

}  // namespace
