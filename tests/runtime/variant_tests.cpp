// VARIANT lifetime, copies and conversions, as the system's automation library gives them.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "runtime_test_support.h"

namespace {

bool Same(const VARIANT &a, const VARIANT &b) {
    if (a.vt != b.vt) return false;
    if (a.vt == VT_BSTR) return Text(a.bstrVal) == Text(b.bstrVal);
    if (a.vt == VT_R8 || a.vt == VT_DATE) return std::fabs(a.dblVal - b.dblVal) < 1e-9;
    return a.vt == VT_I4 ? a.lVal == b.lVal : a.vt == VT_UI1 ? a.bVal == b.bVal : a.iVal == b.iVal;
}

TEST(Variant, ConversionTable) {
    struct Row {
        VARIANT in;
        VARTYPE to;
        HRESULT hr;
        VARIANT out = MakeVar(VT_EMPTY);
        USHORT flags = 0;
    };
    const double day = 46362.0;  // 6 December 2026
    const HRESULT over = DISP_E_OVERFLOW, type = DISP_E_TYPEMISMATCH;
    SHORT seven = 7;
    // clang-format off
    std::vector<Row> rows = {
        // integer ranges; reals round half to even
        {I4(-32769), VT_I2, over}, {I4(-32768), VT_I2, S_OK, I2(-32768)}, {I4(32767), VT_I2, S_OK, I2(32767)},
        {I4(256), VT_UI1, over}, {I4(-1), VT_UI1, over}, {R8(2147483648.0), VT_I4, over}, {R8(1e300), VT_DATE, over},
        {Str(OS("40000")), VT_I2, over}, {R8(2.5), VT_I4, S_OK, I4(2)}, {R8(3.5), VT_I4, S_OK, I4(4)},
        {R8(-2.5), VT_I2, S_OK, I2(-2)}, {R8(2.5001), VT_I2, S_OK, I2(3)}, {R8(255.4), VT_UI1, S_OK, MakeVar(VT_UI1, BYTE(255))},
        // empty, null and text that is no number
        {MakeVar(VT_EMPTY), VT_I2, S_OK, I2(0)}, {MakeVar(VT_EMPTY), VT_BOOL, S_OK, Bool(false)},
        {MakeVar(VT_EMPTY), VT_BSTR, S_OK, Str(OS(""))}, {MakeVar(VT_NULL), VT_I2, type}, {MakeVar(VT_NULL), VT_BSTR, type},
        {Str(OS("abc")), VT_I4, type}, {Str(OS("")), VT_I4, type}, {Str(OS("12x")), VT_R8, type},
        {Str(OS("abc")), VT_BOOL, type},
        // booleans
        {Bool(true), VT_I2, S_OK, I2(-1)}, {I4(5), VT_BOOL, S_OK, Bool(true)}, {R8(0.0), VT_BOOL, S_OK, Bool(false)},
        {Str(OS("True")), VT_BOOL, S_OK, Bool(true)}, {Str(OS("false")), VT_BOOL, S_OK, Bool(false)},
        {Str(OS("0")), VT_BOOL, S_OK, Bool(false)}, {Bool(true), VT_BSTR, S_OK, Str(OS("True")), VARIANT_ALPHABOOL},
        {Bool(false), VT_BSTR, S_OK, Str(OS("False")), VARIANT_ALPHABOOL}, {Bool(true), VT_BSTR, S_OK, Str(OS("-1"))},
        // numbers and text
        {R8(1.5), VT_BSTR, S_OK, Str(OS("1.5"))}, {R8(-0.25), VT_BSTR, S_OK, Str(OS("-0.25"))},
        {R8(100.0), VT_BSTR, S_OK, Str(OS("100"))}, {R8(1.0 / 3.0), VT_BSTR, S_OK, Str(OS("0.333333333333333"))},
        {I4(-123456), VT_BSTR, S_OK, Str(OS("-123456"))}, {Str(OS(" 42 ")), VT_I4, S_OK, I4(42)},
        {Str(OS("2.5")), VT_I2, S_OK, I2(2)}, {Str(OS("-1.25E2")), VT_R8, S_OK, R8(-125.0)},
        {Str(OS("&HFF")), VT_I4, S_OK, I4(255)}, {MakeVar(VT_I2 | VT_BYREF, &seven), VT_BSTR, S_OK, Str(OS("7"))},
        // dates and text
        {Str(OS("2026-12-06")), VT_DATE, S_OK, Date(day)}, {Str(OS("12/6/2026")), VT_DATE, S_OK, Date(day)},
        {Str(OS("12/6/2026 9:30:00 AM")), VT_DATE, S_OK, Date(day + 9.5 / 24)},
        {Str(OS("12/6/2026 9:30 PM")), VT_DATE, S_OK, Date(day + 21.5 / 24)},
        {Str(OS("9:30")), VT_DATE, S_OK, Date(9.5 / 24)}, {Str(OS("12:00:00 AM")), VT_DATE, S_OK, Date(0.0)},
        {Str(OS("not a date")), VT_DATE, type}, {Str(OS("13/45/2026")), VT_DATE, type},
        {Date(day + 9.5 / 24), VT_BSTR, S_OK, Str(OS("12/6/2026 9:30:00 AM"))},
        {Date(day), VT_BSTR, S_OK, Str(OS("12/6/2026"))}, {Date(13.5 / 24), VT_BSTR, S_OK, Str(OS("1:30:00 PM"))},
        {Date(0.0), VT_BSTR, S_OK, Str(OS("12:00:00 AM"))},
        {Date(-1.25), VT_BSTR, S_OK, Str(OS("12/29/1899 6:00:00 AM"))},
    };
    // clang-format on
    for (std::size_t i = 0; i < rows.size(); ++i) {
        Row &r = rows[i];
        VARIANT got = Str(OS("kept"));  // a failing conversion leaves the destination alone
        EXPECT_EQ(VariantChangeType(&got, &r.in, r.flags, r.to), r.hr) << "row " << i;
        EXPECT_TRUE(r.hr == S_OK ? Same(got, r.out) : got.vt == VT_BSTR && Text(got.bstrVal) == OS("kept"))
            << "row " << i;
        for (VARIANT *v : {&got, &r.in, &r.out}) VariantClear(v);
    }
}

// In place; a string to a byte array is its UTF-16 bytes, and back; an object gives its value property.
TEST(Variant, ConversionInPlaceBytesAndObjects) {
    VARIANT v = Str(OS("12")), text = Str(OS("AB")), bytes = MakeVar(VT_EMPTY), back = bytes;
    EXPECT_EQ((Results{VariantChangeType(&v, &v, 0, VT_I4), v.vt, v.lVal, VariantChangeType(&v, &v, 0, VT_BSTR),
                       Text(v.bstrVal) == OS("12"), VariantChangeType(&bytes, &text, 0, VT_ARRAY | VT_UI1),
                       bytes.parray->rgsabound[0].cElements, static_cast<BYTE *>(bytes.parray->pvData)[0],
                       VariantChangeType(&back, &bytes, 0, VT_BSTR), Text(back.bstrVal) == OS("AB")}),
              (Results{S_OK, VT_I4, 12, S_OK, true, S_OK, 4, 'A', S_OK, true}));
    for (VARIANT *x : {&v, &text, &bytes, &back}) VariantClear(x);

    ValueObject object(I4(42));
    VARIANT src = MakeVar(VT_DISPATCH, static_cast<IDispatch *>(&object)), out = MakeVar(VT_EMPTY), unk = out;
    EXPECT_EQ((Results{VariantChangeType(&out, &src, 0, VT_BSTR), Text(out.bstrVal) == OS("42"), object.invokes,
                       VariantClear(&out), VariantChangeType(&out, &src, VARIANT_NOVALUEPROP, VT_I4), object.invokes,
                       VariantChangeType(&unk, &src, 0, VT_UNKNOWN), unk.vt, object.refs(), VariantClear(&unk),
                       object.refs()}),
              (Results{S_OK, true, 1, S_OK, DISP_E_TYPEMISMATCH, 1, S_OK, VT_UNKNOWN, 2, S_OK, 1}));
}

TEST(Variant, ClearAndCopyOwnWhatTheyShould) {
    ValueObject unk;
    VARIANT v = MakeVar(VT_UNKNOWN, static_cast<IUnknown *>(&unk)), dst = I4(1), s = Str(OS("text")), copy = dst;
    VARIANT a = MakeVar(VT_ARRAY | VT_I4, SafeArrayCreateVector(VT_I4, 0, 2)), array = dst;
    EXPECT_EQ(
        (Results{VariantCopy(&dst, &v), unk.refs(), VariantClear(&dst), dst.vt, unk.refs(), VariantCopy(&copy, &s),
                 copy.bstrVal != s.bstrVal && Text(copy.bstrVal) == OS("text"), VariantCopy(&array, &a),
                 array.parray != a.parray && array.parray->rgsabound[0].cElements == 2u}),
        (Results{S_OK, 2, S_OK, VT_EMPTY, 1, S_OK, true, S_OK, true}));
    for (VARIANT *x : {&copy, &s, &array, &a}) VariantClear(x);

    // References are not owned; VariantCopyInd follows them, also in place.
    BSTR owned = SysAllocString(OS("mine"));
    v = MakeVar(VT_BSTR | VT_BYREF, &owned);
    EXPECT_TRUE(VariantClear(&v) == S_OK && Text(owned) == OS("mine"));
    VARIANT inner = I4(42);
    for (VARIANT *target : {&dst, &v}) {
        v = MakeVar(VT_BSTR | VT_BYREF, &owned);
        EXPECT_TRUE(VariantCopyInd(target, &v) == S_OK && target->vt == VT_BSTR && target->bstrVal != owned &&
                    Text(target->bstrVal) == OS("mine"));
        VariantClear(target);
    }
    v = MakeVar(VT_VARIANT | VT_BYREF, &inner);
    ASSERT_EQ(VariantCopyInd(&dst, &v), S_OK);
    EXPECT_TRUE(Same(dst, I4(42)));
    SysFreeString(owned);

    VARIANT bad = MakeVar(15), badRef = MakeVar(VT_EMPTY | VT_BYREF);
    dst = I4(3);
    EXPECT_EQ((Results{VariantCopy(&dst, &bad), VariantClear(&bad), VariantClear(&badRef)}),
              (Results{DISP_E_BADVARTYPE, DISP_E_BADVARTYPE, DISP_E_BADVARTYPE}));
}

}  // namespace
