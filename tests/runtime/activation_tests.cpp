// Activation of registered in-process servers, in a fresh registry store: ProgID, class, library loaded once and
// unloaded when idle. Built again with VELQO_TEST_SERVER_BUILD as the test server: one class whose objects share one
// counter; DllCanUnloadNow answers S_OK when no object, factory reference or lock is held.
#include <windows.h>

constexpr CLSID kCounterClsid = {0x6B1E4A53, 0x2C7D, 0x4F0E, {0x9A, 0x35, 0x7E, 0x21, 0xC0, 0xD4, 0xB8, 0xF1}};
constexpr IID kCounterIid = {0x0F3C9D27, 0x81A4, 0x4B6E, {0xB2, 0xD0, 0x5C, 0x8E, 0x7A, 0x1F, 0x39, 0x46}};

struct ICounter : public IUnknown {
    // The next number of the server's one counter (1 after the server is loaded).
    virtual HRESULT STDMETHODCALLTYPE Next(LONG *value) = 0;
};

#ifdef VELQO_TEST_SERVER_BUILD
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
#else
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "runtime/runtime_test_support.h"

namespace {

OleString Wide(const std::string &s) { return OleString(s.begin(), s.end()); }

void SetDefault(const OleString &path, const OleString &value, DWORD type = REG_SZ) {
    HKEY key = nullptr;
    const DWORD size = type == REG_DWORD ? 4 : DWORD((value.size() + 1) * 2);
    EXPECT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) +
                  RegSetValueExW(key, nullptr, 0, type, reinterpret_cast<const BYTE *>(value.c_str()), size) +
                  RegCloseKey(key),
              ERROR_SUCCESS);
}

void RegisterClass(REFCLSID clsid, const OleString &progId, const OleString &library, DWORD type = REG_SZ) {
    const OleString key = u"CLSID\\" + GuidText(clsid);
    SetDefault(key, u"Test class");
    SetDefault(key + u"\\InprocServer32", library, type);
    if (!progId.empty()) {
        SetDefault(key + u"\\ProgID", progId);
        SetDefault(progId + u"\\CLSID", GuidText(clsid));
    }
}

bool ServerLoaded() {
    void *module = dlopen(VELQO_TEST_SERVER, RTLD_NOW | RTLD_NOLOAD);
    if (module) dlclose(module);
    return module != nullptr;
}

HRESULT Create(REFCLSID clsid, ICounter **counter, DWORD context = CLSCTX_INPROC_SERVER) {
    *counter = reinterpret_cast<ICounter *>(1);
    return CoCreateInstance(clsid, nullptr, context, kCounterIid, reinterpret_cast<void **>(counter));
}

// The counter's next number, and the object released; 0 when it cannot be created.
LONG NextOfNew() {
    ICounter *counter = nullptr;
    LONG value = 0;
    if (Create(kCounterClsid, &counter) == S_OK) counter->Next(&value), counter->Release();
    return value;
}

class Activation : public ::testing::Test {
protected:
    void SetUp() override { RegisterClass(kCounterClsid, u"Velqo.TestCounter", Wide(VELQO_TEST_SERVER)); }
    void TearDown() override { CoFreeUnusedLibraries(); }
    TempDir folder_;
    const std::string &store_ = folder_.path();
    ScopedEnv env_{"VELQOSCH_REGISTRY", store_.c_str()};
};

TEST_F(Activation, ProgIdLeadsToTheServerWhichIsUnloadedWhenIdle) {
    CLSID clsid = CLSID_NULL;
    LPOLESTR progId = nullptr;
    ASSERT_EQ((Results{CLSIDFromProgID(u"VELQO.testcounter", &clsid), clsid == kCounterClsid,
                       ProgIDFromCLSID(kCounterClsid, &progId), progId && OleString(progId) == u"Velqo.TestCounter"}),
              (Results{S_OK, true, S_OK, true}));
    CoTaskMemFree(progId);

    // One library, one counter behind both objects; it stays while an object or the factory is held.
    ICounter *first = nullptr, *second = nullptr;
    ASSERT_TRUE(Create(clsid, &first, CLSCTX_ALL) == S_OK && Create(clsid, &second) == S_OK);
    LONG a = 0, b = 0;
    IClassFactory *factory = nullptr;
    IUnknown *object = nullptr;
    EXPECT_EQ(
        (Results{first->Next(&a), second->Next(&b), b - a, first->Release(), (CoFreeUnusedLibraries(), ServerLoaded()),
                 CoGetClassObject(clsid, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                  reinterpret_cast<void **>(&factory)),
                 factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void **>(&object)), object->Release(),
                 second->Release(), (CoFreeUnusedLibraries(), ServerLoaded()), factory->Release(),
                 (CoFreeUnusedLibraries(), ServerLoaded())}),
        (Results{S_OK, S_OK, 1, 0, true, S_OK, S_OK, 0, 0, true, 0, false}));
    EXPECT_EQ(NextOfNew(), 1);  // loaded afresh, its counter starts again

    // A library path with environment variables, as REG_EXPAND_SZ.
    const std::filesystem::path server(VELQO_TEST_SERVER);
    ScopedEnv dir("VELQO_TEST_SERVER_DIR", server.parent_path().c_str());
    RegisterClass(kCounterClsid, u"Velqo.TestCounter", u"%VELQO_TEST_SERVER_DIR%/" + Wide(server.filename()),
                  REG_EXPAND_SZ);
    EXPECT_GT(NextOfNew(), 0);
}

