// The one check of a folder whose contents decide what the runtime does (the
// session folder of windows and messages, the registry store): it must be a
// folder itself (not a link to one), belong to the effective user, and grant
// none of the `forbidden` permission bits to others.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace velqo {

// Permission bits a private folder never has.
constexpr mode_t kNoAccessForOthers = 077;  // only the owner may even look
constexpr mode_t kNoWriteForOthers = 022;   // others may read, never change

// True for a usable folder. False with errno set: ENOENT (and the other
// lstat errors) when there is none, EACCES when it is something else than a
// folder, belongs to another user or grants a forbidden permission.
inline bool CheckPrivateFolder(const std::string &folder, mode_t forbidden) {
    struct stat st {};
    if (::lstat(folder.c_str(), &st) != 0) return false;
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & forbidden) != 0) {
        errno = EACCES;
        return false;
    }
    return true;
}

}  // namespace velqo
