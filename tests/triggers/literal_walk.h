// The time trigger's Weekly and Monthly recurrences computed the plain way: one day or one month at
// a time from the base, each step through the platform's own conversions. The trigger's bounded
// computation must give exactly these results; the benchmark measures both.
#pragma once

#include <time.h>

#include <algorithm>
#include <cstdint>
#include <optional>

#include <comrt/time.h>
#include <comrt/timeapi.h>

namespace literal {

struct result {
  HRESULT status = S_OK;
  std::optional<int64_t> next;  // nothing: the next occurrence stays as it was
  bool operator==(const result&) const = default;
};

// Local calendar fields of a stored time (see the trigger's two clocks).
inline std::optional<SYSTEMTIME> fields(int64_t t, bool utc) {
  if (!utc) return comrt::gmtime64(t);
  const FILETIME ft = comrt::to_filetime(comrt::unix_to_ticks(t));
  SYSTEMTIME universal{};
  SYSTEMTIME local{};
  if (!FileTimeToSystemTime(&ft, &universal) || !SystemTimeToTzSpecificLocalTime(nullptr, &universal, &local))
    return std::nullopt;
  return local;
}

// Offset from UTC at an instant.
inline int64_t offset_at(int64_t u) {
  tzset();
  const time_t tt = static_cast<time_t>(u);
  std::tm tm{};
  localtime_r(&tt, &tm);
  return tm.tm_gmtoff;
}

// The instant at which the local clock reads the wall-clock seconds w: its first time when it reads
// it twice; with the offset before the change when it skips it. (One change within a day at most.)
inline int64_t local_instant(int64_t w) {
  const int64_t before = offset_at(w - 86400);
  const int64_t after = offset_at(w + 86400);
  const bool early = offset_at(w - before) == before;
  const bool late = offset_at(w - after) == after;
  if (early && late) return std::min(w - before, w - after);
  if (late) return w - after;
  return w - before;
}

// Stepped fields back to a stored time: a local date (UTC clock) or the fields taken as UTC (local
// clock).
inline HRESULT from_fields(const SYSTEMTIME& f, bool utc, int64_t& out) {
  if (f.wYear < 1900) {
    out = 0;
    return S_OK;
  }
  if (f.wMonth < 1 || f.wMonth > 12 || f.wDay < 1 || f.wDay > 31 || f.wHour > 23 || f.wMinute > 59 || f.wSecond > 59)
    return E_FAIL;
  std::tm tm{};
  tm.tm_year = f.wYear - 1900;
  tm.tm_mon = f.wMonth - 1;
  tm.tm_mday = f.wDay;
  tm.tm_hour = f.wHour;
  tm.tm_min = f.wMinute;
  tm.tm_sec = f.wSecond;
  const int64_t wall = timegm(&tm);
  const int64_t t = utc ? local_instant(wall) : wall;
  if (!comrt::in_crt_range(t)) return E_INVALIDARG;
  out = t;
  return S_OK;
}

inline result weekly(int64_t base, int64_t now, int32_t mask, bool utc) {
  if ((mask & 0x7f) == 0) return {E_FAIL, std::nullopt};
  for (int64_t t = base;; t += 86400) {
    const auto f = fields(t, utc);
    if (!f) return {S_OK, std::nullopt};
    if ((mask & (1 << f->wDayOfWeek)) && t > now) return {S_OK, t};
  }
}

inline result monthly(int64_t base, int64_t now, bool utc) {
  int64_t t = base;
  while (t <= now) {
    auto f = fields(t, utc);
    if (!f) return {S_OK, t};
    if (f->wMonth == 12) {
      ++f->wYear;
      f->wMonth = 1;
    } else {
      ++f->wMonth;
    }
    const HRESULT hr = from_fields(*f, utc, t);
    if (FAILED(hr)) return {hr, std::nullopt};
  }
  return {S_OK, t};
}

}  // namespace literal
