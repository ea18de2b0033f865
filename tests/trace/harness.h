// The trace's test helpers: the shared session folder and windows, and a real viewer process.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <thread>
#include <vector>

#include "common/trace_viewer.h"

extern char **environ;

namespace trace_test {

using test_trace::Collect, test_trace::Inbox, test_trace::Session, test_trace::Window;

// A snagtrap process with standard output and error to files in its folder.
class Viewer {
public:
    explicit Viewer(std::vector<std::string> args = {}, bool wait = true) {
        const std::string ready = dir_.path() + "/ready";
        if (wait) args.insert(args.end(), {"--ready-file", ready});
        args.insert(args.begin(), VELQO_SNAGTRAP);
        std::vector<char *> argv;
        for (auto &a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, (dir_.path() + "/stdout").c_str(), O_WRONLY | O_CREAT, 0600);
        posix_spawn_file_actions_addopen(&actions, 2, (dir_.path() + "/stderr").c_str(), O_WRONLY | O_CREAT, 0600);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        for (int i = 0; wait && pid_ > 0 && i < 5000 && !(ready_ = access(ready.c_str(), F_OK) == 0); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ~Viewer() { Stop(SIGTERM); }
    Viewer(const Viewer &) = delete;
    bool Ready() const { return ready_; }
    std::string Output() const { return ReadFile(dir_.path() + "/stdout"); }
    std::string Errors() const { return ReadFile(dir_.path() + "/stderr"); }
    // Sends the signal (none for 0) and gives the exit code, or -1 when the viewer did not exit normally within ten
    // seconds (it is killed then).
    int Stop(int signalNumber) {
        if (pid_ <= 0) return -1;
        if (signalNumber) kill(pid_, signalNumber);
        int status = 0, i = 0;
        pid_t done = 0;
        while ((done = waitpid(pid_, &status, WNOHANG)) == 0 && ++i < 2000)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (done != pid_) kill(pid_, SIGKILL), waitpid(pid_, &status, 0);
        const bool exited = done == pid_ && WIFEXITED(status);
        pid_ = -1;
        return exited ? WEXITSTATUS(status) : -1;
    }

private:
    TempDir dir_;
    pid_t pid_ = -1;
    bool ready_ = false;
};

}  // namespace trace_test
