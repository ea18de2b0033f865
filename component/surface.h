// The component's published surface in C++: the dual interfaces of the five
// classes, their identifiers, the enumeration types and a descriptor table of
// every member, all expanded from surface.inc.
//
// Interface members follow the type library's slot order. Naming: a property
// get is get_Name(T *ret), a put put_Name(T value) (T *value when passed by
// reference), a putref putref_Name, a method Name(params..., R *ret) with ret
// only when the method has a result.
#pragma once

#include <cstddef>
#include <cstdint>

#include "service/platform.h"

namespace TaskScheduler {

// ---- Enumeration types -------------------------------------------------------------------------------------------
// The constants live in the table only (surface::kEnumValues): the platform
// headers already define macros and enumerators of the same names.
#define VQ_ENUM_BEGIN(name, owner) enum name : LONG {};
#include "component/surface.inc"

// ---- Interfaces, forward ---------------------------------------------------------------------------------------
#define VQ_INTERFACE_BEGIN(iface, iid, major, minor) struct iface;
#include "component/surface.inc"

namespace surface {

// Types of parameters and results, as the table names them.
enum class Type : std::uint8_t {
    None,
    Integer,
    Long,
    String,
    Date,
    Boolean,
    Variant,
    ByteArray,
    DateArray,
    Unknown,
#define VQ_COCLASS(name, clsid, iface, creatable, helpstring, major, minor) name,
#define VQ_ENUM_BEGIN(name, owner) name,
#include "component/surface.inc"
};

enum class Kind : std::uint8_t { Get, Put, PutRef, Method };
enum class Dir : std::uint8_t { Val, Ref };

enum class Interface : std::uint8_t {
#define VQ_INTERFACE_BEGIN(iface, iid, major, minor) iface,
#include "component/surface.inc"
};

// The C++ type of a table type passed by value.
template <Type t>
struct CppOf;
template <>
struct CppOf<Type::Integer> {
    using type = SHORT;
};
template <>
struct CppOf<Type::Long> {
    using type = LONG;
};
template <>
struct CppOf<Type::String> {
    using type = BSTR;
};
template <>
struct CppOf<Type::Date> {
    using type = DATE;
};
template <>
struct CppOf<Type::Boolean> {
    using type = VARIANT_BOOL;
};
template <>
struct CppOf<Type::Variant> {
    using type = VARIANT;
};
template <>
struct CppOf<Type::ByteArray> {
    using type = SAFEARRAY *;
};
template <>
struct CppOf<Type::DateArray> {
    using type = SAFEARRAY *;
};
template <>
struct CppOf<Type::Unknown> {
    using type = IUnknown *;
};
#define VQ_COCLASS(name, clsid, iface, creatable, helpstring, major, minor) \
    template <>                                                             \
    struct CppOf<Type::name> {                                              \
        using type = ::TaskScheduler::iface *;                              \
    };
#define VQ_ENUM_BEGIN(name, owner)          \
    template <>                             \
    struct CppOf<Type::name> {              \
        using type = ::TaskScheduler::name; \
    };
#include "component/surface.inc"

template <Type t>
using In = typename CppOf<t>::type;
template <Type t>
using InOut = typename CppOf<t>::type *;

// Identifier text "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX" to a GUID.
consteval unsigned HexDigit(char c) {
    if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
    if (c >= 'A' && c <= 'F') return static_cast<unsigned>(c - 'A' + 10);
    if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
    throw "not a hexadecimal digit";
}
consteval unsigned long long HexField(const char *s, std::size_t pos, std::size_t digits) {
    unsigned long long v = 0;
    for (std::size_t i = 0; i < digits; ++i) v = v * 16 + HexDigit(s[pos + i]);
    return v;
}
consteval GUID ParseGuid(const char (&s)[37]) {
    if (s[8] != '-' || s[13] != '-' || s[18] != '-' || s[23] != '-') throw "malformed identifier";
    GUID g{};
    g.Data1 = static_cast<decltype(g.Data1)>(HexField(s, 0, 8));
    g.Data2 = static_cast<decltype(g.Data2)>(HexField(s, 9, 4));
    g.Data3 = static_cast<decltype(g.Data3)>(HexField(s, 14, 4));
    for (std::size_t i = 0; i < 2; ++i) g.Data4[i] = static_cast<unsigned char>(HexField(s, 19 + 2 * i, 2));
    for (std::size_t i = 0; i < 6; ++i) g.Data4[2 + i] = static_cast<unsigned char>(HexField(s, 24 + 2 * i, 2));
    return g;
}

// ---- Preprocessor helpers for the member rows -------------------------------------------------------------------
#define VQ_CAT_(a, b) a##b
#define VQ_CAT(a, b) VQ_CAT_(a, b)
#define VQ_SECOND_(a, b, ...) b
#define VQ_SECOND(...) VQ_SECOND_(__VA_ARGS__)
#define VQ_PROBE_None ~, 0
// 0 when the result column is None, 1 otherwise.
#define VQ_HAS_RESULT(r) VQ_SECOND(VQ_PROBE_##r, 1, ~)
#define VQ_TAIL_(x, ...) __VA_ARGS__
#define VQ_TAIL(...) VQ_TAIL_(__VA_ARGS__)

#define VQ_FN_GET(name) get_##name
#define VQ_FN_PUT(name) put_##name
#define VQ_FN_PUTREF(name) putref_##name
#define VQ_FN_METHOD(name) name
#define VQ_KIND_GET ::TaskScheduler::surface::Kind::Get
#define VQ_KIND_PUT ::TaskScheduler::surface::Kind::Put
#define VQ_KIND_PUTREF ::TaskScheduler::surface::Kind::PutRef
#define VQ_KIND_METHOD ::TaskScheduler::surface::Kind::Method
#define VQ_DIR_VAL ::TaskScheduler::surface::Dir::Val
#define VQ_DIR_REF ::TaskScheduler::surface::Dir::Ref
#define VQ_DIR_SET ::TaskScheduler::surface::Dir::Ref
#define VQ_SETS_VAL false
#define VQ_SETS_REF false
#define VQ_SETS_SET true
#define VQ_TYPE(t) ::TaskScheduler::surface::Type::t

#define VQ_ARG_VAL(t, n) , ::TaskScheduler::surface::In<VQ_TYPE(t)> n
#define VQ_ARG_REF(t, n) , ::TaskScheduler::surface::InOut<VQ_TYPE(t)> n
#define VQ_ARG_SET(t, n) VQ_ARG_REF(t, n)
#define VQ_ARGS_0(t1, n1, d1, t2, n2, d2, t3, n3, d3)
#define VQ_ARGS_1(t1, n1, d1, t2, n2, d2, t3, n3, d3) VQ_ARG_##d1(t1, n1)
#define VQ_ARGS_2(t1, n1, d1, t2, n2, d2, t3, n3, d3) VQ_ARG_##d1(t1, n1) VQ_ARG_##d2(t2, n2)
#define VQ_ARGS_3(t1, n1, d1, t2, n2, d2, t3, n3, d3) VQ_ARG_##d1(t1, n1) VQ_ARG_##d2(t2, n2) VQ_ARG_##d3(t3, n3)
#define VQ_RESULT_0(r)
#define VQ_RESULT_1(r) , ::TaskScheduler::surface::InOut<VQ_TYPE(r)> ret
#define VQ_PARAMS(r, n, t1, n1, d1, t2, n2, d2, t3, n3, d3) \
    VQ_TAIL(~VQ_ARGS_##n(t1, n1, d1, t2, n2, d2, t3, n3, d3) VQ_CAT(VQ_RESULT_, VQ_HAS_RESULT(r))(r))

// Table-of-functions slots: IUnknown takes 0-2, IDispatch 3-6, the members follow from 7.
namespace slots {
#define VQ_INTERFACE_BEGIN(iface, iid, major, minor) \
    enum iface##_slot : std::uint16_t {              \
        iface##_first = 6,
#define VQ_MEMBER(iface, kind, dispid, name, help, hidden, r, n, t1, n1, d1, t2, n2, d2, t3, n3, d3) \
    iface##_##kind##_##name,
#define VQ_INTERFACE_END(iface) \
    iface##_end                 \
    }                           \
    ;
#include "component/surface.inc"
}  // namespace slots

}  // namespace surface

// ---- Identities ------------------------------------------------------------------------------------------------
#define VQ_LIBRARY(name, libid, major, minor, helpstring, helpfile, helpcontext, lcid) \
    inline constexpr GUID LIBID_##name = surface::ParseGuid(libid);
#define VQ_INTERFACE_BEGIN(iface, iid, major, minor) inline constexpr IID IID_##iface = surface::ParseGuid(iid);
#define VQ_ALIAS(alias, iface, iid) inline constexpr IID IID_##alias = surface::ParseGuid(iid);
#define VQ_COCLASS(name, clsid, iface, creatable, helpstring, major, minor) \
    inline constexpr CLSID CLSID_##name = surface::ParseGuid(clsid);
#include "component/surface.inc"

// The identifier _Trigger had before Index was added; a Trigger answers to it too.
inline constexpr IID IID__TriggerV0 = IID_Trigger___v0;

// ---- Interfaces ------------------------------------------------------------------------------------------------
#define VQ_INTERFACE_BEGIN(iface, iid, major, minor) struct iface : public IDispatch {
#define VQ_MEMBER(iface, kind, dispid, name, help, hidden, r, n, t1, n1, d1, t2, n2, d2, t3, n3, d3) \
    virtual HRESULT STDMETHODCALLTYPE VQ_FN_##kind(name)(VQ_PARAMS(r, n, t1, n1, d1, t2, n2, d2, t3, n3, d3)) = 0;
#define VQ_INTERFACE_END(iface) \
    }                           \
    ;
