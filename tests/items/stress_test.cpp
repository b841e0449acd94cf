// The item collection under concurrent use: threads add, update, run and remove their own items
// while another enumerates and searches and another subscribes and unsubscribes sinks. A sink
// that stays subscribed throughout must hear every item's add, updates and removal, in that order.
#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <map>
#include <memory>
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

// Follows each item through add, updates and removal; counts events out of that order. Its
// handlers read the collection, as a client's might.
class OrderSink final : public comrt::implements<OrderSink, IScheduleItemsEvents> {
 public:
  explicit OrderSink(IScheduleItems* items) : items_(items) {}
  HRESULT STDMETHODCALLTYPE OnAddItem(IScheduleItem* item) override { return step(item, false, true); }
  HRESULT STDMETHODCALLTYPE OnUpdateItem(IScheduleItem* item) override {
    ++updates;
    return step(item, true, true);
  }
  HRESULT STDMETHODCALLTYPE OnRemoveItem(IScheduleItem* item) override { return step(item, true, false); }
  HRESULT STDMETHODCALLTYPE OnRemoveAllItems() override { return S_OK; }

  std::atomic<int> adds{0}, updates{0}, removes{0}, out_of_order{0};

 private:
  HRESULT step(IScheduleItem* item, bool must_be_present, bool present_after) {
    LONG n = 0;
    if (FAILED(items_->get_Count(&n))) ++out_of_order;
    std::lock_guard g(m_);
    if (live_.count(item) != (must_be_present ? 1u : 0u)) ++out_of_order;
    if (present_after) {
      if (!must_be_present) ++adds;
      live_.insert({item, true});
    } else {
      ++removes;
      live_.erase(item);
    }
    return S_OK;
  }
  IScheduleItems* items_;  // outlives the sink's subscription
  std::mutex m_;
  std::map<IScheduleItem*, bool> live_;
};

TEST(ItemsStress, ConcurrentChangesUpdatesAndSubscriptionsKeepEveryItemsEventsInOrder) {
  constexpr int kWriters = 2, kRounds = 150;
  auto items = comrt::make<CScheduleItems>();
  auto order = comrt::make<OrderSink>(items.get());
  auto dispatch = comrt::make<fakes::DispatchSink>();
  fakes::advise<IScheduleItemsEvents>(items->identity(), order->identity());
  fakes::advise<_IScheduleItemsEvents>(items->identity(), dispatch->identity());
  auto log = std::make_shared<fakes::run_log>();
  std::atomic<bool> writing{true};
  std::atomic<int> failures{0};
  std::latch start(kWriters + 2);

  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&, w] {
      start.arrive_and_wait();
      for (int i = 0; i < kRounds; ++i) {
        auto item = comrt::make<CScheduleItem>();
        com_ptr<IScheduleActions> actions;
        item->get_Actions(actions.put());
        actions->Add(comrt::make<fakes::FakeAction>(w, S_OK, log).get());
        if (items->AddItem(item.get()) != S_OK) ++failures;
        if (item->Update() != S_OK || item->Run(nullptr) != S_OK) ++failures;
        if (items->RemoveItem(item.get()) != S_OK) ++failures;
      }
    });
  }
  threads.emplace_back([&] {  // a reader
    start.arrive_and_wait();
    while (writing) {
      com_ptr<IEnumScheduleItem> e;
      if (items->get_NewEnum(e.put()) != S_OK) ++failures;
      com_ptr<IScheduleItem> item;
      ULONG fetched = 0;
      while (e->Next(1, item.put(), &fetched) == S_OK) {
        GUID id{};
        item->get_Id(&id);
        com_ptr<IScheduleItem> found;
        items->FindItemById(&id, found.put());  // the item may have gone in between
      }
      com_ptr<IUnknown> script;
      if (items->get__NewEnum(script.put()) != S_OK) ++failures;
    }
  });
  threads.emplace_back([&] {  // subscribers coming and going
    start.arrive_and_wait();
    while (writing) {
      auto vtable = comrt::make<OrderSink>(items.get());
      auto disp = comrt::make<fakes::DispatchSink>();
      const DWORD a = fakes::advise<IScheduleItemsEvents>(items->identity(), vtable->identity());
      const DWORD b = fakes::advise<_IScheduleItemsEvents>(items->identity(), disp->identity());
      if (fakes::unadvise<IScheduleItemsEvents>(items->identity(), a) != S_OK) ++failures;
      if (fakes::unadvise<_IScheduleItemsEvents>(items->identity(), b) != S_OK) ++failures;
    }
  });
  for (int w = 0; w < kWriters; ++w) threads[w].join();
  writing = false;
  for (auto& t : threads) {
    if (t.joinable()) t.join();
  }

  EXPECT_EQ(failures, 0);
  EXPECT_EQ(order->out_of_order, 0);
  EXPECT_EQ(order->adds, kWriters * kRounds);
  EXPECT_EQ(order->removes, kWriters * kRounds);
  EXPECT_EQ(order->updates, 2 * kWriters * kRounds);  // Update, then Run's own
  EXPECT_EQ(dispatch->calls().size(), static_cast<size_t>(4 * kWriters * kRounds));
  EXPECT_EQ(log->snapshot().size(), static_cast<size_t>(kWriters * kRounds));
  LONG n = -1;
  items->get_Count(&n);
  EXPECT_EQ(n, 0);
  EXPECT_EQ(items->Disconnect(), S_OK);
}

}  // namespace
