// Runs the component's start-up on this thread: with a trace viewer open,
// the viewer receives the banner and the start-up's trace lines.
#include <cstdio>
#include <cstring>
#include <string>

#include "globals/globals.h"
#include "trace/error.h"

int main(int argc, char **argv) {
    if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::printf("usage: velqosch-startup\n"
                    "Runs the component start-up once on this thread and prints the globals it filled.\n"
                    "Open a trace viewer (snagtrap) first to see the start-up's trace.\n");
        return 0;
    }
    try {
        velqosch::EnsureThreadStarted();
    } catch (const velqosch::ComponentError &e) {
        std::string text;
        for (char16_t c : e.record().description) text.push_back(c < 0x80 ? static_cast<char>(c) : '?');
        std::fprintf(stderr, "start-up failed: error %ld: %s\n", static_cast<long>(e.record().number), text.c_str());
        return 1;
    }
    const auto &g = velqosch::Globals();
    std::string dir;
    for (char16_t c : g.WindowsDirectory) dir.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    OLECHAR iid[40] = {}, clsid[40] = {};
    StringFromGUID2(g.IID_ITask, iid, 40);
    StringFromGUID2(g.CLSID_CTask, clsid, 40);
    auto narrow = [](const OLECHAR *w) {
        std::string s;
        for (; *w; ++w) s.push_back(static_cast<char>(*w));
        return s;
    };
    std::printf("IID_ITask        %s\nCLSID_CTask      %s\nWindowsDirectory %s\n", narrow(iid).c_str(),
                narrow(clsid).c_str(), dir.c_str());
    return 0;
}
