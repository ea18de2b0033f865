// Safe arrays.
//
// A descriptor is allocated with 16 hidden bytes in front of it: the element
// interface's IID (arrays of VT_UNKNOWN/VT_DISPATCH, FADF_HAVEIID) or, in the
// last 4 bytes, the element VARTYPE (all others, FADF_HAVEVARTYPE).
// rgsabound is kept in reverse: rgsabound[0] is the rightmost dimension of
// the bounds given to SafeArrayCreate. rgIndices of Get/PutElement follow the
// creation order, and the first index varies fastest in memory.
#include "internal.h"

#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

constexpr std::size_t kHidden = 16;
constexpr USHORT kNotOwned = FADF_AUTO | FADF_STATIC | FADF_EMBEDDED;

ULONG ElementSize(VARTYPE vt) {
    switch (vt) {
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
        return 4;
    case VT_R8:
    case VT_I8:
    case VT_UI8:
    case VT_DATE:
    case VT_CY:
        return 8;
    case VT_BSTR:
    case VT_UNKNOWN:
    case VT_DISPATCH:
        return sizeof(void *);
    case VT_VARIANT:
        return sizeof(VARIANT);
    case VT_DECIMAL:
        return sizeof(DECIMAL);
    default:
        return 0;
    }
}

std::size_t DescriptorSize(UINT cDims) {
    return offsetof(SAFEARRAY, rgsabound) + std::size_t(cDims) * sizeof(SAFEARRAYBOUND);
}

// Number of elements over all dimensions; false when it does not fit.
bool CountElements(const SAFEARRAY *psa, std::size_t *count) {
    std::size_t n = 1;
    for (USHORT i = 0; i < psa->cDims; ++i) {
        std::size_t c = psa->rgsabound[i].cElements;
        if (c && n > std::numeric_limits<std::size_t>::max() / c) return false;
        n *= c;
    }
    *count = n;
    return true;
}

bool DataBytes(const SAFEARRAY *psa, std::size_t *bytes) {
    std::size_t n;
    if (!CountElements(psa, &n)) return false;
    if (psa->cbElements && n > (std::numeric_limits<std::size_t>::max() / 2) / psa->cbElements) return false;
    *bytes = n * psa->cbElements;
    return true;
}

unsigned char *HiddenBlock(SAFEARRAY *psa) { return reinterpret_cast<unsigned char *>(psa) - kHidden; }

// Releases what elements [first, first+count) own, leaving them zeroed.
void ReleaseElements(SAFEARRAY *psa, std::size_t first, std::size_t count) {
    if (!psa->pvData || !count) return;
    auto *base = static_cast<unsigned char *>(psa->pvData) + first * psa->cbElements;
    if (psa->fFeatures & FADF_BSTR) {
        auto *items = reinterpret_cast<BSTR *>(base);
        for (std::size_t i = 0; i < count; ++i) SysFreeString(items[i]);
    } else if (psa->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
        auto *items = reinterpret_cast<IUnknown **>(base);
        for (std::size_t i = 0; i < count; ++i)
            if (items[i]) items[i]->Release();
    } else if (psa->fFeatures & FADF_VARIANT) {
        auto *items = reinterpret_cast<VARIANT *>(base);
        for (std::size_t i = 0; i < count; ++i) VariantClear(&items[i]);
    }
    std::memset(base, 0, count * psa->cbElements);
}

void FreeDescriptor(SAFEARRAY *psa) {
    if (!(psa->fFeatures & kNotOwned)) std::free(HiddenBlock(psa));
}

// The element at rgIndices, or nullptr when an index is out of range.
void *CellOf(SAFEARRAY *psa, const LONG *rgIndices) {
    std::size_t cell = 0;
    std::size_t stride = 1;
    for (USHORT i = 0; i < psa->cDims; ++i) {
        const SAFEARRAYBOUND &b = psa->rgsabound[psa->cDims - 1 - i];
        long long offset = (long long)rgIndices[i] - b.lLbound;
        if (offset < 0 || offset >= (long long)b.cElements) return nullptr;
        cell += std::size_t(offset) * stride;
        stride *= b.cElements;
    }
    return static_cast<unsigned char *>(psa->pvData) + cell * psa->cbElements;
}

