// The job file on disk: open errors, the atomic replacement that keeps the
// old file (and its mode) on any failure, and the temporary files a killed save leaves.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/unprivileged.h"
#include "platform/service/job/jobfile_seam.h"
#include "service_job/same_job.h"

using namespace velqo::service;
using ScratchDir = test_user::TempDir;

namespace {

JobData Sample(const char16_t *app, std::size_t dataSize) {
    JobData job = NewJob();
    job.application = app;
    job.userData.assign(dataSize, BYTE(app[0]));
    job.triggers = {TASK_TRIGGER{48, 0, 2026, 12, 6, 0, 0, 0, 9, 30, 0, 0, 0, TASK_TIME_TRIGGER_DAILY, {}, 0, 0}};
    return job;
}

TEST(JobFileRead, OpenErrors) {
    ScratchDir dir;
    std::ofstream(dir.File("plain")) << "abc";
    ASSERT_EQ(::mkdir(dir.File("folder.job").c_str(), 0700), 0);
    ASSERT_EQ(::mkfifo(dir.File("pipe.job").c_str(), 0600), 0);
    struct Case {
        std::string path;
        HRESULT expected;
    } cases[] = {
        {dir.File("missing.job"), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)},
        {dir.File("plain/under-a-file.job"), HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)},
        {dir.File("folder.job"), E_ACCESSDENIED},
        {dir.File("plain"), SCHED_E_INVALID_TASK},
        {dir.File("pipe.job"), SCHED_E_INVALID_TASK},
        {"", E_INVALIDARG},
    };
    for (const Case &c : cases) {
        JobData job;
        job.comment = u"kept";
        EXPECT_EQ(ReadJobFile(c.path, job), c.expected) << c.path;
        EXPECT_EQ(job.comment, u"kept");
    }
    // Larger than any item: refused before reading (1 TiB claimed, sparse).
    ASSERT_EQ(::truncate(dir.File("plain").c_str(), off_t(1) << 40), 0);
    JobData sparse;
    EXPECT_EQ(ReadJobFile(dir.File("plain"), sparse), SCHED_E_INVALID_TASK);
}

// Write functions for the seam; g_callsBeforeFailure calls succeed before the failure.
int g_callsBeforeFailure = 0;
int g_failure = 0;

ssize_t FailAfterN(int fd, const void *p, std::size_t n) {
    if (g_callsBeforeFailure-- <= 0) {
        errno = g_failure;
        return -1;
    }
    return ::write(fd, p, n < 16 ? n : 16);  // short writes until then
}
ssize_t NoProgress(int, const void *, std::size_t) { return 0; }
int g_interruptions = 0;
ssize_t Interrupted(int fd, const void *p, std::size_t n) {
    if (g_interruptions++ % 2 == 0) {
        errno = EINTR;
        return -1;
    }
    return ::write(fd, p, n);
}

TEST(JobFileWrite, FailedWriteKeepsOldFile) {
    struct Case {
        const char *name;
        int callsBefore, error;
        JobFileWriteFunction f;
        HRESULT expected;
    } cases[] = {
        {"disk full after short writes", 3, ENOSPC, FailAfterN, HRESULT_FROM_WIN32(112)},
        {"quota", 1, EDQUOT, FailAfterN, HRESULT_FROM_WIN32(112)},
        {"i/o error", 2, EIO, FailAfterN, HRESULT_FROM_WIN32(29)},
        {"no progress", 0, 0, NoProgress, HRESULT_FROM_WIN32(112)},
        {"interrupted calls", 0, 0, Interrupted, S_OK},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        const std::string path = dir.File("kept.job");
        const JobData old = Sample(u"old.exe", 100);
        ASSERT_EQ(WriteJobFile(path, old), S_OK);
        struct stat st;
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u);  // a new file; a replacement keeps the mode it was given
        ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
        g_callsBeforeFailure = c.callsBefore, g_failure = c.error;
        const JobData now = Sample(u"new.exe", 5000);
        SetJobFileWriteFunction(c.f);
        EXPECT_EQ(WriteJobFile(path, now), c.expected);
        SetJobFileWriteFunction(nullptr);
        JobData back;
        ASSERT_EQ(ReadJobFile(path, back), S_OK);
        EXPECT_TRUE(jobtest::SameJob(back, c.expected == S_OK ? now : old));
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0644u);
        EXPECT_EQ(dir.Entries(), std::vector<std::string>{"kept.job"});
    }
}

