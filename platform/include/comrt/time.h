// C++ helpers over the runtime's time functions: FILETIME ticks, Unix seconds, calendar fields, and
// the C runtime's 64-bit time functions with their range. Everything reads the runtime's one clock
// and the local zone from TZ.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>

#include "comrt/timeapi.h"

namespace comrt {

// A FILETIME counts 100 ns ticks since 1601-01-01 00:00:00 UTC.
inline constexpr uint64_t ticks_per_second = 10'000'000;
inline constexpr int64_t seconds_1601_to_1970 = 11'644'473'600;
inline constexpr uint64_t unix_epoch_ticks = 116'444'736'000'000'000;  // 1970-01-01 00:00:00 UTC

constexpr uint64_t to_ticks(const FILETIME& ft) noexcept {
  return uint64_t{ft.dwHighDateTime} << 32 | ft.dwLowDateTime;
}

constexpr FILETIME to_filetime(uint64_t ticks) noexcept {
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

// Ticks of a Unix time: (seconds + 11644473600) * 10^7, in unsigned arithmetic. Meaningful for
// seconds from 1601 on.
constexpr uint64_t unix_to_ticks(int64_t seconds) noexcept {
  return (static_cast<uint64_t>(seconds) + static_cast<uint64_t>(seconds_1601_to_1970)) * ticks_per_second;
}

// Unix time of a tick count, rounded down to the whole second (negative before 1970).
constexpr int64_t ticks_to_unix(uint64_t ticks) noexcept {
  if (ticks >= unix_epoch_ticks) return static_cast<int64_t>((ticks - unix_epoch_ticks) / ticks_per_second);
  const uint64_t before = unix_epoch_ticks - ticks;
  return -static_cast<int64_t>((before + ticks_per_second - 1) / ticks_per_second);
}

inline FILETIME now_filetime() noexcept {
  FILETIME ft{};
  GetSystemTimeAsFileTime(&ft);
  return ft;
}

inline uint64_t now_ticks() noexcept { return to_ticks(now_filetime()); }

// The current Unix time in whole seconds.
inline int64_t now_unix() noexcept { return RtTime64(); }

// UTC calendar fields of a tick count; nothing when it has none (ticks of 2^63 and above).
inline std::optional<SYSTEMTIME> ticks_to_systemtime(uint64_t ticks) noexcept {
  const FILETIME ft = to_filetime(ticks);
  SYSTEMTIME st{};
  if (!FileTimeToSystemTime(&ft, &st)) return std::nullopt;
  return st;
}

// Ticks of UTC calendar fields; nothing when a field is out of range.
inline std::optional<uint64_t> systemtime_to_ticks(const SYSTEMTIME& st) noexcept {
  FILETIME ft{};
  if (!SystemTimeToFileTime(&st, &ft)) return std::nullopt;
  return to_ticks(ft);
}

namespace detail {

inline SYSTEMTIME fields_of(const std::tm& tm) noexcept {
  SYSTEMTIME st{};
  st.wYear = static_cast<WORD>(tm.tm_year + 1900);
  st.wMonth = static_cast<WORD>(tm.tm_mon + 1);
  st.wDayOfWeek = static_cast<WORD>(tm.tm_wday);
  st.wDay = static_cast<WORD>(tm.tm_mday);
  st.wHour = static_cast<WORD>(tm.tm_hour);
  st.wMinute = static_cast<WORD>(tm.tm_min);
  st.wSecond = static_cast<WORD>(tm.tm_sec);
  return st;
}

// Local breakdown under the zone TZ names now. localtime_r alone may keep a zone read earlier, so
// the zone is refreshed first (cheap when TZ has not changed).
inline bool local_tm(int64_t t, std::tm& out) noexcept {
  tzset();
  const std::time_t tt = static_cast<std::time_t>(t);
  return localtime_r(&tt, &out) != nullptr;
}

// mktime, telling a refused conversion apart from the valid result -1: mktime sets the day of
// week only when it succeeds.
inline std::optional<int64_t> make_time(std::tm tm) noexcept {
  tm.tm_isdst = -1;
  tm.tm_wday = -1;
  const std::time_t t = std::mktime(&tm);
  if (t == static_cast<std::time_t>(-1) && tm.tm_wday == -1) return std::nullopt;
  return static_cast<int64_t>(t);
}

}  // namespace detail

// ----------------------------------------------------------------------------------------------
// The C runtime's 64-bit time functions (gmtime, localtime, mktime) with their range: Unix times
// from 0 (1970-01-01 00:00:00 UTC) to the last second of the year 3000. Fields carry the day of
// week and milliseconds 0.

inline constexpr int64_t crt_time_max = 32'535'215'999;  // 3000-12-31 23:59:59 UTC

constexpr bool in_crt_range(int64_t t) noexcept { return t >= 0 && t <= crt_time_max; }

// UTC fields of a Unix time.
inline std::optional<SYSTEMTIME> gmtime64(int64_t t) noexcept {
  if (!in_crt_range(t)) return std::nullopt;
  const std::time_t tt = static_cast<std::time_t>(t);
  std::tm tm{};
  if (!gmtime_r(&tt, &tm)) return std::nullopt;
  return detail::fields_of(tm);
}

// Local fields of a Unix time, with the zone's rule on that date.
inline std::optional<SYSTEMTIME> localtime64(int64_t t) noexcept {
  std::tm tm{};
  if (!in_crt_range(t) || !detail::local_tm(t, tm)) return std::nullopt;
  return detail::fields_of(tm);
}

// Unix time of local fields, daylight saving decided by the zone's rule for that date. Fields out
// of their range are normalised (31 February of a common year is 3 March); the day of week and
// milliseconds are ignored. Nothing when the result lies outside the range.
inline std::optional<int64_t> mktime64(const SYSTEMTIME& local) noexcept {
  std::tm tm{};
  tm.tm_year = local.wYear - 1900;
  tm.tm_mon = local.wMonth - 1;
  tm.tm_mday = local.wDay;
  tm.tm_hour = local.wHour;
  tm.tm_min = local.wMinute;
  tm.tm_sec = local.wSecond;
  const std::optional<int64_t> t = detail::make_time(tm);
  if (!t || !in_crt_range(*t)) return std::nullopt;
  return t;
}

// ----------------------------------------------------------------------------------------------
// Local wall-clock seconds: the local calendar reading at an instant, counted in seconds since
// 1970-01-01 00:00:00 as if it were UTC. Adding 86400 gives the same reading on the next day.

// The wall-clock reading at Unix time t, under the zone's rule on that date.
inline std::optional<int64_t> local_wallclock_from_unix(int64_t t) noexcept {
  std::tm tm{};
  if (!detail::local_tm(t, tm)) return std::nullopt;
  return t + tm.tm_gmtoff;
}

// The Unix time at which the local clock reads `wall`. A reading inside a daylight-saving gap or
// overlap is resolved as mktime resolves it.
inline std::optional<int64_t> unix_from_local_wallclock(int64_t wall) noexcept {
  const std::time_t tt = static_cast<std::time_t>(wall);
  std::tm tm{};
  if (!gmtime_r(&tt, &tm)) return std::nullopt;
  return detail::make_time(tm);
}

}  // namespace comrt
