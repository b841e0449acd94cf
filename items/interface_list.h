// The generic collection on which every collection of the component rests: an ordered list of
// element interface pointers behind a dual collection interface, with indexed access, script and
// typed enumeration over snapshots, deep copy, bulk append, removal by identity and a Dirty flag.
//
// The events policy turns changes of the list into notifications. Its hooks run after the list
// has changed and after the list's lock has been released, in the order of the changes, so a hook
// may call out to clients that call straight back into the collection:
//
//   HRESULT OnAddItem(Element*);        an element was inserted
//   HRESULT OnRemoveItem(Element*);     an element was unlinked (the list's reference is dropped
//                                       only after the hook has run)
//   HRESULT OnRemoveAllItems();         the list was cleared
//
// A concrete collection derives from the level-4 template, naming its object base, and is its own
// policy or uses CComInterfaceListImplNoEvents:
//
//   class CScheduleActions final
//       : public CComInterfaceListImpl4<CScheduleActions,
//                                       comrt::implements<CScheduleActions, IScheduleActions, ...>,
//                                       IScheduleActions, IScheduleAction, IEnumScheduleAction,
//                                       CScheduleActions> { ... };
//
// The template's operations carry the member names of the collection interfaces (get_Item,
// get__NewEnum, get_Count, get_NewEnum, Copy, Empty, Add, AddItem, AddItems, Remove, get_Dirty,
// put_Dirty); each overrides the collection interface's member of that name where the interface
// has one, and is otherwise an operation of the class that the component's own code can call.
#pragma once

#include <algorithm>
#include <atomic>
#include <type_traits>
#include <utility>
#include <vector>

#include <comrt/enumerator.h>
#include <comrt/object.h>
#include <comrt/rw_lock.h>

namespace tolvane {

// The events policy that ignores every change.
struct CComInterfaceListImplNoEvents {};

// Level 3: the list, its lock, the Dirty flag and the operations that need no typed enumerator.
template <class D, class Base, class Collection, class Element, class Events>
class CComInterfaceListImpl3 : public Base {
 public:
  using element_ptr = comrt::com_ptr<Element>;

  HRESULT STDMETHODCALLTYPE get_Item(LONG index, Element** ppElement) {
    return comrt::boundary([&] {
      comrt::init_out(ppElement);
      comrt::shared_guard guard(list_lock_);
      if (static_cast<ULONG>(index) >= list_.size()) return E_INVALIDARG;
      list_[static_cast<size_t>(index)].copy_to(ppElement);
      return S_OK;
    });
  }

  HRESULT STDMETHODCALLTYPE get_Count(LONG* pVal) {
    return comrt::boundary([&] {
      comrt::check_pointer(pVal);
      comrt::shared_guard guard(list_lock_);
      *pVal = static_cast<LONG>(list_.size());
    });
  }

  // An IEnumVARIANT over a snapshot: every element as VT_DISPATCH.
  HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown** ppUnk) {
    return comrt::boundary([&] {
      comrt::init_out(ppUnk);
      std::vector<comrt::enum_stored_t<IEnumVARIANT>> snapshot;
      {
        comrt::shared_guard guard(list_lock_);
        snapshot.reserve(list_.size());
        for (const element_ptr& e : list_) {
          auto dispatch = e.template try_as<IDispatch>();
          if (!dispatch) comrt::throw_hresult(E_FAIL);
          snapshot.emplace_back(dispatch);
        }
      }
      *ppUnk = comrt::make_enumerator<IEnumVARIANT>(std::move(snapshot)).template as<IUnknown>().detach();
    });
  }

  HRESULT STDMETHODCALLTYPE Empty() {
    return comrt::boundary([&] {
      changes log;
      {
        comrt::exclusive_guard guard(list_lock_);
        clear_locked(log);
      }
      return run_hooks(log);
    });
  }

  HRESULT STDMETHODCALLTYPE Add(Element* pItem) { return AddItem(pItem); }

  HRESULT STDMETHODCALLTYPE AddItem(Element* pItem) { return insert(pItem, false); }

