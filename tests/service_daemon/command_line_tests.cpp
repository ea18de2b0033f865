// The parameter splitting the daemon applies before it runs an item, and the
// text conversions around it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/service/control/control.h"

namespace {

using velqo::service::SplitCommandLine;

TEST(SplitCommandLine, SplitsAsAWindowsProgramWould) {
    const std::pair<const char16_t *, std::vector<std::u16string>> rows[] = {
        // clang-format off
        {u"", {}}, {u"  \t ", {}}, {u"a b\tc", {u"a", u"b", u"c"}}, {u"  lead  trail  ", {u"lead", u"trail"}},
        {u"\"two words\" next", {u"two words", u"next"}},
        {u"ab\"c d\"e", {u"abc de"}},                         // quotes inside an argument
        {u"\"\"", {u""}}, {u"a \"\" b", {u"a", u"", u"b"}},   // an empty quoted argument counts
        {u"C:\\dir\\file", {u"C:\\dir\\file"}},               // backslashes without a quote are literal
        {u"a\\\\\"b c\"", {u"a\\b c"}},                       // 2 backslashes + quote: 1 backslash, quote acts
        {u"a\\\"b", {u"a\"b"}},                               // 1 backslash + quote: literal quote
        {u"a\\\\\\\"b", {u"a\\\"b"}},                         // 3 backslashes + quote
        {u"\"trailing\\\\\"", {u"trailing\\"}},               // quoted path ending in a backslash
        {u"\"say \"\"hi\"\"\"", {u"say \"hi\""}},             // doubled quote inside quotes
        {u"\"unterminated quote", {u"unterminated quote"}}, {u"end\\", {u"end\\"}},
        // clang-format on
    };
    for (const auto &[text, arguments] : rows)
        EXPECT_EQ(SplitCommandLine(text), arguments) << velqo::service::ToUtf8(text);
}

// Every plane round-trips; broken input becomes replacement characters.
TEST(Utf, RoundTripsAndReplacesBrokenInput) {
    using velqo::service::ToUtf16;
    using velqo::service::ToUtf8;
    const std::u16string text = u"plain \u00e9\u4e2d \U0001F600 end";
    EXPECT_EQ(ToUtf8(text), "plain \xc3\xa9\xe4\xb8\xad \xf0\x9f\x98\x80 end");
    EXPECT_EQ(ToUtf16(ToUtf8(text)), text);
    EXPECT_EQ(ToUtf8(std::u16string{u'a', char16_t(0xD800)}), "a\xef\xbf\xbd");  // a lone surrogate
    // a stray byte, an overlong '/', a truncated sequence
    // clang-format off
    const std::pair<const char *, std::u16string> broken[] = {
        {"a\xff!", u"a\ufffd!"}, {"\xc0\xaf", u"\ufffd"}, {"x\xe4\xb8", u"x\ufffd\ufffd"}};
    // clang-format on
    for (const auto &[bytes, text] : broken) EXPECT_EQ(ToUtf16(bytes), text) << bytes;
}

}  // namespace
