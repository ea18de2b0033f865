// Writing .job files: every field survives a write and a read, at the edges
// of what the format can hold, and what it cannot hold is refused.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "service_job/job_test_util.h"

using namespace velqo::service;
using jobtest::SameJob;

namespace {

TASK_TRIGGER Trigger(WORD seed) {
    TASK_TRIGGER t{};
    t.cbTriggerSize = 48;
    t.Reserved1 = WORD(seed * 3);
    t.wBeginYear = WORD(2000 + seed % 100);
    t.wBeginMonth = WORD(1 + seed % 12);
    t.wBeginDay = WORD(1 + seed % 28);
    t.wStartHour = WORD(seed % 24);
    t.wStartMinute = WORD(seed % 60);
    t.MinutesDuration = 0xFFFFFFFFu - seed;
    t.MinutesInterval = seed;
    t.rgFlags = seed & 7;
    t.TriggerType = TASK_TRIGGER_TYPE(seed % 8);
    t.Type.MonthlyDate.rgfDays = 0x80000000u | seed;
    t.Type.MonthlyDate.rgfMonths = 0xFFF;
    t.Reserved2 = 0xBEEF;
    t.wRandomMinutesInterval = WORD(~seed);
    return t;
}

std::u16string Units(std::size_t n, char16_t first) {
    std::u16string s(n, u'\0');
    for (std::size_t i = 0; i < n; ++i) {
        s[i] = char16_t(first + i % 0x5000);  // wraps past U+FFFF: any unit but NUL
        if (s[i] == u'\0') s[i] = u'?';
    }
    return s;
}

struct RoundTrip {
    const char *name;
    std::function<void(JobData &)> change;
};

TEST(JobRoundTrip, EveryFieldAtItsEdges) {
    const RoundTrip cases[] = {
        {"new item", [](JobData &) {}},
        {"empty strings",
         [](JobData &j) { j.application = j.parameters = j.workingDirectory = j.creator = j.comment = u""; }},
        {"longest application", [](JobData &j) { j.application = Units(65534, u'A'); }},
        {"longest parameters", [](JobData &j) { j.parameters = Units(65534, u'\u00e9'); }},
        {"longest directory", [](JobData &j) { j.workingDirectory = Units(65534, u'0'); }},
        {"longest creator", [](JobData &j) { j.creator = Units(65534, u'\u4e2d'); }},
        {"longest comment", [](JobData &j) { j.comment = Units(65534, u'\xd800'); }},
        {"every string longest",
         [](JobData &j) {
             j.application = j.parameters = j.workingDirectory = j.creator = j.comment = Units(65534, u'a');
             j.triggers = {Trigger(1), Trigger(2)};
         }},
        {"no data", [](JobData &j) { j.userData.clear(); }},
        {"largest data", [](JobData &j) { j.userData.assign(65535, 0xA5); }},
        {"no triggers", [](JobData &j) { j.triggers.clear(); }},
        {"one trigger", [](JobData &j) { j.triggers = {Trigger(7)}; }},
        {"most triggers",
         [](JobData &j) {
             j.triggers.clear();
             for (unsigned i = 0; i < 65535; ++i) j.triggers.push_back(Trigger(WORD(i)));
         }},
        {"no signature", [](JobData &j) { j.signature.clear(); }},
        {"signature kept",
         [](JobData &j) {
             j.signature.assign(68, 0);
             for (std::size_t i = 0; i < 68; ++i) j.signature[i] = BYTE(i * 7 + 1);
         }},
        {"largest reserved tail", [](JobData &j) { j.reservedTail.assign(65527, 0x3C); }},
        {"fixed fields at maximum",
         [](JobData &j) {
             j.productVersion = j.errorRetryCount = j.errorRetryInterval = j.idleDeadline = j.idleWait = 0xFFFF;
             j.priority = j.maxRunTime = j.exitCode = j.flags = j.taskFlags = 0xFFFFFFFFu;
             j.status = j.startError = HRESULT(0x80000000u);
             j.mostRecentRun = {0xFFFF, 12, 6, 31, 23, 59, 59, 999};
             j.runningInstances = 0xFFFF;
         }},
        {"fixed fields at zero",
         [](JobData &j) {
             j.productVersion = j.errorRetryCount = j.errorRetryInterval = j.idleDeadline = j.idleWait = 0;
             j.priority = j.maxRunTime = j.exitCode = j.flags = j.taskFlags = 0;
             j.status = j.startError = 0;
             j.uuid = GUID{};
         }},
    };
    for (const RoundTrip &c : cases) {
        SCOPED_TRACE(c.name);
        JobData job = NewJob();
        job.application = u"app.exe";
        job.comment = u"comment \u00e9";
        job.userData = {1, 2, 3};
        job.triggers = {Trigger(42)};
        c.change(job);
        std::vector<BYTE> bytes;
        ASSERT_EQ(SerializeJob(job, bytes), S_OK);
        EXPECT_LE(bytes.size(), kMaxJobFileSize);
        JobData back;
        ASSERT_EQ(ParseJob(bytes.data(), bytes.size(), back), S_OK);
        EXPECT_TRUE(SameJob(job, back));
        std::vector<BYTE> again;
        ASSERT_EQ(SerializeJob(back, again), S_OK);
        EXPECT_EQ(again, bytes);
    }
}

TEST(JobRoundTrip, NewItems) {
    JobData a = NewJob(), b = NewJob();
    EXPECT_NE(std::memcmp(&a.uuid, &b.uuid, sizeof(GUID)), 0);
    EXPECT_EQ(a.uuid.Data3 >> 12, 4);  // a random UUID
    EXPECT_EQ(a.uuid.Data4[0] & 0xC0, 0x80);
    EXPECT_EQ(a.status, SCHED_S_TASK_HAS_NOT_RUN);
    EXPECT_EQ(a.maxRunTime, 259200000u);
    EXPECT_TRUE(a.triggers.empty());
    // An unsigned item carries the signature block the other services write.
    std::vector<BYTE> signature(68, 0);
    signature[0] = signature[2] = 1;
    EXPECT_EQ(a.signature, signature);
    std::vector<BYTE> bytes;
    ASSERT_EQ(SerializeJob(a, bytes), S_OK);
    // Fixed section, running count, five empty strings, no data, reserved data,
    // no triggers, signature.
    EXPECT_EQ(bytes.size(), 68u + 2 + 5 * 4 + 2 + 10 + 2 + 68);
    EXPECT_EQ(bytes[20], 70);
}

TEST(JobRoundTrip, RefusesWhatDoesNotFit) {
    const RoundTrip cases[] = {
        {"application too long", [](JobData &j) { j.application = Units(65535, u'a'); }},
        {"parameters too long", [](JobData &j) { j.parameters = Units(65535, u'a'); }},
        {"directory too long", [](JobData &j) { j.workingDirectory = Units(70000, u'a'); }},
        {"creator too long", [](JobData &j) { j.creator = Units(65535, u'a'); }},
        {"comment too long", [](JobData &j) { j.comment = Units(65535, u'a'); }},
        {"embedded NUL", [](JobData &j) { j.comment = std::u16string(u"a\0b", 3); }},
        {"data too large", [](JobData &j) { j.userData.assign(65536, 1); }},
        {"reserved tail too large", [](JobData &j) { j.reservedTail.assign(65528, 1); }},
        {"too many triggers", [](JobData &j) { j.triggers.assign(65536, Trigger(1)); }},
        {"trigger size word",
         [](JobData &j) {
             j.triggers = {Trigger(1), Trigger(2)}, j.triggers[1].cbTriggerSize = 47;
         }},
        {"short signature", [](JobData &j) { j.signature.assign(64, 0); }},
        {"file version", [](JobData &j) { j.fileVersion = 2; }},
    };
    for (const RoundTrip &c : cases) {
        SCOPED_TRACE(c.name);
        JobData job = NewJob();
        c.change(job);
        std::vector<BYTE> out = {9, 9};
        EXPECT_EQ(SerializeJob(job, out), E_INVALIDARG);
        EXPECT_EQ(out, (std::vector<BYTE>{9, 9}));
    }
}

}  // namespace
