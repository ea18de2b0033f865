// The test in-process server of the activation tests: one class whose
// objects share one counter.
#pragma once

#include <windows.h>

// {6B1E4A53-2C7D-4F0E-9A35-7E21C0D4B8F1}
constexpr CLSID kCounterClsid = {0x6B1E4A53, 0x2C7D, 0x4F0E, {0x9A, 0x35, 0x7E, 0x21, 0xC0, 0xD4, 0xB8, 0xF1}};
// {0F3C9D27-81A4-4B6E-B2D0-5C8E7A1F3946}
constexpr IID kCounterIid = {0x0F3C9D27, 0x81A4, 0x4B6E, {0xB2, 0xD0, 0x5C, 0x8E, 0x7A, 0x1F, 0x39, 0x46}};

struct ICounter : public IUnknown {
    // The next number of the server's one counter (1 after the server is loaded).
    virtual HRESULT STDMETHODCALLTYPE Next(LONG *value) = 0;
};
