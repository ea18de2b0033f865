// A tiny in-process server for the activation tests: DllGetClassObject hands
// out a factory for counter objects; DllCanUnloadNow answers S_OK when no
// object or factory reference is held and no lock is taken.
#include "test_server.h"

#include <atomic>

namespace {

std::atomic<LONG> g_counter{0};
std::atomic<LONG> g_objects{0};
std::atomic<LONG> g_locks{0};  // factory references and LockServer locks

class Counter final : public ICounter {
public:
    Counter() { ++g_objects; }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != kCounterIid) return E_NOINTERFACE;
        *ppv = static_cast<ICounter *>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }
    HRESULT STDMETHODCALLTYPE Next(LONG *value) override {
        *value = ++g_counter;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE LiveObjects(LONG *count) override {
        *count = g_objects;
        return S_OK;
    }

private:
    ~Counter() { --g_objects; }
    std::atomic<ULONG> refs_{1};
};

class Factory final : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_IClassFactory) return E_NOINTERFACE;
        *ppv = static_cast<IClassFactory *>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ULONG(++g_locks); }
    ULONG STDMETHODCALLTYPE Release() override { return ULONG(--g_locks); }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown *outer, REFIID riid, void **ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        auto *counter = new Counter;
        const HRESULT hr = counter->QueryInterface(riid, ppv);
        counter->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        if (lock)
            ++g_locks;
        else
            --g_locks;
        return S_OK;
    }
};

Factory g_factory;

}  // namespace

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID *ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (rclsid != kCounterClsid) return CLASS_E_CLASSNOTAVAILABLE;
    return g_factory.QueryInterface(riid, ppv);
}

STDAPI DllCanUnloadNow() { return g_objects == 0 && g_locks == 0 ? S_OK : S_FALSE; }
