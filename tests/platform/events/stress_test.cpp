// Firing while sinks advise and unadvise on other threads and from inside their own handlers.
// Run under the thread sanitizer this also checks the locking of the sink arrays.
#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <memory>
#include <thread>
#include <vector>

#include "event_doubles.h"

namespace event_test {
namespace {

TEST(ConnectionPointStress, FiringWhileSinksComeAndGo) {
  constexpr int kThreads = 2, kRounds = 500;
  const int live_before = live_objects;
  auto source = comrt::make<Source>();
  IUnknown* const src = source->identity();
  auto noop = [](LONG) { return S_OK; };

  // Sinks in front of the steady one, each unadvised by a hopper while firings are under way.
  std::vector<DWORD> early;
  for (int i = 0; i < 8; ++i) early.push_back(advise<ITestEvents>(src, sink_of(noop).get()));
  std::atomic<size_t> next_early{0};
  std::atomic<int> steady_calls{0};  // never unadvised: called exactly once per firing
  const DWORD steady = advise<ITestEvents>(src, sink_of([&](LONG) { return ++steady_calls, S_OK; }).get());
  // A hopper, once called, unadvises itself and one early sink, and advises its successor.
  std::function<void()> add_hopper = [&] {
    auto cookie = std::make_shared<std::atomic<DWORD>>(0);
    cookie->store(advise<ITestEvents>(src, sink_of([&, cookie](LONG) {
                                           const DWORD mine = cookie->exchange(0);
                                           if (mine == 0) return S_OK;  // not stored yet, or already hopped
                                           EXPECT_EQ(unadvise<ITestEvents>(src, mine), S_OK);
                                           const size_t victim = next_early++;
                                           if (victim < early.size()) unadvise<ITestEvents>(src, early[victim]);
                                           add_hopper();
                                           return S_OK;
                                         }).get()));
  };
  add_hopper();

  std::latch start(2 * kThreads);  // all workers start together so their work overlaps
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] { start.arrive_and_wait(); for (int i = 0; i < kRounds; ++i) source->Ping(i); });
    threads.emplace_back([&] {
      start.arrive_and_wait();
      for (int i = 0; i < kRounds; ++i) {
        const DWORD cookie = advise<ITestEvents>(src, sink_of(noop).get());
        com_ptr<IEnumConnections> snapshot;
        if (i % 16 == 0) point_of(src, IID_ITestEvents)->EnumConnections(snapshot.put());
        EXPECT_EQ(unadvise<ITestEvents>(src, cookie), S_OK);
      }
    });
  }
  for (auto& t : threads) t.join();

  EXPECT_EQ(steady_calls.load(), kThreads * kRounds);
  EXPECT_EQ(unadvise<ITestEvents>(src, steady), S_OK);
  source = nullptr;  // releases the last hopper and the early sinks left
  EXPECT_EQ(live_objects, live_before);
}

}  // namespace
}  // namespace event_test
