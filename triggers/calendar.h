// Calendar packing of a trigger record: dates and times built from the
// record's year, month, day, hour and minute fields, and the calendar
// components of a Date written back into them.
#pragma once

#include <cstdint>

#include "service/platform.h"

namespace velqosch {

// Midnight of the given day. A year of 0 to 99 is a two-digit year (0 to 29
// give 2000 to 2029, 30 to 99 give 1930 to 1999); a month outside 1 to 12
// carries into the year and a day outside the month into the month, so
// (0, 0, 0) is 30 November 1999. Error 5 when the day falls outside the
// Date range (years 100 to 9999).
DATE PackDate(SHORT year, SHORT month, SHORT day);

// That time of day on day zero (30 December 1899); hours and minutes beyond
// their ranges carry into the days.
DATE PackTime(SHORT hour, SHORT minute, SHORT second);

// The calendar components of a Date, to the nearest second. Error 5 for a
// value outside the Date range (or not a number).
struct CalendarParts {
    SHORT year = 0;
    SHORT month = 0;
    SHORT day = 0;
    SHORT hour = 0;
    SHORT minute = 0;
    SHORT second = 0;
};
CalendarParts UnpackDate(DATE value);

}  // namespace velqosch
