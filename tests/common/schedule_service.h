// The "Schedule" service of the store the environment names, for tests that
// need it up or down: waits out a start in progress (a stop is refused while
// the service is start-pending) and gives up after five seconds.
#pragma once

#include <unistd.h>

#include "service/platform.h"

namespace test_service {

inline bool WaitFor(SC_HANDLE service, DWORD wanted) {
    SERVICE_STATUS status{};
    for (int i = 0; i < 500; ++i) {
        if (!QueryServiceStatus(service, &status)) return false;
        if (status.dwCurrentState == wanted) return true;
        usleep(10000);
    }
    return false;
}

// The service opened with `access` (and the right to query it), or null.
inline SC_HANDLE Open(DWORD access) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceA(manager, "Schedule", access | SERVICE_QUERY_STATUS) : nullptr;
    if (manager) CloseServiceHandle(manager);
    return service;
}

// Stops the service if it runs or is starting; true when it is stopped.
inline bool Stop() {
    SC_HANDLE service = Open(SERVICE_STOP);
    if (!service) return false;
    SERVICE_STATUS status{};
    for (int i = 0; i < 500 && QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED &&
                    status.dwCurrentState != SERVICE_RUNNING;
         ++i)
        usleep(10000);  // start- or stop-pending
    if (status.dwCurrentState == SERVICE_RUNNING) ControlService(service, SERVICE_CONTROL_STOP, &status);
    const bool stopped = WaitFor(service, SERVICE_STOPPED);
    CloseServiceHandle(service);
    return stopped;
}

// Starts the service unless it runs; true when it runs.
inline bool Start() {
    SC_HANDLE service = Open(SERVICE_START);
    if (!service) return false;
    SERVICE_STATUS status{};
    if (QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_STOPPED)
        StartServiceA(service, 0, nullptr);
    const bool running = WaitFor(service, SERVICE_RUNNING);
    CloseServiceHandle(service);
    return running;
}

}  // namespace test_service
