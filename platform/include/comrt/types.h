// Fixed-width types, status codes and structure layouts of the component object model, with the
// binary shape they have on LP64 Linux. Everything here is plain data: hosts and components that
// were compiled separately exchange these values directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

// Functions of the runtime are exported with C linkage under their standard names.
#define COMRT_API extern "C" __attribute__((visibility("default")))
#define STDAPI COMRT_API HRESULT
#define STDMETHODCALLTYPE

using HRESULT = int32_t;
using SCODE = int32_t;
using ULONG = uint32_t;
using DWORD = uint32_t;
using UINT = uint32_t;
using LCID = uint32_t;
using LONG = int32_t;
using INT = int32_t;
using DISPID = int32_t;
using MEMBERID = int32_t;
using BOOL = int32_t;
using WORD = uint16_t;
using USHORT = uint16_t;
using SHORT = int16_t;
using VARTYPE = uint16_t;
using VARIANT_BOOL = int16_t;
using BYTE = uint8_t;
using CHAR = char;
using LONGLONG = int64_t;
using ULONGLONG = uint64_t;
using FLOAT = float;
using DOUBLE = double;
using DATE = double;
using OLECHAR = char16_t;
using WCHAR = char16_t;
using LPOLESTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;
using BSTR = OLECHAR*;
using PVOID = void*;
using LPVOID = void*;

inline constexpr BOOL TRUE = 1;
inline constexpr BOOL FALSE = 0;
inline constexpr VARIANT_BOOL VARIANT_TRUE = -1;
inline constexpr VARIANT_BOOL VARIANT_FALSE = 0;

// ---------------------------------------------------------------------------------------------
// Status codes

constexpr bool SUCCEEDED(HRESULT hr) noexcept { return hr >= 0; }
constexpr bool FAILED(HRESULT hr) noexcept { return hr < 0; }
constexpr int32_t HRESULT_CODE(HRESULT hr) noexcept { return hr & 0xFFFF; }
constexpr int32_t HRESULT_FACILITY(HRESULT hr) noexcept { return (hr >> 16) & 0x1FFF; }
constexpr HRESULT MAKE_HRESULT(uint32_t sev, uint32_t fac, uint32_t code) noexcept {
  return static_cast<HRESULT>((sev << 31) | (fac << 16) | code);
}
inline constexpr uint32_t FACILITY_WIN32 = 7;
// Win32 error codes (the registry functions return these).
inline constexpr LONG ERROR_SUCCESS = 0;
inline constexpr LONG ERROR_FILE_NOT_FOUND = 2;
inline constexpr LONG ERROR_PATH_NOT_FOUND = 3;
inline constexpr LONG ERROR_ACCESS_DENIED = 5;
inline constexpr LONG ERROR_INVALID_HANDLE = 6;
inline constexpr LONG ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr LONG ERROR_OUTOFMEMORY = 14;
inline constexpr LONG ERROR_WRITE_FAULT = 29;
inline constexpr LONG ERROR_READ_FAULT = 30;
inline constexpr LONG ERROR_GEN_FAILURE = 31;
inline constexpr LONG ERROR_SHARING_VIOLATION = 32;
inline constexpr LONG ERROR_FILE_EXISTS = 80;
inline constexpr LONG ERROR_INVALID_PARAMETER = 87;
inline constexpr LONG ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr LONG ERROR_DIR_NOT_EMPTY = 145;
inline constexpr LONG ERROR_ALREADY_EXISTS = 183;
inline constexpr LONG ERROR_FILENAME_EXCED_RANGE = 206;
inline constexpr LONG ERROR_MORE_DATA = 234;
inline constexpr LONG ERROR_NO_MORE_ITEMS = 259;
inline constexpr LONG ERROR_BADDB = 1009;
inline constexpr LONG ERROR_BADKEY = 1010;
inline constexpr LONG ERROR_CANTOPEN = 1011;
inline constexpr LONG ERROR_CANTREAD = 1012;
inline constexpr LONG ERROR_CANTWRITE = 1013;
inline constexpr LONG ERROR_KEY_DELETED = 1018;
inline constexpr LONG ERROR_TIMEOUT = 1460;
inline constexpr LONG ERROR_DISK_FULL = 112;
inline constexpr LONG ERROR_NOT_SUPPORTED = 50;
inline constexpr LONG ERROR_MOD_NOT_FOUND = 126;
inline constexpr LONG ERROR_PROC_NOT_FOUND = 127;
inline constexpr LONG ERROR_INVALID_NAME = 123;
inline constexpr LONG ERROR_NO_UNICODE_TRANSLATION = 1113;

