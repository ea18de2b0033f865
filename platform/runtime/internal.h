// Helpers shared by the runtime's translation units. Not exported.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

namespace velqo::rt {

// One counted allocation: false when the test seam says this one fails.
bool AllocationAllowed();

// Raw block allocation that honours the seam (malloc-based, so blocks are
// 16-byte aligned on 64-bit glibc).
void *CountedAlloc(std::size_t cb);

// Kernel objects behind HANDLE values. A HANDLE is the address of a live
// object registered here; CloseHandle looks it up and destroys it.
struct HandleObject {
    virtual ~HandleObject() = default;
};
HANDLE RegisterHandle(std::unique_ptr<HandleObject> object);
// The live object behind a handle, or nullptr. The pointer stays valid until
// the handle is closed.
HandleObject *LookupHandle(HANDLE handle);

// UTF-16 <-> UTF-8 for internal use (lone surrogates become U+FFFD).
std::u16string Utf8ToUtf16(const char *text, std::size_t length);
std::string Utf16ToUtf8(const char16_t *text, std::size_t length);

// Text forms of the variant types (variant_text.cpp). The parse functions
// return DISP_E_TYPEMISMATCH for text that is not a value of that type.
HRESULT ParseNumber(const OLECHAR *text, double *value, bool *integral, LONGLONG *integer);
HRESULT ParseDate(const OLECHAR *text, DATE *value);
std::u16string FormatDouble(double value, int significantDigits);
// E_INVALIDARG for a date outside 100-01-01 .. 9999-12-31.
HRESULT FormatDate(DATE value, std::u16string *text);

// Date arithmetic (dates.cpp): days since 1899-12-30 of a civil date and back.
long DaysFromCivil(long year, unsigned month, unsigned day);
void CivilFromDays(long days, long *year, unsigned *month, unsigned *day);
bool IsLeapYear(long year);
unsigned DaysInMonth(long year, unsigned month);

}  // namespace velqo::rt
