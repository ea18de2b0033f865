// System functions: the error code, directories, locale settings, clocks,
// version, path search, processes and handles.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "runtime_test_support.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

// Starting and joining a thread may change the caller's last error, so the
// two threads meet through atomics alone while the values are compared.
TEST(LastError, IsPerThread) {
    std::atomic<int> step{0};
    std::atomic<DWORD> seen{99}, own{0};
    std::thread t([&] {
        while (step.load() != 1) {
        }
        seen = GetLastError();
        SetLastError(5);
        own = GetLastError();
        step = 2;
    });
    SetLastError(1234);
    step = 1;
    while (step.load() != 2) {
    }
    const DWORD mine = GetLastError();
    t.join();
    EXPECT_EQ(mine, 1234u);
    EXPECT_EQ(seen.load(), 0u);
    EXPECT_EQ(own.load(), 5u);
}

TEST(ErrorMode, ReturnsThePreviousMode) {
    UINT before = SetErrorMode(SEM_FAILCRITICALERRORS);
    EXPECT_EQ(SetErrorMode(before) & SEM_FAILCRITICALERRORS, UINT(SEM_FAILCRITICALERRORS));
}

TEST(WindowsDirectory, ReturnRules) {
    char buf[MAX_PATH];
    UINT n = GetWindowsDirectoryA(buf, MAX_PATH);
    ASSERT_GT(n, 0u);
    EXPECT_EQ(n, std::strlen(buf));
    EXPECT_TRUE(n == 1 || (buf[n - 1] != '/' && buf[n - 1] != '\\'));
    char tiny[2];
    EXPECT_EQ(GetWindowsDirectoryA(tiny, 2), n + 1);  // needed size, terminator included
    EXPECT_EQ(GetWindowsDirectoryA(buf, n), n + 1);
    EXPECT_EQ(GetWindowsDirectoryA(buf, n + 1), n);
}

TEST(Profile, DecimalSeparatorAndDefaults) {
    char buf[16];
    DWORD n = GetProfileStringA("intl", "sDecimal", "?", buf, sizeof buf);
    EXPECT_EQ(n, std::strlen(buf));
    EXPECT_GE(n, 1u);
    n = GetProfileStringA("intl", "noSuchKey", "fallback  ", buf, sizeof buf);
    EXPECT_STREQ(buf, "fallback");
    EXPECT_EQ(n, 8u);
    n = GetProfileStringA("intl", "noSuchKey", "fallback", buf, 4);
    EXPECT_STREQ(buf, "fal");
    EXPECT_EQ(n, 3u);
    n = GetProfileStringA("intl", "noSuchKey", nullptr, buf, sizeof buf);
    EXPECT_EQ(n, 0u);
    EXPECT_STREQ(buf, "");
}

TEST(Timers, PeriodsAndCounters) {
    EXPECT_EQ(timeBeginPeriod(0), UINT(TIMERR_NOCANDO));
    ASSERT_EQ(timeBeginPeriod(1), UINT(TIMERR_NOERROR));
    EXPECT_EQ(timeEndPeriod(1), UINT(TIMERR_NOERROR));
    DWORD a = timeGetTime();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    DWORD b = timeGetTime();
    EXPECT_GE(DWORD(b - a), 25u);
    EXPECT_LT(DWORD(b - a), 60000u);
    EXPECT_NE(GetTickCount(), 0u);
}

TEST(Identity, ThreadsAndProcess) {
    DWORD main = GetCurrentThreadId();
    DWORD other = 0;
    std::thread t([&] { other = GetCurrentThreadId(); });
    t.join();
    EXPECT_NE(main, other);
    EXPECT_NE(GetCurrentProcessId(), 0u);
}

TEST(Version, SizeIsCheckedAndNtIsReported) {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info - 1;
    SetLastError(0);
    EXPECT_FALSE(GetVersionExA(&info));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    info.dwOSVersionInfoSize = sizeof info;
    ASSERT_TRUE(GetVersionExA(&info));
    EXPECT_EQ(sizeof info, 148u);
    EXPECT_EQ(info.dwPlatformId, DWORD(VER_PLATFORM_WIN32_NT));
    EXPECT_GT(info.dwMajorVersion, 0u);
}

TEST(Handles, UnknownHandleIsRefused) {
    int local = 0;
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(&local));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

#ifndef _WIN32
// Sets an environment variable for one test and restores it afterwards.
class ScopedEnv {
public:
    ScopedEnv(const char *name, const char *value) : name_(name) {
        if (const char *old = std::getenv(name)) old_ = old, had_ = true;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (had_)
            setenv(name_.c_str(), old_.c_str(), 1);
        else
            unsetenv(name_.c_str());
    }

private:
    std::string name_, old_;
    bool had_ = false;
};

class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/velqort-test-XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
    std::string path;
};

std::string WindowsDirectory() {
    char buf[1024];
    UINT n = GetWindowsDirectoryA(buf, sizeof buf);
    return n && n < sizeof buf ? std::string(buf, n) : std::string();
}

bool IsDirectoryWithMode(const std::string &path, unsigned mode) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & 0777) == mode;
}

TEST(WindowsDirectoryEnv, ExplicitDirectoryWinsAndIsCreatedPrivate) {
    TempDir tmp;
    std::string want = tmp.path + "/a/b/win";
    ScopedEnv w("VELQOSCH_WINDIR", (want + "//").c_str());
    ScopedEnv x("XDG_DATA_HOME", (tmp.path + "/xdg").c_str());
    EXPECT_EQ(WindowsDirectory(), want);
    EXPECT_TRUE(IsDirectoryWithMode(want, 0700));
    EXPECT_TRUE(IsDirectoryWithMode(tmp.path + "/a", 0700));
}

