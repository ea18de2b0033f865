#include "harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

extern char **environ;

namespace trace_test {

namespace {

void RemoveTree(const std::string &path) {
    if (DIR *dir = opendir(path.c_str())) {
        while (dirent *entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name == "." || name == "..") continue;
            std::string child = path + "/" + name;
            struct stat st {};
            if (lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
                chmod(child.c_str(), 0700);
                RemoveTree(child);
            } else {
                unlink(child.c_str());
            }
        }
        closedir(dir);
    }
    rmdir(path.c_str());
}

std::string TempDir(const char *prefix) {
    std::string pattern = std::string("/tmp/") + prefix + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back(0);
    return mkdtemp(buffer.data()) ? std::string(buffer.data()) : std::string();
}

// Spawns snagtrap with stdout and stderr to files; the pid or -1.
pid_t Spawn(const std::vector<std::string> &args, const std::string &out, const std::string &err) {
    std::vector<std::string> all{VELQO_SNAGTRAP};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

int WaitExit(pid_t pid, int limitMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (r < 0 || std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace

Session::Session() {
    root_ = TempDir("vq-trace-session");
    if (const char *old = std::getenv("XDG_RUNTIME_DIR")) saved_ = old;
    setenv("XDG_RUNTIME_DIR", root_.c_str(), 1);
}

Session::~Session() {
    if (saved_)
        setenv("XDG_RUNTIME_DIR", saved_->c_str(), 1);
    else
        unsetenv("XDG_RUNTIME_DIR");
    if (!root_.empty()) RemoveTree(root_);
}

std::vector<std::string> Session::Files(const std::string &suffix) const {
    std::vector<std::string> names;
    if (DIR *dir = opendir(Windows().c_str())) {
        while (dirent *entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
                names.push_back(name);
        }
        closedir(dir);
    }
    return names;
}

Viewer::Viewer(const Session &, std::vector<std::string> extra) {
    dir_ = TempDir("vq-trace-viewer");
    std::string ready = dir_ + "/ready";
    extra.push_back("--ready-file");
    extra.push_back(ready);
    pid_ = Spawn(extra, dir_ + "/stdout", dir_ + "/stderr");
    ready_ = pid_ > 0 && WaitForFile(ready, 10000);
}

Viewer::~Viewer() {
    if (pid_ > 0) Stop(SIGTERM);
    RemoveTree(dir_);
}

std::string Viewer::Output() const { return ReadFile(dir_ + "/stdout"); }

int Viewer::Stop(int signalNumber) {
    if (pid_ <= 0) return -1;
    kill(pid_, signalNumber);
    int code = WaitExit(pid_, 10000);
    pid_ = -1;
    return code;
}

void Viewer::Kill() { Stop(SIGKILL); }

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool WaitForFile(const std::string &path, int limitMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (access(path.c_str(), F_OK) != 0) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

void OnNewThread(const std::function<void()> &fn) { std::thread(fn).join(); }

int RunSnagtrap(const std::vector<std::string> &args, std::string *out, std::string *err) {
    std::string dir = TempDir("vq-trace-run");
    pid_t pid = Spawn(args, dir + "/stdout", dir + "/stderr");
    int code = pid > 0 ? WaitExit(pid, 10000) : -1;
    if (out) *out = ReadFile(dir + "/stdout");
    if (err) *err = ReadFile(dir + "/stderr");
    RemoveTree(dir);
    return code;
}

std::string MaskTimes(const std::string &text) {
    static const std::regex stamp(R"(\] \[\d{5}\.\d{3}\] )");
    return std::regex_replace(text, stamp, "] [T] ");
}

}  // namespace trace_test
