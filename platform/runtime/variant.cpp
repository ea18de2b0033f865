// VARIANT lifetime, copies and type conversions.
#include "internal.h"

#include <cfloat>
#include <cmath>
#include <cstring>

using namespace velqo::rt;

namespace {

// The types a VARIANT may carry: the base types below VT_VOID (but not the
// unused 15), VT_RECORD, optionally with VT_ARRAY and/or VT_BYREF; never
// VT_EMPTY or VT_NULL by reference or in an array.
HRESULT ValidateType(VARTYPE vt) {
    VARTYPE base = vt & VT_TYPEMASK;
    VARTYPE extra = vt & ~VARTYPE(VT_TYPEMASK);
    if (extra & ~VARTYPE(VT_ARRAY | VT_BYREF)) return DISP_E_BADVARTYPE;
    if (!(base < VT_VOID || base == VT_RECORD) || base == 15) return DISP_E_BADVARTYPE;
    if (extra && base <= VT_NULL) return DISP_E_BADVARTYPE;
    return S_OK;
}

// Size of the value a by-reference scalar points at; 0 when not a scalar.
std::size_t ScalarSize(VARTYPE base) {
    switch (base) {
    case VT_I1:
    case VT_UI1:
        return 1;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL:
        return 2;
    case VT_I4:
    case VT_UI4:
    case VT_R4:
    case VT_INT:
    case VT_UINT:
    case VT_ERROR:
    case VT_HRESULT:
        return 4;
    case VT_R8:
    case VT_I8:
    case VT_UI8:
    case VT_DATE:
    case VT_CY:
        return 8;
    default:
        return 0;
    }
}

BSTR CopyBstr(BSTR s, HRESULT *hr) {
    *hr = S_OK;
    if (!s) return nullptr;
    BSTR copy = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(s), SysStringByteLen(s));
    if (!copy) *hr = E_OUTOFMEMORY;
    return copy;
}

// Deep copy of src into the uninitialised *out, which is only written on
// success.
HRESULT CopyInto(VARIANT *out, const VARIANT *src) {
    VARIANT tmp = *src;
    HRESULT hr = S_OK;
    if (!(src->vt & VT_BYREF)) {
        if (src->vt & VT_ARRAY) {
            hr = SafeArrayCopy(src->parray, &tmp.parray);
        } else if (src->vt == VT_BSTR) {
            tmp.bstrVal = CopyBstr(src->bstrVal, &hr);
        } else if (src->vt == VT_UNKNOWN || src->vt == VT_DISPATCH) {
            if (src->punkVal) src->punkVal->AddRef();
        } else if (src->vt == VT_RECORD) {
            hr = E_NOTIMPL;  // records are not supported by this runtime
        }
    }
    if (SUCCEEDED(hr)) *out = tmp;
    return hr;
}

// The value a VT_BYREF variant points at, as an owned variant in *out.
HRESULT Dereference(VARIANT *out, const VARIANT *src) {
    VARTYPE base = src->vt & ~VARTYPE(VT_BYREF);
    if (!src->byref) return E_INVALIDARG;
    VARIANT tmp;
    VariantInit(&tmp);
    HRESULT hr = S_OK;
    if (base == VT_VARIANT) {
        const VARIANT *inner = src->pvarVal;
        if (inner->vt == (VT_VARIANT | VT_BYREF)) return E_INVALIDARG;
        if (FAILED(hr = ValidateType(inner->vt))) return hr;
        return inner->vt & VT_BYREF ? Dereference(out, inner) : CopyInto(out, inner);
    }
    tmp.vt = base;
    if (base & VT_ARRAY) {
        hr = SafeArrayCopy(*src->pparray, &tmp.parray);
    } else if (base == VT_BSTR) {
        tmp.bstrVal = CopyBstr(*src->pbstrVal, &hr);
    } else if (base == VT_UNKNOWN || base == VT_DISPATCH) {
        tmp.punkVal = *src->ppunkVal;
        if (tmp.punkVal) tmp.punkVal->AddRef();
    } else if (std::size_t size = ScalarSize(base)) {
        std::memcpy(&tmp.llVal, src->byref, size);
    } else {
        hr = DISP_E_BADVARTYPE;
    }
    if (SUCCEEDED(hr)) *out = tmp;
    return hr;
}

// --- conversions ---------------------------------------------------------------

