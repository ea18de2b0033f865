// The daemon's record keeper: a thread that writes what the event loop
// reports (a run started, ended, could not start) into the items' files, so
// that the loop never waits on the disk. Records of one item are applied in
// the order they came, on the file as it is when they are written, so that an
// edit made meanwhile is kept; records waiting together are written as one
// batch, each into its file's own bytes (a record changes fields of fixed
// size only), with one flush for the batch instead of two per file.
#pragma once

#include <mstask.h>
#include <windows.h>

#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace velqosvc {

// The daemon's wall clock: the system's, shifted by $VELQOSVC_TIME_OFFSET
// (whole seconds) for tests and benchmarks.
long ClockOffset();
time_t Now();

// The item name of a work-item file: its name without ".job".
std::string TaskName(const std::string &path);

// One log line: "<time> <event> "<task>" <details>".
void LogLine(std::FILE *log, const char *event, const std::string &task, const char *format, ...)
    __attribute__((format(printf, 4, 5)));

struct Record {
    enum Kind { kStarted, kEnded, kStartFailed, kRecovered } kind;
    std::string path;
    time_t at = 0;            // the daemon's clock when it happened
    DWORD exitCode = 0;       // kEnded
    bool terminated = false;  // kEnded: ended by the daemon
    HRESULT error = S_OK;     // kStartFailed
};

class Recorder {
public:
    Recorder(std::string tasksFolder, std::FILE *log);
    ~Recorder();
    Recorder(const Recorder &) = delete;
    Recorder &operator=(const Recorder &) = delete;

    void Add(Record record);
    // Writes everything still waiting, then stops the thread.
    void Finish();

private:
    using Batch = std::vector<std::pair<std::string, std::vector<Record>>>;
    void Main();
    void Write(Batch::iterator first, Batch::iterator last);

    std::string tasks_;
    std::FILE *log_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<std::string> order_;
    std::unordered_map<std::string, std::vector<Record>> waiting_;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace velqosvc
