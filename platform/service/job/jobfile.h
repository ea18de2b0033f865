// One work item as it is kept on disk: the .job file's fixed section,
// variable section, triggers and optional signature, in the published
// little-endian layout shared with the other Task Scheduler 1.0 services.
#pragma once

#include <windows.h>

#include <mstask.h>

#include <cstddef>
#include <string>
#include <vector>

namespace velqo::service {

// The largest file the parser looks at: five strings of 65,535 units, 65,535
// bytes of data and reserved data, 65,535 triggers and the signature.
constexpr std::size_t kMaxJobFileSize = 5 * (2 + 2 * 65535) + 2 * (2 + 65535) + 2 + 48 * 65535 + 68 + 70;

struct JobData {
    // fixed section
    WORD productVersion = 0x0601;
    WORD fileVersion = 1;
    GUID uuid{};
    WORD errorRetryCount = 0;
    WORD errorRetryInterval = 0;
    WORD idleDeadline = 60;  // minutes
    WORD idleWait = 10;      // minutes
    DWORD priority = 0x20;   // NORMAL_PRIORITY_CLASS
    DWORD maxRunTime = 259200000;  // milliseconds, INFINITE = no limit
    DWORD exitCode = 0;
    HRESULT status = SCHED_S_TASK_HAS_NOT_RUN;
    DWORD flags = 0;         // TASK_FLAG_*
    SYSTEMTIME mostRecentRun{};  // all zero: never run
    // variable section
    WORD runningInstances = 0;
    std::u16string application, parameters, workingDirectory, creator, comment;
    std::vector<BYTE> userData;
    // reserved data: the start error and the task flags (ITask::SetTaskFlags);
    // bytes past those eight are kept as read.
    HRESULT startError = 0;
    DWORD taskFlags = 0;
    std::vector<BYTE> reservedTail;
    std::vector<TASK_TRIGGER> triggers;
    // the job signature as read (68 bytes), or empty when the file had none
    std::vector<BYTE> signature;
};

// A new item's settings: the defaults above and a fresh UUID.
JobData NewJob();

// Parses a whole file. S_OK; SCHED_E_INVALID_TASK for a truncated, corrupt or
// oversized file, or one with bytes after the triggers other than exactly one
// 68-byte signature; SCHED_E_UNKNOWN_OBJECT_VERSION for a file version it does
// not know. `out` is untouched unless the result is S_OK. On a refusal,
// `reason` (when given) says what is wrong in words: "truncated: ...",
// "bad version: ...", "bad string count: ...".
HRESULT ParseJob(const BYTE *data, std::size_t size, JobData &out, std::string *reason = nullptr) noexcept;

// The file's bytes. E_INVALIDARG when a string, the data or the trigger list
// does not fit its 16-bit count (a string holds at most 65,534 units and no
// NUL), a trigger's size word is not 48, the signature is neither empty nor
// 68 bytes, or the file version is not 1; E_OUTOFMEMORY. `out` is untouched
// on failure. Layout and the values written: docs/job-file.md.
HRESULT SerializeJob(const JobData &job, std::vector<BYTE> &out) noexcept;

// Reads and parses `path` (UTF-8 file-system path); a symbolic link is not
// followed (HRESULT_FROM_WIN32(ERROR_CANT_RESOLVE_FILENAME)). Adds
// HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), E_ACCESSDENIED and the other open
// and read errors listed in docs/job-file.md to ParseJob's results; `reason`
// as for ParseJob ("unreadable: ..." for an open or read error).
HRESULT ReadJobFile(const std::string &path, JobData &out, std::string *reason = nullptr) noexcept;

// For a writer that records a run in the file itself (the daemon): opens
// `path` for reading and writing, with the checks and results of
// ReadJobFile, and returns its settings, its bytes as read and the open
// descriptor (closed on failure).
HRESULT OpenJobFile(const std::string &path, JobData &out, std::vector<BYTE> &bytes, int &fd) noexcept;

// Writes `job` over the file opened by OpenJobFile, as one write of the bytes
// that differ from `bytes`, unflushed. The file keeps its length and layout,
// so whatever moment a reader or a crash catches, it holds a whole item.
// S_FALSE, with nothing written, when the item would not keep its length (a
// string or the triggers changed, or another writer laid the file out
// otherwise): it must then be replaced.
HRESULT WriteJobInPlace(int fd, const std::vector<BYTE> &bytes, const JobData &job) noexcept;

// Writes `path` atomically: a temporary file in the same folder, flushed,
// then renamed over the old one. On any failure the old file is unchanged
// and no temporary file is left behind.
HRESULT WriteJobFile(const std::string &path, const JobData &job) noexcept;

// The first half of WriteJobFile, for a writer that flushes many files at
// once: `job` written, unflushed, to a new temporary file beside `path` with
// the mode and owner of the file it is to replace (a new item: readable by
// its owner only). On success `fd` stays open (and the file locked) until the
// caller has renamed `temp` over `path`; on failure nothing is left behind.
HRESULT WriteJobTemporary(const std::string &path, const JobData &job, std::string &temp, int &fd) noexcept;

// Makes the renames done in `folder` durable (fsync of the folder); a folder
// that cannot be opened is left as it is.
void FlushFolder(const std::string &folder) noexcept;

// Temporary files of an atomic replacement: "<folder>/<prefix>.tmp-XXXXXX",
// created 0600 and locked (flock) for as long as the writer has it open, so
// that a sweep can tell a live writer's file from one a killed writer left.
// The descriptor (close-on-exec), or -1 with errno set; `temp` holds the name.
int CreateTemporary(const std::string &folder, const std::string &prefix, std::string &temp) noexcept;

// Whether an entry name has the temporary-file form above.
bool IsTemporaryName(const char *name) noexcept;

// Removes `folder/name` when it is a temporary file that no live writer
// holds and that was last written more than kStaleTemporarySeconds ago
// (a writer locks its file right after creating it; the age covers that
// moment). True when it removed the file.
constexpr long kStaleTemporarySeconds = 10;
bool RemoveIfStaleTemporary(const std::string &folder, const char *name) noexcept;

// RemoveIfStaleTemporary for every entry of `folder`.
void RemoveStaleTemporaries(const std::string &folder) noexcept;

}  // namespace velqo::service
