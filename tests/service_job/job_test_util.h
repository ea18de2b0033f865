// Helpers shared by the job-file tests: fixture bytes, field-by-field
// comparison and a scratch folder.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/service/job/jobfile.h"

namespace jobtest {

std::vector<BYTE> LoadFixture(const std::string &name);  // name without ".job"
std::string FixturePath(const std::string &name);

// Every field equal, trigger records byte for byte.
bool SameJob(const velqo::service::JobData &a, const velqo::service::JobData &b);

// A fresh folder under the temporary directory, removed with its contents.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;
    const std::string &path() const { return path_; }
    std::string File(const std::string &name) const { return path_ + "/" + name; }
    // Names in the folder, sorted.
    std::vector<std::string> Entries() const;

private:
    std::string path_;
};

// Runs `check` in a child process that permission bits bind: run as root, the
// child first gets `paths` handed to an unprivileged user and becomes that
// user. True when the check held in the child.
bool AsUnprivileged(const std::vector<std::string> &paths, const std::function<bool()> &check);

std::vector<BYTE> ReadBytes(const std::string &path);
void WriteBytes(const std::string &path, const std::vector<BYTE> &bytes);

}  // namespace jobtest
