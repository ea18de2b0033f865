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
//     velqosvc --log <state folder>/daemon.log --print-pid 3
// and returns once it has detached, without waiting for it to become ready.
// Both the daemon and systemctl are started with posix_spawn, which does not
// copy the caller's memory: a large process pays nothing for a start.
//
// Null result pointers give ERROR_INVALID_PARAMETER; StartServiceA's
// arguments are checked but not passed on.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
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

// All that `fd` yields until its end, the first 4 KB kept.
std::string ReadToEnd(int fd) {
    std::string text;
    char buffer[256];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (text.size() < 4096) text.append(buffer, std::size_t(n));
    }
    return text;
}

// The process id that the first line of `text` is, whole; 0 when it is none.
pid_t PidOfFirstLine(const std::string &text) {
    const std::string line = text.substr(0, text.find('\n'));
    char *end = nullptr;
    const long value = std::strtol(line.c_str(), &end, 10);
    return end != line.c_str() && *end == '\0' && value > 0 && value <= std::numeric_limits<pid_t>::max() ? pid_t(value)
                                                                                                          : 0;
}

// posix_spawn's attributes and file actions, released with the object.
class SpawnSetup {
public:
    SpawnSetup() {
        ok_ = posix_spawnattr_init(&attributes_) == 0;
        ok_ = posix_spawn_file_actions_init(&actions_) == 0 && ok_;
    }
    ~SpawnSetup() {
        posix_spawnattr_destroy(&attributes_);
        posix_spawn_file_actions_destroy(&actions_);
    }
    SpawnSetup(const SpawnSetup &) = delete;
    SpawnSetup &operator=(const SpawnSetup &) = delete;

    // The child starts with no signal blocked and the signals a daemon or a
    // tool handles at their default, in a new session when `newSession`.
    void CleanSignals(bool newSession) {
        sigset_t none, defaults;
        sigemptyset(&none);
        sigemptyset(&defaults);
        for (int s : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGCHLD}) sigaddset(&defaults, s);
        Step(posix_spawnattr_setsigmask(&attributes_, &none));
        Step(posix_spawnattr_setsigdefault(&attributes_, &defaults));
        Step(posix_spawnattr_setflags(&attributes_, short(POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                                          (newSession ? POSIX_SPAWN_SETSID : 0))));
    }
    void Open(int fd, const char *path, int flags, mode_t mode) {
        Step(posix_spawn_file_actions_addopen(&actions_, fd, path, flags, mode));
    }
    void Dup(int from, int to) { Step(posix_spawn_file_actions_adddup2(&actions_, from, to)); }
    // Nothing of the caller's from `lowest` up reaches the child.
    void CloseFrom(int lowest) { Step(posix_spawn_file_actions_addclosefrom_np(&actions_, lowest)); }
    void ChangeFolder(const char *path) { Step(posix_spawn_file_actions_addchdir_np(&actions_, path)); }

    // Starts `argv`; 0 or the error number.
    int Spawn(char *const argv[], pid_t *child) {
        if (!ok_) return ENOMEM;
        return posix_spawn(child, argv[0], &actions_, &attributes_, argv, environ);
    }

private:
    void Step(int error) { ok_ = ok_ && error == 0; }
    posix_spawnattr_t attributes_;
    posix_spawn_file_actions_t actions_;
    bool ok_ = false;
};

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
    SpawnSetup setup;
    setup.CleanSignals(false);
    setup.Open(0, "/dev/null", O_RDONLY, 0);
    setup.Open(2, "/dev/null", O_WRONLY, 0);
    setup.Dup(out[1], 1);
    setup.CloseFrom(3);
    pid_t child = 0;
    if (setup.Spawn(argv.data(), &child) != 0) {
        close(out[0]);
        close(out[1]);
        return -1;
    }
    close(out[1]);
    const std::string text = ReadToEnd(out[0]);
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
    if (UserSystemctl({"show", "--property=MainPID", "--value", kUnitName}, &answer) == 0)
        *pid = PidOfFirstLine(answer);
    return true;
}

// Starts the daemon detached; its pid, or 0 with `error` set. The caller's
// process is not copied: velqosvc is started with posix_spawn and detaches
// itself, handing over the daemon's pid on a pipe.
pid_t SpawnDaemon(const std::string &program, const std::string &logPath, DWORD *error) {
    int channel[2];
    if (pipe2(channel, O_CLOEXEC) != 0) {
        *error = Win32FromErrno(errno);
        return 0;
    }
    std::string programCopy = program, logOption = "--log", logCopy = logPath, pidOption = "--print-pid", pidFd = "3";
    char *argv[] = {programCopy.data(), logOption.data(), logCopy.data(), pidOption.data(), pidFd.data(), nullptr};
    SpawnSetup setup;
    setup.CleanSignals(true);
    setup.Open(0, "/dev/null", O_RDONLY, 0);
    setup.Open(1, logCopy.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    setup.Dup(1, 2);
    setup.Dup(channel[1], 3);
    setup.CloseFrom(4);
    setup.ChangeFolder("/");
    pid_t child = 0;
    const int failure = setup.Spawn(argv, &child);
    close(channel[1]);
    pid_t daemon = 0;
    if (failure == 0) {
        daemon = PidOfFirstLine(ReadToEnd(channel[0]));
        int status = 0;
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        // Another daemon that took the store between the check and the start.
        if (!daemon && WIFEXITED(status) && WEXITSTATUS(status) == 2) *error = ERROR_SERVICE_ALREADY_RUNNING;
    }
    close(channel[0]);
    if (daemon > 0) return daemon;
    if (!*error) *error = Win32FromErrno(failure ? failure : ECHILD);
    return 0;
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
