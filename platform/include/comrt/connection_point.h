// Connection points: outgoing interfaces of an object and the sinks subscribed to them.
//
// An object with events lists IConnectionPointContainer among its interfaces and layers
// connection_point_container over its implements<> base, naming its outgoing interfaces:
//
//   class CThing final
//       : public comrt::connection_point_container<
//             comrt::implements<CThing, IThing, IConnectionPointContainer, comrt::free_threaded>,
//             IThingEvents, _IThingEvents> {
//     void changed() {
//       point<IThingEvents>().fire([&](IThingEvents* sink) { return sink->OnChange(this); });
//       point<_IThingEvents>().fire_dispatch(1, static_cast<IThing*>(this));
//     }
//   };
//
// The connection points are part of their container: their AddRef and Release count on the
// container, and they live exactly as long as it does. Their sink arrays are guarded by the
// container's object lock, which is held only while one entry is read or written, never while a
// sink is called, so sinks may advise and unadvise from any thread, also from inside their handlers.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <type_traits>
#include <vector>

#include "comrt/enumerator.h"
#include "comrt/object.h"
#include "comrt/ocidl.h"
#include "comrt/oleauto.h"
#include "comrt/variant.h"

namespace comrt {

// The sinks of one connection point: a growable array of slots, each a sink and its cookie.
// A vacated slot is reused by a later Advise; positions of the other sinks never move, so a firing
// loop can walk positions while sinks come and go. Cookies are non-zero and not reused while in use.
class sink_array {
 public:
  explicit sink_array(mutex& guard) noexcept : mutex_(guard) {}
  sink_array(const sink_array&) = delete;
  sink_array& operator=(const sink_array&) = delete;
  ~sink_array();

  // Stores the sink and returns its new cookie.
  DWORD add(com_ptr<IUnknown> sink) COMRT_EXCLUDES(mutex_);
  // Vacates the slot of `cookie` and hands its sink back (the caller releases it after any lock is
  // left); empty when no slot holds that cookie.
  com_ptr<IUnknown> remove(DWORD cookie) COMRT_EXCLUDES(mutex_);
  // Number of positions, vacated ones included.
  size_t size() const COMRT_EXCLUDES(mutex_);
  // The sink at a position; empty for a vacated position or one beyond the end.
  com_ptr<IUnknown> at(size_t position) const COMRT_EXCLUDES(mutex_);
  // The current connections in position order.
  std::vector<connection> connections() const COMRT_EXCLUDES(mutex_);
  // Vacates every slot and hands the sinks back.
  std::vector<com_ptr<IUnknown>> clear() COMRT_EXCLUDES(mutex_);

 private:
  struct slot {
    DWORD cookie = 0;  // 0: vacated
    com_ptr<IUnknown> sink;
  };
  bool in_use(DWORD cookie) const COMRT_REQUIRES(mutex_);

  mutex& mutex_;
  std::vector<slot> slots_ COMRT_GUARDED_BY(mutex_);
  DWORD next_cookie_ COMRT_GUARDED_BY(mutex_) = 1;
};

namespace detail {

// The argument block of one Invoke: positional arguments stored last to first, as Invoke expects,
// each an owning variant that is cleared when the block is destroyed.
template <size_t N>
class event_arguments {
  static_assert(sizeof(variant) == sizeof(VARIANT), "an array of variants must be an array of VARIANTs");

 public:
  template <class... A>
  explicit event_arguments(const A&... args) : values_{variant(args)...} {
    std::reverse(values_.begin(), values_.end());
    params_ = {N ? static_cast<VARIANT*>(values_.data()) : nullptr, nullptr, static_cast<UINT>(N), 0};
  }
  event_arguments(const event_arguments&) = delete;
  event_arguments& operator=(const event_arguments&) = delete;
  DISPPARAMS* params() noexcept { return &params_; }

 private:
  std::array<variant, N> values_;
  DISPPARAMS params_{};
};

}  // namespace detail

// The connection point of one outgoing interface IEvents (a vtable interface, or a dispatch-only
// interface deriving from IDispatch with no methods of its own).
template <class IEvents>
class connection_point final : public IConnectionPoint {
  static_assert(std::is_base_of_v<IUnknown, IEvents>);

 public:
  // `container` is the owning object, whose reference count this point uses; `guard` its object lock.
  connection_point(IConnectionPointContainer* container, mutex& guard) noexcept
      : container_(container), sinks_(guard) {}
  connection_point(const connection_point&) = delete;
  connection_point& operator=(const connection_point&) = delete;

