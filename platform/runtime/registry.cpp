// The registry: a per-user file tree under the store root, one folder per
// predefined key, a folder per key, each key's values in one file that is
// replaced atomically. docs/registry.md describes the layout and the formats.
//
// Readers take no lock: a values file is only ever replaced by rename(), and
// keys appear and disappear by rename() as well, so a reader sees either the
// old or the new state. Writers of one store serialise on an exclusive
// flock() of the store's lock file, which also orders the threads of one
// process (each writer opens its own file description).
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <unordered_set>
#include <vector>

#include "internal.h"
#include "platform/common/private_folder.h"

namespace {

// --- limits and file names ------------------------------------------------------

constexpr std::size_t kMaxKeyName = 255;          // UTF-16 units of one path component
constexpr std::size_t kMaxValueName = 16383;      // UTF-16 units of a value name
constexpr std::size_t kMaxValuesFile = 64 << 20;  // bytes of one key's values file
constexpr std::size_t kMaxFolderName = 200;       // bytes of an encoded folder name before hashing

const char kValuesFile[] = ".values";
const char kNameFile[] = ".name";
const char kLockFile[] = ".lock";
const char kValuesMagic[4] = {'V', 'Q', 'R', 'V'};
constexpr std::uint32_t kValuesVersion = 1;

// --- names -----------------------------------------------------------------------

char16_t FoldLower(char16_t c) { return c >= u'A' && c <= u'Z' ? char16_t(c + 32) : c; }
char16_t FoldUpper(char16_t c) { return c >= u'a' && c <= u'z' ? char16_t(c - 32) : c; }

bool SameName(const std::u16string &a, const std::u16string &b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (FoldUpper(a[i]) != FoldUpper(b[i])) return false;
    return true;
}

// Enumeration order of subkeys: by upper-cased name, unit by unit.
bool NameLess(const std::u16string &a, const std::u16string &b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const char16_t x = FoldUpper(a[i]), y = FoldUpper(b[i]);
        if (x != y) return x < y;
    }
    return a.size() < b.size();
}

bool PlainFolderChar(char16_t c) {
    if (c >= u'a' && c <= u'z') return true;
    if (c >= u'0' && c <= u'9') return true;
    return std::u16string_view(u" !#$&'()+,-.;=@[]^_`{}").find(c) != std::u16string_view::npos;
}

std::uint64_t Fnv1a(const std::u16string &text) {
    std::uint64_t h = 14695981039346656037ull;
    for (char16_t c : text) {
        h = (h ^ (c & 0xFF)) * 1099511628211ull;
        h = (h ^ (c >> 8)) * 1099511628211ull;
    }
    return h;
}

// The folder name of a key: the name with ASCII letters in lower case,
// characters outside a safe set (and a leading '.') as %XXXX, the UTF-16
// unit in hex. Names whose form would be too long for a file name are cut
// and given a '~' and a hash of the whole name; the key's name file tells
// two such names apart.
std::string FolderName(const std::u16string &name) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    std::size_t cut = 0;  // length of the encoded form at a character boundary below the limit
    for (std::size_t i = 0; i < name.size(); ++i) {
        const char16_t c = FoldLower(name[i]);
        if (PlainFolderChar(c) && !(i == 0 && c == u'.')) {
            out.push_back(char(c));
        } else {
            out.push_back('%');
            for (int shift = 12; shift >= 0; shift -= 4) out.push_back(hex[(c >> shift) & 0xF]);
        }
        if (out.size() <= kMaxFolderName) cut = out.size();
    }
    if (out.size() <= kMaxFolderName) return out;
    out.resize(cut);
    std::u16string folded;
    for (char16_t c : name) folded.push_back(FoldLower(c));
    const std::uint64_t h = Fnv1a(folded);
    out.push_back('~');
    for (int shift = 60; shift >= 0; shift -= 4) out.push_back(hex[(h >> shift) & 0xF]);
    return out;
}

bool IsHashedFolderName(const std::string &folder) { return folder.find('~') != std::string::npos; }

// Best-effort inverse of FolderName, for a folder without a name file.
std::u16string NameFromFolder(const std::string &folder) {
    std::u16string out;
    for (std::size_t i = 0; i < folder.size(); ++i) {
        if (folder[i] == '%' && i + 4 < folder.size()) {
            char16_t c = 0;
            bool ok = true;
            for (std::size_t k = 1; k <= 4 && ok; ++k) {
                const char d = folder[i + k];
                c = char16_t(c << 4);
                if (d >= '0' && d <= '9')
                    c = char16_t(c | (d - '0'));
                else if (d >= 'A' && d <= 'F')
                    c = char16_t(c | (d - 'A' + 10));
                else
                    ok = false;
            }
            if (ok) {
                out.push_back(c);
                i += 4;
                continue;
            }
        }
        out.push_back(char16_t(static_cast<unsigned char>(folder[i])));
    }
    return out;
}

