// Shared helpers of the runtime tests. They use only Windows API names, so
// they build against the system's own libraries as well.
#pragma once

#include <objbase.h>
#include <oleauto.h>
#include <windows.h>

#include <string>

#ifndef _WIN32
#include <stdlib.h>

#include <filesystem>
#endif

#ifdef _WIN32
#define OS(x) L##x
#else
#define OS(x) u##x
#endif

using OleString = std::basic_string<OLECHAR>;

inline OleString Text(BSTR b) { return b ? OleString(b, SysStringLen(b)) : OleString(); }

// Whether the tests run against Wine's system libraries, which differ from
// the documented behaviour in a few corners the tests name.
inline bool OnWine() {
#ifdef _WIN32
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
#else
    return false;
#endif
}

// A counted object owned by the test whose DISPID_VALUE property is a value
// chosen by the test.
class ValueObject : public IDispatch {
public:
    explicit ValueObject(VARIANT value = {}) : value_(value) {}
    ~ValueObject() { VariantClear(&value_); }
    ULONG refs() const { return refs_; }
    int invokes = 0;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override {
        *ppv = IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ? this : nullptr;
        if (!*ppv) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs_; }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT *n) override {
        *n = 0;
        return S_OK;
    }
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

template <class Set>
VARIANT Make(VARTYPE vt, Set set) {
    VARIANT v;
    VariantInit(&v);
    v.vt = vt;
    set(v);
    return v;
}
inline VARIANT I2(SHORT x) {
    return Make(VT_I2, [&](VARIANT &v) { v.iVal = x; });
}
inline VARIANT I4(LONG x) {
    return Make(VT_I4, [&](VARIANT &v) { v.lVal = x; });
}
inline VARIANT UI1(BYTE x) {
    return Make(VT_UI1, [&](VARIANT &v) { v.bVal = x; });
}
inline VARIANT R8(double x) {
    return Make(VT_R8, [&](VARIANT &v) { v.dblVal = x; });
}
inline VARIANT Date(double x) {
    return Make(VT_DATE, [&](VARIANT &v) { v.date = x; });
}
inline VARIANT Bool(bool x) {
    return Make(VT_BOOL, [&](VARIANT &v) { v.boolVal = x ? VARIANT_TRUE : VARIANT_FALSE; });
}
inline VARIANT Str(const OLECHAR *s) {
    return Make(VT_BSTR, [&](VARIANT &v) { v.bstrVal = SysAllocString(s); });
}
inline VARIANT Var(VARTYPE vt) {
    return Make(vt, [](VARIANT &) {});
}
inline VARIANT Empty() { return Var(VT_EMPTY); }
inline VARIANT Null() { return Var(VT_NULL); }

#ifndef _WIN32
// Sets an environment variable for the scope (null: removes it).
class ScopedEnv {
public:
    ScopedEnv(const char *name, const char *value) : name_(name) {
        if (const char *old = getenv(name)) old_ = old, had_ = true;
        value ? setenv(name, value, 1) : unsetenv(name);
    }
    ~ScopedEnv() { had_ ? setenv(name_.c_str(), old_.c_str(), 1) : unsetenv(name_.c_str()); }

private:
    std::string name_, old_;
    bool had_ = false;
};

// A fresh folder, removed with what it holds at the end of the scope.
struct TempDir {
    TempDir() : path("/tmp/velqort-test-XXXXXX") { mkdtemp(path.data()); }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::string path;
};
#endif
