// What the compiled clients of the registered DLL share: BSTR texts, interface
// pointers, and the command line (gtest flags, then the DLL's and the type
// library's Windows paths).
#pragma once

#include <gtest/gtest.h>
#include <wrl/client.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "component/surface.h"

namespace client {

inline std::wstring g_dll, g_tlb;

inline std::wstring Wide(const char *s) { return std::wstring(s, s + std::strlen(s)); }

inline std::wstring Take(BSTR b) {
    std::wstring r = b ? std::wstring(b, SysStringLen(b)) : std::wstring();
    SysFreeString(b);
    return r;
}

inline std::wstring BaseName(const std::wstring &path) { return path.substr(path.find_last_of(L"\\/") + 1); }

template <typename T>
using Ref = Microsoft::WRL::ComPtr<T>;

// gtest's flags, then the paths; `needed` of them must be there.
inline int Main(int argc, char **argv, int needed, const char *usage) {
    ::testing::InitGoogleTest(&argc, argv);
    if (argc > 1) g_dll = Wide(argv[1]);
    if (argc > 2) g_tlb = Wide(argv[2]);
    if (argc <= needed) {
        std::fprintf(stderr, "usage: %s\n", usage);
        return 2;
    }
    if (FAILED(CoInitialize(nullptr))) return 2;
    int rc = RUN_ALL_TESTS();
    CoUninitialize();
    return rc;
}

}  // namespace client