std::size_t Length16(const char16_t *s) {
    std::size_t n = 0;
    while (s[n]) ++n;
    return n;
}

// Splits a subkey path into its names. Runs of backslashes separate names
// like one; a path may not begin with one.
LSTATUS SplitPath(LPCWSTR subKey, std::vector<std::u16string> *names) {
    names->clear();
    if (!subKey) return ERROR_SUCCESS;
    if (subKey[0] == u'\\') return ERROR_BAD_PATHNAME;
    std::u16string current;
    for (const char16_t *p = subKey;; ++p) {
        if (*p == u'\\' || *p == 0) {
            if (!current.empty()) {
                if (current.size() > kMaxKeyName) return ERROR_INVALID_PARAMETER;
                names->push_back(std::move(current));
                current.clear();
            }
            if (*p == 0) break;
        } else {
            current.push_back(*p);
        }
    }
    return ERROR_SUCCESS;
}

// --- errors and files -----------------------------------------------------------

LSTATUS FromErrno(int error) {
    switch (error) {
        case 0: return ERROR_SUCCESS;
        case ENOENT:
        case ENOTDIR:
        case ELOOP: return ERROR_FILE_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EROFS: return ERROR_ACCESS_DENIED;
        case ENOSPC:
        case EDQUOT: return ERROR_DISK_FULL;
        case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
        case ENAMETOOLONG: return ERROR_INVALID_PARAMETER;
        default: return ERROR_REGISTRY_IO_FAILED;
    }
}

bool IsFolder(const std::string &path, struct stat *st = nullptr) {
    struct stat local;
    struct stat *s = st ? st : &local;
    return lstat(path.c_str(), s) == 0 && S_ISDIR(s->st_mode);
}

// Reads a whole regular file of at most `limit` bytes. ENOENT when absent,
// EFBIG when larger.
int ReadFile(const std::string &path, std::size_t limit, std::string *out) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return errno;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int e = S_ISREG(st.st_mode) ? errno : EINVAL;  // EINVAL: not a plain file
        close(fd);
        return e;
    }
    if (std::size_t(st.st_size) > limit) {
        close(fd);
        return EFBIG;
    }
    out->clear();
    char buffer[16384];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int e = errno;
            close(fd);
            return e;
        }
        if (n == 0) break;
        if (out->size() + std::size_t(n) > limit) {
            close(fd);
            return EFBIG;
        }
        out->append(buffer, std::size_t(n));
    }
    close(fd);
    return 0;
}

int WriteAll(int fd, const std::string &data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        done += std::size_t(n);
    }
    return 0;
}

// Writes `data` as `folder/name` through a temporary file in the same
// folder: written, flushed to disk, then renamed over the old file.
int ReplaceFile(const std::string &folder, const char *name, const std::string &data) {
    std::string temp = folder + "/" + name + ".XXXXXX";
    const int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return errno;
    int e = WriteAll(fd, data);
    if (!e && fsync(fd) != 0) e = errno;
    if (close(fd) != 0 && !e) e = errno;
    if (!e && rename(temp.c_str(), (folder + "/" + name).c_str()) != 0) e = errno;
    if (e) unlink(temp.c_str());
    return e;
}

// Removes a folder and everything below it.
int RemoveTree(const std::string &path) {
    DIR *dir = opendir(path.c_str());
    if (!dir) return errno;
    int result = 0;
    std::vector<std::string> entries;
    while (dirent *entry = readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        entries.emplace_back(entry->d_name);
    }
    closedir(dir);
    for (const std::string &entry : entries) {
        const std::string child = path + "/" + entry;
        const int e = IsFolder(child) ? RemoveTree(child) : (unlink(child.c_str()) == 0 ? 0 : errno);
        if (e && !result) result = e;
    }
    if (rmdir(path.c_str()) != 0 && !result) result = errno;
    return result;
}

int MakeFolders(const std::string &path) {
    if (IsFolder(path)) return 0;
    const std::size_t slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0) {
        const int e = MakeFolders(path.substr(0, slash));
        if (e) return e;
    }
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return errno;
    return IsFolder(path) ? 0 : ENOTDIR;
}

// --- the values file ---------------------------------------------------------------

struct Value {
    std::u16string name;
    DWORD type = REG_NONE;
    std::string data;
};

