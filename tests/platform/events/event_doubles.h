// Test doubles of the event tests: a source with a vtable and a dispatch-only outgoing interface,
// a vtable sink running a function, and a dispatch sink whose Invoke is a mock.
#pragma once

#include <gmock/gmock.h>

#include <atomic>
#include <functional>
#include <utility>

#include "comrt/connection_point.h"
#include "comrt/dispatch.h"
#include "fakes/com_helpers.h"

struct ITestEvents : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE OnPing(LONG n) = 0;
};
COMRT_INTERFACE_ID(ITestEvents, IUnknown, 0x5E0A1C01, 0x2B7D, 0x4C3E, 0x9A, 0x11, 0x42, 0x6F, 0x10, 0x8B, 0x7C, 0x01)
struct _ITestEvents : IDispatch {};  // dispatch-only: its methods exist only as DISPIDs
COMRT_INTERFACE_ID(_ITestEvents, IDispatch, 0x5E0A1C02, 0x2B7D, 0x4C3E, 0x9A, 0x11, 0x42, 0x6F, 0x10, 0x8B, 0x7C, 0x02)
// What a dispatch sink implements: IDispatch under an interface of its own. It answers the event
// interface's identifier with that IDispatch, without deriving from the event interface type.
struct ITestDispatchSink : IDispatch {};
COMRT_INTERFACE_ID(ITestDispatchSink, IDispatch, 0x5E0A1C04, 0x2B7D, 0x4C3E, 0x9A, 0x11, 0x42, 0x6F, 0x10, 0x8B, 0x7C, 0x04)
template <>
struct comrt::dispatch_description<ITestDispatchSink> {
  static const interface_info& get() {
    static const interface_info info{IID_ITestDispatchSink, u"ITestDispatchSink", {}, interface_kind::dispatch_only};
    return info;
  }
};

namespace event_test {

using comrt::com_ptr;
using namespace fakes;

inline std::atomic<int> live_objects{0};  // sources and function sinks alive

// Ping fires OnPing(n) to the vtable sinks and returns the firing's result.
class Source final : public comrt::connection_point_container<
                         comrt::implements<Source, IConnectionPointContainer>, ITestEvents, _ITestEvents> {
 public:
  Source() { ++live_objects; }
  ~Source() { --live_objects; }
  HRESULT Ping(LONG n) { return point<ITestEvents>().fire([&](ITestEvents* sink) { return sink->OnPing(n); }); }
};

class FnSink final : public comrt::implements<FnSink, ITestEvents> {
 public:
  explicit FnSink(std::function<HRESULT(LONG)> fn) : fn_(std::move(fn)) { ++live_objects; }
  ~FnSink() { --live_objects; }
  HRESULT STDMETHODCALLTYPE OnPing(LONG n) override { return fn_(n); }
  std::function<HRESULT(LONG)> fn_;
};

class MockDispatchSink final : public comrt::implements<MockDispatchSink, ITestDispatchSink> {
 public:
  HRESULT query_interface_extra(REFIID riid, void** ppv) {
    if (!(riid == IID__ITestEvents)) return E_NOINTERFACE;
    return *ppv = com_ptr<IDispatch>(static_cast<ITestDispatchSink*>(this)).detach(), S_OK;
  }
  MOCK_METHOD(HRESULT, Invoke, (DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*), (override));
};

// A function sink as the IUnknown that Advise takes.
inline com_ptr<IUnknown> sink_of(std::function<HRESULT(LONG)> fn) { return comrt::make<FnSink>(std::move(fn))->identity(); }

}  // namespace event_test

