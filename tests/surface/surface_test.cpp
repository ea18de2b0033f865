// Agreement of the published surface. (generators.sh checks that the committed IDL and reference are the generator's
// output; the type library built from the table is checked against it member by member under Wine, by
// typelib_check.exe.)
#include "component/surface.h"

#include <gtest/gtest.h>

#include "component/msft.h"
#include "runtime/runtime_test_support.h"

namespace {

namespace sf = TaskScheduler::surface;
using sf::Type;

// What the build adds to widl's output: each enumeration constant carries its own name as its help string, and no
// return value has a parameter name. The reader refuses the library cut short anywhere, without reading past its end.
TEST(TypeLibrary, ConstantsCarryTheirNamesReturnValuesNoNameAndACutLibraryIsRefused) {
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
    for (std::size_t size = 0; size < file.size(); size += 7) {
        EXPECT_FALSE(velqo::msft::Read(velqo::msft::Bytes(file.begin(), file.begin() + size), lib, error)) << size;
        EXPECT_FALSE(error.empty());
    }
}

}  // namespace
