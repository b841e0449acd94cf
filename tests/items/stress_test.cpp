// The item collection under concurrent use: threads add, update, run and remove their own items
// while another enumerates and another subscribes and unsubscribes sinks. A sink that stays
// subscribed throughout must hear every item's add, updates and removal, in that order.
#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "fakes/schedule_doubles.h"
#include "items/schedule_item.h"
#include "items/schedule_items.h"

namespace {

using comrt::com_ptr;
using tolvane::CScheduleItem;
using tolvane::CScheduleItems;

// Follows each item through add, two updates and removal; counts steps out of that order.
class OrderSink final : public comrt::implements<OrderSink, IScheduleItemsEvents> {
 public:
  HRESULT STDMETHODCALLTYPE OnAddItem(IScheduleItem* i) override {
    std::lock_guard g(m_);
    if (!live_.try_emplace(i, 0).second) ++out_of_order;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnUpdateItem(IScheduleItem* i) override {
    std::lock_guard g(m_);
    auto it = live_.find(i);
    if (it == live_.end()) {
      ++out_of_order;
    } else {
      ++it->second;
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnRemoveItem(IScheduleItem* i) override {
    std::lock_guard g(m_);
    auto it = live_.find(i);
    if (it == live_.end() || it->second != 2) ++out_of_order;
    if (it != live_.end()) live_.erase(it);
    ++removed;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnRemoveAllItems() override { return S_OK; }
  std::atomic<int> out_of_order{0}, removed{0};

 private:
  std::mutex m_;
  std::map<IScheduleItem*, int> live_;
};

TEST(ItemsStress, ConcurrentChangesUpdatesAndSubscriptionsKeepEveryItemsEventsInOrder) {
  constexpr int kWriters = 2, kRounds = 150;
  auto items = comrt::make<CScheduleItems>();
  auto order = comrt::make<OrderSink>();
  fakes::advise<IScheduleItemsEvents>(items->identity(), order->identity());
  std::atomic<bool> writing{true};
  std::atomic<int> failures{0};
  std::latch start(kWriters + 2);
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&] {
      start.arrive_and_wait();
      for (int i = 0; i < kRounds; ++i) {
        auto item = comrt::make<CScheduleItem>();
        // Update, then Run's own update, then the removal.
        if (items->AddItem(item.get()) != S_OK || item->Update() != S_OK || item->Run(nullptr) != S_OK ||
            items->RemoveItem(item.get()) != S_OK)
          ++failures;
      }
    });
  }
  threads.emplace_back([&] {  // a reader
    start.arrive_and_wait();
    while (writing) {
      com_ptr<IEnumScheduleItem> e;
      com_ptr<IScheduleItem> item;
      ULONG fetched = 0;
      if (items->get_NewEnum(e.put()) != S_OK) ++failures;
      while (e->Next(1, item.put(), &fetched) == S_OK) {
      }
    }
  });
  threads.emplace_back([&] {  // subscribers coming and going
    start.arrive_and_wait();
    while (writing) {
      auto sink = comrt::make<OrderSink>();
      const DWORD cookie = fakes::advise<IScheduleItemsEvents>(items->identity(), sink->identity());
      if (fakes::unadvise<IScheduleItemsEvents>(items->identity(), cookie) != S_OK) ++failures;
    }
  });
  for (int w = 0; w < kWriters; ++w) threads[w].join();
  writing = false;
  for (auto& t : threads)
    if (t.joinable()) t.join();

  EXPECT_EQ(failures, 0);
  EXPECT_EQ(order->out_of_order, 0);
  EXPECT_EQ(order->removed, kWriters * kRounds);
  EXPECT_EQ(items->Disconnect(), S_OK);
}

}  // namespace
