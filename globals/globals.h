// Module Globals: start-up per thread, the Windows directory, service
// strings and generated task names.
#pragma once

#include <string>

#include "service/platform.h"

namespace velqosch {

// The per-thread globals filled by Main.
struct ThreadGlobals {
    IID IID_ITask{};
    CLSID CLSID_CTask{};
    std::u16string WindowsDirectory;  // always ends in the path separator
    bool initialised = false;
};

ThreadGlobals &Globals() noexcept;

// Fills this thread's globals. Raises on failure.
void Main();
// Runs Main on this thread unless it already ran successfully here.
void EnsureThreadStarted();
// The Windows directory with a trailing separator. Raises the system's last
// error with "Failed to get windows directory" when it cannot be read.
std::u16string ReadWindowsDirectory();
// Takes a service-allocated string: copies it and frees the buffer once.
std::u16string StringFromLongPtr(LPWSTR serviceString);
// A new GUID as 8-4-4-4-12 upper-case hex digits, or "00000000".
std::u16string GetGUID();
// (width - length) zeros.
std::u16string LeadingZeros(SHORT &width, SHORT &length);

}  // namespace velqosch
