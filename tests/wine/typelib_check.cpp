// The type library as the platform's own oleaut32 reads it, from the DLL's
// TYPELIB resource and from the built .tlb, against the surface table; and
// the DLL's other resources and exports.
//
//   typelib_check [gtest flags] DLL_PATH TLB_PATH
#include <vector>

#include "tests/wine/client.h"

using namespace TaskScheduler;
using namespace TaskScheduler::surface;
using namespace client;

namespace {

// Whether the program runs under Wine, whose ntdll exports its version.
bool OnWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

// A type as oleaut32 describes it, written the way the table names types, so that a mismatch reads plainly.
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
            if (td.lptdesc->vt == VT_UI1) return L"ByteArray";
            if (td.lptdesc->vt == VT_DATE) return L"DateArray";
            return L"SAFEARRAY(?)";
        case VT_PTR: return L"*" + Describe(ti, *td.lptdesc);
        case VT_USERDEFINED: {
            Ref<ITypeInfo> ref;
            if (FAILED(ti->GetRefTypeInfo(td.hreftype, &ref))) return L"?userdefined";
            BSTR name = nullptr;
            ref->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr);
            return Take(name);
        }
        default: return L"vt" + std::to_wstring(td.vt);
    }
}

// The table's type as Describe writes it: an interface name for an object, an enumeration's name.
std::wstring Expected(Type t) {
    switch (t) {
        case Type::Integer: return L"Integer";
        case Type::Long: return L"Long";
        case Type::String: return L"String";
        case Type::Date: return L"Date";
        case Type::Boolean: return L"Boolean";
        case Type::Variant: return L"Variant";
        case Type::ByteArray: return L"ByteArray";
        case Type::DateArray: return L"DateArray";
        case Type::Unknown: return L"Unknown";
        default: break;
    }
#define VQ_COCLASS(name, clsid, iface, creatable, helpstring, major, minor) \
    if (t == Type::name) return L"*" + Wide(#iface);
#include "component/surface.inc"
    for (const auto &e : kEnums)
        if (e.type == t) return Wide(e.name);
    return L"?";
}

INVOKEKIND InvokeKindOf(Kind k) {
    switch (k) {
        case Kind::Get: return INVOKE_PROPERTYGET;
        case Kind::Put: return INVOKE_PROPERTYPUT;
        case Kind::PutRef: return INVOKE_PROPERTYPUTREF;
        case Kind::Method: break;
    }
    return INVOKE_FUNC;
}

class TypeLibrary : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        const std::wstring &path = GetParam() == 0 ? g_dll : g_tlb;
        ASSERT_FALSE(path.empty()) << "usage: typelib_check DLL_PATH TLB_PATH";
        HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, &lib_);
        ASSERT_EQ(hr, S_OK) << "LoadTypeLibEx failed";
    }
    void TearDown() override {
        if (lib_) lib_->Release();
    }

    // The table-of-functions half of a dual interface.
    ITypeInfo *VtableInfo(const IID &iid) {
        ITypeInfo *ti = nullptr;
        if (FAILED(lib_->GetTypeInfoOfGuid(iid, &ti))) return nullptr;
        TYPEATTR *ta = nullptr;
        ti->GetTypeAttr(&ta);
        TYPEKIND kind = ta->typekind;
        ti->ReleaseTypeAttr(ta);
        if (kind == TKIND_INTERFACE) return ti;
        HREFTYPE href = 0;
        ITypeInfo *vt = nullptr;
        if (SUCCEEDED(ti->GetRefTypeOfImplType(-1, &href))) ti->GetRefTypeInfo(href, &vt);
        ti->Release();
        return vt;
    }

    ITypeLib *lib_ = nullptr;
};

