// velqosvc [--foreground] [--log FILE] [--kill-grace MS] [--rescan SECONDS] [--print-pid FD]
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/service/control/control.h"
#include "tools/velqosvc/daemon.h"

namespace {

constexpr const char *kUsage =
    "usage: velqosvc [--foreground] [--log FILE] [--kill-grace MS] [--rescan SECONDS]\n"
    "                [--print-pid FD]\n"
    "\n"
    "Runs the work items stored in <Windows directory>/Tasks when their triggers\n"
    "fire (the Windows directory is $VELQOSCH_WINDIR, else\n"
    "$XDG_DATA_HOME/velqosch/windows, else ~/.local/share/velqosch/windows).\n"
    "\n"
    "  --foreground      stay attached to the terminal (default: detach)\n"
    "  --log FILE        append the log to FILE (default: stderr; a detached\n"
    "                    daemon without --log logs nothing); a detached daemon\n"
    "                    also sends its standard output and error there\n"
    "  --kill-grace MS   time between SIGTERM and SIGKILL when a run is ended\n"
    "                    (default 3000)\n"
    "  --rescan SECONDS  rescan the Tasks folder at least this often (default 60)\n"
    "  --print-pid FD    write the daemon's process id and a newline to the open\n"
    "                    descriptor FD, once detached, and close it\n"
    "  --help            show this text\n"
    "\n"
    "One daemon runs per Windows directory; a second one exits with status 2.\n"
    "$VELQOSVC_TIME_OFFSET (seconds) shifts the daemon's clock, for tests.\n"
    "SIGTERM or SIGINT stops it: running items are terminated and recorded;\n"
    "SIGHUP makes it rescan the Tasks folder at once.\n";

bool ParseNumber(const char *text, int low, int high, int *out) {
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 10);
    if (errno || !*text || *end || v < low || v > high) return false;
    *out = int(v);
    return true;
}

// Writes "<pid>\n" to `fd` and closes it; false when it could not be written whole.
bool PrintPid(int fd, pid_t pid) {
    const std::string text = std::to_string(pid) + "\n";
    ssize_t n;
    do n = write(fd, text.data(), text.size());
    while (n < 0 && errno == EINTR);
    close(fd);
    return n == ssize_t(text.size());
}

// Detaches from the terminal: the daemon is a child of a session leader that
// exits, so it has no terminal and can never take one. A process that leads
// its session already (as the service control spawns it) forks once, and its
// parent reaps that leader; one started from a shell leads its process group,
// which cannot make a session, so it forks once more first. The leader hands
// the daemon's pid to `printFd` (when not -1). Standard input comes from
// /dev/null, standard output and error go to the log, if any.
bool Detach(int printFd, std::FILE *log) {
    pid_t child;
    if (getsid(0) != getpid()) {
        if (getpgrp() == getpid()) {
            child = fork();
            if (child < 0) return false;
            if (child > 0) _exit(0);
        }
        if (setsid() < 0) return false;
    }
    child = fork();
    if (child < 0) return false;
    if (child > 0) _exit(printFd < 0 || PrintPid(printFd, child) ? 0 : 1);
    if (printFd >= 0) close(printFd);
    int null = open("/dev/null", O_RDWR);
    const int out = log != stderr ? fileno(log) : null;
    if (null >= 0) dup2(null, 0);
    if (out >= 0) {
        dup2(out, 1);
        dup2(out, 2);
    }
    if (null > 2) close(null);
    return chdir("/") == 0;
}

}  // namespace

int main(int argc, char **argv) {
    velqosvc::Options options;
    int printFd = -1;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        bool hasValue = i + 1 < argc;
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--foreground") {
            options.foreground = true;
        } else if (a == "--log" && hasValue) {
            options.logPath = argv[++i];
        } else if (a == "--kill-grace" && hasValue) {
            if (!ParseNumber(argv[++i], 0, 600000, &options.killGraceMs)) {
                std::fprintf(stderr, "velqosvc: --kill-grace takes 0..600000 milliseconds\n");
                return 64;
            }
        } else if (a == "--print-pid" && hasValue) {
            if (!ParseNumber(argv[++i], 0, 1 << 20, &printFd) || fcntl(printFd, F_GETFD) < 0) {
                std::fprintf(stderr, "velqosvc: --print-pid takes an open file descriptor\n");
                return 64;
            }
        } else if (a == "--rescan" && hasValue) {
            if (!ParseNumber(argv[++i], 1, 86400, &options.rescanSeconds)) {
                std::fprintf(stderr, "velqosvc: --rescan takes 1..86400 seconds\n");
                return 64;
            }
        } else {
            std::fprintf(stderr, "velqosvc: unknown or incomplete option '%s'\n%s", argv[i], kUsage);
            return 64;
        }
    }
    std::FILE *log = stderr;
    if (!options.logPath.empty()) {
        log = std::fopen(options.logPath.c_str(), "ae");
        if (!log) {
            std::fprintf(stderr, "velqosvc: cannot open the log %s: %s\n", options.logPath.c_str(),
                         std::strerror(errno));
            return 1;
        }
        chmod(options.logPath.c_str(), 0600);
    }
    // A detached daemon cannot tell the terminal that another one runs: look first.
    if (!options.foreground) {
        velqo::service::DaemonStatus other = velqo::service::QueryDaemonStatus();
        if (other.state != SERVICE_STOPPED) {
            std::fprintf(stderr, "velqosvc: another daemon already serves this Windows directory (pid %ld)\n",
                         other.pid);
            return 2;
        }
    }
    if (!options.foreground && !Detach(printFd, log)) {
        std::fprintf(stderr, "velqosvc: cannot detach: %s\n", std::strerror(errno));
        return 1;
    }
    if (options.foreground && printFd >= 0 && !PrintPid(printFd, getpid())) {
        std::fprintf(stderr, "velqosvc: cannot write to --print-pid's descriptor: %s\n", std::strerror(errno));
        return 1;
    }
    int status = velqosvc::RunDaemon(options, log);
    if (log != stderr) std::fclose(log);
    return status;
}
