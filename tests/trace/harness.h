// Test helpers of the trace: a private session folder per test, windows of
// this process that collect what they receive, and a real viewer process.
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

#include "runtime/runtime_test_support.h"
#include "service/platform.h"

extern char **environ;

namespace trace_test {

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

// What a window received: each message as "text" (WM_SETTEXT) or "msg:wParam:lParam".
struct Inbox {
    std::vector<std::string> lines;
    std::thread::id thread;
    LRESULT answer = TRUE;
};

inline LRESULT Collect(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, void *context) {
    auto *inbox = static_cast<Inbox *>(context);
    const std::string text = msg == WM_SETTEXT
                                 ? reinterpret_cast<const char *>(lParam)
                                 : std::to_string(msg) + ":" + std::to_string(wParam) + ":" + std::to_string(lParam);
    EXPECT_TRUE(msg != WM_SETTEXT || wParam == text.size());
    inbox->lines.push_back(text);
    inbox->thread = std::this_thread::get_id();
    if (text == "outer") SendMessageA(hwnd, WM_SETTEXT, 5, reinterpret_cast<LPARAM>("inner"));  // re-entered
    if (text == "bye") return VelqoDestroyWindow(hwnd) ? 5 : 6;
    return inbox->answer;
}

// A window that lives for the scope.
struct Window {
    Window(const char *cls, const char *title) : hwnd(VelqoCreateWindow(cls, title, Collect, &inbox)) {}
    ~Window() { VelqoDestroyWindow(hwnd); }
    Inbox inbox;
    HWND hwnd;
};

// A snagtrap process with standard output and error to files in its folder.
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
        posix_spawn_file_actions_addopen(&actions, 1, (dir_.path + "/stdout").c_str(), O_WRONLY | O_CREAT, 0600);
        posix_spawn_file_actions_addopen(&actions, 2, (dir_.path + "/stderr").c_str(), O_WRONLY | O_CREAT, 0600);
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
    // Sends the signal (none for 0) and gives the exit code, or -1 when the
    // viewer did not exit normally within ten seconds (it is killed then).
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
    TempDir dir_{"vq-trace-viewer"};
    pid_t pid_ = -1;
    bool ready_ = false;
};

}  // namespace trace_test
