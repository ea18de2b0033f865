// BSTR allocation, string lengths and the code page conversions.
//
// A BSTR points 8 bytes into its block: 4 bytes of padding that keep the
// characters 8-byte aligned on 64-bit, then the 4-byte length in bytes, then
// the characters and a 16-bit zero terminator.
#include "internal.h"

#include <cstdlib>
#include <cstring>
#include <limits>

#ifndef ERROR_INVALID_FLAGS
#define ERROR_INVALID_FLAGS 1004L
#endif
#ifndef ERROR_NO_UNICODE_TRANSLATION
#define ERROR_NO_UNICODE_TRANSLATION 1113L
#endif
#ifndef MB_ERR_INVALID_CHARS
#define MB_ERR_INVALID_CHARS 0x00000008
#endif
#ifndef WC_ERR_INVALID_CHARS
#define WC_ERR_INVALID_CHARS 0x00000080
#endif

namespace {

constexpr std::size_t kHeader = 8;

char *BlockOf(BSTR s) { return reinterpret_cast<char *>(s) - kHeader; }

void SetByteLen(BSTR s, UINT bytes) { std::memcpy(reinterpret_cast<char *>(s) - 4, &bytes, 4); }

// A new BSTR of `bytes` bytes (plus terminator) with contents copied from
// `src` when given, zeroed otherwise.
BSTR AllocBytes(const void *src, UINT bytes) {
    // Length in bytes must fit the 32-bit prefix, and the block must be
    // representable with room for the header and a 2-byte terminator.
    if (bytes > std::numeric_limits<UINT>::max() - kHeader - 2) return nullptr;
    std::size_t total = kHeader + std::size_t(bytes) + 2;
    total = (total + 15) & ~std::size_t(15);
    auto *block = static_cast<char *>(velqo::rt::CountedAlloc(total));
    if (!block) return nullptr;
    std::memset(block, 0, kHeader);
    auto s = reinterpret_cast<BSTR>(block + kHeader);
    SetByteLen(s, bytes);
    char *chars = block + kHeader;
    if (src)
        std::memcpy(chars, src, bytes);
    else
        std::memset(chars, 0, bytes);
    // Zero terminator (two bytes even for odd byte lengths), and the padding.
    std::memset(chars + bytes, 0, total - kHeader - bytes);
    return s;
}

std::size_t Length16(const char16_t *s) {
    std::size_t n = 0;
    while (s[n]) ++n;
    return n;
}

}  // namespace

VQAPI BSTR SysAllocString(const OLECHAR *psz) {
    if (!psz) return nullptr;
    std::size_t n = Length16(psz);
    if (n > std::numeric_limits<UINT>::max() / 2) return nullptr;
    return AllocBytes(psz, UINT(n * 2));
}

VQAPI BSTR SysAllocStringLen(const OLECHAR *strIn, UINT ui) {
    if (ui > std::numeric_limits<UINT>::max() / 2) return nullptr;
    return AllocBytes(strIn, ui * 2);
}

VQAPI BSTR SysAllocStringByteLen(LPCSTR psz, UINT len) { return AllocBytes(psz, len); }

VQAPI INT SysReAllocStringLen(BSTR *pbstr, const OLECHAR *psz, UINT len) {
    if (!pbstr) return FALSE;
    // A fresh string first, so the old one (which psz may point into) stays
    // intact until the copy is made, and survives a failure.
    BSTR fresh = SysAllocStringLen(psz, len);
    if (!fresh) return FALSE;
    SysFreeString(*pbstr);
    *pbstr = fresh;
    return TRUE;
}

VQAPI INT SysReAllocString(BSTR *pbstr, const OLECHAR *psz) {
    if (!pbstr) return FALSE;
    if (!psz) {
        SysFreeString(*pbstr);
        *pbstr = nullptr;
        return TRUE;
    }
    std::size_t n = Length16(psz);
    if (n > std::numeric_limits<UINT>::max() / 2) return FALSE;
    return SysReAllocStringLen(pbstr, psz, UINT(n));
}

VQAPI void SysFreeString(BSTR bstrString) {
    if (bstrString) std::free(BlockOf(bstrString));
}

VQAPI UINT SysStringByteLen(BSTR bstr) {
    if (!bstr) return 0;
    UINT bytes;
    std::memcpy(&bytes, reinterpret_cast<char *>(bstr) - 4, 4);
    return bytes;
}

VQAPI UINT SysStringLen(BSTR pbstr) { return SysStringByteLen(pbstr) / 2; }

VQAPI int lstrlenW(LPCWSTR lpString) { return lpString ? int(Length16(lpString)) : 0; }

VQAPI int lstrlenA(LPCSTR lpString) { return lpString ? int(std::strlen(lpString)) : 0; }

VQAPI void RtlMoveMemory(void *Destination, const void *Source, SIZE_T Length) {
    if (Length) std::memmove(Destination, Source, Length);
}

// --- UTF-8 <-> UTF-16 --------------------------------------------------------

