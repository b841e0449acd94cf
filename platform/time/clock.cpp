// The process-wide clock: the system's real-time clock, or a fixed "now" that tests set and move.
#include <atomic>
#include <cstdint>
#include <ctime>
#include <limits>

#include "calendar.h"
#include "comrt/time.h"

namespace {

constexpr int64_t max_ticks = std::numeric_limits<int64_t>::max();  // a FILETIME must stay below 2^63
constexpr int64_t system_clock = -1;

// The fixed "now" in ticks since 1601, or system_clock while the real clock is used. One atomic
// word, so readers never see half a value; changes are single stores or a compare-exchange loop.
std::atomic<int64_t> fixed_now{system_clock};

int64_t system_ticks() noexcept {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return (static_cast<int64_t>(ts.tv_sec) + comrt::seconds_1601_to_1970) * static_cast<int64_t>(comrt::ticks_per_second) +
         ts.tv_nsec / 100;
}

int64_t clamp_ticks(int64_t base, int64_t delta) noexcept {
  int64_t sum = 0;
  if (__builtin_add_overflow(base, delta, &sum)) return delta > 0 ? max_ticks : 0;
  return sum < 0 ? 0 : sum;
}

}  // namespace

namespace comrt::calendar {

uint64_t now_ticks() noexcept {
  const int64_t fixed = fixed_now.load();
  return static_cast<uint64_t>(fixed == system_clock ? system_ticks() : fixed);
}

}  // namespace comrt::calendar

COMRT_API void RtSetClock(uint64_t fileTime) {
  fixed_now.store(fileTime > static_cast<uint64_t>(max_ticks) ? max_ticks : static_cast<int64_t>(fileTime));
}

// Moves the fixed "now" by delta (clamped to the FILETIME range). While the real clock is in use,
// this fixes "now" at the real time plus delta.
COMRT_API void RtAdvanceClock(int64_t delta100ns) {
  int64_t current = fixed_now.load();
  int64_t next = 0;
  do {
    next = clamp_ticks(current == system_clock ? system_ticks() : current, delta100ns);
  } while (!fixed_now.compare_exchange_weak(current, next));
}

COMRT_API void RtResetClock() { fixed_now.store(system_clock); }

COMRT_API int64_t RtTime64() { return comrt::ticks_to_unix(comrt::calendar::now_ticks()); }

COMRT_API void GetSystemTimeAsFileTime(FILETIME* lpSystemTimeAsFileTime) {
  if (lpSystemTimeAsFileTime) *lpSystemTimeAsFileTime = comrt::to_filetime(comrt::calendar::now_ticks());
}

COMRT_API void GetSystemTime(SYSTEMTIME* lpSystemTime) {
  if (!lpSystemTime) return;
  const FILETIME now = comrt::to_filetime(comrt::calendar::now_ticks());
  FileTimeToSystemTime(&now, lpSystemTime);  // cannot fail: the clock stays below 2^63
}

// The local time now, under the zone's rule in force now; milliseconds are kept.
COMRT_API void GetLocalTime(SYSTEMTIME* lpSystemTime) {
  if (!lpSystemTime) return;
  const uint64_t ticks = comrt::calendar::now_ticks();
  const int64_t seconds = comrt::ticks_to_unix(ticks);
  const auto ms = static_cast<WORD>((ticks % comrt::ticks_per_second) / 10'000);
  std::tm tm{};
  if (comrt::detail::local_tm(seconds, tm)) {
    *lpSystemTime = comrt::detail::fields_of(tm);
    lpSystemTime->wMilliseconds = ms;
  } else {
    *lpSystemTime = comrt::calendar::fields_from_seconds(seconds, ms);
  }
}
