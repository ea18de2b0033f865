// The text form EditWorkItem hands to the user's editor (format in
// objects_internal.h).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <vector>

#include "objects_internal.h"
#include "platform/service/control/control.h"
#include "platform/service/schedule/schedule.h"

namespace velqo::service {
namespace {

constexpr DWORD kNoLimit = 0xFFFFFFFF;  // a maximum run time without limit

struct PriorityName {
    DWORD value;
    const char *name;
};
constexpr PriorityName kPriorities[] = {{NORMAL_PRIORITY_CLASS, "normal"},
                                        {IDLE_PRIORITY_CLASS, "idle"},
                                        {HIGH_PRIORITY_CLASS, "high"},
                                        {REALTIME_PRIORITY_CLASS, "realtime"}};
constexpr const char *kTriggerTypes[] = {"once",        "daily", "weekly",  "monthly-date",
                                         "monthly-dow", "idle",  "startup", "logon"};

std::string Hex(DWORD value) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%08X", static_cast<unsigned>(value));
    return buffer;
}

std::string Date(WORD y, WORD m, WORD d) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%04u-%02u-%02u", y, m, d);
    return buffer;
}

std::string TriggerLine(const TASK_TRIGGER &t) {
    std::ostringstream out;
    const unsigned type = static_cast<unsigned>(t.TriggerType);
    out << (type < 8 ? kTriggerTypes[type] : "once") << " begin=" << Date(t.wBeginYear, t.wBeginMonth, t.wBeginDay);
    if (t.rgFlags & TASK_TRIGGER_FLAG_HAS_END_DATE) out << " end=" << Date(t.wEndYear, t.wEndMonth, t.wEndDay);
    char start[16];
    std::snprintf(start, sizeof start, "%02u:%02u", t.wStartHour, t.wStartMinute);
    out << " start=" << start << " duration=" << t.MinutesDuration << " interval=" << t.MinutesInterval
        << " flags=" << Hex(t.rgFlags) << " random=" << t.wRandomMinutesInterval;
    switch (t.TriggerType) {
        case TASK_TIME_TRIGGER_DAILY: out << " days=" << t.Type.Daily.DaysInterval; break;
        case TASK_TIME_TRIGGER_WEEKLY:
            out << " weeks=" << t.Type.Weekly.WeeksInterval << " dow=" << Hex(t.Type.Weekly.rgfDaysOfTheWeek);
            break;
        case TASK_TIME_TRIGGER_MONTHLYDATE:
            out << " monthdays=" << Hex(t.Type.MonthlyDate.rgfDays) << " months=" << Hex(t.Type.MonthlyDate.rgfMonths);
            break;
        case TASK_TIME_TRIGGER_MONTHLYDOW:
            out << " week=" << t.Type.MonthlyDOW.wWhichWeek << " dow=" << Hex(t.Type.MonthlyDOW.rgfDaysOfTheWeek)
                << " months=" << Hex(t.Type.MonthlyDOW.rgfMonths);
            break;
        default: break;
    }
    return out.str();
}

std::string Trim(std::string_view text) {
    std::size_t b = 0, e = text.size();
    while (b < e && (text[b] == ' ' || text[b] == '\t' || text[b] == '\r')) ++b;
    while (e > b && (text[e - 1] == ' ' || text[e - 1] == '\t' || text[e - 1] == '\r')) --e;
    return std::string(text.substr(b, e - b));
}

// A whole unsigned number (decimal, or hexadecimal with 0x) no larger than max.
bool Number(const std::string &text, unsigned long long max, unsigned long long &out) {
    if (text.empty() || text[0] == '-' || text[0] == '+') return false;
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    char *end = nullptr;
    errno = 0;
    out = std::strtoull(text.c_str(), &end, hex ? 16 : 10);
    return errno == 0 && end && *end == 0 && out <= max;
}

bool ParseDate(const std::string &text, WORD &y, WORD &m, WORD &d) {
    unsigned yy = 0, mm = 0, dd = 0;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%4u-%2u-%2u%c", &yy, &mm, &dd, &tail) != 3) return false;
    y = static_cast<WORD>(yy);
    m = static_cast<WORD>(mm);
    d = static_cast<WORD>(dd);
    return true;
}

