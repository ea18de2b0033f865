// The .job file: reading, writing and the atomic replacement on disk.
//
// Reading is strict: every count is checked against the bytes that remain,
// the application-name offset must be 70, every trigger record must say it
// is 48 bytes, the trigger offset must point at the trigger count, and after
// the triggers there is either nothing or exactly one 68-byte signature.
// Anything else is SCHED_E_INVALID_TASK and the caller's JobData is left as
// it was.
#include "platform/service/job/jobfile.h"

#ifndef _WIN32
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <new>
#include <random>

#ifndef _WIN32
#include "platform/service/job/jobfile_seam.h"
#endif

namespace velqo::service {

namespace {

static_assert(std::endian::native == std::endian::little, "trigger records are copied as stored");

#ifndef ERROR_TOO_MANY_OPEN_FILES
#define ERROR_TOO_MANY_OPEN_FILES 4L
#endif
#ifndef ERROR_WRITE_FAULT
#define ERROR_WRITE_FAULT 29L
#endif
#ifndef ERROR_READ_FAULT
#define ERROR_READ_FAULT 30L
#endif
#ifndef ERROR_DISK_FULL
#define ERROR_DISK_FULL 112L
#endif
#ifndef ERROR_FILENAME_EXCED_RANGE
#define ERROR_FILENAME_EXCED_RANGE 206L
#endif
#ifndef ERROR_CANT_RESOLVE_FILENAME
#define ERROR_CANT_RESOLVE_FILENAME 1921L
#endif

constexpr std::size_t kFixedSize = 68;
constexpr WORD kApplicationNameOffset = 70;
constexpr std::size_t kTriggerRecordSize = 48;
constexpr std::size_t kSignatureSize = 68;
constexpr std::size_t kReservedHeadSize = 8;     // start error + task flags
constexpr std::size_t kMaxStringUnits = 0xFFFE;  // the count word includes the NUL
constexpr std::size_t kMaxCount = 0xFFFF;

#ifndef _WIN32
std::atomic<JobFileWriteFunction> g_writeFunction{nullptr};
#endif

// Little-endian cursor over an untrusted buffer. Once a read would pass the
// end the cursor fails and every later read yields zeros.
class Reader {
public:
    Reader(const BYTE *data, std::size_t size) : data_(data), size_(size) {}

