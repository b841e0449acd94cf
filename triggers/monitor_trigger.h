// CScheduleMonitorTrigger: makes a schedule item due when something changes at a watched path: a
// folder (any change of names, sizes or write times anywhere below it) or a file (a change of its
// size or modification time). The process's folder watcher sets the trigger's changed mark from
// its own thread; IsSet, asked by the scheduler thread, consumes the mark and says whether the
// item should run.
#pragma once

#include <comrt/dispatch.h>
#include <comrt/folder_watcher.h>
#include <comrt/site.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "Scheduler.h"
#include "XMLArchive.h"
#include "server/typelib.h"

namespace tolvane {

class CScheduleMonitorTrigger;
using CScheduleMonitorTriggerBase =
    comrt::object_with_site<comrt::implements<CScheduleMonitorTrigger, IScheduleMonitorTrigger, IObjectWithSite,
                                              IPersist, IXMLArchiveSerializable, comrt::free_threaded>>;

class CScheduleMonitorTrigger final : public CScheduleMonitorTriggerBase, private comrt::folder_watch_client {
 public:
  static constexpr const CLSID& class_id = CLSID_ScheduleMonitorTrigger;

  // Ends the watch; returns once the watcher no longer calls this object.
  void FinalRelease() noexcept;

  // IScheduleTrigger
  HRESULT STDMETHODCALLTYPE get_Name(BSTR* pVal) override;
  HRESULT STDMETHODCALLTYPE Clone(IScheduleTrigger** ppClone) override;
  HRESULT STDMETHODCALLTYPE IsSet() override;
  HRESULT STDMETHODCALLTYPE Next() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE ToString(BSTR* pVal) override;
  // IScheduleMonitorTrigger
  HRESULT STDMETHODCALLTYPE get_Path(BSTR* pVal) override;
  HRESULT STDMETHODCALLTYPE put_Path(BSTR newVal) override;
  HRESULT STDMETHODCALLTYPE Copy(IScheduleMonitorTrigger* pCopy) override;
  // IPersist
  HRESULT STDMETHODCALLTYPE GetClassID(CLSID* pClassID) override;
  // IXMLArchiveSerializable
  HRESULT STDMETHODCALLTYPE Serialize(IXMLArchive* pArchive, IXMLDOMNode* pNode) override;

  // Watches the current path afresh, dropping the watch of any earlier path (after the path has
  // been read from a document). A path that cannot be watched is not reported.
  void restart_monitoring();

 private:
  // folder_watch_client, called on the watcher's thread: never takes the object's lock.
  void on_folder_change() noexcept override;
  void on_watch_fallback(std::string_view path, int error) noexcept override;

  // E_FAIL while a watch runs or without a path.
  HRESULT start_monitoring() COMRT_REQUIRES(object_mutex());
  void stop_monitoring() COMRT_REQUIRES(object_mutex());

  std::u16string path_ COMRT_GUARDED_BY(object_mutex());
  // The watched file's size and modification time when they were last accepted.
  uint64_t file_size_ COMRT_GUARDED_BY(object_mutex()) = 0;
  int64_t file_modified_ns_ COMRT_GUARDED_BY(object_mutex()) = 0;
  comrt::folder_watch watch_ COMRT_GUARDED_BY(object_mutex());
  // Set by the watcher's thread, consumed by IsSet; any number of changes make one answer.
  std::atomic<bool> changed_{false};
};

}  // namespace tolvane
