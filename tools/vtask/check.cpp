// `vtask check`: reads the task store folder item by item with the service's
// own .job parser, so that it works exactly where the component refuses to
// load the store, and asks the service control for the "Schedule" service.
#include "tools/vtask/check.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

#include "platform/service/control/control.h"
#include "platform/service/job/jobfile.h"
#include "service/name_case.h"
#include "service/platform.h"
#include "tools/vtask/options.h"
#include "tools/vtask/output.h"
#include "tools/vtask/text.h"

#ifndef _WIN32
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
extern char **environ;
#endif

namespace vtask {

namespace fs = std::filesystem;
namespace svc = velqo::service;

namespace {

#ifndef ERROR_SERVICE_DISABLED
#define ERROR_SERVICE_DISABLED 1058L
#endif
#ifndef ERROR_SERVICE_DOES_NOT_EXIST
#define ERROR_SERVICE_DOES_NOT_EXIST 1060L
#endif

const char *const kHelp =
    "usage: vtask check [NAME] [--repair] [--json]\n"
    "  Examines the task store and the \"Schedule\" service, and prints each problem\n"
    "  with its HRESULT and a remedy: an item that cannot be read (and why), names\n"
    "  that differ only in letter case, a task whose triggers are all disabled or\n"
    "  ended, an account without a stored password, a program that does not exist\n"
    "  or cannot be run, parameters that Windows' command-line quoting reads\n"
    "  differently from a POSIX shell, the service not running or not installed as\n"
    "  a unit. NAME limits the item checks to that task. Works on a store that the\n"
    "  other commands refuse to load.\n"
    "  --repair   moves each item that cannot be read into the quarantine folder\n"
    "             beside the store (Tasks.quarantine), so that the store loads again\n"
    "  Exit code 0 when nothing is found, 1 otherwise.\n";

struct Problem {
    std::string kind;  // unreadable, case, never-runs, password, program, quoting, service, unit
    std::string task;  // the item's name, empty for the service
    HRESULT hr = S_OK;
    std::string text;
    std::string remedy;
    std::string movedTo;  // --repair: where the item went
};

std::string HresultName(HRESULT hr) {
    static const std::map<HRESULT, const char *> names = {
        {SCHED_E_INVALID_TASK, "SCHED_E_INVALID_TASK"},
        {SCHED_E_UNKNOWN_OBJECT_VERSION, "SCHED_E_UNKNOWN_OBJECT_VERSION"},
        {SCHED_S_TASK_NO_VALID_TRIGGERS, "SCHED_S_TASK_NO_VALID_TRIGGERS"},
        {SCHED_E_ACCOUNT_INFORMATION_NOT_SET, "SCHED_E_ACCOUNT_INFORMATION_NOT_SET"},
        {SCHED_E_SERVICE_NOT_RUNNING, "SCHED_E_SERVICE_NOT_RUNNING"},
        {E_ACCESSDENIED, "E_ACCESSDENIED"},
        {E_INVALIDARG, "E_INVALIDARG"},
        {E_OUTOFMEMORY, "E_OUTOFMEMORY"},
        {E_FAIL, "E_FAIL"},
        {HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), "HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)"},
        {HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND), "HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)"},
        {HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS), "HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS)"},
        {HRESULT_FROM_WIN32(ERROR_SERVICE_DISABLED), "HRESULT_FROM_WIN32(ERROR_SERVICE_DISABLED)"},
        {HRESULT_FROM_WIN32(ERROR_SERVICE_DOES_NOT_EXIST), "HRESULT_FROM_WIN32(ERROR_SERVICE_DOES_NOT_EXIST)"},
    };
    auto it = names.find(hr);
    return it != names.end() ? it->second : "HRESULT";
}

// The store's folder names as the component sees them: UTF-8 on POSIX, the
// ANSI code page on Windows.
std::string PathText(const fs::path &p) {
#ifdef _WIN32
    const std::wstring w = p.wstring();
    std::u16string units(w.begin(), w.end());
    return Utf8FromUtf16(units);
#else
    return p.string();
#endif
}

// Item names compare as the service's store compares them.
std::u16string Fold(std::u16string text) {
    for (char16_t &c : text) c = velqo::FoldLetterCase(c);
    return text;
}

