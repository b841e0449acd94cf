// One tick of the scheduler over many enabled items that are not due (each with one time trigger
// and one queue action), beside a plain loop that makes the same comparisons over plain structs,
// and the memory that such items take.
//
// The scheduler's own thread is kept from ticking by a manual timer clock; the ticks measured here
// are called directly, as the thread would call them.
#include <benchmark/benchmark.h>

#include <malloc.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include <comrt/message_queue.h>
#include <comrt/time.h>

#include "actions/queue_action.h"
#include "bench/bench_items.h"
#include "items/schedule_item.h"
#include "scheduler/scheduler.h"
#include "triggers/schedule_calendar.h"
#include "triggers/schedule_trigger.h"

namespace {

using comrt::com_ptr;

constexpr int64_t kNow = 1'733'400'000;  // 2024-12-05

struct fixed_setup {
  fixed_setup() {
    setenv("TZ", "Europe/Berlin", 1);
    RtSetClock(comrt::unix_to_ticks(kNow));
    tolvane::CScheduler::set_timer_clock(std::make_shared<comrt::manual_timer_clock>());
  }
};

void setup_once() { static fixed_setup setup; }

// An enabled item whose one time trigger (in the default, local clock) fires a day from now, with
// one queue action.
com_ptr<tolvane::CScheduleItem> make_item() {
  auto trigger = comrt::make<tolvane::CScheduleScheduleTrigger>();
  trigger->put_StartTimeAsUnixTime(static_cast<ULONGLONG>(tolvane::schedule::now(false) + 86400));
  trigger->UpdateNextOccurrence();
  return bench::item_with(trigger.as<IScheduleTrigger>().get(),
                          comrt::make<tolvane::CScheduleQueueAction>().as<IScheduleAction>().get());
}

com_ptr<tolvane::CScheduler> make_scheduler(int64_t count) {
  auto s = comrt::make<tolvane::CScheduler>();
  for (int64_t i = 0; i < count; ++i) s->AddItem(make_item().get());
  return s;
}

void Tick(benchmark::State& state) {
  setup_once();
  auto s = make_scheduler(state.range(0));
  for (auto _ : state) s->OnTimer();
  state.SetItemsProcessed(state.iterations() * state.range(0));
  state.counters["ns_per_item"] = benchmark::Counter(static_cast<double>(state.range(0)),
                                                     benchmark::Counter::kIsIterationInvariantRate |
                                                         benchmark::Counter::kInvert);
}

// The same decisions over plain structs: enabled, marked, then the trigger's enable, start,
// expiry, pending and due comparisons against one "now".
struct plain_trigger {
  bool enable = true;
  int64_t start = 0, expire = 0, last = 0, next = 0;
};
struct plain_item {
  bool enable = true;
  bool schedule_run = false;
  std::unique_ptr<plain_trigger> trigger = std::make_unique<plain_trigger>();
};

void PlainLoop(benchmark::State& state) {
  setup_once();
  std::vector<plain_item> items(static_cast<size_t>(state.range(0)));
  const int64_t at = tolvane::schedule::now(false);
  for (auto& i : items) i.trigger->start = i.trigger->next = at + 86400;
  int64_t runs = 0;
  for (auto _ : state) {
    const int64_t now = tolvane::schedule::now(false);
    for (auto& i : items) {
      benchmark::DoNotOptimize(&i);
      if (!i.enable) continue;
      if (!i.schedule_run) {
        const plain_trigger& t = *i.trigger;
        const bool due = t.enable && now >= t.start && !(t.expire != 0 && now >= t.expire) && t.next > t.last &&
                         now >= t.next;
        if (!due) continue;
      }
      ++runs;
    }
  }
  benchmark::DoNotOptimize(runs);
  state.SetItemsProcessed(state.iterations() * state.range(0));
  state.counters["ns_per_item"] = benchmark::Counter(static_cast<double>(state.range(0)),
                                                     benchmark::Counter::kIsIterationInvariantRate |
                                                         benchmark::Counter::kInvert);
}

// Heap bytes per item (mallinfo2 before and after building the scheduler), reported as a counter.
void MemoryPerItem(benchmark::State& state) {
  setup_once();
  for (auto _ : state) {
    malloc_trim(0);
    const size_t before = mallinfo2().uordblks;
    auto s = make_scheduler(state.range(0));
    const size_t after = mallinfo2().uordblks;
    state.counters["bytes_per_item"] =
        static_cast<double>(after - before) / static_cast<double>(state.range(0));
    state.PauseTiming();
    s = nullptr;
    state.ResumeTiming();
  }
}

BENCHMARK(Tick)->Arg(1000)->Arg(100'000)->Unit(benchmark::kMillisecond);
BENCHMARK(PlainLoop)->Arg(100'000)->Unit(benchmark::kMillisecond);
BENCHMARK(MemoryPerItem)->Arg(100'000)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
