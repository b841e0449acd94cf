// CScheduleScheduleTrigger: the time trigger. It makes its item due once at a start time, or every
// N seconds, every day, on chosen days of the week or every month, until an optional expiry time.
// It keeps the occurrence that fired last and the next one; the scheduler thread asks IsSet on
// every tick and calls Next after a run, and the host reads, edits and recomputes it
// (UpdateNextOccurrence) through IScheduleScheduleTrigger.
//
// All stored times are whole seconds in the trigger's clock (UTC flag): Unix time, or local
// wall-clock seconds (see triggers/schedule_calendar.h). Every reading of "now" goes through the
// runtime's clock.
//
// Our choices where the behaviour is otherwise open:
//   - Monthly in the local clock turns the stepped fields back into seconds by taking them as UTC,
//     the inverse of that clock's own breakdown, so the wall-clock time of day stays put from
//     month to month whatever the daylight-saving offset.
//   - A WeekMask that is not 0 but has none of the seven day bits fails Weekly with E_FAIL and
//     changes nothing, like a mask of 0.
//   - A date-typed put (StartTime, ExpireTime) of a date after the year 3000, which has calendar
//     fields but no stored value, fails with E_INVALIDARG and stores nothing; LastOccurrence
//     answers S_OK and stores nothing, as for any date it cannot store.
//   - Null out-pointers give E_POINTER; Copy with a null pCopy gives E_INVALIDARG.
//   - The fields are guarded by a lock of their own, so a host thread may edit the trigger while
//     the scheduler thread evaluates it; each operation sees and leaves a consistent set of fields
//     (Next moves on only from the occurrence it found due).
//   - UtcToLocal/LocalToUtc of a value whose file time cannot be shifted give 0.
#pragma once

#include <atomic>
#include <cstdint>

#include <comrt/dispatch.h>
#include <comrt/site.h>

#include "Scheduler.h"
#include "XMLArchive.h"
#include "server/typelib.h"
#include "triggers/schedule_calendar.h"

