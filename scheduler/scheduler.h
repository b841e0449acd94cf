// CScheduler: the host's entry point. It owns the item collection, reads and writes the schedule
// file, runs items with the host's service provider, proffers itself to its site as the service
// CLSID_Scheduler, and owns the scheduler thread, whose ticks run what is due.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include <comrt/dispatch.h>
#include <comrt/site.h>

#include "Scheduler.h"
#include "XMLArchive.h"
#include "scheduler/scheduler_thread.h"
#include "server/typelib.h"
#include "triggers/schedule_calendar.h"

namespace tolvane {

// How a scheduler reads and writes its schedule file: the XML schedule file unless another is put
// in its place (tests do, to see what reaches the file and when).
class schedule_storage {
 public:
  virtual ~schedule_storage() = default;
  // Reads the document at `path` and lets `root` read its root element.
  virtual HRESULT load(const std::u16string& path, IXMLArchiveSerializable* root) noexcept = 0;
  // Lets `root` write the root element of a new document and writes it to `path`.
  virtual HRESULT save(const std::u16string& path, IXMLArchiveSerializable* root) noexcept = 0;
};

class CScheduleItem;
class CScheduler;
using CSchedulerBase = comrt::object_with_proffered_site<
    comrt::implements<CScheduler, IScheduler, IObjectWithSite, IServiceProvider, IXMLArchiveSerializable, IPersist,
                      IProvideClassInfo, comrt::free_threaded, comrt::supports_error_info>,
    CLSID_Scheduler>;

class CScheduler final : public CSchedulerBase, private scheduler_tick_target {
 public:
  static constexpr const CLSID& class_id = CLSID_Scheduler;
  // 60 s in 100 ns units.
  static constexpr int64_t default_auto_save_interval = 600'000'000;

  CScheduler() : thread_(this) {}

  HRESULT FinalConstruct();
  void FinalRelease() noexcept;

  // A release made on a thread while it runs this object's tick is carried out when the tick has
  // ended, so the last reference let go by an action never destroys the object under its tick: the
  // final release then runs on that thread after the tick (on the scheduler thread, stopping it
  // from inside; see CSchedulerThread::Stop).
  ULONG STDMETHODCALLTYPE Release() override;

  // IScheduler
  HRESULT STDMETHODCALLTYPE get_Items(IScheduleItems** ppItems) override;
  HRESULT STDMETHODCALLTYPE Load(BSTR pszFile) override;
  HRESULT STDMETHODCALLTYPE Save() override;
  HRESULT STDMETHODCALLTYPE AddItem(IScheduleItem* pItem) override;
  HRESULT STDMETHODCALLTYPE RemoveItem(IScheduleItem* pItem) override;
  HRESULT STDMETHODCALLTYPE RunItem(IScheduleItem* pItem) override;
  // IPersist
  HRESULT STDMETHODCALLTYPE GetClassID(CLSID* pClassID) override;
  // IProvideClassInfo
  HRESULT STDMETHODCALLTYPE GetClassInfo(ITypeInfo** ppTI) override;
  // IXMLArchiveSerializable: the root element of the schedule file.
  HRESULT STDMETHODCALLTYPE Serialize(IXMLArchive* pArchive, IXMLDOMNode* pNode) override;

  // Replaces the owned collection (the old one is not disconnected).
  virtual HRESULT SetItems(IScheduleItems* pItems);

  // Replaces how the schedule file is read and written; null restores the XML schedule file.
  void SetStorage(std::shared_ptr<schedule_storage> storage);

  int64_t AutoSaveInterval() const noexcept { return auto_save_interval_.load(); }
  void SetAutoSaveInterval(int64_t interval) noexcept { auto_save_interval_.store(interval); }
  int64_t LastFileTime() const noexcept { return last_file_time_.load(); }

  // The tick and its steps; only the scheduler thread calls them (tests drive them directly).
  void OnTimer() noexcept override;
  void CheckSchedule();
  void CheckItemDue(IScheduleItems* items, IScheduleItem* item);
  HRESULT RunScheduledItem(IScheduleItems* items, IScheduleItem* item);
  HRESULT SaveIfDirty();

  CSchedulerThread& thread() noexcept { return thread_; }

  // The clock that the scheduler threads created from now on use for their timers (null: the
  // steady clock). Tests set a manual clock to drive ticks without waiting.
  static void set_timer_clock(std::shared_ptr<comrt::timer_clock> clock);

 private:
  HRESULT StartThread();
  void StopThread() noexcept;
  class tick_scope;
  template <class Item>
  void check_item(IScheduleItems* items, IScheduleItem* item, Item* reader, schedule::tick_clock& clock);
  void check_item_due(IScheduleItems* items, IScheduleItem* item, CScheduleItem* own);
  comrt::com_ptr<IScheduleItems> items() const;
  HRESULT save_locked() COMRT_REQUIRES(file_mutex_);
  // Whether the collection is dirty and the autosave interval has passed since the last load or save.
  bool autosave_due(IScheduleItems* items) const;

  // The current collection, read and replaced under the object lock so that the thread's tick and
  // a load on another thread never see it half-replaced.
  comrt::com_ptr<IScheduleItems> items_ COMRT_GUARDED_BY(object_mutex());

  // Whole loads and saves never overlap: file_mutex_ is held across each (an autosave decides under
  // it too), and guards the path and the storage.
  comrt::mutex file_mutex_;
  std::u16string file_path_ COMRT_GUARDED_BY(file_mutex_);
  std::shared_ptr<schedule_storage> storage_ COMRT_GUARDED_BY(file_mutex_);
  // Held for the whole of Serialize.
  comrt::mutex serialize_mutex_;

  std::atomic<int64_t> auto_save_interval_{default_auto_save_interval};
  std::atomic<int64_t> last_file_time_{0};  // 100 ns units of UTC wall-clock time

  CSchedulerThread thread_;  // holds a plain pointer back to this object; stopped in FinalRelease
};

}  // namespace tolvane
