// Late binding from the surface table. The argument handling follows what an
// automation client expects of a dual interface: positional arguments in
// reverse order, named arguments by parameter position, the value of a
// property put under DISPID_PROPERTYPUT, coercion of each argument to the
// parameter's type (a string of digits for an Integer, a date text for a
// Date), by-reference arguments passed through, or converted and written back
// where the member assigns them, and a raised error returned in EXCEPINFO as
// DISP_E_EXCEPTION.
#include "component/com/dispatch.h"

#include <cstring>
#include <type_traits>

#include "collection/keyed_collection.h"

namespace velqosch::dispatch {
namespace {

using namespace TaskScheduler::surface;

template <Type>
inline constexpr bool kNever = false;

constexpr bool IsClassType(Type t) {
    switch (t) {
#define VQ_COCLASS(name, clsid, iface, creatable, helpstring, major, minor) case Type::name:
#include "component/surface.inc"
        return true;
        default: return false;
    }
}
constexpr bool IsEnumType(Type t) {
    switch (t) {
#define VQ_ENUM_BEGIN(name, owner) case Type::name:
#include "component/surface.inc"
        return true;
        default: return false;
    }
}

// The automation type a table type travels as.
constexpr VARTYPE VarTypeOf(Type t) {
    switch (t) {
        case Type::None: return VT_EMPTY;
        case Type::Integer: return VT_I2;
        case Type::Long: return VT_I4;
        case Type::String: return VT_BSTR;
        case Type::Date: return VT_DATE;
        case Type::Boolean: return VT_BOOL;
        case Type::Variant: return VT_VARIANT;
        case Type::ByteArray: return VT_ARRAY | VT_UI1;
        case Type::DateArray: return VT_ARRAY | VT_DATE;
        case Type::Unknown: return VT_UNKNOWN;
        default: return IsClassType(t) ? VT_DISPATCH : VT_I4;
    }
}

// The start of a variant's value union, where every member type lives.
void *ValueOf(VARIANT &v) noexcept { return &v.llVal; }

// One argument or the result on its way to the member. `value` owns what
// the dispatch made; `ref` is what a by-reference parameter receives (the
// caller's own storage, or `value`). For a parameter the member may assign,
// `writeBack` is the caller's variant that takes `value` once the call
// succeeded, if the member left another value than `given`, a copy of what
// it received.
struct Slot {
    VARIANT value;
    VARIANT given;
    void *ref = nullptr;
    VARIANT *writeBack = nullptr;

    Slot() noexcept {
        VariantInit(&value);
        VariantInit(&given);
    }
    ~Slot() {
        VariantClear(&value);
        VariantClear(&given);
    }
    Slot(const Slot &) = delete;
    Slot &operator=(const Slot &) = delete;

