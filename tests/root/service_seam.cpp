#include "root/service_seam.h"

#include <utility>

namespace seam {

namespace {
IUnknown *g_scheduler = nullptr;
HRESULT g_failNext = 0;

// The two handles carry their kind's name, which the journal shows.
char g_manager[] = "manager", g_service[] = "service";
std::string Kind(SC_HANDLE h) { return reinterpret_cast<const char *>(h); }

// Journals the call; a scripted error fails it with that last error.
bool Step(const std::string &call, DWORD error) {
    seam::Control().calls.push_back(call);
    if (error) SetLastError(error);
    return error == 0;
}
}  // namespace

ServiceControl &Control() {
    static ServiceControl control;
    return control;
}
void ResetControl() { Control() = ServiceControl{}; }

void SetSchedulerObject(IUnknown *object) { g_scheduler = object; }
void FailNextCreation(HRESULT hr) { g_failNext = hr; }

}  // namespace seam

using seam::Control;

VQAPI HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN, DWORD, REFIID riid, LPVOID *ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (const HRESULT hr = std::exchange(seam::g_failNext, 0); hr != 0) return hr;
    if (!IsEqualCLSID(rclsid, CLSID_CTaskScheduler) || !seam::g_scheduler) return REGDB_E_CLASSNOTREG;
    return seam::g_scheduler->QueryInterface(riid, ppv);
}

VQAPI SC_HANDLE OpenSCManagerA(LPCSTR machine, LPCSTR database, DWORD access) {
    if (!seam::Step(std::string("OpenSCManagerA(") + (machine ? machine : "null") + "," +
                        (database ? database : "null") + "," + std::to_string(access) + ")",
                    Control().openManagerError))
        return nullptr;
    ++Control().openHandles;
    return reinterpret_cast<SC_HANDLE>(seam::g_manager);
}

VQAPI SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR name, DWORD access) {
    if (!seam::Step("OpenServiceA(" + seam::Kind(manager) + "," + name + "," + std::to_string(access) + ")",
                    Control().openServiceError))
        return nullptr;
    ++Control().openHandles;
    return reinterpret_cast<SC_HANDLE>(seam::g_service);
}

VQAPI BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status) {
    if (!seam::Step("QueryServiceStatus(" + seam::Kind(service) + ")", Control().queryError)) return FALSE;
    *status = SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS, Control().state, 0, 0, 0, 0, 0};
    return TRUE;
}

// A stopped service moves to start-pending; any other state fails with ERROR_SERVICE_ALREADY_RUNNING.
VQAPI BOOL StartServiceA(SC_HANDLE service, DWORD count, LPCSTR *args) {
    auto &c = Control();
    const DWORD error = c.startError ? c.startError : c.state != SERVICE_STOPPED ? ERROR_SERVICE_ALREADY_RUNNING : 0;
    if (!seam::Step(
            "StartServiceA(" + seam::Kind(service) + "," + std::to_string(count) + "," + (args ? "args" : "null") + ")",
            error))
        return FALSE;
    c.state = SERVICE_START_PENDING;
    return TRUE;
}

VQAPI BOOL CloseServiceHandle(SC_HANDLE handle) {
    seam::Step("CloseServiceHandle(" + seam::Kind(handle) + ")", Control().closeSetsError);
    --Control().openHandles;
    return TRUE;
}
