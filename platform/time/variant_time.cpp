// Automation dates: days since 1899-12-30 00:00:00 with the time of day as the fraction. For dates
// before that day the whole part counts days back and the fraction still adds time of day, away
// from zero: -1.25 is 1899-12-29 06:00. Years 100 to 9999; whole seconds.
#include <cmath>

#include "calendar.h"
#include "comrt/timeapi.h"

namespace {

namespace cal = comrt::calendar;

constexpr int64_t min_date_year = 100;
constexpr int64_t max_date_year = 9999;
constexpr int64_t day_zero = cal::days_from_civil(1899, 12, 30);  // days from 1970 to automation day 0

// Dates outside these bounds are certainly out of range; the year check after conversion decides
// the cases close to them.
constexpr double lowest_date = static_cast<double>(cal::days_from_civil(min_date_year, 1, 1) - day_zero) - 1.0;
constexpr double highest_date = static_cast<double>(cal::days_from_civil(max_date_year + 1, 1, 1) - day_zero) + 1.0;

}  // namespace

// Milliseconds are ignored.
COMRT_API INT SystemTimeToVariantTime(SYSTEMTIME* lpSystemTime, DATE* pvtime) {
  if (!lpSystemTime || !pvtime || !cal::valid_fields(*lpSystemTime, min_date_year, max_date_year, false))
    return FALSE;
  const SYSTEMTIME& st = *lpSystemTime;
  const int64_t days = cal::days_from_civil(st.wYear, st.wMonth, st.wDay) - day_zero;
  const double fraction = (st.wHour * 3600 + st.wMinute * 60 + st.wSecond) / static_cast<double>(cal::seconds_per_day);
  *pvtime = days >= 0 ? static_cast<double>(days) + fraction : static_cast<double>(days) - fraction;
  return TRUE;
}

// The time of day is rounded to the nearest second (milliseconds 0); a value that rounds up to
// midnight gives the next calendar day.
COMRT_API INT VariantTimeToSystemTime(DATE vtime, SYSTEMTIME* lpSystemTime) {
  if (!lpSystemTime || !std::isfinite(vtime) || vtime <= lowest_date || vtime >= highest_date) return FALSE;
  const double whole = std::trunc(vtime);
  const auto time_of_day = static_cast<int64_t>(std::llround(std::fabs(vtime - whole) * cal::seconds_per_day));
  const int64_t seconds = (static_cast<int64_t>(whole) + day_zero) * cal::seconds_per_day + time_of_day;
  const SYSTEMTIME st = cal::fields_from_seconds(seconds, 0);
  if (st.wYear < min_date_year || st.wYear > max_date_year) return FALSE;
  *lpSystemTime = st;
  return TRUE;
}
