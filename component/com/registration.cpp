// Registration as an in-process automation server, under HKEY_CLASSES_ROOT:
//
//   TypeLib\{LIBID}\2.1                  = library help string
//       0\win32 (win64)                  = this file (its type library resource)
//       FLAGS = 0, HELPDIR = this file's folder
//   CLSID\{CLSID}                        = TaskScheduler.<Class>
//       InprocServer32                   = this file; ThreadingModel = Apartment
//       ProgID, VERSION, TypeLib, Programmable
//   TaskScheduler.<Class>                = TaskScheduler.<Class>
//       CLSID                            = {CLSID}
//   Interface\{IID}                      = interface name
//       ProxyStubClsid, ProxyStubClsid32 = the automation marshaller
//       TypeLib                          = {LIBID}; Version = 2.1
//
// Everything comes from the surface table. Registering first removes what an
// earlier registration wrote, so that two registrations leave one set; a
// registration that fails part-way removes what it wrote.
#include <string>
#include <vector>

#include "component/com/module.h"
#include "component/surface.h"

namespace velqosch::module {
namespace {

using namespace TaskScheduler;
using Text = std::u16string;

// The automation marshaller that dual interfaces use.
constexpr const char16_t *kAutomationMarshaller = u"{00020424-0000-0000-C000-000000000046}";

Text Ascii(const char *s) { return Text(s, s + std::char_traits<char>::length(s)); }

Text GuidText(const GUID &g) {
    OLECHAR text[40] = {};
    StringFromGUID2(g, text, 40);
    return reinterpret_cast<const char16_t *>(text);
}

const WCHAR *W(const Text &s) { return reinterpret_cast<const WCHAR *>(s.c_str()); }

Text Version() {
    return Ascii(std::to_string(surface::kLibrary.major).c_str()) + u"." +
           Ascii(std::to_string(surface::kLibrary.minor).c_str());
}
Text LibraryKey() { return u"TypeLib\\" + GuidText(surface::kLibrary.libid); }
Text ProgId(const surface::ClassInfo &c) { return Ascii(surface::kLibrary.name) + u"." + Ascii(c.name); }

// The interfaces each class answers to: its own and the aliases of it.
std::vector<std::pair<IID, Text>> Interfaces() {
    std::vector<std::pair<IID, Text>> out;
    for (const auto &a : surface::kAliases) out.emplace_back(a.iid, Ascii(surface::InterfaceOf(a.of).name));
    for (const auto &i : surface::kInterfaces) out.emplace_back(i.iid, Ascii(i.name));
    return out;
}

// Sets the value `name` (null: the key's default) of key `path`, creating it.
LSTATUS SetValue(const Text &path, const char16_t *name, const Text &value) {
    HKEY key = nullptr;
    LSTATUS status = RegCreateKeyExW(HKEY_CLASSES_ROOT, W(path), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                                     nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) return status;
    status = RegSetValueExW(key, reinterpret_cast<const WCHAR *>(name), 0, REG_SZ,
                            reinterpret_cast<const BYTE *>(value.c_str()),
                            static_cast<DWORD>((value.size() + 1) * sizeof(char16_t)));
    RegCloseKey(key);
    return status;
}

LSTATUS CreateKey(const Text &path) {
    HKEY key = nullptr;
    const LSTATUS status = RegCreateKeyExW(HKEY_CLASSES_ROOT, W(path), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                                           nullptr, &key, nullptr);
    if (status == ERROR_SUCCESS) RegCloseKey(key);
    return status;
}

// Removes key `path` with everything below it; a missing key is no error.
LSTATUS DeleteTree(const Text &path) {
    LSTATUS status = RegDeleteTreeW(HKEY_CLASSES_ROOT, W(path));
    if (status == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    if (status == ERROR_SUCCESS) status = RegDeleteKeyW(HKEY_CLASSES_ROOT, W(path));
    return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
}

HRESULT FromStatus(LSTATUS status, HRESULT failure) {
    if (status == ERROR_SUCCESS) return S_OK;
    return status == ERROR_ACCESS_DENIED ? E_ACCESSDENIED : failure;
}

HRESULT WriteTypeLibrary(const Text &file, const Text &folder) {
    const Text key = LibraryKey() + u"\\" + Version();
    const Text platform = sizeof(void *) == 8 ? u"win64" : u"win32";
    LSTATUS s = SetValue(key, nullptr, Ascii(surface::kLibrary.helpstring));
    if (s == ERROR_SUCCESS) s = SetValue(key + u"\\0\\" + platform, nullptr, file);
    if (s == ERROR_SUCCESS) s = SetValue(key + u"\\FLAGS", nullptr, u"0");
    if (s == ERROR_SUCCESS) s = SetValue(key + u"\\HELPDIR", nullptr, folder);
    return FromStatus(s, SELFREG_E_TYPELIB);
}

HRESULT WriteClasses(const Text &file) {
    const Text libid = GuidText(surface::kLibrary.libid);
    for (const auto &c : surface::kClasses) {
        const Text key = u"CLSID\\" + GuidText(c.clsid), progid = ProgId(c);
        LSTATUS s = SetValue(key, nullptr, progid);
        if (s == ERROR_SUCCESS) s = SetValue(key + u"\\InprocServer32", nullptr, file);
        if (s == ERROR_SUCCESS) s = SetValue(key + u"\\InprocServer32", u"ThreadingModel", u"Apartment");
        if (s == ERROR_SUCCESS) s = SetValue(key + u"\\ProgID", nullptr, progid);
        if (s == ERROR_SUCCESS) s = SetValue(key + u"\\VERSION", nullptr, Version());
        if (s == ERROR_SUCCESS) s = SetValue(key + u"\\TypeLib", nullptr, libid);
        if (s == ERROR_SUCCESS) s = CreateKey(key + u"\\Programmable");
        if (s == ERROR_SUCCESS) s = SetValue(progid, nullptr, progid);
        if (s == ERROR_SUCCESS) s = SetValue(progid + u"\\CLSID", nullptr, GuidText(c.clsid));
        if (s != ERROR_SUCCESS) return FromStatus(s, SELFREG_E_CLASS);
    }
    return S_OK;
}

HRESULT WriteInterfaces() {
    const Text libid = GuidText(surface::kLibrary.libid);
    for (const auto &[iid, name] : Interfaces()) {
        const Text key = u"Interface\\" + GuidText(iid);
        LSTATUS s = SetValue(key, nullptr, name);
        if (s == ERROR_SUCCESS) s = SetValue(key + u"\\ProxyStubClsid", nullptr, kAutomationMarshaller);
        if (s == ERROR_SUCCESS) s = SetValue(key + u"\\ProxyStubClsid32", nullptr, kAutomationMarshaller);
        if (s == ERROR_SUCCESS) s = SetValue(key + u"\\TypeLib", nullptr, libid);
        if (s == ERROR_SUCCESS) s = SetValue(key + u"\\TypeLib", u"Version", Version());
        if (s != ERROR_SUCCESS) return FromStatus(s, SELFREG_E_TYPELIB);
    }
    return S_OK;
}

}  // namespace

HRESULT Register() noexcept {
    try {
        const Text file = ModulePath();
        if (file.empty()) return SELFREG_E_CLASS;
        const std::size_t cut = file.find_last_of(u"\\/");
        const Text folder = cut == Text::npos ? Text() : file.substr(0, cut);
        HRESULT hr = Unregister();
        if (SUCCEEDED(hr)) hr = WriteTypeLibrary(file, folder);
        if (SUCCEEDED(hr)) hr = WriteClasses(file);
        if (SUCCEEDED(hr)) hr = WriteInterfaces();
        if (FAILED(hr)) Unregister();
        return hr;
    } catch (const std::bad_alloc &) {
        Unregister();
        return E_OUTOFMEMORY;
    }
}

HRESULT Unregister() noexcept {
    try {
        LSTATUS first = ERROR_SUCCESS;
        auto remove = [&](const Text &path) {
            const LSTATUS s = DeleteTree(path);
            if (first == ERROR_SUCCESS) first = s;
        };
        for (const auto &c : surface::kClasses) {
            remove(u"CLSID\\" + GuidText(c.clsid));
            remove(ProgId(c));
        }
        for (const auto &entry : Interfaces()) remove(u"Interface\\" + GuidText(entry.first));
        remove(LibraryKey() + u"\\" + Version());
        // The library's key goes too once no other version is registered under it.
        const LSTATUS s = RegDeleteKeyW(HKEY_CLASSES_ROOT, W(LibraryKey()));
        if (s != ERROR_SUCCESS && s != ERROR_FILE_NOT_FOUND && s != ERROR_ACCESS_DENIED && first == ERROR_SUCCESS)
            first = s;
        return FromStatus(first, SELFREG_E_CLASS);
    } catch (const std::bad_alloc &) {
        return E_OUTOFMEMORY;
    }
}

}  // namespace velqosch::module
