// Windows of this process in a private session folder for windows and
// messages (a desktop of its own, so that tests running side by side do not
// see each other's windows), collecting what they receive; and a trace viewer
// among them that gives the procedure markers of the lines it received.
#pragma once

#include <algorithm>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "runtime/runtime_test_support.h"
#include "service/platform.h"

namespace test_trace {

// A fresh folder used as XDG_RUNTIME_DIR while the object lives.
struct Session {
    const std::string &Root() const { return dir.path(); }
    std::string Windows() const { return dir.path() + "/velqosch-windows"; }
    // Names in the windows folder ending in suffix.
    std::vector<std::string> Files(const std::string &suffix) const {
        std::vector<std::string> names;
        std::error_code ignored;
        for (const auto &entry : std::filesystem::directory_iterator(Windows(), ignored))
            if (std::string name = entry.path().filename(); name.ends_with(suffix)) names.push_back(name);
        return names;
    }
    TempDir dir;
    ScopedEnv env{"XDG_RUNTIME_DIR", dir.path().c_str()};
};

// What a window received: each message as "text" (WM_SETTEXT) or "msg:wParam:lParam".
struct Inbox {
    std::vector<std::string> lines;
    std::thread::id thread;
    LRESULT answer = TRUE;
};

inline LRESULT Collect(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, void *context) {
    auto *inbox = static_cast<Inbox *>(context);
    const std::string text = msg == WM_SETTEXT
                                 ? reinterpret_cast<const char *>(lParam)
                                 : std::to_string(msg) + ":" + std::to_string(wParam) + ":" + std::to_string(lParam);
    EXPECT_TRUE(msg != WM_SETTEXT || wParam == text.size());
    inbox->lines.push_back(text);
    inbox->thread = std::this_thread::get_id();
    if (text == "outer") SendMessageA(hwnd, WM_SETTEXT, 5, reinterpret_cast<LPARAM>("inner"));  // re-entered
    if (text == "bye") return VelqoDestroyWindow(hwnd) ? 5 : 6;
    return inbox->answer;
}

// A window that lives for the scope.
struct Window {
    Window(const char *cls, const char *title) : hwnd(VelqoCreateWindow(cls, title, Collect, &inbox)) {}
    ~Window() { VelqoDestroyWindow(hwnd); }
    Inbox inbox;
    HWND hwnd;
};

// The viewer window in a session of its own.
class Viewer {
    Session session_;
    Window window_{"SnagtrapViewer", "Orvell Snagtrap"};

public:
    bool open() const { return window_.hwnd != nullptr; }
    // Runs body on a thread of its own, whose first trace call finds the
    // viewer, and returns the markers of the lines it sent for `modules`
    // ("-> Module : Procedure", "<- Module : Procedure").
    template <class F>
    std::vector<std::string> Markers(F body, const std::vector<std::string> &modules) {
        window_.inbox.lines.clear();
        std::thread([&] { body(); }).join();  // each line handled before its sender went on
        std::vector<std::string> out;
        static const std::regex marker(R"(\] (->|<-)\t*((\w+) : .*) : )");  // the empty third text and CR LF after
        std::smatch m;
        for (const std::string &line : window_.inbox.lines)
            if (std::regex_search(line, m, marker) && std::find(modules.begin(), modules.end(), m[3]) != modules.end())
                out.push_back(m[1].str() + " " + m[2].str());
        return out;
    }
};

}  // namespace test_trace