// A descriptor with bounds (in creation order) and features, without data.
SAFEARRAY *NewDescriptor(VARTYPE vt, UINT cDims, const SAFEARRAYBOUND *bounds) {
    auto *block = static_cast<unsigned char *>(velqo::rt::CountedAlloc(kHidden + DescriptorSize(cDims)));
    if (!block) return nullptr;
    std::memset(block, 0, kHidden + DescriptorSize(cDims));
    auto *psa = reinterpret_cast<SAFEARRAY *>(block + kHidden);
    psa->cDims = USHORT(cDims);
    psa->cbElements = ElementSize(vt);
    for (UINT i = 0; i < cDims; ++i) psa->rgsabound[cDims - 1 - i] = bounds[i];
    if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
        psa->fFeatures = FADF_HAVEIID | (vt == VT_UNKNOWN ? FADF_UNKNOWN : FADF_DISPATCH);
        const GUID &iid = vt == VT_UNKNOWN ? IID_IUnknown : IID_IDispatch;
        std::memcpy(block, &iid, sizeof iid);
    } else {
        psa->fFeatures = FADF_HAVEVARTYPE;
        if (vt == VT_BSTR) psa->fFeatures |= FADF_BSTR;
        if (vt == VT_VARIANT) psa->fFeatures |= FADF_VARIANT;
        DWORD v = vt;
        std::memcpy(block + kHidden - sizeof v, &v, sizeof v);
    }
    return psa;
}

bool AllocateData(SAFEARRAY *psa) {
    std::size_t bytes;
    if (!DataBytes(psa, &bytes)) return false;
    void *data = velqo::rt::CountedAlloc(bytes);
    if (!data) return false;
    std::memset(data, 0, bytes ? bytes : 1);
    psa->pvData = data;
    return true;
}

}  // namespace

VQAPI SAFEARRAY *SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND *rgsabound) {
    if (!cDims || cDims > 0xFFFF || !rgsabound || !ElementSize(vt)) return nullptr;
    SAFEARRAY *psa = NewDescriptor(vt, cDims, rgsabound);
    if (!psa) return nullptr;
    if (!AllocateData(psa)) {
        FreeDescriptor(psa);
        return nullptr;
    }
    return psa;
}

VQAPI SAFEARRAY *SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) {
    SAFEARRAYBOUND bound{cElements, lLbound};
    return SafeArrayCreate(vt, 1, &bound);
}

VQAPI HRESULT SafeArrayDestroy(SAFEARRAY *psa) {
    if (!psa) return S_OK;
    if (psa->cLocks) return DISP_E_ARRAYISLOCKED;
    std::size_t count;
    if (CountElements(psa, &count)) ReleaseElements(psa, 0, count);
    if (!(psa->fFeatures & kNotOwned)) std::free(psa->pvData);
    psa->pvData = nullptr;
    FreeDescriptor(psa);
    return S_OK;
}

VQAPI UINT SafeArrayGetDim(SAFEARRAY *psa) { return psa ? psa->cDims : 0; }

VQAPI UINT SafeArrayGetElemsize(SAFEARRAY *psa) { return psa ? psa->cbElements : 0; }

VQAPI HRESULT SafeArrayGetVartype(SAFEARRAY *psa, VARTYPE *pvt) {
    if (!psa || !pvt) return E_INVALIDARG;
    if (psa->fFeatures & FADF_RECORD) {
        *pvt = VT_RECORD;
    } else if ((psa->fFeatures & (FADF_HAVEIID | FADF_DISPATCH)) == (FADF_HAVEIID | FADF_DISPATCH)) {
        *pvt = VT_DISPATCH;
    } else if (psa->fFeatures & FADF_HAVEIID) {
        *pvt = VT_UNKNOWN;
    } else if (psa->fFeatures & FADF_HAVEVARTYPE) {
        DWORD v;
        std::memcpy(&v, HiddenBlock(psa) + kHidden - sizeof v, sizeof v);
        *pvt = VARTYPE(v);
    } else {
        return E_INVALIDARG;
    }
    return S_OK;
}

VQAPI HRESULT SafeArrayGetLBound(SAFEARRAY *psa, UINT nDim, LONG *plLbound) {
    if (!psa || !plLbound) return E_INVALIDARG;
    if (nDim == 0 || nDim > psa->cDims) return DISP_E_BADINDEX;
    *plLbound = psa->rgsabound[psa->cDims - nDim].lLbound;
    return S_OK;
}

