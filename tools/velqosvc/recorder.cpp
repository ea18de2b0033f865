#include "tools/velqosvc/recorder.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "platform/service/job/jobfile.h"
#include "platform/service/objects/objects_internal.h"
#include "platform/service/schedule/schedule.h"

namespace velqosvc {

namespace svc = velqo::service;

namespace {

// At most this many files in one batch: each holds a descriptor until its
// records are flushed.
constexpr std::size_t kBatchFiles = 256;

}  // namespace

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

std::string TaskName(const std::string &path) {
    std::string name = path.substr(path.rfind('/') + 1);
    if (name.size() > 4 && strcasecmp(name.c_str() + name.size() - 4, ".job") == 0) name.resize(name.size() - 4);
    return name;
}

void LogLine(std::FILE *log, const char *event, const std::string &task, const char *format, ...) {
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
    std::fprintf(log, "%s %s \"%s\"%s%s\n", when, event, task.c_str(), *details ? " " : "", details);
    std::fflush(log);
}

Recorder::Recorder(std::string tasksFolder, std::FILE *log) : tasks_(std::move(tasksFolder)), log_(log) {
    thread_ = std::thread([this] { Main(); });
}

Recorder::~Recorder() { Finish(); }

void Recorder::Add(Record record) {
    std::lock_guard<std::mutex> hold(mutex_);
    auto [it, added] = waiting_.try_emplace(record.path);
    if (added) order_.push_back(record.path);
    it->second.push_back(std::move(record));
    wake_.notify_one();
}

void Recorder::Finish() {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        stop_ = true;
        wake_.notify_one();
    }
    if (thread_.joinable()) thread_.join();
}

void Recorder::Main() {
    const auto ended = [](const std::vector<Record> &records) {
        return std::any_of(records.begin(), records.end(), [](const Record &r) { return r.kind == Record::kEnded; });
    };
    for (;;) {
        Batch batch;
        {
            std::unique_lock<std::mutex> hold(mutex_);
            wake_.wait(hold, [this] { return stop_ || !order_.empty(); });
            if (order_.empty()) return;
            // One batch at a time, ended runs first: their results are what a
            // user waits for, and a run that ends during a burst of starts
            // waits for one batch, not for the burst.
            std::stable_partition(order_.begin(), order_.end(),
                                  [&](const std::string &path) { return ended(waiting_[path]); });
            const std::size_t count = std::min(kBatchFiles, order_.size());
            for (std::size_t i = 0; i < count; ++i) {
                auto node = waiting_.extract(order_[i]);
                batch.emplace_back(std::move(node.key()), std::move(node.mapped()));
            }
            order_.erase(order_.begin(), order_.begin() + std::ptrdiff_t(count));
        }
        Write(batch.begin(), batch.end());
    }
}

namespace {

struct Pending {
    const std::string *path = nullptr;
    const std::vector<Record> *records = nullptr;
    std::string temp;
    int fd = -1;
    HRESULT status = S_OK;
};

// Applies one item's records to its settings; true when the item is to be
// deleted (it asks for that and no run is left).
bool Apply(const std::vector<Record> &records, svc::JobData &job, HRESULT *status) {
    bool remove = false;
    for (const Record &r : records) {
        switch (r.kind) {
            case Record::kStarted:
                job.status = SCHED_S_TASK_RUNNING;
                job.runningInstances = WORD(std::min<int>(job.runningInstances + 1, 0xFFFF));
                job.mostRecentRun = svc::WallClockAt(r.at);
                job.startError = S_OK;
                break;
            case Record::kStartFailed: job.startError = r.error; break;
            case Record::kRecovered:
            case Record::kEnded:
                if (r.kind == Record::kEnded) {
                    job.exitCode = r.exitCode;
                    job.runningInstances = job.runningInstances ? WORD(job.runningInstances - 1) : 0;
                } else {
                    job.runningInstances = 0;
                }
                job.status = SCHED_S_TASK_READY;
                job.status = r.terminated ? SCHED_S_TASK_TERMINATED : svc::ItemStatus(job, svc::WallClockAt(r.at));
                time_t next = 0;
                remove = r.kind == Record::kEnded && (job.flags & TASK_FLAG_DELETE_WHEN_DONE) &&
                         !svc::NextRunInstant(job.triggers, job.flags, r.at + 1, &next) && !job.runningInstances;
                break;
        }
    }
    *status = job.status;
    return remove;
}

}  // namespace

