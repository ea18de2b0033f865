// VARIANT lifetime, copies and conversions, with the values the system's
// automation library gives.
#include "runtime_test_support.h"

#include <gtest/gtest.h>

namespace {

VARIANT I4(LONG v) {
    VARIANT x;
    VariantInit(&x);
    x.vt = VT_I4;
    x.lVal = v;
    return x;
}
VARIANT R8(double v) {
    VARIANT x;
    VariantInit(&x);
    x.vt = VT_R8;
    x.dblVal = v;
    return x;
}
VARIANT Str(const OLECHAR *s) {
    VARIANT x;
    VariantInit(&x);
    x.vt = VT_BSTR;
    x.bstrVal = SysAllocString(s);
    return x;
}
VARIANT Bool(bool b) {
    VARIANT x;
    VariantInit(&x);
    x.vt = VT_BOOL;
    x.boolVal = b ? VARIANT_TRUE : VARIANT_FALSE;
    return x;
}

// Converts and returns the result code; the result goes to *out.
HRESULT Change(VARIANT src, VARTYPE vt, VARIANT *out, USHORT flags = 0) {
    VariantInit(out);
    HRESULT hr = VariantChangeType(out, &src, flags, vt);
    VariantClear(&src);
    return hr;
}

OleString AsText(VARIANT src, USHORT flags = 0) {
    VARIANT out;
    HRESULT hr = Change(src, VT_BSTR, &out, flags);
    EXPECT_EQ(hr, S_OK);
    OleString t = Text(out.bstrVal);
    VariantClear(&out);
    return t;
}

TEST(VariantLifetime, ClearFreesOwnedValuesAndRejectsBadTypes) {
    VARIANT v = Str(OS("x"));
    EXPECT_EQ(VariantClear(&v), S_OK);
    EXPECT_EQ(v.vt, VT_EMPTY);

    CountedUnknown unk;
    v.vt = VT_UNKNOWN;
    v.punkVal = &unk;
    unk.AddRef();
    EXPECT_EQ(VariantClear(&v), S_OK);
    EXPECT_EQ(unk.refs(), 1u);

    // References are not owned.
    BSTR owned = SysAllocString(OS("mine"));
    v.vt = VT_BSTR | VT_BYREF;
    v.pbstrVal = &owned;
    EXPECT_EQ(VariantClear(&v), S_OK);
    EXPECT_EQ(Text(owned), OleString(OS("mine")));
    SysFreeString(owned);

    v.vt = 15;
    EXPECT_EQ(VariantClear(&v), DISP_E_BADVARTYPE);
    v.vt = VT_EMPTY | VT_BYREF;
    EXPECT_EQ(VariantClear(&v), DISP_E_BADVARTYPE);
}

TEST(VariantLifetime, CopyIsDeepForStringsAndArraysAndCountsInterfaces) {
    VARIANT src = Str(OS("text")), dst = I4(1);
    ASSERT_EQ(VariantCopy(&dst, &src), S_OK);
    EXPECT_EQ(dst.vt, VT_BSTR);
    EXPECT_NE(dst.bstrVal, src.bstrVal);
    EXPECT_EQ(Text(dst.bstrVal), OleString(OS("text")));
    VariantClear(&src);
    VariantClear(&dst);

    CountedUnknown unk;
    src.vt = VT_UNKNOWN;
    src.punkVal = &unk;
    ASSERT_EQ(VariantCopy(&dst, &src), S_OK);
    EXPECT_EQ(unk.refs(), 2u);
    VariantClear(&dst);
    EXPECT_EQ(unk.refs(), 1u);

    src.vt = VT_ARRAY | VT_I4;
    src.parray = SafeArrayCreateVector(VT_I4, 0, 2);
    ASSERT_EQ(VariantCopy(&dst, &src), S_OK);
    EXPECT_NE(dst.parray, src.parray);
    EXPECT_EQ(dst.parray->rgsabound[0].cElements, 2u);
    VariantClear(&dst);
    VariantClear(&src);

    VariantInit(&src);
    src.vt = 15;
    dst = I4(3);
    EXPECT_EQ(VariantCopy(&dst, &src), DISP_E_BADVARTYPE);
}

TEST(VariantLifetime, CopyIndFollowsReferences) {
    LONG value = 42;
    VARIANT ref;
    VariantInit(&ref);
    ref.vt = VT_I4 | VT_BYREF;
    ref.plVal = &value;
    VARIANT out;
    VariantInit(&out);
    ASSERT_EQ(VariantCopyInd(&out, &ref), S_OK);
    EXPECT_EQ(out.vt, VT_I4);
    EXPECT_EQ(out.lVal, 42);

    VARIANT inner = Str(OS("deep"));
    ref.vt = VT_VARIANT | VT_BYREF;
    ref.pvarVal = &inner;
    ASSERT_EQ(VariantCopyInd(&out, &ref), S_OK);
    EXPECT_EQ(out.vt, VT_BSTR);
    EXPECT_NE(out.bstrVal, inner.bstrVal);
    EXPECT_EQ(Text(out.bstrVal), OleString(OS("deep")));
    VariantClear(&out);

    // In place: the reference is replaced by a copy of the value.
    BSTR target = SysAllocString(OS("ref"));
    ref.vt = VT_BSTR | VT_BYREF;
    ref.pbstrVal = &target;
    ASSERT_EQ(VariantCopyInd(&ref, &ref), S_OK);
    EXPECT_EQ(ref.vt, VT_BSTR);
    EXPECT_NE(ref.bstrVal, target);
    VariantClear(&ref);
    SysFreeString(target);
    VariantClear(&inner);
}

TEST(VariantConversion, IntegerRangesOverflow) {
    VARIANT out;
    EXPECT_EQ(Change(I4(70000), VT_I2, &out), DISP_E_OVERFLOW);
    EXPECT_EQ(Change(I4(-32769), VT_I2, &out), DISP_E_OVERFLOW);
    ASSERT_EQ(Change(I4(-32768), VT_I2, &out), S_OK);
    EXPECT_EQ(out.iVal, -32768);
    EXPECT_EQ(Change(I4(256), VT_UI1, &out), DISP_E_OVERFLOW);
    EXPECT_EQ(Change(I4(-1), VT_UI1, &out), DISP_E_OVERFLOW);
    EXPECT_EQ(Change(R8(2147483648.0), VT_I4, &out), DISP_E_OVERFLOW);
    EXPECT_EQ(Change(R8(1e300), VT_DATE, &out), DISP_E_OVERFLOW);
}

TEST(VariantConversion, RealsRoundHalfToEven) {
    struct Case {
        double in;
        LONG out;
    } cases[] = {{2.5, 2}, {3.5, 4}, {-2.5, -2}, {-3.5, -4}, {2.4999, 2}, {2.5001, 3}, {0.5, 0}, {1.5, 2}};
    for (auto c : cases) {
        VARIANT out;
        ASSERT_EQ(Change(R8(c.in), VT_I4, &out), S_OK) << c.in;
        EXPECT_EQ(out.lVal, c.out) << c.in;
        ASSERT_EQ(Change(R8(c.in), VT_I2, &out), S_OK) << c.in;
        EXPECT_EQ(out.iVal, c.out) << c.in;
    }
    VARIANT out;
    ASSERT_EQ(Change(R8(255.4), VT_UI1, &out), S_OK);
    EXPECT_EQ(out.bVal, 255);
}

TEST(VariantConversion, EmptyNullAndMismatches) {
    VARIANT empty, null, out;
    VariantInit(&empty);
    VariantInit(&null);
    null.vt = VT_NULL;
    ASSERT_EQ(Change(empty, VT_I2, &out), S_OK);
    EXPECT_EQ(out.iVal, 0);
    ASSERT_EQ(Change(empty, VT_BOOL, &out), S_OK);
    EXPECT_EQ(out.boolVal, VARIANT_FALSE);
    EXPECT_EQ(AsText(empty), OleString());
    EXPECT_EQ(Change(null, VT_I2, &out), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(Change(null, VT_BSTR, &out), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(Change(Str(OS("abc")), VT_I4, &out), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(Change(Str(OS("")), VT_I4, &out), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(Change(Str(OS("12x")), VT_R8, &out), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(Change(Str(OS("abc")), VT_BOOL, &out), DISP_E_TYPEMISMATCH);
}

TEST(VariantConversion, FailureLeavesTheDestination) {
    VARIANT src = I4(70000), dst = Str(OS("keep"));
    EXPECT_EQ(VariantChangeType(&dst, &src, 0, VT_I2), DISP_E_OVERFLOW);
    ASSERT_EQ(dst.vt, VT_BSTR);
    EXPECT_EQ(Text(dst.bstrVal), OleString(OS("keep")));
    VariantClear(&dst);
}

TEST(VariantConversion, Booleans) {
    VARIANT out;
    ASSERT_EQ(Change(Bool(true), VT_I2, &out), S_OK);
    EXPECT_EQ(out.iVal, -1);
    ASSERT_EQ(Change(Bool(true), VT_I4, &out), S_OK);
    EXPECT_EQ(out.lVal, -1);
    ASSERT_EQ(Change(I4(5), VT_BOOL, &out), S_OK);
    EXPECT_EQ(out.boolVal, VARIANT_TRUE);
    ASSERT_EQ(Change(R8(0.0), VT_BOOL, &out), S_OK);
    EXPECT_EQ(out.boolVal, VARIANT_FALSE);
    ASSERT_EQ(Change(Str(OS("True")), VT_BOOL, &out), S_OK);
    EXPECT_EQ(out.boolVal, VARIANT_TRUE);
    ASSERT_EQ(Change(Str(OS("false")), VT_BOOL, &out), S_OK);
    EXPECT_EQ(out.boolVal, VARIANT_FALSE);
    ASSERT_EQ(Change(Str(OS("0")), VT_BOOL, &out), S_OK);
    EXPECT_EQ(out.boolVal, VARIANT_FALSE);
    EXPECT_EQ(AsText(Bool(true), VARIANT_ALPHABOOL), OleString(OS("True")));
    EXPECT_EQ(AsText(Bool(false), VARIANT_ALPHABOOL), OleString(OS("False")));
    EXPECT_EQ(AsText(Bool(true)), OleString(OS("-1")));
    EXPECT_EQ(AsText(Bool(false)), OleString(OS("0")));
}

TEST(VariantConversion, NumbersToAndFromText) {
    EXPECT_EQ(AsText(R8(1.5)), OleString(OS("1.5")));
    EXPECT_EQ(AsText(R8(-0.25)), OleString(OS("-0.25")));
    EXPECT_EQ(AsText(R8(100.0)), OleString(OS("100")));
    EXPECT_EQ(AsText(R8(1.0 / 3.0)), OleString(OS("0.333333333333333")));
    EXPECT_EQ(AsText(I4(-123456)), OleString(OS("-123456")));
    VARIANT out;
    ASSERT_EQ(Change(Str(OS(" 42 ")), VT_I4, &out), S_OK);
    EXPECT_EQ(out.lVal, 42);
    ASSERT_EQ(Change(Str(OS("2.5")), VT_I2, &out), S_OK);
    EXPECT_EQ(out.iVal, 2);
    ASSERT_EQ(Change(Str(OS("-1.25E2")), VT_R8, &out), S_OK);
    EXPECT_EQ(out.dblVal, -125.0);
    ASSERT_EQ(Change(Str(OS("&HFF")), VT_I4, &out), S_OK);
    EXPECT_EQ(out.lVal, 255);
    EXPECT_EQ(Change(Str(OS("40000")), VT_I2, &out), DISP_E_OVERFLOW);
}

TEST(VariantConversion, DatesToAndFromText) {
    struct Case {
        const OLECHAR *text;
        double date;
    } cases[] = {
        {OS("2026-12-06"), 46362.0},
        {OS("12/6/2026"), 46362.0},
        {OS("12/6/2026 9:30:00 AM"), 46362.0 + 9.5 / 24},
        {OS("12/6/2026 9:30 PM"), 46362.0 + 21.5 / 24},
        {OS("9:30"), 9.5 / 24},
        {OS("12:00:00 AM"), 0.0},
    };
    for (auto c : cases) {
        VARIANT out;
        ASSERT_EQ(Change(Str(c.text), VT_DATE, &out), S_OK);
        EXPECT_EQ(out.vt, VT_DATE);
        EXPECT_NEAR(out.date, c.date, 1e-9);
    }
    VARIANT out;
    EXPECT_EQ(Change(Str(OS("not a date")), VT_DATE, &out), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(Change(Str(OS("13/45/2026")), VT_DATE, &out), DISP_E_TYPEMISMATCH);

    VARIANT d;
    VariantInit(&d);
    d.vt = VT_DATE;
    d.date = 46362.0 + 9.5 / 24;
    EXPECT_EQ(AsText(d), OleString(OS("12/6/2026 9:30:00 AM")));
    d.vt = VT_DATE;
    d.date = 46362.0;
    EXPECT_EQ(AsText(d), OleString(OS("12/6/2026")));
    d.vt = VT_DATE;
    d.date = 13.5 / 24;
    EXPECT_EQ(AsText(d), OleString(OS("1:30:00 PM")));
    d.vt = VT_DATE;
    d.date = 0.0;
    EXPECT_EQ(AsText(d), OleString(OS("12:00:00 AM")));
    d.vt = VT_DATE;
    d.date = -1.25;
    EXPECT_EQ(AsText(d), OleString(OS("12/29/1899 6:00:00 AM")));
}

TEST(VariantConversion, ReferencesAndInPlace) {
    SHORT value = 7;
    VARIANT ref, out;
    VariantInit(&ref);
    ref.vt = VT_I2 | VT_BYREF;
    ref.piVal = &value;
    VariantInit(&out);
    ASSERT_EQ(VariantChangeType(&out, &ref, 0, VT_BSTR), S_OK);
    EXPECT_EQ(Text(out.bstrVal), OleString(OS("7")));
    VariantClear(&out);

    VARIANT v = Str(OS("12"));
    ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_I4), S_OK);
    EXPECT_EQ(v.vt, VT_I4);
    EXPECT_EQ(v.lVal, 12);
    ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_BSTR), S_OK);
    EXPECT_EQ(Text(v.bstrVal), OleString(OS("12")));
    VariantClear(&v);
}

TEST(VariantConversion, ObjectsGiveTheirValueProperty) {
    VARIANT value = I4(42);
    ValueObject object(value);
    VARIANT src;
    VariantInit(&src);
    src.vt = VT_DISPATCH;
    src.pdispVal = &object;
    VARIANT out;
    VariantInit(&out);
    ASSERT_EQ(VariantChangeType(&out, &src, 0, VT_BSTR), S_OK);
    EXPECT_EQ(Text(out.bstrVal), OleString(OS("42")));
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

TEST(VariantConversion, ByteArraysAndStrings) {
    VARIANT src = Str(OS("AB")), out;
    ASSERT_EQ(Change(src, VT_ARRAY | VT_UI1, &out), S_OK);
    ASSERT_NE(out.parray, nullptr);
    EXPECT_EQ(out.parray->rgsabound[0].cElements, 4u);
    EXPECT_EQ(static_cast<BYTE *>(out.parray->pvData)[0], 'A');
    VARIANT back;
    ASSERT_EQ(Change(out, VT_BSTR, &back), S_OK);
    EXPECT_EQ(Text(back.bstrVal), OleString(OS("AB")));
    VariantClear(&back);
}

}  // namespace
