// Agreement of the published surface: the type library's IDL, the C++
// interface declarations and the descriptor table must say the same thing
// about every member (order, names, kinds, DISPIDs, parameters, help), every
// enumeration and every identity; and widl must have built the type library.
#include "component/surface.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "component/msft.h"
#include "surface/idl_reader.h"

namespace {

namespace sf = TaskScheduler::surface;
using sf::Dir;
using sf::Kind;
using sf::Type;

std::string ReadFile(const char *path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string GuidText(const GUID &g) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                  static_cast<unsigned long>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
                  g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return buf;
}

std::string Upper(std::string s) {
    for (auto &c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string TypeName(Type t) {
#define VQ_COCLASS(name, clsid, iface, creatable, helpstring, major, minor) \
    if (t == Type::name) return #name;
#define VQ_ENUM_BEGIN(name, owner) \
    if (t == Type::name) return #name;
#include "component/surface.inc"
    static const char *const basic[] = {"None",    "Integer", "Long",      "String",    "Date",
                                        "Boolean", "Variant", "ByteArray", "DateArray", "Unknown"};
    auto i = static_cast<std::size_t>(t);
    return i < std::size(basic) ? basic[i] : "?";
}

class Idl : public ::testing::Test {
protected:
    static void SetUpTestSuite() { lib_ = new idl::Library(idl::Parse(ReadFile(VELQO_COMMITTED_IDL))); }
    static void TearDownTestSuite() {
        delete lib_;
        lib_ = nullptr;
    }

    static const idl::Interface *FindInterface(const std::string &name) {
        for (const auto &i : lib_->interfaces)
            if (i.name == name) return &i;
        return nullptr;
    }

    // The table type an IDL type text stands for, after `strip` pointer levels are removed.
    static bool IdlTypeIs(std::string text, int strip, Type expected) {
        for (; strip > 0; --strip) {
            if (text.empty() || text.back() != '*') return false;
            text.pop_back();
        }
        static const std::pair<const char *, Type> basic[] = {
            {"short", Type::Integer},
            {"long", Type::Long},
            {"BSTR", Type::String},
            {"DATE", Type::Date},
            {"VARIANT_BOOL", Type::Boolean},
            {"VARIANT", Type::Variant},
            {"SAFEARRAY(unsigned char)", Type::ByteArray},
            {"SAFEARRAY(DATE)", Type::DateArray},
            {"IUnknown*", Type::Unknown},
        };
        for (const auto &[name, type] : basic)
            if (text == name) return type == expected;
        for (const auto &c : sf::kClasses)
            if (text == std::string(sf::InterfaceOf(c.iface).name) + "*") return TypeName(expected) == c.name;
        for (const auto &e : sf::kEnums)
            if (text == e.name) return e.type == expected;
        return false;
    }

    static idl::Library *lib_;
};
idl::Library *Idl::lib_ = nullptr;

TEST_F(Idl, CommittedFileIsTheGeneratorsOutput) {
    std::string committed = ReadFile(VELQO_COMMITTED_IDL), generated = ReadFile(VELQO_GENERATED_IDL);
    ASSERT_FALSE(generated.empty()) << VELQO_GENERATED_IDL;
    EXPECT_TRUE(committed == generated)
        << "component/velqosch.idl is out of date: build the velqosch_idl_update target and review the change";
}

TEST(Reference, CommittedFileIsTheGeneratorsOutput) {
    const std::string committed = ReadFile(VELQO_COMMITTED_DOC), generated = ReadFile(VELQO_GENERATED_DOC);
    ASSERT_FALSE(generated.empty()) << VELQO_GENERATED_DOC;
    EXPECT_TRUE(committed == generated)
        << "docs/object-model.md is out of date: build the velqosch_doc_update target and review the change";
}

TEST_F(Idl, LibraryIdentity) {
    const auto &a = lib_->attrs;
    EXPECT_EQ(lib_->name, sf::kLibrary.name);
    EXPECT_EQ(Upper(a.Arg("uuid")), GuidText(sf::kLibrary.libid));
    EXPECT_EQ(GuidText(TaskScheduler::LIBID_TaskScheduler), "B3E97481-7BC4-4DE3-8C23-0330AF50116E");
    EXPECT_EQ(a.Arg("version"), std::to_string(sf::kLibrary.major) + "." + std::to_string(sf::kLibrary.minor));
    EXPECT_EQ(a.Arg("helpstring"), sf::kLibrary.helpstring);
    EXPECT_EQ(a.Arg("helpfile"), sf::kLibrary.helpfile);
    EXPECT_EQ(idl::Number(a.Arg("helpcontext")), sf::kLibrary.helpcontext);
    EXPECT_EQ(idl::Number(a.Arg("lcid")), sf::kLibrary.lcid);
    EXPECT_EQ(lib_->importlibs, std::vector<std::string>{"stdole2.tlb"});
}

TEST_F(Idl, InterfacesAgreeWithTheTable) {
    ASSERT_EQ(lib_->interfaces.size(), std::size(sf::kInterfaces));
    for (const auto &info : sf::kInterfaces) {
        SCOPED_TRACE(info.name);
        const idl::Interface *itf = FindInterface(info.name);
        ASSERT_NE(itf, nullptr);
        EXPECT_EQ(itf->base, "IDispatch");
        EXPECT_EQ(Upper(itf->attrs.Arg("uuid")), GuidText(info.iid));
        EXPECT_EQ(itf->attrs.Arg("version"), std::to_string(info.major) + "." + std::to_string(info.minor));
        for (const char *flag : {"hidden", "dual", "nonextensible", "oleautomation"})
            EXPECT_TRUE(itf->attrs.Has(flag)) << flag;
        EXPECT_FALSE(itf->attrs.Has("helpstring"));
    }
}

TEST_F(Idl, MembersAgreeWithTheTableInSlotOrder) {
    for (const auto &info : sf::kInterfaces) {
        SCOPED_TRACE(info.name);
        const idl::Interface *itf = FindInterface(info.name);
        ASSERT_NE(itf, nullptr);
        std::size_t first = sf::FirstMember(info.id), count = sf::MemberCount(info.id);
        ASSERT_EQ(itf->methods.size(), count);
        for (std::size_t k = 0; k < count; ++k) {
            const sf::Member &m = sf::kMembers[first + k];
            const idl::Method &im = itf->methods[k];
            SCOPED_TRACE(std::string(m.name) + " at slot " + std::to_string(m.slot));
            EXPECT_EQ(im.name, m.name);
            EXPECT_EQ(im.result, "HRESULT");
            EXPECT_EQ(static_cast<std::uint32_t>(idl::Number(im.attrs.Arg("id"))),
                      static_cast<std::uint32_t>(m.dispid));
            EXPECT_EQ(im.attrs.Has("propget"), m.kind == Kind::Get);
            EXPECT_EQ(im.attrs.Has("propput"), m.kind == Kind::Put);
            EXPECT_EQ(im.attrs.Has("propputref"), m.kind == Kind::PutRef);
            EXPECT_EQ(im.attrs.Has("hidden"), m.hidden);
            std::string help = im.attrs.Arg("helpcontext");
            EXPECT_EQ(help.empty() ? 0 : idl::Number(help), static_cast<std::int64_t>(m.help));

            bool has_result = m.result != Type::None;
            ASSERT_EQ(im.params.size(), m.nparams + (has_result ? 1u : 0u));
            for (std::size_t p = 0; p < m.nparams; ++p) {
                const idl::Param &ip = im.params[p];
                const sf::Param &dp = m.params[p];
                SCOPED_TRACE("parameter " + std::to_string(p + 1));
                EXPECT_EQ(ip.name, dp.name ? dp.name : "");
                EXPECT_TRUE(ip.attrs.Has("in"));
                EXPECT_EQ(ip.attrs.Has("out"), dp.dir == Dir::Ref);
                EXPECT_FALSE(ip.attrs.Has("retval"));
                EXPECT_TRUE(IdlTypeIs(ip.type, dp.dir == Dir::Ref ? 1 : 0, dp.type))
                    << ip.type << " is not " << TypeName(dp.type);
            }
            if (has_result) {
                const idl::Param &r = im.params.back();
                EXPECT_TRUE(r.attrs.Has("out") && r.attrs.Has("retval") && !r.attrs.Has("in"));
                EXPECT_TRUE(r.name.empty());
                EXPECT_TRUE(IdlTypeIs(r.type, 1, m.result)) << r.type << " is not " << TypeName(m.result);
            }
        }
    }
}

TEST_F(Idl, TriggerAliasCarriesTheEarlierIdentifier) {
    ASSERT_EQ(lib_->aliases.size(), 1u);
    const auto &a = lib_->aliases[0];
    EXPECT_EQ(a.name, "Trigger___v0");
    EXPECT_EQ(a.type, "_Trigger");
    EXPECT_TRUE(a.attrs.Has("hidden"));
    EXPECT_EQ(Upper(a.attrs.Arg("uuid")), GuidText(TaskScheduler::IID__TriggerV0));
    EXPECT_EQ(GuidText(TaskScheduler::IID__TriggerV0), "3F740926-9BB0-4B78-B420-F6E2A6AEB481");
    ASSERT_EQ(std::size(sf::kAliases), 1u);
    EXPECT_EQ(sf::kAliases[0].of, sf::Interface::_Trigger);
}

TEST_F(Idl, CoclassesAgreeWithTheTable) {
    ASSERT_EQ(lib_->coclasses.size(), std::size(sf::kClasses));
    int creatable = 0;
    for (const auto &c : sf::kClasses) {
        SCOPED_TRACE(c.name);
        const idl::Coclass *ic = nullptr;
        for (const auto &x : lib_->coclasses)
            if (x.name == c.name) ic = &x;
        ASSERT_NE(ic, nullptr);
        EXPECT_EQ(Upper(ic->attrs.Arg("uuid")), GuidText(c.clsid));
        EXPECT_EQ(ic->attrs.Arg("version"), std::to_string(c.major) + "." + std::to_string(c.minor));
        EXPECT_EQ(ic->attrs.Arg("helpstring"), c.helpstring);
        EXPECT_EQ(ic->attrs.Has("noncreatable"), !c.creatable);
        ASSERT_EQ(ic->interfaces.size(), 1u);
        EXPECT_TRUE(ic->interfaces[0].first.Has("default"));
        EXPECT_EQ(ic->interfaces[0].second, sf::InterfaceOf(c.iface).name);
        // Each class's default interface is the class name with a leading underscore.
        EXPECT_EQ(std::string("_") + c.name, sf::InterfaceOf(c.iface).name);
        creatable += c.creatable;
    }
    EXPECT_EQ(creatable, 1);
    EXPECT_TRUE(sf::ClassOf(sf::Interface::_Scheduler).creatable);
    EXPECT_EQ(GuidText(TaskScheduler::CLSID_Scheduler), "24CF4E3E-AED2-423C-AA8F-5E87E7BFC401");
}

TEST_F(Idl, EnumerationsAgreeWithTheTable) {
    ASSERT_EQ(lib_->enums.size(), std::size(sf::kEnums));
    std::set<std::string> seen;
    for (const auto &e : sf::kEnums) {
        SCOPED_TRACE(e.name);
        const idl::Enum *ie = nullptr;
        for (const auto &x : lib_->enums)
            if (x.name == e.name) ie = &x;
        ASSERT_NE(ie, nullptr);
        EXPECT_EQ(ie->tag, e.name);
        EXPECT_EQ(ie->attrs.Arg("helpstring"), sf::EnumHelpString(e));
        EXPECT_STRNE(sf::EnumHelpString(e), "");
        std::vector<std::pair<std::string, std::int64_t>> table, text;
        for (const auto &v : sf::kEnumValues)
            if (v.type == e.type) table.emplace_back(v.name, v.value);
        for (const auto &c : ie->constants) text.emplace_back(c.name, c.value);
        EXPECT_EQ(text, table);
        for (const auto &[name, value] : table) EXPECT_TRUE(seen.insert(name).second) << name << " twice";
    }
}

// ---- The table on its own -----------------------------------------------------------------------------------------

TEST(Table, DispidsFollowTheNumberingScheme) {
    for (const auto &info : sf::kInterfaces) {
        SCOPED_TRACE(info.name);
        std::map<std::string, DISPID> by_name;
        std::map<DISPID, std::string> by_id;
        std::set<std::pair<std::string, Kind>> accessors;
        for (std::size_t k = sf::FirstMember(info.id); k < sf::FirstMember(info.id) + sf::MemberCount(info.id); ++k) {
            const sf::Member &m = sf::kMembers[k];
            SCOPED_TRACE(m.name);
            EXPECT_TRUE(accessors.insert({m.name, m.kind}).second) << "declared twice";
            // A property's get and put share one identifier, and no two names share one.
            auto [n, new_name] = by_name.emplace(m.name, m.dispid);
            EXPECT_EQ(n->second, m.dispid);
            auto [d, new_id] = by_id.emplace(m.dispid, m.name);
            EXPECT_EQ(d->second, m.name);
            if (std::strcmp(m.name, "Item") == 0) {
                EXPECT_EQ(m.dispid, 0);
                EXPECT_EQ(m.kind, Kind::Get);
            } else if (std::strcmp(m.name, "NewEnum") == 0) {
                EXPECT_EQ(m.dispid, -4);
                EXPECT_TRUE(m.hidden);
                EXPECT_EQ(m.result, Type::Unknown);
            } else {
                auto upper = static_cast<std::uint32_t>(m.dispid) >> 16;
                EXPECT_EQ(upper, m.kind == Kind::Method ? 0x6003u : 0x6803u);
                EXPECT_FALSE(m.hidden);
            }
            // A put has exactly the value; a get has no parameter but a result, except the collections' Item.
            if (m.kind == Kind::Put || m.kind == Kind::PutRef) {
                EXPECT_EQ(m.nparams, 1);
                EXPECT_EQ(m.result, Type::None);
                EXPECT_EQ(m.params[0].name, nullptr);
            }
            if (m.kind == Kind::Get) {
                EXPECT_NE(m.result, Type::None);
                EXPECT_EQ(m.nparams, std::strcmp(m.name, "Item") == 0 ? 1 : 0);
            }
        }
    }
}

TEST(Table, IdentitiesAreDistinct) {
    std::set<std::string> ids = {GuidText(sf::kLibrary.libid)};
    std::size_t n = 1;
    for (const auto &i : sf::kInterfaces) ids.insert(GuidText(i.iid)), ++n;
    for (const auto &a : sf::kAliases) ids.insert(GuidText(a.iid)), ++n;
    for (const auto &c : sf::kClasses) ids.insert(GuidText(c.clsid)), ++n;
    EXPECT_EQ(ids.size(), n);
    EXPECT_EQ(n, 12u);
}

// ---- The C++ declarations -----------------------------------------------------------------------------------------

// Under the Itanium C++ ABI (also used by mingw-w64) a pointer to a virtual
// member function holds 1 + the byte offset of its entry in the vtable.
template <class Pmf>
long SlotOf(Pmf pmf) {
    static_assert(sizeof(Pmf) == 2 * sizeof(std::ptrdiff_t));
    std::ptrdiff_t raw[2];
    std::memcpy(raw, &pmf, sizeof raw);
    if ((raw[0] & 1) == 0) return -1;  // not virtual
    return static_cast<long>((raw[0] - 1) / static_cast<std::ptrdiff_t>(sizeof(void *)));
}

// What a C++ parameter type says, in the table's terms: the table types it can
// stand for (VARIANT_BOOL is SHORT, both arrays are SAFEARRAY*) and the pointer
// levels on top of them.
struct Shape {
    std::set<Type> types;
    int pointers = 0;
};

template <class T>
Shape ShapeOf() {
#define VQ_SHAPE(cpp, ...) \
    if constexpr (std::is_same_v<T, cpp>) return Shape{{__VA_ARGS__}, 0};
    VQ_SHAPE(SHORT, Type::Integer, Type::Boolean)
    VQ_SHAPE(LONG, Type::Long)
    VQ_SHAPE(BSTR, Type::String)
    VQ_SHAPE(DATE, Type::Date)
    VQ_SHAPE(VARIANT, Type::Variant)
    VQ_SHAPE(SAFEARRAY *, Type::ByteArray, Type::DateArray)
    VQ_SHAPE(IUnknown *, Type::Unknown)
#undef VQ_SHAPE
#define VQ_COCLASS(name, clsid, iface, creatable, helpstring, major, minor) \
    if constexpr (std::is_same_v<T, TaskScheduler::iface *>) return Shape{{Type::name}, 0};
#define VQ_ENUM_BEGIN(name, owner) \
    if constexpr (std::is_same_v<T, TaskScheduler::name>) return Shape{{Type::name}, 0};
#include "component/surface.inc"
    if constexpr (std::is_pointer_v<T>) {
        Shape s = ShapeOf<std::remove_pointer_t<T>>();
        ++s.pointers;
        return s;
    } else {
        return Shape{};
    }
}

template <class C, class... A>
std::vector<Shape> ShapesOf(HRESULT (STDMETHODCALLTYPE C::*)(A...)) {
    return {ShapeOf<A>()...};
}

struct Declared {
    const char *iface;
    const char *name;
    long slot;
    std::vector<Shape> params;
};

#define VQ_T_GET(n) get_##n
#define VQ_T_PUT(n) put_##n
#define VQ_T_PUTREF(n) putref_##n
#define VQ_T_METHOD(n) n

const std::vector<Declared> &DeclaredMembers() {
    static const std::vector<Declared> all = {
#define VQ_MEMBER(iface, kind, dispid, name, help, hidden, r, n, t1, n1, d1, t2, n2, d2, t3, n3, d3) \
    {#iface, #kind " " #name, SlotOf(&TaskScheduler::iface::VQ_T_##kind(name)),                      \
     ShapesOf(&TaskScheduler::iface::VQ_T_##kind(name))},
#include "component/surface.inc"
    };
    return all;
}

TEST(Declarations, EveryMemberSitsInItsDescriptorsSlot) {
    const auto &declared = DeclaredMembers();
    ASSERT_EQ(declared.size(), sf::kMemberCount);
    for (std::size_t i = 0; i < declared.size(); ++i) {
        SCOPED_TRACE(std::string(declared[i].iface) + " " + declared[i].name);
        EXPECT_EQ(declared[i].slot, sf::kMembers[i].slot);
    }
    // The first member follows IDispatch::Invoke.
    EXPECT_EQ(SlotOf(&IDispatch::Invoke), 6);
    EXPECT_EQ(SlotOf(&TaskScheduler::_Scheduler::put_Computer), 7);
    EXPECT_EQ(SlotOf(&TaskScheduler::_Trigger::get_Index), 7 + 31);
}

TEST(Declarations, ParameterTypesMatchTheDescriptors) {
    const auto &declared = DeclaredMembers();
    ASSERT_EQ(declared.size(), sf::kMemberCount);
    for (std::size_t i = 0; i < declared.size(); ++i) {
        const sf::Member &m = sf::kMembers[i];
        const auto &params = declared[i].params;
        SCOPED_TRACE(std::string(declared[i].iface) + " " + declared[i].name);
        bool has_result = m.result != Type::None;
        ASSERT_EQ(params.size(), m.nparams + (has_result ? 1u : 0u));
        for (std::size_t p = 0; p < m.nparams; ++p) {
            EXPECT_TRUE(params[p].types.count(m.params[p].type)) << "parameter " << p + 1;
            EXPECT_EQ(params[p].pointers, m.params[p].dir == Dir::Ref ? 1 : 0) << "parameter " << p + 1;
        }
        if (has_result) {
            EXPECT_TRUE(params.back().types.count(m.result)) << "result is not " << TypeName(m.result);
            EXPECT_EQ(params.back().pointers, 1);
        }
    }
}

// The two properties whose put and get differ in type.
TEST(Declarations, FlagsPropertiesKeepTheirAsymmetricTypes) {
    static_assert(std::is_same_v<decltype(&TaskScheduler::_Task::put_flags),
                                 HRESULT (STDMETHODCALLTYPE TaskScheduler::_Task::*)(LONG)>);
    static_assert(std::is_same_v<decltype(&TaskScheduler::_Task::get_flags),
                                 HRESULT (STDMETHODCALLTYPE TaskScheduler::_Task::*)(TaskScheduler::TASK_FLAGS *)>);
    static_assert(
        std::is_same_v<decltype(&TaskScheduler::_Trigger::put_flags),
                       HRESULT (STDMETHODCALLTYPE TaskScheduler::_Trigger::*)(TaskScheduler::TASK_TRIGGER_FLAGS *)>);
    SUCCEED();
}

// ---- The built type library ---------------------------------------------------------------------------------------

std::uint32_t U32(const std::string &d, std::size_t at) {
    if (at + 4 > d.size()) throw std::out_of_range("past the end of the type library");
    return static_cast<std::uint32_t>(static_cast<unsigned char>(d[at])) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(d[at + 1])) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(d[at + 2])) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(d[at + 3])) << 24;
}

TEST(TypeLibrary, WidlBuiltOneTypeInfoPerDeclaration) {
    std::string d = ReadFile(VELQO_TLB);
    ASSERT_GT(d.size(), 4096u) << VELQO_TLB;
    ASSERT_EQ(d.compare(0, 4, "MSFT"), 0);
    // Header: type info count at 0x20, the library's flags at 0x14; then the
    // type info offsets, and the segment directory (16 bytes per segment).
    std::uint32_t count = U32(d, 0x20), varflags = U32(d, 0x14);
    std::size_t dir = 0x54 + ((varflags & 0x100) ? 4 : 0) + 4 * count;
    std::size_t infos = U32(d, dir), names = U32(d, dir + 16 * 7);
    std::multiset<std::pair<std::string, int>> found, expected;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::size_t base = infos + 0x64 * i;
        int kind = static_cast<int>(U32(d, base) & 0xf);
        std::size_t name = names + U32(d, base + 0x34);
        std::size_t len = static_cast<unsigned char>(d.at(name + 8));
        found.insert({d.substr(name + 12, len), kind});
    }
    enum { kEnum = 0, kDispatch = 4, kCoclass = 5, kAlias = 6 };
    for (const auto &i : sf::kInterfaces) expected.insert({i.name, kDispatch});
    for (const auto &a : sf::kAliases) expected.insert({a.name, kAlias});
    for (const auto &c : sf::kClasses) expected.insert({c.name, kCoclass});
    for (const auto &e : sf::kEnums) expected.insert({e.name, kEnum});
    EXPECT_EQ(found, expected);
    // The alias's identifier is in the library's table of identifiers.
    const GUID &v0 = TaskScheduler::IID__TriggerV0;
    EXPECT_NE(d.find(std::string(reinterpret_cast<const char *>(&v0), sizeof v0)), std::string::npos);
}

// What the build adds to widl's output: each enumeration constant carries its
// own name as its help string, and no return value has a parameter name.
TEST(TypeLibrary, ConstantsCarryTheirNamesAndReturnValuesNoName) {
    const std::string file = ReadFile(VELQO_TLB);
    velqo::msft::Library lib;
    std::string error;
    ASSERT_TRUE(velqo::msft::Read(velqo::msft::Bytes(file.begin(), file.end()), lib, error)) << error;
    std::size_t constants = 0, retvals = 0;
    for (std::size_t i = 0; i < lib.TypeInfoCount(); ++i) {
        const velqo::msft::Members &m = lib.members[i];
        if (lib.Kind(i) == velqo::msft::kEnumKind) {
            for (std::size_t k = 0; k < m.vars; ++k, ++constants)
                EXPECT_EQ(lib.String(velqo::msft::VarHelpString(m, k)), lib.Name(m.names[k]));
        }
        velqo::msft::ForEachParameter(m, [&](std::size_t f, std::size_t, std::size_t at) {
            if (!(velqo::msft::Get32(m.records, at + 8) & velqo::msft::kParamRetval)) return;
            ++retvals;
            EXPECT_EQ(velqo::msft::Get32(m.records, at + 4), -1) << lib.Name(m.names[f]);
        });
    }
    EXPECT_EQ(constants, std::size(sf::kEnumValues));
    std::size_t results = 0;
    for (const auto &m : sf::kMembers) results += m.result != Type::None;
    EXPECT_EQ(retvals, results);
}

// The finishing step refuses a library cut short anywhere, without reading past its end.
TEST(TypeLibrary, FinishingRefusesATruncatedLibrary) {
    const std::string file = ReadFile(VELQO_WIDL_TLB);
    velqo::msft::Library lib;
    std::string error;
    ASSERT_TRUE(velqo::msft::Read(velqo::msft::Bytes(file.begin(), file.end()), lib, error)) << error;
    for (std::size_t size = 0; size < file.size(); size += 7) {
        EXPECT_FALSE(velqo::msft::Read(velqo::msft::Bytes(file.begin(), file.begin() + size), lib, error)) << size;
        EXPECT_FALSE(error.empty());
    }
}

}  // namespace