// The folded name of an item; a file name that is not UTF-8 is folded as its
// bytes.
std::u16string FoldName(const std::string &name) {
    try {
        return Fold(Utf16FromUtf8(name));
    } catch (const UsageError &) {
        return Fold(std::u16string(name.begin(), name.end()));
    }
}

struct Item {
    std::string name;  // without ".job"
    fs::path path;
};

// --- reading an item ---------------------------------------------------------------

HRESULT ReadItem(const fs::path &path, svc::JobData &job, std::string &reason) {
#ifdef _WIN32
    std::error_code ec;
    if (fs::is_directory(path, ec)) {
        reason = "unreadable: it is a folder";
        return E_ACCESSDENIED;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        reason = std::string("unreadable: ") + std::strerror(errno);
        return E_ACCESSDENIED;
    }
    std::vector<BYTE> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        reason = "unreadable: a read error";
        return E_ACCESSDENIED;
    }
    return svc::ParseJob(bytes.data(), bytes.size(), job, &reason);
#else
    return svc::ReadJobFile(path.string(), job, &reason);
#endif
}

// --- triggers ----------------------------------------------------------------------

int DateNumber(int year, int month, int day) { return year * 10000 + month * 100 + day; }

// Whether the trigger can still fire after `now` (local time).
bool TriggerLives(const TASK_TRIGGER &t, const std::tm &now) {
    if (t.rgFlags & TASK_TRIGGER_FLAG_DISABLED) return false;
    const int today = DateNumber(now.tm_year + 1900, now.tm_mon + 1, now.tm_mday);
    if ((t.rgFlags & TASK_TRIGGER_FLAG_HAS_END_DATE) && DateNumber(t.wEndYear, t.wEndMonth, t.wEndDay) < today)
        return false;
    if (t.TriggerType == TASK_TIME_TRIGGER_ONCE) {
        // Ended once its start (and any repetition after it) lies in the past.
        std::tm start{};
        start.tm_year = t.wBeginYear - 1900;
        start.tm_mon = t.wBeginMonth - 1;
        start.tm_mday = t.wBeginDay;
        start.tm_hour = t.wStartHour;
        start.tm_min = t.wStartMinute + int(t.MinutesDuration);
        start.tm_isdst = -1;
        std::tm current = now;
        if (std::mktime(&start) < std::mktime(&current)) return false;
    }
    return true;
}

// --- programs ------------------------------------------------------------------------

#ifndef _WIN32
// The program the service would start: ApplicationName as the daemon runs it
// (in the working directory, a bare name along PATH). Empty when not found.
std::string FindProgram(const std::string &application, const std::string &directory) {
    if (application.find('/') != std::string::npos) {
        if (application[0] == '/' || directory.empty()) return application;
        return directory + "/" + application;
    }
    const char *path = std::getenv("PATH");
    std::string list = path ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t at = 0;
    while (at <= list.size()) {
        std::size_t end = list.find(':', at);
        if (end == std::string::npos) end = list.size();
        std::string candidate = (end == at ? std::string(".") : list.substr(at, end - at)) + "/" + application;
        struct stat st;
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return candidate;
        at = end + 1;
    }
    return {};
}
#endif

std::optional<Problem> CheckProgram(const std::string &name, const svc::JobData &job) {
    const std::string application = Utf8FromUtf16(job.application);
    const std::string directory = Utf8FromUtf16(job.workingDirectory);
    const std::string remedy = "set an existing program: vtask set \"" + name + "\" --app PATH";
    if (application.empty())
        return Problem{"program", name, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), "has no program to run", remedy, {}};
#ifdef _WIN32
    std::error_code ec;
    fs::path p = fs::path(Utf16FromUtf8(application));
    if (p.is_relative() && !directory.empty()) p = fs::path(Utf16FromUtf8(directory)) / p;
    if (!p.has_parent_path()) return std::nullopt;  // found along the search path when it runs
    if (!fs::exists(p, ec))
        return Problem{
            "program", name, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), "its program " + application + " does not exist",
            remedy,    {}};
    if (fs::is_directory(p, ec))
        return Problem{"program", name, E_ACCESSDENIED, "its program " + application + " is a folder", remedy, {}};
    return std::nullopt;
