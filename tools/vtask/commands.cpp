#include "tools/vtask/commands.h"

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <random>

#include "tools/vtask/check.h"
#include "tools/vtask/dates.h"
#include "tools/vtask/late.h"
#include "tools/vtask/output.h"
#include "tools/vtask/service.h"
#include "tools/vtask/text.h"
#include "tools/vtask/words.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace vtask {

namespace {

constexpr const char *kProgId = "TaskScheduler.Scheduler";
constexpr std::int32_t kEventTrigger = 0x41308;  // GetRunTimes' answer for event triggers only
constexpr std::size_t kMostRunTimes = 50;        // GetRunTimes delivers at most this many
constexpr std::size_t kMostDataBytes = 32767;
constexpr double kNextRunsHorizon = 3660;  // days ahead that `show` looks for next runs

// A failure that is neither the component's nor the command line's.
struct CommandError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

const char *const kUsage =
    "usage: vtask [--computer NAME] [--json] COMMAND [ARGS]\n"
    "\n"
    "commands:\n"
    "  list                         the tasks: name, status, next run, application\n"
    "  show NAME                    every setting, the triggers and the next runs\n"
    "  add NAME --app PATH [...]    a new task (NAME \"\" gets a generated name)\n"
    "  set NAME [...]               change settings of a task\n"
    "  trigger add NAME ...         a new schedule for a task\n"
    "  trigger remove NAME INDEX    remove the schedule with that index\n"
    "  runs NAME [--from D --to D]  the run times of a period\n"
    "  clone SRC DST                a copy of a task under a new name\n"
    "  delete NAME                  delete a task\n"
    "  data NAME --set FILE|--get FILE   the task's private data block\n"
    "  service status|start|stop|enable  the \"Schedule\" service that runs the tasks\n"
    "  check [NAME] [--repair]      problems of the store and the service, with remedies\n"
    "\n"
    "options of every command:\n"
    "  --computer NAME   work on the tasks of that computer\n"
    "  --json            machine-readable output (list, show, runs)\n"
    "  --help            help on the command\n"
    "\n"
    "Dates are YYYY-MM-DD or YYYY-MM-DDTHH:MM (local time), or now, today.\n"
    "'vtask COMMAND --help' describes each command.\n";

const char *const kSettingsHelp =
    "  --app PATH          the program to run\n"
    "  --params TEXT       its command-line parameters, in Windows' command-line\n"
    "                      quoting: blanks separate, \"...\" groups, \\\" is a quote;\n"
    "                      single quotes are ordinary characters\n"
    "  --dir DIR           its working directory\n"
    "  --comment TEXT      a comment\n"
    "  --creator TEXT      the creator's name\n"
    "  --priority WORD     normal, high, idle or realtime\n"
    "  --max-run-time MS   the longest run in milliseconds, or none\n"
    "  --flags LIST        the task's flags, e.g. disabled,hidden (none for no flag;\n"
    "                      +name,-name changes single flags): interactive,\n"
    "                      delete-when-done, disabled, hidden, start-only-if-idle,\n"
    "                      kill-on-idle-end, restart-on-idle-resume,\n"
    "                      dont-start-if-on-batteries, kill-if-going-on-batteries,\n"
    "                      run-if-connected-to-internet, run-only-if-logged-on\n";

const std::map<std::string, std::string> &CommandHelp() {
    static const std::map<std::string, std::string> help = {
        {"list", "usage: vtask list [--json]\n  One line per task: name, status, next run, application.\n"},
        {"show",
         "usage: vtask show NAME [--runs N] [--json]\n"
         "  Every setting of the task, each trigger with its index and description,\n"
         "  and the next N run times (default 5, at most 50).\n"},
        {"add", std::string("usage: vtask add NAME --app PATH [options]\n"
                            "  Adds and saves a task. NAME \"\" gets a generated name, which is printed.\n") +
                    kSettingsHelp},
        {"set",
         std::string("usage: vtask set NAME [options]\n  Changes settings of a task and saves it.\n") + kSettingsHelp},
        {"trigger add",
         "usage: vtask trigger add NAME SCHEDULE --at HH:MM [--from DATE] [--until DATE]\n"
         "                         [--every MIN [--for MIN]]\n"
         "  SCHEDULE is one of\n"
         "    --once                          on the day of --from (default today)\n"
         "    --daily N                       every N days\n"
         "    --weekly N --days mon,fri       every N weeks on those days\n"
         "    --monthly-date 1,15 [--months jan,jul]       on those days of the month\n"
         "    --monthly-dow WEEK --days mon [--months ...] on the first, second, third,\n"
         "                                    fourth or last such weekday\n"
         "  --from, --until   the first and last day of the schedule\n"
         "  --every, --for    repeat every MIN minutes for MIN minutes (default 1440), --for longer than --every\n"
         "  Prints the new trigger's index and description.\n"},
        {"trigger remove",
         "usage: vtask trigger remove NAME INDEX\n  Removes the trigger with that index (see show) and saves the "
         "task.\n"},
        {"trigger", "usage: vtask trigger add NAME ... | vtask trigger remove NAME INDEX\n"},
        {"runs",
         "usage: vtask runs NAME [--from DATE] [--to DATE] [--json]\n"
         "  The run times of the period (default: from now for 31 days), at most 50.\n"},
        {"clone",
         "usage: vtask clone SRC DST\n  Copies task SRC with its settings and data to DST and saves it.\n"
         "  DST \"\" gets a generated name, which is printed.\n"},
        {"delete", "usage: vtask delete NAME\n  Deletes the task.\n"},
        {"service",
         "usage: vtask service status|start|stop|enable\n"
         "  status   whether the \"Schedule\" service runs\n"
         "  start    start it (through the user unit velqosvc.service where systemd has it)\n"
         "  stop     stop it; running tasks are ended and recorded\n"
         "  enable   start it with each session from now on (POSIX: systemctl --user enable\n"
         "           velqosvc.service; loginctl enable-linger USER makes it run without a login)\n"},
        {"data",
         "usage: vtask data NAME --set FILE | --get FILE\n"
         "  Stores FILE (1 to 32767 bytes) as the task's data and saves the task, or\n"
         "  writes the task's data to FILE. FILE - is standard input or output.\n"},
    };
    return help;
}

const std::vector<OptionSpec> kGlobalOptions = {{"computer", true}, {"json", false}, {"help", false}};
const std::vector<OptionSpec> kSettingOptions = {{"app"},     {"params"},   {"dir"},          {"comment"},
                                                 {"creator"}, {"priority"}, {"max-run-time"}, {"flags"}};
const std::vector<OptionSpec> kTriggerOptions = {{"once", false}, {"daily"}, {"weekly"}, {"monthly-date"},
                                                 {"monthly-dow"}, {"days"},  {"months"}, {"at"},
                                                 {"from"},        {"until"}, {"every"},  {"for"}};

std::vector<OptionSpec> With(std::vector<OptionSpec> specs) {
    specs.insert(specs.end(), kGlobalOptions.begin(), kGlobalOptions.end());
    return specs;
}

// --- talking to the component ------------------------------------------------------

// The component's error when the service does not run and will not start.
constexpr std::int32_t kServiceWillNotStart = static_cast<std::int32_t>(0x80040000u);

// Waits (up to five seconds) while the "Schedule" service is start-pending;
// true when it then runs.
bool WaitWhileServiceStarts() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager) return false;
    SC_HANDLE service = OpenServiceA(manager, "Schedule", SERVICE_QUERY_STATUS);
    CloseServiceHandle(manager);
    if (!service) return false;
    SERVICE_STATUS status{};
    bool running = false;
    for (int i = 0; i < 100 && QueryServiceStatus(service, &status); ++i) {
        if (status.dwCurrentState != SERVICE_START_PENDING) {
            running = status.dwCurrentState == SERVICE_RUNNING;
            break;
        }
        Sleep(50);
    }
    CloseServiceHandle(service);
    return running;
}

