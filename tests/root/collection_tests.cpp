// The ordered keyed collection: keys folded beyond ASCII, positions, the
// lookup argument and its errors, removal, the enumerator, the Exists rule.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <vector>

#include "collection/keyed_collection.h"
#include "triggers/trigger.h"

using namespace velqosch;

namespace {

LONG ErrorOf(const std::function<void()> &f) {
    try {
        f();
    } catch (const ComponentError &e) {
        return e.record().number;
    }
    return 0;
}

TEST(CaseFolding, LettersFoldAcrossScriptsAndStayApart) {
    const std::pair<const char16_t *, const char16_t *> same[] = {
        {u"été", u"ÉTÉ"},           {u"Ærøskøbing", u"ÆRØSKØBING"},
        {u"Łódź Ŋ Ÿ", u"łÓDŹ ŋ ÿ"}, {u"ǅǄǆ", u"ǆǆǆ"} /* the title-case digraph too */,
        {u"ΣΟΦΊΑ", u"σοφία"},       {u"ς", u"Σ"},
        {u"Ёлка Ђ", u"ёЛКА ђ"},     {u"Ѣѣ Ӂ", u"ѣѢ ӂ"},
        {u"ԱՐԵՎ", u"արեվ"},         {u"ＡＢＣ", u"ａｂｃ"},
        {u"\u212A", u"k"} /* Kelvin */};
    for (auto [a, b] : same) EXPECT_EQ(FoldKey(a), FoldKey(b));
    const std::pair<const char16_t *, const char16_t *> apart[] = {{u"e", u"é"}, {u"ss", u"ß"}, {u"A", u"Ａ"},
                                                                   {u"И", u"Й"}, {u"1", u"!"},  {u"\xD800", u"\xD801"}};
    for (auto [a, b] : apart) EXPECT_NE(FoldKey(a), FoldKey(b));
    // Folding a folded unit changes nothing; lower-case letters stay themselves.
    for (uint32_t u = 0; u < 0x10000; ++u) {
        const char16_t f = FoldCase(static_cast<char16_t>(u));
        ASSERT_EQ(FoldCase(f), f) << std::hex << u;
        const bool lower = (u >= u'a' && u <= u'z') || (u >= 0x03B1 && u <= 0x03C9 && u != 0x03C2) ||
                           (u >= 0x0430 && u <= 0x045F) || (u >= 0xD800 && u <= 0xDFFF);
        if (lower) {
            ASSERT_EQ(f, u) << std::hex << u;
        }
    }
}

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
    EXPECT_EQ(c.Count(), 3);
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
        {VT_R8, [](VARIANT &v) { v.dblVal = 1.5; }, b, 0},
        {VT_R8, [](VARIANT &v) { v.dblVal = 2.6; }, third, 0},
        {VT_CY, [](VARIANT &v) { v.cyVal.int64 = 25000; }, b, 0},
        {VT_I2 | VT_BYREF, [&](VARIANT &v) { v.piVal = &i2; }, third, 0},
        {VT_R8 | VT_BYREF, [&](VARIANT &v) { v.pdblVal = &r8; }, a, 0},
        {VT_BSTR | VT_BYREF, [&](VARIANT &v) { v.pbstrVal = &key; }, third, 0},
        {VT_VARIANT | VT_BYREF, [&](VARIANT &v) { v.pvarVal = &inner; }, third, 0},
        {VT_I4, [](VARIANT &v) { v.lVal = 0; }, nullptr, kErrSubscript},
        {VT_I4, [](VARIANT &v) { v.lVal = 4; }, nullptr, kErrSubscript},
        {VT_I4, [](VARIANT &v) { v.lVal = -1; }, nullptr, kErrSubscript},
        {VT_R8, [](VARIANT &v) { v.dblVal = 0.5; }, nullptr, kErrSubscript},
        {VT_R8, [](VARIANT &v) { v.dblVal = 1e12; }, nullptr, kErrOverflow},
        {VT_R8, [](VARIANT &v) { v.dblVal = std::nan(""); }, nullptr, kErrOverflow},
        {VT_BSTR, [](VARIANT &v) { v.bstrVal = nullptr; }, nullptr, kErrInvalidCall},  // the empty key
        {VT_EMPTY, [](VARIANT &) {}, nullptr, kErrTypeMismatch},
        {VT_DISPATCH, [](VARIANT &v) { v.pdispVal = nullptr; }, nullptr, kErrTypeMismatch},
        {VT_DATE, [](VARIANT &v) { v.date = 1.0; }, nullptr, kErrTypeMismatch},
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
}

TEST_F(Collection, AKeyAddedTwiceFailsAndChangesNothing) {
    TriggerObject *first = Add(u"Same");
    EXPECT_EQ(ErrorOf([&] { Add(u"SAME"); }), kErrKeyInUse);
    EXPECT_EQ(c.Count(), 1);
    EXPECT_EQ(c.ItemByKey(u"same"), first);
    EXPECT_EQ(LiveObjectCount(), live + 1) << "the rejected object was released";
    EXPECT_EQ(first->References(), 1u);
}

