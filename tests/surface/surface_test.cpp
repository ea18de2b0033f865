// Agreement of the published surface: the committed IDL and reference are
// the generator's output, the identities stay as published, and the table
// keeps its numbering rules. (The type library built from the table is checked
// against it member by member under Wine, by typelib_check.exe.)
#include "component/surface.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "component/msft.h"

namespace {

namespace sf = TaskScheduler::surface;
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

// The committed files are the generator's output; the identities stay as published.
TEST(Surface, CommittedFilesAndIdentities) {
    const struct {
        const char *committed, *generated, *update;
    } files[] = {{VELQO_COMMITTED_IDL, VELQO_GENERATED_IDL, "velqosch_idl_update"},
                 {VELQO_COMMITTED_DOC, VELQO_GENERATED_DOC, "velqosch_doc_update"}};
    for (const auto &f : files) {
        const std::string generated = ReadFile(f.generated);
        ASSERT_FALSE(generated.empty()) << f.generated;
        EXPECT_TRUE(ReadFile(f.committed) == generated)
            << f.committed << " is out of date: build the " << f.update << " target and review the change";
    }
    EXPECT_EQ(GuidText(TaskScheduler::LIBID_TaskScheduler), "B3E97481-7BC4-4DE3-8C23-0330AF50116E");
    EXPECT_EQ(GuidText(TaskScheduler::CLSID_Scheduler), "24CF4E3E-AED2-423C-AA8F-5E87E7BFC401");
    EXPECT_EQ(GuidText(TaskScheduler::IID__TriggerV0), "3F740926-9BB0-4B78-B420-F6E2A6AEB481");
    EXPECT_TRUE(std::size(sf::kAliases) == 1u && sf::ClassOf(sf::Interface::_Scheduler).creatable);
    // Every class is named after its default interface; every enumeration has help.
    std::set<std::string> classes, enums;
#define VQ_COCLASS(name, clsid, iface, creatable, helpstring, major, minor) classes.insert(#iface);
#define VQ_ENUM_BEGIN(name, owner) enums.insert(#name);
#include "component/surface.inc"
    for (const auto &c : sf::kClasses) EXPECT_TRUE(classes.count(sf::InterfaceOf(c.iface).name)) << c.name;
    for (const auto &e : sf::kEnums) EXPECT_TRUE(enums.count(e.name) && *sf::EnumHelpString(e)) << e.name;
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
