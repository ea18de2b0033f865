// Service control over the one service of this system, "Schedule", whose
// process is the velqosvc daemon.
//
// A start goes through the user's service manager when it can: the caller
// names no daemon program ($VELQOSCH_SERVICE unset), works on the user's
// default store ($HOME/.local/share/velqosch/windows, the one the unit's
// daemon serves), and `systemctl --user` (along $PATH) answers that the unit
// velqosvc.service is loaded. Then `systemctl --user start velqosvc.service`
// starts it, and the daemon outlives the session that started it. In every
// other case (no systemd, no user manager, no unit, another store, or a unit
// that does not start) the daemon is spawned as below.
//
// The daemon program is looked up in this order: $VELQOSCH_SERVICE when set
// and not empty (that path only); "velqosvc" in the folder of the module
// holding these functions (libvelqort.so); the installed velqosvc, seen from
// that folder; "velqosvc" along $PATH. A start runs it detached (its own
// session, stdin from /dev/null, stdout and stderr appended to daemon.log in
// the state folder) as
//     velqosvc --foreground --log <state folder>/daemon.log
// and returns without waiting for it to become ready.
//
// Null result pointers give ERROR_INVALID_PARAMETER; StartServiceA's
// arguments are checked but not passed on.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/service/control/control.h"

#ifndef RPC_S_SERVER_UNAVAILABLE
#define RPC_S_SERVER_UNAVAILABLE 1722L
#endif
#ifndef SERVICE_INTERROGATE
#define SERVICE_INTERROGATE 0x0080
#endif

