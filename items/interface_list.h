// The generic collection on which every collection of the component rests: an ordered list of
// element interface pointers behind a dual collection interface, with indexed access, script and
// typed enumeration over snapshots, deep copy, bulk append, removal by identity and a Dirty flag.
//
// The events policy ties the list's entries to their elements and turns changes of the list into
// notifications. It has two kinds of hooks, each optional:
//
//   Part of the change, called with the list's exclusive lock held (they must not call back into
//   the collection):
//     HRESULT AttachItem(Element*);     before an element is inserted; a failure refuses the
//                                       insertion (the element is not inserted, nothing is announced)
//     HRESULT DetachItem(Element*);     an element is being unlinked; a failure is the result of the
//                                       removal, and the removal is then not announced
//     void DetachAllItems();            the list is being cleared
//     void ListChanged();               the list has changed (after each insertion, unlinking or
//                                       clearing); must not fail
//
//   Notifications, called after the list's lock has been released, in the order of the changes
//   whichever threads made them, each on the thread that made its change (results are ignored):
//     OnAddItem(Element*);              an element was inserted
//     OnRemoveItem(Element*);           an element was unlinked (the list's reference is dropped
//                                       only after the notification)
//     OnRemoveAllItems();               the list was cleared
//
// A notification may call back into the collection. A change made from inside a notification is
// announced after the notification in progress and the others already due, by the same thread,
// before the outermost change returns; the inner call returns without waiting for it.
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
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include <comrt/enumerator.h>
#include <comrt/object.h>
#include <comrt/rw_lock.h>

namespace tolvane {

// The events policy that ignores every change.
struct CComInterfaceListImplNoEvents {};

namespace detail {

// Makes room for `more` elements, growing geometrically, so that a run of appends costs linear time
// and the appends themselves cannot fail.
template <class T>
void make_room(std::vector<T>& v, size_t more) {
  if (v.capacity() - v.size() < more) v.reserve(std::max(v.size() + more, 2 * v.capacity()));
}

}  // namespace detail

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
      // The count is mirrored in an atomic, so asking it (as every tick does) takes no lock.
      *comrt::check_pointer(pVal) = static_cast<LONG>(size_.load(std::memory_order_acquire));
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
      change_log log(*this);
      {
        comrt::exclusive_guard guard(list_lock_);
        clear_locked(log);
      }
      log.publish();
      return S_OK;
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
      change_log log(*this);
      HRESULT hr;
      {
        comrt::exclusive_guard guard(list_lock_);
        auto it = list_.begin();
        while (it != list_.end() && it->get() != pItem) ++it;
        if (it == list_.end()) return E_FAIL;
        hr = unlink_locked(it, log);
      }
      log.publish();
      return hr;
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
  static constexpr bool announces = !std::is_same_v<Events, CComInterfaceListImplNoEvents>;

  // One change of the list, announced after the lock is released. It holds its own reference, so a
  // removed element stays alive until it has been announced.
  struct change {
    // dropped: an element released with the list (by a clear) or whose removal is not announced.
    enum kind { added, removed, cleared, dropped } what;
    element_ptr element;
  };

  // The changes of one operation. Allocated before the list is changed, so that it can wait in a
  // delivering thread's queue (see publish) without any allocation after the change.
  struct change_batch {
    std::vector<change> entries;
    uint64_t place = 0;  // in the order of the collection's changes; valid once placed
    bool placed = false;
    std::unique_ptr<change_batch> next;  // the next batch in a delivering thread's queue
  };

  // Records the changes of one operation under the list's lock and announces them afterwards:
  //
  //   change_log log(*this);
  //   { comrt::exclusive_guard guard(list_lock_); ...append_locked(e, log)... }
  //   log.publish();
  //
  // A log that is destroyed unpublished (a failure left the operation early) publishes what it
  // holds, so that no change goes unannounced and the order of later changes never waits for it.
  class change_log {
   public:
    explicit change_log(CComInterfaceListImpl3& list) : list_(list), batch_(std::make_unique<change_batch>()) {}
    ~change_log() { publish(); }
    change_log(const change_log&) = delete;
    change_log& operator=(const change_log&) = delete;

