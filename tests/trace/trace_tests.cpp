// The procedure trace, checked byte for byte at a real viewer process.
#include <gtest/gtest.h>

#include <stdexcept>

#include "harness.h"
#include "trace/trace.h"

using namespace trace_test;
using velqosch::CurrentTraceState;
using velqosch::TraceProcEnter;
using velqosch::TraceProcExit;
using velqosch::TraceScope;

namespace {

const std::regex kBanner(
    R"(velqosch START SNAGTRAP 6\.60 LITE (0[1-9]|1[0-2])-(0[1-9]|[12]\d|3[01])-\d{4},([01]\d|2[0-3]):[0-5]\d:[0-5]\d\r\n)");

// The output after the banner; fails the test when the banner is not there.
std::string AfterBanner(const std::string &output) {
    std::size_t end = output.find("\r\n");
    EXPECT_TRUE(end != std::string::npos && std::regex_match(output.substr(0, end + 2), kBanner)) << output;
    return end == std::string::npos ? std::string() : output.substr(end + 2);
}

// Lines as the viewer gets them, numbered from first, each "marker tabs
// module : procedure : extra" with its time masked.
std::string Lines(int first, std::initializer_list<const char *> rows) {
    std::string out;
    for (const char *row : rows) {
        char number[16];
        std::snprintf(number, sizeof number, "%05d", first++);
        out += std::string("[velqosch] [") + number + "] [T] " + row + "\r\n";
    }
    return out;
}

void Inner() { TraceScope trace("Trigger", "Property (Get) IsDirty"); }

class Trace : public ::testing::Test {
protected:
    Session session;
};

// Nesting, the error way out (no exit line, the depth stays raised), a
// skipped scope, extra text and an unmatched exit, all at one viewer.
TEST_F(Trace, ExactLinesAtTheViewer) {
    Viewer viewer;
    ASSERT_TRUE(viewer.Ready());
    std::thread([] {
        {
            TraceScope trace("Tasks", "Function Add");
            Inner();
            try {
                TraceScope failing("Task", "Sub Save");
                Inner();
                throw std::runtime_error("refused");
            } catch (const std::exception &) {
            }
            Inner();
        }
        EXPECT_EQ(CurrentTraceState().depth, 1);
        TraceProcExit("Globals", "Sub Main", "");  // back to 0, and never below
        TraceProcExit("Globals", "Sub Main", "x y");
        TraceProcEnter("Globals", "Sub Main", "x y");
        {
            TraceScope early("Task", "Property (Let) WorkItemData");
            early.Skip();
        }
        EXPECT_EQ(CurrentTraceState().depth, 2);
    }).join();
    EXPECT_EQ(MaskTimes(AfterBanner(viewer.Output())),
              Lines(1, {"->Tasks : Function Add : ", "->\tTrigger : Property (Get) IsDirty : ",
                        "<-\tTrigger : Property (Get) IsDirty : ", "->\tTask : Sub Save : ",
                        "->\t\tTrigger : Property (Get) IsDirty : ", "<-\t\tTrigger : Property (Get) IsDirty : ",
                        "->\t\tTrigger : Property (Get) IsDirty : ", "<-\t\tTrigger : Property (Get) IsDirty : ",
                        "<-\tTasks : Function Add : ", "<-Globals : Sub Main : ", "<-Globals : Sub Main : x y",
                        "->Globals : Sub Main : x y", "->\tTask : Property (Let) WorkItemData : "}));
}

// Line numbers beyond five digits, the elapsed time since the banner with a
// point whatever the separator, and an empty time once the signed
// subtraction of the counter overflows.
TEST_F(Trace, NumbersAndTimes) {
    Viewer viewer;
    ASSERT_TRUE(viewer.Ready());
    std::thread([] {
        VelqoSetTimeOffset(0);
        const DWORD offset = DWORD(0x7FFFFFFFu - 20000u - timeGetTime());  // 20 s below 2^31
        VelqoSetTimeOffset(offset);
        TraceProcEnter("Globals", "Sub Main", "");
        CurrentTraceState().lineNumber = 99998;
        CurrentTraceState().startTime -= 12345;  // as if the banner went 12.345 s ago
        CurrentTraceState().decimalSeparator[0] = ',';
        TraceProcEnter("Globals", "Function LeadingZeros", "");
        CurrentTraceState().decimalSeparator[0] = 0;  // the profile gave nothing
        TraceProcExit("Globals", "Function LeadingZeros", "");
        VelqoSetTimeOffset(offset + 40000u);  // 20 s past 2^31
        TraceProcExit("Globals", "Sub Main", "");
        VelqoSetTimeOffset(0);
    }).join();
    const std::string rest = AfterBanner(viewer.Output());
    std::smatch m;
    ASSERT_TRUE(std::regex_match(
        rest, m,
        std::regex("\\[velqosch\\] \\[00001\\] \\[000(\\d\\d)\\.(\\d{3})\\] ->Globals : Sub Main : \r\n"
                   "\\[velqosch\\] \\[99999\\] \\[(\\d{5})\\.(\\d{3})\\] ->\tGlobals : Function LeadingZeros : \r\n"
                   "\\[velqosch\\] \\[100000\\] \\[(\\d{5})\\.(\\d{3})\\] <-\tGlobals : Function LeadingZeros : \r\n"
                   "\\[velqosch\\] \\[100001\\] \\[\\] <-Globals : Sub Main : \r\n")))
        << rest;
    EXPECT_LT(std::stoi(m[1]) * 1000 + std::stoi(m[2]), 5000);
    for (int i : {3, 5}) {
        const int ms = std::stoi(m[i]) * 1000 + std::stoi(m[i + 1]);
        EXPECT_GE(ms, 12345);
        EXPECT_LT(ms, 12345 + 5000);
    }
}

// The title rule, with windows of this process: the newest window that
// matches is the viewer.
TEST(TraceTitles, OnlyTheExactTitleOrTheSeventeenCharacterPrefixIsTheViewer) {
    // clang-format off
    const struct { std::string title; bool viewer; } cases[] = {
        {"Orvell Snagtrap", true}, {"Orvell Snagtrap - x", true}, {"Orvell Snagtrap -", true},
        {"Orvell Snagtrap -Viewer", true}, {"Orvell Snagtrap - " + std::string(400, 'w'), true},
        {"Orvell Snagtrapx", false}, {"Orvell Snagtrap x", false}, {"Orvell Snagtrap ", false},
        {"orvell snagtrap", false}, {"Orvell Snagtra", false}, {" Orvell Snagtrap", false}};
    // clang-format on
    for (const auto &c : cases) {
        Session session;
        Window other("K", "Orvell Snagtrap - Older"), viewer("K", c.title.c_str()), newest("K", "Orvell");
        const std::vector<std::string> &received = viewer.inbox.lines;
        ASSERT_TRUE(viewer.hwnd && other.hwnd && newest.hwnd);
        HWND found = nullptr;
        std::thread([&] {
            TraceScope trace("Globals", "Sub Main");
            found = CurrentTraceState().viewer;
        }).join();
        EXPECT_EQ(found, c.viewer ? viewer.hwnd : other.hwnd) << c.title;
        ASSERT_EQ(received.size(), c.viewer ? 3u : 0u) << c.title;
        EXPECT_TRUE(newest.inbox.lines.empty() && other.inbox.lines.size() == (c.viewer ? 0u : 3u));
    }
}

// The viewer program itself.
TEST_F(Trace, SnagtrapHelpAndBadArguments) {
    const struct {
        std::vector<std::string> args;
        int code;
        const char *out, *err;
    } cases[] = {
        {{"--title-word", "W", "--help"}, 0, "--ready-file", ""},
        {{"--bogus"}, 2, "", "--bogus"},
        {{"--output"}, 2, "", ""},
        {{"--output", session.Root() + "/no/such/dir/file"}, 1, "", "cannot open"},
    };
    for (const auto &c : cases) {
        Viewer run(c.args, false);
        EXPECT_EQ(run.Stop(0), c.code) << c.args[0];
        EXPECT_NE(run.Output().find(c.out), std::string::npos) << run.Output();
        EXPECT_NE(run.Errors().find(c.err), std::string::npos) << run.Errors();
    }
    EXPECT_TRUE(session.Files(".sock").empty());
}

}  // namespace
