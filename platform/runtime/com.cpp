// Identifiers and apartments.
#include "internal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <random>

#ifndef CO_E_IIDSTRING
#define CO_E_IIDSTRING _HRESULT_TYPEDEF_(0x800401F4)
#endif

namespace {

bool RandomBytes(void *out, std::size_t n) {
    static int fd = -1;
    static std::once_flag once;
    std::call_once(once, [] { fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC); });
    auto *p = static_cast<unsigned char *>(out);
    if (fd >= 0) {
        std::size_t got = 0;
        while (got < n) {
            ssize_t r = read(fd, p + got, n - got);
            if (r > 0) {
                got += std::size_t(r);
            } else if (r < 0 && errno == EINTR) {
                continue;
            } else {
                break;
            }
        }
        if (got == n) return true;
    }
    try {
        std::random_device device;
        for (std::size_t i = 0; i < n; ++i) p[i] = static_cast<unsigned char>(device());
        return true;
    } catch (...) {
        return false;
    }
}

int HexValue(OLECHAR c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads `digits` hex digits at s; false unless all are hex.
bool ReadHex(const OLECHAR *s, int digits, std::uint64_t *value) {
    std::uint64_t v = 0;
    for (int i = 0; i < digits; ++i) {
        int h = HexValue(s[i]);
        if (h < 0) return false;
        v = (v << 4) | std::uint64_t(h);
    }
    *value = v;
    return true;
}

// The registry form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", nothing else.
bool ParseGuid(const OLECHAR *s, GUID *out) {
    for (int i = 0; i < 38; ++i)
        if (!s[i]) return false;
    if (s[38] != 0 || s[0] != '{' || s[9] != '-' || s[14] != '-' || s[19] != '-' || s[24] != '-' || s[37] != '}')
        return false;
    GUID g{};
    std::uint64_t v;
    if (!ReadHex(s + 1, 8, &v)) return false;
    g.Data1 = std::uint32_t(v);
    if (!ReadHex(s + 10, 4, &v)) return false;
    g.Data2 = std::uint16_t(v);
    if (!ReadHex(s + 15, 4, &v)) return false;
    g.Data3 = std::uint16_t(v);
    for (int i = 0; i < 2; ++i) {
        if (!ReadHex(s + 20 + 2 * i, 2, &v)) return false;
        g.Data4[i] = std::uint8_t(v);
    }
    for (int i = 0; i < 6; ++i) {
        if (!ReadHex(s + 25 + 2 * i, 2, &v)) return false;
        g.Data4[2 + i] = std::uint8_t(v);
    }
    *out = g;
    return true;
}

// The thread's apartment: how many initialisations are outstanding and of
// which concurrency model.
struct Apartment {
    unsigned long inits = 0;
    DWORD model = 0;
};
thread_local Apartment t_apartment;

}  // namespace

VQAPI HRESULT CoCreateGuid(GUID *pguid) {
    if (!pguid) return E_INVALIDARG;
    GUID g;
    if (!RandomBytes(&g, sizeof g)) return E_FAIL;
    // Version 4 (random), variant 10x of RFC 4122.
    g.Data3 = std::uint16_t((g.Data3 & 0x0FFF) | 0x4000);
    g.Data4[0] = std::uint8_t((g.Data4[0] & 0x3F) | 0x80);
    *pguid = g;
    return S_OK;
}

VQAPI HRESULT CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid) {
    if (!pclsid) return E_INVALIDARG;
    if (!lpsz) {
        *pclsid = CLSID_NULL;
        return S_OK;
    }
    if (ParseGuid(lpsz, pclsid)) return S_OK;
    *pclsid = CLSID_NULL;
    return CO_E_CLASSSTRING;
}

VQAPI HRESULT IIDFromString(LPCOLESTR lpsz, IID *lpiid) {
    if (!lpiid) return E_INVALIDARG;
    if (!lpsz) {
        *lpiid = IID_NULL;
        return S_OK;
    }
    if (lstrlenW(lpsz) != 38) return E_INVALIDARG;
    return ParseGuid(lpsz, lpiid) ? S_OK : CO_E_IIDSTRING;
}

VQAPI int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax) {
    if (!lpsz || cchMax < 39) return 0;
    static const char kHex[] = "0123456789ABCDEF";
    int pos = 0;
    auto put = [&](std::uint64_t v, int digits) {
        for (int i = digits - 1; i >= 0; --i) lpsz[pos++] = OLECHAR(kHex[(v >> (4 * i)) & 0xF]);
    };
    lpsz[pos++] = '{';
    put(rguid.Data1, 8);
    lpsz[pos++] = '-';
    put(rguid.Data2, 4);
    lpsz[pos++] = '-';
    put(rguid.Data3, 4);
    lpsz[pos++] = '-';
    put(rguid.Data4[0], 2);
    put(rguid.Data4[1], 2);
    lpsz[pos++] = '-';
    for (int i = 2; i < 8; ++i) put(rguid.Data4[i], 2);
    lpsz[pos++] = '}';
    lpsz[pos++] = 0;
    return pos;
}

VQAPI HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) {
    if (pvReserved) return E_INVALIDARG;
    const DWORD known = COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE | COINIT_SPEED_OVER_MEMORY;
    if (dwCoInit & ~known) return E_INVALIDARG;
    DWORD model = dwCoInit & COINIT_APARTMENTTHREADED;
    Apartment &apt = t_apartment;
    if (apt.inits == 0) {
        apt.model = model;
        apt.inits = 1;
        return S_OK;
    }
    if (apt.model != model) return RPC_E_CHANGED_MODE;
    ++apt.inits;
    return S_FALSE;
}

VQAPI HRESULT CoInitialize(LPVOID pvReserved) { return CoInitializeEx(pvReserved, COINIT_APARTMENTTHREADED); }

VQAPI void CoUninitialize(void) {
    if (t_apartment.inits) --t_apartment.inits;
}
