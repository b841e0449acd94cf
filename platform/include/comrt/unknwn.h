// IUnknown, IClassFactory, IMarshal and the machinery that ties an interface type to its identifier.
#pragma once

#include "comrt/types.h"

namespace comrt {
// interface_traits<I>::iid is I's interface identifier; ::base is the interface I derives from
// (void for IUnknown). Specialised for every interface by COMRT_INTERFACE_ID.
template <class I>
struct interface_traits;

template <class I>
constexpr const IID& uuidof() noexcept {
  return interface_traits<I>::iid;
}
}  // namespace comrt

// Declares IID_<I> and binds it to the interface type. Place after the interface's definition.
#define COMRT_INTERFACE_ID(I, Base, l, w1, w2, b0, b1, b2, b3, b4, b5, b6, b7)  \
  inline constexpr IID IID_##I{l, w1, w2, {b0, b1, b2, b3, b4, b5, b6, b7}};   \
  namespace comrt {                                                             \
  template <>                                                                   \
  struct interface_traits<::I> {                                                \
    using base = Base;                                                          \
    static constexpr const IID& iid = ::IID_##I;                                \
  };                                                                            \
  }

struct IStream;

struct IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) = 0;
  virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE Release() = 0;
};
COMRT_INTERFACE_ID(IUnknown, void, 0x00000000, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46)

struct IClassFactory : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) = 0;
  virtual HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) = 0;
};
COMRT_INTERFACE_ID(IClassFactory, IUnknown, 0x00000001, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                   0x46)

struct IMarshal : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetUnmarshalClass(REFIID riid, void* pv, DWORD dwDestContext, void* pvDestContext,
                                                      DWORD mshlflags, CLSID* pCid) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetMarshalSizeMax(REFIID riid, void* pv, DWORD dwDestContext, void* pvDestContext,
                                                      DWORD mshlflags, DWORD* pSize) = 0;
  virtual HRESULT STDMETHODCALLTYPE MarshalInterface(IStream* pStm, REFIID riid, void* pv, DWORD dwDestContext,
                                                     void* pvDestContext, DWORD mshlflags) = 0;
  virtual HRESULT STDMETHODCALLTYPE UnmarshalInterface(IStream* pStm, REFIID riid, void** ppv) = 0;
  virtual HRESULT STDMETHODCALLTYPE ReleaseMarshalData(IStream* pStm) = 0;
  virtual HRESULT STDMETHODCALLTYPE DisconnectObject(DWORD dwReserved) = 0;
};
COMRT_INTERFACE_ID(IMarshal, IUnknown, 0x00000003, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46)
