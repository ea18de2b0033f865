// The "Schedule" service's state and the requests the service objects send
// to its daemon. The runtime's service control functions are built on these.
#pragma once

#include <mstask.h>
#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

namespace velqo::service {

// The folder holding the daemon's lock, its requests and its log:
// <Windows directory>/Tasks/.service (created on demand, 0700).
std::string StateFolder();

enum class DaemonState { Stopped, StartPending, Running };
DaemonState QueryDaemon() noexcept;

// Asks the running daemon to run, or to stop, the item stored in `jobPath`.
// SCHED_E_SERVICE_NOT_RUNNING when no daemon runs; Terminate answers
// SCHED_E_TASK_NOT_RUNNING for an item that is not running.
HRESULT RequestRun(const std::string &jobPath) noexcept;
HRESULT RequestTerminate(const std::string &jobPath) noexcept;

// --- the state folder's files -------------------------------------------------
// daemon.lock   write-locked (fcntl) by the live daemon for its whole life; holds its pid
// state         "<pid> running" or "<pid> stopping", written by the daemon once it answers requests
// starting      "<pid>", written by StartServiceA for the daemon it spawned; counts while that
//               process lives and no daemon holds the lock
// control.lock  flock'ed by StartServiceA around its check and spawn
// daemon.sock   the daemon's request socket (stream; one request line, one answer line)
// daemon.log    the log of a daemon started by StartServiceA
inline constexpr const char *kLockFile = "daemon.lock";
inline constexpr const char *kStateFile = "state";
inline constexpr const char *kStartingFile = "starting";
inline constexpr const char *kControlLockFile = "control.lock";
inline constexpr const char *kSocketFile = "daemon.sock";
inline constexpr const char *kLogFile = "daemon.log";

// <Windows directory>/Tasks, created on demand; empty when it cannot be made.
std::string TasksFolder();

// The daemon as the service control reports it: SERVICE_STOPPED,
// SERVICE_START_PENDING, SERVICE_RUNNING or SERVICE_STOP_PENDING, and the
// daemon's process id (0 when stopped). QueryDaemon reports a stopping
// daemon as Running.
struct DaemonStatus {
    DWORD state = 1;  // SERVICE_STOPPED
    long pid = 0;
};
DaemonStatus QueryDaemonStatus() noexcept;

// Replaces `path` with `text` (mode 0644: these files hold process ids and
// states, readable by anyone who may enter the folder) through a temporary
// file and a rename.
bool WriteFileAtomic(const std::string &path, const std::string &text) noexcept;

// Whether process `pid` exists and is not a zombie.
bool ProcessAlive(long pid) noexcept;

// The request line format shared by the client and the daemon:
// "RUN <path>\n" or "TERM <path>\n"; the answer is the HRESULT as eight hex
// digits and "\n". A path holding a line break or NUL cannot be sent
// (E_INVALIDARG).
inline constexpr std::size_t kMaxRequestPath = 4096;

// --- run limits -----------------------------------------------------------------
// When a run that `trigger` started at `firedAt` (local time, seconds) must be
// ended because its repetition window closes: the window opens at the
// trigger's start hour and minute on the latest day at or before `firedAt`
// and lasts MinutesDuration minutes. False when the trigger does not ask for
// that (no TASK_TRIGGER_FLAG_KILL_AT_DURATION_END, or no duration).
bool RepetitionWindowEnd(const TASK_TRIGGER &trigger, long long firedAt, long long *end) noexcept;

// --- command lines --------------------------------------------------------------
// Splits a parameter text the way a Windows program's start-up code splits
// its command line: blanks (space, tab) separate arguments outside quotes; a
// quote toggles quoting; 2n backslashes before a quote give n backslashes and
// the quote acts; 2n+1 give n backslashes and a literal quote; other
// backslashes are literal; a doubled quote inside quotes is a literal quote.
std::vector<std::u16string> SplitCommandLine(std::u16string_view text);

// UTF-16 to UTF-8 (a lone surrogate becomes U+FFFD) and back.
std::string ToUtf8(std::u16string_view text);
std::u16string ToUtf16(std::string_view text);

}  // namespace velqo::service
