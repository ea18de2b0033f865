// Small helpers shared by the two C++ examples: text, dates and error checks.
// Written against the Windows names; on POSIX the same names come from the
// project's runtime.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "service/platform.h"  // the Windows headers, or the runtime's on POSIX

#ifdef _WIN32
#define TEXT16(s) L##s
#else
#define TEXT16(s) u##s
#endif

namespace example {

// The program the weekly task runs.
#ifdef _WIN32
inline const OLECHAR *const kProgram = TEXT16("C:\\Windows\\System32\\notepad.exe");
#else
inline const OLECHAR *const kProgram = TEXT16("/bin/true");
#endif

// Stops the example with a message when a call fails.
inline void Check(HRESULT hr, const char *what) {
    if (SUCCEEDED(hr)) return;
    std::fprintf(stderr, "%s failed: 0x%08X\n", what, static_cast<unsigned>(hr));
    std::exit(1);
}

// Save: Wine's service writes the file and then answers E_NOTIMPL, which is
// taken as success.
inline void CheckSave(HRESULT hr) {
    if (hr != E_NOTIMPL) Check(hr, "Save");
}

// ASCII text of a BSTR, for printing.
inline std::string Narrow(BSTR text) {
    std::string out;
    for (UINT i = 0; text && i < SysStringLen(text); ++i) out += text[i] < 128 ? static_cast<char>(text[i]) : '?';
    return out;
}

inline DATE Now() {
    SYSTEMTIME st;
    GetLocalTime(&st);
    DATE d = 0;
    SystemTimeToVariantTime(&st, &d);
    return d;
}

inline DATE TimeOfDay(int hour, int minute) { return (hour * 60 + minute) / 1440.0; }

inline std::string DateText(DATE d) {
    SYSTEMTIME st{};
    VariantTimeToSystemTime(d, &st);
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%04u-%02u-%02u %02u:%02u", st.wYear, st.wMonth, st.wDay, st.wHour,
                  st.wMinute);
    return buffer;
}

}  // namespace example
