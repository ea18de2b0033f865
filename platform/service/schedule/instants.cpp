// Run times as instants: the daemon's view of the local run times.
#include <time.h>

#include "platform/service/schedule/local_time.h"
#include "platform/service/schedule/schedule.h"

namespace velqo::service {

namespace {

// The calendar fields of broken-down time, to the second.
SYSTEMTIME FromParts(const tm &parts) {
    SYSTEMTIME s{};
    s.wYear = WORD(parts.tm_year + 1900);
    s.wMonth = WORD(parts.tm_mon + 1);
    s.wDayOfWeek = WORD(parts.tm_wday);
    s.wDay = WORD(parts.tm_mday);
    s.wHour = WORD(parts.tm_hour);
    s.wMinute = WORD(parts.tm_min);
    s.wSecond = WORD(parts.tm_sec);
    return s;
}

// The wall-clock time one second after `s` (calendar arithmetic, no zone).
SYSTEMTIME NextSecond(const SYSTEMTIME &s) {
    tm parts{};
    parts.tm_year = s.wYear - 1900;
    parts.tm_mon = s.wMonth - 1;
    parts.tm_mday = s.wDay;
    parts.tm_hour = s.wHour;
    parts.tm_min = s.wMinute;
    parts.tm_sec = s.wSecond + 1;
    const time_t key = timegm(&parts);
    tm back{};
    gmtime_r(&key, &back);
    SYSTEMTIME next = FromParts(back);
    next.wDayOfWeek = 0;
    return next;
}

bool IsZero(const SYSTEMTIME &s) { return !s.wYear && !s.wMonth && !s.wDay; }

}  // namespace

SYSTEMTIME WallClockAt(time_t t) {
    tm parts{};
    localtime_r(&t, &parts);
    return FromParts(parts);
}

bool NextRunInstant(const std::vector<TASK_TRIGGER> &triggers, DWORD taskFlags, time_t after, time_t *at,
                    SYSTEMTIME *wallClock) noexcept {
    SYSTEMTIME from = WallClockAt(after);
    // A wall-clock time of the repeated hour that maps to an instant before
    // `after` had its run at its first occurrence: look past it. Each step
    // moves on by at least a second of wall-clock time, and the repeated
    // hour holds at most 3,600 of them.
    for (int step = 0; step < 4000; ++step) {
        SYSTEMTIME next{};
        if (NextRunTime(triggers, taskFlags, from, next) != S_OK || IsZero(next)) return false;
        const LocalInstant resolved =
            ResolveLocalTime(next.wYear, next.wMonth, next.wDay, next.wHour, next.wMinute, next.wSecond);
        if (resolved.instant == time_t(-1)) return false;
        if (resolved.instant >= after) {
            *at = resolved.instant;
            if (wallClock) *wallClock = next;
            return true;
        }
        from = NextSecond(next);
    }
    return false;
}

}  // namespace velqo::service
