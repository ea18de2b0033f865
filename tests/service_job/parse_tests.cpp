// Reading .job files: the files another service wrote, and the ways a file
// can be broken.
#include <gtest/gtest.h>

#include <cstring>

#include "service_job/job_test_util.h"

using namespace velqo::service;
using jobtest::LoadFixture;

namespace {

struct ExpectedTrigger {
    DWORD type;
    WORD begin[3], end[3], start[2];
    DWORD duration, interval, flags;
    WORD unionWords[3];
    WORD random;
};

struct ExpectedJob {
    const char *name;
    std::u16string app, params, dir, comment, creator;
    DWORD priority, maxRunTime, flags;
    HRESULT status;
    std::vector<BYTE> data;
    std::vector<ExpectedTrigger> triggers;
};

const ExpectedTrigger kDailyEverything{1, {2026, 12, 1}, {2027, 6, 30}, {23, 59}, 120, 15, 1, {3, 0, 0}, 0};
const ExpectedTrigger kWeekly{2, {2026, 12, 7}, {0, 0, 0}, {9, 30}, 0, 0, 0, {2, 34, 0}, 0};

const std::vector<ExpectedJob> &Expected() {
    static const std::vector<ExpectedJob> jobs = {
        {"Plain",
         u"C:\\Windows\\notepad.exe",
         u"",
         u"",
         u"",
         u"",
         32,
         259200000,
         0,
         SCHED_S_TASK_NOT_SCHEDULED,
         {},
         {{1, {2026, 12, 5}, {0, 0, 0}, {21, 18}, 0, 0, 4, {1, 0, 0}, 0}}},
        {"Everything",
         u"C:\\Program Files\\Backup\\backup.exe",
         u"/full /quiet \"D:\\My Data\"",
         u"C:\\Program Files\\Backup",
         u"Nightly backup \u00e9t\u00e9 \u4e2d",
         u"Operator",
         32,
         3600000,
         546,
         SCHED_S_TASK_HAS_NOT_RUN,
         {1, 2, 3, 250, 0, 7},
         {kDailyEverything}},
        {"AllTriggers",
         u"run.cmd",
         u"x",
         u"",
         u"one trigger of each type",
         u"",
         32,
         4294967295u,
         4,
         SCHED_S_TASK_HAS_NOT_RUN,
         {},
         {{0, {2027, 3, 14}, {0, 0, 0}, {6, 5}, 0, 0, 0, {0, 0, 0}, 0},
          kDailyEverything,
          kWeekly,
          {3, {2027, 1, 1}, {0, 0, 0}, {0, 0}, 0, 0, 0, {16385, 16384, 4095}, 0},
          {4, {2027, 1, 1}, {2030, 12, 31}, {18, 45}, 0, 0, 3, {5, 65, 65}, 0},
          {7, {2026, 1, 1}, {0, 0, 0}, {0, 0}, 0, 0, 0, {0, 0, 0}, 0},
          {6, {2026, 1, 1}, {0, 0, 0}, {0, 0}, 0, 0, 4, {0, 0, 0}, 0},
          {5, {2026, 1, 1}, {0, 0, 0}, {0, 0}, 0, 0, 0, {0, 0, 0}, 0}}},
        {"Weekly Report", u"report.exe", u"", u"", u"", u"", 32, 600000, 8192, SCHED_S_TASK_HAS_NOT_RUN, {}, {kWeekly}},
    };
    return jobs;
}

// The first three words of the type-specific area, as the record holds them.
void UnionWords(const TASK_TRIGGER &t, WORD out[3]) { std::memcpy(out, &t.Type, 3 * sizeof(WORD)); }

TEST(JobFixtures, EveryFieldReadsBack) {
    for (const ExpectedJob &e : Expected()) {
        SCOPED_TRACE(e.name);
        JobData job;
        ASSERT_EQ(ReadJobFile(jobtest::FixturePath(e.name), job), S_OK);
        EXPECT_EQ(job.fileVersion, 1);
        EXPECT_EQ(job.productVersion, 0x0601);
        EXPECT_EQ(job.application, e.app);
        EXPECT_EQ(job.parameters, e.params);
        EXPECT_EQ(job.workingDirectory, e.dir);
        EXPECT_EQ(job.comment, e.comment);
        EXPECT_EQ(job.creator, e.creator);
        EXPECT_EQ(job.priority, e.priority);
        EXPECT_EQ(job.maxRunTime, e.maxRunTime);
        EXPECT_EQ(job.flags, e.flags);
        EXPECT_EQ(job.status, e.status);
        EXPECT_EQ(job.idleDeadline, 60);
        EXPECT_EQ(job.idleWait, 10);
        EXPECT_EQ(job.userData, e.data);
        EXPECT_EQ(job.signature.size(), 68u);
        EXPECT_EQ(job.mostRecentRun.wYear, 0);
        ASSERT_EQ(job.triggers.size(), e.triggers.size());
        for (std::size_t i = 0; i < e.triggers.size(); ++i) {
            SCOPED_TRACE(i);
            const TASK_TRIGGER &t = job.triggers[i];
            const ExpectedTrigger &x = e.triggers[i];
            EXPECT_EQ(t.cbTriggerSize, 48);
            EXPECT_EQ(DWORD(t.TriggerType), x.type);
            EXPECT_EQ(t.wBeginYear, x.begin[0]);
            EXPECT_EQ(t.wBeginMonth, x.begin[1]);
            EXPECT_EQ(t.wBeginDay, x.begin[2]);
            EXPECT_EQ(t.wEndYear, x.end[0]);
            EXPECT_EQ(t.wEndMonth, x.end[1]);
            EXPECT_EQ(t.wEndDay, x.end[2]);
            EXPECT_EQ(t.wStartHour, x.start[0]);
            EXPECT_EQ(t.wStartMinute, x.start[1]);
            EXPECT_EQ(t.MinutesDuration, x.duration);
            EXPECT_EQ(t.MinutesInterval, x.interval);
            EXPECT_EQ(t.rgFlags, x.flags);
            // Only the words the trigger type defines: the rest of the area
            // holds whatever the writer left there.
            WORD u[3];
            UnionWords(t, u);
            const std::size_t used[] = {0, 1, 2, 3, 3, 0, 0, 0};
            ASSERT_LT(x.type, 8u);
            for (std::size_t w = 0; w < used[x.type]; ++w) EXPECT_EQ(u[w], x.unionWords[w]) << w;
            EXPECT_EQ(t.wRandomMinutesInterval, x.random);
        }
    }
}

TEST(JobFixtures, ReserializeByteForByte) {
    for (const ExpectedJob &e : Expected()) {
        SCOPED_TRACE(e.name);
        std::vector<BYTE> bytes = LoadFixture(e.name);
        JobData job;
        ASSERT_EQ(ParseJob(bytes.data(), bytes.size(), job), S_OK);
        std::vector<BYTE> again;
        ASSERT_EQ(SerializeJob(job, again), S_OK);
        EXPECT_EQ(again, bytes);
    }
}

// Offsets of the count words of a well-formed file, found by walking it.
struct Layout {
    std::size_t strings[5];
    std::size_t data, reserved, triggerCount, end;
};

WORD WordAt(const std::vector<BYTE> &b, std::size_t at) { return WORD(b[at] | (b[at + 1] << 8)); }
void PutWord(std::vector<BYTE> &b, std::size_t at, WORD v) {
    b[at] = BYTE(v);
    b[at + 1] = BYTE(v >> 8);
}

Layout Walk(const std::vector<BYTE> &b) {
    Layout l{};
    std::size_t at = 70;
    for (std::size_t &s : l.strings) {
        s = at;
        at += 2 + 2 * std::size_t(WordAt(b, at));
    }
    l.data = at;
    at += 2 + WordAt(b, at);
    l.reserved = at;
    at += 2 + WordAt(b, at);
    l.triggerCount = at;
    l.end = at + 2 + 48 * std::size_t(WordAt(b, at));
    return l;
}

// Parses an exact-size copy, so that a read past the end is caught by the
// address sanitizer, and checks that a refusal leaves the output alone.
HRESULT ParseCopy(const std::vector<BYTE> &bytes, std::size_t size) {
    std::vector<BYTE> copy(bytes.begin(), bytes.begin() + std::ptrdiff_t(size));
    JobData out;
    out.application = u"untouched";
    out.triggers.resize(3);
    HRESULT hr = ParseJob(copy.empty() ? nullptr : copy.data(), copy.size(), out);
    if (FAILED(hr)) {
        EXPECT_EQ(out.application, u"untouched");
        EXPECT_EQ(out.triggers.size(), 3u);
    }
    return hr;
}

HRESULT ParseCopy(const std::vector<BYTE> &bytes) { return ParseCopy(bytes, bytes.size()); }

TEST(JobRefusals, EveryTruncationIsInvalid) {
    for (const ExpectedJob &e : Expected()) {
        SCOPED_TRACE(e.name);
        // Cut just before the signature, the file is a whole item without one.
        std::vector<BYTE> bytes = LoadFixture(e.name);
        const std::size_t unsigned_ = bytes.size() - 68;
        for (std::size_t n = 0; n < bytes.size(); ++n) {
            if (n != unsigned_) {
                ASSERT_EQ(ParseCopy(bytes, n), SCHED_E_INVALID_TASK) << n;
            }
        }
        JobData whole, cut;
        ASSERT_EQ(ParseJob(bytes.data(), bytes.size(), whole), S_OK);
        ASSERT_EQ(ParseCopy(bytes, unsigned_), S_OK);
        ASSERT_EQ(ParseJob(bytes.data(), unsigned_, cut), S_OK);
        EXPECT_TRUE(cut.signature.empty());
        cut.signature = whole.signature;
        EXPECT_TRUE(jobtest::SameJob(cut, whole));
    }
}

TEST(JobRefusals, CountWordsPastTheEnd) {
    for (const ExpectedJob &e : Expected()) {
        SCOPED_TRACE(e.name);
        const std::vector<BYTE> bytes = LoadFixture(e.name);
        const Layout l = Walk(bytes);
        ASSERT_EQ(l.end + 68, bytes.size());
        struct Word {
            std::size_t at, unit;
        };
        std::vector<Word> words;
        for (std::size_t s : l.strings) words.push_back({s, 2});
        words.push_back({l.data, 1});
        words.push_back({l.reserved, 1});
        words.push_back({l.triggerCount, 48});
        for (const Word &w : words) {
            SCOPED_TRACE(w.at);
            const std::size_t fits = (bytes.size() - w.at - 2) / w.unit;
            for (std::size_t value : {fits + 1, std::size_t(0xFFFF)}) {
                if (value > 0xFFFF) continue;
                std::vector<BYTE> b = bytes;
                PutWord(b, w.at, WORD(value));
                EXPECT_EQ(ParseCopy(b), SCHED_E_INVALID_TASK) << value;
            }
        }
    }
}

TEST(JobRefusals, FixedSectionChecks) {
    const std::vector<BYTE> bytes = LoadFixture("AllTriggers");
    struct Case {
        std::size_t at;
        WORD value;
        HRESULT expected;
    } cases[] = {
        {2, 0, SCHED_E_UNKNOWN_OBJECT_VERSION},
        {2, 2, SCHED_E_UNKNOWN_OBJECT_VERSION},
        {2, 0xFFFF, SCHED_E_UNKNOWN_OBJECT_VERSION},
        {20, 0, SCHED_E_INVALID_TASK},
        {20, 68, SCHED_E_INVALID_TASK},
        {20, 72, SCHED_E_INVALID_TASK},
        {22, WORD(WordAt(bytes, 22) + 2), SCHED_E_INVALID_TASK},
        {22, WORD(WordAt(bytes, 22) - 2), SCHED_E_INVALID_TASK},
        {0, 0x0A00, S_OK},  // any product version is accepted
    };
    for (const Case &c : cases) {
        std::vector<BYTE> b = bytes;
        PutWord(b, c.at, c.value);
        EXPECT_EQ(ParseCopy(b), c.expected) << c.at << " = " << c.value;
    }
}

TEST(JobRefusals, TriggerSizeWordMustBe48) {
    const std::vector<BYTE> bytes = LoadFixture("AllTriggers");
    const Layout l = Walk(bytes);
    for (std::size_t index : {0u, 3u, 7u}) {
        for (WORD size : {0, 1, 47, 49, 96, 0xFFFF}) {
            std::vector<BYTE> b = bytes;
            PutWord(b, l.triggerCount + 2 + 48 * index, size);
            EXPECT_EQ(ParseCopy(b), SCHED_E_INVALID_TASK) << index << ": " << size;
        }
    }
}

TEST(JobRefusals, WhatFollowsTheTriggers) {
    const std::vector<BYTE> bytes = LoadFixture("Everything");
    const std::size_t end = Walk(bytes).end;
    std::vector<BYTE> noSignature(bytes.begin(), bytes.begin() + std::ptrdiff_t(end));
    JobData job;
    ASSERT_EQ(ParseJob(noSignature.data(), noSignature.size(), job), S_OK);
    EXPECT_TRUE(job.signature.empty());
    EXPECT_EQ(job.application, u"C:\\Program Files\\Backup\\backup.exe");

    for (std::size_t extra : {1u, 10u, 67u, 69u, 136u}) {
        std::vector<BYTE> b = noSignature;
        b.resize(end + extra, 0);
        EXPECT_EQ(ParseCopy(b), SCHED_E_INVALID_TASK) << extra;
    }
}

TEST(JobRefusals, StringWithoutTerminator) {
    std::vector<BYTE> b = LoadFixture("Weekly Report");
    const Layout l = Walk(b);
    const std::size_t lastUnit = l.strings[0] + 2 * WordAt(b, l.strings[0]);
    ASSERT_EQ(WordAt(b, lastUnit), 0);
    PutWord(b, lastUnit, u'x');
    EXPECT_EQ(ParseCopy(b), SCHED_E_INVALID_TASK);
}

TEST(JobRefusals, OversizedBuffer) {
    std::vector<BYTE> b = LoadFixture("Plain");
    b.resize(kMaxJobFileSize + 1, 0);
    EXPECT_EQ(ParseCopy(b), SCHED_E_INVALID_TASK);
    JobData job;
    EXPECT_EQ(ParseJob(nullptr, 200, job), SCHED_E_INVALID_TASK);
}

// What other writers may store and this reader takes: an empty string with no
// units at all, and reserved data shorter or longer than eight bytes.
TEST(JobLeniency, OtherWritersLayouts) {
    const std::vector<BYTE> base = LoadFixture("Plain");
    const Layout l = Walk(base);

    // Parameters stored as count 0 instead of count 1 + NUL.
    std::vector<BYTE> b(base.begin(), base.begin() + std::ptrdiff_t(l.strings[1]));
    PutWord(b, 22, WORD(WordAt(base, 22) - 2));
    b.push_back(0);
    b.push_back(0);
    b.insert(b.end(), base.begin() + std::ptrdiff_t(l.strings[2]), base.end());
    JobData job;
    ASSERT_EQ(ParseJob(b.data(), b.size(), job), S_OK);
    EXPECT_EQ(job.parameters, u"");
    EXPECT_EQ(job.application, u"C:\\Windows\\notepad.exe");

    // Reserved data of 3 bytes: the start error is zero-filled.
    std::vector<BYTE> r(base.begin(), base.begin() + std::ptrdiff_t(l.reserved));
    const BYTE reserved[] = {3, 0, 0x11, 0x22, 0x33};
    r.insert(r.end(), std::begin(reserved), std::end(reserved));
    r.insert(r.end(), base.begin() + std::ptrdiff_t(l.triggerCount), base.end());
    PutWord(r, 22, WORD(WordAt(base, 22) - 5));
    ASSERT_EQ(ParseJob(r.data(), r.size(), job), S_OK);
    EXPECT_EQ(job.startError, HRESULT(0x332211));
    EXPECT_EQ(job.taskFlags, 0u);
    EXPECT_TRUE(job.reservedTail.empty());
    EXPECT_EQ(job.triggers.size(), 1u);
}

}  // namespace
