// Helpers of the job-file tests: fixture bytes, field-by-field comparison, a
// scratch folder and a check run as an unprivileged user.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "service_job/same_job.h"

namespace jobtest {

inline std::string FixturePath(const std::string &name) {
    return std::string(VELQO_JOB_FIXTURES) + "/" + name + ".job";
}

inline std::vector<BYTE> ReadBytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in) << path;
    return std::vector<BYTE>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::vector<BYTE> LoadFixture(const std::string &name) { return ReadBytes(FixturePath(name)); }

// A fresh folder under the temporary directory, removed with its contents.
class ScratchDir {
public:
    ScratchDir() {
        const char *base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/velqo-job-XXXXXX";
        if (::mkdtemp(pattern.data())) path_ = pattern;
        EXPECT_FALSE(path_.empty());
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ec);
        std::filesystem::remove_all(path_, ec);
    }
    const std::string &path() const { return path_; }
    std::string File(const std::string &name) const { return path_ + "/" + name; }
    std::vector<std::string> Entries() const {  // sorted
        std::vector<std::string> names;
        for (const auto &e : std::filesystem::directory_iterator(path_)) names.push_back(e.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    std::string path_;
};

// Runs `check` in a child process that permission bits bind: run as root, the
// child first gets `paths` handed to an unprivileged user and becomes that
// user. True when the check held in the child.
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

}  // namespace jobtest
