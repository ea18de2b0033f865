// The service control functions over the real daemon: states, rights,
// handles and the start of a missing or second daemon.
#include <fcntl.h>
#include <mstask.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "daemon_support.h"

namespace daemon_test {
namespace {

namespace svc = velqo::service;

class ServiceControl : public DaemonTest {
protected:
    SC_HANDLE Open(DWORD access) {
        SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
        EXPECT_NE(manager, nullptr);
        SC_HANDLE service = OpenServiceA(manager, "Schedule", access);
        DWORD error = GetLastError();
        CloseServiceHandle(manager);
        SetLastError(error);
        return service;
    }
};

TEST_F(ServiceControl, StartRunStopCycle) {
    constexpr DWORD kInterrogate = 0x0080;
    SC_HANDLE service = Open(SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS | kInterrogate);
    ASSERT_NE(service, nullptr) << GetLastError();
    SERVICE_STATUS status{};
    ASSERT_TRUE(QueryServiceStatus(service, &status));
    EXPECT_EQ(status.dwCurrentState, DWORD(SERVICE_STOPPED));
    EXPECT_EQ(status.dwControlsAccepted, 0u);
    EXPECT_TRUE(status.dwServiceType == SERVICE_WIN32_SHARE_PROCESS ||
                status.dwServiceType == SERVICE_WIN32_OWN_PROCESS);

    SetLastError(0);
    SERVICE_STATUS ignored{};
    EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &ignored));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SERVICE_NOT_ACTIVE));

    ASSERT_TRUE(StartServiceA(service, 0, nullptr)) << GetLastError();
    // The start does not wait: the daemon is pending or already up.
    ASSERT_TRUE(QueryServiceStatus(service, &status));
    EXPECT_TRUE(status.dwCurrentState == SERVICE_START_PENDING || status.dwCurrentState == SERVICE_RUNNING)
        << status.dwCurrentState;
    // Starting again, pending or running, is refused.
    EXPECT_FALSE(StartServiceA(service, 0, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SERVICE_ALREADY_RUNNING));

    ASSERT_TRUE(WaitFor([&] {
        return QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_RUNNING;
    })) << LogText();
    EXPECT_EQ(status.dwControlsAccepted, DWORD(SERVICE_ACCEPT_STOP));
    EXPECT_FALSE(StartServiceA(service, 0, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SERVICE_ALREADY_RUNNING));

    status = SERVICE_STATUS{};
    ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_INTERROGATE, &status)) << GetLastError();
    EXPECT_EQ(status.dwCurrentState, DWORD(SERVICE_RUNNING));
    EXPECT_FALSE(ControlService(service, 2 /* pause: not accepted */, &status));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));  // the pause right was not asked for
    ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status)) << GetLastError();
    EXPECT_EQ(status.dwCurrentState, DWORD(SERVICE_STOP_PENDING));
    ASSERT_TRUE(WaitFor([&] {
        return QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_STOPPED;
    })) << LogText();
    EXPECT_NE(LogText().find("service-stop"), std::string::npos);

    // And it starts again after a stop.
    ASSERT_TRUE(StartServiceA(service, 0, nullptr)) << GetLastError();
    ASSERT_TRUE(
        WaitFor([&] { return QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_RUNNING; }));
    EXPECT_TRUE(CloseServiceHandle(service));
}

TEST_F(ServiceControl, OnlyTheScheduleServiceExists) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    ASSERT_NE(manager, nullptr);
    for (const char *name : {"Spooler", "Schedul", "Schedule2", "Schedule "}) {
        SetLastError(0);
        EXPECT_EQ(OpenServiceA(manager, name, SERVICE_QUERY_STATUS), nullptr) << name;
        EXPECT_EQ(GetLastError(), DWORD(ERROR_SERVICE_DOES_NOT_EXIST)) << name;
    }
    for (const char *name : {"Schedule", "schedule", "SCHEDULE"}) {
        SC_HANDLE service = OpenServiceA(manager, name, SERVICE_QUERY_STATUS);
        EXPECT_NE(service, nullptr) << name;
        CloseServiceHandle(service);
    }
    EXPECT_EQ(OpenServiceA(manager, nullptr, SERVICE_QUERY_STATUS), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_NAME));
    CloseServiceHandle(manager);
}

TEST_F(ServiceControl, OnlyTheLocalMachineAndTheActiveDatabase) {
    SetLastError(0);
    EXPECT_EQ(OpenSCManagerA("\\\\elsewhere-not-this-host", nullptr, SC_MANAGER_CONNECT), nullptr);
    EXPECT_EQ(GetLastError(), 1722u);  // the RPC server is unavailable
    EXPECT_EQ(OpenSCManagerA(nullptr, "ServicesFailedOrWhatever", SC_MANAGER_CONNECT), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_DATABASE_DOES_NOT_EXIST));
    char host[256] = {};
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
    for (std::string name :
         {std::string(host), "\\\\" + std::string(host), std::string(""), std::string("localhost")}) {
        SC_HANDLE manager = OpenSCManagerA(name.c_str(), "ServicesActive", SC_MANAGER_CONNECT);
        EXPECT_NE(manager, nullptr) << name;
        CloseServiceHandle(manager);
    }
}

