// The error record, its HRESULT and the thread's error information.
#include <gtest/gtest.h>

#include <new>
#include <string>
#include <thread>

#include "globals/strings.h"
#include "trace/error.h"

using namespace velqosch;

namespace {

struct ReadBack {
    std::u16string source, description, helpFile;
    DWORD helpContext = 0xcfcfcfcf;
    bool present = false;
};

ReadBack ReadErrorInfo() {
    ReadBack r;
    IErrorInfo *info = reinterpret_cast<IErrorInfo *>(0xcf);
    if (GetErrorInfo(0, &info) != S_OK || !info) return r;
    r.present = true;
    BSTR b = nullptr;
    info->GetSource(&b);
    r.source = FromBstr(b);
    SysFreeString(b);
    info->GetDescription(&b);
    r.description = FromBstr(b);
    SysFreeString(b);
    info->GetHelpFile(&b);
    r.helpFile = FromBstr(b);
    SysFreeString(b);
    info->GetHelpContext(&r.helpContext);
    info->Release();
    return r;
}

}  // namespace

TEST(ErrorNumbers, MapToTheirHResultAndBack) {
    EXPECT_EQ(HResultFromNumber(5), static_cast<HRESULT>(0x800A0005));
    EXPECT_EQ(HResultFromNumber(1), static_cast<HRESULT>(0x800A0001));
    EXPECT_EQ(HResultFromNumber(65535), static_cast<HRESULT>(0x800AFFFF));
    EXPECT_EQ(HResultFromNumber(static_cast<LONG>(0x80040000)), static_cast<HRESULT>(0x80040000));
    EXPECT_EQ(HResultFromNumber(E_ACCESSDENIED), E_ACCESSDENIED);
    EXPECT_EQ(NumberFromHResult(static_cast<HRESULT>(0x800A01C9)), 457);
    EXPECT_EQ(NumberFromHResult(E_ACCESSDENIED), E_ACCESSDENIED);
}

TEST(ErrorGuard, PublishesTheRecordThroughErrorInfo) {
    const HRESULT hr = Guard([] { Raise(5, kProductName, u"Application name must not be empty", kHelpFile, 9999); });
    EXPECT_EQ(hr, static_cast<HRESULT>(0x800A0005));
    const ReadBack r = ReadErrorInfo();
    ASSERT_TRUE(r.present);
    EXPECT_EQ(r.source, u"Velqo Task Scheduler");
    EXPECT_EQ(r.description, u"Application name must not be empty");
    EXPECT_EQ(r.helpFile, u"velqosch.chm");
    EXPECT_EQ(r.helpContext, 9999u);
    // Read once: the channel is empty afterwards.
    EXPECT_FALSE(ReadErrorInfo().present);
}

TEST(ErrorGuard, PassesServiceFailuresUnchangedAndClearsOnSuccess) {
    EXPECT_EQ(Guard([] { Check(E_ACCESSDENIED); }), E_ACCESSDENIED);
    EXPECT_EQ(ReadErrorInfo().source, u"Velqo Task Scheduler");
    EXPECT_EQ(Guard([] { Check(E_ACCESSDENIED); }), E_ACCESSDENIED);
    EXPECT_EQ(Guard([] { Check(SCHED_S_TASK_HAS_NOT_RUN); }), S_OK);
    EXPECT_FALSE(ReadErrorInfo().present);
}

TEST(ErrorGuard, TurnsAllocationFailureIntoOutOfMemory) {
    EXPECT_EQ(Guard([] { throw std::bad_alloc(); }), E_OUTOFMEMORY);
    EXPECT_EQ(Guard([] { std::u16string s; s.resize(s.max_size() + 1); }), E_OUTOFMEMORY);
}

TEST(ErrorGuard, ErrorInfoBelongsToTheFailingThread) {
    EXPECT_EQ(Guard([] { RaiseStandard(9); }), static_cast<HRESULT>(0x800A0009));
    bool otherSaw = true;
    std::thread t([&] { otherSaw = ReadErrorInfo().present; });
    t.join();
    EXPECT_FALSE(otherSaw);
    EXPECT_EQ(ReadErrorInfo().description, u"Subscript out of range");
}

TEST(CheckedArithmetic, RaisesOverflowAtTheSixteenBitLimits) {
    EXPECT_EQ(CheckedI2(32767), 32767);
    EXPECT_EQ(CheckedI2(-32768), -32768);
    for (int64_t v : {int64_t{32768}, int64_t{-32769}, int64_t{1} << 40}) {
        try {
            CheckedI2(v);
            FAIL() << v;
        } catch (const ComponentError &e) {
            EXPECT_EQ(e.record().number, 6);
            EXPECT_EQ(e.record().description, u"Overflow");
        }
    }
    EXPECT_EQ(AddI2(32766, 1), 32767);
    EXPECT_THROW(AddI2(32767, 1), ComponentError);
    EXPECT_THROW(SubI2(-32768, 1), ComponentError);
    EXPECT_THROW(CheckedI4(int64_t{INT32_MAX} + 1), ComponentError);
}

TEST(CheckedArithmetic, BoundsCheckRaisesSubscriptOutOfRange) {
    CheckBounds(3, 3, 3);
    try {
        CheckBounds(4, 1, 3);
        FAIL();
    } catch (const ComponentError &e) {
        EXPECT_EQ(e.record().number, 9);
    }
    EXPECT_THROW(CheckBounds(0, 1, 3), ComponentError);
}