bool ParseTrigger(const std::string &line, TASK_TRIGGER &t, std::string &error) {
    std::istringstream words(line);
    std::string type;
    words >> type;
    t = TASK_TRIGGER{};
    t.cbTriggerSize = sizeof(TASK_TRIGGER);
    bool known = false;
    for (unsigned i = 0; i < 8; ++i)
        if (type == kTriggerTypes[i]) {
            t.TriggerType = static_cast<TASK_TRIGGER_TYPE>(i);
            known = true;
        }
    if (!known) {
        error = "unknown trigger type \"" + type + "\"";
        return false;
    }
    bool hasBegin = false, hasEnd = false;
    std::string word;
    while (words >> word) {
        const std::size_t eq = word.find('=');
        const std::string key = word.substr(0, eq), value = eq == std::string::npos ? "" : word.substr(eq + 1);
        unsigned long long n = 0;
        bool ok = true;
        auto word16 = [&](WORD &field) { ok = Number(value, 0xFFFF, n) && ((field = static_cast<WORD>(n)), true); };
        auto dword = [&](DWORD &field) {
            ok = Number(value, 0xFFFFFFFF, n) && ((field = static_cast<DWORD>(n)), true);
        };
        if (key == "begin") {
            ok = hasBegin = ParseDate(value, t.wBeginYear, t.wBeginMonth, t.wBeginDay);
        } else if (key == "end") {
            ok = hasEnd = ParseDate(value, t.wEndYear, t.wEndMonth, t.wEndDay);
        } else if (key == "start") {
            unsigned h = 0, m = 0;
            char tail = 0;
            ok = std::sscanf(value.c_str(), "%2u:%2u%c", &h, &m, &tail) == 2;
            t.wStartHour = static_cast<WORD>(h);
            t.wStartMinute = static_cast<WORD>(m);
        } else if (key == "duration") {
            dword(t.MinutesDuration);
        } else if (key == "interval") {
            dword(t.MinutesInterval);
        } else if (key == "flags") {
            dword(t.rgFlags);
        } else if (key == "random") {
            word16(t.wRandomMinutesInterval);
        } else if (key == "days" && t.TriggerType == TASK_TIME_TRIGGER_DAILY) {
            word16(t.Type.Daily.DaysInterval);
        } else if (key == "weeks" && t.TriggerType == TASK_TIME_TRIGGER_WEEKLY) {
            word16(t.Type.Weekly.WeeksInterval);
        } else if (key == "dow" && t.TriggerType == TASK_TIME_TRIGGER_WEEKLY) {
            word16(t.Type.Weekly.rgfDaysOfTheWeek);
        } else if (key == "monthdays" && t.TriggerType == TASK_TIME_TRIGGER_MONTHLYDATE) {
            dword(t.Type.MonthlyDate.rgfDays);
        } else if (key == "months" && t.TriggerType == TASK_TIME_TRIGGER_MONTHLYDATE) {
            word16(t.Type.MonthlyDate.rgfMonths);
        } else if (key == "week" && t.TriggerType == TASK_TIME_TRIGGER_MONTHLYDOW) {
            word16(t.Type.MonthlyDOW.wWhichWeek);
        } else if (key == "dow" && t.TriggerType == TASK_TIME_TRIGGER_MONTHLYDOW) {
            word16(t.Type.MonthlyDOW.rgfDaysOfTheWeek);
        } else if (key == "months" && t.TriggerType == TASK_TIME_TRIGGER_MONTHLYDOW) {
            word16(t.Type.MonthlyDOW.rgfMonths);
        } else {
            error = "unknown trigger field \"" + key + "\" for " + type;
            return false;
        }
        if (!ok) {
            error = "bad value in \"" + word + "\"";
            return false;
        }
    }
    if (!hasBegin) {
        error = "trigger without begin=";
        return false;
    }
    if (hasEnd) t.rgFlags |= TASK_TRIGGER_FLAG_HAS_END_DATE;
    if (FAILED(ValidateTrigger(t))) {
        error = "trigger \"" + line + "\" is not a valid schedule";
        return false;
    }
    return true;
}

}  // namespace