constexpr HRESULT HRESULT_FROM_WIN32(LONG x) noexcept {
  return x <= 0 ? static_cast<HRESULT>(x)
                : static_cast<HRESULT>((static_cast<uint32_t>(x) & 0x0000FFFFu) | (FACILITY_WIN32 << 16) |
                                       0x80000000u);
}

#define COMRT_HR(x) static_cast<HRESULT>(static_cast<uint32_t>(x))
inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = COMRT_HR(0x80004001);
inline constexpr HRESULT E_NOINTERFACE = COMRT_HR(0x80004002);
inline constexpr HRESULT E_POINTER = COMRT_HR(0x80004003);
inline constexpr HRESULT E_ABORT = COMRT_HR(0x80004004);
inline constexpr HRESULT E_FAIL = COMRT_HR(0x80004005);
inline constexpr HRESULT E_UNEXPECTED = COMRT_HR(0x8000FFFF);
inline constexpr HRESULT E_ACCESSDENIED = COMRT_HR(0x80070005);
inline constexpr HRESULT E_HANDLE = COMRT_HR(0x80070006);
inline constexpr HRESULT E_OUTOFMEMORY = COMRT_HR(0x8007000E);
inline constexpr HRESULT E_INVALIDARG = COMRT_HR(0x80070057);
inline constexpr HRESULT CLASS_E_NOAGGREGATION = COMRT_HR(0x80040110);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = COMRT_HR(0x80040111);
inline constexpr HRESULT REGDB_E_READREGDB = COMRT_HR(0x80040150);
inline constexpr HRESULT REGDB_E_WRITEREGDB = COMRT_HR(0x80040151);
inline constexpr HRESULT REGDB_E_KEYMISSING = COMRT_HR(0x80040152);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = COMRT_HR(0x80040154);
inline constexpr HRESULT CO_E_NOTINITIALIZED = COMRT_HR(0x800401F0);
inline constexpr HRESULT CO_E_CLASSSTRING = COMRT_HR(0x800401F3);
inline constexpr HRESULT CO_E_DLLNOTFOUND = COMRT_HR(0x800401F8);
inline constexpr HRESULT CO_E_ERRORINDLL = COMRT_HR(0x800401F9);
inline constexpr HRESULT CO_E_OBJNOTREG = COMRT_HR(0x800401FB);
inline constexpr HRESULT RPC_E_CHANGED_MODE = COMRT_HR(0x80010106);
inline constexpr HRESULT CONNECT_E_NOCONNECTION = COMRT_HR(0x80040200);
inline constexpr HRESULT CONNECT_E_ADVISELIMIT = COMRT_HR(0x80040201);
inline constexpr HRESULT CONNECT_E_CANNOTCONNECT = COMRT_HR(0x80040202);
inline constexpr HRESULT CONNECT_E_OVERRIDDEN = COMRT_HR(0x80040203);
inline constexpr HRESULT DISP_E_UNKNOWNINTERFACE = COMRT_HR(0x80020001);
inline constexpr HRESULT DISP_E_MEMBERNOTFOUND = COMRT_HR(0x80020003);
inline constexpr HRESULT DISP_E_PARAMNOTFOUND = COMRT_HR(0x80020004);
inline constexpr HRESULT DISP_E_TYPEMISMATCH = COMRT_HR(0x80020005);
inline constexpr HRESULT DISP_E_UNKNOWNNAME = COMRT_HR(0x80020006);
inline constexpr HRESULT DISP_E_NONAMEDARGS = COMRT_HR(0x80020007);
inline constexpr HRESULT DISP_E_BADVARTYPE = COMRT_HR(0x80020008);
inline constexpr HRESULT DISP_E_EXCEPTION = COMRT_HR(0x80020009);
inline constexpr HRESULT DISP_E_OVERFLOW = COMRT_HR(0x8002000A);
inline constexpr HRESULT DISP_E_BADINDEX = COMRT_HR(0x8002000B);
inline constexpr HRESULT DISP_E_UNKNOWNLCID = COMRT_HR(0x8002000C);
inline constexpr HRESULT DISP_E_ARRAYISLOCKED = COMRT_HR(0x8002000D);
inline constexpr HRESULT DISP_E_BADPARAMCOUNT = COMRT_HR(0x8002000E);
inline constexpr HRESULT DISP_E_PARAMNOTOPTIONAL = COMRT_HR(0x8002000F);
inline constexpr HRESULT DISP_E_BADCALLEE = COMRT_HR(0x80020010);
inline constexpr HRESULT DISP_E_NOTACOLLECTION = COMRT_HR(0x80020011);
inline constexpr HRESULT DISP_E_DIVBYZERO = COMRT_HR(0x80020012);
inline constexpr HRESULT TYPE_E_ELEMENTNOTFOUND = COMRT_HR(0x8002802B);
inline constexpr HRESULT TYPE_E_LIBNOTREGISTERED = COMRT_HR(0x8002801D);
inline constexpr HRESULT TYPE_E_REGISTRYACCESS = COMRT_HR(0x8002801C);
inline constexpr HRESULT TYPE_E_CANTLOADLIBRARY = COMRT_HR(0x80029C4A);

