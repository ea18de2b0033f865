// BSTR allocation and lengths, code pages, and the allocator's failure seam.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>

#include "runtime_test_support.h"

namespace {

TEST(Bstr, LayoutLengthsAndCorners) {
    BSTR s = SysAllocString(OS("hello"));
    UINT prefix = 0;
    std::memcpy(&prefix, reinterpret_cast<char *>(s) - 4, 4);
    // The byte length before the text, the terminator after it, aligned as a pointer.
    EXPECT_EQ(
        (Results{prefix, SysStringLen(s), SysStringByteLen(s), s[5],
                 reinterpret_cast<std::uintptr_t>(s) % sizeof(void *) == 0, SysReAllocString(&s, OS("second value"))}),
        (Results{10, 5, 10, 0, true, TRUE}));
    EXPECT_EQ(Text(s), OS("second value"));
    // From a part of the string being replaced: the runtime's own promise.
    EXPECT_TRUE(kSystemLibraries || (SysReAllocStringLen(&s, s + 7, 5) && Text(s) == OS("value")));
    EXPECT_TRUE(SysReAllocStringLen(&s, nullptr, 2) && SysStringLen(s) == 2u);
    SysFreeString(s);

    EXPECT_TRUE(!SysAllocString(nullptr) && !SysStringLen(nullptr) && !SysStringByteLen(nullptr));
    SysFreeString(nullptr);
    const OLECHAR data[] = {'a', 0, 'b'};
    BSTR kept = SysAllocStringLen(data, 3), room = SysAllocStringLen(nullptr, 4), odd = SysAllocStringByteLen("abc", 3);
    EXPECT_TRUE(Text(kept) == OleString(data, 3) && kept[3] == 0);  // embedded zero kept
    EXPECT_EQ((Results{SysStringLen(room), room[4], SysStringByteLen(odd), SysStringLen(odd),
                       std::memcmp(odd, "abc", 4)}),  // zero after the bytes
              (Results{4, 0, 3, 1, 0}));
    for (BSTR b : {kept, room, odd}) SysFreeString(b);
    EXPECT_TRUE(lstrlenW(nullptr) == 0 && lstrlenW(OS("abc")) == 3 && lstrlenA(nullptr) == 0 && lstrlenA("ab") == 2);
    char buf[] = "abcdef";
    RtlMoveMemory(buf + 1, buf, 4);  // overlapping
    EXPECT_STREQ(buf, "aabcdf");
}

// UTF-8 and UTF-16 both ways: the size query, a buffer that fits, one too small, and malformed input; each failure sets
// its own error (consecutive rows differ, so a stale one shows).
TEST(CodePages, Utf8AndUtf16) {
    const std::string utf8 = "a\xC3\xA9\xF0\x9F\x98\x80";  // a, e-acute, U+1F600
    const WCHAR utf16[] = {'a', 0xE9, 0xD83D, 0xDE00, 0}, lone[] = {0xD800, 'x'};
    WCHAR wide[8] = {}, bad[4] = {};
    char narrow[16] = {}, replaced[16] = {};
    EXPECT_EQ(
        (Results{MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0),  // the terminator counted
                 MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), 3, nullptr, 0),
                 MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, wide, 8), std::memcmp(wide, utf16, sizeof utf16),
                 WideCharToMultiByte(CP_UTF8, 0, utf16, -1, nullptr, 0, nullptr, nullptr),
                 WideCharToMultiByte(CP_UTF8, 0, utf16, -1, narrow, 16, nullptr, nullptr), narrow == utf8,
                 WideCharToMultiByte(CP_UTF8, 0, lone, 2, replaced, 16, nullptr, nullptr),
                 std::memcmp(replaced, "\xEF\xBF\xBDx", 4),  // the replacement character
                 MultiByteToWideChar(CP_UTF8, 0, "\xFF", 1, bad, 4), bad[0]}),
        (Results{5, 2, 5, 0, 8, 8, true, 4, 0, 1, 0xFFFD}));
    auto error = [](int result) { return result ? DWORD(-1) : GetLastError(); };
    BOOL used = FALSE;  // UTF-8 takes no used-default flag (the runtime's promise)
    EXPECT_EQ((Results{error(MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, wide, 3)),
                       error(MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), 0, wide, 8)),
                       error(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "\xFF", 1, wide, 4)),
                       error(WideCharToMultiByte(CP_UTF8, 0, utf16, -1, narrow, 4, nullptr, nullptr)),
                       kSystemLibraries || error(WideCharToMultiByte(CP_UTF8, 0, utf16, -1, narrow, 16, nullptr,
                                                                     &used)) == ERROR_INVALID_PARAMETER}),
              (Results{ERROR_INSUFFICIENT_BUFFER, ERROR_INVALID_PARAMETER, ERROR_NO_UNICODE_TRANSLATION,
                       ERROR_INSUFFICIENT_BUFFER, true}));
}

#ifndef _WIN32
// Every allocation of an operation failing in turn, each reported cleanly: the first round that succeeded, or -1.
int FailEachAllocation(const std::function<bool()> &op) {
    for (long n = 0; n < 64; ++n) {
        VelqoFailAllocationAfter(n);
        const bool ok = op();
        VelqoFailAllocationAfter(-1);
        if (ok) return int(n);
    }
    return -1;
}

TEST(AllocationFailure, EveryOperationFailsCleanly) {
    BSTR keep = SysAllocString(OS("kept"));
    EXPECT_EQ(FailEachAllocation([&] {
                  if (SysReAllocString(&keep, OS("replacement"))) return true;
                  EXPECT_EQ(Text(keep), OS("kept"));  // the old string survives
                  return false;
              }),
              1);
    EXPECT_EQ(Text(keep), OS("replacement"));
    SysFreeString(keep);

    SAFEARRAY *source = SafeArrayCreateVector(VT_BSTR, 0, 3);
    BSTR element = SysAllocString(OS("element"));
    for (LONG i = 0; i < 3; ++i) ASSERT_EQ(SafeArrayPutElement(source, &i, element), S_OK);
    SysFreeString(element);
    SAFEARRAY *copy = nullptr;
    EXPECT_EQ(FailEachAllocation([&] {
                  copy = reinterpret_cast<SAFEARRAY *>(1);
                  const HRESULT hr = SafeArrayCopy(source, &copy);
                  EXPECT_TRUE(SUCCEEDED(hr) || (hr == E_OUTOFMEMORY && copy == nullptr));
                  return SUCCEEDED(hr);
              }),
              5);  // descriptor, data, three strings
    LONG last = 2;
    EXPECT_TRUE(SafeArrayGetElement(copy, &last, &element) == S_OK && Text(element) == OS("element"));
    SysFreeString(element);
    for (SAFEARRAY *psa : {copy, source}) SafeArrayDestroy(psa);

    VARIANT src = R8(2.25), dst = I4(7);
    EXPECT_EQ(FailEachAllocation([&] {
                  HRESULT hr = VariantChangeType(&dst, &src, 0, VT_BSTR);
                  EXPECT_TRUE(SUCCEEDED(hr) || (hr == E_OUTOFMEMORY && dst.vt == VT_I4 && dst.lVal == 7));
                  return SUCCEEDED(hr);
              }),
              1);
    EXPECT_EQ(Text(dst.bstrVal), OS("2.25"));
    VariantClear(&dst);
}
#endif

}  // namespace
