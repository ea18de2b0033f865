// Test helpers of the trace: a private session folder per test and a real
// viewer process.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "runtime/runtime_test_support.h"

extern char **environ;

namespace trace_test {

inline std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Runs fn on a new thread (fresh trace state) and waits for it.
inline void OnNewThread(const std::function<void()> &fn) { std::thread(fn).join(); }

// Replaces each "] [<5 digits>.<3 digits>] " stamp with "] [T] ".
inline std::string MaskTimes(const std::string &text) {
    return std::regex_replace(text, std::regex(R"(\] \[\d{5}\.\d{3}\] )"), "] [T] ");
}

// A fresh folder used as XDG_RUNTIME_DIR while the object lives.
struct Session {
    const std::string &Root() const { return dir.path; }
    std::string Windows() const { return dir.path + "/velqosch-windows"; }
    // Names in the windows folder ending in suffix.
    std::vector<std::string> Files(const std::string &suffix) const {
        std::vector<std::string> names;
        std::error_code ignored;
        for (const auto &entry : std::filesystem::directory_iterator(Windows(), ignored))
            if (std::string name = entry.path().filename(); name.ends_with(suffix)) names.push_back(name);
        return names;
    }
    TempDir dir{"vq-trace-session"};
    ScopedEnv env{"XDG_RUNTIME_DIR", dir.path.c_str()};
};

// A snagtrap process with standard output and error to files in its folder;
// Stop sends a signal and gives the exit code, or -1 when it did not exit
// normally or within ten seconds.
class Viewer {
public:
    explicit Viewer(std::vector<std::string> args = {}, bool wait = true) {
        const std::string ready = dir_.path + "/ready";
        if (wait) args.insert(args.end(), {"--ready-file", ready});
        args.insert(args.begin(), VELQO_SNAGTRAP);
        std::vector<char *> argv;
        for (auto &a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        for (int fd : {1, 2})
            posix_spawn_file_actions_addopen(&actions, fd, (dir_.path + (fd == 1 ? "/stdout" : "/stderr")).c_str(),
                                             O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        for (int i = 0; wait && pid_ > 0 && i < 5000 && !(ready_ = access(ready.c_str(), F_OK) == 0); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ~Viewer() { Stop(SIGTERM); }
    Viewer(const Viewer &) = delete;
    bool Ready() const { return ready_; }
    std::string Output() const { return ReadFile(dir_.path + "/stdout"); }
    std::string Errors() const { return ReadFile(dir_.path + "/stderr"); }
    int Stop(int signalNumber) {
        if (pid_ <= 0) return -1;
        if (signalNumber) kill(pid_, signalNumber);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        int status = 0, code = -1;
        for (pid_t r; (r = waitpid(pid_, &status, WNOHANG)) != pid_;) {
            if (r < 0 || std::chrono::steady_clock::now() > deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                return pid_ = -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (WIFEXITED(status)) code = WEXITSTATUS(status);
        pid_ = -1;
        return code;
    }

private:
    TempDir dir_{"vq-trace-viewer"};
    pid_t pid_ = -1;
    bool ready_ = false;
};

}  // namespace trace_test