TEST_P(TypeLibrary, LibraryIdentity) {
    TLIBATTR *la = nullptr;
    ASSERT_EQ(lib_->GetLibAttr(&la), S_OK);
    EXPECT_TRUE(IsEqualGUID(la->guid, kLibrary.libid));
    EXPECT_EQ(la->wMajorVerNum, kLibrary.major);
    EXPECT_EQ(la->wMinorVerNum, kLibrary.minor);
    EXPECT_EQ(la->lcid, kLibrary.lcid);
    EXPECT_EQ(la->syskind, SYS_WIN32);
    lib_->ReleaseTLibAttr(la);

    BSTR name = nullptr, doc = nullptr, file = nullptr;
    DWORD context = 0;
    ASSERT_EQ(lib_->GetDocumentation(-1, &name, &doc, &context, &file), S_OK);
    EXPECT_EQ(Take(name), Wide(kLibrary.name));
    EXPECT_EQ(Take(doc), Wide(kLibrary.helpstring));
    // Wine's oleaut32 reports the library's help-string context here, which
    // the type library leaves 0; the help context itself is checked in the
    // file's header (TypeLibraryHeaderCarriesTheHelpContext).
    if (!OnWine()) {
        EXPECT_EQ(context, kLibrary.helpcontext);
    }
    std::wstring f = Take(file);
    EXPECT_EQ(f.substr(f.find_last_of(L"\\/") + 1), Wide(kLibrary.helpfile));
}

TEST_P(TypeLibrary, InterfacesAreHiddenNonextensibleDuals) {
    for (const auto &i : kInterfaces) {
        SCOPED_TRACE(i.name);
        ITypeInfo *ti = nullptr;
        ASSERT_EQ(lib_->GetTypeInfoOfGuid(i.iid, &ti), S_OK);
        TYPEATTR *ta = nullptr;
        ti->GetTypeAttr(&ta);
        EXPECT_EQ(ta->typekind, TKIND_DISPATCH);
        const WORD want = TYPEFLAG_FHIDDEN | TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FDISPATCHABLE;
        EXPECT_EQ(ta->wTypeFlags & want, want) << std::hex << ta->wTypeFlags;
        EXPECT_EQ(ta->wMajorVerNum, i.major);
        EXPECT_EQ(ta->wMinorVerNum, i.minor);
        ti->ReleaseTypeAttr(ta);
        // The table-of-functions half carries the automation-compatible mark.
        ITypeInfo *vt = VtableInfo(i.iid);
        ASSERT_NE(vt, nullptr);
        vt->GetTypeAttr(&ta);
        EXPECT_EQ(ta->wTypeFlags & (TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDUAL), TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDUAL)
            << std::hex << ta->wTypeFlags;
        vt->ReleaseTypeAttr(ta);
        vt->Release();
        BSTR name = nullptr;
        ti->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr);
        EXPECT_EQ(Take(name), Wide(i.name));
        ti->Release();
    }
}

