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
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <comrt/object.h>
#include <comrt/time.h>

#include "items/schedule_item.h"
#include "scheduler/scheduler.h"
#include "triggers/schedule_trigger.h"

namespace {

using comrt::com_ptr;

// Records the second of every run of one item.
class CountingAction final : public comrt::implements<CountingAction, IScheduleAction> {
 public:
  // Room for every run up front, so that recording them does not itself grow resident memory.
  explicit CountingAction(size_t runs) { seconds.reserve(runs); }

  HRESULT STDMETHODCALLTYPE Run(IUnknown*) override {
    const int64_t now = comrt::now_unix();
    std::lock_guard guard(mutex);
    seconds.push_back(now);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(IScheduleAction**) override { return E_NOTIMPL; }

  std::mutex mutex;
  std::vector<int64_t> seconds;
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
    auto action = comrt::make<CountingAction>(static_cast<size_t>(duration) + 60);
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
  // last of those, with a margin so that items added late in a tick or cut off at the end count.
  std::set<int64_t> ticked;
  for (auto& a : actions) ticked.insert(a->seconds.begin(), a->seconds.end());
  if (ticked.empty()) {
    std::printf("FAIL: nothing ran\n");
    return 1;
  }
  const int64_t first = *ticked.begin() + 1, last = std::min(*ticked.rbegin(), stop_at) - 1;
  long doubled = 0, missed = 0, runs = 0, late = 0;
  for (int64_t s = first; s <= last; ++s) late += ticked.count(s) == 0;
  for (auto& a : actions) {
    std::map<int64_t, int> per_second;
    for (int64_t s : a->seconds) ++per_second[s];
    for (auto [s, n] : per_second) {
      if (s >= first && s <= last) runs += n;
      if (n > 1) doubled += n - 1;
    }
    for (int64_t s = first; s <= last; ++s) missed += ticked.count(s) && !per_second.count(s);
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
