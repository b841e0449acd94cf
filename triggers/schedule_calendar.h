// The time trigger's calendar: its two clocks, the conversions between stored seconds, file times
// and calendar fields, and the computation of the next occurrence of each recurrence.
//
// A stored time is a signed count of seconds since 1970-01-01 00:00:00 in one of two clocks:
//   - the UTC clock: Unix time;
//   - the local clock: the local wall-clock reading at an instant, counted as if it were UTC, so that
//     adding 86400 gives the same wall-clock time on the next day.
#pragma once

#include <cstdint>
#include <optional>

#include <comrt/timeapi.h>

namespace tolvane::schedule {

inline constexpr int64_t seconds_per_day = 86'400;

// ---------------------------------------------------------------------------------------------
// Conversions of single values

// File time of t: (t + 11644473600) * 10^7 in unsigned arithmetic (wraps for t before 1601).
uint64_t filetime_of(int64_t t) noexcept;
// Seconds of a file time: 0 below the file time of 1970-01-01, otherwise the whole seconds after it.
int64_t seconds_of(uint64_t filetime) noexcept;

// Shift by the zone's offset from UTC in force at the runtime clock's now, whatever the date of t.
// A value whose file time cannot be shifted (before 1601, or beyond the file-time range) gives 0.
int64_t utc_to_local(int64_t t) noexcept;
int64_t local_to_utc(int64_t t) noexcept;

// The runtime clock's now in the given clock. On a thread inside a tick_clock scope, the value
// read when the scope began (or was last refreshed).
int64_t now(bool utc) noexcept;

// Holds "now" in both clocks for the calling thread while it lives, so that a walk over many
// triggers reads the clock and the zone's offset once instead of once per trigger. The local
// value is computed on first use. Scopes do not nest. suspend() lets now() read the clock again
// until refresh() takes a new reading and holds it.
class tick_clock {
 public:
  tick_clock() noexcept;
  ~tick_clock();
  tick_clock(const tick_clock&) = delete;
  tick_clock& operator=(const tick_clock&) = delete;
  void refresh() noexcept;
  void suspend() noexcept;
  // Whether the calling thread holds "now" (a scope is open and not suspended).
  static bool active() noexcept;
};

// Calendar fields (year, month 1-12, day of week 0 = Sunday, day, hour, minute, second) of a stored
// time, in local terms. UTC clock: the local fields at the instant t under the zone's rule on that
// date (fails before 1601 and beyond the calendar). Local clock: the UTC breakdown of t (fails for
// a negative t and after the last second of the year 3000).
std::optional<SYSTEMTIME> calendar_fields(int64_t t, bool utc) noexcept;

// A stored time of calendar fields, the inverse of calendar_fields for each clock:
//   - a year below 1900 gives 0;
//   - month 1-12, day 1-31, hour 0-23, minute 0-59, second 0-59, otherwise E_FAIL;
//   - a day that the month lacks moves into the following month (31 February of a common year is
//     3 March);
//   - UTC clock: the fields are a local date and time under the zone's offset on that date; a
//     reading that the local clock shows twice (daylight saving ending) means the first time, a
//     reading that it skips (daylight saving starting) is taken with the offset before the change,
//     so it moves later by the length of the gap (02:30 becomes 03:30). Unlike mktime, whose choice
//     depends on its earlier calls, the answer depends on the fields alone.
//   - local clock: the fields are taken as UTC, so the wall-clock time of day is kept;
//   - a result outside 0 .. the last second of the year 3000 is refused with E_INVALIDARG.
// Returns the status and stores the value in *out on success.
HRESULT from_calendar_fields(const SYSTEMTIME& fields, bool utc, int64_t* out) noexcept;

// ---------------------------------------------------------------------------------------------
// The next occurrence

struct recurrence_settings {
  int32_t recurrence = 0;
  int32_t week_mask = 0;
  int64_t interval = 0;  // seconds of a Custom recurrence
  int64_t start = 0;
  int64_t last = 0;  // 0: nothing has fired yet
  bool utc = false;
};

struct next_result {
  HRESULT status = S_OK;
  std::optional<int64_t> next;  // the new next occurrence; nothing when it stays as it was
};

// The next occurrence after `now` (both in the settings' clock), computed from the base (the last
// occurrence, or the start while nothing has fired):
//   None: the start while nothing has fired, otherwise unchanged.
//   Custom, Daily: the first point base + k * interval (k >= 1) not below now, or base + interval
//     when now is the base; the base itself while it lies in the future. Custom with an interval
//     not above 0: E_FAIL with the base as the next occurrence.
//   Weekly: the first day from the base on, one day at a time in the trigger's clock (24-hour steps
//     in the UTC clock), that is later than now and whose local day of week is in the mask. E_FAIL
//     without a day bit in the mask; unchanged (S_OK) when a day has no calendar fields.
//   Monthly: the base stepped one month at a time (same day of month and time of day, a missing day
//     moved into the next month and the steps going on from there) until later than now. S_OK with
//     the value reached when that value has no calendar fields; the status of a step that cannot be
//     converted back.
//   Any other recurrence: E_FAIL, unchanged.
// However far the base lies in the past, the cost is a bounded number of calendar operations; the
// result is that of the walk one day or one month at a time.
next_result next_occurrence(const recurrence_settings& s, int64_t now);

}  // namespace tolvane::schedule
