// Windows and messages on POSIX.
//
// The desktop is the user's session folder: $XDG_RUNTIME_DIR/velqosch-windows
// when XDG_RUNTIME_DIR is set to an absolute path, else /tmp/velqosch-windows-<uid>.
// The folder must be a real directory (not a link) owned by the user with no
// access for group or others; any other folder is refused. The folder is
// looked up again at every call, so a change of XDG_RUNTIME_DIR takes effect
// at the next enumeration.
//
// A top-level window is two files in that folder, named after one base
// "<creation time, 16 hex digits of ns>-<pid, 8 hex>-<sequence, 8 hex>":
//   <base>.sock  a listening Unix-domain stream socket, served by a receiver
//                thread of the owning process;
//   <base>.info  the class and title, written once before the socket appears
//                (temporary file, then rename):
//                  "velqo-window 1\n" "<pid>\n" "<class bytes> <title bytes>\n"
//                followed by the class bytes and the title bytes.
// The socket is bound under a dot name, put to listen and only then renamed
// to its .sock name, so a socket that refuses connections is one whose owner
// has gone: such a stale window is skipped and its files removed.
//
// Order on the desktop: newest first (creation time descending), equal times
// by base name ascending. HWND values are tokens from a per-process table
// (never reused): kFirstWindow + 4 * index. The desktop is kDesktopWindow.
// GW_HWNDNEXT is worked out from the window's place in that order, so a walk
// goes on even when the window it stands on has just been closed.
//
// Messages: WM_SETTEXT (the text is carried), WM_CLOSE and WM_USER..0x7FFF
// (wParam and lParam as plain numbers) go to the receiver; one connection per
// message. Frame: u32 magic, u32 message, u64 wParam, u64 lParam, u32 text
// length, then the text. The receiver calls the window's callback and only
// then answers: u32 magic, u32 0, i64 result. The sender gives up after
// the message limit (result 0). WM_GETTEXT is answered from the .info file.
// A receiver handles one connection at a time, so the lines of all senders
// reach the callback one after another.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/common/private_folder.h"

