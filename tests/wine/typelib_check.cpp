// The built type library as the platform's oleaut32 reads it, against the surface table, one line per type and member;
// and the DLL's resources.
//
//   typelib_check [gtest flags] DLL_PATH TLB_PATH
#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <set>
#include <vector>

#include "tests/wine/client.h"

using namespace TaskScheduler;
using namespace TaskScheduler::surface;
using namespace client;

namespace {

using Lines = std::vector<std::wstring>;

std::wstring S(std::wstring s) { return s; }
std::wstring S(long long v) { return std::to_wstring(v); }
std::wstring S(const GUID &g) {
    wchar_t text[40] = {};
    StringFromGUID2(g, text, 40);
    return text;
}
// The words joined by spaces, the empty ones left out.
template <class... W>
std::wstring Line(const W &...words) {
    std::wstring out;
    for (const std::wstring &w : {S(words)...})
        if (!w.empty()) out += (out.empty() ? L"" : L" ") + w;
    return out;
}

std::wstring Name(ITypeInfo *ti, MEMBERID id = MEMBERID_NIL, std::wstring *doc = nullptr) {
    BSTR name = nullptr, text = nullptr;
    ti->GetDocumentation(id, &name, &text, nullptr, nullptr);
    const std::wstring d = Take(text);
    if (doc) *doc = d;
    return Take(name);
}

// A type as oleaut32 describes it, and a type of the table written the same way: a variant type, an array of one, a
// pointer to an interface for an object, an enumeration by its name.
std::wstring Describe(ITypeInfo *ti, const TYPEDESC &td) {
    Ref<ITypeInfo> ref;
    switch (td.vt) {
        case VT_PTR: return L"*" + Describe(ti, *td.lptdesc);
        case VT_SAFEARRAY: return L"array of vt" + S(td.lptdesc->vt);
        case VT_USERDEFINED: return FAILED(ti->GetRefTypeInfo(td.hreftype, &ref)) ? L"?" : Name(ref.Get());
        default: return L"vt" + S(td.vt);
    }
}

std::wstring Expected(Type t) {
    const std::pair<Type, VARTYPE> plain[] = {
        {Type::Integer, VT_I2},   {Type::Long, VT_I4},         {Type::String, VT_BSTR},    {Type::Date, VT_DATE},
        {Type::Boolean, VT_BOOL}, {Type::Variant, VT_VARIANT}, {Type::Unknown, VT_UNKNOWN}};
    for (auto [type, vt] : plain)
        if (t == type) return L"vt" + S(vt);
    if (t == Type::ByteArray || t == Type::DateArray)
        return L"array of vt" + S(t == Type::ByteArray ? VT_UI1 : VT_DATE);
#define VQ_COCLASS(name, clsid, iface, creatable, helpstring, major, minor) \
    if (t == Type::name) return L"*" + Wide(#iface);
#include "component/surface.inc"
    for (const auto &e : kEnums)
        if (e.type == t) return Wide(e.name);
    return L"?";
}

std::wstring Version(int major, int minor) { return S(major) + L"." + S(minor); }
std::wstring Quoted(const std::wstring &s) { return L"'" + s + L"'"; }

// ---- The lines from the table ----------------------------------------------------------------------------------

Lines FromTable() {
    const LibraryInfo &l = kLibrary;
    Lines out = {Line(L"library", Wide(l.name), l.libid, Version(l.major, l.minor), L"lcid", l.lcid, L"sys", SYS_WIN32,
                      Quoted(Wide(l.helpstring)), Wide(l.helpfile))};
    for (const auto &i : kInterfaces)
        out.push_back(Line(L"interface", Wide(i.name), i.iid, Version(i.major, i.minor),
                           L"hidden dual nonextensible, vtable oleautomation on IDispatch,", MemberCount(i.id),
                           L"functions"));
    std::set<std::pair<Interface, DISPID>> named;
    for (const auto &m : kMembers) {
        const INVOKEKIND kinds[] = {INVOKE_PROPERTYGET, INVOKE_PROPERTYPUT, INVOKE_PROPERTYPUTREF, INVOKE_FUNC};
        std::wstring params = L"(", names = m.wname;
        for (int p = 0; p < m.nparams; ++p) {
            const bool ref = m.params[p].dir == Dir::Ref;
            params += Line((ref ? L"*" : L"") + Expected(m.params[p].type), L"flags",
                           ref ? PARAMFLAG_FIN | PARAMFLAG_FOUT : PARAMFLAG_FIN) +
                      L", ";
        }
        if (m.result != Type::None)
            params += Line(L"*" + Expected(m.result), L"flags", PARAMFLAG_FOUT | PARAMFLAG_FRETVAL);
        // GetNames answers for the first function with the identifier: parameter names come from that one.
        if (named.insert({m.iface, m.dispid}).second)
            for (int p = 0; p < m.nparams; ++p)
                if (m.params[p].name) names += L" " + Wide(m.params[p].name);
        out.push_back(Line(Wide(InterfaceOf(m.iface).name) + L"." + m.wname, L"id", m.dispid, L"kind",
                           kinds[static_cast<int>(m.kind)], L"at", m.slot * sizeof(void *), L"pure stdcall vt25",
                           m.hidden ? L"hidden" : L"", L"help", m.help, params + L")", L"names", names, L"resolves to",
                           m.dispid));
    }
    for (const auto &a : kAliases)
        out.push_back(Line(L"alias", Wide(a.name), a.iid, L"hidden of", Wide(InterfaceOf(a.of).name)));
    for (const auto &c : kClasses)
        out.push_back(Line(L"coclass", Wide(c.name), c.clsid, Version(c.major, c.minor),
                           c.creatable ? L"creatable" : L"", L"default", InterfaceOf(c.iface).iid,
                           Quoted(Wide(c.helpstring))));
    for (const auto &e : kEnums) {
        std::wstring line = Line(L"enum", Wide(e.name), Quoted(Wide(EnumHelpString(e))) + L":");
        for (const auto &v : kEnumValues)
            if (v.type == e.type) line += L" " + Wide(v.name) + L"=" + S(v.value);
        out.push_back(line);
    }
    std::sort(out.begin(), out.end());
    return out;
}

// ---- The same lines from the library -----------------------------------------------------------------------------

// The type that the implemented interface at `index` refers to (-1: the vtable half of a dual interface), its GUID.
Ref<ITypeInfo> ImplType(ITypeInfo *ti, UINT index, GUID *id = nullptr) {
    HREFTYPE href = 0;
    Ref<ITypeInfo> ref;
    TYPEATTR *ta = nullptr;
    if (SUCCEEDED(ti->GetRefTypeOfImplType(index, &href)) && SUCCEEDED(ti->GetRefTypeInfo(href, &ref)) && id &&
        ref->GetTypeAttr(&ta) == S_OK)
        *id = ta->guid, ref->ReleaseTypeAttr(ta);
    return ref;
}
GUID ImplGuid(ITypeInfo *ti, UINT index) {
    GUID id{};
    return ImplType(ti, index, &id), id;
}

void AddMembers(ITypeInfo *dispatch, ITypeInfo *ti, const std::wstring &iface, UINT count, Lines &out) {
    std::set<MEMBERID> named;
    for (UINT k = 0; k < count; ++k) {
        FUNCDESC *fd = nullptr;
        if (ti->GetFuncDesc(k, &fd) != S_OK) {
            out.push_back(Line(iface, L"function", k, L"unreadable"));
            continue;
        }
        BSTR names[4] = {};
        UINT got = 0;
        ti->GetNames(fd->memid, names, 4, &got);
        std::wstring first = got ? Take(names[0]) : L"?", all = first;
        for (UINT x = 1; x < got; ++x) all += L" " + Take(names[x]);
        DWORD help = 0;
        ti->GetDocumentation(fd->memid, nullptr, nullptr, &help, nullptr);
        std::wstring params = L"(";
        for (SHORT p = 0; p < fd->cParams; ++p) {
            const ELEMDESC &e = fd->lprgelemdescParam[p];
            const WORD flags = e.paramdesc.wParamFlags & (PARAMFLAG_FIN | PARAMFLAG_FOUT | PARAMFLAG_FRETVAL);
            params += Line(Describe(ti, e.tdesc), L"flags", flags) + (flags & PARAMFLAG_FRETVAL ? L"" : L", ");
        }
        LPOLESTR name = first.data();
        MEMBERID id = 0;
        const bool resolves = SUCCEEDED(dispatch->GetIDsOfNames(&name, 1, &id));
        out.push_back(Line(iface + L"." + first, L"id", fd->memid, L"kind", fd->invkind, L"at", fd->oVft,
                           fd->funckind == FUNC_PUREVIRTUAL && fd->callconv == CC_STDCALL ? L"pure stdcall" : L"other",
                           Describe(ti, fd->elemdescFunc.tdesc), fd->wFuncFlags & FUNCFLAG_FHIDDEN ? L"hidden" : L"",
                           L"help", help, params + L")", L"names", named.insert(fd->memid).second ? all : first,
                           L"resolves to", resolves ? S(id) : L"nothing"));
        ti->ReleaseFuncDesc(fd);
    }
}

Lines FromLibrary(ITypeLib *lib) {
    TLIBATTR *la = nullptr;
    if (lib->GetLibAttr(&la) != S_OK) return {L"no library attributes"};
    BSTR name = nullptr, doc = nullptr, file = nullptr;
    lib->GetDocumentation(-1, &name, &doc, nullptr, &file);
    Lines out = {Line(L"library", Take(name), la->guid, Version(la->wMajorVerNum, la->wMinorVerNum), L"lcid", la->lcid,
                      L"sys", la->syskind, Quoted(Take(doc)), BaseName(Take(file)))};
    lib->ReleaseTLibAttr(la);
    for (UINT k = 0; k < lib->GetTypeInfoCount(); ++k) {
        Ref<ITypeInfo> ti;
        TYPEATTR *ta = nullptr;
        if (lib->GetTypeInfo(k, &ti) != S_OK || ti->GetTypeAttr(&ta) != S_OK) {
            out.push_back(Line(L"type", k, L"unreadable"));
            continue;
        }
        std::wstring doc;
        const std::wstring name = Name(ti.Get(), MEMBERID_NIL, &doc),
                           version = Version(ta->wMajorVerNum, ta->wMinorVerNum);
        const WORD flags = ta->wTypeFlags;
        const WORD dual = TYPEFLAG_FHIDDEN | TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FDISPATCHABLE,
                   automation = TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDUAL;
        Ref<ITypeInfo> vt;
        TYPEATTR *va = nullptr;
        INT impl = 0;
        switch (ta->typekind) {
            case TKIND_DISPATCH:
                if (!(vt = ImplType(ti.Get(), -1)) || vt->GetTypeAttr(&va) != S_OK) {
                    out.push_back(Line(L"interface", name, L"without a vtable half"));
                    break;
                }
                out.push_back(Line(
                    L"interface", name, ta->guid, version,
                    (flags & dual) == dual ? L"hidden dual nonextensible," : L"flags " + S(flags),
                    (va->wTypeFlags & automation) == automation ? L"vtable oleautomation on" : L"vtable on",
                    va->cImplTypes == 1 && IsEqualGUID(ImplGuid(vt.Get(), 0), IID_IDispatch) ? L"IDispatch," : L"?,",
                    va->cFuncs, L"functions"));
                AddMembers(ti.Get(), vt.Get(), name, va->cFuncs, out);
                vt->ReleaseTypeAttr(va);
                break;
            case TKIND_ALIAS:
                out.push_back(Line(L"alias", name, ta->guid, flags & TYPEFLAG_FHIDDEN ? L"hidden" : L"", L"of",
                                   Describe(ti.Get(), ta->tdescAlias)));
                break;
            case TKIND_COCLASS:
                ti->GetImplTypeFlags(0, &impl);
                out.push_back(Line(
                    L"coclass", name, ta->guid, version, flags & TYPEFLAG_FCANCREATE ? L"creatable" : L"", L"default",
                    ta->cImplTypes == 1 && impl == IMPLTYPEFLAG_FDEFAULT ? S(ImplGuid(ti.Get(), 0)) : L"?",
                    Quoted(doc)));
                break;
            case TKIND_ENUM:
                doc = Line(L"enum", name, Quoted(doc) + L":");
                for (UINT v = 0; v < ta->cVars; ++v) {
                    VARDESC *vd = nullptr;
                    if (ti->GetVarDesc(v, &vd) != S_OK) continue;
                    std::wstring help;
                    const std::wstring constant = Name(ti.Get(), vd->memid, &help);
                    VARIANT value{};
                    const bool read =
                        vd->varkind == VAR_CONST && VariantChangeType(&value, vd->lpvarValue, 0, VT_I4) == S_OK;
                    doc += L" " + constant + L"=" + (read ? S(V_I4(&value)) : L"?");
                    if (help != constant) doc += L" (help '" + help + L"')";  // each constant's help is its name
                    ti->ReleaseVarDesc(vd);
                }
                out.push_back(doc);
                break;
            default: out.push_back(Line(L"type kind", ta->typekind, name));
        }
        ti->ReleaseTypeAttr(ta);
    }
    std::sort(out.begin(), out.end());
    return out;
}

// The DLL's TYPELIB resource is the .tlb byte for byte (below).
TEST(TypeLibrary, EveryTypeAndMemberAsTheTableHasThem) {
    Ref<ITypeLib> lib;
    ASSERT_EQ(LoadTypeLibEx(g_tlb.c_str(), REGKIND_NONE, &lib), S_OK);
    EXPECT_EQ(FromLibrary(lib.Get()), FromTable());  // both sorted
}

// ---- The DLL's other resources: one line each, compared as one text ---------------------------------------------

std::wstring Hex(const void *p, std::size_t n) {
    std::wstring out;
    for (const BYTE *b = static_cast<const BYTE *>(p); n--; ++b)
        out += {L"0123456789ABCDEF"[*b >> 4], L"0123456789ABCDEF"[*b & 15]};
    return out;
}

std::wstring Resource(HMODULE module, const char *name, LPCSTR type) {
    HRSRC r = FindResourceA(module, name, type);
    return r ? Hex(LockResource(LoadResource(module, r)), SizeofResource(module, r)) : L"missing";
}

// Each class lists its interface identifiers, an earlier one first: a count of bytes, then the identifiers. The TYPELIB
// resource is the built .tlb; its header carries the library's help context (the 32-bit field after the help string and
// the help-string context), which Wine's oleaut32 does not report. Then the version block.
TEST(Dll, ResourcesAndVersionBlock) {
    HMODULE module = LoadLibraryExW(g_dll.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr) << "cannot load the DLL as data";
    std::wstring got, want;
    for (const auto &c : kClasses) {
        std::string name = "_IID_";
        for (const char *s = c.name; *s; ++s) name += static_cast<char>(std::toupper(static_cast<unsigned char>(*s)));
        std::wstring ids;
        for (const auto &a : kAliases)
            if (a.of == c.iface) ids += Hex(&a.iid, sizeof(IID));
        ids += Hex(&InterfaceOf(c.iface).iid, sizeof(IID));
        const DWORD size = static_cast<DWORD>(ids.size() / 2);
        got += Wide(name.c_str()) + L" " + Resource(module, name.c_str(), MAKEINTRESOURCEA(10)) + L"\n";
        want += Wide(name.c_str()) + L" " + Hex(&size, 4) + ids + L"\n";
    }
    const std::wstring res = Resource(module, MAKEINTRESOURCEA(1), "TYPELIB");
    FreeLibrary(module);
    std::ifstream tlb(std::string(g_tlb.begin(), g_tlb.end()), std::ios::binary);
    const std::string file{std::istreambuf_iterator<char>(tlb), {}};
    got += res.substr(0, 8) + L" " + res.substr(std::min<std::size_t>(88, res.size()), 8) + L" " +
           (res == Hex(file.data(), file.size()) ? L"the .tlb" : L"?");
    want += Hex("MSFT", 4) + L" " + Hex(&kLibrary.helpcontext, 4) + L" the .tlb";

    DWORD ignored = 0, size = GetFileVersionInfoSizeW(g_dll.c_str(), &ignored);
    std::vector<unsigned char> block(size);
    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT len = 0;
    ASSERT_TRUE(size && GetFileVersionInfoW(g_dll.c_str(), 0, size, block.data()) &&
                VerQueryValueW(block.data(), L"\\", reinterpret_cast<void **>(&fixed), &len));
    got += L"\n" + Line(fixed->dwFileVersionMS, fixed->dwFileVersionLS, fixed->dwProductVersionMS,
                        fixed->dwProductVersionLS, fixed->dwFileType);
    for (const wchar_t *name : {L"FileVersion", L"ProductVersion", L"FileDescription", L"InternalName",
                                L"OriginalFilename", L"ProductName", L"Comments", L"OLESelfRegister"}) {
        void *value = nullptr;
        const std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
        const bool present = VerQueryValueW(block.data(), path.c_str(), &value, &(len = 0));
        const bool flag = std::wstring(name) == L"OLESelfRegister";
        got += L"|" + std::wstring(!present ? L"missing" : flag ? L"present" : static_cast<const wchar_t *>(value));
    }
    want += L"\n65539 12 65539 12 2|1.03.0012|1.03.0012|ActiveX DLL component|velqosch|velqosch.dll|" +
            Wide(kLibrary.helpstring) + L"|" + Wide(kLibrary.helpstring) + L"|present";
    EXPECT_EQ(got, want);
}

}  // namespace

int main(int argc, char **argv) { return client::Main(argc, argv, 2, "typelib_check [gtest flags] DLL_PATH TLB_PATH"); }
