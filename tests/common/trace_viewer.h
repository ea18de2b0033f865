// A trace viewer window of this process for the length of a scope, in a
// private session folder for windows and messages (a desktop of its own, so
// that tests running side by side do not see each other's viewers): the
// procedure markers among the lines it receives ("-> Module : Procedure",
// "<- Module : Procedure").
#pragma once

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "runtime/runtime_test_support.h"
#include "service/platform.h"

namespace test_trace {

class Viewer {
    TempDir desktop_{"velqosch-desktop"};
    ScopedEnv runtime_{"XDG_RUNTIME_DIR", desktop_.path.c_str()};

public:
    Viewer() : window_(VelqoCreateWindow("SnagtrapViewer", "Orvell Snagtrap", Receive, this)) {}
    ~Viewer() {
        if (window_) VelqoDestroyWindow(window_);
    }
    Viewer(const Viewer &) = delete;
    bool open() const { return window_ != nullptr; }
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
    HWND window_;
};

}  // namespace test_trace
