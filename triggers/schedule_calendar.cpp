#include "triggers/schedule_calendar.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <comrt/calendar.h>
#include <comrt/thread_annotations.h>
#include <comrt/time.h>

namespace tolvane::schedule {

namespace {

namespace cal = comrt::calendar;

// Offsets from UTC stay within a day, so every instant whose local reading is w lies within two days
// of w.
constexpr int64_t reach = 2 * seconds_per_day;

constexpr int64_t day_number(int64_t s) noexcept { return s / seconds_per_day - (s % seconds_per_day < 0); }

int64_t time_of_day(const SYSTEMTIME& f) noexcept { return f.wHour * int64_t{3600} + f.wMinute * 60 + f.wSecond; }

// Months counted from the year 0 (year * 12 + month - 1), for the years from 1970 on.
constexpr int64_t month_index(int64_t year, unsigned month) noexcept { return year * 12 + month - 1; }
constexpr int64_t year_of_month(int64_t m) noexcept { return m / 12; }
constexpr unsigned month_of_month(int64_t m) noexcept { return static_cast<unsigned>(m % 12) + 1; }

// Month index of the date of seconds counted as UTC.
int64_t month_at(int64_t s) noexcept {
  const cal::civil_date c = cal::civil_from_days(day_number(s));
  return month_index(c.year, c.month);
}

// Seconds, counted as UTC, of the given day of month m at time of day tod; a day that the month
// lacks moves into the following month.
int64_t reading_of(int64_t m, unsigned day, int64_t tod) noexcept {
  return cal::days_from_civil(year_of_month(m), month_of_month(m), day) * seconds_per_day + tod;
}

bool fields_in_range(const SYSTEMTIME& f) noexcept {
  return f.wMonth >= 1 && f.wMonth <= 12 && f.wDay >= 1 && f.wDay <= 31 && f.wHour <= 23 && f.wMinute <= 59 &&
         f.wSecond <= 59;
}

// ---------------------------------------------------------------------------------------------
// The local zone's offsets from UTC, learnt from the C library a year at a time as they are needed
// and kept, so that a computation needs no conversion per month. Offsets are sampled once a day and
// every change is narrowed down to its second; two changes less than a day apart that cancel out
// are not seen.

struct transition {
  int64_t at;      // first second of the new offset
  int32_t before;  // seconds east of UTC
  int32_t after;
};

class zone_table {
 public:
  // The offset in force at the instant u.
  int32_t offset_at(int64_t u) {
    cover(u, u);
    const auto it = std::upper_bound(changes_.begin(), changes_.end(), u,
                                     [](int64_t v, const transition& c) { return v < c.at; });
    return it == changes_.begin() ? start_offset_ : std::prev(it)->after;
  }

  // The instant at which the local clock shows the wall-clock seconds w. A reading that the clock
  // shows twice (an overlap) means the first time; a reading that it skips (a gap) is taken with
  // the offset before the change, so it moves later by the length of the gap.
  int64_t instant_of(int64_t w) {
    const int64_t from = w - reach;
    const int64_t to = w + reach;
    cover(from, to);
    const auto first = std::upper_bound(changes_.begin(), changes_.end(), from,
                                        [](int64_t v, const transition& c) { return v < c.at; });
    const auto end = std::upper_bound(first, changes_.end(), to,
                                      [](int64_t v, const transition& c) { return v < c.at; });
    int64_t segment_start = from;
    int32_t offset = first == changes_.begin() ? start_offset_ : std::prev(first)->after;
    for (auto it = first; it != end; ++it) {
      if (const int64_t u = w - offset; u >= segment_start && u < it->at) return u;
      segment_start = it->at;
      offset = it->after;
    }
    if (const int64_t u = w - offset; u >= segment_start && u <= to) return u;
    for (auto it = first; it != end; ++it) {
      if (w >= it->at + it->before && w < it->at + it->after) return w - it->before;
    }
    return w - offset_at(w);  // a gap always has its change
  }

  // The first month in [first, last] whose reading on the given day at time of day tod falls into
  // a gap, among the changes learnt so far (cover the readings first).
  std::optional<int64_t> first_gap_month(unsigned day, int64_t tod, int64_t first, int64_t last) const {
    std::optional<int64_t> found;
    for (const gap_hours& g : gaps_by_day_[day]) {
      if (tod < g.from || tod >= g.to) continue;
      const auto it = std::lower_bound(g.months.begin(), g.months.end(), first);
      if (it != g.months.end() && *it <= last && (!found || *it < *found)) found = *it;
    }
    return found;
  }

