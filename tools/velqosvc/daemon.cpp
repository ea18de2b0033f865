// The daemon's event loop: one thread waiting in ppoll on the request
// socket, an inotify watch of the Tasks folder and a signalfd, woken at the
// next run time, the next run deadline or the fallback rescan, whichever
// comes first.
#include "tools/velqosvc/daemon.h"

#include <dirent.h>
#include <fcntl.h>
#include <mstask.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/service/control/control.h"
#include "platform/service/job/jobfile.h"
#include "platform/service/objects/objects_internal.h"
#include "platform/service/schedule/schedule.h"

namespace velqosvc {

namespace {

namespace svc = velqo::service;

using Millis = long long;
constexpr DWORD kNoLimit = 0xFFFFFFFF;  // a maximum run time of INFINITE

Millis MonotonicMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return Millis(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// The daemon's wall clock. $VELQOSVC_TIME_OFFSET (whole seconds, at most ten
// years either way) shifts it, so that tests can put a run time a moment ahead
// without waiting for the next minute; unset, it is the system's clock.
long ClockOffset() {
    static const long offset = [] {
        const char *text = std::getenv("VELQOSVC_TIME_OFFSET");
        if (!text || !*text) return 0L;
        char *end = nullptr;
        long v = std::strtol(text, &end, 10);
        return *end || v > 315360000L || v < -315360000L ? 0L : v;
    }();
    return offset;
}

time_t Now() { return time(nullptr) + ClockOffset(); }

// The same clock in milliseconds, for waking on time.
Millis NowMs() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (Millis(ts.tv_sec) + ClockOffset()) * 1000 + ts.tv_nsec / 1000000;
}

SYSTEMTIME LocalTime(time_t t) { return svc::WallClockAt(t); }

// The first run time of `triggers` at or after `after`, or nullopt.
std::optional<time_t> NextRun(const std::vector<TASK_TRIGGER> &triggers, DWORD flags, time_t after) {
    time_t at = 0;
    if (!svc::NextRunInstant(triggers, flags, after, &at)) return std::nullopt;
    return at;
}

std::string TaskName(const std::string &path) {
    std::string name = path.substr(path.rfind('/') + 1);
    if (name.size() > 4 && strcasecmp(name.c_str() + name.size() - 4, ".job") == 0) name.resize(name.size() - 4);
    return name;
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

std::string OwnUserName() {
    passwd entry{}, *found = nullptr;
    char buffer[4096];
    if (getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found) return found->pw_name;
    return std::to_string(getuid());
}

struct Run {
    std::string path, name;
    std::optional<Millis> deadline;  // MaxRunTime or the trigger's duration end
    const char *deadlineReason = "";
    bool ending = false;  // signalled by the daemon; recorded as terminated
    Millis killAt = 0;    // SIGKILL after the grace period
    bool killed = false;
};

class Daemon {
public:
    Daemon(const Options &options, std::FILE *log) : options_(options), log_(log) {}
    int Main();

private:
    void Log(const char *event, const std::string &task, const char *format, ...) __attribute__((format(printf, 4, 5)));
    bool Setup();
    void Loop();
    void Shutdown();
    void Scan(time_t now);
    void RunStartupTriggers();
    bool ListItems(std::vector<std::string> *paths);
    HRESULT Start(const std::string &path, const char *why, std::optional<Millis> durationEnd);
    void Reap();
    void Finish(pid_t pid, int waitStatus);
    void CheckDeadlines();
    void End(Run &run, pid_t pid, const char *reason);
    void Serve();
    std::string Answer(const std::string &line);
    bool InTasksFolder(const std::string &path);
    HRESULT AccountAllowed(const svc::JobData &job, std::string *account);
    Millis NextTimeout() const;

    Options options_;
    std::FILE *log_;
    std::string tasks_, state_, socketPath_, user_;
    int lockFd_ = -1, listenFd_ = -1, notifyFd_ = -1, signalFd_ = -1;
    std::map<pid_t, Run> runs_;
    std::map<std::string, time_t> reportedBad_;  // path -> mtime already logged
    time_t lastCheck_ = 0;
    std::optional<time_t> nextFire_;
    Millis nextRescan_ = 0;
    bool scanWanted_ = true, stopping_ = false, lockBusy_ = false;
};

void Daemon::Log(const char *event, const std::string &task, const char *format, ...) {
    char when[40];
    time_t now = Now();
    tm parts{};
    localtime_r(&now, &parts);
    strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%S%z", &parts);
    char details[1024] = {};
    va_list args;
    va_start(args, format);
    std::vsnprintf(details, sizeof details, format, args);
    va_end(args);
    std::fprintf(log_, "%s %s \"%s\"%s%s\n", when, event, task.c_str(), *details ? " " : "", details);
    std::fflush(log_);
}

bool Daemon::Setup() {
    user_ = OwnUserName();
    tasks_ = svc::TasksFolder();
    state_ = svc::StateFolder();
    if (tasks_.empty() || state_.empty()) {
        Log("service-failed", "", "cannot create the Tasks folder or its .service folder: %s", std::strerror(errno));
        return false;
    }
    lockFd_ = open((state_ + "/" + svc::kLockFile).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lockFd_ < 0) {
        Log("service-failed", "", "cannot open the lock: %s", std::strerror(errno));
        return false;
    }
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (fcntl(lockFd_, F_SETLK, &lock) != 0) {
        struct flock probe {};
        probe.l_type = F_WRLCK;
        probe.l_whence = SEEK_SET;
        long holder = fcntl(lockFd_, F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK ? long(probe.l_pid) : 0;
        Log("service-failed", "", "another daemon already serves %s (pid %ld)", tasks_.c_str(), holder);
        if (log_ != stderr)
            std::fprintf(stderr, "velqosvc: another daemon already serves %s (pid %ld)\n", tasks_.c_str(), holder);
        close(lockFd_);
        lockFd_ = -1;
        lockBusy_ = true;
        return false;
    }
    std::string pid = std::to_string(getpid()) + "\n";
    if (ftruncate(lockFd_, 0) != 0 || pwrite(lockFd_, pid.data(), pid.size(), 0) != ssize_t(pid.size()))
        Log("warning", "", "cannot write the pid into the lock: %s", std::strerror(errno));

    sigset_t handled;
    sigemptyset(&handled);
    for (int s : {SIGTERM, SIGINT, SIGCHLD, SIGHUP}) sigaddset(&handled, s);
    sigprocmask(SIG_BLOCK, &handled, nullptr);
    signal(SIGPIPE, SIG_IGN);
    signalFd_ = signalfd(-1, &handled, SFD_NONBLOCK | SFD_CLOEXEC);
    if (signalFd_ < 0) {
        Log("service-failed", "", "signalfd: %s", std::strerror(errno));
        return false;
    }
    notifyFd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (notifyFd_ < 0 ||
        inotify_add_watch(notifyFd_, tasks_.c_str(),
                          IN_CREATE | IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_ATTRIB) < 0) {
        Log("warning", "", "no change notification (%s); rescanning every %d s", std::strerror(errno),
            options_.rescanSeconds);
        if (notifyFd_ >= 0) close(notifyFd_);
        notifyFd_ = -1;
    }
    socketPath_ = state_ + "/" + svc::kSocketFile;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath_.size() >= sizeof address.sun_path) {
        Log("service-failed", "", "the request socket's path is too long: %s", socketPath_.c_str());
        return false;
    }
    std::memcpy(address.sun_path, socketPath_.c_str(), socketPath_.size() + 1);
    unlink(socketPath_.c_str());  // a dead daemon's; the lock says it is gone
    listenFd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0 || bind(listenFd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        chmod(socketPath_.c_str(), 0600) != 0 || listen(listenFd_, 16) != 0) {
        Log("service-failed", "", "cannot listen on %s: %s", socketPath_.c_str(), std::strerror(errno));
        return false;
    }
    if (!svc::WriteFileAtomic(state_ + "/" + svc::kStateFile, std::to_string(getpid()) + " running\n")) {
        Log("service-failed", "", "cannot write the state file: %s", std::strerror(errno));
        return false;
    }
    unlink((state_ + "/" + svc::kStartingFile).c_str());
    Log("service-start", "", "pid %ld tasks %s user %s", long(getpid()), tasks_.c_str(), user_.c_str());
    return true;
}

// Whether the item may run under the daemon's user: one with no stored
// account, an empty one or the daemon's own user name does; any other
// account names another user, and this daemon runs nothing as anyone else.
HRESULT Daemon::AccountAllowed(const svc::JobData &job, std::string *account) {
    std::u16string stored;
    if (!svc::ReadAccount(tasks_, job.uuid, stored)) return S_OK;
    *account = svc::ToUtf8(stored);
    return account->empty() || *account == user_ ? S_OK : E_ACCESSDENIED;
}

bool Daemon::InTasksFolder(const std::string &path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos || path.size() < 5 || strcasecmp(path.c_str() + path.size() - 4, ".job") != 0)
        return false;
    char *folder = realpath(path.substr(0, slash).c_str(), nullptr);
    char *tasks = realpath(tasks_.c_str(), nullptr);
    bool same = folder && tasks && std::strcmp(folder, tasks) == 0;
    free(folder);
    free(tasks);
    return same;
}

HRESULT Daemon::Start(const std::string &path, const char *why, std::optional<Millis> durationEnd) {
    const std::string name = TaskName(path);
    for (auto &[pid, run] : runs_)
        if (run.path == path) {
            Log("skipped", name, "already running (pid %ld); %s", long(pid), why);
            return S_OK;
        }
    svc::JobData job;
    if (HRESULT hr = svc::ReadJobFile(path, job); hr != S_OK) {
        Log("start-failed", name, "cannot read the item: 0x%08X", unsigned(hr));
        return hr;
    }
    std::string account;
    if (AccountAllowed(job, &account) != S_OK) {
        Log("refused", name, "its account \"%s\" is another user than the daemon's (\"%s\")", account.c_str(),
            user_.c_str());
        return E_ACCESSDENIED;
    }
    if (job.application.empty()) {
        Log("start-failed", name, "no application name");
        return SCHED_E_TASK_NOT_READY;
    }
    std::string program = svc::ToUtf8(job.application);
    std::vector<std::string> arguments{program};
    for (auto &a : svc::SplitCommandLine(job.parameters)) arguments.push_back(svc::ToUtf8(a));
    std::string folder = svc::ToUtf8(job.workingDirectory);
    if (folder.empty()) {
        const char *home = std::getenv("HOME");
        folder = home && *home ? home : "/";
    }
    std::vector<char *> argv;
    for (auto &a : arguments) argv.push_back(a.data());
    argv.push_back(nullptr);

    int channel[2];
    if (pipe2(channel, O_CLOEXEC) != 0) return HRESULT_FROM_WIN32(Win32FromErrno(errno));
    pid_t pid = fork();
    if (pid < 0) {
        int e = errno;
        close(channel[0]);
        close(channel[1]);
        return HRESULT_FROM_WIN32(Win32FromErrno(e));
    }
    if (pid == 0) {
        close(channel[0]);
        setpgid(0, 0);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        signal(SIGPIPE, SIG_DFL);
        int null = open("/dev/null", O_RDWR);
        if (null >= 0) {
            dup2(null, 0);
            dup2(null, 1);
            dup2(null, 2);
        }
        int failure[2] = {1, 0};
        if (chdir(folder.c_str()) == 0) {
            execvp(argv[0], argv.data());
            failure[0] = 2;
        }
        failure[1] = errno;
        (void)!write(channel[1], failure, sizeof failure);
        _exit(127);
    }
    setpgid(pid, pid);
    close(channel[1]);
    int failure[2] = {0, 0};
    ssize_t got;
    while ((got = read(channel[0], failure, sizeof failure)) < 0 && errno == EINTR) {
    }
    close(channel[0]);
    if (got == ssize_t(sizeof failure)) {
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        HRESULT hr = HRESULT_FROM_WIN32(Win32FromErrno(failure[1]));
        Log("start-failed", name, "%s %s: %s (0x%08X)", failure[0] == 1 ? "cannot enter" : "cannot run",
            failure[0] == 1 ? folder.c_str() : program.c_str(), std::strerror(failure[1]), unsigned(hr));
        if (svc::ReadJobFile(path, job) == S_OK) {
            job.startError = hr;
            svc::WriteJobFile(path, job);
        }
        return hr;
    }
    Run run;
    run.path = path;
    run.name = name;
    Millis started = MonotonicMs();
    // Re-read just before writing so an edit made meanwhile is kept.
    if (svc::ReadJobFile(path, job) == S_OK) {
        job.status = SCHED_S_TASK_RUNNING;
        job.runningInstances = WORD(std::min<int>(job.runningInstances + 1, 0xFFFF));
        job.mostRecentRun = LocalTime(Now());
        job.startError = S_OK;
        if (HRESULT hr = svc::WriteJobFile(path, job); hr != S_OK)
            Log("warning", name, "cannot record the start: 0x%08X", unsigned(hr));
    }
    if (job.maxRunTime != kNoLimit) {
        run.deadline = started + Millis(job.maxRunTime);
        run.deadlineReason = "maximum run time reached";
    }
    if (durationEnd && (!run.deadline || *durationEnd < *run.deadline)) {
        run.deadline = durationEnd;
        run.deadlineReason = "trigger duration ended";
    }
    Log("started", name, "pid %ld %s; %s", long(pid), program.c_str(), why);
    runs_.emplace(pid, std::move(run));
    return S_OK;
}

void Daemon::End(Run &run, pid_t pid, const char *reason) {
    if (run.ending) return;
    run.ending = true;
    run.killAt = MonotonicMs() + options_.killGraceMs;
    Log("terminating", run.name, "pid %ld: %s", long(pid), reason);
    killpg(pid, SIGTERM);
}

void Daemon::CheckDeadlines() {
    Millis now = MonotonicMs();
    for (auto &[pid, run] : runs_) {
        if (!run.ending && run.deadline && *run.deadline <= now) End(run, pid, run.deadlineReason);
        if (run.ending && !run.killed && run.killAt <= now) {
            run.killed = true;
            Log("killing", run.name, "pid %ld did not end within %d ms", long(pid), options_.killGraceMs);
            killpg(pid, SIGKILL);
        }
    }
}

void Daemon::Finish(pid_t pid, int waitStatus) {
    auto it = runs_.find(pid);
    if (it == runs_.end()) return;
    Run run = std::move(it->second);
    runs_.erase(it);
    if (run.ending) killpg(pid, SIGKILL);  // what an ended item left in its group goes with it
    // An exit status as the program gave it; a signal as 128 + its number.
    DWORD code = WIFEXITED(waitStatus) ? DWORD(WEXITSTATUS(waitStatus)) : DWORD(128 + WTERMSIG(waitStatus));
    svc::JobData job;
    if (HRESULT hr = svc::ReadJobFile(run.path, job); hr != S_OK) {
        Log(run.ending ? "terminated" : "exited", run.name, "code %u; the item is gone or unreadable (0x%08X)", code,
            unsigned(hr));
        return;
    }
    time_t now = Now();
    job.exitCode = code;
    job.runningInstances = job.runningInstances ? WORD(job.runningInstances - 1) : 0;
    if (run.ending) {
        job.status = SCHED_S_TASK_TERMINATED;
    } else {
        job.status = SCHED_S_TASK_READY;
        job.status = svc::ItemStatus(job, LocalTime(now));
    }
    bool noRunLeft = !NextRun(job.triggers, job.flags, now + 1);
    if ((job.flags & TASK_FLAG_DELETE_WHEN_DONE) && noRunLeft && !job.runningInstances) {
        Log(run.ending ? "terminated" : "exited", run.name, "code %u", code);
        if (HRESULT hr = svc::RemoveWorkItem(tasks_, run.path); hr == S_OK)
            Log("deleted", run.name, "no run left");
        else
            Log("warning", run.name, "cannot delete: 0x%08X", unsigned(hr));
        return;
    }
    if (HRESULT hr = svc::WriteJobFile(run.path, job); hr != S_OK)
        Log("warning", run.name, "cannot record the end: 0x%08X", unsigned(hr));
    Log(run.ending ? "terminated" : "exited", run.name, "code %u status 0x%08X", code, unsigned(job.status));
}

void Daemon::Reap() {
    for (;;) {
        int status = 0;
        pid_t pid = waitpid(-1, &status, WNOHANG);
        if (pid <= 0) return;
        Finish(pid, status);
    }
}

// The monotonic deadline of a run that a trigger's window ends.
std::optional<Millis> DurationEnd(const TASK_TRIGGER &trigger, time_t fired) {
    long long end = 0;
    if (!svc::RepetitionWindowEnd(trigger, fired, &end)) return std::nullopt;
    return MonotonicMs() + (Millis(end) - Millis(Now())) * 1000;
}

// The items the service lists: one file per name, whatever its letter case.
bool Daemon::ListItems(std::vector<std::string> *paths) {
    std::vector<std::string> files;
    if (FAILED(svc::ListItemFiles(tasks_, files))) return false;
    for (const std::string &file : files) paths->push_back(tasks_ + "/" + file);
    std::sort(paths->begin(), paths->end());
    return true;
}

void Daemon::Scan(time_t now) {
    if (now < lastCheck_) lastCheck_ = now;  // the clock went back
    nextFire_.reset();
    std::vector<std::string> paths;
    if (!ListItems(&paths)) {
        Log("warning", "", "cannot read %s: %s", tasks_.c_str(), std::strerror(errno));
        return;
    }
    std::set<std::string> present(paths.begin(), paths.end());
    for (auto it = reportedBad_.begin(); it != reportedBad_.end();)
        it = present.count(it->first) ? std::next(it) : reportedBad_.erase(it);
    for (const auto &path : paths) {
        svc::JobData job;
        if (HRESULT hr = svc::ReadJobFile(path, job); hr != S_OK) {
            struct stat st {};
            stat(path.c_str(), &st);
            auto seen = reportedBad_.find(path);
            if (seen == reportedBad_.end() || seen->second != st.st_mtime) {
                Log("invalid", TaskName(path), "cannot read the item: 0x%08X", unsigned(hr));
                reportedBad_[path] = st.st_mtime;
            }
            continue;
        }
        reportedBad_.erase(path);
        if (job.flags & TASK_FLAG_DISABLED) continue;
        // Which trigger fires, if any, within (last check, now]; and the next run after now.
        const TASK_TRIGGER *fired = nullptr;
        time_t firedAt = 0;
        for (const auto &trigger : job.triggers) {
            std::vector<TASK_TRIGGER> one{trigger};
            if (auto due = NextRun(one, job.flags, lastCheck_ + 1); due && *due <= now && (!fired || *due > firedAt)) {
                fired = &trigger;
                firedAt = *due;
            }
        }
        if (fired) Start(path, "trigger fired", DurationEnd(*fired, firedAt));
        if (auto next = NextRun(job.triggers, job.flags, now + 1); next && (!nextFire_ || *next < *nextFire_))
            nextFire_ = next;
    }
    lastCheck_ = now;
}

// Once at start: clears runs an earlier daemon left marked, and runs the
// items with a system-start or logon trigger.
void Daemon::RunStartupTriggers() {
    std::vector<std::string> paths;
    if (!ListItems(&paths)) return;
    SYSTEMTIME today = LocalTime(Now());
    auto dateKey = [](WORD y, WORD m, WORD d) { return long(y) * 10000 + m * 100 + d; };
    long todayKey = dateKey(today.wYear, today.wMonth, today.wDay);
    for (const auto &path : paths) {
        svc::JobData job;
        if (svc::ReadJobFile(path, job) != S_OK) continue;
        // A run recorded by a daemon that ended without recording its end: no
        // daemon ran anything here while this one did not hold the lock.
        if (job.status == SCHED_S_TASK_RUNNING || job.runningInstances) {
            job.runningInstances = 0;
            job.status = SCHED_S_TASK_READY;
            job.status = svc::ItemStatus(job, today);
            if (svc::WriteJobFile(path, job) == S_OK)
                Log("recovered", TaskName(path), "a run left unfinished by an earlier daemon; status 0x%08X",
                    unsigned(job.status));
        }
        if (job.flags & TASK_FLAG_DISABLED) continue;
        for (const auto &t : job.triggers) {
            bool event =
                t.TriggerType == TASK_EVENT_TRIGGER_AT_SYSTEMSTART || t.TriggerType == TASK_EVENT_TRIGGER_AT_LOGON;
            bool begun = dateKey(t.wBeginYear, t.wBeginMonth, t.wBeginDay) <= todayKey;
            bool ended =
                (t.rgFlags & TASK_TRIGGER_FLAG_HAS_END_DATE) && dateKey(t.wEndYear, t.wEndMonth, t.wEndDay) < todayKey;
            if (event && !(t.rgFlags & TASK_TRIGGER_FLAG_DISABLED) && begun && !ended) {
                Start(path, t.TriggerType == TASK_EVENT_TRIGGER_AT_LOGON ? "at logon" : "at system start",
                      std::nullopt);
                break;
            }
        }
    }
}

std::string Daemon::Answer(const std::string &line) {
    HRESULT hr = E_INVALIDARG;
    std::string path;
    bool run = line.rfind("RUN ", 0) == 0, terminate = line.rfind("TERM ", 0) == 0;
    if (run) path = line.substr(4);
    if (terminate) path = line.substr(5);
    if ((run || terminate) && !path.empty() && InTasksFolder(path)) {
        if (run) {
            hr = Start(path, "run requested", std::nullopt);
        } else {
            hr = SCHED_E_TASK_NOT_RUNNING;
            for (auto &[pid, r] : runs_)
                if (r.path == path) {
                    End(r, pid, "terminate requested");
                    hr = S_OK;
                }
        }
    } else {
        Log("bad-request", "", "%.200s", line.c_str());
    }
    char text[16];
    std::snprintf(text, sizeof text, "%08X\n", unsigned(hr));
    return text;
}

void Daemon::Serve() {
    for (;;) {
        int client = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) return;
        ucred peer{};
        socklen_t size = sizeof peer;
        if (getsockopt(client, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || (peer.uid != getuid() && peer.uid != 0)) {
            close(client);
            continue;
        }
        timeval limit{2, 0};
        setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        std::string line;
        char buffer[512];
        while (line.find('\n') == std::string::npos && line.size() <= svc::kMaxRequestPath + 8) {
            ssize_t n = recv(client, buffer, sizeof buffer, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            line.append(buffer, std::size_t(n));
        }
        if (auto eol = line.find('\n'); eol != std::string::npos) {
            line.resize(eol);
            std::string answer = Answer(line);
            (void)!send(client, answer.data(), answer.size(), MSG_NOSIGNAL);
        }
        close(client);
    }
}

Millis Daemon::NextTimeout() const {
    Millis now = MonotonicMs();
    Millis wake = nextRescan_;
    if (nextFire_) {
        Millis until = Millis(*nextFire_) * 1000 - NowMs();
        wake = std::min(wake, now + std::max<Millis>(until, 0) + 20);
    }
    for (const auto &[pid, run] : runs_) {
        if (!run.ending && run.deadline) wake = std::min(wake, *run.deadline);
        if (run.ending && !run.killed) wake = std::min(wake, run.killAt);
    }
    return std::max<Millis>(wake - now, 0);
}

void Daemon::Loop() {
    lastCheck_ = Now();
    RunStartupTriggers();
    while (!stopping_) {
        if (scanWanted_ || MonotonicMs() >= nextRescan_ || (nextFire_ && Now() >= *nextFire_)) {
            scanWanted_ = false;
            nextRescan_ = MonotonicMs() + Millis(options_.rescanSeconds) * 1000;
            Scan(Now());
        }
        CheckDeadlines();
        pollfd fds[3] = {{signalFd_, POLLIN, 0}, {listenFd_, POLLIN, 0}, {notifyFd_, POLLIN, 0}};
        Millis timeout = NextTimeout();
        timespec wait{time_t(timeout / 1000), long(timeout % 1000) * 1000000};
        int ready = ppoll(fds, notifyFd_ >= 0 ? 3 : 2, &wait, nullptr);
        if (ready < 0 && errno != EINTR) {
            Log("warning", "", "ppoll: %s", std::strerror(errno));
            continue;
        }
        if (fds[0].revents & POLLIN) {
            signalfd_siginfo info;
            while (read(signalFd_, &info, sizeof info) == ssize_t(sizeof info)) {
                if (info.ssi_signo == SIGTERM || info.ssi_signo == SIGINT) stopping_ = true;
                if (info.ssi_signo == SIGHUP) scanWanted_ = true;
            }
            Reap();
        }
        if (stopping_) break;
        if (notifyFd_ >= 0 && (fds[2].revents & POLLIN)) {
            alignas(inotify_event) char events[4096];
            while (read(notifyFd_, events, sizeof events) > 0) {
            }
            scanWanted_ = true;
        }
        if (fds[1].revents & POLLIN) Serve();
    }
}

void Daemon::Shutdown() {
    svc::WriteFileAtomic(state_ + "/" + svc::kStateFile, std::to_string(getpid()) + " stopping\n");
    if (listenFd_ >= 0) {
        close(listenFd_);
        listenFd_ = -1;
        unlink(socketPath_.c_str());
    }
    Reap();
    for (auto &[pid, run] : runs_) End(run, pid, "the service stops");
    while (!runs_.empty()) {
        CheckDeadlines();
        Millis timeout = NextTimeout();
        pollfd fd{signalFd_, POLLIN, 0};
        timespec wait{time_t(timeout / 1000), long(timeout % 1000) * 1000000};
        ppoll(&fd, 1, &wait, nullptr);
        signalfd_siginfo info;
        while (read(signalFd_, &info, sizeof info) == ssize_t(sizeof info)) {
        }
        Reap();
    }
    unlink((state_ + "/" + svc::kStateFile).c_str());
    Log("service-stop", "", "pid %ld", long(getpid()));
}

int Daemon::Main() {
    if (!Setup()) {
        if (listenFd_ >= 0) {
            close(listenFd_);
            unlink(socketPath_.c_str());
        }
        return lockBusy_ ? 2 : 1;
    }
    Loop();
    Shutdown();
    close(lockFd_);
    return 0;
}

}  // namespace

int RunDaemon(const Options &options, std::FILE *log) {
    Daemon daemon(options, log);
    return daemon.Main();
}

}  // namespace velqosvc
