#include "items/schedule_items.h"

#include <optional>
#include <typeinfo>
#include <utility>

#include <comrt/variant.h>

#include "items/schedule_item.h"
#include "triggers/schedule_calendar.h"

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

HRESULT CScheduleItems::AttachItem(IScheduleItem* pItem) {
  // Room for the cookie is made before subscribing, so that a subscription once made is recorded.
  const auto [record, created] = subscriptions_.try_emplace(pItem);
  std::vector<DWORD>& cookies = record->second;
  const HRESULT hr = comrt::boundary([&] {
    detail::make_room(cookies, 1);
    DWORD cookie = 0;
    comrt::check_hresult(item_events_point(pItem)->Advise(static_cast<IScheduleItemEvents*>(this), &cookie));
    cookies.push_back(cookie);
  });
  if (FAILED(hr) && created) subscriptions_.erase(record);
  return hr;
}

HRESULT CScheduleItems::DetachItem(IScheduleItem* pItem) {
  // An item without a record has no subscription left to end (Disconnect ended it).
  auto it = subscriptions_.find(pItem);
  if (it == subscriptions_.end()) return S_OK;
  // The latest subscription's cookie leaves the record whether or not it can be ended, so two
  // removals of an item that stands in the list twice never use the same cookie.
  const DWORD cookie = it->second.back();
  it->second.pop_back();
  if (it->second.empty()) subscriptions_.erase(it);
  return comrt::boundary([&] { return item_events_point(pItem)->Unadvise(cookie); });
}

void CScheduleItems::DetachAllItems() noexcept {
  // The entries are gone whatever an item answers.
  end_subscriptions_locked();
}

void CScheduleItems::OnAddItem(IScheduleItem* pItem) {
  announce(
      DISPID_IScheduleItemsEvents_OnAddItem, [&](IScheduleItemsEvents* sink) { return sink->OnAddItem(pItem); },
      pItem);
}

void CScheduleItems::OnRemoveItem(IScheduleItem* pItem) {
  announce(
      DISPID_IScheduleItemsEvents_OnRemoveItem, [&](IScheduleItemsEvents* sink) { return sink->OnRemoveItem(pItem); },
      pItem);
}

void CScheduleItems::OnRemoveAllItems() {
  announce(
      DISPID_IScheduleItemsEvents_OnRemoveAllItems, [](IScheduleItemsEvents* sink) { return sink->OnRemoveAllItems(); },
      nullptr);
}

HRESULT CScheduleItems::OnUpdate(IScheduleItem* pItem) {
  announce(
      DISPID_IScheduleItemsEvents_OnUpdateItem, [&](IScheduleItemsEvents* sink) { return sink->OnUpdateItem(pItem); },
      pItem);
  return S_OK;
}

CScheduleItems* CScheduleItems::from(IScheduleItems* items) noexcept {
  // The class is final, so its objects are exactly those whose dynamic type is this class.
  return items && typeid(*items) == typeid(CScheduleItems) ? static_cast<CScheduleItems*>(items) : nullptr;
}

CScheduleItems::snapshot_type CScheduleItems::snapshot() {
  comrt::shared_guard guard(list_lock_);
  comrt::lock_guard cache(snapshot_mutex_);
  if (!snapshot_) {
    auto fresh = std::make_shared<snapshot_data>();
    fresh->items.assign(list_.begin(), list_.end());
    fresh->own.reserve(list_.size());
    for (const element_ptr& item : list_) fresh->own.push_back(CScheduleItem::from(item.get()));
    snapshot_ = std::move(fresh);
  }
  return snapshot_;
}

void CScheduleItems::ListChanged() noexcept {
  // Every item of the dropped copy is still in the list or held by the change being made, so
  // dropping it here only lets go of references; it never destroys an item under the lock.
  comrt::lock_guard cache(snapshot_mutex_);
  snapshot_.reset();
}

HRESULT CScheduleItems::get_NewEnum(IEnumScheduleItem** ppEnum) {
  return comrt::boundary([&] {
    comrt::init_out(ppEnum);
    const snapshot_type all = snapshot();
    comrt::enumerator<IEnumScheduleItem>::snapshot items(all, &all->items);  // shares the snapshot
    *ppEnum = comrt::make<comrt::enumerator<IEnumScheduleItem>>(std::move(items), size_t{0}).detach();
  });
}

HRESULT CScheduleItems::RemoveItem(IScheduleItem* pItem) {
  return comrt::boundary([&] {
    if (!pItem) return E_INVALIDARG;
    GUID id;
    comrt::check_hresult(pItem->get_Id(&id));
    change_log log(*this);
    HRESULT hr;
    {
      comrt::exclusive_guard guard(list_lock_);
      auto it = list_.begin();
      for (; it != list_.end(); ++it) {
        GUID other;
        comrt::check_hresult((*it)->get_Id(&other));
        if (other == id) break;
      }
      if (it == list_.end()) return E_FAIL;
      hr = unlink_locked(it, log);
    }
    log.publish();
    return hr;
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
    comrt::exclusive_guard guard(list_lock_);
    return end_subscriptions_locked();
  });
}

HRESULT CScheduleItems::end_subscriptions_locked() noexcept {
  HRESULT result = S_OK;
  for (const auto& record : subscriptions_) {
    for (const DWORD cookie : record.second) {
      const HRESULT hr = comrt::boundary([&] { return item_events_point(record.first)->Unadvise(cookie); });
      if (FAILED(hr) && SUCCEEDED(result)) result = hr;
    }
  }
  subscriptions_.clear();
  return result;
}

HRESULT CScheduleItems::GetClassID(CLSID* pClassID) {
  if (!pClassID) return E_FAIL;
  *pClassID = CLSID_ScheduleItems;
  return S_OK;
}

HRESULT CScheduleItems::Serialize(IXMLArchive* pArchive, IXMLDOMNode* pNode) {
  return comrt::boundary([&] {
    comrt::check_pointer(pArchive);
    if (pArchive->IsLoading() == S_OK) {
      // Every "Item" read removes its element, so the loop meets them in document order and ends
      // when none is left or one cannot be read; the items read before stay.
      comrt::check_hresult(Empty());
      // Every new time trigger starts at "now": read the clock and the zone once for the load.
      std::optional<schedule::tick_clock> clock;
      if (!schedule::tick_clock::active()) clock.emplace();
      for (;;) {
        auto item = comrt::make<CScheduleItem>().as<IScheduleItem>();
        const HRESULT hr = pArchive->ExchangeObject(pNode, u"Item", item.get());
        if (FAILED(hr)) break;
        comrt::check_hresult(AddItem(item.get()));
        if (hr != S_OK) break;
      }
      comrt::variant version;  // written by older versions; read and ignored
      pArchive->ExchangeValue(pNode, u"Version", &version);
      put_Dirty(VARIANT_FALSE);
      return S_OK;
    }
    {
      comrt::shared_guard guard(list_lock_);
      for (const element_ptr& item : list_) {
        VARIANT_BOOL save = VARIANT_FALSE;
        comrt::check_hresult(item->get_Save(&save));
        if (save == VARIANT_FALSE) continue;
        comrt::check_hresult(pArchive->ExchangeObject(pNode, u"Item", item.get()));
      }
    }
    put_Dirty(VARIANT_FALSE);
    return S_OK;
  });
}

}  // namespace tolvane