  // Learns the years of the instants from .. to.
  void cover(int64_t from, int64_t to) {
    if (from >= covered_from_ && to < covered_to_) return;
    const int64_t first_year = cal::civil_from_days(day_number(from)).year;
    const int64_t last_year = cal::civil_from_days(day_number(to)).year;
    if (last_year_ < first_year_) {
      first_year_ = last_year_ = first_year;
      changes_ = learn(first_year, &start_offset_);
    }
    // A change at the first second of a year is kept with the year before.
    while (first_year_ > first_year) {
      std::vector<transition> changes = learn(--first_year_, &start_offset_);
      changes_.insert(changes_.begin(), changes.begin(), changes.end());
    }
    while (last_year_ < last_year) {
      int32_t start = 0;
      std::vector<transition> changes = learn(++last_year_, &start);
      changes_.insert(changes_.end(), changes.begin(), changes.end());
    }
    covered_from_ = cal::days_from_civil(first_year_, 1, 1) * seconds_per_day;
    covered_to_ = cal::days_from_civil(last_year_ + 1, 1, 1) * seconds_per_day;
  }

 private:
  // The part of the gaps that lies on one day of month, as times of day, and the months where it
  // does (sorted).
  struct gap_hours {
    int64_t from;
    int64_t to;
    std::vector<int64_t> months;
  };

  static int32_t sample(int64_t u) noexcept {
    std::tm tm{};
    return comrt::detail::local_tm(u, tm) ? static_cast<int32_t>(tm.tm_gmtoff) : 0;
  }

  // The changes in (first second of the year, first second of the next year], indexing the gaps.
  std::vector<transition> learn(int64_t year, int32_t* start_offset) {
    std::vector<transition> changes;
    const int64_t begin = cal::days_from_civil(year, 1, 1) * seconds_per_day;
    const int64_t end = cal::days_from_civil(year + 1, 1, 1) * seconds_per_day;
    *start_offset = sample(begin);
    int32_t previous = *start_offset;
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
      changes.push_back({hi, previous, after});
      if (after > previous) index_gap(hi + previous, hi + after);
      previous = after;
      at = hi;
    }
    return changes;
  }

  // Files the skipped readings [lo, hi) under each day of month they touch.
  void index_gap(int64_t lo, int64_t hi) {
    for (int64_t day = day_number(lo); day * seconds_per_day < hi; ++day) {
      const int64_t start = day * seconds_per_day;
      const cal::civil_date date = cal::civil_from_days(day);
      const int64_t from = std::max(lo, start) - start;
      const int64_t to = std::min(hi, start + seconds_per_day) - start;
      std::vector<gap_hours>& hours = gaps_by_day_[date.day];
      auto g =
          std::find_if(hours.begin(), hours.end(), [&](const gap_hours& h) { return h.from == from && h.to == to; });
      if (g == hours.end()) g = hours.insert(hours.end(), gap_hours{from, to, {}});
      const int64_t m = month_index(date.year, date.month);
      g->months.insert(std::lower_bound(g->months.begin(), g->months.end(), m), m);
    }
  }

  int64_t first_year_ = 0;
  int64_t last_year_ = -1;  // below first_year_: nothing learnt yet
  int64_t covered_from_ = 0;
  int64_t covered_to_ = 0;
  int32_t start_offset_ = 0;         // in force at the first second of first_year_
  std::vector<transition> changes_;  // sorted
  std::array<std::vector<gap_hours>, 32> gaps_by_day_;
};

// The table of the zone that TZ names, behind its lock.
class zone_offsets {
 public:
  static zone_offsets& current() {
    // The zone looked up last on this thread, while TZ stays the same.
    struct last_lookup {
      std::string tz;
      bool tz_set = false;
      zone_offsets* zone = nullptr;
    };
    thread_local last_lookup last;
    const char* tz = std::getenv("TZ");
    if (last.zone && last.tz_set == (tz != nullptr) && (!tz || last.tz == tz)) return *last.zone;
    static comrt::mutex zones_mutex;
    static std::map<std::string, std::unique_ptr<zone_offsets>> zones COMRT_GUARDED_BY(zones_mutex);
    comrt::lock_guard guard(zones_mutex);
    auto& zone = zones[tz ? std::string("=") + tz : std::string()];
    if (!zone) zone = std::make_unique<zone_offsets>();
    last = {tz ? tz : "", tz != nullptr, zone.get()};
    return *zone;
  }

