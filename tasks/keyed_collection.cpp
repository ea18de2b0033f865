#include "tasks/keyed_collection.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>

namespace velqosch {

namespace {

// One run of the folding table: the units first..last (every one, or every
// second one from first when step is 2) fold to unit + delta.
struct FoldRun {
    char16_t first;
    char16_t last;
    int32_t delta;
    uint8_t step;
};

constexpr int32_t To(char32_t target, char32_t source) { return static_cast<int32_t>(target) - static_cast<int32_t>(source); }

// The simple case folding of the Unicode character database for the blocks
// named in FoldCase, upper (and title) case to lower case.
constexpr FoldRun kFoldRuns[] = {
    // Basic Latin and Latin-1
    {0x0041, 0x005A, 32, 1},
    {0x00B5, 0x00B5, To(0x03BC, 0x00B5), 1},
    {0x00C0, 0x00D6, 32, 1},
    {0x00D8, 0x00DE, 32, 1},
    // Latin Extended-A
    {0x0100, 0x012E, 1, 2},
    {0x0132, 0x0136, 1, 2},
    {0x0139, 0x0147, 1, 2},
    {0x014A, 0x0176, 1, 2},
    {0x0178, 0x0178, To(0x00FF, 0x0178), 1},
    {0x0179, 0x017D, 1, 2},
    {0x017F, 0x017F, To(0x0073, 0x017F), 1},
    // Latin Extended-B
    {0x0181, 0x0181, To(0x0253, 0x0181), 1},
    {0x0182, 0x0184, 1, 2},
    {0x0186, 0x0186, To(0x0254, 0x0186), 1},
    {0x0187, 0x0187, 1, 1},
    {0x0189, 0x018A, To(0x0256, 0x0189), 1},
    {0x018B, 0x018B, 1, 1},
    {0x018E, 0x018E, To(0x01DD, 0x018E), 1},
    {0x018F, 0x018F, To(0x0259, 0x018F), 1},
    {0x0190, 0x0190, To(0x025B, 0x0190), 1},
    {0x0191, 0x0191, 1, 1},
    {0x0193, 0x0193, To(0x0260, 0x0193), 1},
    {0x0194, 0x0194, To(0x0263, 0x0194), 1},
    {0x0196, 0x0196, To(0x0269, 0x0196), 1},
    {0x0197, 0x0197, To(0x0268, 0x0197), 1},
    {0x0198, 0x0198, 1, 1},
    {0x019C, 0x019C, To(0x026F, 0x019C), 1},
    {0x019D, 0x019D, To(0x0272, 0x019D), 1},
    {0x019F, 0x019F, To(0x0275, 0x019F), 1},
    {0x01A0, 0x01A4, 1, 2},
    {0x01A6, 0x01A6, To(0x0280, 0x01A6), 1},
    {0x01A7, 0x01A7, 1, 1},
    {0x01A9, 0x01A9, To(0x0283, 0x01A9), 1},
    {0x01AC, 0x01AC, 1, 1},
    {0x01AE, 0x01AE, To(0x0288, 0x01AE), 1},
    {0x01AF, 0x01AF, 1, 1},
    {0x01B1, 0x01B2, To(0x028A, 0x01B1), 1},
    {0x01B3, 0x01B5, 1, 2},
    {0x01B7, 0x01B7, To(0x0292, 0x01B7), 1},
    {0x01B8, 0x01B8, 1, 1},
    {0x01BC, 0x01BC, 1, 1},
    {0x01C4, 0x01C4, 2, 1},
    {0x01C5, 0x01C5, 1, 1},
    {0x01C7, 0x01C7, 2, 1},
    {0x01C8, 0x01C8, 1, 1},
    {0x01CA, 0x01CA, 2, 1},
    {0x01CB, 0x01DB, 1, 2},
    {0x01DE, 0x01EE, 1, 2},
    {0x01F1, 0x01F1, 2, 1},
    {0x01F2, 0x01F4, 1, 2},
    {0x01F6, 0x01F6, To(0x0195, 0x01F6), 1},
    {0x01F7, 0x01F7, To(0x01BF, 0x01F7), 1},
    {0x01F8, 0x021E, 1, 2},
    {0x0220, 0x0220, To(0x019E, 0x0220), 1},
    {0x0222, 0x0232, 1, 2},
    {0x023A, 0x023A, To(0x2C65, 0x023A), 1},
    {0x023B, 0x023B, 1, 1},
    {0x023D, 0x023D, To(0x019A, 0x023D), 1},
    {0x023E, 0x023E, To(0x2C66, 0x023E), 1},
    {0x0241, 0x0241, 1, 1},
    {0x0243, 0x0243, To(0x0180, 0x0243), 1},
    {0x0244, 0x0244, To(0x0289, 0x0244), 1},
    {0x0245, 0x0245, To(0x028C, 0x0245), 1},
    {0x0246, 0x024E, 1, 2},
    // Greek and Coptic
    {0x0345, 0x0345, To(0x03B9, 0x0345), 1},
    {0x0370, 0x0372, 1, 2},
    {0x0376, 0x0376, 1, 1},
    {0x037F, 0x037F, To(0x03F3, 0x037F), 1},
    {0x0386, 0x0386, To(0x03AC, 0x0386), 1},
    {0x0388, 0x038A, To(0x03AD, 0x0388), 1},
    {0x038C, 0x038C, To(0x03CC, 0x038C), 1},
    {0x038E, 0x038F, To(0x03CD, 0x038E), 1},
    {0x0391, 0x03A1, 32, 1},
    {0x03A3, 0x03AB, 32, 1},
    {0x03C2, 0x03C2, 1, 1},
    {0x03CF, 0x03CF, To(0x03D7, 0x03CF), 1},
    {0x03D0, 0x03D0, To(0x03B2, 0x03D0), 1},
    {0x03D1, 0x03D1, To(0x03B8, 0x03D1), 1},
    {0x03D5, 0x03D5, To(0x03C6, 0x03D5), 1},
    {0x03D6, 0x03D6, To(0x03C0, 0x03D6), 1},
    {0x03D8, 0x03EE, 1, 2},
    {0x03F0, 0x03F0, To(0x03BA, 0x03F0), 1},
    {0x03F1, 0x03F1, To(0x03C1, 0x03F1), 1},
    {0x03F4, 0x03F4, To(0x03B8, 0x03F4), 1},
    {0x03F5, 0x03F5, To(0x03B5, 0x03F5), 1},
    {0x03F7, 0x03F7, 1, 1},
    {0x03F9, 0x03F9, To(0x03F2, 0x03F9), 1},
    {0x03FA, 0x03FA, 1, 1},
    {0x03FD, 0x03FF, To(0x037B, 0x03FD), 1},
    // Cyrillic and Cyrillic Supplement
    {0x0400, 0x040F, 80, 1},
    {0x0410, 0x042F, 32, 1},
    {0x0460, 0x0480, 1, 2},
    {0x048A, 0x04BE, 1, 2},
    {0x04C0, 0x04C0, To(0x04CF, 0x04C0), 1},
    {0x04C1, 0x04CD, 1, 2},
    {0x04D0, 0x04FE, 1, 2},
    {0x0500, 0x052E, 1, 2},
    // Armenian
    {0x0531, 0x0556, 48, 1},
    // Georgian
    {0x10A0, 0x10C5, To(0x2D00, 0x10A0), 1},
    {0x10C7, 0x10C7, To(0x2D27, 0x10C7), 1},
    {0x10CD, 0x10CD, To(0x2D2D, 0x10CD), 1},
    // Latin Extended Additional
    {0x1E00, 0x1E94, 1, 2},
    {0x1E9B, 0x1E9B, To(0x1E61, 0x1E9B), 1},
    {0x1E9E, 0x1E9E, To(0x00DF, 0x1E9E), 1},
    {0x1EA0, 0x1EFE, 1, 2},
    // Greek Extended
    {0x1F08, 0x1F0F, -8, 1},
    {0x1F18, 0x1F1D, -8, 1},
    {0x1F28, 0x1F2F, -8, 1},
    {0x1F38, 0x1F3F, -8, 1},
    {0x1F48, 0x1F4D, -8, 1},
    {0x1F59, 0x1F5F, -8, 2},
    {0x1F68, 0x1F6F, -8, 1},
    {0x1F88, 0x1F8F, -8, 1},
    {0x1F98, 0x1F9F, -8, 1},
    {0x1FA8, 0x1FAF, -8, 1},
    {0x1FB8, 0x1FB9, -8, 1},
    {0x1FBA, 0x1FBB, To(0x1F70, 0x1FBA), 1},
    {0x1FBC, 0x1FBC, -9, 1},
    {0x1FBE, 0x1FBE, To(0x03B9, 0x1FBE), 1},
    {0x1FC8, 0x1FCB, To(0x1F72, 0x1FC8), 1},
    {0x1FCC, 0x1FCC, -9, 1},
    {0x1FD8, 0x1FD9, -8, 1},
    {0x1FDA, 0x1FDB, To(0x1F76, 0x1FDA), 1},
    {0x1FE8, 0x1FE9, -8, 1},
    {0x1FEA, 0x1FEB, To(0x1F7A, 0x1FEA), 1},
    {0x1FEC, 0x1FEC, -7, 1},
    {0x1FF8, 0x1FF9, To(0x1F78, 0x1FF8), 1},
    {0x1FFA, 0x1FFB, To(0x1F7C, 0x1FFA), 1},
    {0x1FFC, 0x1FFC, -9, 1},
    // Letter-like symbols, number forms, enclosed letters
    {0x2126, 0x2126, To(0x03C9, 0x2126), 1},
    {0x212A, 0x212A, To(0x006B, 0x212A), 1},
    {0x212B, 0x212B, To(0x00E5, 0x212B), 1},
    {0x2132, 0x2132, To(0x214E, 0x2132), 1},
    {0x2160, 0x216F, 16, 1},
    {0x2183, 0x2183, 1, 1},
    {0x24B6, 0x24CF, 26, 1},
    // Glagolitic
    {0x2C00, 0x2C2F, 48, 1},
    // Full-width Latin
    {0xFF21, 0xFF3A, 32, 1},
};

// All 65,536 foldings, built once from the runs.
struct FoldTable {
    std::array<char16_t, 0x10000> map;
    FoldTable() {
        for (uint32_t u = 0; u < map.size(); ++u) map[u] = static_cast<char16_t>(u);
        for (const FoldRun &run : kFoldRuns)
            for (uint32_t u = run.first; u <= run.last; u += run.step)
                map[u] = static_cast<char16_t>(static_cast<int32_t>(u) + run.delta);
    }
};

const FoldTable &Table() {
    static const FoldTable table;
    return table;
}

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
    if (rest > 5000 || (rest == 5000 && (whole & 1))) ++whole;
    else if (rest < -5000 || (rest == -5000 && (whole & 1))) --whole;
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

char16_t FoldCase(char16_t unit) noexcept { return Table().map[unit]; }

std::u16string FoldKey(std::u16string_view key) {
    const FoldTable &table = Table();
    std::u16string folded(key.size(), u'\0');
    for (std::size_t i = 0; i < key.size(); ++i) folded[i] = table.map[key[i]];
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
