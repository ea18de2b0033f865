#include "harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

extern char **environ;

namespace trace_test {

namespace {

std::string TempDir(const char *prefix) {
    std::string pattern = std::string("/tmp/") + prefix + "-XXXXXX";
    return mkdtemp(pattern.data()) ? pattern : std::string();
}

void RemoveTree(const std::string &path) {
    std::error_code ignored;
    if (!path.empty()) std::filesystem::remove_all(path, ignored);
}

// Spawns snagtrap with stdout and stderr to files; the pid or -1.
pid_t Spawn(std::vector<std::string> args, const std::string &dir) {
    args.insert(args.begin(), VELQO_SNAGTRAP);
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, (dir + "/stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, (dir + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

int WaitExit(pid_t pid) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (int status = 0;; std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (r < 0 || std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
    }
}

}  // namespace

ScopedEnv::ScopedEnv(const char *name, const char *value) : name_(name) {
    if (const char *old = std::getenv(name)) saved_ = old;
    if (value)
        setenv(name, value, 1);
    else
        unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
    if (saved_)
        setenv(name_.c_str(), saved_->c_str(), 1);
    else
        unsetenv(name_.c_str());
}

Session::Session() : root_(TempDir("vq-trace-session")), env_("XDG_RUNTIME_DIR", root_.c_str()) {}

Session::~Session() { RemoveTree(root_); }

std::vector<std::string> Session::Files(const std::string &suffix) const {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto &entry : std::filesystem::directory_iterator(Windows(), ignored)) {
        std::string name = entry.path().filename();
        if (name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
            names.push_back(name);
    }
    return names;
}

Viewer::Viewer(std::vector<std::string> extra) : dir_(TempDir("vq-trace-viewer")) {
    std::string ready = dir_ + "/ready";
    extra.insert(extra.end(), {"--ready-file", ready});
    pid_ = Spawn(extra, dir_);
    for (int i = 0; pid_ > 0 && i < 5000 && !(ready_ = access(ready.c_str(), F_OK) == 0); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

Viewer::~Viewer() {
    Stop(SIGTERM);
    RemoveTree(dir_);
}

std::string Viewer::Output() const { return ReadFile(dir_ + "/stdout"); }

int Viewer::Stop(int signalNumber) {
    if (pid_ <= 0) return -1;
    kill(pid_, signalNumber);
    int code = WaitExit(pid_);
    pid_ = -1;
    return code;
}

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void OnNewThread(const std::function<void()> &fn) { std::thread(fn).join(); }

int RunSnagtrap(const std::vector<std::string> &args, std::string *out, std::string *err) {
    std::string dir = TempDir("vq-trace-run");
    pid_t pid = Spawn(args, dir);
    int code = pid > 0 ? WaitExit(pid) : -1;
    *out = ReadFile(dir + "/stdout");
    *err = ReadFile(dir + "/stderr");
    RemoveTree(dir);
    return code;
}

std::string MaskTimes(const std::string &text) {
    static const std::regex stamp(R"(\] \[\d{5}\.\d{3}\] )");
    return std::regex_replace(text, stamp, "] [T] ");
}

}  // namespace trace_test
