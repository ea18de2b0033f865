// Agreement of the published surface: the committed IDL is the generator's
// output and says what the table says about every member (slot order, DISPID,
// kind, parameters, help), enumeration, class and identity; the table keeps
// its numbering rules. (The type library built from it is checked against the
// table under Wine, by typelib_check.exe.)
#include "component/surface.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "component/msft.h"

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

// The IDL spelling of a table type.
std::string IdlType(Type t) {
#define VQ_COCLASS(name, clsid, iface, creatable, helpstring, major, minor) \
    if (t == Type::name) return #iface "*";
#define VQ_ENUM_BEGIN(name, owner) \
    if (t == Type::name) return #name;
#include "component/surface.inc"
    static const char *const basic[] = {"",
                                        "short",
                                        "long",
                                        "BSTR",
                                        "DATE",
                                        "VARIANT_BOOL",
                                        "VARIANT",
                                        "SAFEARRAY(unsigned char)",
                                        "SAFEARRAY(DATE)",
                                        "IUnknown*"};
    return basic[static_cast<std::size_t>(t)];
}

// The two lines the IDL holds for a member, as this test reads the table.
std::string MemberText(const sf::Member &m) {
    char id[16];
    std::snprintf(id, sizeof id, "0x%08x", static_cast<unsigned>(m.dispid));
    std::string attrs = std::string("[id(") + id + ")";
    attrs += m.kind == Kind::Get      ? ", propget"
             : m.kind == Kind::Put    ? ", propput"
             : m.kind == Kind::PutRef ? ", propputref"
                                      : "";
    if (m.hidden) attrs += ", hidden";
    if (m.help) attrs += ", helpcontext(" + std::to_string(m.help) + ")";
    std::string params;
    for (std::size_t p = 0; p < m.nparams; ++p) {
        const sf::Param &dp = m.params[p];
        params += (p ? ", " : "") + std::string(dp.dir == Dir::Ref ? "[in, out] " : "[in] ") + IdlType(dp.type) +
                  (dp.dir == Dir::Ref ? "*" : "") + (dp.name ? std::string(" ") + dp.name : "");
    }
    if (m.result != Type::None)
        params += (m.nparams ? ", " : "") + std::string("[out, retval] ") + IdlType(m.result) + "*";
    return attrs + "]\n        HRESULT " + m.name + "(" + params + ");\n";
}

std::vector<std::smatch> All(const std::string &text, const std::regex &re) {
    std::vector<std::smatch> out(std::sregex_iterator(text.begin(), text.end(), re), std::sregex_iterator());
    return out;
}

const std::string &Idl() {
    static const std::string text = ReadFile(VELQO_COMMITTED_IDL);
    return text;
}

TEST(Idl, CommittedFileIsTheGeneratorsOutput) {
    std::string generated = ReadFile(VELQO_GENERATED_IDL);
    ASSERT_FALSE(generated.empty()) << VELQO_GENERATED_IDL;
    EXPECT_TRUE(Idl() == generated)
        << "component/velqosch.idl is out of date: build the velqosch_idl_update target and review the change";
}

TEST(Reference, CommittedFileIsTheGeneratorsOutput) {
    const std::string committed = ReadFile(VELQO_COMMITTED_DOC), generated = ReadFile(VELQO_GENERATED_DOC);
    ASSERT_FALSE(generated.empty()) << VELQO_GENERATED_DOC;
    EXPECT_TRUE(committed == generated)
        << "docs/object-model.md is out of date: build the velqosch_doc_update target and review the change";
}

TEST(Idl, LibraryAndAliasIdentity) {
    const auto &l = sf::kLibrary;
    char lcid[16];
    std::snprintf(lcid, sizeof lcid, "0x%x", static_cast<unsigned>(l.lcid));
    const std::string head = std::string("[\n    uuid(") + GuidText(l.libid) + "),\n    version(" +
                             std::to_string(l.major) + "." + std::to_string(l.minor) + "),\n    helpstring(\"" +
                             l.helpstring + "\"),\n    helpfile(\"" + l.helpfile + "\"),\n    helpcontext(" +
                             std::to_string(l.helpcontext) + "),\n    lcid(" + lcid + ")\n]\nlibrary " + l.name + "\n";
    EXPECT_NE(Idl().find(head), std::string::npos) << head;
    EXPECT_EQ(GuidText(TaskScheduler::LIBID_TaskScheduler), "B3E97481-7BC4-4DE3-8C23-0330AF50116E");
    EXPECT_EQ(GuidText(TaskScheduler::CLSID_Scheduler), "24CF4E3E-AED2-423C-AA8F-5E87E7BFC401");
    EXPECT_EQ(GuidText(TaskScheduler::IID__TriggerV0), "3F740926-9BB0-4B78-B420-F6E2A6AEB481");
    ASSERT_EQ(std::size(sf::kAliases), 1u);
    EXPECT_NE(Idl().find("typedef [uuid(3F740926-9BB0-4B78-B420-F6E2A6AEB481), hidden] _Trigger Trigger___v0;"),
              std::string::npos);
}

