#include "tools/vtask/output.h"

#include <algorithm>
#include <cstdio>

#include "tools/vtask/dates.h"
#include "tools/vtask/text.h"
#include "tools/vtask/words.h"

namespace vtask {

namespace {

// A run time as listed, with how a clock change moves it.
std::string RunTimeLine(double date) {
    const std::string note = ClockChangeNote(date);
    return note.empty() ? FormatDateTime(date) : FormatDateTime(date) + "  (" + note + ")";
}

}  // namespace

// --- JSON ----------------------------------------------------------------------

Json &Json::Add(Json item) {
    auto &array = std::get<Array>(value_);
    array.push_back(std::move(item));
    return array.back();
}

Json &Json::Add(std::string key, Json value) {
    auto &members = std::get<Members>(value_);
    members.emplace_back(std::move(key), std::move(value));
    return members.back().second;
}

std::string JsonQuote(const std::string &text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    char buffer[8];
                    std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
                    out += buffer;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

void Json::Write(std::ostream &out, int indent) const {
    const std::string pad(static_cast<std::size_t>(indent + 2), ' ');
    const std::string end(static_cast<std::size_t>(indent), ' ');
    if (std::holds_alternative<std::nullptr_t>(value_)) {
        out << "null";
    } else if (const bool *b = std::get_if<bool>(&value_)) {
        out << (*b ? "true" : "false");
    } else if (const auto *i = std::get_if<std::int64_t>(&value_)) {
        out << *i;
    } else if (const auto *s = std::get_if<std::string>(&value_)) {
        out << JsonQuote(*s);
    } else if (const auto *a = std::get_if<Array>(&value_)) {
        if (a->empty()) {
            out << "[]";
            return;
        }
        out << "[\n";
        for (std::size_t k = 0; k < a->size(); ++k) {
            out << pad;
            (*a)[k].Write(out, indent + 2);
            out << (k + 1 < a->size() ? ",\n" : "\n");
        }
        out << end << "]";
    } else {
        const auto &m = std::get<Members>(value_);
        if (m.empty()) {
            out << "{}";
            return;
        }
        out << "{\n";
        for (std::size_t k = 0; k < m.size(); ++k) {
            out << pad << JsonQuote(m[k].first) << ": ";
            m[k].second.Write(out, indent + 2);
            out << (k + 1 < m.size() ? ",\n" : "\n");
        }
        out << end << "}";
    }
}

// --- single values -----------------------------------------------------------------

namespace {

Json OptionalDateJson(double date) { return date == 0 ? Json() : Json(FormatDateTime(date)); }

// Width on a terminal, counting code points rather than bytes.
std::size_t Width(const std::string &text) {
    std::size_t n = 0;
    for (unsigned char c : text) n += (c & 0xC0) != 0x80;
    return n;
}

std::string Padded(const std::string &text, std::size_t width) {
    const std::size_t w = Width(text);
    return w >= width ? text : text + std::string(width - w, ' ');
}

std::string Plural(std::int32_t n, const char *unit) { return std::to_string(n) + " " + unit + (n == 1 ? "" : "s"); }

bool HasEndDate(const TriggerInfo &t) { return t.flags & 0x1; }

}  // namespace

std::string OptionalDateText(double date) { return date == 0 ? "-" : FormatDateTime(date); }

std::string MaxRunTimeText(std::int32_t ms) {
    if (ms == -1) return "none";
    const auto value = static_cast<std::uint32_t>(ms);
    const std::uint32_t seconds = value / 1000, rest = value % 1000;
    char buffer[48];
    if (rest)
        std::snprintf(buffer, sizeof buffer, "%u:%02u:%02u.%03u", seconds / 3600, seconds / 60 % 60, seconds % 60,
                      rest);
    else
        std::snprintf(buffer, sizeof buffer, "%u:%02u:%02u", seconds / 3600, seconds / 60 % 60, seconds % 60);
    return buffer;
}

std::string TriggerScheduleText(const TriggerInfo &t) {
    std::string s;
    switch (t.type) {
        case 0: s = "once on " + FormatDay(t.beginDate); break;
        case 1: s = "every " + Plural(t.daysInterval, "day"); break;
        case 2: s = "every " + Plural(t.weeksInterval, "week") + " on " + DaysText(t.daysOfTheWeek); break;
        case 3:
            s = "on day " + DaysOfMonthText(static_cast<std::uint32_t>(t.daysOfTheMonth)) + " of " +
                MonthsText(t.monthsOfTheYear & 0xFFFF) + " months";
            break;
        case 4:
            s = "on the " + WhichWeekText(t.whichWeeks) + " " + DaysText(t.daysOfTheWeek & 0xFFFF) + " of " +
                MonthsText(t.monthsOfTheYear & 0xFFFF) + " months";
            break;
        default: return TriggerTypeText(t.type);
    }
    s += " at " + FormatTimeOfDay(t.startTime);
    if (t.type != 0) s += ", from " + FormatDay(t.beginDate);
    if (HasEndDate(t)) s += " until " + FormatDay(t.endDate);
    if (t.minutesInterval > 0)
        s += ", every " + Plural(t.minutesInterval, "minute") + " for " + Plural(t.minutesDuration, "minute");
    return s;
}

// --- the printers ----------------------------------------------------------------

void PrintTaskList(std::ostream &out, const std::vector<TaskRow> &rows, bool json) {
    if (json) {
        Json list = Json::MakeArray();
        for (const TaskRow &r : rows) {
            Json &item = list.Add(Json::MakeObject());
            item.Add("name", r.name);
            item.Add("status", StatusText(r.status));
            item.Add("statusCode", r.status);
            item.Add("nextRun", OptionalDateJson(r.nextRun));
            item.Add("application", r.application);
        }
        list.Write(out);
        out << "\n";
        return;
    }
    const std::vector<std::string> heads = {"NAME", "STATUS", "NEXT RUN", "APPLICATION"};
    std::vector<std::vector<std::string>> cells;
    for (const TaskRow &r : rows)
        cells.push_back({r.name, StatusText(r.status), OptionalDateText(r.nextRun), r.application});
    std::vector<std::size_t> widths;
    for (const auto &h : heads) widths.push_back(Width(h));
    for (const auto &row : cells)
        for (std::size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], Width(row[c]));
    auto line = [&](const std::vector<std::string> &row) {
        std::string text;
        for (std::size_t c = 0; c < row.size(); ++c)
            text += c + 1 < row.size() ? Padded(row[c], widths[c]) + "  " : row[c];
        out << text << "\n";
    };
    line(heads);
    for (const auto &row : cells) line(row);
}

void PrintTask(std::ostream &out, const TaskInfo &t, bool json) {
    if (json) {
        Json o = Json::MakeObject();
        o.Add("name", t.name);
        o.Add("application", t.application);
        o.Add("parameters", t.parameters);
        o.Add("workingDirectory", t.workingDirectory);
        o.Add("comment", t.comment);
        o.Add("creator", t.creator);
        o.Add("account", t.account ? Json(*t.account) : Json());
        o.Add("priority", PriorityText(t.priority));
        o.Add("maxRunTime", static_cast<std::int64_t>(t.maxRunTime));
        o.Add("flags", TaskFlagsText(t.flags));
        o.Add("flagsValue", t.flags);
        o.Add("idleWaitMinutes", t.idleWait);
        o.Add("idleDeadlineMinutes", t.idleDeadline);
        o.Add("status", StatusText(t.status));
        o.Add("statusCode", t.status);
        o.Add("exitCode", t.exitCode);
        o.Add("mostRecentRun", OptionalDateJson(t.mostRecentRun));
        o.Add("nextRun", OptionalDateJson(t.nextRun));
        o.Add("dataBytes", static_cast<std::int64_t>(t.dataSize));
        Json &triggers = o.Add("triggers", Json::MakeArray());
        for (const TriggerInfo &g : t.triggers) {
            Json &j = triggers.Add(Json::MakeObject());
            j.Add("index", g.index);
            j.Add("description", g.descriptionFailed ? Json() : Json(g.description));
            j.Add("type", TriggerTypeText(g.type));
            j.Add("schedule", TriggerScheduleText(g));
            j.Add("start", FormatTimeOfDay(g.startTime));
            j.Add("begin", FormatDay(g.beginDate));
            j.Add("end", HasEndDate(g) ? Json(FormatDay(g.endDate)) : Json());
            j.Add("minutesInterval", g.minutesInterval);
            j.Add("minutesDuration", g.minutesDuration);
            j.Add("flags", TriggerFlagsText(g.flags));
        }
        Json &runs = o.Add("nextRuns", Json::MakeArray());
        for (double d : t.nextRuns) runs.Add(FormatDateTime(d));
        o.Write(out);
        out << "\n";
        return;
    }
    auto row = [&](const char *label, const std::string &value) {
        out << Padded(std::string(label) + ":", 20) << value << "\n";
    };
    row("Name", t.name);
    row("Application", t.application);
    row("Parameters", t.parameters);
    row("Working directory", t.workingDirectory);
    row("Comment", t.comment);
    row("Creator", t.creator);
    row("Account", t.account ? *t.account : "(none set)");
    row("Priority", PriorityText(t.priority));
    row("Max run time", MaxRunTimeText(t.maxRunTime));
    row("Flags", TaskFlagsText(t.flags));
    row("Idle wait", Plural(t.idleWait, "minute") + ", deadline " + Plural(t.idleDeadline, "minute"));
    row("Status", StatusText(t.status));
    row("Exit code", std::to_string(t.exitCode));
    row("Most recent run", OptionalDateText(t.mostRecentRun));
    row("Next run", OptionalDateText(t.nextRun));
    row("Data", std::to_string(t.dataSize) + (t.dataSize == 1 ? " byte" : " bytes"));
    row("Triggers", std::to_string(t.triggers.size()));
    for (const TriggerInfo &g : t.triggers) {
        out << "  [" << g.index << "] "
            << (g.descriptionFailed ? "(no description: " + g.description + ")" : g.description) << "\n";
        out << "      " << TriggerScheduleText(g);
        if (g.flags & ~0x1) out << "; flags " << TriggerFlagsText(g.flags & ~0x1);
        out << "\n";
    }
    if (t.eventTriggersOnly) {
        row("Next runs", "(event triggers only)");
    } else if (t.nextRuns.empty()) {
        row("Next runs", "-");
    } else {
        out << "Next runs:\n";
        for (double d : t.nextRuns) out << "  " << RunTimeLine(d) << "\n";
    }
}

void PrintRunTimes(std::ostream &out, const RunTimes &runs, bool json) {
    if (json) {
        Json list = Json::MakeArray();
        for (double d : runs.times) list.Add(FormatDateTime(d));
        list.Write(out);
        out << "\n";
        return;
    }
    if (runs.eventTriggersOnly) {
        out << "(event triggers only: no run times)\n";
        return;
    }
    for (double d : runs.times) out << RunTimeLine(d) << "\n";
    if (runs.capped) out << "(the first " << runs.times.size() << " run times of the period)\n";
}

}  // namespace vtask
