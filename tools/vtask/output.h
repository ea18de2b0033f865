// What vtask prints: the task table, a task's settings and triggers, run
// times, and errors, as text or as JSON.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace vtask {

// A JSON value; object members keep the order in which they were added.
class Json {
public:
    using Array = std::vector<Json>;
    using Members = std::vector<std::pair<std::string, Json>>;

    Json() = default;  // null
    Json(bool b) : value_(b) {}
    Json(int i) : value_(static_cast<std::int64_t>(i)) {}
    Json(std::int64_t i) : value_(i) {}
    Json(std::string s) : value_(std::move(s)) {}
    Json(const char *s) : value_(std::string(s)) {}
    static Json MakeArray() {
        Json j;
        j.value_ = Array();
        return j;
    }
    static Json MakeObject() {
        Json j;
        j.value_ = Members();
        return j;
    }

    Json &Add(Json item);                    // to an array
    Json &Add(std::string key, Json value);  // to an object
    void Write(std::ostream &out, int indent = 0) const;

private:
    std::variant<std::nullptr_t, bool, std::int64_t, std::string, Array, Members> value_{nullptr};
};

std::string JsonQuote(const std::string &text);

// The dates below are automation dates; 0 means "no time" where optional.
struct TaskRow {
    std::string name;
    std::int32_t status = 0;
    double nextRun = 0;
    std::string application;
};

struct TriggerInfo {
    std::int32_t index = 0;
    std::int32_t type = 0;
    std::string description;  // or why there is none
    bool descriptionFailed = false;
    double startTime = 0;
    double beginDate = 0;
    double endDate = 0;
    std::int32_t flags = 0;
    std::int32_t minutesInterval = 0;
    std::int32_t minutesDuration = 0;
    std::int32_t randomMinutes = 0;
    std::int32_t daysInterval = 0;
    std::int32_t weeksInterval = 0;
    std::int32_t daysOfTheWeek = 0;
    std::int32_t daysOfTheMonth = 0;
    std::int32_t monthsOfTheYear = 0;
    std::int32_t whichWeeks = 0;
};

struct TaskInfo {
    std::string name;
    std::string application;
    std::string parameters;
    std::string workingDirectory;
    std::string comment;
    std::string creator;
    std::optional<std::string> account;  // none when the service has no account set
    std::int32_t priority = 0;
    std::int32_t maxRunTime = 0;
    std::int32_t flags = 0;
    std::int32_t idleWait = 0;
    std::int32_t idleDeadline = 0;
    std::int32_t status = 0;
    std::int32_t exitCode = 0;
    double mostRecentRun = 0;
    double nextRun = 0;
    std::size_t dataSize = 0;
    std::vector<TriggerInfo> triggers;
    std::vector<double> nextRuns;
    bool eventTriggersOnly = false;  // the service gives run times only for time triggers
};

// The run times of a period: `times`, or only event triggers (no times).
struct RunTimes {
    std::vector<double> times;
    bool eventTriggersOnly = false;
    bool capped = false;  // the service delivered its most in one call
};

void PrintTaskList(std::ostream &out, const std::vector<TaskRow> &rows, bool json);
void PrintTask(std::ostream &out, const TaskInfo &task, bool json);
void PrintRunTimes(std::ostream &out, const RunTimes &runs, bool json);

// Text of single values, shared by the printers.
std::string OptionalDateText(double date);              // "-" for no time
std::string MaxRunTimeText(std::int32_t ms);            // "72:00:00", "none"
std::string TriggerScheduleText(const TriggerInfo &t);  // the type's own fields

}  // namespace vtask
