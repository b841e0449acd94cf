// The time trigger's Weekly and Monthly computations against the plain walk one day or one month at
// a time, on random bases, nows, masks and clocks in four zones: daylight-saving gaps and overlaps,
// month ends, bases far in the past, and the ends of the calendar (negative times, the year 3000).
//
// For a longer run by hand: TOLVANE_WALK_CASES=<cases per zone and clock> TOLVANE_WALK_SEED=<seed>.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>

#include "fakes/schedule_doubles.h"
#include "literal_walk.h"
#include "triggers/schedule_calendar.h"

namespace {

namespace schedule = tolvane::schedule;

uint64_t env_number(const char* name, uint64_t fallback) {
  const char* v = std::getenv(name);
  return v && *v ? std::strtoull(v, nullptr, 10) : fallback;
}

struct walk_case {
  bool utc;
  bool monthly;
  int64_t base;
  int64_t now;
  int32_t mask;
};

class WalkEquivalence : public ::testing::TestWithParam<const char*> {
 protected:
  // A stored time of local fields in the given clock (0 when they have none).
  static int64_t stored(int year, int month, int day, int hour, int minute, int second, bool utc) {
    SYSTEMTIME f{};
    f.wYear = static_cast<WORD>(year);
    f.wMonth = static_cast<WORD>(month);
    f.wDay = static_cast<WORD>(day);
    f.wHour = static_cast<WORD>(hour);
    f.wMinute = static_cast<WORD>(minute);
    f.wSecond = static_cast<WORD>(second);
    int64_t t = 0;
    return SUCCEEDED(literal::from_fields(f, utc, t)) ? t : 0;
  }

  walk_case draw(std::mt19937_64& rng, bool utc) {
    const auto pick = [&](int64_t lo, int64_t hi) { return std::uniform_int_distribution<int64_t>(lo, hi)(rng); };
    walk_case c{utc, pick(0, 1) == 1, 0, 0, 0};
    // Now: mostly in the years the zone's table lists, often in the years its annual rule covers,
    // sometimes anywhere up to the year 3000 or at either end of the calendar.
    const int64_t where = pick(0, 99);
    c.now = where < 75   ? pick(0, 2'100'000'000)
            : where < 87 ? pick(2'100'000'000, 4'200'000'000)
            : where < 90 ? pick(0, comrt::crt_time_max)
            : where < 95 ? pick(-400'000'000, 40'000'000)
                         : comrt::crt_time_max + pick(-80'000'000, 40'000'000);
    // The base: local fields a while before now (seldom far: the plain walk takes a step per day or
    // month), with days near the month's end and times in the small hours, when daylight saving
    // changes, made likely.
    constexpr int64_t day = 86400;
    const int64_t r = pick(0, 99);
    const int64_t back = c.monthly ? (r < 80 ? pick(0, 90 * day) : r < 99 ? pick(0, 730 * day) : pick(0, 5500 * day))
                                   : (r < 97 ? pick(0, 14 * day) : pick(0, 365 * day));
    const auto anchor = literal::fields(c.now - back, utc);
    const auto some = [&](int64_t lo, int64_t hi, int64_t likely_lo, int64_t likely_hi) {
      return static_cast<int>(pick(0, 1) ? pick(likely_lo, likely_hi) : pick(lo, hi));
    };
    const int minute = pick(0, 1) ? static_cast<int>(pick(0, 3) * 15) : static_cast<int>(pick(0, 59));
    c.base = anchor ? stored(anchor->wYear, anchor->wMonth, some(1, 31, 25, 31), some(0, 23, 0, 3), minute,
                             static_cast<int>(pick(0, 59)), utc)
                    : c.now - back;
    switch (pick(0, 19)) {
      case 0: c.base = c.now + pick(1, 40 * 86400); break;  // in the future
      case 1:  // before 1970 (and before 1601)
        c.base = pick(-12'000'000'000, -1);
        c.now = c.base + pick(-86400, 86400 * 200);
        break;
      case 2: c.base = comrt::crt_time_max + pick(-86400 * 40, 86400 * 40); break;
      default: break;
    }
    if (!c.monthly && c.base < c.now - 400 * day) c.base = c.now - back;  // fields given up: a plain date
    switch (pick(0, 9)) {
      case 0: c.mask = 0; break;
      case 1: c.mask = static_cast<int32_t>(pick(1, 0xffff) << 7);  break;  // no day bit
      default: c.mask = static_cast<int32_t>(pick(1, 127) | (pick(0, 3) == 0 ? pick(0, 0xffff) << 7 : 0));
    }
    return c;
  }
};

TEST_P(WalkEquivalence, BoundedComputationGivesTheResultsOfTheDayByDayAndMonthByMonthWalk) {
  fakes::time_zone zone(GetParam());
  const uint64_t cases = env_number("TOLVANE_WALK_CASES", 10'000);
  const uint64_t seed = env_number("TOLVANE_WALK_SEED", 20261206);
  for (const bool utc : {false, true}) {
    std::mt19937_64 rng(seed ^ std::hash<std::string>{}(GetParam()) ^ utc);
    int moved_time_of_day = 0;
    int moved_day = 0;
    for (uint64_t i = 0; i < cases; ++i) {
      const walk_case c = draw(rng, utc);
      const schedule::next_result fast = schedule::next_occurrence(
          {c.monthly ? 4 : 3, c.mask, 0, c.base, 0, utc}, c.now);
      const literal::result expected =
          c.monthly ? literal::monthly(c.base, c.now, utc) : literal::weekly(c.base, c.now, c.mask, utc);
      ASSERT_EQ(fast.status, expected.status) << "seed " << seed << " case " << i << (utc ? " UTC" : " local")
                                              << (c.monthly ? " monthly" : " weekly") << " base " << c.base
                                              << " now " << c.now << " mask " << c.mask;
      ASSERT_EQ(fast.next, expected.next) << "seed " << seed << " case " << i << (utc ? " UTC" : " local")
                                          << (c.monthly ? " monthly" : " weekly") << " base " << c.base << " now "
                                          << c.now << " mask " << c.mask;
      // How often the walk moved the day or the time of day, so that those paths are known to be run.
      if (c.monthly && expected.next && *expected.next > c.now) {
        const auto from = literal::fields(c.base, utc);
        const auto to = literal::fields(*expected.next, utc);
        if (from && to && from->wDay != to->wDay) ++moved_day;
        if (from && to && (from->wHour != to->wHour || from->wMinute != to->wMinute)) ++moved_time_of_day;
      }
    }
    EXPECT_GT(moved_day, 0);
    if (utc && std::string(GetParam()) != "UTC") {
      EXPECT_GT(moved_time_of_day, 0);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Zones, WalkEquivalence,
                         ::testing::Values("UTC", "Europe/Berlin", "America/New_York", "Australia/Lord_Howe"),
                         [](const ::testing::TestParamInfo<const char*>& zone_param) {
                           std::string name = zone_param.param;
                           for (char& ch : name) {
                             if (ch == '/') ch = '_';
                           }
                           return name;
                         });

}  // namespace
