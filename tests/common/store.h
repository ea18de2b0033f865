// The one real-process fixture: a private store of the runtime's own service,
// its daemon started on demand and stopped after each test. The component
// reads the Windows directory once per thread, so the tests of a process
// share one (emptied of work items after each test; a child process started
// by RunInAnotherProcess uses its parent's); each test gets its own registry.
#pragma once

#include <gtest/gtest.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "common/schedule_service.h"

extern char **environ;

namespace test_store {

class Store : public ::testing::Test {
protected:
    static constexpr const char *kParentStore = "VELQOSCH_TEST_STORE";
    void SetUp() override {
        char tmpl[] = "/tmp/velqosch-store-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        static const std::string windows = [] {
            if (const char *parent = std::getenv(kParentStore)) return std::string(parent);
            static char shared[] = "/tmp/velqosch-windows-XXXXXX";
            if (!mkdtemp(shared)) return std::string("/nonexistent");
            std::atexit([] { Remove(shared); });
            return std::string(shared);
        }();
        windows_ = windows;
        child_ = std::getenv(kParentStore) != nullptr;
        setenv("VELQOSCH_WINDIR", windows_.c_str(), 1);
        setenv("VELQOSCH_REGISTRY", (dir_ + "/registry").c_str(), 1);
        setenv("VELQOSCH_SERVICE", VELQO_DAEMON, 1);
    }
    void TearDown() override {
        test_service::Stop();
        Remove(dir_);
        if (!child_) Remove(windows_ + "/Tasks'/*'.job");
    }
    static void Remove(const std::string &path) {
        if (std::system(("/bin/rm -rf '" + path + "'").c_str()) != 0) ADD_FAILURE() << "could not remove " << path;
    }
    // Runs one test of this program in a new process on the same store; its exit status.
    int RunInAnotherProcess(const std::string &test) const {
        const std::string filter = "--gtest_filter=" + test, store = std::string(kParentStore) + "=" + windows_;
        char self[4096] = {};
        if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) return -1;
        std::vector<char *> env;
        for (char **e = environ; *e; ++e) env.push_back(*e);
        env.push_back(const_cast<char *>(store.c_str()));
        env.push_back(nullptr);
        char *argv[] = {self, const_cast<char *>(filter.c_str()), nullptr};
        pid_t pid = 0;
        int status = 0;
        if (posix_spawn(&pid, self, nullptr, nullptr, argv, env.data()) != 0) return -1;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string dir_, windows_;
    bool child_ = false;
};

}  // namespace test_store
