// FILETIME and SYSTEMTIME conversions, UTC and local. Invalid input returns FALSE and leaves the
// output as it was.
#include <ctime>
#include <limits>

#include "calendar.h"
#include "comrt/time.h"

namespace {

namespace cal = comrt::calendar;

constexpr int64_t min_system_year = 1601;
constexpr int64_t max_system_year = 30827;
constexpr uint64_t max_filetime = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
constexpr uint64_t ticks_per_ms = 10'000;

static_assert(comrt::crt_time_max == cal::days_from_civil(3001, 1, 1) * cal::seconds_per_day - 1);
static_assert(comrt::unix_epoch_ticks ==
              static_cast<uint64_t>(-cal::days_from_civil(1601, 1, 1)) * cal::seconds_per_day * comrt::ticks_per_second);

bool valid_system_time(const SYSTEMTIME& st) noexcept {
  return cal::valid_fields(st, min_system_year, max_system_year, true);
}

// Seconds since 1970 of UTC fields that valid_system_time accepted.
int64_t unix_of(const SYSTEMTIME& st) noexcept { return cal::seconds_from_fields(st); }

// The zone's offset from UTC in force now, in seconds east of UTC.
bool current_utc_offset(int64_t& offset) noexcept {
  std::tm tm{};
  if (!comrt::detail::local_tm(comrt::ticks_to_unix(cal::now_ticks()), tm)) return false;
  offset = tm.tm_gmtoff;
  return true;
}

// Shifts a file time by a number of seconds; FALSE when the result leaves [0, 2^63).
BOOL shift_filetime(const FILETIME* in, FILETIME* out, int64_t seconds) noexcept {
  if (!in || !out) return FALSE;
  const uint64_t ticks = comrt::to_ticks(*in);
  if (ticks > max_filetime) return FALSE;
  int64_t shifted = 0;
  if (__builtin_add_overflow(static_cast<int64_t>(ticks), seconds * static_cast<int64_t>(comrt::ticks_per_second),
                             &shifted) ||
      shifted < 0)
    return FALSE;
  *out = comrt::to_filetime(static_cast<uint64_t>(shifted));
  return TRUE;
}

}  // namespace

COMRT_API BOOL FileTimeToSystemTime(const FILETIME* lpFileTime, SYSTEMTIME* lpSystemTime) {
  if (!lpFileTime || !lpSystemTime) return FALSE;
  const uint64_t ticks = comrt::to_ticks(*lpFileTime);
  if (ticks > max_filetime) return FALSE;
  const auto seconds = static_cast<int64_t>(ticks / comrt::ticks_per_second) - comrt::seconds_1601_to_1970;
  const auto ms = static_cast<WORD>(ticks % comrt::ticks_per_second / ticks_per_ms);
  *lpSystemTime = cal::fields_from_seconds(seconds, ms);
  return TRUE;
}

COMRT_API BOOL SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, FILETIME* lpFileTime) {
  if (!lpSystemTime || !lpFileTime || !valid_system_time(*lpSystemTime)) return FALSE;
  const SYSTEMTIME& st = *lpSystemTime;
  const auto seconds = static_cast<uint64_t>(unix_of(st) + comrt::seconds_1601_to_1970);
  *lpFileTime = comrt::to_filetime(seconds * comrt::ticks_per_second + st.wMilliseconds * ticks_per_ms);
  return TRUE;
}

// Both directions apply the offset in force now, whatever the date of the value converted.
COMRT_API BOOL FileTimeToLocalFileTime(const FILETIME* lpFileTime, FILETIME* lpLocalFileTime) {
  int64_t offset = 0;
  return current_utc_offset(offset) && shift_filetime(lpFileTime, lpLocalFileTime, offset);
}

COMRT_API BOOL LocalFileTimeToFileTime(const FILETIME* lpLocalFileTime, FILETIME* lpFileTime) {
  int64_t offset = 0;
  return current_utc_offset(offset) && shift_filetime(lpLocalFileTime, lpFileTime, -offset);
}

// Local time of a UTC time under the rule that the current zone applies on that date.
COMRT_API BOOL SystemTimeToTzSpecificLocalTime(const TIME_ZONE_INFORMATION* lpTimeZoneInformation,
                                               const SYSTEMTIME* lpUniversalTime, SYSTEMTIME* lpLocalTime) {
  if (lpTimeZoneInformation || !lpUniversalTime || !lpLocalTime || !valid_system_time(*lpUniversalTime))
    return FALSE;
  const WORD ms = lpUniversalTime->wMilliseconds;
  std::tm tm{};
  if (!comrt::detail::local_tm(unix_of(*lpUniversalTime), tm)) return FALSE;
  const int64_t year = int64_t{tm.tm_year} + 1900;
  if (year < min_system_year || year > max_system_year) return FALSE;
  *lpLocalTime = comrt::detail::fields_of(tm);
  lpLocalTime->wMilliseconds = ms;
  return TRUE;
}
