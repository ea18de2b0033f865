// BSTR allocation and lengths, code page conversions, and the allocator's
// failure seam.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>

#include "runtime_test_support.h"

namespace {

TEST(Bstr, LayoutLengthsAndCorners) {
    BSTR s = SysAllocString(OS("hello"));
    UINT prefix = 0;
    std::memcpy(&prefix, reinterpret_cast<char *>(s) - 4, 4);
    EXPECT_EQ(prefix, 10u);  // the byte length before the text
    EXPECT_TRUE(SysStringLen(s) == 5u && SysStringByteLen(s) == 10u && s[5] == 0);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(s) % sizeof(void *), 0u);
    ASSERT_TRUE(SysReAllocString(&s, OS("second value")));
    EXPECT_EQ(Text(s), OS("second value"));
    // From a part of the string being replaced: the runtime's own promise;
    // Wine's oleaut32 does not keep it.
    if (!OnWine()) {
        ASSERT_TRUE(SysReAllocStringLen(&s, s + 7, 5));
        EXPECT_EQ(Text(s), OS("value"));
    }
    ASSERT_TRUE(SysReAllocStringLen(&s, nullptr, 2));
    EXPECT_EQ(SysStringLen(s), 2u);
    SysFreeString(s);

    EXPECT_TRUE(!SysAllocString(nullptr) && !SysStringLen(nullptr) && !SysStringByteLen(nullptr));
    SysFreeString(nullptr);
    const OLECHAR data[] = {'a', 0, 'b'};
    s = SysAllocStringLen(data, 3);
    EXPECT_TRUE(Text(s) == OleString(data, 3) && s[3] == 0);  // embedded zero kept
    SysFreeString(s);
    s = SysAllocStringLen(nullptr, 4);  // room to write
    EXPECT_TRUE(SysStringLen(s) == 4 && s[4] == 0);
    SysFreeString(s);
    s = SysAllocStringByteLen("abc", 3);  // an odd byte length
    EXPECT_TRUE(SysStringByteLen(s) == 3u && SysStringLen(s) == 1u);
    EXPECT_EQ(std::memcmp(s, "abc", 4), 0);  // zero after the bytes
    SysFreeString(s);
    EXPECT_TRUE(lstrlenW(nullptr) == 0 && lstrlenW(OS("abc")) == 3 && lstrlenA(nullptr) == 0 && lstrlenA("ab") == 2);
    char buf[] = "abcdef";
    RtlMoveMemory(buf + 1, buf, 4);  // overlapping
    EXPECT_STREQ(buf, "aabcdf");
}

// UTF-8 and UTF-16 both ways: the size query, a buffer that fits, one too
// small, and malformed input.
TEST(CodePages, Utf8AndUtf16) {
    const std::string utf8 = "a\xC3\xA9\xF0\x9F\x98\x80";  // a, e-acute, U+1F600
    const WCHAR utf16[] = {'a', 0xE9, 0xD83D, 0xDE00, 0}, lone[] = {0xD800, 'x'};
    WCHAR wide[8] = {};
    char narrow[16] = {};
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0), 5);  // the terminator counted
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), 3, nullptr, 0), 2);
    ASSERT_EQ(MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, wide, 8), 5);
    EXPECT_EQ(std::memcmp(wide, utf16, sizeof utf16), 0);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, utf16, -1, nullptr, 0, nullptr, nullptr), 8);
    ASSERT_EQ(WideCharToMultiByte(CP_UTF8, 0, utf16, -1, narrow, 16, nullptr, nullptr), 8);
    EXPECT_EQ(narrow, utf8);
    ASSERT_EQ(WideCharToMultiByte(CP_UTF8, 0, lone, 2, narrow, 16, nullptr, nullptr), 4);
    EXPECT_EQ(std::memcmp(narrow, "\xEF\xBF\xBDx", 4), 0);  // the replacement character
    ASSERT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\xFF", 1, wide, 4), 1);
    EXPECT_EQ(wide[0], 0xFFFD);
    // Each failure sets its own error (consecutive rows differ, so a stale one shows).
    auto error = [](int result) { return result ? DWORD(-1) : GetLastError(); };
    EXPECT_EQ(error(MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, wide, 3)), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(error(MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), 0, wide, 8)), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(error(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "\xFF", 1, wide, 4)),
              DWORD(ERROR_NO_UNICODE_TRANSLATION));
    EXPECT_EQ(error(WideCharToMultiByte(CP_UTF8, 0, utf16, -1, narrow, 4, nullptr, nullptr)),
              DWORD(ERROR_INSUFFICIENT_BUFFER));
    BOOL used = FALSE;  // UTF-8 takes no used-default flag (Wine accepts one)
    EXPECT_TRUE(OnWine() || error(WideCharToMultiByte(CP_UTF8, 0, utf16, -1, narrow, 16, nullptr, &used)) ==
                                ERROR_INVALID_PARAMETER);
}

#ifndef _WIN32
// Every allocation of an operation failing in turn: each failure is reported
// cleanly, nothing written half, and the operation succeeds once the seam
// has passed all its allocations. The number of rounds it took, or -1.
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
    ASSERT_EQ(SafeArrayGetElement(copy, &last, &element), S_OK);
    EXPECT_EQ(Text(element), OS("element"));
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
