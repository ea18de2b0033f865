// The window layer: the desktop order, lookups, titles and messages.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "service/platform.h"

using namespace trace_test;

namespace {

struct Inbox {
    std::vector<std::string> lines;
    std::vector<WPARAM> wParams;
    std::vector<UINT> messages;
    std::thread::id thread;
    LRESULT answer = TRUE;
};

LRESULT Collect(HWND, UINT msg, WPARAM wParam, LPARAM lParam, void *context) {
    auto *inbox = static_cast<Inbox *>(context);
    inbox->messages.push_back(msg);
    inbox->wParams.push_back(wParam);
    inbox->lines.push_back(msg == WM_SETTEXT ? reinterpret_cast<const char *>(lParam) : std::to_string(lParam));
    inbox->thread = std::this_thread::get_id();
    return inbox->answer;
}

// A window that lives for the scope.
struct Window {
    Window(const char *cls, const char *title, Inbox *inbox = nullptr)
        : hwnd(VelqoCreateWindow(cls, title, Collect, inbox ? inbox : &own)) {}
    ~Window() {
        if (hwnd) VelqoDestroyWindow(hwnd);
    }
    Inbox own;
    HWND hwnd;
};

std::vector<HWND> TopLevel() {
    std::vector<HWND> all;
    for (HWND w = GetWindow(GetDesktopWindow(), GW_CHILD); w && all.size() < 100; w = GetWindow(w, GW_HWNDNEXT))
        all.push_back(w);
    return all;
}

std::string Title(HWND hwnd) {
    char buffer[255];
    int n = GetWindowTextA(hwnd, buffer, sizeof buffer);
    return std::string(buffer, n > 0 ? std::size_t(n) : 0);
}

TEST(Desktop, EmptySessionHasNoWindows) {
    Session session;
    HWND desktop = GetDesktopWindow();
    EXPECT_NE(desktop, nullptr);
    EXPECT_EQ(desktop, GetDesktopWindow());
    EXPECT_TRUE(IsWindow(desktop));
    EXPECT_EQ(GetWindow(desktop, GW_CHILD), nullptr);
    EXPECT_EQ(GetWindow(desktop, GW_HWNDNEXT), nullptr);
    EXPECT_EQ(FindWindowA(nullptr, nullptr), nullptr);
    char buffer[8] = "x";
    EXPECT_EQ(GetWindowTextA(desktop, buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "");
}

TEST(Desktop, NewestWindowComesFirstAndHandlesStayStable) {
    Session session;
    Window a("K", "first"), b("K", "second"), c("K", "third");
    ASSERT_TRUE(a.hwnd && b.hwnd && c.hwnd);
    EXPECT_NE(a.hwnd, b.hwnd);
    EXPECT_EQ(TopLevel(), (std::vector<HWND>{c.hwnd, b.hwnd, a.hwnd}));
    EXPECT_EQ(TopLevel(), TopLevel());
    EXPECT_EQ(GetWindow(a.hwnd, GW_HWNDFIRST), c.hwnd);
    EXPECT_EQ(GetWindow(c.hwnd, GW_HWNDLAST), a.hwnd);
    EXPECT_EQ(GetWindow(a.hwnd, GW_HWNDPREV), b.hwnd);
    EXPECT_EQ(GetWindow(c.hwnd, GW_HWNDPREV), nullptr);
    EXPECT_EQ(GetWindow(c.hwnd, GW_CHILD), nullptr);
    // Handles are positive 32-bit values, as the trace expects of a window.
    for (HWND w : TopLevel()) EXPECT_GE(static_cast<LONG>(reinterpret_cast<LONG_PTR>(w)), 1);
}

TEST(Desktop, WalkGoesOnPastAWindowClosedUnderIt) {
    Session session;
    Window a("K", "a"), c("K", "c");
    HWND b = VelqoCreateWindow("K", "b", Collect, &a.own);
    ASSERT_NE(b, nullptr);
    HWND newest = GetWindow(GetDesktopWindow(), GW_CHILD);
    ASSERT_EQ(newest, b);
    ASSERT_TRUE(VelqoDestroyWindow(b));
    EXPECT_FALSE(IsWindow(b));
    EXPECT_EQ(GetWindow(b, GW_HWNDNEXT), c.hwnd);
    EXPECT_EQ(TopLevel(), (std::vector<HWND>{c.hwnd, a.hwnd}));
    EXPECT_FALSE(VelqoDestroyWindow(b));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_WINDOW_HANDLE));
}

