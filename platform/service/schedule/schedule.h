// Run times, trigger validation, trigger texts and statuses of work items.
// All times are local wall-clock times as SYSTEMTIME; input day-of-week and
// milliseconds are ignored, output times carry the right day of the week.
#pragma once

#include <mstask.h>
#include <windows.h>

#include <cstddef>
#include <ctime>
#include <string>
#include <vector>

namespace velqo::service {

struct JobData;

// SetTrigger's rules: E_INVALIDARG for a record the service refuses, S_OK otherwise.
HRESULT ValidateTrigger(const TASK_TRIGGER &trigger) noexcept;

// The trigger CreateTrigger hands out: daily every day, beginning on `now`'s
// date at its hour and minute, TASK_TRIGGER_FLAG_DISABLED set.
TASK_TRIGGER DefaultTrigger(const SYSTEMTIME &now) noexcept;

// The item's run times from `begin` (inclusive) up to `end` (inclusive; null =
// no limit), ascending, each once, at most `max` (1..TASK_MAX_RUN_TIMES).
// S_OK when `max` were found, S_FALSE for fewer; SCHED_S_TASK_DISABLED,
// SCHED_S_TASK_NO_VALID_TRIGGERS or SCHED_S_EVENT_TRIGGER with `out` empty;
// E_INVALIDARG for a `max` out of range.
HRESULT RunTimes(const std::vector<TASK_TRIGGER> &triggers, DWORD taskFlags, const SYSTEMTIME &begin,
                 const SYSTEMTIME *end, std::size_t max, std::vector<SYSTEMTIME> &out) noexcept;

// The first run time at or after `after`; a zeroed `out` and the SCHED_S_*
// code of RunTimes when there is none.
HRESULT NextRunTime(const std::vector<TASK_TRIGGER> &triggers, DWORD taskFlags, const SYSTEMTIME &after,
                    SYSTEMTIME &out) noexcept;

// The local wall-clock time of an instant.
SYSTEMTIME WallClockAt(time_t t);

// The instant of the first run at or after the instant `after`: the local
// run times turned into instants as local_time.h says (a time the clocks
// skip runs at the first instant after the gap, a time they repeat runs at
// its first occurrence only, so that no run is lost or doubled). False when
// there is none. `wallClock`, when given, receives the local run time.
bool NextRunInstant(const std::vector<TASK_TRIGGER> &triggers, DWORD taskFlags, time_t after, time_t *at,
                    SYSTEMTIME *wallClock = nullptr) noexcept;

// GetStatus's answer for the item at `now`: SCHED_S_TASK_RUNNING while the
// daemon runs it, DISABLED, NOT_SCHEDULED, NO_VALID_TRIGGERS, HAS_NOT_RUN,
// NO_MORE_RUNS or READY.
HRESULT ItemStatus(const JobData &job, const SYSTEMTIME &now) noexcept;

// GetTriggerString's English text, e.g. "At 9:30 AM every Mon, Fri of every
// week, starting 12/1/2026".
std::u16string TriggerText(const TASK_TRIGGER &trigger);

}  // namespace velqo::service
