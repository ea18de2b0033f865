// The error record and its HRESULT, start-up globals, the Windows directory and generated names.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <new>
#include <regex>
#include <thread>

#include "globals/globals.h"
#include "globals/strings.h"
#include "runtime/runtime_test_support.h"
#include "trace/error.h"

using namespace velqosch;

namespace {

std::string Narrow(const std::u16string &s) { return std::string(s.begin(), s.end()); }

TEST(Errors, NumbersMapToTheirHResultAndBack) {
    // clang-format off
    const struct { LONG number; HRESULT hr; } cases[] = {
        {1, HRESULT(0x800A0001)}, {457, HRESULT(0x800A01C9)}, {65535, HRESULT(0x800AFFFF)},
        {65536, E_FAIL}, {0, E_FAIL}, {E_ACCESSDENIED, E_ACCESSDENIED}};
    // clang-format on
    for (const auto &c : cases)
        EXPECT_TRUE(HResultFromNumber(c.number) == c.hr && (c.hr == E_FAIL || NumberFromHResult(c.hr) == c.number))
            << c.number;
}

TEST(Errors, GuardPublishesTheRecordOnTheFailingThreadOnly) {
    EXPECT_EQ(Guard([] { Raise(5, kProductName, u"Application name must not be empty", kHelpFile, 9999); }),
              HRESULT(0x800A0005));
    std::string other;
    std::thread([&] { other = TakeErrorInfo(); }).join();
    EXPECT_EQ((std::vector<std::string>{other, TakeErrorInfo(), TakeErrorInfo()}),  // read once
              (std::vector<std::string>{
                  "none", "Velqo Task Scheduler: Application name must not be empty (velqosch.chm, 9999)", "none"}));
    // A failing service status passes unchanged; a success clears the record.
    EXPECT_EQ(
        (Results{
            Guard([] { RaiseStandard(9); }), TakeErrorInfo() == "Velqo Task Scheduler: Subscript out of range (, 0)",
            Guard([] { Check(E_ACCESSDENIED); }), Guard([] { Check(SCHED_S_TASK_HAS_NOT_RUN); }),
            TakeErrorInfo() == "none", Guard([] { Check(E_ACCESSDENIED); }),
            TakeErrorInfo().starts_with("Velqo Task Scheduler: "), Guard([] { throw std::bad_alloc(); }), Guard([] {
                std::u16string s;
                s.resize(s.max_size() + 1);
            })}),
        (Results{HRESULT(0x800A0009), true, E_ACCESSDENIED, S_OK, true, E_ACCESSDENIED, true, E_OUTOFMEMORY,
                 E_OUTOFMEMORY}));
}

TEST(Globals, LeadingZerosAndGeneratedNames) {
    const struct {
        SHORT width, length;
        const char16_t *zeros;
        LONG number;
    } cases[] = {{8, 3, u"00000", 0}, {4, 4, u"", 0}, {2, 3, nullptr, 5}, {-32768, 1, nullptr, 6}};
    for (const auto &c : cases) {
        SHORT width = c.width, length = c.length;
        std::u16string zeros;
        EXPECT_EQ(Guard([&] { zeros = LeadingZeros(width, length); }), c.number ? HResultFromNumber(c.number) : S_OK)
            << c.width;
        EXPECT_EQ(zeros, c.zeros ? c.zeros : u"");
    }
    const std::u16string a = GetGUID(), b = GetGUID();
    EXPECT_TRUE(a != b && std::regex_match(Narrow(a), std::regex("^[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}$")))
        << Narrow(a);
}

#ifndef _WIN32
// VELQOSCH_WINDIR, else XDG_DATA_HOME, else HOME, created with mode 0700; a thread's start reads it with one separator
// at its end. One that cannot be created (under a plain file) leaves the buffer untouched and raises its record.
TEST(Globals, WindowsDirectoryFromTheEnvironmentAndItsError) {
    TempDir tmp;
    const std::string &base = tmp.path();
    std::ofstream(base + "/file") << "";
    const struct {
        std::string windir, dataHome, home, result;
    } cases[] = {
        {base + "/a/b/win//", base + "/xdg", "", base + "/a/b/win"},
        {"", base + "/xdg", base, base + "/xdg/velqosch/windows"},
        {"", "", base, base + "/.local/share/velqosch/windows"},
        {base + "/file/win", "", base, "error 3 untouched"},  // ERROR_PATH_NOT_FOUND
    };
    auto env = [](const std::string &s) { return s.empty() ? nullptr : s.c_str(); };
    auto isPrivate = [](const std::string &path) {
        struct stat st {};
        return stat(path.c_str(), &st) == 0 && (st.st_mode & 0777) == 0700;
    };
    for (const auto &c : cases) {
        ScopedEnv w("VELQOSCH_WINDIR", env(c.windir)), x("XDG_DATA_HOME", env(c.dataHome)), h("HOME", env(c.home));
        char buf[1024] = "untouched";
        UINT n = GetWindowsDirectoryA(buf, sizeof buf);
        EXPECT_EQ(n ? std::string(buf, n) : "error " + std::to_string(GetLastError()) + " " + buf, c.result);
        EXPECT_TRUE(c.result[0] != '/' || isPrivate(c.result)) << c.result;
        std::string started;
        std::thread([&] {
            const HRESULT hr = Guard([] { EnsureThreadStarted(); });
            started = hr == S_OK ? Narrow(Globals().WindowsDirectory) : TakeErrorInfo();
        }).join();
        EXPECT_EQ(started, n ? c.result + "/" : "Velqo Task Scheduler: Failed to get windows directory (, 0)");
    }
    EXPECT_TRUE(isPrivate(base + "/a"));
}
#endif

}  // namespace
