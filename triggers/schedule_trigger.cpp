#include "triggers/schedule_trigger.h"

#include <algorithm>
#include <limits>

#include <comrt/site.h>
#include <comrt/time.h>
#include <comrt/variant.h>

#include "persistence/xml_archive.h"
#include "triggers/trigger_texts.h"

namespace tolvane {

namespace {

VARIANT_BOOL normalised(VARIANT_BOOL value) noexcept { return value ? VARIANT_TRUE : VARIANT_FALSE; }

HRESULT hand_out(const std::u16string& text, BSTR* out) {
  *out = comrt::bstr(text).detach();
  return S_OK;
}

}  // namespace

CScheduleScheduleTrigger::CScheduleScheduleTrigger() {
  // The start is "now" in the clock the trigger starts with: local wall-clock seconds.
  comrt::lock_guard guard(mutex_);
  fields_.start = schedule::now(false);
  publish();
}

void CScheduleScheduleTrigger::publish() {
  const fields& f = fields_;
  // Due while enabled, pending, at or after both the start and the next occurrence, and before
  // the expiry.
  const int64_t from =
      f.enable != VARIANT_FALSE && f.pending() ? std::max(f.start, f.next) : std::numeric_limits<int64_t>::max();
  const int64_t until = f.expire != 0 ? f.expire : std::numeric_limits<int64_t>::max();
  // Sequentially consistent throughout (plain loads on the reading side on common hardware): a
  // reader that sees any of the new values also sees the odd count that announced them.
  const uint32_t seq = window_seq_.load();
  window_seq_.store(seq + 1);
  due_from_.store(from);
  due_until_.store(until);
  due_utc_.store(f.utc != VARIANT_FALSE);
  window_seq_.store(seq + 2);
}

CScheduleScheduleTrigger::fields CScheduleScheduleTrigger::snapshot() const {
  comrt::lock_guard guard(mutex_);
  return fields_;
}

// ---------------------------------------------------------------------------------------------
// IScheduleTrigger

HRESULT CScheduleScheduleTrigger::get_Name(BSTR* pVal) {
  return comrt::boundary([&] {
    comrt::init_out(pVal);
    return hand_out(schedule_trigger_name(snapshot().recurrence), pVal);
  });
}

HRESULT CScheduleScheduleTrigger::ToString(BSTR* pVal) {
  return comrt::boundary([&] {
    comrt::init_out(pVal);
    const fields f = snapshot();
    const std::optional<SYSTEMTIME> start = schedule::calendar_fields(f.start, f.utc != VARIANT_FALSE);
    if (!start) return E_FAIL;
    return hand_out(schedule_trigger_description(f.recurrence, *start, f.week_mask, f.interval), pVal);
  });
}

HRESULT CScheduleScheduleTrigger::Clone(IScheduleTrigger** ppClone) {
  return comrt::boundary([&] {
    comrt::init_out(ppClone);
    auto clone = comrt::make<CScheduleScheduleTrigger>();
    comrt::check_hresult(clone->Copy(this));
    *ppClone = clone.as<IScheduleTrigger>().detach();
  });
}

HRESULT CScheduleScheduleTrigger::IsSet() {
  for (;;) {
    const uint32_t seq = window_seq_.load();
    if (seq & 1) continue;  // a write is in progress
    const int64_t from = due_from_.load();
    const int64_t until = due_until_.load();
    const bool utc = due_utc_.load();
    if (window_seq_.load() != seq) continue;
    const int64_t now = schedule::now(utc);
    return now >= from && now < until ? S_OK : S_FALSE;
  }
}

HRESULT CScheduleScheduleTrigger::Next() {
  {
    comrt::lock_guard guard(mutex_);
    const int64_t now = schedule::now(fields_.utc != VARIANT_FALSE);
    if (!fields_.active(now) || now < fields_.next) return S_OK;
    fields_.last = fields_.next;
    publish();
  }
  // Through the interface, as a caller would; a failed update leaves the trigger as it left it.
  static_cast<IScheduleScheduleTrigger*>(this)->UpdateNextOccurrence();
  return S_OK;
}

HRESULT CScheduleScheduleTrigger::HasNextOccurrence() {
  const fields f = snapshot();
  if (f.enable == VARIANT_FALSE) return S_FALSE;
  if (f.expired(schedule::now(f.utc != VARIANT_FALSE))) return S_FALSE;
  return f.pending() ? S_OK : S_FALSE;
}

// ---------------------------------------------------------------------------------------------
// Occurrences and the clock

HRESULT CScheduleScheduleTrigger::UpdateNextOccurrence() {
  return comrt::boundary([&] {
    // Computed under the lock (a bounded number of calendar operations, no calls out), so the
    // result always belongs to the settings it is stored with.
    comrt::lock_guard guard(mutex_);
    const bool utc = fields_.utc != VARIANT_FALSE;
    const schedule::next_result r = schedule::next_occurrence(
        {fields_.recurrence, fields_.week_mask, fields_.interval, fields_.start, fields_.last, utc},
        schedule::now(utc));
    if (r.next) fields_.next = *r.next;
    publish();
    return r.status;
  });
}

HRESULT CScheduleScheduleTrigger::ChangeUTC(VARIANT_BOOL newValue) {
  const VARIANT_BOOL utc = normalised(newValue);
  comrt::lock_guard guard(mutex_);
  if (utc == fields_.utc) return S_OK;
  const auto convert = utc ? schedule::local_to_utc : schedule::utc_to_local;
  for (int64_t* t : {&fields_.last, &fields_.next, &fields_.start, &fields_.expire}) {
    if (*t > 0) *t = convert(*t);
  }
  fields_.utc = utc;
  publish();
  return S_OK;
}

// ---------------------------------------------------------------------------------------------
// Properties

HRESULT CScheduleScheduleTrigger::get_date(time_field field, DATE* out) const {
  if (!out) return E_POINTER;
  *out = 0.0;
  // The stored number is taken as Unix time and shown as a local date.
  std::optional<SYSTEMTIME> local = comrt::localtime64(snapshot().*field);
  DATE date = 0.0;
  if (local && SystemTimeToVariantTime(&*local, &date)) *out = date;
  return S_OK;
}

HRESULT CScheduleScheduleTrigger::put_date(time_field field, DATE value, bool report_failure) {
  SYSTEMTIME st{};
  if (!VariantTimeToSystemTime(value, &st)) return report_failure ? E_INVALIDARG : S_OK;
  int64_t t = 0;
  const HRESULT hr = schedule::from_calendar_fields(st, true, &t);
  if (FAILED(hr)) return report_failure ? hr : S_OK;
  edit([&](fields& f) { f.*field = t; });
  return S_OK;
}

HRESULT CScheduleScheduleTrigger::get_raw(time_field field, ULONGLONG* out) const {
  if (!out) return E_POINTER;
  *out = static_cast<ULONGLONG>(snapshot().*field);
  return S_OK;
}

HRESULT CScheduleScheduleTrigger::put_raw(time_field field, ULONGLONG value) {
  edit([&](fields& f) { f.*field = static_cast<int64_t>(value); });
  return S_OK;
}

HRESULT CScheduleScheduleTrigger::get_Enable(VARIANT_BOOL* pVal) {
  if (!pVal) return E_POINTER;
  *pVal = snapshot().enable;
  return S_OK;
}

HRESULT CScheduleScheduleTrigger::put_Enable(VARIANT_BOOL newVal) {
  edit([&](fields& f) { f.enable = normalised(newVal); });
  return S_OK;
}

HRESULT CScheduleScheduleTrigger::get_RecurrenceTimeInterval(LONG* pVal) {
  if (!pVal) return E_POINTER;
  *pVal = static_cast<LONG>(snapshot().interval);
  return S_OK;
}

HRESULT CScheduleScheduleTrigger::put_RecurrenceTimeInterval(LONG newVal) {
  edit([&](fields& f) { f.interval = newVal; });
  return S_OK;
}

HRESULT CScheduleScheduleTrigger::get_Recurrence(ScheduleScheduleTriggerRecurrence* pVal) {
  if (!pVal) return E_POINTER;
  *pVal = static_cast<ScheduleScheduleTriggerRecurrence>(snapshot().recurrence);
  return S_OK;
}

HRESULT CScheduleScheduleTrigger::put_Recurrence(ScheduleScheduleTriggerRecurrence newVal) {
  edit([&](fields& f) { f.recurrence = newVal; });
  return S_OK;
}

HRESULT CScheduleScheduleTrigger::get_WeekMask(ScheduleScheduleTriggerWeekMask* pVal) {
  if (!pVal) return E_POINTER;
  *pVal = static_cast<ScheduleScheduleTriggerWeekMask>(snapshot().week_mask);
  return S_OK;
}

HRESULT CScheduleScheduleTrigger::put_WeekMask(ScheduleScheduleTriggerWeekMask newVal) {
  edit([&](fields& f) { f.week_mask = newVal; });
  return S_OK;
}

HRESULT CScheduleScheduleTrigger::get_UTC(VARIANT_BOOL* pVal) {
  if (!pVal) return E_POINTER;
  *pVal = snapshot().utc;
  return S_OK;
}

HRESULT CScheduleScheduleTrigger::put_UTC(VARIANT_BOOL newVal) {
  edit([&](fields& f) { f.utc = normalised(newVal); });
  return S_OK;
}

// ---------------------------------------------------------------------------------------------
// Copy, identity, persistence

HRESULT CScheduleScheduleTrigger::Copy(IScheduleScheduleTrigger* pCopy) {
  return comrt::boundary([&] {
    if (!pCopy) return E_INVALIDARG;
    // Each value is stored as soon as it has been read; the first failing read ends the copy.
    ULONGLONG t = 0;
    comrt::check_hresult(pCopy->get_ExpireTimeAsUnixTime(&t));
    put_raw(&fields::expire, t);
    comrt::check_hresult(pCopy->get_StartTimeAsUnixTime(&t));
    put_raw(&fields::start, t);
    LONG interval = 0;
    comrt::check_hresult(pCopy->get_RecurrenceTimeInterval(&interval));
    put_RecurrenceTimeInterval(interval);
    const auto occurrence = comrt::com_ptr<IScheduleScheduleTrigger>(pCopy).try_as<IScheduleTriggerWithOccurrence>();
    if (!occurrence) return E_FAIL;
    comrt::check_hresult(occurrence->NextOccurrence(&t));
    put_raw(&fields::next, t);
    comrt::check_hresult(pCopy->get_LastOccurrenceAsUnixTime(&t));
    put_raw(&fields::last, t);
    VARIANT_BOOL flag = VARIANT_FALSE;
    comrt::check_hresult(pCopy->get_Enable(&flag));
    edit([&](fields& f) { f.enable = flag; });
    ScheduleScheduleTriggerRecurrence recurrence{};
    comrt::check_hresult(pCopy->get_Recurrence(&recurrence));
    put_Recurrence(recurrence);
    ScheduleScheduleTriggerWeekMask mask{};
    comrt::check_hresult(pCopy->get_WeekMask(&mask));
    put_WeekMask(mask);
    comrt::check_hresult(pCopy->get_UTC(&flag));
    edit([&](fields& f) { f.utc = flag; });
    return S_OK;
  });
}

HRESULT CScheduleScheduleTrigger::GetClassID(CLSID* pClassID) {
  return comrt::persist_class_id(pClassID, CLSID_ScheduleScheduleTrigger);
}

// The fields travel with the schedule file; reading and writing them belongs to the archive.
// Format version 2 added "UTC"; a trigger of version 1 counted in UTC. Times are whole seconds in
// the trigger's clock, written as dates; the interval as a period.
HRESULT CScheduleScheduleTrigger::Serialize(IXMLArchive* pArchive, IXMLDOMNode* pNode) {
  return comrt::boundary([&] {
    using comrt::check_hresult;
    CXMLDataExchange dx(comrt::check_pointer(pArchive), pNode);
    fields f = snapshot();
    auto time = [&](const char16_t* name, int64_t& field) {
      ULONGLONG value = static_cast<ULONGLONG>(field);
      const HRESULT hr = pArchive->ExchangeTime(pNode, name, &value);
      if (hr == S_OK) field = static_cast<int64_t>(value);
      return hr;
    };
    auto number = [&](const char16_t* name, int32_t& field) {
      LONG value = field;
      const HRESULT hr = dx.ExchangeLong(name, value);
      if (hr == S_OK) field = value;
      return hr;
    };
    auto flag = [&](const char16_t* name, VARIANT_BOOL& field) { return dx.ExchangeFlag(name, field); };

    if (dx.loading()) {
      int32_t version = 1;
      number(u"Version", version);
      number(u"Recurrence", f.recurrence);
      number(u"WeekMask", f.week_mask);
      time(u"StartTime", f.start);
      time(u"ExpireTime", f.expire);
      time(u"NextRunTime", f.next);
      time(u"LastRunTime", f.last);
      flag(u"Enable", f.enable);
      if (flag(u"UTC", f.utc) != S_OK) f.utc = version == 1 ? VARIANT_TRUE : VARIANT_FALSE;
      ULONGLONG interval = static_cast<ULONGLONG>(f.interval);
      if (pArchive->ExchangeTimeSpan(pNode, u"RecurrenceTimeInterval", &interval) == S_OK) {
        f.interval = static_cast<int64_t>(interval);
      }
      edit([&](fields& current) { current = f; });
      // A stored next occurrence gives way to one computed now; its status is of no concern here.
      UpdateNextOccurrence();
      return;
    }
    int32_t version = 2;
    check_hresult(number(u"Version", version));
    check_hresult(number(u"Recurrence", f.recurrence));
    if (f.week_mask != 0) check_hresult(number(u"WeekMask", f.week_mask));
    check_hresult(time(u"StartTime", f.start));
    if (f.expire > 0) check_hresult(time(u"ExpireTime", f.expire));
    if (f.next > 0) check_hresult(time(u"NextRunTime", f.next));
    if (f.last > 0) check_hresult(time(u"LastRunTime", f.last));
    check_hresult(flag(u"Enable", f.enable));
    check_hresult(flag(u"UTC", f.utc));
    if (f.interval > 0) {
      ULONGLONG interval = static_cast<ULONGLONG>(f.interval);
      check_hresult(pArchive->ExchangeTimeSpan(pNode, u"RecurrenceTimeInterval", &interval));
    }
  });
}

}  // namespace tolvane
