// snagtrap: the trace viewer. Opens a window titled "Orvell Snagtrap - <word>"
// in the user's session and prints every line sent to it, as received.
#include <windows.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr char kClassName[] = "OrvellSnagtrapViewer";
constexpr char kTitlePrefix[] = "Orvell Snagtrap - ";

struct Sink {
    FILE *output = nullptr;      // --output, appended to
    bool stdoutFailed = false;
    bool outputFailed = false;
};

void WriteTo(FILE *stream, const char *text, std::size_t length, bool *failed, const char *what) {
    if (*failed) return;
    if (std::fwrite(text, 1, length, stream) != length || std::fflush(stream) != 0) {
        *failed = true;
        std::fprintf(stderr, "snagtrap: cannot write to %s: %s\n", what, std::strerror(errno));
    }
}

LRESULT ViewerProc(HWND, UINT msg, WPARAM, LPARAM lParam, void *context) {
    auto *sink = static_cast<Sink *>(context);
    if (msg != WM_SETTEXT) return 0;
    const char *text = lParam ? reinterpret_cast<const char *>(lParam) : "";
    std::size_t length = std::strlen(text);
    WriteTo(stdout, text, length, &sink->stdoutFailed, "standard output");
    if (sink->output) WriteTo(sink->output, text, length, &sink->outputFailed, "the output file");
    return TRUE;
}

void Usage(FILE *stream) {
    std::fprintf(stream,
                 "usage: snagtrap [--title-word WORD] [--output FILE] [--ready-file FILE]\n"
                 "\n"
                 "Opens the trace viewer window \"Orvell Snagtrap - WORD\" and prints every trace\n"
                 "line it receives to standard output. Stops on SIGINT or SIGTERM.\n"
                 "\n"
                 "  --title-word WORD  the last word of the window title (default: Viewer)\n"
                 "  --output FILE      also append the lines to FILE\n"
                 "  --ready-file FILE  write FILE once the window takes lines\n"
                 "  --help             show this text\n");
}

// Written under a temporary name and renamed, so a waiting script never sees
// it half written.
bool WriteReadyFile(const std::string &path, HWND hwnd) {
    std::string temporary = path + ".tmp" + std::to_string(getpid());
    FILE *file = std::fopen(temporary.c_str(), "w");
    if (!file) return false;
    bool ok = std::fprintf(file, "%ld %lu\n", static_cast<long>(getpid()),
                           static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(hwnd))) > 0;
    ok = std::fclose(file) == 0 && ok;
    ok = ok && std::rename(temporary.c_str(), path.c_str()) == 0;
    if (!ok) std::remove(temporary.c_str());
    return ok;
}

}  // namespace

int main(int argc, char **argv) {
    std::string word = "Viewer";
    const char *outputPath = nullptr;
    const char *readyPath = nullptr;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](const char *name) -> const char * {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "snagtrap: %s needs a value\n", name);
                return nullptr;
            }
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return 0;
        } else if (arg == "--title-word") {
            const char *v = value("--title-word");
            if (!v) return 2;
            word = v;
        } else if (arg == "--output") {
            if (!(outputPath = value("--output"))) return 2;
        } else if (arg == "--ready-file") {
            if (!(readyPath = value("--ready-file"))) return 2;
        } else {
            std::fprintf(stderr, "snagtrap: unknown argument '%s'\n", argv[i]);
            Usage(stderr);
            return 2;
        }
    }

    Sink sink;
    if (outputPath) {
        sink.output = std::fopen(outputPath, "ab");
        if (!sink.output) {
            std::fprintf(stderr, "snagtrap: cannot open %s: %s\n", outputPath, std::strerror(errno));
            return 1;
        }
    }

    // The signals that end the viewer are taken by sigwait below; the
    // window's receiver thread starts with them blocked too.
    signal(SIGPIPE, SIG_IGN);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    std::string title = kTitlePrefix + word;
    HWND hwnd = VelqoCreateWindow(kClassName, title.c_str(), ViewerProc, &sink);
    if (!hwnd) {
        std::fprintf(stderr, "snagtrap: cannot open the viewer window (error %lu)\n",
                     static_cast<unsigned long>(GetLastError()));
        if (sink.output) std::fclose(sink.output);
        return 1;
    }
    int status = 0;
    if (readyPath && !WriteReadyFile(readyPath, hwnd)) {
        std::fprintf(stderr, "snagtrap: cannot write %s: %s\n", readyPath, std::strerror(errno));
        status = 1;
    } else {
        int signalNumber = 0;
        while (sigwait(&stop, &signalNumber) != 0) {
        }
    }
    VelqoDestroyWindow(hwnd);
    if (sink.output && std::fclose(sink.output) != 0) status = 1;
    return status;
}