TEST(WindowsDirectoryEnv, DataHomeThenHome) {
    TempDir tmp;
    ScopedEnv w("VELQOSCH_WINDIR", nullptr);
    {
        ScopedEnv x("XDG_DATA_HOME", (tmp.path + "/xdg").c_str());
        EXPECT_EQ(WindowsDirectory(), tmp.path + "/xdg/velqosch/windows");
    }
    ScopedEnv x("XDG_DATA_HOME", nullptr);
    ScopedEnv h("HOME", tmp.path.c_str());
    EXPECT_EQ(WindowsDirectory(), tmp.path + "/.local/share/velqosch/windows");
    EXPECT_TRUE(IsDirectoryWithMode(tmp.path + "/.local/share/velqosch/windows", 0700));
}

TEST(WindowsDirectoryEnv, UncreatableDirectoryFails) {
    TempDir tmp;
    std::string file = tmp.path + "/file";
    std::system(("touch '" + file + "'").c_str());
    ScopedEnv w("VELQOSCH_WINDIR", (file + "/win").c_str());
    char buf[256] = "untouched";
    SetLastError(0);
    EXPECT_EQ(GetWindowsDirectoryA(buf, sizeof buf), 0u);
    EXPECT_NE(GetLastError(), 0u);
    EXPECT_STREQ(buf, "untouched");
}

TEST(TimersSeam, CounterWrapsAtTwoToThe32) {
    VelqoSetTimeOffset(0);
    DWORD base = timeGetTime();
    VelqoSetTimeOffset(DWORD(0xFFFFFFFFu - 20u - base));
    DWORD before = timeGetTime();
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    DWORD after = timeGetTime();
    DWORD ticks = GetTickCount();
    VelqoSetTimeOffset(0);
    EXPECT_GT(before, 0xFFFFFF00u);
    EXPECT_LT(after, before);  // wrapped
    EXPECT_GE(DWORD(after - before), 55u);
    EXPECT_LT(DWORD(after - before), 10000u);
    EXPECT_LT(ticks, 10000u);
}

TEST(VersionSeam, PlatformIdCanBeOverridden) {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    VelqoSetVersionPlatformId(VER_PLATFORM_WIN32_WINDOWS);
    ASSERT_TRUE(GetVersionExA(&info));
    EXPECT_EQ(info.dwPlatformId, DWORD(VER_PLATFORM_WIN32_WINDOWS));
    VelqoSetVersionPlatformId(0);
    ASSERT_TRUE(GetVersionExA(&info));
    EXPECT_EQ(info.dwPlatformId, DWORD(VER_PLATFORM_WIN32_NT));
}

TEST(SearchPath, FindsInPathAndFollowsReturnRules) {
    TempDir tmp;
    std::system(("touch '" + tmp.path + "/tool.exe'").c_str());
    std::string list = "/nonexistent:" + tmp.path;
    char buf[512];
    char *part = nullptr;
    DWORD n = SearchPathA(list.c_str(), "tool", ".exe", sizeof buf, buf, &part);
    std::string want = tmp.path + "/tool.exe";
    ASSERT_EQ(n, want.size());
    EXPECT_EQ(std::string(buf), want);
    ASSERT_NE(part, nullptr);
    EXPECT_STREQ(part, "tool.exe");
    EXPECT_EQ(SearchPathA(list.c_str(), "tool.exe", nullptr, 4, buf, nullptr), want.size() + 1);
    SetLastError(0);
    EXPECT_EQ(SearchPathA(list.c_str(), "missing.exe", nullptr, sizeof buf, buf, nullptr), 0u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));

    ScopedEnv p("PATH", list.c_str());
    EXPECT_EQ(SearchPathA(nullptr, "tool.exe", nullptr, sizeof buf, buf, nullptr), want.size());
}

TEST(Processes, StartsWithArgumentsAndHandlesClose) {
    TempDir tmp;
    std::string out = tmp.path + "/out";
    std::string cmd = "/bin/sh -c \"echo \\\"$0 $1\\\" > " + out + "\" first \"second arg\"";
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, CREATE_NEW_PROCESS_GROUP, nullptr,
                               tmp.path.c_str(), &si, &pi));
    EXPECT_NE(pi.dwProcessId, 0u);
    int status = 0;
    ASSERT_EQ(waitpid(pid_t(pi.dwProcessId), &status, 0), pid_t(pi.dwProcessId));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    FILE *f = std::fopen(out.c_str(), "r");
    ASSERT_NE(f, nullptr);
    char line[128] = {};
    std::fgets(line, sizeof line, f);
    std::fclose(f);
    EXPECT_STREQ(line, "first second arg\n");
    EXPECT_TRUE(CloseHandle(pi.hThread));
    EXPECT_TRUE(CloseHandle(pi.hProcess));
    EXPECT_FALSE(CloseHandle(pi.hProcess));  // already closed
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

TEST(Processes, MissingProgramFails) {
    STARTUPINFOA si{};
    PROCESS_INFORMATION pi{};
    char cmd[] = "/nonexistent/program arg";
    SetLastError(0);
    EXPECT_FALSE(CreateProcessA(nullptr, cmd, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
}
#endif

}  // namespace
