// velqosvc [--foreground] [--log FILE] [--kill-grace MS] [--rescan SECONDS]
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
    "\n"
    "Runs the work items stored in <Windows directory>/Tasks when their triggers\n"
    "fire (the Windows directory is $VELQOSCH_WINDIR, else\n"
    "$XDG_DATA_HOME/velqosch/windows, else ~/.local/share/velqosch/windows).\n"
    "\n"
    "  --foreground      stay attached to the terminal (default: detach)\n"
    "  --log FILE        append the log to FILE (default: stderr; a detached\n"
    "                    daemon without --log logs nothing)\n"
    "  --kill-grace MS   time between SIGTERM and SIGKILL when a run is ended\n"
    "                    (default 3000)\n"
    "  --rescan SECONDS  rescan the Tasks folder at least this often (default 60)\n"
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

// Detaches from the terminal: a new session in a grandchild process.
bool Detach() {
    pid_t child = fork();
    if (child < 0) return false;
    if (child > 0) _exit(0);
    setsid();
    child = fork();
    if (child < 0) _exit(1);
    if (child > 0) _exit(0);
    int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        if (null > 2) close(null);
    }
    return chdir("/") == 0;
}

}  // namespace

int main(int argc, char **argv) {
    velqosvc::Options options;
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
    if (!options.foreground && !Detach()) {
        std::fprintf(stderr, "velqosvc: cannot detach: %s\n", std::strerror(errno));
        return 1;
    }
    int status = velqosvc::RunDaemon(options, log);
    if (log != stderr) std::fclose(log);
    return status;
}
