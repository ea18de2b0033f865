// Error objects per thread, identifiers and apartments.
#include "runtime_test_support.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

IErrorInfo *MakeError(const OLECHAR *description) {
    ICreateErrorInfo *create = nullptr;
    EXPECT_EQ(CreateErrorInfo(&create), S_OK);
    create->SetDescription(const_cast<LPOLESTR>(description));
    IErrorInfo *info = nullptr;
    EXPECT_EQ(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void **>(&info)), S_OK);
    create->Release();
    return info;
}

OleString Description(IErrorInfo *info) {
    BSTR d = nullptr;
    EXPECT_EQ(info->GetDescription(&d), S_OK);
    OleString out = Text(d);
    SysFreeString(d);
    return out;
}

TEST(ErrorInfo, ObjectCarriesWhatWasSetAndAnswersBothInterfaces) {
    ICreateErrorInfo *create = nullptr;
    ASSERT_EQ(CreateErrorInfo(&create), S_OK);
    ASSERT_EQ(create->SetSource(const_cast<LPOLESTR>(OS("Source"))), S_OK);
    ASSERT_EQ(create->SetGUID(IID_IDispatch), S_OK);
    ASSERT_EQ(create->SetHelpContext(17), S_OK);
    IErrorInfo *info = nullptr;
    ASSERT_EQ(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void **>(&info)), S_OK);
    ICreateErrorInfo *again = nullptr;
    ASSERT_EQ(info->QueryInterface(IID_ICreateErrorInfo, reinterpret_cast<void **>(&again)), S_OK);
    IUnknown *a = nullptr, *b = nullptr;
    info->QueryInterface(IID_IUnknown, reinterpret_cast<void **>(&a));
    create->QueryInterface(IID_IUnknown, reinterpret_cast<void **>(&b));
    EXPECT_EQ(a, b);  // one identity
    a->Release();
    b->Release();
    void *none = reinterpret_cast<void *>(1);
    EXPECT_EQ(info->QueryInterface(IID_IClassFactory, &none), E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);
    BSTR source = nullptr;
    ASSERT_EQ(info->GetSource(&source), S_OK);
    EXPECT_EQ(Text(source), OleString(OS("Source")));
    SysFreeString(source);
    GUID guid{};
    info->GetGUID(&guid);
    EXPECT_TRUE(IsEqualGUID(guid, IID_IDispatch));
    DWORD context = 0;
    info->GetHelpContext(&context);
    EXPECT_EQ(context, 17u);
    again->Release();
    info->Release();
    EXPECT_EQ(create->Release(), 0u);
}

TEST(ErrorInfo, SlotIsHandedOverOnceAndIsPerThread) {
    IErrorInfo *info = MakeError(OS("main thread"));
    ASSERT_EQ(SetErrorInfo(0, info), S_OK);
    info->Release();  // the slot holds its own reference

    std::thread other([] {
        IErrorInfo *seen = reinterpret_cast<IErrorInfo *>(1);
        EXPECT_EQ(GetErrorInfo(0, &seen), S_FALSE);
        EXPECT_EQ(seen, nullptr);
        IErrorInfo *mine = MakeError(OS("other thread"));
        SetErrorInfo(0, mine);
        mine->Release();
        IErrorInfo *back = nullptr;
        ASSERT_EQ(GetErrorInfo(0, &back), S_OK);
        EXPECT_EQ(Description(back), OleString(OS("other thread")));
        back->Release();
    });
    other.join();

    IErrorInfo *got = nullptr;
    ASSERT_EQ(GetErrorInfo(0, &got), S_OK);
    EXPECT_EQ(Description(got), OleString(OS("main thread")));
    got->Release();
    EXPECT_EQ(GetErrorInfo(0, &got), S_FALSE);
    EXPECT_EQ(got, nullptr);
}

TEST(ErrorInfo, SettingNullClearsTheSlot) {
    IErrorInfo *info = MakeError(OS("x"));
    SetErrorInfo(0, info);
    info->Release();
    ASSERT_EQ(SetErrorInfo(0, nullptr), S_OK);
    IErrorInfo *got = nullptr;
    EXPECT_EQ(GetErrorInfo(0, &got), S_FALSE);
}

TEST(Guids, FormatAndParseRoundTrip) {
    const GUID g = {0x148BD52A, 0xA2AB, 0x11CE, {0xB1, 0x1F, 0x00, 0xAA, 0x00, 0x53, 0x05, 0x03}};
    OLECHAR text[40];
    ASSERT_EQ(StringFromGUID2(g, text, 40), 39);
    EXPECT_EQ(OleString(text), OleString(OS("{148BD52A-A2AB-11CE-B11F-00AA00530503}")));
    EXPECT_EQ(StringFromGUID2(g, text, 38), 0);
    CLSID back{};
    ASSERT_EQ(CLSIDFromString(text, &back), S_OK);
    EXPECT_TRUE(IsEqualGUID(back, g));
    ASSERT_EQ(CLSIDFromString(OS("{148bd52a-a2ab-11ce-b11f-00aa00530503}"), &back), S_OK);
    EXPECT_TRUE(IsEqualGUID(back, g));
    IID iid{};
    ASSERT_EQ(IIDFromString(text, &iid), S_OK);
    EXPECT_TRUE(IsEqualGUID(iid, g));
}

TEST(Guids, NullStringIsTheNullGuid) {
    CLSID c = {1, 2, 3, {4}};
    ASSERT_EQ(CLSIDFromString(nullptr, &c), S_OK);
    EXPECT_TRUE(IsEqualGUID(c, CLSID_NULL));
}

TEST(Guids, MalformedTextIsRefused) {
    const OLECHAR *bad[] = {
        OS("148BD52A-A2AB-11CE-B11F-00AA00530503"),    // no braces
        OS("{148BD52A-A2AB-11CE-B11F-00AA0053050}"),   // short
        OS("{148BD52A-A2AB-11CE-B11F-00AA005305033}"), // long
        OS("{148BD52A+A2AB-11CE-B11F-00AA00530503}"),  // separator
        OS("{148BD52G-A2AB-11CE-B11F-00AA00530503}"),  // not hex
    };
    for (const OLECHAR *s : bad) {
        CLSID c;
        EXPECT_EQ(CLSIDFromString(s, &c), CO_E_CLASSSTRING);
        IID i;
        EXPECT_TRUE(FAILED(IIDFromString(s, &i)));
    }
}

TEST(Guids, CreatedGuidsAreRandomVersion4) {
    GUID a{}, b{};
    ASSERT_EQ(CoCreateGuid(&a), S_OK);
    ASSERT_EQ(CoCreateGuid(&b), S_OK);
    EXPECT_FALSE(IsEqualGUID(a, b));
    EXPECT_EQ(a.Data3 & 0xF000, 0x4000);
    EXPECT_EQ(a.Data4[0] & 0xC0, 0x80);
}

TEST(Apartments, CountedPerThreadWithOneModel) {
    std::thread t([] {
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        EXPECT_EQ(CoInitialize(nullptr), S_FALSE);
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
        CoUninitialize();
        CoUninitialize();
        // Fully uninitialised: a different model is now accepted.
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        CoUninitialize();
    });
    t.join();
    std::thread u([] {
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        CoUninitialize();
    });
    u.join();
}

}  // namespace
