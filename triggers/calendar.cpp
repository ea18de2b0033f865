#include "triggers/calendar.h"

#include <cmath>

#include "trace/error.h"

namespace velqosch {

namespace {

constexpr int64_t kSecondsPerDay = 86400;
// The Date range: 1 January 100 to 31 December 9999.
constexpr int64_t kFirstDay = -657434;
constexpr int64_t kLastDay = 2958465;

int64_t FloorDiv(int64_t a, int64_t b) {
    int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

// Days from 30 December 1899 to the given day of the proleptic Gregorian
// calendar (month 1 to 12, day from 1).
int64_t DaysFromCivil(int64_t year, int64_t month, int64_t day) {
    year -= month <= 2 ? 1 : 0;
    const int64_t era = FloorDiv(year, 400);
    const int64_t yoe = year - era * 400;
    const int64_t mp = (month + 9) % 12;
    const int64_t doy = (153 * mp + 2) / 5 + day - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    // 719468 days separate 1 March of year 0 from 1 January 1970, and
    // 25569 days lie between 30 December 1899 and 1 January 1970.
    return era * 146097 + doe - 719468 + 25569;
}

void CivilFromDays(int64_t days, int64_t &year, int64_t &month, int64_t &day) {
    const int64_t z = days - 25569 + 719468;
    const int64_t era = FloorDiv(z, 146097);
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    day = doy - (153 * mp + 2) / 5 + 1;
    month = mp < 10 ? mp + 3 : mp - 9;
    year = yoe + era * 400 + (month <= 2 ? 1 : 0);
}

// A Date from whole days and seconds into the day: the day number carries
// the sign, the time of day is always added away from zero.
DATE FromDaysAndSeconds(int64_t days, int64_t seconds) {
    const double fraction = static_cast<double>(seconds) / kSecondsPerDay;
    return days < 0 ? static_cast<double>(days) - fraction : static_cast<double>(days) + fraction;
}

}  // namespace

DATE PackDate(SHORT year, SHORT month, SHORT day) {
    int64_t y = year;
    if (y >= 0 && y <= 29) y += 2000;
    else if (y >= 30 && y <= 99) y += 1900;
    const int64_t months = y * 12 + (int64_t{month} - 1);
    const int64_t carriedYear = FloorDiv(months, 12);
    const int64_t carriedMonth = months - carriedYear * 12 + 1;
    const int64_t days = DaysFromCivil(carriedYear, carriedMonth, 1) + (int64_t{day} - 1);
    if (days < kFirstDay || days > kLastDay) RaiseStandard(kErrInvalidCall);
    return static_cast<double>(days);
}

DATE PackTime(SHORT hour, SHORT minute, SHORT second) {
    const int64_t total = int64_t{hour} * 3600 + int64_t{minute} * 60 + second;
    const int64_t days = FloorDiv(total, kSecondsPerDay);
    return FromDaysAndSeconds(days, total - days * kSecondsPerDay);
}

CalendarParts UnpackDate(DATE value) {
    if (!(value >= static_cast<double>(kFirstDay) && value < static_cast<double>(kLastDay + 1)))
        RaiseStandard(kErrInvalidCall);
    // The whole part is the day (toward zero), the fraction's magnitude the
    // time of day, rounded to the nearest second.
    int64_t days = static_cast<int64_t>(std::trunc(value));
    int64_t seconds = std::llround(std::fabs(value - static_cast<double>(days)) * kSecondsPerDay);
    if (seconds >= kSecondsPerDay) {
        seconds -= kSecondsPerDay;
        days += value < 0 ? -1 : 1;
    }
    int64_t y = 0, m = 0, d = 0;
    CivilFromDays(days, y, m, d);
    CalendarParts parts;
    parts.year = static_cast<SHORT>(y);
    parts.month = static_cast<SHORT>(m);
    parts.day = static_cast<SHORT>(d);
    parts.hour = static_cast<SHORT>(seconds / 3600);
    parts.minute = static_cast<SHORT>(seconds / 60 % 60);
    parts.second = static_cast<SHORT>(seconds % 60);
    return parts;
}

}  // namespace velqosch