bool IsNumericTarget(VARTYPE vt) {
    switch (vt) {
    case VT_I1:
    case VT_UI1:
    case VT_I2:
    case VT_UI2:
    case VT_I4:
    case VT_UI4:
    case VT_I8:
    case VT_UI8:
    case VT_INT:
    case VT_UINT:
    case VT_R4:
    case VT_R8:
    case VT_DATE:
    case VT_CY:
    case VT_BOOL:
        return true;
    default:
        return false;
    }
}

// The numeric value of a scalar source; x86-64's long double holds every
// 64-bit integer exactly. `real` tells whether rounding applies.
bool NumericValue(const VARIANT *s, long double *v, bool *real) {
    *real = false;
    switch (s->vt) {
    case VT_EMPTY: *v = 0; return true;
    case VT_I1: *v = s->cVal; return true;
    case VT_UI1: *v = s->bVal; return true;
    case VT_I2: *v = s->iVal; return true;
    case VT_UI2: *v = s->uiVal; return true;
    case VT_BOOL: *v = s->boolVal; return true;
    case VT_I4: *v = s->lVal; return true;
    case VT_UI4: *v = s->ulVal; return true;
    case VT_INT: *v = s->intVal; return true;
    case VT_UINT: *v = s->uintVal; return true;
    case VT_I8: *v = s->llVal; return true;
    case VT_UI8: *v = s->ullVal; return true;
    case VT_R4: *v = s->fltVal, *real = true; return true;
    case VT_R8: *v = s->dblVal, *real = true; return true;
    case VT_DATE: *v = s->date, *real = true; return true;
    case VT_CY: *v = (long double)s->cyVal.int64 / 10000.0L, *real = true; return true;
    default: return false;
    }
}

bool InRange(long double v, long double lo, long double hi) { return v >= lo && v <= hi; }

// Stores v (already rounded for integer targets) as type vt.
HRESULT StoreNumber(long double v, bool real, VARTYPE vt, VARIANT *out) {
    if (std::isnan(v) && vt != VT_R4 && vt != VT_R8 && vt != VT_BOOL) return DISP_E_OVERFLOW;
    long double r = real ? std::nearbyintl(v) : v;  // ties to even
    out->llVal = 0;
    switch (vt) {
    case VT_I1:
        if (!InRange(r, -128, 127)) return DISP_E_OVERFLOW;
        out->cVal = CHAR(r);
        break;
    case VT_UI1:
        if (!InRange(r, 0, 255)) return DISP_E_OVERFLOW;
        out->bVal = BYTE(r);
        break;
    case VT_I2:
        if (!InRange(r, -32768, 32767)) return DISP_E_OVERFLOW;
        out->iVal = SHORT(r);
        break;
    case VT_UI2:
        if (!InRange(r, 0, 65535)) return DISP_E_OVERFLOW;
        out->uiVal = USHORT(r);
        break;
    case VT_I4:
    case VT_INT:
        if (!InRange(r, -2147483648.0L, 2147483647.0L)) return DISP_E_OVERFLOW;
        out->lVal = LONG(r);
        break;
    case VT_UI4:
    case VT_UINT:
        if (!InRange(r, 0, 4294967295.0L)) return DISP_E_OVERFLOW;
        out->ulVal = ULONG(r);
        break;
    case VT_I8:
        if (!(r >= -9223372036854775808.0L && r < 9223372036854775808.0L)) return DISP_E_OVERFLOW;
        out->llVal = LONGLONG(r);
        break;
    case VT_UI8:
        if (!(r >= 0 && r < 18446744073709551616.0L)) return DISP_E_OVERFLOW;
        out->ullVal = ULONGLONG(r);
        break;
    case VT_R4:
        if (std::isfinite(v) && std::fabs(v) > FLT_MAX) return DISP_E_OVERFLOW;
        out->fltVal = FLOAT(v);
        break;
    case VT_R8:
        if (std::isfinite(v) && std::fabs(v) > DBL_MAX) return DISP_E_OVERFLOW;
        out->dblVal = DOUBLE(v);
        break;
    case VT_DATE:
        if (!(v > -657435.0L && v < 2958466.0L)) return DISP_E_OVERFLOW;
        out->date = DATE(v);
        break;
    case VT_CY: {
        long double scaled = std::nearbyintl(v * 10000.0L);
        if (!(scaled >= -9223372036854775808.0L && scaled < 9223372036854775808.0L)) return DISP_E_OVERFLOW;
        out->cyVal.int64 = LONGLONG(scaled);
        break;
    }
    case VT_BOOL:
        out->boolVal = v != 0 ? VARIANT_TRUE : VARIANT_FALSE;
        break;
    default:
        return DISP_E_TYPEMISMATCH;
    }
    out->vt = vt;
    return S_OK;
}

