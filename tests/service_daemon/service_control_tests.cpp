// The service control functions over the real daemon: states, rights, handles, a missing or second daemon.
#include <mstask.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>

#include "common/unprivileged.h"
#include "daemon_support.h"

namespace daemon_test {
namespace {

// Each call that Windows' service control refuses sets the error it does.
#define EXPECT_REFUSED(call, error)                       \
    do {                                                  \
        SetLastError(0);                                  \
        EXPECT_FALSE(call) << #call;                      \
        EXPECT_EQ(GetLastError(), DWORD(error)) << #call; \
    } while (0)

// Counts the forks of this process: a service start must not copy it.
int forks = 0;
const int kForkCounter = pthread_atfork([] { ++forks; }, nullptr, nullptr);

class ServiceControl : public DaemonTest {};

TEST_F(ServiceControl, RefusalsCarryWindowsErrors) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE noConnect = OpenSCManagerA(nullptr, nullptr, 0);
    SC_HANDLE all = OpenServiceA(manager, "Schedule", SERVICE_ALL_ACCESS);
    SC_HANDLE closed = OpenServiceA(manager, "Schedule", SERVICE_QUERY_STATUS);
    SC_HANDLE queryOnly = OpenSchedule(SERVICE_QUERY_STATUS), startOnly = OpenSchedule(SERVICE_START);
    ASSERT_TRUE(manager && noConnect && all && closed && queryOnly && startOnly);
    ASSERT_TRUE(CloseServiceHandle(closed));
    SERVICE_STATUS status{};
    int notAHandle = 0;
    auto bogus = reinterpret_cast<SC_HANDLE>(&notAHandle);
    auto open = [&](SC_HANDLE from, const char *name) {  // closes what it opened; a refusal keeps its error
        SC_HANDLE h = OpenServiceA(from, name, SERVICE_QUERY_STATUS);
        return h && CloseServiceHandle(h);
    };
    // The start right needs a state folder the caller may write, running or not. As root the
    // folder's mode binds nobody, so the check runs in a child that has become an unprivileged user.
    const auto startRefused = [&](DWORD state) {
        ASSERT_EQ(chmod(svc::StateFolder().c_str(), 0555) | chmod(windir_.c_str(), 0755), 0);
        EXPECT_TRUE(test_user::AsUnprivileged({}, [&] {
            for (DWORD access : {DWORD(SERVICE_START | SERVICE_QUERY_STATUS), DWORD(0x20000000) /* GENERIC_EXECUTE */})
                if (OpenSchedule(access) || GetLastError() != ERROR_ACCESS_DENIED) return false;
            SERVICE_STATUS now{};
            return QueryServiceStatus(OpenSchedule(SERVICE_QUERY_STATUS), &now) && now.dwCurrentState == state;
        })) << state;
        chmod(svc::StateFolder().c_str(), 0700);
    };
    for (const char *name : {"Spooler", "Schedul", "Schedule2", "Schedule "})
        EXPECT_REFUSED(open(manager, name), ERROR_SERVICE_DOES_NOT_EXIST);
    EXPECT_REFUSED(open(manager, nullptr), ERROR_INVALID_NAME);
    EXPECT_REFUSED(OpenSCManagerA("\\\\elsewhere-not-this-host", nullptr, SC_MANAGER_CONNECT), 1722);  // no RPC server
    EXPECT_REFUSED(OpenSCManagerA(nullptr, "ServicesFailedOrWhatever", SC_MANAGER_CONNECT),
                   ERROR_DATABASE_DOES_NOT_EXIST);
    EXPECT_REFUSED(QueryServiceStatus(manager, &status), ERROR_INVALID_HANDLE);
    EXPECT_REFUSED(StartServiceA(manager, 0, nullptr), ERROR_INVALID_HANDLE);
    EXPECT_REFUSED(ControlService(manager, SERVICE_CONTROL_STOP, &status), ERROR_INVALID_HANDLE);
    EXPECT_REFUSED(open(all, "Schedule"), ERROR_INVALID_HANDLE);
    for (SC_HANDLE h : {SC_HANDLE(nullptr), bogus, closed}) {
        EXPECT_REFUSED(QueryServiceStatus(h, &status), ERROR_INVALID_HANDLE);
        EXPECT_REFUSED(CloseServiceHandle(h), ERROR_INVALID_HANDLE);
    }
    EXPECT_REFUSED(QueryServiceStatus(all, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_REFUSED(StartServiceA(queryOnly, 0, nullptr), ERROR_ACCESS_DENIED);
    EXPECT_REFUSED(ControlService(queryOnly, SERVICE_CONTROL_STOP, &status), ERROR_ACCESS_DENIED);
    EXPECT_REFUSED(QueryServiceStatus(startOnly, &status), ERROR_ACCESS_DENIED);
    EXPECT_REFUSED(open(noConnect, "Schedule"), ERROR_ACCESS_DENIED);
    EXPECT_REFUSED(ControlService(all, SERVICE_CONTROL_STOP, &status), ERROR_SERVICE_NOT_ACTIVE);
    {
        const test_env::Scoped missing("VELQOSCH_SERVICE", windir_ + "/no-such-daemon");
        EXPECT_REFUSED(StartServiceA(all, 0, nullptr), ERROR_FILE_NOT_FOUND);
    }
    EXPECT_EQ(CurrentState(), DWORD(SERVICE_STOPPED));  // nothing was started
    startRefused(SERVICE_STOPPED);
    // The names and computers it takes.
    char host[256] = {};
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
    for (std::string name : {std::string(host), "\\\\" + std::string(host), std::string(""), std::string("localhost")})
        EXPECT_TRUE(CloseServiceHandle(OpenSCManagerA(name.c_str(), "ServicesActive", SC_MANAGER_CONNECT))) << name;
    for (const char *name : {"Schedule", "schedule", "SCHEDULE"}) EXPECT_TRUE(open(manager, name)) << name;
    // A start marker counts only while its process lives; a zombie counts as gone.
    const std::string marker = svc::StateFolder() + "/" + svc::kStartingFile;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) pause(), _exit(0);
    ASSERT_TRUE(svc::WriteFileAtomic(marker, std::to_string(child) + "\n"));
    EXPECT_EQ(CurrentState(), DWORD(SERVICE_START_PENDING));
    EXPECT_REFUSED(StartServiceA(all, 0, nullptr), ERROR_SERVICE_ALREADY_RUNNING);
    EXPECT_REFUSED(ControlService(all, SERVICE_CONTROL_STOP, &status), ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
    kill(child, SIGKILL);
    EXPECT_TRUE(WaitFor([&] { return CurrentState() == SERVICE_STOPPED; }));
    waitpid(child, nullptr, 0);
    for (const char *junk : {"", "garbage\n", "-5\n", "0\n"}) {
        ASSERT_TRUE(svc::WriteFileAtomic(marker, junk));
        EXPECT_EQ(CurrentState(), DWORD(SERVICE_STOPPED)) << junk;
    }
    // A stopped service accepts no control; a start does not wait; a second start is refused.
    ASSERT_TRUE(QueryServiceStatus(all, &status));
    EXPECT_EQ(std::tuple(status.dwCurrentState, status.dwControlsAccepted, status.dwServiceType),
              std::tuple(DWORD(SERVICE_STOPPED), DWORD(0), DWORD(SERVICE_WIN32_SHARE_PROCESS)));
    // The start does not copy this process (no fork runs its handlers). The daemon is in a session of its own, stdin
    // from /dev/null, stdout and stderr appended to the log.
    const int forksBefore = forks;
    ASSERT_TRUE(StartServiceA(all, 0, nullptr)) << GetLastError();
    EXPECT_EQ(forks, forksBefore);
    EXPECT_REFUSED(StartServiceA(all, 0, nullptr), ERROR_SERVICE_ALREADY_RUNNING);
    ASSERT_TRUE(test_service::WaitFor(all, SERVICE_RUNNING)) << LogText();
    const pid_t daemon = pid_t(svc::QueryDaemonStatus().pid);
    EXPECT_NE(getsid(daemon), getsid(0));
    const std::string fd = "/proc/" + std::to_string(daemon) + "/fd/";
    EXPECT_EQ(std::filesystem::read_symlink(fd + "0"), "/dev/null");
    for (const char *out : {"1", "2"})
        EXPECT_EQ(std::filesystem::read_symlink(fd + out), std::filesystem::path(TasksDir() + "/.service/daemon.log"));
    ASSERT_TRUE(ControlService(all, SERVICE_CONTROL_INTERROGATE, &status)) << GetLastError();
    EXPECT_EQ(std::pair(status.dwCurrentState, status.dwControlsAccepted),
              std::pair(DWORD(SERVICE_RUNNING), DWORD(SERVICE_ACCEPT_STOP)));
    EXPECT_REFUSED(ControlService(all, 2 /* pause */, &status), ERROR_INVALID_SERVICE_CONTROL);
    startRefused(SERVICE_RUNNING);
    // A second daemon started by hand exits with status 2 and says why.
    FILE *second = popen("'" VELQOSVC_PATH "' --foreground 2>&1", "r");
    ASSERT_NE(second, nullptr);
    char text[512] = {};
    EXPECT_GT(fread(text, 1, sizeof text - 1, second), 0u);
    const int code = pclose(second);
    EXPECT_TRUE(WIFEXITED(code) && WEXITSTATUS(code) == 2) << code;
    EXPECT_NE(std::strstr(text, "another daemon already serves"), nullptr) << text;
    ASSERT_TRUE(ControlService(all, SERVICE_CONTROL_STOP, &status)) << GetLastError();
    EXPECT_EQ(status.dwCurrentState, DWORD(SERVICE_STOP_PENDING));
    ASSERT_TRUE(test_service::WaitFor(all, SERVICE_STOPPED)) << LogText();
    EXPECT_NE(LogText().find("service-stop"), std::string::npos);
    for (SC_HANDLE h : {queryOnly, startOnly, all, noConnect, manager}) EXPECT_TRUE(CloseServiceHandle(h));
}

// A start on the user's default store goes through the user unit when the user's manager knows it, else it spawns
// the daemon. A stand-in systemctl along $PATH records its calls; its "start" runs the daemon as the unit does.
TEST_F(ServiceControl, StartGoesThroughTheUserUnitWhenThereIsOne) {
    struct Row {
        const char *name;
        const char *loadState;  // the answer to show --property=LoadState
        int showExit, startExit;
        bool otherStore;  // VELQOSCH_WINDIR names a store of its own
        bool unitStarts;
    };
    const Row rows[] = {
        {"unit loaded", "loaded", 0, 0, false, true},
        {"no user manager", "", 1, 0, false, false},
        {"unit not installed", "not-found", 0, 0, false, false},
        {"unit fails to start", "loaded", 0, 1, false, false},
        {"another store", "loaded", 0, 0, true, false},
    };
    const std::string home = windir_ + "/home", bin = windir_ + "/bin", calls = windir_ + "/calls";
    ASSERT_EQ(mkdir(bin.c_str(), 0755), 0);
    // Without $VELQOSCH_SERVICE a spawned daemon is found along $PATH.
    ASSERT_EQ(symlink(VELQOSVC_PATH, (bin + "/velqosvc").c_str()), 0);
    const test_env::Scoped homeVar("HOME", home), service("VELQOSCH_SERVICE", nullptr), data("XDG_DATA_HOME", nullptr),
        path("PATH", bin + ":" + std::string(getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin"));
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        unlink(calls.c_str());
        {
            std::ofstream fake(bin + "/systemctl");
            fake << "#!/bin/sh\necho \"$*\" >>'" << calls << "'\ncase \"$*\" in\n"
                 << "*LoadState*) echo '" << row.loadState << "'; exit " << row.showExit << ";;\n"
                 << "*' start '*) [ " << row.startExit << " = 0 ] || exit " << row.startExit << "\n"
                 << "  '" << VELQOSVC_PATH << "' --foreground </dev/null >/dev/null 2>&1 &\n"
                 << "  echo $! >'" << windir_ << "/main-pid';;\n"
                 << "*MainPID*) cat '" << windir_ << "/main-pid';;\nesac\n";
        }
        ASSERT_EQ(chmod((bin + "/systemctl").c_str(), 0755), 0);
        (void)(row.otherStore ? setenv("VELQOSCH_WINDIR", windir_.c_str(), 1) : unsetenv("VELQOSCH_WINDIR"));
        SC_HANDLE service = OpenSchedule(SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS);
        ASSERT_NE(service, nullptr) << GetLastError();
        const int forksBefore = forks;
        ASSERT_TRUE(StartServiceA(service, 0, nullptr)) << GetLastError();
        EXPECT_EQ(forks, forksBefore);  // nor does running systemctl
        EXPECT_TRUE(test_service::WaitFor(service, SERVICE_RUNNING));
        const std::string called = test_user::ReadFile(calls);
        EXPECT_EQ(called.find("--user --quiet start velqosvc.service") != std::string::npos,
                  row.unitStarts || row.startExit != 0)
            << called;
        EXPECT_TRUE(!row.otherStore || called.empty()) << called;
        // Only a daemon the unit did not start logs to the state folder.
        EXPECT_EQ(access((svc::StateFolder() + "/" + svc::kLogFile).c_str(), F_OK) == 0, !row.unitStarts);
        SERVICE_STATUS status{};
        ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status)) << GetLastError();
        EXPECT_TRUE(test_service::WaitFor(service, SERVICE_STOPPED));
        CloseServiceHandle(service);
        std::error_code ignored;
        std::filesystem::remove_all(home, ignored);
    }
    setenv("VELQOSCH_WINDIR", windir_.c_str(), 1);
}

}  // namespace
}  // namespace daemon_test
