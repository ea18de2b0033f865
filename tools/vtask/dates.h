// Automation dates (days since midnight, 30 December 1899, the fraction being
// the time of day) in vtask's notation: YYYY-MM-DD HH:MM, local time as the
// component gives and takes it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vtask {

struct CivilTime {
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
};

bool IsRealDay(int year, int month, int day);
// The automation date of a calendar day and time; the parts must be valid.
double DateFromCivil(const CivilTime &t);
// Calendar parts of an automation date, to the nearest second (the seconds are
// dropped); none outside the years 100 to 9999 or for a value that is no number.
std::optional<CivilTime> CivilFromDate(double date);

std::string FormatDateTime(double date);   // "2026-12-07 09:30"
std::string FormatDay(double date);        // "2026-12-07"
std::string FormatTimeOfDay(double date);  // "09:30"

// How the service runs a local run time that the local clock changes make
// ambiguous, for listing next to it: "02:30 does not exist: runs at 03:00",
// "02:30 happens twice: runs at the first"; empty for an ordinary time (and
// on Windows, whose service has its own rules).
std::string ClockChangeNote(double date);

// YYYY-MM-DD, YYYY-MM-DDTHH:MM or "YYYY-MM-DD HH:MM"; also "now" and
// "today" (midnight) relative to `now`. A bad text raises UsageError naming
// `what`.
double ParseDateTime(std::string_view text, double now, std::string_view what);
// HH:MM (H:MM too), 00:00 to 23:59: minutes since midnight.
int ParseTimeOfDay(std::string_view text, std::string_view what);

// The local time now as an automation date.
double LocalNow();

}  // namespace vtask
