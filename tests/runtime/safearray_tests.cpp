// Safe arrays (layout, bounds, locking, resizing, element copies) and variant dates.
#include <gtest/gtest.h>

#include <cmath>

#include "runtime_test_support.h"

namespace {

// The bounds of every dimension as "lower:upper" from the first, or the failure.
std::string Bounds(SAFEARRAY *psa) {
    std::string out;
    for (UINT d = 1; d <= SafeArrayGetDim(psa); ++d) {
        LONG l = 0, u = 0;
        if (SafeArrayGetLBound(psa, d, &l) != S_OK || SafeArrayGetUBound(psa, d, &u) != S_OK) return "failed";
        out += std::to_string(l) + ":" + std::to_string(u) + " ";
    }
    return out;
}

TEST(SafeArray, BoundsLockingAndResizing) {
    SAFEARRAYBOUND bounds[2] = {{2, 0}, {3, 10}}, one = {1, 0}, eight = {8, 0};
    SAFEARRAY *psa = SafeArrayCreate(VT_I4, 2, bounds);
    ASSERT_NE(psa, nullptr);
    EXPECT_EQ(Bounds(psa), "0:1 10:12 ");  // the rightmost dimension first in rgsabound, the first index fastest
    LONG b, idx[2] = {1, 12}, value = 99, got = 0, *data = nullptr, outside[2][2] = {{2, 10}, {0, 9}};
    VARTYPE vt = VT_EMPTY;
    EXPECT_EQ((Results{SafeArrayGetElemsize(psa), psa->rgsabound[0].cElements, psa->rgsabound[0].lLbound,
                       psa->rgsabound[1].cElements, SafeArrayGetLBound(psa, 0, &b), SafeArrayGetUBound(psa, 3, &b),
                       SafeArrayGetVartype(psa, &vt), vt, SafeArrayPutElement(psa, idx, &value),
                       SafeArrayAccessData(psa, reinterpret_cast<void **>(&data)), data ? data[1 + (12 - 10) * 2] : 0,
                       SafeArrayUnaccessData(psa), SafeArrayGetElement(psa, idx, &got), got,
                       SafeArrayGetElement(psa, outside[0], &got), SafeArrayPutElement(psa, outside[1], &value)}),
              (Results{4, 3, 10, 2, DISP_E_BADINDEX, DISP_E_BADINDEX, S_OK, VT_I4, S_OK, S_OK, 99, S_OK, S_OK, 99,
                       DISP_E_BADINDEX, DISP_E_BADINDEX}));
    SafeArrayDestroy(psa);
    EXPECT_TRUE(!SafeArrayCreate(VT_EMPTY, 1, &one) && !SafeArrayCreate(VT_NULL, 1, &one) &&
                !SafeArrayCreate(VT_I4, 0, &one));

    // A locked or fixed-size array keeps its shape.
    psa = SafeArrayCreateVector(VT_I2, 0, 4);
    void *raw;
    EXPECT_EQ((Results{SafeArrayUnlock(psa), SafeArrayLock(psa), SafeArrayDestroy(psa), SafeArrayRedim(psa, &eight),
                       SafeArrayAccessData(psa, &raw), psa->cLocks, SafeArrayUnaccessData(psa), SafeArrayUnlock(psa),
                       (psa->fFeatures |= FADF_FIXEDSIZE, SafeArrayRedim(psa, &eight)),
                       (psa->fFeatures &= ~FADF_FIXEDSIZE, SafeArrayDestroy(psa)), SafeArrayDestroy(nullptr)}),
              (Results{E_UNEXPECTED, S_OK, DISP_E_ARRAYISLOCKED, DISP_E_ARRAYISLOCKED, S_OK, 2, S_OK, S_OK,
                       DISP_E_ARRAYISLOCKED, S_OK, S_OK}));

    // Resizing changes the last dimension and keeps the elements; the strings that a shrinking cuts off are freed (a
    // leak shows under the sanitizers).
    psa = SafeArrayCreateVector(VT_BSTR, 1, 3);
    BSTR three = SysAllocString(OS("three")), text = nullptr, five = nullptr;
    for (LONG i = 1; i <= 3; ++i) ASSERT_EQ(SafeArrayPutElement(psa, &i, three), S_OK);
    SysFreeString(three);
    SAFEARRAYBOUND grow = {5, 1}, shrink = {1, 1}, wider = {4, 10};
    ASSERT_EQ(SafeArrayRedim(psa, &grow), S_OK);
    EXPECT_EQ(Bounds(psa), "1:5 ");
    LONG i = 3, fifth = 5, second = 2;
    EXPECT_EQ((Results{SafeArrayGetElement(psa, &i, &text), SafeArrayGetElement(psa, &fifth, &five), five == nullptr,
                       SafeArrayRedim(psa, &shrink), SafeArrayGetElement(psa, &second, &five)}),
              (Results{S_OK, S_OK, true, S_OK, DISP_E_BADINDEX}));
    EXPECT_EQ(Text(text), OS("three"));
    SysFreeString(text);
    SafeArrayDestroy(psa);
    psa = SafeArrayCreate(VT_I4, 2, bounds);
    SafeArrayPutElement(psa, idx, &value);
    ASSERT_EQ(SafeArrayRedim(psa, &wider), S_OK);
    EXPECT_EQ(Bounds(psa), "0:1 10:13 ");
    EXPECT_TRUE(SafeArrayGetElement(psa, idx, &got) == S_OK && got == 99);
    SafeArrayDestroy(psa);
}

TEST(SafeArray, ElementsAndCopiesOwnWhatTheyHold) {
    SAFEARRAYBOUND bounds[2] = {{2, 3}, {2, -1}};
    SAFEARRAY *psa = SafeArrayCreate(VT_VARIANT, 2, bounds), *copy = nullptr;
    LONG idx[2] = {4, 0};
    VARIANT v = Str(OS("inside"));
    ASSERT_EQ(SafeArrayPutElement(psa, idx, &v) | VariantClear(&v) | SafeArrayCopy(psa, &copy) | SafeArrayDestroy(psa),
              S_OK);
    EXPECT_EQ(Bounds(copy), "3:4 -1:0 ");
    VARTYPE vt = VT_EMPTY;
    SAFEARRAY *none = reinterpret_cast<SAFEARRAY *>(1);
    EXPECT_EQ((Results{SafeArrayGetVartype(copy, &vt), vt, SafeArrayGetElement(copy, idx, &v),
                       v.vt == VT_BSTR && Text(v.bstrVal) == OS("inside"), VariantClear(&v), SafeArrayDestroy(copy),
                       SafeArrayCopy(nullptr, &none), none == nullptr}),
              (Results{S_OK, VT_VARIANT, S_OK, true, S_OK, S_OK, S_OK, true}));

    ValueObject unk;
    IUnknown *out = nullptr;
    psa = SafeArrayCreateVector(VT_UNKNOWN, 0, 2);
    LONG i = 0;
    EXPECT_EQ(
        (Results{SafeArrayPutElement(psa, &i, static_cast<IUnknown *>(&unk)), unk.refs(),
                 SafeArrayGetElement(psa, &i, &out), out == &unk, unk.refs(), out ? out->Release() : 0,
                 SafeArrayCopy(psa, &copy), unk.refs(), SafeArrayDestroy(copy), SafeArrayDestroy(psa), unk.refs()}),
        (Results{S_OK, 2, S_OK, true, 3, 2, S_OK, 3, S_OK, S_OK, 1}));
}

SYSTEMTIME Make(WORD y, WORD mo, WORD d, WORD h = 0, WORD mi = 0, WORD s = 0) {
    SYSTEMTIME st{};
    st.wYear = y, st.wMonth = mo, st.wDay = d, st.wHour = h, st.wMinute = mi, st.wSecond = s;
    return st;
}

// Rows that also hold backwards are marked; a time is rounded to the second and milliseconds do not survive.
TEST(VariantTime, KnownValues) {
    const struct {
        double date;
        SYSTEMTIME st;
        WORD dayOfWeek;
        bool bothWays;
    } cases[] = {
        {0.0, Make(1899, 12, 30), 6, true},
        {-1.25, Make(1899, 12, 29, 6), 5, true},
        {36494.75, Make(1999, 11, 30, 18), 2, true},
        {-657434.0, Make(100, 1, 1), 5, true},
        {2958465.0 + 86399.0 / 86400.0, Make(9999, 12, 31, 23, 59, 59), 5, true},
        {2958465.99999, Make(9999, 12, 31, 23, 59, 59), 5, false},
        {46362.0 + (9 * 3600 + 30 * 60 + 15 - 0.2) / 86400.0, Make(2026, 12, 6, 9, 30, 15), 0, false},
    };
    for (const auto &c : cases) {
        SYSTEMTIME st{}, in = c.st;
        ASSERT_TRUE(VariantTimeToSystemTime(c.date, &st)) << c.date;
        const WORD got[] = {st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds};
        const WORD want[] = {in.wYear, in.wMonth, in.wDay, in.wHour, in.wMinute, in.wSecond, 0};
        EXPECT_TRUE(std::equal(got, got + 7, want) && st.wDayOfWeek == c.dayOfWeek) << c.date;
        double back = 1e9;
        in.wMilliseconds = 400;  // ignored
        ASSERT_TRUE(SystemTimeToVariantTime(&in, &back)) << c.date;
        EXPECT_TRUE(!c.bothWays || std::fabs(back - c.date) < 1e-9) << back;
    }
    SYSTEMTIME st{};
    EXPECT_FALSE(VariantTimeToSystemTime(-657435.0, &st) || VariantTimeToSystemTime(2958466.0, &st));
    double d = 0;
    for (SYSTEMTIME bad : {Make(10000, 1, 1), Make(2026, 13, 1), Make(2026, 1, 32)})
        EXPECT_FALSE(SystemTimeToVariantTime(&bad, &d)) << bad.wYear << "-" << bad.wMonth << "-" << bad.wDay;
    SYSTEMTIME utc{}, local{};
    GetSystemTime(&utc);
    GetLocalTime(&local);
    double a = 0, b = 0;
    ASSERT_TRUE(SystemTimeToVariantTime(&utc, &a) && SystemTimeToVariantTime(&local, &b));
    EXPECT_GE(utc.wYear, 2024);
    EXPECT_LT(a - b < 0 ? b - a : a - b, 1.1);  // at most a time zone apart
}

}  // namespace
