// A fresh Windows directory per test, the built daemon as the service
// program, and helpers to write items and wait for the daemon.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <functional>
#include <map>
#include <string>

#include "platform/service/control/control.h"
#include "platform/service/job/jobfile.h"

namespace daemon_test {

class DaemonTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    std::string TasksDir() const { return windir_ + "/Tasks"; }
    std::string JobPath(const std::string &name) const { return TasksDir() + "/" + name + ".job"; }
    std::string LogText() const;

    // An item running `application` with `parameters`, no trigger, no run limit.
    velqo::service::JobData Item(const std::u16string &application, const std::u16string &parameters) const;
    void Store(const std::string &name, const velqo::service::JobData &job) const;
    velqo::service::JobData Load(const std::string &name) const;

    // StartServiceA and a wait for the running state.
    void StartService();
    // SERVICE_CONTROL_STOP and a wait for the stopped state.
    void StopService();
    DWORD CurrentState() const;

    std::string windir_;
    std::map<std::string, std::string> saved_;
};

// The whole text of a file ("" when there is none).
std::string ReadText(const std::string &path);

// Polls `done` every 20 ms until it holds or `ms` pass.
bool WaitFor(const std::function<bool()> &done, int ms = 5000);

}  // namespace daemon_test
