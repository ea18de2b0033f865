// Functions of the POSIX runtime (libvelqort), exported with C linkage under
// their Windows names. One shared library gives every client and the
// component one allocator, one error channel and one per-thread state.
#pragma once

#include "velqo/interfaces.h"

// --- memory, identifiers, apartments ------------------------------------
VQAPI LPVOID CoTaskMemAlloc(SIZE_T cb);
VQAPI LPVOID CoTaskMemRealloc(LPVOID pv, SIZE_T cb);
VQAPI void CoTaskMemFree(LPVOID pv);
// Test seam of the allocator: after n more successful allocations through
// CoTaskMemAlloc/CoTaskMemRealloc, the SysAlloc*/SysReAlloc* family and
// SafeArrayCreate*/SafeArrayCopy, the next one fails, once; the seam then
// disarms itself. n < 0 disarms it. Shared by all threads of the process.
VQAPI void VelqoFailAllocationAfter(long n);
VQAPI HRESULT CoCreateGuid(GUID *pguid);
VQAPI HRESULT CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid);
VQAPI HRESULT IIDFromString(LPCOLESTR lpsz, IID *lpiid);
VQAPI int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax);
VQAPI HRESULT CoInitialize(LPVOID pvReserved);
VQAPI HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
VQAPI void CoUninitialize(void);
VQAPI HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID *ppv);
VQAPI HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID pvReserved, REFIID riid, LPVOID *ppv);
VQAPI HRESULT CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid);
VQAPI HRESULT ProgIDFromCLSID(REFCLSID clsid, LPOLESTR *lplpszProgID);
// Unloads the in-process servers whose DllCanUnloadNow answers S_OK.
VQAPI void CoFreeUnusedLibraries(void);

// --- strings -------------------------------------------------------------
VQAPI BSTR SysAllocString(const OLECHAR *psz);
VQAPI BSTR SysAllocStringLen(const OLECHAR *strIn, UINT ui);
VQAPI BSTR SysAllocStringByteLen(LPCSTR psz, UINT len);
VQAPI INT SysReAllocString(BSTR *pbstr, const OLECHAR *psz);
VQAPI INT SysReAllocStringLen(BSTR *pbstr, const OLECHAR *psz, UINT len);
VQAPI void SysFreeString(BSTR bstrString);
VQAPI UINT SysStringLen(BSTR pbstr);
VQAPI UINT SysStringByteLen(BSTR bstr);
VQAPI int lstrlenW(LPCWSTR lpString);
VQAPI int lstrlenA(LPCSTR lpString);
VQAPI void RtlMoveMemory(void *Destination, const void *Source, SIZE_T Length);
#define MoveMemory RtlMoveMemory
#define CopyMemory RtlMoveMemory
#define CP_ACP 0
#define CP_UTF8 65001
#define MB_ERR_INVALID_CHARS 0x00000008
#define WC_ERR_INVALID_CHARS 0x00000080
#define ERROR_INVALID_FLAGS 1004L
#define ERROR_NO_UNICODE_TRANSLATION 1113L
VQAPI int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                              LPWSTR lpWideCharStr, int cchWideChar);
VQAPI int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                              LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar, BOOL *lpUsedDefaultChar);

// --- variants --------------------------------------------------------------
VQAPI void VariantInit(VARIANTARG *pvarg);
VQAPI HRESULT VariantClear(VARIANTARG *pvarg);
VQAPI HRESULT VariantCopy(VARIANTARG *pvargDest, const VARIANTARG *pvargSrc);
VQAPI HRESULT VariantCopyInd(VARIANT *pvarDest, const VARIANTARG *pvargSrc);
VQAPI HRESULT VariantChangeType(VARIANTARG *pvargDest, const VARIANTARG *pvarSrc, USHORT wFlags, VARTYPE vt);
VQAPI HRESULT VariantChangeTypeEx(VARIANTARG *pvargDest, const VARIANTARG *pvarSrc, LCID lcid, USHORT wFlags,
                                  VARTYPE vt);

