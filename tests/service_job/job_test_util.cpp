#include "service_job/job_test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
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
