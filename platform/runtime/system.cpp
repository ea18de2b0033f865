// System functions: the error code, directories, locale settings, clocks,
// version, path search, processes and handles.
#include <fcntl.h>
#include <langinfo.h>
#include <locale.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "internal.h"

extern char **environ;

using namespace velqo::rt;

namespace {

thread_local DWORD t_lastError = 0;

DWORD Win32FromErrno(int e) {
    switch (e) {
        case ENOENT: return ERROR_FILE_NOT_FOUND;
        case ENOTDIR: return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EROFS: return ERROR_ACCESS_DENIED;
        case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
        case EEXIST: return ERROR_ALREADY_EXISTS;
        case ENAMETOOLONG: return ERROR_INVALID_NAME;
        case ENOEXEC: return 193;  // ERROR_BAD_EXE_FORMAT
        default: return ERROR_INVALID_PARAMETER;
    }
}

// Copies text Windows-style: the length without the terminator when it fits,
// otherwise the size needed including it.
UINT CopyOut(const std::string &text, LPSTR buffer, UINT size) {
    if (!buffer || size <= text.size()) return UINT(text.size() + 1);
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return UINT(text.size());
}

// mkdir -p with mode 0700 for the parts it creates.
bool MakeDirectories(const std::string &path, int *error) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return true;
        *error = ENOTDIR;
        return false;
    }
    std::size_t slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !MakeDirectories(path.substr(0, slash), error)) return false;
    if (mkdir(path.c_str(), 0700) == 0 || errno == EEXIST) {
        if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
        *error = ENOTDIR;
        return false;
    }
    *error = errno;
    return false;
}

std::string WithoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

const char *NonEmptyEnv(const char *name) {
    const char *v = std::getenv(name);
    return v && *v ? v : nullptr;
}

}  // namespace

VQAPI DWORD GetLastError(void) { return t_lastError; }

VQAPI void SetLastError(DWORD dwErrCode) { t_lastError = dwErrCode; }

// The Windows directory of this system: $VELQOSCH_WINDIR, else
// $XDG_DATA_HOME/velqosch/windows, else ~/.local/share/velqosch/windows.
VQAPI UINT GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize) {
    std::string dir;
    if (const char *w = NonEmptyEnv("VELQOSCH_WINDIR")) {
        dir = w;
    } else if (const char *x = NonEmptyEnv("XDG_DATA_HOME"); x && x[0] == '/') {
        dir = WithoutTrailingSlashes(x) + "/velqosch/windows";
    } else if (const char *h = NonEmptyEnv("HOME")) {
        dir = WithoutTrailingSlashes(h) + "/.local/share/velqosch/windows";
    } else {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return 0;
    }
    dir = WithoutTrailingSlashes(dir);
    int error = 0;
    if (!MakeDirectories(dir, &error)) {
        SetLastError(error == ENOTDIR || error == ENOENT ? ERROR_PATH_NOT_FOUND : Win32FromErrno(error));
        return 0;
    }
    return CopyOut(dir, lpBuffer, uSize);
}

namespace {

// The numeric convention of the process: the program's own setlocale when
// it made one, otherwise LC_NUMERIC as the environment sets it.
std::string NumericItem(nl_item item, const char *fallback) {
    const char *current = setlocale(LC_NUMERIC, nullptr);
    if (current && std::strcmp(current, "C") != 0 && std::strcmp(current, "POSIX") != 0) {
        const char *v = nl_langinfo(item);
        return v && *v ? v : fallback;
    }
    locale_t env = newlocale(LC_NUMERIC_MASK, "", nullptr);
    if (!env) return fallback;
    const char *v = nl_langinfo_l(item, env);
    std::string out = v && *v ? v : fallback;
    freelocale(env);
    return out;
}

bool SameName(const char *a, const char *b) { return strcasecmp(a, b) == 0; }

// A multi-string (each entry zero-terminated, one more zero at the end) into
// the buffer, with the profile functions' truncation rule.
DWORD CopyList(const std::vector<std::string> &items, LPSTR out, DWORD size) {
    std::string all;
    for (const auto &i : items) all += i, all.push_back('\0');
    if (size < 2) {
        if (size == 1) out[0] = 0;
        return 0;
    }
    if (all.size() + 1 <= size) {
        std::memcpy(out, all.data(), all.size());
        out[all.size()] = 0;
        return DWORD(all.size());
    }
    std::memcpy(out, all.data(), size - 2);
    out[size - 2] = 0;
    out[size - 1] = 0;
    return size - 2;
}

}  // namespace