// ---------------------------------------------------------------------------------------------
// Identifiers

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
using IID = GUID;
using CLSID = GUID;
using REFGUID = const GUID&;
using REFIID = const IID&;
using REFCLSID = const CLSID&;
using LPGUID = GUID*;
using LPCLSID = CLSID*;

constexpr bool operator==(const GUID& a, const GUID& b) noexcept {
  // At run time one comparison of the 16 bytes, which compilers inline as two word compares: every
  // QueryInterface makes several.
  if (!std::is_constant_evaluated()) return std::memcmp(&a, &b, sizeof(GUID)) == 0;
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i)
    if (a.Data4[i] != b.Data4[i]) return false;
  return true;
}
inline constexpr GUID GUID_NULL{};
inline constexpr IID IID_NULL{};
inline constexpr CLSID CLSID_NULL{};

// ---------------------------------------------------------------------------------------------
// Times

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};

struct SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
};

// ---------------------------------------------------------------------------------------------
// VARIANT

struct IUnknown;
struct IDispatch;
struct IRecordInfo;
struct SAFEARRAY;

enum VARENUM : VARTYPE {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_CY = 6,
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_DECIMAL = 14,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_INT = 22,
  VT_UINT = 23,
  VT_VOID = 24,
  VT_HRESULT = 25,
  VT_PTR = 26,
  VT_SAFEARRAY = 27,
  VT_CARRAY = 28,
  VT_USERDEFINED = 29,
  VT_LPSTR = 30,
  VT_LPWSTR = 31,
  VT_RECORD = 36,
  VT_ARRAY = 0x2000,
  VT_BYREF = 0x4000,
  VT_RESERVED = 0x8000,
  VT_TYPEMASK = 0x0FFF,
};

union CY {
  struct {
    uint32_t Lo;
    int32_t Hi;
  };
  LONGLONG int64;
};

struct DECIMAL {
  USHORT wReserved;
  BYTE scale;
  BYTE sign;
  ULONG Hi32;
  ULONGLONG Lo64;
};

