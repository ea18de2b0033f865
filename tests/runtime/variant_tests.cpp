// VARIANT lifetime, copies and conversions, with the values the system's
// automation library gives.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "runtime_test_support.h"

namespace {

bool Same(const VARIANT &a, const VARIANT &b) {
    if (a.vt != b.vt) return false;
    switch (a.vt) {
        case VT_EMPTY: return true;
        case VT_I2: return a.iVal == b.iVal;
        case VT_I4: return a.lVal == b.lVal;
        case VT_UI1: return a.bVal == b.bVal;
        case VT_BOOL: return a.boolVal == b.boolVal;
        case VT_R8: return std::fabs(a.dblVal - b.dblVal) < 1e-9;
        case VT_DATE: return std::fabs(a.date - b.date) < 1e-9;
        case VT_BSTR: return Text(a.bstrVal) == Text(b.bstrVal);
        default: return false;
    }
}

TEST(Variant, ConversionTable) {
    struct Row {
        VARIANT in;
        VARTYPE to;
        HRESULT hr;
        VARIANT out;
        USHORT flags = 0;
    };
    const double day = 46362.0;  // 6 December 2026
    std::vector<Row> rows = {
        // integer ranges
        {I4(70000), VT_I2, DISP_E_OVERFLOW, Empty()},
        {I4(-32769), VT_I2, DISP_E_OVERFLOW, Empty()},
        {I4(-32768), VT_I2, S_OK, I2(-32768)},
        {I4(32767), VT_I2, S_OK, I2(32767)},
        {I4(256), VT_UI1, DISP_E_OVERFLOW, Empty()},
        {I4(-1), VT_UI1, DISP_E_OVERFLOW, Empty()},
        {R8(2147483648.0), VT_I4, DISP_E_OVERFLOW, Empty()},
        {R8(1e300), VT_DATE, DISP_E_OVERFLOW, Empty()},
        {Str(OS("40000")), VT_I2, DISP_E_OVERFLOW, Empty()},
        // reals round half to even
        {R8(2.5), VT_I4, S_OK, I4(2)},
        {R8(3.5), VT_I4, S_OK, I4(4)},
        {R8(-2.5), VT_I2, S_OK, I2(-2)},
        {R8(-3.5), VT_I2, S_OK, I2(-4)},
        {R8(2.4999), VT_I4, S_OK, I4(2)},
        {R8(2.5001), VT_I2, S_OK, I2(3)},
        {R8(0.5), VT_I4, S_OK, I4(0)},
        {R8(1.5), VT_I2, S_OK, I2(2)},
        {R8(255.4), VT_UI1, S_OK, UI1(255)},
        // empty, null and text that is no number
        {Empty(), VT_I2, S_OK, I2(0)},
        {Empty(), VT_BOOL, S_OK, Bool(false)},
        {Empty(), VT_BSTR, S_OK, Str(OS(""))},
        {Null(), VT_I2, DISP_E_TYPEMISMATCH, Empty()},
        {Null(), VT_BSTR, DISP_E_TYPEMISMATCH, Empty()},
        {Str(OS("abc")), VT_I4, DISP_E_TYPEMISMATCH, Empty()},
        {Str(OS("")), VT_I4, DISP_E_TYPEMISMATCH, Empty()},
        {Str(OS("12x")), VT_R8, DISP_E_TYPEMISMATCH, Empty()},
        {Str(OS("abc")), VT_BOOL, DISP_E_TYPEMISMATCH, Empty()},
        // booleans
        {Bool(true), VT_I2, S_OK, I2(-1)},
        {Bool(true), VT_I4, S_OK, I4(-1)},
        {I4(5), VT_BOOL, S_OK, Bool(true)},
        {R8(0.0), VT_BOOL, S_OK, Bool(false)},
        {Str(OS("True")), VT_BOOL, S_OK, Bool(true)},
        {Str(OS("false")), VT_BOOL, S_OK, Bool(false)},
        {Str(OS("0")), VT_BOOL, S_OK, Bool(false)},
        {Bool(true), VT_BSTR, S_OK, Str(OS("True")), VARIANT_ALPHABOOL},
        {Bool(false), VT_BSTR, S_OK, Str(OS("False")), VARIANT_ALPHABOOL},
        {Bool(true), VT_BSTR, S_OK, Str(OS("-1"))},
        {Bool(false), VT_BSTR, S_OK, Str(OS("0"))},
        // numbers and text
        {R8(1.5), VT_BSTR, S_OK, Str(OS("1.5"))},
        {R8(-0.25), VT_BSTR, S_OK, Str(OS("-0.25"))},
        {R8(100.0), VT_BSTR, S_OK, Str(OS("100"))},
        {R8(1.0 / 3.0), VT_BSTR, S_OK, Str(OS("0.333333333333333"))},
        {I4(-123456), VT_BSTR, S_OK, Str(OS("-123456"))},
        {Str(OS(" 42 ")), VT_I4, S_OK, I4(42)},
        {Str(OS("2.5")), VT_I2, S_OK, I2(2)},
        {Str(OS("-1.25E2")), VT_R8, S_OK, R8(-125.0)},
        {Str(OS("&HFF")), VT_I4, S_OK, I4(255)},
        // dates and text
        {Str(OS("2026-12-06")), VT_DATE, S_OK, Date(day)},
        {Str(OS("12/6/2026")), VT_DATE, S_OK, Date(day)},
        {Str(OS("12/6/2026 9:30:00 AM")), VT_DATE, S_OK, Date(day + 9.5 / 24)},
        {Str(OS("12/6/2026 9:30 PM")), VT_DATE, S_OK, Date(day + 21.5 / 24)},
        {Str(OS("9:30")), VT_DATE, S_OK, Date(9.5 / 24)},
        {Str(OS("12:00:00 AM")), VT_DATE, S_OK, Date(0.0)},
        {Str(OS("not a date")), VT_DATE, DISP_E_TYPEMISMATCH, Empty()},
        {Str(OS("13/45/2026")), VT_DATE, DISP_E_TYPEMISMATCH, Empty()},
        {Date(day + 9.5 / 24), VT_BSTR, S_OK, Str(OS("12/6/2026 9:30:00 AM"))},
        {Date(day), VT_BSTR, S_OK, Str(OS("12/6/2026"))},
        {Date(13.5 / 24), VT_BSTR, S_OK, Str(OS("1:30:00 PM"))},
        {Date(0.0), VT_BSTR, S_OK, Str(OS("12:00:00 AM"))},
        {Date(-1.25), VT_BSTR, S_OK, Str(OS("12/29/1899 6:00:00 AM"))},
    };
    for (std::size_t i = 0; i < rows.size(); ++i) {
        Row &r = rows[i];
        VARIANT got;
        VariantInit(&got);
        EXPECT_EQ(VariantChangeType(&got, &r.in, r.flags, r.to), r.hr) << "row " << i;
        if (r.hr == S_OK) {
            EXPECT_TRUE(Same(got, r.out)) << "row " << i;
        }
        VariantClear(&got);
        VariantClear(&r.in);
        VariantClear(&r.out);
    }
}

TEST(Variant, ConversionInPlaceThroughReferencesAndFailingLeavesTheDestination) {
    VARIANT src = I4(70000), dst = Str(OS("keep"));
    EXPECT_EQ(VariantChangeType(&dst, &src, 0, VT_I2), DISP_E_OVERFLOW);
    EXPECT_TRUE(dst.vt == VT_BSTR && Text(dst.bstrVal) == OS("keep"));
    VariantClear(&dst);

    SHORT value = 7;
    VARIANT ref = Make(VT_I2 | VT_BYREF, [&](VARIANT &v) { v.piVal = &value; }), out = Empty();
    ASSERT_EQ(VariantChangeType(&out, &ref, 0, VT_BSTR), S_OK);
    EXPECT_EQ(Text(out.bstrVal), OS("7"));
    VariantClear(&out);

    VARIANT v = Str(OS("12"));
    ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_I4), S_OK);
    EXPECT_TRUE(Same(v, I4(12)));
    ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_BSTR), S_OK);
    EXPECT_EQ(Text(v.bstrVal), OS("12"));
    VariantClear(&v);

    // A string to a byte array is its UTF-16 bytes, and back.
    VARIANT text = Str(OS("AB")), bytes = Empty(), back = Empty();
    ASSERT_EQ(VariantChangeType(&bytes, &text, 0, VT_ARRAY | VT_UI1), S_OK);
    ASSERT_EQ(bytes.parray->rgsabound[0].cElements, 4u);
    EXPECT_EQ(static_cast<BYTE *>(bytes.parray->pvData)[0], 'A');
    ASSERT_EQ(VariantChangeType(&back, &bytes, 0, VT_BSTR), S_OK);
    EXPECT_EQ(Text(back.bstrVal), OS("AB"));
    for (VARIANT *x : {&text, &bytes, &back}) VariantClear(x);
}

