// Object activation. The service's CTaskScheduler class is built into the
// runtime; every other class is an in-process server found through the
// registry (HKEY_CLASSES_ROOT\CLSID\{clsid}\InprocServer32), loaded once and
// kept loaded until CoFreeUnusedLibraries finds it idle.
#include <dlfcn.h>
#include <mstask.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <string>

#include "internal.h"
#include "platform/common/single_interface.h"
#include "platform/service/objects/objects.h"

namespace {

// --- the built-in CTaskScheduler class ------------------------------------------

class TaskSchedulerFactory final
    : public velqo::SingleInterface<TaskSchedulerFactory, IClassFactory, IID_IClassFactory> {
public:
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown *outer, REFIID riid, void **ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        return velqo::service::CreateTaskScheduler(riid, ppv);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

private:
    friend SingleInterface;
    ~TaskSchedulerFactory() = default;
};

HRESULT BuiltInClassObject(REFCLSID rclsid, REFIID riid, LPVOID *ppv) {
    if (rclsid != CLSID_CTaskScheduler) return REGDB_E_CLASSNOTREG;
    auto *factory = new (std::nothrow) TaskSchedulerFactory;
    if (!factory) return E_OUTOFMEMORY;
    const HRESULT hr = factory->QueryInterface(riid, ppv);
    factory->Release();
    return hr;
}

// --- classes in the registry ------------------------------------------------------

// The default value of HKEY_CLASSES_ROOT\<path> as text, without its
// terminator; REG_EXPAND_SZ text has its %NAME% references expanded.
// ERROR_ACCESS_DENIED when the registry itself is refused (see registry.cpp),
// another failing status when there is no such text.
LSTATUS ReadDefaultText(const std::u16string &path, std::u16string *text) {
    HKEY key = nullptr;
    if (LSTATUS opened = RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_QUERY_VALUE, &key);
        opened != ERROR_SUCCESS)
        return opened;
    DWORD type = REG_NONE, size = 0;
    LSTATUS status = RegQueryValueExW(key, nullptr, nullptr, &type, nullptr, &size);
    std::u16string value;
    if (status == ERROR_SUCCESS && (type == REG_SZ || type == REG_EXPAND_SZ)) {
        value.resize(size / 2);
        status = RegQueryValueExW(key, nullptr, nullptr, &type, reinterpret_cast<BYTE *>(value.data()), &size);
        value.resize(status == ERROR_SUCCESS ? size / 2 : 0);
    } else if (status == ERROR_SUCCESS) {
        status = ERROR_INVALID_DATA;
    }
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) return status;
    while (!value.empty() && value.back() == 0) value.pop_back();
    if (value.find(u'\0') != std::u16string::npos) return ERROR_INVALID_DATA;
    if (type == REG_EXPAND_SZ) {
        std::u16string expanded;
        for (std::size_t i = 0; i < value.size();) {
            const std::size_t end = value[i] == u'%' ? value.find(u'%', i + 1) : std::u16string::npos;
            if (end == std::u16string::npos) {
                expanded.push_back(value[i++]);
                continue;
            }
            const std::string name = velqo::rt::Utf16ToUtf8(value.data() + i + 1, end - i - 1);
            const char *setting = name.empty() ? nullptr : std::getenv(name.c_str());
            if (setting)
                expanded += velqo::rt::Utf8ToUtf16(setting, std::strlen(setting));
            else
                expanded.append(value, i, end - i + 1);
            i = end + 1;
        }
        value = std::move(expanded);
    }
    *text = std::move(value);
    return ERROR_SUCCESS;
}

// The class-lookup failure `fallback`, or E_ACCESSDENIED when the registry
// was refused, so that a caller learns why.
HRESULT LookupFailure(LSTATUS status, HRESULT fallback) {
    return status == ERROR_ACCESS_DENIED ? E_ACCESSDENIED : fallback;
}

std::u16string ClassKey(REFCLSID rclsid, const char16_t *subkey) {
    OLECHAR guid[39];
    StringFromGUID2(rclsid, guid, 39);
    return std::u16string(u"CLSID\\") + guid + u"\\" + subkey;
}

using GetClassObjectEntry = HRESULT (*)(REFCLSID, REFIID, LPVOID *);
using CanUnloadNowEntry = HRESULT (*)();

struct ServerLibrary {
    void *module;
    GetClassObjectEntry getClassObject;
    CanUnloadNowEntry canUnloadNow;  // may be absent: then the library stays
};

// Loaded servers by the path they are registered under. Recursive, because
// a server may activate other classes from inside DllGetClassObject.
std::recursive_mutex g_serversMutex;
std::map<std::string, ServerLibrary> g_servers;

