// Reading an object's reference count, subscribing to an object's events, and a site whose services
// and proffers are mocks, for any suite.
#pragma once

#include <gmock/gmock.h>

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

// A site with IProfferService: its services and proffers are expectations of the test.
class MockSite final : public comrt::implements<MockSite, IServiceProvider, IProfferService> {
 public:
  MOCK_METHOD(HRESULT, QueryService, (REFGUID sid, REFIID riid, void** ppv), (override));
  MOCK_METHOD(HRESULT, ProfferService, (REFGUID sid, IServiceProvider* provider, DWORD* cookie), (override));
  MOCK_METHOD(HRESULT, RevokeService, (DWORD cookie), (override));
};

}  // namespace fakes
