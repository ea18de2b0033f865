// Activation of registered in-process servers: a ProgID leads to a class,
// the class's InprocServer32 to a library that is loaded once, asked for
// its class factory and unloaded when idle. Runs against a registry store in
// a fresh folder; the test server is tests/runtime/test_server.cpp.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "runtime/test_server.h"

namespace {

using Text = std::u16string;

Text Wide(const std::string &s) { return Text(s.begin(), s.end()); }

Text GuidText(REFGUID guid) {
    OLECHAR text[39];
    StringFromGUID2(guid, text, 39);
    return text;
}

void SetDefault(const Text &path, const Text &value, DWORD type = REG_SZ) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, nullptr, 0, type, reinterpret_cast<const BYTE *>(value.c_str()),
                             DWORD((value.size() + 1) * 2)),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

// Registers a class the way an in-process server's registration does.
void RegisterClass(REFCLSID clsid, const Text &progId, const Text &library, DWORD type = REG_SZ) {
    const Text key = u"CLSID\\" + GuidText(clsid);
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

class Activation : public ::testing::Test {
protected:
    void SetUp() override {
        char folder[] = "/tmp/velqo-activation-XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        store_ = folder;
        setenv("VELQOSCH_REGISTRY", folder, 1);
        RegisterClass(kCounterClsid, u"Velqo.TestCounter", Wide(VELQO_TEST_SERVER));
    }
    void TearDown() override {
        CoFreeUnusedLibraries();
        unsetenv("VELQOSCH_REGISTRY");
        std::error_code ignored;
        std::filesystem::remove_all(store_, ignored);
    }

    ICounter *NewCounter() {
        ICounter *counter = nullptr;
        EXPECT_EQ(CoCreateInstance(kCounterClsid, nullptr, CLSCTX_INPROC_SERVER, kCounterIid,
                                   reinterpret_cast<void **>(&counter)),
                  S_OK);
        return counter;
    }

    std::string store_;
};

TEST_F(Activation, ProgIdLeadsToTheServer) {
    CLSID clsid = CLSID_NULL;
    ASSERT_EQ(CLSIDFromProgID(u"Velqo.TestCounter", &clsid), S_OK);
    EXPECT_EQ(clsid, kCounterClsid);
    ASSERT_EQ(CLSIDFromProgID(u"VELQO.testcounter", &clsid), S_OK);
    EXPECT_EQ(clsid, kCounterClsid);

    LPOLESTR progId = nullptr;
    ASSERT_EQ(ProgIDFromCLSID(kCounterClsid, &progId), S_OK);
    EXPECT_EQ(Text(progId), u"Velqo.TestCounter");
    CoTaskMemFree(progId);

    ICounter *first = nullptr;
    ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_ALL, kCounterIid, reinterpret_cast<void **>(&first)), S_OK);
    ASSERT_NE(first, nullptr);
    ICounter *second = NewCounter();
    ASSERT_NE(second, nullptr);
    // One library behind both objects: one counter, two live objects.
    LONG a = 0, b = 0, live = 0;
    first->Next(&a);
    second->Next(&b);
    EXPECT_EQ(b, a + 1);
    second->LiveObjects(&live);
    EXPECT_EQ(live, 2);
    EXPECT_EQ(first->Release(), 0u);
    EXPECT_EQ(second->Release(), 0u);

    // The class object, with the factory interface or another one it has.
    IClassFactory *factory = nullptr;
    ASSERT_EQ(
        CoGetClassObject(clsid, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, reinterpret_cast<void **>(&factory)),
        S_OK);
    IUnknown *object = nullptr;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void **>(&object)), S_OK);
    object->Release();
    factory->Release();
}

TEST_F(Activation, ProgIdFailures) {
    CLSID clsid = kCounterClsid;
    EXPECT_EQ(CLSIDFromProgID(u"Velqo.NoSuchClass", &clsid), CO_E_CLASSSTRING);
    EXPECT_EQ(clsid, CLSID_NULL);
    EXPECT_EQ(CLSIDFromProgID(u"", &clsid), CO_E_CLASSSTRING);
    EXPECT_EQ(CLSIDFromProgID(u"CLSID\\x", &clsid), CO_E_CLASSSTRING);
    SetDefault(u"Velqo.Malformed\\CLSID", u"{not a class identifier}");
    EXPECT_EQ(CLSIDFromProgID(u"Velqo.Malformed", &clsid), CO_E_CLASSSTRING);
    EXPECT_EQ(CLSIDFromProgID(nullptr, &clsid), E_INVALIDARG);
    EXPECT_EQ(CLSIDFromProgID(u"Velqo.TestCounter", nullptr), E_INVALIDARG);

    // A ProgID key whose CLSID value is of another type is no registration.
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, u"Velqo.Number\\CLSID", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    const DWORD number = 1;
    ASSERT_EQ(RegSetValueExW(key, nullptr, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&number), 4), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(CLSIDFromProgID(u"Velqo.Number", &clsid), CO_E_CLASSSTRING);
}

