#include "component/com/module.h"

#include <atomic>
#include <new>

#include "component/objects.h"
#include "component/surface.h"
#include "scheduler/scheduler.h"

namespace velqosch::module {
namespace {

std::atomic<LONG> g_locks{0};

// Serves any number of Scheduler objects; the other classes have none.
class SchedulerFactory final : public IClassFactory {
public:
    SchedulerFactory() noexcept { ++g_locks; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) noexcept override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory)) return E_NOINTERFACE;
        *ppv = static_cast<IClassFactory *>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() noexcept override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() noexcept override {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown *outer, REFIID riid, void **ppv) noexcept override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        return CreateScheduler(riid, ppv);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) noexcept override {
        if (lock) {
            ++g_locks;
        } else if (g_locks.load() > 1) {  // never below this factory's own count
            --g_locks;
        }
        return S_OK;
    }

private:
    ~SchedulerFactory() { --g_locks; }
    std::atomic<ULONG> refs_{1};
};

}  // namespace

LONG ServerLocks() noexcept { return g_locks.load(); }

HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void **ppv) noexcept {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualCLSID(clsid, TaskScheduler::CLSID_Scheduler)) return CLASS_E_CLASSNOTAVAILABLE;
    auto *factory = new (std::nothrow) SchedulerFactory;
    if (!factory) return E_OUTOFMEMORY;
    const HRESULT hr = factory->QueryInterface(riid, ppv);
    factory->Release();
    return hr;
}

HRESULT CanUnloadNow() noexcept { return LiveObjectCount() == 0 && ServerLocks() == 0 ? S_OK : S_FALSE; }

std::u16string ModulePath() {
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&ModulePath), &self))
        return {};
    WCHAR path[MAX_PATH + 1];
    const DWORD length = GetModuleFileNameW(self, path, MAX_PATH + 1);
    if (length == 0 || length > MAX_PATH) return {};
    return std::u16string(reinterpret_cast<const char16_t *>(path), length);
}

}  // namespace velqosch::module

// ---- The exported entry points ------------------------------------------------------------------------------------

extern "C" {

STDAPI DllCanUnloadNow() { return velqosch::module::CanUnloadNow(); }

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID *ppv) {
    return velqosch::module::GetClassObject(rclsid, riid, ppv);
}

STDAPI DllRegisterServer() { return velqosch::module::Register(); }

STDAPI DllUnregisterServer() { return velqosch::module::Unregister(); }

#ifdef _WIN32
// The component's per-thread data (thread-local) is made on a thread's first
// object and ends with the thread; nothing is kept per process.
BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
#endif

}  // extern "C"