struct Session {
    std::optional<std::string> computer;
    Object scheduler;
    Object tasks;

    Object &Tasks() {
        if (!tasks) {
            try {
                scheduler = Object::Create(kProgId);
            } catch (const ComError &e) {
                // A fresh user of an installed component: register it, once.
                if (!RegisterInstalledComponent(e.hr, std::cerr)) throw;
                scheduler = Object::Create(kProgId);
            }
            if (computer) {
                Variant name = Variant::String(*computer);
                scheduler.Put("Computer", Arg::Ref(name));
            }
            try {
                tasks = scheduler.Get("Tasks").AsObject("Tasks");
            } catch (const ComError &e) {
                // The service a previous command started may still be
                // starting: wait for it, then let the Scheduler check again.
                if (e.number != kServiceWillNotStart || !WaitWhileServiceStarts()) throw;
                tasks = scheduler.Get("Tasks").AsObject("Tasks");
            }
        }
        return tasks;
    }

    // The key of a task named on the command line: a ".job" suffix in any
    // letter case is the file's, as with the service ("Daily.JOB" is "Daily").
    static std::string Key(const std::string &name) {
        const std::size_t n = name.size();
        if (n > 4 && name[n - 4] == '.' && (name[n - 3] | 0x20) == 'j' && (name[n - 2] | 0x20) == 'o' &&
            (name[n - 1] | 0x20) == 'b')
            return name.substr(0, n - 4);
        return name;
    }

