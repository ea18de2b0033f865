// Variant dates and the system clock.
#include "runtime_test_support.h"

#include <gtest/gtest.h>

namespace {

SYSTEMTIME Make(WORD y, WORD mo, WORD d, WORD h = 0, WORD mi = 0, WORD s = 0, WORD ms = 0) {
    SYSTEMTIME st{};
    st.wYear = y, st.wMonth = mo, st.wDay = d, st.wHour = h, st.wMinute = mi, st.wSecond = s, st.wMilliseconds = ms;
    return st;
}

struct Known {
    double date;
    SYSTEMTIME st;
    WORD dayOfWeek;
};

TEST(VariantTime, KnownValuesBothWays) {
    const Known cases[] = {
        {0.0, Make(1899, 12, 30), 6},
        {2.0, Make(1900, 1, 1), 1},
        {-1.0, Make(1899, 12, 29), 5},
        {-1.25, Make(1899, 12, 29, 6), 5},
        {36494.0, Make(1999, 11, 30), 2},
        {36494.75, Make(1999, 11, 30, 18), 2},
        {-657434.0, Make(100, 1, 1), 5},
        {2958465.0 + 86399.0 / 86400.0, Make(9999, 12, 31, 23, 59, 59), 5},
    };
    for (const auto &c : cases) {
        SYSTEMTIME st{};
        ASSERT_TRUE(VariantTimeToSystemTime(c.date, &st)) << c.date;
        EXPECT_EQ(st.wYear, c.st.wYear) << c.date;
        EXPECT_EQ(st.wMonth, c.st.wMonth) << c.date;
        EXPECT_EQ(st.wDay, c.st.wDay) << c.date;
        EXPECT_EQ(st.wHour, c.st.wHour) << c.date;
        EXPECT_EQ(st.wMinute, c.st.wMinute) << c.date;
        EXPECT_EQ(st.wSecond, c.st.wSecond) << c.date;
        EXPECT_EQ(st.wDayOfWeek, c.dayOfWeek) << c.date;
        SYSTEMTIME in = c.st;
        double back = 1e9;
        ASSERT_TRUE(SystemTimeToVariantTime(&in, &back)) << c.date;
        EXPECT_NEAR(back, c.date, 1e-9);
    }
}

TEST(VariantTime, UpperLimitFraction) {
    SYSTEMTIME st{};
    ASSERT_TRUE(VariantTimeToSystemTime(2958465.99999, &st));
    EXPECT_EQ(st.wYear, 9999);
    EXPECT_EQ(st.wMonth, 12);
    EXPECT_EQ(st.wDay, 31);
    EXPECT_EQ(st.wHour, 23);
    EXPECT_EQ(st.wMinute, 59);
    EXPECT_EQ(st.wSecond, 59);
}

TEST(VariantTime, MillisecondsDoNotSurvive) {
    SYSTEMTIME in = Make(2026, 12, 6, 9, 30, 15, 0), withMs = Make(2026, 12, 6, 9, 30, 15, 400);
    double a = 0, b = 0;
    ASSERT_TRUE(SystemTimeToVariantTime(&in, &a));
    ASSERT_TRUE(SystemTimeToVariantTime(&withMs, &b));
    SYSTEMTIME out{};
    ASSERT_TRUE(VariantTimeToSystemTime(b, &out));
    EXPECT_EQ(out.wSecond, 15);
    EXPECT_EQ(out.wMilliseconds, 0);
    // A time 0.2 s short of a full second comes back as that second.
    ASSERT_TRUE(VariantTimeToSystemTime(a - 0.2 / 86400.0, &out));
    EXPECT_EQ(out.wSecond, 15);
}

TEST(VariantTime, RefusesOutOfRangeAndInvalid) {
    SYSTEMTIME st{};
    EXPECT_FALSE(VariantTimeToSystemTime(-657435.0, &st));
    EXPECT_FALSE(VariantTimeToSystemTime(2958466.0, &st));
    double d = 0;
    SYSTEMTIME bad[] = {Make(10000, 1, 1), Make(2026, 13, 1), Make(2026, 1, 32)};
    for (auto &b : bad) EXPECT_FALSE(SystemTimeToVariantTime(&b, &d)) << b.wYear << "-" << b.wMonth << "-" << b.wDay;
}

TEST(SystemClock, LocalAndUniversalTimesArePlausible) {
    SYSTEMTIME utc{}, local{};
    GetSystemTime(&utc);
    GetLocalTime(&local);
    EXPECT_GE(utc.wYear, 2024);
    EXPECT_LE(utc.wMonth, 12);
    EXPECT_LE(utc.wDayOfWeek, 6);
    EXPECT_LT(utc.wMilliseconds, 1000);
    double a = 0, b = 0;
    ASSERT_TRUE(SystemTimeToVariantTime(&utc, &a));
    ASSERT_TRUE(SystemTimeToVariantTime(&local, &b));
    EXPECT_LT(a - b < 0 ? b - a : a - b, 1.1);  // at most a time zone apart
}

}  // namespace