TEST_F(Activation, ClassFailures) {
    // {6B1E4A53-2C7D-4F0E-9A35-000000000001}..3: one unregistered, one with a
    // missing library, one whose library has no entry point.
    const CLSID unregistered = {0x6B1E4A53, 0x2C7D, 0x4F0E, {0x9A, 0x35, 0, 0, 0, 0, 0, 1}};
    const CLSID missing = {0x6B1E4A53, 0x2C7D, 0x4F0E, {0x9A, 0x35, 0, 0, 0, 0, 0, 2}};
    const CLSID noEntry = {0x6B1E4A53, 0x2C7D, 0x4F0E, {0x9A, 0x35, 0, 0, 0, 0, 0, 3}};
    const CLSID unknownToServer = {0x6B1E4A53, 0x2C7D, 0x4F0E, {0x9A, 0x35, 0, 0, 0, 0, 0, 4}};
    RegisterClass(missing, u"", Wide(store_ + "/no-such-library.so"));
    RegisterClass(noEntry, u"", Wide(VELQO_TEST_NOENTRY));
    RegisterClass(unknownToServer, u"", Wide(VELQO_TEST_SERVER));

    auto create = [](REFCLSID clsid, DWORD context = CLSCTX_INPROC_SERVER) {
        IUnknown *object = reinterpret_cast<IUnknown *>(1);
        const HRESULT hr = CoCreateInstance(clsid, nullptr, context, IID_IUnknown, reinterpret_cast<void **>(&object));
        EXPECT_EQ(object, nullptr);
        return hr;
    };
    EXPECT_EQ(create(unregistered), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(create(missing), CO_E_DLLNOTFOUND);
    EXPECT_EQ(create(noEntry), CO_E_ERRORINDLL);
    EXPECT_EQ(create(unknownToServer), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(create(kCounterClsid, CLSCTX_LOCAL_SERVER), REGDB_E_CLASSNOTREG);

    void *factory = reinterpret_cast<void *>(1);
    EXPECT_EQ(CoGetClassObject(unregistered, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, &factory),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(factory, nullptr);
    EXPECT_EQ(CoGetClassObject(missing, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, &factory), CO_E_DLLNOTFOUND);
    EXPECT_EQ(CoGetClassObject(noEntry, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, &factory), CO_E_ERRORINDLL);

    // A class key without its InprocServer32 is not registered for activation.
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, (u"CLSID\\" + GuidText(missing)).c_str(), 0, KEY_ALL_ACCESS, &key),
              ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteTreeW(key, u"InprocServer32"), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(create(missing), REGDB_E_CLASSNOTREG);

    LPOLESTR progId = reinterpret_cast<LPOLESTR>(1);
    EXPECT_EQ(ProgIDFromCLSID(unregistered, &progId), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(progId, nullptr);
    EXPECT_EQ(ProgIDFromCLSID(noEntry, &progId), REGDB_E_CLASSNOTREG);  // registered without a ProgID
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

TEST_F(Activation, ExpandableLibraryPath) {
    const std::filesystem::path server(VELQO_TEST_SERVER);
    setenv("VELQO_TEST_SERVER_DIR", server.parent_path().c_str(), 1);
    RegisterClass(kCounterClsid, u"Velqo.TestCounter", u"%VELQO_TEST_SERVER_DIR%/" + Wide(server.filename()),
                  REG_EXPAND_SZ);
    ICounter *counter = NewCounter();
    ASSERT_NE(counter, nullptr);
    counter->Release();
    unsetenv("VELQO_TEST_SERVER_DIR");
}

TEST_F(Activation, IdleServersAreUnloaded) {
    ICounter *counter = NewCounter();
    ASSERT_NE(counter, nullptr);
    LONG first = 0;
    counter->Next(&first);
    ASSERT_TRUE(ServerLoaded());

    CoFreeUnusedLibraries();  // an object is alive: the library stays
    ASSERT_TRUE(ServerLoaded());
    LONG next = 0;
    counter->Next(&next);
    EXPECT_EQ(next, first + 1);

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
    counter->Next(&next);
    EXPECT_EQ(next, 1);
    counter->Release();
}

TEST_F(Activation, ConcurrentActivation) {
    constexpr int kThreads = 4, kEach = 25;
    std::vector<std::vector<LONG>> seen(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                ICounter *counter = nullptr;
                if (CoCreateInstance(kCounterClsid, nullptr, CLSCTX_INPROC_SERVER, kCounterIid,
                                     reinterpret_cast<void **>(&counter)) != S_OK)
                    continue;
                LONG value = 0;
                counter->Next(&value);
                seen[t].push_back(value);
                counter->Release();
            }
        });
    for (auto &thread : threads) thread.join();
    std::size_t total = 0;
    for (const auto &values : seen) total += values.size();
    EXPECT_EQ(total, std::size_t(kThreads * kEach));
}

}  // namespace
