// The ordered keyed collection: positions, the lookup argument and its
// errors, keys folded beyond ASCII, removal, the Exists rule.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <vector>

#include "collection/keyed_collection.h"
#include "common/fake_service.h"
#include "triggers/trigger.h"

using namespace velqosch;
using fake::ErrorOf;

namespace {

struct Collection : ::testing::Test {
    void SetUp() override { live = LiveObjectCount(); }
    void TearDown() override {
        c.Clear();
        EXPECT_EQ(LiveObjectCount(), live);
    }
    TriggerObject *Add(const char16_t *key) {
        ComRef<TriggerObject> t = TriggerObject::Create();
        std::u16string k = key ? key : u"";
        c.Add(t, key ? &k : nullptr);
        return t.get();
    }
    KeyedCollection<TriggerObject> c;
    LONG live = 0;
};

TEST_F(Collection, LookupByPositionOrKeyWithTheirErrors) {
    TriggerObject *a = Add(u"a"), *b = Add(nullptr), *third = Add(u"Été");
    EXPECT_TRUE(c.ContainsKey(u"éTÉ"));
    EXPECT_FALSE(c.ContainsKey(u"ét"));
    SHORT i2 = 3;
    double r8 = 1.0;
    BSTR key = SysAllocString(u"ÉTÉ");
    VARIANT inner{};
    inner.vt = VT_BSTR;
    inner.bstrVal = key;
    struct Row {
        VARTYPE vt;
        std::function<void(VARIANT &)> set;
        TriggerObject *expected;
        LONG error;
    };
    const Row rows[] = {
        {VT_I4, [](VARIANT &v) { v.lVal = 2; }, b, 0},
        {VT_I2, [](VARIANT &v) { v.iVal = 1; }, a, 0},
        {VT_R8, [](VARIANT &v) { v.dblVal = 2.5; }, b, 0},  // half to even, as automation rounds
        {VT_R8, [](VARIANT &v) { v.dblVal = 2.6; }, third, 0},
        {VT_CY, [](VARIANT &v) { v.cyVal.int64 = 25000; }, b, 0},
        {VT_I2 | VT_BYREF, [&](VARIANT &v) { v.piVal = &i2; }, third, 0},
        {VT_R8 | VT_BYREF, [&](VARIANT &v) { v.pdblVal = &r8; }, a, 0},
        {VT_BSTR | VT_BYREF, [&](VARIANT &v) { v.pbstrVal = &key; }, third, 0},
        {VT_VARIANT | VT_BYREF, [&](VARIANT &v) { v.pvarVal = &inner; }, third, 0},
        {VT_I4, [](VARIANT &v) { v.lVal = 0; }, nullptr, kErrSubscript},
        {VT_I4, [](VARIANT &v) { v.lVal = 4; }, nullptr, kErrSubscript},
        {VT_R8, [](VARIANT &v) { v.dblVal = 0.5; }, nullptr, kErrSubscript},
        {VT_R8, [](VARIANT &v) { v.dblVal = 1e12; }, nullptr, kErrOverflow},
        {VT_R8, [](VARIANT &v) { v.dblVal = std::nan(""); }, nullptr, kErrOverflow},
        {VT_BSTR, [](VARIANT &v) { v.bstrVal = nullptr; }, nullptr, kErrInvalidCall},  // the empty key
        {VT_EMPTY, [](VARIANT &) {}, nullptr, kErrTypeMismatch},
        {VT_I4 | VT_BYREF, [](VARIANT &v) { v.plVal = nullptr; }, nullptr, E_POINTER},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.vt);
        VARIANT v{};
        v.vt = r.vt;
        r.set(v);
        TriggerObject *got = nullptr;
        EXPECT_EQ(ErrorOf([&] { got = c.Item(&v); }), r.error);
        EXPECT_EQ(got, r.expected);
    }
    EXPECT_EQ(ErrorOf([&] { c.Item(static_cast<const VARIANT *>(nullptr)); }), E_POINTER);
    SysFreeString(key);
    // Exists: a missing key is false; any other error passes unchanged.
    EXPECT_TRUE(KeyLookupSucceeds([] {}));
    EXPECT_FALSE(KeyLookupSucceeds([] { RaiseStandard(kErrInvalidCall); }));
    EXPECT_EQ(ErrorOf([] { KeyLookupSucceeds([] { RaiseStandard(kErrSubscript); }); }), kErrSubscript);
}

// Many keys behind one entry without a key, removed from the middle, the
// front and the end in turn (keys that crowd one part of the index are the
// case a removal must close up behind): every key left is found in another
// letter case at its new position, a removed one is gone and free again.
TEST_F(Collection, ManyRemovalsKeepEveryOtherKeyFoundAtItsPosition) {
    TriggerObject *unkeyed = Add(nullptr);
    std::vector<std::u16string> model;
    for (int i = 0; i < 200; ++i) {
        model.push_back(u"TASK " + std::u16string(1, char16_t(u'A' + i % 26)) + std::u16string(i / 26 + 1, u'X'));
        Add(model.back().c_str());
    }
    for (int round = 0; round < 120; ++round) {
        const std::size_t at = round % 3 == 0 ? model.size() / 2 : round % 3 == 1 ? 0 : model.size() - 1;
        if (round % 2)
            c.RemoveByKey(FoldKey(model[at]));
        else
            c.RemoveAt(static_cast<LONG>(at + 2));
        ASSERT_FALSE(c.ContainsKey(model[at])) << round;
        model.erase(model.begin() + static_cast<std::ptrdiff_t>(at));
        for (std::size_t i = 0; i < model.size(); ++i)
            ASSERT_EQ(c.ItemByKey(FoldKey(model[i])), c.ItemAt(static_cast<LONG>(i + 2))) << round << " " << i;
    }
    EXPECT_EQ(c.ItemAt(1), unkeyed);
    EXPECT_EQ(LiveObjectCount(), live + 81) << "the removed entries were released";
    EXPECT_EQ(ErrorOf([&] { c.RemoveByKey(u"task ax"); }), kErrInvalidCall);
    EXPECT_EQ(ErrorOf([&] { c.RemoveAt(82); }), kErrSubscript);
    Add(u"Task AX");
    EXPECT_EQ(c.Count(), 82);
}

}  // namespace
