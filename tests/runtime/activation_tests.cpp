// Activation of registered in-process servers: a ProgID leads to a class,
// the class's InprocServer32 to a library that is loaded once, asked for
// its class factory and unloaded when idle. Runs against a registry store in
// a fresh folder; the test server is tests/runtime/test_server.cpp.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "runtime/runtime_test_support.h"
#include "runtime/test_server.h"

namespace {

OleString Wide(const std::string &s) { return OleString(s.begin(), s.end()); }

OleString GuidText(REFGUID guid) {
    OLECHAR text[39];
    StringFromGUID2(guid, text, 39);
    return text;
}

void SetDefault(const OleString &path, const void *data, DWORD size, DWORD type) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, nullptr, 0, type, static_cast<const BYTE *>(data), size), ERROR_SUCCESS);
    RegCloseKey(key);
}
void SetDefault(const OleString &path, const OleString &value, DWORD type = REG_SZ) {
    SetDefault(path, value.c_str(), DWORD((value.size() + 1) * 2), type);
}

// Registers a class the way an in-process server's registration does.
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

ICounter *NewCounter() {
    ICounter *counter = nullptr;
    EXPECT_EQ(CoCreateInstance(kCounterClsid, nullptr, CLSCTX_INPROC_SERVER, kCounterIid,
                               reinterpret_cast<void **>(&counter)),
              S_OK);
    return counter;
}

LONG Next(ICounter *counter) {
    LONG value = 0;
    counter->Next(&value);
    return value;
}

class Activation : public ::testing::Test {
protected:
    void SetUp() override { RegisterClass(kCounterClsid, u"Velqo.TestCounter", Wide(VELQO_TEST_SERVER)); }
    void TearDown() override { CoFreeUnusedLibraries(); }
    TempDir folder_;
    const std::string &store_ = folder_.path;
    ScopedEnv env_{"VELQOSCH_REGISTRY", store_.c_str()};
};

TEST_F(Activation, ProgIdLeadsToTheServer) {
    CLSID clsid = CLSID_NULL;
    ASSERT_EQ(CLSIDFromProgID(u"VELQO.testcounter", &clsid), S_OK);
    EXPECT_EQ(clsid, kCounterClsid);
    LPOLESTR progId = nullptr;
    ASSERT_EQ(ProgIDFromCLSID(kCounterClsid, &progId), S_OK);
    EXPECT_EQ(OleString(progId), u"Velqo.TestCounter");
    CoTaskMemFree(progId);

    ICounter *first = nullptr;
    ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_ALL, kCounterIid, reinterpret_cast<void **>(&first)), S_OK);
    ICounter *second = NewCounter();
    ASSERT_TRUE(first && second);
    // One library behind both objects: one counter, two live objects.
    const LONG a = Next(first);
    EXPECT_EQ(Next(second), a + 1);
    LONG live = 0;
    second->LiveObjects(&live);
    EXPECT_EQ(live, 2);
    EXPECT_EQ(first->Release(), 0u);
    EXPECT_EQ(second->Release(), 0u);

    IClassFactory *factory = nullptr;
    ASSERT_EQ(
        CoGetClassObject(clsid, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, reinterpret_cast<void **>(&factory)),
        S_OK);
    IUnknown *object = nullptr;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void **>(&object)), S_OK);
    object->Release();
    factory->Release();

    // A library path with environment variables, as REG_EXPAND_SZ.
    const std::filesystem::path server(VELQO_TEST_SERVER);
    ScopedEnv dir("VELQO_TEST_SERVER_DIR", server.parent_path().c_str());
    RegisterClass(kCounterClsid, u"Velqo.TestCounter", u"%VELQO_TEST_SERVER_DIR%/" + Wide(server.filename()),
                  REG_EXPAND_SZ);
    ICounter *counter = NewCounter();
    ASSERT_NE(counter, nullptr);
    counter->Release();
}