TEST_F(ServiceControl, HandlesAreCheckedByKind) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceA(manager, "Schedule", SERVICE_ALL_ACCESS);
    ASSERT_NE(service, nullptr);
    SERVICE_STATUS status{};
    int notAHandle = 0;
    auto bogus = reinterpret_cast<SC_HANDLE>(&notAHandle);

    struct Call {
        const char *what;
        std::function<BOOL()> call;
    };
    const Call calls[] = {
        {"query a manager", [&] { return QueryServiceStatus(manager, &status); }},
        {"start a manager", [&] { return StartServiceA(manager, 0, nullptr); }},
        {"control a manager", [&] { return ControlService(manager, SERVICE_CONTROL_STOP, &status); }},
        {"open from a service",
         [&] { return BOOL(OpenServiceA(service, "Schedule", SERVICE_QUERY_STATUS) != nullptr); }},
        {"query null", [&] { return QueryServiceStatus(nullptr, &status); }},
        {"query bogus", [&] { return QueryServiceStatus(bogus, &status); }},
        {"close null", [&] { return CloseServiceHandle(nullptr); }},
        {"close bogus", [&] { return CloseServiceHandle(bogus); }},
    };
    for (const auto &c : calls) {
        SetLastError(0);
        EXPECT_FALSE(c.call()) << c.what;
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE)) << c.what;
    }
    SetLastError(0);
    EXPECT_FALSE(QueryServiceStatus(service, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));

    EXPECT_TRUE(CloseServiceHandle(service));
    EXPECT_FALSE(QueryServiceStatus(service, &status));  // closed
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(CloseServiceHandle(service));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(CloseServiceHandle(manager));
}

