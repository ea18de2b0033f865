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
using velqosch::TraceState;

namespace {

const std::regex kBanner(
    R"(velqosch START SNAGTRAP 6\.60 LITE (0[1-9]|1[0-2])-(0[1-9]|[12]\d|3[01])-\d{4},([01]\d|2[0-3]):[0-5]\d:[0-5]\d\r\n)");

// The output after the banner, which must be there.
std::string AfterBanner(const std::string &output) {
    std::size_t end = output.find("\r\n");
    EXPECT_TRUE(end != std::string::npos && std::regex_match(output.substr(0, end + 2), kBanner)) << output;
    return end == std::string::npos ? std::string() : output.substr(end + 2);
}

// Lines as the viewer gets them, numbered from first, with their times masked.
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

// Nesting, the error way out (no exit line, the depth stays raised), a skipped scope, extra text and an unmatched exit;
// then line numbers beyond five digits, the elapsed time with a point whatever the separator, and an empty time once
// the signed subtraction of the counter overflows; all at one viewer.
TEST(Trace, ExactLinesAtTheViewer) {
    Session session;
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
        TraceState &state = CurrentTraceState();
        state.lineNumber = 99998;
        state.startTime = timeGetTime() - 12345;  // as if the banner went 12.345 s ago
        state.decimalSeparator[0] = ',';
        TraceProcEnter("Globals", "Function LeadingZeros", "");
        state.decimalSeparator[0] = 0;  // the profile gave nothing
        TraceProcExit("Globals", "Function LeadingZeros", "");
        state.startTime = 0x80000000u;  // the counter went past 2^31 since
        TraceProcExit("Globals", "Sub Main", "");
    }).join();
    const std::string rest = AfterBanner(viewer.Output());
    EXPECT_EQ(std::regex_replace(rest, std::regex(R"(\] \[\d{5}\.\d{3}\] )"), "] [T] "),  // times masked
              Lines(1, {"->Tasks : Function Add : ", "->\tTrigger : Property (Get) IsDirty : ",
                        "<-\tTrigger : Property (Get) IsDirty : ", "->\tTask : Sub Save : ",
                        "->\t\tTrigger : Property (Get) IsDirty : ", "<-\t\tTrigger : Property (Get) IsDirty : ",
                        "->\t\tTrigger : Property (Get) IsDirty : ", "<-\t\tTrigger : Property (Get) IsDirty : ",
                        "<-\tTasks : Function Add : ", "<-Globals : Sub Main : ", "<-Globals : Sub Main : x y",
                        "->Globals : Sub Main : x y", "->\tTask : Property (Let) WorkItemData : "}) +
                  "[velqosch] [99999] [T] ->\t\tGlobals : Function LeadingZeros : \r\n"
                  "[velqosch] [100000] [T] <-\t\tGlobals : Function LeadingZeros : \r\n"
                  "[velqosch] [100001] [] <-\tGlobals : Sub Main : \r\n");
    for (const char *line : {"[99999] [", "[100000] ["}) {
        const std::size_t at = rest.find(line) + std::strlen(line);
        const double seconds = at < rest.size() ? std::stod(rest.substr(at, 9)) : 0;
        EXPECT_TRUE(seconds >= 12.345 && seconds < 17.345) << rest.substr(at, 9);
    }
}

// The newest window whose title matches is the viewer.
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
TEST(Trace, SnagtrapHelpAndBadArguments) {
    Session session;
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
        EXPECT_TRUE(run.Stop(0) == c.code && run.Output().find(c.out) != std::string::npos &&
                    run.Errors().find(c.err) != std::string::npos)
            << c.args[0] << ": " << run.Output() << run.Errors();
    }
    EXPECT_TRUE(session.Files(".sock").empty());
}

}  // namespace