bool EqualsIgnoreCase(const OLECHAR *a, const char *b) {
    if (!a) return false;
    for (; *a && *b; ++a, ++b) {
        char16_t x = *a >= 'A' && *a <= 'Z' ? char16_t(*a + 32) : *a;
        char y = *b >= 'A' && *b <= 'Z' ? char(*b + 32) : *b;
        if (x != char16_t(y)) return false;
    }
    return !*a && !*b;
}

std::u16string Trim(const OLECHAR *s) {
    std::u16string t = s ? s : u"";
    while (!t.empty() && (t.back() == ' ' || t.back() == '\t')) t.pop_back();
    std::size_t b = 0;
    while (b < t.size() && (t[b] == ' ' || t[b] == '\t')) ++b;
    return t.substr(b);
}

HRESULT FromString(BSTR s, VARTYPE vt, VARIANT *out) {
    const OLECHAR *text = s ? s : u"";
    if (vt == VT_DATE) {
        DATE d;
        HRESULT hr = ParseDate(text, &d);
        if (FAILED(hr)) return hr;
        out->vt = VT_DATE;
        out->date = d;
        return S_OK;
    }
    if (vt == VT_BOOL) {
        std::u16string t = Trim(text);
        if (EqualsIgnoreCase(t.c_str(), "true") || EqualsIgnoreCase(t.c_str(), "false")) {
            out->vt = VT_BOOL;
            out->llVal = 0;
            out->boolVal = EqualsIgnoreCase(t.c_str(), "true") ? VARIANT_TRUE : VARIANT_FALSE;
            return S_OK;
        }
    }
    double d;
    bool integral;
    LONGLONG n = 0;
    HRESULT hr = ParseNumber(text, &d, &integral, &n);
    if (FAILED(hr)) return hr;
    return integral ? StoreNumber((long double)n, false, vt, out) : StoreNumber(d, true, vt, out);
}

HRESULT ToString(const VARIANT *s, USHORT flags, VARIANT *out) {
    std::u16string text;
    switch (s->vt) {
    case VT_EMPTY:
        break;
    case VT_BOOL:
        if (flags & (VARIANT_ALPHABOOL | VARIANT_LOCALBOOL))
            text = s->boolVal ? u"True" : u"False";
        else
            text = s->boolVal ? u"-1" : u"0";
        break;
    case VT_R4:
        text = FormatDouble(s->fltVal, 7);
        break;
    case VT_R8:
        text = FormatDouble(s->dblVal, 15);
        break;
    case VT_CY:
        text = FormatDouble(double(s->cyVal.int64) / 10000.0, 19);
        break;
    case VT_DATE: {
        HRESULT hr = FormatDate(s->date, &text);
        if (FAILED(hr)) return hr;
        break;
    }
    default: {
        long double v;
        bool real;
        if (!NumericValue(s, &v, &real)) return DISP_E_TYPEMISMATCH;
        std::string digits;
        if (s->vt == VT_UI8)
            digits = std::to_string(s->ullVal);
        else
            digits = std::to_string((long long)v);
        text.assign(digits.begin(), digits.end());
    }
    }
    BSTR b = SysAllocStringLen(text.data(), UINT(text.size()));
    if (!b) return E_OUTOFMEMORY;
    out->vt = VT_BSTR;
    out->bstrVal = b;
    return S_OK;
}

thread_local int t_valueDepth = 0;

HRESULT Coerce(const VARIANT *s, VARIANT *out, LCID lcid, USHORT flags, VARTYPE vt);

// The DISPID_VALUE property of an object, converted.
HRESULT FromDispatchValue(IDispatch *disp, VARIANT *out, LCID lcid, USHORT flags, VARTYPE vt) {
    if (!disp || (flags & VARIANT_NOVALUEPROP)) return DISP_E_TYPEMISMATCH;
    if (t_valueDepth >= 16) return DISP_E_TYPEMISMATCH;  // a value property that keeps returning objects
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    VARIANT value;
    VariantInit(&value);
    EXCEPINFO excep{};
    UINT argErr = 0;
    HRESULT hr = disp->Invoke(DISPID_VALUE, IID_NULL, lcid, DISPATCH_PROPERTYGET, &none, &value, &excep, &argErr);
    SysFreeString(excep.bstrSource);
    SysFreeString(excep.bstrDescription);
    SysFreeString(excep.bstrHelpFile);
    if (FAILED(hr)) {
        VariantClear(&value);
        return hr;
    }
    ++t_valueDepth;
    VARIANT tmp;
    VariantInit(&tmp);
    hr = VariantChangeTypeEx(&tmp, &value, lcid, flags, vt);
    --t_valueDepth;
    VariantClear(&value);
    if (SUCCEEDED(hr)) *out = tmp;
    return hr;
}