    bool Exists(const std::string &name) {
        Variant key = Variant::String(Key(name));
        return Tasks().Call("Exists", {Arg::Ref(key)}).AsBool("Exists");
    }

    Object Task(const std::string &name) {
        if (!Exists(name)) throw CommandError("no task named '" + name + "'");
        Variant key = Variant::String(Key(name));
        return Tasks().Get("Item", {Arg::Ref(key)}).AsObject("Item");
    }
};

std::string GetString(const Object &o, const char *name) { return o.Get(name).AsString(name); }
std::int32_t GetLong(const Object &o, const char *name) { return o.Get(name).AsLong(name); }
double GetDate(const Object &o, const char *name) { return o.Get(name).AsDate(name); }

void ApplySettings(const Object &task, const TaskSettings &s) {
    auto putString = [&](const char *name, const std::optional<std::string> &value) {
        if (value) task.Put(name, Arg::Val(Variant::String(*value)));
    };
    putString("ApplicationName", s.application);
    putString("Parameters", s.parameters);
    putString("WorkingDirectory", s.workingDirectory);
    putString("Comment", s.comment);
    putString("Creator", s.creator);
    if (s.priority) task.Put("Priority", Arg::Val(Variant::Long(*s.priority)));
    if (s.maxRunTime) task.Put("MaxRunTime", Arg::Val(Variant::Long(*s.maxRunTime)));
    if (s.flags) {
        const std::int32_t current = GetLong(task, "flags");
        task.Put("flags", Arg::Val(Variant::Long(ParseTaskFlags(*s.flags, current))));
    }
}

// Up to `most` run times from `from` to `to`, through Task.GetRunTimes.
RunTimes GetRunTimes(const Object &task, double from, double to) {
    Variant begin = Variant::Date(from), end = Variant::Date(to), times = Variant::EmptyDateArray();
    const std::int32_t count =
        task.Call("GetRunTimes", {Arg::Ref(begin), Arg::Ref(end), Arg::Ref(times)}).AsLong("GetRunTimes");
    RunTimes runs;
    if (count == kEventTrigger) {
        runs.eventTriggersOnly = true;
    } else if (count > 0) {
        runs.times = times.AsDates("the run times");
        if (runs.times.size() > static_cast<std::size_t>(count)) runs.times.resize(static_cast<std::size_t>(count));
        runs.capped = runs.times.size() >= kMostRunTimes;
    }
    return runs;
}

