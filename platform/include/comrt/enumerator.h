// Enumerators over snapshots: one template serves every enumerator interface of the usual shape
//
//   struct IEnumX : IUnknown {
//     HRESULT Next(ULONG celt, T* rgelt, ULONG* pceltFetched);
//     HRESULT Skip(ULONG celt);
//     HRESULT Reset();
//     HRESULT Clone(IEnumX** ppEnum);
//   };
//
// for T an interface pointer (IEnumScheduleItem, IEnumConnectionPoints, IEnumUnknown, ...), CONNECTDATA
// (IEnumConnections) or VARIANT (IEnumVARIANT). The enumerator owns an immutable snapshot that its
// clones share; each enumerator has its own position.
//
//   std::vector<comrt::com_ptr<IScheduleItem>> items = ...;
//   comrt::com_ptr<IEnumScheduleItem> e = comrt::make_enumerator<IEnumScheduleItem>(std::move(items));
//
// Contract of Next: hands out up to celt entries, each with its own reference (or its own copy of
// the VARIANT), writes the number delivered to *pceltFetched, and returns S_OK when all celt entries
// were delivered, S_FALSE when fewer remained. celt 0 delivers nothing and returns S_OK. rgelt null
// (with celt > 0) is E_POINTER; pceltFetched may be null only when celt is 1, otherwise E_INVALIDARG.
// A failure delivers nothing and leaves the position where it was.
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include "comrt/object.h"
#include "comrt/ocidl.h"
#include "comrt/oleauto.h"
#include "comrt/variant.h"

namespace comrt {

// One entry of a connection enumerator snapshot.
struct connection {
  com_ptr<IUnknown> sink;
  DWORD cookie = 0;
};

// How the entries of one element type are kept in a snapshot and handed out by Next.
template <class T>
struct enum_element;

template <class I>
  requires std::is_base_of_v<IUnknown, I>
struct enum_element<I*> {
  using stored = com_ptr<I>;
  static HRESULT copy(I*& out, const stored& from) noexcept {
    from.copy_to(&out);
    return S_OK;
  }
  static void clear(I*& out) noexcept { attach(std::exchange(out, nullptr)); }
};

template <>
struct enum_element<CONNECTDATA> {
  using stored = connection;
  static HRESULT copy(CONNECTDATA& out, const stored& from) noexcept {
    from.sink.copy_to(&out.pUnk);
    out.dwCookie = from.cookie;
    return S_OK;
  }
  static void clear(CONNECTDATA& out) noexcept {
    attach(std::exchange(out.pUnk, nullptr));
    out.dwCookie = 0;
  }
};

template <>
struct enum_element<VARIANT> {
  using stored = variant;
  static HRESULT copy(VARIANT& out, const stored& from) noexcept {
    VariantInit(&out);
    return VariantCopy(&out, &from);
  }
  static void clear(VARIANT& out) noexcept { VariantClear(&out); }
};

namespace detail {
template <class M>
struct next_method;
template <class C, class T>
struct next_method<HRESULT (STDMETHODCALLTYPE C::*)(ULONG, T*, ULONG*)> {
  using element = T;
};
}  // namespace detail

// The element type T of IEnum::Next(ULONG, T*, ULONG*).
template <class IEnum>
using enum_element_t = typename detail::next_method<decltype(&IEnum::Next)>::element;

// The entry type a snapshot of IEnum keeps (com_ptr<I>, connection or variant).
template <class IEnum>
using enum_stored_t = typename enum_element<enum_element_t<IEnum>>::stored;

template <class IEnum>
class enumerator final : public implements<enumerator<IEnum>, IEnum> {
  using element = enum_element_t<IEnum>;
  using policy = enum_element<element>;

 public:
  using snapshot = std::shared_ptr<const std::vector<typename policy::stored>>;

  enumerator(snapshot items, size_t position) noexcept : items_(std::move(items)), position_(position) {}

  HRESULT STDMETHODCALLTYPE Next(ULONG celt, element* rgelt, ULONG* fetched) override {
    return boundary([&]() -> HRESULT {
      if (fetched) *fetched = 0;
      if (celt == 0) return S_OK;
      check_pointer(rgelt);
      if (!fetched && celt != 1) return E_INVALIDARG;
      lock_guard lock(this->object_mutex());
      const size_t count = std::min<size_t>(celt, items_->size() - position_);
      for (size_t i = 0; i < count; ++i) {
        const HRESULT hr = policy::copy(rgelt[i], (*items_)[position_ + i]);
        if (FAILED(hr)) {
          for (size_t j = 0; j < i; ++j) policy::clear(rgelt[j]);
          return hr;
        }
      }
      position_ += count;
      if (fetched) *fetched = static_cast<ULONG>(count);
      return count == celt ? S_OK : S_FALSE;
    });
  }

  HRESULT STDMETHODCALLTYPE Skip(ULONG celt) override {
    lock_guard lock(this->object_mutex());
    const size_t left = items_->size() - position_;
    if (celt > left) {
      position_ = items_->size();
      return S_FALSE;
    }
    position_ += celt;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE Reset() override {
    lock_guard lock(this->object_mutex());
    position_ = 0;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE Clone(IEnum** ppEnum) override {
    return boundary([&] {
      init_out(ppEnum);
      size_t position;
      {
        lock_guard lock(this->object_mutex());
        position = position_;
      }
      make<enumerator>(items_, position).copy_to(ppEnum);
    });
  }

 private:
  const snapshot items_;  // immutable and shared with clones: read without a lock
  size_t position_ COMRT_GUARDED_BY(this->object_mutex());
};

// Creates an enumerator of IEnum that owns `items` as its snapshot, positioned at the first entry.
template <class IEnum>
com_ptr<IEnum> make_enumerator(std::vector<enum_stored_t<IEnum>> items) {
  auto snapshot = std::make_shared<const std::vector<enum_stored_t<IEnum>>>(std::move(items));
  return make<enumerator<IEnum>>(std::move(snapshot), 0);
}

}  // namespace comrt
