#include "tools/vtask/dates.h"

#include <cmath>
#include <cstdio>
#include <string>

#include "service/platform.h"
#include "tools/vtask/text.h"

#ifndef _WIN32
#include <time.h>

#include "platform/service/schedule/local_time.h"
#endif

namespace vtask {

namespace {

// Days from 1970-01-01 of a proleptic Gregorian date.
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

void CivilFromDays(long long z, int *y, int *m, int *d) {
    z += 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    *m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    *y = static_cast<int>(static_cast<long long>(yoe) + era * 400 + (*m <= 2));
}

const long long kEpoch = DaysFromCivil(1899, 12, 30);

bool Digits(std::string_view s, std::size_t at, std::size_t n, int *value) {
    if (at + n > s.size()) return false;
    int v = 0;
    for (std::size_t i = at; i < at + n; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        v = v * 10 + (s[i] - '0');
    }
    *value = v;
    return true;
}

}  // namespace

bool IsRealDay(int year, int month, int day) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || day < 1) return false;
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return day <= kDays[month - 1] + (month == 2 && leap ? 1 : 0);
}

double DateFromCivil(const CivilTime &t) {
    const long long days = DaysFromCivil(t.year, static_cast<unsigned>(t.month), static_cast<unsigned>(t.day)) - kEpoch;
    const double fraction = (t.hour * 60 + t.minute) / 1440.0;
    // Before the epoch the day counts down while the time of day still adds up.
    return days >= 0 ? static_cast<double>(days) + fraction : static_cast<double>(days) - fraction;
}

std::string ClockChangeNote(double date) {
#ifdef _WIN32
    (void)date;
    return {};
#else
    const auto t = CivilFromDate(date);
    if (!t) return {};
    const velqo::service::LocalInstant at =
        velqo::service::ResolveLocalTime(t->year, t->month, t->day, t->hour, t->minute, 0);
    if (at.kind == velqo::service::WallClock::kOnce) return {};
    char wanted[8], actual[8];
    std::snprintf(wanted, sizeof wanted, "%02d:%02d", t->hour, t->minute);
    if (at.kind == velqo::service::WallClock::kRepeated)
        return std::string(wanted) + " happens twice: runs at the first";
    tm parts{};
    localtime_r(&at.instant, &parts);
    std::snprintf(actual, sizeof actual, "%02d:%02d", parts.tm_hour, parts.tm_min);
    return std::string(wanted) + " does not exist: runs at " + actual;
#endif
}

std::optional<CivilTime> CivilFromDate(double date) {
    if (!std::isfinite(date) || date < -657435.0 || date >= 2958466.0) return std::nullopt;
    double whole = std::trunc(date);
    long long seconds = std::llround(std::fabs(date - whole) * 86400.0);
    if (seconds >= 86400) {
        seconds -= 86400;
        whole += date < 0 ? -1 : 1;
    }
    CivilTime t;
    CivilFromDays(static_cast<long long>(whole) + kEpoch, &t.year, &t.month, &t.day);
    t.hour = static_cast<int>(seconds / 3600);
    t.minute = static_cast<int>(seconds / 60 % 60);
    if (t.year < 100 || t.year > 9999) return std::nullopt;
    return t;
}

std::string FormatDateTime(double date) {
    const auto t = CivilFromDate(date);
    if (!t) return "(invalid date)";
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d", t->year, t->month, t->day, t->hour, t->minute);
    return buffer;
}

std::string FormatDay(double date) {
    const auto t = CivilFromDate(date);
    if (!t) return "(invalid date)";
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d", t->year, t->month, t->day);
    return buffer;
}

std::string FormatTimeOfDay(double date) {
    const auto t = CivilFromDate(date);
    if (!t) return "(invalid time)";
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%02d:%02d", t->hour, t->minute);
    return buffer;
}

double ParseDateTime(std::string_view text, double now, std::string_view what) {
    const std::string t = Lower(Trim(text));
    if (t == "now") return now;
    if (t == "today") return std::trunc(now);
    auto fail = [&](const std::string &why) {
        throw UsageError(std::string(what) + ": '" + std::string(text) + "' " + why);
    };
    CivilTime c;
    if (!(t.size() == 10 || t.size() == 16) || !Digits(t, 0, 4, &c.year) || t[4] != '-' || !Digits(t, 5, 2, &c.month) ||
        t[7] != '-' || !Digits(t, 8, 2, &c.day))
        fail("is not a date as YYYY-MM-DD or YYYY-MM-DDTHH:MM");
    if (t.size() == 16) {
        if ((t[10] != 't' && t[10] != ' ') || !Digits(t, 11, 2, &c.hour) || t[13] != ':' ||
            !Digits(t, 14, 2, &c.minute))
            fail("is not a date as YYYY-MM-DD or YYYY-MM-DDTHH:MM");
        if (c.hour > 23 || c.minute > 59) fail("has no such time of day");
    }
    if (c.year < 100 || !IsRealDay(c.year, c.month, c.day)) fail("is no day of the calendar");
    return DateFromCivil(c);
}

int ParseTimeOfDay(std::string_view text, std::string_view what) {
    const std::string t = Trim(text);
    int h = 0, m = 0;
    const std::size_t colon = t.find(':');
    const bool shaped =
        (colon == 1 || colon == 2) && t.size() == colon + 3 && Digits(t, 0, colon, &h) && Digits(t, colon + 1, 2, &m);
    if (!shaped) throw UsageError(std::string(what) + ": '" + std::string(text) + "' is not a time as HH:MM");
    if (h > 23 || m > 59) throw UsageError(std::string(what) + ": '" + std::string(text) + "' has no such time of day");
    return h * 60 + m;
}

double LocalNow() {
    SYSTEMTIME st{};
    GetLocalTime(&st);
    CivilTime c{st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute};
    return DateFromCivil(c);
}

}  // namespace vtask
