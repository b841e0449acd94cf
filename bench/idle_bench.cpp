// Idle cost of the scheduler thread: 1,000 items, none due, ticking on the real clock. The
// process's CPU time (getrusage) over the wait is reported as a share of one core; the waiting
// thread itself sleeps.
//
//   bench_idle_bench [--benchmark_filter=...]   (one 60 s iteration)
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <chrono>
#include <thread>

#include <comrt/time.h>

#include "actions/queue_action.h"
#include "bench/bench_items.h"
#include "items/schedule_item.h"
#include "scheduler/scheduler.h"
#include "triggers/schedule_trigger.h"

namespace {

using comrt::com_ptr;

double cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

void IdleScheduler(benchmark::State& state) {
  auto s = comrt::make<tolvane::CScheduler>();
  for (int64_t i = 0; i < state.range(0); ++i) {
    auto trigger = comrt::make<tolvane::CScheduleScheduleTrigger>();
    trigger->put_UTC(VARIANT_TRUE);
    trigger->put_StartTimeAsUnixTime(static_cast<ULONGLONG>(comrt::now_unix() + 86400));
    trigger->UpdateNextOccurrence();
    const auto item = bench::item_with(trigger.as<IScheduleTrigger>().get(),
                                       comrt::make<tolvane::CScheduleQueueAction>().as<IScheduleAction>().get());
    s->AddItem(item.get());
  }
  const auto wait = std::chrono::seconds(state.range(1));
  for (auto _ : state) {
    const double before = cpu_seconds();
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(wait);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = cpu_seconds() - before;
    state.counters["cpu_ms"] = cpu * 1e3;
    state.counters["core_percent"] = 100.0 * cpu / wall;
  }
}

BENCHMARK(IdleScheduler)->Args({1000, 60})->ArgNames({"items", "seconds"})->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
