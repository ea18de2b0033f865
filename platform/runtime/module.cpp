// Modules: the shared object a code address belongs to and its file name.
#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "internal.h"

namespace {

// Absolute file name of the object that contains `address`; the program's
// own file for a null address.
std::string ObjectFile(const void *address) {
    char resolved[PATH_MAX];
    if (!address) {
        const ssize_t n = readlink("/proc/self/exe", resolved, sizeof resolved - 1);
        if (n <= 0) return {};
        return std::string(resolved, static_cast<std::size_t>(n));
    }
    Dl_info info{};
    if (!dladdr(address, &info) || !info.dli_fname || !*info.dli_fname) return ObjectFile(nullptr);
    if (realpath(info.dli_fname, resolved)) return resolved;
    return info.dli_fname;
}

}  // namespace

VQAPI BOOL GetModuleHandleExW(DWORD dwFlags, LPCWSTR lpModuleName, HMODULE *phModule) {
    if (!phModule) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *phModule = nullptr;
    if (dwFlags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) {
        Dl_info info{};
        if (!lpModuleName || !dladdr(reinterpret_cast<const void *>(lpModuleName), &info) || !info.dli_fbase) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return FALSE;
        }
        *phModule = info.dli_fbase;
        return TRUE;
    }
    if (lpModuleName) {  // only the program itself and code addresses are known by handle
        SetLastError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    Dl_info info{};
    extern char **environ;
    *phModule = dladdr(reinterpret_cast<const void *>(&environ), &info) ? info.dli_fbase : nullptr;
    return TRUE;
}

VQAPI DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
    if (!lpFilename && nSize) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const std::string file = ObjectFile(hModule);
    if (file.empty()) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    const int needed = MultiByteToWideChar(CP_UTF8, 0, file.c_str(), -1, nullptr, 0);  // with the terminator
    if (needed <= 0) return 0;
    if (static_cast<DWORD>(needed) > nSize) {
        // Truncated and terminated, as the system does it.
        if (nSize == 0) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        std::u16string all(static_cast<std::size_t>(needed), u'\0');
        MultiByteToWideChar(CP_UTF8, 0, file.c_str(), -1, reinterpret_cast<LPWSTR>(all.data()), needed);
        std::memcpy(lpFilename, all.data(), (nSize - 1) * sizeof(WCHAR));
        lpFilename[nSize - 1] = 0;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return nSize;
    }
    MultiByteToWideChar(CP_UTF8, 0, file.c_str(), -1, lpFilename, needed);
    return static_cast<DWORD>(needed - 1);
}
