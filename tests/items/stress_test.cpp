// The item collection under concurrent use. Threads add, update, run and remove their own items
// while another enumerates and another subscribes and unsubscribes sinks: a sink subscribed
// throughout hears every item's add, updates and removal, in that order. And a removal made while
// another thread's addition is still being announced is made at once and heard after it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <latch>
#include <map>
#include <thread>
#include <vector>

#include <comrt/event.h>

#include "fakes/schedule_doubles.h"
#include "items/schedule_item.h"
#include "items/schedule_items.h"

namespace {

using comrt::com_ptr;
using fakes::dispatch_call;
using tolvane::CScheduleItem;
using tolvane::CScheduleItems;

constexpr std::chrono::seconds kHangGuard{60};

struct ItemsStress : ::testing::Test {
  ItemsStress() { fakes::advise<_IScheduleItemsEvents>(items->identity(), sink->identity()); }
  ~ItemsStress() override { EXPECT_EQ(items->Disconnect(), S_OK); }
  com_ptr<CScheduleItems> items = comrt::make<CScheduleItems>();
  com_ptr<fakes::DispatchSink> sink = comrt::make<fakes::DispatchSink>();
};

TEST_F(ItemsStress, ConcurrentChangesUpdatesAndSubscriptionsKeepEveryItemsEventsInOrder) {
  constexpr int kWriters = 2, kRounds = 150;
  std::atomic<bool> writing{true};
  std::atomic<int> failures{0};
  std::latch start(kWriters + 2);
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&] {
      start.arrive_and_wait();
      for (int i = 0; i < kRounds; ++i) {  // Update, then Run's own update, then the removal
        auto item = comrt::make<CScheduleItem>();
        failures += items->AddItem(item.get()) != S_OK || item->Update() != S_OK || item->Run(nullptr) != S_OK ||
                    items->RemoveItem(item.get()) != S_OK;
      }
    });
  }
  threads.emplace_back([&] {  // a reader
    start.arrive_and_wait();
    for (com_ptr<IScheduleItem> item; writing;) {
      com_ptr<IEnumScheduleItem> e;
      failures += items->get_NewEnum(e.put()) != S_OK;
      while (e && e->Next(1, item.put(), nullptr) == S_OK) {
      }
    }
  });
  threads.emplace_back([&] {  // subscribers coming and going
    start.arrive_and_wait();
    while (writing) {
      auto other = comrt::make<fakes::DispatchSink>();
      const DWORD c = fakes::advise<_IScheduleItemsEvents>(items->identity(), other->identity());
      failures += fakes::unadvise<_IScheduleItemsEvents>(items->identity(), c) != S_OK;
    }
  });
  for (int w = 0; w < kWriters; ++w) threads[w].join();
  writing = false;
  for (auto& t : threads) t.joinable() ? t.join() : void();
  EXPECT_EQ(failures, 0);

  // Each item goes add (1), two updates (3), removal (2); an address is reused only after removal.
  std::map<IDispatch*, std::vector<DISPID>> open;
  int removed = 0;
  for (const dispatch_call& c : sink->calls()) {
    open[c.argument].push_back(c.id);
    if (c.id != 2) continue;
    EXPECT_EQ(open[c.argument], (std::vector<DISPID>{1, 3, 3, 2}));
    open.erase(c.argument);
    ++removed;
  }
  EXPECT_EQ(removed, kWriters * kRounds);
  EXPECT_TRUE(open.empty());
}

TEST_F(ItemsStress, ARemovalDuringAnotherThreadsAdditionIsMadeAtOnceAndHeardAfterIt) {
  auto item = comrt::make<CScheduleItem>();
  comrt::event adding(comrt::event_reset::manual), gate(comrt::event_reset::manual);
  std::vector<std::thread::id> threads;
  sink->on_call = [&](const dispatch_call& c) {
    threads.push_back(std::this_thread::get_id());
    if (c.id != 1) return;
    adding.set();
    EXPECT_TRUE(gate.wait(kHangGuard));
  };
  std::thread adder([&] { EXPECT_EQ(items->AddItem(item.get()), S_OK); });
  ASSERT_TRUE(adding.wait(kHangGuard));
  std::thread remover([&] { EXPECT_EQ(items->RemoveItem(item.get()), S_OK); });
  LONG count = 1;
  for (const auto deadline = std::chrono::steady_clock::now() + kHangGuard;
       items->get_Count(&count) == S_OK && count != 0 && std::chrono::steady_clock::now() < deadline;)
    std::this_thread::yield();
  EXPECT_EQ(count, 0) << "the removal is made at once";
  gate.set();
  const std::vector<std::thread::id> expected{adder.get_id(), remover.get_id()};
  adder.join();
  remover.join();
  EXPECT_EQ(sink->calls(), (std::vector<dispatch_call>{{1, item.get()}, {2, item.get()}}));
  EXPECT_EQ(threads, expected);
}

}  // namespace
