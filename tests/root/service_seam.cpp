#include "root/service_seam.h"

#include <utility>

namespace seam {

namespace {
IUnknown *g_scheduler = nullptr;
HRESULT g_failNext = 0;

struct Handle {
    const char *kind;
};
Handle g_manager{"manager"}, g_service{"service"};

SC_HANDLE AsHandle(Handle &h) { return reinterpret_cast<SC_HANDLE>(&h); }
}  // namespace

ServiceControl &Control() {
    static ServiceControl control;
    return control;
}
void ResetControl() { Control() = ServiceControl{}; }

void SetSchedulerObject(IUnknown *object) { g_scheduler = object; }
Creation &LastCreation() {
    static Creation creation;
    return creation;
}
void FailNextCreation(HRESULT hr) { g_failNext = hr; }

}  // namespace seam

using seam::Control;

VQAPI HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID *ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    auto &c = seam::LastCreation();
    ++c.count;
    c.context = dwClsContext;
    c.outer = pUnkOuter != nullptr;
    c.askedForITaskScheduler = IsEqualIID(riid, IID_ITaskScheduler);
    if (const HRESULT hr = std::exchange(seam::g_failNext, 0); hr != 0) return hr;
    if (!IsEqualCLSID(rclsid, CLSID_CTaskScheduler) || !seam::g_scheduler) return REGDB_E_CLASSNOTREG;
    return seam::g_scheduler->QueryInterface(riid, ppv);
}

VQAPI SC_HANDLE OpenSCManagerA(LPCSTR lpMachineName, LPCSTR lpDatabaseName, DWORD dwDesiredAccess) {
    auto &c = Control();
    c.calls.push_back(std::string("OpenSCManagerA(") + (lpMachineName ? lpMachineName : "null") + "," +
                      (lpDatabaseName ? lpDatabaseName : "null") + "," + std::to_string(dwDesiredAccess) + ")");
    if (c.openManagerError) {
        SetLastError(c.openManagerError);
        return nullptr;
    }
    ++c.openHandles;
    return seam::AsHandle(seam::g_manager);
}

VQAPI SC_HANDLE OpenServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, DWORD dwDesiredAccess) {
    auto &c = Control();
    c.calls.push_back(std::string("OpenServiceA(") + reinterpret_cast<seam::Handle *>(hSCManager)->kind + "," +
                      lpServiceName + "," + std::to_string(dwDesiredAccess) + ")");
    if (c.openServiceError) {
        SetLastError(c.openServiceError);
        return nullptr;
    }
    ++c.openHandles;
    return seam::AsHandle(seam::g_service);
}

VQAPI BOOL QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus) {
    auto &c = Control();
    c.calls.push_back(std::string("QueryServiceStatus(") + reinterpret_cast<seam::Handle *>(hService)->kind + ")");
    if (c.queryError) {
        SetLastError(c.queryError);
        return FALSE;
    }
    *lpServiceStatus = SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS, c.state, 0, 0, 0, 0, 0};
    return TRUE;
}

VQAPI BOOL StartServiceA(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCSTR *lpServiceArgVectors) {
    auto &c = Control();
    c.calls.push_back(std::string("StartServiceA(") + reinterpret_cast<seam::Handle *>(hService)->kind + "," +
                      std::to_string(dwNumServiceArgs) + "," + (lpServiceArgVectors ? "args" : "null") + ")");
    if (c.startError) {
        SetLastError(c.startError);
        return FALSE;
    }
    if (c.state != SERVICE_STOPPED) {
        SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
        return FALSE;
    }
    c.state = SERVICE_START_PENDING;
    ++c.starts;
    return TRUE;
}

VQAPI BOOL CloseServiceHandle(SC_HANDLE hSCObject) {
    auto &c = Control();
    c.calls.push_back(std::string("CloseServiceHandle(") + reinterpret_cast<seam::Handle *>(hSCObject)->kind + ")");
    --c.openHandles;
    if (c.closeSetsError) SetLastError(c.closeSetsError);
    return TRUE;
}
