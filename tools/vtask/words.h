// The words of vtask's command line and output for the component's numbers:
// days, months, weeks, priorities, task and trigger flags, trigger types and
// task statuses. Each Parse takes what the matching Text prints.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vtask {

// Weekday bits (Sunday 0x1 ... Saturday 0x40): "mon,fri", full names too.
std::uint32_t ParseDays(std::string_view list);
std::string DaysText(std::uint32_t mask);

// Month bits (January 0x1 ... December 0x800): "jan,jul", full names, "all".
std::uint32_t ParseMonths(std::string_view list);
std::string MonthsText(std::uint32_t mask);

// Day-of-month bits (bit d-1 for day d): "1,15", ranges "1-5", "last" is not
// a day of the record and is refused.
std::uint32_t ParseDaysOfMonth(std::string_view list);
std::string DaysOfMonthText(std::uint32_t mask);

// Week of the month: first 1 ... fourth 4, last 5.
int ParseWhichWeek(std::string_view word);
std::string WhichWeekText(int week);

// Priority classes: normal 0x20, idle 0x40, high 0x80, realtime 0x100.
std::int32_t ParsePriority(std::string_view word);
std::string PriorityText(std::int32_t priority);

// Task flags: "disabled,hidden" gives exactly those, "none" no flag; a list
// whose every item starts with + or - changes `current` instead.
std::int32_t ParseTaskFlags(std::string_view list, std::int32_t current);
std::string TaskFlagsText(std::int32_t flags);

std::string TriggerFlagsText(std::int32_t flags);
std::string TriggerTypeText(std::int32_t type);
// The service's status codes by name ("ready", "not scheduled", ...).
std::string StatusText(std::int32_t status);

}  // namespace vtask