#else
    const std::string found = FindProgram(application, directory);
    struct stat st;
    if (found.empty() || ::stat(found.c_str(), &st) != 0)
        return Problem{"program",
                       name,
                       HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND),
                       "its program " + application + " does not exist" +
                           (application.find('/') == std::string::npos ? " on PATH" : ""),
                       remedy,
                       {}};
    if (!S_ISREG(st.st_mode) || ::access(found.c_str(), X_OK) != 0)
        return Problem{"program",
                       name,
                       E_ACCESSDENIED,
                       "its program " + found + (S_ISREG(st.st_mode) ? " is not executable" : " is not a file"),
                       S_ISREG(st.st_mode) ? "make it executable (chmod +x " + found + ") or " + remedy : remedy,
                       {}};
    return std::nullopt;
#endif
}

// --- parameters ----------------------------------------------------------------------

std::string ShowWords(const std::vector<std::string> &words) {
    std::string out = "[";
    for (std::size_t i = 0; i < words.size(); ++i) out += (i ? ", " : "") + JsonQuote(words[i]);
    return out + "]";
}

std::optional<Problem> CheckParameters(const std::string &name, const svc::JobData &job) {
    if (job.parameters.empty()) return std::nullopt;
    std::vector<std::string> windows;
    for (const std::u16string &w : svc::SplitCommandLine(job.parameters)) windows.push_back(Utf8FromUtf16(w));
    const std::string text = Utf8FromUtf16(job.parameters);
    const auto shell = SplitLikeShell(text);
    if (shell && *shell == windows) return std::nullopt;
    Problem p{"quoting", name, E_INVALIDARG, {}, {}, {}};
    p.text = "its parameters " + text + " reach the program as " + ShowWords(windows) +
             " (Windows' command-line quoting, where single quotes are ordinary characters)";
    if (shell) {
        p.text += ", not as " + ShowWords(*shell) + " as a POSIX shell reads them";
        p.remedy = "if " + ShowWords(*shell) + " is meant, write the parameters in Windows' quoting: vtask set \"" +
                   name + "\" --params '" + QuoteForWindows(*shell) + "'";
    } else {
        p.text += "; a POSIX shell would refuse them (a quote is left open)";
        p.remedy = "check the quotes: vtask set \"" + name + "\" --params TEXT, in Windows' quoting";
    }
    return p;
}

// --- credentials ----------------------------------------------------------------------

#ifndef _WIN32
std::optional<Problem> CheckPassword(const std::string &name, const fs::path &tasks, const svc::JobData &job) {
    OLECHAR guid[40] = {};
    StringFromGUID2(job.uuid, guid, 40);
    std::string id = Utf8FromUtf16(reinterpret_cast<const char16_t *>(guid));
    if (id.size() > 2) id = id.substr(1, id.size() - 2);
    const int fd = ::open((tasks / ".credentials" / id).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return std::nullopt;  // no account
    std::string text;
    char buffer[512];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0 && text.size() < 1 << 20)
        text.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    const std::size_t line = text.find('\n');
    const std::string account = text.substr(0, line);
    const bool noPassword = line == std::string::npos || line + 1 == text.size();
    std::fill(text.begin(), text.end(), '\0');
    if (account.empty() || !noPassword) return std::nullopt;
    return Problem{"password",
                   name,
                   SCHED_E_ACCOUNT_INFORMATION_NOT_SET,
                   "runs as " + account + " but has no stored password",
                   "store the password: Task.SetAccountInformation \"" + account +
                       "\", PASSWORD and Task.Save, or clear the account",
                   {}};
}
#endif

// --- the service ------------------------------------------------------------------------

std::optional<Problem> CheckServiceRuns() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceA(manager, "Schedule", SERVICE_QUERY_STATUS) : nullptr;
    if (manager) CloseServiceHandle(manager);
    SERVICE_STATUS status{};
    const bool known = service && QueryServiceStatus(service, &status);
    if (service) CloseServiceHandle(service);
    if (known && (status.dwCurrentState == SERVICE_RUNNING || status.dwCurrentState == SERVICE_START_PENDING))
        return std::nullopt;
