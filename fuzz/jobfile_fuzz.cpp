// Any bytes: the parser either refuses them with its documented result or
// accepts them, and what it accepts writes out and reads back unchanged.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/service/job/jobfile.h"

using velqo::service::JobData;

namespace {

bool Same(const JobData &a, const JobData &b) {
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    JobData first;
    HRESULT hr = velqo::service::ParseJob(data, size, first);
    if (FAILED(hr)) {
        if (hr != SCHED_E_INVALID_TASK && hr != SCHED_E_UNKNOWN_OBJECT_VERSION) std::abort();
        return 0;
    }
    if (hr != S_OK) std::abort();
    std::vector<BYTE> bytes;
    if (velqo::service::SerializeJob(first, bytes) != S_OK) std::abort();
    JobData second;
    if (velqo::service::ParseJob(bytes.data(), bytes.size(), second) != S_OK) std::abort();
    if (!Same(first, second)) std::abort();
    // Written once by this service, the bytes are stable.
    std::vector<BYTE> again;
    if (velqo::service::SerializeJob(second, again) != S_OK || again != bytes) std::abort();
    return 0;
}
