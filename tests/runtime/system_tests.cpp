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

#include <filesystem>
#include <fstream>
#endif

namespace {

// Starting and joining a thread may change the caller's last error, so the
// two threads meet through atomics alone while the values are compared.
TEST(System, LastErrorIsPerThread) {
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
    UINT before = SetErrorMode(SEM_FAILCRITICALERRORS);
    EXPECT_EQ(SetErrorMode(before) & SEM_FAILCRITICALERRORS, UINT(SEM_FAILCRITICALERRORS));  // the previous mode
}

// The length without the terminator when the text fits, else the size needed.
TEST(System, WindowsDirectoryAndProfileStrings) {
    char buf[MAX_PATH];
    UINT n = GetWindowsDirectoryA(buf, MAX_PATH);
    ASSERT_GT(n, 0u);
    EXPECT_EQ(n, std::strlen(buf));
    EXPECT_TRUE(n == 1 || (buf[n - 1] != '/' && buf[n - 1] != '\\'));
    char tiny[2];
    EXPECT_EQ(GetWindowsDirectoryA(tiny, 2), n + 1);
    EXPECT_EQ(GetWindowsDirectoryA(buf, n), n + 1);
    EXPECT_EQ(GetWindowsDirectoryA(buf, n + 1), n);

    DWORD got = GetProfileStringA("intl", "sDecimal", "?", buf, 16);
    EXPECT_TRUE(got >= 1 && got == std::strlen(buf));
    const struct {
        const char *fallback;
        DWORD size, result;
        const char *text;
    } cases[] = {{"fallback  ", 16, 8, "fallback"}, {"fallback", 4, 3, "fal"}, {nullptr, 16, 0, ""}};
    for (const auto &c : cases) {
        EXPECT_EQ(GetProfileStringA("intl", "noSuchKey", c.fallback, buf, c.size), c.result);
        EXPECT_STREQ(buf, c.text);
    }
}

TEST(System, TimersVersionAndHandles) {
    EXPECT_EQ(timeBeginPeriod(0), UINT(TIMERR_NOCANDO));
    ASSERT_EQ(timeBeginPeriod(1), UINT(TIMERR_NOERROR));
    EXPECT_EQ(timeEndPeriod(1), UINT(TIMERR_NOERROR));
    DWORD a = timeGetTime();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    DWORD b = timeGetTime();
    EXPECT_GE(DWORD(b - a), 25u);
    EXPECT_LT(DWORD(b - a), 60000u);

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

    int local = 0;
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(&local));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

#ifndef _WIN32
std::string WindowsDirectory() {
    char buf[1024] = "untouched";
    UINT n = GetWindowsDirectoryA(buf, sizeof buf);
    return n && n < sizeof buf ? std::string(buf, n) : "error " + std::to_string(GetLastError()) + " " + buf;
}

bool IsPrivateDirectory(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & 0777) == 0700;
}

// VELQOSCH_WINDIR, else XDG_DATA_HOME, else HOME; created with mode 0700.
TEST(System, WindowsDirectoryFromTheEnvironment) {
    TempDir tmp;
    std::ofstream(tmp.path + "/file") << "";
    const struct {
        std::string windir, dataHome, home, result;
    } cases[] = {
        {tmp.path + "/a/b/win//", tmp.path + "/xdg", "", tmp.path + "/a/b/win"},
        {"", tmp.path + "/xdg", tmp.path, tmp.path + "/xdg/velqosch/windows"},
        {"", "", tmp.path, tmp.path + "/.local/share/velqosch/windows"},
        {tmp.path + "/file/win", "", tmp.path, "error 3 untouched"},  // ERROR_PATH_NOT_FOUND, buffer untouched
    };
    for (const auto &c : cases) {
        ScopedEnv w("VELQOSCH_WINDIR", c.windir.empty() ? nullptr : c.windir.c_str());
        ScopedEnv x("XDG_DATA_HOME", c.dataHome.empty() ? nullptr : c.dataHome.c_str());
        ScopedEnv h("HOME", c.home.c_str());
        EXPECT_EQ(WindowsDirectory(), c.result);
        if (c.result[0] == '/') {
            EXPECT_TRUE(IsPrivateDirectory(c.result)) << c.result;
        }
    }
    EXPECT_TRUE(IsPrivateDirectory(tmp.path + "/a"));
}

TEST(System, Seams) {
    VelqoSetTimeOffset(0);
    const DWORD base = timeGetTime();
    VelqoSetTimeOffset(DWORD(0xFFFFFFFFu - 20u - base));
    const DWORD before = timeGetTime();
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    const DWORD after = timeGetTime(), ticks = GetTickCount();
    VelqoSetTimeOffset(0);
    EXPECT_GT(before, 0xFFFFFF00u);
    EXPECT_LT(after, before);  // wrapped at 2^32
    EXPECT_GE(DWORD(after - before), 55u);
    EXPECT_LT(DWORD(after - before), 10000u);
    EXPECT_LT(ticks, 10000u);

    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    VelqoSetVersionPlatformId(VER_PLATFORM_WIN32_WINDOWS);
    ASSERT_TRUE(GetVersionExA(&info));
    EXPECT_EQ(info.dwPlatformId, DWORD(VER_PLATFORM_WIN32_WINDOWS));
    VelqoSetVersionPlatformId(0);
}

TEST(System, SearchPathAndProcesses) {
    TempDir tmp;
    std::ofstream(tmp.path + "/tool.exe") << "";
    const std::string list = "/nonexistent:" + tmp.path, want = tmp.path + "/tool.exe";
    char buf[512];
    char *part = nullptr;
    ASSERT_EQ(SearchPathA(list.c_str(), "tool", ".exe", sizeof buf, buf, &part), want.size());
    EXPECT_EQ(std::string(buf), want);
    EXPECT_STREQ(part, "tool.exe");
    EXPECT_EQ(SearchPathA(list.c_str(), "tool.exe", nullptr, 4, buf, nullptr), want.size() + 1);
    SetLastError(0);
    EXPECT_EQ(SearchPathA(list.c_str(), "missing.exe", nullptr, sizeof buf, buf, nullptr), 0u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    {
        ScopedEnv p("PATH", list.c_str());
        EXPECT_EQ(SearchPathA(nullptr, "tool.exe", nullptr, sizeof buf, buf, nullptr), want.size());
    }

    const std::string out = tmp.path + "/out";
    std::string cmd = "/bin/sh -c \"echo \\\"$0 $1\\\" > " + out + "\" first \"second arg\"";
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, CREATE_NEW_PROCESS_GROUP, nullptr,
                               tmp.path.c_str(), &si, &pi));
    int status = 0;
    ASSERT_EQ(waitpid(pid_t(pi.dwProcessId), &status, 0), pid_t(pi.dwProcessId));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::ifstream in(out);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "first second arg");
    EXPECT_TRUE(CloseHandle(pi.hThread));
    EXPECT_TRUE(CloseHandle(pi.hProcess));
    EXPECT_FALSE(CloseHandle(pi.hProcess));  // already closed
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    char missing[] = "/nonexistent/program arg";
    SetLastError(0);
    EXPECT_FALSE(CreateProcessA(nullptr, missing, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
}
#endif

}  // namespace
