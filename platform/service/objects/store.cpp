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

#include <cerrno>
#include <cstring>
#include <map>
#include <set>

#include "objects_internal.h"
#include "platform/service/control/control.h"
#include "service/name_case.h"

namespace velqo::service {
namespace {

std::u16string Folded(std::string_view fileName) {
    std::u16string key = ToUtf16(fileName);
    for (char16_t &unit : key) unit = FoldLetterCase(unit);
    return key;
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
// or a name the service refuses).
int Rank(const std::string &file, const std::u16string &folded) {
    const std::u16string itemName = ToUtf16(std::string_view(file).substr(0, file.size() - 4));
    std::string reached;
    if (!ItemFileName(reinterpret_cast<LPCWSTR>(itemName.c_str()), reached)) return -1;
    if (reached == file) return 0;
    return Folded(reached) == folded ? 1 : -1;
}

// The item files of a folder: every spelling, and per name (folded) the file
// that serves it: the best rank, then the byte-wise smallest name.
struct Listing {
    struct Choice {
        int rank;
        std::string file;
    };
    std::set<std::string> files;
    std::map<std::u16string, Choice> byName;

    void Add(std::string file) {
        std::u16string folded = Folded(file);
        const int rank = Rank(file, folded);
        if (rank >= 0) {
            auto [it, added] = byName.try_emplace(std::move(folded), Choice{rank, file});
            Choice &best = it->second;
            if (!added && (rank < best.rank || (rank == best.rank && file < best.file))) best = Choice{rank, file};
        }
        files.insert(std::move(file));
    }

    // The file that `fileName` reaches: its own spelling when present, else
    // the chosen file of its name; empty when there is none.
    std::string Reach(const std::string &fileName) const {
        if (files.count(fileName)) return fileName;
        const auto it = byName.find(Folded(fileName));
        return it == byName.end() ? std::string() : it->second.file;
    }
};

HRESULT Scan(const std::string &folder, Listing &listing) {
    DIR *dir = ::opendir(folder.c_str());
    if (!dir) return errno == ENOENT ? HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND) : E_ACCESSDENIED;
    try {
        while (const dirent *entry = ::readdir(dir)) {
            if (IsItemEntry(folder, entry->d_name, entry->d_type))
                listing.Add(entry->d_name);
            else if (entry->d_name[0] == '.')
                RemoveIfStaleTemporary(folder, entry->d_name);  // what a killed save left
        }
    } catch (...) {
        ::closedir(dir);
        throw;
    }
    ::closedir(dir);
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
    Listing listing;
    if (FAILED(Scan(folder, listing))) return fileName;
    const std::string found = listing.Reach(fileName);
    return found.empty() ? fileName : found;
}

HRESULT ListItemFiles(const std::string &folder, std::vector<std::string> &files) {
    Listing listing;
    const HRESULT hr = Scan(folder, listing);
    if (FAILED(hr)) return hr;
    // The chosen file of each name, which is what its item name reaches.
    for (const auto &[name, choice] : listing.byName) files.push_back(choice.file);
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