namespace {

constexpr std::uintptr_t kDesktopWindow = 0x10010;
constexpr std::uintptr_t kFirstWindow = 0x20000;
constexpr std::uint32_t kFrameMagic = 0x4D575156;  // "VQWM"
constexpr std::uint32_t kAckMagic = 0x4B415156;    // "VQAK"
constexpr std::size_t kMaxText = 16u << 20;
constexpr std::size_t kMaxClass = 256;
constexpr std::size_t kMaxTitle = 32u << 10;
constexpr std::size_t kMaxInfo = 64u << 10;
constexpr int kDefaultLimitMs = 10000;
std::atomic<int> g_limitMs{kDefaultLimitMs};

struct FrameHeader {
    std::uint32_t magic;
    std::uint32_t message;
    std::uint64_t wParam;
    std::uint64_t lParam;
    std::uint32_t length;
    std::uint32_t reserved;
};
struct AckFrame {
    std::uint32_t magic;
    std::uint32_t reserved;
    std::int64_t result;
};

// A window's place in the desktop order.
struct Key {
    std::uint64_t stamp = 0;
    std::string base;
};
bool Before(const Key &a, const Key &b) {
    if (a.stamp != b.stamp) return a.stamp > b.stamp;
    return a.base < b.base;
}

struct LocalWindow;

struct Known {
    std::string folder;
    Key key;
    std::shared_ptr<LocalWindow> local;  // set while this process owns it
    bool createdHere = false;
};

// A window of this process and its receiver.
struct LocalWindow {
    int listenFd = -1;
    int wakeRead = -1;
    int wakeWrite = -1;
    VELQO_WNDPROC proc = nullptr;
    void *context = nullptr;
    HWND hwnd = nullptr;
    std::string socketPath;
    std::string infoPath;
    std::thread receiver;
    std::atomic<std::thread::id> receiverId{};
    ~LocalWindow() {
        for (int fd : {listenFd, wakeRead, wakeWrite})
            if (fd >= 0) close(fd);
    }
};

// The handle table lives until the process ends; it is never destroyed, so
// windows still open at exit do not take their receivers down with it.
struct Table {
    std::mutex mutex;
    std::vector<Known> known;
    std::unordered_map<std::string, std::size_t> byPath;
};
Table &TheTable() {
    static Table *table = new Table;
    return *table;
}
std::atomic<std::uint32_t> g_sequence{0};

std::string PathOf(const std::string &folder, const std::string &base, const char *suffix) {
    return folder + "/" + base + suffix;
}

HWND TokenFor(const std::string &folder, const Key &key, std::shared_ptr<LocalWindow> local = nullptr) {
    Table &t = TheTable();
    std::lock_guard lock(t.mutex);
    std::string path = PathOf(folder, key.base, "");
    auto it = t.byPath.find(path);
    std::size_t index;
    if (it != t.byPath.end()) {
        index = it->second;
        if (local) {
            t.known[index].local = std::move(local);
            t.known[index].createdHere = true;
        }
    } else {
        bool createdHere = local != nullptr;
        index = t.known.size();
        t.known.push_back(Known{folder, key, std::move(local), createdHere});
        t.byPath.emplace(std::move(path), index);
    }
    return reinterpret_cast<HWND>(kFirstWindow + 4 * index);
}

std::optional<Known> Lookup(HWND hwnd) {
    auto value = reinterpret_cast<std::uintptr_t>(hwnd);
    if (value < kFirstWindow || (value - kFirstWindow) % 4 != 0) return std::nullopt;
    std::size_t index = (value - kFirstWindow) / 4;
    Table &t = TheTable();
    std::lock_guard lock(t.mutex);
    if (index >= t.known.size()) return std::nullopt;
    return t.known[index];
}

bool IsDesktop(HWND hwnd) { return reinterpret_cast<std::uintptr_t>(hwnd) == kDesktopWindow; }

// --- the session folder --------------------------------------------------------

// The session folder; created (mode 0700) when create is set. False with
// errno set when there is none or it may not be used.
bool SessionFolder(std::string *folder, bool create) {
    const char *xdg = getenv("XDG_RUNTIME_DIR");
    if (xdg && xdg[0] == '/') {
        std::string dir = xdg;
        while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
        *folder = dir + "/velqosch-windows";
    } else {
        *folder = "/tmp/velqosch-windows-" + std::to_string(static_cast<unsigned long>(geteuid()));
    }
    if (create && mkdir(folder->c_str(), 0700) != 0 && errno != EEXIST) return false;
    return velqo::CheckPrivateFolder(*folder, velqo::kNoAccessForOthers);
}

// Parses "<16 hex>-<8 hex>-<8 hex>.sock" into its key.
bool ParseSocketName(const char *name, Key *key) {
    std::size_t len = std::strlen(name);
    constexpr std::size_t kBaseLen = 16 + 1 + 8 + 1 + 8;
    if (len != kBaseLen + 5 || std::strcmp(name + kBaseLen, ".sock") != 0) return false;
    std::uint64_t stamp = 0;
    for (std::size_t i = 0; i < kBaseLen; ++i) {
        char c = name[i];
        bool dash = i == 16 || i == 25;
        if (dash != (c == '-')) return false;
        if (dash) continue;
        int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (digit < 0) return false;
        if (i < 16) stamp = stamp * 16 + unsigned(digit);
    }
    key->stamp = stamp;
    key->base.assign(name, kBaseLen);
    return true;
}

std::vector<Key> Enumerate(const std::string &folder) {
    std::vector<Key> keys;
    DIR *dir = opendir(folder.c_str());
    if (!dir) return keys;
    while (dirent *entry = readdir(dir)) {
        Key key;
        if (ParseSocketName(entry->d_name, &key)) keys.push_back(std::move(key));
    }
    closedir(dir);
    std::sort(keys.begin(), keys.end(), Before);
    return keys;
}

bool FillAddress(const std::string &path, sockaddr_un *address) {
    std::memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    if (path.size() >= sizeof address->sun_path) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
    return true;
}

void RemoveWindowFiles(const std::string &folder, const std::string &base) {
    unlink(PathOf(folder, base, ".sock").c_str());
    unlink(PathOf(folder, base, ".info").c_str());
}

enum class Probe { Alive, Stale, Gone };

// Whether a receiver listens on the socket. A probe connection is closed at
// once; the receiver sees it end before a frame and drops it.
Probe ProbeSocket(const std::string &path) {
    sockaddr_un address;
    if (!FillAddress(path, &address)) return Probe::Gone;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return Probe::Gone;
    int rc = connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    int error = rc == 0 ? 0 : errno;
    close(fd);
    if (rc == 0 || error == EAGAIN || error == EINPROGRESS) return Probe::Alive;
    if (error == ECONNREFUSED) return Probe::Stale;
    return Probe::Gone;
}

// Goes through a folder's windows in desktop order: pick(key, false) says
// whether to probe a window, pick(key, true) whether a live one is the
// answer. Stale windows met on the way are removed.
template <class Pick>
HWND Walk(const std::string &folder, Pick pick) {
    for (const Key &key : Enumerate(folder)) {
        if (!pick(key, false)) continue;
        switch (ProbeSocket(PathOf(folder, key.base, ".sock"))) {
        case Probe::Alive: {
            HWND hwnd = TokenFor(folder, key);
            if (pick(key, true)) return hwnd;
            break;
        }
        case Probe::Stale:
            RemoveWindowFiles(folder, key.base);
            break;
        case Probe::Gone:
            break;
        }
    }
    return nullptr;
}

// --- the .info side file ---------------------------------------------------------

struct Info {
    std::string className;
    std::string title;
};

bool ReadInfo(const std::string &folder, const std::string &base, Info *info) {
    int fd = open(PathOf(folder, base, ".info").c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;
    std::string data;
    char buffer[4096];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        data.append(buffer, std::size_t(n));
        if (data.size() > kMaxInfo) break;
    }
    close(fd);
    if (data.size() > kMaxInfo) return false;
    static constexpr char kMagic[] = "velqo-window 1\n";
    if (data.compare(0, sizeof kMagic - 1, kMagic) != 0) return false;
    unsigned long pid = 0, classLen = 0, titleLen = 0;
    int used = 0;
    if (std::sscanf(data.c_str() + sizeof kMagic - 1, "%lu\n%lu %lu\n%n", &pid, &classLen, &titleLen, &used) != 3)
        return false;
    std::size_t start = sizeof kMagic - 1 + std::size_t(used);
    if (classLen > kMaxClass || titleLen > kMaxTitle || data.size() - start != classLen + titleLen) return false;
    info->className = data.substr(start, classLen);
    info->title = data.substr(start + classLen, titleLen);
    return true;
}

bool WriteAll(int fd, const char *data, std::size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= std::size_t(n);
    }
    return true;
}

