// velqo-regsvr [-u] [-s] LIBRARY
//   Loads LIBRARY and calls its DllRegisterServer (DllUnregisterServer with
//   -u). -s prints nothing on success. Exit code 0 on success, 3 when the
//   library does not load, 4 when it lacks the entry point, 5 when the entry
//   point fails.
#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "service/platform.h"

namespace {

int Usage() {
    std::fprintf(stderr, "usage: velqo-regsvr [-u] [-s] LIBRARY\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    bool unregister = false, silent = false;
    const char *library = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "-u"))
            unregister = true;
        else if (!std::strcmp(argv[i], "-s"))
            silent = true;
        else if (!std::strcmp(argv[i], "-h") || !std::strcmp(argv[i], "--help"))
            return Usage(), 0;
        else if (argv[i][0] == '-' || library)
            return Usage();
        else
            library = argv[i];
    }
    if (!library) return Usage();
    // The registration records the library's own full path.
    char full[PATH_MAX];
    const std::string path = realpath(library, full) ? full : library;
    void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        std::fprintf(stderr, "velqo-regsvr: cannot load %s: %s\n", library, dlerror());
        return 3;
    }
    const char *entry = unregister ? "DllUnregisterServer" : "DllRegisterServer";
    using EntryPoint = HRESULT (*)();
    auto fn = reinterpret_cast<EntryPoint>(dlsym(handle, entry));
    if (!fn) {
        std::fprintf(stderr, "velqo-regsvr: %s has no %s\n", library, entry);
        dlclose(handle);
        return 4;
    }
    const HRESULT hr = fn();
    dlclose(handle);
    if (FAILED(hr)) {
        std::fprintf(stderr, "velqo-regsvr: %s in %s failed: 0x%08X\n", entry, library, static_cast<unsigned>(hr));
        return 5;
    }
    if (!silent) std::printf("%s in %s succeeded.\n", entry, path.c_str());
    return 0;
}
