// VARIANT lifetime: initialise, clear (free the string, release the object) and deep copy.
#include <cstring>

#include "comrt/oleauto.h"
#include "variant_types.h"

using comrt::automation::is_valid_type;

COMRT_API void VariantInit(VARIANTARG* pvarg) {
  if (!pvarg) return;
  pvarg->vt = VT_EMPTY;
  pvarg->wReserved1 = pvarg->wReserved2 = pvarg->wReserved3 = 0;
}

// A variant of a type this runtime does not know is left as it is (DISP_E_BADVARTYPE): freeing
// what it holds would be a guess. A VT_BYREF variant owns nothing, so clearing it frees nothing.
STDAPI VariantClear(VARIANTARG* pvarg) {
  if (!pvarg) return E_INVALIDARG;
  if (!is_valid_type(pvarg->vt)) return DISP_E_BADVARTYPE;
  switch (pvarg->vt) {
    case VT_BSTR:
      SysFreeString(pvarg->bstrVal);
      break;
    case VT_UNKNOWN:
      if (pvarg->punkVal) pvarg->punkVal->Release();
      break;
    case VT_DISPATCH:
      if (pvarg->pdispVal) pvarg->pdispVal->Release();
      break;
    default:
      break;
  }
  std::memset(static_cast<void*>(pvarg), 0, sizeof *pvarg);
  pvarg->vt = VT_EMPTY;
  return S_OK;
}

// The copy is made before the destination is cleared, so a failure leaves the destination as it
// was. A string is copied byte for byte (odd byte lengths and embedded NULs included); an object
// gets a new reference; a VT_BYREF variant is copied as the reference it is.
STDAPI VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc) {
  if (!pvargDest || !pvargSrc) return E_INVALIDARG;
  if (pvargDest == pvargSrc) return S_OK;
  if (!is_valid_type(pvargSrc->vt) || !is_valid_type(pvargDest->vt)) return DISP_E_BADVARTYPE;
  VARIANT copy = *pvargSrc;
  switch (pvargSrc->vt) {
    case VT_BSTR:
      if (pvargSrc->bstrVal) {
        copy.bstrVal = SysAllocStringByteLen(reinterpret_cast<const char*>(pvargSrc->bstrVal),
                                             SysStringByteLen(pvargSrc->bstrVal));
        if (!copy.bstrVal) return E_OUTOFMEMORY;
      }
      break;
    case VT_UNKNOWN:
      if (copy.punkVal) copy.punkVal->AddRef();
      break;
    case VT_DISPATCH:
      if (copy.pdispVal) copy.pdispVal->AddRef();
      break;
    default:
      break;
  }
  VariantClear(pvargDest);
  *pvargDest = copy;
  return S_OK;
}