TEST_P(TypeLibrary, EveryMemberInSlotOrder) {
    for (const auto &i : kInterfaces) {
        SCOPED_TRACE(i.name);
        ITypeInfo *ti = VtableInfo(i.iid);
        ASSERT_NE(ti, nullptr);
        TYPEATTR *ta = nullptr;
        ti->GetTypeAttr(&ta);
        std::size_t first = FirstMember(i.id), count = MemberCount(i.id);
        EXPECT_EQ(ta->cFuncs, count);
        // The base is IDispatch, from the imported OLE Automation library.
        ASSERT_EQ(ta->cImplTypes, 1);
        HREFTYPE href = 0;
        Ref<ITypeInfo> base;
        ti->GetRefTypeOfImplType(0, &href);
        ASSERT_EQ(ti->GetRefTypeInfo(href, &base), S_OK);
        TYPEATTR *ba = nullptr;
        base->GetTypeAttr(&ba);
        EXPECT_TRUE(IsEqualGUID(ba->guid, IID_IDispatch));
        base->ReleaseTypeAttr(ba);

        for (UINT k = 0; k < ta->cFuncs && k < count; ++k) {
            const Member &m = kMembers[first + k];
            SCOPED_TRACE(m.name);
            FUNCDESC *fd = nullptr;
            ASSERT_EQ(ti->GetFuncDesc(k, &fd), S_OK);
            EXPECT_EQ(fd->memid, m.dispid);
            EXPECT_EQ(fd->invkind, InvokeKindOf(m.kind));
            EXPECT_EQ(fd->oVft, static_cast<SHORT>(m.slot * sizeof(void *)));
            EXPECT_EQ(fd->funckind, FUNC_PUREVIRTUAL);
            EXPECT_EQ(fd->callconv, CC_STDCALL);
            EXPECT_EQ(Describe(ti, fd->elemdescFunc.tdesc), L"HRESULT");
            EXPECT_EQ((fd->wFuncFlags & FUNCFLAG_FHIDDEN) != 0, m.hidden);

            const bool has_result = m.result != Type::None;
            ASSERT_EQ(fd->cParams, m.nparams + (has_result ? 1 : 0));
            for (int p = 0; p < m.nparams; ++p) {
                const Param &want = m.params[p];
                const ELEMDESC &got = fd->lprgelemdescParam[p];
                SCOPED_TRACE(p);
                std::wstring type = Expected(want.type);
                if (want.dir == Dir::Ref) {
                    EXPECT_EQ(Describe(ti, got.tdesc), L"*" + type);
                    EXPECT_EQ(got.paramdesc.wParamFlags & (PARAMFLAG_FIN | PARAMFLAG_FOUT),
                              PARAMFLAG_FIN | PARAMFLAG_FOUT);
                } else {
                    EXPECT_EQ(Describe(ti, got.tdesc), type);
                    EXPECT_EQ(got.paramdesc.wParamFlags & (PARAMFLAG_FIN | PARAMFLAG_FOUT), PARAMFLAG_FIN);
                }
            }
            if (has_result) {
                const ELEMDESC &ret = fd->lprgelemdescParam[m.nparams];
                EXPECT_EQ(Describe(ti, ret.tdesc), L"*" + Expected(m.result));
                EXPECT_EQ(ret.paramdesc.wParamFlags & (PARAMFLAG_FOUT | PARAMFLAG_FRETVAL),
                          PARAMFLAG_FOUT | PARAMFLAG_FRETVAL);
            }

            // Names: the member's, then its named parameters (a put's value and the retval have none).
            // GetNames answers for the first function with the identifier, so the parameter names are
            // checked on that one only.
            BSTR names[4] = {};
            UINT got_names = 0;
            ASSERT_EQ(ti->GetNames(fd->memid, names, 4, &got_names), S_OK);
            std::vector<std::wstring> n;
            for (UINT x = 0; x < got_names; ++x) n.push_back(Take(names[x]));
            ASSERT_GE(n.size(), 1u);
            EXPECT_EQ(n[0], m.wname);
            bool first_of_id = true;
            for (std::size_t e = first; e < first + k; ++e) first_of_id &= kMembers[e].dispid != m.dispid;
            if (first_of_id) {
                std::vector<std::wstring> want;
                for (int p = 0; p < m.nparams; ++p)
                    if (m.params[p].name) want.push_back(Wide(m.params[p].name));
                // The return value has no name, so the names end with the last named parameter.
                std::vector<std::wstring> got(n.begin() + 1, n.end());
                EXPECT_EQ(got, want) << "parameter names";
            }
            ti->ReleaseFuncDesc(fd);

            DWORD help = 0;
            ASSERT_EQ(ti->GetDocumentation(m.dispid, nullptr, nullptr, &help, nullptr), S_OK);
            EXPECT_EQ(help, m.help);
        }
        ti->ReleaseTypeAttr(ta);
        ti->Release();
    }
}

// The member names as a late-bound client resolves them, through the dispatch half.
TEST_P(TypeLibrary, NamesResolveToTheTableIdentifiers) {
    for (const auto &m : kMembers) {
        ITypeInfo *ti = nullptr;
        ASSERT_EQ(lib_->GetTypeInfoOfGuid(InterfaceOf(m.iface).iid, &ti), S_OK);
        LPOLESTR name = const_cast<LPOLESTR>(m.wname);
        MEMBERID id = 0;
        EXPECT_EQ(ti->GetIDsOfNames(&name, 1, &id), S_OK) << m.name;
        EXPECT_EQ(id, m.dispid) << m.name;
        ti->Release();
    }
}