VQAPI DWORD GetProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpDefault, LPSTR lpReturnedString,
                              DWORD nSize) {
    if (!lpReturnedString || nSize == 0) return 0;
    struct Entry {
        const char *key;
        nl_item item;
        const char *fallback;
    };
    static const Entry kIntl[] = {{"sDecimal", RADIXCHAR, "."}, {"sThousand", THOUSEP, ","}};
    if (!lpAppName) return CopyList({"intl"}, lpReturnedString, nSize);
    bool intl = SameName(lpAppName, "intl");
    if (!lpKeyName) {
        std::vector<std::string> keys;
        if (intl)
            for (const auto &e : kIntl) keys.push_back(e.key);
        return CopyList(keys, lpReturnedString, nSize);
    }
    std::string value;
    bool found = false;
    if (intl) {
        for (const auto &e : kIntl) {
            if (SameName(lpKeyName, e.key)) {
                value = NumericItem(e.item, e.fallback);
                found = true;
            }
        }
    }
    if (!found) {
        // The default loses its trailing blanks.
        value = lpDefault ? lpDefault : "";
        while (!value.empty() && value.back() == ' ') value.pop_back();
    }
    DWORD n = DWORD(value.size()) < nSize - 1 ? DWORD(value.size()) : nSize - 1;
    std::memcpy(lpReturnedString, value.data(), n);
    lpReturnedString[n] = 0;
    return n;
}

namespace {
std::atomic<UINT> g_errorMode{0};
std::atomic<DWORD> g_timeOffset{0};

DWORD MonotonicMilliseconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    unsigned long long ms = (unsigned long long)ts.tv_sec * 1000ULL + (unsigned long long)ts.tv_nsec / 1000000ULL;
    return DWORD(ms) + g_timeOffset.load(std::memory_order_relaxed);
}
}  // namespace

VQAPI UINT SetErrorMode(UINT uMode) { return g_errorMode.exchange(uMode); }

VQAPI UINT timeBeginPeriod(UINT uPeriod) { return uPeriod >= 1 && uPeriod <= 1000 ? TIMERR_NOERROR : TIMERR_NOCANDO; }

VQAPI UINT timeEndPeriod(UINT uPeriod) { return uPeriod >= 1 && uPeriod <= 1000 ? TIMERR_NOERROR : TIMERR_NOCANDO; }

VQAPI DWORD timeGetTime(void) { return MonotonicMilliseconds(); }

VQAPI DWORD GetTickCount(void) { return MonotonicMilliseconds(); }

VQAPI void Sleep(DWORD dwMilliseconds) {
    timespec wait{static_cast<time_t>(dwMilliseconds / 1000), static_cast<long>(dwMilliseconds % 1000) * 1000000L};
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
}

VQAPI void VelqoSetTimeOffset(DWORD offsetMs) { g_timeOffset.store(offsetMs, std::memory_order_relaxed); }

VQAPI DWORD GetCurrentThreadId(void) { return DWORD(syscall(SYS_gettid)); }

VQAPI DWORD GetCurrentProcessId(void) { return DWORD(getpid()); }

// --- version -------------------------------------------------------------------

namespace {
std::mutex g_versionMutex;
bool g_versionEnvRead = false;
std::optional<DWORD> g_platformOverride;
}  // namespace

VQAPI void VelqoSetVersionPlatformId(DWORD platformId) {
    std::lock_guard lock(g_versionMutex);
    g_versionEnvRead = true;  // an explicit setting wins over the environment
    if (platformId)
        g_platformOverride = platformId;
    else
        g_platformOverride.reset();
}

