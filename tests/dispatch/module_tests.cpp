// The in-process server's entry points: the unload count and the registration.
#include <gtest/gtest.h>
#include <unistd.h>

#include <set>
#include <string>

#include "common/store.h"
#include "component/com/module.h"
#include "component/objects.h"
#include "component/surface.h"
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

    // A child outlives its Scheduler and keeps the library loaded; an unbalanced unlock leaves the count at 0.
    LPOLESTR name = const_cast<LPOLESTR>(u"Tasks");
    DISPID id = 0;
    DISPPARAMS none{};
    VARIANT tasks{};
    EXPECT_EQ((Results{scheduler->GetIDsOfNames(IID_NULL, &name, 1, 0, &id) |
                           scheduler->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &tasks, nullptr, nullptr),
                       (scheduler->Release(), DllCanUnloadNow()), (VariantClear(&tasks), DllCanUnloadNow()),
                       (factory = Factory())->LockServer(FALSE), (factory->Release(), DllCanUnloadNow())}),
              (Results{S_OK, S_FALSE, S_OK, S_OK, S_OK}));
}

std::u16string Text(const char *s) { return std::u16string(s, s + std::char_traits<char>::length(s)); }
using Lines = std::set<std::u16string>;

// Every key below `path` of HKCR as lines "key=default", "key[name]=value", or "key" alone when it holds no value.
Lines Dump(const std::u16string &path = u"") {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return {u"<missing>"};
    Lines out;
    WCHAR name[256], data[1024];
    DWORD i = 0, n = 256, size = sizeof data, type = 0;
    for (; !RegEnumValueW(key, i, name, &n, nullptr, &type, reinterpret_cast<BYTE *>(data), &size); ++i)
        out.insert(path + (n ? u"[" + std::u16string(name) + u"]=" : u"=") + (type == REG_SZ ? data : u"<not text>")),
            n = 256, size = sizeof data;
    if (i == 0 && !path.empty()) out.insert(path);
    for (i = 0, n = 256; !RegEnumKeyExW(key, i, name, &n, nullptr, nullptr, nullptr, nullptr); ++i, n = 256)
        out.merge(Dump((path.empty() ? u"" : path + u"\\") + name));
    RegCloseKey(key);
    return out;
}

// What registering writes, with the keys `others` of another server.
Lines Registered(Lines others) {
    const std::u16string self = velqosch::module::ModulePath(), libid = GuidText(surface::kLibrary.libid),
                         lib = u"TypeLib\\" + libid + u"\\2.1";
    others.insert({u"TypeLib\\" + libid, lib + u"=Velqo Task Scheduler 1.3", lib + u"\\0",
                   lib + (sizeof(void *) == 8 ? u"\\0\\win64=" : u"\\0\\win32=") + self, lib + u"\\FLAGS=0",
                   lib + u"\\HELPDIR=" + self.substr(0, self.find_last_of(u'/'))});
    for (const auto &c : surface::kClasses) {
        const std::u16string key = u"CLSID\\" + GuidText(c.clsid), progid = u"TaskScheduler." + Text(c.name);
        others.insert({key + u"=" + progid, key + u"\\InprocServer32=" + self,
                       key + u"\\InprocServer32[ThreadingModel]=Apartment", key + u"\\ProgID=" + progid,
                       key + u"\\VERSION=2.1", key + u"\\TypeLib=" + libid, key + u"\\Programmable",
                       progid + u"=" + progid, progid + u"\\CLSID=" + GuidText(c.clsid)});
    }
    auto add = [&](REFIID iid, const char *name) {
        const std::u16string key = u"Interface\\" + GuidText(iid), stub = u"={00020424-0000-0000-C000-000000000046}";
        others.insert({key + u"=" + Text(name), key + u"\\ProxyStubClsid" + stub, key + u"\\ProxyStubClsid32" + stub,
                       key + u"\\TypeLib=" + libid, key + u"\\TypeLib[Version]=2.1"});
    };
    for (const auto &i : surface::kInterfaces) add(i.iid, i.name);
    for (const auto &a : surface::kAliases) add(a.iid, surface::InterfaceOf(a.of).name);
    return others;
}

// Registering twice leaves one set of keys; unregistering removes them all and leaves another server's keys alone.
TEST_F(Module, RegisteringTwiceLeavesOneSetAndUnregisteringRemovesIt) {
    ASSERT_EQ(Dump(), Lines{});  // a private, empty registry
    const Lines others = {u"CLSID", u"CLSID\\{00000000-1111-2222-3333-444444444444}", u"Interface", u"TypeLib"};
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, u"CLSID\\{00000000-1111-2222-3333-444444444444}", 0, nullptr, 0,
                              KEY_WRITE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_EQ(DllRegisterServer(), S_OK);
    const Lines once = Dump();
    EXPECT_EQ(once, Registered(others));
    ASSERT_EQ(DllRegisterServer(), S_OK);
    EXPECT_EQ(Dump(), once);
    ASSERT_EQ(DllUnregisterServer(), S_OK);
    EXPECT_EQ(Dump(), others);
    EXPECT_EQ(DllUnregisterServer(), S_OK);  // unregistering what is not registered is no error
}

}  // namespace
