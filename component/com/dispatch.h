// Late binding for the component's dual interfaces. Names, identifiers,
// parameter types and slots all come from the surface table: GetIDsOfNames
// looks names up in it, Invoke coerces the arguments to the member's types,
// calls the member through the interface's table of functions and hands the
// result, the by-reference arguments and any raised error back.
#pragma once

#include "component/surface.h"

namespace velqosch::dispatch {

// The surface's identifier of a published interface type.
template <class I>
struct InterfaceOf;
#define VQ_INTERFACE_BEGIN(iface, iid, major, minor)                                                         \
    template <>                                                                                              \
    struct InterfaceOf<TaskScheduler::iface> {                                                               \
        static constexpr TaskScheduler::surface::Interface value = TaskScheduler::surface::Interface::iface; \
    };
#include "component/surface.inc"
template <class I>
inline constexpr TaskScheduler::surface::Interface kInterfaceOf = InterfaceOf<I>::value;

// IDispatch::GetIDsOfNames of interface `id`: names[0] is the member, the
// others its parameters (their identifiers are their positions from 0).
HRESULT GetIDsOfNames(TaskScheduler::surface::Interface id, REFIID riid, LPOLESTR *names, UINT count,
                      DISPID *dispids) noexcept;

// IDispatch::Invoke of interface `id` on `self`, the object's pointer to that
// interface.
HRESULT Invoke(TaskScheduler::surface::Interface id, IDispatch *self, DISPID member, REFIID riid, LCID lcid, WORD flags,
               DISPPARAMS *params, VARIANT *result, EXCEPINFO *excepInfo, UINT *argErr) noexcept;

// IDispatch::GetTypeInfoCount and GetTypeInfo. On Windows the type
// information comes from the type library in the component's own file; the
// POSIX build carries no type library and answers that it has none.
HRESULT GetTypeInfoCount(UINT *count) noexcept;
HRESULT GetTypeInfo(TaskScheduler::surface::Interface id, UINT index, ITypeInfo **info) noexcept;

}  // namespace velqosch::dispatch
