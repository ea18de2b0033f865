// Local wall-clock times as instants, across the clock changes of the local
// time zone. A wall-clock time that does not exist (skipped when the clocks
// go forward) stands for the first instant after the gap; one that happens
// twice (when the clocks go back) for its first occurrence. Header-only, so
// that the daemon and the command-line client share it.
#pragma once

#include <time.h>

#include <algorithm>
#include <vector>

namespace velqo::service {

enum class WallClock {
    kOnce,      // the time happens exactly once
    kSkipped,   // it does not exist: `instant` is the first instant after the gap
    kRepeated,  // it happens twice: `instant` is the first occurrence
};

struct LocalInstant {
    time_t instant = -1;
    WallClock kind = WallClock::kOnce;
};

namespace local_time_detail {

// The wall-clock fields as a number that orders them (seconds as if in UTC).
inline time_t WallKey(const tm &t) {
    tm copy = t;
    return timegm(&copy);
}

inline tm LocalAt(time_t t) {
    tm parts{};
    localtime_r(&t, &parts);
    return parts;
}

}  // namespace local_time_detail

// month 1..12; the fields are not normalised beyond what mktime does.
inline LocalInstant ResolveLocalTime(int year, int month, int day, int hour, int minute, int second) {
    using namespace local_time_detail;
    tm want{};
    want.tm_year = year - 1900;
    want.tm_mon = month - 1;
    want.tm_mday = day;
    want.tm_hour = hour;
    want.tm_min = minute;
    want.tm_sec = second;
    const time_t wanted = WallKey(want);
    std::vector<time_t> matching, others;
    for (int dst : {-1, 0, 1}) {
        tm parts = want;
        parts.tm_isdst = dst;
        const time_t t = mktime(&parts);
        if (t == time_t(-1)) continue;
        std::vector<time_t> &into = WallKey(LocalAt(t)) == wanted ? matching : others;
        if (std::find(into.begin(), into.end(), t) == into.end()) into.push_back(t);
    }
    if (!matching.empty())
        return {*std::min_element(matching.begin(), matching.end()),
                matching.size() > 1 ? WallClock::kRepeated : WallClock::kOnce};
    if (others.empty()) return {};
    // In a gap: the first instant whose wall clock is past the wanted time,
    // between the readings of the time with the offsets before and after.
    time_t low = *std::min_element(others.begin(), others.end());
    time_t high = *std::max_element(others.begin(), others.end());
    if (WallKey(LocalAt(high)) <= wanted) return {high, WallClock::kSkipped};
    while (high - low > 1) {
        const time_t middle = low + (high - low) / 2;
        (WallKey(LocalAt(middle)) > wanted ? high : low) = middle;
    }
    return {high, WallClock::kSkipped};
}

}  // namespace velqo::service