VQAPI HRESULT SafeArrayGetUBound(SAFEARRAY *psa, UINT nDim, LONG *plUbound) {
    if (!psa || !plUbound) return E_INVALIDARG;
    if (nDim == 0 || nDim > psa->cDims) return DISP_E_BADINDEX;
    const SAFEARRAYBOUND &b = psa->rgsabound[psa->cDims - nDim];
    *plUbound = LONG(b.lLbound + (long long)b.cElements - 1);
    return S_OK;
}

VQAPI HRESULT SafeArrayLock(SAFEARRAY *psa) {
    if (!psa) return E_INVALIDARG;
    if (psa->cLocks >= 0xFFFF) return E_UNEXPECTED;
    ++psa->cLocks;
    return S_OK;
}

VQAPI HRESULT SafeArrayUnlock(SAFEARRAY *psa) {
    if (!psa) return E_INVALIDARG;
    if (psa->cLocks == 0) return E_UNEXPECTED;
    --psa->cLocks;
    return S_OK;
}

VQAPI HRESULT SafeArrayAccessData(SAFEARRAY *psa, void **ppvData) {
    if (!psa || !ppvData) return E_INVALIDARG;
    HRESULT hr = SafeArrayLock(psa);
    *ppvData = SUCCEEDED(hr) ? psa->pvData : nullptr;
    return hr;
}

VQAPI HRESULT SafeArrayUnaccessData(SAFEARRAY *psa) { return SafeArrayUnlock(psa); }

VQAPI HRESULT SafeArrayRedim(SAFEARRAY *psa, SAFEARRAYBOUND *psaboundNew) {
    if (!psa || !psaboundNew || !psa->cDims) return E_INVALIDARG;
    if (psa->cLocks || (psa->fFeatures & FADF_FIXEDSIZE)) return DISP_E_ARRAYISLOCKED;
    std::size_t oldCount;
    if (!CountElements(psa, &oldCount)) return E_UNEXPECTED;
    // Elements per step of the redimensioned (slowest-varying) dimension.
    std::size_t inner = 1;
    for (USHORT i = 1; i < psa->cDims; ++i) inner *= psa->rgsabound[i].cElements;
    std::size_t newCount = inner * psaboundNew->cElements;
    if (psaboundNew->cElements && newCount / psaboundNew->cElements != inner) return E_OUTOFMEMORY;
    if (psa->cbElements && newCount > (std::numeric_limits<std::size_t>::max() / 2) / psa->cbElements)
        return E_OUTOFMEMORY;
    if (newCount != oldCount) {
        if (psa->fFeatures & kNotOwned) return DISP_E_ARRAYISLOCKED;
        auto *fresh = static_cast<unsigned char *>(velqo::rt::CountedAlloc(newCount * psa->cbElements));
        if (!fresh) return E_OUTOFMEMORY;
        std::size_t keep = newCount < oldCount ? newCount : oldCount;
        if (newCount < oldCount) ReleaseElements(psa, newCount, oldCount - newCount);
        if (keep) std::memcpy(fresh, psa->pvData, keep * psa->cbElements);
        std::memset(fresh + keep * psa->cbElements, 0, (newCount - keep) * psa->cbElements);
        std::free(psa->pvData);
        psa->pvData = fresh;
    }
    psa->rgsabound[0] = *psaboundNew;
    return S_OK;
}

VQAPI HRESULT SafeArrayGetElement(SAFEARRAY *psa, LONG *rgIndices, void *pv) {
    if (!psa || !rgIndices || !pv) return E_INVALIDARG;
    void *cell = CellOf(psa, rgIndices);
    if (!cell) return DISP_E_BADINDEX;
    HRESULT hr = S_OK;
    if (psa->fFeatures & FADF_VARIANT) {
        // Whatever pv held is ignored.
        auto *dest = static_cast<VARIANT *>(pv);
        VariantInit(dest);
        hr = VariantCopy(dest, static_cast<VARIANT *>(cell));
    } else if (psa->fFeatures & FADF_BSTR) {
        BSTR src = *static_cast<BSTR *>(cell);
        BSTR copy = nullptr;
        if (src && !(copy = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(src), SysStringByteLen(src))))
            hr = E_OUTOFMEMORY;
        *static_cast<BSTR *>(pv) = copy;
    } else if (psa->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
        IUnknown *unk = *static_cast<IUnknown **>(cell);
        if (unk) unk->AddRef();
        *static_cast<IUnknown **>(pv) = unk;
    } else {
        std::memcpy(pv, cell, psa->cbElements);
    }
    return hr;
}