// --- safe arrays -----------------------------------------------------------
VQAPI SAFEARRAY *SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND *rgsabound);
VQAPI SAFEARRAY *SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements);
VQAPI HRESULT SafeArrayDestroy(SAFEARRAY *psa);
VQAPI UINT SafeArrayGetDim(SAFEARRAY *psa);
VQAPI UINT SafeArrayGetElemsize(SAFEARRAY *psa);
VQAPI HRESULT SafeArrayGetVartype(SAFEARRAY *psa, VARTYPE *pvt);
VQAPI HRESULT SafeArrayGetLBound(SAFEARRAY *psa, UINT nDim, LONG *plLbound);
VQAPI HRESULT SafeArrayGetUBound(SAFEARRAY *psa, UINT nDim, LONG *plUbound);
VQAPI HRESULT SafeArrayAccessData(SAFEARRAY *psa, void **ppvData);
VQAPI HRESULT SafeArrayUnaccessData(SAFEARRAY *psa);
VQAPI HRESULT SafeArrayLock(SAFEARRAY *psa);
VQAPI HRESULT SafeArrayUnlock(SAFEARRAY *psa);
VQAPI HRESULT SafeArrayRedim(SAFEARRAY *psa, SAFEARRAYBOUND *psaboundNew);
VQAPI HRESULT SafeArrayGetElement(SAFEARRAY *psa, LONG *rgIndices, void *pv);
VQAPI HRESULT SafeArrayPutElement(SAFEARRAY *psa, LONG *rgIndices, void *pv);
VQAPI HRESULT SafeArrayCopy(SAFEARRAY *psa, SAFEARRAY **ppsaOut);

// --- dates -----------------------------------------------------------------
VQAPI INT SystemTimeToVariantTime(LPSYSTEMTIME lpSystemTime, DOUBLE *pvtime);
VQAPI INT VariantTimeToSystemTime(DOUBLE vtime, LPSYSTEMTIME lpSystemTime);
VQAPI void GetLocalTime(LPSYSTEMTIME lpSystemTime);
VQAPI void GetSystemTime(LPSYSTEMTIME lpSystemTime);

// --- error information (per thread) -----------------------------------------
VQAPI HRESULT CreateErrorInfo(ICreateErrorInfo **pperrinfo);
VQAPI HRESULT SetErrorInfo(ULONG dwReserved, IErrorInfo *perrinfo);
VQAPI HRESULT GetErrorInfo(ULONG dwReserved, IErrorInfo **pperrinfo);

// --- system ------------------------------------------------------------------
VQAPI DWORD GetLastError(void);
VQAPI void SetLastError(DWORD dwErrCode);
VQAPI UINT GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize);
VQAPI DWORD GetProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpDefault, LPSTR lpReturnedString,
                              DWORD nSize);
VQAPI UINT SetErrorMode(UINT uMode);
#define SEM_FAILCRITICALERRORS 0x0001
#define SEM_NOOPENFILEERRORBOX 0x8000
#define TIMERR_NOERROR 0
#define TIMERR_NOCANDO 97
VQAPI UINT timeBeginPeriod(UINT uPeriod);
VQAPI UINT timeEndPeriod(UINT uPeriod);
VQAPI DWORD timeGetTime(void);
VQAPI DWORD GetTickCount(void);
VQAPI void Sleep(DWORD dwMilliseconds);
// Test seam of the millisecond counters: adds offsetMs (modulo 2^32) to what
// timeGetTime and GetTickCount report, so tests can make them wrap.
VQAPI void VelqoSetTimeOffset(DWORD offsetMs);
VQAPI DWORD GetCurrentThreadId(void);
VQAPI DWORD GetCurrentProcessId(void);
VQAPI BOOL CloseHandle(HANDLE hObject);

struct OSVERSIONINFOA {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    CHAR szCSDVersion[128];
};
using LPOSVERSIONINFOA = OSVERSIONINFOA *;
#define VER_PLATFORM_WIN32s 0
#define VER_PLATFORM_WIN32_WINDOWS 1
#define VER_PLATFORM_WIN32_NT 2
VQAPI BOOL GetVersionExA(LPOSVERSIONINFOA lpVersionInformation);

VQAPI DWORD SearchPathA(LPCSTR lpPath, LPCSTR lpFileName, LPCSTR lpExtension, DWORD nBufferLength, LPSTR lpBuffer,
                        LPSTR *lpFilePart);

struct STARTUPINFOA {
    DWORD cb;
    LPSTR lpReserved;
    LPSTR lpDesktop;
    LPSTR lpTitle;
    DWORD dwX, dwY, dwXSize, dwYSize, dwXCountChars, dwYCountChars, dwFillAttribute, dwFlags;
    WORD wShowWindow;
    WORD cbReserved2;
    LPBYTE lpReserved2;
    HANDLE hStdInput, hStdOutput, hStdError;
};
struct PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
};
struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES *;
#define CREATE_NEW_CONSOLE 0x00000010
#define CREATE_NEW_PROCESS_GROUP 0x00000200
VQAPI BOOL CreateProcessA(LPCSTR lpApplicationName, LPSTR lpCommandLine, LPSECURITY_ATTRIBUTES lpProcessAttributes,
                          LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles, DWORD dwCreationFlags,
                          LPVOID lpEnvironment, LPCSTR lpCurrentDirectory, STARTUPINFOA *lpStartupInfo,
                          PROCESS_INFORMATION *lpProcessInformation);