VQAPI BOOL GetVersionExA(LPOSVERSIONINFOA info) {
    // The plain structure, or the extended one (8 more bytes, zeroed here).
    if (!info || (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA) && info->dwOSVersionInfoSize != 156)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    DWORD platform = VER_PLATFORM_WIN32_NT;
    {
        std::lock_guard lock(g_versionMutex);
        if (!g_versionEnvRead) {
            g_versionEnvRead = true;
            if (const char *v = NonEmptyEnv("VELQOSCH_PLATFORM_ID")) {
                char *end = nullptr;
                errno = 0;
                unsigned long id = std::strtoul(v, &end, 10);
                if (errno == 0 && end && *end == 0 && id <= 0xFFFFFFFFUL) g_platformOverride = DWORD(id);
            }
        }
        if (g_platformOverride) platform = *g_platformOverride;
    }
    DWORD size = info->dwOSVersionInfoSize;
    std::memset(reinterpret_cast<char *>(info) + sizeof(DWORD), 0, size - sizeof(DWORD));
    utsname u{};
    unsigned long major = 0, minor = 0, build = 0;
    if (uname(&u) == 0) std::sscanf(u.release, "%lu.%lu.%lu", &major, &minor, &build);
    info->dwMajorVersion = DWORD(major);
    info->dwMinorVersion = DWORD(minor);
    info->dwBuildNumber = DWORD(build);
    info->dwPlatformId = platform;
    return TRUE;
}

// --- path search -----------------------------------------------------------------

namespace {
bool IsRegularFile(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

std::string Absolute(const std::string &path) {
    if (!path.empty() && path[0] == '/') return path;
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd)) return path;
    std::string base = cwd;
    std::string rel = path;
    while (rel.rfind("./", 0) == 0) rel.erase(0, 2);
    return (base == "/" ? "" : base) + "/" + rel;
}
}  // namespace

