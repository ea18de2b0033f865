// Pieces shared by the service objects' translation units.
#pragma once

#include <mstask.h>
#include <windows.h>

#include <atomic>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/common/single_interface.h"
#include "platform/service/job/jobfile.h"

namespace velqo::service {

// A copy of `text` from CoTaskMemAlloc into *out (E_POINTER for a null out,
// E_OUTOFMEMORY with *out as it was when the allocation fails).
HRESULT CopyOut(std::u16string_view text, LPWSTR *out) noexcept;

// The length of a zero-terminated UTF-16 string, refusing anything longer
// than `limit` units (returns limit + 1 then).
std::size_t BoundedLength(LPCWSTR text, std::size_t limit) noexcept;

// A work-item name as the store accepts it, turned into its file name:
// "<name>.job", or the name itself when it already ends in ".job" (any case:
// "Daily.JOB" is the item "Daily" in the file "Daily.JOB"). False for an
// empty name, one over 260 units, ".", "..", one starting with '.', one
// holding a control character or any of / \ : * ? " < > |, one that still
// ends in ".job" once that suffix is taken off ("a.job.job"), and one whose
// file name would exceed 243 UTF-8 bytes (the file system's 255 less the room
// of the writer's temporary name).
bool ItemFileName(LPCWSTR name, std::string &fileName);
// The same for a name of known length (it must hold no NUL).
bool ItemFileName(std::u16string_view name, std::string &fileName);

// True for a name with an extension other than ".job" (any case): the text
// from its last '.' on, as in "report.txt" or "v1.2". Creating, adding and
// deleting refuse such names with E_INVALIDARG, as Windows does; opening
// takes them, so a file named so by hand still loads.
bool HasOtherExtension(LPCWSTR name) noexcept;

// --- the store's names (store.cpp) ------------------------------------------------
// A Tasks folder is one name space without regard to letter case: names
// compare as service/name_case.h folds them. The rule for a folder that holds
// several spellings of one name is in store.cpp.

// Whether a file name ends in ".job" in any letter case after at least one unit.
bool EndsInJobSuffix(std::string_view name);

// Whether two byte strings are equal once A-Z are folded (host names, ASCII item names).
bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b);

// The file of `folder` that `fileName` (an item's file name, "<name>.job")
// reaches: the file of exactly that spelling when there is one, else the file
// that holds that name in another letter case, else `fileName` itself. Names
// without the ".job" suffix come back unchanged.
std::string FindItemFile(const std::string &folder, const std::string &fileName);
// The item files of `folder`, one per name, in no particular order; the
// folder's open errors as ERROR_PATH_NOT_FOUND or E_ACCESSDENIED.
HRESULT ListItemFiles(const std::string &folder, std::vector<std::string> &files);
// The same names in UTF-16, as the enumeration hands them out.
HRESULT ListItemNames(const std::string &folder, std::vector<std::u16string> &names);

// Holds an exclusive lock on the folder of `path` while it lives, so that
// finding an item's file and writing it is one step for every writer.
class FolderLock {
public:
    explicit FolderLock(const std::string &path);
    ~FolderLock();
    FolderLock(const FolderLock &) = delete;
    FolderLock &operator=(const FolderLock &) = delete;

private:
    int fd_ = -1;
};

// Account records live in "<Tasks folder>/.credentials/<job UUID>", a 0600
// file in a 0700 folder: the account name (UTF-8), a line break, the
// password (UTF-8). The .job file never carries either.
std::string CredentialFile(const std::string &tasksFolder, const GUID &uuid);
HRESULT WriteCredentials(const std::string &tasksFolder, const GUID &uuid, std::u16string_view account,
                         std::u16string_view password) noexcept;
// The stored account name; false when none is stored.
bool ReadAccount(const std::string &tasksFolder, const GUID &uuid, std::u16string &account) noexcept;
void RemoveCredentials(const std::string &tasksFolder, const GUID &uuid) noexcept;

// Removes the work item stored at `path` in `tasksFolder` together with its
// stored account, as Delete and the daemon's delete-when-done do. S_OK;
// HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) when there is no such file;
// E_ACCESSDENIED when it cannot be removed (the account is then kept too).
HRESULT RemoveWorkItem(const std::string &tasksFolder, const std::string &path) noexcept;

// Creates a task object over `job`. `file` is the path it saves to by
// default; `stored` says whether that file holds the item already. *ppv is
// written only when the call succeeds.
HRESULT CreateTaskObject(std::shared_ptr<const std::string> tasksFolder, std::string file, JobData &&job, bool stored,
                         REFIID riid, void **ppv) noexcept;

// --- the EditWorkItem form -------------------------------------------------------
// A plain text form, one "Key: value" line per setting, blank lines and lines
// starting with '#' ignored:
//   Application, Parameters, WorkingDirectory, Comment, Creator  (text)
//   Account                   (text; the password is never shown; "Password: x"
//                              sets a new one, an absent line keeps the old one)
//   Priority                  normal | idle | high | realtime
//   MaxRunTime                milliseconds, or "infinite"
//   IdleWait, IdleDeadline    minutes
//   Flags, TaskFlags          hexadecimal, e.g. 0x00000004
//   Trigger                   one per trigger, fields separated by blanks:
//       type begin=YYYY-MM-DD [end=YYYY-MM-DD] start=HH:MM duration=N interval=N
//       flags=0xN random=N and, by type, days=N (daily), weeks=N dow=0xN
//       (weekly), monthdays=0xN months=0xN (monthly-date), week=N dow=0xN
//       months=0xN (monthly-dow); type is once, daily, weekly, monthly-date,
//       monthly-dow, idle, startup or logon.
//   Save                      yes | no: whether the edited item is written to
//                              its file at once (default no)
struct EditForm {
    JobData job;
    std::u16string account;
    bool accountSet = false;
    bool passwordSet = false;
    std::u16string password;
    bool save = false;
};
std::string WriteEditForm(const JobData &job, const std::u16string *account);
// Applies a form's text to `form` (which starts out as the current values).
// False with a one-line reason in `error` for a form it cannot use; `form` is
// then unspecified.
bool ParseEditForm(std::string_view text, EditForm &form, std::string &error);

}  // namespace velqo::service
