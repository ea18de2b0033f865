// The daemon's event loop: one thread waiting in ppoll on a signalfd (stop,
// rescan, ended children), the request socket and its clients, and an
// inotify watch of the Tasks folder, woken at the next run time, the next
// run deadline or the fallback rescan, whichever comes first. Nothing in it
// waits on one run or on the disk: a program is spawned (the loop waits only
// for its exec, not for the program), ended children are reaped as their
// signal arrives, and what is to be recorded in the items' files goes
// to the recorder thread. The items' schedules are kept in memory, ordered by their
// next run time; a file is read again only when it changes.
#include "tools/velqosvc/daemon.h"

#include <fcntl.h>
#include <mstask.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/service/control/control.h"
#include "platform/service/job/jobfile.h"
#include "platform/service/objects/objects_internal.h"
#include "platform/service/schedule/schedule.h"
#include "tools/velqosvc/recorder.h"

namespace velqosvc {

namespace {

namespace svc = velqo::service;

using Millis = long long;
constexpr DWORD kNoLimit = 0xFFFFFFFF;  // a maximum run time of INFINITE
constexpr Millis kClientMs = 2000;      // a request line must arrive within this
constexpr std::size_t kMaxClients = 64;
constexpr int kStartsPerTurn = 64;

Millis MonotonicMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return Millis(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// The daemon's clock in milliseconds, for waking on time.
Millis NowMs() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (Millis(ts.tv_sec) + ClockOffset()) * 1000 + ts.tv_nsec / 1000000;
}

// The first run time of `triggers` at or after `after`, or 0 for none.
time_t NextRun(const std::vector<TASK_TRIGGER> &triggers, DWORD flags, time_t after) {
    time_t at = 0;
    return svc::NextRunInstant(triggers, flags, after, &at) ? at : 0;
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

// What tells a changed file from the one read last.
struct Identity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = -1;
    timespec modified{}, changed{};
    bool operator==(const Identity &o) const {
        return device == o.device && inode == o.inode && size == o.size && modified.tv_sec == o.modified.tv_sec &&
               modified.tv_nsec == o.modified.tv_nsec && changed.tv_sec == o.changed.tv_sec &&
               changed.tv_nsec == o.changed.tv_nsec;
    }
};

// One stored item as the schedule needs it.
struct Item {
    Identity identity;
    DWORD flags = 0;
    std::vector<TASK_TRIGGER> triggers;
    time_t next = 0;  // the next run time; 0: none
};

// What a run is of: the item's file and name, its program, why it runs.
struct RunTarget {
    std::string path, name, program;
    const char *why = "";
};

struct Run : RunTarget {
    Millis deadline = 0;  // MaxRunTime or the trigger's duration end; 0: none
    const char *deadlineReason = "";
    bool ending = false;  // signalled by the daemon; recorded as terminated
    Millis timer = 0;     // the entry of this run in the timers, 0: none
};

struct Client {
    int fd;
    Millis deadline;
    std::string line;
};

// A run about to start: everything the program needs, read from the item on
// the loop's thread; then the spawn's outcome.
struct Launch : RunTarget {
    std::string folder;
    std::vector<std::string> arguments;
    Millis durationEnd = 0;
    DWORD maxRunTime = kNoLimit;
    pid_t pid = -1;
    int error = 0;  // errno of a spawn that failed
};

// Starts the launch's program in a process group of its own, with no signal
// blocked or ignored, on /dev/null, in its folder. Returns once the program
// runs (or could not run). Touches nothing but the launch, so that several
// threads can spawn at once.
void Spawn(Launch &launch) {
    std::vector<char *> argv;
    for (auto &a : launch.arguments) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDWR, 0);
    posix_spawn_file_actions_adddup2(&actions, 0, 1);
    posix_spawn_file_actions_adddup2(&actions, 0, 2);
    posix_spawn_file_actions_addchdir_np(&actions, launch.folder.c_str());
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    launch.error = posix_spawnp(&launch.pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
}

// Spawns every launch of a turn. A spawn waits for the program's exec, which
// runs on another core; a few threads spawning side by side keep the cores
// busy, where one alone waits for each exec in turn.
void SpawnAll(std::vector<Launch> &launches) {
    const long cores = sysconf(_SC_NPROCESSORS_ONLN);
    const std::size_t threads = std::min<std::size_t>(launches.size(), std::clamp<long>(cores, 2, 4));
    std::atomic<std::size_t> next{0};
    auto work = [&] {
        for (std::size_t i; (i = next++) < launches.size();) Spawn(launches[i]);
    };
    std::vector<std::thread> helpers;
    try {
        for (std::size_t i = 1; i < threads; ++i) helpers.emplace_back(work);
    } catch (const std::system_error &) {
        // No thread to spare: this one spawns the rest.
    }
    work();
    for (auto &helper : helpers) helper.join();
}

class Daemon {
public:
    Daemon(const Options &options, std::FILE *log) : options_(options), log_(log) {}
    int Main();

private:
    bool Setup();
    void Loop();
    void Shutdown();
    void ReadSignals();
    void ReadChanges(std::set<std::string> *names, bool *all);
    void Refresh(const std::set<std::string> &names, bool all);
    void Load(const std::string &path, Item &item, bool startup);
    void Schedule(const std::string &path, Item &item, time_t next);
    void FireDue();
    void Startup(const std::string &path, const svc::JobData &job);
    HRESULT Prepare(const std::string &path, const char *why, Millis durationEnd, std::vector<Launch> &launches);
    HRESULT Finish(Launch &launch);
    HRESULT Start(const std::string &path, const char *why, Millis durationEnd);
    void Reap();
    void SetTimer(pid_t pid, Run &run, Millis when);
    void OnTimers();
    void End(pid_t pid, Run &run, const char *reason);
    void Accept();
    bool ReadClient(Client &client);
    std::string Answer(const std::string &line);
    bool InTasksFolder(const std::string &path);
    HRESULT AccountAllowed(const svc::JobData &job, std::string *account);
    Millis NextTimeout() const;