// A refused write leaves the old file as it was and nothing beside it.
TEST(JobFileWrite, RefusalsLeaveNothingBehind) {
    ScratchDir dir;
    const std::string path = dir.File("kept.job");
    ASSERT_EQ(WriteJobFile(path, Sample(u"old.exe", 1)), S_OK);
    const std::string before = test_user::ReadFile(path);
    ASSERT_EQ(::mkdir(dir.File("folder.job").c_str(), 0700), 0);
    JobData tooLong = Sample(u"x", 0);
    tooLong.comment.assign(65535, u'c');
    EXPECT_EQ(WriteJobFile(path, tooLong), E_INVALIDARG);
    EXPECT_EQ(WriteJobFile(dir.File("folder.job"), Sample(u"x", 0)), E_ACCESSDENIED);
    EXPECT_EQ(WriteJobFile(dir.File("no-such-folder/a.job"), Sample(u"x", 0)),
              HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(WriteJobFile(dir.path() + "/", Sample(u"x", 0)), E_INVALIDARG);
    EXPECT_EQ(WriteJobFile("", Sample(u"x", 0)), E_INVALIDARG);
    ASSERT_EQ(::rmdir(dir.File("folder.job").c_str()), 0);
    ASSERT_EQ(::chmod(dir.path().c_str(), 0500), 0);  // read-only folder
    EXPECT_TRUE(test_user::AsUnprivileged({dir.path(), path},
                                          [&] { return WriteJobFile(path, Sample(u"new.exe", 1)) == E_ACCESSDENIED; }));
    ASSERT_EQ(::chmod(dir.path().c_str(), 0700), 0);
    EXPECT_EQ(test_user::ReadFile(path), before);
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"kept.job"});
}

// A save that writes half, says so on g_hungSignal and waits to be killed.
int g_hungSignal = -1;
ssize_t HangHalfWay(int fd, const void *buffer, std::size_t size) {
    (void)!::write(fd, buffer, size / 2);
    (void)!::write(g_hungSignal, "h", 1);
    for (;;) ::pause();
}

void Age(const std::string &path, long seconds) {
    timeval times[2] = {{::time(nullptr) - seconds, 0}, {::time(nullptr) - seconds, 0}};
    ASSERT_EQ(::utimes(path.c_str(), times), 0) << path;
}

// A killed save's temporary file goes at the next sweep; a live writer's or a fresh one stays.
TEST(JobFileWrite, StaleTemporaryFilesAreSweptLiveOnesKept) {
    ScratchDir dir;
    const std::string path = dir.File("item.job");
    const JobData before = Sample(u"old.exe", 10);
    ASSERT_EQ(WriteJobFile(path, before), S_OK);
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t writer = ::fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        g_hungSignal = ready[1];
        SetJobFileWriteFunction(HangHalfWay);
        WriteJobFile(path, Sample(u"new.exe", 40000));
        ::_exit(1);
    }
    char byte;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    std::vector<std::string> entries = dir.Entries();
    ASSERT_EQ(entries.size(), 2u);
    const std::string temp = entries[0] == "item.job" ? entries[1] : entries[0];
    EXPECT_TRUE(IsTemporaryName(temp.c_str())) << temp;
    Age(dir.File(temp), 3600);
    // Leftovers of other kinds and ages, by whether a sweep may take them.
    struct Row {
        const char *name;
        long age;
        bool swept;
    };
    const Row rows[] = {
        {".gone.job.tmp-a1b2c3", 3600, true}, {".fresh.job.tmp-a1b2c3", 5, false}, {".short.job.tmp-a1b2", 3600, false},
        {"notes.tmp", 3600, false},           {"{GUID}.tmp-Zz09Aa", 3600, true},
    };
    for (const Row &row : rows) {
        std::ofstream(dir.File(row.name)) << "partial";
        Age(dir.File(row.name), row.age);
    }
    RemoveStaleTemporaries(dir.path());
    for (const Row &row : rows) EXPECT_EQ(::access(dir.File(row.name).c_str(), F_OK) != 0, row.swept) << row.name;
    EXPECT_EQ(::access(dir.File(temp).c_str(), F_OK), 0) << "a live writer's file was taken";

    ASSERT_EQ(::kill(writer, SIGKILL), 0);
    ASSERT_EQ(::waitpid(writer, nullptr, 0), writer);
    RemoveStaleTemporaries(dir.path());
    EXPECT_NE(::access(dir.File(temp).c_str(), F_OK), 0) << "a killed writer's file stays";
    JobData kept;
    ASSERT_EQ(ReadJobFile(path, kept), S_OK);
    EXPECT_TRUE(jobtest::SameJob(kept, before));
    ::close(ready[0]);
    ::close(ready[1]);
}

}  // namespace