TEST(Desktop, EachSessionFolderHasItsOwnWindows) {
    HWND inFirst = nullptr;
    {
        Session first;
        Window w("K", "only in the first session");
        inFirst = w.hwnd;
        ASSERT_EQ(TopLevel(), std::vector<HWND>{w.hwnd});
        Session second;
        EXPECT_TRUE(TopLevel().empty());
        Window v("K", "second");
        EXPECT_EQ(TopLevel(), std::vector<HWND>{v.hwnd});
        EXPECT_NE(v.hwnd, inFirst);
    }
    EXPECT_NE(inFirst, nullptr);
}

TEST(Desktop, WindowOfAVanishedProcessIsSkippedAndRemoved) {
    Session session;
    Window older("K", "older");
    Viewer viewer(session);
    ASSERT_TRUE(viewer.Ready());
    HWND newest = GetWindow(GetDesktopWindow(), GW_CHILD);
    ASSERT_NE(newest, older.hwnd);
    EXPECT_EQ(Title(newest), "Orvell Snagtrap - Viewer");
    viewer.Kill();  // no chance to remove its socket
    EXPECT_EQ(session.Files(".sock").size(), 2u);
    EXPECT_EQ(TopLevel(), std::vector<HWND>{older.hwnd});
    EXPECT_EQ(session.Files(".sock").size(), 1u);
    EXPECT_EQ(session.Files(".info").size(), 1u);
    EXPECT_EQ(SendMessageA(newest, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("x")), 0);
}

