// The .job format: files another service wrote, read field by field and written back byte for byte; every
// field at its edges through a write and a read; and the ways a file can be broken.
#include <gtest/gtest.h>

#include <cstdio>

#include "common/unprivileged.h"
#include "service_job/same_job.h"

using namespace velqo::service;
using jobtest::SameJob;

namespace {

std::string FixturePath(const std::string &name) { return std::string(VELQO_JOB_FIXTURES) + "/" + name + ".job"; }
std::vector<BYTE> LoadFixture(const std::string &name) {
    const std::string bytes = test_user::ReadFile(FixturePath(name));
    return {bytes.begin(), bytes.end()};
}

// A trigger record as text: its fields and the words of its type (the rest holds whatever the writer left).
std::string Describe(const TASK_TRIGGER &t) {
    WORD words[3];
    std::memcpy(words, &t.Type, sizeof words);
    const unsigned type = unsigned(t.TriggerType), used[] = {0, 1, 2, 3, 3, 0, 0, 0};
    char text[160];
    std::snprintf(text, sizeof text, "%u %u-%u-%u..%u-%u-%u %u:%02u %lu/%lu f%lu r%u", type, t.wBeginYear,
                  t.wBeginMonth, t.wBeginDay, t.wEndYear, t.wEndMonth, t.wEndDay, t.wStartHour, t.wStartMinute,
                  (unsigned long)t.MinutesDuration, (unsigned long)t.MinutesInterval, (unsigned long)t.rgFlags,
                  t.wRandomMinutesInterval);
    std::string out = text;
    for (unsigned w = 0; w < (type < 8 ? used[type] : 0); ++w) out += " " + std::to_string(words[w]);
    return out;
}

struct Fixture {
    const char *name;
    std::u16string app, params, dir, comment, creator;
    DWORD maxRunTime, flags;
    HRESULT status;
    std::vector<BYTE> data;
    const char *triggers;
};

#define DAILY_EVERYTHING "1 2026-12-1..2027-6-30 23:59 120/15 f1 r0 3"
#define WEEKLY "2 2026-12-7..0-0-0 9:30 0/0 f0 r0 2 34"
const Fixture kFixtures[] = {
    // clang-format off
    {"Plain", u"C:\\Windows\\notepad.exe", u"", u"", u"", u"", 259200000, 0, SCHED_S_TASK_NOT_SCHEDULED, {},
     "1 2026-12-5..0-0-0 21:18 0/0 f4 r0 1"},
    {"Everything", u"C:\\Program Files\\Backup\\backup.exe", u"/full /quiet \"D:\\My Data\"", u"C:\\Program Files\\Backup",
     u"Nightly backup \u00e9t\u00e9 \u4e2d", u"Operator", 3600000, 546, SCHED_S_TASK_HAS_NOT_RUN, {1, 2, 3, 250, 0, 7},
     DAILY_EVERYTHING},
    {"AllTriggers", u"run.cmd", u"x", u"", u"one trigger of each type", u"", 4294967295u, 4, SCHED_S_TASK_HAS_NOT_RUN, {},
     "0 2027-3-14..0-0-0 6:05 0/0 f0 r0; " DAILY_EVERYTHING "; " WEEKLY "; 3 2027-1-1..0-0-0 0:00 0/0 f0 r0 16385 16384 "
     "4095; 4 2027-1-1..2030-12-31 18:45 0/0 f3 r0 5 65 65; 7 2026-1-1..0-0-0 0:00 0/0 f0 r0; 6 2026-1-1..0-0-0 0:00 0/0 "
     "f4 r0; 5 2026-1-1..0-0-0 0:00 0/0 f0 r0"},
    {"Weekly Report", u"report.exe", u"", u"", u"", u"", 600000, 8192, SCHED_S_TASK_HAS_NOT_RUN, {}, WEEKLY},
    // clang-format on
};

WORD WordAt(const std::vector<BYTE> &b, std::size_t at) { return WORD(b[at] | (b[at + 1] << 8)); }
void PutWord(std::vector<BYTE> &b, std::size_t at, WORD v) { b[at] = BYTE(v), b[at + 1] = BYTE(v >> 8); }

// Offsets of the count words of a well-formed file, found by walking it.
struct Layout {
    std::size_t strings[5], data, reserved, triggerCount, end;
    explicit Layout(const std::vector<BYTE> &b) {
        std::size_t at = 70;
        for (std::size_t &s : strings) s = at, at += 2 + 2 * std::size_t(WordAt(b, at));
        data = at, at += 2 + WordAt(b, at);
        reserved = at, at += 2 + WordAt(b, at);
        triggerCount = at, end = at + 2 + 48 * std::size_t(WordAt(b, at));
    }
};

// Parses an exact-size copy (a read past the end trips the sanitizer); a refusal leaves the output alone.
HRESULT ParseCopy(const std::vector<BYTE> &bytes, std::size_t size = SIZE_MAX) {
    std::vector<BYTE> copy(bytes.begin(), bytes.begin() + std::ptrdiff_t(std::min(size, bytes.size())));
    JobData out;
    out.application = u"untouched";
    const HRESULT hr = ParseJob(copy.empty() ? nullptr : copy.data(), copy.size(), out);
    EXPECT_TRUE(SUCCEEDED(hr) || out.application == u"untouched");
    return hr;
}

// Each fixture: every field read, the same bytes written back, every truncation refused.
TEST(JobFixtures, EveryFieldReadsBackWritesTheSameBytesAndEveryCutIsRefused) {
    for (const Fixture &e : kFixtures) {
        SCOPED_TRACE(e.name);
        JobData job;
        ASSERT_EQ(ReadJobFile(FixturePath(e.name), job), S_OK);
        using Words = std::vector<unsigned long>;
        EXPECT_EQ((std::vector{job.application, job.parameters, job.workingDirectory, job.comment, job.creator}),
                  (std::vector{e.app, e.params, e.dir, e.comment, e.creator}));
        EXPECT_EQ((Words{job.maxRunTime, job.flags, (unsigned long)job.status}),
                  (Words{e.maxRunTime, e.flags, (unsigned long)e.status}));
        EXPECT_EQ(job.userData, e.data);
        // What every fixture has: versions, priority, idle minutes, a signature, no run yet.
        EXPECT_EQ((Words{job.fileVersion, job.productVersion, job.priority, job.idleDeadline, job.idleWait,
                         job.signature.size(), job.mostRecentRun.wYear}),
                  (Words{1, 0x0601, NORMAL_PRIORITY_CLASS, 60, 10, 68, 0}));
        std::string triggers;
        for (const TASK_TRIGGER &t : job.triggers) triggers += (triggers.empty() ? "" : "; ") + Describe(t);
        EXPECT_EQ(triggers, e.triggers);
        std::vector<BYTE> again;
        const std::vector<BYTE> bytes = LoadFixture(e.name);
        ASSERT_EQ(SerializeJob(job, again), S_OK);
        EXPECT_EQ(again, bytes);
        const Layout l(bytes);
        ASSERT_EQ(l.end + 68, bytes.size());
        // Cut just before the signature, the file is a whole item without one.
        for (std::size_t n = 0; n < bytes.size(); ++n)
            ASSERT_EQ(ParseCopy(bytes, n), n == l.end ? S_OK : SCHED_E_INVALID_TASK) << n;
        JobData cut;
        ASSERT_EQ(ParseJob(bytes.data(), l.end, cut), S_OK);
        EXPECT_TRUE(cut.signature.empty());
        cut.signature = job.signature;
        EXPECT_TRUE(SameJob(cut, job));
    }
}

TEST(JobRefusals, OneBrokenPartAtATime) {
    using Change = void (*)(std::vector<BYTE> &, const Layout &);
    const struct {
        const char *what, *fixture;
        Change change;
        HRESULT expected;
    } rows[] = {
        {"file version 0", "AllTriggers", [](auto &b, auto &) { PutWord(b, 2, 0); }, SCHED_E_UNKNOWN_OBJECT_VERSION},
        {"file version 2", "AllTriggers", [](auto &b, auto &) { PutWord(b, 2, 2); }, SCHED_E_UNKNOWN_OBJECT_VERSION},
        {"any product version", "AllTriggers", [](auto &b, auto &) { PutWord(b, 0, 0x0A00); }, S_OK},
        {"name offset 72", "AllTriggers", [](auto &b, auto &) { PutWord(b, 20, 72); }, SCHED_E_INVALID_TASK},
        {"trigger offset + 2", "AllTriggers", [](auto &b, auto &) { PutWord(b, 22, WordAt(b, 22) + 2); },
         SCHED_E_INVALID_TASK},
        {"first trigger 47 bytes", "AllTriggers", [](auto &b, auto &l) { PutWord(b, l.triggerCount + 2, 47); },
         SCHED_E_INVALID_TASK},
        {"last trigger 49 bytes", "AllTriggers", [](auto &b, auto &l) { PutWord(b, l.triggerCount + 2 + 7 * 48, 49); },
         SCHED_E_INVALID_TASK},
        {"a string without its NUL", "Weekly Report",
         [](auto &b, auto &l) { PutWord(b, l.strings[0] + 2 * WordAt(b, l.strings[0]), u'x'); }, SCHED_E_INVALID_TASK},
        {"1 byte after the signature", "Everything", [](auto &b, auto &) { b.push_back(0); }, SCHED_E_INVALID_TASK},
        {"67 bytes after the triggers", "Everything", [](auto &b, auto &) { b.pop_back(); }, SCHED_E_INVALID_TASK},
        {"larger than any item", "Plain", [](auto &b, auto &) { b.resize(kMaxJobFileSize + 1); }, SCHED_E_INVALID_TASK},
    };
    for (const auto &row : rows) {
        std::vector<BYTE> b = LoadFixture(row.fixture);
        row.change(b, Layout(b));
        EXPECT_EQ(ParseCopy(b), row.expected) << row.what;
    }
    JobData job;
    EXPECT_EQ(ParseJob(nullptr, 200, job), SCHED_E_INVALID_TASK);
}

// Reserved data shorter than eight bytes, as other writers store it. (An empty string of no units: Long1 of the daemon
// tests.)
TEST(JobLeniency, OtherWritersLayouts) {
    const std::vector<BYTE> base = LoadFixture("Plain");
    const Layout l(base);
    JobData job;
    std::vector<BYTE> r(base.begin(), base.begin() + std::ptrdiff_t(l.reserved));  // reserved data of 3 bytes
    r.insert(r.end(), {3, 0, 0x11, 0x22, 0x33});
    r.insert(r.end(), base.begin() + std::ptrdiff_t(l.triggerCount), base.end());
    PutWord(r, 22, WordAt(base, 22) - 5);
    ASSERT_EQ(ParseJob(r.data(), r.size(), job), S_OK);
    EXPECT_EQ(job.startError, HRESULT(0x332211));
    EXPECT_EQ(job.taskFlags, 0u);
    EXPECT_EQ(job.triggers.size(), 1u);
}

TASK_TRIGGER Trigger(WORD seed) {
    TASK_TRIGGER t{};
    t.cbTriggerSize = 48;
    t.Reserved1 = WORD(seed * 3);
    t.wBeginYear = WORD(2000 + seed % 100), t.wBeginMonth = WORD(1 + seed % 12), t.wBeginDay = WORD(1 + seed % 28);
    t.wStartHour = WORD(seed % 24), t.wStartMinute = WORD(seed % 60);
    t.MinutesDuration = 0xFFFFFFFFu - seed, t.MinutesInterval = seed, t.rgFlags = seed & 7u;
    t.TriggerType = TASK_TRIGGER_TYPE(seed % 8);
    t.Type.MonthlyDate = {0x80000000u | seed, 0xFFF};
    t.Reserved2 = 0xBEEF, t.wRandomMinutesInterval = WORD(~seed);
    return t;
}

std::u16string Units(std::size_t n, char16_t first) {  // any unit but NUL, surrogates included
    std::u16string s(n, u'?');
    for (std::size_t i = 0; i < n; ++i) s[i] = char16_t(first + i % 0x5000) ? char16_t(first + i % 0x5000) : u'?';
    return s;
}

using Edit = void (*)(JobData &);

// Every field at its edges goes through a write and a read unchanged; past them the write is refused.
TEST(JobRoundTrip, EveryFieldAtItsEdgesAndPastThem) {
    const struct {
        const char *what;
        Edit edit;
        HRESULT hr;
    } rows[] = {
        {"new item", [](JobData &) {}, S_OK},
        {"every string longest, trigger count past 64 KiB",
         [](JobData &j) {
             j.application = Units(65534, u'A'), j.parameters = Units(65534, u'\u00e9');
             j.workingDirectory = Units(65534, u'0'), j.creator = Units(65534, u'\u4e2d');
             j.comment = Units(65534, u'\xd800'), j.triggers = {Trigger(1), Trigger(2)};
         },
         S_OK},
        {"largest data", [](JobData &j) { j.userData.assign(65535, 0xA5); }, S_OK},
        {"most triggers",
         [](JobData &j) {
             for (unsigned i = 0; i < 65534; ++i) j.triggers.push_back(Trigger(WORD(i)));
         },
         S_OK},
        {"no signature", [](JobData &j) { j.signature.clear(); }, S_OK},
        {"largest reserved tail", [](JobData &j) { j.reservedTail.assign(65527, 0x3C); }, S_OK},
        {"fixed fields at maximum",
         [](JobData &j) {
             j.productVersion = j.errorRetryCount = j.errorRetryInterval = j.idleDeadline = j.idleWait = 0xFFFF;
             j.priority = j.maxRunTime = j.exitCode = j.flags = j.taskFlags = 0xFFFFFFFFu;
             j.status = j.startError = HRESULT(0x80000000u);
             j.mostRecentRun = {0xFFFF, 12, 6, 31, 23, 59, 59, 999};
             j.runningInstances = 0xFFFF;
         },
         S_OK},
        {"application too long", [](JobData &j) { j.application = Units(65535, u'a'); }, E_INVALIDARG},
        {"comment too long", [](JobData &j) { j.comment = Units(65535, u'a'); }, E_INVALIDARG},
        {"embedded NUL", [](JobData &j) { j.comment = std::u16string(u"a\0b", 3); }, E_INVALIDARG},
        {"data too large", [](JobData &j) { j.userData.assign(65536, 1); }, E_INVALIDARG},
        {"reserved tail too large", [](JobData &j) { j.reservedTail.assign(65528, 1); }, E_INVALIDARG},
        {"too many triggers", [](JobData &j) { j.triggers.assign(65536, Trigger(1)); }, E_INVALIDARG},
        {"trigger size word",
         [](JobData &j) {
             j.triggers = {Trigger(1), Trigger(2)}, j.triggers[1].cbTriggerSize = 47;
         },
         E_INVALIDARG},
        {"short signature", [](JobData &j) { j.signature.assign(64, 0); }, E_INVALIDARG},
        {"file version", [](JobData &j) { j.fileVersion = 2; }, E_INVALIDARG},
    };
    for (const auto &[what, edit, hr] : rows) {
        SCOPED_TRACE(what);
        JobData job = NewJob();
        job.application = u"app.exe";
        job.userData = {1, 2, 3};
        job.triggers = {Trigger(42)};
        edit(job);
        std::vector<BYTE> bytes = {9, 9}, again;
        ASSERT_EQ(SerializeJob(job, bytes), hr);
        if (FAILED(hr)) {
            EXPECT_EQ(bytes, (std::vector<BYTE>{9, 9}));
            continue;
        }
        EXPECT_LE(bytes.size(), kMaxJobFileSize);
        JobData back;
        ASSERT_EQ(ParseJob(bytes.data(), bytes.size(), back), S_OK);
        EXPECT_TRUE(SameJob(job, back));
        ASSERT_EQ(SerializeJob(back, again), S_OK);
        EXPECT_EQ(again, bytes);
    }
    // A new item: a random id, not run, the signature block an unsigned item has.
    const JobData a = NewJob(), b = NewJob();
    EXPECT_NE(std::memcmp(&a.uuid, &b.uuid, sizeof(GUID)), 0);
    EXPECT_EQ(a.status, SCHED_S_TASK_HAS_NOT_RUN);
    std::vector<BYTE> signature(68, 0);
    signature[0] = signature[2] = 1;
    EXPECT_EQ(a.signature, signature);
}

}  // namespace
