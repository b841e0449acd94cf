// Connection points, enumerators of connections and unknowns, service providers, sites and the
// persistence identity: the standard interfaces with their standard identifiers and slot orders.
#pragma once

#include "comrt/oaidl.h"

struct ITypeInfo;  // declared in <comrt/typeinfo.h>
struct IConnectionPoint;
struct IConnectionPointContainer;

// One connection of a connection point: the sink (as IUnknown, with a reference owned by whoever
// receives it) and the cookie that Advise returned for it.
struct CONNECTDATA {
  IUnknown* pUnk;
  DWORD dwCookie;
};
using LPCONNECTDATA = CONNECTDATA*;
static_assert(sizeof(CONNECTDATA) == 16 && offsetof(CONNECTDATA, dwCookie) == 8);

struct IEnumConnections : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Next(ULONG cConnections, CONNECTDATA* rgcd, ULONG* pcFetched) = 0;
  virtual HRESULT STDMETHODCALLTYPE Skip(ULONG cConnections) = 0;
  virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
  virtual HRESULT STDMETHODCALLTYPE Clone(IEnumConnections** ppEnum) = 0;
};
COMRT_INTERFACE_ID(IEnumConnections, IUnknown, 0xB196B287, 0xBAB4, 0x101A, 0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34,
                   0x1D, 0x07)

struct IConnectionPoint : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* pIID) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** ppCPC) = 0;
  virtual HRESULT STDMETHODCALLTYPE Advise(IUnknown* pUnkSink, DWORD* pdwCookie) = 0;
  virtual HRESULT STDMETHODCALLTYPE Unadvise(DWORD dwCookie) = 0;
  virtual HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** ppEnum) = 0;
};
COMRT_INTERFACE_ID(IConnectionPoint, IUnknown, 0xB196B286, 0xBAB4, 0x101A, 0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34,
                   0x1D, 0x07)

struct IEnumConnectionPoints : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Next(ULONG cConnections, IConnectionPoint** ppCP, ULONG* pcFetched) = 0;
  virtual HRESULT STDMETHODCALLTYPE Skip(ULONG cConnections) = 0;
  virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
  virtual HRESULT STDMETHODCALLTYPE Clone(IEnumConnectionPoints** ppEnum) = 0;
};
COMRT_INTERFACE_ID(IEnumConnectionPoints, IUnknown, 0xB196B285, 0xBAB4, 0x101A, 0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34,
                   0x1D, 0x07)

struct IConnectionPointContainer : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** ppEnum) = 0;
  virtual HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) = 0;
};
COMRT_INTERFACE_ID(IConnectionPointContainer, IUnknown, 0xB196B284, 0xBAB4, 0x101A, 0xB6, 0x9C, 0x00, 0xAA, 0x00,
                   0x34, 0x1D, 0x07)

struct IEnumUnknown : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Next(ULONG celt, IUnknown** rgelt, ULONG* pceltFetched) = 0;
  virtual HRESULT STDMETHODCALLTYPE Skip(ULONG celt) = 0;
  virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
  virtual HRESULT STDMETHODCALLTYPE Clone(IEnumUnknown** ppenum) = 0;
};
COMRT_INTERFACE_ID(IEnumUnknown, IUnknown, 0x00000100, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                   0x46)

struct IServiceProvider : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QueryService(REFGUID guidService, REFIID riid, void** ppvObject) = 0;
};
COMRT_INTERFACE_ID(IServiceProvider, IUnknown, 0x6D5140C1, 0x7436, 0x11CE, 0x80, 0x34, 0x00, 0xAA, 0x00, 0x60,
                   0x09, 0xFA)

struct IProfferService : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE ProfferService(REFGUID guidService, IServiceProvider* psp, DWORD* pdwCookie) = 0;
  virtual HRESULT STDMETHODCALLTYPE RevokeService(DWORD dwCookie) = 0;
};
COMRT_INTERFACE_ID(IProfferService, IUnknown, 0xCB728B20, 0xF786, 0x11CE, 0x92, 0xAD, 0x00, 0xAA, 0x00, 0xA7, 0x4C,
                   0xD0)
// A site that accepts proffered services offers itself under this service identifier.
inline constexpr GUID SID_SProfferService = IID_IProfferService;

struct IObjectWithSite : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE SetSite(IUnknown* pUnkSite) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetSite(REFIID riid, void** ppvSite) = 0;
};
COMRT_INTERFACE_ID(IObjectWithSite, IUnknown, 0xFC4801A3, 0x2BA9, 0x11CF, 0xA2, 0x29, 0x00, 0xAA, 0x00, 0x3D, 0x73,
                   0x52)

struct IPersist : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetClassID(CLSID* pClassID) = 0;
};
COMRT_INTERFACE_ID(IPersist, IUnknown, 0x0000010C, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46)

struct IProvideClassInfo : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetClassInfo(ITypeInfo** ppTI) = 0;
};
COMRT_INTERFACE_ID(IProvideClassInfo, IUnknown, 0xB196B283, 0xBAB4, 0x101A, 0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34,
                   0x1D, 0x07)