TEST_P(TypeLibrary, AliasOfTheEarlierTriggerIdentifier) {
    ASSERT_EQ(std::size(kAliases), 1u);
    const AliasInfo &a = kAliases[0];
    ITypeInfo *ti = nullptr;
    ASSERT_EQ(lib_->GetTypeInfoOfGuid(a.iid, &ti), S_OK);
    TYPEATTR *ta = nullptr;
    ti->GetTypeAttr(&ta);
    EXPECT_EQ(ta->typekind, TKIND_ALIAS);
    EXPECT_NE(ta->wTypeFlags & TYPEFLAG_FHIDDEN, 0);
    EXPECT_EQ(Describe(ti, ta->tdescAlias), Wide(InterfaceOf(a.of).name));
    ti->ReleaseTypeAttr(ta);
    BSTR name = nullptr;
    ti->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr);
    EXPECT_EQ(Take(name), Wide(a.name));
    ti->Release();
}

TEST_P(TypeLibrary, ClassesWithOneDefaultInterfaceOnlySchedulerCreatable) {
    for (const auto &c : kClasses) {
        SCOPED_TRACE(c.name);
        ITypeInfo *ti = nullptr;
        ASSERT_EQ(lib_->GetTypeInfoOfGuid(c.clsid, &ti), S_OK);
        TYPEATTR *ta = nullptr;
        ti->GetTypeAttr(&ta);
        EXPECT_EQ(ta->typekind, TKIND_COCLASS);
        EXPECT_EQ((ta->wTypeFlags & TYPEFLAG_FCANCREATE) != 0, c.creatable);
        EXPECT_EQ(ta->wMajorVerNum, c.major);
        EXPECT_EQ(ta->wMinorVerNum, c.minor);
        ASSERT_EQ(ta->cImplTypes, 1);
        ti->ReleaseTypeAttr(ta);
        INT flags = 0;
        ti->GetImplTypeFlags(0, &flags);
        EXPECT_EQ(flags, IMPLTYPEFLAG_FDEFAULT);
        HREFTYPE href = 0;
        Ref<ITypeInfo> iface;
        ti->GetRefTypeOfImplType(0, &href);
        ASSERT_EQ(ti->GetRefTypeInfo(href, &iface), S_OK);
        TYPEATTR *ia = nullptr;
        iface->GetTypeAttr(&ia);
        EXPECT_TRUE(IsEqualGUID(ia->guid, InterfaceOf(c.iface).iid));
        iface->ReleaseTypeAttr(ia);
        BSTR name = nullptr, doc = nullptr;
        ti->GetDocumentation(MEMBERID_NIL, &name, &doc, nullptr, nullptr);
        EXPECT_EQ(Take(name), Wide(c.name));
        EXPECT_EQ(Take(doc), Wide(c.helpstring));
        ti->Release();
    }
}

