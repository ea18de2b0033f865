// The window layer of the trace: desktop order, lookups, titles and messages over a folder of sockets.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <atomic>

#include "harness.h"

using namespace trace_test;

namespace {

LRESULT Send(HWND hwnd, const std::string &text) {
    return SendMessageA(hwnd, WM_SETTEXT, text.size(), reinterpret_cast<LPARAM>(text.c_str()));
}

std::vector<HWND> TopLevel() {
    std::vector<HWND> all;
    for (HWND w = GetWindow(GetDesktopWindow(), GW_CHILD); w && all.size() < 100; w = GetWindow(w, GW_HWNDNEXT))
        all.push_back(w);
    return all;
}

sockaddr_un Address(const std::string &path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    return address;
}

// The newest window first; the walk goes on past a closed window, and past one of a vanished process, which is removed.
TEST(Desktop, NewestWindowFirstAndTheWalkGoesOnPastAClosedOne) {
    Session session;
    HWND desktop = GetDesktopWindow();
    EXPECT_TRUE(desktop && IsWindow(desktop) && !GetWindow(desktop, GW_CHILD) && !FindWindowA(nullptr, nullptr));
    Window a("K", "a"), c("K", "c");
    Window b("K", "b");
    ASSERT_TRUE(a.hwnd && b.hwnd && c.hwnd);
    EXPECT_EQ(TopLevel(), (std::vector<HWND>{b.hwnd, c.hwnd, a.hwnd}));
    EXPECT_TRUE(GetWindow(a.hwnd, GW_HWNDFIRST) == b.hwnd && GetWindow(b.hwnd, GW_HWNDLAST) == a.hwnd &&
                GetWindow(a.hwnd, GW_HWNDPREV) == c.hwnd && !GetWindow(b.hwnd, GW_HWNDPREV) &&
                !GetWindow(b.hwnd, GW_CHILD));
    // Handles are positive 32-bit values, as the trace expects of a window.
    for (HWND w : TopLevel()) EXPECT_GE(static_cast<LONG>(reinterpret_cast<LONG_PTR>(w)), 1);
    // Files that are no windows are ignored.
    for (const char *name : {"notes.txt", "zzzzzzzzzzzzzzzz-00000001-00000001.sock", "ffffffffffffffff.sock"})
        std::ofstream(session.Windows() + "/" + name) << "";
    ASSERT_TRUE(VelqoDestroyWindow(b.hwnd));
    EXPECT_TRUE(!IsWindow(b.hwnd) && GetWindow(b.hwnd, GW_HWNDNEXT) == c.hwnd);
    EXPECT_TRUE(!VelqoDestroyWindow(b.hwnd) && GetLastError() == ERROR_INVALID_WINDOW_HANDLE);
    b.hwnd = nullptr;
    Viewer viewer({"--title-word", "Gone"});
    ASSERT_TRUE(viewer.Ready());
    HWND gone = GetWindow(desktop, GW_CHILD);
    char title[64];
    EXPECT_TRUE(GetWindowTextA(gone, title, sizeof title) == 22 && title == std::string("Orvell Snagtrap - Gone"));
    viewer.Stop(SIGKILL);                          // no chance to remove its socket
    EXPECT_EQ(session.Files(".sock").size(), 5u);  // with the two files that are no windows
    EXPECT_EQ(TopLevel(), (std::vector<HWND>{c.hwnd, a.hwnd}));
    EXPECT_TRUE(session.Files(".sock").size() == 4u && Send(gone, "x") == 0);
    Session second;  // another session folder has its own windows
    EXPECT_TRUE(TopLevel().empty());
}

// The folder must be the user's own (0700, no symbolic link): others could read the trace or pose as a window. Bad
// arguments leave no files.
TEST(Desktop, OnlyAPrivateSessionFolderIsUsedAndBadArgumentsAreRefused) {
    Inbox inbox;
    {
        Session session;
        Window w("K", "t");
        ASSERT_NE(w.hwnd, nullptr);
        struct stat st {};
        EXPECT_TRUE(lstat(session.Windows().c_str(), &st) == 0 && (st.st_mode & 0777) == 0700u);
        ASSERT_EQ(chmod(session.Windows().c_str(), 0750), 0);
        EXPECT_TRUE(TopLevel().empty());  // not even listed from a folder others may enter
        EXPECT_TRUE(!VelqoCreateWindow("K", "t", Collect, &inbox) && GetLastError() == ERROR_ACCESS_DENIED);
        ASSERT_EQ(chmod(session.Windows().c_str(), 0700), 0);
    }
    Session linked;
    ASSERT_EQ(mkdir((linked.Root() + "/elsewhere").c_str(), 0700), 0);
    ASSERT_EQ(symlink((linked.Root() + "/elsewhere").c_str(), linked.Windows().c_str()), 0);
    EXPECT_EQ(VelqoCreateWindow("K", "t", Collect, &inbox), nullptr);

    Session session;
    EXPECT_TRUE(!VelqoCreateWindow("K", "t", nullptr, nullptr) && GetLastError() == ERROR_INVALID_PARAMETER);
    EXPECT_EQ(VelqoCreateWindow("K", std::string(40000, 'h').c_str(), Collect, &inbox), nullptr);
    EXPECT_TRUE(session.Files(".sock").empty() && session.Files(".info").empty());
    const std::string deep = session.Root() + "/" + std::string(90, 'd');  // too long for a socket's path
    ASSERT_EQ(mkdir(deep.c_str(), 0700), 0);
    ScopedEnv runtime("XDG_RUNTIME_DIR", deep.c_str());
    EXPECT_TRUE(!VelqoCreateWindow("K", "t", Collect, &inbox) && GetLastError() == 206);  // ERROR_FILENAME_EXCED_RANGE
    for (HWND unknown : {HWND(nullptr), reinterpret_cast<HWND>(0x12345), reinterpret_cast<HWND>(0x7FFFFFF0)}) {
        char buffer[8] = "x";
        EXPECT_TRUE(GetWindowTextA(unknown, buffer, sizeof buffer) == 0 && buffer[0] == 0);
        EXPECT_TRUE(!IsWindow(unknown) && !VelqoDestroyWindow(unknown));
        EXPECT_TRUE(!unknown || (!GetWindow(unknown, GW_HWNDNEXT) && Send(unknown, "x") == 0));
    }
}

// The text copied is at most one less than the buffer; messages reach the callback on the receiver's thread, in order,
// before the sender goes on; the callback may send to its own window and destroy it.
TEST(Messages, WindowTextAndMessagesInOrderBeforeTheSenderGoesOn) {
    Session session;
    Window w("K", "abcdef");
    const struct {
        int size, result;
        const char *text;
    } cases[] = {{4, 3, "abc"}, {1, 0, ""}, {7, 6, "abcdef"}, {16, 6, "abcdef"}};
    for (const auto &c : cases) {
        char buffer[17] = "ZZZZZZZZZZZZZZZZ";
        EXPECT_EQ(GetWindowTextA(w.hwnd, buffer, c.size), c.result) << c.size;
        EXPECT_TRUE(buffer == std::string(c.text) && (c.size == 16 || buffer[c.size] == 'Z')) << c.size;
    }
    char buffer[4] = "Q";
    EXPECT_TRUE(GetWindowTextA(w.hwnd, buffer, 0) == 0 && buffer[0] == 'Q' && !GetWindowTextA(w.hwnd, nullptr, 10));
    EXPECT_TRUE(SendMessageA(w.hwnd, WM_GETTEXT, 3, reinterpret_cast<LPARAM>(buffer)) == 2 &&
                buffer == std::string("ab") && w.inbox.lines.empty());  // answered the same way, not by the callback

    w.inbox.answer = 77;
    const std::string line = "line one\r\n\twith a tab";
    std::string large(3u << 20, 'x');
    large.back() = 'y';
    // Each already handled when SendMessageA returned; a null text is the empty text.
    EXPECT_EQ((Results{Send(w.hwnd, line), long(w.inbox.lines.size()), w.inbox.thread != std::this_thread::get_id(),
                       SendMessageA(w.hwnd, WM_SETTEXT, 0, 0), SendMessageA(w.hwnd, WM_USER, 9, -3),
                       SendMessageA(w.hwnd, 0x0001 /* WM_CREATE */, 0, 0), Send(w.hwnd, large)}),
              (Results{77, 1, true, 77, 77, 0, 77}));
    EXPECT_EQ(w.inbox.lines, (std::vector<std::string>{line, "", std::to_string(WM_USER) + ":9:-3", large}));
    w.inbox.answer = TRUE;

    w.inbox.lines.clear();
    EXPECT_EQ((Results{Send(w.hwnd, "outer"), Send(w.hwnd, "bye"),
                       !IsWindow(w.hwnd) && session.Files(".sock").empty() && session.Files(".info").empty(),
                       Send(w.hwnd, "hi"), GetLastError()}),
              (Results{TRUE, 5, true, 0, ERROR_INVALID_WINDOW_HANDLE}));
    EXPECT_EQ(w.inbox.lines, (std::vector<std::string>{"outer", "inner", "bye"}));
}

// A receiver late to answer gives 0 and serves the next message (its late answer meets a closed connection, no
// SIGPIPE); senders are served one at a time.
TEST(Messages, LateReceiverGivesZeroAndSendersAreServedOneAtATime) {
    Session session;
    VelqoSetMessageTimeout(200);
    static std::atomic<int> calls{0}, inside{0}, most{0};
    static std::atomic<bool> open{false};
    HWND hwnd = VelqoCreateWindow(
        "K", "t",
        [](HWND, UINT, WPARAM, LPARAM, void *) -> LRESULT {
            ++calls, most = std::max(most.load(), ++inside);
            while (!open) std::this_thread::sleep_for(std::chrono::milliseconds(5));
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            return --inside, TRUE;
        },
        nullptr);
    ASSERT_NE(hwnd, nullptr);
    EXPECT_TRUE(Send(hwnd, "x") == 0 && calls == 1);
    open = true;
    VelqoSetMessageTimeout(0);
    std::atomic<int> ok{0};
    std::vector<std::thread> senders;
    for (int t = 0; t < 4; ++t)
        senders.emplace_back([&] {
            for (int i = 0; i < 25; ++i) ok += Send(hwnd, "x") == TRUE;
        });
    for (auto &s : senders) s.join();
    EXPECT_TRUE(ok == 100 && most == 1 && calls == 101);
    EXPECT_TRUE(VelqoDestroyWindow(hwnd));
}

// Bytes that are no message get no answer and do not stop the receiver. A listener under a window's name that hangs up
// mid-message, as a crashing viewer would: the sender gets 0, not SIGPIPE, and the window goes at the next walk.
TEST(Messages, GarbageOnTheSocketAndAReceiverHangingUpMidMessage) {
    Session session;
    Window w("K", "t");
    const sockaddr_un address = Address(session.Windows() + "/" + session.Files(".sock").at(0));
    std::string wrongMagic(32, '\0');
    wrongMagic[4] = WM_SETTEXT, wrongMagic[24] = 2;  // a text of two bytes
    for (const std::string &payload : {std::string("abc"), wrongMagic + "hi"}) {
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        ASSERT_TRUE(connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0 &&
                    send(fd, payload.data(), payload.size(), MSG_NOSIGNAL) == ssize_t(payload.size()));
        shutdown(fd, SHUT_WR);
        char reply[16];
        EXPECT_LE(recv(fd, reply, sizeof reply, 0), 0);  // closed, maybe reset: no answer
        close(fd);
    }
    EXPECT_EQ(Send(w.hwnd, "ok"), TRUE);
    EXPECT_EQ(w.inbox.lines, std::vector<std::string>{"ok"});
    const std::string base = session.Windows() + "/ffffffffffffff00-00000001-00000001";
    std::ofstream(base + ".info") << "velqo-window 1\n1\n1 4\nKfake";
    const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    const sockaddr_un hung = Address(base + ".sock");
    ASSERT_TRUE(bind(listener, reinterpret_cast<const sockaddr *>(&hung), sizeof hung) == 0 &&
                listen(listener, 4) == 0);
    const HWND fake = FindWindowA(nullptr, "fake");
    ASSERT_NE(fake, nullptr);
    std::thread hangUp([&] {
        for (ssize_t n = 0; n <= 0;) {  // probes bring no bytes; the message is dropped after 64
            pollfd p{listener, POLLIN, 0};
            if (poll(&p, 1, 5000) != 1) return;
            const int fd = accept(listener, nullptr, nullptr);
            char some[64];
            n = recv(fd, some, sizeof some, 0);
            close(fd);
        }
    });
    EXPECT_EQ(Send(fake, std::string(4u << 20, 'x')), 0);
    hangUp.join();
    close(listener);
    EXPECT_EQ(TopLevel(), std::vector<HWND>{w.hwnd});
}

}  // namespace