  static constexpr const IID& iid() noexcept { return uuidof<IEvents>(); }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!(riid == IID_IUnknown) && !(riid == IID_IConnectionPoint)) return E_NOINTERFACE;
    *ppv = static_cast<IConnectionPoint*>(this);
    container_->AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return container_->AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return container_->Release(); }

  HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* pIID) override {
    if (!pIID) return E_POINTER;
    *pIID = iid();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** ppCPC) override {
    return boundary([&] { com_ptr<IConnectionPointContainer>(container_).copy_to(init_out(ppCPC)); });
  }
  HRESULT STDMETHODCALLTYPE Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override {
    return boundary([&]() -> HRESULT {
      init_out(pdwCookie);
      check_pointer(pUnkSink);
      com_ptr<IUnknown> sink;
      if (FAILED(pUnkSink->QueryInterface(iid(), sink.put_void())) || !sink) return CONNECT_E_CANNOTCONNECT;
      *pdwCookie = sinks_.add(std::move(sink));
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD dwCookie) override {
    return boundary([&]() -> HRESULT {
      // The sink is released here, after the lock has been left: its release may call back.
      com_ptr<IUnknown> sink = sinks_.remove(dwCookie);
      return sink ? S_OK : CONNECT_E_NOCONNECTION;
    });
  }
  HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** ppEnum) override {
    return boundary([&] { make_enumerator<IEnumConnections>(sinks_.connections()).copy_to(init_out(ppEnum)); });
  }

  // Calls `call(IEvents*)` once for each sink: the number of positions is read once, then for each
  // position the sink is read under the lock and called outside it, holding its own reference.
  // Vacated positions are skipped; a sink's failure does not stop the loop. Returns the status of
  // the last sink called, or S_OK when none was.
  template <class F>
  HRESULT fire(F&& call) {
    return fire_each([&](IUnknown* sink) {
      // Advise stored the pointer the sink returned for IEvents: it is an IEvents*, held as IUnknown*.
      return call(reinterpret_cast<IEvents*>(sink));
    });
  }

  // The same loop handing each sink over as the pointer Advise stored.
  template <class F>
  HRESULT fire_each(F&& call) {
    HRESULT last = S_OK;
    const size_t count = sinks_.size();
    for (size_t position = 0; position < count; ++position) {
      const com_ptr<IUnknown> sink = sinks_.at(position);
      if (sink) last = call(sink.get());
    }
    return last;
  }

  // Fires a method of a dispatch interface: Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT,
  // DISPATCH_METHOD) with the arguments as positional VARIANTs, converted as comrt::variant converts
  // them (an interface derived from IDispatch as VT_DISPATCH, another as VT_UNKNOWN, each holding its
  // own reference; LONG as VT_I4; VARIANTs copied), no named arguments and no result, exception or
  // argument-error buffers. Each sink gets a fresh argument block, cleared after its call.
  template <class... A>
  HRESULT fire_dispatch(DISPID dispid, const A&... args)
    requires std::is_base_of_v<IDispatch, IEvents>
  {
    // A dispatch sink answers the event interface with its IDispatch; it need not implement the
    // (method-less) event interface type itself, so it is called as what it is.
    return fire_each([&](IUnknown* unknown) {
      IDispatch* sink = reinterpret_cast<IDispatch*>(unknown);
      detail::event_arguments<sizeof...(A)> block(args...);
      return sink->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, block.params(), nullptr, nullptr,
                          nullptr);
    });
  }

  // Drops every subscription (the sinks are released after the lock is left).
  void disconnect_all() { sinks_.clear(); }

 private:
  IConnectionPointContainer* container_;  // not counted: the container owns this point
  sink_array sinks_;
};

// Layers IConnectionPointContainer over Base (an implements<> that lists IConnectionPointContainer)
// with one connection point per outgoing interface in IEvents.
template <class Base, class... IEvents>
class connection_point_container : public Base {
  static_assert(std::is_base_of_v<IConnectionPointContainer, Base>,
                "list IConnectionPointContainer among the object's interfaces");
  static_assert(sizeof...(IEvents) > 0);

 public:
  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override {
    return boundary([&] {
      init_out(ppEnum);
      std::vector<com_ptr<IConnectionPoint>> all{com_ptr<IConnectionPoint>(&point<IEvents>())...};
      make_enumerator<IEnumConnectionPoints>(std::move(all)).copy_to(ppEnum);
    });
  }

  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override {
    return boundary([&]() -> HRESULT {
      init_out(ppCP);
      IConnectionPoint* found = nullptr;
      ((found = !found && point<IEvents>().iid() == riid ? &point<IEvents>() : found), ...);
      if (!found) return CONNECT_E_NOCONNECTION;
      com_ptr<IConnectionPoint>(found).copy_to(ppCP);
      return S_OK;
    });
  }

  // The connection point of one of the outgoing interfaces.
  template <class I>
  connection_point<I>& point() noexcept {
    return static_cast<holder<I>&>(points_).cp;
  }

 protected:
  connection_point_container() : points_(static_cast<IConnectionPointContainer*>(this), this->object_mutex()) {}

 private:
  template <class I>
  struct holder {
    holder(IConnectionPointContainer* container, mutex& guard) noexcept : cp(container, guard) {}
    connection_point<I> cp;
  };
  struct all_points : holder<IEvents>... {
    all_points(IConnectionPointContainer* container, mutex& guard) noexcept : holder<IEvents>(container, guard)... {}
  };
  all_points points_;
};

}  // namespace comrt