VQAPI HRESULT SafeArrayPutElement(SAFEARRAY *psa, LONG *rgIndices, void *pv) {
    if (!psa || !rgIndices) return E_INVALIDARG;
    void *cell = CellOf(psa, rgIndices);
    if (!cell) return DISP_E_BADINDEX;
    if (psa->fFeatures & FADF_VARIANT) {
        if (!pv) return E_INVALIDARG;
        return VariantCopy(static_cast<VARIANT *>(cell), static_cast<VARIANT *>(pv));
    }
    if (psa->fFeatures & FADF_BSTR) {
        // pv is the BSTR itself.
        auto src = static_cast<BSTR>(pv);
        BSTR copy = nullptr;
        if (src && !(copy = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(src), SysStringByteLen(src))))
            return E_OUTOFMEMORY;
        SysFreeString(*static_cast<BSTR *>(cell));
        *static_cast<BSTR *>(cell) = copy;
        return S_OK;
    }
    if (psa->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
        // pv is the interface pointer itself.
        auto *unk = static_cast<IUnknown *>(pv);
        if (unk) unk->AddRef();
        IUnknown *old = *static_cast<IUnknown **>(cell);
        *static_cast<IUnknown **>(cell) = unk;
        if (old) old->Release();
        return S_OK;
    }
    if (!pv) return E_INVALIDARG;
    std::memcpy(cell, pv, psa->cbElements);
    return S_OK;
}

VQAPI HRESULT SafeArrayCopy(SAFEARRAY *psa, SAFEARRAY **ppsaOut) {
    if (!ppsaOut) return E_INVALIDARG;
    *ppsaOut = nullptr;
    if (!psa) return S_OK;
    if (!psa->cDims) return E_INVALIDARG;
    std::size_t count, bytes;
    if (!CountElements(psa, &count) || !DataBytes(psa, &bytes)) return E_OUTOFMEMORY;
    auto *block = static_cast<unsigned char *>(velqo::rt::CountedAlloc(kHidden + DescriptorSize(psa->cDims)));
    if (!block) return E_OUTOFMEMORY;
    std::memset(block, 0, kHidden);
    auto *copy = reinterpret_cast<SAFEARRAY *>(block + kHidden);
    std::memcpy(copy, psa, DescriptorSize(psa->cDims));
    if (psa->fFeatures & (FADF_HAVEIID | FADF_HAVEVARTYPE))
        std::memcpy(block, HiddenBlock(psa), kHidden);
    copy->fFeatures = USHORT(psa->fFeatures & ~(kNotOwned | FADF_FIXEDSIZE));
    copy->cLocks = 0;
    copy->pvData = nullptr;
    if (!AllocateData(copy)) {
        std::free(block);
        return E_OUTOFMEMORY;
    }
    HRESULT hr = S_OK;
    auto *src = static_cast<unsigned char *>(psa->pvData);
    auto *dst = static_cast<unsigned char *>(copy->pvData);
    if (psa->fFeatures & FADF_BSTR) {
        for (std::size_t i = 0; i < count && SUCCEEDED(hr); ++i) {
            BSTR s = reinterpret_cast<BSTR *>(src)[i];
            if (s && !(reinterpret_cast<BSTR *>(dst)[i] =
                           SysAllocStringByteLen(reinterpret_cast<LPCSTR>(s), SysStringByteLen(s))))
                hr = E_OUTOFMEMORY;
        }
    } else if (psa->fFeatures & FADF_VARIANT) {
        for (std::size_t i = 0; i < count && SUCCEEDED(hr); ++i)
            hr = VariantCopy(reinterpret_cast<VARIANT *>(dst) + i, reinterpret_cast<VARIANT *>(src) + i);
    } else {
        if (bytes) std::memcpy(dst, src, bytes);
        if (psa->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH))
            for (std::size_t i = 0; i < count; ++i)
                if (IUnknown *unk = reinterpret_cast<IUnknown **>(dst)[i]) unk->AddRef();
    }
    if (FAILED(hr)) {
        SafeArrayDestroy(copy);
        return hr;
    }
    *ppsaOut = copy;
    return S_OK;
}