void Recorder::Write(Batch::iterator first, Batch::iterator last) {
    std::vector<Pending> files;
    bool replaced = false;
    {
        // Reading each item and writing it is one step for every writer.
        const svc::FolderLock lock(tasks_ + "/");
        for (auto it = first; it != last; ++it) {
            const std::string &path = it->first;
            const std::string name = TaskName(path);
            Pending file;
            file.path = &path;
            file.records = &it->second;
            svc::JobData job;
            std::vector<BYTE> bytes;
            // A run's record changes fields of fixed size only, so it is
            // written into the file itself; a file the daemon may not write
            // is replaced, as any other writer would.
            HRESULT hr = svc::OpenJobFile(path, job, bytes, file.fd);
            if (hr == E_ACCESSDENIED) hr = svc::ReadJobFile(path, job);
            if (hr != S_OK) {
                for (const Record &r : it->second)
                    if (r.kind == Record::kEnded)
                        LogLine(log_, r.terminated ? "terminated" : "exited", name,
                                "code %u; the item is gone or unreadable (0x%08X)", unsigned(r.exitCode), unsigned(hr));
                continue;
            }
            if (Apply(it->second, job, &file.status)) {
                if (file.fd >= 0) ::close(file.fd);
                for (const Record &r : it->second)
                    if (r.kind == Record::kEnded)
                        LogLine(log_, r.terminated ? "terminated" : "exited", name, "code %u", unsigned(r.exitCode));
                if (HRESULT hr = svc::RemoveWorkItem(tasks_, path); hr == S_OK)
                    LogLine(log_, "deleted", name, "no run left");
                else
                    LogLine(log_, "warning", name, "cannot delete: 0x%08X", unsigned(hr));
                continue;
            }
            hr = file.fd >= 0 ? svc::WriteJobInPlace(file.fd, bytes, job) : S_FALSE;
            if (hr == S_FALSE) {
                if (file.fd >= 0) ::close(file.fd);
                hr = svc::WriteJobTemporary(path, job, file.temp, file.fd);
            }
            if (FAILED(hr)) {
                if (file.fd >= 0 && file.temp.empty()) ::close(file.fd);
                LogLine(log_, "warning", name, "cannot record the run: 0x%08X", unsigned(hr));
                continue;
            }
            replaced |= !file.temp.empty();
            files.push_back(std::move(file));
        }
        // One flush for the whole batch, before any replacement is renamed
        // into place: a crash leaves each item whole, as it was or as written.
        if (files.size() == 1) ::fsync(files[0].fd);
        if (files.size() > 1) ::syncfs(files[0].fd);
        for (Pending &file : files) {
            if (!file.temp.empty() && ::rename(file.temp.c_str(), file.path->c_str()) != 0) {
                LogLine(log_, "warning", TaskName(*file.path), "cannot record the run: %s", std::strerror(errno));
                ::unlink(file.temp.c_str());
                file.status = E_FAIL;
            }
            ::close(file.fd);
        }
    }
    if (replaced) svc::FlushFolder(tasks_);
    for (const Pending &file : files) {
        if (file.status == E_FAIL) continue;
        for (const Record &r : *file.records) {
            if (r.kind == Record::kEnded)
                LogLine(log_, r.terminated ? "terminated" : "exited", TaskName(*file.path), "code %u status 0x%08X",
                        unsigned(r.exitCode), unsigned(file.status));
            if (r.kind == Record::kRecovered)
                LogLine(log_, "recovered", TaskName(*file.path),
                        "a run left unfinished by an earlier daemon; status 0x%08X", unsigned(file.status));
        }
    }
}

}  // namespace velqosvc
