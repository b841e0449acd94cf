// The item collection subscribes to its items as part of its list changes, and its clients hear the
// changes in the order they were made: a handler that changes the collection during a batch, and
// two threads changing it at once.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <utility>
#include <vector>

#include <comrt/event.h>

#include "fakes/schedule_doubles.h"
#include "items/schedule_item.h"
#include "items/schedule_items.h"

namespace {

using comrt::com_ptr;
using tolvane::CScheduleItem;
using tolvane::CScheduleItems;
using heard = std::vector<std::pair<DISPID, IDispatch*>>;

constexpr std::chrono::seconds kHangGuard{60};

struct SubscriptionOrderTest : ::testing::Test {
  SubscriptionOrderTest() { fakes::advise<_IScheduleItemsEvents>(items->identity(), sink->identity()); }
  ~SubscriptionOrderTest() override { EXPECT_EQ(items->Disconnect(), S_OK); }
  heard calls() {
    heard out;
    for (const auto& c : sink->calls()) out.emplace_back(c.id, c.argument);
    return out;
  }
  com_ptr<CScheduleItems> items = comrt::make<CScheduleItems>();
  com_ptr<fakes::DispatchSink> sink = comrt::make<fakes::DispatchSink>();
  com_ptr<CScheduleItem> first = comrt::make<CScheduleItem>(), second = comrt::make<CScheduleItem>();
};

TEST_F(SubscriptionOrderTest, AHandlerRemovesTheSecondItemOfABatchBeingAnnounced) {
  auto batch = comrt::make<CScheduleItems>();
  batch->AddItem(first.get());
  batch->AddItem(second.get());
  ASSERT_EQ(batch->Disconnect(), S_OK);
  HRESULT removed = E_UNEXPECTED;
  sink->on_call = [&](const fakes::dispatch_call& c) {
    if (c.id == 1 && c.argument == first.get()) removed = items->RemoveItem(second.get());
  };

  ASSERT_EQ(items->AddItems(batch.get()), S_OK);
  EXPECT_EQ(removed, S_OK);
  EXPECT_EQ(calls(), (heard{{1, first.get()}, {1, second.get()}, {2, second.get()}}));

  // Only the first item is still subscribed.
  second->Update();
  first->Update();
  EXPECT_EQ(calls().back(), (std::pair<DISPID, IDispatch*>{3, first.get()}));
  EXPECT_EQ(calls().size(), 4u);
  ASSERT_EQ(batch->Empty(), S_OK);
}

TEST_F(SubscriptionOrderTest, ChangesOnTwoThreadsAreHeardInTheirOrderEachOnItsOwnThread) {
  comrt::event adding(comrt::event_reset::manual), gate(comrt::event_reset::manual);
  std::vector<std::thread::id> threads;
  sink->on_call = [&](const fakes::dispatch_call& c) {
    threads.push_back(std::this_thread::get_id());
    if (c.id != 1) return;
    adding.set();
    EXPECT_TRUE(gate.wait(kHangGuard));
  };

  // While the addition is being announced on one thread, another thread removes the item.
  std::thread adder([&] { EXPECT_EQ(items->AddItem(first.get()), S_OK); });
  ASSERT_TRUE(adding.wait(kHangGuard));
  std::thread remover([&] { EXPECT_EQ(items->RemoveItem(first.get()), S_OK); });
  LONG count = 1;
  const auto deadline = std::chrono::steady_clock::now() + kHangGuard;
  while (items->get_Count(&count) == S_OK && count != 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  EXPECT_EQ(count, 0) << "the removal is made at once";
  gate.set();
  const std::vector<std::thread::id> expected{adder.get_id(), remover.get_id()};
  adder.join();
  remover.join();

  EXPECT_EQ(calls(), (heard{{1, first.get()}, {2, first.get()}}));
  EXPECT_EQ(threads, expected);
}

}  // namespace