  // Inserts before the head. No interface exposes it.
  HRESULT AddItemAtHead(Element* pItem) { return insert(pItem, true); }

  // Removes the first entry whose stored pointer equals pItem (no identity QueryInterface).
  HRESULT STDMETHODCALLTYPE Remove(Element* pItem) {
    return comrt::boundary([&] {
      if (!pItem) return E_INVALIDARG;
      changes log;
      {
        comrt::exclusive_guard guard(list_lock_);
        auto it = list_.begin();
        while (it != list_.end() && it->get() != pItem) ++it;
        if (it == list_.end()) return E_FAIL;
        unlink_locked(it, log);
      }
      return run_hooks(log);
    });
  }

  HRESULT STDMETHODCALLTYPE get_Dirty(VARIANT_BOOL* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = dirty_.load(std::memory_order_relaxed);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_Dirty(VARIANT_BOOL newVal) {
    dirty_.store(newVal ? VARIANT_TRUE : VARIANT_FALSE, std::memory_order_relaxed);
    return S_OK;
  }

 protected:
  // One change of the list, replayed to the policy after the lock is released. It holds its own
  // reference, so a removed element stays alive until its hook has run.
  struct change {
    // dropped: an element released with the list (by a clear); no hook of its own.
    enum kind { added, removed, cleared, dropped } what;
    element_ptr element;
  };
  using changes = std::vector<change>;

  HRESULT insert(Element* pItem, bool at_head) {
    return comrt::boundary([&] {
      if (!pItem) return E_INVALIDARG;
      changes log;
      {
        comrt::exclusive_guard guard(list_lock_);
        append_locked(element_ptr(pItem), log, at_head);
      }
      return run_hooks(log);
    });
  }

  void append_locked(element_ptr e, changes& log, bool at_head = false) COMRT_REQUIRES(list_lock_) {
    log.reserve(log.size() + 1);
    if (at_head) {
      list_.insert(list_.begin(), e);
    } else {
      list_.push_back(e);
    }
    log.push_back({change::added, std::move(e)});
  }

  void clear_locked(changes& log) COMRT_REQUIRES(list_lock_) {
    log.push_back({change::cleared, nullptr});
    // Elements released after the lock is gone: their destruction may call out.
    for (element_ptr& e : list_) log.push_back({change::dropped, std::move(e)});
    list_.clear();
  }

  void unlink_locked(typename std::vector<element_ptr>::iterator it, changes& log) COMRT_REQUIRES(list_lock_) {
    log.push_back({change::removed, std::move(*it)});
    list_.erase(it);
  }

  // Runs the policy's hooks in the order of the changes. Returns the first hook failure.
  HRESULT run_hooks(const changes& log) {
    HRESULT result = S_OK;
    for (const change& c : log) {
      HRESULT hr = S_OK;
      if constexpr (!std::is_same_v<Events, CComInterfaceListImplNoEvents>) {
        Events* policy = static_cast<D*>(this);
        switch (c.what) {
          case change::added:
            hr = policy->OnAddItem(c.element.get());
            break;
          case change::removed:
            hr = policy->OnRemoveItem(c.element.get());
            break;
          case change::cleared:
            hr = policy->OnRemoveAllItems();
            break;
          case change::dropped:
            break;
        }
      }
      if (FAILED(hr) && SUCCEEDED(result)) result = hr;
    }
    return result;
  }

  mutable comrt::rw_lock list_lock_;
  std::vector<element_ptr> list_ COMRT_GUARDED_BY(list_lock_);
  std::atomic<VARIANT_BOOL> dirty_{VARIANT_FALSE};  // a single 16-bit value: no lock
};

// Level 4: adds the typed enumerators and the Copy and AddItems that read their source through
// the source's typed enumerator. Elements are fetched (and, for Copy, cloned) before the list's
// lock is taken, so an element's clone operation never runs under it and a collection may be copied
// onto itself: the source's snapshot is taken first.
template <class D, class Base, class Collection, class Element, class Enumerator, class Events>
class CComInterfaceListImpl4 : public CComInterfaceListImpl3<D, Base, Collection, Element, Events> {
  using base3 = CComInterfaceListImpl3<D, Base, Collection, Element, Events>;

