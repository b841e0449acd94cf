// BSTR and VARIANT functions of OLE automation.
#pragma once

#include "comrt/oaidl.h"

// BSTR: UTF-16 text preceded by its 32-bit byte length and followed by a NUL. A null BSTR is the
// empty string for every function here. Byte lengths from 2^31 - 8 on fail (null or FALSE); a null
// text pointer gives zero-filled characters. SysReAlloc* build the new string before freeing the
// old one, so the source may point into it; SysReAllocString with a null source gives an empty
// (allocated) string. The owning C++ wrappers are in <comrt/variant.h>.
COMRT_API BSTR SysAllocString(const OLECHAR* psz);
COMRT_API BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui);
COMRT_API BSTR SysAllocStringByteLen(const char* psz, UINT len);
COMRT_API INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz);
COMRT_API INT SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT len);
COMRT_API void SysFreeString(BSTR bstrString);
COMRT_API UINT SysStringLen(BSTR pbstr);
COMRT_API UINT SysStringByteLen(BSTR bstr);

// VARIANT. Held types: VT_EMPTY, VT_NULL, the integers (VT_I1 ... VT_I8, VT_UI1 ... VT_UI8, VT_INT,
// VT_UINT), VT_R4, VT_R8, VT_CY, VT_DATE, VT_BSTR, VT_DISPATCH, VT_ERROR, VT_BOOL, VT_UNKNOWN,
// VT_DECIMAL, and VT_BYREF references to them or to a VARIANT. Arrays and records are not supported:
// VariantClear and VariantCopy answer DISP_E_BADVARTYPE for them and for unknown types, and leave
// the variant alone. Null VARIANT pointers give E_INVALIDARG. VariantCopy builds the copy before
// clearing the destination (a failure leaves it untouched); a VT_BYREF variant is copied as the
// reference it is and clearing one frees nothing.
COMRT_API void VariantInit(VARIANTARG* pvarg);
STDAPI VariantClear(VARIANTARG* pvarg);
STDAPI VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc);

// VariantChangeType / VariantChangeTypeEx convert with the rules of OLE automation, using the
// invariant locale whatever the LCID (a period as the decimal separator, no thousands separators).
// The target is replaced only on success; pvargDest may equal pvarSrc. A VT_BYREF source is read
// through its reference. Failures: DISP_E_TYPEMISMATCH for text that is not a value of the target
// type or a pair of types that does not convert, DISP_E_OVERFLOW for a value outside the target's
// range, DISP_E_BADVARTYPE for a target that is not a held value type.
//
// - Same type: a deep copy. Any type to VT_EMPTY: empty. VT_EMPTY to numbers, VT_BOOL and VT_DATE:
//   zero; to VT_BSTR: "". VT_NULL converts to nothing else.
// - Text to integers: [blanks][+|-]digits[.digits][(e|E)[+|-]digits][blanks], rounded half to even
//   exactly (64-bit values keep every digit: "133590240000000001" is exact in VT_UI8).
//   Text to VT_R8 / VT_R4: the same grammar, correctly rounded; beyond the type's range overflows,
//   below it gives zero. No hexadecimal, currency or thousands forms; "NaN" is not a number.
// - Reals to integers: rounded half to even; NaN and infinities overflow. VT_R8 to VT_R4 overflows
//   beyond the float range.
// - Integers to text: decimal. Reals to text: 15 significant digits (7 for VT_R4), trailing zeros
//   dropped; plain for decimal exponents -4 to 14 (6 for VT_R4), otherwise "1.5E+20" / "2.5E-07";
//   NaN and infinities give "NaN", "Infinity", "-Infinity".
// - VT_DECIMAL (up to 28 decimal places) and VT_CY (four decimal places) convert to and from every
//   number, VT_BOOL and text exactly, rounding half to even where places must go; reals take their
//   15 (VT_R4: 7) significant digits; beyond the range overflows. To text: plain notation.
// - VT_BOOL to numbers: its value (VARIANT_TRUE is -1; in unsigned types all bits set); numbers to
//   VT_BOOL: non-zero is VARIANT_TRUE. VT_BOOL to text: "True"/"False" with VARIANT_ALPHABOOL or
//   VARIANT_LOCALBOOL, otherwise the number ("-1"/"0"). Text to VT_BOOL: "True"/"False" (any case,
//   blanks around) or a number by the grammar above (non-zero is true).
// - VT_DATE: days since 1899-12-30 00:00:00, the fraction the time of day (for a negative date the
//   fraction still counts forward into the day: -1.25 is 1899-12-29 06:00). VT_DATE and VT_R8
//   convert as the same number; dates run from 0100-01-01 to 9999-12-31 (exclusive bounds -657435
//   and 2958466), beyond which the conversion overflows. VT_DATE to text: "YYYY-MM-DD HH:MM:SS",
//   rounded to the second. Text to VT_DATE: "YYYY-MM-DD", "YYYY-MM-DD HH:MM[:SS]" (blank or "T"
//   between), or "HH:MM[:SS]" alone (a time on day 0); an invalid calendar date is a mismatch.
// - VT_DISPATCH to VT_UNKNOWN: QueryInterface for IUnknown (the object's identity). VT_UNKNOWN to
//   VT_DISPATCH: QueryInterface for IDispatch, failing as it does (E_NOINTERFACE); null stays null.
//   Objects to or from anything else, and VT_ERROR to or from another type: mismatch. No default
//   property is ever called.
STDAPI VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT wFlags, VARTYPE vt);
STDAPI VariantChangeTypeEx(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, LCID lcid, USHORT wFlags, VARTYPE vt);

// Error information of the calling thread. SetErrorInfo replaces it (null clears it); GetErrorInfo
// hands it out and clears it (S_FALSE and null when there is none); CreateErrorInfo makes an
// empty one to fill through ICreateErrorInfo (query it for IErrorInfo to set it). The reserved
// arguments must be 0 (E_INVALIDARG otherwise).
STDAPI SetErrorInfo(ULONG dwReserved, IErrorInfo* perrinfo);
STDAPI GetErrorInfo(ULONG dwReserved, IErrorInfo** pperrinfo);
STDAPI CreateErrorInfo(ICreateErrorInfo** pperrinfo);
