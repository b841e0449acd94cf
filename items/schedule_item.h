// CScheduleItem: one scheduled task — its identity and texts, three flags, its trigger and action
// collections, the record of its runs, and the outgoing IScheduleItemEvents through which it
// announces changes (Update) to its subscribers.
#pragma once

#include <atomic>
#include <string>

#include <comrt/connection_point.h>
#include <comrt/dispatch.h>
#include <comrt/site.h>

#include "Scheduler.h"
#include "XMLArchive.h"
#include "server/typelib.h"

namespace tolvane {

class CXMLDataExchange;
class CScheduleTriggers;
class CScheduleItem;
using CScheduleItemBase = comrt::connection_point_container<
    comrt::object_with_site<
        comrt::implements<CScheduleItem, IScheduleItem, IObjectWithSite, IXMLArchiveSerializable, IPersist,
                          IObjectWithBackReferences, IConnectionPointContainer, IServiceProvider,
                          comrt::free_threaded>>,
    IScheduleItemEvents>;

class CScheduleItem final : public CScheduleItemBase {
 public:
  static constexpr const CLSID& class_id = CLSID_ScheduleItem;

  HRESULT FinalConstruct();
  ~CScheduleItem();

  // The item behind an IScheduleItem, when it is one of this class (null otherwise).
  static CScheduleItem* from(IScheduleItem* item) noexcept;

  // The trigger collection without a reference or a lock, for a caller inside a read_section (the
  // scheduler's tick): a collection replaced meanwhile stays alive until the section ends. `own`
  // is the same collection when it is one of the component's own (null otherwise).
  struct published_triggers {
    IScheduleTriggers* any;
    CScheduleTriggers* own;
  };
  published_triggers PublishedTriggers() const noexcept;

  // IScheduleItem
  HRESULT STDMETHODCALLTYPE get_Id(GUID* pVal) override;
  HRESULT STDMETHODCALLTYPE put_Id(GUID newVal) override;
  HRESULT STDMETHODCALLTYPE get_Name(BSTR* pVal) override;
  HRESULT STDMETHODCALLTYPE put_Name(BSTR newVal) override;
  HRESULT STDMETHODCALLTYPE get_Description(BSTR* pVal) override;
  HRESULT STDMETHODCALLTYPE put_Description(BSTR newVal) override;
  HRESULT STDMETHODCALLTYPE get_Save(VARIANT_BOOL* pVal) override { return get_flag(save_, pVal); }
  HRESULT STDMETHODCALLTYPE put_Save(VARIANT_BOOL newVal) override { return put_flag(save_, newVal); }
  HRESULT STDMETHODCALLTYPE get_Enable(VARIANT_BOOL* pVal) override { return get_flag(enable_, pVal); }
  HRESULT STDMETHODCALLTYPE put_Enable(VARIANT_BOOL newVal) override { return put_flag(enable_, newVal); }
  HRESULT STDMETHODCALLTYPE get_ScheduleRun(VARIANT_BOOL* pVal) override { return get_flag(schedule_run_, pVal); }
  HRESULT STDMETHODCALLTYPE put_ScheduleRun(VARIANT_BOOL newVal) override { return put_flag(schedule_run_, newVal); }
  HRESULT STDMETHODCALLTYPE get_Triggers(IScheduleTriggers** pVal) override;
  HRESULT STDMETHODCALLTYPE put_Triggers(IScheduleTriggers* newVal) override;
  HRESULT STDMETHODCALLTYPE get_Actions(IScheduleActions** pVal) override;
  HRESULT STDMETHODCALLTYPE put_Actions(IScheduleActions* newVal) override;
  HRESULT STDMETHODCALLTYPE get_LastRunTime(FILETIME* pVal) override { return get_time(last_run_time_, pVal); }
  HRESULT STDMETHODCALLTYPE put_LastRunTime(FILETIME newVal) override { return put_time(last_run_time_, newVal); }
  HRESULT STDMETHODCALLTYPE get_Created(FILETIME* pVal) override { return get_time(created_, pVal); }
  HRESULT STDMETHODCALLTYPE put_Created(FILETIME newVal) override { return put_time(created_, newVal); }
  HRESULT STDMETHODCALLTYPE get_LastTaskResult(HRESULT* pVal) override;
  HRESULT STDMETHODCALLTYPE put_LastTaskResult(HRESULT newVal) override;
  HRESULT STDMETHODCALLTYPE Run(IUnknown* pServiceProvider) override;
  HRESULT STDMETHODCALLTYPE Copy(IScheduleItem* pCopy) override;
  HRESULT STDMETHODCALLTYPE Clone(IScheduleItem** ppClone) override;
  HRESULT STDMETHODCALLTYPE Update() override;