TEST(Idl, InterfacesAndMembersInSlotOrder) {
    const std::regex itf(R"(\[\s*uuid\(([0-9A-F-]+)\),\s*version\(([\d.]+)\),\s*hidden,\s*dual,\s*nonextensible,)"
                         R"(\s*oleautomation\s*\]\s*interface (\w+) : IDispatch\s*\{\n([^}]*)    \};)");
    std::map<std::string, std::smatch> found;
    for (const auto &m : All(Idl(), itf)) found[m[3]] = m;
    ASSERT_EQ(found.size(), std::size(sf::kInterfaces));
    for (const auto &info : sf::kInterfaces) {
        SCOPED_TRACE(info.name);
        ASSERT_TRUE(found.count(info.name));
        const std::smatch &m = found[info.name];
        EXPECT_EQ(m[1], GuidText(info.iid));
        EXPECT_EQ(m[2], std::to_string(info.major) + "." + std::to_string(info.minor));
        std::string expected;
        for (std::size_t k = sf::FirstMember(info.id); k < sf::FirstMember(info.id) + sf::MemberCount(info.id); ++k)
            expected += "        " + MemberText(sf::kMembers[k]);
        EXPECT_EQ(m[4].str(), expected);
    }
}

TEST(Idl, ClassesAndEnumerations) {
    const std::regex cls(R"re(\[\s*uuid\(([0-9A-F-]+)\),\s*version\(([\d.]+)\),?\s*(?:helpstring\("([^"]*)"\),\s*)?)re"
                         R"((noncreatable\s*)?\]\s*coclass (\w+)\s*\{\s*\[default\] interface (\w+);\s*\};)");
    std::map<std::string, std::smatch> classes;
    for (const auto &m : All(Idl(), cls)) classes[m[5]] = m;
    ASSERT_EQ(classes.size(), std::size(sf::kClasses));
    for (const auto &c : sf::kClasses) {
        SCOPED_TRACE(c.name);
        const std::smatch &m = classes[c.name];
        EXPECT_EQ(m[1], GuidText(c.clsid));
        EXPECT_EQ(m[2], std::to_string(c.major) + "." + std::to_string(c.minor));
        EXPECT_EQ(m[3], c.helpstring);
        EXPECT_EQ(m[4].matched, !c.creatable);
        EXPECT_EQ(m[6], std::string("_") + c.name);
        EXPECT_EQ(m[6], sf::InterfaceOf(c.iface).name);
    }
    EXPECT_TRUE(sf::ClassOf(sf::Interface::_Scheduler).creatable);

    const std::regex en(R"re(typedef \[helpstring\("([^"]*)"\)\] enum (\w+)\s*\{([^}]*)\} (\w+);)re");
    const std::regex constant(R"((\w+) = (-?(?:0x[0-9a-f]+|\d+)))");
    std::set<std::string> seen;
    const auto enums = All(Idl(), en);
    ASSERT_EQ(enums.size(), std::size(sf::kEnums));
    for (const auto &e : sf::kEnums) {
        SCOPED_TRACE(e.name);
        const std::smatch *m = nullptr;
        for (const auto &x : enums)
            if (x[2] == e.name && x[4] == e.name) m = &x;
        ASSERT_NE(m, nullptr);
        EXPECT_EQ((*m)[1], sf::EnumHelpString(e));
        std::vector<std::pair<std::string, long long>> table, text;
        for (const auto &v : sf::kEnumValues)
            if (v.type == e.type) table.emplace_back(v.name, v.value);
        const std::string body = (*m)[3];
        for (const auto &c : All(body, constant)) text.emplace_back(c[1], std::stoll(c[2], nullptr, 0));
        EXPECT_EQ(text, table);
        for (const auto &[name, value] : table) EXPECT_TRUE(seen.insert(name).second) << name << " twice";
    }
}

// A property's get and put share one DISPID, no two names share one; Item is
// 0, NewEnum -4 and hidden, the rest are numbered 0x6003xxxx (methods) or
// 0x6803xxxx (properties); a put takes the value alone.
TEST(Table, DispidsFollowTheNumberingScheme) {
    std::set<std::string> ids;
    for (const auto &info : sf::kInterfaces) {
        SCOPED_TRACE(info.name);
        std::map<std::string, DISPID> byName;
        std::map<DISPID, std::string> byId;
        std::set<std::pair<std::string, Kind>> accessors;
        for (std::size_t k = sf::FirstMember(info.id); k < sf::FirstMember(info.id) + sf::MemberCount(info.id); ++k) {
            const sf::Member &m = sf::kMembers[k];
            SCOPED_TRACE(m.name);
            EXPECT_TRUE(accessors.insert({m.name, m.kind}).second) << "declared twice";
            EXPECT_EQ(byName.emplace(m.name, m.dispid).first->second, m.dispid);
            EXPECT_EQ(byId.emplace(m.dispid, m.name).first->second, m.name);
            const bool item = std::strcmp(m.name, "Item") == 0, newEnum = std::strcmp(m.name, "NewEnum") == 0;
            EXPECT_EQ(item, m.dispid == 0);
            EXPECT_EQ(newEnum, m.dispid == -4);
            EXPECT_TRUE(!newEnum || (m.hidden && m.result == Type::Unknown && m.kind == Kind::Get));
            EXPECT_TRUE(item || newEnum || !m.hidden);
            EXPECT_TRUE(item || newEnum ||
                        static_cast<std::uint32_t>(m.dispid) >> 16 == (m.kind == Kind::Method ? 0x6003u : 0x6803u));
            EXPECT_TRUE((m.kind != Kind::Put && m.kind != Kind::PutRef) || (m.nparams == 1 && m.result == Type::None));
            EXPECT_TRUE(m.kind != Kind::Get || m.nparams == (item ? 1 : 0));
        }
        ids.insert(GuidText(info.iid));
    }
    ids.insert(GuidText(sf::kLibrary.libid));
    for (const auto &a : sf::kAliases) ids.insert(GuidText(a.iid));
    for (const auto &c : sf::kClasses) ids.insert(GuidText(c.clsid));
    EXPECT_EQ(ids.size(), 12u);  // every identity distinct
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
