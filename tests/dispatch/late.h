// A small late-binding caller for the dispatch tests: arguments in reading
// order, named arguments, the result and the exception record, all held in
// RAII variants.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "service/platform.h"

namespace late {

// An owned VARIANT.
class Var {
public:
    Var() noexcept { VariantInit(&v_); }
    Var(const Var &other) : Var() { VariantCopy(&v_, const_cast<VARIANT *>(&other.v_)); }
    Var &operator=(const Var &) = delete;
    ~Var() { VariantClear(&v_); }

    static Var I2(SHORT x) {
        Var r;
        r.v_.vt = VT_I2;
        r.v_.iVal = x;
        return r;
    }
    static Var I4(LONG x) {
        Var r;
        r.v_.vt = VT_I4;
        r.v_.lVal = x;
        return r;
    }
    static Var R8(double x) {
        Var r;
        r.v_.vt = VT_R8;
        r.v_.dblVal = x;
        return r;
    }
    static Var Date(DATE x) {
        Var r;
        r.v_.vt = VT_DATE;
        r.v_.date = x;
        return r;
    }
    static Var Bool(bool x) {
        Var r;
        r.v_.vt = VT_BOOL;
        r.v_.boolVal = x ? VARIANT_TRUE : VARIANT_FALSE;
        return r;
    }
    static Var Str(const char16_t *s) {
        Var r;
        r.v_.vt = VT_BSTR;
        r.v_.bstrVal = SysAllocString(reinterpret_cast<const OLECHAR *>(s));
        return r;
    }
    static Var Missing() {
        Var r;
        r.v_.vt = VT_ERROR;
        r.v_.scode = DISP_E_PARAMNOTFOUND;
        return r;
    }
    // A by-reference argument to `target`, which keeps the value.
    static Var RefTo(VARIANT *target) {
        Var r;
        r.v_.vt = VT_BYREF | VT_VARIANT;
        r.v_.pvarVal = target;
        return r;
    }
    static Var RefTo(BSTR *target) {
        Var r;
        r.v_.vt = VT_BYREF | VT_BSTR;
        r.v_.pbstrVal = target;
        return r;
    }
    static Var RefTo(SHORT *target) {
        Var r;
        r.v_.vt = VT_BYREF | VT_I2;
        r.v_.piVal = target;
        return r;
    }

    VARIANT *get() noexcept { return &v_; }
    const VARIANT &operator*() const noexcept { return v_; }
    const VARIANT *operator->() const noexcept { return &v_; }
    VARTYPE vt() const noexcept { return v_.vt; }
    std::u16string str() const {
        return v_.vt == VT_BSTR && v_.bstrVal ? std::u16string(reinterpret_cast<const char16_t *>(v_.bstrVal))
                                              : std::u16string();
    }
    IDispatch *disp() const noexcept { return v_.vt == VT_DISPATCH ? v_.pdispVal : nullptr; }

private:
    VARIANT v_;
};

// An owned EXCEPINFO.
struct Exception {
    EXCEPINFO info{};
    Exception() = default;
    Exception(const Exception &) = delete;
    ~Exception() {
        SysFreeString(info.bstrSource);
        SysFreeString(info.bstrDescription);
        SysFreeString(info.bstrHelpFile);
    }
    std::u16string source() const { return Text(info.bstrSource); }
    std::u16string description() const { return Text(info.bstrDescription); }
    std::u16string helpFile() const { return Text(info.bstrHelpFile); }
    static std::u16string Text(BSTR b) {
        return b ? std::u16string(reinterpret_cast<const char16_t *>(b)) : std::u16string();
    }
};

// The DISPID of `name` on `object`, DISPID_UNKNOWN when it has none.
inline DISPID IdOf(IDispatch *object, const char16_t *name) {
    LPOLESTR names[] = {reinterpret_cast<LPOLESTR>(const_cast<char16_t *>(name))};
    DISPID id = DISPID_UNKNOWN;
    object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    return id;
}

struct Call {
    HRESULT hr = E_FAIL;
    Var result;
    UINT argErr = 0xFFFFFFFF;
};

// Invokes `id` with `args` in reading order (the first parameter first) and
// `named` parameter identifiers for the first named.size() of them.
inline Call InvokeId(IDispatch *object, DISPID id, WORD flags, std::vector<Var> args, Exception *exception = nullptr,
                     std::vector<DISPID> named = {}) {
    // rgvarg holds the named arguments first, then the positional ones in reverse.
    std::vector<VARIANT> raw;
    for (std::size_t i = 0; i < named.size(); ++i) raw.push_back(*args[i]);
    for (std::size_t i = args.size(); i > named.size(); --i) raw.push_back(*args[i - 1]);
    if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) named = {DISPID_PROPERTYPUT};
    DISPPARAMS dp{raw.empty() ? nullptr : raw.data(), named.empty() ? nullptr : named.data(),
                  static_cast<UINT>(raw.size()), static_cast<UINT>(named.size())};
    Call c;
    c.hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &dp, c.result.get(),
                          exception ? &exception->info : nullptr, &c.argErr);
    return c;
}

inline Call Invoke(IDispatch *object, const char16_t *name, WORD flags, std::vector<Var> args = {},
                   Exception *exception = nullptr) {
    return InvokeId(object, IdOf(object, name), flags, std::move(args), exception);
}

constexpr WORD kGet = DISPATCH_PROPERTYGET;
constexpr WORD kPut = DISPATCH_PROPERTYPUT;
constexpr WORD kCall = DISPATCH_METHOD | DISPATCH_PROPERTYGET;  // what a script's call syntax asks for

}  // namespace late
