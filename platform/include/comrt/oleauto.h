// BSTR and VARIANT functions of OLE automation.
#pragma once

#include "comrt/oaidl.h"

// BSTR: UTF-16 text preceded by its 32-bit byte length and followed by a NUL. A null BSTR is the
// empty string for every function here.
COMRT_API BSTR SysAllocString(const OLECHAR* psz);
COMRT_API BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui);
COMRT_API BSTR SysAllocStringByteLen(const char* psz, UINT len);
COMRT_API INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz);
COMRT_API INT SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT len);
COMRT_API void SysFreeString(BSTR bstrString);
COMRT_API UINT SysStringLen(BSTR pbstr);
COMRT_API UINT SysStringByteLen(BSTR bstr);

COMRT_API void VariantInit(VARIANTARG* pvarg);
STDAPI VariantClear(VARIANTARG* pvarg);
STDAPI VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc);
STDAPI VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT wFlags, VARTYPE vt);
STDAPI VariantChangeTypeEx(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, LCID lcid, USHORT wFlags, VARTYPE vt);
