// The in-process server's entry points: which classes have a factory, the
// unload count, and the registration it writes and removes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "common/store.h"
#include "component/com/module.h"
#include "component/objects.h"
#include "component/surface.h"
#include "late.h"

extern "C" {
HRESULT DllCanUnloadNow();
HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID *ppv);
HRESULT DllRegisterServer();
HRESULT DllUnregisterServer();
}

using velqosch::ComRef;
namespace surface = TaskScheduler::surface;

namespace {

using Module = test_store::Store;

// Only a Scheduler has a class factory, which makes any number of them and
// refuses aggregation and other interfaces without leaving an object behind.
TEST_F(Module, OnlySchedulerHasAClassFactory) {
    for (const auto &c : surface::kClasses) {
        void *p = reinterpret_cast<void *>(0x1);
        EXPECT_EQ(DllGetClassObject(c.clsid, IID_IClassFactory, &p), c.creatable ? S_OK : CLASS_E_CLASSNOTAVAILABLE);
        EXPECT_EQ(p != nullptr, c.creatable) << c.name;
        if (p) {
            EXPECT_EQ(static_cast<IClassFactory *>(p)->Release(), 0u) << c.name;
        }
    }
    void *p = reinterpret_cast<void *>(0x1);
    EXPECT_EQ(DllGetClassObject(TaskScheduler::CLSID_Scheduler, IID_IDispatch, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(DllGetClassObject(TaskScheduler::CLSID_Scheduler, IID_IClassFactory, nullptr), E_POINTER);

    ComRef<IClassFactory> factory;
    ASSERT_EQ(
        DllGetClassObject(TaskScheduler::CLSID_Scheduler, IID_IClassFactory, reinterpret_cast<void **>(factory.Out())),
        S_OK);
    const LONG live = velqosch::LiveObjectCount();
    p = reinterpret_cast<void *>(0x1);
    EXPECT_EQ(factory->CreateInstance(reinterpret_cast<IUnknown *>(factory.get()), IID_IUnknown, &p),
              CLASS_E_NOAGGREGATION);
    EXPECT_EQ(p, nullptr);
    p = reinterpret_cast<void *>(0x1);
    EXPECT_EQ(factory->CreateInstance(nullptr, TaskScheduler::IID__Task, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(velqosch::LiveObjectCount(), live);  // the refused object is gone
    IUnknown *one = nullptr, *two = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, TaskScheduler::IID__Scheduler, reinterpret_cast<void **>(&one)), S_OK);
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void **>(&two)), S_OK);
    EXPECT_NE(one, two);
    EXPECT_EQ(one->Release() + two->Release(), 0u);
}

TEST_F(Module, CanUnloadNowCountsObjectsFactoriesAndLocks) {
    ASSERT_EQ(DllCanUnloadNow(), S_OK);
    IClassFactory *factory = nullptr;
    ASSERT_EQ(DllGetClassObject(TaskScheduler::CLSID_Scheduler, IID_IClassFactory, reinterpret_cast<void **>(&factory)),
              S_OK);
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    IDispatch *scheduler = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void **>(&scheduler)), S_OK);
    factory->Release();
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);  // locked, and an object lives
    factory = nullptr;
    ASSERT_EQ(DllGetClassObject(TaskScheduler::CLSID_Scheduler, IID_IClassFactory, reinterpret_cast<void **>(&factory)),
              S_OK);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    factory->Release();
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);  // the Scheduler still lives

    // A child outlives its Scheduler and keeps the library loaded.
    late::Call tasks = late::Invoke(scheduler, u"Tasks", late::kGet);
    ASSERT_EQ(tasks.hr, S_OK);
    scheduler->Release();
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
    VariantClear(tasks.result.get());
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
    // An unbalanced unlock does not make the count negative.
    ASSERT_EQ(DllGetClassObject(TaskScheduler::CLSID_Scheduler, IID_IClassFactory, reinterpret_cast<void **>(&factory)),
              S_OK);
    factory->LockServer(FALSE);
    factory->Release();
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

// ---- Registration ------------------------------------------------------------------------------------------------

std::u16string Text(const char *s) { return std::u16string(s, s + std::char_traits<char>::length(s)); }

std::u16string GuidText(const GUID &g) {
    OLECHAR buffer[40] = {};
    StringFromGUID2(g, buffer, 40);
    return reinterpret_cast<const char16_t *>(buffer);
}

