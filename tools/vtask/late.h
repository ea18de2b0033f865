// Late binding by name, as a script does it: objects are IDispatch pointers,
// members are looked up with GetIDsOfNames and called with Invoke; values
// travel as VARIANTs; collections are walked through their enumerator
// (DISPID_NEWENUM, IEnumVARIANT). Every failure becomes a ComError carrying
// the error record of the call.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "service/platform.h"

namespace vtask {

using OleString = std::basic_string<OLECHAR>;

OleString ToOle(std::string_view utf8);
std::string FromOle(const OLECHAR *text, std::size_t length);
std::string FromBstr(BSTR text);

// An automation error as a client sees it: the error number (the automation
// error itself for 0x800Axxxx results: 5, not 0x800A0005), the HRESULT of
// the failing call, source, description, help file and context, and the
// member that failed.
struct ComError : std::runtime_error {
    ComError(HRESULT hr, std::int32_t number, std::string source, std::string description, std::string helpFile,
             std::uint32_t helpContext, std::string member);
    HRESULT hr;
    std::int32_t number;
    std::string source;
    std::string description;
    std::string helpFile;
    std::uint32_t helpContext;
    std::string member;
};

// The error number that an automation client reports for a failing result.
std::int32_t ErrorNumberFromHresult(HRESULT hr);
// A short text for results of the platform that carry no description.
std::string DescribeHresult(HRESULT hr);
// The error of a failed Invoke: from the EXCEPINFO when the result is
// DISP_E_EXCEPTION (filled in first when it defers), else from the thread's
// error information, else from the result alone. Frees the EXCEPINFO's
// strings. `argError` is Invoke's argument index, used for the argument
// errors.
ComError ErrorFromInvoke(HRESULT hr, EXCEPINFO *info, UINT argError, std::size_t argCount, const std::string &member);
// The error of a failed call that is not Invoke: the thread's error
// information when there is some, else the result alone.
ComError ErrorFromResult(HRESULT hr, const std::string &member);

class Object;

class Variant {
public:
    Variant() { VariantInit(&v_); }
    ~Variant() { VariantClear(&v_); }
    Variant(const Variant &other);
    Variant(Variant &&other) noexcept;
    Variant &operator=(Variant other) noexcept;

    static Variant String(std::string_view utf8);
    static Variant Long(std::int32_t value);
    static Variant Short(std::int16_t value);
    static Variant Date(double value);
    static Variant Bool(bool value);
    static Variant Bytes(const std::vector<std::uint8_t> &bytes);
    // A one-dimensional array of dates with no elements, ready to be resized.
    static Variant EmptyDateArray();
    // Takes over `v` (which is left empty).
    static Variant Adopt(VARIANT *v);

    VARIANT *get() { return &v_; }
    const VARIANT *get() const { return &v_; }
    VARTYPE type() const { return v_.vt; }

    // Conversions; a value of another type is converted as automation does,
    // and one that cannot be raises a ComError (type mismatch) naming `what`.
    std::string AsString(std::string_view what = "value") const;
    std::int32_t AsLong(std::string_view what = "value") const;
    double AsDate(std::string_view what = "value") const;
    bool AsBool(std::string_view what = "value") const;
    Object AsObject(std::string_view what = "value") const;
    std::vector<std::uint8_t> AsBytes(std::string_view what = "value") const;
    std::vector<double> AsDates(std::string_view what = "value") const;

private:
    Variant Converted(VARTYPE vt, std::string_view what) const;
    VARIANT v_;
};

// One argument of a call: a value, or a reference to the caller's Variant
// (sent as VT_BYREF | VT_VARIANT), which receives what the member writes back.
class Arg {
public:
    static Arg Val(Variant v) { return Arg(std::move(v), nullptr); }
    static Arg Ref(Variant &v) { return Arg(Variant(), &v); }
    VARIANT Wire();

private:
    Arg(Variant v, Variant *ref) : value_(std::move(v)), ref_(ref) {}
    Variant value_;
    Variant *ref_;
};

class Object {
public:
    Object() = default;
    // Takes a reference of `p` (AddRef when `addRef`, else adopts one).
    Object(IDispatch *p, bool addRef);
    Object(const Object &other);
    Object(Object &&other) noexcept;
    Object &operator=(Object other) noexcept;
    ~Object();

    // CLSIDFromProgID, then CoCreateInstance of an in-process server for IDispatch.
    static Object Create(std::string_view progId);

    explicit operator bool() const { return p_ != nullptr; }
    IDispatch *get() const { return p_; }

    Variant Get(std::string_view name, std::vector<Arg> args = {}) const;
    void Put(std::string_view name, Arg value) const;
    Variant Call(std::string_view name, std::vector<Arg> args = {}) const;
    // The collection's items, through its enumerator.
    std::vector<Object> Items() const;

private:
    DISPID IdOf(std::string_view name) const;
    Variant Invoke(DISPID id, WORD flags, std::vector<Arg> &args, bool put, const std::string &member) const;
    IDispatch *p_ = nullptr;
};

}  // namespace vtask