    bool Need(std::size_t n) {
        if (!ok_ || size_ - pos_ < n) ok_ = false;
        return ok_;
    }
    WORD Word() {
        if (!Need(2)) return 0;
        WORD v = WORD(data_[pos_] | (data_[pos_ + 1] << 8));
        pos_ += 2;
        return v;
    }
    DWORD Dword() {
        DWORD lo = Word();
        DWORD hi = Word();
        return lo | (hi << 16);
    }
    const BYTE *Take(std::size_t n) {
        if (!Need(n)) return nullptr;
        const BYTE *p = data_ + pos_;
        pos_ += n;
        return p;
    }
    bool ok() const { return ok_; }
    std::size_t pos() const { return pos_; }
    std::size_t remaining() const { return size_ - pos_; }

private:
    const BYTE *data_;
    std::size_t size_;
    std::size_t pos_ = 0;
    bool ok_ = true;
};

class Writer {
public:
    explicit Writer(std::vector<BYTE> &out) : out_(out) {}
    void Word(WORD v) {
        out_.push_back(BYTE(v & 0xFF));
        out_.push_back(BYTE(v >> 8));
    }
    void Dword(DWORD v) {
        Word(WORD(v & 0xFFFF));
        Word(WORD(v >> 16));
    }
    void Bytes(const void *p, std::size_t n) {
        const BYTE *b = static_cast<const BYTE *>(p);
        out_.insert(out_.end(), b, b + n);
    }
    void PatchWord(std::size_t at, WORD v) {
        out_[at] = BYTE(v & 0xFF);
        out_[at + 1] = BYTE(v >> 8);
    }
    std::size_t pos() const { return out_.size(); }

private:
    std::vector<BYTE> &out_;
};

// A counted string: the count includes the terminating NUL. The text ends at
// the first NUL inside the count; a count with no NUL in it is corrupt. A
// count of 0 (no units at all) is read as the empty string.
bool ReadString(Reader &r, std::u16string &s) {
    WORD count = r.Word();
    const BYTE *p = r.Take(std::size_t(count) * 2);
    if (!p) return false;
    if (count == 0) {
        s.clear();
        return true;
    }
    std::u16string units(count, u'\0');
    for (std::size_t i = 0; i < count; ++i) units[i] = char16_t(p[2 * i] | (p[2 * i + 1] << 8));
    std::size_t nul = units.find(u'\0');
    if (nul == std::u16string::npos) return false;
    units.resize(nul);
    s = std::move(units);
    return true;
}

void WriteString(Writer &w, const std::u16string &s) {
    w.Word(WORD(s.size() + 1));
    for (char16_t c : s) w.Word(WORD(c));
    w.Word(0);
}

bool StringFits(const std::u16string &s) {
    return s.size() <= kMaxStringUnits && s.find(u'\0') == std::u16string::npos;
}

// The file functions are the POSIX service's; on Windows only the parser and
// the writer of the bytes are built (for `vtask check`).
#ifndef _WIN32
HRESULT FromErrno(int error, bool writing) {
    switch (error) {
        case ENOENT: return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
        case ENOTDIR: return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR:
        case ETXTBSY: return E_ACCESSDENIED;
        case ENOMEM: return E_OUTOFMEMORY;
        case ENOSPC:
        case EDQUOT:
        case EFBIG: return HRESULT_FROM_WIN32(ERROR_DISK_FULL);
        case ENAMETOOLONG: return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
        case EMFILE:
        case ENFILE: return HRESULT_FROM_WIN32(ERROR_TOO_MANY_OPEN_FILES);
        case ELOOP: return HRESULT_FROM_WIN32(ERROR_CANT_RESOLVE_FILENAME);
        case EIO: return HRESULT_FROM_WIN32(writing ? ERROR_WRITE_FAULT : ERROR_READ_FAULT);
        default: return E_FAIL;
    }
}

ssize_t WriteSome(int fd, const void *buffer, std::size_t size) {
    JobFileWriteFunction f = g_writeFunction.load();
    return f ? f(fd, buffer, size) : ::write(fd, buffer, size);
}

// The whole buffer, retried across short writes and interruptions. A write
// that makes no progress is taken as a full disk.
int WriteAll(int fd, const BYTE *p, std::size_t size) {
    while (size > 0) {
        ssize_t n = WriteSome(fd, p, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) return ENOSPC;
        p += n;
        size -= std::size_t(n);
    }
    return 0;
}

#endif

}  // namespace

#ifndef _WIN32
void SetJobFileWriteFunction(JobFileWriteFunction function) noexcept { g_writeFunction.store(function); }

int CreateTemporary(const std::string &folder, const std::string &prefix, std::string &temp) noexcept {
    try {
        temp = folder + "/" + prefix + ".tmp-XXXXXX";
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        return -1;
    }
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return -1;
    while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    return fd;
}

bool IsTemporaryName(const char *name) noexcept {
    const std::size_t n = std::strlen(name);
    constexpr std::size_t kTail = 11;  // ".tmp-XXXXXX"
    return n > kTail && std::strncmp(name + n - kTail, ".tmp-", 5) == 0;
}

bool RemoveIfStaleTemporary(const std::string &folder, const char *name) noexcept {
    if (!IsTemporaryName(name)) return false;
    try {
        const std::string path = folder + "/" + name;
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
        if (fd < 0) return false;
        struct stat st {};
        bool stale = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                     st.st_mtime + kStaleTemporarySeconds < ::time(nullptr) && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
        // Still the same file (not a writer's new one under a reused name)?
        struct stat now {};
        stale = stale && ::lstat(path.c_str(), &now) == 0 && now.st_ino == st.st_ino && now.st_dev == st.st_dev &&
                ::unlink(path.c_str()) == 0;
        ::close(fd);
        return stale;
    } catch (const std::bad_alloc &) {
        return false;
    }
}

void RemoveStaleTemporaries(const std::string &folder) noexcept {
    DIR *dir = ::opendir(folder.c_str());
    if (!dir) return;
    while (const dirent *entry = ::readdir(dir)) RemoveIfStaleTemporary(folder, entry->d_name);
    ::closedir(dir);
}
#endif

JobData NewJob() {
    JobData job;
    if (FAILED(CoCreateGuid(&job.uuid))) {
        std::random_device rd;
        BYTE raw[sizeof(GUID)];
        for (BYTE &b : raw) b = BYTE(rd());
        std::memcpy(&job.uuid, raw, sizeof raw);
        job.uuid.Data3 = WORD((job.uuid.Data3 & 0x0FFF) | 0x4000);
        job.uuid.Data4[0] = BYTE((job.uuid.Data4[0] & 0x3F) | 0x80);
    }
    // A signature block with version 1, minimum client version 1 and a zero
    // signature: what the other services write for an unsigned item.
    job.signature.assign(kSignatureSize, 0);
    job.signature[0] = 1;
    job.signature[2] = 1;
    return job;
}

HRESULT ParseJob(const BYTE *data, std::size_t size, JobData &out, std::string *reason) noexcept {
    try {
        // Each refusal says why, for `vtask check` and the logs.
        auto fail = [reason](HRESULT hr, const std::string &why) {
            if (reason) *reason = why;
            return hr;
        };
        if (!data || size < kFixedSize + 2)
            return fail(SCHED_E_INVALID_TASK,
                        "truncated: " + std::to_string(size) + " bytes, shorter than the fixed section");
        if (size > kMaxJobFileSize) return fail(SCHED_E_INVALID_TASK, "larger than any work item");
        Reader r(data, size);
        JobData j;
        j.productVersion = r.Word();
        j.fileVersion = r.Word();
        if (j.fileVersion != 1)
            return fail(SCHED_E_UNKNOWN_OBJECT_VERSION,
                        "bad version: file version " + std::to_string(j.fileVersion) + ", not 1");
        j.uuid.Data1 = r.Dword();
        j.uuid.Data2 = r.Word();
        j.uuid.Data3 = r.Word();
        std::memcpy(j.uuid.Data4, r.Take(8), 8);
        if (r.Word() != kApplicationNameOffset)
            return fail(SCHED_E_INVALID_TASK, "bad fixed section: the application name is not at offset 70");
        WORD triggerOffset = r.Word();
        j.errorRetryCount = r.Word();
        j.errorRetryInterval = r.Word();
        j.idleDeadline = r.Word();
        j.idleWait = r.Word();
        j.priority = r.Dword();
        j.maxRunTime = r.Dword();
        j.exitCode = r.Dword();
        j.status = HRESULT(r.Dword());
        j.flags = r.Dword();
        j.mostRecentRun.wYear = r.Word();
        j.mostRecentRun.wMonth = r.Word();
        j.mostRecentRun.wDayOfWeek = r.Word();
        j.mostRecentRun.wDay = r.Word();
        j.mostRecentRun.wHour = r.Word();
        j.mostRecentRun.wMinute = r.Word();
        j.mostRecentRun.wSecond = r.Word();
        j.mostRecentRun.wMilliseconds = r.Word();

        j.runningInstances = r.Word();
        const std::pair<std::u16string *, const char *> strings[] = {{&j.application, "application name"},
                                                                     {&j.parameters, "parameters"},
                                                                     {&j.workingDirectory, "working directory"},
                                                                     {&j.creator, "creator"},
                                                                     {&j.comment, "comment"}};
        for (const auto &[text, field] : strings) {
            if (!ReadString(r, *text))
                return fail(SCHED_E_INVALID_TASK, r.ok() ? std::string("bad string count: the ") + field +
                                                               " field has no NUL within its count"
                                                         : std::string("truncated, or a bad string count: the ") +
                                                               field + " field runs past the end of the file");
        }

        WORD dataSize = r.Word();
        const BYTE *userData = r.Take(dataSize);
        if (!userData) return fail(SCHED_E_INVALID_TASK, "truncated: the data block runs past the end of the file");
        j.userData.assign(userData, userData + dataSize);

        // Reserved data: the start error and the task flags, zero-filled when
        // a writer stored fewer than eight bytes; anything past them is kept.
        WORD reservedSize = r.Word();
        const BYTE *reserved = r.Take(reservedSize);
        if (!reserved) return fail(SCHED_E_INVALID_TASK, "truncated: the reserved data runs past the end of the file");
        BYTE head[kReservedHeadSize] = {};
        std::memcpy(head, reserved, std::min<std::size_t>(reservedSize, kReservedHeadSize));
        j.startError = HRESULT(DWORD(head[0]) | DWORD(head[1]) << 8 | DWORD(head[2]) << 16 | DWORD(head[3]) << 24);
        j.taskFlags = DWORD(head[4]) | DWORD(head[5]) << 8 | DWORD(head[6]) << 16 | DWORD(head[7]) << 24;
        if (reservedSize > kReservedHeadSize)
            j.reservedTail.assign(reserved + kReservedHeadSize, reserved + reservedSize);

        // The offset word holds the low 16 bits of the position: items with
        // long strings have their trigger count past 64 KiB.
        if (WORD(r.pos() & 0xFFFF) != triggerOffset)
            return fail(SCHED_E_INVALID_TASK, "bad trigger offset: it does not point at the trigger count");
        WORD triggerCount = r.Word();
        if (!r.Need(std::size_t(triggerCount) * kTriggerRecordSize))
            return fail(SCHED_E_INVALID_TASK,
                        "truncated: " + std::to_string(triggerCount) + " triggers run past the end of the file");
        j.triggers.resize(triggerCount);
        for (TASK_TRIGGER &t : j.triggers) {
            const BYTE *rec = r.Take(kTriggerRecordSize);
            if (!rec || (rec[0] | (rec[1] << 8)) != kTriggerRecordSize)
                return fail(SCHED_E_INVALID_TASK, "bad trigger: a record does not say it is 48 bytes");
            std::memcpy(&t, rec, kTriggerRecordSize);
        }
        if (!r.ok()) return fail(SCHED_E_INVALID_TASK, "truncated");

        // Nothing more, or exactly one signature block.
        if (r.remaining() == kSignatureSize) {
            const BYTE *sig = r.Take(kSignatureSize);
            j.signature.assign(sig, sig + kSignatureSize);
        } else if (r.remaining() != 0) {
            return fail(SCHED_E_INVALID_TASK, std::to_string(r.remaining()) +
                                                  " bytes after the triggers, which are not one 68-byte signature");
        }
        out = std::move(j);
        return S_OK;
    } catch (const std::bad_alloc &) {
        return E_OUTOFMEMORY;
    }
}

HRESULT SerializeJob(const JobData &job, std::vector<BYTE> &out) noexcept {
    if (job.fileVersion != 1) return E_INVALIDARG;
    for (const std::u16string *s :
         {&job.application, &job.parameters, &job.workingDirectory, &job.creator, &job.comment})
        if (!StringFits(*s)) return E_INVALIDARG;
    if (job.userData.size() > kMaxCount) return E_INVALIDARG;
    if (job.reservedTail.size() > kMaxCount - kReservedHeadSize) return E_INVALIDARG;
    if (job.triggers.size() > kMaxCount) return E_INVALIDARG;
    for (const TASK_TRIGGER &t : job.triggers)
        if (t.cbTriggerSize != kTriggerRecordSize) return E_INVALIDARG;
    if (!job.signature.empty() && job.signature.size() != kSignatureSize) return E_INVALIDARG;
    try {
        std::vector<BYTE> bytes;
        bytes.reserve(kFixedSize + 2 + 10 +
                      2 * (job.application.size() + job.parameters.size() + job.workingDirectory.size() +
                           job.creator.size() + job.comment.size()) +
                      6 + job.userData.size() + kReservedHeadSize + job.reservedTail.size() +
                      kTriggerRecordSize * job.triggers.size() + job.signature.size());
        Writer w(bytes);
        w.Word(job.productVersion);
        w.Word(job.fileVersion);
        w.Dword(job.uuid.Data1);
        w.Word(job.uuid.Data2);
        w.Word(job.uuid.Data3);
        w.Bytes(job.uuid.Data4, 8);
        w.Word(kApplicationNameOffset);
        const std::size_t triggerOffsetAt = w.pos();
        w.Word(0);
        w.Word(job.errorRetryCount);
        w.Word(job.errorRetryInterval);
        w.Word(job.idleDeadline);
        w.Word(job.idleWait);
        w.Dword(job.priority);
        w.Dword(job.maxRunTime);
        w.Dword(job.exitCode);
        w.Dword(DWORD(job.status));
        w.Dword(job.flags);
        const SYSTEMTIME &st = job.mostRecentRun;
        for (WORD v : {st.wYear, st.wMonth, st.wDayOfWeek, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds})
            w.Word(v);

        w.Word(job.runningInstances);
        WriteString(w, job.application);
        WriteString(w, job.parameters);
        WriteString(w, job.workingDirectory);
        WriteString(w, job.creator);
        WriteString(w, job.comment);
        w.Word(WORD(job.userData.size()));
        w.Bytes(job.userData.data(), job.userData.size());
        w.Word(WORD(kReservedHeadSize + job.reservedTail.size()));
        w.Dword(DWORD(job.startError));
        w.Dword(job.taskFlags);
        w.Bytes(job.reservedTail.data(), job.reservedTail.size());

        w.PatchWord(triggerOffsetAt, WORD(w.pos() & 0xFFFF));
        w.Word(WORD(job.triggers.size()));
        for (const TASK_TRIGGER &t : job.triggers) w.Bytes(&t, kTriggerRecordSize);
        w.Bytes(job.signature.data(), job.signature.size());
        out = std::move(bytes);
        return S_OK;
    } catch (const std::bad_alloc &) {
        return E_OUTOFMEMORY;
    }
}

#ifndef _WIN32
namespace {

HRESULT Unreadable(int error, std::string *reason) {
    if (reason) {
        try {
            *reason = std::string("unreadable: ") + std::strerror(error);
        } catch (const std::bad_alloc &) {
        }
    }
    return FromErrno(error, false);
}

// Opens a work item's file: never through a symbolic link, which could lead
// out of the folder, and non-blocking, so that a FIFO at the path is refused
// instead of waited on.
HRESULT OpenItem(const std::string &path, int flags, int &fd, std::string *reason) {
    fd = -1;
    if (path.empty()) return E_INVALIDARG;
    fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
    return fd < 0 ? Unreadable(errno, reason) : S_OK;
}

// Reads and parses the open file `fd`; its bytes go to `kept` when given.
HRESULT ReadItem(int fd, JobData &out, std::vector<BYTE> *kept, std::string *reason) {
    HRESULT hr = S_OK;
    try {
        struct stat st;
        if (::fstat(fd, &st) != 0) return Unreadable(errno, reason);
        if (S_ISDIR(st.st_mode)) return Unreadable(EISDIR, reason);
        if (!S_ISREG(st.st_mode) || std::size_t(st.st_size) > kMaxJobFileSize) {
            if (reason) *reason = S_ISREG(st.st_mode) ? "larger than any work item" : "not a regular file";
            return SCHED_E_INVALID_TASK;
        }
        // Read to the end, one byte past the limit at most: a file that grows
        // while it is read is still measured against it. A work item fits the
        // buffer on the stack; one read that returns the size fstat gave is
        // the whole file (a regular file reads short only at its end), so the
        // usual item costs one read.
        BYTE local[4096];
        std::vector<BYTE> heap;
        BYTE *buffer = local;
        std::size_t capacity = sizeof local;
        const std::size_t expected = std::size_t(st.st_size);
        if (expected + 1 > capacity) {
            heap.resize(expected + 1);
            buffer = heap.data();
            capacity = heap.size();
        }
        std::size_t have = 0;
        for (;;) {
            if (have == capacity) {
                if (capacity > kMaxJobFileSize) break;
                const std::size_t grown = std::min(capacity * 2, kMaxJobFileSize + 1);
                if (heap.empty()) heap.assign(local, local + have);
                heap.resize(grown);
                buffer = heap.data();
                capacity = grown;
            }
            ssize_t n = ::read(fd, buffer + have, capacity - have);
            if (n < 0) {
                if (errno == EINTR) continue;
                return Unreadable(errno, reason);
            }
            if (n == 0) break;
            have += std::size_t(n);
            if (have == expected && have < capacity) break;
        }
        if (have > kMaxJobFileSize) {
            if (reason) *reason = "larger than any work item";
            return SCHED_E_INVALID_TASK;
        }
        if (kept) kept->assign(buffer, buffer + have);
        hr = ParseJob(buffer, have, out, reason);
    } catch (const std::bad_alloc &) {
        hr = E_OUTOFMEMORY;
    }
    return hr;
}

}  // namespace

HRESULT ReadJobFile(const std::string &path, JobData &out, std::string *reason) noexcept {
    int fd = -1;
    HRESULT hr = OpenItem(path, O_RDONLY, fd, reason);
    if (FAILED(hr)) return hr;
    hr = ReadItem(fd, out, nullptr, reason);
    ::close(fd);
    return hr;
}

HRESULT OpenJobFile(const std::string &path, JobData &out, std::vector<BYTE> &bytes, int &fd) noexcept {
    HRESULT hr = OpenItem(path, O_RDWR, fd, nullptr);
    if (FAILED(hr)) return hr;
    JobData job;
    hr = ReadItem(fd, job, &bytes, nullptr);
    if (hr == S_OK) {
        out = std::move(job);
        return S_OK;
    }
    ::close(fd);
    fd = -1;
    return hr;
}

HRESULT WriteJobInPlace(int fd, const std::vector<BYTE> &bytes, const JobData &job) noexcept {
    try {
        std::vector<BYTE> now;
        if (HRESULT hr = SerializeJob(job, now); FAILED(hr)) return hr;
        if (now.size() != bytes.size()) return S_FALSE;
        const auto first = std::mismatch(bytes.begin(), bytes.end(), now.begin()).first - bytes.begin();
        if (first == std::ptrdiff_t(bytes.size())) return S_OK;
        auto last = std::ptrdiff_t(bytes.size());
        while (bytes[std::size_t(last - 1)] == now[std::size_t(last - 1)]) --last;
        int error = 0;
        if (::lseek(fd, first, SEEK_SET) != first) error = errno;
        if (!error) error = WriteAll(fd, now.data() + first, std::size_t(last - first));
        return error ? FromErrno(error, true) : S_OK;
    } catch (const std::bad_alloc &) {
        return E_OUTOFMEMORY;
    }
}

// The folder of a file's path: "." for a bare name, "/" for the root.
static std::string FolderOf(const std::string &path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

void FlushFolder(const std::string &folder) noexcept {
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

HRESULT WriteJobTemporary(const std::string &path, const JobData &job, std::string &temp, int &fd) noexcept {
    fd = -1;
    if (path.empty() || path.back() == '/') return E_INVALIDARG;
    try {
        std::vector<BYTE> bytes;
        HRESULT hr = SerializeJob(job, bytes);
        if (FAILED(hr)) return hr;

        const std::string folder = FolderOf(path);
        const std::string name = path.substr(path.rfind('/') + 1);

        // The replacement keeps the old file's permissions and owner; a new
        // file is readable by its owner only.
        mode_t mode = 0600;
        struct stat old;
        const bool haveOld = ::stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode);
        if (haveOld) mode = old.st_mode & 07777;

        fd = CreateTemporary(folder, "." + name, temp);
        if (fd < 0) return errno == ENOENT ? HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND) : FromErrno(errno, true);
        int error = 0;
        if (::fchmod(fd, mode) != 0) error = errno;
        if (!error && haveOld && (old.st_uid != ::geteuid() || old.st_gid != ::getegid())) {
            if (::fchown(fd, old.st_uid, old.st_gid) != 0) {
                // Not permitted for an unprivileged writer: the file then
                // belongs to the writer, as a newly created one would.
            }
        }
        if (!error) error = WriteAll(fd, bytes.data(), bytes.size());
        if (error) {
            ::unlink(temp.c_str());
            ::close(fd);
            fd = -1;
            return FromErrno(error, true);
        }
        return S_OK;
    } catch (const std::bad_alloc &) {  // only before the file is made
        return E_OUTOFMEMORY;
    }
}

HRESULT WriteJobFile(const std::string &path, const JobData &job) noexcept {
    std::string temp;
    int fd = -1;
    if (HRESULT hr = WriteJobTemporary(path, job, temp, fd); FAILED(hr)) return hr;
    int error = 0;
    if (::fsync(fd) != 0) error = errno;
    if (!error && ::rename(temp.c_str(), path.c_str()) != 0) error = errno;
    if (error) ::unlink(temp.c_str());
    ::close(fd);  // after the rename: the lock tells a live writer's file from a left one
    if (error) return FromErrno(error, true);
    // Make the rename itself durable. The new file is already in place,
    // so a folder that cannot be flushed is not reported as a failure.
    FlushFolder(FolderOf(path));
    return S_OK;
}

#endif

}  // namespace velqo::service
