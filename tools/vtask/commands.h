// vtask's commands. Each drives the component only through its published
// surface, late-bound by name (late.h); the option texts are checked in full
// before the first call, so a wrong command line changes nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "tools/vtask/options.h"

namespace vtask {

// The settings of `add` and `set`, checked; unset ones stay as they are.
struct TaskSettings {
    std::optional<std::string> application, parameters, workingDirectory, comment, creator;
    std::optional<std::int32_t> priority, maxRunTime;
    std::optional<std::string> flags;  // a list for ParseTaskFlags, checked
    bool Empty() const;
};
TaskSettings ParseTaskSettings(const ParsedArgs &args);

// A new schedule for `trigger add`, checked.
struct TriggerRequest {
    std::int32_t type = 0;      // TASK_TRIGGER_TYPE
    std::int16_t interval = 0;  // days (daily) or weeks (weekly)
    std::uint32_t daysOfTheWeek = 0;
    std::uint32_t daysOfTheMonth = 0;
    std::uint32_t months = 0;
    std::int32_t whichWeek = 0;
    int startMinutes = 0;                         // since midnight
    std::optional<double> from, until;            // days (automation dates, midnight)
    std::optional<std::int32_t> every, duration;  // minutes
};
TriggerRequest ParseTriggerRequest(const ParsedArgs &args, double now);

// The period of `runs`: --from (default now) to --to (default 31 days on).
struct Period {
    double from = 0, to = 0;
};
Period ParsePeriod(const ParsedArgs &args, double now);

// Runs the command line (without the program name); returns the exit code:
// 0 done, 1 the operation failed, 2 the command line is wrong.
int RunCommandLine(const std::vector<std::string> &args, std::ostream &out, std::ostream &err);

}  // namespace vtask
