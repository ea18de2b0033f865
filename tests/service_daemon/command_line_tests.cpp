// The parameter splitting the daemon applies before it runs an item, and the
// text conversions around it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/service/control/control.h"

namespace {

using velqo::service::SplitCommandLine;

struct SplitCase {
    const char16_t *text;
    std::vector<std::u16string> arguments;
};

class SplitTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitTest, SplitsAsAWindowsProgramWould) { EXPECT_EQ(SplitCommandLine(GetParam().text), GetParam().arguments); }

INSTANTIATE_TEST_SUITE_P(
    CommandLines, SplitTest,
    ::testing::Values(SplitCase{u"", {}}, SplitCase{u"  \t ", {}}, SplitCase{u"a b\tc", {u"a", u"b", u"c"}},
                      SplitCase{u"  lead  trail  ", {u"lead", u"trail"}},
                      SplitCase{u"\"two words\" next", {u"two words", u"next"}},
                      SplitCase{u"ab\"c d\"e", {u"abc de"}},  // quotes inside an argument
                      SplitCase{u"\"\"", {u""}},              // an empty quoted argument counts
                      SplitCase{u"a \"\" b", {u"a", u"", u"b"}},
                      SplitCase{u"C:\\dir\\file", {u"C:\\dir\\file"}},  // backslashes without a quote are literal
                      SplitCase{u"a\\\\\"b c\"", {u"a\\b c"}},  // 2 backslashes + quote: 1 backslash, quote acts
                      SplitCase{u"a\\\"b", {u"a\"b"}},          // 1 backslash + quote: literal quote
                      SplitCase{u"a\\\\\\\"b", {u"a\\\"b"}},    // 3 backslashes + quote
                      SplitCase{u"\"trailing\\\\\"", {u"trailing\\"}},    // quoted path ending in a backslash
                      SplitCase{u"\"say \"\"hi\"\"\"", {u"say \"hi\""}},  // doubled quote inside quotes
                      SplitCase{u"\"unterminated quote", {u"unterminated quote"}}, SplitCase{u"end\\", {u"end\\"}}));

// Every plane round-trips; broken input becomes replacement characters.
TEST(Utf, RoundTripsAndReplacesBrokenInput) {
    using velqo::service::ToUtf16;
    using velqo::service::ToUtf8;
    const std::u16string text = u"plain \u00e9\u4e2d \U0001F600 end";
    EXPECT_EQ(ToUtf8(text), "plain \xc3\xa9\xe4\xb8\xad \xf0\x9f\x98\x80 end");
    EXPECT_EQ(ToUtf16(ToUtf8(text)), text);
    EXPECT_EQ(ToUtf8(std::u16string{u'a', char16_t(0xD800), u'b'}),
              "a\xef\xbf\xbd"
              "b");  // a lone surrogate
    EXPECT_EQ(ToUtf16("a\xff"
                      "b"),
              u"a\ufffdb");
    EXPECT_EQ(ToUtf16("\xc0\xaf"), u"\ufffd");          // overlong encoding of '/'
    EXPECT_EQ(ToUtf16("x\xe4\xb8"), u"x\ufffd\ufffd");  // truncated sequence
}

}  // namespace
