// A tiny in-process server for the activation tests: DllGetClassObject hands
// out a factory for counter objects; DllCanUnloadNow answers S_OK when no
// object or factory reference is held and no lock is taken.
#include "test_server.h"

#include <atomic>

namespace {

std::atomic<LONG> g_counter{0}, g_objects{0}, g_locks{0};  // g_locks: factory references and LockServer locks

// QueryInterface for an object with IUnknown and one more interface.
template <class I>
HRESULT Query(I *self, REFIID wanted, REFIID riid, void **ppv) {
    if (!ppv) return E_POINTER;
    *ppv = riid == IID_IUnknown || riid == wanted ? self : nullptr;
    return *ppv ? (self->AddRef(), S_OK) : E_NOINTERFACE;
}

class Counter final : public ICounter {
public:
    Counter() { ++g_objects; }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override {
        return Query<ICounter>(this, kCounterIid, riid, ppv);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }
    HRESULT STDMETHODCALLTYPE Next(LONG *value) override { return *value = ++g_counter, S_OK; }
    HRESULT STDMETHODCALLTYPE LiveObjects(LONG *count) override { return *count = g_objects, S_OK; }

private:
    ~Counter() { --g_objects; }
    std::atomic<ULONG> refs_{1};
};

class Factory final : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override {
        return Query<IClassFactory>(this, IID_IClassFactory, riid, ppv);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ULONG(++g_locks); }
    ULONG STDMETHODCALLTYPE Release() override { return ULONG(--g_locks); }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown *outer, REFIID riid, void **ppv) override {
        if (outer) return CLASS_E_NOAGGREGATION;
        auto *counter = new Counter;
        const HRESULT hr = counter->QueryInterface(riid, ppv);
        counter->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override { return g_locks += lock ? 1 : -1, S_OK; }
} g_factory;

}  // namespace

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID *ppv) {
    if (ppv) *ppv = nullptr;
    return rclsid != kCounterClsid ? CLASS_E_CLASSNOTAVAILABLE : g_factory.QueryInterface(riid, ppv);
}

STDAPI DllCanUnloadNow() { return g_objects == 0 && g_locks == 0 ? S_OK : S_FALSE; }
