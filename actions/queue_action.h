// CScheduleQueueAction: the action that hands a transfer to the host's transfer queue. It holds a
// template transfer of the host; each run queues a fresh copy of it, at the head or the tail,
// optionally depending on the transfer queued by the previous run and, for folder transfers,
// only when the folder tree changed since the previous run (with the changes found).
#pragma once

#include <atomic>

#include <comrt/dispatch.h>
#include <comrt/site.h>

#include "Scheduler.h"
#include "TransferQueue.h"
#include "XMLArchive.h"
#include "server/typelib.h"

namespace tolvane {

class CScheduleQueueAction;
using CScheduleQueueActionBase =
    comrt::object_with_site<comrt::implements<CScheduleQueueAction, IScheduleQueueAction, IScheduleAction,
                                              IObjectWithSite, IPersist, IXMLArchiveSerializable, comrt::free_threaded>>;

class CScheduleQueueAction final : public CScheduleQueueActionBase {
 public:
  static constexpr const CLSID& class_id = CLSID_ScheduleQueueAction;

  // IScheduleQueueAction
  HRESULT STDMETHODCALLTYPE get_Item(IUnknown** pVal) override { return get_transfer(item_, pVal); }
  HRESULT STDMETHODCALLTYPE put_Item(IUnknown* newVal) override { return put_transfer(item_, newVal); }
  HRESULT STDMETHODCALLTYPE get_PreviousItem(IUnknown** pVal) override { return get_transfer(previous_item_, pVal); }
  HRESULT STDMETHODCALLTYPE put_PreviousItem(IUnknown* newVal) override {
    return put_transfer(previous_item_, newVal);
  }
  HRESULT STDMETHODCALLTYPE get_UseFolderTree(VARIANT_BOOL* pVal) override { return get_value(use_folder_tree_, pVal); }
  HRESULT STDMETHODCALLTYPE put_UseFolderTree(VARIANT_BOOL newVal) override {
    return put_value(use_folder_tree_, newVal);
  }
  HRESULT STDMETHODCALLTYPE get_DependOnPreviousItem(VARIANT_BOOL* pVal) override {
    return get_value(depend_on_previous_item_, pVal);
  }
  HRESULT STDMETHODCALLTYPE put_DependOnPreviousItem(VARIANT_BOOL newVal) override {
    return put_value(depend_on_previous_item_, newVal);
  }
  HRESULT STDMETHODCALLTYPE get_QueueItemPosition(TransferQueueItemPosition* pVal) override {
    return get_value(position_, pVal);
  }
  HRESULT STDMETHODCALLTYPE put_QueueItemPosition(TransferQueueItemPosition newVal) override {
    return put_value(position_, newVal);
  }
  HRESULT STDMETHODCALLTYPE Copy(IScheduleQueueAction* pCopy) override;

  // IScheduleAction
  HRESULT STDMETHODCALLTYPE Run(IUnknown* pServiceProvider) override;
  HRESULT STDMETHODCALLTYPE Clone(IScheduleAction** ppClone) override;

  // IPersist
  HRESULT STDMETHODCALLTYPE GetClassID(CLSID* pClassID) override;
  // IXMLArchiveSerializable
  HRESULT STDMETHODCALLTYPE Serialize(IXMLArchive* pArchive, IXMLDOMNode* pNode) override;

 private:
  // A reference to a host transfer item (Item, PreviousItem) that any thread may read or replace.
  // Its lock is held only to copy or swap the reference, never while the host is called.
  class transfer_slot {
   public:
    comrt::com_ptr<ITransferQueueItem> get() const {
      comrt::lock_guard guard(mutex_);
      return value_;
    }
    // The reference held before is released after the lock is left.
    void set(comrt::com_ptr<ITransferQueueItem> value) {
      {
        comrt::lock_guard guard(mutex_);
        value_.swap(value);
      }
    }

   private:
    mutable comrt::mutex mutex_;
    comrt::com_ptr<ITransferQueueItem> value_ COMRT_GUARDED_BY(mutex_);
  };

  template <class T>
  static HRESULT get_value(const std::atomic<T>& field, T* out) {
    if (!out) return E_POINTER;
    *out = field.load(std::memory_order_relaxed);
    return S_OK;
  }
  // Stored unchanged: no normalisation of flags, no range check of the position.
  template <class T>
  static HRESULT put_value(std::atomic<T>& field, T value) {
    field.store(value, std::memory_order_relaxed);
    return S_OK;
  }
  static HRESULT get_transfer(const transfer_slot& slot, IUnknown** out);
  static HRESULT put_transfer(transfer_slot& slot, IUnknown* value);
  // Stores value's host transfer item interface in the slot (null clears it). A value that is no
  // host transfer item clears the slot too, and the query's failure is returned.
  static HRESULT assign_transfer(transfer_slot& slot, IUnknown* value);

  // The folder-tree step of Run for the template's source folder: takes a new snapshot, compares
  // it with the one held from an earlier run and keeps it. The change set found, or null on the
  // first run (or when the comparer found nothing to hand out).
  comrt::com_ptr<IFolderTreeChangeSet> folder_tree_changes(ITransferSourceDescriptor* source);

  std::atomic<VARIANT_BOOL> use_folder_tree_{VARIANT_TRUE};
  std::atomic<VARIANT_BOOL> depend_on_previous_item_{VARIANT_FALSE};
  std::atomic<TransferQueueItemPosition> position_{tvTransferQueueItemPositionTail};

  transfer_slot item_;           // the template transfer
  transfer_slot previous_item_;  // the transfer queued by the last run (or set by a client)

  // Serialises the folder-tree step, which calls the host while it holds the lock. A lock of its
  // own rather than the object lock, so that a slow folder scan never holds up the site.
  comrt::mutex folder_tree_mutex_;
  // The snapshot taken by the last run that performed the folder-tree step; never copied or stored.
  comrt::com_ptr<IFolderTree> snapshot_ COMRT_GUARDED_BY(folder_tree_mutex_);
};

}  // namespace tolvane
