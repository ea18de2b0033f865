// surfacegen: writes the component's IDL, or the resource script fragment of
// the Windows DLL, from surface.inc.
//
//   surfacegen OUTPUT.idl
//   surfacegen --rc OUTPUT.rc
//   surfacegen --doc PROSE.md OUTPUT.md
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
//
// --doc writes the object-model reference (docs/object-model.md): the classes,
// each member's kinds, types, parameters, DISPID and help context, and the
// enumerations come from the table; what a member does, its errors and its
// example come from PROSE.md, one "## Class.Member" section per member (and
// "## Class" per class, "## Introduction", "## Errors"). A member without
// prose, or prose for a member the table does not have, is an error.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
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

// --- the reference ---------------------------------------------------------------------

struct DocMember {
    std::string iface, kind, name, result;
    long long dispid;
    int help, hidden, n;
    std::vector<Param> params;
};

std::string VbType(const std::string &t) {
    static const std::map<std::string, std::string> names = {
        {"ByteArray", "Byte()"}, {"DateArray", "Date()"}, {"Unknown", "IUnknown"}};
    auto it = names.find(t);
    return it != names.end() ? it->second : t;
}

std::string ParamText(const DocMember &m) {
    std::string out;
    for (int i = 0; i < m.n; ++i) {
        const Param &p = m.params[static_cast<std::size_t>(i)];
        if (m.kind == "PUT" && p.name == "value") continue;
        if (!out.empty()) out += ", ";
        out += std::string(p.ref ? "ByRef " : "ByVal ") + p.name + " As " + VbType(p.type);
    }
    return out;
}

std::string Signature(const DocMember &m) {
    if (m.kind == "METHOD") {
        const bool function = m.result != "None";
        return std::string(function ? "Function " : "Sub ") + m.name + "(" + ParamText(m) + ")" +
               (function ? " As " + VbType(m.result) : "");
    }
    if (m.kind == "GET") return "Property Get " + m.name + "(" + ParamText(m) + ") As " + VbType(m.result);
    const Param &value = m.params[0];
    return std::string(m.kind == "PUTREF" ? "Property Set " : "Property Let ") + m.name + "(" +
           (value.ref ? "ByRef" : "ByVal") + " value As " + VbType(value.type) + ")";
}

std::map<std::string, std::string> ReadProse(const char *path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "surfacegen: cannot read %s\n", path);
        std::exit(1);
    }
    std::map<std::string, std::string> sections;
    std::string line, key;
    while (std::getline(in, line)) {
        if (line.rfind("## ", 0) == 0) {
            key = line.substr(3);
            if (sections.count(key)) {
                std::fprintf(stderr, "surfacegen: %s: section %s twice\n", path, key.c_str());
                std::exit(1);
            }
            sections[key];
        } else if (!key.empty()) {
            sections[key] += line + "\n";
        }
    }
    for (auto &[k, text] : sections) {
        while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
        while (!text.empty() && text.front() == '\n') text.erase(0, 1);
    }
    return sections;
}