TEST_F(Activation, Failures) {
    // {6B1E4A53-2C7D-4F0E-9A35-00000000000n}: unregistered, a missing library,
    // a library without the entry point, a class the server does not have.
    const CLSID unregistered = {0x6B1E4A53, 0x2C7D, 0x4F0E, {0x9A, 0x35, 0, 0, 0, 0, 0, 1}};
    const CLSID missing = {0x6B1E4A53, 0x2C7D, 0x4F0E, {0x9A, 0x35, 0, 0, 0, 0, 0, 2}};
    const CLSID noEntry = {0x6B1E4A53, 0x2C7D, 0x4F0E, {0x9A, 0x35, 0, 0, 0, 0, 0, 3}};
    const CLSID unknownToServer = {0x6B1E4A53, 0x2C7D, 0x4F0E, {0x9A, 0x35, 0, 0, 0, 0, 0, 4}};
    RegisterClass(missing, u"", Wide(store_ + "/no-such-library.so"));
    RegisterClass(noEntry, u"", Wide(VELQO_TEST_NOENTRY));
    RegisterClass(unknownToServer, u"", Wide(VELQO_TEST_SERVER));
    const struct {
        CLSID clsid;
        DWORD context;
        HRESULT hr;
    } classes[] = {{unregistered, CLSCTX_INPROC_SERVER, REGDB_E_CLASSNOTREG},
                   {missing, CLSCTX_INPROC_SERVER, CO_E_DLLNOTFOUND},
                   {noEntry, CLSCTX_INPROC_SERVER, CO_E_ERRORINDLL},
                   {unknownToServer, CLSCTX_INPROC_SERVER, CLASS_E_CLASSNOTAVAILABLE},
                   {kCounterClsid, CLSCTX_LOCAL_SERVER, REGDB_E_CLASSNOTREG}};
    for (const auto &c : classes) {
        void *object = reinterpret_cast<void *>(1), *factory = reinterpret_cast<void *>(1);
        EXPECT_EQ(CoCreateInstance(c.clsid, nullptr, c.context, IID_IUnknown, &object), c.hr) << c.hr;
        EXPECT_EQ(object, nullptr);
        EXPECT_EQ(CoGetClassObject(c.clsid, c.context, nullptr, IID_IClassFactory, &factory), c.hr);
        EXPECT_EQ(factory, nullptr);
    }
    // A class key without its InprocServer32 is not registered for activation.
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, (u"CLSID\\" + GuidText(missing)).c_str(), 0, KEY_ALL_ACCESS, &key),
              ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteTreeW(key, u"InprocServer32"), ERROR_SUCCESS);
    RegCloseKey(key);
    void *object = nullptr;
    EXPECT_EQ(CoCreateInstance(missing, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &object), REGDB_E_CLASSNOTREG);
    LPOLESTR progId = reinterpret_cast<LPOLESTR>(1);
    EXPECT_EQ(ProgIDFromCLSID(unregistered, &progId), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(progId, nullptr);
    EXPECT_EQ(ProgIDFromCLSID(noEntry, &progId), REGDB_E_CLASSNOTREG);  // registered without a ProgID

    SetDefault(u"Velqo.Malformed\\CLSID", u"{not a class identifier}");
    const DWORD number = 1;
    SetDefault(u"Velqo.Number\\CLSID", &number, 4, REG_DWORD);  // a value of another type is no registration
    for (const char16_t *name : {u"Velqo.NoSuchClass", u"", u"CLSID\\x", u"Velqo.Malformed", u"Velqo.Number"}) {
        CLSID clsid = kCounterClsid;
        EXPECT_EQ(CLSIDFromProgID(name, &clsid), CO_E_CLASSSTRING)
            << std::string(name, name + std::char_traits<char16_t>::length(name));
        EXPECT_EQ(clsid, CLSID_NULL);
    }
    CLSID clsid;
    EXPECT_EQ(CLSIDFromProgID(nullptr, &clsid), E_INVALIDARG);
    EXPECT_EQ(CLSIDFromProgID(u"Velqo.TestCounter", nullptr), E_INVALIDARG);
}