    template <Type t>
    In<t> Val() noexcept {
        if constexpr (t == Type::Integer)
            return value.iVal;
        else if constexpr (t == Type::Long)
            return value.lVal;
        else if constexpr (t == Type::String)
            return value.bstrVal;
        else if constexpr (t == Type::Date)
            return value.date;
        else if constexpr (t == Type::Boolean)
            return value.boolVal;
        else if constexpr (t == Type::Variant)
            return value;
        else if constexpr (t == Type::ByteArray || t == Type::DateArray)
            return value.parray;
        else if constexpr (t == Type::Unknown)
            return value.punkVal;
        else if constexpr (std::is_enum_v<In<t>>)
            return static_cast<In<t>>(value.lVal);
        else
            static_assert(kNever<t>, "object parameters are not passed by value");
    }
    template <Type t>
    InOut<t> Ptr() noexcept {
        return static_cast<InOut<t>>(ref);
    }
};

// ---- The members, called through their interfaces ------------------------------------------------------------------

using Invoker = HRESULT (*)(IDispatch *self, Slot *args, Slot *ret);

#define VQ_CARG_VAL(t, i) , args[i].Val<VQ_TYPE(t)>()
#define VQ_CARG_REF(t, i) , args[i].Ptr<VQ_TYPE(t)>()
#define VQ_CARG_SET(t, i) VQ_CARG_REF(t, i)
#define VQ_CARGS_0(t1, d1, t2, d2, t3, d3)
#define VQ_CARGS_1(t1, d1, t2, d2, t3, d3) VQ_CARG_##d1(t1, 0)
#define VQ_CARGS_2(t1, d1, t2, d2, t3, d3) VQ_CARG_##d1(t1, 0) VQ_CARG_##d2(t2, 1)
#define VQ_CARGS_3(t1, d1, t2, d2, t3, d3) VQ_CARG_##d1(t1, 0) VQ_CARG_##d2(t2, 1) VQ_CARG_##d3(t3, 2)
#define VQ_CRET_0(r)
#define VQ_CRET_1(r) , ret->Ptr<VQ_TYPE(r)>()
#define VQ_CALL(r, n, t1, d1, t2, d2, t3, d3) \
    VQ_TAIL(~VQ_CARGS_##n(t1, d1, t2, d2, t3, d3) VQ_CAT(VQ_CRET_, VQ_HAS_RESULT(r))(r))

const Invoker kInvokers[] = {
#define VQ_MEMBER(iface, kind, dispid, name, help, hidden, r, n, t1, n1, d1, t2, n2, d2, t3, n3, d3)                 \
    [](IDispatch *self, Slot *args, Slot *ret) -> HRESULT {                                                          \
        (void)args;                                                                                                  \
        (void)ret;                                                                                                   \
        return static_cast<TaskScheduler::iface *>(self)->VQ_FN_##kind(name)(VQ_CALL(r, n, t1, d1, t2, d2, t3, d3)); \
    },
#include "component/surface.inc"
};
static_assert(sizeof(kInvokers) / sizeof(kInvokers[0]) == kMemberCount);

// ---- Names -----------------------------------------------------------------------------------------------------

OLECHAR Fold(OLECHAR c) noexcept { return (c >= 'A' && c <= 'Z') ? static_cast<OLECHAR>(c - 'A' + 'a') : c; }

bool SameName(const OLECHAR *a, const OLECHAR *b) noexcept {
    while (*a && Fold(*a) == Fold(*b)) ++a, ++b;
    return Fold(*a) == Fold(*b);
}
bool SameName(const OLECHAR *a, const char *b) noexcept {
    while (*a && Fold(*a) == Fold(static_cast<OLECHAR>(static_cast<unsigned char>(*b)))) ++a, ++b;
    return *a == 0 && *b == 0;
}

// ---- Finding the member ----------------------------------------------------------------------------------------

const Member *FindMember(Interface id, DISPID dispid, Kind kind) noexcept {
    const std::size_t first = FirstMember(id), count = MemberCount(id);
    for (std::size_t i = first; i < first + count; ++i)
        if (kMembers[i].dispid == dispid && kMembers[i].kind == kind) return &kMembers[i];
    return nullptr;
}

// The member an Invoke reaches: a put for DISPATCH_PROPERTYPUT(REF), a
// method before a property get when both are asked for, as a script's call
// syntax asks for both.
const Member *Resolve(Interface id, DISPID dispid, WORD flags) noexcept {
    if (flags & DISPATCH_PROPERTYPUTREF) {
        if (const Member *m = FindMember(id, dispid, Kind::PutRef)) return m;
    }
    if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) return FindMember(id, dispid, Kind::Put);
    if (flags & DISPATCH_METHOD) {
        if (const Member *m = FindMember(id, dispid, Kind::Method)) return m;
    }
    if (flags & (DISPATCH_PROPERTYGET | DISPATCH_METHOD)) return FindMember(id, dispid, Kind::Get);
    return nullptr;
}

// ---- Arguments ---------------------------------------------------------------------------------------------------

bool IsMissing(const VARIANT &v) noexcept { return v.vt == VT_ERROR && v.scode == DISP_E_PARAMNOTFOUND; }

// An array of the element type `element` made from a one-dimensional array
// of another element type (a script's array of variants) or, for bytes, from
// a string's UTF-16 bytes.
HRESULT CoerceArray(VARIANT &dst, const VARIANT &src, VARTYPE element, LCID lcid) {
    if (src.vt == VT_BSTR && element == VT_UI1) {
        const UINT bytes = SysStringByteLen(src.bstrVal);
        SAFEARRAY *array = SafeArrayCreateVector(VT_UI1, 0, bytes);
        if (!array) return E_OUTOFMEMORY;
        if (bytes) std::memcpy(array->pvData, src.bstrVal, bytes);
        dst.vt = VT_ARRAY | VT_UI1;
        dst.parray = array;
        return S_OK;
    }
    if (!(src.vt & VT_ARRAY) || (src.vt & VT_BYREF)) return DISP_E_TYPEMISMATCH;
    if (!src.parray) {
        dst.vt = VT_ARRAY | element;
        dst.parray = nullptr;
        return S_OK;
    }
    const VARTYPE from = static_cast<VARTYPE>(src.vt & VT_TYPEMASK);
    if (from == element) return VariantCopy(&dst, const_cast<VARIANT *>(&src));
    // Elements are read into a variant's value: only types that fit there.
    if (SafeArrayGetDim(src.parray) != 1 || (from != VT_VARIANT && SafeArrayGetElemsize(src.parray) > 8))
        return DISP_E_TYPEMISMATCH;
    LONG lower = 0, upper = -1;
    SafeArrayGetLBound(src.parray, 1, &lower);
    SafeArrayGetUBound(src.parray, 1, &upper);
    SAFEARRAYBOUND bound{static_cast<ULONG>(static_cast<long long>(upper) - lower + 1), lower};
    SAFEARRAY *array = SafeArrayCreate(element, 1, &bound);
    if (!array) return E_OUTOFMEMORY;
    for (LONG i = lower; i <= upper; ++i) {
        VARIANT item, converted;
        VariantInit(&item);
        VariantInit(&converted);
        HRESULT hr;
        if (from == VT_VARIANT) {
            hr = SafeArrayGetElement(src.parray, &i, &item);
        } else {
            item.vt = from;
            hr = SafeArrayGetElement(src.parray, &i, ValueOf(item));
        }
        if (SUCCEEDED(hr)) hr = VariantChangeTypeEx(&converted, &item, lcid, 0, element);
        if (SUCCEEDED(hr)) hr = SafeArrayPutElement(array, &i, ValueOf(converted));
        VariantClear(&item);
        VariantClear(&converted);
        if (FAILED(hr)) {
            SafeArrayDestroy(array);
            return hr;
        }
    }
    dst.vt = VT_ARRAY | element;
    dst.parray = array;
    return S_OK;
}

// `src` made into a value of table type `t` in the empty `dst`.
HRESULT Coerce(VARIANT &dst, const VARIANT &src, Type t, LCID lcid) {
    if ((src.vt & VT_BYREF) && !src.byref) return E_POINTER;
    VARIANT plain;
    VariantInit(&plain);
    HRESULT hr = VariantCopyInd(&plain, const_cast<VARIANT *>(&src));
    if (FAILED(hr)) return hr;
    if (IsMissing(plain)) {
        hr = DISP_E_PARAMNOTOPTIONAL;
    } else if (t == Type::Variant) {
        dst = plain;
        return S_OK;
    } else if (t == Type::ByteArray || t == Type::DateArray) {
        if (plain.vt == VT_EMPTY) {
            dst.vt = VarTypeOf(t);
            dst.parray = nullptr;
        } else {
            hr = CoerceArray(dst, plain, static_cast<VARTYPE>(VarTypeOf(t) & VT_TYPEMASK), lcid);
        }
    } else if (t == Type::Unknown || IsClassType(t)) {
        hr = DISP_E_TYPEMISMATCH;
    } else {
        hr = VariantChangeTypeEx(&dst, &plain, lcid, 0, VarTypeOf(t));
    }
    VariantClear(&plain);
    return hr;
}

// Prepares the slot of parameter `p` from the caller's argument.
HRESULT Prepare(Slot &slot, const Param &p, VARIANT &arg, LCID lcid) {
    const VARTYPE want = VarTypeOf(p.type);
    if (p.dir == Dir::Ref && (arg.vt & VT_BYREF)) {
        if (!arg.byref) return E_POINTER;
        const VARTYPE base = static_cast<VARTYPE>(arg.vt & ~VT_BYREF);
        if (p.type == Type::Variant) {
            // The caller's variant itself, or, for a typed variable, a
            // variant that refers to it (VB's `tasks.Item(s)` with
            // `Dim s As String` passes VT_BYREF|VT_BSTR).
            if (base == VT_VARIANT) {
                slot.ref = arg.pvarVal;
            } else {
                slot.value = arg;  // a reference: clearing it frees nothing
                slot.ref = &slot.value;
            }
            return S_OK;
        }
        if (base == want) {
            slot.ref = arg.byref;  // the caller's own variable
            return S_OK;
        }
        if (base == VT_VARIANT) {
            VARIANT &inner = *arg.pvarVal;
            if (inner.vt == want) {
                slot.ref = ValueOf(inner);
                return S_OK;
            }
            HRESULT hr = Coerce(slot.value, inner, p.type, lcid);
            if (FAILED(hr)) return hr;
            slot.ref = ValueOf(slot.value);
            if (p.assigned) {
                if (FAILED(hr = VariantCopy(&slot.given, &slot.value))) return hr;
                slot.writeBack = &inner;
            }
            return S_OK;
        }
        return DISP_E_TYPEMISMATCH;  // a typed variable of another type cannot take the result
    }
    const HRESULT hr = Coerce(slot.value, arg, p.type, lcid);
    if (FAILED(hr)) return hr;
    slot.ref = p.type == Type::Variant ? static_cast<void *>(&slot.value) : ValueOf(slot.value);
    return S_OK;
}

// Whether two arrays hold the same elements under the same bounds.
bool SameArray(SAFEARRAY *a, SAFEARRAY *b) noexcept {
    if (!a || !b) return a == b;
    if (a->cDims != b->cDims || a->cbElements != b->cbElements) return false;
    std::size_t count = 1;
    for (USHORT d = 0; d < a->cDims; ++d) {
        if (a->rgsabound[d].cElements != b->rgsabound[d].cElements ||
            a->rgsabound[d].lLbound != b->rgsabound[d].lLbound)
            return false;
        count *= a->rgsabound[d].cElements;
    }
    return count == 0 || std::memcmp(a->pvData, b->pvData, count * a->cbElements) == 0;
}

// Whether the member left the value it was given (same type): the same text,
// the same array contents, the same scalar.
bool Unchanged(const VARIANT &now, const VARIANT &given) noexcept {
    if (now.vt == VT_BSTR) {
        const UINT bytes = SysStringByteLen(now.bstrVal);
        return bytes == SysStringByteLen(given.bstrVal) &&
               (bytes == 0 || std::memcmp(now.bstrVal, given.bstrVal, bytes) == 0);
    }
    if (now.vt & VT_ARRAY) return SameArray(now.parray, given.parray);
    switch (now.vt) {
        case VT_I2:
        case VT_BOOL: return now.iVal == given.iVal;
        case VT_I4: return now.lVal == given.lVal;
        case VT_DATE: return std::memcmp(&now.date, &given.date, sizeof now.date) == 0;
        default: return now.punkVal == given.punkVal;
    }
}

void FillException(EXCEPINFO &info, HRESULT hr) noexcept {
    std::memset(&info, 0, sizeof info);
    info.scode = hr;
    IErrorInfo *error = nullptr;
    if (GetErrorInfo(0, &error) == S_OK && error) {
        error->GetSource(&info.bstrSource);
        error->GetDescription(&info.bstrDescription);
        error->GetHelpFile(&info.bstrHelpFile);
        error->GetHelpContext(&info.dwHelpContext);
        SetErrorInfo(0, error);  // early-bound readers still find it
        error->Release();
    }
}

HRESULT InvokeMember(Interface id, IDispatch *self, const Member &m, LCID lcid, WORD flags, DISPPARAMS &dp,
                     VARIANT *result, EXCEPINFO *excepInfo, UINT *argErr);

// `obj.Tasks("x")`: arguments to a property without parameters go to the
// default member of the object it returns.
HRESULT InvokeDefaultOfResult(Interface id, IDispatch *self, const Member &m, LCID lcid, WORD flags, DISPPARAMS &dp,
                              VARIANT *result, EXCEPINFO *excepInfo, UINT *argErr) {
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    VARIANT object;
    VariantInit(&object);
    const HRESULT hr = InvokeMember(id, self, m, lcid, DISPATCH_PROPERTYGET, none, &object, excepInfo, argErr);
    if (FAILED(hr)) return hr;
    HRESULT call = DISP_E_MEMBERNOTFOUND;
    if (object.vt == VT_DISPATCH && object.pdispVal)
        call = object.pdispVal->Invoke(DISPID_VALUE, IID_NULL, lcid, flags, &dp, result, excepInfo, argErr);
    VariantClear(&object);
    return call;
}

HRESULT InvokeMember(Interface id, IDispatch *self, const Member &m, LCID lcid, WORD flags, DISPPARAMS &dp,
                     VARIANT *result, EXCEPINFO *excepInfo, UINT *argErr) {
    const UINT named = dp.cNamedArgs, total = dp.cArgs;
    const bool isPut = m.kind == Kind::Put || m.kind == Kind::PutRef;
    // rgvarg index of each parameter's argument.
    UINT where[3] = {UINT(-1), UINT(-1), UINT(-1)};
    if (isPut) {
        if (total != 1 || named > 1) return DISP_E_BADPARAMCOUNT;
        if (named == 1 && dp.rgdispidNamedArgs[0] != DISPID_PROPERTYPUT) {
            if (argErr) *argErr = 0;
            return DISP_E_PARAMNOTFOUND;
        }
        where[0] = 0;
    } else {
        const UINT positional = total - named;
        if (positional > m.nparams) {
            if (m.kind == Kind::Get && m.nparams == 0 && named == 0 && IsClassType(m.result))
                return InvokeDefaultOfResult(id, self, m, lcid, flags, dp, result, excepInfo, argErr);
            return DISP_E_BADPARAMCOUNT;
        }
        for (UINT k = 0; k < positional; ++k) where[k] = total - 1 - k;
        for (UINT i = 0; i < named; ++i) {
            const DISPID p = dp.rgdispidNamedArgs[i];
            if (p < 0 || static_cast<UINT>(p) >= m.nparams || where[p] != UINT(-1)) {
                if (argErr) *argErr = i;
                return DISP_E_PARAMNOTFOUND;
            }
            where[p] = i;
        }
        for (UINT k = 0; k < m.nparams; ++k)
            if (where[k] == UINT(-1)) return named ? DISP_E_PARAMNOTOPTIONAL : DISP_E_BADPARAMCOUNT;
    }

    Slot args[3];
    for (UINT k = 0; k < m.nparams; ++k) {
        const HRESULT hr = Prepare(args[k], m.params[k], dp.rgvarg[where[k]], lcid);
        if (FAILED(hr)) {
            if (argErr) *argErr = where[k];
            return hr;
        }
    }
    Slot ret;
    if (m.result != Type::None)
        ret.ref = m.result == Type::Variant ? static_cast<void *>(&ret.value) : ValueOf(ret.value);

    const HRESULT hr = kInvokers[&m - kMembers](self, args, &ret);
    if (FAILED(hr)) {
        if (!excepInfo) return hr;
        FillException(*excepInfo, hr);
        return DISP_E_EXCEPTION;
    }
    for (UINT k = 0; k < m.nparams; ++k) {
        if (!args[k].writeBack || Unchanged(args[k].value, args[k].given)) continue;
        VariantClear(args[k].writeBack);
        *args[k].writeBack = args[k].value;
        args[k].value.vt = VT_EMPTY;
    }
    if (m.result != Type::None && m.result != Type::Variant) ret.value.vt = VarTypeOf(m.result);
    if (result && m.result != Type::None) {
        *result = ret.value;  // the caller's result variant is taken as empty
        ret.value.vt = VT_EMPTY;
    }
    return hr;
}

}  // namespace

HRESULT GetIDsOfNames(Interface id, REFIID riid, LPOLESTR *names, UINT count, DISPID *dispids) noexcept {
    if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    if (!names || !dispids || count == 0) return E_INVALIDARG;
    for (UINT i = 0; i < count; ++i) dispids[i] = DISPID_UNKNOWN;
    if (!names[0]) return E_INVALIDARG;
    const std::size_t first = FirstMember(id), n = MemberCount(id);
    const Member *found = nullptr;
    for (std::size_t i = first; i < first + n && !found; ++i)
        if (SameName(names[0], kMembers[i].wname)) found = &kMembers[i];
    if (!found) return DISP_E_UNKNOWNNAME;
    dispids[0] = found->dispid;
    HRESULT hr = S_OK;
    for (UINT k = 1; k < count; ++k) {
        // Parameter names belong to the get or method of that name.
        for (std::size_t i = first; i < first + n && names[k]; ++i) {
            const Member &m = kMembers[i];
            if (m.dispid != found->dispid) continue;
            for (UINT p = 0; p < m.nparams; ++p)
                if (m.params[p].name && SameName(names[k], m.params[p].name)) dispids[k] = static_cast<DISPID>(p);
        }
        if (dispids[k] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
}

HRESULT Invoke(Interface id, IDispatch *self, DISPID member, REFIID riid, LCID lcid, WORD flags, DISPPARAMS *params,
               VARIANT *result, EXCEPINFO *excepInfo, UINT *argErr) noexcept {
    if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    if (!params || (params->cArgs && !params->rgvarg) || (params->cNamedArgs && !params->rgdispidNamedArgs) ||
        params->cNamedArgs > params->cArgs)
        return E_INVALIDARG;
    const Member *m = Resolve(id, member, flags);
    if (!m) return DISP_E_MEMBERNOTFOUND;
    return InvokeMember(id, self, *m, lcid, flags, *params, result, excepInfo, argErr);
}

#ifdef _WIN32

HRESULT GetTypeInfoCount(UINT *count) noexcept {
    if (!count) return E_INVALIDARG;
    *count = 1;
    return S_OK;
}

HRESULT GetTypeInfo(Interface id, UINT index, ITypeInfo **info) noexcept {
    if (!info) return E_INVALIDARG;
    *info = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&GetTypeInfo), &module))
        return HRESULT_FROM_WIN32(GetLastError());
    WCHAR path[MAX_PATH + 1];
    const DWORD length = GetModuleFileNameW(module, path, MAX_PATH + 1);
    if (length == 0 || length > MAX_PATH) return TYPE_E_CANTLOADLIBRARY;
    ITypeLib *library = nullptr;
    HRESULT hr = LoadTypeLibEx(path, REGKIND_NONE, &library);
    if (FAILED(hr)) return hr;
    hr = library->GetTypeInfoOfGuid(TaskScheduler::surface::InterfaceOf(id).iid, info);
    library->Release();
    return hr;
}

#else

HRESULT GetTypeInfoCount(UINT *count) noexcept {
    if (!count) return E_INVALIDARG;
    *count = 0;
    return S_OK;
}

HRESULT GetTypeInfo(Interface, UINT, ITypeInfo **info) noexcept {
    if (!info) return E_INVALIDARG;
    *info = nullptr;
    return DISP_E_BADINDEX;
}

#endif

}  // namespace velqosch::dispatch
