// The daemon of the "Schedule" service: it runs the work items stored in
// <Windows directory>/Tasks when their triggers fire, and answers the
// service objects' run and terminate requests.
#pragma once

#include <cstdio>
#include <string>

namespace velqosvc {

struct Options {
    bool foreground = false;
    std::string logPath;     // empty: stderr
    int killGraceMs = 3000;  // SIGTERM to SIGKILL
    int rescanSeconds = 60;  // the fallback rescan of the Tasks folder
};

// Runs the daemon until SIGTERM or SIGINT. The exit status: 0 after a clean
// stop, 2 when another daemon holds the lock, 1 for any other failure to
// start (the reason goes to the log).
int RunDaemon(const Options &options, std::FILE *log);

}  // namespace velqosvc
