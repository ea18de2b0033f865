// The store's names: which file holds a work item, and which files are
// work items at all.
//
// A Tasks folder keeps one name space without regard to letter case, as a
// Windows file system does: "Backup", "BACKUP" and "backup.JOB" name one item.
// Names are compared by the simple case folding of service/name_case.h over
// their UTF-16 form, the same comparison the component's collection uses for
// its keys.
//
// A folder can still hold two files whose names differ only in letter case
// (copied in by hand, or written by an older service). Of such a group one
// file is the item: of the files whose suffix is ".job" in lower case the
// byte-wise smallest name (in UTF-8, so "Zed.job" before "zed.job"), else
// the byte-wise smallest of all. The enumeration lists it alone, and a name
// in another case reaches it. A file of exactly the asked spelling is taken
// first, so every file stays reachable by its own name, to be opened or
// deleted. Files that no item name reaches are not listed: "a.job.job" (the
// name "a.job" is the item "a") and names the service refuses.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "objects_internal.h"
#include "platform/service/control/control.h"
#include "service/name_case.h"

namespace velqo::service {
namespace {

bool IsAscii(std::string_view text) {
    for (const char c : text)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

// A regular file named "<something>.job" (suffix in any case) that is not
// hidden: the writer's temporary files start with '.'.
// A work item is a regular file: never a symbolic link (reading one would
// leave the folder), a folder or a device. `type` is the entry's d_type;
// DT_UNKNOWN makes it look at the file itself.
bool IsItemEntry(const std::string &folder, const char *name, unsigned char type) {
    if (name[0] == '.' || !EndsInJobSuffix(name)) return false;
    if (type != DT_UNKNOWN) return type == DT_REG;
    struct stat st {};
    return ::lstat((folder + "/" + name).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// How well a file serves as the file of its name: 0 when its own item name
// (the file name without ".job") reaches exactly it, 1 when that name
// reaches its name without regard to case (a suffix such as ".JOB"), -1 when
// no item name reaches it ("a.job.job": the name "a.job" is the item "a";
// or a name the service refuses). `name` is the file name in UTF-16: its
// suffix is four ASCII units there too.
int Rank(const std::string &file, std::u16string_view name) {
    std::string reached;
    if (!ItemFileName(name.substr(0, name.size() - 4), reached)) return -1;
    if (reached == file) return 0;
    return SameNameIgnoringCase(ToUtf16(reached), name) ? 1 : -1;
}

// The order of folded names, folding as it compares.
int CompareFolded(std::u16string_view a, std::u16string_view b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        if (a[i] == b[i]) continue;
        const char16_t x = FoldLetterCase(a[i]), y = FoldLetterCase(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

// Calls `take(name)` for every item file of `folder`, and removes on the way
// the temporary files that a killed save left.
template <class Take>
HRESULT Scan(const std::string &folder, Take &&take) {
    DIR *dir = ::opendir(folder.c_str());
    if (!dir) return errno == ENOENT ? HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND) : E_ACCESSDENIED;
    try {
        while (const dirent *entry = ::readdir(dir)) {
            if (IsItemEntry(folder, entry->d_name, entry->d_type))
                take(std::string_view(entry->d_name));
            else if (entry->d_name[0] == '.')
                RemoveIfStaleTemporary(folder, entry->d_name);
        }
    } catch (...) {
        ::closedir(dir);
        throw;
    }
    ::closedir(dir);
    return S_OK;
}

// A hash of a name's folded form: names that are one name hash alike.
std::uint64_t FoldedHash(std::u16string_view name) {
    std::uint64_t h = 14695981039346656037ull;
    for (const char16_t unit : name) h = (h ^ FoldLetterCase(unit)) * 1099511628211ull;
    return h;
}

// One item file of a listing, with its UTF-16 name.
struct Candidate {
    std::string file;
    std::u16string name;
    std::uint64_t hash;
    int rank;
};

// The file that serves each name: per folded name the best rank, then the
// byte-wise smallest file name. One listing of the folder, one sort that
// brings the spellings of each name together (by hash first: the groups'
// order does not matter).
HRESULT ChosenFiles(const std::string &folder, std::vector<Candidate> &chosen) {
    std::vector<Candidate> all;
    const HRESULT hr = Scan(folder, [&](std::string_view file) {
        Candidate c{std::string(file), ToUtf16(file), 0, 0};
        c.rank = Rank(c.file, c.name);
        c.hash = FoldedHash(c.name);
        if (c.rank >= 0) all.push_back(std::move(c));
    });
    if (FAILED(hr)) return hr;
    std::vector<Candidate *> order;
    order.reserve(all.size());
    for (Candidate &c : all) order.push_back(&c);
    std::sort(order.begin(), order.end(), [](const Candidate *a, const Candidate *b) {
        if (a->hash != b->hash) return a->hash < b->hash;
        if (const int byName = CompareFolded(a->name, b->name); byName != 0) return byName < 0;
        if (a->rank != b->rank) return a->rank < b->rank;
        return a->file < b->file;
    });
    // The first of each run of one folded name; the runs are marked before
    // anything is moved out.
    std::vector<Candidate *> first;
    first.reserve(order.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        if (i == 0 || order[i]->hash != order[i - 1]->hash || !SameNameIgnoringCase(order[i]->name, order[i - 1]->name))
            first.push_back(order[i]);
    chosen.reserve(chosen.size() + first.size());
    for (Candidate *c : first) chosen.push_back(std::move(*c));
    return S_OK;
}

}  // namespace

bool EndsInJobSuffix(std::string_view name) {
    if (name.size() <= 4 || name[name.size() - 4] != '.') return false;
    const char *suffix = name.data() + name.size() - 3;
    return (suffix[0] | 0x20) == 'j' && (suffix[1] | 0x20) == 'o' && (suffix[2] | 0x20) == 'b';
}

std::string FindItemFile(const std::string &folder, const std::string &fileName) {
    if (!EndsInJobSuffix(fileName)) return fileName;
    struct stat st {};
    if (::lstat((folder + "/" + fileName).c_str(), &st) == 0) return fileName;
    // One pass over the folder: the file of the same name in another letter
    // case with the best rank, then the byte-wise smallest name. Two ASCII
    // names are the same name when they are equal but for ASCII letter case;
    // any other pair is compared in its folded UTF-16 form.
    const bool asciiName = IsAscii(fileName);
    const std::u16string wanted = ToUtf16(fileName);
    std::string best;
    int bestRank = 2;
    const HRESULT hr = Scan(folder, [&](std::string_view file) {
        if (file == fileName) {  // created since the check above
            best = file;
            bestRank = -1;
            return;
        }
        if (bestRank < 0) return;
        if (asciiName && IsAscii(file)) {
            if (!EqualsIgnoringAsciiCase(file, fileName)) return;
        } else {
            if (!SameNameIgnoringCase(ToUtf16(file), wanted)) return;
        }
        const std::string candidate(file);
        const int rank = Rank(candidate, ToUtf16(file));
        if (rank < 0 || rank > bestRank || (rank == bestRank && candidate >= best)) return;
        best = candidate;
        bestRank = rank;
    });
    if (FAILED(hr) || best.empty()) return fileName;
    return best;
}

HRESULT ListItemFiles(const std::string &folder, std::vector<std::string> &files) {
    std::vector<Candidate> chosen;
    const HRESULT hr = ChosenFiles(folder, chosen);
    if (FAILED(hr)) return hr;
    files.reserve(files.size() + chosen.size());
    for (Candidate &c : chosen) files.push_back(std::move(c.file));
    return S_OK;
}

HRESULT ListItemNames(const std::string &folder, std::vector<std::u16string> &names) {
    std::vector<Candidate> chosen;
    const HRESULT hr = ChosenFiles(folder, chosen);
    if (FAILED(hr)) return hr;
    names.reserve(names.size() + chosen.size());
    for (Candidate &c : chosen) names.push_back(std::move(c.name));
    return S_OK;
}

FolderLock::FolderLock(const std::string &path) {
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    fd_ = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    // Without the lock (a file system that has none) saving still works;
    // only two writers racing on spellings of one new name could then both
    // create their file.
    if (fd_ >= 0) {
        while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
}

FolderLock::~FolderLock() {
    if (fd_ >= 0) ::close(fd_);
}

}  // namespace velqo::service