// Test seam of the version query: when set, GetVersionExA reports this
// platform identifier instead of VER_PLATFORM_WIN32_NT (0 restores it).
// Also read from $VELQOSCH_PLATFORM_ID at the first query.
VQAPI void VelqoSetVersionPlatformId(DWORD platformId);

// --- windows and messages ----------------------------------------------------
#define GW_HWNDFIRST 0
#define GW_HWNDLAST 1
#define GW_HWNDNEXT 2
#define GW_HWNDPREV 3
#define GW_OWNER 4
#define GW_CHILD 5
#define WM_SETTEXT 0x000C
#define WM_GETTEXT 0x000D
#define WM_CLOSE 0x0010
#define WM_USER 0x0400
VQAPI HWND GetDesktopWindow(void);
VQAPI HWND GetWindow(HWND hWnd, UINT uCmd);
VQAPI int GetWindowTextA(HWND hWnd, LPSTR lpString, int nMaxCount);
VQAPI HWND FindWindowA(LPCSTR lpClassName, LPCSTR lpWindowName);
VQAPI LRESULT SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
VQAPI BOOL IsWindow(HWND hWnd);

// A window of this process: a listening endpoint in the session folder with
// a class and a title. Each WM_SETTEXT, WM_CLOSE or WM_USER..0x7FFF message it
// receives is handed to the callback on the window's receiver thread (for
// WM_SETTEXT lParam is the NUL-terminated text); the sender is released when
// it returns and gets its result. VelqoDestroyWindow works only on windows of
// this process.
using VELQO_WNDPROC = LRESULT (*)(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam, void *context);
VQAPI HWND VelqoCreateWindow(LPCSTR lpClassName, LPCSTR lpWindowName, VELQO_WNDPROC proc, void *context);
VQAPI BOOL VelqoDestroyWindow(HWND hWnd);
// Test seam of the message limit: how long SendMessageA waits for a receiver
// to take and answer a message, and a receiver for a sender to deliver one,
// before giving up (default 10000 ms; 0 restores it). Shared by all threads.
VQAPI void VelqoSetMessageTimeout(DWORD milliseconds);

// --- service control ---------------------------------------------------------
struct SC_HANDLE__;
using SC_HANDLE = SC_HANDLE__ *;
struct SERVICE_STATUS {
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
};
using LPSERVICE_STATUS = SERVICE_STATUS *;
#define SC_MANAGER_CONNECT 0x0001
#define SC_MANAGER_ALL_ACCESS 0xF003F
#define SERVICE_QUERY_CONFIG 0x0001
#define SERVICE_QUERY_STATUS 0x0004
#define SERVICE_START 0x0010
#define SERVICE_STOP 0x0020
#define SERVICE_ALL_ACCESS 0xF01FF
#define SERVICE_WIN32_OWN_PROCESS 0x10
#define SERVICE_WIN32_SHARE_PROCESS 0x20
#define SERVICE_STOPPED 1
#define SERVICE_START_PENDING 2
#define SERVICE_STOP_PENDING 3
#define SERVICE_RUNNING 4
#define SERVICE_CONTROL_STOP 1
#define SERVICE_CONTROL_INTERROGATE 4
#define SERVICE_ACCEPT_STOP 1
VQAPI SC_HANDLE OpenSCManagerA(LPCSTR lpMachineName, LPCSTR lpDatabaseName, DWORD dwDesiredAccess);
VQAPI SC_HANDLE OpenServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, DWORD dwDesiredAccess);
VQAPI BOOL QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus);
VQAPI BOOL StartServiceA(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCSTR *lpServiceArgVectors);
VQAPI BOOL ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus);
VQAPI BOOL CloseServiceHandle(SC_HANDLE hSCObject);

// --- modules ------------------------------------------------------------------
// An HMODULE is the base address at which a shared object is loaded.
#define GET_MODULE_HANDLE_EX_FLAG_PIN 0x1
#define GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT 0x2
#define GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS 0x4
VQAPI BOOL GetModuleHandleExW(DWORD dwFlags, LPCWSTR lpModuleName, HMODULE *phModule);
VQAPI DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize);
