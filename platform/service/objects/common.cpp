// Strings handed to callers, item names and the account store.
#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "objects_internal.h"
#include "platform/service/control/control.h"

namespace velqo::service {

// The longest .job file name, in UTF-8 bytes: the file system's 255 less the
// room that the job writer's temporary name ("." + name + ".tmp-XXXXXX") needs.
constexpr std::size_t kMaxFileNameBytes = 255 - 12;

HRESULT CopyOut(std::u16string_view text, LPWSTR *out) noexcept {
    if (!out) return E_POINTER;
    auto *buffer = static_cast<WCHAR *>(CoTaskMemAlloc((text.size() + 1) * sizeof(WCHAR)));
    if (!buffer) return E_OUTOFMEMORY;
    if (!text.empty()) std::memcpy(buffer, text.data(), text.size() * sizeof(WCHAR));
    buffer[text.size()] = 0;
    *out = buffer;
    return S_OK;
}

std::size_t BoundedLength(LPCWSTR text, std::size_t limit) noexcept {
    std::size_t n = 0;
    while (n <= limit && text[n]) ++n;
    return n;
}

bool ItemFileName(LPCWSTR name, std::string &fileName) {
    if (!name) return false;
    return ItemFileName(std::u16string_view(name, BoundedLength(name, MAX_PATH)), fileName);
}

bool ItemFileName(std::u16string_view name, std::string &fileName) {
    const std::size_t n = name.size();
    if (n == 0 || n > MAX_PATH || name[0] == u'.') return false;
    // The ASCII units a name may not hold: controls, DEL and the nine of / \ : * ? " < > |.
    constexpr auto bit = [](char16_t c) { return std::uint64_t{1} << (c & 63); };
    constexpr std::uint64_t kRefusedLow =
        0xFFFFFFFFull | bit(u'/') | bit(u':') | bit(u'*') | bit(u'?') | bit(u'"') | bit(u'<') | bit(u'>');
    constexpr std::uint64_t kRefusedHigh = bit(u'\\') | bit(u'|') | bit(0x7F);
    bool ascii = true;
    for (const char16_t c : name) {
        if (c >= 0x80)
            ascii = false;
        else if (((c < 64 ? kRefusedLow : kRefusedHigh) >> (c & 63)) & 1)
            return false;
    }
    std::string utf8;
    if (ascii) {
        utf8.reserve(n + 4);  // room for the suffix at once
        utf8.resize(n);
        for (std::size_t i = 0; i < n; ++i) utf8[i] = static_cast<char>(name[i]);
    } else {
        utf8 = ToUtf8(name);
    }
    const bool hasSuffix = EndsInJobSuffix(utf8);
    if (hasSuffix && EndsInJobSuffix(std::string_view(utf8).substr(0, utf8.size() - 4))) return false;
    if (!hasSuffix) utf8 += ".job";
    fileName = std::move(utf8);
    return fileName.size() <= kMaxFileNameBytes;
}

bool HasOtherExtension(LPCWSTR name) noexcept {
    if (!name) return false;
    const std::size_t n = BoundedLength(name, MAX_PATH);
    std::size_t dot = n;
    for (std::size_t i = 0; i < n; ++i)
        if (name[i] == u'.') dot = i;
    if (dot == n) return false;
    const std::size_t length = n - dot;
    return !(length == 4 && (name[dot + 1] | 0x20) == u'j' && (name[dot + 2] | 0x20) == u'o' &&
             (name[dot + 3] | 0x20) == u'b');
}

namespace {

std::string CredentialFolder(const std::string &tasksFolder) { return tasksFolder + "/.credentials"; }

std::string GuidText(const GUID &uuid) {
    OLECHAR text[40] = {};
    StringFromGUID2(uuid, text, 40);
    std::string out = ToUtf8(text);
    // drop the braces: the text is used as a file name
    if (out.size() > 2) out = out.substr(1, out.size() - 2);
    return out;
}

bool WriteAll(int fd, const std::string &text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

void Wipe(std::string &text) {
    volatile char *p = text.data();
    for (std::size_t i = 0; i < text.size(); ++i) p[i] = 0;
    text.clear();
}

}  // namespace

std::string CredentialFile(const std::string &tasksFolder, const GUID &uuid) {
    return CredentialFolder(tasksFolder) + "/" + GuidText(uuid);
}

HRESULT WriteCredentials(const std::string &tasksFolder, const GUID &uuid, std::u16string_view account,
                         std::u16string_view password) noexcept {
    try {
        const std::string folder = CredentialFolder(tasksFolder);
        if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return E_ACCESSDENIED;
        struct stat st {};
        if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid())
            return E_ACCESSDENIED;
        if ((st.st_mode & 0777) != 0700 && ::chmod(folder.c_str(), 0700) != 0) return E_ACCESSDENIED;
        RemoveStaleTemporaries(folder);  // what a killed writer left
        const std::string path = CredentialFile(tasksFolder, uuid);
        std::string temp;
        const int fd = CreateTemporary(folder, GuidText(uuid), temp);  // created 0600
        if (fd < 0) return E_ACCESSDENIED;
        std::string text = ToUtf8(account) + "\n" + ToUtf8(password);
        bool ok = WriteAll(fd, text) && ::fsync(fd) == 0;
        Wipe(text);
        ok = (::close(fd) == 0) && ok;
        if (ok && ::rename(temp.c_str(), path.c_str()) == 0) return S_OK;
        ::unlink(temp.c_str());
        return E_ACCESSDENIED;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

bool ReadAccount(const std::string &tasksFolder, const GUID &uuid, std::u16string &account) noexcept {
    try {
        const int fd = ::open(CredentialFile(tasksFolder, uuid).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) return false;
        std::string text;
        char buffer[512];
        ssize_t n;
        while ((n = ::read(fd, buffer, sizeof buffer)) > 0 && text.size() < 1 << 20)
            text.append(buffer, static_cast<std::size_t>(n));
        ::close(fd);
        const std::size_t line = text.find('\n');
        account = ToUtf16(std::string_view(text).substr(0, line));
        Wipe(text);
        return line != std::string::npos;
    } catch (...) {
        return false;
    }
}

void RemoveCredentials(const std::string &tasksFolder, const GUID &uuid) noexcept {
    try {
        ::unlink(CredentialFile(tasksFolder, uuid).c_str());
    } catch (...) {
    }
}

HRESULT RemoveWorkItem(const std::string &tasksFolder, const std::string &path) noexcept {
    JobData job;
    const bool known = SUCCEEDED(ReadJobFile(path, job));
    if (::unlink(path.c_str()) != 0) return errno == ENOENT ? HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) : E_ACCESSDENIED;
    if (known) RemoveCredentials(tasksFolder, job.uuid);
    return S_OK;
}

// Equal once A-Z are folded, the only foldings of ASCII.
bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
        if (x != y) return false;
    }
    return true;
}

}  // namespace velqo::service