TEST_P(TypeLibrary, EnumerationsHoldExactlyTheTableConstants) {
    for (const auto &e : kEnums) {
        SCOPED_TRACE(e.name);
        ITypeInfo *ti = nullptr;
        for (UINT k = 0; !ti && k < lib_->GetTypeInfoCount(); ++k) {
            TYPEKIND kind;
            BSTR name = nullptr;
            if (lib_->GetTypeInfoType(k, &kind) != S_OK || kind != TKIND_ENUM) continue;
            lib_->GetDocumentation(static_cast<INT>(k), &name, nullptr, nullptr, nullptr);
            if (Take(name) == Wide(e.name)) lib_->GetTypeInfo(k, &ti);
        }
        ASSERT_NE(ti, nullptr) << "no enumeration of that name";
        BSTR doc = nullptr;
        ti->GetDocumentation(MEMBERID_NIL, nullptr, &doc, nullptr, nullptr);
        EXPECT_EQ(Take(doc), Wide(EnumHelpString(e)));

        std::vector<const EnumValue *> want;
        for (const auto &v : kEnumValues)
            if (v.type == e.type) want.push_back(&v);
        TYPEATTR *ta = nullptr;
        ti->GetTypeAttr(&ta);
        EXPECT_EQ(ta->cVars, want.size());
        for (UINT k = 0; k < ta->cVars && k < want.size(); ++k) {
            VARDESC *vd = nullptr;
            ASSERT_EQ(ti->GetVarDesc(k, &vd), S_OK);
            BSTR name = nullptr, help = nullptr;
            ti->GetDocumentation(vd->memid, &name, &help, nullptr, nullptr);
            EXPECT_EQ(Take(name), Wide(want[k]->name));
            EXPECT_EQ(Take(help), Wide(want[k]->name)) << "each constant's help string is its own name";
            EXPECT_EQ(vd->varkind, VAR_CONST);
            VARIANT v;
            VariantInit(&v);
            ASSERT_EQ(VariantChangeType(&v, vd->lpvarValue, 0, VT_I4), S_OK);
            EXPECT_EQ(V_I4(&v), want[k]->value) << want[k]->name;
            ti->ReleaseVarDesc(vd);
        }
        ti->ReleaseTypeAttr(ta);
        ti->Release();
    }
}

INSTANTIATE_TEST_SUITE_P(DllAndTlb, TypeLibrary, ::testing::Values(0, 1),
                         [](const ::testing::TestParamInfo<int> &p) { return p.param == 0 ? "Dll" : "Tlb"; });

// ---- The DLL's other resources and its exports -------------------------------------------------------------------