TriggerInfo ReadTrigger(const Object &t) {
    TriggerInfo g;
    g.index = GetLong(t, "Index");
    g.type = GetLong(t, "TriggerType");
    try {
        g.description = GetString(t, "Description");
    } catch (const ComError &e) {
        g.description = e.description;
        g.descriptionFailed = true;
    }
    g.startTime = GetDate(t, "StartTime");
    g.beginDate = GetDate(t, "BeginDate");
    g.endDate = GetDate(t, "EndDate");
    g.flags = GetLong(t, "flags");
    g.minutesInterval = GetLong(t, "MinutesInterval");
    g.minutesDuration = GetLong(t, "MinutesDuration");
    g.randomMinutes = GetLong(t, "RandomMinutesInterval");
    g.daysInterval = GetLong(t, "DaysInterval");
    g.weeksInterval = GetLong(t, "WeeksInterval");
    g.daysOfTheWeek = GetLong(t, "DaysOfTheWeek");
    g.daysOfTheMonth = GetLong(t, "DaysOfTheMonth");
    g.monthsOfTheYear = GetLong(t, "MonthsOfTheYear");
    g.whichWeeks = GetLong(t, "WhichWeeks");
    return g;
}

// --- files -------------------------------------------------------------------------

std::vector<std::uint8_t> ReadInput(const std::string &path) {
    std::vector<std::uint8_t> bytes;
    if (path == "-") {
#ifdef _WIN32
        _setmode(_fileno(stdin), _O_BINARY);
#endif
        bytes.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
        return bytes;
    }
    std::ifstream in(std::filesystem::u8path(path), std::ios::binary);
    if (!in) throw CommandError("cannot read '" + path + "'");
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) throw CommandError("cannot read '" + path + "'");
    return bytes;
}

// Writes `bytes` to `path` through a temporary file beside it, so that the
// file is either the old one or the whole new one.
void WriteOutput(const std::string &path, const std::vector<std::uint8_t> &bytes, std::ostream &out) {
    if (path == "-") {
#ifdef _WIN32
        out.flush();
        _setmode(_fileno(stdout), _O_BINARY);
#endif
        out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        out.flush();
        return;
    }
    namespace fs = std::filesystem;
    const fs::path target = fs::u8path(path);
    std::random_device random;
    fs::path temporary = target;
    temporary += ".vtask-" + std::to_string(random() % 1000000) + ".tmp";
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        if (!file) throw CommandError("cannot write '" + path + "'");
        file.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        file.close();
        if (!file) {
            std::error_code ignored;
            fs::remove(temporary, ignored);
            throw CommandError("cannot write '" + path + "'");
        }
    }
    std::error_code error;
    fs::rename(temporary, target, error);
    if (error) {
        std::error_code ignored;
        fs::remove(temporary, ignored);
        throw CommandError("cannot write '" + path + "': " + error.message());
    }
}

// --- the commands --------------------------------------------------------------------

void List(Session &s, const ParsedArgs &args, std::ostream &out) {
    ExpectPositional(args, {}, "list");
    std::vector<TaskRow> rows;
    for (const Object &task : s.Tasks().Items()) {
        TaskRow r;
        r.name = GetString(task, "TaskName");
        r.status = GetLong(task, "Status");
        r.nextRun = GetDate(task, "NextRunTime");
        r.application = GetString(task, "ApplicationName");
        rows.push_back(std::move(r));
    }
    PrintTaskList(out, rows, args.Has("json"));
}

void Show(Session &s, const ParsedArgs &args, std::ostream &out, double now) {
    ExpectPositional(args, {"NAME"}, "show");
    const std::size_t wanted =
        args.Has("runs") ? static_cast<std::size_t>(ParseInteger(*args.Value("runs"), 0, kMostRunTimes, "--runs")) : 5;
    const Object task = s.Task(args.positional[0]);
    TaskInfo t;
    t.name = GetString(task, "TaskName");
    t.application = GetString(task, "ApplicationName");
    t.parameters = GetString(task, "Parameters");
    t.workingDirectory = GetString(task, "WorkingDirectory");
    t.comment = GetString(task, "Comment");
    t.creator = GetString(task, "Creator");
    try {
        t.account = GetString(task, "AccountName");
    } catch (const ComError &) {
        t.account.reset();  // the service holds no account for the task
    }
    t.priority = GetLong(task, "Priority");
    t.maxRunTime = GetLong(task, "MaxRunTime");
    t.flags = GetLong(task, "flags");
    t.idleWait = GetLong(task, "IdleWaitMinutes");
    t.idleDeadline = GetLong(task, "IdleWaitDeadlineMinutes");
    t.status = GetLong(task, "Status");
    t.exitCode = GetLong(task, "ExitCode");
    t.mostRecentRun = GetDate(task, "MostRecentRuntime");
    t.nextRun = GetDate(task, "NextRunTime");
    t.dataSize = task.Get("WorkItemData").AsBytes("WorkItemData").size();
    for (const Object &trigger : task.Get("Triggers").AsObject("Triggers").Items())
        t.triggers.push_back(ReadTrigger(trigger));
    if (wanted > 0) {
        RunTimes runs = GetRunTimes(task, now, now + kNextRunsHorizon);
        t.eventTriggersOnly = runs.eventTriggersOnly;
        if (runs.times.size() > wanted) runs.times.resize(wanted);
        t.nextRuns = std::move(runs.times);
    }
    PrintTask(out, t, args.Has("json"));
}