std::uint32_t Crc32(const std::string &bytes, std::size_t length) {
    static const auto table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < length; ++i)
        crc = table[(crc ^ static_cast<unsigned char>(bytes[i])) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

void PutU32(std::string *out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out->push_back(char((v >> (8 * i)) & 0xFF));
}

void PutName(std::string *out, const std::u16string &name) {
    PutU32(out, std::uint32_t(name.size()));
    for (char16_t c : name) {
        out->push_back(char(c & 0xFF));
        out->push_back(char(c >> 8));
    }
}

std::string EncodeValues(const std::vector<Value> &values) {
    std::string out(kValuesMagic, sizeof kValuesMagic);
    PutU32(&out, kValuesVersion);
    PutU32(&out, std::uint32_t(values.size()));
    for (const Value &v : values) {
        PutName(&out, v.name);
        PutU32(&out, v.type);
        PutU32(&out, std::uint32_t(v.data.size()));
        out += v.data;
    }
    PutU32(&out, Crc32(out, out.size()));
    return out;
}

class Reader {
public:
    Reader(const std::string &bytes, std::size_t end) : bytes_(bytes), end_(end) {}
    bool U32(std::uint32_t *v) {
        if (end_ - pos_ < 4) return false;
        *v = 0;
        for (int i = 0; i < 4; ++i) *v |= std::uint32_t(static_cast<unsigned char>(bytes_[pos_ + i])) << (8 * i);
        pos_ += 4;
        return true;
    }
    bool Name(std::u16string *name, std::size_t limit) {
        std::uint32_t n;
        if (!U32(&n) || n > limit || (end_ - pos_) / 2 < n) return false;
        name->resize(n);
        for (std::uint32_t i = 0; i < n; ++i, pos_ += 2)
            (*name)[i] = char16_t(static_cast<unsigned char>(bytes_[pos_]) |
                                  (static_cast<unsigned char>(bytes_[pos_ + 1]) << 8));
        return true;
    }
    bool Bytes(std::string *data) {
        std::uint32_t n;
        if (!U32(&n) || end_ - pos_ < n) return false;
        data->assign(bytes_, pos_, n);
        pos_ += n;
        return true;
    }
    bool AtEnd() const { return pos_ == end_; }

private:
    const std::string &bytes_;
    std::size_t end_;
    std::size_t pos_ = 0;
};

bool DecodeValues(const std::string &bytes, std::vector<Value> *values) {
    values->clear();
    if (bytes.size() < sizeof kValuesMagic + 12 || std::memcmp(bytes.data(), kValuesMagic, sizeof kValuesMagic) != 0)
        return false;
    const std::size_t body = bytes.size() - 4;
    std::uint32_t stored = 0;
    for (int i = 0; i < 4; ++i) stored |= std::uint32_t(static_cast<unsigned char>(bytes[body + i])) << (8 * i);
    if (Crc32(bytes, body) != stored) return false;
    Reader in(bytes, body);
    std::uint32_t magic, version, count;
    if (!in.U32(&magic) || !in.U32(&version) || version != kValuesVersion || !in.U32(&count)) return false;
    for (std::uint32_t i = 0; i < count; ++i) {
        Value v;
        if (!in.Name(&v.name, kMaxValueName) || !in.U32(&v.type) || !in.Bytes(&v.data)) return false;
        for (const Value &other : *values)
            if (SameName(other.name, v.name)) return false;
        values->push_back(std::move(v));
    }
    return in.AtEnd();
}

// The values of the key in `folder`: none when the key has no values file;
// ERROR_REGISTRY_CORRUPT when the file is not one this store wrote.
LSTATUS LoadValues(const std::string &folder, std::vector<Value> *values) {
    values->clear();
    std::string bytes;
    const int e = ReadFile(folder + "/" + kValuesFile, kMaxValuesFile + 4096, &bytes);
    if (e == ENOENT) return ERROR_SUCCESS;
    if (e == EFBIG || e == EINVAL) return ERROR_REGISTRY_CORRUPT;
    if (e) return FromErrno(e);
    return DecodeValues(bytes, values) ? ERROR_SUCCESS : ERROR_REGISTRY_CORRUPT;
}

LSTATUS StoreValues(const std::string &folder, const std::vector<Value> &values) {
    const std::string bytes = EncodeValues(values);
    if (bytes.size() > kMaxValuesFile) return ERROR_INVALID_PARAMETER;
    const int e = ReplaceFile(folder, kValuesFile, bytes);
    return e ? FromErrno(e) : ERROR_SUCCESS;
}

std::vector<Value>::iterator FindValue(std::vector<Value> &values, const std::u16string &name) {
    return std::find_if(values.begin(), values.end(), [&](const Value &v) { return SameName(v.name, name); });
}

// --- the store root and the writer lock ------------------------------------------------

std::string StoreRoot() {
    std::string root;
    if (const char *explicitRoot = std::getenv("VELQOSCH_REGISTRY"); explicitRoot && *explicitRoot)
        root = explicitRoot;
    else if (const char *data = std::getenv("XDG_DATA_HOME"); data && *data)
        root = std::string(data) + "/velqosch/registry";
    else if (const char *home = std::getenv("HOME"); home && *home)
        root = std::string(home) + "/.local/share/velqosch/registry";
    else
        return std::string();
    if (root[0] != '/') {
        char cwd[4096];
        if (!getcwd(cwd, sizeof cwd)) return std::string();
        root = std::string(cwd) + "/" + root;
    }
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    return root;
}

// Whoever may change the store decides which library activation loads: a
// store that another user owns or may write to (or that is no folder) is
// refused. One that does not exist yet is fine; the first write creates it
// with mode 0700.
LSTATUS CheckStoreRoot(const std::string &root) {
    if (velqo::CheckPrivateFolder(root, velqo::kNoWriteForOthers) || errno == ENOENT || errno == ENOTDIR)
        return ERROR_SUCCESS;
    return FromErrno(errno);
}

class WriteLock {
public:
    explicit WriteLock(const std::string &store) {
        int e = MakeFolders(store);
        if (e == ENOTDIR || e == EEXIST) e = EACCES;  // something that is no folder is in the way
        if (!e) {
            fd_ = open((store + "/" + kLockFile).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
            if (fd_ < 0) e = errno;
        }
        if (!e) {
            while (flock(fd_, LOCK_EX) != 0) {
                if (errno != EINTR) {
                    e = errno;
                    break;
                }
            }
        }
        status_ = e ? FromErrno(e) : ERROR_SUCCESS;
    }
    ~WriteLock() {
        if (fd_ >= 0) close(fd_);  // releases the lock
    }
    WriteLock(const WriteLock &) = delete;
    WriteLock &operator=(const WriteLock &) = delete;
    LSTATUS status() const { return status_; }

private:
    int fd_ = -1;
    LSTATUS status_ = ERROR_SUCCESS;
};

// --- keys and handles --------------------------------------------------------------------

// What a key handle stands for. Handles of predefined keys are resolved
// afresh on each call, so they follow the current store root.
struct KeyRef {
    std::string store;
    std::string path;   // the key's folder
    bool root = false;  // a predefined key's folder, created on first write
    dev_t dev = 0;
    ino_t ino = 0;
    REGSAM access = 0;
};

struct OpenKey {
    KeyRef ref;
};

std::mutex g_handlesMutex;
std::unordered_set<OpenKey *> g_handles;

const char *PredefinedFolder(HKEY key) {
    if (key == HKEY_CLASSES_ROOT) return "HKEY_CLASSES_ROOT";
    if (key == HKEY_CURRENT_USER) return "HKEY_CURRENT_USER";
    if (key == HKEY_LOCAL_MACHINE) return "HKEY_LOCAL_MACHINE";
    if (key == HKEY_USERS) return "HKEY_USERS";
    return nullptr;
}

REGSAM MapAccess(REGSAM desired) {
    constexpr REGSAM kGenericRead = 0x80000000u, kGenericWrite = 0x40000000u, kGenericExecute = 0x20000000u,
                     kGenericAll = 0x10000000u;
    REGSAM access = desired & ~(KEY_WOW64_64KEY | KEY_WOW64_32KEY);
    if (access & kGenericRead) access |= KEY_READ;
    if (access & kGenericWrite) access |= KEY_WRITE;
    if (access & kGenericExecute) access |= KEY_EXECUTE;
    if (access & (kGenericAll | MAXIMUM_ALLOWED)) access |= KEY_ALL_ACCESS;
    return access & (KEY_ALL_ACCESS | SYNCHRONIZE);
}

LSTATUS Resolve(HKEY key, KeyRef *ref) {
    if (const char *folder = PredefinedFolder(key)) {
        ref->store = StoreRoot();
        if (ref->store.empty()) return ERROR_PATH_NOT_FOUND;
        if (const LSTATUS status = CheckStoreRoot(ref->store); status != ERROR_SUCCESS) return status;
        ref->path = ref->store + "/" + folder;
        ref->root = true;
        ref->access = KEY_ALL_ACCESS;
        return ERROR_SUCCESS;
    }
    std::lock_guard<std::mutex> lock(g_handlesMutex);
    auto *open = reinterpret_cast<OpenKey *>(key);
    if (!key || !g_handles.count(open)) return ERROR_INVALID_HANDLE;
    *ref = open->ref;
    return ERROR_SUCCESS;
}

// ERROR_KEY_DELETED when the key behind a handle is gone (or was replaced
// by a new key of the same name).
LSTATUS CheckAlive(const KeyRef &ref) {
    if (ref.root) return ERROR_SUCCESS;
    struct stat st;
    if (!IsFolder(ref.path, &st) || st.st_dev != ref.dev || st.st_ino != ref.ino) return ERROR_KEY_DELETED;
    return ERROR_SUCCESS;
}

LSTATUS Require(const KeyRef &ref, REGSAM rights) {
    return (ref.access & rights) == rights ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

// The key behind a handle, opened with `rights`, and still there.
LSTATUS ResolveLive(HKEY key, REGSAM rights, KeyRef *ref) {
    LSTATUS status = Resolve(key, ref);
    if (status == ERROR_SUCCESS) status = Require(*ref, rights);
    if (status == ERROR_SUCCESS) status = CheckAlive(*ref);
    return status;
}

LSTATUS NewHandle(const KeyRef &ref, PHKEY result) {
    auto *open = new OpenKey{ref};
    std::lock_guard<std::mutex> lock(g_handlesMutex);
    g_handles.insert(open);
    *result = reinterpret_cast<HKEY>(open);
    return ERROR_SUCCESS;
}

// The name file of a key folder, or an empty name when there is none.
std::u16string StoredName(const std::string &folder) {
    std::string bytes;
    if (ReadFile(folder + "/" + kNameFile, 2 * kMaxKeyName, &bytes) != 0 || bytes.size() % 2) return {};
    std::u16string name(bytes.size() / 2, u'\0');
    for (std::size_t i = 0; i < name.size(); ++i)
        name[i] =
            char16_t(static_cast<unsigned char>(bytes[2 * i]) | (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
    return name;
}

// Finds the folder of subkey `name` of the key in `parent`.
LSTATUS FindChild(const std::string &parent, const std::u16string &name, std::string *child) {
    const std::string folder = FolderName(name);
    *child = parent + "/" + folder;
    struct stat st;
    if (lstat(child->c_str(), &st) != 0)
        return errno == ENOENT || errno == ENOTDIR ? ERROR_FILE_NOT_FOUND : FromErrno(errno);
    if (!S_ISDIR(st.st_mode)) return ERROR_FILE_NOT_FOUND;
    if (IsHashedFolderName(folder) && !SameName(StoredName(*child), name)) return ERROR_INVALID_PARAMETER;
    return ERROR_SUCCESS;
}

// Creates subkey `name` in `parent`: a new folder holding the name file is
// built under a temporary name and renamed into place, so a key never
// exists without its name.
LSTATUS CreateChild(const std::string &parent, const std::u16string &name, std::string *child, bool *created) {
    *created = false;
    LSTATUS status = FindChild(parent, name, child);
    if (status != ERROR_FILE_NOT_FOUND) return status;
    std::string temp = parent + "/.new-XXXXXX";
    if (!mkdtemp(temp.data())) return FromErrno(errno);
    std::string bytes;
    for (char16_t c : name) {
        bytes.push_back(char(c & 0xFF));
        bytes.push_back(char(c >> 8));
    }
    int e = ReplaceFile(temp, kNameFile, bytes);
    if (!e && rename(temp.c_str(), child->c_str()) != 0) e = errno;
    if (e) {
        RemoveTree(temp);
        if ((e == EEXIST || e == ENOTEMPTY) && IsFolder(*child)) return ERROR_SUCCESS;
        return FromErrno(e);
    }
    *created = true;
    return ERROR_SUCCESS;
}

LSTATUS Walk(const KeyRef &base, const std::vector<std::u16string> &names, std::string *path) {
    *path = base.path;
    for (const std::u16string &name : names) {
        std::string child;
        const LSTATUS status = FindChild(*path, name, &child);
        if (status != ERROR_SUCCESS) return status;
        *path = std::move(child);
    }
    return ERROR_SUCCESS;
}

LSTATUS RefFor(const KeyRef &base, const std::string &path, REGSAM access, KeyRef *ref) {
    ref->store = base.store;
    ref->path = path;
    ref->root = base.root && path == base.path;
    ref->access = access;
    if (!ref->root) {
        struct stat st;
        if (!IsFolder(path, &st)) return ERROR_FILE_NOT_FOUND;
        ref->dev = st.st_dev;
        ref->ino = st.st_ino;
    } else {
        ref->dev = base.dev;
        ref->ino = base.ino;
    }
    return ERROR_SUCCESS;
}

struct SubKey {
    std::u16string name;
    std::string path;
    struct timespec written;
};

LSTATUS ListSubKeys(const std::string &path, std::vector<SubKey> *out) {
    out->clear();
    DIR *dir = opendir(path.c_str());
    if (!dir) return errno == ENOENT ? ERROR_SUCCESS : FromErrno(errno);
    std::vector<std::string> folders;
    while (dirent *entry = readdir(dir))
        if (entry->d_name[0] != '.') folders.emplace_back(entry->d_name);
    closedir(dir);
    for (const std::string &folder : folders) {
        SubKey key;
        key.path = path + "/" + folder;
        struct stat st;
        if (!IsFolder(key.path, &st)) continue;
        key.written = st.st_mtim;
        key.name = StoredName(key.path);
        if (key.name.empty()) key.name = NameFromFolder(folder);
        out->push_back(std::move(key));
    }
    std::sort(out->begin(), out->end(), [](const SubKey &a, const SubKey &b) { return NameLess(a.name, b.name); });
    return ERROR_SUCCESS;
}

bool HasSubKeys(const std::string &path) {
    DIR *dir = opendir(path.c_str());
    if (!dir) return false;
    bool found = false;
    while (dirent *entry = readdir(dir)) {
        if (entry->d_name[0] != '.' && IsFolder(path + "/" + entry->d_name)) {
            found = true;
            break;
        }
    }
    closedir(dir);
    return found;
}

// Takes a key folder out of the tree in one step (renamed over a fresh
// hidden folder beside it), then removes it.
LSTATUS RemoveKeyFolder(const std::string &path) {
    const std::string parent = path.substr(0, path.find_last_of('/'));
    std::string trash = parent + "/.del-XXXXXX";
    if (!mkdtemp(trash.data())) return FromErrno(errno);
    if (rename(path.c_str(), trash.c_str()) != 0) {
        const int e = errno;
        rmdir(trash.c_str());
        return FromErrno(e);
    }
    RemoveTree(trash);  // what is left behind is hidden and ignored
    return ERROR_SUCCESS;
}

FILETIME ToFileTime(const struct timespec &t) {
    const std::uint64_t ticks =
        (std::uint64_t(t.tv_sec) + 11644473600ull) * 10000000ull + std::uint64_t(t.tv_nsec) / 100;
    FILETIME ft;
    ft.dwLowDateTime = DWORD(ticks & 0xFFFFFFFFu);
    ft.dwHighDateTime = DWORD(ticks >> 32);
    return ft;
}

std::u16string ValueName(LPCWSTR name) { return name ? std::u16string(name, Length16(name)) : std::u16string(); }

template <class F>
LSTATUS Guarded(F &&body) {
    try {
        return body();
    } catch (const std::bad_alloc &) {
        return ERROR_OUTOFMEMORY;
    }
}

}  // namespace

VQAPI LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR, DWORD dwOptions, REGSAM samDesired,
                              LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition) {
    return Guarded([&]() -> LSTATUS {
        if (!phkResult) return ERROR_INVALID_PARAMETER;
        *phkResult = nullptr;
        if (Reserved) return ERROR_INVALID_PARAMETER;
        if (dwOptions & ~DWORD(REG_OPTION_BACKUP_RESTORE)) return ERROR_NOT_SUPPORTED;  // volatile keys, links
        KeyRef base;
        LSTATUS status = Resolve(hKey, &base);
        if (status == ERROR_SUCCESS) status = CheckAlive(base);
        std::vector<std::u16string> names;
        if (status == ERROR_SUCCESS) status = SplitPath(lpSubKey, &names);
        if (status != ERROR_SUCCESS) return status;
        const REGSAM access = MapAccess(samDesired);

        std::string path;
        bool created = false;
        if (Walk(base, names, &path) != ERROR_SUCCESS) {
            WriteLock lock(base.store);
            if (lock.status() != ERROR_SUCCESS) return lock.status();
            status = CheckAlive(base);
            if (status == ERROR_SUCCESS && base.root) status = FromErrno(MakeFolders(base.path));
            if (status != ERROR_SUCCESS) return status;
            path = base.path;
            for (const std::u16string &name : names) {
                std::string child;
                status = CreateChild(path, name, &child, &created);
                if (status != ERROR_SUCCESS) return status;
                path = std::move(child);
            }
        }
        KeyRef ref;
        status = RefFor(base, path, access, &ref);
        if (status != ERROR_SUCCESS) return status;
        if (lpdwDisposition) *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
        return NewHandle(ref, phkResult);
    });
}

VQAPI LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
    return Guarded([&]() -> LSTATUS {
        if (!phkResult) return ERROR_INVALID_PARAMETER;
        *phkResult = nullptr;
        if (ulOptions & ~DWORD(REG_OPTION_OPEN_LINK)) return ERROR_INVALID_PARAMETER;
        KeyRef base;
        LSTATUS status = Resolve(hKey, &base);
        if (status == ERROR_SUCCESS) status = CheckAlive(base);
        std::vector<std::u16string> names;
        if (status == ERROR_SUCCESS) status = SplitPath(lpSubKey, &names);
        std::string path;
        if (status == ERROR_SUCCESS) status = Walk(base, names, &path);
        KeyRef ref;
        if (status == ERROR_SUCCESS) status = RefFor(base, path, MapAccess(samDesired), &ref);
        if (status != ERROR_SUCCESS) return status;
        return NewHandle(ref, phkResult);
    });
}

VQAPI LSTATUS RegCloseKey(HKEY hKey) {
    if (PredefinedFolder(hKey)) return ERROR_SUCCESS;
    OpenKey *open = reinterpret_cast<OpenKey *>(hKey);
    {
        std::lock_guard<std::mutex> lock(g_handlesMutex);
        if (!hKey || !g_handles.erase(open)) return ERROR_INVALID_HANDLE;
    }
    delete open;
    return ERROR_SUCCESS;
}

VQAPI LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD, DWORD dwType, const BYTE *lpData, DWORD cbData) {
    return Guarded([&]() -> LSTATUS {
        if (!lpData && cbData) return ERROR_NOACCESS;
        const std::u16string name = ValueName(lpValueName);
        if (name.size() > kMaxValueName) return ERROR_INVALID_PARAMETER;
        KeyRef key;
        LSTATUS status = Resolve(hKey, &key);
        if (status == ERROR_SUCCESS) status = Require(key, KEY_SET_VALUE);
        if (status != ERROR_SUCCESS) return status;
        std::string data(reinterpret_cast<const char *>(lpData), lpData ? cbData : 0);
        WriteLock lock(key.store);
        if (lock.status() != ERROR_SUCCESS) return lock.status();
        status = CheckAlive(key);
        if (status == ERROR_SUCCESS && key.root) status = FromErrno(MakeFolders(key.path));
        std::vector<Value> values;
        if (status == ERROR_SUCCESS) status = LoadValues(key.path, &values);
        if (status != ERROR_SUCCESS) return status;
        auto it = FindValue(values, name);
        if (it == values.end()) {
            values.push_back(Value{name, dwType, std::move(data)});
        } else {
            it->type = dwType;
            it->data = std::move(data);
        }
        return StoreValues(key.path, values);
    });
}

VQAPI LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                               LPDWORD lpcbData) {
    return Guarded([&]() -> LSTATUS {
        if ((lpData && !lpcbData) || lpReserved) return ERROR_INVALID_PARAMETER;
        KeyRef key;
        LSTATUS status = ResolveLive(hKey, KEY_QUERY_VALUE, &key);
        std::vector<Value> values;
        if (status == ERROR_SUCCESS) status = LoadValues(key.path, &values);
        if (status != ERROR_SUCCESS) return status;
        auto it = FindValue(values, ValueName(lpValueName));
        if (it == values.end()) return ERROR_FILE_NOT_FOUND;
        const DWORD size = DWORD(it->data.size());
        if (lpData) {
            if (size > *lpcbData)
                status = ERROR_MORE_DATA;
            else
                std::memcpy(lpData, it->data.data(), size);
        }
        if (lpType) *lpType = it->type;
        if (lpcbData) *lpcbData = size;
        return status;
    });
}