// Many keys behind one entry without a key, removed from the middle, the
// front and the end in turn: later entries move down, every key left is found
// in another letter case at its new position, every removed one is gone and
// can be added again. (Keys that crowd one part of the index are the case a
// removal must close up behind.)
TEST_F(Collection, ManyRemovalsKeepEveryOtherKeyFoundAtItsPosition) {
    TriggerObject *unkeyed = Add(nullptr);
    std::vector<std::u16string> model;
    for (int i = 0; i < 200; ++i) {
        model.push_back(u"Task " + std::u16string(1, char16_t(u'A' + i % 26)) + std::u16string(i / 26 + 1, u'x'));
        Add(model.back().c_str());
    }
    auto upper = [](std::u16string k) {
        for (char16_t &u : k)
            if (u >= u'a' && u <= u'z') u = char16_t(u - 32);
        return k;
    };
    for (int round = 0; round < 120; ++round) {
        const std::size_t at = round % 3 == 0 ? model.size() / 2 : round % 3 == 1 ? 0 : model.size() - 1;
        const std::u16string gone = model[at];
        if (round % 2)
            c.RemoveByKey(upper(gone));
        else
            c.RemoveAt(static_cast<LONG>(at + 2));
        model.erase(model.begin() + static_cast<std::ptrdiff_t>(at));
        ASSERT_FALSE(c.ContainsKey(gone)) << round;
        for (std::size_t i = 0; i < model.size(); ++i)
            ASSERT_EQ(c.ItemByKey(upper(model[i])), c.ItemAt(static_cast<LONG>(i + 2))) << round << " " << i;
    }
    EXPECT_EQ(c.ItemAt(1), unkeyed);
    EXPECT_EQ(c.Count(), 81);
    EXPECT_EQ(LiveObjectCount(), live + 81) << "the removed entries were released";
    EXPECT_EQ(ErrorOf([&] { c.RemoveByKey(u"task ax"); }), kErrInvalidCall);
    EXPECT_EQ(ErrorOf([&] { c.ItemByKey(u"TASK AX"); }), kErrInvalidCall);
    EXPECT_EQ(ErrorOf([&] { c.RemoveAt(82); }), kErrSubscript);
    Add(u"TASK AX");  // removed above: its key is free again
    EXPECT_EQ(c.Count(), 82);
}

TEST_F(Collection, EnumeratorYieldsTheEntriesInOrderWithTheirOwnReferences) {
    TriggerObject *a = Add(u"a"), *b = Add(u"b"), *d = Add(u"d");
    ComRef<IEnumVARIANT> e = NewObjectEnumerator(c.Snapshot<IDispatch>());
    EXPECT_EQ(a->References(), 2u) << "the collection's and the enumerator's";
    VARIANT got[2];
    ULONG fetched = 99;
    ASSERT_EQ(e->Next(2, got, &fetched), S_OK);
    ASSERT_EQ(fetched, 2u);
    EXPECT_EQ(got[0].vt, VT_DISPATCH);
    EXPECT_EQ(got[0].pdispVal, static_cast<IDispatch *>(static_cast<TaskScheduler::_Trigger *>(a)));
    EXPECT_EQ(got[1].pdispVal, static_cast<IDispatch *>(static_cast<TaskScheduler::_Trigger *>(b)));
    EXPECT_EQ(a->References(), 3u);
    VariantClear(&got[0]);
    VariantClear(&got[1]);
    ComRef<IEnumVARIANT> copy;
    ASSERT_EQ(e->Clone(copy.Out()), S_OK);
    ASSERT_EQ(e->Next(2, got, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 1u);
    VariantClear(&got[0]);
    ASSERT_EQ(copy->Next(1, got, nullptr), S_OK) << "the clone goes on from where the original stood";
    EXPECT_EQ(got[0].pdispVal, static_cast<IDispatch *>(static_cast<TaskScheduler::_Trigger *>(d)));
    VariantClear(&got[0]);
    EXPECT_EQ(e->Reset(), S_OK);
    EXPECT_EQ(e->Skip(3), S_OK);
    EXPECT_EQ(e->Skip(1), S_FALSE);
    EXPECT_EQ(e->Next(2, got, nullptr), E_POINTER);
    c.Clear();
    EXPECT_EQ(a->References(), 1u) << "the enumerator's list outlives the entries";
}

TEST(ExistsRule, MissingKeyIsFalseOtherErrorsPassUnchanged) {
    EXPECT_TRUE(KeyLookupSucceeds([] {}));
    EXPECT_FALSE(KeyLookupSucceeds([] { RaiseStandard(kErrInvalidCall); }));
    try {
        KeyLookupSucceeds([] { Raise(kErrSubscript, u"Source X", u"Text Y", u"file.chm", 77); });
        ADD_FAILURE() << "the error was swallowed";
    } catch (const ComponentError &e) {
        EXPECT_EQ(e.record().number, kErrSubscript);
        EXPECT_EQ(e.record().source + e.record().description + e.record().helpFile, u"Source XText Yfile.chm");
        EXPECT_EQ(e.record().helpContext, 77u);
    }
}

}  // namespace