void Add(Session &s, const ParsedArgs &args, std::ostream &out) {
    ExpectPositional(args, {"NAME"}, "add");
    const TaskSettings settings = ParseTaskSettings(args);
    if (!settings.application) throw UsageError("add: --app is required");
    Variant name = Variant::String(args.positional[0]);
    const Object task = s.Tasks().Call("Add", {Arg::Ref(name)}).AsObject("Add");
    ApplySettings(task, settings);
    task.Call("Save");
    if (args.positional[0].empty()) out << name.AsString("the generated name") << "\n";
}

void Set(Session &s, const ParsedArgs &args) {
    ExpectPositional(args, {"NAME"}, "set");
    const TaskSettings settings = ParseTaskSettings(args);
    if (settings.Empty()) throw UsageError("set: no setting given");
    const Object task = s.Task(args.positional[0]);
    ApplySettings(task, settings);
    task.Call("Save");
}

void TriggerAdd(Session &s, const ParsedArgs &args, std::ostream &out, double now) {
    ExpectPositional(args, {"NAME"}, "trigger add");
    const TriggerRequest r = ParseTriggerRequest(args, now);
    const Object task = s.Task(args.positional[0]);
    const Object trigger = task.Get("Triggers").AsObject("Triggers").Call("Add").AsObject("Add");
    trigger.Put("TriggerType", Arg::Val(Variant::Long(r.type)));
    switch (r.type) {
        case 1: trigger.Put("DaysInterval", Arg::Val(Variant::Short(r.interval))); break;
        case 2:
            trigger.Put("WeeksInterval", Arg::Val(Variant::Short(r.interval)));
            trigger.Put("DaysOfTheWeek", Arg::Val(Variant::Long(static_cast<std::int32_t>(r.daysOfTheWeek))));
            break;
        case 3:
            trigger.Put("DaysOfTheMonth", Arg::Val(Variant::Long(static_cast<std::int32_t>(r.daysOfTheMonth))));
            trigger.Put("MonthsOfTheYear", Arg::Val(Variant::Long(static_cast<std::int32_t>(r.months))));
            break;
        case 4:
            trigger.Put("WhichWeeks", Arg::Val(Variant::Long(r.whichWeek)));
            trigger.Put("DaysOfTheWeek", Arg::Val(Variant::Long(static_cast<std::int32_t>(r.daysOfTheWeek))));
            trigger.Put("MonthsOfTheYear", Arg::Val(Variant::Long(static_cast<std::int32_t>(r.months))));
            break;
        default: break;
    }
    trigger.Put("StartTime", Arg::Val(Variant::Date(r.startMinutes / 1440.0)));
    if (r.from) trigger.Put("BeginDate", Arg::Val(Variant::Date(*r.from)));
    std::int32_t flags = 0;
    if (r.until) {
        trigger.Put("EndDate", Arg::Val(Variant::Date(*r.until)));
        flags |= 0x1;  // has an end date
    }
    Variant flagValue = Variant::Long(flags);
    trigger.Put("flags", Arg::Ref(flagValue));
    if (r.duration) trigger.Put("MinutesDuration", Arg::Val(Variant::Long(*r.duration)));
    if (r.every) trigger.Put("MinutesInterval", Arg::Val(Variant::Long(*r.every)));
    trigger.Call("Update");
    task.Call("Save");
    std::string description;
    try {
        description = GetString(trigger, "Description");
    } catch (const ComError &e) {
        description = "(no description: " + e.description + ")";
    }
    out << "[" << GetLong(trigger, "Index") << "] " << description << "\n";
}

