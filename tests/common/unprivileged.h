// A fresh folder of the tests' own, whole files read and written, and a check
// run in a child process that permission bits bind: run as root, the child
// first gets `paths` handed to an unprivileged user and becomes that user.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace test_user {

// A fresh folder under the temporary directory, removed with its contents
// whatever mode a test left it in.
struct TempDir {
    TempDir() {
        char pattern[] = "/tmp/velqo-test-XXXXXX";
        EXPECT_TRUE(::mkdtemp(pattern)) << pattern;
        path_ = pattern;
    }
    ~TempDir() {
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
    std::string path_;
};

// A file's whole content ("" when there is none); a file written whole.
inline std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}
inline void WriteFile(const std::string &path, const std::string &bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

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