void WriteDoc(FILE *out, const char *prosePath) {
    std::map<std::string, std::string> prose = ReadProse(prosePath);
    std::map<std::string, bool> used;
    auto take = [&](const std::string &key) {
        auto it = prose.find(key);
        if (it == prose.end() || it->second.empty()) {
            std::fprintf(stderr, "surfacegen: %s has no section \"## %s\"\n", prosePath, key.c_str());
            std::exit(1);
        }
        used[key] = true;
        return it->second;
    };
    std::string libName, helpFile;
    std::vector<DocMember> members;
    struct DocClass {
        std::string name, clsid, iface, helpstring;
        bool creatable;
    };
    std::vector<DocClass> classes;
    struct DocEnum {
        std::string name, owner;
        std::vector<std::pair<std::string, long>> values;
    };
    std::vector<DocEnum> enums;
#define VQ_LIBRARY(name, libid, major, minor, helpstring, helpfile, helpcontext, lcid) \
    libName = #name;                                                                   \
    helpFile = helpfile;
#define VQ_MEMBER(iface, kind, dispid, name, help, hidden, r, n, t1, n1, d1, t2, n2, d2, t3, n3, d3)             \
    members.push_back(                                                                                           \
        DocMember{#iface,                                                                                        \
                  #kind,                                                                                         \
                  #name,                                                                                         \
                  #r,                                                                                            \
                  static_cast<long long>(dispid),                                                                \
                  help,                                                                                          \
                  hidden,                                                                                        \
                  n,                                                                                             \
                  {Param{#t1, #n1, std::strcmp(#d1, "VAL") != 0}, Param{#t2, #n2, std::strcmp(#d2, "VAL") != 0}, \
                   Param{#t3, #n3, std::strcmp(#d3, "VAL") != 0}}});
#define VQ_COCLASS(name, clsid, iface, creatable, helpstring, major, minor) \
    classes.push_back(DocClass{#name, clsid, #iface, helpstring, (creatable) != 0});
#define VQ_ENUM_BEGIN(name, owner) enums.push_back(DocEnum{#name, #owner, {}});
#define VQ_ENUM_VALUE(name, constant, value) enums.back().values.emplace_back(constant, value);
#include "component/surface.inc"

    auto put = [out](const std::string &text) { std::fputs(text.c_str(), out); };
    put("<!-- Written by surfacegen from component/surface.inc and docs/object-model.prose.md.\n"
        "     Do not edit: change those and build the velqosch_doc_update target. -->\n\n");
    put("# The " + libName + " object model\n\n" + take("Introduction") + "\n\n");
    // The classes from the root down: the order a client meets them.
    const char *const order[] = {"Scheduler", "Tasks", "Task", "Triggers", "Trigger"};
    put("Classes:");
    for (const char *c : order) {
        std::string anchor = c;
        for (char &ch : anchor) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        put(std::string(" [") + c + "](#" + anchor + "),");
    }
    put(" and the [enumerations](#enumerations).\n\n" + take("Errors") + "\n\n");
    for (const char *name : order) {
        const DocClass *cls = nullptr;
        for (const DocClass &c : classes)
            if (c.name == name) cls = &c;
        if (!cls) {
            std::fprintf(stderr, "surfacegen: no class %s\n", name);
            std::exit(1);
        }
        put("## " + cls->name + "\n\n");
        put("Interface `" + cls->iface + "`, class identifier `{" + cls->clsid + "}`" +
            (cls->creatable ? ", created by the ProgID `" + libName + "." + cls->name + "`" : ", not creatable") +
            ".\n\n");
        if (!cls->helpstring.empty()) put("> " + cls->helpstring + "\n\n");
        put(take(cls->name) + "\n\n");
        put("| Member | Kind | Type | DISPID | Help context |\n|---|---|---|---|---|\n");
        std::vector<std::string> names;
        for (const DocMember &m : members) {
            if (m.iface != cls->iface) continue;
            if (std::find(names.begin(), names.end(), m.name) == names.end()) names.push_back(m.name);
        }
        std::sort(names.begin(), names.end(), [](const std::string &a, const std::string &b) {
            std::string la = a, lb = b;
            for (char &c : la) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            for (char &c : lb) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            return la < lb;
        });
        for (const std::string &n : names) {
            std::string kinds, type;
            const DocMember *first = nullptr;
            for (const DocMember &m : members) {
                if (m.iface != cls->iface || m.name != n) continue;
                if (!first) first = &m;
                const std::string k = m.kind == "GET"      ? "get"
                                      : m.kind == "PUT"    ? "let"
                                      : m.kind == "PUTREF" ? "set"
                                                           : "method";
                kinds += (kinds.empty() ? "" : ", ") + k;
                if (m.kind == "GET" || (m.kind == "METHOD" && m.result != "None")) type = VbType(m.result);
                if (m.kind == "PUT" && type.empty()) type = VbType(m.params[0].type);
            }
            const std::string anchor = cls->name + "." + n;
            std::string lower;
            for (char c : anchor)
                if (c != '.') lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            put("| [" + n + "](#" + lower + ")" + (first->hidden ? " (hidden)" : "") + " | " + kinds + " | " +
                (type.empty() ? "-" : "`" + type + "`") + " | " + std::to_string(first->dispid) + " (" +
                Hex32(first->dispid) + ") | " + std::to_string(first->help) + " |\n");
        }
        put("\n");
        for (const std::string &n : names) {
            put("### " + cls->name + "." + n + "\n\n```vb\n");
            for (const DocMember &m : members)
                if (m.iface == cls->iface && m.name == n) put(Signature(m) + "\n");
            put("```\n\n");
            put(take(cls->name + "." + n) + "\n\n");
        }
    }
    put("## Enumerations\n\n" + take("Enumerations") + "\n\n");
    for (const DocEnum &e : enums) {
        put("### " + e.name + "\n\nUsed by `" + e.owner + "`.\n\n| Constant | Value |\n|---|---|\n");
        for (const auto &[constant, value] : e.values)
            put("| `" + constant + "` | " + std::to_string(value) + " (" + EnumValue(value) + ") |\n");
        put("\n");
    }
    for (const auto &[key, text] : prose) {
        if (!used.count(key)) {
            std::fprintf(stderr, "surfacegen: %s: \"## %s\" names nothing in the surface\n", prosePath, key.c_str());
            std::exit(1);
        }
    }
}

}  // namespace

int main(int argc, char **argv) {
    bool rc = argc == 3 && !std::strcmp(argv[1], "--rc");
    bool doc = argc == 4 && !std::strcmp(argv[1], "--doc");
    if (argc != 2 && !rc && !doc) {
        std::fprintf(stderr,
                     "usage: surfacegen OUTPUT.idl\n       surfacegen --rc OUTPUT.rc\n"
                     "       surfacegen --doc PROSE.md OUTPUT.md\n");
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
    if (doc) {
        WriteDoc(out, argv[2]);
    } else if (rc) {
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
