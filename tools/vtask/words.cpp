#include "tools/vtask/words.h"

#include <iterator>
#include <vector>

#include "tools/vtask/text.h"

namespace vtask {

namespace {

struct Word {
    const char *name;
    std::uint32_t value;
};

constexpr Word kDays[] = {{"sun", 0x1},  {"mon", 0x2},  {"tue", 0x4}, {"wed", 0x8},
                          {"thu", 0x10}, {"fri", 0x20}, {"sat", 0x40}};
constexpr const char *kDayNames[] = {"sunday", "monday", "tuesday", "wednesday", "thursday", "friday", "saturday"};
constexpr const char *kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun", "jul", "aug", "sep", "oct", "nov", "dec"};
constexpr const char *kMonthNames[] = {"january", "february", "march",     "april",   "may",      "june",
                                       "july",    "august",   "september", "october", "november", "december"};
constexpr const char *kWeeks[] = {"first", "second", "third", "fourth", "last"};

constexpr Word kTaskFlags[] = {
    {"interactive", 0x1},
    {"delete-when-done", 0x2},
    {"disabled", 0x4},
    {"start-only-if-idle", 0x10},
    {"kill-on-idle-end", 0x20},
    {"dont-start-if-on-batteries", 0x40},
    {"kill-if-going-on-batteries", 0x80},
    {"run-only-if-docked", 0x100},
    {"hidden", 0x200},
    {"run-if-connected-to-internet", 0x400},
    {"restart-on-idle-resume", 0x800},
    {"system-required", 0x1000},
    {"run-only-if-logged-on", 0x2000},
};
constexpr Word kTriggerFlags[] = {{"has-end-date", 0x1}, {"kill-at-duration-end", 0x2}, {"disabled", 0x4}};
constexpr Word kPriorities[] = {{"normal", 0x20}, {"idle", 0x40}, {"high", 0x80}, {"realtime", 0x100}};
constexpr const char *kTriggerTypes[] = {"once",        "daily",   "weekly",          "monthly-date",
                                         "monthly-dow", "on-idle", "at-system-start", "at-logon"};

std::string JoinBits(std::uint32_t mask, const Word *words, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        if (!(mask & words[i].value)) continue;
        if (!out.empty()) out += ',';
        out += words[i].name;
        mask &= ~words[i].value;
    }
    if (mask) {
        if (!out.empty()) out += ',';
        out += Hex32(mask);
    }
    return out.empty() ? "none" : out;
}

std::string Known(std::string_view what, const std::vector<std::string> &names) {
    std::string out = std::string(what) + " (one of";
    for (std::size_t i = 0; i < names.size(); ++i) out += (i ? ", " : " ") + names[i];
    return out + ")";
}

}  // namespace

std::uint32_t ParseDays(std::string_view list) {
    std::uint32_t mask = 0;
    for (const std::string &item : SplitList(list, "--days")) {
        const std::string w = Lower(item);
        bool found = false;
        for (std::size_t i = 0; i < std::size(kDays); ++i) {
            if (w == kDays[i].name || w == kDayNames[i]) {
                mask |= kDays[i].value;
                found = true;
            }
        }
        if (!found) throw UsageError("--days: unknown day '" + item + "' (sun, mon, tue, wed, thu, fri, sat)");
    }
    return mask;
}

std::string DaysText(std::uint32_t mask) {
    // Monday first, as a week is read.
    static constexpr Word kOrder[] = {{"mon", 0x2},  {"tue", 0x4},  {"wed", 0x8}, {"thu", 0x10},
                                      {"fri", 0x20}, {"sat", 0x40}, {"sun", 0x1}};
    return JoinBits(mask, kOrder, std::size(kOrder));
}

std::uint32_t ParseMonths(std::string_view list) {
    if (Lower(Trim(list)) == "all") return 0xFFF;
    std::uint32_t mask = 0;
    for (const std::string &item : SplitList(list, "--months")) {
        const std::string w = Lower(item);
        bool found = false;
        for (std::size_t i = 0; i < 12; ++i) {
            if (w == kMonths[i] || w == kMonthNames[i]) {
                mask |= 1u << i;
                found = true;
            }
        }
        if (!found) throw UsageError("--months: unknown month '" + item + "' (jan ... dec, or all)");
    }
    return mask;
}

