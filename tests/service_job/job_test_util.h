// Helpers of the job-file tests: fixture bytes, field-by-field comparison, a
// scratch folder (the shared one).
#pragma once

#include <gtest/gtest.h>

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

using ScratchDir = test_user::TempDir;
using test_user::AsUnprivileged;

}  // namespace jobtest
