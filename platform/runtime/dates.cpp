// Variant dates (days since 1899-12-30, the fraction the time of day) and the
// system clock in SYSTEMTIME form.
//
// For dates before the epoch the value is negative and the fraction's
// magnitude is still the time of day: -1.25 is 1899-12-29 06:00.
#include "internal.h"

#include <cmath>
#include <ctime>

namespace velqo::rt {

bool IsLeapYear(long y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned DaysInMonth(long year, unsigned month) {
    static const unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Proleptic Gregorian calendar, days relative to 1970-01-01 shifted to the
// variant epoch (1899-12-30 is 25569 days before 1970-01-01).
long DaysFromCivil(long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = unsigned(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + long(doe) - 719468 + 25569;
}

void CivilFromDays(long days, long *year, unsigned *month, unsigned *day) {
    long z = days - 25569 + 719468;
    const long era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = unsigned(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *day = doy - (153 * mp + 2) / 5 + 1;
    *month = mp < 10 ? mp + 3 : mp - 9;
    *year = long(yoe) + era * 400 + (*month <= 2);
}

}  // namespace velqo::rt

using namespace velqo::rt;

namespace {
constexpr double kMinDate = -657434.0;  // 100-01-01
constexpr double kMaxDate = 2958465.0;  // 9999-12-31
}  // namespace

VQAPI INT SystemTimeToVariantTime(LPSYSTEMTIME st, DOUBLE *pvtime) {
    if (!st || !pvtime) return FALSE;
    if (st->wYear < 100 || st->wYear > 9999 || st->wMonth < 1 || st->wMonth > 12 || st->wDay < 1 ||
        st->wDay > DaysInMonth(st->wYear, st->wMonth) || st->wHour > 23 || st->wMinute > 59 || st->wSecond > 59)
        return FALSE;
    // Milliseconds are not part of a variant time.
    double days = double(DaysFromCivil(st->wYear, st->wMonth, st->wDay));
    double time = (st->wHour * 3600.0 + st->wMinute * 60.0 + st->wSecond) / 86400.0;
    *pvtime = days < 0 ? days - time : days + time;
    return TRUE;
}

VQAPI INT VariantTimeToSystemTime(DOUBLE vtime, LPSYSTEMTIME st) {
    if (!st || !(vtime > kMinDate - 1.0 && vtime < kMaxDate + 1.0)) return FALSE;
    double dayPart = std::trunc(vtime);
    long days = long(dayPart);
    // The time of day, rounded to the second.
    long seconds = std::lround(std::fabs(vtime - dayPart) * 86400.0);
    if (seconds >= 86400) {
        // Rounds up into midnight of the next calendar day, which for a
        // negative value is one day nearer the epoch.
        seconds -= 86400;
        days += 1;
    }
    long year;
    unsigned month, day;
    CivilFromDays(days, &year, &month, &day);
    if (year < 100 || year > 9999) return FALSE;
    st->wYear = WORD(year);
    st->wMonth = WORD(month);
    st->wDay = WORD(day);
    // 1899-12-30 was a Saturday.
    st->wDayOfWeek = WORD(((days % 7) + 7 + 6) % 7);
    st->wHour = WORD(seconds / 3600);
    st->wMinute = WORD(seconds / 60 % 60);
    st->wSecond = WORD(seconds % 60);
    st->wMilliseconds = 0;
    return TRUE;
}

namespace {
void FromTimespec(const timespec &ts, bool local, SYSTEMTIME *st) {
    std::tm tm{};
    time_t secs = ts.tv_sec;
    if (local)
        localtime_r(&secs, &tm);
    else
        gmtime_r(&secs, &tm);
    st->wYear = WORD(tm.tm_year + 1900);
    st->wMonth = WORD(tm.tm_mon + 1);
    st->wDayOfWeek = WORD(tm.tm_wday);
    st->wDay = WORD(tm.tm_mday);
    st->wHour = WORD(tm.tm_hour);
    st->wMinute = WORD(tm.tm_min);
    st->wSecond = WORD(tm.tm_sec > 59 ? 59 : tm.tm_sec);
    st->wMilliseconds = WORD(ts.tv_nsec / 1000000);
}
}  // namespace

VQAPI void GetLocalTime(LPSYSTEMTIME lpSystemTime) {
    if (!lpSystemTime) return;
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    FromTimespec(ts, true, lpSystemTime);
}

VQAPI void GetSystemTime(LPSYSTEMTIME lpSystemTime) {
    if (!lpSystemTime) return;
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    FromTimespec(ts, false, lpSystemTime);
}
