// A fresh Windows directory per test, the built daemon as the service program, helpers to write items and wait
// for the daemon. What a test changes in the environment it changes through test_env::Scoped.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>
#include <windows.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "common/schedule_service.h"
#include "common/scoped_env.h"
#include "common/unprivileged.h"
#include "platform/service/control/control.h"
#include "platform/service/job/jobfile.h"

namespace daemon_test {

namespace svc = velqo::service;

inline bool WaitFor(const std::function<bool()> &done, int ms = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// The Schedule service opened with `access`; a refusal keeps its error.
inline SC_HANDLE OpenSchedule(DWORD access) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceA(manager, "Schedule", access);
    const DWORD error = GetLastError();
    CloseServiceHandle(manager);
    SetLastError(error);
    return service;
}

class DaemonTest : public ::testing::Test {
protected:
    void TearDown() override {
        // Whatever a test left running goes; a daemon that outlives its folder would serve nothing.
        const svc::DaemonStatus status = svc::QueryDaemonStatus();
        if (status.pid > 0 && status.pid != getpid()) {
            kill(pid_t(status.pid), SIGTERM);
            WaitFor([&] { return !svc::ProcessAlive(status.pid); });
        }
        std::error_code ignored;
        std::filesystem::permissions(TasksDir() + "/.service", std::filesystem::perms::owner_all, ignored);
    }

    std::string TasksDir() const { return windir_ + "/Tasks"; }
    std::string JobPath(const std::string &name) const { return TasksDir() + "/" + name + ".job"; }
    std::string LogText() const { return test_user::ReadFile(TasksDir() + "/.service/daemon.log"); }

    static svc::JobData Item(const std::u16string &application, const std::u16string &parameters) {
        svc::JobData job = svc::NewJob();
        job.application = application, job.parameters = parameters, job.maxRunTime = 0xFFFFFFFF;
        return job;
    }
    void Store(const std::string &name, const svc::JobData &job) const {
        std::filesystem::create_directories(TasksDir());
        ASSERT_EQ(svc::WriteJobFile(JobPath(name), job), S_OK);
    }
    svc::JobData Load(const std::string &name) const {
        svc::JobData job;
        EXPECT_EQ(svc::ReadJobFile(JobPath(name), job), S_OK) << name;
        return job;
    }
    svc::JobData WaitForEnd(const std::string &name, int ms = 5000) const {  // until it has run and is over
        svc::JobData job;
        EXPECT_TRUE(
            WaitFor([&] { return (job = Load(name)).mostRecentRun.wYear && job.status != SCHED_S_TASK_RUNNING; }, ms))
            << name << LogText();
        return job;
    }
    void StartService() const { ASSERT_TRUE(test_service::Start()) << LogText(); }
    void StopService() const { ASSERT_TRUE(test_service::Stop()) << LogText(); }
    static DWORD CurrentState() { return svc::QueryDaemonStatus().state; }

    test_user::TempDir dir_;  // removed after TearDown
    const std::string windir_ = dir_.path();
    test_env::Scoped windirVar_{"VELQOSCH_WINDIR", windir_}, service_{"VELQOSCH_SERVICE", VELQOSVC_PATH};
};

}  // namespace daemon_test