// The default value (null name) or the named value of an HKCR key; nullopt
// spelled as "<missing>" when the key or value does not exist.
std::u16string Value(const std::u16string &path, const char16_t *name = nullptr) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, reinterpret_cast<LPCWSTR>(path.c_str()), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return u"<missing>";
    WCHAR data[1024] = {};
    DWORD size = sizeof data, type = 0;
    const LSTATUS s =
        RegQueryValueExW(key, reinterpret_cast<LPCWSTR>(name), nullptr, &type, reinterpret_cast<BYTE *>(data), &size);
    RegCloseKey(key);
    if (s != ERROR_SUCCESS) return u"<missing>";
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ)) << "key " << path.size();
    return reinterpret_cast<const char16_t *>(data);
}

bool KeyExists(const std::u16string &path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, reinterpret_cast<LPCWSTR>(path.c_str()), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

DWORD SubkeyCount(HKEY root) {
    DWORD n = 0;
    WCHAR name[256];
    DWORD length = 256;
    while (RegEnumKeyExW(root, n, name, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS) {
        ++n;
        length = 256;
    }
    return n;
}

void ExpectRegistered() {
    const std::u16string self = velqosch::module::ModulePath();
    ASSERT_FALSE(self.empty());
    const std::u16string libid = GuidText(surface::kLibrary.libid);
    for (const auto &c : surface::kClasses) {
        const std::u16string key = u"CLSID\\" + GuidText(c.clsid), progid = u"TaskScheduler." + Text(c.name);
        EXPECT_EQ(Value(key + u"\\InprocServer32"), self) << c.name;
        EXPECT_EQ(Value(key + u"\\InprocServer32", u"ThreadingModel"), u"Apartment") << c.name;
        EXPECT_EQ(Value(key + u"\\ProgID"), progid) << c.name;
        EXPECT_EQ(Value(key + u"\\TypeLib"), libid) << c.name;
        EXPECT_EQ(Value(progid + u"\\CLSID"), GuidText(c.clsid)) << c.name;
    }
    for (const auto &i : surface::kInterfaces) {
        const std::u16string key = u"Interface\\" + GuidText(i.iid);
        EXPECT_EQ(Value(key), Text(i.name));
        EXPECT_EQ(Value(key + u"\\ProxyStubClsid32"), u"{00020424-0000-0000-C000-000000000046}");
        EXPECT_EQ(Value(key + u"\\TypeLib"), libid);
        EXPECT_EQ(Value(key + u"\\TypeLib", u"Version"), u"2.1");
    }
    for (const auto &a : surface::kAliases)
        EXPECT_EQ(Value(u"Interface\\" + GuidText(a.iid)), Text(surface::InterfaceOf(a.of).name));
    const std::u16string lib = u"TypeLib\\" + libid + u"\\2.1";
    EXPECT_EQ(Value(lib), u"Velqo Task Scheduler 1.3");
    EXPECT_EQ(Value(lib + (sizeof(void *) == 8 ? u"\\0\\win64" : u"\\0\\win32")), self);
    EXPECT_EQ(Value(lib + u"\\FLAGS"), u"0");
    EXPECT_EQ(Value(lib + u"\\HELPDIR"), self.substr(0, self.find_last_of(u'/')));
}

// Registering twice leaves one set of keys; unregistering removes them all
// and leaves another server's keys alone.
TEST_F(Module, RegisteringTwiceLeavesOneSetAndUnregisteringRemovesIt) {
    ASSERT_EQ(SubkeyCount(HKEY_CLASSES_ROOT), 0u);  // a private, empty registry
    ASSERT_EQ(DllRegisterServer(), S_OK);
    ExpectRegistered();
    EXPECT_EQ(SubkeyCount(HKEY_CLASSES_ROOT), 3u + 5u);  // CLSID, Interface, TypeLib and five ProgIDs
    const std::u16string other = u"CLSID\\{00000000-1111-2222-3333-444444444444}";
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, reinterpret_cast<LPCWSTR>(other.c_str()), 0, nullptr,
                              REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_EQ(DllRegisterServer(), S_OK);
    ExpectRegistered();
    EXPECT_EQ(SubkeyCount(HKEY_CLASSES_ROOT), 3u + 5u);

    ASSERT_EQ(DllUnregisterServer(), S_OK);
    for (const auto &c : surface::kClasses) {
        EXPECT_FALSE(KeyExists(u"CLSID\\" + GuidText(c.clsid))) << c.name;
        EXPECT_FALSE(KeyExists(u"TaskScheduler." + Text(c.name))) << c.name;
    }
    for (const auto &i : surface::kInterfaces) EXPECT_FALSE(KeyExists(u"Interface\\" + GuidText(i.iid)));
    EXPECT_FALSE(KeyExists(u"TypeLib\\" + GuidText(surface::kLibrary.libid)));
    EXPECT_TRUE(KeyExists(other));
    EXPECT_EQ(DllUnregisterServer(), S_OK);  // unregistering what is not registered is no error
}

}  // namespace
