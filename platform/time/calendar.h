// Proleptic Gregorian calendar arithmetic shared by the time functions. Pure integer math, so it
// works for every year a SYSTEMTIME or an automation date can hold, independent of the C library.
#pragma once

#include <cstdint>

#include "comrt/types.h"

namespace comrt::calendar {

constexpr bool is_leap_year(int64_t y) noexcept { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

constexpr unsigned days_in_month(int64_t y, unsigned m) noexcept {
  constexpr unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && is_leap_year(y) ? 29 : days[m - 1];
}

// Days from 1970-01-01 to the given date (negative before it).
constexpr int64_t days_from_civil(int64_t y, unsigned m, unsigned d) noexcept {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;                                  // [0, 399]
  const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;  // [0, 365]
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;          // [0, 146096]
  return era * 146097 + doe - 719468;
}

struct civil_date {
  int64_t year;
  unsigned month;  // 1-12
  unsigned day;    // 1-31
};

// The date that lies the given number of days after 1970-01-01.
constexpr civil_date civil_from_days(int64_t z) noexcept {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;                                   // [0, 146096]
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;  // [0, 399]
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);            // [0, 365]
  const int64_t mp = (5 * doy + 2) / 153;                                 // [0, 11]
  const auto d = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
  const auto m = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
  return {yoe + era * 400 + (m <= 2), m, d};
}

// Day of week (0 = Sunday) of the day that lies z days after 1970-01-01, a Thursday.
constexpr WORD weekday_from_days(int64_t z) noexcept {
  const int64_t r = (z + 4) % 7;
  return static_cast<WORD>(r < 0 ? r + 7 : r);
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

// The clock that every time function reads, in 100 ns ticks since 1601-01-01 UTC.
uint64_t now_ticks() noexcept;

}  // namespace comrt::calendar