HRESULT RegisteredClassObject(REFCLSID rclsid, DWORD context, REFIID riid, LPVOID *ppv) {
    if (!(context & CLSCTX_INPROC_SERVER)) return REGDB_E_CLASSNOTREG;
    std::u16string library;
    if (LSTATUS status = ReadDefaultText(ClassKey(rclsid, u"InprocServer32"), &library);
        status != ERROR_SUCCESS || library.empty())
        return LookupFailure(status, REGDB_E_CLASSNOTREG);
    const std::string path = velqo::rt::Utf16ToUtf8(library.data(), library.size());

    std::lock_guard<std::recursive_mutex> lock(g_serversMutex);
    auto it = g_servers.find(path);
    if (it == g_servers.end()) {
        void *module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!module) return CO_E_DLLNOTFOUND;
        auto entry = reinterpret_cast<GetClassObjectEntry>(dlsym(module, "DllGetClassObject"));
        if (!entry) {
            dlclose(module);
            return CO_E_ERRORINDLL;
        }
        auto canUnload = reinterpret_cast<CanUnloadNowEntry>(dlsym(module, "DllCanUnloadNow"));
        it = g_servers.emplace(path, ServerLibrary{module, entry, canUnload}).first;
    }
    const HRESULT hr = it->second.getClassObject(rclsid, riid, ppv);
    if (SUCCEEDED(hr) && !*ppv) return E_UNEXPECTED;
    if (FAILED(hr)) *ppv = nullptr;
    return hr;
}

}  // namespace

VQAPI HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID, REFIID riid, LPVOID *ppv) {
    if (!ppv) return E_INVALIDARG;
    *ppv = nullptr;
    if (rclsid == CLSID_CTaskScheduler) return BuiltInClassObject(rclsid, riid, ppv);
    try {
        return RegisteredClassObject(rclsid, dwClsContext, riid, ppv);
    } catch (const std::bad_alloc &) {
        return E_OUTOFMEMORY;
    }
}

VQAPI HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN outer, DWORD dwClsContext, REFIID riid, LPVOID *ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (rclsid == CLSID_CTaskScheduler)
        return outer ? CLASS_E_NOAGGREGATION : velqo::service::CreateTaskScheduler(riid, ppv);
    IClassFactory *factory = nullptr;
    HRESULT hr =
        CoGetClassObject(rclsid, dwClsContext, nullptr, IID_IClassFactory, reinterpret_cast<void **>(&factory));
    if (FAILED(hr)) return hr;
    hr = factory->CreateInstance(outer, riid, ppv);
    factory->Release();
    if (FAILED(hr)) *ppv = nullptr;
    return hr;
}

VQAPI HRESULT CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid) {
    if (!lpszProgID || !lpclsid) return E_INVALIDARG;
    *lpclsid = CLSID_NULL;
    try {
        const std::u16string progId(lpszProgID);
        std::u16string text;
        if (progId.empty() || progId.find(u'\\') != std::u16string::npos) return CO_E_CLASSSTRING;
        if (LSTATUS status = ReadDefaultText(progId + u"\\CLSID", &text); status != ERROR_SUCCESS)
            return LookupFailure(status, CO_E_CLASSSTRING);
        CLSID clsid;
        if (text.empty() || FAILED(CLSIDFromString(text.c_str(), &clsid))) return CO_E_CLASSSTRING;
        *lpclsid = clsid;
        return S_OK;
    } catch (const std::bad_alloc &) {
        return E_OUTOFMEMORY;
    }
}

VQAPI HRESULT ProgIDFromCLSID(REFCLSID clsid, LPOLESTR *lplpszProgID) {
    if (!lplpszProgID) return E_INVALIDARG;
    *lplpszProgID = nullptr;
    try {
        std::u16string progId;
        if (LSTATUS status = ReadDefaultText(ClassKey(clsid, u"ProgID"), &progId);
            status != ERROR_SUCCESS || progId.empty())
            return LookupFailure(status, REGDB_E_CLASSNOTREG);
        auto *copy = static_cast<LPOLESTR>(CoTaskMemAlloc((progId.size() + 1) * sizeof(OLECHAR)));
        if (!copy) return E_OUTOFMEMORY;
        std::memcpy(copy, progId.c_str(), (progId.size() + 1) * sizeof(OLECHAR));
        *lplpszProgID = copy;
        return S_OK;
    } catch (const std::bad_alloc &) {
        return E_OUTOFMEMORY;
    }
}

VQAPI void CoFreeUnusedLibraries(void) {
    std::lock_guard<std::recursive_mutex> lock(g_serversMutex);
    for (auto it = g_servers.begin(); it != g_servers.end();) {
        if (it->second.canUnloadNow && it->second.canUnloadNow() == S_OK) {
            dlclose(it->second.module);
            it = g_servers.erase(it);
        } else {
            ++it;
        }
    }
}
