// What every object of the component shares: the count of live objects (for
// DllCanUnloadNow), the reference counting, the IUnknown, IDispatch and
// ISupportErrorInfo parts of a dual interface, and the guards through which
// the published members hand out their results.
#pragma once

#include <atomic>
#include <type_traits>
#include <utility>

#include "collection/keyed_collection.h"
#include "component/com/dispatch.h"
#include "service/platform.h"
#include "trace/error.h"

namespace velqosch {

namespace detail {
inline std::atomic<LONG> &LiveObjects() noexcept {
    static std::atomic<LONG> count{0};
    return count;
}
}  // namespace detail

// The number of the component's objects alive in the process.
inline LONG LiveObjectCount() noexcept { return detail::LiveObjects().load(); }

// One dual-interface object: Iface is the published interface, Derived the
// concrete class. Derived lists the identifiers it answers with Iface through
// a static `bool IsOwnInterface(REFIID)`. Objects start with one reference,
// which the creating function hands on (ComRef::Adopt).
template <class Derived, class Iface>
class DualObject : public Iface, public ISupportErrorInfo {
    static constexpr TaskScheduler::surface::Interface kInterface = dispatch::kInterfaceOf<Iface>;

public:
    DualObject(const DualObject &) = delete;
    DualObject &operator=(const DualObject &) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) noexcept override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) || Derived::IsOwnInterface(riid)) {
            *ppv = static_cast<Iface *>(this);
        } else if (IsEqualIID(riid, IID_ISupportErrorInfo)) {
            *ppv = static_cast<ISupportErrorInfo *>(this);
        } else {
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() noexcept override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() noexcept override {
        const ULONG left = --refs_;
        if (left == 0) delete static_cast<Derived *>(this);
        return left;
    }

    // Late binding, answered from the surface table.
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT *pctinfo) noexcept override {
        return dispatch::GetTypeInfoCount(pctinfo);
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID, ITypeInfo **ppTInfo) noexcept override {
        return dispatch::GetTypeInfo(kInterface, index, ppTInfo);
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR *names, UINT count, LCID,
                                            DISPID *dispids) noexcept override {
        return dispatch::GetIDsOfNames(kInterface, riid, names, count, dispids);
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID riid, LCID lcid, WORD flags, DISPPARAMS *params,
                                     VARIANT *result, EXCEPINFO *excepInfo, UINT *argErr) noexcept override {
        return dispatch::Invoke(kInterface, static_cast<Iface *>(this), member, riid, lcid, flags, params, result,
                                excepInfo, argErr);
    }

    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) noexcept override {
        return Derived::IsOwnInterface(riid) ? S_OK : S_FALSE;
    }

    // The reference count, for tests and diagnostics.
    ULONG References() const noexcept { return refs_; }

protected:
    DualObject() noexcept { ++detail::LiveObjects(); }
    virtual ~DualObject() { --detail::LiveObjects(); }

private:
    ULONG refs_ = 1;
};

// A by-reference argument that must be there: E_POINTER when it is not.
template <class T>
T &Ref(T *p) {
    if (!p) RaiseHResult(E_POINTER);
    return *p;
}

namespace detail {
template <class T>
struct IsComRef : std::false_type {};
template <class T>
struct IsComRef<ComRef<T>> : std::true_type {};
}  // namespace detail

// The guard of a member with a result: E_POINTER for a missing result slot,
// the slot cleared before the body runs, so that it stays empty on an error.
// A counted reference returned by the body is handed over to the caller.
template <class T, class F>
HRESULT GuardResult(T *ret, F &&body) noexcept {
    return Guard([&] {
        T &slot = Ref(ret);
        slot = T{};
        auto value = body();
        if constexpr (detail::IsComRef<decltype(value)>::value) {
            slot = value.Detach();
        } else {
            slot = static_cast<T>(value);
        }
    });
}

}  // namespace velqosch
