// BSTR allocation and lengths, string helpers, code page conversions, and the
// allocator's failure seam.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "runtime_test_support.h"

namespace {

TEST(Bstr, LengthPrefixTerminatorAndAlignment) {
    BSTR s = SysAllocString(OS("hello"));
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(SysStringLen(s), 5u);
    EXPECT_EQ(SysStringByteLen(s), 10u);
    UINT prefix;
    std::memcpy(&prefix, reinterpret_cast<char *>(s) - 4, 4);
    EXPECT_EQ(prefix, 10u);
    EXPECT_EQ(s[5], 0);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(s) % sizeof(void *), 0u);
    EXPECT_EQ(Text(s), OleString(OS("hello")));
    SysFreeString(s);
}

TEST(Bstr, NullAndEmptyInputs) {
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    EXPECT_EQ(SysStringByteLen(nullptr), 0u);
    SysFreeString(nullptr);
    BSTR empty = SysAllocString(OS(""));
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(SysStringLen(empty), 0u);
    EXPECT_EQ(empty[0], 0);
    SysFreeString(empty);
}

TEST(Bstr, AllocLenKeepsEmbeddedZerosAndNullSourceGivesRoom) {
    const OLECHAR data[] = {'a', 0, 'b'};
    BSTR s = SysAllocStringLen(data, 3);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(SysStringLen(s), 3u);
    EXPECT_EQ(s[1], 0);
    EXPECT_EQ(s[2], 'b');
    EXPECT_EQ(s[3], 0);
    SysFreeString(s);

    BSTR room = SysAllocStringLen(nullptr, 4);
    ASSERT_NE(room, nullptr);
    EXPECT_EQ(SysStringLen(room), 4u);
    EXPECT_EQ(room[4], 0);
    room[0] = 'x';  // writable
    SysFreeString(room);
}

TEST(Bstr, ByteLenCountsBytesAndMayBeOdd) {
    BSTR s = SysAllocStringByteLen("abc", 3);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(SysStringByteLen(s), 3u);
    EXPECT_EQ(SysStringLen(s), 1u);
    EXPECT_EQ(std::memcmp(s, "abc", 4), 0);  // zero after the bytes
    SysFreeString(s);
}

TEST(Bstr, ReallocReplacesAndAcceptsItsOwnText) {
    BSTR s = SysAllocString(OS("first"));
    ASSERT_TRUE(SysReAllocString(&s, OS("second value")));
    EXPECT_EQ(Text(s), OleString(OS("second value")));
    // From a part of the string being replaced: the runtime's own promise;
    // Wine's oleaut32 does not keep it.
    if (!OnWine()) {
        ASSERT_TRUE(SysReAllocStringLen(&s, s + 7, 5));
        EXPECT_EQ(Text(s), OleString(OS("value")));
    }
    ASSERT_TRUE(SysReAllocStringLen(&s, nullptr, 2));
    EXPECT_EQ(SysStringLen(s), 2u);
    SysFreeString(s);
}

TEST(StringHelpers, LengthsAndMove) {
    EXPECT_EQ(lstrlenW(nullptr), 0);
    EXPECT_EQ(lstrlenW(OS("abc")), 3);
    EXPECT_EQ(lstrlenA(nullptr), 0);
    EXPECT_EQ(lstrlenA("abcd"), 4);
    char buf[] = "abcdef";
    RtlMoveMemory(buf + 1, buf, 4);  // overlapping
    EXPECT_STREQ(buf, "aabcdf");
}

TEST(CodePages, Utf8ToUtf16SizesAndBuffer) {
    const char *text = "a\xC3\xA9\xF0\x9F\x98\x80";                       // a, e-acute, U+1F600
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0), 5);  // incl. terminator
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, text, 3, nullptr, 0), 2);
    WCHAR out[8] = {};
    ASSERT_EQ(MultiByteToWideChar(CP_UTF8, 0, text, -1, out, 8), 5);
    EXPECT_EQ(out[0], 'a');
    EXPECT_EQ(out[1], 0xE9);
    EXPECT_EQ(out[2], 0xD83D);
    EXPECT_EQ(out[3], 0xDE00);
    EXPECT_EQ(out[4], 0);

    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, text, -1, out, 3), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, text, 0, out, 8), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

TEST(CodePages, InvalidUtf8IsReplacedOrRefused) {
    WCHAR out[4] = {};
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\xFF", 1, out, 4), 1);
    EXPECT_EQ(out[0], 0xFFFD);
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "\xFF", 1, out, 4), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_UNICODE_TRANSLATION));
}

