#include "items/schedule_item.h"

#include <typeinfo>

#include <comrt/oleauto.h>
#include <comrt/timeapi.h>
#include <comrt/variant.h>

#include "actions/schedule_actions.h"
#include "items/read_section.h"
#include "persistence/xml_archive.h"
#include "triggers/schedule_triggers.h"

namespace tolvane {

HRESULT CScheduleItem::FinalConstruct() {
  GUID id;
  comrt::check_hresult(CoCreateGuid(&id));
  auto actions = comrt::make<CScheduleActions>().as<IScheduleActions>();
  auto triggers = comrt::make<CScheduleTriggers>().as<IScheduleTriggers>();
  {
    comrt::lock_guard guard(fields_mutex_);
    id_ = id;
    actions_ = std::move(actions);
  }
  replace_triggers(std::move(triggers));
  return S_OK;
}

namespace {

uintptr_t encode(IScheduleTriggers* triggers) noexcept {
  if (CScheduleTriggers* own = CScheduleTriggers::from(triggers)) return reinterpret_cast<uintptr_t>(own) | 1;
  return reinterpret_cast<uintptr_t>(triggers);
}

CScheduleItem::published_triggers decode(uintptr_t v) noexcept {
  if (v & 1) {
    auto* own = reinterpret_cast<CScheduleTriggers*>(v & ~uintptr_t{1});
    return {static_cast<IScheduleTriggers*>(own), own};
  }
  return {reinterpret_cast<IScheduleTriggers*>(v), nullptr};
}

void release_published(void* triggers) noexcept { static_cast<IScheduleTriggers*>(triggers)->Release(); }

}  // namespace

CScheduleItem::~CScheduleItem() {
  // No reader can reach an item that is being destroyed: its published reference goes at once.
  if (IScheduleTriggers* triggers = decode(published_triggers_.load()).any) triggers->Release();
}

CScheduleItem::published_triggers CScheduleItem::PublishedTriggers() const noexcept {
  return decode(published_triggers_.load());
}

CScheduleItem* CScheduleItem::from(IScheduleItem* item) noexcept {
  // The class is final, so its objects are exactly those whose dynamic type is this class.
  return item && typeid(*item) == typeid(CScheduleItem) ? static_cast<CScheduleItem*>(item) : nullptr;
}

void CScheduleItem::replace_triggers(comrt::com_ptr<IScheduleTriggers> triggers) {
  if (triggers) triggers->AddRef();  // the published pointer's own reference
  uintptr_t published = encode(triggers.get());
  {
    comrt::lock_guard guard(fields_mutex_);
    triggers_.swap(triggers);
    // Exchanged under the lock, so that the published pointer always ends as triggers_.
    published = published_triggers_.exchange(published);
  }
  if (IScheduleTriggers* old = decode(published).any) retire(release_published, old);
  // The old triggers_ reference is released here, after the lock has been left.
}

HRESULT CScheduleItem::get_flag(const flag& f, VARIANT_BOOL* out) {
  if (!out) return E_POINTER;
  *out = f.load(std::memory_order_relaxed);
  return S_OK;
}

HRESULT CScheduleItem::put_flag(flag& f, VARIANT_BOOL value) {
  f.store(value, std::memory_order_relaxed);  // stored unchanged: no normalisation
  return S_OK;
}

HRESULT CScheduleItem::get_time(const time& t, FILETIME* out) {
  if (!out) return E_POINTER;
  const uint64_t v = t.load(std::memory_order_relaxed);
  out->dwLowDateTime = static_cast<DWORD>(v);
  out->dwHighDateTime = static_cast<DWORD>(v >> 32);
  return S_OK;
}

HRESULT CScheduleItem::put_time(time& t, FILETIME value) {
  t.store(static_cast<uint64_t>(value.dwHighDateTime) << 32 | value.dwLowDateTime, std::memory_order_relaxed);
  return S_OK;
}

HRESULT CScheduleItem::get_Id(GUID* pVal) {
  if (!pVal) return E_POINTER;
  comrt::lock_guard guard(fields_mutex_);
  *pVal = id_;
  return S_OK;
}

HRESULT CScheduleItem::put_Id(GUID newVal) {
  comrt::lock_guard guard(fields_mutex_);
  id_ = newVal;
  return S_OK;
}

template <class T>
comrt::com_ptr<T> CScheduleItem::read(comrt::com_ptr<T> CScheduleItem::*field) {
  comrt::lock_guard guard(fields_mutex_);
  return this->*field;
}

template <class T>
void CScheduleItem::replace(comrt::com_ptr<T> CScheduleItem::*field, T* value) {
  comrt::com_ptr<T> incoming(value);
  {
    comrt::lock_guard guard(fields_mutex_);
    (this->*field).swap(incoming);
  }
  // The old reference is released here, after the lock has been left.
}

HRESULT CScheduleItem::get_text(std::u16string CScheduleItem::*text, BSTR* out) {
  return comrt::boundary([&] {
    comrt::check_pointer(out);
    BSTR copy;
    {
      comrt::lock_guard guard(fields_mutex_);
      const std::u16string& value = this->*text;
      copy = SysAllocStringLen(value.data(), static_cast<UINT>(value.size()));
    }
    if (!copy) return E_OUTOFMEMORY;
    *out = copy;
    return S_OK;
  });
}

HRESULT CScheduleItem::put_text(std::u16string CScheduleItem::*text, BSTR value) {
  return comrt::boundary([&] {
    // The text up to its first NUL; a null string is empty.
    std::u16string incoming = value ? std::u16string(value) : std::u16string();
    comrt::lock_guard guard(fields_mutex_);
    (this->*text).swap(incoming);
  });
}

HRESULT CScheduleItem::get_Name(BSTR* pVal) { return get_text(&CScheduleItem::name_, pVal); }
HRESULT CScheduleItem::put_Name(BSTR newVal) { return put_text(&CScheduleItem::name_, newVal); }
HRESULT CScheduleItem::get_Description(BSTR* pVal) { return get_text(&CScheduleItem::description_, pVal); }
HRESULT CScheduleItem::put_Description(BSTR newVal) { return put_text(&CScheduleItem::description_, newVal); }

HRESULT CScheduleItem::get_Triggers(IScheduleTriggers** pVal) {
  if (!pVal) return E_POINTER;
  read(&CScheduleItem::triggers_).copy_to(pVal);
  return S_OK;
}

HRESULT CScheduleItem::put_Triggers(IScheduleTriggers* newVal) {
  replace_triggers(comrt::com_ptr<IScheduleTriggers>(newVal));
  return S_OK;
}

HRESULT CScheduleItem::get_Actions(IScheduleActions** pVal) {
  if (!pVal) return E_POINTER;
  read(&CScheduleItem::actions_).copy_to(pVal);
  return S_OK;
}

HRESULT CScheduleItem::put_Actions(IScheduleActions* newVal) {
  replace(&CScheduleItem::actions_, newVal);
  return S_OK;
}

HRESULT CScheduleItem::get_LastTaskResult(HRESULT* pVal) {
  if (!pVal) return E_POINTER;
  *pVal = last_task_result_.load(std::memory_order_relaxed);
  return S_OK;
}

HRESULT CScheduleItem::put_LastTaskResult(HRESULT newVal) {
  last_task_result_.store(newVal, std::memory_order_relaxed);
  return S_OK;
}

HRESULT CScheduleItem::Run(IUnknown* pServiceProvider) {
  return comrt::boundary([&] {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    put_time(last_run_time_, now);
    comrt::check_hresult(Update());

    auto actions = read(&CScheduleItem::actions_);
    if (!actions) return S_OK;
    comrt::com_ptr<IEnumScheduleAction> e;
    comrt::check_hresult(actions->get_NewEnum(e.put()));
    comrt::check_hresult(e->Reset());
    for (;;) {
      comrt::com_ptr<IScheduleAction> action;
      ULONG fetched = 0;
      comrt::check_hresult(e->Next(1, action.put(), &fetched));
      if (fetched == 0 || !action) return S_OK;
      // The provider is handed on unchanged (it may be null).
      const HRESULT hr = action->Run(pServiceProvider);
      last_task_result_.store(hr, std::memory_order_relaxed);
      if (FAILED(hr)) return hr;
    }
  });
}

HRESULT CScheduleItem::Update() {
  return point<IScheduleItemEvents>().fire(
      [&](IScheduleItemEvents* sink) { return sink->OnUpdate(static_cast<IScheduleItem*>(this)); });
}

void CScheduleItem::reset() {
  enable_ = VARIANT_TRUE;
  schedule_run_ = VARIANT_FALSE;
  save_ = VARIANT_TRUE;
  last_run_time_ = 0;
  created_ = 0;
  last_task_result_ = E_FAIL;
  replace_triggers(nullptr);
  comrt::com_ptr<IScheduleActions> actions;
  comrt::lock_guard guard(fields_mutex_);
  actions.swap(actions_);
  name_.clear();
  description_.clear();
}

HRESULT CScheduleItem::Copy(IScheduleItem* pCopy) {
  return comrt::boundary([&] {
    if (!pCopy) return E_POINTER;
    reset();
    GUID id;
    comrt::check_hresult(pCopy->get_Id(&id));
    comrt::check_hresult(put_Id(id));
    VARIANT_BOOL b;
    comrt::check_hresult(pCopy->get_Enable(&b));
    put_flag(enable_, b);
    comrt::check_hresult(pCopy->get_ScheduleRun(&b));
    put_flag(schedule_run_, b);
    comrt::check_hresult(pCopy->get_Save(&b));
    put_flag(save_, b);
    FILETIME t;
    comrt::check_hresult(pCopy->get_LastRunTime(&t));
    put_time(last_run_time_, t);
    comrt::check_hresult(pCopy->get_Created(&t));
    put_time(created_, t);
    HRESULT result;
    comrt::check_hresult(pCopy->get_LastTaskResult(&result));
    put_LastTaskResult(result);
    comrt::bstr text;
    comrt::check_hresult(pCopy->get_Name(text.put()));
    comrt::check_hresult(put_Name(text.get()));
    comrt::check_hresult(pCopy->get_Description(text.put()));
    comrt::check_hresult(put_Description(text.get()));

    comrt::com_ptr<IScheduleActions> actions;
    comrt::check_hresult(pCopy->get_Actions(actions.put()));
    if (actions) {
      comrt::com_ptr<IScheduleActions> clone;
      comrt::check_hresult(actions->Clone(clone.put()));
      put_Actions(clone.get());
    }
    comrt::com_ptr<IScheduleTriggers> triggers;
    comrt::check_hresult(pCopy->get_Triggers(triggers.put()));
    if (triggers) {
      comrt::com_ptr<IScheduleTriggers> clone;
      comrt::check_hresult(triggers->Clone(clone.put()));
      put_Triggers(clone.get());
    }
    return S_OK;
  });
}

HRESULT CScheduleItem::Clone(IScheduleItem** ppClone) {
  return comrt::boundary([&] {
    comrt::init_out(ppClone);
    auto clone = comrt::make<CScheduleItem>();
    comrt::check_hresult(clone->Copy(this));
    *ppClone = clone.as<IScheduleItem>().detach();
  });
}

HRESULT CScheduleItem::QueryService(REFGUID guidService, REFIID riid, void** ppv) {
  return site().query_service(guidService, riid, ppv);
}

HRESULT CScheduleItem::GetClassID(CLSID* pClassID) {
  if (!pClassID) return E_FAIL;
  *pClassID = CLSID_ScheduleItem;
  return S_OK;
}

HRESULT CScheduleItem::Serialize(IXMLArchive* pArchive, IXMLDOMNode* pNode) {
  return comrt::boundary([&] {
    CXMLDataExchange dx(comrt::check_pointer(pArchive), pNode);
    if (dx.loading()) {
      load(dx);
    } else {
      store(dx);
    }
  });
}

// Each value read replaces the field only when it could be read; the others keep the values of a
// new item.
void CScheduleItem::load(CXMLDataExchange& dx) {
  IXMLArchive* archive = dx.archive();
  GUID id;
  comrt::check_hresult(get_Id(&id));
  if (archive->ExchangeGuid(dx.node(), u"Id", &id) == S_OK) put_Id(id);
  std::u16string name, description;
  dx.ExchangeString(u"Name", name);
  dx.ExchangeString(u"Description", description);
  {
    comrt::lock_guard guard(fields_mutex_);
    name_ = std::move(name);
    description_ = std::move(description);
  }
  VARIANT_BOOL flag = enable_.load();
  if (dx.ExchangeFlag(u"Enable", flag) == S_OK) enable_ = flag;
  flag = schedule_run_.load();
  if (dx.ExchangeFlag(u"ScheduleRun", flag) == S_OK) schedule_run_ = flag;
  ULONGLONG time = last_run_time_.load();
  if (dx.ExchangeFileTime(u"LastRunTime", time) == S_OK) last_run_time_ = time;
  LONG result = last_task_result_.load();
  if (dx.ExchangeLong(u"LastRunResult", result) == S_OK) last_task_result_ = result;
  time = created_.load();
  if (dx.ExchangeFileTime(u"Created", time) == S_OK) created_ = time;

  // The collections are read into new objects, which replace the item's only when read.
  auto actions = comrt::make<CScheduleActions>().as<IScheduleActions>();
  if (SUCCEEDED(archive->ExchangeObject(dx.node(), u"Actions", actions.get()))) put_Actions(actions.get());
  auto triggers = comrt::make<CScheduleTriggers>().as<IScheduleTriggers>();
  if (SUCCEEDED(archive->ExchangeObject(dx.node(), u"Triggers", triggers.get()))) put_Triggers(triggers.get());
}

// The elements in their order, each only under its condition; the first failure ends the write.
void CScheduleItem::store(CXMLDataExchange& dx) {
  using comrt::check_hresult;
  IXMLArchive* archive = dx.archive();
  GUID id;
  std::u16string name, description;
  comrt::com_ptr<IScheduleActions> actions;
  comrt::com_ptr<IScheduleTriggers> triggers;
  {
    comrt::lock_guard guard(fields_mutex_);
    id = id_;
    name = name_;
    description = description_;
    actions = actions_;
    triggers = triggers_;
  }
  check_hresult(archive->ExchangeGuid(dx.node(), u"Id", &id));
  if (!name.empty()) check_hresult(dx.ExchangeString(u"Name", name));
  if (!description.empty()) check_hresult(dx.ExchangeString(u"Description", description));
  VARIANT_BOOL flag = enable_.load();
  if (flag != VARIANT_TRUE) check_hresult(dx.ExchangeFlag(u"Enable", flag));
  flag = schedule_run_.load();
  if (flag != VARIANT_TRUE) check_hresult(dx.ExchangeFlag(u"ScheduleRun", flag));
  ULONGLONG time = last_run_time_.load();
  if (time != 0) {
    check_hresult(dx.ExchangeFileTime(u"LastRunTime", time));
    LONG result = last_task_result_.load();
    check_hresult(dx.ExchangeLong(u"LastRunResult", result));
  }
  time = created_.load();
  if (time != 0) check_hresult(dx.ExchangeFileTime(u"Created", time));

  if (actions) check_hresult(archive->ExchangeObject(dx.node(), u"Actions", actions.get()));
  LONG count = 0;
  if (triggers) check_hresult(triggers->get_Count(&count));
  if (count > 0) check_hresult(archive->ExchangeObject(dx.node(), u"Triggers", triggers.get()));
}

}  // namespace tolvane
