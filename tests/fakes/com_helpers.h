// Reading an object's reference count and subscribing to an object's events, for any suite.
#pragma once

#include <comrt/connection_point.h>
#include <comrt/object.h>
#include <comrt/ocidl.h>

namespace fakes {

inline ULONG ref_count(IUnknown* p) { return p->AddRef(), p->Release(); }

inline comrt::com_ptr<IConnectionPoint> point_of(IUnknown* source, REFIID riid) {
  comrt::com_ptr<IConnectionPoint> cp;
  comrt::check_hresult(comrt::query<IConnectionPointContainer>(source)->FindConnectionPoint(riid, cp.put()));
  return cp;
}
template <class I>
DWORD advise(IUnknown* source, IUnknown* sink) {
  DWORD cookie = 0;
  return comrt::check_hresult(point_of(source, comrt::uuidof<I>())->Advise(sink, &cookie)), cookie;
}
template <class I>
HRESULT unadvise(IUnknown* source, DWORD cookie) { return point_of(source, comrt::uuidof<I>())->Unadvise(cookie); }

}  // namespace fakes
