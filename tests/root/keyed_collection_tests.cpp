// The ordered keyed collection: positions, keys folded beyond ASCII, the
// lookup errors, removal, the enumerator and the lookup argument.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "root/fakes.h"
#include "collection/keyed_collection.h"
#include "trace/error.h"

using namespace velqosch;
using fakes::FakeTask;
using TaskScheduler::_Task;

namespace {

LONG ErrorOf(const std::function<void()> &f) {
    try {
        f();
    } catch (const ComponentError &e) {
        return e.record().number;
    }
    return 0;
}

struct Collection : ::testing::Test {
    KeyedCollection<_Task> c;
    std::vector<FakeTask *> made;

    FakeTask *Add(const char16_t *key) {
        auto *t = new FakeTask();
        made.push_back(t);
        std::u16string k = key ? key : u"";
        c.Add(ComRef<_Task>::Adopt(t), key ? &k : nullptr);
        return t;
    }
    static VARIANT I4(LONG v) {
        VARIANT x;
        VariantInit(&x);
        x.vt = VT_I4;
        x.lVal = v;
        return x;
    }
    static VARIANT R8(double v) {
        VARIANT x;
        VariantInit(&x);
        x.vt = VT_R8;
        x.dblVal = v;
        return x;
    }
};

TEST(CaseFolding, LatinGreekCyrillicArmenianAndFullWidthFold) {
    EXPECT_EQ(FoldKey(u"été"), FoldKey(u"ÉTÉ"));
    EXPECT_EQ(FoldKey(u"Ærøskøbing"), FoldKey(u"ÆRØSKØBING"));
    EXPECT_EQ(FoldKey(u"Łódź Ŋ Ÿ"), FoldKey(u"łÓDŹ ŋ ÿ"));
    EXPECT_EQ(FoldKey(u"ǅǄǆ"), FoldKey(u"ǆǆǆ"));  // the title-case digraph too
    EXPECT_EQ(FoldKey(u"ΣΟΦΊΑ"), FoldKey(u"σοφία"));
    EXPECT_EQ(FoldKey(u"ς"), FoldKey(u"Σ"));  // final sigma
    EXPECT_EQ(FoldKey(u"Ёлка Ђ"), FoldKey(u"ёЛКА ђ"));
    EXPECT_EQ(FoldKey(u"Ѣѣ Ӂ"), FoldKey(u"ѣѢ ӂ"));
    EXPECT_EQ(FoldKey(u"ԱՐԵՎ"), FoldKey(u"արեվ"));
    EXPECT_EQ(FoldKey(u"ＡＢＣ"), FoldKey(u"ａｂｃ"));
    EXPECT_EQ(FoldCase(u'K'), u'k');  // Kelvin sign
}

TEST(CaseFolding, DifferentLettersStayDifferent) {
    EXPECT_NE(FoldKey(u"e"), FoldKey(u"é"));
    EXPECT_NE(FoldKey(u"ss"), FoldKey(u"ß"));
    EXPECT_NE(FoldKey(u"A"), FoldKey(u"Ａ"));  // full-width is its own letter
    EXPECT_NE(FoldKey(u"И"), FoldKey(u"Й"));
    EXPECT_EQ(FoldCase(u'1'), u'1');
    EXPECT_EQ(FoldCase(u'\xD800'), u'\xD800');  // surrogates pass through
}

TEST(CaseFolding, FoldingIsStableAndNeverMapsLowerCaseAway) {
    // Folding a folded unit changes nothing, and every lower-case Latin,
    // Greek and Cyrillic letter but the final sigma stays itself.
    for (uint32_t u = 0; u < 0x10000; ++u) {
        const char16_t f = FoldCase(static_cast<char16_t>(u));
        ASSERT_EQ(FoldCase(f), f) << std::hex << u;
    }
    for (char16_t u = u'a'; u <= u'z'; ++u) EXPECT_EQ(FoldCase(u), u);
    for (char16_t u = 0x03B1; u <= 0x03C9; ++u) {
        if (u == 0x03C2) continue;
        EXPECT_EQ(FoldCase(u), u);
    }
    for (char16_t u = 0x0430; u <= 0x045F; ++u) EXPECT_EQ(FoldCase(u), u);
}

TEST_F(Collection, PositionsFollowInsertionOrderAndKeysIgnoreCase) {
    FakeTask *a = Add(u"Backup"), *b = Add(nullptr), *d = Add(u"Été");
    EXPECT_EQ(c.Count(), 3);
    EXPECT_EQ(c.ItemAt(1), a);
    EXPECT_EQ(c.ItemAt(2), b);
    EXPECT_EQ(c.ItemAt(3), d);
    EXPECT_EQ(c.ItemByKey(u"BACKUP"), a);
    EXPECT_EQ(c.ItemByKey(u"éTÉ"), d);
    EXPECT_TRUE(c.ContainsKey(u"backup"));
    EXPECT_FALSE(c.ContainsKey(u"back"));
}

TEST_F(Collection, LookupErrors) {
    Add(u"One");
    EXPECT_EQ(ErrorOf([&] { c.ItemByKey(u"Two"); }), kErrInvalidCall);
    EXPECT_EQ(ErrorOf([&] { c.ItemAt(0); }), kErrSubscript);
    EXPECT_EQ(ErrorOf([&] { c.ItemAt(2); }), kErrSubscript);
    EXPECT_EQ(ErrorOf([&] { c.ItemAt(-1); }), kErrSubscript);
}

TEST_F(Collection, KeyAddedTwiceFailsAndChangesNothing) {
    FakeTask *first = Add(u"Same");
    EXPECT_EQ(ErrorOf([&] { Add(u"SAME"); }), kErrKeyInUse);
    EXPECT_EQ(c.Count(), 1);
    EXPECT_EQ(c.ItemByKey(u"same"), first);
    // The rejected object was released, the kept one is held once.
    EXPECT_EQ(FakeTask::live, 1);
    EXPECT_EQ(first->refs(), 1u);
}

TEST_F(Collection, RemovalMovesLaterEntriesDownAndKeepsKeysConsistent) {
    FakeTask *a = Add(u"A");
    Add(u"B");
    FakeTask *x = Add(nullptr);
    FakeTask *d = Add(u"D");
    c.RemoveAt(2);
    EXPECT_EQ(c.Count(), 3);
    EXPECT_EQ(c.ItemAt(2), x);
    EXPECT_EQ(c.ItemAt(3), d);
    EXPECT_EQ(ErrorOf([&] { c.ItemByKey(u"b"); }), kErrInvalidCall);
    c.RemoveByKey(u"a");
    EXPECT_EQ(c.ItemAt(1), x);
    EXPECT_EQ(c.ItemByKey(u"d"), d);
    EXPECT_EQ(ErrorOf([&] { c.RemoveByKey(u"A"); }), kErrInvalidCall);
    EXPECT_EQ(ErrorOf([&] { c.RemoveAt(3); }), kErrSubscript);
    EXPECT_EQ(FakeTask::live, 2);
    (void)a;
    // A removed key can be added again.
    Add(u"A");
    EXPECT_EQ(c.Count(), 3);
    c.Clear();
    EXPECT_EQ(FakeTask::live, 0);
}

TEST_F(Collection, LookupArgumentNumbersAndStrings) {
    FakeTask *a = Add(u"a"), *b = Add(u"b"), *third = Add(u"third");
    VARIANT v = I4(2);
    EXPECT_EQ(c.Item(&v), b);
    // Doubles round half to even, as automation converts them.
    v = R8(2.5);
    EXPECT_EQ(c.Item(&v), b);
    v = R8(1.5);
    EXPECT_EQ(c.Item(&v), b);
    v = R8(0.5);
    EXPECT_EQ(ErrorOf([&] { c.Item(&v); }), kErrSubscript);
    v = R8(2.6);
    EXPECT_EQ(c.Item(&v), third);
    v = R8(1e12);
    EXPECT_EQ(ErrorOf([&] { c.Item(&v); }), kErrOverflow);
    v = R8(std::nan(""));
    EXPECT_EQ(ErrorOf([&] { c.Item(&v); }), kErrOverflow);
    v.vt = VT_I2;
    v.iVal = 1;
    EXPECT_EQ(c.Item(&v), a);
    v.vt = VT_CY;
    v.cyVal.int64 = 25000;  // 2.5
    EXPECT_EQ(c.Item(&v), b);

    // By-reference forms.
    SHORT i2 = 3;
    v.vt = VT_I2 | VT_BYREF;
    v.piVal = &i2;
    EXPECT_EQ(c.Item(&v), third);
    double r8 = 1.0;
    v.vt = VT_R8 | VT_BYREF;
    v.pdblVal = &r8;
    EXPECT_EQ(c.Item(&v), a);
    BSTR key = SysAllocString(reinterpret_cast<const OLECHAR *>(u"THIRD"));
    v.vt = VT_BSTR | VT_BYREF;
    v.pbstrVal = &key;
    EXPECT_EQ(c.Item(&v), third);
    VARIANT inner;
    VariantInit(&inner);
    inner.vt = VT_BSTR;
    inner.bstrVal = key;
    v.vt = VT_VARIANT | VT_BYREF;
    v.pvarVal = &inner;
    EXPECT_EQ(c.Item(&v), third);
    SysFreeString(key);
}

TEST_F(Collection, LookupArgumentOfAnotherTypeIsATypeMismatch) {
    Add(u"a");
    VARIANT v;
    VariantInit(&v);
    EXPECT_EQ(ErrorOf([&] { c.Item(&v); }), kErrTypeMismatch);  // VT_EMPTY
    v.vt = VT_DISPATCH;
    v.pdispVal = nullptr;
    EXPECT_EQ(ErrorOf([&] { c.Item(&v); }), kErrTypeMismatch);
    v.vt = VT_DATE;
    v.date = 1.0;
    EXPECT_EQ(ErrorOf([&] { c.Item(&v); }), kErrTypeMismatch);
    v.vt = VT_I4 | VT_BYREF;
    v.plVal = nullptr;
    EXPECT_EQ(ErrorOf([&] { c.Item(&v); }), E_POINTER);
    EXPECT_EQ(ErrorOf([&] { c.Item(static_cast<const VARIANT *>(nullptr)); }), E_POINTER);
    // A null string is the empty key.
    v.vt = VT_BSTR;
    v.bstrVal = nullptr;
    EXPECT_EQ(ErrorOf([&] { c.Item(&v); }), kErrInvalidCall);
}

TEST_F(Collection, EnumeratorYieldsTheEntriesInOrderWithTheirOwnReferences) {
    FakeTask *a = Add(u"a"), *b = Add(u"b"), *d = Add(u"d");
    ComRef<IEnumVARIANT> e = NewObjectEnumerator(c.Snapshot<IDispatch>());
    EXPECT_EQ(a->refs(), 2u);  // the collection's and the enumerator's

    VARIANT got[2];
    ULONG fetched = 99;
    ASSERT_EQ(e->Next(2, got, &fetched), S_OK);
    ASSERT_EQ(fetched, 2u);
    EXPECT_EQ(got[0].vt, VT_DISPATCH);
    EXPECT_EQ(got[0].pdispVal, static_cast<IDispatch *>(a));
    EXPECT_EQ(got[1].pdispVal, static_cast<IDispatch *>(b));
    EXPECT_EQ(a->refs(), 3u);
    VariantClear(&got[0]);
    VariantClear(&got[1]);

    ComRef<IEnumVARIANT> copy;
    ASSERT_EQ(e->Clone(copy.Out()), S_OK);
    ASSERT_EQ(e->Next(2, got, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 1u);
    EXPECT_EQ(got[0].pdispVal, static_cast<IDispatch *>(d));
    VariantClear(&got[0]);
    EXPECT_EQ(e->Next(1, got, nullptr), S_FALSE);

    // The clone goes on from where the original stood.
    ASSERT_EQ(copy->Next(1, got, nullptr), S_OK);
    EXPECT_EQ(got[0].pdispVal, static_cast<IDispatch *>(d));
    VariantClear(&got[0]);
    EXPECT_EQ(e->Reset(), S_OK);
    EXPECT_EQ(e->Skip(3), S_OK);
    EXPECT_EQ(e->Skip(1), S_FALSE);
    EXPECT_EQ(e->Next(2, got, nullptr), E_POINTER);

    // Removing from the collection leaves the enumerator's list intact.
    c.Clear();
    EXPECT_EQ(a->refs(), 1u);
    e.reset();
    copy.reset();
    EXPECT_EQ(FakeTask::live, 0);
}

TEST(ExistsRule, MissingKeyIsFalseOtherErrorsPassUnchanged) {
    EXPECT_TRUE(KeyLookupSucceeds([] {}));
    EXPECT_FALSE(KeyLookupSucceeds([] { RaiseStandard(kErrInvalidCall); }));
    try {
        KeyLookupSucceeds([] { Raise(kErrSubscript, u"Source X", u"Text Y", u"file.chm", 77); });
        FAIL() << "the error was swallowed";
    } catch (const ComponentError &e) {
        EXPECT_EQ(e.record().number, kErrSubscript);
        EXPECT_EQ(e.record().source, u"Source X");
        EXPECT_EQ(e.record().description, u"Text Y");
        EXPECT_EQ(e.record().helpFile, u"file.chm");
        EXPECT_EQ(e.record().helpContext, 77u);
    }
}

}  // namespace
