// libvelqosch.so is made of the component's archive, taken whole so that the
// entry points are exported; this unit only names them, so that a missing one
// is a link error here rather than a failed lookup in a client.
#include "service/platform.h"

extern "C" {
STDAPI DllCanUnloadNow();
STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID *ppv);
STDAPI DllRegisterServer();
STDAPI DllUnregisterServer();
}

namespace {
[[maybe_unused]] const void *const kEntryPoints[] = {
    reinterpret_cast<const void *>(&DllCanUnloadNow), reinterpret_cast<const void *>(&DllGetClassObject),
    reinterpret_cast<const void *>(&DllRegisterServer), reinterpret_cast<const void *>(&DllUnregisterServer)};
}
