#include "triggers/schedule_calendar.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <comrt/thread_annotations.h>
#include <comrt/time.h>

namespace tolvane::schedule {

namespace {

// ---------------------------------------------------------------------------------------------
// Proleptic Gregorian calendar arithmetic on day numbers (days since 1970-01-01).

constexpr int64_t floor_div(int64_t a, int64_t b) noexcept { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

// Linear in the day: a day beyond the month's end lands in the following month.
constexpr int64_t days_from_civil(int64_t y, int64_t m, int64_t d) noexcept {
  y -= m <= 2;
  const int64_t era = floor_div(y, 400);
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

struct civil_date {
  int64_t year;
  int64_t month;
  int64_t day;
};

constexpr civil_date civil_from_days(int64_t z) noexcept {
  z += 719468;
  const int64_t era = floor_div(z, 146097);
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t d = doy - (153 * mp + 2) / 5 + 1;
  const int64_t m = mp < 10 ? mp + 3 : mp - 9;
  return {yoe + era * 400 + (m <= 2), m, d};
}

static_assert(days_from_civil(1970, 1, 1) == 0);
static_assert(days_from_civil(2023, 2, 31) == days_from_civil(2023, 3, 3));

// Fields of seconds counted as UTC (any value whose year fits the fields).
SYSTEMTIME wall_fields(int64_t s) noexcept {
  const int64_t days = floor_div(s, seconds_per_day);
  const int64_t sod = s - days * seconds_per_day;
  const civil_date c = civil_from_days(days);
  SYSTEMTIME st{};
  st.wYear = static_cast<WORD>(c.year);
  st.wMonth = static_cast<WORD>(c.month);
  st.wDay = static_cast<WORD>(c.day);
  st.wDayOfWeek = static_cast<WORD>(days + 4 - floor_div(days + 4, 7) * 7);  // 1970-01-01 was a Thursday
  st.wHour = static_cast<WORD>(sod / 3600);
  st.wMinute = static_cast<WORD>(sod / 60 % 60);
  st.wSecond = static_cast<WORD>(sod % 60);
  return st;
}

int64_t time_of_day(const SYSTEMTIME& f) noexcept { return f.wHour * int64_t{3600} + f.wMinute * 60 + f.wSecond; }

// Seconds of fields counted as UTC; a missing day of the month moves into the next month.
int64_t wall_seconds(int64_t year, int64_t month, int64_t day, int64_t tod) noexcept {
  return days_from_civil(year, month, day) * seconds_per_day + tod;
}
int64_t wall_seconds(const SYSTEMTIME& f) noexcept { return wall_seconds(f.wYear, f.wMonth, f.wDay, time_of_day(f)); }

bool fields_in_range(const SYSTEMTIME& f) noexcept {
  return f.wMonth >= 1 && f.wMonth <= 12 && f.wDay >= 1 && f.wDay <= 31 && f.wHour <= 23 && f.wMinute <= 59 &&
         f.wSecond <= 59;
}

// ---------------------------------------------------------------------------------------------
// The local zone's offsets from UTC, learnt from the C library once per zone and year and kept, so
// that a walk over many months needs no conversion per month. Offsets are sampled once a day and
// every change is narrowed down to its second; two changes less than a day apart that cancel out
// are not seen.

struct transition {
  int64_t at;      // first second of the new offset
  int32_t before;  // seconds east of UTC
  int32_t after;
};

class zone_offsets {
 public:
  // The offsets of the zone that TZ names now.
  static zone_offsets& current() {
    static comrt::mutex zones_mutex;
    static std::map<std::string, std::unique_ptr<zone_offsets>> zones COMRT_GUARDED_BY(zones_mutex);
    const char* tz = std::getenv("TZ");
    std::string key = tz ? std::string("=") + tz : std::string();
    comrt::lock_guard guard(zones_mutex);
    auto& zone = zones[key];
    if (!zone) zone = std::make_unique<zone_offsets>();
    return *zone;
  }

  // The offset in force at the instant u.
  int32_t offset_at(int64_t u) {
    comrt::lock_guard guard(mutex_);
    return offset_locked(u);
  }

  // Calls visit(transition) for the changes whose first second lies in [from, to], in order.
  // `visit` must not call back into this object.
  template <class F>
  void for_each_change(int64_t from, int64_t to, F&& visit) {
    comrt::lock_guard guard(mutex_);
    walk(from, to, visit);
  }

  // The instant at which the local clock shows the wall-clock seconds w. A reading that the clock
  // shows twice (an overlap) means the first time; a reading that it skips (a gap) is taken with
  // the offset before the change, so it moves later by the length of the gap.
  int64_t instant_of(int64_t w) {
    // Offsets stay within a day of UTC, so every instant showing w lies within two days of it.
    constexpr int64_t reach = 2 * seconds_per_day;
    const int64_t from = w - reach;
    comrt::lock_guard guard(mutex_);
    int64_t segment_start = from;
    int32_t offset = offset_locked(from);
    std::optional<int64_t> first;
    const auto try_segment = [&](int64_t end) {
      const int64_t u = w - offset;
      if (u >= segment_start && u < end && !first) first = u;
    };
    walk(from + 1, w + reach, [&](const transition& t) {
      try_segment(t.at);
      segment_start = t.at;
      offset = t.after;
    });
    try_segment(w + reach + 1);
    if (first) return *first;
    walk(from + 1, w + reach, [&](const transition& t) {
      if (!first && w >= t.at + t.before && w < t.at + t.after) first = w - t.before;
    });
    return first ? *first : w - offset_locked(w);  // a gap always has its change
  }

 private:
  struct year_entry {
    int32_t start_offset = 0;
    std::vector<transition> changes;  // sorted
  };

  static int64_t year_number(int64_t u) noexcept { return civil_from_days(floor_div(u, seconds_per_day)).year; }

  int32_t offset_locked(int64_t u) COMRT_REQUIRES(mutex_) {
    const year_entry& y = entry(year_number(u));
    int32_t offset = y.start_offset;
    for (const transition& t : y.changes) {
      if (t.at > u) break;
      offset = t.after;
    }
    return offset;
  }

  // A change at the first second of a year is kept with the year before. The years are walked in
  // order, learning those not yet known.
  template <class F>
  void walk(int64_t from, int64_t to, F&& visit) COMRT_REQUIRES(mutex_) {
    const int64_t first_year = year_number(from) - 1;
    const int64_t last_year = year_number(to);
    auto it = years_.lower_bound(first_year);
    for (int64_t year = first_year; year <= last_year; ++year, ++it) {
      if (it == years_.end() || it->first != year) it = years_.emplace_hint(it, year, fill(year));
      for (const transition& t : it->second.changes) {
        if (t.at >= from && t.at <= to) visit(t);
      }
    }
  }

  static int32_t sample(int64_t u) noexcept {
    std::tm tm{};
    return comrt::detail::local_tm(u, tm) ? static_cast<int32_t>(tm.tm_gmtoff) : 0;
  }

  const year_entry& entry(int64_t year) COMRT_REQUIRES(mutex_) {
    if (last_ && last_year_ == year) return *last_;
    auto it = years_.find(year);
    if (it == years_.end()) it = years_.emplace(year, fill(year)).first;
    last_year_ = year;
    last_ = &it->second;
    return *last_;
  }

  static year_entry fill(int64_t year) {
    year_entry e;
    const int64_t begin = days_from_civil(year, 1, 1) * seconds_per_day;
    const int64_t end = days_from_civil(year + 1, 1, 1) * seconds_per_day;
    e.start_offset = sample(begin);
    int32_t previous = e.start_offset;
    for (int64_t at = begin; at < end;) {
      const int64_t next = std::min(at + seconds_per_day, end);
      if (sample(next) == previous) {
        at = next;
        continue;
      }
      // A change lies in (at, next]: narrow it down to its first second, then go on from there.
      int64_t lo = at;
      int64_t hi = next;
      while (hi - lo > 1) {
        const int64_t mid = lo + (hi - lo) / 2;
        (sample(mid) == previous ? lo : hi) = mid;
      }
      const int32_t after = sample(hi);
      e.changes.push_back({hi, previous, after});
      previous = after;
      at = hi;
    }
    return e;
  }

  comrt::mutex mutex_;
  std::map<int64_t, year_entry> years_ COMRT_GUARDED_BY(mutex_);
  const year_entry* last_ COMRT_GUARDED_BY(mutex_) = nullptr;  // the entry looked up last, and its year
  int64_t last_year_ COMRT_GUARDED_BY(mutex_) = 0;
};

// from_calendar_fields with the zone already looked up (none for the local clock).
HRESULT stored_time_of(const SYSTEMTIME& fields, zone_offsets* zone, int64_t* out) {
  if (fields.wYear < 1900) {
    *out = 0;
    return S_OK;
  }
  if (!fields_in_range(fields)) return E_FAIL;
  const int64_t w = wall_seconds(fields);
  const int64_t t = zone ? zone->instant_of(w) : w;
  if (!comrt::in_crt_range(t)) return E_INVALIDARG;
  *out = t;
  return S_OK;
}

// ---------------------------------------------------------------------------------------------
// The clocks' conversions, answered from the kept offsets where the answer is certain and from the
// C library otherwise. Both give exactly the results of calendar_fields / from_calendar_fields.

class month_calendar {
 public:
  explicit month_calendar(bool utc) : zone_(utc ? &zone_offsets::current() : nullptr) {}

  std::optional<SYSTEMTIME> fields(int64_t t) const {
    if (!comrt::in_crt_range(t)) return calendar_fields(t, zone_ != nullptr);
    return wall_fields(zone_ ? t + zone_->offset_at(t) : t);
  }

  HRESULT from_fields(const SYSTEMTIME& f, int64_t* out) const { return stored_time_of(f, zone_, out); }

  // Moves on from t, whose fields are f (day of month at most 28, so no month shortens it), by as
  // many whole months as keep the value at or below `limit` and pass no change of the zone's offset.
  // Nothing when not even one month can be skipped that way.
  std::optional<int64_t> skip_months(const SYSTEMTIME& f, int64_t t, int64_t limit) const {
    if (t < 0 || f.wYear < 1970) return std::nullopt;
    limit = std::min(limit, comrt::crt_time_max);
    const int64_t first_month = f.wYear * int64_t{12} + (f.wMonth - 1);
    const int64_t tod = time_of_day(f);
    const auto wall_of = [&](int64_t k) {
      const int64_t m = first_month + k;
      return wall_seconds(floor_div(m, 12), m - floor_div(m, 12) * 12 + 1, f.wDay, tod);
    };
    const auto months_to = [&](int64_t w) {
      const civil_date c = civil_from_days(floor_div(w, seconds_per_day));
      return c.year * 12 + (c.month - 1) - first_month;
    };
    if (!zone_) {
      int64_t k = months_to(limit);
      if (wall_of(k) > limit) --k;
      if (k < 1) return std::nullopt;
      return wall_of(k);
    }
    constexpr int64_t reach = 2 * seconds_per_day;
    int64_t k = months_to(limit + reach);
    if (k < 1) return std::nullopt;
    // A month whose reading falls into a gap or an overlap of the offsets is stepped on its own
    // (a gap moves the time of day for the months after it): stop before the first one.
    zone_->for_each_change(t - reach, limit + reach, [&](const transition& c) {
      const int64_t lo = c.at + std::min(c.before, c.after);
      const int64_t hi = c.at + std::max(c.before, c.after);
      // Readings of the months all show the time of day tod: a window shorter than a day that
      // does not cover it holds none of them.
      const int64_t from_tod = lo - floor_div(lo, seconds_per_day) * seconds_per_day;
      const int64_t into = tod - from_tod + (tod < from_tod ? seconds_per_day : 0);
      if (hi - lo < seconds_per_day && into >= hi - lo) return;
      for (const int64_t m : {months_to(lo), months_to(hi - 1)}) {
        if (m >= 1 && m <= k && wall_of(m) >= lo && wall_of(m) < hi) k = m - 1;
      }
    });
    for (; k >= 1; --k) {
      const int64_t u = zone_->instant_of(wall_of(k));
      if (u <= limit) return u;
    }
    return std::nullopt;
  }

 private:
  zone_offsets* zone_;
};

// base + k * step for the first k >= 1 that is not below now (base <= now, step > 0). The result
// lies in [now, now + step), so it is exact whenever now is; the distance is taken without sign.
int64_t next_on_grid(int64_t base, int64_t now, int64_t step) noexcept {
  const uint64_t d = static_cast<uint64_t>(now) - static_cast<uint64_t>(base);
  const uint64_t s = static_cast<uint64_t>(step);
  const uint64_t k = d == 0 ? 1 : d / s + (d % s != 0);
  return static_cast<int64_t>(static_cast<uint64_t>(base) + k * s);
}

next_result weekly(int64_t base, int64_t now, int32_t mask, bool utc) {
  if ((mask & 0x7f) == 0) return {E_FAIL, std::nullopt};
  int64_t t = base;
  if (!calendar_fields(t, utc)) return {S_OK, std::nullopt};
  // Every day up to now fails the "later than now" test: start at the last one at or before now.
  // Fields exist for a range of values, so none in between can lack them.
  if (t <= now) t += static_cast<int64_t>((static_cast<uint64_t>(now) - static_cast<uint64_t>(t)) / seconds_per_day) *
                     seconds_per_day;
  for (;; t += seconds_per_day) {
    const std::optional<SYSTEMTIME> f = calendar_fields(t, utc);
    if (!f) return {S_OK, std::nullopt};
    if ((mask >> f->wDayOfWeek) & 1 && t > now) return {S_OK, t};
  }
}

next_result monthly(int64_t base, int64_t now, bool utc) {
  const month_calendar calendar(utc);
  int64_t t = base;
  bool skipped = false;
  while (t <= now) {
    std::optional<SYSTEMTIME> f = calendar.fields(t);
    if (!f) return {S_OK, t};
    // A day of month up to 28 exists in every month, so whole months can be skipped at once (right
    // after a skip, the next month is the last step); a later day is stepped month by month until
    // a short month has moved it.
    if (f->wDay <= 28 && !skipped) {
      if (const std::optional<int64_t> to = calendar.skip_months(*f, t, now)) {
        t = *to;
        skipped = true;
        continue;
      }
    }
    skipped = false;
    if (f->wMonth == 12) {
      ++f->wYear;
      f->wMonth = 1;
    } else {
      ++f->wMonth;
    }
    const HRESULT hr = calendar.from_fields(*f, &t);
    if (FAILED(hr)) return {hr, std::nullopt};
  }
  return {S_OK, t};
}

}  // namespace

uint64_t filetime_of(int64_t t) noexcept { return comrt::unix_to_ticks(t); }

int64_t seconds_of(uint64_t filetime) noexcept {
  if (filetime < comrt::unix_epoch_ticks) return 0;
  return static_cast<int64_t>((filetime - comrt::unix_epoch_ticks) / comrt::ticks_per_second);
}

int64_t utc_to_local(int64_t t) noexcept {
  const FILETIME in = comrt::to_filetime(filetime_of(t));
  FILETIME out{};
  if (!FileTimeToLocalFileTime(&in, &out)) return 0;
  return seconds_of(comrt::to_ticks(out));
}

int64_t local_to_utc(int64_t t) noexcept {
  const FILETIME in = comrt::to_filetime(filetime_of(t));
  FILETIME out{};
  if (!LocalFileTimeToFileTime(&in, &out)) return 0;
  return seconds_of(comrt::to_ticks(out));
}

namespace {

// The calling thread's held "now" while a tick_clock scope is open.
struct held_now {
  bool active = false;
  bool have_local = false;
  int64_t utc = 0;
  int64_t local = 0;
};
thread_local held_now t_held;

}  // namespace

int64_t now(bool utc) noexcept {
  held_now& held = t_held;
  if (!held.active) {
    const int64_t t = comrt::now_unix();
    return utc ? t : utc_to_local(t);
  }
  if (utc) return held.utc;
  if (!held.have_local) {
    held.local = utc_to_local(held.utc);
    held.have_local = true;
  }
  return held.local;
}

tick_clock::tick_clock() noexcept { refresh(); }

tick_clock::~tick_clock() { t_held = held_now{}; }

void tick_clock::suspend() noexcept { t_held.active = false; }

void tick_clock::refresh() noexcept {
  t_held.utc = comrt::now_unix();
  t_held.have_local = false;
  t_held.active = true;
}

std::optional<SYSTEMTIME> calendar_fields(int64_t t, bool utc) noexcept {
  if (!utc) return comrt::gmtime64(t);
  const FILETIME ft = comrt::to_filetime(filetime_of(t));
  SYSTEMTIME universal{};
  SYSTEMTIME local{};
  if (!FileTimeToSystemTime(&ft, &universal) || !SystemTimeToTzSpecificLocalTime(nullptr, &universal, &local))
    return std::nullopt;
  local.wMilliseconds = 0;
  return local;
}

HRESULT from_calendar_fields(const SYSTEMTIME& fields, bool utc, int64_t* out) noexcept {
  try {
    return stored_time_of(fields, utc ? &zone_offsets::current() : nullptr, out);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

next_result next_occurrence(const recurrence_settings& s, int64_t now) {
  const int64_t base = s.last != 0 ? s.last : s.start;
  switch (s.recurrence) {
    case 0:  // None
      return {S_OK, s.last == 0 ? std::optional<int64_t>(s.start) : std::nullopt};
    case 1:  // Custom
      if (s.interval <= 0) return {E_FAIL, base};
      return {S_OK, base > now ? base : next_on_grid(base, now, s.interval)};
    case 2:  // Daily
      return {S_OK, base > now ? base : next_on_grid(base, now, seconds_per_day)};
    case 3:
      return weekly(base, now, s.week_mask, s.utc);
    case 4:
      return monthly(base, now, s.utc);
    default:
      return {E_FAIL, std::nullopt};
  }
}

}  // namespace tolvane::schedule
