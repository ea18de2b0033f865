// The one real-process fixture: a private store of the runtime's own service,
// its daemon started on demand and stopped after each test. The component
// reads the Windows directory once per thread, so the tests of a process
// share one (emptied of work items after each test; a child process started
// by RunInAnotherProcess uses its parent's); each test gets its own registry.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "common/schedule_service.h"
#include "common/unprivileged.h"

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
    struct Outcome {
        int code = -1;
        std::string out, err;
    };
    // Runs a command line with nothing on its standard input; its exit code and output.
    Outcome Run(const std::vector<std::string> &argv) const {
        std::string command;
        for (const std::string &a : argv) {
            command += " '";
            for (char c : a) command += c == '\'' ? std::string("'\\''") : std::string(1, c);
            command += "'";
        }
        const int status = std::system((command + " </dev/null >" + dir_ + "/stdout 2>" + dir_ + "/stderr").c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, test_user::ReadFile(dir_ + "/stdout"),
                test_user::ReadFile(dir_ + "/stderr")};
    }
    // Runs one test of this program in a new process on the same store; its exit status (its output when not 0).
    int RunInAnotherProcess(const std::string &test) const {
        char self[4096] = {};
        if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) return -1;
        const Outcome r = Run({"env", std::string(kParentStore) + "=" + windows_, self, "--gtest_filter=" + test});
        EXPECT_EQ(r.code, 0) << r.out << r.err;
        return r.code;
    }

    std::string dir_, windows_;
    bool child_ = false;
};

}  // namespace test_store
