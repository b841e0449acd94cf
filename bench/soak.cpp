// Soak: many items with one-second custom triggers, run by the scheduler's own thread on the real
// clock for a long time. Every item's action records the second (UTC) in which it ran; at the end
// the program checks that no item ran twice in one second, that no item skipped a second in which
// the thread ticked, and that resident memory stayed flat after the warm-up.
//
//   bench_soak [seconds=600] [items=1000]
//
// A second in which no item ran at all is a second without a tick (a late tick): it is reported
// and not counted as a miss, since a late tick makes up nothing. Exit status 0 when all checks pass.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include <comrt/object.h>
#include <comrt/time.h>

#include "items/schedule_item.h"
#include "scheduler/scheduler.h"
#include "triggers/schedule_trigger.h"

namespace {

using comrt::com_ptr;

// Counts the runs of one item per second (UTC) since `origin`. The counters are allocated and
// touched up front, so that recording the runs does not itself grow resident memory.
class CountingAction final : public comrt::implements<CountingAction, IScheduleAction> {
 public:
  CountingAction(int64_t origin, size_t seconds) : origin(origin), runs(seconds, 0) {}

  HRESULT STDMETHODCALLTYPE Run(IUnknown*) override {
    const int64_t i = comrt::now_unix() - origin;
    std::lock_guard guard(mutex);
    if (i >= 0 && static_cast<size_t>(i) < runs.size()) ++runs[static_cast<size_t>(i)];
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(IScheduleAction**) override { return E_NOTIMPL; }

  const int64_t origin;
  std::mutex mutex;
  std::vector<uint16_t> runs;
};

long resident_kib() {
  long pages = 0, resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

}  // namespace

int main(int argc, char** argv) {
  const int duration = argc > 1 ? std::atoi(argv[1]) : 600;
  const int count = argc > 2 ? std::atoi(argv[2]) : 1000;
  const int warm_up = std::min(60, duration / 10);

  auto scheduler = comrt::make<tolvane::CScheduler>();
  const int64_t origin = comrt::now_unix();
  std::vector<com_ptr<CountingAction>> actions;
  for (int i = 0; i < count; ++i) {
    auto item = comrt::make<tolvane::CScheduleItem>();
    auto trigger = comrt::make<tolvane::CScheduleScheduleTrigger>();
    trigger->put_UTC(VARIANT_TRUE);
    trigger->put_Recurrence(tvScheduleScheduleTriggerRecurrenceCustom);
    trigger->put_RecurrenceTimeInterval(1);
    trigger->put_StartTimeAsUnixTime(static_cast<ULONGLONG>(comrt::now_unix() + 2));
    trigger->UpdateNextOccurrence();
    com_ptr<IScheduleTriggers> triggers;
    item->get_Triggers(triggers.put());
    triggers->Add(trigger.as<IScheduleTrigger>().get());
    auto action = comrt::make<CountingAction>(origin, static_cast<size_t>(duration) + 60);
    com_ptr<IScheduleActions> item_actions;
    item->get_Actions(item_actions.put());
    item_actions->Add(action.as<IScheduleAction>().get());
    actions.push_back(action);
    scheduler->AddItem(item.get());
  }

  std::vector<long> rss;
  const auto start = std::chrono::steady_clock::now();
  for (int t = 0; t < duration; t += 10) {
    std::this_thread::sleep_until(start + std::chrono::seconds(t + 10));
    rss.push_back(resident_kib());
    if ((t + 10) % 60 == 0) std::fprintf(stderr, "%4d s  rss %ld KiB\n", t + 10, rss.back());
  }
  const auto stop_at = comrt::now_unix();
  scheduler->thread().Stop();

  // Seconds in which the thread ran anything; the window checked lies between the first and the
  // last of those, with a margin so that the start and the cut-off at the end do not count.
  const size_t slots = actions.front()->runs.size();
  std::vector<bool> ticked(slots, false);
  for (auto& a : actions) {
    for (size_t i = 0; i < slots; ++i) ticked[i] = ticked[i] || a->runs[i] != 0;
  }
  size_t first = 0, last = std::min(slots, static_cast<size_t>(stop_at - origin));
  while (first < last && !ticked[first]) ++first;
  while (last > first && !ticked[last - 1]) --last;
  ++first;
  last -= 2;
  if (first >= last) {
    std::printf("FAIL: nothing ran\n");
    return 1;
  }
  long doubled = 0, missed = 0, runs = 0, late = 0;
  for (size_t i = first; i <= last; ++i) late += !ticked[i];
  for (auto& a : actions) {
    for (size_t i = 0; i < slots; ++i) {
      if (a->runs[i] > 1) doubled += a->runs[i] - 1;
      if (i < first || i > last) continue;
      runs += a->runs[i];
      missed += ticked[i] && a->runs[i] == 0;
    }
  }
  const long base = rss[static_cast<size_t>(warm_up / 10)];
  const long peak = *std::max_element(rss.begin() + warm_up / 10, rss.end());
  const long low = *std::min_element(rss.begin() + warm_up / 10, rss.end());
  const double drift = 100.0 * static_cast<double>(peak - low) / static_cast<double>(base);
  std::printf("items %d, %d s, seconds checked %lld, runs %ld (%.2f per item per second checked)\n", count,
              duration, static_cast<long long>(last - first + 1), runs,
              static_cast<double>(runs) / count / static_cast<double>(last - first + 1));
  std::printf("doubled %ld, missed %ld, seconds without a tick %ld\n", doubled, missed, late);
  std::printf("resident after %d s warm-up %ld KiB, range %ld..%ld KiB (%.2f %%)\n", warm_up, base, low, peak, drift);
  const bool ok = doubled == 0 && missed == 0 && drift <= 5.0;
  std::printf("%s\n", ok ? "PASS" : "FAIL");
  return ok ? 0 : 1;
}