  // IServiceProvider: passed on to the site; the item offers no service of its own.
  HRESULT STDMETHODCALLTYPE QueryService(REFGUID guidService, REFIID riid, void** ppv) override;
  // IPersist
  HRESULT STDMETHODCALLTYPE GetClassID(CLSID* pClassID) override;
  // IObjectWithBackReferences: nothing to end.
  HRESULT STDMETHODCALLTYPE Disconnect() override { return S_OK; }
  // IXMLArchiveSerializable
  HRESULT STDMETHODCALLTYPE Serialize(IXMLArchive* pArchive, IXMLDOMNode* pNode) override;

 private:
  using flag = std::atomic<VARIANT_BOOL>;
  using time = std::atomic<uint64_t>;  // FILETIME as one 64-bit value, so no reader sees it torn
  static HRESULT get_flag(const flag& f, VARIANT_BOOL* out);
  static HRESULT put_flag(flag& f, VARIANT_BOOL value);
  static HRESULT get_time(const time& t, FILETIME* out);
  static HRESULT put_time(time& t, FILETIME value);
  // Access to the fields guarded by fields_mutex_, named by member pointer.
  HRESULT get_text(std::u16string CScheduleItem::*text, BSTR* out);
  HRESULT put_text(std::u16string CScheduleItem::*text, BSTR value);
  template <class T>
  comrt::com_ptr<T> read(comrt::com_ptr<T> CScheduleItem::*field);
  template <class T>
  void replace(comrt::com_ptr<T> CScheduleItem::*field, T* value);
  void reset();
  // Replaces the trigger collection and its published copy; the old one is retired.
  void replace_triggers(comrt::com_ptr<IScheduleTriggers> triggers);
  void load(CXMLDataExchange& dx);
  void store(CXMLDataExchange& dx);

  // Flags, times and the last result are single atomic values. The texts, the identifier and the
  // collection references are guarded by fields_mutex_, a lock of their own so that reading a
  // property never waits for the sink list (guarded by the object lock).
  flag save_{VARIANT_TRUE};
  flag enable_{VARIANT_TRUE};
  flag schedule_run_{VARIANT_FALSE};
  // triggers_ as a plain pointer holding a reference of its own, for lock-free readers; the low
  // bit marks a CScheduleTriggers (stored as such). Beside the flags: the tick reads them together.
  std::atomic<uintptr_t> published_triggers_{0};
  time last_run_time_{0};
  time created_{0};
  std::atomic<HRESULT> last_task_result_{E_FAIL};

  mutable comrt::mutex fields_mutex_;
  GUID id_ COMRT_GUARDED_BY(fields_mutex_){};
  std::u16string name_ COMRT_GUARDED_BY(fields_mutex_);
  std::u16string description_ COMRT_GUARDED_BY(fields_mutex_);
  comrt::com_ptr<IScheduleTriggers> triggers_ COMRT_GUARDED_BY(fields_mutex_);
  comrt::com_ptr<IScheduleActions> actions_ COMRT_GUARDED_BY(fields_mutex_);
};

}  // namespace tolvane
