// A tiny in-process server for the activation tests: DllGetClassObject hands
// out a factory for counter objects; DllCanUnloadNow answers S_OK when no
// object or factory reference is held and no lock is taken.
#include "test_server.h"

#include <atomic>

namespace {

std::atomic<LONG> g_counter{0}, g_held{0};  // g_held: objects, factory references and LockServer locks

// An object with IUnknown and one more interface, counted in g_held.
template <class I, const IID &kIid>
struct Counted : I {
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = riid == IID_IUnknown || riid == kIid ? this : nullptr;
        return *ppv ? (this->AddRef(), S_OK) : E_NOINTERFACE;
    }
};

struct Counter final : Counted<ICounter, kCounterIid> {
    Counter() { ++g_held; }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --refs;
        if (left == 0) --g_held, delete this;
        return left;
    }
    HRESULT STDMETHODCALLTYPE Next(LONG *value) override { return *value = ++g_counter, S_OK; }
    std::atomic<ULONG> refs{1};
};

struct Factory final : Counted<IClassFactory, IID_IClassFactory> {
    ULONG STDMETHODCALLTYPE AddRef() override { return ULONG(++g_held); }
    ULONG STDMETHODCALLTYPE Release() override { return ULONG(--g_held); }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown *outer, REFIID riid, void **ppv) override {
        if (outer) return CLASS_E_NOAGGREGATION;
        auto *counter = new Counter;
        const HRESULT hr = counter->QueryInterface(riid, ppv);
        counter->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override { return g_held += lock ? 1 : -1, S_OK; }
} g_factory;

}  // namespace

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID *ppv) {
    if (ppv) *ppv = nullptr;
    return rclsid != kCounterClsid ? CLASS_E_CLASSNOTAVAILABLE : g_factory.QueryInterface(riid, ppv);
}

STDAPI DllCanUnloadNow() { return g_held == 0 ? S_OK : S_FALSE; }