TEST_F(ServiceControl, RightsNotAskedForAreRefused) {
    SC_HANDLE queryOnly = Open(SERVICE_QUERY_STATUS);
    SC_HANDLE startOnly = Open(SERVICE_START);
    ASSERT_NE(queryOnly, nullptr);
    ASSERT_NE(startOnly, nullptr);
    SERVICE_STATUS status{};
    SetLastError(0);
    EXPECT_FALSE(StartServiceA(queryOnly, 0, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(ControlService(queryOnly, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(QueryServiceStatus(startOnly, &status));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(CurrentState(), DWORD(SERVICE_STOPPED));  // nothing was started

    SC_HANDLE noConnect = OpenSCManagerA(nullptr, nullptr, 0);
    ASSERT_NE(noConnect, nullptr);
    EXPECT_EQ(OpenServiceA(noConnect, "Schedule", SERVICE_QUERY_STATUS), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    CloseServiceHandle(noConnect);
    CloseServiceHandle(queryOnly);
    CloseServiceHandle(startOnly);
}

// The start right needs a state folder the caller may write, running or not.
// As root the folder's mode binds nobody, so the check runs in a child that
// has become an unprivileged user.
TEST_F(ServiceControl, StartRightNeedsAWritableStateFolder) {
    const std::string state = svc::StateFolder();
    ASSERT_FALSE(state.empty());
    for (bool running : {false, true}) {
        if (running) StartService();
        ASSERT_EQ(chmod(state.c_str(), 0555), 0);
        ASSERT_EQ(chmod(windir_.c_str(), 0755), 0);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(10);
            SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
            if (!manager) _exit(11);
            SC_HANDLE refused = OpenServiceA(manager, "Schedule", SERVICE_START | SERVICE_QUERY_STATUS);
            if (refused || GetLastError() != ERROR_ACCESS_DENIED) _exit(12);
            SC_HANDLE generic = OpenServiceA(manager, "Schedule", 0x20000000 /* GENERIC_EXECUTE */);
            if (generic || GetLastError() != ERROR_ACCESS_DENIED) _exit(13);
            SC_HANDLE query = OpenServiceA(manager, "Schedule", SERVICE_QUERY_STATUS);
            if (!query) _exit(14);
            SERVICE_STATUS status{};
            if (!QueryServiceStatus(query, &status)) _exit(15);
            _exit(int(status.dwCurrentState == (running ? DWORD(SERVICE_RUNNING) : DWORD(SERVICE_STOPPED)) ? 0 : 16));
        }
        int code = -1;
        ASSERT_EQ(waitpid(child, &code, 0), child);
        chmod(state.c_str(), 0700);
        EXPECT_TRUE(WIFEXITED(code) && WEXITSTATUS(code) == 0)
            << "running " << running << " step " << WEXITSTATUS(code);
    }
}

TEST_F(ServiceControl, MissingDaemonProgramIsFileNotFound) {
    setenv("VELQOSCH_SERVICE", (windir_ + "/no-such-daemon").c_str(), 1);
    SC_HANDLE service = Open(SERVICE_START | SERVICE_QUERY_STATUS);
    ASSERT_NE(service, nullptr);
    SetLastError(0);
    EXPECT_FALSE(StartServiceA(service, 0, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(CurrentState(), DWORD(SERVICE_STOPPED));
    // A program that is there but cannot be run is refused, too, and leaves no start marker.
    const std::string notExecutable = windir_ + "/plain-file";
    std::ofstream(notExecutable) << "not a program";
    chmod(notExecutable.c_str(), 0644);
    setenv("VELQOSCH_SERVICE", notExecutable.c_str(), 1);
    if (getuid() != 0) {
        EXPECT_FALSE(StartServiceA(service, 0, nullptr));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    }
    EXPECT_EQ(CurrentState(), DWORD(SERVICE_STOPPED));
    CloseServiceHandle(service);
}

// A start on the user's default store goes through the user unit when the
// user's service manager knows it, and spawns the daemon in every other case.
// A stand-in systemctl along $PATH answers as the manager would and records
// its calls; its "start" runs the daemon as the unit does.
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
    const std::string savedPath = getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin";
    const char *savedHome = getenv("HOME");
    const std::string homeBefore = savedHome ? savedHome : "";
    setenv("HOME", home.c_str(), 1);
    setenv("PATH", (bin + ":" + savedPath).c_str(), 1);
    unsetenv("VELQOSCH_SERVICE");
    unsetenv("XDG_DATA_HOME");
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
        if (row.otherStore)
            setenv("VELQOSCH_WINDIR", windir_.c_str(), 1);
        else
            unsetenv("VELQOSCH_WINDIR");
        SC_HANDLE service = Open(SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS);
        ASSERT_NE(service, nullptr) << GetLastError();
        ASSERT_TRUE(StartServiceA(service, 0, nullptr)) << GetLastError();
        SERVICE_STATUS status{};
        EXPECT_TRUE(
            WaitFor([&] { return QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_RUNNING; }));
        std::ifstream in(calls);
        const std::string called((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(called.find("--user --quiet start velqosvc.service") != std::string::npos,
                  row.unitStarts || row.startExit != 0)
            << called;
        if (row.otherStore) {
            EXPECT_EQ(called, "");
        }
        // Only a daemon the unit did not start logs to the state folder.
        std::ifstream log(svc::StateFolder() + "/" + svc::kLogFile);
        EXPECT_EQ(log.good(), !row.unitStarts);
        ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status)) << GetLastError();
        EXPECT_TRUE(
            WaitFor([&] { return QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_STOPPED; }));
        CloseServiceHandle(service);
        std::error_code ignored;
        std::filesystem::remove_all(home, ignored);
    }
    setenv("PATH", savedPath.c_str(), 1);
    if (savedHome)
        setenv("HOME", homeBefore.c_str(), 1);
    else
        unsetenv("HOME");
    setenv("VELQOSCH_WINDIR", windir_.c_str(), 1);
}

TEST_F(ServiceControl, StartMarkerCountsOnlyWhileItsProcessLives) {
    const std::string marker = svc::StateFolder() + "/" + svc::kStartingFile;
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        pause();
        _exit(0);
    }
    ASSERT_TRUE(svc::WriteFileAtomic(marker, std::to_string(child) + "\n"));
    EXPECT_EQ(CurrentState(), DWORD(SERVICE_START_PENDING));
    SC_HANDLE service = Open(SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS);
    ASSERT_NE(service, nullptr);
    EXPECT_FALSE(StartServiceA(service, 0, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SERVICE_ALREADY_RUNNING));
    SERVICE_STATUS status{};
    EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SERVICE_CANNOT_ACCEPT_CTRL));

    kill(child, SIGKILL);
    EXPECT_TRUE(WaitFor([&] { return CurrentState() == SERVICE_STOPPED; }));  // a zombie counts as gone
    waitpid(child, nullptr, 0);
    EXPECT_EQ(CurrentState(), DWORD(SERVICE_STOPPED));
    for (const char *junk : {"", "garbage\n", "-5\n", "0\n"}) {
        ASSERT_TRUE(svc::WriteFileAtomic(marker, junk));
        EXPECT_EQ(CurrentState(), DWORD(SERVICE_STOPPED)) << junk;
    }
    CloseServiceHandle(service);
}

TEST_F(ServiceControl, SecondDaemonExitsWithAMessage) {
    StartService();
    int output[2];
    ASSERT_EQ(pipe(output), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        dup2(output[1], 2);
        execl(VELQOSVC_PATH, VELQOSVC_PATH, "--foreground", static_cast<char *>(nullptr));
        _exit(99);
    }
    close(output[1]);
    std::string text;
    char buffer[256];
    for (ssize_t n; (n = read(output[0], buffer, sizeof buffer)) > 0;) text.append(buffer, std::size_t(n));
    close(output[0]);
    int code = 0;
    ASSERT_EQ(waitpid(child, &code, 0), child);
    ASSERT_TRUE(WIFEXITED(code));
    EXPECT_EQ(WEXITSTATUS(code), 2);
    EXPECT_NE(text.find("another daemon already serves"), std::string::npos) << text;
    EXPECT_EQ(CurrentState(), DWORD(SERVICE_RUNNING));  // the first one is untouched
}

}  // namespace
}  // namespace daemon_test
