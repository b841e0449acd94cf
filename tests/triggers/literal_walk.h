// The time trigger's Weekly and Monthly recurrences computed the plain way: one day or one month at
// a time from the base, each step through the platform's own conversions. The trigger's bounded
// computation must give exactly these results; the benchmark measures both.
#pragma once

#include <time.h>

#include <algorithm>
#include <optional>

#include <comrt/time.h>

namespace literal {

struct result {
  HRESULT status = S_OK;
  std::optional<int64_t> next;  // nothing: the next occurrence stays as it was
};

// Local calendar fields of a stored time in either clock.
inline std::optional<SYSTEMTIME> fields(int64_t t, bool utc) {
  if (!utc) return comrt::gmtime64(t);
  const FILETIME ft = comrt::to_filetime(comrt::unix_to_ticks(t));
  SYSTEMTIME universal{}, local{};
  if (FileTimeToSystemTime(&ft, &universal) && SystemTimeToTzSpecificLocalTime(nullptr, &universal, &local)) return local;
  return std::nullopt;
}

inline int64_t offset_at(int64_t u) {
  std::tm tm{};
  const time_t tt = u;
  tzset();
  return localtime_r(&tt, &tm) ? tm.tm_gmtoff : 0;
}

// Stepped fields back to a stored time. The UTC clock reads them as local: a reading shown twice
// means its first time, a skipped one is read with the offset before the change.
inline HRESULT from_fields(const SYSTEMTIME& f, bool utc, int64_t& out) {
  if (f.wYear < 1900) return out = 0, S_OK;
  std::tm tm{f.wSecond, f.wMinute, f.wHour, f.wDay, f.wMonth - 1, f.wYear - 1900, 0, 0, 0, 0, nullptr};
  const int64_t w = timegm(&tm), before = offset_at(w - 86400), after = offset_at(w + 86400);
  const bool early = offset_at(w - before) == before, late = offset_at(w - after) == after;
  const int64_t t = !utc ? w : early && late ? std::min(w - before, w - after) : late ? w - after : w - before;
  return comrt::in_crt_range(t) ? (out = t, S_OK) : E_INVALIDARG;
}

inline result weekly(int64_t base, int64_t now, int32_t mask, bool utc) {
  if ((mask & 0x7f) == 0) return {E_FAIL, std::nullopt};
  for (int64_t t = base;; t += 86400) {
    const auto f = fields(t, utc);
    if (!f || ((mask & (1 << f->wDayOfWeek)) && t > now)) return {S_OK, f ? std::optional(t) : std::nullopt};
  }
}

inline result monthly(int64_t base, int64_t now, bool utc) {
  for (int64_t t = base;;) {
    auto f = fields(t, utc);
    if (t > now || !f) return {S_OK, t};
    f->wYear += f->wMonth / 12;
    f->wMonth = f->wMonth % 12 + 1;
    if (const HRESULT hr = from_fields(*f, utc, t); FAILED(hr)) return {hr, std::nullopt};
  }
}

}  // namespace literal