#ifdef _WIN32
    const char *remedy = "start it: net start Schedule";
#else
    const char *remedy = "start it: systemctl --user start velqosvc.service, or run velqosvc";
#endif
    return Problem{
        "service",
        "",
        SCHED_E_SERVICE_NOT_RUNNING,
        known ? "the \"Schedule\" service is not running: no task runs" : "the \"Schedule\" service cannot be asked",
        remedy,
        {}};
}

#ifndef _WIN32
// `systemctl --user is-enabled velqosvc.service`: its exit code and first
// word, or nothing when there is no systemctl to ask.
std::optional<std::pair<int, std::string>> AskSystemctl() {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) return std::nullopt;
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&files, pipeFds[1], 1);
    posix_spawn_file_actions_addopen(&files, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclose(&files, pipeFds[0]);
    const char *argv[] = {"systemctl", "--user", "is-enabled", "velqosvc.service", nullptr};
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, "systemctl", &files, nullptr, const_cast<char **>(argv), environ);
    posix_spawn_file_actions_destroy(&files);
    ::close(pipeFds[1]);
    std::string output;
    char buffer[256];
    ssize_t n;
    while (spawned == 0 && (n = ::read(pipeFds[0], buffer, sizeof buffer)) != 0) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        if (output.size() < 4096) output.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(pipeFds[0]);
    if (spawned != 0) return std::nullopt;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    return std::make_pair(code, Trim(output.substr(0, output.find('\n'))));
}

std::optional<Problem> CheckUnit() {
    const char *remedy =
        "install and enable the user unit velqosvc.service (systemctl --user enable velqosvc.service), "
        "so that the service starts with the session";
    const auto answer = AskSystemctl();
    if (!answer)
        return Problem{"unit",
                       "",
                       HRESULT_FROM_WIN32(ERROR_SERVICE_DOES_NOT_EXIST),
                       "the service is not installed as a unit: there is no systemctl",
                       remedy,
                       {}};
    if (answer->first == 0) return std::nullopt;
    const bool disabled = answer->second == "disabled";
    return Problem{"unit",
                   "",
                   HRESULT_FROM_WIN32(disabled ? ERROR_SERVICE_DISABLED : ERROR_SERVICE_DOES_NOT_EXIST),
                   disabled ? "the unit velqosvc.service is installed but not enabled"
                            : "the service is not installed as a unit (velqosvc.service: " +
                                  (answer->second.empty() ? std::string("no answer") : answer->second) + ")",
                   remedy,
                   {}};
}
#endif

// --- quarantine -------------------------------------------------------------------------

// Moves `from` into `folder` under its own name, or with ".1", ".2", ...
// added when that name is taken there; never replaces a file.
fs::path Quarantine(const fs::path &from, const fs::path &folder) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) throw std::runtime_error("cannot create " + PathText(folder) + ": " + ec.message());
    for (int n = 0; n < 10000; ++n) {
        fs::path target = folder / from.filename();
        if (n) target += "." + std::to_string(n);
#ifdef _WIN32
        if (MoveFileExW(from.c_str(), target.c_str(), 0)) return target;
        const DWORD error = GetLastError();
        if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS)
            throw std::runtime_error("cannot move " + PathText(from) + " (error " + std::to_string(error) + ")");
#else
        if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) return target;
        if (errno != EEXIST)
            throw std::runtime_error("cannot move " + from.string() + " to " + target.string() + ": " +
                                     std::strerror(errno));
#endif
    }
    throw std::runtime_error("no free name in " + PathText(folder));
}

// --- output --------------------------------------------------------------------------------

