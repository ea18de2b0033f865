// The daemon under load, measured on the real velqosvc over a temporary store
// (in $VELQO_BENCH_DIR, else /tmp). For 100, 1,000 and 2,000 items due in the
// same minute (the daemon's clock is shifted through $VELQOSVC_TIME_OFFSET so
// that the minute begins a few seconds after it starts): how long after the
// minute the last run started; how long after a program ended its result was
// in its file; how far past MaxRunTime a run was ended; and how long SIGTERM
// took with every item running. Then the daemon's CPU time and memory while
// 10,000 items wait.
//
// Half the items run 1 s and end; the other half would run 30 s and have a
// MaxRunTime of 2 s. Start and end times come from the program itself
// (daemon_bench_task), the time a result was recorded from an inotify watch
// of the Tasks folder (the item's file closed after its record was written and
// flushed, or a replacement renamed into place).
#include <fcntl.h>
#include <mstask.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/service/job/jobfile.h"

extern char **environ;

namespace {

namespace svc = velqo::service;
using Nanos = long long;

constexpr DWORD kShortMs = 1000, kLongMs = 30000, kMaxRunMs = 2000;

Nanos RealNs() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return Nanos(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

double Seconds(Nanos ns) { return double(ns) / 1e9; }

std::u16string Wide(const std::string &s) { return std::u16string(s.begin(), s.end()); }

struct Bench {
    std::string root, tasks, times;
    pid_t daemon = 0;

    explicit Bench(const std::string &base) {
        std::string pattern = base + "/velqo-daemon-bench-XXXXXX";
        if (!mkdtemp(pattern.data())) {
            std::perror("mkdtemp");
            std::exit(1);
        }
        root = pattern;
        tasks = root + "/Tasks";
        times = root + "/times";
        mkdir(tasks.c_str(), 0700);
    }
    ~Bench() {
        Stop();
        if (std::getenv("VELQO_BENCH_KEEP")) return;
        std::string command = "/bin/rm -rf '" + root + "'";
        if (std::system(command.c_str()) != 0) std::fprintf(stderr, "cannot remove %s\n", root.c_str());
    }

    // Writes `count` items, each with one trigger; no flush: the store is scratch.
    void Store(int count, const TASK_TRIGGER &trigger, bool halfLimited, DWORD runMs) {
        for (int i = 0; i < count; ++i) {
            svc::JobData job = svc::NewJob();
            job.application = Wide(BENCH_TASK_PATH);
            const bool limited = halfLimited && i % 2;
            job.parameters = Wide(times + " " + std::to_string(limited ? kLongMs : runMs) + " " + std::to_string(i));
            job.maxRunTime = limited ? kMaxRunMs : 0xFFFFFFFF;
            job.triggers = {trigger};
            std::vector<BYTE> bytes;
            svc::SerializeJob(job, bytes);
            std::ofstream(tasks + "/task" + std::to_string(i) + ".job", std::ios::binary | std::ios::trunc)
                .write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
        }
    }

    void Start(long offset) {
        setenv("VELQOSCH_WINDIR", root.c_str(), 1);
        setenv("VELQOSVC_TIME_OFFSET", std::to_string(offset).c_str(), 1);
        const std::string log = root + "/daemon.log";
        const char *argv[] = {VELQOSVC_PATH, "--foreground", "--log", log.c_str(), nullptr};
        if (posix_spawn(&daemon, VELQOSVC_PATH, nullptr, nullptr, const_cast<char **>(argv), environ) != 0) {
            std::perror("posix_spawn velqosvc");
            std::exit(1);
        }
    }

    // SIGTERM; the time until the daemon has exited.
    Nanos Stop() {
        if (!daemon) return 0;
        const Nanos sent = RealNs();
        kill(daemon, SIGTERM);
        waitpid(daemon, nullptr, 0);
        daemon = 0;
        return RealNs() - sent;
    }

    // The program's notes: kind -> index -> time.
    std::map<char, std::map<int, Nanos>> Notes() const {
        std::map<char, std::map<int, Nanos>> notes;
        std::ifstream in(times);
        char kind;
        int index;
        Nanos at;
        while (in >> kind >> index >> at) notes[kind][index] = at;
        return notes;
    }
};

// A once trigger at the daemon's local time `at`.
TASK_TRIGGER OnceAt(time_t at) {
    tm local{};
    localtime_r(&at, &local);
    TASK_TRIGGER t{};
    t.cbTriggerSize = sizeof t;
    t.wBeginYear = WORD(local.tm_year + 1900);
    t.wBeginMonth = WORD(local.tm_mon + 1);
    t.wBeginDay = WORD(local.tm_mday);
    t.wStartHour = WORD(local.tm_hour);
    t.wStartMinute = WORD(local.tm_min);
    t.TriggerType = TASK_TIME_TRIGGER_ONCE;
    return t;
}

// The daemon's clock offset that puts `minute` `lead` seconds away; the real
// time at which that minute begins.
long OffsetForMinute(time_t minute, int lead, Nanos *realMinute) {
    const long offset = long(minute - time(nullptr) - lead);
    *realMinute = Nanos(minute - offset) * 1000000000LL;
    return offset;
}

// Watches the Tasks folder for item files written and closed or renamed into
// place: item index -> last time.
class RecordWatch {
public:
    explicit RecordWatch(const std::string &tasks) {
        fd_ = inotify_init1(IN_CLOEXEC);
        inotify_add_watch(fd_, tasks.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE);
        thread_ = std::thread([this] { Main(); });
    }
    ~RecordWatch() {
        stop_ = true;
        close(fd_);
        thread_.join();
    }
    std::map<int, Nanos> Last() {
        std::lock_guard<std::mutex> hold(mutex_);
        return last_;
    }

private:
    void Main() {
        alignas(inotify_event) char buffer[65536];
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            ssize_t n = read(fd_, buffer, sizeof buffer);
            const Nanos now = RealNs();
            for (char *q = buffer; n > 0 && q < buffer + n;) {
                auto *e = reinterpret_cast<inotify_event *>(q);
                int index = -1;
                if (e->len && std::sscanf(e->name, "task%d.job", &index) == 1) {
                    std::lock_guard<std::mutex> hold(mutex_);
                    last_[index] = now;
                }
                q += sizeof(inotify_event) + e->len;
            }
        }
    }
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::map<int, Nanos> last_;
    std::thread thread_;
};

struct Burst {
    double floor = -1, lastStart = -1, resultP50 = -1, resultMax = -1, overshootMax = -1, sigterm = -1;
    int recorded = 0;
};

double Percentile(std::vector<Nanos> values, double p) {
    if (values.empty()) return -1;
    std::sort(values.begin(), values.end());
    return Seconds(values[std::size_t(p * double(values.size() - 1))]);
}

// The machine's own floor for starting `count` programs: spawns of the same
// program (as the daemon starts them), one after the other, until the last
// has noted its start.
double SpawnFloor(const std::string &base, int count) {
    Bench bench(base);
    const Nanos begin = RealNs();
    std::vector<pid_t> children;
    for (int i = 0; i < count; ++i) {
        const std::string index = std::to_string(i);
        const char *argv[] = {BENCH_TASK_PATH, bench.times.c_str(), "0", index.c_str(), nullptr};
        pid_t pid = -1;
        if (posix_spawn(&pid, BENCH_TASK_PATH, nullptr, nullptr, const_cast<char **>(argv), environ) == 0)
            children.push_back(pid);
    }
    for (pid_t pid : children) waitpid(pid, nullptr, 0);
    Nanos last = 0;
    auto notes = bench.Notes();
    for (auto [index, at] : notes['S']) last = std::max(last, at);
    return Seconds(last - begin);
}

Burst RunBurst(const std::string &base, int count) {
    Burst burst;
    burst.floor = SpawnFloor(base, count);
    {
        Bench bench(base);
        // The daemon starts a few seconds before the minute, time enough to read the store.
        const time_t minute = (time(nullptr) / 60 + 2) * 60;
        Nanos realMinute;
        bench.Store(count, OnceAt(minute), true, kShortMs);
        const long offset = OffsetForMinute(minute, 3 + count / 500, &realMinute);
        RecordWatch watch(bench.tasks);
        bench.Start(offset);
        // Until every program has ended and its result is in its file.
        const Nanos giveUp = realMinute + Nanos(120) * 1000000000LL;
        // A program's result is in its file at the first write after its end
        // that leaves the file with no run: a write after the end may still
        // be the record of its start when the records run late.
        std::map<char, std::map<int, Nanos>> notes;
        std::map<int, Nanos> last, recordedAt;
        for (;;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            notes = bench.Notes();
            last = watch.Last();
            for (char kind : {'E', 'T'})
                for (auto [index, at] : notes[kind]) {
                    if (recordedAt.count(index) || !last.count(index) || last[index] < at) continue;
                    svc::JobData job;
                    if (svc::ReadJobFile(bench.tasks + "/task" + std::to_string(index) + ".job", job) == S_OK &&
                        job.runningInstances == 0)
                        recordedAt[index] = last[index];
                }
            if (recordedAt.size() == std::size_t(count) || RealNs() > giveUp) break;
        }
        Nanos lastStart = 0;
        for (auto [index, at] : notes['S']) lastStart = std::max(lastStart, at);
        burst.lastStart = notes['S'].size() == std::size_t(count) ? Seconds(lastStart - realMinute) : -1;
        std::vector<Nanos> delays, overshoots;
        for (char kind : {'E', 'T'})
            for (auto [index, at] : notes[kind])
                if (recordedAt.count(index)) delays.push_back(recordedAt[index] - at);
        for (auto [index, at] : notes['T']) overshoots.push_back(at - notes['S'][index] - Nanos(kMaxRunMs) * 1000000);
        burst.resultP50 = Percentile(delays, 0.5);
        burst.resultMax = Percentile(delays, 1.0);
        burst.overshootMax = Percentile(overshoots, 1.0);
        // What the files hold.
        for (int i = 0; i < count; ++i) {
            svc::JobData job;
            if (svc::ReadJobFile(bench.tasks + "/task" + std::to_string(i) + ".job", job) != S_OK) continue;
            const bool limited = i % 2;
            if (job.runningInstances == 0 && job.mostRecentRun.wYear &&
                (limited ? job.status == SCHED_S_TASK_TERMINATED : job.exitCode == 0))
                ++burst.recorded;
        }
    }
    {
        // Every item running, then SIGTERM.
        Bench bench(base);
        const time_t minute = (time(nullptr) / 60 + 2) * 60;
        Nanos realMinute;
        bench.Store(count, OnceAt(minute), false, 600000);
        const long offset = OffsetForMinute(minute, 3 + count / 500, &realMinute);
        bench.Start(offset);
        const Nanos giveUp = realMinute + Nanos(120) * 1000000000LL;
        while (bench.Notes()['S'].size() < std::size_t(count) && RealNs() < giveUp)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        burst.sigterm = Seconds(bench.Stop());
        int terminated = 0;
        for (int i = 0; i < count; ++i) {
            svc::JobData job;
            if (svc::ReadJobFile(bench.tasks + "/task" + std::to_string(i) + ".job", job) == S_OK &&
                job.status == SCHED_S_TASK_TERMINATED && job.runningInstances == 0)
                ++terminated;
        }
        if (terminated != count)
            std::printf("after SIGTERM only %d of %d items recorded as terminated\n", terminated, count);
    }
    return burst;
}

// utime + stime of `pid` in clock ticks, and its resident memory in KiB.
bool Usage(pid_t pid, long long *ticks, long *rssKib) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    auto close = text.rfind(')');
    if (close == std::string::npos) return false;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    long long utime = 0, stime = 0;
    for (int i = 3; fields >> field; ++i) {
        if (i == 14) utime = std::atoll(field.c_str());
        if (i == 15) {
            stime = std::atoll(field.c_str());
            break;
        }
    }
    *ticks = utime + stime;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) *rssKib = std::atol(line.c_str() + 6);
    return true;
}

