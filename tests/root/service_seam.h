// Link-time stand-ins, in the scheduler test program only, for the two
// system entries that the root reaches and the tests must script: the
// creation of the service's scheduler object (CoCreateInstance) and the
// Service Control Manager. Every other system call goes to the runtime.
#pragma once

#include <string>
#include <vector>

#include "service/platform.h"

namespace seam {

struct ServiceControl {
    DWORD state = SERVICE_RUNNING;  // what QueryServiceStatus reports
    // A non-zero code makes the step fail with it as the last error.
    DWORD openManagerError = 0, openServiceError = 0, queryError = 0, startError = 0;
    // When non-zero, a successful close sets this last error (Windows leaves
    // it alone; this shows when the code is read).
    DWORD closeSetsError = 0;
    // Calls in order, e.g. "OpenSCManagerA(null,null,1)", "CloseServiceHandle(manager)".
    std::vector<std::string> calls;
    int openHandles = 0;
};
ServiceControl &Control();
void ResetControl();

// The object CoCreateInstance(CLSID_CTaskScheduler) hands out while set;
// REGDB_E_CLASSNOTREG otherwise.
void SetSchedulerObject(IUnknown *object);
// Makes the next creation fail with hr (0: none).
void FailNextCreation(HRESULT hr);

}  // namespace seam
