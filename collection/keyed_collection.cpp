#include "collection/keyed_collection.h"

#include <cmath>
#include <cstdint>
#include <limits>

#include "service/name_case.h"

namespace velqosch {

namespace {

// A position from a floating-point number: rounded half to even, error 6
// beyond the 32-bit range.
LONG PositionFromDouble(double value) {
    const double rounded = std::nearbyint(value);
    if (!(rounded >= static_cast<double>(std::numeric_limits<LONG>::min()) &&
          rounded <= static_cast<double>(std::numeric_limits<LONG>::max())))
        RaiseStandard(kErrOverflow);
    return static_cast<LONG>(rounded);
}

LONG PositionFromInteger(int64_t value) { return CheckedI4(value); }

LONG PositionFromUnsigned(uint64_t value) {
    if (value > static_cast<uint64_t>(std::numeric_limits<LONG>::max())) RaiseStandard(kErrOverflow);
    return static_cast<LONG>(value);
}

// Currency: a count of ten-thousandths, rounded half to even.
LONG PositionFromCurrency(int64_t scaled) {
    int64_t whole = scaled / 10000;
    const int64_t rest = scaled % 10000;
    if (rest > 5000 || (rest == 5000 && (whole & 1)))
        ++whole;
    else if (rest < -5000 || (rest == -5000 && (whole & 1)))
        --whole;
    return CheckedI4(whole);
}

template <class P>
const P &Deref(const P *p) {
    if (!p) RaiseHResult(E_POINTER);
    return *p;
}

IndexKey Position(LONG position) {
    IndexKey k;
    k.position = position;
    return k;
}

// ---- Enumerator ----------------------------------------------------------------------------------------------------

class ObjectEnumerator final : public IEnumVARIANT {
public:
    ObjectEnumerator(std::shared_ptr<const std::vector<ComRef<IDispatch>>> items, std::size_t next)
        : items_(std::move(items)), next_(next) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) noexcept override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IEnumVARIANT)) return E_NOINTERFACE;
        *ppv = static_cast<IEnumVARIANT *>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() noexcept override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() noexcept override {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }

    HRESULT STDMETHODCALLTYPE Next(ULONG celt, VARIANT *rgVar, ULONG *pCeltFetched) noexcept override {
        if (pCeltFetched) *pCeltFetched = 0;
        if (celt == 0) return S_OK;
        if (!rgVar || (!pCeltFetched && celt != 1)) return E_POINTER;
        ULONG fetched = 0;
        while (fetched < celt && next_ < items_->size()) {
            VARIANT &v = rgVar[fetched++];
            VariantInit(&v);
            v.vt = VT_DISPATCH;
            v.pdispVal = (*items_)[next_++].get();
            if (v.pdispVal) v.pdispVal->AddRef();
        }
        if (pCeltFetched) *pCeltFetched = fetched;
        return fetched == celt ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG celt) noexcept override {
        const std::size_t left = items_->size() - next_;
        if (celt > left) {
            next_ = items_->size();
            return S_FALSE;
        }
        next_ += celt;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Reset() noexcept override {
        next_ = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clone(IEnumVARIANT **ppEnum) noexcept override {
        if (!ppEnum) return E_POINTER;
        *ppEnum = nullptr;
        auto *copy = new (std::nothrow) ObjectEnumerator(items_, next_);
        if (!copy) return E_OUTOFMEMORY;
        *ppEnum = copy;
        return S_OK;
    }

private:
    ~ObjectEnumerator() = default;

    ULONG refs_ = 1;
    std::shared_ptr<const std::vector<ComRef<IDispatch>>> items_;
    std::size_t next_;
};

}  // namespace

char16_t FoldCase(char16_t unit) noexcept { return velqo::FoldLetterCase(unit); }

std::u16string FoldKey(std::u16string_view key) {
    std::u16string folded(key.size(), u'\0');
    for (std::size_t i = 0; i < key.size(); ++i) folded[i] = velqo::FoldLetterCase(key[i]);
    return folded;
}

IndexKey ReadIndexKey(const VARIANT *value) {
    const VARIANT &v = Deref(value);
    const VARTYPE vt = v.vt;
    if (vt == (VT_VARIANT | VT_BYREF)) return ReadIndexKey(v.pvarVal);
    switch (vt) {
        case VT_BSTR:
        case VT_BSTR | VT_BYREF: {
            IndexKey k;
            k.isKey = true;
            const BSTR b = vt == VT_BSTR ? v.bstrVal : Deref(v.pbstrVal);
            if (b) k.key.assign(reinterpret_cast<const char16_t *>(b), SysStringLen(b));
            return k;
        }
        case VT_I1: return Position(v.cVal);
        case VT_I1 | VT_BYREF: return Position(Deref(v.pcVal));
        case VT_UI1: return Position(v.bVal);
        case VT_UI1 | VT_BYREF: return Position(Deref(v.pbVal));
        case VT_I2: return Position(v.iVal);
        case VT_I2 | VT_BYREF: return Position(Deref(v.piVal));
        case VT_UI2: return Position(v.uiVal);
        case VT_UI2 | VT_BYREF: return Position(Deref(v.puiVal));
        case VT_BOOL: return Position(v.boolVal);
        case VT_BOOL | VT_BYREF: return Position(Deref(v.pboolVal));
        case VT_I4: return Position(v.lVal);
        case VT_I4 | VT_BYREF: return Position(Deref(v.plVal));
        case VT_INT: return Position(PositionFromInteger(v.intVal));
        case VT_INT | VT_BYREF: return Position(PositionFromInteger(Deref(v.pintVal)));
        case VT_UI4: return Position(PositionFromUnsigned(v.ulVal));
        case VT_UI4 | VT_BYREF: return Position(PositionFromUnsigned(Deref(v.pulVal)));
        case VT_UINT: return Position(PositionFromUnsigned(v.uintVal));
        case VT_UINT | VT_BYREF: return Position(PositionFromUnsigned(Deref(v.puintVal)));
        case VT_I8: return Position(PositionFromInteger(v.llVal));
        case VT_I8 | VT_BYREF: return Position(PositionFromInteger(Deref(v.pllVal)));
        case VT_UI8: return Position(PositionFromUnsigned(v.ullVal));
        case VT_UI8 | VT_BYREF: return Position(PositionFromUnsigned(Deref(v.pullVal)));
        case VT_R4: return Position(PositionFromDouble(v.fltVal));
        case VT_R4 | VT_BYREF: return Position(PositionFromDouble(Deref(v.pfltVal)));
        case VT_R8: return Position(PositionFromDouble(v.dblVal));
        case VT_R8 | VT_BYREF: return Position(PositionFromDouble(Deref(v.pdblVal)));
        case VT_CY: return Position(PositionFromCurrency(v.cyVal.int64));
        case VT_CY | VT_BYREF: return Position(PositionFromCurrency(Deref(v.pcyVal).int64));
        default: RaiseStandard(kErrTypeMismatch);
    }
}

ComRef<IEnumVARIANT> NewObjectEnumerator(std::vector<ComRef<IDispatch>> items) {
    auto shared = std::make_shared<const std::vector<ComRef<IDispatch>>>(std::move(items));
    return ComRef<IEnumVARIANT>::Adopt(new ObjectEnumerator(std::move(shared), 0));
}

}  // namespace velqosch
