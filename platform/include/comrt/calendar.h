// Proleptic Gregorian calendar arithmetic shared by the time functions and their callers, on
// <chrono>'s calendar types: it works for every year a SYSTEMTIME or an automation date can hold
// (callers check the fields first), independent of the C library and its time zone.
#pragma once

#include <chrono>
#include <cstdint>

#include "comrt/types.h"

namespace comrt::calendar {

constexpr bool is_leap_year(int64_t y) noexcept { return std::chrono::year{static_cast<int>(y)}.is_leap(); }

constexpr unsigned days_in_month(int64_t y, unsigned m) noexcept {
  using namespace std::chrono;
  return static_cast<unsigned>((year{static_cast<int>(y)} / month{m} / last).day());
}

// Days from 1970-01-01 to the given date (negative before it). Linear in the day: a day of month
// beyond the month's end lands in the following month (31 February of a common year is 3 March).
constexpr int64_t days_from_civil(int64_t y, unsigned m, unsigned d) noexcept {
  using namespace std::chrono;
  return sys_days{year{static_cast<int>(y)} / month{m} / day{d}}.time_since_epoch().count();
}

static_assert(days_from_civil(1970, 1, 1) == 0);
static_assert(days_from_civil(2023, 2, 31) == days_from_civil(2023, 3, 3));

struct civil_date {
  int64_t year;
  unsigned month;  // 1-12
  unsigned day;    // 1-31
};

// The date that lies the given number of days after 1970-01-01.
constexpr civil_date civil_from_days(int64_t z) noexcept {
  using namespace std::chrono;
  const year_month_day date{sys_days{days{z}}};
  return {static_cast<int>(date.year()), static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day())};
}

// Day of week (0 = Sunday) of the day that lies z days after 1970-01-01.
constexpr WORD weekday_from_days(int64_t z) noexcept {
  using namespace std::chrono;
  return static_cast<WORD>(weekday{sys_days{days{z}}}.c_encoding());
}

inline constexpr int64_t seconds_per_day = 86400;

// Whether the date and time-of-day fields form a real moment in [min_year, max_year]. The day of
// week is never looked at; milliseconds only when check_ms is set.
constexpr bool valid_fields(const SYSTEMTIME& st, int64_t min_year, int64_t max_year, bool check_ms) noexcept {
  return st.wYear >= min_year && st.wYear <= max_year && st.wMonth >= 1 && st.wMonth <= 12 && st.wDay >= 1 &&
         st.wDay <= days_in_month(st.wYear, st.wMonth) && st.wHour < 24 && st.wMinute < 60 && st.wSecond < 60 &&
         (!check_ms || st.wMilliseconds < 1000);
}

// Seconds from 1970-01-01 00:00:00 to the fields' date and time of day (milliseconds dropped).
constexpr int64_t seconds_from_fields(const SYSTEMTIME& st) noexcept {
  return days_from_civil(st.wYear, st.wMonth, st.wDay) * seconds_per_day + st.wHour * 3600 + st.wMinute * 60 +
         st.wSecond;
}

// Fields of the moment that lies `seconds` after 1970-01-01 00:00:00, with the given milliseconds.
// The year must fit a WORD; callers check the range first.
constexpr SYSTEMTIME fields_from_seconds(int64_t seconds, WORD ms) noexcept {
  int64_t days = seconds / seconds_per_day;
  int64_t rem = seconds % seconds_per_day;
  if (rem < 0) {
    rem += seconds_per_day;
    --days;
  }
  const civil_date date = civil_from_days(days);
  SYSTEMTIME st{};
  st.wYear = static_cast<WORD>(date.year);
  st.wMonth = static_cast<WORD>(date.month);
  st.wDayOfWeek = weekday_from_days(days);
  st.wDay = static_cast<WORD>(date.day);
  st.wHour = static_cast<WORD>(rem / 3600);
  st.wMinute = static_cast<WORD>(rem / 60 % 60);
  st.wSecond = static_cast<WORD>(rem % 60);
  st.wMilliseconds = ms;
  return st;
}

}  // namespace comrt::calendar
