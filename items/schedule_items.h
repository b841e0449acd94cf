// CScheduleItems: the list of schedule items that the scheduler owns and persists. Every change of
// the list is announced to clients through two outgoing interfaces (the vtable IScheduleItemsEvents
// first, then the dispinterface _IScheduleItemsEvents), and the collection subscribes to each of its
// items, so that an item's Update is announced as OnUpdateItem.
//
// The subscription to an item is part of the list change that inserts or unlinks it: it is made
// and ended under the list's lock, so the list and the subscriptions always agree; only the
// clients' notifications come after the lock has been released. While subscribed, an item holds
// the collection as its sink: the owner ends the subscriptions with
// IObjectWithBackReferences::Disconnect (the scheduler does so when it is released), or by emptying
// the collection before letting it go.
#pragma once

#include <map>
#include <memory>
#include <vector>

#include <comrt/connection_point.h>
#include <comrt/dispatch.h>
#include <comrt/site.h>

#include "Scheduler.h"
#include "XMLArchive.h"
#include "items/interface_list.h"
#include "server/typelib.h"

namespace tolvane {

class CScheduleItem;
class CScheduleItems;
using CScheduleItemsBase = comrt::connection_point_container<
    comrt::object_with_site<comrt::implements<CScheduleItems, IScheduleItems, IConnectionPointContainer,
                                              IScheduleItemEvents, IPersist, IObjectWithSite, IXMLArchiveSerializable,
                                              IObjectWithBackReferences, comrt::free_threaded>>,
    _IScheduleItemsEvents, IScheduleItemsEvents>;

class CScheduleItems final : public CComInterfaceListImpl4<CScheduleItems, CScheduleItemsBase, IScheduleItems,
                                                           IScheduleItem, IEnumScheduleItem, CScheduleItems> {
 public:
  static constexpr const CLSID& class_id = CLSID_ScheduleItems;

  // The list at one moment, with the component's own items resolved once for the tick.
  struct snapshot_data {
    std::vector<element_ptr> items;
    std::vector<CScheduleItem*> own;  // items[i] as a CScheduleItem, null for another implementation
  };
  using snapshot_type = std::shared_ptr<const snapshot_data>;

  // The collection behind an IScheduleItems, when it is one of this class (null otherwise).
  static CScheduleItems* from(IScheduleItems* items) noexcept;

  // The list as it stands: one copy, made when first asked for after a change and shared by every
  // caller (the tick, enumerators) until the list changes, so that walking an unchanged list costs
  // no reference per item and no copy.
  snapshot_type snapshot();

  // IScheduleItems (the rest comes from the collection template)
  HRESULT STDMETHODCALLTYPE get_NewEnum(IEnumScheduleItem** ppEnum) override;
  HRESULT STDMETHODCALLTYPE RemoveItem(IScheduleItem* pItem) override;
  HRESULT STDMETHODCALLTYPE FindItemById(GUID* itemId, IScheduleItem** ppItem) override;

  // IScheduleItemEvents: an item of the collection changed.
  HRESULT STDMETHODCALLTYPE OnUpdate(IScheduleItem* pItem) override;
  // IObjectWithBackReferences: ends the subscriptions to all items.
  HRESULT STDMETHODCALLTYPE Disconnect() override;
  // IPersist
  HRESULT STDMETHODCALLTYPE GetClassID(CLSID* pClassID) override;
  // IXMLArchiveSerializable
  HRESULT STDMETHODCALLTYPE Serialize(IXMLArchive* pArchive, IXMLDOMNode* pNode) override;

  // Policy hooks. Part of each list change, under the list's exclusive lock: subscribe to an
  // inserted item, end the subscription of an unlinked one, end all of them when the list is
  // cleared. After the change: announce it to the clients.
  HRESULT AttachItem(IScheduleItem* pItem) COMRT_REQUIRES(list_lock_);
  HRESULT DetachItem(IScheduleItem* pItem) COMRT_REQUIRES(list_lock_);
  void DetachAllItems() noexcept COMRT_REQUIRES(list_lock_);
  void ListChanged() noexcept COMRT_REQUIRES(list_lock_);
  void OnAddItem(IScheduleItem* pItem);
  void OnRemoveItem(IScheduleItem* pItem);
  void OnRemoveAllItems();

 private:
  // Fires one event to every vtable sink, then to every dispatch sink.
  template <class F>
  void announce(DISPID dispid, F&& vtable_call, IScheduleItem* item);

  // The cookies of the subscriptions to each item, one per entry of the item in the list, so that
  // an item that stands in the list more than once is unsubscribed once per removal. An item has a
  // record exactly while it is in the list (until Disconnect ends every subscription).
  using subscription_map = std::map<IScheduleItem*, std::vector<DWORD>>;  // keyed by pointer value
  subscription_map subscriptions_ COMRT_GUARDED_BY(list_lock_);

  comrt::mutex snapshot_mutex_;  // taken inside the list lock
  snapshot_type snapshot_ COMRT_GUARDED_BY(snapshot_mutex_);  // null until asked for after a change

  // Ends every subscription; returns the first failure of an item to end one.
  HRESULT end_subscriptions_locked() noexcept COMRT_REQUIRES(list_lock_);
};

}  // namespace tolvane