class Dll : public ::testing::Test {
protected:
    void SetUp() override {
        module_ = LoadLibraryExW(g_dll.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(module_, nullptr) << "cannot load the DLL as data";
    }
    void TearDown() override {
        if (module_) FreeLibrary(module_);
    }

    std::vector<unsigned char> Resource(const char *name, LPCSTR type) {
        HRSRC r = FindResourceA(module_, name, type);
        if (!r) return {};
        HGLOBAL g = LoadResource(module_, r);
        auto *p = static_cast<const unsigned char *>(LockResource(g));
        return std::vector<unsigned char>(p, p + SizeofResource(module_, r));
    }

    HMODULE module_ = nullptr;
};

TEST_F(Dll, IdentifierResourcesListEachClassInterfaces) {
    for (const auto &c : kClasses) {
        std::string name = "_IID_";
        for (const char *s = c.name; *s; ++s) name += static_cast<char>(*s >= 'a' && *s <= 'z' ? *s - 32 : *s);
        SCOPED_TRACE(name);
        std::vector<IID> want;
        for (const auto &a : kAliases)
            if (a.of == c.iface) want.push_back(a.iid);
        want.push_back(InterfaceOf(c.iface).iid);

        std::vector<unsigned char> data = Resource(name.c_str(), MAKEINTRESOURCEA(10));  // RT_RCDATA
        ASSERT_EQ(data.size(), 4 + 16 * want.size());
        DWORD count = 0;
        std::memcpy(&count, data.data(), 4);
        EXPECT_EQ(count, 16 * want.size());
        for (std::size_t k = 0; k < want.size(); ++k) {
            IID got;
            std::memcpy(&got, data.data() + 4 + 16 * k, 16);
            EXPECT_TRUE(IsEqualGUID(got, want[k])) << "identifier " << k;
        }
    }
    // The earlier Trigger identifier comes first.
    std::vector<unsigned char> trigger = Resource("_IID_TRIGGER", MAKEINTRESOURCEA(10));
    ASSERT_EQ(trigger.size(), 36u);
    EXPECT_EQ(std::memcmp(trigger.data() + 4, &IID_Trigger___v0, 16), 0);
    EXPECT_EQ(std::memcmp(trigger.data() + 20, &IID__Trigger, 16), 0);
}

// The library's help context in the type library's header (the 32-bit field
// after the help string and the help-string context).
TEST_F(Dll, TypeLibraryHeaderCarriesTheHelpContext) {
    std::vector<unsigned char> res = Resource(MAKEINTRESOURCEA(1), "TYPELIB");
    ASSERT_GE(res.size(), 48u);
    ASSERT_EQ(std::memcmp(res.data(), "MSFT", 4), 0);
    DWORD context = 0;
    std::memcpy(&context, res.data() + 44, 4);
    EXPECT_EQ(context, kLibrary.helpcontext);
}

TEST_F(Dll, TypeLibraryResourceIsTheBuiltTlb) {
    std::vector<unsigned char> res = Resource(MAKEINTRESOURCEA(1), "TYPELIB");
    ASSERT_FALSE(res.empty());
    HANDLE f = CreateFileW(g_tlb.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    std::vector<unsigned char> file(GetFileSize(f, nullptr));
    DWORD got = 0;
    ReadFile(f, file.data(), static_cast<DWORD>(file.size()), &got, nullptr);
    CloseHandle(f);
    EXPECT_EQ(res, file);
}

std::wstring VersionString(const std::vector<unsigned char> &block, const wchar_t *name, bool *present = nullptr) {
    std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    void *value = nullptr;
    UINT len = 0;
    bool ok = VerQueryValueW(block.data(), path.c_str(), &value, &len) != 0;
    if (present) *present = ok;
    if (!ok || !value || !len) return {};
    std::wstring s(static_cast<const wchar_t *>(value), len);
    while (!s.empty() && s.back() == 0) s.pop_back();
    return s;
}

TEST(Version, BlockOfTheDll) {
    DWORD ignored = 0, size = GetFileVersionInfoSizeW(g_dll.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<unsigned char> block(size);
    ASSERT_TRUE(GetFileVersionInfoW(g_dll.c_str(), 0, size, block.data()));
    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT len = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void **>(&fixed), &len));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010003u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x0000000Cu);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00010003u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0x0000000Cu);
    EXPECT_EQ(fixed->dwFileType, DWORD(VFT_DLL));

    EXPECT_EQ(VersionString(block, L"FileVersion"), L"1.03.0012");
    EXPECT_EQ(VersionString(block, L"ProductVersion"), L"1.03.0012");
    EXPECT_EQ(VersionString(block, L"FileDescription"), L"ActiveX DLL component");
    EXPECT_EQ(VersionString(block, L"InternalName"), L"velqosch");
    EXPECT_EQ(VersionString(block, L"OriginalFilename"), L"velqosch.dll");
    EXPECT_EQ(VersionString(block, L"ProductName"), Wide(kLibrary.helpstring));
    EXPECT_EQ(VersionString(block, L"Comments"), Wide(kLibrary.helpstring));
    bool self_register = false;
    VersionString(block, L"OLESelfRegister", &self_register);
    EXPECT_TRUE(self_register);
}

TEST(Exports, FourEntryPointsByNameAndOrdinal) {
    HMODULE m = LoadLibraryW(g_dll.c_str());
    ASSERT_NE(m, nullptr);
    const char *names[] = {"DllCanUnloadNow", "DllGetClassObject", "DllRegisterServer", "DllUnregisterServer"};
    for (WORD ordinal = 1; ordinal <= 4; ++ordinal) {
        FARPROC by_name = GetProcAddress(m, names[ordinal - 1]);
        EXPECT_NE(by_name, nullptr) << names[ordinal - 1];
        EXPECT_EQ(reinterpret_cast<void *>(GetProcAddress(m, MAKEINTRESOURCEA(ordinal))),
                  reinterpret_cast<void *>(by_name))
            << names[ordinal - 1];
    }
    EXPECT_EQ(GetProcAddress(m, MAKEINTRESOURCEA(5)), nullptr) << "no other exports";
    FreeLibrary(m);
}

}  // namespace

int main(int argc, char **argv) { return client::Main(argc, argv, 2, "typelib_check [gtest flags] DLL_PATH TLB_PATH"); }
