// The procedure trace: entry and exit lines of the component's procedures,
// sent to a trace viewer window when one was open at the thread's first
// traced call.
#pragma once

#include <exception>
#include <string_view>

#include "service/platform.h"

namespace velqosch {

// Per-thread trace state.
struct TraceState {
    HWND viewer = nullptr;  // the viewer found by TraceStart; null while none
    SHORT started = 0;      // 0 or -1: TraceStart has run on this thread
    LONG lineNumber = 0;    // lines sent so far
    LONG depth = 0;         // current nesting depth
    char decimalSeparator[2] = {0, 0};
    DWORD startTime = 0;  // timeGetTime() when the banner was sent
};

TraceState &CurrentTraceState() noexcept;

void TraceProcEnter(std::string_view module, std::string_view procedure, std::string_view extra) noexcept;
void TraceProcExit(std::string_view module, std::string_view procedure, std::string_view extra) noexcept;

// Wraps one procedure: the entry line on construction, the exit line on the
// normal way out. A procedure left by an exception sends no exit line, and an
// early way out that must not send one calls Skip() first.
//
// A thread that found no viewer at its first traced call never traces: a
// scope on such a thread does nothing more than see that, once.
class TraceScope {
public:
    TraceScope(std::string_view module, std::string_view procedure) noexcept : module_(module), procedure_(procedure) {
        const TraceState &state = CurrentTraceState();
        if (state.started && !state.viewer) {
            skip_ = true;
            return;
        }
        exceptions_ = std::uncaught_exceptions();
        TraceProcEnter(module_, procedure_, {});
    }
    ~TraceScope() {
        if (!skip_ && std::uncaught_exceptions() == exceptions_) TraceProcExit(module_, procedure_, {});
    }
    void Skip() noexcept { skip_ = true; }
    TraceScope(const TraceScope &) = delete;
    TraceScope &operator=(const TraceScope &) = delete;

private:
    std::string_view module_;
    std::string_view procedure_;
    int exceptions_ = 0;
    bool skip_ = false;
};

}  // namespace velqosch