    Options options_;
    std::FILE *log_;
    std::string tasks_, state_, socketPath_, user_;
    int lockFd_ = -1, listenFd_ = -1, notifyFd_ = -1, signalFd_ = -1;
    std::unique_ptr<Recorder> recorder_;
    std::map<std::string, Item> items_;
    std::set<std::pair<time_t, const std::string *>> schedule_;  // (next run, item path)
    std::map<pid_t, Run> runs_;
    std::unordered_map<std::string, pid_t> running_;  // item path -> its run
    std::set<std::pair<Millis, pid_t>> timers_;       // (monotonic deadline, run)
    std::vector<Client> clients_;
    time_t lastCheck_ = 0;  // run times up to this one have been started
    Millis nextRescan_ = 0;
    bool rescanWanted_ = false, stopping_ = false, lockBusy_ = false, moreDue_ = false;
};

bool Daemon::Setup() {
    user_ = OwnUserName();
    tasks_ = svc::TasksFolder();
    state_ = svc::StateFolder();
    if (tasks_.empty() || state_.empty()) {
        LogLine(log_, "service-failed", "", "cannot create the Tasks folder or its .service folder: %s",
                std::strerror(errno));
        return false;
    }
    lockFd_ = open((state_ + "/" + svc::kLockFile).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lockFd_ < 0) {
        LogLine(log_, "service-failed", "", "cannot open the lock: %s", std::strerror(errno));
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
        LogLine(log_, "service-failed", "", "another daemon already serves %s (pid %ld)", tasks_.c_str(), holder);
        if (log_ != stderr)
            std::fprintf(stderr, "velqosvc: another daemon already serves %s (pid %ld)\n", tasks_.c_str(), holder);
        close(lockFd_);
        lockFd_ = -1;
        lockBusy_ = true;
        return false;
    }
    std::string pid = std::to_string(getpid()) + "\n";
    if (ftruncate(lockFd_, 0) != 0 || pwrite(lockFd_, pid.data(), pid.size(), 0) != ssize_t(pid.size()))
        LogLine(log_, "warning", "", "cannot write the pid into the lock: %s", std::strerror(errno));

    sigset_t handled;
    sigemptyset(&handled);
    for (int s : {SIGTERM, SIGINT, SIGCHLD, SIGHUP}) sigaddset(&handled, s);
    sigprocmask(SIG_BLOCK, &handled, nullptr);
    signal(SIGPIPE, SIG_IGN);
    signalFd_ = signalfd(-1, &handled, SFD_NONBLOCK | SFD_CLOEXEC);
    if (signalFd_ < 0) {
        LogLine(log_, "service-failed", "", "signalfd: %s", std::strerror(errno));
        return false;
    }
    notifyFd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (notifyFd_ < 0 ||
        inotify_add_watch(notifyFd_, tasks_.c_str(),
                          IN_CREATE | IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_ATTRIB) < 0) {
        LogLine(log_, "warning", "", "no change notification (%s); rescanning every %d s", std::strerror(errno),
                options_.rescanSeconds);
        if (notifyFd_ >= 0) close(notifyFd_);
        notifyFd_ = -1;
    }
    socketPath_ = state_ + "/" + svc::kSocketFile;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath_.size() >= sizeof address.sun_path) {
        LogLine(log_, "service-failed", "", "the request socket's path is too long: %s", socketPath_.c_str());
        return false;
    }
    std::memcpy(address.sun_path, socketPath_.c_str(), socketPath_.size() + 1);
    unlink(socketPath_.c_str());  // a dead daemon's; the lock says it is gone
    listenFd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0 || bind(listenFd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        chmod(socketPath_.c_str(), 0600) != 0 || listen(listenFd_, 16) != 0) {
        LogLine(log_, "service-failed", "", "cannot listen on %s: %s", socketPath_.c_str(), std::strerror(errno));
        return false;
    }
    if (!svc::WriteFileAtomic(state_ + "/" + svc::kStateFile, std::to_string(getpid()) + " running\n")) {
        LogLine(log_, "service-failed", "", "cannot write the state file: %s", std::strerror(errno));
        return false;
    }
    unlink((state_ + "/" + svc::kStartingFile).c_str());
    LogLine(log_, "service-start", "", "pid %ld tasks %s user %s", long(getpid()), tasks_.c_str(), user_.c_str());
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

// Reads what the item's run needs and adds it to `launches`; refuses (and
// logs) an item that is running, unreadable, of another account or without a
// program. A turn prepares an item at most once: firing moves it to its next
// run time.
HRESULT Daemon::Prepare(const std::string &path, const char *why, Millis durationEnd, std::vector<Launch> &launches) {
    const std::string name = TaskName(path);
    if (auto found = running_.find(path); found != running_.end()) {
        LogLine(log_, "skipped", name, "already running (pid %ld); %s", long(found->second), why);
        return S_OK;
    }
    svc::JobData job;
    if (HRESULT hr = svc::ReadJobFile(path, job); hr != S_OK) {
        LogLine(log_, "start-failed", name, "cannot read the item: 0x%08X", unsigned(hr));
        return hr;
    }
    std::string account;
    if (AccountAllowed(job, &account) != S_OK) {
        LogLine(log_, "refused", name, "its account \"%s\" is another user than the daemon's (\"%s\")", account.c_str(),
                user_.c_str());
        return E_ACCESSDENIED;
    }
    if (job.application.empty()) {
        LogLine(log_, "start-failed", name, "no application name");
        return SCHED_E_TASK_NOT_READY;
    }
    Launch &launch = launches.emplace_back();
    launch.path = path;
    launch.name = name;
    launch.program = svc::ToUtf8(job.application);
    launch.arguments.push_back(launch.program);
    for (auto &a : svc::SplitCommandLine(job.parameters)) launch.arguments.push_back(svc::ToUtf8(a));
    launch.folder = svc::ToUtf8(job.workingDirectory);
    if (launch.folder.empty()) {
        const char *home = std::getenv("HOME");
        launch.folder = home && *home ? home : "/";
    }
    launch.why = why;
    launch.durationEnd = durationEnd;
    launch.maxRunTime = job.maxRunTime;
    return S_OK;
}

// Logs and records a spawned launch, and follows its run.
HRESULT Daemon::Finish(Launch &launch) {
    if (launch.error != 0) {
        const HRESULT hr = HRESULT_FROM_WIN32(Win32FromErrno(launch.error));
        struct stat st;
        const char *folder = launch.folder.c_str();
        const bool badFolder = stat(folder, &st) != 0 || !S_ISDIR(st.st_mode) || access(folder, X_OK);
        LogLine(log_, "start-failed", launch.name, "%s: %s (0x%08X)",
                badFolder ? "cannot enter its working directory" : ("cannot run " + launch.program).c_str(),
                std::strerror(launch.error), unsigned(hr));
        Record record{Record::kStartFailed, launch.path};
        record.error = hr;
        recorder_->Add(std::move(record));
        return hr;
    }
    LogLine(log_, "started", launch.name, "pid %ld %s; %s", long(launch.pid), launch.program.c_str(), launch.why);
    recorder_->Add(Record{Record::kStarted, launch.path, Now()});
    Run run;
    static_cast<RunTarget &>(run) = std::move(launch);
    const Millis started = MonotonicMs();
    if (launch.maxRunTime != kNoLimit) {
        run.deadline = started + Millis(launch.maxRunTime);
        run.deadlineReason = "maximum run time reached";
    }
    if (launch.durationEnd && (!run.deadline || launch.durationEnd < run.deadline)) {
        run.deadline = launch.durationEnd;
        run.deadlineReason = "trigger duration ended";
    }
    running_.emplace(run.path, launch.pid);
    Run &added = runs_.emplace(launch.pid, std::move(run)).first->second;
    if (added.deadline) SetTimer(launch.pid, added, added.deadline);
    return S_OK;
}

// Starts one item's program and returns once it runs (or could not run): the
// loop waits for the exec, never for the program.
HRESULT Daemon::Start(const std::string &path, const char *why, Millis durationEnd) {
    std::vector<Launch> launch;
    if (HRESULT hr = Prepare(path, why, durationEnd, launch); hr != S_OK || launch.empty()) return hr;
    Spawn(launch.front());
    return Finish(launch.front());
}

void Daemon::SetTimer(pid_t pid, Run &run, Millis when) {
    if (run.timer) timers_.erase({run.timer, pid});
    run.timer = when;
    if (when) timers_.emplace(when, pid);
}

void Daemon::End(pid_t pid, Run &run, const char *reason) {
    if (run.ending) return;
    run.ending = true;
    SetTimer(pid, run, MonotonicMs() + options_.killGraceMs);
    LogLine(log_, "terminating", run.name, "pid %ld: %s", long(pid), reason);
    killpg(pid, SIGTERM);
}

// Runs past their deadline are asked to end; runs asked to end that are still
// there after the grace period are killed.
void Daemon::OnTimers() {
    const Millis now = MonotonicMs();
    while (!timers_.empty() && timers_.begin()->first <= now) {
        pid_t pid = timers_.begin()->second;
        Run &run = runs_.at(pid);
        if (!run.ending) {
            End(pid, run, run.deadlineReason);
        } else {
            SetTimer(pid, run, 0);
            LogLine(log_, "killing", run.name, "pid %ld did not end within %d ms", long(pid), options_.killGraceMs);
            killpg(pid, SIGKILL);
        }
    }
}

void Daemon::Reap() {
    for (;;) {
        int status = 0;
        pid_t pid = waitpid(-1, &status, WNOHANG);
        if (pid <= 0) return;
        auto it = runs_.find(pid);
        if (it == runs_.end()) continue;
        Run &run = it->second;
        if (run.ending) killpg(pid, SIGKILL);  // what an ended item left in its group goes with it
        // An exit status as the program gave it; a signal as 128 + its number.
        Record record{Record::kEnded, run.path, Now()};
        record.exitCode = WIFEXITED(status) ? DWORD(WEXITSTATUS(status)) : DWORD(128 + WTERMSIG(status));
        record.terminated = run.ending;
        recorder_->Add(std::move(record));
        SetTimer(pid, run, 0);
        running_.erase(run.path);
        runs_.erase(it);
    }
}

// The monotonic deadline of a run that a trigger's window ends; 0 for none.
Millis DurationEnd(const TASK_TRIGGER &trigger, time_t fired) {
    long long end = 0;
    if (!svc::RepetitionWindowEnd(trigger, fired, &end)) return 0;
    return std::max<Millis>(MonotonicMs() + (Millis(end) - Millis(Now())) * 1000, 1);
}

void Daemon::Schedule(const std::string &path, Item &item, time_t next) {
    if (item.next) schedule_.erase({item.next, &path});
    item.next = next;
    if (next) schedule_.emplace(next, &path);
}

// Reads the item again when its file changed since it was read.
void Daemon::Load(const std::string &path, Item &item, bool startup) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return;
    Identity identity{st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
    if (identity == item.identity) return;
    item.identity = identity;
    svc::JobData job;
    if (HRESULT hr = svc::ReadJobFile(path, job); hr != S_OK) {
        LogLine(log_, "invalid", TaskName(path), "cannot read the item: 0x%08X", unsigned(hr));
        item.triggers.clear();
        Schedule(path, item, 0);
        return;
    }
    // A file rewritten with the same schedule (the daemon's own records) keeps its next run time.
    const bool same = item.flags == job.flags && item.triggers.size() == job.triggers.size() &&
                      (job.triggers.empty() || std::memcmp(item.triggers.data(), job.triggers.data(),
                                                           job.triggers.size() * sizeof(TASK_TRIGGER)) == 0);
    if (same && !startup) return;
    item.flags = job.flags;
    item.triggers = std::move(job.triggers);
    item.triggers.shrink_to_fit();
    Schedule(path, item, item.flags & TASK_FLAG_DISABLED ? 0 : NextRun(item.triggers, item.flags, lastCheck_ + 1));
    if (startup) {
        job.triggers = item.triggers;
        Startup(path, job);
    }
}

// Brings the items in line with the folder: the named files, or all of them.
// A name the daemon does not know, or one whose file is gone, means listing
// the folder (one file per name whatever its letter case).
void Daemon::Refresh(const std::set<std::string> &names, bool all) {
    bool list = all || items_.empty();
    for (const std::string &name : names) {
        auto it = items_.find(tasks_ + "/" + name);
        if (it == items_.end() || access(it->first.c_str(), F_OK) != 0)
            list = true;
        else
            Load(it->first, it->second, false);
    }
    if (!list) return;
    std::vector<std::string> files;
    if (FAILED(svc::ListItemFiles(tasks_, files))) {
        LogLine(log_, "warning", "", "cannot read %s: %s", tasks_.c_str(), std::strerror(errno));
        return;
    }
    std::set<std::string> present;
    for (const std::string &file : files) present.insert(tasks_ + "/" + file);
    for (auto it = items_.begin(); it != items_.end();) {
        if (present.count(it->first)) {
            ++it;
        } else {
            Schedule(it->first, it->second, 0);
            it = items_.erase(it);
        }
    }
    for (const std::string &path : present) {
        auto [it, added] = items_.try_emplace(path);
        if (added || all) Load(it->first, it->second, false);
    }
}

// Starts the items whose run time has come: for each, the trigger that fired
// last within (last check, now].
void Daemon::FireDue() {
    const time_t now = Now();
    if (now < lastCheck_) {  // the clock went back
        lastCheck_ = now;
        for (auto &[path, item] : items_)
            Schedule(path, item, item.flags & TASK_FLAG_DISABLED ? 0 : NextRun(item.triggers, item.flags, now + 1));
        return;
    }
    // A turn starts at most kStartsPerTurn runs, so that signals, ended runs
    // and requests are seen between turns of a large batch.
    int budget = kStartsPerTurn;
    std::vector<Launch> launches;
    while (!schedule_.empty() && schedule_.begin()->first <= now && budget-- > 0) {
        const std::string &path = *schedule_.begin()->second;
        Item &item = items_.at(path);
        const TASK_TRIGGER *fired = nullptr;
        time_t firedAt = 0;
        // Which trigger fired matters only to a trigger whose window ends its run.
        const bool windowed = std::any_of(item.triggers.begin(), item.triggers.end(), [](const TASK_TRIGGER &t) {
            return (t.rgFlags & TASK_TRIGGER_FLAG_KILL_AT_DURATION_END) && t.MinutesDuration;
        });
        for (std::size_t i = 0; windowed && i < item.triggers.size(); ++i) {
            const TASK_TRIGGER &trigger = item.triggers[i];
            if (time_t due = NextRun({trigger}, item.flags, lastCheck_ + 1);
                due && due <= now && (!fired || due > firedAt)) {
                fired = &trigger;
                firedAt = due;
            }
        }
        Schedule(path, item, NextRun(item.triggers, item.flags, now + 1));
        Prepare(path, "trigger fired", fired ? DurationEnd(*fired, firedAt) : 0, launches);
    }
    SpawnAll(launches);
    for (Launch &launch : launches) Finish(launch);
    moreDue_ = !schedule_.empty() && schedule_.begin()->first <= now;
    if (!moreDue_) lastCheck_ = now;
}

// At start, for each item: clears a run an earlier daemon left marked, and
// runs the item when it has a system-start or logon trigger.
void Daemon::Startup(const std::string &path, const svc::JobData &job) {
    // A run recorded by a daemon that ended without recording its end: no
    // daemon ran anything here while this one did not hold the lock.
    if (job.status == SCHED_S_TASK_RUNNING || job.runningInstances)
        recorder_->Add(Record{Record::kRecovered, path, Now()});
    if (job.flags & TASK_FLAG_DISABLED) return;
    SYSTEMTIME today = svc::WallClockAt(Now());
    auto dateKey = [](WORD y, WORD m, WORD d) { return long(y) * 10000 + m * 100 + d; };
    long todayKey = dateKey(today.wYear, today.wMonth, today.wDay);
    for (const auto &t : job.triggers) {
        bool event = t.TriggerType == TASK_EVENT_TRIGGER_AT_SYSTEMSTART || t.TriggerType == TASK_EVENT_TRIGGER_AT_LOGON;
        bool begun = dateKey(t.wBeginYear, t.wBeginMonth, t.wBeginDay) <= todayKey;
        bool ended =
            (t.rgFlags & TASK_TRIGGER_FLAG_HAS_END_DATE) && dateKey(t.wEndYear, t.wEndMonth, t.wEndDay) < todayKey;
        if (event && !(t.rgFlags & TASK_TRIGGER_FLAG_DISABLED) && begun && !ended) {
            Start(path, t.TriggerType == TASK_EVENT_TRIGGER_AT_LOGON ? "at logon" : "at system start", 0);
            return;
        }
    }
}

// The answer to a request line.
std::string Daemon::Answer(const std::string &line) {
    HRESULT hr = E_INVALIDARG;
    std::string path;
    bool run = line.rfind("RUN ", 0) == 0, terminate = line.rfind("TERM ", 0) == 0;
    if (run) path = line.substr(4);
    if (terminate) path = line.substr(5);
    if ((run || terminate) && !path.empty() && InTasksFolder(path)) {
        if (run) {
            hr = Start(path, "run requested", 0);
        } else if (auto found = running_.find(path); found != running_.end()) {
            End(found->second, runs_.at(found->second), "terminate requested");
            hr = S_OK;
        } else {
            hr = SCHED_E_TASK_NOT_RUNNING;
        }
    } else {
        LogLine(log_, "bad-request", "", "%.200s", line.c_str());
    }
    char text[16];
    std::snprintf(text, sizeof text, "%08X\n", unsigned(hr));
    return text;
}

void Daemon::Accept() {
    for (;;) {
        int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        ucred peer{};
        socklen_t size = sizeof peer;
        if (clients_.size() >= kMaxClients || getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 ||
            (peer.uid != getuid() && peer.uid != 0)) {
            close(fd);
            continue;
        }
        clients_.push_back(Client{fd, MonotonicMs() + kClientMs, {}});
        if (!ReadClient(clients_.back())) {
            if (clients_.back().fd >= 0) close(fd);
            clients_.pop_back();
        }
    }
}

// Reads what a client sent; answers a whole line. False once the client is
// done here.
bool Daemon::ReadClient(Client &client) {
    char buffer[512];
    for (;;) {
        ssize_t n = recv(client.fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        if (n <= 0) return false;
        client.line.append(buffer, std::size_t(n));
        if (auto eol = client.line.find('\n'); eol != std::string::npos) {
            client.line.resize(eol);
            std::string answer = Answer(client.line);
            (void)!send(client.fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            return false;
        }
        if (client.line.size() > svc::kMaxRequestPath + 8) return false;
    }
}

void Daemon::ReadSignals() {
    signalfd_siginfo info;
    while (read(signalFd_, &info, sizeof info) == ssize_t(sizeof info)) {
        if (info.ssi_signo == SIGTERM || info.ssi_signo == SIGINT) stopping_ = true;
        if (info.ssi_signo == SIGHUP) rescanWanted_ = true;
    }
    Reap();
}

// The item files named by the folder's change events; `all` when events were lost.
void Daemon::ReadChanges(std::set<std::string> *names, bool *all) {
    alignas(inotify_event) char events[8192];
    for (ssize_t n; (n = read(notifyFd_, events, sizeof events)) > 0;) {
        for (char *p = events; p < events + n;) {
            const auto *event = reinterpret_cast<const inotify_event *>(p);
            if (event->mask & IN_Q_OVERFLOW) *all = true;
            if (event->len && event->name[0] != '.' && svc::EndsInJobSuffix(event->name)) names->insert(event->name);
            p += sizeof(inotify_event) + event->len;
        }
    }
}

Millis Daemon::NextTimeout() const {
    if (moreDue_) return 0;
    Millis now = MonotonicMs();
    Millis wake = nextRescan_;
    if (!schedule_.empty()) {
        Millis until = Millis(schedule_.begin()->first) * 1000 - NowMs();
        wake = std::min(wake, now + std::max<Millis>(until, 0) + 20);
    }
    if (!timers_.empty()) wake = std::min(wake, timers_.begin()->first);
    for (const Client &client : clients_) wake = std::min(wake, client.deadline);
    return std::max<Millis>(wake - now, 0);
}

void Daemon::Loop() {
    lastCheck_ = Now();
    nextRescan_ = MonotonicMs() + Millis(options_.rescanSeconds) * 1000;
    std::vector<std::string> files;
    if (FAILED(svc::ListItemFiles(tasks_, files)))
        LogLine(log_, "warning", "", "cannot read %s: %s", tasks_.c_str(), std::strerror(errno));
    std::sort(files.begin(), files.end());
    for (const std::string &file : files) {
        auto it = items_.try_emplace(tasks_ + "/" + file).first;
        Load(it->first, it->second, true);
    }
    std::vector<pollfd> fds;
    while (!stopping_) {
        fds.assign({{signalFd_, POLLIN, 0}, {listenFd_, POLLIN, 0}, {notifyFd_, POLLIN, 0}});
        for (const Client &client : clients_) fds.push_back({client.fd, POLLIN, 0});
        Millis timeout = NextTimeout();
        timespec wait{time_t(timeout / 1000), long(timeout % 1000) * 1000000};
        if (ppoll(fds.data(), fds.size(), &wait, nullptr) < 0 && errno != EINTR) {
            LogLine(log_, "warning", "", "ppoll: %s", std::strerror(errno));
            continue;
        }
        ReadSignals();
        if (stopping_) break;
        std::set<std::string> changed;
        bool all = rescanWanted_ || MonotonicMs() >= nextRescan_;
        if (notifyFd_ >= 0 && (fds[2].revents & POLLIN)) ReadChanges(&changed, &all);
        const Millis now = MonotonicMs();
        for (std::size_t i = clients_.size(); i-- > 0;) {
            bool done = (fds[3 + i].revents && !ReadClient(clients_[i])) || clients_[i].deadline <= now;
            if (done) {
                if (clients_[i].fd >= 0) close(clients_[i].fd);
                clients_.erase(clients_.begin() + std::ptrdiff_t(i));
            }
        }
        if (fds[1].revents & POLLIN) Accept();
        if (all) {
            rescanWanted_ = false;
            nextRescan_ = now + Millis(options_.rescanSeconds) * 1000;
        }
        if (all || !changed.empty()) Refresh(changed, all);
        FireDue();
        OnTimers();
    }
}

void Daemon::Shutdown() {
    svc::WriteFileAtomic(state_ + "/" + svc::kStateFile, std::to_string(getpid()) + " stopping\n");
    for (const Client &client : clients_) close(client.fd);
    clients_.clear();
    if (listenFd_ >= 0) {
        close(listenFd_);
        listenFd_ = -1;
        unlink(socketPath_.c_str());
    }
    Reap();
    for (auto &[pid, run] : runs_) End(pid, run, "the service stops");
    while (!runs_.empty()) {
        Millis timeout = timers_.empty() ? 1000 : std::max<Millis>(timers_.begin()->first - MonotonicMs(), 0);
        pollfd fd{signalFd_, POLLIN, 0};
        timespec wait{time_t(timeout / 1000), long(timeout % 1000) * 1000000};
        ppoll(&fd, 1, &wait, nullptr);
        ReadSignals();
        OnTimers();
    }
    recorder_->Finish();
    unlink((state_ + "/" + svc::kStateFile).c_str());
    LogLine(log_, "service-stop", "", "pid %ld", long(getpid()));
}

int Daemon::Main() {
    if (!Setup()) {
        if (listenFd_ >= 0) {
            close(listenFd_);
            unlink(socketPath_.c_str());
        }
        return lockBusy_ ? 2 : 1;
    }
    recorder_ = std::make_unique<Recorder>(tasks_, log_);
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
