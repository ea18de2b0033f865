// surfacegen: writes the component's IDL, or the resource script fragment of
// the Windows DLL, from surface.inc.
//
//   surfacegen OUTPUT.idl
//   surfacegen --rc OUTPUT.rc
//
// A host tool: it includes only the table, never the platform headers, so it
// builds with the machine's own compiler whatever the target is. widl turns
// its output into velqosch.tlb; the committed component/velqosch.idl is a copy
// of the same output (the velqosch_idl_update target refreshes it).
//
// One thing the IDL cannot carry: each enumeration constant's help string (its
// own name). widl refuses helpstring on enumeration members, so the constants
// are written without it, and tlbfinish adds the help strings to the library
// widl makes.
//
// The --rc fragment holds one RCDATA resource per class, _IID_<CLASS>: a
// 32-bit little-endian byte count (16 per identifier) and then the interface
// identifiers the class answers to, in binary GUID layout: first the earlier
// identifiers its interface keeps as aliases, then the interface's own. It
// also defines VELQO_LIBRARY_HELPSTRING for the version block.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

struct Param {
    std::string type;
    std::string name;
    bool ref;
};

struct Class {
    std::string iface;
    bool creatable;
    std::string helpstring;
};

std::map<std::string, Class> g_classes;           // by class name
std::map<std::string, std::string> g_enum_owner;  // enumeration -> owning class

