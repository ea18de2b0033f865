#include "daemon_support.h"

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

namespace daemon_test {

namespace svc = velqo::service;

bool WaitFor(const std::function<bool()> &done, int ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// What a test may change in the environment; TearDown puts it back.
constexpr const char *kSaved[] = {
    "TZ", "PATH", "HOME", "XDG_DATA_HOME", "VELQOSCH_WINDIR", "VELQOSCH_SERVICE", "VELQOSVC_TIME_OFFSET"};

void DaemonTest::SetUp() {
    for (const char *name : kSaved)
        if (const char *value = getenv(name)) saved_[name] = value;
    char pattern[] = "/tmp/vqsd.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    windir_ = pattern;
    setenv("VELQOSCH_WINDIR", windir_.c_str(), 1);
    setenv("VELQOSCH_SERVICE", VELQOSVC_PATH, 1);
}

void DaemonTest::TearDown() {
    // Whatever a test left running goes; a daemon that outlives its folder
    // would serve nothing.
    svc::DaemonStatus status = svc::QueryDaemonStatus();
    if (status.pid > 0 && status.pid != getpid()) {
        kill(pid_t(status.pid), SIGTERM);
        WaitFor([&] { return !svc::ProcessAlive(status.pid); }, 5000);
    }
    std::error_code ignored;
    std::filesystem::permissions(windir_ + "/Tasks/.service", std::filesystem::perms::owner_all, ignored);
    std::filesystem::remove_all(windir_, ignored);
    for (const char *name : kSaved)
        if (saved_.count(name))
            setenv(name, saved_[name].c_str(), 1);
        else
            unsetenv(name);
    tzset();
}

std::string ReadText(const std::string &path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string DaemonTest::LogText() const { return ReadText(TasksDir() + "/.service/daemon.log"); }

svc::JobData DaemonTest::Item(const std::u16string &application, const std::u16string &parameters) const {
    svc::JobData job = svc::NewJob();
    job.application = application;
    job.parameters = parameters;
    job.maxRunTime = 0xFFFFFFFF;
    return job;
}

void DaemonTest::Store(const std::string &name, const svc::JobData &job) const {
    std::filesystem::create_directories(TasksDir());
    ASSERT_EQ(svc::WriteJobFile(JobPath(name), job), S_OK);
}

svc::JobData DaemonTest::Load(const std::string &name) const {
    svc::JobData job;
    EXPECT_EQ(svc::ReadJobFile(JobPath(name), job), S_OK) << name;
    return job;
}

DWORD DaemonTest::CurrentState() const { return svc::QueryDaemonStatus().state; }

// Opens the Schedule service with `access` and applies `call` to it.
static void WithService(DWORD access, const std::function<bool(SC_HANDLE)> &call) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    ASSERT_NE(manager, nullptr);
    SC_HANDLE service = OpenServiceA(manager, "Schedule", access);
    CloseServiceHandle(manager);
    ASSERT_NE(service, nullptr) << GetLastError();
    EXPECT_TRUE(call(service)) << GetLastError();
    CloseServiceHandle(service);
}

void DaemonTest::StartService() {
    WithService(SERVICE_START, [](SC_HANDLE s) { return StartServiceA(s, 0, nullptr); });
    ASSERT_TRUE(WaitFor([&] { return CurrentState() == SERVICE_RUNNING; })) << LogText();
}

void DaemonTest::StopService() {
    SERVICE_STATUS status{};
    WithService(SERVICE_STOP, [&](SC_HANDLE s) { return ControlService(s, SERVICE_CONTROL_STOP, &status); });
    EXPECT_EQ(status.dwCurrentState, DWORD(SERVICE_STOP_PENDING));
    ASSERT_TRUE(WaitFor([&] { return CurrentState() == SERVICE_STOPPED; })) << LogText();
}

}  // namespace daemon_test
