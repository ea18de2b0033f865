// The type library as the platform's own oleaut32 reads it, from the DLL's
// TYPELIB resource and from the built .tlb, against the surface table; and
// the DLL's other resources. Each type and member is one line of
// text, written once from the library and once from the table.
//
//   typelib_check [gtest flags] DLL_PATH TLB_PATH
#include <algorithm>
#include <set>
#include <vector>

#include "tests/wine/client.h"

using namespace TaskScheduler;
using namespace TaskScheduler::surface;
using namespace client;

namespace {

using Lines = std::vector<std::wstring>;

std::wstring Guid(const GUID &g) {
    wchar_t text[40] = {};
    StringFromGUID2(g, text, 40);
    return text;
}

std::wstring N(long long v) { return std::to_wstring(v); }

std::wstring Name(ITypeInfo *ti, MEMBERID id = MEMBERID_NIL, std::wstring *doc = nullptr) {
    BSTR name = nullptr, text = nullptr;
    ti->GetDocumentation(id, &name, &text, nullptr, nullptr);
    if (doc)
        *doc = Take(text);
    else
        SysFreeString(text);
    return Take(name);
}

// A type as oleaut32 describes it, written the way the table names types.
std::wstring Describe(ITypeInfo *ti, const TYPEDESC &td) {
    switch (td.vt) {
        case VT_I2: return L"Integer";
        case VT_I4: return L"Long";
        case VT_BSTR: return L"String";
        case VT_DATE: return L"Date";
        case VT_BOOL: return L"Boolean";
        case VT_VARIANT: return L"Variant";
        case VT_UNKNOWN: return L"Unknown";
        case VT_HRESULT: return L"HRESULT";
        case VT_SAFEARRAY:
            return td.lptdesc->vt == VT_UI1 ? L"ByteArray" : td.lptdesc->vt == VT_DATE ? L"DateArray" : L"?";
        case VT_PTR: return L"*" + Describe(ti, *td.lptdesc);
        case VT_USERDEFINED: {
            Ref<ITypeInfo> ref;
            return FAILED(ti->GetRefTypeInfo(td.hreftype, &ref)) ? L"?userdefined" : Name(ref.p);
        }
        default: return L"vt" + N(td.vt);
    }
}

// The table's type as Describe writes it: an interface pointer for an object, an enumeration's name.
std::wstring Expected(Type t) {
    const wchar_t *plain[] = {L"Integer", L"Long",      L"String",    L"Date",   L"Boolean",
                              L"Variant", L"ByteArray", L"DateArray", L"Unknown"};
    const Type kinds[] = {Type::Integer, Type::Long,      Type::String,    Type::Date,   Type::Boolean,
                          Type::Variant, Type::ByteArray, Type::DateArray, Type::Unknown};
    for (std::size_t k = 0; k < std::size(kinds); ++k)
        if (t == kinds[k]) return plain[k];
#define VQ_COCLASS(name, clsid, iface, creatable, helpstring, major, minor) \
    if (t == Type::name) return L"*" + Wide(#iface);
#include "component/surface.inc"
    for (const auto &e : kEnums)
        if (e.type == t) return Wide(e.name);
    return L"?";
}

INVOKEKIND InvokeKindOf(Kind k) {
    return k == Kind::Get      ? INVOKE_PROPERTYGET
           : k == Kind::Put    ? INVOKE_PROPERTYPUT
           : k == Kind::PutRef ? INVOKE_PROPERTYPUTREF
                               : INVOKE_FUNC;
}

// ---- The lines from the table ----------------------------------------------------------------------------------

const WORD kInOut = PARAMFLAG_FIN | PARAMFLAG_FOUT, kRetval = PARAMFLAG_FOUT | PARAMFLAG_FRETVAL;

std::wstring LibraryLine(const std::wstring &name, const GUID &id, int major, int minor, LCID lcid, int syskind,
                         const std::wstring &doc, const std::wstring &file) {
    return L"library " + name + L" " + Guid(id) + L" " + N(major) + L"." + N(minor) + L" lcid " + N(lcid) + L" sys " +
           N(syskind) + L" '" + doc + L"' " + file;
}

Lines FromTable() {
    Lines out;
    const LibraryInfo &l = kLibrary;
    out.push_back(
        LibraryLine(Wide(l.name), l.libid, l.major, l.minor, l.lcid, SYS_WIN32, Wide(l.helpstring), Wide(l.helpfile)));
    for (const auto &i : kInterfaces)
        out.push_back(L"interface " + Wide(i.name) + L" " + Guid(i.iid) + L" " + N(i.major) + L"." + N(i.minor) +
                      L" hidden dual nonextensible, vtable oleautomation on IDispatch, " + N(MemberCount(i.id)) +
                      L" functions");
    std::set<std::pair<Interface, DISPID>> named;
    for (const auto &m : kMembers) {
        std::wstring line = Wide(InterfaceOf(m.iface).name) + L"." + m.wname + L" id " + N(m.dispid) + L" kind " +
                            N(InvokeKindOf(m.kind)) + L" at " + N(m.slot * sizeof(void *)) + L" pure stdcall HRESULT" +
                            (m.hidden ? L" hidden" : L"") + L" help " + N(m.help) + L" (";
        for (int p = 0; p < m.nparams; ++p) {
            const Param &want = m.params[p];
            line += (want.dir == Dir::Ref ? L"*" : L"") + Expected(want.type) + L" flags " +
                    N(want.dir == Dir::Ref ? kInOut : PARAMFLAG_FIN) + L", ";
        }
        if (m.result != Type::None) line += L"*" + Expected(m.result) + L" flags " + N(kRetval);
        line += L") names " + std::wstring(m.wname);
        // GetNames answers for the first function with the identifier: parameter names come from that one.
        if (named.insert({m.iface, m.dispid}).second)
            for (int p = 0; p < m.nparams; ++p)
                if (m.params[p].name) line += L" " + Wide(m.params[p].name);
        out.push_back(line + L" resolves to " + N(m.dispid));
    }
    for (const auto &a : kAliases)
        out.push_back(L"alias " + Wide(a.name) + L" " + Guid(a.iid) + L" hidden of " + Wide(InterfaceOf(a.of).name));
    for (const auto &c : kClasses)
        out.push_back(L"coclass " + Wide(c.name) + L" " + Guid(c.clsid) + L" " + N(c.major) + L"." + N(c.minor) +
                      (c.creatable ? L" creatable" : L"") + L" default " + Guid(InterfaceOf(c.iface).iid) + L" '" +
                      Wide(c.helpstring) + L"'");
    for (const auto &e : kEnums) {
        std::wstring line = L"enum " + Wide(e.name) + L" '" + Wide(EnumHelpString(e)) + L"':";
        for (const auto &v : kEnumValues)
            if (v.type == e.type) line += L" " + Wide(v.name) + L"=" + N(v.value);
        out.push_back(line);
    }
    std::sort(out.begin(), out.end());
    return out;
}

// ---- The same lines from the library -----------------------------------------------------------------------------

// The table-of-functions half of a dual interface.
ITypeInfo *VtableInfo(ITypeInfo *ti) {
    HREFTYPE href = 0;
    ITypeInfo *vt = nullptr;
    if (SUCCEEDED(ti->GetRefTypeOfImplType(-1, &href))) ti->GetRefTypeInfo(href, &vt);
    return vt;
}

// The type an implemented interface at `index` refers to: its name and its identifier.
std::pair<std::wstring, GUID> ImplType(ITypeInfo *ti, UINT index) {
    HREFTYPE href = 0;
    Ref<ITypeInfo> ref;
    if (FAILED(ti->GetRefTypeOfImplType(index, &href)) || FAILED(ti->GetRefTypeInfo(href, &ref))) return {L"?", {}};
    TYPEATTR *ta = nullptr;
    ref->GetTypeAttr(&ta);
    const GUID id = ta->guid;
    ref->ReleaseTypeAttr(ta);
    return {Name(ref.p), id};
}

void AddMembers(ITypeInfo *dispatch, ITypeInfo *ti, const std::wstring &iface, UINT count, Lines &out) {
    std::set<MEMBERID> named;
    for (UINT k = 0; k < count; ++k) {
        FUNCDESC *fd = nullptr;
        if (ti->GetFuncDesc(k, &fd) != S_OK) {
            out.push_back(iface + L" function " + N(k) + L" unreadable");
            continue;
        }
        BSTR names[4] = {};
        UINT got = 0;
        ti->GetNames(fd->memid, names, 4, &got);
        Lines n;
        for (UINT x = 0; x < got; ++x) n.push_back(Take(names[x]));
        if (n.empty()) n.push_back(L"?");
        std::wstring line = iface + L"." + n[0] + L" id " + N(fd->memid) + L" kind " + N(fd->invkind) + L" at " +
                            N(fd->oVft) + (fd->funckind == FUNC_PUREVIRTUAL ? L" pure" : L" notpure") +
                            (fd->callconv == CC_STDCALL ? L" stdcall " : L" callconv ") +
                            Describe(ti, fd->elemdescFunc.tdesc) +
                            (fd->wFuncFlags & FUNCFLAG_FHIDDEN ? L" hidden" : L"");
        DWORD help = 0;
        ti->GetDocumentation(fd->memid, nullptr, nullptr, &help, nullptr);
        line += L" help " + N(help) + L" (";
        for (SHORT p = 0; p < fd->cParams; ++p) {
            const ELEMDESC &e = fd->lprgelemdescParam[p];
            const WORD flags = e.paramdesc.wParamFlags & (PARAMFLAG_FIN | PARAMFLAG_FOUT | PARAMFLAG_FRETVAL);
            line += Describe(ti, e.tdesc) + L" flags " + N(flags) + (flags & PARAMFLAG_FRETVAL ? L"" : L", ");
        }
        line += L") names";
        const std::size_t shown = named.insert(fd->memid).second ? n.size() : 1;
        for (std::size_t x = 0; x < shown; ++x) line += L" " + n[x];
        LPOLESTR name = n[0].data();
        MEMBERID id = 0;
        line += FAILED(dispatch->GetIDsOfNames(&name, 1, &id)) ? L" resolves to nothing" : L" resolves to " + N(id);
        out.push_back(line);
        ti->ReleaseFuncDesc(fd);
    }
}

Lines FromLibrary(ITypeLib *lib) {
    Lines out;
    TLIBATTR *la = nullptr;
    if (lib->GetLibAttr(&la) != S_OK) return {L"no library attributes"};
    BSTR name = nullptr, doc = nullptr, file = nullptr;
    lib->GetDocumentation(-1, &name, &doc, nullptr, &file);
    out.push_back(LibraryLine(Take(name), la->guid, la->wMajorVerNum, la->wMinorVerNum, la->lcid, la->syskind,
                              Take(doc), BaseName(Take(file))));
    lib->ReleaseTLibAttr(la);
    for (UINT k = 0; k < lib->GetTypeInfoCount(); ++k) {
        Ref<ITypeInfo> ti;
        TYPEATTR *ta = nullptr;
        if (lib->GetTypeInfo(k, &ti) != S_OK || ti->GetTypeAttr(&ta) != S_OK) {
            out.push_back(L"type " + N(k) + L" unreadable");
            continue;
        }
        std::wstring doc;
        const std::wstring name = Name(ti.p, MEMBERID_NIL, &doc),
                           version = N(ta->wMajorVerNum) + L"." + N(ta->wMinorVerNum);
        const WORD flags = ta->wTypeFlags;
        switch (ta->typekind) {
            case TKIND_DISPATCH: {
                const WORD dual = TYPEFLAG_FHIDDEN | TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FDISPATCHABLE;
                std::wstring line = L"interface " + name + L" " + Guid(ta->guid) + L" " + version +
                                    ((flags & dual) == dual ? L" hidden dual nonextensible" : L" flags " + N(flags));
                Ref<ITypeInfo> vt;
                vt.p = VtableInfo(ti.p);
                TYPEATTR *va = nullptr;
                if (!vt || vt->GetTypeAttr(&va) != S_OK) {
                    out.push_back(line + L", no vtable half");
                    break;
                }
                const WORD oa = TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDUAL;
                line += (va->wTypeFlags & oa) == oa ? L", vtable oleautomation on " : L", vtable flags on ";
                line +=
                    va->cImplTypes == 1 && IsEqualGUID(ImplType(vt.p, 0).second, IID_IDispatch) ? L"IDispatch" : L"?";
                out.push_back(line + L", " + N(va->cFuncs) + L" functions");
                AddMembers(ti.p, vt.p, name, va->cFuncs, out);
                vt->ReleaseTypeAttr(va);
                break;
            }
            case TKIND_ALIAS:
                out.push_back(L"alias " + name + L" " + Guid(ta->guid) + (flags & TYPEFLAG_FHIDDEN ? L" hidden" : L"") +
                              L" of " + Describe(ti.p, ta->tdescAlias));
                break;
            case TKIND_COCLASS: {
                INT impl = 0;
                ti->GetImplTypeFlags(0, &impl);
                out.push_back(
                    L"coclass " + name + L" " + Guid(ta->guid) + L" " + version +
                    (flags & TYPEFLAG_FCANCREATE ? L" creatable" : L"") + L" default " +
                    (ta->cImplTypes == 1 && impl == IMPLTYPEFLAG_FDEFAULT ? Guid(ImplType(ti.p, 0).second) : L"?") +
                    L" '" + doc + L"'");
                break;
            }
            case TKIND_ENUM: {
                std::wstring line = L"enum " + name + L" '" + doc + L"':";
                for (UINT v = 0; v < ta->cVars; ++v) {
                    VARDESC *vd = nullptr;
                    if (ti->GetVarDesc(v, &vd) != S_OK) continue;
                    std::wstring help;
                    const std::wstring constant = Name(ti.p, vd->memid, &help);
                    VARIANT value;
                    VariantInit(&value);
                    line += L" " + constant + L"=" +
                            (vd->varkind == VAR_CONST && VariantChangeType(&value, vd->lpvarValue, 0, VT_I4) == S_OK
                                 ? N(V_I4(&value))
                                 : L"?");
                    if (help != constant) line += L" (help '" + help + L"')";  // each constant's help is its name
                    ti->ReleaseVarDesc(vd);
                }
                out.push_back(line);
                break;
            }
            default: out.push_back(L"type kind " + N(ta->typekind) + L" " + name);
        }
        ti->ReleaseTypeAttr(ta);
    }
    std::sort(out.begin(), out.end());
    return out;
}

class TypeLibrary : public ::testing::TestWithParam<int> {};

TEST_P(TypeLibrary, EveryTypeAndMemberAsTheTableHasThem) {
    const std::wstring &path = GetParam() == 0 ? g_dll : g_tlb;
    Ref<ITypeLib> lib;
    ASSERT_EQ(LoadTypeLibEx(path.c_str(), REGKIND_NONE, &lib), S_OK) << "LoadTypeLibEx failed";
    const Lines got = FromLibrary(lib.p), want = FromTable();
    Lines missing, extra;
    std::set_difference(want.begin(), want.end(), got.begin(), got.end(), std::back_inserter(missing));
    std::set_difference(got.begin(), got.end(), want.begin(), want.end(), std::back_inserter(extra));
    for (const auto &line : missing) ADD_FAILURE() << "expected: " << std::string(line.begin(), line.end());
    for (const auto &line : extra) ADD_FAILURE() << "found:    " << std::string(line.begin(), line.end());
}

INSTANTIATE_TEST_SUITE_P(DllAndTlb, TypeLibrary, ::testing::Values(0, 1),
                         [](const ::testing::TestParamInfo<int> &p) { return p.param == 0 ? "Dll" : "Tlb"; });

// ---- The DLL's other resources -------------------------------------------------------------------------------

std::vector<unsigned char> Resource(HMODULE module, const char *name, LPCSTR type) {
    HRSRC r = FindResourceA(module, name, type);
    if (!r) return {};
    auto *p = static_cast<const unsigned char *>(LockResource(LoadResource(module, r)));
    return std::vector<unsigned char>(p, p + SizeofResource(module, r));
}

TEST(Dll, ResourcesOfTheIdentifiersAndTheTypeLibrary) {
    HMODULE module = LoadLibraryExW(g_dll.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr) << "cannot load the DLL as data";
    // Each class lists its interface identifiers, an earlier one first: a count of bytes, then the identifiers.
    for (const auto &c : kClasses) {
        std::string name = "_IID_";
        for (const char *s = c.name; *s; ++s) name += static_cast<char>(*s >= 'a' && *s <= 'z' ? *s - 32 : *s);
        std::vector<unsigned char> want(4);
        for (const auto &a : kAliases)
            if (a.of == c.iface)
                want.insert(want.end(), (const unsigned char *)&a.iid, (const unsigned char *)(&a.iid + 1));
        const IID &iid = InterfaceOf(c.iface).iid;
        want.insert(want.end(), (const unsigned char *)&iid, (const unsigned char *)(&iid + 1));
        want[0] = static_cast<unsigned char>(want.size() - 4);
        EXPECT_EQ(Resource(module, name.c_str(), MAKEINTRESOURCEA(10) /* RT_RCDATA */), want) << name;
    }
    // The TYPELIB resource is the built .tlb; its header carries the library's help context (the 32-bit
    // field after the help string and the help-string context), which Wine's oleaut32 does not report.
    std::vector<unsigned char> res = Resource(module, MAKEINTRESOURCEA(1), "TYPELIB");
    FreeLibrary(module);
    ASSERT_GE(res.size(), 48u);
    EXPECT_EQ(std::memcmp(res.data(), "MSFT", 4), 0);
    DWORD context = 0;
    std::memcpy(&context, res.data() + 44, 4);
    EXPECT_EQ(context, kLibrary.helpcontext);
    HANDLE f = CreateFileW(g_tlb.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    std::vector<unsigned char> file(GetFileSize(f, nullptr));
    DWORD got = 0;
    ReadFile(f, file.data(), static_cast<DWORD>(file.size()), &got, nullptr);
    CloseHandle(f);
    EXPECT_EQ(res, file);
}

TEST(Dll, VersionBlock) {
    DWORD ignored = 0, size = GetFileVersionInfoSizeW(g_dll.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<unsigned char> block(size);
    ASSERT_TRUE(GetFileVersionInfoW(g_dll.c_str(), 0, size, block.data()));
    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT len = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void **>(&fixed), &len));
    EXPECT_EQ(std::vector<DWORD>({fixed->dwFileVersionMS, fixed->dwFileVersionLS, fixed->dwProductVersionMS,
                                  fixed->dwProductVersionLS, fixed->dwFileType}),
              std::vector<DWORD>({0x00010003u, 0x0000000Cu, 0x00010003u, 0x0000000Cu, DWORD(VFT_DLL)}));
    std::wstring got, want = L"1.03.0012|1.03.0012|ActiveX DLL component|velqosch|velqosch.dll|" +
                             Wide(kLibrary.helpstring) + L"|" + Wide(kLibrary.helpstring) + L"|present|";
    for (const wchar_t *name : {L"FileVersion", L"ProductVersion", L"FileDescription", L"InternalName",
                                L"OriginalFilename", L"ProductName", L"Comments", L"OLESelfRegister"}) {
        void *value = nullptr;
        len = 0;
        const std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
        if (!VerQueryValueW(block.data(), path.c_str(), &value, &len))
            got += L"missing|";
        else if (std::wstring(name) == L"OLESelfRegister")
            got += L"present|";
        else
            got += std::wstring(static_cast<const wchar_t *>(value), len).c_str() + std::wstring(L"|");
    }
    EXPECT_EQ(got, want);
}

}  // namespace

int main(int argc, char **argv) { return client::Main(argc, argv, 2, "typelib_check [gtest flags] DLL_PATH TLB_PATH"); }
