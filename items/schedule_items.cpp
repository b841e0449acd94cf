#include "items/schedule_items.h"

#include <utility>

namespace tolvane {

namespace {

comrt::com_ptr<IConnectionPoint> item_events_point(IScheduleItem* item) {
  comrt::com_ptr<IConnectionPoint> point;
  comrt::check_hresult(comrt::query<IConnectionPointContainer>(item)->FindConnectionPoint(
      IID_IScheduleItemEvents, point.put()));
  return point;
}

}  // namespace

template <class F>
void CScheduleItems::announce(DISPID dispid, F&& vtable_call, IScheduleItem* item) {
  point<IScheduleItemsEvents>().fire(std::forward<F>(vtable_call));
  if (item) {
    point<_IScheduleItemsEvents>().fire_dispatch(dispid, item);
  } else {
    point<_IScheduleItemsEvents>().fire_dispatch(dispid);
  }
}

HRESULT CScheduleItems::OnAddItem(IScheduleItem* pItem) {
  // The item is in the list whether or not it can be subscribed to, so the addition is announced
  // either way; a failed subscription is the result of the insertion.
  const HRESULT subscribed = comrt::boundary([&] {
    DWORD cookie = 0;
    comrt::check_hresult(item_events_point(pItem)->Advise(static_cast<IScheduleItemEvents*>(this), &cookie));
    comrt::com_ptr<IScheduleItem> held(pItem);  // a record's first reference, taken outside the lock
    comrt::lock_guard guard(subscriptions_mutex_);
    subscription& record = subscriptions_[pItem];
    if (!record.item) record.item.swap(held);
    record.cookies.push_back(cookie);
  });
  announce(
      DISPID_IScheduleItemsEvents_OnAddItem, [&](IScheduleItemsEvents* sink) { return sink->OnAddItem(pItem); },
      pItem);
  return subscribed;
}

HRESULT CScheduleItems::OnRemoveItem(IScheduleItem* pItem) {
  return comrt::boundary([&] {
    // The cookie of the latest subscription leaves the record before it is unadvised, so two
    // removals of an item that stands in the list twice never use the same cookie.
    DWORD cookie;
    subscription record;  // released after the lock is left
    {
      comrt::lock_guard guard(subscriptions_mutex_);
      auto it = subscriptions_.find(pItem);
      if (it == subscriptions_.end()) return E_FAIL;
      auto& cookies = it->second.cookies;
      cookie = cookies.back();
      cookies.pop_back();
      if (cookies.empty()) {
        record = std::move(it->second);
        subscriptions_.erase(it);
      }
    }
    comrt::check_hresult(item_events_point(pItem)->Unadvise(cookie));
    announce(
        DISPID_IScheduleItemsEvents_OnRemoveItem,
        [&](IScheduleItemsEvents* sink) { return sink->OnRemoveItem(pItem); }, pItem);
    return S_OK;
  });
}

HRESULT CScheduleItems::OnRemoveAllItems() {
  // The records are forgotten without unadvising: items that outlive the clear still report their
  // updates to this collection.
  subscription_map forgotten;  // released after the lock is left
  {
    comrt::lock_guard guard(subscriptions_mutex_);
    forgotten.swap(subscriptions_);
  }
  announce(
      DISPID_IScheduleItemsEvents_OnRemoveAllItems, [](IScheduleItemsEvents* sink) { return sink->OnRemoveAllItems(); },
      nullptr);
  return S_OK;
}

HRESULT CScheduleItems::OnUpdate(IScheduleItem* pItem) {
  announce(
      DISPID_IScheduleItemsEvents_OnUpdateItem, [&](IScheduleItemsEvents* sink) { return sink->OnUpdateItem(pItem); },
      pItem);
  return S_OK;
}

HRESULT CScheduleItems::RemoveItem(IScheduleItem* pItem) {
  return comrt::boundary([&] {
    if (!pItem) return E_INVALIDARG;
    GUID id;
    comrt::check_hresult(pItem->get_Id(&id));
    changes log;
    {
      comrt::exclusive_guard guard(list_lock_);
      auto it = list_.begin();
      for (; it != list_.end(); ++it) {
        GUID other;
        comrt::check_hresult((*it)->get_Id(&other));
        if (other == id) break;
      }
      if (it == list_.end()) return E_FAIL;
      unlink_locked(it, log);
    }
    return run_hooks(log);
  });
}

HRESULT CScheduleItems::FindItemById(GUID* itemId, IScheduleItem** ppItem) {
  return comrt::boundary([&] {
    comrt::init_out(ppItem);
    const GUID id = *comrt::check_pointer(itemId);
    comrt::shared_guard guard(list_lock_);
    for (const element_ptr& item : list_) {
      GUID other;
      comrt::check_hresult(item->get_Id(&other));
      if (other == id) {
        item.copy_to(ppItem);
        return S_OK;
      }
    }
    return E_FAIL;
  });
}

HRESULT CScheduleItems::Disconnect() {
  return comrt::boundary([&] {
    subscription_map subscriptions;
    {
      comrt::lock_guard guard(subscriptions_mutex_);
      subscriptions.swap(subscriptions_);
    }
    HRESULT result = S_OK;
    for (const auto& [key, record] : subscriptions) {
      for (const DWORD cookie : record.cookies) {
        const HRESULT hr =
            comrt::boundary([&] { comrt::check_hresult(item_events_point(record.item.get())->Unadvise(cookie)); });
        if (FAILED(hr) && SUCCEEDED(result)) result = hr;
      }
    }
    return result;
  });
}

HRESULT CScheduleItems::GetClassID(CLSID* pClassID) {
  if (!pClassID) return E_FAIL;
  *pClassID = CLSID_ScheduleItems;
  return S_OK;
}

HRESULT CScheduleItems::Serialize(IXMLArchive*, IXMLDOMNode*) { return E_NOTIMPL; }

}  // namespace tolvane