  // Runs f(zone_table&) under the lock.
  template <class F>
  auto with_table(F&& f) {
    comrt::lock_guard guard(mutex_);
    return f(table_);
  }

 private:
  comrt::mutex mutex_;
  zone_table table_ COMRT_GUARDED_BY(mutex_);
};

// from_calendar_fields with the zone's table at hand (none for the local clock).
HRESULT stored_time_of(const SYSTEMTIME& fields, zone_table* zone, int64_t* out) {
  if (fields.wYear < 1900) {
    *out = 0;
    return S_OK;
  }
  if (!fields_in_range(fields)) return E_FAIL;
  // Offsets stay within a day: a reading more than that outside the range is refused without
  // learning the zone's offsets that far out.
  if (fields.wYear > 3001) return E_INVALIDARG;
  const int64_t w = cal::seconds_from_fields(fields);
  if (w < -seconds_per_day || w > comrt::crt_time_max + seconds_per_day) return E_INVALIDARG;
  const int64_t t = zone ? zone->instant_of(w) : w;
  if (!comrt::in_crt_range(t)) return E_INVALIDARG;
  *out = t;
  return S_OK;
}

// ---------------------------------------------------------------------------------------------
// The clocks' conversions, answered from the zone's table where the answer is certain and from the
// C library otherwise. Both give exactly the results of calendar_fields / from_calendar_fields.

class month_calendar {
 public:
  explicit month_calendar(zone_table* zone) noexcept : zone_(zone) {}

  std::optional<SYSTEMTIME> fields(int64_t t) const {
    if (!comrt::in_crt_range(t)) return calendar_fields(t, zone_ != nullptr);
    return cal::fields_from_seconds(zone_ ? t + zone_->offset_at(t) : t, 0);
  }

  HRESULT from_fields(const SYSTEMTIME& f, int64_t* out) const { return stored_time_of(f, zone_, out); }

  // Moves on from t, whose fields are f, by as many whole months as the month-by-month walk would
  // take without moving the date: keeping the value at or below `limit`, stopping before the first
  // month that lacks the day and before the first whose reading the clock skips. Nothing when not
  // even one month can be skipped that way.
  std::optional<int64_t> skip_months(const SYSTEMTIME& f, int64_t t, int64_t limit) const {
    if (t < 0 || f.wYear < 1970) return std::nullopt;
    limit = std::min(limit, comrt::crt_time_max);
    const int64_t first = month_index(f.wYear, f.wMonth);
    const unsigned day = f.wDay;
    const int64_t tod = time_of_day(f);
    int64_t k = month_at(zone_ ? limit + reach : limit) - first;
    // A day up to 28 is in every month; a later one is missing within two years.
    if (day > 28) {
      for (int64_t m = 1; m <= k && m <= 24; ++m) {
        if (day > cal::days_in_month(year_of_month(first + m), month_of_month(first + m))) k = m - 1;
      }
    }
    if (!zone_) {
      if (k >= 1 && reading_of(first + k, day, tod) > limit) --k;
      if (k < 1) return std::nullopt;
      return reading_of(first + k, day, tod);
    }
    if (k < 1) return std::nullopt;
    zone_->cover(t - reach, limit + reach);
    if (const std::optional<int64_t> gap = zone_->first_gap_month(day, tod, first + 1, first + k))
      k = *gap - first - 1;
    for (; k >= 1; --k) {
      if (const int64_t u = zone_->instant_of(reading_of(first + k, day, tod)); u <= limit) return u;
    }
    return std::nullopt;
  }

 private:
  zone_table* zone_;
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

next_result monthly_walk(int64_t base, int64_t now, zone_table* zone) {
  const month_calendar calendar(zone);
  int64_t t = base;
  bool skipped = false;
  while (t <= now) {
    std::optional<SYSTEMTIME> f = calendar.fields(t);
    if (!f) return {S_OK, t};
    // Whole months are skipped at once up to a month that would move the date; that month (or the
    // one past now) is then stepped on its own, and the skipping goes on from where it lands.
    if (!skipped) {
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

next_result monthly(int64_t base, int64_t now, bool utc) {
  if (!utc) return monthly_walk(base, now, nullptr);
  return zone_offsets::current().with_table([&](zone_table& zone) { return monthly_walk(base, now, &zone); });
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

bool tick_clock::active() noexcept { return t_held.active; }

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
    if (!utc) return stored_time_of(fields, nullptr, out);
    return zone_offsets::current().with_table([&](zone_table& zone) { return stored_time_of(fields, &zone, out); });
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