struct VARIANT {
  union {
    struct {
      VARTYPE vt;
      WORD wReserved1;
      WORD wReserved2;
      WORD wReserved3;
      union {
        LONGLONG llVal;
        LONG lVal;
        BYTE bVal;
        SHORT iVal;
        FLOAT fltVal;
        DOUBLE dblVal;
        VARIANT_BOOL boolVal;
        SCODE scode;
        CY cyVal;
        DATE date;
        BSTR bstrVal;
        IUnknown* punkVal;
        IDispatch* pdispVal;
        SAFEARRAY* parray;
        BYTE* pbVal;
        SHORT* piVal;
        LONG* plVal;
        LONGLONG* pllVal;
        DOUBLE* pdblVal;
        VARIANT_BOOL* pboolVal;
        BSTR* pbstrVal;
        IUnknown** ppunkVal;
        IDispatch** ppdispVal;
        VARIANT* pvarVal;
        PVOID byref;
        CHAR cVal;
        USHORT uiVal;
        ULONG ulVal;
        ULONGLONG ullVal;
        INT intVal;
        UINT uintVal;
        struct {
          PVOID pvRecord;
          IRecordInfo* pRecInfo;
        } brecVal;
      };
    };
    DECIMAL decVal;
  };
};
using VARIANTARG = VARIANT;
using LPVARIANT = VARIANT*;

struct DISPPARAMS {
  VARIANTARG* rgvarg;
  DISPID* rgdispidNamedArgs;
  UINT cArgs;
  UINT cNamedArgs;
};

struct EXCEPINFO {
  WORD wCode;
  WORD wReserved;
  BSTR bstrSource;
  BSTR bstrDescription;
  BSTR bstrHelpFile;
  DWORD dwHelpContext;
  PVOID pvReserved;
  HRESULT (*pfnDeferredFillIn)(EXCEPINFO*);
  SCODE scode;
};

inline constexpr DISPID DISPID_UNKNOWN = -1;
inline constexpr DISPID DISPID_VALUE = 0;
inline constexpr DISPID DISPID_PROPERTYPUT = -3;
inline constexpr DISPID DISPID_NEWENUM = -4;
inline constexpr WORD DISPATCH_METHOD = 0x1;
inline constexpr WORD DISPATCH_PROPERTYGET = 0x2;
inline constexpr WORD DISPATCH_PROPERTYPUT = 0x4;
inline constexpr WORD DISPATCH_PROPERTYPUTREF = 0x8;
inline constexpr LCID LOCALE_SYSTEM_DEFAULT = 0x0800;
inline constexpr LCID LOCALE_USER_DEFAULT = 0x0400;
inline constexpr LCID LOCALE_INVARIANT = 0x007F;

// VariantChangeType flags
inline constexpr USHORT VARIANT_NOVALUEPROP = 0x01;
inline constexpr USHORT VARIANT_ALPHABOOL = 0x02;
inline constexpr USHORT VARIANT_NOUSEROVERRIDE = 0x04;
inline constexpr USHORT VARIANT_LOCALBOOL = 0x10;

// ---------------------------------------------------------------------------------------------
// Layout checks: these are the sizes and offsets every COM client on LP64 expects.

static_assert(sizeof(GUID) == 16 && offsetof(GUID, Data2) == 4 && offsetof(GUID, Data3) == 6 &&
              offsetof(GUID, Data4) == 8);
static_assert(sizeof(FILETIME) == 8 && offsetof(FILETIME, dwHighDateTime) == 4);
static_assert(sizeof(SYSTEMTIME) == 16 && offsetof(SYSTEMTIME, wDay) == 6 &&
              offsetof(SYSTEMTIME, wMilliseconds) == 14);
static_assert(sizeof(VARIANT) == 24 && offsetof(VARIANT, vt) == 0 && offsetof(VARIANT, lVal) == 8 &&
              offsetof(VARIANT, bstrVal) == 8 && offsetof(VARIANT, brecVal.pRecInfo) == 16);
static_assert(sizeof(DECIMAL) == 16);
static_assert(sizeof(DISPPARAMS) == 24 && offsetof(DISPPARAMS, rgdispidNamedArgs) == 8 &&
              offsetof(DISPPARAMS, cArgs) == 16 && offsetof(DISPPARAMS, cNamedArgs) == 20);
static_assert(sizeof(EXCEPINFO) == 64 && offsetof(EXCEPINFO, bstrSource) == 8 &&
              offsetof(EXCEPINFO, scode) == 56);
static_assert(sizeof(OLECHAR) == 2 && sizeof(VARIANT_BOOL) == 2 && sizeof(HRESULT) == 4);