VQAPI LSTATUS RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
    return Guarded([&]() -> LSTATUS {
        KeyRef key;
        LSTATUS status = Resolve(hKey, &key);
        if (status == ERROR_SUCCESS) status = Require(key, KEY_SET_VALUE);
        if (status != ERROR_SUCCESS) return status;
        WriteLock lock(key.store);
        if (lock.status() != ERROR_SUCCESS) return lock.status();
        status = CheckAlive(key);
        std::vector<Value> values;
        if (status == ERROR_SUCCESS) status = LoadValues(key.path, &values);
        if (status != ERROR_SUCCESS) return status;
        auto it = FindValue(values, ValueName(lpValueName));
        if (it == values.end()) return ERROR_FILE_NOT_FOUND;
        values.erase(it);
        return StoreValues(key.path, values);
    });
}

VQAPI LSTATUS RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
    return Guarded([&]() -> LSTATUS {
        if (!lpSubKey) return ERROR_INVALID_PARAMETER;
        KeyRef base;
        LSTATUS status = Resolve(hKey, &base);
        std::vector<std::u16string> names;
        if (status == ERROR_SUCCESS) status = SplitPath(lpSubKey, &names);
        if (status != ERROR_SUCCESS) return status;
        if (names.empty()) {  // the key itself
            if (base.root) return ERROR_ACCESS_DENIED;
            status = Require(base, DELETE);
            if (status != ERROR_SUCCESS) return status;
        }
        WriteLock lock(base.store);
        if (lock.status() != ERROR_SUCCESS) return lock.status();
        status = CheckAlive(base);
        std::string path;
        if (status == ERROR_SUCCESS) status = Walk(base, names, &path);
        if (status != ERROR_SUCCESS) return status;
        if (HasSubKeys(path)) return ERROR_ACCESS_DENIED;
        return RemoveKeyFolder(path);
    });
}