// Whoever can change the registry chooses the library that is loaded: a
// store that another user owns or may write to is refused with
// E_ACCESSDENIED, and nothing is loaded from it. A store readable by others
// is fine.
TEST_F(Activation, AnUnsafeRegistryIsRefused) {
    struct Row {
        const char *what;
        mode_t mode;
        uid_t owner;
        HRESULT expected;
    };
    const uid_t me = geteuid();
    const Row rows[] = {
        {"world-writable", 0777, me, E_ACCESSDENIED},
        {"group-writable", 0770, me, E_ACCESSDENIED},
        {"another user's", 0700, 4242, E_ACCESSDENIED},
        {"readable by others", 0755, me, S_OK},
    };
    for (const Row &row : rows) {
        if (row.owner != me && me != 0) continue;  // only the superuser can give a folder away
        ASSERT_EQ(chmod(store_.c_str(), row.mode), 0);
        ASSERT_EQ(lchown(store_.c_str(), row.owner, gid_t(-1)), 0);
        CLSID clsid = CLSID_NULL;
        EXPECT_EQ(CLSIDFromProgID(u"Velqo.TestCounter", &clsid), row.expected) << row.what;
        HKEY key = nullptr;
        EXPECT_EQ(
            RegCreateKeyExW(HKEY_CLASSES_ROOT, u"Velqo.Planted", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            row.expected == S_OK ? ERROR_SUCCESS : ERROR_ACCESS_DENIED)
            << row.what;
        if (key) RegCloseKey(key);
        IUnknown *object = nullptr;
        const HRESULT hr = CoCreateInstance(kCounterClsid, nullptr, CLSCTX_INPROC_SERVER, kCounterIid,
                                            reinterpret_cast<void **>(&object));
        EXPECT_EQ(hr, row.expected) << row.what;
        if (object) object->Release();
        if (row.expected != S_OK) {
            EXPECT_EQ(object, nullptr) << row.what;
        }
        ASSERT_EQ(lchown(store_.c_str(), me, gid_t(-1)), 0);
        ASSERT_EQ(chmod(store_.c_str(), 0700), 0);
    }
}

TEST_F(Activation, IdleServersAreUnloaded) {
    ICounter *counter = NewCounter();
    ASSERT_NE(counter, nullptr);
    const LONG first = Next(counter);
    CoFreeUnusedLibraries();  // an object is alive: the library stays
    ASSERT_TRUE(ServerLoaded());
    EXPECT_EQ(Next(counter), first + 1);
    IClassFactory *factory = nullptr;
    ASSERT_EQ(CoGetClassObject(kCounterClsid, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                               reinterpret_cast<void **>(&factory)),
              S_OK);
    counter->Release();
    CoFreeUnusedLibraries();  // the factory is held: still loaded
    EXPECT_TRUE(ServerLoaded());
    factory->Release();
    CoFreeUnusedLibraries();
    EXPECT_FALSE(ServerLoaded());
    // Loaded afresh on the next activation, its counter starts again.
    counter = NewCounter();
    ASSERT_NE(counter, nullptr);
    EXPECT_EQ(Next(counter), 1);
    counter->Release();
}

TEST_F(Activation, ConcurrentActivation) {
    constexpr int kThreads = 4, kEach = 25;
    std::atomic<int> created{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < kEach; ++i) {
                ICounter *counter = nullptr;
                if (CoCreateInstance(kCounterClsid, nullptr, CLSCTX_INPROC_SERVER, kCounterIid,
                                     reinterpret_cast<void **>(&counter)) != S_OK)
                    continue;
                created += Next(counter) > 0;
                counter->Release();
            }
        });
    for (auto &thread : threads) thread.join();
    EXPECT_EQ(created.load(), kThreads * kEach);
}

}  // namespace