VQAPI DWORD SearchPathA(LPCSTR lpPath, LPCSTR lpFileName, LPCSTR lpExtension, DWORD nBufferLength, LPSTR lpBuffer,
                        LPSTR *lpFilePart) {
    if (!lpFileName || !*lpFileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string name = lpFileName;
    // The extension is added only when the name's last component has none.
    std::size_t lastSlash = name.find_last_of('/');
    std::string last = lastSlash == std::string::npos ? name : name.substr(lastSlash + 1);
    if (lpExtension && *lpExtension && last.find('.') == std::string::npos) name += lpExtension;

    std::string found;
    if (name.find('/') != std::string::npos) {
        if (IsRegularFile(name)) found = Absolute(name);
    } else {
        std::string list = lpPath ? lpPath : (NonEmptyEnv("PATH") ? NonEmptyEnv("PATH") : "");
        std::size_t start = 0;
        while (found.empty() && start <= list.size()) {
            std::size_t end = list.find_first_of(lpPath ? ":;" : ":", start);
            if (end == std::string::npos) end = list.size();
            std::string dir = list.substr(start, end - start);
            if (dir.empty()) dir = ".";
            std::string candidate = WithoutTrailingSlashes(dir) + "/" + name;
            if (IsRegularFile(candidate)) found = Absolute(candidate);
            start = end + 1;
        }
    }
    if (found.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    if (!lpBuffer || nBufferLength <= found.size()) return DWORD(found.size() + 1);
    std::memcpy(lpBuffer, found.c_str(), found.size() + 1);
    if (lpFilePart) *lpFilePart = lpBuffer + found.find_last_of('/') + 1;
    return DWORD(found.size());
}

// --- handles and processes -------------------------------------------------------------

namespace {

std::mutex g_handleMutex;
std::set<HandleObject *> &Handles() {
    static auto *handles = new std::set<HandleObject *>;  // lives as long as the process
    return *handles;
}

// Children whose handles were closed before they ended; reaped as they end.
std::vector<pid_t> &Orphans() {
    static auto *orphans = new std::vector<pid_t>;
    return *orphans;
}

void ReapOrphans() {
    auto &orphans = Orphans();
    for (auto it = orphans.begin(); it != orphans.end();) {
        pid_t r = waitpid(*it, nullptr, WNOHANG);
        if (r == *it || (r < 0 && errno == ECHILD))
            it = orphans.erase(it);
        else
            ++it;
    }
}

struct ProcessObject : HandleObject {
    pid_t pid;
    explicit ProcessObject(pid_t p) : pid(p) {}
    ~ProcessObject() override {
        if (waitpid(pid, nullptr, WNOHANG) == 0) Orphans().push_back(pid);
    }
};

struct ThreadObject : HandleObject {
    pid_t tid;
    explicit ThreadObject(pid_t t) : tid(t) {}
};

// Splits a command line at blanks; double quotes group, and \" inside them
// is a literal quote.
std::vector<std::string> SplitCommandLine(const char *line) {
    std::vector<std::string> args;
    std::string cur;
    bool inQuotes = false, have = false;
    for (const char *p = line; *p; ++p) {
        if (*p == '\\' && p[1] == '"') {
            cur.push_back('"');
            ++p;
            have = true;
        } else if (*p == '"') {
            inQuotes = !inQuotes;
            have = true;
        } else if ((*p == ' ' || *p == '\t') && !inQuotes) {
            if (have) args.push_back(cur), cur.clear(), have = false;
        } else {
            cur.push_back(*p);
            have = true;
        }
    }
    if (have) args.push_back(cur);
    return args;
}

}  // namespace

namespace velqo::rt {

HANDLE RegisterHandle(std::unique_ptr<HandleObject> object) {
    std::lock_guard lock(g_handleMutex);
    HandleObject *raw = object.get();
    try {
        Handles().insert(raw);
    } catch (...) {
        return nullptr;
    }
    object.release();
    return raw;
}

HandleObject *LookupHandle(HANDLE handle) {
    std::lock_guard lock(g_handleMutex);
    auto it = Handles().find(static_cast<HandleObject *>(handle));
    return it == Handles().end() ? nullptr : *it;
}

}  // namespace velqo::rt

VQAPI BOOL CloseHandle(HANDLE hObject) {
    HandleObject *object = nullptr;
    {
        std::lock_guard lock(g_handleMutex);
        auto it = Handles().find(static_cast<HandleObject *>(hObject));
        if (it != Handles().end()) {
            object = *it;
            Handles().erase(it);
        }
        if (object) {
            delete object;
            ReapOrphans();
        }
    }
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

VQAPI BOOL CreateProcessA(LPCSTR lpApplicationName, LPSTR lpCommandLine, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES,
                          BOOL, DWORD dwCreationFlags, LPVOID lpEnvironment, LPCSTR lpCurrentDirectory, STARTUPINFOA *,
                          PROCESS_INFORMATION *lpProcessInformation) {
    if (!lpProcessInformation || (!lpApplicationName && !lpCommandLine)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<std::string> args = lpCommandLine ? SplitCommandLine(lpCommandLine) : std::vector<std::string>{};
    if (args.empty()) {
        if (!lpApplicationName) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        args.push_back(lpApplicationName);
    }
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    // An ANSI environment block: NAME=value entries, each zero-terminated,
    // ended by an empty one.
    std::vector<char *> envp;
    if (lpEnvironment) {
        for (char *p = static_cast<char *>(lpEnvironment); *p; p += std::strlen(p) + 1) envp.push_back(p);
        envp.push_back(nullptr);
    }

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    if (lpCurrentDirectory) posix_spawn_file_actions_addchdir_np(&actions, lpCurrentDirectory);
    short spawnFlags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    sigdelset(&all, SIGKILL);
    sigdelset(&all, SIGSTOP);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    if (dwCreationFlags & CREATE_NEW_PROCESS_GROUP) {
        spawnFlags |= POSIX_SPAWN_SETPGROUP;
        posix_spawnattr_setpgroup(&attr, 0);
    }
    posix_spawnattr_setflags(&attr, spawnFlags);
    pid_t pid = -1;
    char **env = lpEnvironment ? envp.data() : environ;
    int rc = lpApplicationName ? posix_spawn(&pid, lpApplicationName, &actions, &attr, argv.data(), env)
                               : posix_spawnp(&pid, argv[0], &actions, &attr, argv.data(), env);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        SetLastError(Win32FromErrno(rc));
        return FALSE;
    }
    HANDLE process = RegisterHandle(std::make_unique<ProcessObject>(pid));
    HANDLE thread = process ? RegisterHandle(std::make_unique<ThreadObject>(pid)) : nullptr;
    if (!thread) {
        if (process) CloseHandle(process);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    lpProcessInformation->hProcess = process;
    lpProcessInformation->hThread = thread;
    lpProcessInformation->dwProcessId = DWORD(pid);
    lpProcessInformation->dwThreadId = DWORD(pid);
    return TRUE;
}
