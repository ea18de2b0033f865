// The error record and the one way errors travel: raised as a C++ exception
// inside the component, turned into the member's HRESULT and the thread's
// IErrorInfo at the published boundary.
#pragma once

#include <cstdint>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>

#include "service/platform.h"

namespace velqosch {

inline constexpr const char16_t *kProductName = u"Velqo Task Scheduler";
inline constexpr const char16_t *kHelpFile = u"velqosch.chm";

// Standard automation error numbers.
enum : LONG {
    kErrInvalidCall = 5,     // "Invalid procedure call or argument"
    kErrOverflow = 6,        // "Overflow"
    kErrOutOfMemory = 7,     // "Out of memory"
    kErrSubscript = 9,       // "Subscript out of range"
    kErrTypeMismatch = 13,   // "Type mismatch"
    kErrKeyInUse = 457,      // "This key is already associated with an element of this collection"
};

struct ErrorRecord {
    LONG number = 0;
    std::u16string source;
    std::u16string description;
    std::u16string helpFile;
    DWORD helpContext = 0;
};

// The exception that carries an error record up to the published member.
class ComponentError {
public:
    explicit ComponentError(ErrorRecord record) : record_(std::move(record)) {}
    const ErrorRecord &record() const noexcept { return record_; }

private:
    ErrorRecord record_;
};

// Raises an error with the given fields.
[[noreturn]] void Raise(LONG number, std::u16string source, std::u16string description,
                        std::u16string helpFile = {}, DWORD helpContext = 0);
// Raises one of the standard errors (5, 6, 7, 9, 13, 457) with its text and
// the given source.
[[noreturn]] void RaiseStandard(LONG number, std::u16string source = kProductName);
// Raises a failing service status unchanged as the error number.
[[noreturn]] void RaiseHResult(HRESULT hr);
// Raises hr when it is a failure; successful statuses pass.
inline void Check(HRESULT hr) {
    if (FAILED(hr)) RaiseHResult(hr);
}

// Description of a standard error number, empty when unknown.
std::u16string StandardDescription(LONG number);

// The HRESULT under which an error number reaches the client.
constexpr HRESULT HResultFromNumber(LONG number) noexcept {
    if (number >= 1 && number <= 65535) return static_cast<HRESULT>(0x800A0000u + static_cast<uint32_t>(number));
    if (number < 0) return number;
    return E_FAIL;
}
// The error number a client reads back from an HRESULT (5 for 0x800A0005).
constexpr LONG NumberFromHResult(HRESULT hr) noexcept {
    if ((static_cast<uint32_t>(hr) & 0xFFFF0000u) == 0x800A0000u) return static_cast<LONG>(hr & 0xFFFF);
    return hr;
}

// Checked 16-bit arithmetic and narrowing: error 6 on overflow.
SHORT CheckedI2(int64_t value);
LONG CheckedI4(int64_t value);
SHORT AddI2(SHORT a, SHORT b);
SHORT SubI2(SHORT a, SHORT b);
// Bounds check: error 9 when index is outside [lower, upper].
void CheckBounds(int64_t index, int64_t lower, int64_t upper);

// Publishes an error record on the thread: its IErrorInfo is set and its
// HRESULT returned.
HRESULT PublishError(const ErrorRecord &record) noexcept;

// The guard of every published member: runs body, turning a raised error
// into its HRESULT plus IErrorInfo, bad_alloc into E_OUTOFMEMORY. On success
// the thread's error information is cleared.
template <class F>
HRESULT Guard(F &&body) noexcept {
    try {
        body();
        SetErrorInfo(0, nullptr);
        return S_OK;
    } catch (const ComponentError &e) {
        return PublishError(e.record());
    } catch (const std::bad_alloc &) {
        SetErrorInfo(0, nullptr);
        return E_OUTOFMEMORY;
    } catch (const std::length_error &) {
        SetErrorInfo(0, nullptr);
        return E_OUTOFMEMORY;
    }
}

}  // namespace velqosch
