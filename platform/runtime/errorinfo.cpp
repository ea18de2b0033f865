// Error objects and the per-thread error slot.
#include "internal.h"

#include <atomic>
#include <new>

namespace {

class ErrorInfo final : public IErrorInfo, public ICreateErrorInfo {
public:
    ~ErrorInfo() {
        SysFreeString(source_);
        SysFreeString(description_);
        SysFreeString(helpFile_);
    }

    // IUnknown, shared by both interfaces.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IErrorInfo) {
            *ppv = static_cast<IErrorInfo *>(this);
        } else if (riid == IID_ICreateErrorInfo) {
            *ppv = static_cast<ICreateErrorInfo *>(this);
        } else {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }

    // IErrorInfo
    HRESULT STDMETHODCALLTYPE GetGUID(GUID *pGUID) override {
        if (!pGUID) return E_INVALIDARG;
        *pGUID = guid_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetSource(BSTR *out) override { return Copy(source_, out); }
    HRESULT STDMETHODCALLTYPE GetDescription(BSTR *out) override { return Copy(description_, out); }
    HRESULT STDMETHODCALLTYPE GetHelpFile(BSTR *out) override { return Copy(helpFile_, out); }
    HRESULT STDMETHODCALLTYPE GetHelpContext(DWORD *out) override {
        if (!out) return E_INVALIDARG;
        *out = helpContext_;
        return S_OK;
    }

    // ICreateErrorInfo
    HRESULT STDMETHODCALLTYPE SetGUID(REFGUID rguid) override {
        guid_ = rguid;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetSource(LPOLESTR s) override { return Store(s, &source_); }
    HRESULT STDMETHODCALLTYPE SetDescription(LPOLESTR s) override { return Store(s, &description_); }
    HRESULT STDMETHODCALLTYPE SetHelpFile(LPOLESTR s) override { return Store(s, &helpFile_); }
    HRESULT STDMETHODCALLTYPE SetHelpContext(DWORD context) override {
        helpContext_ = context;
        return S_OK;
    }

private:
    static HRESULT Copy(BSTR from, BSTR *out) {
        if (!out) return E_INVALIDARG;
        *out = nullptr;
        if (!from) return S_OK;
        *out = SysAllocStringLen(from, SysStringLen(from));
        return *out ? S_OK : E_OUTOFMEMORY;
    }
    static HRESULT Store(LPCOLESTR s, BSTR *field) {
        BSTR fresh = nullptr;
        if (s && !(fresh = SysAllocString(s))) return E_OUTOFMEMORY;
        SysFreeString(*field);
        *field = fresh;
        return S_OK;
    }

    std::atomic<ULONG> refs_{1};
    GUID guid_{};
    BSTR source_ = nullptr;
    BSTR description_ = nullptr;
    BSTR helpFile_ = nullptr;
    DWORD helpContext_ = 0;
};

// The thread's current error object; released when the thread ends.
struct ErrorSlot {
    IErrorInfo *info = nullptr;
    ~ErrorSlot() {
        if (info) info->Release();
    }
};
thread_local ErrorSlot t_slot;

}  // namespace

VQAPI HRESULT CreateErrorInfo(ICreateErrorInfo **pperrinfo) {
    if (!pperrinfo) return E_INVALIDARG;
    *pperrinfo = nullptr;
    auto *info = new (std::nothrow) ErrorInfo;
    if (!info) return E_OUTOFMEMORY;
    *pperrinfo = static_cast<ICreateErrorInfo *>(info);
    return S_OK;
}

VQAPI HRESULT SetErrorInfo(ULONG dwReserved, IErrorInfo *perrinfo) {
    if (dwReserved) return E_INVALIDARG;
    if (perrinfo) perrinfo->AddRef();
    IErrorInfo *old = t_slot.info;
    t_slot.info = perrinfo;
    if (old) old->Release();
    return S_OK;
}

VQAPI HRESULT GetErrorInfo(ULONG dwReserved, IErrorInfo **pperrinfo) {
    if (dwReserved || !pperrinfo) return E_INVALIDARG;
    // The caller takes over the slot's reference.
    *pperrinfo = t_slot.info;
    t_slot.info = nullptr;
    return *pperrinfo ? S_OK : S_FALSE;
}
