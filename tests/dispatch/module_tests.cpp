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
#include "runtime/runtime_test_support.h"

extern "C" {
HRESULT DllCanUnloadNow();
HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID *ppv);
HRESULT DllRegisterServer();
HRESULT DllUnregisterServer();
}

namespace surface = TaskScheduler::surface;

namespace {

using Module = test_store::Store;

IClassFactory *Factory() {
    IClassFactory *factory = nullptr;
    EXPECT_EQ(DllGetClassObject(TaskScheduler::CLSID_Scheduler, IID_IClassFactory, reinterpret_cast<void **>(&factory)),
              S_OK);
    return factory;
}

TEST_F(Module, CanUnloadNowCountsObjectsFactoriesAndLocks) {
    ASSERT_EQ(DllCanUnloadNow(), S_OK);
    IClassFactory *factory = Factory(), *again = nullptr;
    IDispatch *scheduler = nullptr;
    EXPECT_EQ((Results{DllCanUnloadNow(), factory->LockServer(TRUE),
                       factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void **>(&scheduler)),
                       (factory->Release(), DllCanUnloadNow()),  // locked, and an object lives
                       (again = Factory())->LockServer(FALSE),
                       (again->Release(), DllCanUnloadNow())}),  // the Scheduler still lives
              (Results{S_FALSE, S_OK, S_OK, S_FALSE, S_OK, S_FALSE}));

    // A child outlives its Scheduler and keeps the library loaded.
    late::Call tasks = late::Invoke(scheduler, u"Tasks", late::kGet);
    ASSERT_EQ(tasks.hr, S_OK);
    scheduler->Release();
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
    VariantClear(tasks.result.get());
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
    // An unbalanced unlock does not make the count negative.
    factory = Factory();
    factory->LockServer(FALSE);
    factory->Release();
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

// ---- Registration ------------------------------------------------------------------------------------------------

std::u16string Text(const char *s) { return std::u16string(s, s + std::char_traits<char>::length(s)); }

// The default value (null name) or the named value of an HKCR key; "<missing>" when the key or value does not exist.
std::u16string Value(const std::u16string &path, const char16_t *name = nullptr) {
    HKEY key = nullptr;
    WCHAR data[1024] = {};
    DWORD size = sizeof data, type = REG_SZ;
    LSTATUS s = RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key);
    if (s == ERROR_SUCCESS) s = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE *>(data), &size);
    RegCloseKey(key);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    return s != ERROR_SUCCESS ? u"<missing>" : data;
}

// Every key below `path` of HKCR, one path a line, each followed by its subkeys.
std::u16string Tree(const std::u16string &path = u"") {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return u"<missing>";
    std::u16string out;
    WCHAR name[256];
    for (DWORD i = 0, n = 256; !RegEnumKeyExW(key, i, name, &n, nullptr, nullptr, nullptr, nullptr); ++i, n = 256) {
        const std::u16string sub = (path.empty() ? u"" : path + u"\\") + name;
        out += sub + u"\n" + Tree(sub);
    }
    RegCloseKey(key);
    return out;
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
    ASSERT_EQ(Tree(), u"");  // a private, empty registry
    const std::u16string other = u"CLSID\\{00000000-1111-2222-3333-444444444444}";
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, other.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_EQ(DllRegisterServer(), S_OK);
    ExpectRegistered();
    const std::u16string once = Tree();
    ASSERT_EQ(DllRegisterServer(), S_OK);
    EXPECT_EQ(Tree(), once);
    ASSERT_EQ(DllUnregisterServer(), S_OK);
    EXPECT_EQ(Tree(), u"CLSID\n" + other + u"\nInterface\nTypeLib\n");
    EXPECT_EQ(DllUnregisterServer(), S_OK);  // unregistering what is not registered is no error
}

}  // namespace