void TriggerRemove(Session &s, const ParsedArgs &args) {
    ExpectPositional(args, {"NAME", "INDEX"}, "trigger remove");
    const auto index = ParseInteger(args.positional[1], 0, 32766, "INDEX");
    const Object task = s.Task(args.positional[0]);
    Variant position = Variant::Short(static_cast<std::int16_t>(index + 1));
    task.Get("Triggers").AsObject("Triggers").Call("Remove", {Arg::Ref(position)});
    task.Call("Save");
}

void Runs(Session &s, const ParsedArgs &args, std::ostream &out, double now) {
    ExpectPositional(args, {"NAME"}, "runs");
    const Period p = ParsePeriod(args, now);
    const Object task = s.Task(args.positional[0]);
    PrintRunTimes(out, GetRunTimes(task, p.from, p.to), args.Has("json"));
}

void Clone(Session &s, const ParsedArgs &args, std::ostream &out) {
    ExpectPositional(args, {"SRC", "DST"}, "clone");
    if (!s.Exists(args.positional[0])) throw CommandError("no task named '" + args.positional[0] + "'");
    Variant source = Variant::String(Session::Key(args.positional[0])), target = Variant::String(args.positional[1]);
    const Object task = s.Tasks().Call("Clone", {Arg::Ref(source), Arg::Ref(target)}).AsObject("Clone");
    task.Call("Save");
    if (args.positional[1].empty()) out << target.AsString("the generated name") << "\n";
}

void Delete(Session &s, const ParsedArgs &args) {
    ExpectPositional(args, {"NAME"}, "delete");
    if (!s.Exists(args.positional[0])) throw CommandError("no task named '" + args.positional[0] + "'");
    Variant key = Variant::String(Session::Key(args.positional[0]));
    s.Tasks().Call("Remove", {Arg::Ref(key)});
}

void Data(Session &s, const ParsedArgs &args, std::ostream &out) {
    ExpectPositional(args, {"NAME"}, "data");
    if (args.Has("set") == args.Has("get")) throw UsageError("data: give either --set FILE or --get FILE");
    if (args.Has("set")) {
        const std::string path = *args.Value("set");
        const std::vector<std::uint8_t> bytes = ReadInput(path);
        if (bytes.empty()) throw CommandError("'" + path + "' is empty: a task's data holds 1 to 32767 bytes");
        if (bytes.size() > kMostDataBytes)
            throw CommandError("'" + path + "' has " + std::to_string(bytes.size()) +
                               " bytes: a task's data holds at most 32767");
        const Object task = s.Task(args.positional[0]);
        Variant data = Variant::Bytes(bytes);
        task.Put("WorkItemData", Arg::Ref(data));
        task.Call("Save");
    } else {
        const Object task = s.Task(args.positional[0]);
        WriteOutput(*args.Value("get"), task.Get("WorkItemData").AsBytes("WorkItemData"), out);
    }
}

}  // namespace

// --- checking the options ----------------------------------------------------------------

bool TaskSettings::Empty() const {
    return !application && !parameters && !workingDirectory && !comment && !creator && !priority && !maxRunTime &&
           !flags;
}