TEST(Desktop, ForeignFilesInTheFolderAreIgnored) {
    Session session;
    Window w("K", "real");
    ASSERT_NE(w.hwnd, nullptr);
    for (const char *name : {"notes.txt", "zzzzzzzzzzzzzzzz-00000001-00000001.sock", "ffffffffffffffff.sock"}) {
        FILE *f = std::fopen((session.Windows() + "/" + name).c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fclose(f);
    }
    EXPECT_EQ(TopLevel(), std::vector<HWND>{w.hwnd});
}

TEST(SessionFolder, UnsafeFolderIsRefused) {
    Session session;
    ASSERT_EQ(mkdir(session.Windows().c_str(), 0755), 0);
    ASSERT_EQ(chmod(session.Windows().c_str(), 0755), 0);
    Inbox inbox;
    EXPECT_EQ(VelqoCreateWindow("K", "t", Collect, &inbox), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    ASSERT_EQ(chmod(session.Windows().c_str(), 0700), 0);
    Window w("K", "t");
    EXPECT_NE(w.hwnd, nullptr);
    EXPECT_EQ(TopLevel().size(), 1u);
    ASSERT_EQ(chmod(session.Windows().c_str(), 0750), 0);
    EXPECT_TRUE(TopLevel().empty());  // not even listed from a folder others may enter
    ASSERT_EQ(chmod(session.Windows().c_str(), 0700), 0);
}

TEST(SessionFolder, SymbolicLinkIsRefused) {
    Session session;
    std::string real = session.Root() + "/elsewhere";
    ASSERT_EQ(mkdir(real.c_str(), 0700), 0);
    ASSERT_EQ(symlink(real.c_str(), session.Windows().c_str()), 0);
    Inbox inbox;
    EXPECT_EQ(VelqoCreateWindow("K", "t", Collect, &inbox), nullptr);
}

TEST(SessionFolder, CreatedPrivate) {
    Session session;
    Window w("K", "t");
    ASSERT_NE(w.hwnd, nullptr);
    struct stat st {};
    ASSERT_EQ(lstat(session.Windows().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST(WindowText, CopiesAtMostOneLessThanTheBuffer) {
    Session session;
    Window w("K", "abcdef");
    char buffer[16];
    std::memset(buffer, 'Z', sizeof buffer);
    EXPECT_EQ(GetWindowTextA(w.hwnd, buffer, 4), 3);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(buffer[4], 'Z');
    EXPECT_EQ(GetWindowTextA(w.hwnd, buffer, 1), 0);
    EXPECT_STREQ(buffer, "");
    buffer[0] = 'Q';
    EXPECT_EQ(GetWindowTextA(w.hwnd, buffer, 0), 0);
    EXPECT_EQ(buffer[0], 'Q');
    EXPECT_EQ(GetWindowTextA(w.hwnd, buffer, 7), 6);
    EXPECT_STREQ(buffer, "abcdef");
    EXPECT_EQ(GetWindowTextA(w.hwnd, buffer, sizeof buffer), 6);
    EXPECT_EQ(GetWindowTextA(w.hwnd, nullptr, 10), 0);
    // WM_GETTEXT answers the same way.
    EXPECT_EQ(SendMessageA(w.hwnd, WM_GETTEXT, 3, reinterpret_cast<LPARAM>(buffer)), 2);
    EXPECT_STREQ(buffer, "ab");
    EXPECT_TRUE(w.own.lines.empty());
}

TEST(WindowText, LongTitleIsKeptWhole) {
    Session session;
    std::string title(1000, 't');
    title += "end";
    Window w("K", title.c_str());
    std::vector<char> buffer(2000);
    EXPECT_EQ(GetWindowTextA(w.hwnd, buffer.data(), int(buffer.size())), int(title.size()));
    EXPECT_EQ(std::string(buffer.data()), title);
}

TEST(WindowText, UnknownHandles) {
    char buffer[8] = "x";
    EXPECT_EQ(GetWindowTextA(nullptr, buffer, sizeof buffer), 0);
    EXPECT_EQ(GetWindowTextA(reinterpret_cast<HWND>(0x12345), buffer, sizeof buffer), 0);
    EXPECT_EQ(GetWindow(reinterpret_cast<HWND>(0x7FFFFFF0), GW_HWNDNEXT), nullptr);
    EXPECT_FALSE(IsWindow(nullptr));
    EXPECT_FALSE(IsWindow(reinterpret_cast<HWND>(0x7FFFFFF0)));
    EXPECT_EQ(SendMessageA(reinterpret_cast<HWND>(0x7FFFFFF0), WM_SETTEXT, 0, reinterpret_cast<LPARAM>("x")), 0);
    EXPECT_FALSE(VelqoDestroyWindow(nullptr));
}

TEST(FindWindow, ByClassTitleOrBoth) {
    Session session;
    Window a("Alpha", "one"), b("Beta", "two"), c("Alpha", "three");
    EXPECT_EQ(FindWindowA(nullptr, nullptr), c.hwnd);
    EXPECT_EQ(FindWindowA("Alpha", nullptr), c.hwnd);
    EXPECT_EQ(FindWindowA("Beta", nullptr), b.hwnd);
    EXPECT_EQ(FindWindowA(nullptr, "one"), a.hwnd);
    EXPECT_EQ(FindWindowA("alpha", "ONE"), a.hwnd);
    EXPECT_EQ(FindWindowA("Beta", "one"), nullptr);
    EXPECT_EQ(FindWindowA("Gamma", nullptr), nullptr);
    EXPECT_EQ(FindWindowA(nullptr, "on"), nullptr);
    EXPECT_EQ(FindWindowA("", nullptr), nullptr);
}

TEST(Messages, SetTextReachesTheCallbackBeforeTheSenderGoesOn) {
    Session session;
    Inbox inbox;
    inbox.answer = 77;
    Window w("K", "t", &inbox);
    std::string line = "line one\r\n\twith a tab";
    EXPECT_EQ(SendMessageA(w.hwnd, WM_SETTEXT, line.size(), reinterpret_cast<LPARAM>(line.c_str())), 77);
    ASSERT_EQ(inbox.lines.size(), 1u);  // already handled when SendMessageA returned
    EXPECT_EQ(inbox.lines[0], line);
    EXPECT_EQ(inbox.wParams[0], line.size());
    EXPECT_NE(inbox.thread, std::this_thread::get_id());
    EXPECT_EQ(SendMessageA(w.hwnd, WM_SETTEXT, 0, 0), 77);  // a null text is the empty text
    EXPECT_EQ(inbox.lines.back(), "");
    EXPECT_EQ(SendMessageA(w.hwnd, WM_USER + 5, 9, -3), 77);
    EXPECT_EQ(inbox.messages.back(), UINT(WM_USER + 5));
    EXPECT_EQ(inbox.wParams.back(), 9u);
    EXPECT_EQ(inbox.lines.back(), "-3");
    EXPECT_EQ(SendMessageA(w.hwnd, 0x0001 /* WM_CREATE */, 0, 0), 0);
    EXPECT_EQ(inbox.lines.size(), 3u);
}

TEST(Messages, ManyLinesArriveInOrder) {
    Session session;
    Inbox inbox;
    Window w("K", "t", &inbox);
    for (int i = 0; i < 300; ++i) {
        std::string text = "n" + std::to_string(i);
        ASSERT_EQ(SendMessageA(w.hwnd, WM_SETTEXT, text.size(), reinterpret_cast<LPARAM>(text.c_str())), TRUE);
    }
    ASSERT_EQ(inbox.lines.size(), 300u);
    for (int i = 0; i < 300; ++i) EXPECT_EQ(inbox.lines[i], "n" + std::to_string(i));
}

TEST(Messages, LargeTextArrivesWhole) {
    Session session;
    Inbox inbox;
    Window w("K", "t", &inbox);
    std::string text(3u << 20, 'x');
    text.back() = 'y';
    EXPECT_EQ(SendMessageA(w.hwnd, WM_SETTEXT, text.size(), reinterpret_cast<LPARAM>(text.c_str())), TRUE);
    ASSERT_EQ(inbox.lines.size(), 1u);
    EXPECT_EQ(inbox.lines[0], text);
}

TEST(Messages, VanishedWindowAnswersZero) {
    Session session;
    Inbox inbox;
    HWND hwnd = VelqoCreateWindow("K", "t", Collect, &inbox);
    ASSERT_NE(hwnd, nullptr);
    ASSERT_TRUE(VelqoDestroyWindow(hwnd));
    EXPECT_TRUE(session.Files(".sock").empty());
    EXPECT_TRUE(session.Files(".info").empty());
    EXPECT_EQ(SendMessageA(hwnd, WM_SETTEXT, 1, reinterpret_cast<LPARAM>("x")), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_TRUE(inbox.lines.empty());
    char buffer[8];
    EXPECT_EQ(GetWindowTextA(hwnd, buffer, sizeof buffer), 0);
}

TEST(Messages, GarbageOnTheSocketDoesNotStopTheReceiver) {
    Session session;
    Inbox inbox;
    Window w("K", "t", &inbox);
    auto socks = session.Files(".sock");
    ASSERT_EQ(socks.size(), 1u);
    std::string path = session.Windows() + "/" + socks[0];
    std::vector<std::string> payloads = {"", "abc", std::string(24, '\xff'),
                                         std::string("\x56\x51\x57\x4d\x0c\0\0\0", 8) + std::string(16, '\0') +
                                             std::string("\xff\xff\xff\x7f\0\0\0\0", 8)};
    for (const std::string &payload : payloads) {
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        ASSERT_GE(fd, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        if (!payload.empty()) {
            ASSERT_EQ(send(fd, payload.data(), payload.size(), MSG_NOSIGNAL), ssize_t(payload.size()));
        }
        shutdown(fd, SHUT_WR);
        char reply[16];
        EXPECT_EQ(recv(fd, reply, sizeof reply, 0), 0);  // dropped without an answer
        close(fd);
    }
    EXPECT_TRUE(inbox.lines.empty());
    EXPECT_EQ(SendMessageA(w.hwnd, WM_SETTEXT, 2, reinterpret_cast<LPARAM>("ok")), TRUE);
    ASSERT_EQ(inbox.lines.size(), 1u);
}

LRESULT SendToSelf(HWND hwnd, UINT msg, WPARAM, LPARAM lParam, void *context) {
    auto *inbox = static_cast<Inbox *>(context);
    std::string text = msg == WM_SETTEXT ? reinterpret_cast<const char *>(lParam) : "";
    inbox->lines.push_back(text);
    if (text == "outer") SendMessageA(hwnd, WM_SETTEXT, 5, reinterpret_cast<LPARAM>("inner"));
    return TRUE;
}

TEST(Messages, CallbackMaySendToItsOwnWindow) {
    Session session;
    Inbox inbox;
    HWND hwnd = VelqoCreateWindow("K", "t", SendToSelf, &inbox);
    ASSERT_NE(hwnd, nullptr);
    EXPECT_EQ(SendMessageA(hwnd, WM_SETTEXT, 5, reinterpret_cast<LPARAM>("outer")), TRUE);
    EXPECT_EQ(inbox.lines, (std::vector<std::string>{"outer", "inner"}));
    EXPECT_TRUE(VelqoDestroyWindow(hwnd));
}

LRESULT DestroyOnBye(HWND hwnd, UINT, WPARAM, LPARAM lParam, void *) {
    if (std::string(reinterpret_cast<const char *>(lParam)) == "bye") return VelqoDestroyWindow(hwnd) ? 5 : 6;
    return TRUE;
}

TEST(Messages, CallbackMayDestroyItsOwnWindow) {
    Session session;
    HWND hwnd = VelqoCreateWindow("K", "t", DestroyOnBye, nullptr);
    ASSERT_NE(hwnd, nullptr);
    EXPECT_EQ(SendMessageA(hwnd, WM_SETTEXT, 2, reinterpret_cast<LPARAM>("hi")), TRUE);
    EXPECT_EQ(SendMessageA(hwnd, WM_SETTEXT, 3, reinterpret_cast<LPARAM>("bye")), 5);
    EXPECT_FALSE(IsWindow(hwnd));
    EXPECT_TRUE(session.Files(".sock").empty());
    EXPECT_EQ(SendMessageA(hwnd, WM_SETTEXT, 2, reinterpret_cast<LPARAM>("hi")), 0);
    EXPECT_FALSE(VelqoDestroyWindow(hwnd));
}

TEST(Messages, SendersOnManyThreadsAreServedOneAtATime) {
    Session session;
    std::atomic<int> inside{0}, most{0}, count{0};
    struct Shared {
        std::atomic<int> *inside, *most, *count;
    } shared{&inside, &most, &count};
    auto proc = [](HWND, UINT, WPARAM, LPARAM, void *context) -> LRESULT {
        auto *s = static_cast<Shared *>(context);
        int now = ++*s->inside;
        int seen = s->most->load();
        while (now > seen && !s->most->compare_exchange_weak(seen, now)) {
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        --*s->inside;
        ++*s->count;
        return TRUE;
    };
    HWND hwnd = VelqoCreateWindow("K", "t", proc, &shared);
    ASSERT_NE(hwnd, nullptr);
    std::vector<std::thread> senders;
    std::atomic<int> ok{0};
    for (int t = 0; t < 4; ++t)
        senders.emplace_back([&] {
            for (int i = 0; i < 25; ++i) ok += SendMessageA(hwnd, WM_SETTEXT, 1, reinterpret_cast<LPARAM>("x")) == 1;
        });
    for (auto &s : senders) s.join();
    EXPECT_EQ(ok.load(), 100);
    EXPECT_EQ(count.load(), 100);
    EXPECT_EQ(most.load(), 1);
    EXPECT_TRUE(VelqoDestroyWindow(hwnd));
}

struct Gate {
    std::mutex m;
    std::condition_variable cv;
    bool open = false;
    int calls = 0;
};

LRESULT WaitAtGate(HWND, UINT, WPARAM, LPARAM, void *context) {
    auto *gate = static_cast<Gate *>(context);
    std::unique_lock lock(gate->m);
    ++gate->calls;
    gate->cv.wait(lock, [&] { return gate->open; });
    return TRUE;
}

TEST(Messages, ReceiverThatDoesNotAnswerInTimeGivesZeroAndRecovers) {
    Session session;
    VelqoSetMessageTimeout(200);
    Gate gate;
    HWND hwnd = VelqoCreateWindow("K", "t", WaitAtGate, &gate);
    ASSERT_NE(hwnd, nullptr);
    EXPECT_EQ(SendMessageA(hwnd, WM_SETTEXT, 1, reinterpret_cast<LPARAM>("x")), 0);
    {
        std::lock_guard lock(gate.m);
        EXPECT_EQ(gate.calls, 1);
        gate.open = true;  // its late answer goes to a closed connection: no SIGPIPE
    }
    gate.cv.notify_all();
    VelqoSetMessageTimeout(0);
    EXPECT_EQ(SendMessageA(hwnd, WM_SETTEXT, 1, reinterpret_cast<LPARAM>("y")), TRUE);
    EXPECT_EQ(gate.calls, 2);
    EXPECT_TRUE(VelqoDestroyWindow(hwnd));
}

// A listener under a window's name that hangs up at once, as a crashing
// viewer would: the sender gets 0, not SIGPIPE.
TEST(Messages, ReceiverHangingUpMidMessageGivesZero) {
    Session session;
    Window real("K", "real");  // makes the folder
    ASSERT_NE(real.hwnd, nullptr);
    std::string base = "ffffffffffffff00-00000001-00000001";
    std::string sock = session.Windows() + "/" + base + ".sock";
    {
        FILE *f = std::fopen((session.Windows() + "/" + base + ".info").c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs("velqo-window 1\n1\n1 4\nKfake", f);
        std::fclose(f);
    }
    int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, sock.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    std::thread hangUp([&] {
        // Probes end at once; the first connection that brings bytes is
        // dropped after 64 of them.
        for (int round = 0; round < 20; ++round) {
            pollfd p{listener, POLLIN, 0};
            if (poll(&p, 1, 5000) != 1) return;
            int fd = accept(listener, nullptr, nullptr);
            char some[64];
            ssize_t n = recv(fd, some, sizeof some, 0);
            close(fd);
            if (n > 0) return;
        }
    });
    HWND fake = FindWindowA(nullptr, "fake");
    ASSERT_NE(fake, nullptr);
    EXPECT_EQ(fake, GetWindow(GetDesktopWindow(), GW_CHILD));
    std::string text(4u << 20, 'x');
    EXPECT_EQ(SendMessageA(fake, WM_SETTEXT, text.size(), reinterpret_cast<LPARAM>(text.c_str())), 0);
    hangUp.join();
    close(listener);
    // Now nothing listens there: the window is stale and goes at the next walk.
    EXPECT_EQ(TopLevel(), std::vector<HWND>{real.hwnd});
    EXPECT_EQ(session.Files(".sock").size(), 1u);
}

TEST(CreateWindow, BadArgumentsAreRefusedWithoutFiles) {
    Session session;
    EXPECT_EQ(VelqoCreateWindow("K", "t", nullptr, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    std::string huge(40000, 'h');
    Inbox inbox;
    EXPECT_EQ(VelqoCreateWindow("K", huge.c_str(), Collect, &inbox), nullptr);
    EXPECT_TRUE(session.Files(".sock").empty());
    EXPECT_TRUE(session.Files(".info").empty());
}

TEST(CreateWindow, TooLongSocketPathIsAnErrorNotACrash) {
    Session session;
    std::string deep = session.Root() + "/" + std::string(90, 'd');
    ASSERT_EQ(mkdir(deep.c_str(), 0700), 0);
    setenv("XDG_RUNTIME_DIR", deep.c_str(), 1);
    Inbox inbox;
    EXPECT_EQ(VelqoCreateWindow("K", "t", Collect, &inbox), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(206));
    EXPECT_EQ(GetWindow(GetDesktopWindow(), GW_CHILD), nullptr);
    setenv("XDG_RUNTIME_DIR", session.Root().c_str(), 1);
}

}  // namespace
