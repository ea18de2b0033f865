// Helpers of the job-file tests: fixture bytes, field-by-field comparison, a
// scratch folder (the shared one).
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/unprivileged.h"
#include "service_job/same_job.h"

namespace jobtest {

inline std::string FixturePath(const std::string &name) {
    return std::string(VELQO_JOB_FIXTURES) + "/" + name + ".job";
}

inline std::vector<BYTE> LoadFixture(const std::string &name) {
    const std::string bytes = test_user::ReadFile(FixturePath(name));
    return {bytes.begin(), bytes.end()};
}

using ScratchDir = test_user::TempDir;
using test_user::AsUnprivileged;

}  // namespace jobtest
