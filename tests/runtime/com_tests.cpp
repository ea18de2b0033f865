// Error objects per thread, identifiers and apartments.
#include <gtest/gtest.h>

#include <thread>

#include "runtime_test_support.h"

namespace {

IErrorInfo *MakeError(const OLECHAR *description) {
    ICreateErrorInfo *create = nullptr;
    IErrorInfo *info = nullptr;
    EXPECT_EQ((Results{CreateErrorInfo(&create), create->SetDescription(const_cast<LPOLESTR>(description)),
                       create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void **>(&info)), create->Release()}),
              (Results{S_OK, S_OK, S_OK, 1}));
    return info;
}

// One object under both interfaces; the slot holds its own reference, hands it over once, and belongs to the thread.
TEST(ErrorInfo, SlotIsHandedOverOnceAndIsPerThread) {
    IErrorInfo *info = MakeError(OS("main thread"));
    ICreateErrorInfo *create = nullptr;
    IUnknown *a = nullptr, *b = nullptr;
    void *none = reinterpret_cast<void *>(1);
    ASSERT_EQ(info->QueryInterface(IID_ICreateErrorInfo, reinterpret_cast<void **>(&create)), S_OK);
    EXPECT_EQ((Results{info->QueryInterface(IID_IUnknown, reinterpret_cast<void **>(&a)),
                       create->QueryInterface(IID_IUnknown, reinterpret_cast<void **>(&b)), a == b,
                       info->QueryInterface(IID_IClassFactory, &none), none == nullptr, create->Release(), a->Release(),
                       b->Release(), SetErrorInfo(0, info), info->Release()}),
              (Results{S_OK, S_OK, true, E_NOINTERFACE, true, 3, 2, 1, S_OK, 1}));
    std::thread([] { EXPECT_EQ(TakeErrorInfo(), "none"); }).join();
    EXPECT_EQ(TakeErrorInfo(), ": main thread (, 0)");
    info = MakeError(OS("x"));  // a null record clears the slot
    EXPECT_EQ((Results{TakeErrorInfo() == "none", SetErrorInfo(0, info), info->Release(), SetErrorInfo(0, nullptr),
                       TakeErrorInfo() == "none"}),
              (Results{true, S_OK, 1, S_OK, true}));
}

TEST(Guids, TextBothWays) {
    const GUID g = {0x148BD52A, 0xA2AB, 0x11CE, {0xB1, 0x1F, 0x00, 0xAA, 0x00, 0x53, 0x05, 0x03}};
    OLECHAR text[40];
    ASSERT_EQ(StringFromGUID2(g, text, 40), 39);
    EXPECT_EQ(OleString(text), OS("{148BD52A-A2AB-11CE-B11F-00AA00530503}"));
    EXPECT_EQ(StringFromGUID2(g, text, 38), 0);
    CLSID c{};
    IID i{};
    for (const OLECHAR *good :
         {OS("{148BD52A-A2AB-11CE-B11F-00AA00530503}"), OS("{148bd52a-a2ab-11ce-b11f-00aa00530503}")})
        EXPECT_TRUE(CLSIDFromString(good, &c) == S_OK && IsEqualGUID(c, g) && IIDFromString(good, &i) == S_OK &&
                    IsEqualGUID(i, g));
    EXPECT_TRUE(CLSIDFromString(nullptr, &c) == S_OK && IsEqualGUID(c, CLSID_NULL));
    for (const OLECHAR *bad :
         {OS("148BD52A-A2AB-11CE-B11F-00AA00530503"), OS("{148BD52A-A2AB-11CE-B11F-00AA0053050}"),
          OS("{148BD52A-A2AB-11CE-B11F-00AA005305033}"), OS("{148BD52A+A2AB-11CE-B11F-00AA00530503}"),
          OS("{148BD52G-A2AB-11CE-B11F-00AA00530503}")}) {  // no braces, short, long, -, not hex
        EXPECT_EQ(CLSIDFromString(bad, &c), CO_E_CLASSSTRING);
        EXPECT_TRUE(FAILED(IIDFromString(bad, &i)));
    }
    GUID a{}, b{};
    ASSERT_TRUE(CoCreateGuid(&a) == S_OK && CoCreateGuid(&b) == S_OK);
    EXPECT_FALSE(IsEqualGUID(a, b));
    EXPECT_TRUE((a.Data3 & 0xF000) == 0x4000 && (a.Data4[0] & 0xC0) == 0x80);  // random, version 4
}

TEST(Apartments, CountedPerThreadWithOneModel) {
    std::thread([] {
        EXPECT_EQ((Results{CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), CoInitialize(nullptr),
                           CoInitializeEx(nullptr, COINIT_MULTITHREADED),
                           (CoUninitialize(), CoUninitialize(), CoInitializeEx(nullptr, COINIT_MULTITHREADED))}),
                  (Results{S_OK, S_FALSE, RPC_E_CHANGED_MODE, S_OK}));  // fully uninitialised: another model
        CoUninitialize();
    }).join();
}

}  // namespace