namespace tolvane {

class CScheduleScheduleTrigger final
    : public comrt::implements<CScheduleScheduleTrigger, IScheduleScheduleTrigger, IScheduleTriggerWithOccurrence,
                               IXMLArchiveSerializable, IPersist, comrt::free_threaded> {
 public:
  static constexpr const CLSID& class_id = CLSID_ScheduleScheduleTrigger;

  CScheduleScheduleTrigger();

  // IScheduleTrigger
  HRESULT STDMETHODCALLTYPE get_Name(BSTR* pVal) override;
  HRESULT STDMETHODCALLTYPE Clone(IScheduleTrigger** ppClone) override;
  HRESULT STDMETHODCALLTYPE IsSet() override;
  HRESULT STDMETHODCALLTYPE Next() override;
  HRESULT STDMETHODCALLTYPE ToString(BSTR* pVal) override;

  // IScheduleScheduleTrigger
  HRESULT STDMETHODCALLTYPE Copy(IScheduleScheduleTrigger* pCopy) override;
  HRESULT STDMETHODCALLTYPE get_Enable(VARIANT_BOOL* pVal) override;
  HRESULT STDMETHODCALLTYPE put_Enable(VARIANT_BOOL newVal) override;
  HRESULT STDMETHODCALLTYPE get_StartTime(DATE* pVal) override { return get_date(&fields::start, pVal); }
  HRESULT STDMETHODCALLTYPE put_StartTime(DATE newVal) override { return put_date(&fields::start, newVal, true); }
  HRESULT STDMETHODCALLTYPE get_StartTimeAsUnixTime(ULONGLONG* pVal) override { return get_raw(&fields::start, pVal); }
  HRESULT STDMETHODCALLTYPE put_StartTimeAsUnixTime(ULONGLONG newVal) override { return put_raw(&fields::start, newVal); }
  HRESULT STDMETHODCALLTYPE get_ExpireTime(DATE* pVal) override { return get_date(&fields::expire, pVal); }
  HRESULT STDMETHODCALLTYPE put_ExpireTime(DATE newVal) override { return put_date(&fields::expire, newVal, true); }
  HRESULT STDMETHODCALLTYPE get_ExpireTimeAsUnixTime(ULONGLONG* pVal) override { return get_raw(&fields::expire, pVal); }
  HRESULT STDMETHODCALLTYPE put_ExpireTimeAsUnixTime(ULONGLONG newVal) override {
    return put_raw(&fields::expire, newVal);
  }
  HRESULT STDMETHODCALLTYPE get_LastOccurrence(DATE* pVal) override { return get_date(&fields::last, pVal); }
  HRESULT STDMETHODCALLTYPE put_LastOccurrence(DATE newVal) override { return put_date(&fields::last, newVal, false); }
  HRESULT STDMETHODCALLTYPE get_LastOccurrenceAsUnixTime(ULONGLONG* pVal) override {
    return get_raw(&fields::last, pVal);
  }
  HRESULT STDMETHODCALLTYPE put_LastOccurrenceAsUnixTime(ULONGLONG newVal) override {
    return put_raw(&fields::last, newVal);
  }
  HRESULT STDMETHODCALLTYPE get_RecurrenceTimeInterval(LONG* pVal) override;
  HRESULT STDMETHODCALLTYPE put_RecurrenceTimeInterval(LONG newVal) override;
  HRESULT STDMETHODCALLTYPE get_Recurrence(ScheduleScheduleTriggerRecurrence* pVal) override;
  HRESULT STDMETHODCALLTYPE put_Recurrence(ScheduleScheduleTriggerRecurrence newVal) override;
  HRESULT STDMETHODCALLTYPE get_WeekMask(ScheduleScheduleTriggerWeekMask* pVal) override;
  HRESULT STDMETHODCALLTYPE put_WeekMask(ScheduleScheduleTriggerWeekMask newVal) override;
  HRESULT STDMETHODCALLTYPE get_UTC(VARIANT_BOOL* pVal) override;
  HRESULT STDMETHODCALLTYPE put_UTC(VARIANT_BOOL newVal) override;
  HRESULT STDMETHODCALLTYPE ChangeUTC(VARIANT_BOOL newValue) override;
  HRESULT STDMETHODCALLTYPE UpdateNextOccurrence() override;

  // IScheduleTriggerWithOccurrence
  HRESULT STDMETHODCALLTYPE NextOccurrence(ULONGLONG* pVal) override { return get_raw(&fields::next, pVal); }
  HRESULT STDMETHODCALLTYPE HasNextOccurrence() override;

  // IPersist
  HRESULT STDMETHODCALLTYPE GetClassID(CLSID* pClassID) override;
  // IXMLArchiveSerializable: the fields are read and written with the schedule file.
  HRESULT STDMETHODCALLTYPE Serialize(IXMLArchive* pArchive, IXMLDOMNode* pNode) override;

 private:
  // The nine fields, in their documented order.
  struct fields {
    int64_t start = 0;
    int64_t expire = 0;  // 0: never expires
    int64_t interval = 0;
    VARIANT_BOOL enable = VARIANT_TRUE;
    int32_t recurrence = tvScheduleScheduleTriggerRecurrenceNone;
    int32_t week_mask = 0;
    int64_t last = 0;  // 0: nothing has fired yet
    int64_t next = 0;  // 0: not computed
    VARIANT_BOOL utc = VARIANT_FALSE;

    // Enabled, started and not expired at `now`.
    bool active(int64_t now) const noexcept { return enable != VARIANT_FALSE && now >= start && !expired(now); }
    bool expired(int64_t now) const noexcept { return expire != 0 && now >= expire; }
    bool pending() const noexcept { return next > last; }
  };
  using time_field = int64_t fields::*;

  fields snapshot() const;
  template <class F>
  void edit(F&& change) {
    comrt::lock_guard guard(mutex_);
    change(fields_);
    publish();
  }
  // Every change of the fields ends with publish(), which stores the window of "now" values in
  // which IsSet answers S_OK, so that IsSet (asked on every tick) reads it without the lock.
  void publish() COMRT_REQUIRES(mutex_);

  HRESULT get_date(time_field field, DATE* out) const;
  HRESULT put_date(time_field field, DATE value, bool report_failure);
  HRESULT get_raw(time_field field, ULONGLONG* out) const;
  HRESULT put_raw(time_field field, ULONGLONG value);

  mutable comrt::mutex mutex_;
  fields fields_ COMRT_GUARDED_BY(mutex_);

  // The published window [due_from_, due_until_) in the clock due_utc_, written under mutex_ as a
  // sequence lock: window_seq_ is odd while a write is in progress, and a reader that sees it
  // change reads again.
  std::atomic<uint32_t> window_seq_{0};
  std::atomic<int64_t> due_from_{INT64_MAX};
  std::atomic<int64_t> due_until_{INT64_MAX};
  std::atomic<bool> due_utc_{false};
};

}  // namespace tolvane