    // Room for `more` changes, so that recording them cannot fail.
    void reserve(size_t more) { detail::make_room(batch_->entries, more); }
    void publish() noexcept {
      if (batch_) list_.publish(std::move(batch_));
    }

   private:
    friend class CComInterfaceListImpl3;
    CComInterfaceListImpl3& list_;
    std::unique_ptr<change_batch> batch_;
  };

  HRESULT insert(Element* pItem, bool at_head) {
    return comrt::boundary([&] {
      if (!pItem) return E_INVALIDARG;
      change_log log(*this);
      HRESULT hr;
      {
        comrt::exclusive_guard guard(list_lock_);
        hr = append_locked(element_ptr(pItem), log, at_head);
      }
      log.publish();
      return hr;
    });
  }

  // Inserts an element (the list takes its own reference) after the policy has attached it. A
  // failed attach is returned and nothing changes.
  HRESULT append_locked(element_ptr e, change_log& log, bool at_head = false) COMRT_REQUIRES(list_lock_) {
    detail::make_room(list_, 1);
    log.reserve(1);
    if (const HRESULT hr = attach_locked(e.get()); FAILED(hr)) return hr;
    if (at_head) {
      list_.insert(list_.begin(), e);
    } else {
      list_.push_back(e);
    }
    size_.store(list_.size(), std::memory_order_release);
    changed_locked();
    record_locked(log, change::added, std::move(e));
    return S_OK;
  }

  void clear_locked(change_log& log) COMRT_REQUIRES(list_lock_) {
    log.reserve(list_.size() + 1);
    if constexpr (requires(D& d) { d.DetachAllItems(); }) static_cast<D*>(this)->DetachAllItems();
    record_locked(log, change::cleared, nullptr);
    // Elements are released after the lock is gone: their destruction may call out.
    for (element_ptr& e : list_) record_locked(log, change::dropped, std::move(e));
    list_.clear();
    size_.store(0, std::memory_order_release);
    changed_locked();
  }

  // Unlinks an entry after the policy has detached its element. A failed detach is returned; the
  // entry has left the list then, and its removal is not announced.
  HRESULT unlink_locked(typename std::vector<element_ptr>::iterator it, change_log& log) COMRT_REQUIRES(list_lock_) {
    log.reserve(1);
    HRESULT hr = S_OK;
    if constexpr (requires(D& d, Element* e) { d.DetachItem(e); }) {
      try {
        hr = static_cast<D*>(this)->DetachItem(it->get());
      } catch (...) {
        hr = comrt::to_hresult();
      }
    }
    element_ptr e = std::move(*it);
    list_.erase(it);
    size_.store(list_.size(), std::memory_order_release);
    changed_locked();
    record_locked(log, SUCCEEDED(hr) ? change::removed : change::dropped, std::move(e));
    return hr;
  }

  mutable comrt::rw_lock list_lock_;
  std::vector<element_ptr> list_ COMRT_GUARDED_BY(list_lock_);
  std::atomic<size_t> size_{0};  // list_.size(), stored under the exclusive lock after each change
  std::atomic<VARIANT_BOOL> dirty_{VARIANT_FALSE};  // a single 16-bit value: no lock

 private:
  void changed_locked() noexcept COMRT_REQUIRES(list_lock_) {
    if constexpr (requires(D& d) { d.ListChanged(); }) static_cast<D*>(this)->ListChanged();
  }

  HRESULT attach_locked(Element* e) COMRT_REQUIRES(list_lock_) {
    if constexpr (requires(D& d) { d.AttachItem(e); }) {
      try {
        return static_cast<D*>(this)->AttachItem(e);
      } catch (...) {
        return comrt::to_hresult();
      }
    } else {
      return S_OK;
    }
  }

  // Adds a change to the log (room for it has been made). The first change of a batch takes the
  // batch's place in the order of changes: under the list's lock, so places follow the changes.
  void record_locked(change_log& log, typename change::kind what, element_ptr e) COMRT_REQUIRES(list_lock_) {
    change_batch& batch = *log.batch_;
    if constexpr (announces) {
      if (!batch.placed) {
        comrt::lock_guard guard(order_.mutex);
        batch.place = order_.next_place++;
        batch.placed = true;
      }
    }
    batch.entries.push_back({what, std::move(e)});
  }

