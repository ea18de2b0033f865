// A small reader of the IDL subset the component's type library uses, kept
// apart from surfacegen so that the tests compare two independent readings.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace idl {

// One attribute: name and its argument text, e.g. id -> "0x68030003", hidden -> "".
struct Attr {
    std::string name;
    std::string arg;
    bool has_arg = false;
};

struct Attrs {
    std::vector<Attr> list;
    bool Has(const std::string &name) const;
    std::string Arg(const std::string &name) const;  // empty when absent
};

struct Param {
    Attrs attrs;
    std::string type;  // tokens joined, e.g. "SAFEARRAY(unsigned char)*"
    std::string name;  // empty when unnamed
};

struct Method {
    Attrs attrs;
    std::string result;  // HRESULT
    std::string name;
    std::vector<Param> params;
};

struct Interface {
    Attrs attrs;
    std::string name;
    std::string base;
    std::vector<Method> methods;
};

struct EnumConst {
    std::string name;
    std::int64_t value;
};

struct Enum {
    Attrs attrs;
    std::string tag;
    std::string name;
    std::vector<EnumConst> constants;
};

struct Alias {
    Attrs attrs;
    std::string type;
    std::string name;
};

struct Coclass {
    Attrs attrs;
    std::string name;
    std::vector<std::pair<Attrs, std::string>> interfaces;
};

struct Library {
    Attrs attrs;
    std::string name;
    std::vector<std::string> imports;     // import "x";
    std::vector<std::string> importlibs;  // importlib("x");
    std::vector<std::string> forwards;    // interface X;
    std::vector<Interface> interfaces;
    std::vector<Enum> enums;
    std::vector<Alias> aliases;
    std::vector<Coclass> coclasses;
};

// Parses the text; throws std::runtime_error with the line on malformed input.
Library Parse(const std::string &text);

// Parses 0x-prefixed hexadecimal or decimal, with an optional minus sign.
std::int64_t Number(const std::string &text);

}  // namespace idl
