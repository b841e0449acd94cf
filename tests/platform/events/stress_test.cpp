// Firing while sinks advise and unadvise on other threads and from inside their own handlers.
// Run under the thread sanitizer this also checks the locking of the sink arrays.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <latch>
#include <memory>
#include <thread>
#include <vector>

#include "event_doubles.h"

namespace event_test {
namespace {

TEST(ConnectionPointStress, FiringWhileSinksComeAndGo) {
  constexpr int kFiringThreads = 2, kFirings = 500, kChurnThreads = 2, kChurn = 500;
  const int live_before = live_objects;
  auto source = comrt::make<Source>();
  IUnknown* const src = source->identity();
  auto noop = [](LONG) { return S_OK; };

  // Sinks in front of the steady one, each unadvised by a handler while firings are under way.
  std::vector<DWORD> early;
  for (int i = 0; i < 8; ++i) early.push_back(advise<ITestEvents>(src, comrt::make<FnSink>(noop)->identity()));
  std::atomic<size_t> next_early{0};
  // Never unadvised: called exactly once per firing, whatever happens around it.
  std::atomic<int> steady_calls{0};
  const DWORD steady = advise<ITestEvents>(src, comrt::make<FnSink>([&](LONG) {
                                                  ++steady_calls;
                                                  return S_OK;
                                                })->identity());
  // Hopping sinks: each, once called, unadvises itself and one early sink, and advises a successor.
  std::function<void()> add_hopper = [&] {
    auto cookie = std::make_shared<std::atomic<DWORD>>(0);
    cookie->store(advise<ITestEvents>(src, comrt::make<FnSink>([&, cookie](LONG) {
                                             const DWORD mine = cookie->exchange(0);
                                             if (mine == 0) return S_OK;  // not stored yet, or already hopped
                                             EXPECT_EQ(unadvise<ITestEvents>(src, mine), S_OK);
                                             const size_t victim = next_early++;
                                             if (victim < early.size()) unadvise<ITestEvents>(src, early[victim]);
                                             add_hopper();
                                             return S_OK;
                                           })->identity()));
  };
  add_hopper();

  std::latch start(kFiringThreads + kChurnThreads);  // all workers start together so their work overlaps
  std::vector<std::thread> threads;
  for (int t = 0; t < kFiringThreads; ++t) {
    threads.emplace_back([&] {
      start.arrive_and_wait();
      for (int i = 0; i < kFirings; ++i) source->Ping(i);
    });
  }
  for (int t = 0; t < kChurnThreads; ++t) {
    threads.emplace_back([&] {
      start.arrive_and_wait();
      for (int i = 0; i < kChurn; ++i) {
        const DWORD cookie = advise<ITestEvents>(src, comrt::make<FnSink>(noop)->identity());
        com_ptr<IEnumConnections> snapshot;
        if (i % 16 == 0) {
          EXPECT_EQ(point_of(src, IID_ITestEvents)->EnumConnections(snapshot.put()), S_OK);
        }
        EXPECT_EQ(unadvise<ITestEvents>(src, cookie), S_OK);
      }
    });
  }
  for (auto& t : threads) t.join();

  EXPECT_EQ(steady_calls.load(), kFiringThreads * kFirings);
  EXPECT_EQ(unadvise<ITestEvents>(src, steady), S_OK);
  source = nullptr;  // releases the last hopper and the early sinks left
  EXPECT_EQ(live_objects, live_before);
}

}  // namespace
}  // namespace event_test
