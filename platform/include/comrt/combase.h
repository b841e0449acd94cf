// Activation, apartments, identifiers and task memory: the runtime's C entry points.
#pragma once

#include "comrt/unknwn.h"

enum COINIT : DWORD {
  COINIT_MULTITHREADED = 0x0,
  COINIT_APARTMENTTHREADED = 0x2,
  COINIT_DISABLE_OLE1DDE = 0x4,
  COINIT_SPEED_OVER_MEMORY = 0x8,
};

enum CLSCTX : DWORD {
  CLSCTX_INPROC_SERVER = 0x1,
  CLSCTX_INPROC_HANDLER = 0x2,
  CLSCTX_LOCAL_SERVER = 0x4,
  CLSCTX_REMOTE_SERVER = 0x10,
  CLSCTX_INPROC = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER,
  CLSCTX_SERVER = CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER,
  CLSCTX_ALL = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER,
};

enum REGCLS : DWORD {
  REGCLS_SINGLEUSE = 0,
  REGCLS_MULTIPLEUSE = 1,
  REGCLS_MULTI_SEPARATE = 2,
  REGCLS_SUSPENDED = 4,
  REGCLS_SURROGATE = 8,
};

// Marshalling contexts and flags (only in-process contexts exist here).
enum MSHCTX : DWORD {
  MSHCTX_LOCAL = 0,
  MSHCTX_NOSHAREDMEM = 1,
  MSHCTX_DIFFERENTMACHINE = 2,
  MSHCTX_INPROC = 3,
  MSHCTX_CROSSCTX = 4,
};
enum MSHLFLAGS : DWORD {
  MSHLFLAGS_NORMAL = 0,
  MSHLFLAGS_TABLESTRONG = 1,
  MSHLFLAGS_TABLEWEAK = 2,
  MSHLFLAGS_NOPING = 4,
};

inline constexpr HRESULT CO_E_OBJISREG = COMRT_HR(0x800401FC);
inline constexpr HRESULT CO_E_IIDSTRING = COMRT_HR(0x800401F4);

// The class that unmarshals in-process pointers handed out by the free-threaded marshaler.
inline constexpr CLSID CLSID_InProcFreeMarshaler{0x0000033A, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// Signatures of the exports an in-process server library provides.
using LPFNGETCLASSOBJECT = HRESULT (*)(REFCLSID, REFIID, void**);
using LPFNCANUNLOADNOW = HRESULT (*)();

inline bool IsEqualGUID(REFGUID a, REFGUID b) noexcept { return a == b; }
inline bool IsEqualIID(REFIID a, REFIID b) noexcept { return a == b; }
inline bool IsEqualCLSID(REFCLSID a, REFCLSID b) noexcept { return a == b; }

// Apartments are bookkeeping only (every class is free-threaded): CoInitializeEx answers S_OK the
// first time on a thread, S_FALSE again for the same model, RPC_E_CHANGED_MODE for the other one;
// each S_OK or S_FALSE is matched by a CoUninitialize. Activation works on any thread, initialised
// or not.
STDAPI CoInitializeEx(void* pvReserved, DWORD dwCoInit);
COMRT_API void CoUninitialize();

// Class objects registered by the process come first; then the default value of
// HKEY_CLASSES_ROOT\CLSID\{clsid}\InprocServer32 names the server library, which is loaded once (dlopen) and asked through its
// DllGetClassObject. Every context asked for is served in-process; a context with no server bit is
// E_INVALIDARG. Not registered: REGDB_E_CLASSNOTREG; library not loadable: CO_E_DLLNOTFOUND; no
// DllGetClassObject export: CO_E_ERRORINDLL. A class may be registered in the process once at a
// time (CO_E_OBJISREG); REGCLS_SINGLEUSE answers one request.
STDAPI CoRegisterClassObject(REFCLSID rclsid, IUnknown* pUnk, DWORD dwClsContext, DWORD flags, DWORD* lpdwRegister);
STDAPI CoRevokeClassObject(DWORD dwRegister);
STDAPI CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, void* pvReserved, REFIID riid, void** ppv);
// The class object's IClassFactory::CreateInstance (whose aggregation rule applies).
STDAPI CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid, void** ppv);
// Unloads server libraries in two phases: a call marks each library whose DllCanUnloadNow answers
// S_OK and that no activation is using; a later call unloads a marked library once dwUnloadDelay
// milliseconds have passed since it was marked (by the runtime's clock, see RtSetClock), provided it
// has answered S_OK on every call since and no activation has gone through it. A library that is in
// use meanwhile loses its mark. INFINITE (0xFFFFFFFF) is the default delay of ten minutes, which
// CoFreeUnusedLibraries uses. DllCanUnloadNow is never called with a runtime lock held.
inline constexpr DWORD INFINITE = 0xFFFFFFFF;
COMRT_API void CoFreeUnusedLibrariesEx(DWORD dwUnloadDelay, DWORD dwReserved);
COMRT_API void CoFreeUnusedLibraries();

// The free-threaded marshaler, aggregated by punkOuter (or on its own when null); *ppunkMarshal is
// its non-delegating IUnknown. In-process only: see platform/com/free_threaded_marshaler.cpp.
STDAPI CoCreateFreeThreadedMarshaler(IUnknown* punkOuter, IUnknown** ppunkMarshal);

COMRT_API void* CoTaskMemAlloc(size_t cb);
COMRT_API void* CoTaskMemRealloc(void* pv, size_t cb);
COMRT_API void CoTaskMemFree(void* pv);

// Identifiers. StringFromGUID2 writes "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (38 characters and a NUL)
// and returns the number of characters written including the NUL, or 0 when cchMax is too small.
COMRT_API int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax);
STDAPI StringFromCLSID(REFCLSID rclsid, LPOLESTR* lplpsz);  // result freed with CoTaskMemFree
// Braced text (either case) or a registered ProgID; a null string is CLSID_NULL and S_OK (as on
// Windows); anything else CO_E_CLASSSTRING with *pclsid set to CLSID_NULL.
STDAPI CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid);
// Braced text only; a null string is IID_NULL and S_OK; anything else E_INVALIDARG.
STDAPI IIDFromString(LPCOLESTR lpsz, LPGUID lpiid);
// A random version-4 identifier from the kernel's random source.
STDAPI CoCreateGuid(GUID* pguid);
// HKEY_CLASSES_ROOT\<ProgID>\CLSID (or the ProgID its CurVer names); CO_E_CLASSSTRING when missing.
STDAPI CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid);
// HKEY_CLASSES_ROOT\CLSID\{clsid}\ProgID; REGDB_E_CLASSNOTREG when missing. Freed with CoTaskMemFree.
STDAPI ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* lplpszProgID);

// Maps an errno value to a status (ENOENT to HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), ENOMEM to
// E_OUTOFMEMORY, EACCES to E_ACCESSDENIED, ...; 0 to S_OK; unknown values to E_FAIL).
COMRT_API HRESULT HResultFromErrno(int err);