std::string WriteEditForm(const JobData &job, const std::u16string *account) {
    std::ostringstream out;
    out << "# Work item settings. Edit the values, save and quit the editor.\n"
        << "# Lines starting with '#' are ignored. Add \"Password: ...\" to set a new password.\n";
    out << "Application: " << ToUtf8(job.application) << "\n";
    out << "Parameters: " << ToUtf8(job.parameters) << "\n";
    out << "WorkingDirectory: " << ToUtf8(job.workingDirectory) << "\n";
    out << "Comment: " << ToUtf8(job.comment) << "\n";
    out << "Creator: " << ToUtf8(job.creator) << "\n";
    out << "Account: " << (account ? ToUtf8(*account) : std::string()) << "\n";
    const char *priority = "normal";
    for (const auto &p : kPriorities)
        if (p.value == job.priority) priority = p.name;
    out << "Priority: " << priority << "\n";
    out << "MaxRunTime: " << (job.maxRunTime == kNoLimit ? std::string("infinite") : std::to_string(job.maxRunTime))
        << "\n";
    out << "IdleWait: " << job.idleWait << "\n";
    out << "IdleDeadline: " << job.idleDeadline << "\n";
    out << "Flags: " << Hex(job.flags) << "\n";
    out << "TaskFlags: " << Hex(job.taskFlags) << "\n";
    for (const TASK_TRIGGER &t : job.triggers) out << "Trigger: " << TriggerLine(t) << "\n";
    out << "Save: no\n";
    return out.str();
}

bool ParseEditForm(std::string_view text, EditForm &form, std::string &error) {
    std::vector<TASK_TRIGGER> triggers;
    std::size_t lineNumber = 0;
    while (!text.empty()) {
        const std::size_t nl = text.find('\n');
        const std::string line = Trim(text.substr(0, nl));
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
        ++lineNumber;
        if (line.empty() || line[0] == '#') continue;
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos) {
            error = "line " + std::to_string(lineNumber) + ": expected \"Key: value\"";
            return false;
        }
        const std::string key = Trim(std::string_view(line).substr(0, colon));
        const std::string value = Trim(std::string_view(line).substr(colon + 1));
        const std::string where = "line " + std::to_string(lineNumber) + ": ";
        unsigned long long n = 0;
        auto text16 = [&](std::u16string &field) {
            std::u16string wide = ToUtf16(value);
            if (wide.size() > 65534) return false;
            field = std::move(wide);
            return true;
        };
        bool ok = true;
        if (key == "Application") {
            ok = text16(form.job.application);
        } else if (key == "Parameters") {
            ok = text16(form.job.parameters);
        } else if (key == "WorkingDirectory") {
            ok = text16(form.job.workingDirectory);
        } else if (key == "Comment") {
            ok = text16(form.job.comment);
        } else if (key == "Creator") {
            ok = text16(form.job.creator);
        } else if (key == "Account") {
            ok = text16(form.account);
            form.accountSet = true;
        } else if (key == "Password") {
            ok = text16(form.password);
            form.passwordSet = true;
        } else if (key == "Priority") {
            ok = false;
            for (const auto &p : kPriorities)
                if (value == p.name) {
                    form.job.priority = p.value;
                    ok = true;
                }
        } else if (key == "MaxRunTime") {
            if (value == "infinite") {
                form.job.maxRunTime = kNoLimit;
            } else {
                ok = Number(value, 0xFFFFFFFE, n) && n > 0;
                if (ok) form.job.maxRunTime = static_cast<DWORD>(n);
            }
        } else if (key == "IdleWait" || key == "IdleDeadline") {
            ok = Number(value, 0xFFFF, n);
            if (ok) (key == "IdleWait" ? form.job.idleWait : form.job.idleDeadline) = static_cast<WORD>(n);
        } else if (key == "Flags" || key == "TaskFlags") {
            ok = Number(value, 0xFFFFFFFF, n);
            if (ok) (key == "Flags" ? form.job.flags : form.job.taskFlags) = static_cast<DWORD>(n);
        } else if (key == "Trigger") {
            TASK_TRIGGER t{};
            std::string reason;
            if (!ParseTrigger(value, t, reason)) {
                error = where + reason;
                return false;
            }
            if (triggers.size() >= 0xFFFF) {
                error = where + "too many triggers";
                return false;
            }
            triggers.push_back(t);
        } else if (key == "Save") {
            ok = value == "yes" || value == "no";
            form.save = value == "yes";
        } else {
            error = where + "unknown setting \"" + key + "\"";
            return false;
        }
        if (!ok) {
            error = where + "bad value for " + key;
            return false;
        }
    }
    form.job.triggers = std::move(triggers);
    return true;
}

}  // namespace velqo::service
