// Object activation. The service's CTaskScheduler class is built into the
// runtime; every other class answers REGDB_E_CLASSNOTREG until the in-process
// servers are hooked up here.
#include <mstask.h>

#include <atomic>
#include <new>

#include "internal.h"
#include "platform/service/objects/objects.h"

namespace {

// --- the built-in CTaskScheduler class ------------------------------------------

class TaskSchedulerFactory final : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_IClassFactory) return E_NOINTERFACE;
        *ppv = static_cast<IClassFactory *>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown *outer, REFIID riid, void **ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        return velqo::service::CreateTaskScheduler(riid, ppv);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

private:
    ~TaskSchedulerFactory() = default;
    std::atomic<ULONG> refs_{1};
};

HRESULT BuiltInClassObject(REFCLSID rclsid, REFIID riid, LPVOID *ppv) {
    if (rclsid != CLSID_CTaskScheduler) return REGDB_E_CLASSNOTREG;
    auto *factory = new (std::nothrow) TaskSchedulerFactory;
    if (!factory) return E_OUTOFMEMORY;
    const HRESULT hr = factory->QueryInterface(riid, ppv);
    factory->Release();
    return hr;
}

}  // namespace

VQAPI HRESULT CoGetClassObject(REFCLSID rclsid, DWORD, LPVOID, REFIID riid, LPVOID *ppv) {
    if (!ppv) return E_INVALIDARG;
    *ppv = nullptr;
    return BuiltInClassObject(rclsid, riid, ppv);
}

VQAPI HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN outer, DWORD, REFIID riid, LPVOID *ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (rclsid == CLSID_CTaskScheduler)
        return outer ? CLASS_E_NOAGGREGATION : velqo::service::CreateTaskScheduler(riid, ppv);
    return REGDB_E_CLASSNOTREG;
}

VQAPI HRESULT CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid) {
    if (!lpszProgID || !lpclsid) return E_INVALIDARG;
    *lpclsid = CLSID_NULL;
    return CO_E_CLASSSTRING;
}
