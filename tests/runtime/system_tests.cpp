// System functions: last error, directories, profile, clocks, version, path search, processes, handles.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "runtime_test_support.h"

#ifndef _WIN32
#include <sys/wait.h>

#include <fstream>
#endif

namespace {

// The threads meet through atomics alone: starting or joining one may change the caller's last error.
TEST(System, LastErrorIsPerThread) {
    std::atomic<int> step{0};
    std::atomic<DWORD> seen{99};
    std::thread t([&] {
        while (step != 1) {
        }
        seen = GetLastError(), SetLastError(5), step = 2;
    });
    for (SetLastError(1234), step = 1; step != 2;) {
    }
    EXPECT_TRUE(GetLastError() == 1234u && seen == 0u);
    t.join();
}

// The length without the terminator when the text fits, else the size needed.
TEST(System, WindowsDirectoryProfileStringsVersionAndHandles) {
    char buf[MAX_PATH], tiny[2];
    UINT n = GetWindowsDirectoryA(buf, MAX_PATH);
    ASSERT_GT(n, 0u);
    EXPECT_TRUE(n == std::strlen(buf) && (n == 1 || (buf[n - 1] != '/' && buf[n - 1] != '\\')));
    EXPECT_EQ((Results{GetWindowsDirectoryA(tiny, 2), GetWindowsDirectoryA(buf, n), GetWindowsDirectoryA(buf, n + 1)}),
              (Results{n + 1, n + 1, n}));
    DWORD got = GetProfileStringA("intl", "sDecimal", "?", buf, 16);
    EXPECT_TRUE(got >= 1 && got == std::strlen(buf));
    // A fallback loses its trailing blanks; a short buffer takes what fits.
    EXPECT_EQ((Results{GetProfileStringA("intl", "noSuchKey", "fallback  ", buf, 16), std::string(buf) == "fallback",
                       GetProfileStringA("intl", "noSuchKey", "fallback", buf, 4), std::string(buf) == "fal",
                       GetProfileStringA("intl", "noSuchKey", nullptr, buf, 16), buf[0]}),
              (Results{8, true, 3, true, 0, 0}));

    UINT before = SetErrorMode(SEM_FAILCRITICALERRORS);
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info - 1;
    int local = 0;
    EXPECT_EQ((Results{SetErrorMode(before) & SEM_FAILCRITICALERRORS,  // the previous mode
                       timeBeginPeriod(0), timeBeginPeriod(1), timeEndPeriod(1),
                       (SetLastError(0), GetVersionExA(&info)), GetLastError(), CloseHandle(&local), GetLastError()}),
              (Results{SEM_FAILCRITICALERRORS, TIMERR_NOCANDO, TIMERR_NOERROR, TIMERR_NOERROR, FALSE,
                       ERROR_INSUFFICIENT_BUFFER, FALSE, ERROR_INVALID_HANDLE}));
    info.dwOSVersionInfoSize = sizeof info;
    EXPECT_TRUE(GetVersionExA(&info) && sizeof info == 148u && info.dwPlatformId == VER_PLATFORM_WIN32_NT &&
                info.dwMajorVersion > 0);
}

#ifndef _WIN32
TEST(System, SearchPathAndProcesses) {
    TempDir tmp;
    std::ofstream(tmp.path() + "/tool.exe") << "";
    const std::string list = "/nonexistent:" + tmp.path(), want = tmp.path() + "/tool.exe", out = tmp.path() + "/out";
    char buf[512], *part = nullptr;
    ScopedEnv p("PATH", list.c_str());
    EXPECT_EQ(
        (Results{SearchPathA(list.c_str(), "tool", ".exe", sizeof buf, buf, &part), buf == want,
                 part && std::string(part) == "tool.exe",
                 SearchPathA(list.c_str(), "tool.exe", nullptr, 4, buf, nullptr),
                 (SetLastError(0), SearchPathA(list.c_str(), "missing.exe", nullptr, sizeof buf, buf, nullptr)),
                 GetLastError(), SearchPathA(nullptr, "tool.exe", nullptr, sizeof buf, buf, nullptr)}),
        (Results{long(want.size()), true, true, long(want.size() + 1), 0, ERROR_FILE_NOT_FOUND, long(want.size())}));

    std::string cmd = "/bin/sh -c \"echo \\\"$0 $1\\\" > " + out + "\" first \"second arg\"";
    char missing[] = "/nonexistent/program arg";
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, CREATE_NEW_PROCESS_GROUP, nullptr,
                               tmp.path().c_str(), &si, &pi));
    int status = -1;  // 0: exited with 0
    EXPECT_EQ((Results{waitpid(pid_t(pi.dwProcessId), &status, 0) == pid_t(pi.dwProcessId), status,
                       ReadFile(out) == "first second arg\n", CloseHandle(pi.hThread), CloseHandle(pi.hProcess),
                       CloseHandle(pi.hProcess), GetLastError(),  // already closed
                       (SetLastError(0),
                        CreateProcessA(nullptr, missing, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)),
                       GetLastError()}),
              (Results{true, 0, true, TRUE, TRUE, FALSE, ERROR_INVALID_HANDLE, FALSE, ERROR_FILE_NOT_FOUND}));
}
#endif

}  // namespace
