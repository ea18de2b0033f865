// Object activation. No class is registered with the runtime yet, so every
// request answers REGDB_E_CLASSNOTREG; the class table is filled in once the
// in-process servers are hooked up here.
#include "internal.h"

VQAPI HRESULT CoGetClassObject(REFCLSID, DWORD, LPVOID, REFIID, LPVOID *ppv) {
    if (!ppv) return E_INVALIDARG;
    *ppv = nullptr;
    return REGDB_E_CLASSNOTREG;
}

VQAPI HRESULT CoCreateInstance(REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID *ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    return REGDB_E_CLASSNOTREG;
}

VQAPI HRESULT CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid) {
    if (!lpszProgID || !lpclsid) return E_INVALIDARG;
    *lpclsid = CLSID_NULL;
    return CO_E_CLASSSTRING;
}
