// Error objects per thread, identifiers and apartments.
#include <gtest/gtest.h>

#include <thread>

#include "runtime_test_support.h"

namespace {

IErrorInfo *MakeError(const OLECHAR *description) {
    ICreateErrorInfo *create = nullptr;
    EXPECT_EQ(CreateErrorInfo(&create), S_OK);
    create->SetDescription(const_cast<LPOLESTR>(description));
    IErrorInfo *info = nullptr;
    EXPECT_EQ(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void **>(&info)), S_OK);
    EXPECT_EQ(create->Release(), 1u);
    return info;
}

OleString Description(IErrorInfo *info) {
    BSTR d = nullptr;
    EXPECT_EQ(info->GetDescription(&d), S_OK);
    OleString out = Text(d);
    SysFreeString(d);
    return out;
}

TEST(ErrorInfo, OneObjectUnderBothInterfaces) {
    IErrorInfo *info = MakeError(OS("text"));
    ICreateErrorInfo *create = nullptr;
    ASSERT_EQ(info->QueryInterface(IID_ICreateErrorInfo, reinterpret_cast<void **>(&create)), S_OK);
    IUnknown *a = nullptr, *b = nullptr;
    info->QueryInterface(IID_IUnknown, reinterpret_cast<void **>(&a));
    create->QueryInterface(IID_IUnknown, reinterpret_cast<void **>(&b));
    EXPECT_EQ(a, b);
    a->Release();
    b->Release();
    void *none = reinterpret_cast<void *>(1);
    EXPECT_EQ(info->QueryInterface(IID_IClassFactory, &none), E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(Description(info), OS("text"));
    create->Release();
    EXPECT_EQ(info->Release(), 0u);
}

TEST(ErrorInfo, SlotIsHandedOverOnceAndIsPerThread) {
    IErrorInfo *info = MakeError(OS("main thread"));
    ASSERT_EQ(SetErrorInfo(0, info), S_OK);
    info->Release();  // the slot holds its own reference
    std::thread([] {
        IErrorInfo *seen = reinterpret_cast<IErrorInfo *>(1);
        EXPECT_EQ(GetErrorInfo(0, &seen), S_FALSE);
        EXPECT_EQ(seen, nullptr);
        IErrorInfo *mine = MakeError(OS("other thread"));
        SetErrorInfo(0, mine);
        mine->Release();
        IErrorInfo *back = nullptr;
        ASSERT_EQ(GetErrorInfo(0, &back), S_OK);
        EXPECT_EQ(Description(back), OS("other thread"));
        back->Release();
    }).join();
    IErrorInfo *got = nullptr;
    ASSERT_EQ(GetErrorInfo(0, &got), S_OK);
    EXPECT_EQ(Description(got), OS("main thread"));
    got->Release();
    EXPECT_EQ(GetErrorInfo(0, &got), S_FALSE);
    EXPECT_EQ(got, nullptr);
    info = MakeError(OS("x"));
    SetErrorInfo(0, info);
    EXPECT_EQ(info->Release(), 1u);
    ASSERT_EQ(SetErrorInfo(0, nullptr), S_OK);  // clears the slot
    EXPECT_EQ(GetErrorInfo(0, &got), S_FALSE);
}

TEST(Guids, TextBothWays) {
    const GUID g = {0x148BD52A, 0xA2AB, 0x11CE, {0xB1, 0x1F, 0x00, 0xAA, 0x00, 0x53, 0x05, 0x03}};
    OLECHAR text[40];
    ASSERT_EQ(StringFromGUID2(g, text, 40), 39);
    EXPECT_EQ(OleString(text), OS("{148BD52A-A2AB-11CE-B11F-00AA00530503}"));
    EXPECT_EQ(StringFromGUID2(g, text, 38), 0);
    for (const OLECHAR *good :
         {OS("{148BD52A-A2AB-11CE-B11F-00AA00530503}"), OS("{148bd52a-a2ab-11ce-b11f-00aa00530503}")}) {
        CLSID c{};
        IID i{};
        EXPECT_TRUE(CLSIDFromString(good, &c) == S_OK && IsEqualGUID(c, g));
        EXPECT_TRUE(IIDFromString(good, &i) == S_OK && IsEqualGUID(i, g));
    }
    CLSID c = {1, 2, 3, {4}};
    ASSERT_EQ(CLSIDFromString(nullptr, &c), S_OK);
    EXPECT_TRUE(IsEqualGUID(c, CLSID_NULL));
    for (const OLECHAR *bad : {
             OS("148BD52A-A2AB-11CE-B11F-00AA00530503"),     // no braces
             OS("{148BD52A-A2AB-11CE-B11F-00AA0053050}"),    // short
             OS("{148BD52A-A2AB-11CE-B11F-00AA005305033}"),  // long
             OS("{148BD52A+A2AB-11CE-B11F-00AA00530503}"),   // separator
             OS("{148BD52G-A2AB-11CE-B11F-00AA00530503}"),   // not hex
         }) {
        IID i;
        EXPECT_EQ(CLSIDFromString(bad, &c), CO_E_CLASSSTRING);
        EXPECT_TRUE(FAILED(IIDFromString(bad, &i)));
    }
    GUID a{}, b{};
    ASSERT_EQ(CoCreateGuid(&a), S_OK);
    ASSERT_EQ(CoCreateGuid(&b), S_OK);
    EXPECT_FALSE(IsEqualGUID(a, b));
    EXPECT_EQ(a.Data3 & 0xF000, 0x4000);  // random, version 4
    EXPECT_EQ(a.Data4[0] & 0xC0, 0x80);
}

TEST(Apartments, CountedPerThreadWithOneModel) {
    std::thread([] {
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        EXPECT_EQ(CoInitialize(nullptr), S_FALSE);
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
        CoUninitialize();
        CoUninitialize();
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);  // fully uninitialised: another model
        CoUninitialize();
    }).join();
    std::thread([] {
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        CoUninitialize();
    }).join();
}

}  // namespace
