// The interface and class of the small in-process server library the activation tests load.
#pragma once

#include "comrt/unknwn.h"

struct ICounter : IUnknown {
  // The next number of this object's sequence, starting at 1.
  virtual HRESULT STDMETHODCALLTYPE Next(LONG* value) = 0;
};
COMRT_INTERFACE_ID(ICounter, IUnknown, 0x5B0D0C41, 0x3C7E, 0x4D2A, 0x9E, 0x61, 0x0B, 0x7A, 0x2F, 0x44, 0xC1, 0x93)

inline constexpr CLSID CLSID_TestCounter{0x8E4F2A17, 0x6B3D, 0x4C90, {0xA2, 0x5E, 0x71, 0x0C, 0x9D, 0x3B, 0x46, 0xE8}};