  // Announces a batch once every batch placed before it has been announced. A thread that is
  // announcing this collection's changes already (a notification handler changed the collection)
  // queues the batch behind the one in progress and returns; the outer announcement delivers it.
  void publish(std::unique_ptr<change_batch> batch) noexcept {
    if (!batch->placed) return;  // nothing changed, or nothing to announce: released here
    if constexpr (announces) deliver(std::move(batch));
  }

  void deliver(std::unique_ptr<change_batch> batch) noexcept {
    for (delivery* d = delivering_; d; d = d->outer) {
      if (d->list == this) {
        change_batch* raw = batch.get();
        (d->last ? d->last->next : d->queue) = std::move(batch);
        d->last = raw;
        return;
      }
    }
    delivery mine{this, delivering_};
    delivering_ = &mine;
    announce_in_turn(*batch);
    while (mine.queue) {
      std::unique_ptr<change_batch> next = std::move(mine.queue);
      mine.queue = std::move(next->next);
      if (!mine.queue) mine.last = nullptr;
      announce_in_turn(*next);
    }
    delivering_ = mine.outer;
  }

  void announce_in_turn(const change_batch& batch) noexcept {
    {
      comrt::lock_guard guard(order_.mutex);
      while (order_.announced != batch.place) order_.changed.wait(order_.mutex);
    }
    {
      try {
        Events* policy = static_cast<D*>(this);
        for (const change& c : batch.entries) {
          switch (c.what) {
            case change::added:
              policy->OnAddItem(c.element.get());
              break;
            case change::removed:
              policy->OnRemoveItem(c.element.get());
              break;
            case change::cleared:
              policy->OnRemoveAllItems();
              break;
            case change::dropped:
              break;
          }
        }
      } catch (...) {
        // A notification that could not be made never holds up the ones after it.
      }
    }
    {
      comrt::lock_guard guard(order_.mutex);
      ++order_.announced;
    }
    order_.changed.notify_all();
  }

  // The announcements one thread is making for one collection, innermost first.
  struct delivery {
    const CComInterfaceListImpl3* list;
    delivery* outer;
    std::unique_ptr<change_batch> queue{};  // batches of changes made from inside its notifications
    change_batch* last = nullptr;
  };
  static inline thread_local delivery* delivering_ = nullptr;

  // The order in which changes are announced; a collection that announces nothing has none.
  struct order_state {
    comrt::mutex mutex;
    std::condition_variable_any changed;
    uint64_t next_place COMRT_GUARDED_BY(mutex) = 0;
    uint64_t announced COMRT_GUARDED_BY(mutex) = 0;  // every place below it has been announced
  };
  struct no_order {};
  [[no_unique_address]] std::conditional_t<announces, order_state, no_order> order_;
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

  // Replaces the contents by clones of the source's elements, in the source's order. A failing
  // fetch, clone or attach ends the copy with its status; the clones inserted before it stay.
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
      typename base3::change_log log(*this);
      HRESULT inserted;
      {
        comrt::exclusive_guard guard(this->list_lock_);
        this->clear_locked(log);
        inserted = append_all_locked(clones, log);
      }
      log.publish();
      return FAILED(inserted) ? inserted : fetched;
    });
  }

  // Appends all elements of another collection, sharing them (no clones). A failing fetch or
  // attach ends the append with its status; the elements inserted before it stay.
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
      typename base3::change_log log(*this);
      HRESULT inserted;
      {
        comrt::exclusive_guard guard(this->list_lock_);
        inserted = append_all_locked(elements, log);
      }
      log.publish();
      return FAILED(inserted) ? inserted : fetched;
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
  HRESULT append_all_locked(std::vector<element_ptr>& elements, typename base3::change_log& log)
      COMRT_REQUIRES(this->list_lock_) {
    detail::make_room(this->list_, elements.size());
    log.reserve(elements.size());
    for (element_ptr& e : elements) {
      if (const HRESULT hr = this->append_locked(std::move(e), log); FAILED(hr)) return hr;
    }
    return S_OK;
  }

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
