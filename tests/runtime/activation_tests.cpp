// Activation of registered in-process servers (test_server.cpp), in a fresh
// registry store: ProgID, class, library loaded once and unloaded when idle.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "runtime/runtime_test_support.h"
#include "runtime/test_server.h"

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
        EXPECT_EQ(Create(c.clsid, &object, c.context), c.hr) << c.hr;
        EXPECT_EQ(CoGetClassObject(c.clsid, c.context, nullptr, IID_IClassFactory, &factory), c.hr);
        EXPECT_TRUE(!object && !factory);
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

// Whoever can change the registry chooses the library that is loaded: a store
// another user owns or may write to is refused; one others may read is fine.
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
