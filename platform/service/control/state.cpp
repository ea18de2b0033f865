// The daemon's state as seen from any process: the lock, the state file,
// the start marker, and requests over the daemon's socket.
#include <fcntl.h>
#include <mstask.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/service/control/control.h"

namespace velqo::service {

namespace {

bool MakeFolder(const std::string &path, mode_t mode) {
    if (mkdir(path.c_str(), mode) == 0) return true;
    if (errno != EEXIST) return false;
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The first line of a small file, or empty.
std::string ReadSmallFile(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    char buffer[128];
    ssize_t n = read(fd, buffer, sizeof buffer - 1);
    close(fd);
    if (n <= 0) return {};
    std::string text(buffer, std::size_t(n));
    if (auto eol = text.find('\n'); eol != std::string::npos) text.resize(eol);
    return text;
}

long ParsePid(const std::string &text, std::string *rest) {
    char *end = nullptr;
    errno = 0;
    long pid = std::strtol(text.c_str(), &end, 10);
    if (errno || end == text.c_str() || pid <= 0) return 0;
    if (rest) *rest = *end == ' ' ? std::string(end + 1) : std::string(end);
    return pid;
}

// The process holding the daemon's lock, -1 when it is held by a process
// whose id is not visible here, or 0.
long LockHolder(const std::string &folder) {
    int fd = open((folder + "/" + kLockFile).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    long holder = 0;
    // A holder in another pid namespace shows as pid 0: held, pid unknown (-1).
    if (fcntl(fd, F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK) holder = probe.l_pid > 0 ? long(probe.l_pid) : -1;
    close(fd);
    return holder;
}

HRESULT SendRequest(const char *verb, const std::string &jobPath) noexcept {
    try {
        if (jobPath.empty() || jobPath.size() > kMaxRequestPath || jobPath.find('\n') != std::string::npos ||
            jobPath.find('\0') != std::string::npos)
            return E_INVALIDARG;
        if (QueryDaemonStatus().state != SERVICE_RUNNING) return SCHED_E_SERVICE_NOT_RUNNING;
        const std::string socketPath = StateFolder() + "/" + kSocketFile;
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (socketPath.size() >= sizeof address.sun_path) return SCHED_E_SERVICE_NOT_RUNNING;
        std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return E_OUTOFMEMORY;
        timeval limit{10, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
            close(fd);
            return SCHED_E_SERVICE_NOT_RUNNING;
        }
        const std::string line = std::string(verb) + " " + jobPath + "\n";
        std::size_t sent = 0;
        while (sent < line.size()) {
            ssize_t n = send(fd, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                close(fd);
                return SCHED_E_SERVICE_NOT_RUNNING;
            }
            sent += std::size_t(n);
        }
        std::string answer;
        char buffer[32];
        while (answer.find('\n') == std::string::npos && answer.size() < 64) {
            ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                close(fd);
                return HRESULT_FROM_WIN32(ERROR_SERVICE_REQUEST_TIMEOUT);
            }
            if (n <= 0) break;
            answer.append(buffer, std::size_t(n));
        }
        close(fd);
        // A daemon that goes away in mid-request has not answered.
        if (answer.size() != 9 || answer[8] != '\n') return SCHED_E_SERVICE_NOT_RUNNING;
        char *end = nullptr;
        unsigned long code = std::strtoul(answer.c_str(), &end, 16);
        if (end != answer.c_str() + 8) return SCHED_E_SERVICE_NOT_RUNNING;
        return HRESULT(static_cast<unsigned>(code));
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

}  // namespace

std::string TasksFolder() {
    char buffer[4096];
    UINT n = GetWindowsDirectoryA(buffer, sizeof buffer);
    if (n == 0 || n >= sizeof buffer) return {};
    std::string folder = std::string(buffer, n) + "/Tasks";
    return MakeFolder(folder, 0755) ? folder : std::string();
}

std::string StateFolder() {
    std::string tasks = TasksFolder();
    if (tasks.empty()) return {};
    std::string folder = tasks + "/.service";
    return MakeFolder(folder, 0700) ? folder : std::string();
}

bool ProcessAlive(long pid) noexcept {
    if (pid <= 0) return false;
    if (kill(pid_t(pid), 0) != 0 && errno != EPERM) return false;
    // A child nobody has reaped yet is gone for our purposes.
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%ld/stat", pid);
    FILE *f = std::fopen(path, "re");
    if (!f) return true;
    char line[512] = {};
    std::size_t n = std::fread(line, 1, sizeof line - 1, f);
    std::fclose(f);
    const char *paren = std::strrchr(line, ')');
    if (!n || !paren || paren[1] != ' ') return true;
    return paren[2] != 'Z' && paren[2] != 'X';
}

bool WriteFileAtomic(const std::string &path, const std::string &text) noexcept {
    try {
        std::string temporary = path + ".tmp." + std::to_string(getpid());
        int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) return false;
        bool ok = write(fd, text.data(), text.size()) == ssize_t(text.size());
        ok = close(fd) == 0 && ok;
        if (ok && rename(temporary.c_str(), path.c_str()) == 0) return true;
        unlink(temporary.c_str());
        return false;
    } catch (...) {
        return false;
    }
}

DaemonStatus QueryDaemonStatus() noexcept {
    DaemonStatus status;
    try {
        std::string folder = StateFolder();
        if (folder.empty()) {
            // A caller who may not create the folder can still look into it.
            std::string tasks = TasksFolder();
            if (tasks.empty()) return status;
            folder = tasks + "/.service";
        }
        if (long holder = LockHolder(folder)) {
            std::string rest;
            long pid = ParsePid(ReadSmallFile(folder + "/" + kStateFile), &rest);
            if (holder < 0) holder = pid;
            status.pid = holder;
            if (pid == holder && rest == "running")
                status.state = SERVICE_RUNNING;
            else if (pid == holder && rest == "stopping")
                status.state = SERVICE_STOP_PENDING;
            else
                status.state = SERVICE_START_PENDING;
            return status;
        }
        long spawned = ParsePid(ReadSmallFile(folder + "/" + kStartingFile), nullptr);
        if (ProcessAlive(spawned)) {
            status.state = SERVICE_START_PENDING;
            status.pid = spawned;
        }
    } catch (...) {
    }
    return status;
}

DaemonState QueryDaemon() noexcept {
    switch (QueryDaemonStatus().state) {
        case SERVICE_RUNNING:
        case SERVICE_STOP_PENDING: return DaemonState::Running;
        case SERVICE_START_PENDING: return DaemonState::StartPending;
        default: return DaemonState::Stopped;
    }
}

HRESULT RequestRun(const std::string &jobPath) noexcept { return SendRequest("RUN", jobPath); }
HRESULT RequestTerminate(const std::string &jobPath) noexcept { return SendRequest("TERM", jobPath); }

}  // namespace velqo::service
