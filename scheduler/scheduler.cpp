#include "scheduler/scheduler.h"

#include <sys/stat.h>

#include <type_traits>

#include <comrt/strings.h>
#include <comrt/time.h>

#include "diagnostics/log_file.h"
#include "items/read_section.h"
#include "items/schedule_item.h"
#include "items/schedule_items.h"
#include "persistence/schedule_file.h"
#include "triggers/schedule_calendar.h"
#include "triggers/schedule_triggers.h"

namespace tolvane {

namespace {

comrt::mutex g_clock_mutex;
std::shared_ptr<comrt::timer_clock> g_timer_clock COMRT_GUARDED_BY(g_clock_mutex);

std::shared_ptr<comrt::timer_clock> timer_clock_for_new_threads() {
  comrt::lock_guard guard(g_clock_mutex);
  return g_timer_clock;
}

void log(const char16_t* message) noexcept {
  try {
    CLogFile::GetInstance().WriteFormat(message);
  } catch (...) {
    // The log is diagnostic only: a log that is gone never fails the scheduler.
  }
}

// The schedule file as the XML archive reads and writes it.
class xml_schedule_file final : public schedule_storage {
 public:
  HRESULT load(const std::u16string& path, IXMLArchiveSerializable* root) noexcept override {
    return load_schedule_file(path, root);
  }
  HRESULT save(const std::u16string& path, IXMLArchiveSerializable* root) noexcept override {
    return save_schedule_file(path, root);
  }
};

std::shared_ptr<schedule_storage> xml_storage() {
  static const auto storage = std::make_shared<xml_schedule_file>();
  return storage;
}

}  // namespace

void CScheduler::set_timer_clock(std::shared_ptr<comrt::timer_clock> clock) {
  comrt::lock_guard guard(g_clock_mutex);
  g_timer_clock = std::move(clock);
}

HRESULT CScheduler::FinalConstruct() {
  SetStorage(nullptr);
  comrt::check_hresult(SetItems(comrt::make<CScheduleItems>().as<IScheduleItems>().get()));
  return StartThread();
}

void CScheduler::FinalRelease() noexcept {
  StopThread();
  comrt::com_ptr<IScheduleItems> items;
  {
    comrt::lock_guard guard(object_mutex());
    items.swap(items_);
  }
  if (auto back = items.try_as<IObjectWithBackReferences>()) back->Disconnect();
}

HRESULT CScheduler::StartThread() {
  log(u"CScheduler::StartThread() Begin");
  const HRESULT hr = thread_.Start(timer_clock_for_new_threads());
  if (FAILED(hr)) return hr;
  log(u"CScheduler::StartThread() End");
  return S_OK;
}

void CScheduler::StopThread() noexcept {
  log(u"CScheduler::StopThread() Begin");
  thread_.Stop();
  log(u"CScheduler::StopThread() End");
}

comrt::com_ptr<IScheduleItems> CScheduler::items() const {
  comrt::lock_guard guard(object_mutex());
  return items_;
}

HRESULT CScheduler::SetItems(IScheduleItems* pItems) {
  comrt::com_ptr<IScheduleItems> incoming(pItems);
  {
    comrt::lock_guard guard(object_mutex());
    items_.swap(incoming);
  }
  return S_OK;  // the previous collection is released here, outside the lock
}

HRESULT CScheduler::get_Items(IScheduleItems** ppItems) {
  if (!ppItems) return E_POINTER;
  items().copy_to(ppItems);
  return S_OK;
}

HRESULT CScheduler::AddItem(IScheduleItem* pItem) {
  return comrt::boundary([&] { return items()->AddItem(pItem); });
}

HRESULT CScheduler::RemoveItem(IScheduleItem* pItem) {
  return comrt::boundary([&] { return items()->RemoveItem(pItem); });
}

HRESULT CScheduler::RunItem(IScheduleItem* pItem) {
  return comrt::boundary([&] {
    if (!pItem) return E_POINTER;
    auto provider = site().query<IServiceProvider>();
    // The item records its actions' result itself; a failing run never fails the caller.
    pItem->Run(provider.get());
    return S_OK;
  });
}

void CScheduler::SetStorage(std::shared_ptr<schedule_storage> storage) {
  if (!storage) storage = xml_storage();
  comrt::lock_guard guard(file_mutex_);
  storage_.swap(storage);
}

HRESULT CScheduler::Load(BSTR pszFile) {
  return comrt::boundary([&] {
    if (!pszFile || !*pszFile) return E_INVALIDARG;
    const std::u16string path(pszFile, SysStringLen(pszFile));
    // No file name holds a NUL: the system would read the name only up to it.
    if (path.find(u'\0') != std::u16string::npos) return E_INVALIDARG;
    comrt::lock_guard guard(file_mutex_);
    struct stat st;
    if (::stat(comrt::to_utf8(path).c_str(), &st) != 0) {
      // Nothing there yet: the first Save creates the file.
      file_path_ = path;
      return S_OK;
    }
    if (const HRESULT hr = storage_->load(path, this); FAILED(hr)) {
      // The file's own reason (which line does not parse, what it lacks) when it gave one.
      const std::u16string reason = last_schedule_file_error();
      comrt::throw_hresult(hr, reason.empty() ? u"The schedule file cannot be read: " + path : reason);
    }
    last_file_time_.store(static_cast<int64_t>(comrt::now_ticks()));
    file_path_ = path;
    return S_OK;
  });
}

HRESULT CScheduler::Save() {
  return comrt::boundary([&] {
    comrt::lock_guard guard(file_mutex_);
    const HRESULT hr = save_locked();
    if (FAILED(hr))
      comrt::throw_hresult(hr, file_path_.empty() ? std::u16string(u"No schedule file has been loaded.")
                                                  : u"The schedule file cannot be written: " + file_path_);
    return hr;
  });
}

HRESULT CScheduler::save_locked() {
  if (file_path_.empty()) return E_FAIL;
  // Advanced before writing, so a failed save also postpones the next autosave.
  last_file_time_.store(static_cast<int64_t>(comrt::now_ticks()));
  return storage_->save(file_path_, this);
}

HRESULT CScheduler::Serialize(IXMLArchive* pArchive, IXMLDOMNode* pNode) {
  return comrt::boundary([&] {
    comrt::check_pointer(pArchive);
    comrt::lock_guard guard(serialize_mutex_);
    if (pArchive->IsLoading() == S_OK) {
      // A new collection replaces the current one only when its element could be read.
      auto loaded = comrt::make<CScheduleItems>().as<IScheduleItems>();
      if (FAILED(pArchive->ExchangeObject(pNode, u"Items", loaded.get()))) return S_OK;
      const auto previous = items();
      comrt::check_hresult(SetItems(loaded.get()));
      // The replaced collection ends its subscriptions to its items: while they last, each item
      // holds the collection and the collection its items, and neither would ever be freed.
      if (auto back = previous.try_as<IObjectWithBackReferences>()) back->Disconnect();
      return S_OK;
    }
    const auto current = items();
    return current ? pArchive->ExchangeObject(pNode, u"Items", current.get()) : S_OK;
  });
}

HRESULT CScheduler::GetClassID(CLSID* pClassID) {
  if (!pClassID) return E_FAIL;
  *pClassID = CLSID_Scheduler;
  return S_OK;
}

HRESULT CScheduler::GetClassInfo(ITypeInfo** ppTI) {
  if (!ppTI) return E_POINTER;
  return comrt::get_class_info(scheduler_library(), CLSID_Scheduler, ppTI);
}

// ---------------------------------------------------------------------------------------------
// The tick

// The tick running on this thread, innermost first: releases of its scheduler wait for its end.
class CScheduler::tick_scope {
 public:
  explicit tick_scope(CScheduler* owner) noexcept : owner_(owner), outer_(current_) { current_ = this; }
  // Carries out the deferred releases; the last may destroy the owner, so nothing follows them.
  ~tick_scope() {
    current_ = outer_;
    CScheduler* const owner = owner_;
    for (uint32_t n = deferred_; n > 0; --n) owner->CSchedulerBase::Release();
  }
  tick_scope(const tick_scope&) = delete;
  tick_scope& operator=(const tick_scope&) = delete;