VQAPI LSTATUS RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey) {
    return Guarded([&]() -> LSTATUS {
        KeyRef base;
        LSTATUS status = Resolve(hKey, &base);
        std::vector<std::u16string> names;
        if (status == ERROR_SUCCESS) status = SplitPath(lpSubKey, &names);
        if (status != ERROR_SUCCESS) return status;
        const bool wholeKey = lpSubKey != nullptr;  // otherwise only what the key holds
        if (wholeKey && names.empty() && base.root) return ERROR_ACCESS_DENIED;
        if (!wholeKey) {
            status = Require(base, KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE);
            if (status != ERROR_SUCCESS) return status;
        }
        WriteLock lock(base.store);
        if (lock.status() != ERROR_SUCCESS) return lock.status();
        status = CheckAlive(base);
        std::string path;
        if (status == ERROR_SUCCESS) status = Walk(base, names, &path);
        if (status != ERROR_SUCCESS) return status;
        if (wholeKey) return RemoveKeyFolder(path);

        if (!IsFolder(path)) return ERROR_SUCCESS;  // a predefined key not yet written
        std::vector<Value> values;
        const LSTATUS load = LoadValues(path, &values);
        const bool hasValues = load != ERROR_SUCCESS || !values.empty();
        if (hasValues && Require(base, KEY_SET_VALUE) != ERROR_SUCCESS) return ERROR_ACCESS_DENIED;
        std::vector<SubKey> children;
        status = ListSubKeys(path, &children);
        for (const SubKey &child : children) {
            if (status != ERROR_SUCCESS) break;
            status = RemoveKeyFolder(child.path);
        }
        if (status != ERROR_SUCCESS || !hasValues) return status;
        if (unlink((path + "/" + kValuesFile).c_str()) != 0 && errno != ENOENT) return FromErrno(errno);
        return ERROR_SUCCESS;
    });
}