TEST(Variant, ObjectsGiveTheirValueProperty) {
    ValueObject object(I4(42));
    VARIANT src = Make(VT_DISPATCH, [&](VARIANT &v) { v.pdispVal = &object; }), out = Empty();
    ASSERT_EQ(VariantChangeType(&out, &src, 0, VT_BSTR), S_OK);
    EXPECT_EQ(Text(out.bstrVal), OS("42"));
    EXPECT_EQ(object.invokes, 1);
    VariantClear(&out);
    EXPECT_EQ(VariantChangeType(&out, &src, VARIANT_NOVALUEPROP, VT_I4), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(object.invokes, 1);
    ASSERT_EQ(VariantChangeType(&out, &src, 0, VT_UNKNOWN), S_OK);
    EXPECT_EQ(out.vt, VT_UNKNOWN);
    EXPECT_EQ(object.refs(), 2u);
    VariantClear(&out);
    EXPECT_EQ(object.refs(), 1u);
}

TEST(Variant, ClearAndCopyOwnWhatTheyShould) {
    ValueObject unk;
    VARIANT v = Make(VT_UNKNOWN, [&](VARIANT &x) { x.punkVal = &unk; }), dst = I4(1);
    ASSERT_EQ(VariantCopy(&dst, &v), S_OK);
    EXPECT_EQ(unk.refs(), 2u);
    EXPECT_EQ(VariantClear(&dst), S_OK);
    EXPECT_EQ(dst.vt, VT_EMPTY);
    EXPECT_EQ(unk.refs(), 1u);

    VARIANT s = Str(OS("text"));
    ASSERT_EQ(VariantCopy(&dst, &s), S_OK);
    EXPECT_NE(dst.bstrVal, s.bstrVal);
    EXPECT_EQ(Text(dst.bstrVal), OS("text"));
    VariantClear(&dst);
    VariantClear(&s);

    VARIANT a = Make(VT_ARRAY | VT_I4, [](VARIANT &x) { x.parray = SafeArrayCreateVector(VT_I4, 0, 2); });
    ASSERT_EQ(VariantCopy(&dst, &a), S_OK);
    EXPECT_NE(dst.parray, a.parray);
    EXPECT_EQ(dst.parray->rgsabound[0].cElements, 2u);
    VariantClear(&dst);
    VariantClear(&a);

    // References are not owned.
    BSTR owned = SysAllocString(OS("mine"));
    v = Make(VT_BSTR | VT_BYREF, [&](VARIANT &x) { x.pbstrVal = &owned; });
    EXPECT_EQ(VariantClear(&v), S_OK);
    EXPECT_EQ(Text(owned), OS("mine"));
    // VariantCopyInd follows them, also in place.
    v = Make(VT_BSTR | VT_BYREF, [&](VARIANT &x) { x.pbstrVal = &owned; });
    ASSERT_EQ(VariantCopyInd(&dst, &v), S_OK);
    EXPECT_TRUE(dst.vt == VT_BSTR && dst.bstrVal != owned && Text(dst.bstrVal) == OS("mine"));
    VariantClear(&dst);
    VARIANT inner = I4(42);
    v = Make(VT_VARIANT | VT_BYREF, [&](VARIANT &x) { x.pvarVal = &inner; });
    ASSERT_EQ(VariantCopyInd(&dst, &v), S_OK);
    EXPECT_TRUE(Same(dst, I4(42)));
    v = Make(VT_BSTR | VT_BYREF, [&](VARIANT &x) { x.pbstrVal = &owned; });
    ASSERT_EQ(VariantCopyInd(&v, &v), S_OK);
    EXPECT_TRUE(v.vt == VT_BSTR && v.bstrVal != owned && Text(v.bstrVal) == OS("mine"));
    VariantClear(&v);
    SysFreeString(owned);

    for (VARTYPE bad : {VARTYPE(15), VARTYPE(VT_EMPTY | VT_BYREF)}) {
        v = Var(bad);
        EXPECT_EQ(VariantClear(&v), DISP_E_BADVARTYPE) << bad;
        dst = I4(3);
        if (bad == 15) {
            EXPECT_EQ(VariantCopy(&dst, &v), DISP_E_BADVARTYPE);
        }
    }
}

}  // namespace