  // Defers a release of `owner` if this thread is running its tick.
  static bool defer(const CScheduler* owner) noexcept {
    for (tick_scope* t = current_; t; t = t->outer_) {
      if (t->owner_ == owner) {
        ++t->deferred_;
        return true;
      }
    }
    return false;
  }

 private:
  CScheduler* const owner_;
  tick_scope* const outer_;
  uint32_t deferred_ = 0;
  static inline thread_local tick_scope* current_ = nullptr;
};

ULONG CScheduler::Release() {
  // The deferred reference is still counted, so the count stays above zero until the tick's end.
  if (tick_scope::defer(this)) return 1;
  return CSchedulerBase::Release();
}

void CScheduler::OnTimer() noexcept {
  tick_scope tick(this);
  // A failure ends the tick silently; the next tick starts afresh.
  try {
    CheckSchedule();
    SaveIfDirty();
  } catch (...) {
  }
}

// The walk reads the component's own items and trigger collections through what they publish for
// lock-free readers (see read_section), so that an item that is not due costs no lock and no
// reference count; other implementations of the interfaces are asked through the interfaces.
void CScheduler::CheckSchedule() {
  const auto items = this->items();
  if (!items) return;
  // The time triggers asked below share one reading of the clock, taken again after every run.
  schedule::tick_clock clock;
  read_section section;
  if (CScheduleItems* own = CScheduleItems::from(items.get())) {
    const auto snapshot = own->snapshot();  // holds every item of the walk
    for (size_t i = 0; i < snapshot->items.size(); ++i) {
      IScheduleItem* const item = snapshot->items[i].get();
      if (CScheduleItem* const own_item = snapshot->own[i]) {
        check_item(items.get(), item, own_item, clock);
      } else {
        check_item(items.get(), item, item, clock);
      }
    }
    return;
  }
  comrt::com_ptr<IEnumScheduleItem> e;
  comrt::check_hresult(items->get_NewEnum(e.put()));
  for (;;) {
    comrt::com_ptr<IScheduleItem> item;
    ULONG fetched = 0;
    comrt::check_hresult(e->Next(1, item.put(), &fetched));
    if (fetched == 0 || !item) return;
    check_item(items.get(), item.get(), item.get(), clock);
  }
}

// `reader` is the item itself, read through IScheduleItem or, for the component's own items,
// through the class (the same values without a virtual call).
template <class Item>
void CScheduler::check_item(IScheduleItems* items, IScheduleItem* item, Item* reader, schedule::tick_clock& clock) {
  VARIANT_BOOL enabled = VARIANT_FALSE;
  comrt::check_hresult(reader->get_Enable(&enabled));
  if (!enabled) return;
  VARIANT_BOOL marked = VARIANT_FALSE;
  comrt::check_hresult(reader->get_ScheduleRun(&marked));
  if (!marked) {
    if constexpr (std::is_same_v<Item, CScheduleItem>) {
      check_item_due(items, item, reader);
    } else {
      CheckItemDue(items, item);
    }
    comrt::check_hresult(reader->get_ScheduleRun(&marked));
    if (!marked) return;
  }
  // The run and the triggers' move to their next occurrence read the clock as it then is.
  clock.suspend();
  comrt::check_hresult(RunScheduledItem(items, item));
  clock.refresh();
}

void CScheduler::CheckItemDue(IScheduleItems* items, IScheduleItem* item) {
  check_item_due(items, item, CScheduleItem::from(item));
}

void CScheduler::check_item_due(IScheduleItems* items, IScheduleItem* item, CScheduleItem* own) {
  read_section section;
  comrt::com_ptr<IScheduleTriggers> held;  // for an item of another implementation
  CScheduleItem::published_triggers triggers{};
  if (own) {
    triggers = own->PublishedTriggers();
  } else {
    comrt::check_hresult(item->get_Triggers(held.put()));
    triggers = {held.get(), CScheduleTriggers::from(held.get())};
  }
  if (!triggers.any) return;
  comrt::com_ptr<IScheduleTrigger> fired;
  HRESULT due;
  if (triggers.own) {
    // The component's own collection answers E_FAIL when empty: no need to ask its Count first.
    due = triggers.own->IsSetPublished(fired.put());
  } else {
    LONG count = 0;
    comrt::check_hresult(triggers.any->get_Count(&count));
    if (count == 0) return;
    due = triggers.any->IsSet(fired.put());
  }
  if (due != S_OK) return;  // anything but S_OK: not due
  comrt::check_hresult(item->put_ScheduleRun(VARIANT_TRUE));
  comrt::check_hresult(items->put_Dirty(VARIANT_TRUE));
}

HRESULT CScheduler::RunScheduledItem(IScheduleItems* items, IScheduleItem* item) {
  return comrt::boundary([&] {
    // Cleared before the run, so a failing run or step never leaves the item marked.
    comrt::check_hresult(item->put_ScheduleRun(VARIANT_FALSE));
    comrt::check_hresult(RunItem(item));
    comrt::com_ptr<IScheduleTriggers> triggers;
    comrt::check_hresult(item->get_Triggers(triggers.put()));
    if (triggers) comrt::check_hresult(triggers->Next());
    comrt::check_hresult(item->Update());
    comrt::check_hresult(items->put_Dirty(VARIANT_TRUE));
  });
}

bool CScheduler::autosave_due(IScheduleItems* items) const {
  if (!items) return false;
  VARIANT_BOOL dirty = VARIANT_FALSE;
  comrt::check_hresult(items->get_Dirty(&dirty));
  if (dirty != VARIANT_TRUE) return false;
  const int64_t now = static_cast<int64_t>(comrt::now_ticks());
  return now >= last_file_time_.load() + auto_save_interval_.load();
}

HRESULT CScheduler::SaveIfDirty() {
  return comrt::boundary([&] {
    // Asked first without the file lock, so that a tick with nothing to save never waits for a
    // load or save in progress; asked again under it, as a load or save that ran in between (and
    // replaced or cleaned the collection, or moved the time of the last one) has the last word.
    if (!autosave_due(items().get())) return S_OK;
    comrt::lock_guard guard(file_mutex_);
    if (!autosave_due(items().get())) return S_OK;
    return save_locked();
  });
}

}  // namespace tolvane
