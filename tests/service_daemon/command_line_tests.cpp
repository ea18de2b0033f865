// The daemon's helpers: parameter splitting, text conversions and the end of a repetition window.
#include <gtest/gtest.h>

#include <ctime>
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

// Rows: the trigger's window and flag, when it fired, and the end of the run (-1: none).
TEST(RepetitionWindowEnd, TheWindowsOpeningPlusItsDurationWhenAskedFor) {
    const auto at = [](int day, int hour, int minute) {
        tm t{0, minute, hour, day, 11, 2026 - 1900, 0, 0, -1, 0, nullptr};
        return static_cast<long long>(mktime(&t));
    };
    constexpr DWORD kKill = TASK_TRIGGER_FLAG_KILL_AT_DURATION_END;
    const struct {
        WORD hour, minute;
        DWORD duration, flags;
        long long fired, end;
    } rows[] = {
        {9, 0, 60, 0, at(6, 9, 30), -1},                   // not asked for
        {9, 0, 0, kKill, at(6, 9, 30), -1},                // no window
        {9, 0, 60, kKill, at(6, 9, 30), at(6, 10, 0)},     // within today's window
        {9, 0, 60, kKill, at(6, 9, 0), at(6, 10, 0)},      // at its opening
        {23, 30, 120, kKill, at(7, 0, 30), at(7, 1, 30)},  // a window across midnight
        {9, 0, 1500, kKill, at(7, 8, 59), at(7, 10, 0)},   // a window over a day long, opened yesterday
    };
    for (const auto &r : rows) {
        TASK_TRIGGER t{};
        t.cbTriggerSize = sizeof t, t.TriggerType = TASK_TIME_TRIGGER_DAILY, t.rgFlags = r.flags;
        t.wStartHour = r.hour, t.wStartMinute = r.minute, t.MinutesDuration = r.duration;
        long long end = -1;
        EXPECT_EQ(velqo::service::RepetitionWindowEnd(t, r.fired, &end), r.end != -1);
        EXPECT_EQ(end, r.end) << r.hour << ":" << r.minute << " for " << r.duration;
        EXPECT_FALSE(velqo::service::RepetitionWindowEnd(t, r.fired, nullptr));
    }
}

}  // namespace
