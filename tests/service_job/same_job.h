// Every field of two items equal, trigger records byte for byte (the job-file
// tests and the fuzz target).
#pragma once

#include <cstring>

#include "platform/service/job/jobfile.h"

namespace jobtest {

inline bool SameJob(const velqo::service::JobData &a, const velqo::service::JobData &b) {
    return a.triggers.size() == b.triggers.size() &&
           (a.triggers.empty() ||
            std::memcmp(a.triggers.data(), b.triggers.data(), a.triggers.size() * sizeof(TASK_TRIGGER)) == 0) &&
           a.productVersion == b.productVersion && a.fileVersion == b.fileVersion &&
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

}  // namespace jobtest