// Collects the classes and the enumeration owners, needed before the rows that use them.
void CollectClasses() {
#define VQ_COCLASS(name, clsid, iface, creatable, helpstring, major, minor) \
    g_classes[#name] = Class{#iface, (creatable) != 0, helpstring};
#define VQ_ENUM_BEGIN(name, owner) g_enum_owner[#name] = #owner;
#include "component/surface.inc"
}

std::string IdlType(const std::string &t) {
    static const std::map<std::string, std::string> basic = {
        {"Integer", "short"},
        {"Long", "long"},
        {"String", "BSTR"},
        {"Date", "DATE"},
        {"Boolean", "VARIANT_BOOL"},
        {"Variant", "VARIANT"},
        {"ByteArray", "SAFEARRAY(unsigned char)"},
        {"DateArray", "SAFEARRAY(DATE)"},
        {"Unknown", "IUnknown*"},
    };
    if (auto b = basic.find(t); b != basic.end()) return b->second;
    if (auto c = g_classes.find(t); c != g_classes.end()) return c->second.iface + "*";
    if (g_enum_owner.count(t)) return t;
    std::fprintf(stderr, "surfacegen: unknown type %s\n", t.c_str());
    std::exit(1);
}

std::string Hex32(long long v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08x", static_cast<unsigned>(v & 0xffffffffLL));
    return buf;
}

std::string EnumValue(long v) {
    char buf[24];
    if (v >= 0 && v < 10)
        std::snprintf(buf, sizeof buf, "%ld", v);
    else
        std::snprintf(buf, sizeof buf, "0x%lx", static_cast<unsigned long>(v));
    return buf;
}

std::string Quote(const char *s) {
    std::string r = "\"";
    for (; *s; ++s) {
        if (*s == '"' || *s == '\\') r += '\\';
        r += *s;
    }
    return r + "\"";
}

class Writer {
public:
    explicit Writer(FILE *out) : out_(out) {}

    void Library(const char *name, const char *libid, int major, int minor, const char *helpstring,
                 const char *helpfile, int helpcontext, int lcid) {
        Line("// The component's type library, written by surfacegen from component/surface.inc.");
        Line("// Do not edit: change the table and build the velqosch_idl_update target.");
        Line("");
        Line("import \"oaidl.idl\";");
        Line("");
        Line("[");
        Line("    uuid(" + std::string(libid) + "),");
        Line("    version(" + std::to_string(major) + "." + std::to_string(minor) + "),");
        Line("    helpstring(" + Quote(helpstring) + "),");
        Line("    helpfile(" + Quote(helpfile) + "),");
        Line("    helpcontext(" + std::to_string(helpcontext) + "),");
        char buf[16];
        std::snprintf(buf, sizeof buf, "0x%x", static_cast<unsigned>(lcid));
        Line("    lcid(" + std::string(buf) + ")");
        Line("]");
        Line("library " + std::string(name));
        Line("{");
        Line("    importlib(\"stdole2.tlb\");");
        Line("");
        for (const auto &iface : ifaces_) Line("    interface " + iface + ";");
    }

    void ForwardDeclare(const char *iface) { ifaces_.emplace_back(iface); }

    void InterfaceBegin(const char *iface, const char *iid, int major, int minor) {
        Line("");
        Line("    [");
        Line("        uuid(" + std::string(iid) + "),");
        Line("        version(" + std::to_string(major) + "." + std::to_string(minor) + "),");
        Line("        hidden,");
        Line("        dual,");
        Line("        nonextensible,");
        Line("        oleautomation");
        Line("    ]");
        Line("    interface " + std::string(iface) + " : IDispatch");
        Line("    {");
    }

    void Member(const char *kind, long long dispid, const char *name, int help, int hidden, const char *result, int n,
                const std::vector<Param> &params) {
        std::string attrs = "id(" + Hex32(dispid) + ")";
        if (!std::strcmp(kind, "GET")) attrs += ", propget";
        if (!std::strcmp(kind, "PUT")) attrs += ", propput";
        if (!std::strcmp(kind, "PUTREF")) attrs += ", propputref";
        if (help) attrs += ", helpcontext(" + std::to_string(help) + ")";
        if (hidden) attrs += ", hidden";
        bool unnamed = std::strcmp(kind, "GET") != 0 && std::strcmp(kind, "METHOD") != 0;
        std::string list;
        for (int i = 0; i < n; ++i) {
            const Param &p = params[static_cast<std::size_t>(i)];
            if (!list.empty()) list += ", ";
            list += p.ref ? "[in, out] " : "[in] ";
            list += IdlType(p.type) + (p.ref ? "*" : "");
            if (!unnamed) list += " " + p.name;
        }
        if (std::strcmp(result, "None") != 0) {
            if (!list.empty()) list += ", ";
            list += "[out, retval] " + IdlType(result) + "*";
        }
        Line("        [" + attrs + "]");
        Line("        HRESULT " + std::string(name) + "(" + list + ");");
    }

    void InterfaceEnd() { Line("    };"); }

    void Alias(const char *alias, const char *iface, const char *iid) {
        Line("");
        Line("    typedef [uuid(" + std::string(iid) + "), hidden] " + iface + " " + alias + ";");
    }

    void Coclass(const char *name, const char *clsid, const char *iface, int creatable, const char *helpstring,
                 int major, int minor) {
        std::vector<std::string> attrs = {"uuid(" + std::string(clsid) + ")",
                                          "version(" + std::to_string(major) + "." + std::to_string(minor) + ")"};
        if (*helpstring) attrs.push_back("helpstring(" + Quote(helpstring) + ")");
        if (!creatable) attrs.push_back("noncreatable");
        Line("");
        Line("    [");
        for (std::size_t i = 0; i < attrs.size(); ++i) Line("        " + attrs[i] + (i + 1 < attrs.size() ? "," : ""));
        Line("    ]");
        Line("    coclass " + std::string(name));
        Line("    {");
        Line("        [default] interface " + std::string(iface) + ";");
        Line("    };");
    }

    void EnumBegin(const char *name, const char *owner) {
        const std::string &help = g_classes.at(owner).helpstring;
        Line("");
        // Named both as the tag and the typedef, so that widl writes one enumeration of that name rather than
        // an anonymous one plus an alias.
        std::string attrs = help.empty() ? "" : "[helpstring(" + Quote(help.c_str()) + ")] ";
        Line("    typedef " + attrs + "enum " + name);
        Line("    {");
        enum_name_ = name;
        pending_.clear();
    }

    void EnumValueRow(const char *constant, long value) {
        pending_.push_back(std::string(constant) + " = " + EnumValue(value));
    }

    void EnumEnd() {
        for (std::size_t i = 0; i < pending_.size(); ++i)
            Line("        " + pending_[i] + (i + 1 < pending_.size() ? "," : ""));
        Line("    } " + enum_name_ + ";");
    }

    void LibraryEnd() { Line("};"); }

private:
    void Line(const std::string &s) { std::fprintf(out_, "%s\n", s.c_str()); }

    FILE *out_;
    std::vector<std::string> ifaces_;
    std::string enum_name_;
    std::vector<std::string> pending_;
};

void Write(Writer &w) {
#define VQ_INTERFACE_BEGIN(iface, iid, major, minor) w.ForwardDeclare(#iface);
#include "component/surface.inc"

#define VQ_LIBRARY(name, libid, major, minor, helpstring, helpfile, helpcontext, lcid) \
    w.Library(#name, libid, major, minor, helpstring, helpfile, helpcontext, lcid);
#include "component/surface.inc"

#define VQ_INTERFACE_BEGIN(iface, iid, major, minor) w.InterfaceBegin(#iface, iid, major, minor);
#define VQ_MEMBER(iface, kind, dispid, name, help, hidden, r, n, t1, n1, d1, t2, n2, d2, t3, n3, d3)        \
    w.Member(#kind, static_cast<long long>(dispid), #name, help, hidden, #r, n,                             \
             {Param{#t1, #n1, std::strcmp(#d1, "VAL") != 0}, Param{#t2, #n2, std::strcmp(#d2, "VAL") != 0}, \
              Param{#t3, #n3, std::strcmp(#d3, "VAL") != 0}});
#define VQ_INTERFACE_END(iface) w.InterfaceEnd();
#define VQ_ALIAS(alias, iface, iid) w.Alias(#alias, #iface, iid);
#define VQ_COCLASS(name, clsid, iface, creatable, helpstring, major, minor) \
    w.Coclass(#name, clsid, #iface, creatable, helpstring, major, minor);
#define VQ_ENUM_BEGIN(name, owner) w.EnumBegin(#name, #owner);
#define VQ_ENUM_VALUE(name, constant, value) w.EnumValueRow(constant, value);
#define VQ_ENUM_END(name) w.EnumEnd();
#include "component/surface.inc"

    w.LibraryEnd();
}

// ---- Resource script fragment -----------------------------------------------------------------------------------

struct Guid {
    unsigned long data1;
    unsigned data2;
    unsigned data3;
    unsigned char data4[8];
};

// "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX" to its fields; exits on anything else.
Guid ParseGuidText(const char *s) {
    auto field = [s](std::size_t pos, std::size_t digits) {
        unsigned long v = 0;
        for (std::size_t i = 0; i < digits; ++i) {
            char c = s[pos + i];
            if (!std::isxdigit(static_cast<unsigned char>(c))) {
                std::fprintf(stderr, "surfacegen: malformed identifier %s\n", s);
                std::exit(1);
            }
            v = v * 16 + static_cast<unsigned long>(std::isdigit(static_cast<unsigned char>(c))
                                                        ? c - '0'
                                                        : std::toupper(static_cast<unsigned char>(c)) - 'A' + 10);
        }
        return v;
    };
    if (std::strlen(s) != 36 || s[8] != '-' || s[13] != '-' || s[18] != '-' || s[23] != '-') {
        std::fprintf(stderr, "surfacegen: malformed identifier %s\n", s);
        std::exit(1);
    }
    Guid g{};
    g.data1 = field(0, 8);
    g.data2 = static_cast<unsigned>(field(9, 4));
    g.data3 = static_cast<unsigned>(field(14, 4));
    for (std::size_t i = 0; i < 2; ++i) g.data4[i] = static_cast<unsigned char>(field(19 + 2 * i, 2));
    for (std::size_t i = 0; i < 6; ++i) g.data4[2 + i] = static_cast<unsigned char>(field(24 + 2 * i, 2));
    return g;
}

// One GUID as resource data: Data1 as a DWORD, Data2 and Data3 as WORDs, Data4 as four WORDs of two bytes each,
// low byte first, so the bytes land in the GUID's memory layout.
std::string RcGuid(const char *text) {
    Guid g = ParseGuidText(text);
    char buf[96];
    std::snprintf(buf, sizeof buf, "0x%08lXL, 0x%04X, 0x%04X", g.data1, g.data2, g.data3);
    std::string r = buf;
    for (std::size_t i = 0; i < 8; i += 2) {
        std::snprintf(buf, sizeof buf, ", 0x%02X%02X", g.data4[i + 1], g.data4[i]);
        r += buf;
    }
    return r;
}

void WriteRc(FILE *out) {
    struct Row {
        std::string cls;
        std::string iface;
        std::vector<std::string> iids;  // the interface's aliases, in table order, then its own
    };
    std::vector<Row> rows;
    std::map<std::string, std::string> iface_iid;
    std::multimap<std::string, std::string> aliases;  // interface -> earlier identifier
    std::string helpstring;

#define VQ_LIBRARY(name, libid, major, minor, hs, helpfile, helpcontext, lcid) helpstring = hs;
#define VQ_INTERFACE_BEGIN(iface, iid, major, minor) iface_iid[#iface] = iid;
#define VQ_ALIAS(alias, iface, iid) aliases.emplace(#iface, iid);
#define VQ_COCLASS(name, clsid, iface, creatable, hs, major, minor) rows.push_back(Row{#name, #iface, {}});
#include "component/surface.inc"

    std::fprintf(out, "// The component's identifier resources, written by surfacegen from component/surface.inc.\n");
    std::fprintf(out, "// Do not edit.\n\n");
    std::fprintf(out, "#define VELQO_LIBRARY_HELPSTRING %s\n", Quote(helpstring.c_str()).c_str());
    for (Row &row : rows) {
        auto range = aliases.equal_range(row.iface);
        for (auto a = range.first; a != range.second; ++a) row.iids.push_back(a->second);
        auto own = iface_iid.find(row.iface);
        if (own == iface_iid.end()) {
            std::fprintf(stderr, "surfacegen: class %s names unknown interface %s\n", row.cls.c_str(),
                         row.iface.c_str());
            std::exit(1);
        }
        row.iids.push_back(own->second);

        std::string name = "_IID_";
        for (char c : row.cls) name += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        std::fprintf(out, "\n%s RCDATA\n{\n    %zuL,  // bytes\n", name.c_str(), 16 * row.iids.size());
        for (std::size_t i = 0; i < row.iids.size(); ++i)
            std::fprintf(out, "    %s%s  // {%s}\n", RcGuid(row.iids[i].c_str()).c_str(),
                         i + 1 < row.iids.size() ? "," : "", row.iids[i].c_str());
        std::fprintf(out, "}\n");
    }
}

}  // namespace

int main(int argc, char **argv) {
    bool rc = argc == 3 && !std::strcmp(argv[1], "--rc");
    if (argc != 2 && !rc) {
        std::fprintf(stderr, "usage: surfacegen OUTPUT.idl\n       surfacegen --rc OUTPUT.rc\n");
        return 2;
    }
    const char *path = argv[argc - 1];
    CollectClasses();
    // Written under a temporary name and renamed, so a failed run (an error exit included) leaves no
    // half-written output.
    static std::string tmp;
    tmp = std::string(path) + ".tmp";
    std::atexit([] {
        if (!tmp.empty()) std::remove(tmp.c_str());
    });
    FILE *out = std::fopen(tmp.c_str(), "wb");
    if (!out) {
        std::perror(tmp.c_str());
        return 1;
    }
    if (rc) {
        WriteRc(out);
    } else {
        Writer w(out);
        Write(w);
    }
    if (std::ferror(out) || std::fclose(out) != 0) {
        std::perror(tmp.c_str());
        return 1;
    }
    if (std::rename(tmp.c_str(), path) != 0) {
        std::perror(path);
        return 1;
    }
    tmp.clear();
    return 0;
}