VQAPI LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                            LPWSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
    return Guarded([&]() -> LSTATUS {
        if (!lpName || !lpcchName || lpReserved) return ERROR_INVALID_PARAMETER;
        KeyRef key;
        LSTATUS status = ResolveLive(hKey, KEY_ENUMERATE_SUB_KEYS, &key);
        std::vector<SubKey> children;
        if (status == ERROR_SUCCESS) status = ListSubKeys(key.path, &children);
        if (status != ERROR_SUCCESS) return status;
        if (dwIndex >= children.size()) return ERROR_NO_MORE_ITEMS;
        const SubKey &child = children[dwIndex];
        // Keys have no class here: an empty one.
        if (child.name.size() >= *lpcchName || (lpClass && lpcchClass && *lpcchClass == 0)) {
            status = ERROR_MORE_DATA;
        } else {
            std::copy(child.name.begin(), child.name.end(), lpName);
            lpName[child.name.size()] = 0;
            *lpcchName = DWORD(child.name.size());
            if (lpClass && lpcchClass) lpClass[0] = 0;
            if (lpcchClass) *lpcchClass = 0;
        }
        if (lpftLastWriteTime) *lpftLastWriteTime = ToFileTime(child.written);
        return status;
    });
}

VQAPI LSTATUS RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                            LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    return Guarded([&]() -> LSTATUS {
        if (!lpcchValueName || lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
        KeyRef key;
        LSTATUS status = ResolveLive(hKey, KEY_QUERY_VALUE, &key);
        std::vector<Value> values;
        if (status == ERROR_SUCCESS) status = LoadValues(key.path, &values);
        if (status != ERROR_SUCCESS) return status;
        if (dwIndex >= values.size()) return ERROR_NO_MORE_ITEMS;
        const Value &value = values[dwIndex];
        const DWORD size = DWORD(value.data.size());
        if (lpValueName) {
            if (value.name.size() >= *lpcchValueName) {
                status = ERROR_MORE_DATA;
            } else {
                std::copy(value.name.begin(), value.name.end(), lpValueName);
                lpValueName[value.name.size()] = 0;
                *lpcchValueName = DWORD(value.name.size());
            }
        }
        if (status == ERROR_SUCCESS && lpData) {
            if (size > *lpcbData)
                status = ERROR_MORE_DATA;
            else
                std::memcpy(lpData, value.data.data(), size);
        }
        if (lpType) *lpType = value.type;
        if (lpcbData) *lpcbData = size;
        return status;
    });
}