void Print(const std::vector<Problem> &problems, const fs::path &tasks, bool json, std::ostream &out) {
    if (json) {
        Json list = Json::MakeArray();
        for (const Problem &p : problems) {
            Json row = Json::MakeObject();
            row.Add("kind", p.kind);
            row.Add("task", p.task.empty() ? Json() : Json(p.task));
            row.Add("hresult", Hex32(static_cast<std::uint32_t>(p.hr)));
            row.Add("hresultName", HresultName(p.hr));
            row.Add("problem", p.text);
            row.Add("remedy", p.remedy);
            if (!p.movedTo.empty()) row.Add("movedTo", p.movedTo);
            list.Add(std::move(row));
        }
        Json top = Json::MakeObject();
        top.Add("store", PathText(tasks));
        top.Add("problems", std::move(list));
        top.Write(out);
        out << "\n";
        return;
    }
    for (const Problem &p : problems) {
        out << (p.task.empty() ? std::string("service") : p.task) << ": " << HresultName(p.hr) << " ("
            << Hex32(static_cast<std::uint32_t>(p.hr)) << "): " << p.text << "\n";
        if (!p.movedTo.empty())
            out << "  moved to " << p.movedTo << "\n";
        else
            out << "  remedy: " << p.remedy << "\n";
    }
    out << (problems.empty()
                ? std::string("no problems found")
                : std::to_string(problems.size()) + " problem" + (problems.size() == 1 ? "" : "s") + " found")
        << " in " << PathText(tasks) << "\n";
}

}  // namespace

std::optional<std::vector<std::string>> SplitLikeShell(const std::string &text) {
    std::vector<std::string> words;
    std::string current;
    bool inWord = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == ' ' || c == '\t' || c == '\n') {
            if (inWord) words.push_back(std::move(current));
            current.clear();
            inWord = false;
            continue;
        }
        inWord = true;
        if (c == '\\') {
            if (++i == text.size()) return std::nullopt;
            if (text[i] != '\n') current.push_back(text[i]);
        } else if (c == '\'') {
            const std::size_t end = text.find('\'', i + 1);
            if (end == std::string::npos) return std::nullopt;
            current.append(text, i + 1, end - i - 1);
            i = end;
        } else if (c == '"') {
            for (++i;; ++i) {
                if (i == text.size()) return std::nullopt;
                if (text[i] == '"') break;
                if (text[i] == '\\' && i + 1 < text.size() && std::strchr("$`\"\\\n", text[i + 1])) {
                    if (text[++i] != '\n') current.push_back(text[i]);
                } else {
                    current.push_back(text[i]);
                }
            }
        } else {
            current.push_back(c);
        }
    }
    if (inWord) words.push_back(std::move(current));
    return words;
}

std::string QuoteForWindows(const std::vector<std::string> &words) {
    std::string out;
    for (const std::string &word : words) {
        if (!out.empty()) out += ' ';
        if (!word.empty() && word.find_first_of(" \t\"") == std::string::npos) {
            out += word;
            continue;
        }
        out += '"';
        std::size_t backslashes = 0;
        for (char c : word) {
            if (c == '\\') {
                ++backslashes;
                continue;
            }
            out.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
            backslashes = 0;
            out += c;
        }
        out.append(2 * backslashes, '\\');
        out += '"';
    }
    return out;
}

