// Shared helpers of the runtime tests. They use only Windows API names, so
// they build against the system's own libraries as well.
#pragma once

#include <objbase.h>
#include <oleauto.h>
#include <windows.h>

#include <string>

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

// A counted object with IDispatch whose DISPID_VALUE property is a value
// chosen by the test.
class ValueObject : public IDispatch {
public:
    explicit ValueObject(VARIANT value) : value_(value) {}
    ~ValueObject() { VariantClear(&value_); }
    ULONG refs() const { return refs_; }
    int invokes = 0;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override {
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch)) {
            *ppv = static_cast<IDispatch *>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs_; }  // owned by the test
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

// A plain counted object with IUnknown only.
class CountedUnknown : public IUnknown {
public:
    ULONG refs() const { return refs_; }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override {
        if (IsEqualIID(riid, IID_IUnknown)) {
            *ppv = this;
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs_; }

private:
    ULONG refs_ = 1;
};
