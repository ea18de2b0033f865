// The end of a trigger's repetition window, for runs the window ends.
#include <ctime>

#include "platform/service/control/control.h"

namespace velqo::service {

bool RepetitionWindowEnd(const TASK_TRIGGER &trigger, long long firedAt, long long *end) noexcept {
    if (!end || !(trigger.rgFlags & TASK_TRIGGER_FLAG_KILL_AT_DURATION_END) || !trigger.MinutesDuration) return false;
    time_t fired = time_t(firedAt);
    tm start{};
    if (!localtime_r(&fired, &start)) return false;
    start.tm_hour = trigger.wStartHour;
    start.tm_min = trigger.wStartMinute;
    start.tm_sec = 0;
    start.tm_isdst = -1;
    time_t opens = mktime(&start);
    if (opens == time_t(-1)) return false;
    // The day before when today's window opens only after the run started;
    // the calendar step keeps the hour across a daylight-saving change.
    if (opens > fired) {
        --start.tm_mday;
        start.tm_hour = trigger.wStartHour;
        start.tm_min = trigger.wStartMinute;
        start.tm_isdst = -1;
        opens = mktime(&start);
    }
    *end = static_cast<long long>(opens) + static_cast<long long>(trigger.MinutesDuration) * 60;
    return true;
}

}  // namespace velqo::service