bool WriteInfo(const std::string &folder, const std::string &base, const std::string &className,
               const std::string &title) {
    std::string data = "velqo-window 1\n" + std::to_string(getpid()) + "\n" + std::to_string(className.size()) +
                       " " + std::to_string(title.size()) + "\n" + className + title;
    std::string temporary = PathOf(folder, "." + base, ".info");
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    bool ok = WriteAll(fd, data.data(), data.size());
    ok = close(fd) == 0 && ok;
    if (ok) ok = rename(temporary.c_str(), PathOf(folder, base, ".info").c_str()) == 0;
    if (!ok) {
        int saved = errno;
        unlink(temporary.c_str());
        errno = saved;
    }
    return ok;
}

DWORD Win32FromErrno(int error) {
    switch (error) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM: return ERROR_ACCESS_DENIED;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case ENAMETOOLONG: return 206;  // ERROR_FILENAME_EXCED_RANGE
    default: return ERROR_INVALID_PARAMETER;
    }
}

// --- sending ------------------------------------------------------------------------

std::int64_t NowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool SetTimeouts(int fd, std::int64_t deadline) {
    std::int64_t left = deadline - NowMs();
    if (left <= 0) return false;
    timeval tv{};
    tv.tv_sec = time_t(left / 1000);
    tv.tv_usec = suseconds_t((left % 1000) * 1000);
    return setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == 0 &&
           setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0;
}

bool SendAll(int fd, const char *data, std::size_t size, std::int64_t deadline) {
    while (size > 0) {
        if (!SetTimeouts(fd, deadline)) return false;
        ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= std::size_t(n);
    }
    return true;
}

