// The one late-binding caller of the tests: owned variants, arguments in
// reading order, named arguments, the result, the argument error and the
// exception record as one text (the shared error record's).
#pragma once

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "runtime/runtime_test_support.h"
#include "service/platform.h"

namespace late {

// An owned VARIANT.
class Var {
public:
    Var() noexcept { VariantInit(&v_); }
    Var(const Var &other) : Var() { VariantCopy(&v_, const_cast<VARIANT *>(&other.v_)); }
    Var &operator=(const Var &) = delete;
    ~Var() { VariantClear(&v_); }
    // A variant of type vt whose value (or reference) `set` fills in.
    template <class F>
    static Var Of(VARTYPE vt, F set) {
        Var r;
        r.v_.vt = vt;
        set(r.v_);
        return r;
    }
    // clang-format off
    static Var I2(SHORT x) { return Of(VT_I2, [x](VARIANT &v) { v.iVal = x; }); }
    static Var I4(LONG x) { return Of(VT_I4, [x](VARIANT &v) { v.lVal = x; }); }
    static Var Date(DATE x) { return Of(VT_DATE, [x](VARIANT &v) { v.date = x; }); }
    static Var Str(const char16_t *s) { return Of(VT_BSTR, [s](VARIANT &v) { v.bstrVal = SysAllocString(s); }); }
    static Var Missing() { return Of(VT_ERROR, [](VARIANT &v) { v.scode = DISP_E_PARAMNOTFOUND; }); }
    // A by-reference argument to a caller's variable of type vt.
    static Var Ref(VARTYPE vt, void *target) { return Of(VT_BYREF | vt, [target](VARIANT &v) { v.byref = target; }); }
    // clang-format on

    VARIANT *get() noexcept { return &v_; }
    const VARIANT *operator->() const noexcept { return &v_; }
    VARTYPE vt() const noexcept { return v_.vt; }
    std::u16string str() const { return v_.vt == VT_BSTR && v_.bstrVal ? v_.bstrVal : u""; }
    IDispatch *disp() const noexcept { return v_.vt == VT_DISPATCH ? v_.pdispVal : nullptr; }

private:
    VARIANT v_;
};

// Whether two variants hold the same scalar or text.
inline bool Same(const Var &a, const Var &b) {
    if (a.vt() != b.vt()) return false;
    switch (a.vt()) {
        case VT_BSTR: return a.str() == b.str();
        case VT_I2:
        case VT_BOOL: return a->iVal == b->iVal;
        case VT_I4: return a->lVal == b->lVal;
        case VT_DATE: return a->date == b->date;
        default: return a.vt() == VT_EMPTY;
    }
}

// The DISPIDs of `names` on `object` (DISPID_UNKNOWN for a name it lacks) and its answer.
inline std::pair<HRESULT, std::vector<DISPID>> IdsOf(IDispatch *object, std::vector<const char16_t *> names) {
    std::vector<LPOLESTR> raw;
    for (const char16_t *n : names) raw.push_back(const_cast<LPOLESTR>(n));
    std::vector<DISPID> ids(names.size(), 123);
    const HRESULT hr = object->GetIDsOfNames(IID_NULL, raw.data(), static_cast<UINT>(raw.size()), 0, ids.data());
    return {hr, ids};
}
inline DISPID IdOf(IDispatch *object, const char16_t *name) { return IdsOf(object, {name}).second[0]; }

struct Call {
    HRESULT hr = E_FAIL;
    Var result;
    UINT argErr = 0xFFFFFFFF;
    // With an EXCEPINFO asked for: "scode wCode source: description (help file, context)".
    std::string exception;
};

// Invokes `id` with `args` in reading order (the first parameter first) and
// `named` parameter identifiers for the first named.size() of them.
inline Call InvokeId(IDispatch *object, DISPID id, WORD flags, std::vector<Var> args, bool exception = false,
                     std::vector<DISPID> named = {}) {
    // rgvarg holds the named arguments first, then the positional ones in reverse.
    std::vector<VARIANT> raw;
    for (std::size_t i = 0; i < named.size(); ++i) raw.push_back(*args[i].get());
    for (std::size_t i = args.size(); i > named.size(); --i) raw.push_back(*args[i - 1].get());
    if (flags & DISPATCH_PROPERTYPUT) named = {DISPID_PROPERTYPUT};
    DISPPARAMS dp{raw.empty() ? nullptr : raw.data(), named.empty() ? nullptr : named.data(),
                  static_cast<UINT>(raw.size()), static_cast<UINT>(named.size())};
    Call c;
    EXCEPINFO e{};
    c.hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &dp, c.result.get(), exception ? &e : nullptr,
                          &c.argErr);
    if (!exception) return c;
    char head[32];
    std::snprintf(head, sizeof head, "%08X %u ", static_cast<unsigned>(e.scode), e.wCode);
    c.exception = head + ErrorRecord(e.bstrSource, e.bstrDescription, e.bstrHelpFile, e.dwHelpContext);
    return c;
}

inline Call Invoke(IDispatch *object, const char16_t *name, WORD flags, std::vector<Var> args = {},
                   bool exception = false) {
    return InvokeId(object, IdOf(object, name), flags, std::move(args), exception);
}

constexpr WORD kGet = DISPATCH_PROPERTYGET;
constexpr WORD kPut = DISPATCH_PROPERTYPUT;
constexpr WORD kCall = DISPATCH_METHOD | DISPATCH_PROPERTYGET;  // what a script's call syntax asks for

}  // namespace late