namespace {

// Decodes one UTF-8 sequence at s[i..n); returns the code point or -1 for an
// invalid sequence, advancing i past what was consumed (at least one byte).
long DecodeUtf8(const unsigned char *s, std::size_t n, std::size_t &i) {
    unsigned char c = s[i++];
    if (c < 0x80) return c;
    int extra;
    long cp;
    long min;
    if ((c & 0xE0) == 0xC0) {
        extra = 1, cp = c & 0x1F, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
        extra = 2, cp = c & 0x0F, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
        extra = 3, cp = c & 0x07, min = 0x10000;
    } else {
        return -1;
    }
    for (int k = 0; k < extra; ++k) {
        if (i >= n || (s[i] & 0xC0) != 0x80) return -1;
        cp = (cp << 6) | (s[i++] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return -1;
    return cp;
}

// Converts; returns the number of units produced, or -1 when `strict` and
// the input has an invalid sequence.
template <class Sink>
long Utf8To16(const unsigned char *s, std::size_t n, bool strict, Sink sink) {
    long count = 0;
    std::size_t i = 0;
    while (i < n) {
        long cp = DecodeUtf8(s, n, i);
        if (cp < 0) {
            if (strict) return -1;
            cp = 0xFFFD;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            sink(char16_t(0xD800 + (cp >> 10)));
            sink(char16_t(0xDC00 + (cp & 0x3FF)));
            count += 2;
        } else {
            sink(char16_t(cp));
            ++count;
        }
    }
    return count;
}

template <class Sink>
long Utf16To8(const char16_t *s, std::size_t n, bool strict, bool *usedDefault, Sink sink) {
    long count = 0;
    for (std::size_t i = 0; i < n; ++i) {
        unsigned long cp = s[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < n && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            if (strict) return -1;
            if (usedDefault) *usedDefault = true;
            cp = 0xFFFD;
        }
        unsigned char out[4];
        int len;
        if (cp < 0x80) {
            out[0] = char(cp), len = 1;
        } else if (cp < 0x800) {
            out[0] = 0xC0 | (cp >> 6), out[1] = 0x80 | (cp & 0x3F), len = 2;
        } else if (cp < 0x10000) {
            out[0] = 0xE0 | (cp >> 12), out[1] = 0x80 | ((cp >> 6) & 0x3F), out[2] = 0x80 | (cp & 0x3F), len = 3;
        } else {
            out[0] = 0xF0 | (cp >> 18), out[1] = 0x80 | ((cp >> 12) & 0x3F);
            out[2] = 0x80 | ((cp >> 6) & 0x3F), out[3] = 0x80 | (cp & 0x3F), len = 4;
        }
        for (int k = 0; k < len; ++k) sink(char(out[k]));
        count += len;
    }
    return count;
}

// The code pages this runtime knows: all of them are UTF-8 on POSIX.
bool IsUtf8CodePage(UINT cp) { return cp == CP_ACP || cp == 1 /*OEM*/ || cp == 3 /*thread ACP*/ || cp == CP_UTF8; }

}  // namespace

VQAPI int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                              LPWSTR lpWideCharStr, int cchWideChar) {
    if (!lpMultiByteStr || cbMultiByte == 0 || cchWideChar < 0 || (cchWideChar && !lpWideCharStr) ||
        (cchWideChar && static_cast<const void *>(lpMultiByteStr) == static_cast<const void *>(lpWideCharStr))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (!IsUtf8CodePage(CodePage)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (dwFlags & ~DWORD(MB_ERR_INVALID_CHARS)) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    std::size_t n = cbMultiByte < 0 ? std::strlen(lpMultiByteStr) + 1 : std::size_t(cbMultiByte);
    auto *src = reinterpret_cast<const unsigned char *>(lpMultiByteStr);
    bool strict = dwFlags & MB_ERR_INVALID_CHARS;
    long needed = Utf8To16(src, n, strict, [](char16_t) {});
    if (needed < 0) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
    }
    if (needed > std::numeric_limits<int>::max()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (cchWideChar == 0) return int(needed);
    long pos = 0;
    Utf8To16(src, n, false, [&](char16_t c) {
        if (pos < cchWideChar) lpWideCharStr[pos] = c;
        ++pos;
    });
    if (needed > cchWideChar) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    return int(needed);
}

VQAPI int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                              LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar, BOOL *lpUsedDefaultChar) {
    if (!lpWideCharStr || cchWideChar == 0 || cbMultiByte < 0 || (cbMultiByte && !lpMultiByteStr) ||
        (cbMultiByte && static_cast<const void *>(lpMultiByteStr) == static_cast<const void *>(lpWideCharStr))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (!IsUtf8CodePage(CodePage)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // CP_UTF8 has no default character; the ANSI code pages (UTF-8 here too)
    // accept the arguments and report whether U+FFFD had to be substituted.
    if (CodePage == CP_UTF8 && (lpDefaultChar || lpUsedDefaultChar)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (dwFlags & ~DWORD(WC_ERR_INVALID_CHARS)) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    std::size_t n = cchWideChar < 0 ? Length16(lpWideCharStr) + 1 : std::size_t(cchWideChar);
    bool strict = (dwFlags & WC_ERR_INVALID_CHARS) != 0;
    bool used = false;
    long needed = Utf16To8(lpWideCharStr, n, strict, &used, [](char) {});
    if (lpUsedDefaultChar) *lpUsedDefaultChar = used ? TRUE : FALSE;
    if (needed < 0) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
    }
    if (needed > std::numeric_limits<int>::max()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (cbMultiByte == 0) return int(needed);
    long pos = 0;
    Utf16To8(lpWideCharStr, n, false, nullptr, [&](char c) {
        if (pos < cbMultiByte) lpMultiByteStr[pos] = c;
        ++pos;
    });
    if (needed > cbMultiByte) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    return int(needed);
}

namespace velqo::rt {

std::u16string Utf8ToUtf16(const char *text, std::size_t length) {
    std::u16string out;
    Utf8To16(reinterpret_cast<const unsigned char *>(text), length, false, [&](char16_t c) { out.push_back(c); });
    return out;
}

std::string Utf16ToUtf8(const char16_t *text, std::size_t length) {
    std::string out;
    Utf16To8(text, length, false, nullptr, [&](char c) { out.push_back(c); });
    return out;
}

}  // namespace velqo::rt
