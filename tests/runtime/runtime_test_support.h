// Shared helpers of the runtime tests. They use only Windows API names, so they build against the system's own
// libraries as well.
#pragma once

#include <objbase.h>
#include <oleauto.h>
#include <windows.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

// The Windows build runs against the system's libraries (Wine's, here), which differ from the runtime's own promises in
// a few corners the tests name.
#ifdef _WIN32
#define OS(x) L##x
constexpr bool kSystemLibraries = true;
#else
#define OS(x) u##x
constexpr bool kSystemLibraries = false;
#endif

using OleString = std::basic_string<OLECHAR>;

inline OleString Text(BSTR b) { return b ? OleString(b, SysStringLen(b)) : OleString(); }
inline OleString GuidText(REFGUID guid) {
    OLECHAR text[39];
    return OleString(text, StringFromGUID2(guid, text, 39) - 1);
}
// An error record as "source: description (help file, context)"; frees the strings.
inline std::string ErrorRecord(BSTR source, BSTR description, BSTR helpFile, DWORD context) {
    std::string out;
    const std::pair<BSTR, const char *> parts[] = {{source, ": "}, {description, " ("}, {helpFile, ", "}};
    for (auto [text, after] : parts) {
        for (UINT i = 0; i < SysStringLen(text); ++i) out += char(text[i]);
        out += after;
        SysFreeString(text);
    }
    return out + std::to_string(context) + ")";
}
// The thread's error object, which GetErrorInfo hands over once, as its record; "none" when there is none.
inline std::string TakeErrorInfo() {
    IErrorInfo *info = reinterpret_cast<IErrorInfo *>(1);
    const HRESULT hr = GetErrorInfo(0, &info);
    if (hr != S_OK || !info) return hr == S_FALSE && !info ? "none" : "wrong answer";
    BSTR parts[3] = {};
    DWORD context = 0;
    info->GetSource(&parts[0]), info->GetDescription(&parts[1]), info->GetHelpFile(&parts[2]);
    info->GetHelpContext(&context);
    info->Release();
    return ErrorRecord(parts[0], parts[1], parts[2], context);
}
// What a run of calls gave, in the order written (a braced list runs its calls in order), to compare with what each
// should give in one check.
using Results = std::vector<long long>;

inline std::string ReadFile(const std::string &path) {
    std::ostringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
}

// A counted object owned by the test whose DISPID_VALUE property is a value chosen by the test.
class ValueObject : public IDispatch {
public:
    explicit ValueObject(VARIANT value = {}) : value_(value) {}
    ~ValueObject() { VariantClear(&value_); }
    ULONG refs() const { return refs_; }
    int invokes = 0;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override {
        *ppv = IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ? this : nullptr;
        return *ppv ? (AddRef(), S_OK) : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs_; }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT *n) override { return *n = 0, S_OK; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo **) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR *, UINT, LCID, DISPID *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS *params, VARIANT *result,
                                     EXCEPINFO *, UINT *) override {
        ++invokes;
        if (id != DISPID_VALUE || !(flags & DISPATCH_PROPERTYGET) || !params || params->cArgs != 0 || !result)
            return DISP_E_MEMBERNOTFOUND;
        return VariantCopy(result, &value_);
    }

private:
    ULONG refs_ = 1;
    VARIANT value_;
};

// A VARIANT of type vt whose value field holds x (every field starts at the same place).
template <class T = LONG>
VARIANT MakeVar(VARTYPE vt, T x = {}) {
    VARIANT v{};
    v.vt = vt;
    std::memcpy(&v.lVal, &x, sizeof x);
    return v;
}
inline VARIANT I2(SHORT x) { return MakeVar(VT_I2, x); }
inline VARIANT I4(LONG x) { return MakeVar(VT_I4, x); }
inline VARIANT R8(double x) { return MakeVar(VT_R8, x); }
inline VARIANT Date(double x) { return MakeVar(VT_DATE, x); }
inline VARIANT Bool(bool x) { return MakeVar(VT_BOOL, VARIANT_BOOL(x ? VARIANT_TRUE : VARIANT_FALSE)); }
inline VARIANT Str(const OLECHAR *s) { return MakeVar(VT_BSTR, SysAllocString(s)); }

#ifndef _WIN32
// The shared scoped variable and fresh folder of the tests.
#include "common/scoped_env.h"
#include "common/unprivileged.h"
using ScopedEnv = test_env::Scoped;
using test_user::TempDir;
#endif
