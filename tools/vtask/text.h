// Small text helpers of vtask: UTF-8 and UTF-16, lists, numbers, and the
// error that a wrong command line raises.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vtask {

// A mistake in the command line: printed with the usage hint, exit code 2.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// UTF-8 to UTF-16. Malformed UTF-8 (bad lead or continuation bytes, overlong
// forms, surrogates, values above U+10FFFF) raises UsageError naming `what`.
std::u16string Utf16FromUtf8(std::string_view text, std::string_view what = "text");
// UTF-16 to UTF-8. A lone surrogate becomes U+FFFD.
std::string Utf8FromUtf16(std::u16string_view text);

std::string Lower(std::string_view text);
std::string Trim(std::string_view text);
// Comma-separated items, each trimmed; empty items are refused.
std::vector<std::string> SplitList(std::string_view text, std::string_view what);
// A decimal integer in [min, max]; anything else raises UsageError naming `what`.
std::int64_t ParseInteger(std::string_view text, std::int64_t min, std::int64_t max, std::string_view what);
// "0x" followed by eight hex digits.
std::string Hex32(std::uint32_t value);

}  // namespace vtask
