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

namespace surface = TaskScheduler::surface;

namespace {

using Module = test_store::Store;

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

// The default value (null name) or the named value of an HKCR key; "<missing>" when the key or value does not
// exist, "<key>" for an existing key asked with `name` "?".
std::u16string Value(const std::u16string &path, const char16_t *name = nullptr) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, reinterpret_cast<LPCWSTR>(path.c_str()), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return u"<missing>";
    WCHAR data[1024] = {};
    DWORD size = sizeof data, type = REG_SZ;
    const bool exists = name && name == std::u16string(u"?");
    const LSTATUS s = exists ? ERROR_SUCCESS
                             : RegQueryValueExW(key, reinterpret_cast<LPCWSTR>(name), nullptr, &type,
                                                reinterpret_cast<BYTE *>(data), &size);
    RegCloseKey(key);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    return s != ERROR_SUCCESS ? u"<missing>" : exists ? u"<key>" : reinterpret_cast<const char16_t *>(data);
}

DWORD SubkeyCount() {
    DWORD n = 0, length = 256;
    for (WCHAR name[256];
         RegEnumKeyExW(HKEY_CLASSES_ROOT, n, name, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
         length = 256)
        ++n;
    return n;
}

void ExpectRegistered() {
    const std::u16string self = velqosch::module::ModulePath(), libid = GuidText(surface::kLibrary.libid);
    ASSERT_FALSE(self.empty());
    for (const auto &c : surface::kClasses) {
        const std::u16string key = u"CLSID\\" + GuidText(c.clsid), progid = u"TaskScheduler." + Text(c.name);
        EXPECT_EQ(Value(key + u"\\InprocServer32") + Value(key + u"\\InprocServer32", u"ThreadingModel"),
                  self + u"Apartment");
        EXPECT_EQ(Value(key + u"\\ProgID") + Value(key + u"\\TypeLib"), progid + libid) << c.name;
        EXPECT_EQ(Value(progid + u"\\CLSID"), GuidText(c.clsid)) << c.name;
    }
    for (const auto &i : surface::kInterfaces) {
        const std::u16string key = u"Interface\\" + GuidText(i.iid);
        EXPECT_EQ(Value(key) + Value(key + u"\\TypeLib") + Value(key + u"\\TypeLib", u"Version"),
                  Text(i.name) + libid + u"2.1");
        EXPECT_EQ(Value(key + u"\\ProxyStubClsid32"), u"{00020424-0000-0000-C000-000000000046}");
    }
    for (const auto &a : surface::kAliases)
        EXPECT_EQ(Value(u"Interface\\" + GuidText(a.iid)), Text(surface::InterfaceOf(a.of).name));
    const std::u16string lib = u"TypeLib\\" + libid + u"\\2.1";
    EXPECT_EQ(Value(lib), u"Velqo Task Scheduler 1.3");
    EXPECT_EQ(Value(lib + (sizeof(void *) == 8 ? u"\\0\\win64" : u"\\0\\win32")), self);
    EXPECT_EQ(Value(lib + u"\\FLAGS") + Value(lib + u"\\HELPDIR"), u"0" + self.substr(0, self.find_last_of(u'/')));
}

// Registering twice leaves one set of keys; unregistering removes them all
// and leaves another server's keys alone.
TEST_F(Module, RegisteringTwiceLeavesOneSetAndUnregisteringRemovesIt) {
    ASSERT_EQ(SubkeyCount(), 0u);  // a private, empty registry
    ASSERT_EQ(DllRegisterServer(), S_OK);
    ExpectRegistered();
    EXPECT_EQ(SubkeyCount(), 3u + 5u);  // CLSID, Interface, TypeLib and five ProgIDs
    const std::u16string other = u"CLSID\\{00000000-1111-2222-3333-444444444444}";
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, reinterpret_cast<LPCWSTR>(other.c_str()), 0, nullptr,
                              REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_EQ(DllRegisterServer(), S_OK);
    ExpectRegistered();
    EXPECT_EQ(SubkeyCount(), 3u + 5u);

    ASSERT_EQ(DllUnregisterServer(), S_OK);
    for (const auto &c : surface::kClasses)
        EXPECT_EQ(Value(u"CLSID\\" + GuidText(c.clsid), u"?") + Value(u"TaskScheduler." + Text(c.name), u"?"),
                  u"<missing><missing>");
    for (const auto &i : surface::kInterfaces) EXPECT_EQ(Value(u"Interface\\" + GuidText(i.iid), u"?"), u"<missing>");
    EXPECT_EQ(Value(u"TypeLib\\" + GuidText(surface::kLibrary.libid), u"?") + Value(other, u"?"), u"<missing><key>");
    EXPECT_EQ(DllUnregisterServer(), S_OK);  // unregistering what is not registered is no error
}

}  // namespace
