#include <gtest/gtest.h>

#include "tools/vtask/text.h"

using namespace vtask;

TEST(Utf, RoundTripsEveryPlane) {
    const std::string text = "Wochenbericht \xC3\xBC \xE2\x82\xAC \xF0\x9F\x93\x85";  // ü € 📅
    const std::u16string wide = Utf16FromUtf8(text);
    ASSERT_EQ(wide.size(), 14u + 1 + 1 + 2 + 2);  // the calendar is a surrogate pair
    EXPECT_EQ(wide[wide.size() - 2], 0xD83D);
    EXPECT_EQ(wide.back(), 0xDCC5);
    EXPECT_EQ(Utf8FromUtf16(wide), text);
}

TEST(Utf, RefusesMalformedInput) {
    for (const char *bad : {"\xC3", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xFF", "a\x80"})
        EXPECT_THROW(Utf16FromUtf8(bad, "NAME"), UsageError) << bad;
    try {
        Utf16FromUtf8("\xC3", "NAME");
    } catch (const UsageError &e) {
        EXPECT_STREQ(e.what(), "NAME is not valid UTF-8");
    }
}

TEST(Utf, LoneSurrogatesBecomeReplacementCharacters) {
    const std::u16string lone = {u'a', 0xD800, u'b', 0xDC00};
    EXPECT_EQ(Utf8FromUtf16(lone),
              "a\xEF\xBF\xBD"
              "b\xEF\xBF\xBD");
}

TEST(Integers, AcceptOnlyWholeNumbersInRange) {
    EXPECT_EQ(ParseInteger("42", 0, 100, "N"), 42);
    EXPECT_EQ(ParseInteger(" -7 ", -10, 10, "N"), -7);
    EXPECT_EQ(ParseInteger("4294967294", 0, 0xFFFFFFFE, "N"), 4294967294LL);
    for (const char *bad : {"", "-", "1.5", "12a", "0x10", "101", "-11", "99999999999999999999"})
        EXPECT_THROW(ParseInteger(bad, -10, 100, "N"), UsageError) << bad;
}

TEST(Lists, SplitTrimmedAndRefuseEmptyItems) {
    EXPECT_EQ(SplitList(" mon , fri", "--days"), (std::vector<std::string>{"mon", "fri"}));
    EXPECT_THROW(SplitList("mon,,fri", "--days"), UsageError);
    EXPECT_THROW(SplitList("", "--days"), UsageError);
    EXPECT_THROW(SplitList("mon,", "--days"), UsageError);
}
