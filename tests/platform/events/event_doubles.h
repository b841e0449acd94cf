// Test doubles shared by the event tests: an event source with a vtable and a dispatch-only
// outgoing interface, sinks for both, and a counter of live objects.
#pragma once

#include <gmock/gmock.h>

#include <atomic>
#include <functional>
#include <utility>
#include <vector>

#include "comrt/connection_point.h"
#include "comrt/object.h"
#include "comrt/ocidl.h"

// A vtable outgoing interface.
struct ITestEvents : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE OnPing(LONG n) = 0;
};
COMRT_INTERFACE_ID(ITestEvents, IUnknown, 0x5E0A1C01, 0x2B7D, 0x4C3E, 0x9A, 0x11, 0x42, 0x6F, 0x10, 0x8B, 0x7C, 0x01)

// A dispatch-only outgoing interface: its methods exist only as DISPIDs.
struct _ITestEvents : IDispatch {};
COMRT_INTERFACE_ID(_ITestEvents, IDispatch, 0x5E0A1C02, 0x2B7D, 0x4C3E, 0x9A, 0x11, 0x42, 0x6F, 0x10, 0x8B, 0x7C,
                   0x02)

// The incoming interface of the source; Ping fires OnPing to both outgoing interfaces.
struct ITestSource : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Ping(LONG n) = 0;
};
COMRT_INTERFACE_ID(ITestSource, IUnknown, 0x5E0A1C03, 0x2B7D, 0x4C3E, 0x9A, 0x11, 0x42, 0x6F, 0x10, 0x8B, 0x7C,
                   0x03)

// A dual interface used as an event argument (it must arrive as VT_DISPATCH).
struct ITestItem : IDispatch {};
COMRT_INTERFACE_ID(ITestItem, IDispatch, 0x5E0A1C04, 0x2B7D, 0x4C3E, 0x9A, 0x11, 0x42, 0x6F, 0x10, 0x8B, 0x7C, 0x04)

inline constexpr DISPID kDispidOnPing = 1;

namespace event_test {

// Objects of these classes count themselves so tests can see that nothing leaks.
inline std::atomic<int>& live_objects() {
  static std::atomic<int> n{0};
  return n;
}
struct counted {
  counted() { ++live_objects(); }
  ~counted() { --live_objects(); }
  counted(const counted&) = delete;
  counted& operator=(const counted&) = delete;
};

inline ULONG ref_count(IUnknown* p) {
  p->AddRef();
  return p->Release();
}

// Invoke of the dispatch doubles goes to their own virtual OnInvoke.
struct invoke_target {
  virtual HRESULT OnInvoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                           EXCEPINFO* excep, UINT* arg_err) = 0;

 protected:
  ~invoke_target() = default;
};

template <class I>
struct hand_dispatch {
  static HRESULT get_type_info_count(UINT* n) {
    if (n) *n = 0;
    return S_OK;
  }
  static HRESULT get_type_info(UINT, LCID, ITypeInfo**) { return E_NOTIMPL; }
  static HRESULT get_ids_of_names(REFIID, LPOLESTR*, UINT, LCID, DISPID*) { return E_NOTIMPL; }
  static HRESULT invoke(I* self, DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* excep, UINT* arg_err) {
    return dynamic_cast<invoke_target*>(self)->OnInvoke(id, riid, lcid, flags, params, result, excep, arg_err);
  }
};

}  // namespace event_test

template <>
struct comrt::dispatch_ops<_ITestEvents> : event_test::hand_dispatch<_ITestEvents> {};
template <>
struct comrt::dispatch_ops<ITestItem> : event_test::hand_dispatch<ITestItem> {};

namespace event_test {

// The event source. Ping fires OnPing(n) to the vtable sinks, then method 1 with (n, item) to the
// dispatch sinks, and returns the vtable firing's result.
class Source final
    : public comrt::connection_point_container<
          comrt::implements<Source, ITestSource, IConnectionPointContainer>, ITestEvents, _ITestEvents>,
      counted {
 public:
  HRESULT STDMETHODCALLTYPE Ping(LONG n) override {
    return comrt::boundary([&]() -> HRESULT {
      const HRESULT hr = point<ITestEvents>().fire([&](ITestEvents* sink) { return sink->OnPing(n); });
      point<_ITestEvents>().fire_dispatch(kDispidOnPing, n, item.get());
      return hr;
    });
  }
  comrt::com_ptr<ITestItem> item;  // the second argument of the dispatch event (may be null)
};

// A vtable sink whose handler is a function.
class FnSink final : public comrt::implements<FnSink, ITestEvents>, counted {
 public:
  explicit FnSink(std::function<HRESULT(LONG)> fn) : fn_(std::move(fn)) {}
  HRESULT STDMETHODCALLTYPE OnPing(LONG n) override { return fn_(n); }

 private:
  std::function<HRESULT(LONG)> fn_;
};

// An object that answers nothing but IUnknown and ITestItem, used as an argument.
class Item final : public comrt::implements<Item, ITestItem>, public invoke_target, counted {
 public:
  HRESULT OnInvoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }
};

// A dispatch sink that hands every Invoke to a mock.
class MockDispatchSink final : public comrt::implements<MockDispatchSink, _ITestEvents>, public invoke_target {
 public:
  MOCK_METHOD(HRESULT, OnInvoke,
              (DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* excep,
               UINT* arg_err),
              (override));
};

// Advises `sink` at the source's connection point for I; returns the cookie.
template <class I>
DWORD advise(IUnknown* source, IUnknown* sink) {
  auto container = comrt::com_ptr<IUnknown>(source).as<IConnectionPointContainer>();
  comrt::com_ptr<IConnectionPoint> cp;
  comrt::check_hresult(container->FindConnectionPoint(comrt::uuidof<I>(), cp.put()));
  DWORD cookie = 0;
  comrt::check_hresult(cp->Advise(sink, &cookie));
  return cookie;
}

template <class I>
HRESULT unadvise(IUnknown* source, DWORD cookie) {
  auto container = comrt::com_ptr<IUnknown>(source).as<IConnectionPointContainer>();
  comrt::com_ptr<IConnectionPoint> cp;
  comrt::check_hresult(container->FindConnectionPoint(comrt::uuidof<I>(), cp.put()));
  return cp->Unadvise(cookie);
}

}  // namespace event_test