TEST_F(Activation, Failures) {
    // {6B1E4A53-2C7D-4F0E-9A35-00000000000n}: unregistered, a missing library,
    // a library without the entry point, a class the server does not have.
    CLSID ids[4] = {};
    for (BYTE n = 0; n < 4; ++n) ids[n] = {0x6B1E4A53, 0x2C7D, 0x4F0E, {0x9A, 0x35, 0, 0, 0, 0, 0, BYTE(n + 1)}};
    RegisterClass(ids[1], u"", Wide(store_ + "/no-such-library.so"));
    RegisterClass(ids[2], u"", Wide(VELQO_TEST_NOENTRY));
    RegisterClass(ids[3], u"", Wide(VELQO_TEST_SERVER));
    const struct {
        CLSID clsid;
        DWORD context;
        HRESULT hr;
    } classes[] = {{ids[0], CLSCTX_INPROC_SERVER, REGDB_E_CLASSNOTREG},
                   {ids[1], CLSCTX_INPROC_SERVER, CO_E_DLLNOTFOUND},
                   {ids[2], CLSCTX_INPROC_SERVER, CO_E_ERRORINDLL},
                   {ids[3], CLSCTX_INPROC_SERVER, CLASS_E_CLASSNOTAVAILABLE},
                   {kCounterClsid, CLSCTX_LOCAL_SERVER, REGDB_E_CLASSNOTREG}};
    for (const auto &c : classes) {
        ICounter *object = nullptr;
        void *factory = reinterpret_cast<void *>(1);
        EXPECT_TRUE(Create(c.clsid, &object, c.context) == c.hr && !object &&
                    CoGetClassObject(c.clsid, c.context, nullptr, IID_IClassFactory, &factory) == c.hr && !factory)
            << std::hex << c.hr;
    }
    // A class key without its InprocServer32 is not registered for activation.
    ICounter *object = nullptr;
    LPOLESTR progId = reinterpret_cast<LPOLESTR>(1), none = progId;
    EXPECT_EQ((Results{RegDeleteTreeW(HKEY_CLASSES_ROOT, (u"CLSID\\" + GuidText(ids[1]) + u"\\InprocServer32").c_str()),
                       Create(ids[1], &object), ProgIDFromCLSID(ids[0], &none), none == nullptr,
                       ProgIDFromCLSID(ids[2], &progId)}),  // registered without a ProgID
              (Results{ERROR_SUCCESS, REGDB_E_CLASSNOTREG, REGDB_E_CLASSNOTREG, true, REGDB_E_CLASSNOTREG}));

    SetDefault(u"Velqo.Malformed\\CLSID", u"{not a class identifier}");
    SetDefault(u"Velqo.Number\\CLSID", u"\x1", REG_DWORD);  // a value of another type is no registration
    for (const char16_t *name : {u"Velqo.NoSuchClass", u"", u"CLSID\\x", u"Velqo.Malformed", u"Velqo.Number"}) {
        CLSID clsid = kCounterClsid;
        EXPECT_TRUE(CLSIDFromProgID(name, &clsid) == CO_E_CLASSSTRING && clsid == CLSID_NULL)
            << std::string(name, name + std::char_traits<char16_t>::length(name));
    }
    CLSID clsid;
    EXPECT_EQ(CLSIDFromProgID(nullptr, &clsid), E_INVALIDARG);
    EXPECT_EQ(CLSIDFromProgID(u"Velqo.TestCounter", nullptr), E_INVALIDARG);
}

// Whoever can change the registry chooses the library that is loaded: a store another user owns or may write to is
// refused; one others may read is fine.
TEST_F(Activation, AnUnsafeRegistryIsRefused) {
    const uid_t me = geteuid();
    const struct {
        mode_t mode;
        uid_t owner;
        HRESULT expected;
    } rows[] = {{0777, me, E_ACCESSDENIED}, {0770, me, E_ACCESSDENIED}, {0700, 4242, E_ACCESSDENIED}, {0755, me, S_OK}};
    for (const auto &row : rows) {
        if (row.owner != me && me != 0) continue;  // only the superuser can give a folder away
        ASSERT_TRUE(chmod(store_.c_str(), row.mode) == 0 && lchown(store_.c_str(), row.owner, gid_t(-1)) == 0);
        CLSID clsid = CLSID_NULL;
        HKEY key = nullptr;
        ICounter *object = nullptr;
        const bool safe = row.expected == S_OK;
        EXPECT_EQ(
            (Results{CLSIDFromProgID(u"Velqo.TestCounter", &clsid),
                     RegCreateKeyExW(HKEY_CLASSES_ROOT, u"Velqo.Planted", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                     nullptr),
                     key && !RegCloseKey(key), Create(kCounterClsid, &object), object && (object->Release(), true)}),
            (Results{row.expected, safe ? ERROR_SUCCESS : ERROR_ACCESS_DENIED, safe, row.expected, safe}))
            << row.mode;
        ASSERT_TRUE(lchown(store_.c_str(), me, gid_t(-1)) == 0 && chmod(store_.c_str(), 0700) == 0);
    }
}

}  // namespace
#endif
