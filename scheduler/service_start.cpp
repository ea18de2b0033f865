#include "scheduler/service_start.h"

#include <string>

#include "trace/trace.h"

namespace velqosch {

namespace {
constexpr DWORD kVersionRecordSize = 148;
constexpr DWORD kAgentPlatform = 1;                            // the Windows 95 family
constexpr DWORD kManagerAccess = 1;                            // connect
constexpr DWORD kServiceAccess = 20;                           // query the status (4), start (16)
constexpr DWORD kRunning = 4;
constexpr DWORD kAgentCreationFlags = 0x210;                   // new console, new process group
constexpr DWORD kPathBuffer = 260;

static_assert(sizeof(OSVERSIONINFOA) == kVersionRecordSize, "the ANSI version record is 148 bytes");

LONG LastError() noexcept { return static_cast<LONG>(GetLastError()); }

// The service path. Each failure's code is read after the handles that the
// step closes before it returns.
LONG StartSchedulerService(TraceScope &trace) noexcept {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, kManagerAccess);
    if (!manager) {
        trace.Skip();
        return LastError();
    }
    SC_HANDLE service = OpenServiceA(manager, "Schedule", kServiceAccess);
    CloseServiceHandle(manager);
    if (!service) {
        trace.Skip();
        return LastError();
    }
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(service, &status)) {
        CloseServiceHandle(service);
        trace.Skip();
        return LastError();
    }
    if (status.dwCurrentState == kRunning) {
        CloseServiceHandle(service);
        trace.Skip();
        return 0;
    }
    if (!StartServiceA(service, 0, nullptr)) {
        CloseServiceHandle(service);
        trace.Skip();
        return LastError();
    }
    CloseServiceHandle(service);
    return 0;
}

// The agent path: a running agent shows its window; otherwise mstask.exe is
// looked for along the standard search order and started.
LONG StartSchedulerAgent(TraceScope &trace) noexcept {
    if (FindWindowA("SAGEWINDOWCLASS", "SYSTEM AGENT COM WINDOW")) {
        trace.Skip();
        return 0;
    }
    char buffer[kPathBuffer] = {};
    LPSTR filePart = nullptr;
    const DWORD length = SearchPathA(nullptr, "mstask.exe", nullptr, kPathBuffer, buffer, &filePart);
    if (length == 0) {
        trace.Skip();
        return LastError();
    }
    // A length past the buffer is the size the path would need; keep what fits.
    std::string path;
    try {
        path.assign(buffer, length < kPathBuffer ? length : kPathBuffer - 1);
    } catch (...) {
        trace.Skip();
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    // The start-up record is zero but for its size (68 bytes on the 32-bit
    // target). The agent takes no command line, attributes or environment.
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(path.c_str(), nullptr, nullptr, nullptr, FALSE, kAgentCreationFlags, nullptr, nullptr,
                        &startup, &process)) {
        trace.Skip();
        return LastError();
    }
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return 0;
}
}  // namespace

LONG StartScheduler() noexcept {
    // Exit lines: a failed version query, a successful service start and a
    // successful agent start. Every other way out skips it.
    TraceScope trace("Scheduler", "Function StartScheduler");
    OSVERSIONINFOA version{};
    version.dwOSVersionInfoSize = kVersionRecordSize;
    if (!GetVersionExA(&version)) return 0;
    if (version.dwPlatformId != kAgentPlatform) return StartSchedulerService(trace);
    return StartSchedulerAgent(trace);
}

}  // namespace velqosch