struct Idle {
    double cpuPercent = -1;
    long rssKib = 0;
};

// The daemon over `count` items none of which is due for hours: once it has
// read them (its CPU time stops growing), its CPU time over `seconds`.
Idle RunIdle(const std::string &base, int count, int seconds) {
    Bench bench(base);
    const time_t now = time(nullptr);
    TASK_TRIGGER daily = OnceAt(now + 12 * 3600);
    daily.TriggerType = TASK_TIME_TRIGGER_DAILY;
    daily.Type.Daily.DaysInterval = 1;
    bench.Store(count, daily, false, 1000);
    bench.Start(0);
    long long ticks = 0, before = -1;
    long rss = 0;
    for (int i = 0; i < 60; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        Usage(bench.daemon, &ticks, &rss);
        if (ticks == before) break;
        before = ticks;
    }
    const Nanos start = RealNs();
    Usage(bench.daemon, &before, &rss);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    Usage(bench.daemon, &ticks, &rss);
    Idle idle;
    idle.cpuPercent = 100.0 * double(ticks - before) / double(sysconf(_SC_CLK_TCK)) / Seconds(RealNs() - start);
    idle.rssKib = rss;
    return idle;
}

}  // namespace

int main(int argc, char **argv) {
    const char *dir = std::getenv("VELQO_BENCH_DIR");
    const std::string base = dir && *dir ? dir : "/tmp";
    std::vector<int> counts{100, 1000, 2000};
    int idleItems = 10000, idleSeconds = 10;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) counts = {100}, idleItems = 1000, idleSeconds = 2;
        if (std::strcmp(argv[i], "--items") == 0 && i + 1 < argc) counts = {std::atoi(argv[++i])};
    }
    std::printf("store in %s; %ld cores online\n\n", base.c_str(), sysconf(_SC_NPROCESSORS_ONLN));
    std::printf("%-6s %-24s %-12s %-26s %-22s %-10s %s\n", "items", "last start after minute", "(spawn floor)",
                "result after end p50/max", "MaxRunTime overshoot", "SIGTERM", "recorded");
    for (int count : counts) {
        Burst b = RunBurst(base, count);
        std::printf("%-6d %-24s %-12s %-26s %-22s %-10s %d/%d\n", count,
                    (std::to_string(b.lastStart).substr(0, 5) + " s").c_str(),
                    (std::to_string(b.floor).substr(0, 5) + " s").c_str(),
                    (std::to_string(b.resultP50).substr(0, 5) + " / " + std::to_string(b.resultMax).substr(0, 5) + " s")
                        .c_str(),
                    (std::to_string(b.overshootMax).substr(0, 5) + " s").c_str(),
                    (std::to_string(b.sigterm).substr(0, 5) + " s").c_str(), b.recorded, count);
        std::fflush(stdout);
    }
    Idle empty = RunIdle(base, 0, 2);
    Idle idle = RunIdle(base, idleItems, idleSeconds);
    std::printf(
        "\nidle with %d items waiting, over %d s: %.3f %% of a core; resident %ld KiB "
        "(empty daemon %ld KiB: %.0f bytes an item)\n",
        idleItems, idleSeconds, idle.cpuPercent, idle.rssKib, empty.rssKib,
        1024.0 * double(idle.rssKib - empty.rssKib) / idleItems);
    return 0;
}
