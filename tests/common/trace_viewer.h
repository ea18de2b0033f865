// A trace viewer window of this process, and any other window, for the
// length of a scope: the lines a viewer receives, and the procedure markers
// among them ("-> Module : Procedure", "<- Module : Procedure").
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "service/platform.h"

namespace test_trace {

// A private session folder for windows and messages (a desktop of its own),
// so that tests running side by side do not see each other's viewers.
class PrivateDesktop {
public:
    PrivateDesktop() {
        char tmpl[] = "/tmp/velqosch-desktop-XXXXXX";
        dir_ = mkdtemp(tmpl) ? tmpl : "";
        if (const char *old = getenv("XDG_RUNTIME_DIR")) old_ = old;
        setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
    }
    ~PrivateDesktop() {
        if (old_)
            setenv("XDG_RUNTIME_DIR", old_->c_str(), 1);
        else
            unsetenv("XDG_RUNTIME_DIR");
        std::error_code ignored;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
    }
    const std::string &dir() const { return dir_; }

private:
    std::string dir_;
    std::optional<std::string> old_;
};

inline LRESULT Ignore(HWND, UINT, WPARAM, LPARAM, void *) { return 0; }

struct Window {
    Window(const char *cls, const char *title, VELQO_WNDPROC proc = Ignore, void *context = nullptr)
        : h(VelqoCreateWindow(cls, title, proc, context)) {}
    ~Window() {
        if (h) VelqoDestroyWindow(h);
    }
    Window(const Window &) = delete;
    Window &operator=(const Window &) = delete;
    HWND h;
};

class Viewer {
public:
    Viewer() : window_("SnagtrapViewer", "Orvell Snagtrap", Receive, this) {}
    bool open() const { return window_.h != nullptr; }
    // Runs body on a thread of its own, whose first trace call finds the
    // viewer, and returns the markers of the lines it sent for `modules`.
    template <class F>
    std::vector<std::string> Markers(F body, const std::vector<std::string> &modules) {
        {
            std::lock_guard hold(lock_);
            lines_.clear();
        }
        std::thread([&] { body(); }).join();
        std::lock_guard hold(lock_);
        std::vector<std::string> out;
        for (const std::string &line : lines_)
            for (const char *marker : {"] ->", "] <-"}) {
                const std::size_t at = line.find(marker);
                if (at == std::string::npos) continue;
                std::string rest = line.substr(at + 4);
                rest.erase(0, rest.find_first_not_of('\t'));
                rest = rest.substr(0, rest.rfind(" : "));  // the empty third text and CR LF
                for (const std::string &m : modules)
                    if (rest.compare(0, m.size() + 3, m + " : ") == 0)
                        out.push_back(std::string(marker + 2) + " " + rest);
            }
        return out;
    }

private:
    static LRESULT Receive(HWND, UINT msg, WPARAM, LPARAM text, void *self) {
        if (msg != WM_SETTEXT || !text) return 0;
        auto *v = static_cast<Viewer *>(self);
        std::lock_guard hold(v->lock_);
        v->lines_.emplace_back(reinterpret_cast<const char *>(text));
        return 1;
    }
    std::mutex lock_;
    std::vector<std::string> lines_;
    Window window_;
};

}  // namespace test_trace
