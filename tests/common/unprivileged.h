// Runs a check in a child process that permission bits bind: run as root, the
// child first gets `paths` handed to an unprivileged user and becomes that user.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>
#include <vector>

namespace test_user {

// True when `check` held in the child.
inline bool AsUnprivileged(const std::vector<std::string> &paths, const std::function<bool()> &check) {
    constexpr uid_t kNobody = 65534;
    const bool root = ::geteuid() == 0;
    for (const std::string &path : paths)
        if (root && ::chown(path.c_str(), kNobody, kNobody) != 0) return false;
    const pid_t child = ::fork();
    if (child == 0) {
        if (root && (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) ::_exit(2);
        ::_exit(check() ? 0 : 1);
    }
    int status = 0;
    while (child > 0 && ::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    for (const std::string &path : paths)
        if (root) (void)::chown(path.c_str(), 0, 0);
    return child > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace test_user