TaskSettings ParseTaskSettings(const ParsedArgs &args) {
    TaskSettings s;
    s.application = args.Value("app");
    if (s.application && s.application->empty()) throw UsageError("--app: the program must not be empty");
    s.parameters = args.Value("params");
    s.workingDirectory = args.Value("dir");
    s.comment = args.Value("comment");
    s.creator = args.Value("creator");
    if (auto p = args.Value("priority")) s.priority = ParsePriority(*p);
    if (auto m = args.Value("max-run-time")) {
        const std::string w = Lower(Trim(*m));
        s.maxRunTime = w == "none" ? -1
                                   : static_cast<std::int32_t>(
                                         static_cast<std::uint32_t>(ParseInteger(*m, 0, 0xFFFFFFFE, "--max-run-time")));
    }
    if (auto f = args.Value("flags")) {
        ParseTaskFlags(*f, 0);  // checked now, applied to the task's own flags later
        s.flags = *f;
    }
    for (const auto *text : {&s.application, &s.parameters, &s.workingDirectory, &s.comment, &s.creator})
        if (*text) Utf16FromUtf8(**text, "an option's value");
    return s;
}

TriggerRequest ParseTriggerRequest(const ParsedArgs &args, double now) {
    TriggerRequest r;
    const char *kinds[] = {"once", "daily", "weekly", "monthly-date", "monthly-dow"};
    int given = 0;
    for (int i = 0; i < 5; ++i)
        if (args.Has(kinds[i])) {
            r.type = i;
            ++given;
        }
    if (given != 1)
        throw UsageError(
            "trigger add: give one of --once, --daily N, --weekly N, --monthly-date DAYS, --monthly-dow WEEK");
    const bool takesDays = r.type == 2 || r.type == 4, takesMonths = r.type == 3 || r.type == 4;
    if (args.Has("days") && !takesDays) throw UsageError("--days belongs to --weekly and --monthly-dow");
    if (!args.Has("days") && takesDays) throw UsageError("--days is required with --weekly and --monthly-dow");
    if (args.Has("months") && !takesMonths) throw UsageError("--months belongs to --monthly-date and --monthly-dow");
    switch (r.type) {
        case 1: r.interval = static_cast<std::int16_t>(ParseInteger(*args.Value("daily"), 1, 32767, "--daily")); break;
        case 2:
            r.interval = static_cast<std::int16_t>(ParseInteger(*args.Value("weekly"), 1, 32767, "--weekly"));
            break;
        case 3: r.daysOfTheMonth = ParseDaysOfMonth(*args.Value("monthly-date")); break;
        case 4: r.whichWeek = ParseWhichWeek(*args.Value("monthly-dow")); break;
        default: break;
    }
    if (takesDays) r.daysOfTheWeek = ParseDays(*args.Value("days"));
    if (takesMonths) r.months = args.Has("months") ? ParseMonths(*args.Value("months")) : 0xFFF;
    if (!args.Has("at")) throw UsageError("trigger add: --at HH:MM is required");
    r.startMinutes = ParseTimeOfDay(*args.Value("at"), "--at");
    if (auto f = args.Value("from")) r.from = std::trunc(ParseDateTime(*f, now, "--from"));
    if (auto u = args.Value("until")) {
        r.until = std::trunc(ParseDateTime(*u, now, "--until"));
        if (*r.until < r.from.value_or(std::trunc(now)))
            throw UsageError("--until: the last day comes before the first");
    }
    if (auto e = args.Value("every")) r.every = static_cast<std::int32_t>(ParseInteger(*e, 1, 0x7FFFFFFF, "--every"));
    if (auto d = args.Value("for")) r.duration = static_cast<std::int32_t>(ParseInteger(*d, 1, 0x7FFFFFFF, "--for"));
    if (r.every && !r.duration) r.duration = 1440;
    if (r.every && *r.duration <= *r.every)
        throw UsageError("--for: the repetition must last longer than --every minutes (default --for: 1440)");
    return r;
}

Period ParsePeriod(const ParsedArgs &args, double now) {
    Period p;
    p.from = args.Has("from") ? ParseDateTime(*args.Value("from"), now, "--from") : now;
    p.to = args.Has("to") ? ParseDateTime(*args.Value("to"), now, "--to") : p.from + 31;
    if (p.to < p.from) throw UsageError("--to: the period ends before it begins");
    return p;
}