std::string MonthsText(std::uint32_t mask) {
    if ((mask & 0xFFF) == 0xFFF && !(mask & ~0xFFFu)) return "all";
    Word words[12];
    for (std::size_t i = 0; i < 12; ++i) words[i] = {kMonths[i], 1u << i};
    return JoinBits(mask, words, 12);
}

std::uint32_t ParseDaysOfMonth(std::string_view list) {
    std::uint32_t mask = 0;
    for (const std::string &item : SplitList(list, "--monthly-date")) {
        const std::size_t dash = item.find('-', 1);
        const auto first = ParseInteger(item.substr(0, dash), 1, 31, "--monthly-date");
        const auto last =
            dash == std::string::npos ? first : ParseInteger(item.substr(dash + 1), 1, 31, "--monthly-date");
        if (last < first) throw UsageError("--monthly-date: range '" + item + "' runs backwards");
        for (auto d = first; d <= last; ++d) mask |= 1u << (d - 1);
    }
    return mask;
}

std::string DaysOfMonthText(std::uint32_t mask) {
    std::string out;
    for (int d = 1; d <= 32; ++d) {
        if (!(mask & (1u << (d - 1)))) continue;
        if (!out.empty()) out += ',';
        out += d == 32 ? Hex32(0x80000000u) : std::to_string(d);
    }
    return out.empty() ? "none" : out;
}

int ParseWhichWeek(std::string_view word) {
    const std::string w = Lower(Trim(word));
    for (int i = 0; i < 5; ++i)
        if (w == kWeeks[i]) return i + 1;
    throw UsageError("--monthly-dow: unknown week '" + std::string(word) + "' (first, second, third, fourth, last)");
}

std::string WhichWeekText(int week) {
    if (week >= 1 && week <= 5) return kWeeks[week - 1];
    return std::to_string(week);
}

std::int32_t ParsePriority(std::string_view word) {
    const std::string w = Lower(Trim(word));
    for (const Word &p : kPriorities)
        if (w == p.name) return static_cast<std::int32_t>(p.value);
    throw UsageError("--priority: unknown priority '" + std::string(word) + "' (normal, high, idle, realtime)");
}

std::string PriorityText(std::int32_t priority) {
    for (const Word &p : kPriorities)
        if (static_cast<std::uint32_t>(priority) == p.value) return p.name;
    return Hex32(static_cast<std::uint32_t>(priority));
}

std::int32_t ParseTaskFlags(std::string_view list, std::int32_t current) {
    if (Lower(Trim(list)) == "none") return 0;
    const auto items = SplitList(list, "--flags");
    std::size_t signs = 0;
    for (const std::string &item : items) signs += item[0] == '+' || item[0] == '-';
    if (signs != 0 && signs != items.size())
        throw UsageError("--flags: either name every flag or change some with +name and -name, not both");
    std::uint32_t flags = signs ? static_cast<std::uint32_t>(current) : 0;
    for (const std::string &item : items) {
        const std::string name = Lower(signs ? item.substr(1) : item);
        const Word *found = nullptr;
        for (const Word &f : kTaskFlags)
            if (name == f.name) found = &f;
        if (!found) {
            std::vector<std::string> names;
            for (const Word &f : kTaskFlags) names.push_back(f.name);
            throw UsageError("--flags: unknown flag '" + item + "'; " + Known("flags", names));
        }
        if (signs && item[0] == '-')
            flags &= ~found->value;
        else
            flags |= found->value;
    }
    return static_cast<std::int32_t>(flags);
}

std::string TaskFlagsText(std::int32_t flags) {
    return JoinBits(static_cast<std::uint32_t>(flags), kTaskFlags, std::size(kTaskFlags));
}

std::string TriggerFlagsText(std::int32_t flags) {
    return JoinBits(static_cast<std::uint32_t>(flags), kTriggerFlags, std::size(kTriggerFlags));
}

std::string TriggerTypeText(std::int32_t type) {
    if (type >= 0 && type < static_cast<std::int32_t>(std::size(kTriggerTypes))) return kTriggerTypes[type];
    return "type " + std::to_string(type);
}

std::string StatusText(std::int32_t status) {
    static constexpr const char *kStatus[] = {"ready",       "running",           "disabled",
                                              "has not run", "no more runs",      "not scheduled",
                                              "terminated",  "no valid triggers", "event trigger"};
    const std::uint32_t code = static_cast<std::uint32_t>(status);
    if (code >= 0x41300 && code <= 0x41308) return kStatus[code - 0x41300];
    return Hex32(code);
}

}  // namespace vtask