TEST(CodePages, Utf16ToUtf8SizesAndBuffer) {
    const WCHAR text[] = {'a', 0xE9, 0xD83D, 0xDE00, 0};
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr), 8);
    char out[16] = {};
    ASSERT_EQ(WideCharToMultiByte(CP_UTF8, 0, text, -1, out, 16, nullptr, nullptr), 8);
    EXPECT_STREQ(out, "a\xC3\xA9\xF0\x9F\x98\x80");
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, text, -1, out, 4, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    // UTF-8 takes no used-default flag (Wine accepts one).
    if (!OnWine()) {
        BOOL used = FALSE;
        SetLastError(0);
        EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, text, -1, out, 16, nullptr, &used), 0);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    }
}

TEST(CodePages, LoneSurrogateBecomesReplacementCharacter) {
    const WCHAR text[] = {0xD800, 'x'};
    char out[8] = {};
    ASSERT_EQ(WideCharToMultiByte(CP_UTF8, 0, text, 2, out, 8, nullptr, nullptr), 4);
    EXPECT_EQ(std::memcmp(out, "\xEF\xBF\xBDx", 4), 0);
}

#ifndef _WIN32
// Every allocation of an operation failing in turn: each failure is reported
// cleanly, nothing written half, and the operation succeeds once the seam
// has passed all its allocations.
template <class Op>
int FailEachAllocation(Op op) {
    for (long n = 0; n < 64; ++n) {
        VelqoFailAllocationAfter(n);
        bool ok = op();
        VelqoFailAllocationAfter(-1);
        if (ok) return int(n);
    }
    return -1;
}

TEST(AllocationFailure, SysAllocFamilyFailsCleanly) {
    EXPECT_EQ(FailEachAllocation([] {
                  BSTR s = SysAllocString(OS("text"));
                  SysFreeString(s);
                  return s != nullptr;
              }),
              1);
    BSTR keep = SysAllocString(OS("kept"));
    int rounds = FailEachAllocation([&] {
        if (!SysReAllocString(&keep, OS("replacement"))) {
            EXPECT_EQ(Text(keep), OleString(OS("kept")));  // the old string survives
            return false;
        }
        return true;
    });
    EXPECT_EQ(rounds, 1);
    EXPECT_EQ(Text(keep), OleString(OS("replacement")));
    SysFreeString(keep);
    VelqoFailAllocationAfter(0);
    EXPECT_EQ(CoTaskMemAlloc(16), nullptr);
    void *after = CoTaskMemAlloc(16);  // the seam fails once
    EXPECT_NE(after, nullptr);
    CoTaskMemFree(after);
}

TEST(AllocationFailure, SafeArrayCreateAndCopyFailCleanly) {
    SAFEARRAYBOUND bounds[2] = {{3, 0}, {2, 1}};
    int rounds = FailEachAllocation([&] {
        SAFEARRAY *psa = SafeArrayCreate(VT_BSTR, 2, bounds);
        if (!psa) return false;
        SafeArrayDestroy(psa);
        return true;
    });
    EXPECT_EQ(rounds, 2);  // descriptor and data

    SAFEARRAY *source = SafeArrayCreateVector(VT_BSTR, 0, 3);
    for (LONG i = 0; i < 3; ++i) {
        BSTR s = SysAllocString(OS("element"));
        ASSERT_EQ(SafeArrayPutElement(source, &i, s), S_OK);
        SysFreeString(s);
    }
    rounds = FailEachAllocation([&] {
        SAFEARRAY *copy = reinterpret_cast<SAFEARRAY *>(1);
        HRESULT hr = SafeArrayCopy(source, &copy);
        VelqoFailAllocationAfter(-1);  // the checks below allocate too
        if (FAILED(hr)) {
            EXPECT_EQ(hr, E_OUTOFMEMORY);
            EXPECT_EQ(copy, nullptr);
            return false;
        }
        LONG i = 2;
        BSTR got = nullptr;
        EXPECT_EQ(SafeArrayGetElement(copy, &i, &got), S_OK);
        EXPECT_EQ(Text(got), OleString(OS("element")));
        SysFreeString(got);
        SafeArrayDestroy(copy);
        return true;
    });
    EXPECT_EQ(rounds, 5);  // descriptor, data, three strings
    SafeArrayDestroy(source);
}

TEST(AllocationFailure, VariantCopyAndConversionLeaveTheDestination) {
    VARIANT src, dst;
    VariantInit(&src);
    src.vt = VT_R8;
    src.dblVal = 2.25;
    VariantInit(&dst);
    dst.vt = VT_I4;
    dst.lVal = 7;
    int rounds = FailEachAllocation([&] {
        HRESULT hr = VariantChangeType(&dst, &src, 0, VT_BSTR);
        if (FAILED(hr)) {
            EXPECT_EQ(hr, E_OUTOFMEMORY);
            EXPECT_EQ(dst.vt, VT_I4);
            EXPECT_EQ(dst.lVal, 7);
            return false;
        }
        return true;
    });
    EXPECT_EQ(rounds, 1);
    EXPECT_EQ(Text(dst.bstrVal), OleString(OS("2.25")));
    VariantClear(&dst);
}
#endif

}  // namespace
