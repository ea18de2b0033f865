// Safe arrays: layout, bounds, locking, resizing and element copies.
#include "runtime_test_support.h"

#include <gtest/gtest.h>

namespace {

TEST(SafeArray, DescriptorKeepsBoundsRightmostFirst) {
    SAFEARRAYBOUND bounds[2] = {{2, 0}, {3, 10}};
    SAFEARRAY *psa = SafeArrayCreate(VT_I4, 2, bounds);
    ASSERT_NE(psa, nullptr);
    EXPECT_EQ(SafeArrayGetDim(psa), 2u);
    EXPECT_EQ(SafeArrayGetElemsize(psa), 4u);
    EXPECT_EQ(psa->rgsabound[0].cElements, 3u);
    EXPECT_EQ(psa->rgsabound[0].lLbound, 10);
    EXPECT_EQ(psa->rgsabound[1].cElements, 2u);
    LONG lb = -1, ub = -1;
    ASSERT_EQ(SafeArrayGetLBound(psa, 2, &lb), S_OK);
    ASSERT_EQ(SafeArrayGetUBound(psa, 2, &ub), S_OK);
    EXPECT_EQ(lb, 10);
    EXPECT_EQ(ub, 12);
    ASSERT_EQ(SafeArrayGetUBound(psa, 1, &ub), S_OK);
    EXPECT_EQ(ub, 1);
    EXPECT_EQ(SafeArrayGetLBound(psa, 0, &lb), DISP_E_BADINDEX);
    EXPECT_EQ(SafeArrayGetUBound(psa, 3, &ub), DISP_E_BADINDEX);
    VARTYPE vt = VT_EMPTY;
    ASSERT_EQ(SafeArrayGetVartype(psa, &vt), S_OK);
    EXPECT_EQ(vt, VT_I4);
    EXPECT_TRUE(psa->fFeatures & FADF_HAVEVARTYPE);
    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
}

TEST(SafeArray, FirstIndexVariesFastest) {
    SAFEARRAYBOUND bounds[2] = {{2, 0}, {3, 10}};
    SAFEARRAY *psa = SafeArrayCreate(VT_I4, 2, bounds);
    LONG idx[2] = {1, 12};
    LONG value = 99;
    ASSERT_EQ(SafeArrayPutElement(psa, idx, &value), S_OK);
    LONG *data = nullptr;
    ASSERT_EQ(SafeArrayAccessData(psa, reinterpret_cast<void **>(&data)), S_OK);
    EXPECT_EQ(data[1 + (12 - 10) * 2], 99);
    EXPECT_EQ(SafeArrayUnaccessData(psa), S_OK);
    LONG got = 0;
    ASSERT_EQ(SafeArrayGetElement(psa, idx, &got), S_OK);
    EXPECT_EQ(got, 99);
    LONG outside[2][2] = {{2, 10}, {0, 9}};
    EXPECT_EQ(SafeArrayGetElement(psa, outside[0], &got), DISP_E_BADINDEX);
    EXPECT_EQ(SafeArrayPutElement(psa, outside[1], &value), DISP_E_BADINDEX);
    SafeArrayDestroy(psa);
}

TEST(SafeArray, NegativeLowerBoundVector) {
    SAFEARRAY *psa = SafeArrayCreateVector(VT_I2, -5, 3);
    ASSERT_NE(psa, nullptr);
    LONG lb, ub;
    SafeArrayGetLBound(psa, 1, &lb);
    SafeArrayGetUBound(psa, 1, &ub);
    EXPECT_EQ(lb, -5);
    EXPECT_EQ(ub, -3);
    SHORT v = 4;
    LONG i = -3;
    EXPECT_EQ(SafeArrayPutElement(psa, &i, &v), S_OK);
    i = -2;
    EXPECT_EQ(SafeArrayPutElement(psa, &i, &v), DISP_E_BADINDEX);
    EXPECT_EQ(static_cast<SHORT *>(psa->pvData)[2], 4);
    SafeArrayDestroy(psa);
}

TEST(SafeArray, RefusesUnusableTypes) {
    SAFEARRAYBOUND b = {1, 0};
    EXPECT_EQ(SafeArrayCreate(VT_EMPTY, 1, &b), nullptr);
    EXPECT_EQ(SafeArrayCreate(VT_NULL, 1, &b), nullptr);
    EXPECT_EQ(SafeArrayCreate(VT_I4, 0, &b), nullptr);
}

TEST(SafeArray, LockingRules) {
    SAFEARRAY *psa = SafeArrayCreateVector(VT_I4, 0, 4);
    EXPECT_EQ(SafeArrayUnlock(psa), E_UNEXPECTED);
    ASSERT_EQ(SafeArrayLock(psa), S_OK);
    EXPECT_EQ(SafeArrayDestroy(psa), DISP_E_ARRAYISLOCKED);
    SAFEARRAYBOUND nb = {8, 0};
    EXPECT_EQ(SafeArrayRedim(psa, &nb), DISP_E_ARRAYISLOCKED);
    void *data;
    ASSERT_EQ(SafeArrayAccessData(psa, &data), S_OK);
    EXPECT_EQ(psa->cLocks, 2u);
    EXPECT_EQ(SafeArrayUnaccessData(psa), S_OK);
    EXPECT_EQ(SafeArrayUnlock(psa), S_OK);
    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
    EXPECT_EQ(SafeArrayDestroy(nullptr), S_OK);
}

TEST(SafeArray, RedimKeepsElementsAndHonoursFixedSize) {
    SAFEARRAY *psa = SafeArrayCreateVector(VT_BSTR, 1, 3);
    for (LONG i = 1; i <= 3; ++i) {
        BSTR s = SysAllocString(i == 1 ? OS("one") : i == 2 ? OS("two") : OS("three"));
        ASSERT_EQ(SafeArrayPutElement(psa, &i, s), S_OK);
        SysFreeString(s);
    }
    SAFEARRAYBOUND grow = {5, 1};
    ASSERT_EQ(SafeArrayRedim(psa, &grow), S_OK);
    LONG ub;
    SafeArrayGetUBound(psa, 1, &ub);
    EXPECT_EQ(ub, 5);
    BSTR got = nullptr;
    LONG i = 3;
    ASSERT_EQ(SafeArrayGetElement(psa, &i, &got), S_OK);
    EXPECT_EQ(Text(got), OleString(OS("three")));
    SysFreeString(got);
    i = 5;
    ASSERT_EQ(SafeArrayGetElement(psa, &i, &got), S_OK);
    EXPECT_EQ(got, nullptr);
    SAFEARRAYBOUND shrink = {1, 1};
    ASSERT_EQ(SafeArrayRedim(psa, &shrink), S_OK);
    i = 2;
    EXPECT_EQ(SafeArrayGetElement(psa, &i, &got), DISP_E_BADINDEX);

    psa->fFeatures |= FADF_FIXEDSIZE;
    EXPECT_EQ(SafeArrayRedim(psa, &grow), DISP_E_ARRAYISLOCKED);
    psa->fFeatures &= ~FADF_FIXEDSIZE;
    SafeArrayDestroy(psa);
}

TEST(SafeArray, RedimChangesTheLastDimension) {
    SAFEARRAYBOUND bounds[2] = {{2, 0}, {2, 0}};
    SAFEARRAY *psa = SafeArrayCreate(VT_I4, 2, bounds);
    LONG idx[2] = {1, 1};
    LONG v = 5;
    SafeArrayPutElement(psa, idx, &v);
    SAFEARRAYBOUND nb = {4, 0};
    ASSERT_EQ(SafeArrayRedim(psa, &nb), S_OK);
    LONG ub1, ub2;
    SafeArrayGetUBound(psa, 1, &ub1);
    SafeArrayGetUBound(psa, 2, &ub2);
    EXPECT_EQ(ub1, 1);
    EXPECT_EQ(ub2, 3);
    LONG got = 0;
    ASSERT_EQ(SafeArrayGetElement(psa, idx, &got), S_OK);
    EXPECT_EQ(got, 5);
    SafeArrayDestroy(psa);
}

TEST(SafeArray, ElementsOfReferenceTypesAreCopied) {
    SAFEARRAY *psa = SafeArrayCreateVector(VT_VARIANT, 0, 1);
    VARTYPE vt;
    SafeArrayGetVartype(psa, &vt);
    EXPECT_EQ(vt, VT_VARIANT);
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(OS("inside"));
    LONG i = 0;
    ASSERT_EQ(SafeArrayPutElement(psa, &i, &v), S_OK);
    VariantClear(&v);
    VARIANT got;
    ASSERT_EQ(SafeArrayGetElement(psa, &i, &got), S_OK);
    EXPECT_EQ(got.vt, VT_BSTR);
    EXPECT_EQ(Text(got.bstrVal), OleString(OS("inside")));
    VariantClear(&got);
    SafeArrayDestroy(psa);

    CountedUnknown unk;
    psa = SafeArrayCreateVector(VT_UNKNOWN, 0, 2);
    SafeArrayGetVartype(psa, &vt);
    EXPECT_EQ(vt, VT_UNKNOWN);
    ASSERT_EQ(SafeArrayPutElement(psa, &i, &unk), S_OK);
    EXPECT_EQ(unk.refs(), 2u);
    IUnknown *out = nullptr;
    ASSERT_EQ(SafeArrayGetElement(psa, &i, &out), S_OK);
    EXPECT_EQ(out, &unk);
    EXPECT_EQ(unk.refs(), 3u);
    out->Release();
    SAFEARRAY *copy = nullptr;
    ASSERT_EQ(SafeArrayCopy(psa, &copy), S_OK);
    EXPECT_EQ(unk.refs(), 3u);
    SafeArrayDestroy(copy);
    SafeArrayDestroy(psa);
    EXPECT_EQ(unk.refs(), 1u);
}

TEST(SafeArray, CopyIsIndependent) {
    SAFEARRAYBOUND bounds[2] = {{2, 3}, {2, -1}};
    SAFEARRAY *psa = SafeArrayCreate(VT_BSTR, 2, bounds);
    LONG idx[2] = {4, 0};
    BSTR s = SysAllocString(OS("orig"));
    SafeArrayPutElement(psa, idx, s);
    SysFreeString(s);
    SAFEARRAY *copy = nullptr;
    ASSERT_EQ(SafeArrayCopy(psa, &copy), S_OK);
    SafeArrayDestroy(psa);
    LONG lb;
    SafeArrayGetLBound(copy, 2, &lb);
    EXPECT_EQ(lb, -1);
    BSTR got = nullptr;
    ASSERT_EQ(SafeArrayGetElement(copy, idx, &got), S_OK);
    EXPECT_EQ(Text(got), OleString(OS("orig")));
    SysFreeString(got);
    SafeArrayDestroy(copy);
    SAFEARRAY *none = reinterpret_cast<SAFEARRAY *>(1);
    EXPECT_EQ(SafeArrayCopy(nullptr, &none), S_OK);
    EXPECT_EQ(none, nullptr);
}

}  // namespace
