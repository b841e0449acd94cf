#include "triggers/schedule_triggers.h"

#include <cstdint>
#include <new>
#include <optional>
#include <typeinfo>

#include <comrt/time.h>
#include <comrt/timeapi.h>

#include "items/read_section.h"
#include "persistence/xml_archive.h"

namespace tolvane {

// Every operation below walks the members under the shared lock and calls into them while holding
// it; the members take no lock of their own.

HRESULT CScheduleTriggers::IsSet(IScheduleTrigger** retval) {
  return comrt::boundary([&] {
    comrt::init_out(retval);
    comrt::shared_guard guard(list_lock_);
    for (const element_ptr& trigger : list_) {
      if (trigger->IsSet() == S_OK) {
        trigger.copy_to(retval);
        return S_OK;
      }
    }
    return E_FAIL;
  });
}

HRESULT CScheduleTriggers::Next() {
  return comrt::boundary([&] {
    comrt::shared_guard guard(list_lock_);
    for (const element_ptr& trigger : list_) comrt::check_hresult(trigger->Next());
  });
}

namespace {

void release_array(void* array) noexcept {
  auto** members = static_cast<IScheduleTrigger**>(array);
  for (IScheduleTrigger** m = members; *m; ++m) (*m)->Release();
  delete[] members;
}

}  // namespace

CScheduleTriggers::~CScheduleTriggers() {
  // No reader can reach a collection that is being destroyed: its array goes at once.
  if (IScheduleTrigger** members = published_.load()) release_array(members);
}

CScheduleTriggers* CScheduleTriggers::from(IScheduleTriggers* triggers) noexcept {
  // The class is final, so its objects are exactly those whose dynamic type is this class.
  return triggers && typeid(*triggers) == typeid(CScheduleTriggers) ? static_cast<CScheduleTriggers*>(triggers)
                                                                     : nullptr;
}

void CScheduleTriggers::ListChanged() noexcept {
  IScheduleTrigger** fresh = nullptr;
  if (!list_.empty()) {
    fresh = new (std::nothrow) IScheduleTrigger*[list_.size() + 1];
    if (!fresh) {
      unpublished_.store(true);
    } else {
      size_t n = 0;
      for (const element_ptr& trigger : list_) (fresh[n++] = trigger.get())->AddRef();
      fresh[n] = nullptr;
    }
  }
  IScheduleTrigger** const old = published_.exchange(fresh);
  if (fresh || list_.empty()) unpublished_.store(false);
  if (old) retire(release_array, old);
}

HRESULT CScheduleTriggers::IsSetPublished(IScheduleTrigger** retval) {
  if (unpublished_.load()) return IsSet(retval);
  return comrt::boundary([&] {
    comrt::init_out(retval);
    IScheduleTrigger** const members = published_.load();
    for (IScheduleTrigger** m = members; m && *m; ++m) {
      if ((*m)->IsSet() == S_OK) {
        (*m)->AddRef();
        *retval = *m;
        return S_OK;
      }
    }
    return E_FAIL;
  });
}

HRESULT CScheduleTriggers::HasNextRunTime() {
  return comrt::boundary([&] {
    comrt::shared_guard guard(list_lock_);
    for (const element_ptr& trigger : list_) {
      auto occurrence = trigger.try_as<IScheduleTriggerWithOccurrence>();
      if (!occurrence) continue;
      if (comrt::check_hresult(occurrence->HasNextOccurrence()) == S_OK) return S_OK;
    }
    return S_FALSE;
  });
}

ULONGLONG CScheduleTriggers::earliest_occurrence() {
  ULONGLONG best = 0;
  comrt::shared_guard guard(list_lock_);
  for (const element_ptr& trigger : list_) {
    auto occurrence = trigger.try_as<IScheduleTriggerWithOccurrence>();
    if (!occurrence) continue;
    ULONGLONG t = 0;
    comrt::check_hresult(occurrence->NextOccurrence(&t));
    // While nothing is chosen any value is taken (0 included); later a non-zero earlier one
    // replaces it, and equal values keep the earlier member.
    if (best == 0 || (t != 0 && t < best)) best = t;
  }
  return best;
}

HRESULT CScheduleTriggers::get_NextRunTimeAsUnixTime(ULONGLONG* pVal) {
  return comrt::boundary([&] { *comrt::check_pointer(pVal) = earliest_occurrence(); });
}

HRESULT CScheduleTriggers::get_NextRunTime(DATE* pVal) {
  return comrt::boundary([&] {
    *comrt::init_out(pVal) = 0.0;
    const ULONGLONG t = earliest_occurrence();
    // The occurrence is broken down into local calendar fields and read as an automation date.
    const auto local = t <= static_cast<ULONGLONG>(INT64_MAX) ? comrt::localtime64(static_cast<int64_t>(t))
                                                               : std::nullopt;
    if (!local) return E_FAIL;
    SYSTEMTIME st = *local;
    st.wMilliseconds = 0;
    DATE date = 0.0;
    if (!SystemTimeToVariantTime(&st, &date)) return E_FAIL;
    *pVal = date;
    return S_OK;
  });
}

HRESULT CScheduleTriggers::Serialize(IXMLArchive* pArchive, IXMLDOMNode* pNode) {
  return comrt::boundary([&] {
    comrt::check_pointer(pArchive);
    if (pArchive->IsLoading() == S_OK) {
      // A trigger that cannot be made or read is left out; a class identifier that does not parse,
      // or a class that cannot be stored, fails the whole read.
      comrt::check_hresult(Empty());
      for (const object_element& e : object_elements(pNode, u"Trigger")) {
        comrt::check_hresult(e.status);
        comrt::com_ptr<IScheduleTrigger> trigger;
        if (FAILED(CoCreateInstance(e.clsid, nullptr, CLSCTX_ALL, IID_IScheduleTrigger, trigger.put_void()))) continue;
        const auto serializable = trigger.try_as<IXMLArchiveSerializable>();
        if (!serializable) return E_FAIL;
        if (serialize_object(serializable.get(), pArchive, e.node.get()) == S_OK) {
          comrt::check_hresult(AddItem(trigger.get()));
        }
      }
      return S_OK;
    }
    comrt::shared_guard guard(list_lock_);
    for (const element_ptr& trigger : list_) {
      comrt::check_hresult(pArchive->ExchangeObject(pNode, u"Trigger", trigger.get()));
    }
    return S_OK;
  });
}

}  // namespace tolvane