bool ReceiveAll(int fd, char *data, std::size_t size, std::int64_t deadline) {
    while (size > 0) {
        if (deadline && !SetTimeouts(fd, deadline)) return false;
        ssize_t n = recv(fd, data, size, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= std::size_t(n);
    }
    return true;
}

LRESULT CallProc(LocalWindow &window, UINT msg, WPARAM wParam, LPARAM lParam) {
    try {
        return window.proc(window.hwnd, msg, wParam, lParam, window.context);
    } catch (...) {
        return 0;
    }
}

LRESULT SendToSocket(const std::string &path, UINT msg, WPARAM wParam, LPARAM lParam, const char *text,
                     std::size_t length) {
    std::int64_t deadline = NowMs() + g_limitMs.load();
    sockaddr_un address;
    if (!FillAddress(path, &address)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        SetLastError(Win32FromErrno(errno));
        return 0;
    }
    LRESULT result = 0;
    bool ok = SetTimeouts(fd, deadline);
    while (ok && connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        ok = errno == EINTR && SetTimeouts(fd, deadline);
    }
    if (ok) {
        FrameHeader header{kFrameMagic, msg, std::uint64_t(wParam), std::uint64_t(lParam), std::uint32_t(length), 0};
        AckFrame ack{};
        ok = SendAll(fd, reinterpret_cast<const char *>(&header), sizeof header, deadline) &&
             SendAll(fd, text, length, deadline) &&
             ReceiveAll(fd, reinterpret_cast<char *>(&ack), sizeof ack, deadline) && ack.magic == kAckMagic;
        if (ok) result = LRESULT(ack.result);
    }
    close(fd);
    if (!ok) SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return result;
}

// --- receiving ------------------------------------------------------------------------

void ServeConnection(LocalWindow &window, int fd) {
    int limit = g_limitMs.load();
    timeval tv{};
    tv.tv_sec = time_t(limit / 1000);
    tv.tv_usec = suseconds_t((limit % 1000) * 1000);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    FrameHeader header{};
    if (!ReceiveAll(fd, reinterpret_cast<char *>(&header), sizeof header, 0)) return;  // a probe, or garbage
    if (header.magic != kFrameMagic || header.length > kMaxText) return;
    std::string text;
    try {
        text.resize(header.length);
    } catch (...) {
        return;
    }
    if (!ReceiveAll(fd, text.data(), text.size(), 0)) return;
    LPARAM lParam = header.message == WM_SETTEXT ? reinterpret_cast<LPARAM>(text.c_str()) : LPARAM(header.lParam);
    AckFrame ack{kAckMagic, 0, std::int64_t(CallProc(window, header.message, WPARAM(header.wParam), lParam))};
    const char *data = reinterpret_cast<const char *>(&ack);
    std::size_t size = sizeof ack;
    while (size > 0) {
        ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        data += n;
        size -= std::size_t(n);
    }
}

void ReceiverLoop(std::shared_ptr<LocalWindow> window) {
    window->receiverId.store(std::this_thread::get_id());
    for (;;) {
        pollfd fds[2] = {{window->listenFd, POLLIN, 0}, {window->wakeRead, POLLIN, 0}};
        int rc = poll(fds, 2, -1);
        if (rc < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents) return;
        if (!(fds[0].revents & POLLIN)) {
            if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) return;
            continue;
        }
        int fd = accept4(window->listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        ServeConnection(*window, fd);
        close(fd);
    }
}

std::string Hex(std::uint64_t value, int digits) {
    char buffer[17];
    std::snprintf(buffer, sizeof buffer, "%0*llx", digits, static_cast<unsigned long long>(value));
    return buffer;
}

bool CaseEqual(const std::string &a, const char *b) {
    std::size_t n = std::strlen(b);
    if (a.size() != n) return false;
    for (std::size_t i = 0; i < n; ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x = x - 'A' + 'a';
        if (y >= 'A' && y <= 'Z') y = y - 'A' + 'a';
        if (x != y) return false;
    }
    return true;
}

int CopyText(const std::string &text, LPSTR buffer, int maxCount) {
    if (!buffer || maxCount <= 0) return 0;
    std::size_t n = std::min(text.size(), std::size_t(maxCount - 1));
    std::memcpy(buffer, text.data(), n);
    buffer[n] = 0;
    return int(n);
}

// Takes a window of this process out of the table; its object, or null.
std::shared_ptr<LocalWindow> ForgetLocal(HWND hwnd) {
    auto value = reinterpret_cast<std::uintptr_t>(hwnd);
    if (value < kFirstWindow || (value - kFirstWindow) % 4 != 0) return nullptr;
    std::size_t index = (value - kFirstWindow) / 4;
    Table &t = TheTable();
    std::lock_guard lock(t.mutex);
    return index < t.known.size() ? std::move(t.known[index].local) : nullptr;
}

// Ends the receiver. Called from the window's own callback, it lets the
// receiver finish that message and end by itself.
void StopReceiver(LocalWindow &window) {
    char wake = 1;
    while (write(window.wakeWrite, &wake, 1) < 0 && errno == EINTR) {
    }
    if (!window.receiver.joinable()) return;
    if (window.receiverId.load() == std::this_thread::get_id())
        window.receiver.detach();
    else
        window.receiver.join();
}

}  // namespace