int RunCheck(const std::vector<std::string> &argv, std::ostream &out, std::ostream &err) {
    try {
        // The words around "check": the global options before it, its own after.
        std::vector<std::string> words;
        bool seen = false;
        for (std::size_t i = 0; i < argv.size(); ++i) {
            if (!seen && argv[i] == "check") {
                seen = true;
                continue;
            }
            words.push_back(argv[i]);
            if (!seen && argv[i] == "--computer" && i + 1 < argv.size()) words.push_back(argv[++i]);
        }
        const ParsedArgs args = ParseArgs(words, {{"repair", false}, {"json", false}, {"help", false}, {"computer"}});
        if (args.Has("help")) {
            out << kHelp;
            return 0;
        }
        if (args.Has("computer")) throw UsageError("check examines this computer's store only");
        if (args.positional.size() > 1) throw UsageError("check takes at most one task name");
        std::optional<std::string> only;
        if (!args.positional.empty()) {
            only = args.positional[0];
            Utf16FromUtf8(*only, "the task name");
        }

        char windows[MAX_PATH + 1] = {};
        const UINT length = GetWindowsDirectoryA(windows, MAX_PATH);
        if (length == 0 || length > MAX_PATH) throw std::runtime_error("the Windows directory is not known");
        const fs::path windir = fs::path(std::string(windows, length));
        const fs::path tasks = windir / "Tasks";
        const fs::path quarantine = windir / "Tasks.quarantine";

        // The items, as the service lists them: every *.job file of the folder.
        std::vector<Item> items;
        std::error_code ec;
        for (fs::directory_iterator it(tasks, ec), end; !ec && it != end; it.increment(ec)) {
            const std::string file = PathText(it->path().filename());
            if (file.size() <= 4 || file[0] == '.' || Lower(file.substr(file.size() - 4)) != ".job") continue;
            items.push_back({file.substr(0, file.size() - 4), it->path()});
        }
        if (ec && ec != std::errc::no_such_file_or_directory)
            throw std::runtime_error("cannot read " + PathText(tasks) + ": " + ec.message());
        std::sort(items.begin(), items.end(), [](const Item &a, const Item &b) { return a.name < b.name; });
        auto selected = [&](const std::string &name) { return !only || FoldName(name) == FoldName(*only); };
        if (only && std::none_of(items.begin(), items.end(), [&](const Item &i) { return selected(i.name); })) {
            err << "vtask: no task named '" << *only << "' in " << PathText(tasks) << "\n";
            return 1;
        }

        std::vector<Problem> problems;
        std::map<std::u16string, std::vector<std::string>> byFolded;
        std::time_t clock = std::time(nullptr);
        std::tm now{};
#ifdef _WIN32
        localtime_s(&now, &clock);
#else
        localtime_r(&clock, &now);
#endif
        for (const Item &item : items) {
            byFolded[FoldName(item.name)].push_back(item.name);
            if (!selected(item.name)) continue;
            svc::JobData job;
            std::string reason;
            const HRESULT hr = ReadItem(item.path, job, reason);
            if (FAILED(hr)) {
                Problem p{
                    "unreadable",
                    item.name,
                    hr,
                    "cannot be opened: " + (reason.empty() ? "unreadable" : reason),
                    "vtask check --repair moves it to " + PathText(quarantine) + ", so that the other tasks load again",
                    {}};
                if (args.Has("repair")) p.movedTo = PathText(Quarantine(item.path, quarantine));
                problems.push_back(std::move(p));
                continue;
            }
            if (!job.triggers.empty() && std::none_of(job.triggers.begin(), job.triggers.end(),
                                                      [&](const TASK_TRIGGER &t) { return TriggerLives(t, now); }))
                problems.push_back({"never-runs",
                                    item.name,
                                    SCHED_S_TASK_NO_VALID_TRIGGERS,
                                    "will never run: each of its triggers is disabled or has ended",
                                    "add a trigger (vtask trigger add \"" + item.name +
                                        "\" ...) or remove the task (vtask delete \"" + item.name + "\")",
                                    {}});
#ifndef _WIN32
            if (auto p = CheckPassword(item.name, tasks, job)) problems.push_back(std::move(*p));
#endif
            if (auto p = CheckProgram(item.name, job)) problems.push_back(std::move(*p));
            if (auto p = CheckParameters(item.name, job)) problems.push_back(std::move(*p));
        }
        for (const auto &[folded, names] : byFolded) {
            if (names.size() < 2 || std::none_of(names.begin(), names.end(), selected)) continue;
            std::string list;
            for (const std::string &n : names) list += (list.empty() ? "" : ", ") + n;
            problems.push_back({"case",
                                names[0],
                                HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS),
                                "names that differ only in letter case: " + list +
                                    "; Windows and the component take them for one task",
                                "keep one: rename the others (vtask clone OLD NEW, then vtask delete OLD)",
                                {}});
        }
        if (auto p = CheckServiceRuns()) problems.push_back(std::move(*p));
#ifndef _WIN32
        if (auto p = CheckUnit()) problems.push_back(std::move(*p));
#endif
        Print(problems, tasks, args.Has("json"), out);
        out.flush();
        return problems.empty() ? 0 : 1;
    } catch (const UsageError &e) {
        err << "vtask: " << e.what() << "\ntry 'vtask check --help'\n";
        return 2;
    } catch (const std::exception &e) {
        err << "vtask: " << e.what() << "\n";
        return 1;
    }
}

}  // namespace vtask
