#include "globals/globals.h"

#include <cstring>

#include "trace/error.h"
#include "trace/trace.h"

namespace velqosch {

namespace {
constexpr std::string_view kModule = "Globals";
constexpr const char16_t *kIIDITask = u"{148BD524-A2AB-11CE-B11F-00AA00530503}";
constexpr const char16_t *kCLSIDCTask = u"{148BD520-A2AB-11CE-B11F-00AA00530503}";

void ParseGuid(const char16_t *text, GUID &out) {
    // The parser takes a writable string on Windows.
    std::u16string copy(text);
    Check(CLSIDFromString(reinterpret_cast<LPOLESTR>(copy.data()), &out));
}

const char16_t kHexDigits[] = u"0123456789ABCDEF";

std::u16string Hex(uint32_t value) {
    std::u16string digits;
    do {
        digits.insert(digits.begin(), kHexDigits[value & 0xF]);
        value >>= 4;
    } while (value != 0);
    return digits;
}

// A hexadecimal field padded to width digits through LeadingZeros.
std::u16string PaddedField(uint32_t value, SHORT width) {
    std::u16string digits = Hex(value);
    SHORT length = static_cast<SHORT>(digits.size());
    return LeadingZeros(width, length) + digits;
}
}  // namespace

ThreadGlobals &Globals() noexcept {
    thread_local ThreadGlobals globals;
    return globals;
}

void Main() {
    TraceScope trace(kModule, "Sub Main");
    ThreadGlobals &g = Globals();
    ParseGuid(kIIDITask, g.IID_ITask);
    ParseGuid(kCLSIDCTask, g.CLSID_CTask);
    g.WindowsDirectory = ReadWindowsDirectory();
}

void EnsureThreadStarted() {
    ThreadGlobals &g = Globals();
    if (g.initialised) return;
    Main();
    g.initialised = true;
}

std::u16string ReadWindowsDirectory() {
    char buffer[MAX_PATH] = {};
    const UINT copied = GetWindowsDirectoryA(buffer, MAX_PATH);
    if (copied == 0) {
        const DWORD error = GetLastError();
        Raise(static_cast<LONG>(error), kProductName, u"Failed to get windows directory");
    }
    // A result past the buffer is the size it would need; keep what fits.
    const int length = static_cast<int>(copied < MAX_PATH ? copied : ::strnlen(buffer, MAX_PATH - 1));
    std::u16string text;
    if (length > 0) {
        const int units = MultiByteToWideChar(CP_ACP, 0, buffer, length, nullptr, 0);
        text.resize(static_cast<size_t>(units > 0 ? units : 0));
        if (units > 0) MultiByteToWideChar(CP_ACP, 0, buffer, length, reinterpret_cast<LPWSTR>(text.data()), units);
    }
    if (text.empty() || text.back() != static_cast<char16_t>(kPathSeparator)) text.push_back(kPathSeparator);
    return text;
}

std::u16string StringFromLongPtr(LPWSTR serviceString) {
    TraceScope trace(kModule, "Function StringFromLongPtr");
    struct Release {
        LPWSTR p;
        ~Release() { CoTaskMemFree(p); }
    } release{serviceString};
    const int units = lstrlenW(serviceString);
    std::u16string text(static_cast<size_t>(units), u'\0');
    if (units > 0) RtlMoveMemory(text.data(), serviceString, static_cast<SIZE_T>(units) * 2);
    return text;
}

std::u16string GetGUID() {
    TraceScope trace(kModule, "Function GetGUID");
    GUID guid{};
    if (CoCreateGuid(&guid) != 0) return u"00000000";
    std::u16string text = PaddedField(guid.Data1, 8);
    text += u'-';
    text += PaddedField(guid.Data2, 4);
    text += u'-';
    text += PaddedField(guid.Data3, 4);
    text += u'-';
    for (int i = 0; i < 8; ++i) {
        text += kHexDigits[guid.Data4[i] >> 4];
        text += kHexDigits[guid.Data4[i] & 0xF];
        if (i == 1) text += u'-';
    }
    return text;
}

std::u16string LeadingZeros(SHORT &width, SHORT &length) {
    TraceScope trace(kModule, "Function LeadingZeros");
    const SHORT count = SubI2(width, length);
    if (count < 0) RaiseStandard(kErrInvalidCall);
    return std::u16string(static_cast<size_t>(count), u'0');
}

}  // namespace velqosch