HRESULT Coerce(const VARIANT *s, VARIANT *out, LCID lcid, USHORT flags, VARTYPE vt) {
    VariantInit(out);
    if (vt == VT_EMPTY) return S_OK;
    if (vt == VT_NULL) {
        if (s->vt != VT_EMPTY && s->vt != VT_NULL) return DISP_E_TYPEMISMATCH;
        out->vt = VT_NULL;
        return S_OK;
    }
    if (s->vt == VT_NULL) return DISP_E_TYPEMISMATCH;

    if (s->vt == VT_DISPATCH) {
        if (vt == VT_UNKNOWN) {
            out->vt = VT_UNKNOWN;
            if (!s->pdispVal) return S_OK;
            return s->pdispVal->QueryInterface(IID_IUnknown, reinterpret_cast<void **>(&out->punkVal));
        }
        HRESULT hr = FromDispatchValue(s->pdispVal, out, lcid, flags, vt);
        if (FAILED(hr)) VariantInit(out);
        return hr;
    }
    if (vt == VT_DISPATCH || vt == VT_UNKNOWN) {
        if (s->vt == VT_EMPTY) {
            out->vt = vt;
            out->punkVal = nullptr;
            return S_OK;
        }
        if (s->vt == VT_UNKNOWN && vt == VT_DISPATCH) {
            out->vt = VT_DISPATCH;
            if (!s->punkVal) return S_OK;
            HRESULT hr = s->punkVal->QueryInterface(IID_IDispatch, reinterpret_cast<void **>(&out->pdispVal));
            if (FAILED(hr)) VariantInit(out);
            return hr;
        }
        return DISP_E_TYPEMISMATCH;
    }
    if (s->vt == VT_UNKNOWN || s->vt == VT_ERROR) return DISP_E_TYPEMISMATCH;

    // Byte arrays and strings convert into each other, the bytes unchanged.
    if (s->vt == (VT_ARRAY | VT_UI1) && vt == VT_BSTR) {
        SAFEARRAY *psa = s->parray;
        if (!psa || psa->cDims != 1) return DISP_E_TYPEMISMATCH;
        BSTR b = SysAllocStringByteLen(static_cast<LPCSTR>(psa->pvData), psa->rgsabound[0].cElements);
        if (!b) return E_OUTOFMEMORY;
        out->vt = VT_BSTR;
        out->bstrVal = b;
        return S_OK;
    }
    if (s->vt == VT_BSTR && vt == (VT_ARRAY | VT_UI1)) {
        UINT bytes = SysStringByteLen(s->bstrVal);
        SAFEARRAY *psa = SafeArrayCreateVector(VT_UI1, 0, bytes);
        if (!psa) return E_OUTOFMEMORY;
        if (bytes) std::memcpy(psa->pvData, s->bstrVal, bytes);
        out->vt = vt;
        out->parray = psa;
        return S_OK;
    }
    if ((s->vt & VT_ARRAY) || (vt & VT_ARRAY)) return DISP_E_TYPEMISMATCH;

    if (vt == VT_BSTR) return ToString(s, flags, out);
    if (!IsNumericTarget(vt)) return DISP_E_TYPEMISMATCH;
    if (s->vt == VT_BSTR) return FromString(s->bstrVal, vt, out);
    long double v;
    bool real;
    if (!NumericValue(s, &v, &real)) return DISP_E_TYPEMISMATCH;
    // A Boolean reaches the unsigned types as its bit pattern (True = all ones).
    if (s->vt == VT_BOOL && (vt == VT_UI1 || vt == VT_UI2 || vt == VT_UI4 || vt == VT_UINT || vt == VT_UI8)) {
        out->llVal = 0;
        out->vt = vt;
        switch (vt) {
        case VT_UI1: out->bVal = BYTE(s->boolVal); break;
        case VT_UI2: out->uiVal = USHORT(s->boolVal); break;
        case VT_UI8: out->ullVal = ULONGLONG(LONGLONG(s->boolVal)); break;
        default: out->ulVal = ULONG(LONG(s->boolVal)); break;
        }
        return S_OK;
    }
    return StoreNumber(v, real, vt, out);
}

}  // namespace