#include "component/surface.inc"

// ---- Descriptors -----------------------------------------------------------------------------------------------
namespace surface {

#ifdef _WIN32
#define VQ_WIDE_(s) L##s
#else
#define VQ_WIDE_(s) u##s
#endif
#define VQ_WIDE(s) VQ_WIDE_(s)

struct Param {
    Type type;
    Dir dir;
    const char *name;  // nullptr: unnamed in the type library
    bool assigned;     // by reference and assigned by the member (SET in the table): written back to the caller
};

struct Member {
    Interface iface;
    Kind kind;
    DISPID dispid;
    const char *name;
    const OLECHAR *wname;
    ULONG help;  // help context, 0 for none
    bool hidden;
    Type result;  // the [out, retval] parameter, Type::None for none
    std::uint8_t nparams;
    Param params[3];
    std::uint16_t slot;  // index in the interface's table of functions
};

struct InterfaceInfo {
    Interface id;
    const char *name;
    IID iid;
    std::uint16_t major;
    std::uint16_t minor;
};

struct AliasInfo {
    const char *name;
    Interface of;
    IID iid;
};

struct ClassInfo {
    const char *name;
    CLSID clsid;
    Interface iface;
    bool creatable;
    const char *helpstring;  // empty for none
    std::uint16_t major;
    std::uint16_t minor;
};

struct EnumInfo {
    Type type;
    const char *name;
    const char *owner;  // the class whose help string the enumeration carries
};

struct EnumValue {
    Type type;
    const char *name;
    LONG value;
};

struct LibraryInfo {
    const char *name;
    GUID libid;
    std::uint16_t major;
    std::uint16_t minor;
    const char *helpstring;
    const char *helpfile;
    ULONG helpcontext;
    LCID lcid;
};

// The value of a property put and unused slots have no name.
constexpr const char *ParamName(Kind k, Type t, const char *name) {
    return (t == Type::None || k == Kind::Put || k == Kind::PutRef) ? nullptr : name;
}

#define VQ_LIBRARY(name, libid, major, minor, helpstring, helpfile, helpcontext, lcid)         \
    inline constexpr LibraryInfo kLibrary = {#name,      ParseGuid(libid), major,       minor, \
                                             helpstring, helpfile,         helpcontext, lcid};
#include "component/surface.inc"

#define VQ_PARAM_(kind, t, n, d) \
    { VQ_TYPE(t), VQ_DIR_##d, ParamName(VQ_KIND_##kind, VQ_TYPE(t), #n), VQ_SETS_##d }
inline constexpr Member kMembers[] = {
#define VQ_MEMBER(iface, kind, dispid, name, help, hidden, r, n, t1, n1, d1, t2, n2, d2, t3, n3, d3) \
    {Interface::iface,                                                                               \
     VQ_KIND_##kind,                                                                                 \
     static_cast<DISPID>(dispid),                                                                    \
     #name,                                                                                          \
     VQ_WIDE(#name),                                                                                 \
     help,                                                                                           \
     hidden != 0,                                                                                    \
     VQ_TYPE(r),                                                                                     \
     n,                                                                                              \
     {VQ_PARAM_(kind, t1, n1, d1), VQ_PARAM_(kind, t2, n2, d2), VQ_PARAM_(kind, t3, n3, d3)},        \
     slots::iface##_##kind##_##name},
#include "component/surface.inc"
};
#undef VQ_PARAM_

inline constexpr InterfaceInfo kInterfaces[] = {
#define VQ_INTERFACE_BEGIN(iface, iid, major, minor) {Interface::iface, #iface, ParseGuid(iid), major, minor},
#include "component/surface.inc"
};

inline constexpr AliasInfo kAliases[] = {
#define VQ_ALIAS(alias, iface, iid) {#alias, Interface::iface, ParseGuid(iid)},
#include "component/surface.inc"
};

inline constexpr ClassInfo kClasses[] = {
#define VQ_COCLASS(name, clsid, iface, creatable, helpstring, major, minor) \
    {#name, ParseGuid(clsid), Interface::iface, creatable != 0, helpstring, major, minor},
#include "component/surface.inc"
};

inline constexpr EnumInfo kEnums[] = {
#define VQ_ENUM_BEGIN(name, owner) {Type::name, #name, #owner},
#include "component/surface.inc"
};

inline constexpr EnumValue kEnumValues[] = {
#define VQ_ENUM_VALUE(name, constant, value) {Type::name, constant, value},
#include "component/surface.inc"
};

inline constexpr std::size_t kMemberCount = sizeof(kMembers) / sizeof(kMembers[0]);

// The descriptor of an interface.
constexpr const InterfaceInfo &InterfaceOf(Interface id) {
    for (const auto &i : kInterfaces)
        if (i.id == id) return i;
    throw "unknown interface";
}

// Index in kMembers of an interface's first member and the number of its members.
constexpr std::size_t FirstMember(Interface id) {
    for (std::size_t i = 0; i < kMemberCount; ++i)
        if (kMembers[i].iface == id) return i;
    return kMemberCount;
}
constexpr std::size_t MemberCount(Interface id) {
    std::size_t n = 0;
    for (const auto &m : kMembers) n += m.iface == id ? 1 : 0;
    return n;
}

// The class whose default interface is `id`.
constexpr const ClassInfo &ClassOf(Interface id) {
    for (const auto &c : kClasses)
        if (c.iface == id) return c;
    throw "interface without a class";
}

constexpr bool SameText(const char *a, const char *b) {
    while (*a && *a == *b) ++a, ++b;
    return *a == *b;
}

// The help string an enumeration carries: its owning class's.
constexpr const char *EnumHelpString(const EnumInfo &e) {
    for (const auto &c : kClasses)
        if (SameText(c.name, e.owner)) return c.helpstring;
    throw "enumeration owner is not a class";
}

// Rows are grouped by interface and slots follow on from 7 without gaps.
constexpr bool SlotsAreDense() {
    for (const auto &i : kInterfaces) {
        std::size_t first = FirstMember(i.id), count = MemberCount(i.id);
        for (std::size_t k = 0; k < count; ++k)
            if (kMembers[first + k].iface != i.id || kMembers[first + k].slot != 7 + k) return false;
    }
    return true;
}
static_assert(SlotsAreDense(), "the member rows of an interface must be contiguous");

}  // namespace surface
}  // namespace TaskScheduler
