// The IUnknown of the runtime's objects that answer one interface.
#pragma once

#include <windows.h>

#include <atomic>

namespace velqo {

// IUnknown of an object that answers one interface: QueryInterface clears
// its out-pointer first, the count is atomic, the last Release deletes the
// Derived object. Objects start with one reference for their creator.
template <class Derived, class Iface, const IID &kIid>
class SingleInterface : public Iface {
public:
    HRESULT WINAPI QueryInterface(REFIID riid, void **ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != kIid) return E_NOINTERFACE;
        *ppv = static_cast<Iface *>(this);
        AddRef();
        return S_OK;
    }
    ULONG WINAPI AddRef() override { return ++refs_; }
    ULONG WINAPI Release() override {
        const ULONG left = --refs_;
        if (left == 0) delete static_cast<Derived *>(this);
        return left;
    }

private:
    std::atomic<ULONG> refs_{1};
};

}  // namespace velqo
