// tlbfinish: completes the type library widl writes with what widl leaves
// out: return values carry no parameter name, and every enumeration constant
// carries its own name as its help string.
//
//   tlbfinish INPUT.tlb OUTPUT.tlb
//
// A host tool (see msft.h). The output is written under a temporary name and
// renamed, so a refused input or a failed write leaves no output behind.
#include <cstdio>
#include <string>

#include "component/msft.h"

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: tlbfinish INPUT.tlb OUTPUT.tlb\n");
        return 2;
    }
    velqo::msft::Bytes in;
    if (FILE *f = std::fopen(argv[1], "rb")) {
        unsigned char buf[4096];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) in.insert(in.end(), buf, buf + n);
        const bool bad = std::ferror(f) != 0;
        std::fclose(f);
        if (bad) {
            std::perror(argv[1]);
            return 1;
        }
    } else {
        std::perror(argv[1]);
        return 1;
    }
    velqo::msft::Library lib;
    std::string error;
    if (!velqo::msft::Read(in, lib, error)) {
        std::fprintf(stderr, "tlbfinish: %s: %s\n", argv[1], error.c_str());
        return 1;
    }
    velqo::msft::Finish(lib);
    const velqo::msft::Bytes out = velqo::msft::Write(std::move(lib));

    const std::string tmp = std::string(argv[2]) + ".tmp";
    FILE *f = std::fopen(tmp.c_str(), "wb");
    if (!f) {
        std::perror(tmp.c_str());
        return 1;
    }
    const bool written = std::fwrite(out.data(), 1, out.size(), f) == out.size();
    if (std::fclose(f) != 0 || !written || std::rename(tmp.c_str(), argv[2]) != 0) {
        std::perror(argv[2]);
        std::remove(tmp.c_str());
        return 1;
    }
    return 0;
}
