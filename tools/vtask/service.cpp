#include "tools/vtask/service.h"

#ifndef _WIN32
#include <dlfcn.h>
#include <limits.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>
extern char **environ;
#endif

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace vtask {

namespace {

const char *StateWord(DWORD state) {
    switch (state) {
        case SERVICE_STOPPED: return "stopped";
        case SERVICE_START_PENDING: return "start pending";
        case SERVICE_STOP_PENDING: return "stop pending";
        case SERVICE_RUNNING: return "running";
        default: return "in an unknown state";
    }
}

std::string ErrorText(DWORD error) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "%lu", static_cast<unsigned long>(error));
    switch (error) {
        case ERROR_ACCESS_DENIED: return std::string(hex) + ", access denied";
        case ERROR_FILE_NOT_FOUND: return std::string(hex) + ", the daemon program velqosvc was not found";
        default: return std::string("error ") + hex;
    }
}

// The "Schedule" service opened with `access`; null with a message on `err`.
SC_HANDLE OpenSchedule(DWORD access, std::ostream &err) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceA(manager, "Schedule", access) : nullptr;
    const DWORD error = GetLastError();
    if (manager) CloseServiceHandle(manager);
    if (!service) err << "vtask: service: the \"Schedule\" service cannot be opened (" << ErrorText(error) << ")\n";
    return service;
}

// Polls the state every 50 ms for up to ten seconds until it is `wanted`
// or no longer pending; the last state seen.
DWORD WaitFor(SC_HANDLE service, DWORD wanted) {
    SERVICE_STATUS status{};
    for (int i = 0; i < 200; ++i) {
        if (!QueryServiceStatus(service, &status)) return 0;
        const DWORD state = status.dwCurrentState;
        // A stopping daemon reports running until it has taken the stop in.
        const bool passing = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING ||
                             (wanted == SERVICE_STOPPED && state == SERVICE_RUNNING);
        if (state == wanted || !passing) break;
        Sleep(50);
    }
    return status.dwCurrentState;
}

int Start(SC_HANDLE service, std::ostream &out, std::ostream &err) {
    if (!StartServiceA(service, 0, nullptr) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING) {
        err << "vtask: service start: " << ErrorText(GetLastError()) << "\n";
        return 1;
    }
    const DWORD state = WaitFor(service, SERVICE_RUNNING);
    out << "Schedule: " << StateWord(state) << "\n";
    if (state == SERVICE_RUNNING) return 0;
#ifndef _WIN32
    err << "vtask: service start: the daemon did not come up; see daemon.log in the Tasks folder's .service "
           "folder, or journalctl --user -u velqosvc.service\n";
#endif
    return 1;
}

#ifndef _WIN32
// Runs `systemctl --user ARGS...`; its exit status, -1 when it cannot run.
int UserSystemctl(std::initializer_list<const char *> args) {
    std::vector<char *> argv = {const_cast<char *>("systemctl"), const_cast<char *>("--user")};
    for (const char *a : args) argv.push_back(const_cast<char *>(a));
    argv.push_back(nullptr);
    pid_t child = 0;
    if (posix_spawnp(&child, "systemctl", nullptr, nullptr, argv.data(), environ) != 0) return -1;
    int status = 0;
    while (waitpid(child, &status, 0) < 0)
        if (errno != EINTR) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
#endif

int Enable(std::ostream &out, std::ostream &err) {
#ifdef _WIN32
    SC_HANDLE service = OpenSchedule(SERVICE_CHANGE_CONFIG | SERVICE_START | SERVICE_QUERY_STATUS, err);
    if (!service) return 1;
    if (!ChangeServiceConfigA(service, SERVICE_NO_CHANGE, SERVICE_AUTO_START, SERVICE_NO_CHANGE, nullptr, nullptr,
                              nullptr, nullptr, nullptr, nullptr, nullptr)) {
        err << "vtask: service enable: " << ErrorText(GetLastError()) << "\n";
        CloseServiceHandle(service);
        return 1;
    }
    out << "Schedule: starts with Windows\n";
#else
    const int status = UserSystemctl({"enable", "velqosvc.service"});
    if (status != 0) {
        err << "vtask: service enable: the user unit velqosvc.service could not be enabled (systemctl --user "
            << (status < 0 ? std::string("could not run") : "exited with " + std::to_string(status))
            << "). Without a systemd user manager, run 'vtask service start' after each login.\n";
        return 1;
    }
    const char *user = std::getenv("USER");
    out << "velqosvc.service: enabled, it starts with the first login of the session\n"
        << "For tasks that must run without a login: loginctl enable-linger " << (user && *user ? user : "USER")
        << "\n";
    SC_HANDLE service = OpenSchedule(SERVICE_START | SERVICE_QUERY_STATUS, err);
    if (!service) return 1;
#endif
    const int code = Start(service, out, err);
    CloseServiceHandle(service);
    return code;
}

}  // namespace

int ServiceCommand(const std::string &word, std::ostream &out, std::ostream &err) {
    if (word == "enable") return Enable(out, err);
    const DWORD access = word == "start"  ? SERVICE_START | SERVICE_QUERY_STATUS
                         : word == "stop" ? SERVICE_STOP | SERVICE_QUERY_STATUS
                                          : SERVICE_QUERY_STATUS;
    SC_HANDLE service = OpenSchedule(access, err);
    if (!service) return 1;
    int code = 0;
    if (word == "start") {
        code = Start(service, out, err);
    } else if (word == "stop") {
        SERVICE_STATUS status{};
        if (!ControlService(service, SERVICE_CONTROL_STOP, &status) && GetLastError() != ERROR_SERVICE_NOT_ACTIVE) {
            err << "vtask: service stop: " << ErrorText(GetLastError()) << "\n";
            code = 1;
        } else {
            const DWORD state = WaitFor(service, SERVICE_STOPPED);
            out << "Schedule: " << StateWord(state) << "\n";
            code = state == SERVICE_STOPPED ? 0 : 1;
        }
    } else {
        SERVICE_STATUS status{};
        if (QueryServiceStatus(service, &status)) {
            out << "Schedule: " << StateWord(status.dwCurrentState) << "\n";
        } else {
            err << "vtask: service status: " << ErrorText(GetLastError()) << "\n";
            code = 1;
        }
    }
    CloseServiceHandle(service);
    return code;
}

bool RegisterInstalledComponent(HRESULT hr, std::ostream &err) {
#if defined(_WIN32) || !defined(VTASK_COMPONENT_FROM_BINDIR)
    (void)hr;
    (void)err;
    return false;
#else
    if (hr != CO_E_CLASSSTRING && hr != REGDB_E_CLASSNOTREG && hr != CO_E_DLLNOTFOUND) return false;
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return false;
    std::string program(self, std::size_t(n));
    const std::string wanted = program.substr(0, program.rfind('/') + 1) + VTASK_COMPONENT_FROM_BINDIR;
    // A registration whose library is gone (CO_E_DLLNOTFOUND, as after an
    // update replaced the versioned file) is renewed the same way.
    char resolved[PATH_MAX];
    if (!realpath(wanted.c_str(), resolved)) return false;
    const std::string library = resolved;
    void *module = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) return false;
    auto entry = reinterpret_cast<HRESULT (*)()>(dlsym(module, "DllRegisterServer"));
    const HRESULT registered = entry ? entry() : E_FAIL;
    if (FAILED(registered)) {
        char code[16];
        std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(registered));
        err << "vtask: registering the installed component " << library << " failed (" << code << ")\n";
        return false;
    }
    err << "vtask: registered the installed component " << library << " for this user\n";
    return true;
#endif
}

}  // namespace vtask
