#include <gtest/gtest.h>

#include "tools/vtask/options.h"
#include "tools/vtask/text.h"

using namespace vtask;

namespace {
const std::vector<OptionSpec> kSpecs = {{"app", true}, {"json", false}, {"days", true}};
}

TEST(Options, ValuesInBothSpellingsAndPositionalWords) {
    const ParsedArgs a = ParseArgs({"Weekly", "--app", "/bin/true", "--days=mon,fri", "--json", ""}, kSpecs);
    EXPECT_EQ(a.positional, (std::vector<std::string>{"Weekly", ""}));
    EXPECT_EQ(a.Value("app"), "/bin/true");
    EXPECT_EQ(a.Value("days"), "mon,fri");
    EXPECT_TRUE(a.Has("json"));
    EXPECT_FALSE(a.Has("comment"));
}

TEST(Options, AValueMayLookLikeAnOption) {
    const ParsedArgs a = ParseArgs({"--app", "--json", "--days="}, kSpecs);
    EXPECT_EQ(a.Value("app"), "--json");
    EXPECT_EQ(a.Value("days"), "");
    EXPECT_FALSE(a.Has("json"));
}

TEST(Options, DoubleDashEndsTheOptions) {
    const ParsedArgs a = ParseArgs({"--", "--app", "-x"}, kSpecs);
    EXPECT_EQ(a.positional, (std::vector<std::string>{"--app", "-x"}));
}

TEST(Options, MistakesAreRefused) {
    EXPECT_THROW(ParseArgs({"--colour", "red"}, kSpecs), UsageError);
    EXPECT_THROW(ParseArgs({"--app"}, kSpecs), UsageError);
    EXPECT_THROW(ParseArgs({"--json=yes"}, kSpecs), UsageError);
    EXPECT_THROW(ParseArgs({"--app", "a", "--app", "b"}, kSpecs), UsageError);
    EXPECT_THROW(ParseArgs({"-a"}, kSpecs), UsageError);
}

TEST(Options, PositionalCountIsChecked) {
    const ParsedArgs one = ParseArgs({"a"}, kSpecs);
    EXPECT_NO_THROW(ExpectPositional(one, {"NAME"}, "show"));
    try {
        ExpectPositional(one, {"NAME", "INDEX"}, "trigger remove");
        FAIL();
    } catch (const UsageError &e) {
        EXPECT_STREQ(e.what(), "trigger remove: missing INDEX");
    }
    EXPECT_THROW(ExpectPositional(one, {}, "list"), UsageError);
}
