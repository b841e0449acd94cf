// The time trigger's UpdateNextOccurrence for Weekly and Monthly with the base 1 day, 1 year and
// 10 years before now, in both clocks, beside the walk one day or one month at a time.
#include <benchmark/benchmark.h>

#include <cstdlib>

#include <comrt/time.h>

#include "tests/triggers/literal_walk.h"
#include "triggers/schedule_trigger.h"

namespace {

constexpr int64_t kNow = 1'733'400'000;  // 2024-12-05, a Thursday
constexpr int32_t kMask = 34;            // Monday and Friday

struct zone_and_clock {
  zone_and_clock() {
    setenv("TZ", "Europe/Berlin", 1);
    RtSetClock(comrt::unix_to_ticks(kNow));
  }
};

// Arguments: recurrence (3 Weekly, 4 Monthly), days back, clock (1 UTC, 0 local).
void UpdateNextOccurrence(benchmark::State& state) {
  static zone_and_clock setup;
  const bool utc = state.range(2) != 0;
  auto trigger = comrt::make<tolvane::CScheduleScheduleTrigger>();
  trigger->put_UTC(utc ? VARIANT_TRUE : VARIANT_FALSE);
  trigger->put_Recurrence(static_cast<ScheduleScheduleTriggerRecurrence>(state.range(0)));
  trigger->put_WeekMask(static_cast<ScheduleScheduleTriggerWeekMask>(kMask));
  const int64_t now = tolvane::schedule::now(utc);
  trigger->put_StartTimeAsUnixTime(static_cast<ULONGLONG>(now - state.range(1) * 86400 - 3600));
  for (auto _ : state) benchmark::DoNotOptimize(trigger->UpdateNextOccurrence());
}

// The computation alone, with now given, as the walk below gets it.
void NextOccurrence(benchmark::State& state) {
  static zone_and_clock setup;
  const bool utc = state.range(2) != 0;
  const int64_t now = tolvane::schedule::now(utc);
  const tolvane::schedule::recurrence_settings settings{static_cast<int32_t>(state.range(0)), kMask, 0,
                                                        now - state.range(1) * 86400 - 3600, 0, utc};
  for (auto _ : state) benchmark::DoNotOptimize(tolvane::schedule::next_occurrence(settings, now));
}

void LiteralWalk(benchmark::State& state) {
  static zone_and_clock setup;
  const bool utc = state.range(2) != 0;
  const int64_t now = tolvane::schedule::now(utc);
  const int64_t base = now - state.range(1) * 86400 - 3600;
  for (auto _ : state) {
    benchmark::DoNotOptimize(state.range(0) == 3 ? literal::weekly(base, now, kMask, utc)
                                                 : literal::monthly(base, now, utc));
  }
}

void cases(benchmark::internal::Benchmark* b) {
  for (const int64_t recurrence : {3, 4}) {
    for (const int64_t utc : {1, 0}) {
      for (const int64_t days : {1, 365, 3650}) b->Args({recurrence, days, utc});
    }
  }
}

BENCHMARK(UpdateNextOccurrence)->Apply(cases)->ArgNames({"recurrence", "days_back", "utc"});
BENCHMARK(NextOccurrence)->Apply(cases)->ArgNames({"recurrence", "days_back", "utc"});
BENCHMARK(LiteralWalk)->Apply(cases)->ArgNames({"recurrence", "days_back", "utc"});

}  // namespace

BENCHMARK_MAIN();
