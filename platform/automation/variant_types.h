// Which variant types this runtime holds, shared by the VARIANT functions.
#pragma once

#include "comrt/types.h"

namespace comrt::automation {

// Types a VARIANT may hold by value. Arrays and records are not supported.
constexpr bool is_value_type(VARTYPE vt) noexcept {
  switch (vt) {
    case VT_EMPTY: case VT_NULL: case VT_I2: case VT_I4: case VT_R4: case VT_R8: case VT_CY:
    case VT_DATE: case VT_BSTR: case VT_DISPATCH: case VT_ERROR: case VT_BOOL: case VT_UNKNOWN:
    case VT_DECIMAL: case VT_I1: case VT_UI1: case VT_UI2: case VT_UI4: case VT_I8: case VT_UI8:
    case VT_INT: case VT_UINT:
      return true;
    default:
      return false;
  }
}

// The size of what a VT_BYREF variant of base type `vt` points to; 0 when the type cannot be
// held by reference.
constexpr size_t referenced_size(VARTYPE vt) noexcept {
  switch (vt) {
    case VT_I1: case VT_UI1: return 1;
    case VT_I2: case VT_UI2: case VT_BOOL: return 2;
    case VT_I4: case VT_UI4: case VT_INT: case VT_UINT: case VT_R4: case VT_ERROR: return 4;
    case VT_I8: case VT_UI8: case VT_R8: case VT_DATE: case VT_CY: return 8;
    case VT_BSTR: return sizeof(BSTR);
    case VT_UNKNOWN: return sizeof(IUnknown*);
    case VT_DISPATCH: return sizeof(IDispatch*);
    case VT_DECIMAL: return sizeof(DECIMAL);
    case VT_VARIANT: return sizeof(VARIANT);
    default: return 0;
  }
}

// Whether `vt` is a type a VARIANT may carry here: a value type, or a reference to one (or to a
// VARIANT).
constexpr bool is_valid_type(VARTYPE vt) noexcept {
  if (vt & VT_BYREF) return referenced_size(static_cast<VARTYPE>(vt & ~VT_BYREF)) != 0;
  return is_value_type(vt);
}

}  // namespace comrt::automation