 public:
  using typename base3::element_ptr;

  HRESULT STDMETHODCALLTYPE get_NewEnum(Enumerator** ppEnum) { return new_enum(ppEnum, false); }

  // The same as get_NewEnum with the snapshot running from the last element to the first.
  HRESULT NewEnumReverse(Enumerator** ppEnum) { return new_enum(ppEnum, true); }

  // Replaces the contents by clones of the source's elements, in the source's order.
  HRESULT STDMETHODCALLTYPE Copy(Collection* pCopy) {
    return comrt::boundary([&] {
      if (!pCopy) return E_INVALIDARG;
      comrt::com_ptr<Enumerator> source;
      comrt::check_hresult(pCopy->get_NewEnum(source.put()));
      std::vector<element_ptr> clones;
      const HRESULT fetched = fetch_all(source.get(), [&](Element* e) {
        element_ptr clone;
        const HRESULT hr = e->Clone(clone.put());
        if (SUCCEEDED(hr)) clones.push_back(std::move(clone));
        return hr;
      });
      typename base3::changes log;
      {
        comrt::exclusive_guard guard(this->list_lock_);
        this->clear_locked(log);
        for (element_ptr& c : clones) this->append_locked(std::move(c), log);
      }
      const HRESULT hooks = this->run_hooks(log);
      return FAILED(fetched) ? fetched : hooks;
    });
  }

  // Appends all elements of another collection, sharing them (no clones).
  HRESULT STDMETHODCALLTYPE AddItems(Collection* pItems) {
    return comrt::boundary([&] {
      if (!pItems) return E_INVALIDARG;
      comrt::com_ptr<Enumerator> source;
      comrt::check_hresult(pItems->get_NewEnum(source.put()));
      std::vector<element_ptr> elements;
      const HRESULT fetched = fetch_all(source.get(), [&](Element* e) {
        elements.emplace_back(e);
        return S_OK;
      });
      typename base3::changes log;
      {
        comrt::exclusive_guard guard(this->list_lock_);
        for (element_ptr& e : elements) this->append_locked(std::move(e), log);
      }
      const HRESULT hooks = this->run_hooks(log);
      return FAILED(fetched) ? fetched : hooks;
    });
  }

 protected:
  // Clone of a concrete collection: a new object of the same class, filled by Copy from this one.
  template <class Out>
  HRESULT clone_to(Out** ppClone) {
    return comrt::boundary([&] {
      comrt::init_out(ppClone);
      auto copy = comrt::make<D>();
      comrt::check_hresult(copy->Copy(static_cast<Collection*>(static_cast<D*>(this))));
      *ppClone = copy.template as<Out>().detach();
    });
  }

 private:
  HRESULT new_enum(Enumerator** ppEnum, bool reverse) {
    return comrt::boundary([&] {
      comrt::init_out(ppEnum);
      std::vector<element_ptr> snapshot;
      {
        comrt::shared_guard guard(this->list_lock_);
        snapshot.assign(this->list_.begin(), this->list_.end());
      }
      if (reverse) std::reverse(snapshot.begin(), snapshot.end());
      *ppEnum = comrt::make_enumerator<Enumerator>(std::move(snapshot)).detach();
    });
  }

  // Fetches the source's elements one at a time and hands each to `take` until the source runs
  // out (S_OK) or a fetch or `take` fails (that status).
  template <class F>
  static HRESULT fetch_all(Enumerator* source, F&& take) {
    for (;;) {
      element_ptr e;
      ULONG count = 0;
      const HRESULT hr = source->Next(1, e.put(), &count);
      if (FAILED(hr)) return hr;
      if (count == 0 || !e) return S_OK;
      const HRESULT taken = take(e.get());
      if (FAILED(taken)) return taken;
    }
  }
};

}  // namespace tolvane
