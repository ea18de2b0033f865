// Test helpers: a private session folder per test and a real viewer process.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace trace_test {

// Sets an environment variable (null: removes it) and restores it at the end of the scope.
class ScopedEnv {
public:
    ScopedEnv(const char *name, const char *value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

private:
    std::string name_;
    std::optional<std::string> saved_;
};

// A fresh folder used as XDG_RUNTIME_DIR while the object lives.
class Session {
public:
    Session();
    ~Session();
    const std::string &Root() const { return root_; }
    std::string Windows() const { return root_ + "/velqosch-windows"; }
    // Names in the windows folder ending in suffix.
    std::vector<std::string> Files(const std::string &suffix) const;

private:
    std::string root_;
    ScopedEnv env_;
};

// A snagtrap process in the current session, standard output to a file.
class Viewer {
public:
    explicit Viewer(std::vector<std::string> extra = {});
    ~Viewer();
    Viewer(const Viewer &) = delete;
    Viewer &operator=(const Viewer &) = delete;
    bool Ready() const { return ready_; }
    std::string Output() const;
    // Sends the signal and waits; the exit code, or -1 when it did not exit
    // normally or within the limit.
    int Stop(int signalNumber);

private:
    std::string dir_;
    pid_t pid_ = -1;
    bool ready_ = false;
};

std::string ReadFile(const std::string &path);
// Runs fn on a new thread (fresh trace state) and waits for it.
void OnNewThread(const std::function<void()> &fn);
// Exit code of a snagtrap run with these arguments and output, -1 on failure.
int RunSnagtrap(const std::vector<std::string> &args, std::string *out, std::string *err);
// Replaces each "] [<5 digits>.<3 digits>] " stamp with "] [T] ".
std::string MaskTimes(const std::string &text);

}  // namespace trace_test