int RunCommandLine(const std::vector<std::string> &argv, std::ostream &out, std::ostream &err) {
    std::string command;
    try {
        // Options before the command word are the global ones.
        std::size_t at = 0;
        std::vector<std::string> leading;
        while (at < argv.size() && argv[at].rfind("--", 0) == 0 && argv[at] != "--") {
            leading.push_back(argv[at]);
            if (argv[at] == "--computer" && at + 1 < argv.size()) leading.push_back(argv[++at]);
            ++at;
        }
        const ParsedArgs globals = ParseArgs(leading, kGlobalOptions);
        if (at == argv.size()) {
            (globals.Has("help") ? out : err) << kUsage;
            return globals.Has("help") ? 0 : 2;
        }
        command = argv[at++];
        if (command == "check") return RunCheck(argv, out, err);
        if (command == "help") {
            out << kUsage;
            return 0;
        }
        if (command == "trigger" && at < argv.size() && (argv[at] == "add" || argv[at] == "remove"))
            command += " " + argv[at++];
        std::vector<OptionSpec> specs;
        if (command == "show")
            specs = {{"runs"}};
        else if (command == "add" || command == "set")
            specs = kSettingOptions;
        else if (command == "trigger add")
            specs = kTriggerOptions;
        else if (command == "runs")
            specs = {{"from"}, {"to"}};
        else if (command == "data")
            specs = {{"set"}, {"get"}};
        else if (!CommandHelp().count(command))
            throw UsageError("unknown command '" + command + "'");
        const std::vector<std::string> rest(argv.begin() + static_cast<std::ptrdiff_t>(at), argv.end());
        ParsedArgs args = ParseArgs(rest, With(specs));
        for (const char *name : {"computer", "json", "help"}) {
            if (!globals.Has(name)) continue;
            if (args.Has(name)) throw UsageError(std::string("option '--") + name + "' given twice");
            args.Set(name, *globals.Value(name));
        }
        if (args.Has("help") || command == "trigger") {
            (args.Has("help") ? out : err) << CommandHelp().at(command);
            return args.Has("help") ? 0 : 2;
        }
        if (command == "service") {
            ExpectPositional(args, {"status|start|stop|enable"}, "service");
            const std::string &word = args.positional[0];
            if (word != "status" && word != "start" && word != "stop" && word != "enable")
                throw UsageError("service: unknown action '" + word + "'");
            if (args.Has("computer") || args.Has("json")) throw UsageError("service: takes no --computer or --json");
            return ServiceCommand(word, out, err);
        }
        if (args.Has("json") && command != "list" && command != "show" && command != "runs")
            throw UsageError("--json belongs to list, show and runs");
        Session session;
        session.computer = args.Value("computer");
        if (session.computer) Utf16FromUtf8(*session.computer, "--computer");
        for (const std::string &word : args.positional) Utf16FromUtf8(word, "an argument");
        const double now = LocalNow();
        if (command == "list")
            List(session, args, out);
        else if (command == "show")
            Show(session, args, out, now);
        else if (command == "add")
            Add(session, args, out);
        else if (command == "set")
            Set(session, args);
        else if (command == "trigger add")
            TriggerAdd(session, args, out, now);
        else if (command == "trigger remove")
            TriggerRemove(session, args);
        else if (command == "runs")
            Runs(session, args, out, now);
        else if (command == "clone")
            Clone(session, args, out);
        else if (command == "delete")
            Delete(session, args);
        else if (command == "data")
            Data(session, args, out);
        out.flush();
        return 0;
    } catch (const UsageError &e) {
        err << "vtask: " << e.what() << "\n";
        err << (command.empty() || !CommandHelp().count(command) ? std::string("try 'vtask --help'")
                                                                 : "try 'vtask " + command + " --help'")
            << "\n";
        return 2;
    } catch (const ComError &e) {
        err << "vtask: " << e.what() << "\n";
        if (e.number == SCHED_E_INVALID_TASK || e.number == SCHED_E_UNKNOWN_OBJECT_VERSION)
            err << "vtask: 'vtask check' names the item that cannot be opened; 'vtask check --repair' moves it aside\n";
        return 1;
    } catch (const CommandError &e) {
        err << "vtask: " << e.what() << "\n";
        return 1;
    } catch (const std::exception &e) {
        err << "vtask: " << e.what() << "\n";
        return 1;
    }
}

}  // namespace vtask