VQAPI HWND GetDesktopWindow(void) { return reinterpret_cast<HWND>(kDesktopWindow); }

VQAPI HWND GetWindow(HWND hWnd, UINT uCmd) {
    try {
        if (IsDesktop(hWnd)) {
            if (uCmd != GW_CHILD) return nullptr;
            std::string folder;
            if (!SessionFolder(&folder, false)) return nullptr;
            return Walk(folder, [](const Key &, bool) { return true; });
        }
        std::optional<Known> known = Lookup(hWnd);
        if (!known) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return nullptr;
        }
        const Key self = known->key;
        switch (uCmd) {
        case GW_HWNDFIRST:
            return Walk(known->folder, [](const Key &, bool) { return true; });
        case GW_HWNDNEXT:
            return Walk(known->folder, [&](const Key &k, bool) { return Before(self, k); });
        case GW_HWNDPREV: {
            // The last live window before this one.
            HWND previous = nullptr;
            Walk(known->folder, [&](const Key &k, bool alive) {
                if (!Before(k, self)) return false;
                if (alive) previous = TokenFor(known->folder, k);
                return !alive;  // probe each one, never stop early
            });
            return previous;
        }
        case GW_HWNDLAST: {
            HWND last = nullptr;
            Walk(known->folder, [&](const Key &k, bool alive) {
                if (alive) last = TokenFor(known->folder, k);
                return !alive;
            });
            return last;
        }
        default:
            return nullptr;  // no owners, no child windows
        }
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

VQAPI int GetWindowTextA(HWND hWnd, LPSTR lpString, int nMaxCount) {
    try {
        if (lpString && nMaxCount > 0) lpString[0] = 0;
        if (IsDesktop(hWnd)) return 0;
        std::optional<Known> known = Lookup(hWnd);
        Info info;
        if (!known || !ReadInfo(known->folder, known->key.base, &info)) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        return CopyText(info.title, lpString, nMaxCount);
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
}

// Class names and titles compare without regard to ASCII case.
VQAPI HWND FindWindowA(LPCSTR lpClassName, LPCSTR lpWindowName) {
    try {
        std::string folder;
        if (!SessionFolder(&folder, false)) return nullptr;
        HWND found = Walk(folder, [&](const Key &k, bool alive) {
            if (!alive) return true;
            Info info;
            if (!ReadInfo(folder, k.base, &info)) return false;
            return (!lpClassName || CaseEqual(info.className, lpClassName)) &&
                   (!lpWindowName || CaseEqual(info.title, lpWindowName));
        });
        if (!found) SetLastError(ERROR_FILE_NOT_FOUND);
        return found;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

VQAPI BOOL IsWindow(HWND hWnd) {
    try {
        if (IsDesktop(hWnd)) return TRUE;
        std::optional<Known> known = Lookup(hWnd);
        return known && ProbeSocket(PathOf(known->folder, known->key.base, ".sock")) == Probe::Alive ? TRUE : FALSE;
    } catch (...) {
        return FALSE;
    }
}

VQAPI LRESULT SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    try {
        if (IsDesktop(hWnd)) return 0;
        std::optional<Known> known = Lookup(hWnd);
        if (!known) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        if (Msg == WM_GETTEXT) {
            Info info;
            if (!ReadInfo(known->folder, known->key.base, &info)) {
                SetLastError(ERROR_INVALID_WINDOW_HANDLE);
                return 0;
            }
            return CopyText(info.title, reinterpret_cast<LPSTR>(lParam), wParam > 0x7FFFFFFF ? 0x7FFFFFFF : int(wParam));
        }
        const char *text = "";
        std::size_t length = 0;
        if (Msg == WM_SETTEXT) {
            if (lParam) text = reinterpret_cast<const char *>(lParam);
            length = std::strlen(text);
            if (length > kMaxText) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return 0;
            }
        } else if (Msg != WM_CLOSE && !(Msg >= WM_USER && Msg <= 0x7FFF)) {
            return 0;  // a system message this layer does not carry
        }
        // A window's own receiver thread calls the callback directly, as a
        // window's thread does on Windows.
        if (known->local && known->local->receiverId.load() == std::this_thread::get_id()) {
            return CallProc(*known->local, Msg, wParam, Msg == WM_SETTEXT ? reinterpret_cast<LPARAM>(text) : lParam);
        }
        return SendToSocket(PathOf(known->folder, known->key.base, ".sock"), Msg, wParam, lParam, text, length);
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
}

VQAPI HWND VelqoCreateWindow(LPCSTR lpClassName, LPCSTR lpWindowName, VELQO_WNDPROC proc, void *context) {
    std::string folder, base, temporary;
    bool infoWritten = false;
    try {
        std::string className = lpClassName ? lpClassName : "";
        std::string title = lpWindowName ? lpWindowName : "";
        if (!proc || className.size() > kMaxClass || title.size() > kMaxTitle) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        if (!SessionFolder(&folder, true)) {
            SetLastError(Win32FromErrno(errno));
            return nullptr;
        }
        timespec ts{};
        clock_gettime(CLOCK_REALTIME, &ts);
        Key key;
        key.stamp = std::uint64_t(ts.tv_sec) * 1000000000u + std::uint64_t(ts.tv_nsec);
        key.base = Hex(key.stamp, 16) + "-" + Hex(std::uint32_t(getpid()), 8) + "-" + Hex(++g_sequence, 8);
        base = key.base;

        auto window = std::make_shared<LocalWindow>();
        window->proc = proc;
        window->context = context;
        window->socketPath = PathOf(folder, base, ".sock");
        window->infoPath = PathOf(folder, base, ".info");
        temporary = PathOf(folder, "." + base, ".sock");
        sockaddr_un address;
        if (!FillAddress(window->socketPath, &address) || !FillAddress(temporary, &address)) {
            SetLastError(Win32FromErrno(errno));
            return nullptr;
        }
        int wake[2];
        if (pipe2(wake, O_CLOEXEC) != 0) {
            SetLastError(Win32FromErrno(errno));
            return nullptr;
        }
        window->wakeRead = wake[0];
        window->wakeWrite = wake[1];
        window->listenFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (window->listenFd < 0 || !WriteInfo(folder, base, className, title)) {
            SetLastError(Win32FromErrno(errno));
            return nullptr;
        }
        infoWritten = true;
        if (bind(window->listenFd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
            listen(window->listenFd, 64) != 0) {
            int saved = errno;
            unlink(temporary.c_str());
            unlink(window->infoPath.c_str());
            SetLastError(Win32FromErrno(saved));
            return nullptr;
        }
        // The receiver runs before the window gets its name, so nothing can
        // reach the window before it is complete. It takes no signals meant
        // for the process.
        sigset_t all, previous;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous);
        DWORD error = 0;
        try {
            window->hwnd = TokenFor(folder, key, window);
            window->receiver = std::thread(ReceiverLoop, window);
        } catch (...) {
            error = ERROR_NOT_ENOUGH_MEMORY;
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        if (!error && rename(temporary.c_str(), window->socketPath.c_str()) != 0) error = Win32FromErrno(errno);
        if (error) {
            ForgetLocal(window->hwnd);
            StopReceiver(*window);
            unlink(temporary.c_str());
            unlink(window->infoPath.c_str());
            SetLastError(error);
            return nullptr;
        }
        return window->hwnd;
    } catch (...) {
        if (infoWritten) RemoveWindowFiles(folder, base);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

VQAPI void VelqoSetMessageTimeout(DWORD milliseconds) {
    g_limitMs.store(milliseconds == 0 || milliseconds > 0x7FFFFFFF ? kDefaultLimitMs : int(milliseconds));
}

VQAPI BOOL VelqoDestroyWindow(HWND hWnd) {
    std::shared_ptr<LocalWindow> window = ForgetLocal(hWnd);
    if (!window) {
        std::optional<Known> known = Lookup(hWnd);
        SetLastError(known && !known->createdHere ? ERROR_ACCESS_DENIED : ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    unlink(window->socketPath.c_str());
    StopReceiver(*window);
    unlink(window->infoPath.c_str());
    return TRUE;
}