VQAPI void VariantInit(VARIANTARG *pvarg) {
    if (!pvarg) return;
    pvarg->vt = VT_EMPTY;
    pvarg->wReserved1 = pvarg->wReserved2 = pvarg->wReserved3 = 0;
}

VQAPI HRESULT VariantClear(VARIANTARG *pvarg) {
    if (!pvarg) return E_INVALIDARG;
    HRESULT hr = ValidateType(pvarg->vt);
    if (FAILED(hr)) return hr;
    if (!(pvarg->vt & VT_BYREF)) {
        if (pvarg->vt & VT_ARRAY) {
            hr = SafeArrayDestroy(pvarg->parray);
            if (FAILED(hr)) return hr;
        } else if (pvarg->vt == VT_BSTR) {
            SysFreeString(pvarg->bstrVal);
        } else if (pvarg->vt == VT_UNKNOWN || pvarg->vt == VT_DISPATCH) {
            if (pvarg->punkVal) pvarg->punkVal->Release();
        }
    }
    VariantInit(pvarg);
    return S_OK;
}

VQAPI HRESULT VariantCopy(VARIANTARG *pvargDest, const VARIANTARG *pvargSrc) {
    if (!pvargDest || !pvargSrc) return E_INVALIDARG;
    HRESULT hr = ValidateType(pvargSrc->vt);
    if (FAILED(hr)) return hr;
    if (pvargDest == pvargSrc) return S_OK;
    VARIANT tmp;
    if (FAILED(hr = CopyInto(&tmp, pvargSrc))) return hr;
    if (FAILED(hr = VariantClear(pvargDest))) {
        VariantClear(&tmp);
        return hr;
    }
    *pvargDest = tmp;
    return S_OK;
}

VQAPI HRESULT VariantCopyInd(VARIANT *pvarDest, const VARIANTARG *pvargSrc) {
    if (!pvarDest || !pvargSrc) return E_INVALIDARG;
    if (!(pvargSrc->vt & VT_BYREF)) return VariantCopy(pvarDest, pvargSrc);
    HRESULT hr = ValidateType(pvargSrc->vt);
    if (FAILED(hr)) return hr;
    VARIANT tmp;
    if (FAILED(hr = Dereference(&tmp, pvargSrc))) return hr;
    // In place: the source is a reference, so clearing it frees nothing.
    if (FAILED(hr = VariantClear(pvarDest))) {
        VariantClear(&tmp);
        return hr;
    }
    *pvarDest = tmp;
    return S_OK;
}

VQAPI HRESULT VariantChangeTypeEx(VARIANTARG *pvargDest, const VARIANTARG *pvarSrc, LCID lcid, USHORT wFlags,
                                  VARTYPE vt) {
    if (!pvargDest || !pvarSrc) return E_INVALIDARG;
    HRESULT hr = ValidateType(pvarSrc->vt);
    if (FAILED(hr)) return hr;
    if ((vt & VT_BYREF) || FAILED(ValidateType(vt))) return DISP_E_BADVARTYPE;
    if (vt == VT_RECORD || vt == VT_VARIANT || vt == VT_DECIMAL || vt == VT_HRESULT) return DISP_E_TYPEMISMATCH;

    VARIANT owned;  // the dereferenced source, when it is a reference
    VariantInit(&owned);
    const VARIANT *source = pvarSrc;
    if (pvarSrc->vt & VT_BYREF) {
        if (FAILED(hr = Dereference(&owned, pvarSrc))) return hr;
        source = &owned;
    }
    VARIANT result;
    VariantInit(&result);
    if (source->vt == vt) {
        if (source == &owned) {
            result = owned;
            VariantInit(&owned);
        } else if (pvargDest == pvarSrc) {
            return S_OK;
        } else {
            hr = CopyInto(&result, source);
        }
    } else {
        hr = Coerce(source, &result, lcid, wFlags, vt);
    }
    VariantClear(&owned);
    if (FAILED(hr)) return hr;
    if (FAILED(hr = VariantClear(pvargDest))) {
        VariantClear(&result);
        return hr;
    }
    *pvargDest = result;
    return S_OK;
}

VQAPI HRESULT VariantChangeType(VARIANTARG *pvargDest, const VARIANTARG *pvarSrc, USHORT wFlags, VARTYPE vt) {
    return VariantChangeTypeEx(pvargDest, pvarSrc, LOCALE_USER_DEFAULT, wFlags, vt);
}
