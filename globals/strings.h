// Conversions between the component's own strings and automation strings.
#pragma once

#include <new>
#include <string>
#include <string_view>

#include "service/platform.h"

namespace velqosch {

// A new BSTR holding text; throws std::bad_alloc when it cannot be made.
inline BSTR ToBstr(std::u16string_view text) {
    BSTR b = SysAllocStringLen(reinterpret_cast<const OLECHAR *>(text.data()), static_cast<UINT>(text.size()));
    if (!b) throw std::bad_alloc();
    return b;
}
// The text of a BSTR (a null BSTR is the empty string).
inline std::u16string FromBstr(BSTR b) {
    if (!b) return {};
    return std::u16string(reinterpret_cast<const char16_t *>(b), SysStringLen(b));
}
// Owns a BSTR for the length of a scope.
class BstrHolder {
public:
    BstrHolder() = default;
    explicit BstrHolder(std::u16string_view text) : b_(ToBstr(text)) {}
    ~BstrHolder() { SysFreeString(b_); }
    BstrHolder(const BstrHolder &) = delete;
    BstrHolder &operator=(const BstrHolder &) = delete;
    BSTR get() const noexcept { return b_; }
    BSTR *out() noexcept {
        SysFreeString(b_);
        b_ = nullptr;
        return &b_;
    }
    BSTR release() noexcept {
        BSTR b = b_;
        b_ = nullptr;
        return b;
    }

private:
    BSTR b_ = nullptr;
};
// The text as a wide C string for a service call (const WCHAR*).
inline LPCWSTR Wide(const std::u16string &s) noexcept { return reinterpret_cast<LPCWSTR>(s.c_str()); }

}  // namespace velqosch
