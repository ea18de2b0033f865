// The in-process server: the class factory of Scheduler, the count that
// decides whether the library may be unloaded, the library's own file, and
// the registration of its classes, interfaces and type library.
#pragma once

#include <string>

#include "service/platform.h"

namespace velqosch::module {

// Factories alive plus LockServer(TRUE) calls not yet undone.
LONG ServerLocks() noexcept;

// The class factory for `clsid` (Scheduler only).
HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void **ppv) noexcept;

// S_OK when no object of the component is alive and no factory is held.
HRESULT CanUnloadNow() noexcept;

// The full path of the file this code was loaded from.
std::u16string ModulePath();

// Writes and removes the registration (HKEY_CLASSES_ROOT).
HRESULT Register() noexcept;
HRESULT Unregister() noexcept;

}  // namespace velqosch::module
