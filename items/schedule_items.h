// CScheduleItems: the list of schedule items that the scheduler owns and persists. Every change of
// the list is announced to clients through two outgoing interfaces (the vtable IScheduleItemsEvents
// first, then the dispinterface _IScheduleItemsEvents), and the collection subscribes to each of its
// items, so that an item's Update is announced as OnUpdateItem.
//
// While subscribed, an item holds the collection as its sink: the owner ends the subscriptions
// with IObjectWithBackReferences::Disconnect (the scheduler does so when it is released), or by
// emptying the collection before letting it go.
#pragma once

#include <map>
#include <vector>

#include <comrt/connection_point.h>
#include <comrt/dispatch.h>
#include <comrt/site.h>

#include "Scheduler.h"
#include "XMLArchive.h"
#include "items/interface_list.h"
#include "server/typelib.h"

namespace tolvane {

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

  // IScheduleItems (the rest comes from the collection template)
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

  // Policy hooks: subscribe to an inserted item, unsubscribe from a removed one, forget all on a
  // clear; each then announces the change to the clients.
  HRESULT OnAddItem(IScheduleItem* pItem);
  HRESULT OnRemoveItem(IScheduleItem* pItem);
  HRESULT OnRemoveAllItems();

 private:
  // Fires one event to every vtable sink, then to every dispatch sink.
  template <class F>
  void announce(DISPID dispid, F&& vtable_call, IScheduleItem* item);

  // The subscriptions to one item: the item (held, so the record never outlives it) and the
  // cookies of its connection point, one per insertion, so that an item that stands in the list
  // more than once is unsubscribed once per removal and completely by Disconnect.
  struct subscription {
    comrt::com_ptr<IScheduleItem> item;
    std::vector<DWORD> cookies;
  };
  using subscription_map = std::map<IScheduleItem*, subscription>;  // keyed by pointer value

  comrt::mutex subscriptions_mutex_;
  subscription_map subscriptions_ COMRT_GUARDED_BY(subscriptions_mutex_);
};

}  // namespace tolvane
