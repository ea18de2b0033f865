// The service's COM objects: the CTaskScheduler class, created through the
// runtime's CoCreateInstance.
#pragma once

#include <windows.h>

namespace velqo::service {

// Creates a CTaskScheduler and answers `riid` from it (E_NOINTERFACE,
// E_POINTER, E_OUTOFMEMORY as a class factory would).
HRESULT CreateTaskScheduler(REFIID riid, void **ppv) noexcept;

}  // namespace velqo::service
