// The procedure trace, checked byte for byte at a real viewer process.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <clocale>
#include <cstdlib>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "trace/trace.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
// glibc's newlocale keeps a copy of $LOCPATH it never frees.
#define IGNORE_LOCALE_LEAK() __lsan_disable()
#define END_IGNORE_LOCALE_LEAK() __lsan_enable()
#else
#define IGNORE_LOCALE_LEAK()
#define END_IGNORE_LOCALE_LEAK()
#endif

using namespace trace_test;
using velqosch::CurrentTraceState;
using velqosch::TraceProcEnter;
using velqosch::TraceProcExit;
using velqosch::TraceScope;

namespace {

const std::regex kBanner(R"(velqosch START SNAGTRAP 6\.60 LITE (\d\d)-(\d\d)-(\d{4}),(\d\d):(\d\d):(\d\d)\r\n)");

// Splits off the banner; fails the test when it is not there.
std::string AfterBanner(const std::string &output) {
    std::size_t end = output.find("\r\n");
    EXPECT_NE(end, std::string::npos);
    if (end == std::string::npos) return {};
    std::string banner = output.substr(0, end + 2);
    std::smatch m;
    EXPECT_TRUE(std::regex_match(banner, m, kBanner)) << banner;
    if (m.size() == 7) {
        EXPECT_GE(std::stoi(m[1]), 1);
        EXPECT_LE(std::stoi(m[1]), 12);
        EXPECT_GE(std::stoi(m[2]), 1);
        EXPECT_LE(std::stoi(m[2]), 31);
        EXPECT_LE(std::stoi(m[4]), 23);
    }
    return output.substr(end + 2);
}

std::string Line(const char *number, const char *marker, int tabs, const char *module, const char *procedure) {
    return std::string("[velqosch] [") + number + "] [T] " + marker + std::string(std::size_t(tabs), '\t') + module +
           " : " + procedure + " : \r\n";
}

void Inner() { TraceScope trace("Trigger", "Property (Get) IsDirty"); }

void Failing() {
    TraceScope trace("Task", "Sub Save");
    Inner();
    throw std::runtime_error("refused");
}

void Outer() {
    TraceScope trace("Tasks", "Function Add");
    Inner();
    try {
        Failing();
    } catch (const std::exception &) {
    }
    Inner();
}

class Trace : public ::testing::Test {
protected:
    Session session;
};

TEST_F(Trace, BannerThenNumberedLinesIndentedByDepth) {
    Viewer viewer(session);
    ASSERT_TRUE(viewer.Ready());
    OnNewThread([] {
        TraceScope trace("Scheduler", "Sub Class_Initialize");
        Inner();
        {
            TraceScope nested("Globals", "Function GetGUID");
            Inner();
        }
    });
    std::string rest = AfterBanner(viewer.Output());
    // Each line is a sent message, so the viewer has every one of them now.
    EXPECT_EQ(MaskTimes(rest), Line("00001", "->", 0, "Scheduler", "Sub Class_Initialize") +
                                   Line("00002", "->", 1, "Trigger", "Property (Get) IsDirty") +
                                   Line("00003", "<-", 1, "Trigger", "Property (Get) IsDirty") +
                                   Line("00004", "->", 1, "Globals", "Function GetGUID") +
                                   Line("00005", "->", 2, "Trigger", "Property (Get) IsDirty") +
                                   Line("00006", "<-", 2, "Trigger", "Property (Get) IsDirty") +
                                   Line("00007", "<-", 1, "Globals", "Function GetGUID") +
                                   Line("00008", "<-", 0, "Scheduler", "Sub Class_Initialize"));
    std::regex stamp(R"(\[velqosch\] \[\d{5}\] \[\d{5}\.\d{3}\] (->|<-))");
    EXPECT_EQ(std::distance(std::sregex_iterator(rest.begin(), rest.end(), stamp), std::sregex_iterator()), 8);
}

TEST_F(Trace, ExtraTextAndExplicitCalls) {
    Viewer viewer(session);
    ASSERT_TRUE(viewer.Ready());
    OnNewThread([] {
        TraceProcEnter("Globals", "Sub Main", "x y");
        TraceProcExit("Globals", "Sub Main", "x y");
        TraceProcExit("Globals", "Sub Main", "");  // an unmatched exit leaves the depth at 0
        TraceProcEnter("Globals", "Sub Main", "");
        EXPECT_EQ(CurrentTraceState().depth, 1);
    });
    EXPECT_EQ(MaskTimes(AfterBanner(viewer.Output())),
              "[velqosch] [00001] [T] ->Globals : Sub Main : x y\r\n"
              "[velqosch] [00002] [T] <-Globals : Sub Main : x y\r\n"
              "[velqosch] [00003] [T] <-Globals : Sub Main : \r\n"
              "[velqosch] [00004] [T] ->Globals : Sub Main : \r\n");
}

TEST_F(Trace, ProcedureLeftByAnErrorSendsNoExitLineAndLeavesTheDepthRaised) {
    Viewer viewer(session);
    ASSERT_TRUE(viewer.Ready());
    OnNewThread([] {
        Outer();
        EXPECT_EQ(CurrentTraceState().depth, 1);
    });
    EXPECT_EQ(MaskTimes(AfterBanner(viewer.Output())),
              Line("00001", "->", 0, "Tasks", "Function Add") +
                  Line("00002", "->", 1, "Trigger", "Property (Get) IsDirty") +
                  Line("00003", "<-", 1, "Trigger", "Property (Get) IsDirty") +
                  Line("00004", "->", 1, "Task", "Sub Save") +
                  Line("00005", "->", 2, "Trigger", "Property (Get) IsDirty") +
                  Line("00006", "<-", 2, "Trigger", "Property (Get) IsDirty") +
                  // no exit line of Sub Save; everything after is one tab deeper
                  Line("00007", "->", 2, "Trigger", "Property (Get) IsDirty") +
                  Line("00008", "<-", 2, "Trigger", "Property (Get) IsDirty") +
                  Line("00009", "<-", 1, "Tasks", "Function Add"));
}

TEST_F(Trace, SkippedScopeSendsNoExitLine) {
    Viewer viewer(session);
    ASSERT_TRUE(viewer.Ready());
    OnNewThread([] {
        TraceScope early("Task", "Property (Let) WorkItemData");
        early.Skip();
    });
    EXPECT_EQ(MaskTimes(AfterBanner(viewer.Output())), Line("00001", "->", 0, "Task", "Property (Let) WorkItemData"));
}

TEST_F(Trace, LineNumbersGrowPastFiveDigits) {
    Viewer viewer(session);
    ASSERT_TRUE(viewer.Ready());
    OnNewThread([] {
        TraceProcEnter("Globals", "Sub Main", "");
        CurrentTraceState().lineNumber = 99998;
        TraceProcEnter("Globals", "Function LeadingZeros", "");
        TraceProcExit("Globals", "Function LeadingZeros", "");
        TraceProcExit("Globals", "Sub Main", "");
    });
    EXPECT_EQ(MaskTimes(AfterBanner(viewer.Output())), Line("00001", "->", 0, "Globals", "Sub Main") +
                                                           Line("99999", "->", 1, "Globals", "Function LeadingZeros") +
                                                           Line("100000", "<-", 1, "Globals", "Function LeadingZeros") +
                                                           Line("100001", "<-", 0, "Globals", "Sub Main"));
}

TEST_F(Trace, ElapsedTimeCountsFromTheBanner) {
    Viewer viewer(session);
    ASSERT_TRUE(viewer.Ready());
    OnNewThread([] {
        TraceProcEnter("Globals", "Sub Main", "");
        CurrentTraceState().startTime -= 12345;  // as if the banner went 12.345 s ago
        TraceProcExit("Globals", "Sub Main", "");
    });
    std::string rest = AfterBanner(viewer.Output());
    std::smatch m;
    ASSERT_TRUE(std::regex_search(rest, m, std::regex(R"(\[00002\] \[(\d{5})\.(\d{3})\] <-)"))) << rest;
    int ms = std::stoi(m[1]) * 1000 + std::stoi(m[2]);
    EXPECT_GE(ms, 12345);
    EXPECT_LT(ms, 12345 + 5000);
}

TEST_F(Trace, CounterWrapPastTheSignedLimitLeavesTheTimeEmpty) {
    Viewer viewer(session);
    ASSERT_TRUE(viewer.Ready());
    OnNewThread([] {
        VelqoSetTimeOffset(0);
        DWORD now = timeGetTime();
        VelqoSetTimeOffset(DWORD(0x7FFFFFFFu - 20u - now));  // the counter is 20 ms below 2^31
        TraceProcEnter("Globals", "Sub Main", "");
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        TraceProcExit("Globals", "Sub Main", "");
        VelqoSetTimeOffset(0);
    });
    std::string rest = AfterBanner(viewer.Output());
    EXPECT_TRUE(std::regex_match(rest, std::regex("\\[velqosch\\] \\[00001\\] \\[\\d{5}\\.\\d{3}\\] ->Globals : Sub Main : \r\n"
                                                  "\\[velqosch\\] \\[00002\\] \\[\\] <-Globals : Sub Main : \r\n")))
        << rest;
}

TEST_F(Trace, StampUsesAPointWhateverTheSeparator) {
    Viewer viewer(session);
    ASSERT_TRUE(viewer.Ready());
    OnNewThread([] {
        TraceProcEnter("Globals", "Sub Main", "");
        CurrentTraceState().decimalSeparator[0] = ',';
        TraceProcExit("Globals", "Sub Main", "");
        CurrentTraceState().decimalSeparator[0] = 0;  // the profile gave nothing
        TraceProcEnter("Globals", "Sub Main", "");
    });
    std::string rest = AfterBanner(viewer.Output());
    EXPECT_EQ(MaskTimes(rest), Line("00001", "->", 0, "Globals", "Sub Main") +
                                   Line("00002", "<-", 0, "Globals", "Sub Main") +
                                   Line("00003", "->", 0, "Globals", "Sub Main"));
    EXPECT_EQ(rest.find(','), std::string::npos);
}

// A locale whose decimal separator is a comma, compiled into a private folder.
TEST_F(Trace, CommaLocaleStillPrintsAPoint) {
    std::string locales = session.Root() + "/locales";
    std::string command = "localedef -i de_DE -f UTF-8 " + locales + "/de_DE.UTF-8 >/dev/null 2>&1";
    if (std::system(("mkdir -p " + locales + " && " + command).c_str()) != 0)
        GTEST_SKIP() << "localedef cannot build de_DE here";
    const char *oldLocpath = std::getenv("LOCPATH");
    const char *oldNumeric = std::getenv("LC_NUMERIC");
    const char *oldAll = std::getenv("LC_ALL");
    std::string savedLocpath = oldLocpath ? oldLocpath : "", savedNumeric = oldNumeric ? oldNumeric : "",
                savedAll = oldAll ? oldAll : "";
    setenv("LOCPATH", locales.c_str(), 1);
    setenv("LC_NUMERIC", "de_DE.UTF-8", 1);
    unsetenv("LC_ALL");
    Viewer viewer(session);
    ASSERT_TRUE(viewer.Ready());
    char separator = 0;
    OnNewThread([&] {
        IGNORE_LOCALE_LEAK();
        TraceProcEnter("Globals", "Sub Main", "");
        END_IGNORE_LOCALE_LEAK();
        separator = CurrentTraceState().decimalSeparator[0];
        TraceProcExit("Globals", "Sub Main", "");
    });
    auto restore = [](const char *name, const char *old, const std::string &value) {
        if (old)
            setenv(name, value.c_str(), 1);
        else
            unsetenv(name);
    };
    restore("LOCPATH", oldLocpath, savedLocpath);
    restore("LC_NUMERIC", oldNumeric, savedNumeric);
    restore("LC_ALL", oldAll, savedAll);
    EXPECT_EQ(separator, ',');
    EXPECT_EQ(MaskTimes(AfterBanner(viewer.Output())),
              Line("00001", "->", 0, "Globals", "Sub Main") + Line("00002", "<-", 0, "Globals", "Sub Main"));
}

TEST_F(Trace, EachThreadHasItsOwnBannerAndNumbering) {
    Viewer viewer(session);
    ASSERT_TRUE(viewer.Ready());
    auto work = [](const char *module) {
        for (int i = 0; i < 20; ++i) {
            TraceScope trace(module, "Sub Update");
            std::this_thread::yield();
        }
    };
    std::thread a(work, "Trigger"), b(work, "Triggers");
    a.join();
    b.join();
    std::string output = viewer.Output();
    std::regex banner("velqosch START SNAGTRAP 6\\.60 LITE [0-9:,-]{19}\r\n");
    EXPECT_EQ(std::distance(std::sregex_iterator(output.begin(), output.end(), banner), std::sregex_iterator()), 2);
    for (const char *module : {"Trigger", "Triggers"}) {
        std::regex line(std::string(R"(\[velqosch\] \[(\d{5})\] \[\d{5}\.\d{3}\] (->|<-))") + module + " : ");
        int expected = 1;
        for (auto it = std::sregex_iterator(output.begin(), output.end(), line); it != std::sregex_iterator(); ++it) {
            EXPECT_EQ(std::stoi((*it)[1]), expected) << module;
            EXPECT_EQ((*it)[2], expected % 2 ? "->" : "<-");
            ++expected;
        }
        EXPECT_EQ(expected, 41) << module;
    }
}

TEST_F(Trace, NoViewerMeansNothingSentAndALaterViewerIsNotLookedFor) {
    std::thread early;
    std::mutex m;
    std::condition_variable cv;
    int step = 0;
    auto waitFor = [&](int s) {
        std::unique_lock lock(m);
        cv.wait(lock, [&] { return step >= s; });
    };
    auto advance = [&](int s) {
        std::lock_guard lock(m);
        step = s;
        cv.notify_all();
    };
    velqosch::TraceState seen{};
    early = std::thread([&] {
        TraceProcEnter("Scheduler", "Function StartScheduler", "");
        TraceProcExit("Scheduler", "Function StartScheduler", "");
        seen = CurrentTraceState();
        advance(1);
        waitFor(2);
        TraceScope trace("Scheduler", "Property (Get) Tasks");
    });
    waitFor(1);
    EXPECT_EQ(seen.started, -1);
    EXPECT_EQ(seen.viewer, nullptr);
    EXPECT_EQ(seen.lineNumber, 0);
    EXPECT_EQ(seen.depth, 0);
    Viewer viewer(session);
    ASSERT_TRUE(viewer.Ready());
    advance(2);
    early.join();
    EXPECT_EQ(viewer.Output(), "");
    // A thread starting now does find it.
    OnNewThread([] { TraceScope trace("Scheduler", "Property (Get) Computer"); });
    EXPECT_EQ(MaskTimes(AfterBanner(viewer.Output())), Line("00001", "->", 0, "Scheduler", "Property (Get) Computer") +
                                                           Line("00002", "<-", 0, "Scheduler", "Property (Get) Computer"));
}

TEST_F(Trace, ViewerClosedAfterTheStartIsStillTheTargetAndNothingBreaks) {
    Viewer viewer(session);
    ASSERT_TRUE(viewer.Ready());
    OnNewThread([&] {
        TraceProcEnter("Globals", "Sub Main", "");
        HWND target = CurrentTraceState().viewer;
        EXPECT_NE(target, nullptr);
        EXPECT_EQ(viewer.Stop(SIGTERM), 0);
        for (int i = 0; i < 5; ++i) Inner();
        EXPECT_EQ(CurrentTraceState().viewer, target);
        EXPECT_EQ(CurrentTraceState().lineNumber, 11);
        EXPECT_EQ(CurrentTraceState().depth, 1);
    });
}

TEST_F(Trace, FirstMatchingWindowInDesktopOrderIsTheViewer) {
    Viewer older(session, {"--title-word", "Older"});
    ASSERT_TRUE(older.Ready());
    Viewer newer(session, {"--title-word", "Newer"});
    ASSERT_TRUE(newer.Ready());
    OnNewThread([] { TraceScope trace("Globals", "Sub Main"); });
    EXPECT_EQ(older.Output(), "");
    EXPECT_EQ(MaskTimes(AfterBanner(newer.Output())),
              Line("00001", "->", 0, "Globals", "Sub Main") + Line("00002", "<-", 0, "Globals", "Sub Main"));
}

// The title rule, with windows of this process.
struct Received {
    std::vector<std::string> lines;
};
LRESULT Receive(HWND, UINT msg, WPARAM wParam, LPARAM lParam, void *context) {
    if (msg == WM_SETTEXT) {
        std::string text = reinterpret_cast<const char *>(lParam);
        EXPECT_EQ(wParam, text.size());
        static_cast<Received *>(context)->lines.push_back(text);
    }
    return TRUE;
}

TEST(TraceTitles, OnlyTheExactTitleOrTheSeventeenCharacterPrefixIsTheViewer) {
    struct Case {
        const char *title;
        bool viewer;
    } cases[] = {{"Orvell Snagtrap", true},        {"Orvell Snagtrap - x", true}, {"Orvell Snagtrap -", true},
                 {"Orvell Snagtrap -Viewer", true}, {"Orvell Snagtrapx", false},   {"Orvell Snagtrap x", false},
                 {"Orvell Snagtrap ", false},       {"orvell snagtrap", false},    {"Orvell Snagtra", false},
                 {" Orvell Snagtrap", false}};
    for (const Case &c : cases) {
        Session session;
        Received received;
        Received decoy;
        HWND other = VelqoCreateWindow("K", "Some other window", Receive, &decoy);
        HWND hwnd = VelqoCreateWindow("K", c.title, Receive, &received);
        HWND newest = VelqoCreateWindow("K", "Orvell", Receive, &decoy);
        ASSERT_TRUE(hwnd && other && newest);
        HWND found = nullptr;
        OnNewThread([&] {
            TraceScope trace("Globals", "Sub Main");
            found = CurrentTraceState().viewer;
        });
        EXPECT_EQ(found, c.viewer ? hwnd : nullptr) << c.title;
        EXPECT_EQ(received.lines.size(), c.viewer ? 3u : 0u) << c.title;
        EXPECT_TRUE(decoy.lines.empty());
        if (c.viewer && received.lines.size() == 3) {
            EXPECT_TRUE(std::regex_match(received.lines[0], kBanner));
            EXPECT_EQ(MaskTimes(received.lines[1]), Line("00001", "->", 0, "Globals", "Sub Main"));
        }
        VelqoDestroyWindow(newest);
        VelqoDestroyWindow(hwnd);
        VelqoDestroyWindow(other);
    }
}

TEST(TraceTitles, TitleIsJudgedOnItsFirst254Characters) {
    Session session;
    Received received;
    std::string title = "Orvell Snagtrap - " + std::string(400, 'w');
    HWND hwnd = VelqoCreateWindow("K", title.c_str(), Receive, &received);
    ASSERT_NE(hwnd, nullptr);
    OnNewThread([] { TraceProcEnter("Globals", "Sub Main", ""); });
    EXPECT_EQ(received.lines.size(), 2u);
    VelqoDestroyWindow(hwnd);
}

// The viewer program itself.
class Snagtrap : public ::testing::Test {
protected:
    Session session;
};

TEST_F(Snagtrap, PrintsExactBytesAndAppendsToTheOutputFile) {
    std::string file = session.Root() + "/lines.txt";
    {
        FILE *f = std::fopen(file.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs("kept\n", f);
        std::fclose(f);
    }
    Viewer viewer(session, {"--output", file, "--title-word", "Test"});
    ASSERT_TRUE(viewer.Ready());
    HWND hwnd = FindWindowA(nullptr, "Orvell Snagtrap - Test");
    ASSERT_NE(hwnd, nullptr);
    std::string sent[] = {"one\r\n", "\ttwo  three", "", "\xe9\xff high bytes\n"};
    for (const std::string &s : sent)
        EXPECT_EQ(SendMessageA(hwnd, WM_SETTEXT, s.size(), reinterpret_cast<LPARAM>(s.c_str())), TRUE);
    std::string all = sent[0] + sent[1] + sent[2] + sent[3];
    EXPECT_EQ(viewer.Output(), all);
    EXPECT_EQ(ReadFile(file), "kept\n" + all);
    EXPECT_EQ(viewer.Stop(SIGTERM), 0);
    EXPECT_TRUE(session.Files(".sock").empty());
    EXPECT_TRUE(session.Files(".info").empty());
    EXPECT_EQ(SendMessageA(hwnd, WM_SETTEXT, 1, reinterpret_cast<LPARAM>("x")), 0);
}

TEST_F(Snagtrap, InterruptEndsItCleanly) {
    Viewer viewer(session);
    ASSERT_TRUE(viewer.Ready());
    EXPECT_EQ(session.Files(".sock").size(), 1u);
    EXPECT_EQ(viewer.Stop(SIGINT), 0);
    EXPECT_TRUE(session.Files(".sock").empty());
}

TEST_F(Snagtrap, HelpAndBadArguments) {
    std::string out, err;
    EXPECT_EQ(RunSnagtrap({"--help"}, &out, &err), 0);
    EXPECT_NE(out.find("--title-word"), std::string::npos);
    EXPECT_NE(out.find("--ready-file"), std::string::npos);
    EXPECT_EQ(RunSnagtrap({"--bogus"}, &out, &err), 2);
    EXPECT_NE(err.find("--bogus"), std::string::npos);
    EXPECT_EQ(RunSnagtrap({"--output"}, &out, &err), 2);
    EXPECT_EQ(RunSnagtrap({"--output", session.Root() + "/no/such/dir/file"}, &out, &err), 1);
    EXPECT_NE(err.find("cannot open"), std::string::npos);
    EXPECT_TRUE(session.Files(".sock").empty());
}

}  // namespace
