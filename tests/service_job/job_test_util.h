// Helpers of the job-file tests: fixture bytes, field-by-field comparison, a
// scratch folder.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/unprivileged.h"
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
struct ScratchDir {
    ScratchDir() {
        char pattern[] = "/tmp/velqo-job-XXXXXX";
        EXPECT_TRUE(::mkdtemp(pattern)) << pattern;
        path_ = pattern;
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
    std::string path_;
};

using test_user::AsUnprivileged;

}  // namespace jobtest