namespace {

using velqo::service::DaemonStatus;
using velqo::service::QueryDaemonStatus;
using velqo::service::StateFolder;

constexpr DWORD kServicePauseContinue = 0x0040;
constexpr DWORD kServiceUserDefinedControl = 0x0100;
constexpr DWORD kServiceChangeConfig = 0x0002;
constexpr DWORD kDelete = 0x10000;
constexpr DWORD kGenericRead = 0x80000000, kGenericWrite = 0x40000000, kGenericExecute = 0x20000000,
                kGenericAll = 0x10000000;
// Rights that change the service: they need a state folder the caller may write.
constexpr DWORD kChangingRights =
    SERVICE_START | SERVICE_STOP | kServicePauseContinue | kServiceUserDefinedControl | kServiceChangeConfig | kDelete;

struct ScObject {
    bool service;
    DWORD access;
};

std::mutex g_handlesLock;
std::set<ScObject *> g_handles;

// The object behind a live handle of the wanted kind, or null with
// ERROR_INVALID_HANDLE set. Handles stay valid until CloseServiceHandle.
ScObject *Lookup(SC_HANDLE handle, bool service) {
    auto *object = reinterpret_cast<ScObject *>(handle);
    std::lock_guard guard(g_handlesLock);
    if (!object || !g_handles.count(object) || object->service != service) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return object;
}

SC_HANDLE NewHandle(bool service, DWORD access) {
    try {
        auto *object = new ScObject{service, access};
        std::lock_guard guard(g_handlesLock);
        g_handles.insert(object);
        return reinterpret_cast<SC_HANDLE>(object);
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

bool EqualNoCase(const char *a, const char *b) {
    for (; *a && *b; ++a, ++b)
        if (std::tolower(static_cast<unsigned char>(*a)) != std::tolower(static_cast<unsigned char>(*b))) return false;
    return *a == *b;
}

bool IsLocalMachine(const char *name) {
    if (!name || !*name) return true;
    while (*name == '\\') ++name;
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) == 0 && EqualNoCase(name, host)) return true;
    return EqualNoCase(name, "localhost") || EqualNoCase(name, ".") || EqualNoCase(name, "127.0.0.1");
}

DWORD MapServiceRights(DWORD access) {
    if (access & kGenericAll) access |= SERVICE_ALL_ACCESS;
    if (access & kGenericRead) access |= SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_INTERROGATE | 0x0008;
    if (access & kGenericWrite) access |= kServiceChangeConfig;
    if (access & kGenericExecute)
        access |= SERVICE_START | SERVICE_STOP | kServicePauseContinue | kServiceUserDefinedControl;
    return access;
}

DWORD Win32FromErrno(int e) {
    switch (e) {
        case ENOENT:
        case ENOTDIR: return ERROR_FILE_NOT_FOUND;
        case EACCES:
        case EPERM: return ERROR_ACCESS_DENIED;
        case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
        case ENOEXEC: return 193;  // ERROR_BAD_EXE_FORMAT
        default: return ERROR_INVALID_PARAMETER;
    }
}

bool Executable(const std::string &path) { return !path.empty() && access(path.c_str(), X_OK) == 0; }

// `name` in the first folder of $PATH that holds it as an executable; empty
// when none does.
std::string FindOnPath(const char *name) {
    const char *path = std::getenv("PATH");
    if (!path) return {};
    const std::string list = path;
    std::size_t begin = 0;
    while (begin <= list.size()) {
        std::size_t end = list.find(':', begin);
        if (end == std::string::npos) end = list.size();
        const std::string folder = list.substr(begin, end - begin);
        std::string candidate = (folder.empty() ? std::string(".") : folder) + "/" + name;
        if (Executable(candidate)) return candidate;
        begin = end + 1;
    }
    return {};
}

// The daemon program (see the top of this file); empty with `error` set when
// there is none.
std::string FindDaemon(DWORD *error) {
    if (const char *explicitPath = std::getenv("VELQOSCH_SERVICE"); explicitPath && *explicitPath) {
        if (access(explicitPath, X_OK) == 0) return explicitPath;
        *error = Win32FromErrno(errno);
        return {};
    }
    Dl_info info{};
    if (dladdr(reinterpret_cast<void *>(&OpenSCManagerA), &info) && info.dli_fname) {
        std::string module = info.dli_fname;
        if (auto slash = module.rfind('/'); slash != std::string::npos) {
            const std::string folder = module.substr(0, slash);
            for (const char *relative : {"velqosvc", VELQO_DAEMON_FROM_LIBDIR})
                if (std::string candidate = folder + "/" + relative; Executable(candidate)) return candidate;
        }
    }
    if (std::string candidate = FindOnPath("velqosvc"); !candidate.empty()) return candidate;
    *error = ERROR_FILE_NOT_FOUND;
    return {};
}

// --- the user unit ---------------------------------------------------------------

constexpr const char *kUnitName = "velqosvc.service";

// Runs `systemctl --user ARGS` with stdin and stderr on /dev/null and
// returns its exit status (-1 when it could not be run) and the first line
// of its output.
int UserSystemctl(std::vector<std::string> args, std::string *firstLine) {
    const std::string program = FindOnPath("systemctl");
    if (program.empty()) return -1;
    args.insert(args.begin(), {program, "--user", "--quiet"});
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return -1;
    const pid_t child = fork();
    if (child < 0) {
        close(out[0]);
        close(out[1]);
        return -1;
    }
    if (child == 0) {
        int null = open("/dev/null", O_RDWR);
        if (null >= 0) {
            dup2(null, 0);
            dup2(null, 2);
        }
        dup2(out[1], 1);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        syscall(SYS_close_range, 3u, ~0u, 4u /* CLOSE_RANGE_CLOEXEC */);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    std::string text;
    char buffer[256];
    for (;;) {
        const ssize_t n = read(out[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (text.size() < 4096) text.append(buffer, std::size_t(n));
    }
    close(out[0]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    if (firstLine) *firstLine = text.substr(0, text.find('\n'));
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Whether the caller works on the store the unit's daemon serves: the user's
// default one, as the user's service manager (without the caller's
// VELQOSCH_WINDIR or XDG_DATA_HOME) finds it.
bool UnitServesTheStore(const std::string &stateFolder) {
    const char *explicitProgram = std::getenv("VELQOSCH_SERVICE");
    const char *home = std::getenv("HOME");
    if ((explicitProgram && *explicitProgram) || !home || *home != '/') return false;
    std::string expected = home;
    while (expected.size() > 1 && expected.back() == '/') expected.pop_back();
    expected += "/.local/share/velqosch/windows/Tasks/.service";
    return stateFolder == expected;
}

// Starts the daemon through the user unit (see the top of this file); true
// when the unit started, with its main process in `pid` (0 when the
// manager did not say).
bool StartUserUnit(const std::string &stateFolder, pid_t *pid) {
    *pid = 0;
    std::string answer;
    if (!UnitServesTheStore(stateFolder) ||
        UserSystemctl({"show", "--property=LoadState", "--value", kUnitName}, &answer) != 0 || answer != "loaded" ||
        UserSystemctl({"start", kUnitName}, nullptr) != 0)
        return false;
    if (UserSystemctl({"show", "--property=MainPID", "--value", kUnitName}, &answer) == 0) {
        char *end = nullptr;
        const long value = std::strtol(answer.c_str(), &end, 10);
        if (end != answer.c_str() && *end == '\0' && value > 0) *pid = pid_t(value);
    }
    return true;
}

struct SpawnMessage {
    int kind;  // 1: the daemon's pid; 2: errno of a failed exec or fork
    int value;
};

// Starts the daemon detached; its pid, or 0 with `error` set.
pid_t SpawnDaemon(const std::string &program, const std::string &logPath, DWORD *error) {
    std::string foreground = "--foreground", logOption = "--log";
    std::string programCopy = program, logCopy = logPath;
    char *argv[] = {programCopy.data(), foreground.data(), logOption.data(), logCopy.data(), nullptr};
    int channel[2];
    if (pipe2(channel, O_CLOEXEC) != 0) {
        *error = Win32FromErrno(errno);
        return 0;
    }
    pid_t child = fork();
    if (child < 0) {
        *error = Win32FromErrno(errno);
        close(channel[0]);
        close(channel[1]);
        return 0;
    }
    if (child == 0) {
        close(channel[0]);
        setsid();
        pid_t daemon = fork();
        if (daemon != 0) {
            SpawnMessage m{daemon > 0 ? 1 : 2, daemon > 0 ? int(daemon) : errno};
            (void)!write(channel[1], &m, sizeof m);
            _exit(0);
        }
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int s : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGCHLD}) signal(s, SIG_DFL);
        int null = open("/dev/null", O_RDWR);
        int log = open(logCopy.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (null >= 0) dup2(null, 0);
        if (log >= 0) {
            dup2(log, 1);
            dup2(log, 2);
        } else if (null >= 0) {
            dup2(null, 1);
            dup2(null, 2);
        }
        // Nothing of the caller's but the three standard streams reaches the daemon.
        syscall(SYS_close_range, 3u, ~0u, 4u /* CLOSE_RANGE_CLOEXEC */);
        (void)!chdir("/");
        execv(programCopy.c_str(), argv);
        SpawnMessage m{2, errno};
        (void)!write(channel[1], &m, sizeof m);
        _exit(127);
    }
    close(channel[1]);
    int ignored = 0;
    while (waitpid(child, &ignored, 0) < 0 && errno == EINTR) {
    }
    pid_t daemon = 0;
    int failure = 0;
    SpawnMessage m{};
    for (;;) {
        ssize_t n = read(channel[0], &m, sizeof m);
        if (n < 0 && errno == EINTR) continue;
        if (n != ssize_t(sizeof m)) break;
        if (m.kind == 1) daemon = m.value;
        if (m.kind == 2) failure = m.value;
    }
    close(channel[0]);
    if (failure || daemon <= 0) {
        *error = Win32FromErrno(failure ? failure : ECHILD);
        return 0;
    }
    return daemon;
}

void FillStatus(const DaemonStatus &daemon, LPSERVICE_STATUS status) {
    *status = SERVICE_STATUS{};
    status->dwServiceType = SERVICE_WIN32_SHARE_PROCESS;
    status->dwCurrentState = daemon.state;
    status->dwControlsAccepted = daemon.state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    bool pending = daemon.state == SERVICE_START_PENDING || daemon.state == SERVICE_STOP_PENDING;
    status->dwWaitHint = pending ? 2000 : 0;
}

// Whether the caller may create and change the daemon's state files.
bool MayChangeService() {
    std::string folder = StateFolder();
    return !folder.empty() && faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

}  // namespace

VQAPI SC_HANDLE OpenSCManagerA(LPCSTR lpMachineName, LPCSTR lpDatabaseName, DWORD dwDesiredAccess) {
    if (!IsLocalMachine(lpMachineName)) {
        SetLastError(RPC_S_SERVER_UNAVAILABLE);
        return nullptr;
    }
    if (lpDatabaseName && !EqualNoCase(lpDatabaseName, "ServicesActive")) {
        SetLastError(ERROR_DATABASE_DOES_NOT_EXIST);
        return nullptr;
    }
    DWORD access = dwDesiredAccess;
    if (access & (kGenericAll | kGenericRead | kGenericWrite | kGenericExecute)) access |= SC_MANAGER_CONNECT;
    return NewHandle(false, access);
}

VQAPI SC_HANDLE OpenServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, DWORD dwDesiredAccess) {
    ScObject *manager = Lookup(hSCManager, false);
    if (!manager) return nullptr;
    if (!(manager->access & SC_MANAGER_CONNECT)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    if (!lpServiceName || !*lpServiceName) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    if (!EqualNoCase(lpServiceName, "Schedule")) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    DWORD access = MapServiceRights(dwDesiredAccess);
    if ((access & kChangingRights) && !MayChangeService()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return NewHandle(true, access);
}

VQAPI BOOL QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus) {
    ScObject *service = Lookup(hService, true);
    if (!service) return FALSE;
    if (!(service->access & SERVICE_QUERY_STATUS)) return Fail(ERROR_ACCESS_DENIED);
    if (!lpServiceStatus) return Fail(ERROR_INVALID_PARAMETER);
    FillStatus(QueryDaemonStatus(), lpServiceStatus);
    return TRUE;
}

VQAPI BOOL StartServiceA(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCSTR *lpServiceArgVectors) {
    ScObject *service = Lookup(hService, true);
    if (!service) return FALSE;
    if (!(service->access & SERVICE_START)) return Fail(ERROR_ACCESS_DENIED);
    if (dwNumServiceArgs && !lpServiceArgVectors) return Fail(ERROR_INVALID_PARAMETER);
    try {
        const std::string folder = StateFolder();
        if (folder.empty()) return Fail(ERROR_ACCESS_DENIED);
        // One start at a time across processes: the check and the marker belong together.
        int control =
            open((folder + "/" + velqo::service::kControlLockFile).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (control < 0) return Fail(Win32FromErrno(errno));
        while (flock(control, LOCK_EX) != 0 && errno == EINTR) {
        }
        DWORD error = 0;
        if (QueryDaemonStatus().state != SERVICE_STOPPED) {
            error = ERROR_SERVICE_ALREADY_RUNNING;
        } else if (pid_t pid = 0; StartUserUnit(folder, &pid)) {
            if (pid > 0)
                velqo::service::WriteFileAtomic(folder + "/" + velqo::service::kStartingFile,
                                                std::to_string(pid) + "\n");
        } else if (std::string program = FindDaemon(&error); !program.empty()) {
            pid_t pid = SpawnDaemon(program, folder + "/" + velqo::service::kLogFile, &error);
            if (pid > 0 && !velqo::service::WriteFileAtomic(folder + "/" + velqo::service::kStartingFile,
                                                            std::to_string(pid) + "\n"))
                error = ERROR_ACCESS_DENIED;  // the daemon starts anyway; its lock shows it soon
        }
        close(control);
        if (error) return Fail(error);
        return TRUE;
    } catch (...) {
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
}

VQAPI BOOL ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus) {
    ScObject *service = Lookup(hService, true);
    if (!service) return FALSE;
    DWORD needed = dwControl == SERVICE_CONTROL_STOP          ? SERVICE_STOP
                   : dwControl == SERVICE_CONTROL_INTERROGATE ? SERVICE_INTERROGATE
                   : dwControl >= 128 && dwControl <= 255     ? kServiceUserDefinedControl
                                                              : kServicePauseContinue;
    if (!(service->access & needed)) return Fail(ERROR_ACCESS_DENIED);
    if (!lpServiceStatus) return Fail(ERROR_INVALID_PARAMETER);
    DaemonStatus daemon = QueryDaemonStatus();
    if (daemon.state == SERVICE_STOPPED) return Fail(ERROR_SERVICE_NOT_ACTIVE);
    if (daemon.state != SERVICE_RUNNING || daemon.pid <= 0) return Fail(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
    switch (dwControl) {
        case SERVICE_CONTROL_INTERROGATE: FillStatus(daemon, lpServiceStatus); return TRUE;
        case SERVICE_CONTROL_STOP:
            if (kill(pid_t(daemon.pid), SIGTERM) != 0) return Fail(ERROR_SERVICE_NOT_ACTIVE);
            daemon.state = SERVICE_STOP_PENDING;
            FillStatus(daemon, lpServiceStatus);
            return TRUE;
        default: return Fail(ERROR_INVALID_SERVICE_CONTROL);
    }
}

VQAPI BOOL CloseServiceHandle(SC_HANDLE hSCObject) {
    auto *object = reinterpret_cast<ScObject *>(hSCObject);
    {
        std::lock_guard guard(g_handlesLock);
        if (!object || !g_handles.erase(object)) return Fail(ERROR_INVALID_HANDLE);
    }
    delete object;
    return TRUE;
}
