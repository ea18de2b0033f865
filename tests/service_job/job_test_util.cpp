#include "service_job/job_test_util.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace jobtest {

std::string FixturePath(const std::string &name) { return std::string(VELQO_JOB_FIXTURES) + "/" + name + ".job"; }

std::vector<BYTE> ReadBytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in) << path;
    return std::vector<BYTE>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string &path, const std::vector<BYTE> &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
    EXPECT_TRUE(out) << path;
}

std::vector<BYTE> LoadFixture(const std::string &name) { return ReadBytes(FixturePath(name)); }

bool SameJob(const velqo::service::JobData &a, const velqo::service::JobData &b) {
    if (a.triggers.size() != b.triggers.size()) return false;
    for (std::size_t i = 0; i < a.triggers.size(); ++i)
        if (std::memcmp(&a.triggers[i], &b.triggers[i], sizeof(TASK_TRIGGER)) != 0) return false;
    return a.productVersion == b.productVersion && a.fileVersion == b.fileVersion &&
           std::memcmp(&a.uuid, &b.uuid, sizeof(GUID)) == 0 && a.errorRetryCount == b.errorRetryCount &&
           a.errorRetryInterval == b.errorRetryInterval && a.idleDeadline == b.idleDeadline &&
           a.idleWait == b.idleWait && a.priority == b.priority && a.maxRunTime == b.maxRunTime &&
           a.exitCode == b.exitCode && a.status == b.status && a.flags == b.flags &&
           std::memcmp(&a.mostRecentRun, &b.mostRecentRun, sizeof(SYSTEMTIME)) == 0 &&
           a.runningInstances == b.runningInstances && a.application == b.application && a.parameters == b.parameters &&
           a.workingDirectory == b.workingDirectory && a.creator == b.creator && a.comment == b.comment &&
           a.userData == b.userData && a.startError == b.startError && a.taskFlags == b.taskFlags &&
           a.reservedTail == b.reservedTail && a.signature == b.signature;
}

bool AsUnprivileged(const std::vector<std::string> &paths, const std::function<bool()> &check) {
    constexpr uid_t kNobody = 65534;
    const bool root = ::geteuid() == 0;
    if (root)
        for (const std::string &path : paths)
            if (::chown(path.c_str(), kNobody, kNobody) != 0) return false;
    const pid_t child = ::fork();
    if (child < 0) return false;
    if (child == 0) {
        if (root && (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) ::_exit(2);
        ::_exit(check() ? 0 : 1);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (root)
        for (const std::string &path : paths) (void)::chown(path.c_str(), 0, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

ScratchDir::ScratchDir() {
    const char *base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/velqo-job-XXXXXX";
    if (::mkdtemp(tmpl.data())) path_ = tmpl;
    EXPECT_FALSE(path_.empty());
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    if (!path_.empty()) {
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ec);
        std::filesystem::remove_all(path_, ec);
    }
}

std::vector<std::string> ScratchDir::Entries() const {
    std::vector<std::string> names;
    for (const auto &e : std::filesystem::directory_iterator(path_)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace jobtest
