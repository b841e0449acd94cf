// The time trigger's Weekly and Monthly computations against the plain walk one day or one month at
// a time, on random bases, nows, masks and clocks in four zones: daylight-saving gaps and overlaps,
// month ends, bases far in the past, and the ends of the calendar (negative times, the year 3000).
//
// For a longer run by hand: TOLVANE_WALK_CASES=<cases per zone and clock> TOLVANE_WALK_SEED=<seed>.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <regex>
#include <string>

#include "fakes/schedule_doubles.h"
#include "literal_walk.h"
#include "triggers/schedule_calendar.h"

namespace {

uint64_t env_number(const char* name, uint64_t fallback) {
  return std::getenv(name) ? std::strtoull(std::getenv(name), nullptr, 10) : fallback;
}

class WalkEquivalence : public ::testing::TestWithParam<const char*> {};

TEST_P(WalkEquivalence, BoundedComputationGivesTheResultsOfTheDayByDayAndMonthByMonthWalk) {
  fakes::time_zone zone(GetParam());
  const uint64_t cases = env_number("TOLVANE_WALK_CASES", 10'000);
  const uint64_t seed = env_number("TOLVANE_WALK_SEED", 20261206);
  constexpr int64_t day = 86400;
  for (const bool utc : {false, true}) {
    std::mt19937_64 rng(seed ^ std::hash<std::string>{}(GetParam()) ^ utc);
    const auto pick = [&](int64_t lo, int64_t hi) { return std::uniform_int_distribution<int64_t>(lo, hi)(rng); };
    int moved_time_of_day = 0;
    for (uint64_t i = 0; i < cases; ++i) {
      const bool monthly = pick(0, 1);
      // Now: mostly in the years of the zone's table, often in those of its annual rule, sometimes
      // anywhere up to the year 3000 or at either end of the calendar.
      const int64_t where = pick(0, 99);
      int64_t now = where < 75 ? pick(0, 2'100'000'000) : where < 87 ? pick(2'100'000'000, 4'200'000'000)
                    : where < 90 ? pick(0, comrt::crt_time_max) : where < 95 ? pick(-400'000'000, 40'000'000)
                                 : comrt::crt_time_max + pick(-80'000'000, 40'000'000);
      // The base: local fields a while before now (seldom far: the plain walk steps a day or month
      // at a time), with month ends and the small hours, when daylight saving changes, made likely.
      const int64_t r = pick(0, 99);
      const int64_t back = monthly ? (r < 50 ? pick(0, 90 * day) : r < 98 ? pick(0, 1500 * day) : pick(0, 5500 * day))
                                   : (r < 97 ? pick(0, 14 * day) : pick(0, 365 * day));
      int64_t base = now - back;
      if (const auto a = literal::fields(base, utc)) {
        const SYSTEMTIME f{a->wYear, a->wMonth, 0, WORD(pick(0, 1) ? pick(25, 31) : pick(1, 31)),
                         WORD(pick(0, 1) ? pick(0, 3) : pick(0, 23)), WORD(pick(0, 3) * 15 + pick(0, 1)), WORD(pick(0, 59)), 0};
        if (FAILED(literal::from_fields(f, utc, base)) || (!monthly && base < now - 400 * day)) base = now - back;
      }
      switch (pick(0, 19)) {
        case 0: base = now + pick(1, 40 * day); break;
        case 1: now = (base = pick(-12'000'000'000, -1)) + pick(-day, 200 * day); break;  // before 1970 and 1601
        case 2: base = comrt::crt_time_max + pick(-40 * day, 40 * day); break;
      }
      const int64_t m = pick(0, 9);
      const auto mask = static_cast<int32_t>(m == 0 ? 0 : m == 1 ? pick(1, 0xffff) << 7 : pick(1, 0x7fffff));

      const auto fast = tolvane::schedule::next_occurrence({monthly ? 4 : 3, mask, 0, base, 0, utc}, now);
      const auto plain = monthly ? literal::monthly(base, now, utc) : literal::weekly(base, now, mask, utc);
      ASSERT_TRUE(fast.status == plain.status && fast.next == plain.next)
          << "seed " << seed << " case " << i << " utc " << utc << " monthly " << monthly << " base " << base << " now "
          << now << " mask " << mask << ": " << fast.status << " " << fast.next.value_or(-1) << " not " << plain.status;
      // Daylight-saving gaps, which move the time of day for good, are known to be met.
      const auto from = literal::fields(base, utc);
      const auto to = plain.next ? literal::fields(*plain.next, utc) : std::nullopt;
      if (monthly && from && to && *plain.next > now && (from->wHour != to->wHour || from->wMinute != to->wMinute))
        ++moved_time_of_day;
    }
    EXPECT_TRUE(!utc || std::string(GetParam()) == "UTC" || moved_time_of_day > 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Zones, WalkEquivalence,
                         ::testing::Values("UTC", "Europe/Berlin", "America/New_York", "Australia/Lord_Howe"),
                         [](const auto& p) { return std::regex_replace(p.param, std::regex("/"), "_"); });

}  // namespace
