// The procedure trace. Each thread looks for the viewer window once, at its
// first traced call; without a viewer every later call only tests the state.
#include "trace/trace.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

namespace velqosch {

namespace {

constexpr char kComponent[] = "velqosch";
constexpr char kViewerTitle[] = "Orvell Snagtrap";
constexpr char kViewerPrefix[] = "Orvell Snagtrap -";  // 17 characters

thread_local TraceState t_state;

bool IsViewerTitle(const char *title, int length) {
    constexpr int kTitleLen = sizeof kViewerTitle - 1;
    constexpr int kPrefixLen = sizeof kViewerPrefix - 1;
    if (length == kTitleLen && std::memcmp(title, kViewerTitle, kTitleLen) == 0) return true;
    return length >= kPrefixLen && std::memcmp(title, kViewerPrefix, kPrefixLen) == 0;
}

void SendLine(HWND viewer, const std::string &line) {
    SendMessageA(viewer, WM_SETTEXT, static_cast<WPARAM>(line.size()), reinterpret_cast<LPARAM>(line.c_str()));
}

void TraceStart(TraceState &state) noexcept {
    HWND found = nullptr;
    for (HWND hwnd = GetWindow(GetDesktopWindow(), GW_CHILD); hwnd; hwnd = GetWindow(hwnd, GW_HWNDNEXT)) {
        char title[255] = {};
        int length = GetWindowTextA(hwnd, title, sizeof title);
        if (length < 0) length = 0;
        if (length > int(sizeof title) - 1) length = int(sizeof title) - 1;
        if (IsViewerTitle(title, length)) {
            found = hwnd;
            break;
        }
    }
    state.viewer = found;
    if (static_cast<LONG>(reinterpret_cast<LONG_PTR>(found)) < 1) {
        state.started = -1;
        return;
    }

    char separator[2] = {0, 0};
    DWORD kept = GetProfileStringA("intl", "sDecimal", ".", separator, sizeof separator);
    state.decimalSeparator[0] = kept >= 1 ? separator[0] : 0;
    state.decimalSeparator[1] = 0;

    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    timeBeginPeriod(1);

    SYSTEMTIME now{};
    GetLocalTime(&now);
    char banner[96];
    int n = std::snprintf(banner, sizeof banner, "%s START SNAGTRAP 6.60 LITE %02u-%02u-%04u,%02u:%02u:%02u\r\n",
                          kComponent, unsigned(now.wMonth), unsigned(now.wDay), unsigned(now.wYear),
                          unsigned(now.wHour), unsigned(now.wMinute), unsigned(now.wSecond));
    state.startTime = timeGetTime();
    if (n > 0 && n < int(sizeof banner))
        SendMessageA(found, WM_SETTEXT, static_cast<WPARAM>(n), reinterpret_cast<LPARAM>(banner));
    state.started = -1;
}

// "00000.000" of the elapsed milliseconds, written with the locale's decimal
// separator and then with its first occurrence replaced by a point. Empty
// when the signed 32-bit subtraction overflows.
void AppendElapsed(std::string &line, const TraceState &state) {
    std::int64_t now = static_cast<std::int32_t>(timeGetTime());
    std::int64_t start = static_cast<std::int32_t>(state.startTime);
    std::int64_t elapsed = now - start;
    if (elapsed > std::numeric_limits<std::int32_t>::max() || elapsed < std::numeric_limits<std::int32_t>::min())
        return;
    std::int64_t magnitude = elapsed < 0 ? -elapsed : elapsed;
    char digits[32];
    std::snprintf(digits, sizeof digits, "%s%05lld", elapsed < 0 ? "-" : "", static_cast<long long>(magnitude / 1000));
    char fraction[8];
    std::snprintf(fraction, sizeof fraction, "%03lld", static_cast<long long>(magnitude % 1000));
    std::string text = digits;
    char separator = state.decimalSeparator[0];
    text += separator ? separator : '.';
    text += fraction;
    if (separator) {
        std::size_t at = text.find(separator);
        if (at != std::string::npos) text[at] = '.';
    }
    line += text;
}

void AppendLineNumber(std::string &line, LONG number) {
    char digits[16];
    long long value = number;
    std::snprintf(digits, sizeof digits, "%s%05lld", value < 0 ? "-" : "", value < 0 ? -value : value);
    line += digits;
}

__attribute__((noinline)) void TraceLine(bool entry, std::string_view module, std::string_view procedure, std::string_view extra) noexcept {
    TraceState &state = t_state;
    if (!state.started) TraceStart(state);
    if (!state.viewer) return;

    if (state.lineNumber < std::numeric_limits<LONG>::max()) ++state.lineNumber;
    if (entry && state.depth < std::numeric_limits<LONG>::max()) ++state.depth;
    try {
        std::string line;
        line.reserve(48 + std::size_t(state.depth > 1 ? state.depth : 1) + module.size() + procedure.size() +
                     extra.size());
        line += '[';
        line += kComponent;
        line += "] [";
        AppendLineNumber(line, state.lineNumber);
        line += "] [";
        AppendElapsed(line, state);
        line += entry ? "] ->" : "] <-";
        if (state.depth > 1) line.append(std::size_t(state.depth - 1), '\t');
        line += module;
        line += " : ";
        line += procedure;
        line += " : ";
        line += extra;
        line += "\r\n";
        SendLine(state.viewer, line);
    } catch (...) {
        // Out of memory while composing: the line is not sent.
    }
    if (!entry) {
        if (state.depth > std::numeric_limits<LONG>::min()) --state.depth;
        if (state.depth < 0) state.depth = 0;
    }
}

}  // namespace

TraceState &CurrentTraceState() noexcept { return t_state; }

// The trace is off on most threads: that test comes first, before any of
// the work of a line.
void TraceProcEnter(std::string_view module, std::string_view procedure, std::string_view extra) noexcept {
    const TraceState &state = t_state;
    if (state.started && !state.viewer) return;
    TraceLine(true, module, procedure, extra);
}

void TraceProcExit(std::string_view module, std::string_view procedure, std::string_view extra) noexcept {
    const TraceState &state = t_state;
    if (state.started && !state.viewer) return;
    TraceLine(false, module, procedure, extra);
}

}  // namespace velqosch
