// The item collection's subscriptions to its items are part of its list changes, and its clients
// hear the changes in the order they were made: a handler that changes the collection while a batch
// is being announced, and changes made on two threads at once.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <comrt/event.h>

#include "fakes/schedule_doubles.h"
#include "items/schedule_item.h"
#include "items/schedule_items.h"

namespace {

using ::testing::_;
using ::testing::AnyNumber;
using ::testing::Invoke;
using comrt::com_ptr;
using fakes::ref_count;
using tolvane::CScheduleItem;
using tolvane::CScheduleItems;

// One notification as a client saw it: "add", "remove", "update", "clear" from the vtable sink,
// "d1".."d4" (the DISPID) from the dispatch sink, the item it named and the thread it came on.
struct event {
  std::string what;
  IDispatch* item;
  std::thread::id thread = std::this_thread::get_id();
  bool operator==(const event& o) const { return what == o.what && item == o.item; }
};
void PrintTo(const event& e, std::ostream* os) { *os << e.what << "(" << e.item << ")"; }

IDispatch* disp(IScheduleItem* item) { return item; }

class SubscriptionOrderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto hear = [this](const char* what) {
      return [this, what](IScheduleItem* i) {
        note(what, i);
        return on_event ? on_event(what, i) : S_OK;
      };
    };
    ON_CALL(*vtable, OnAddItem(_)).WillByDefault(Invoke(hear("add")));
    ON_CALL(*vtable, OnRemoveItem(_)).WillByDefault(Invoke(hear("remove")));
    ON_CALL(*vtable, OnUpdateItem(_)).WillByDefault(Invoke(hear("update")));
    EXPECT_CALL(*vtable, OnAddItem(_)).Times(AnyNumber());
    EXPECT_CALL(*vtable, OnRemoveItem(_)).Times(AnyNumber());
    EXPECT_CALL(*vtable, OnUpdateItem(_)).Times(AnyNumber());
    EXPECT_CALL(*vtable, OnRemoveAllItems()).Times(0);
    dispatch->on_call = [this](const fakes::dispatch_call& c) { note("d" + std::to_string(c.id), c.argument); };
    fakes::advise<IScheduleItemsEvents>(items->identity(), vtable->identity());
    fakes::advise<_IScheduleItemsEvents>(items->identity(), dispatch->identity());
  }
  void TearDown() override { EXPECT_EQ(items->Disconnect(), S_OK); }

  void note(std::string what, IDispatch* item) {
    std::lock_guard g(m_);
    events_.push_back({std::move(what), item});
  }
  std::vector<event> take() {
    std::lock_guard g(m_);
    return std::exchange(events_, {});
  }
  LONG count() {
    LONG n = -1;
    EXPECT_EQ(items->get_Count(&n), S_OK);
    return n;
  }

  com_ptr<CScheduleItems> items = comrt::make<CScheduleItems>();
  com_ptr<fakes::MockItemsEvents> vtable = comrt::make<fakes::MockItemsEvents>();
  com_ptr<fakes::DispatchSink> dispatch = comrt::make<fakes::DispatchSink>();
  // What a vtable handler does after noting its event; set before the collection is used.
  std::function<HRESULT(const char*, IScheduleItem*)> on_event;

 private:
  std::mutex m_;
  std::vector<event> events_;
};

TEST_F(SubscriptionOrderTest, AHandlerRemovesTheSecondItemOfABatchBeingAnnounced) {
  auto first = comrt::make<CScheduleItem>();
  auto second = comrt::make<CScheduleItem>();
  auto source = comrt::make<CScheduleItems>();
  source->AddItem(first.get());
  source->AddItem(second.get());
  ASSERT_EQ(source->Disconnect(), S_OK);
  const ULONG second_refs = ref_count(second->identity());
  const ULONG collection_refs = ref_count(items->identity());

  HRESULT removed = E_UNEXPECTED;
  on_event = [&](const char* what, IScheduleItem* i) {
    if (std::string(what) == "add" && i == first.get()) {
      removed = items->RemoveItem(second.get());
      EXPECT_EQ(count(), 1);
      EXPECT_EQ(take(), (std::vector<event>{{"add", disp(first.get())}})) << "later changes wait for this one";
    }
    return S_OK;
  };
  ASSERT_EQ(items->AddItems(source.get()), S_OK);

  EXPECT_EQ(removed, S_OK);
  EXPECT_EQ(take(), (std::vector<event>{{"d1", disp(first.get())},
                                        {"add", disp(second.get())},
                                        {"d1", disp(second.get())},
                                        {"remove", disp(second.get())},
                                        {"d2", disp(second.get())}}));
  EXPECT_EQ(count(), 1);

  // The removed item is no longer subscribed: it is not heard, and neither it nor the collection
  // holds a reference it should not.
  second->Update();
  first->Update();
  EXPECT_EQ(take(), (std::vector<event>{{"update", disp(first.get())}, {"d3", disp(first.get())}}));
  EXPECT_EQ(ref_count(second->identity()), second_refs);
  EXPECT_EQ(ref_count(items->identity()), collection_refs + 1) << "the first item's subscription only";
  ASSERT_EQ(source->Empty(), S_OK);
}

TEST_F(SubscriptionOrderTest, ChangesOnTwoThreadsAreHeardInTheirOrderEachOnItsOwnThread) {
  auto item = comrt::make<CScheduleItem>();
  comrt::event adding(comrt::event_reset::manual);
  comrt::event gate(comrt::event_reset::manual);
  on_event = [&](const char* what, IScheduleItem*) {
    if (std::string(what) == "add") {
      adding.set();
      EXPECT_TRUE(gate.wait(std::chrono::seconds(60)));
    }
    return S_OK;
  };

  // The add is being announced on one thread when another thread removes the item.
  std::thread adder([&] { EXPECT_EQ(items->AddItem(item.get()), S_OK); });
  ASSERT_TRUE(adding.wait(std::chrono::seconds(60)));
  const auto adder_id = adder.get_id();
  std::thread remover([&] { EXPECT_EQ(items->RemoveItem(item.get()), S_OK); });
  const auto remover_id = remover.get_id();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (count() != 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  EXPECT_EQ(count(), 0) << "the removal is made at once";
  gate.set();
  adder.join();
  remover.join();

  const auto seen = take();
  EXPECT_EQ(seen, (std::vector<event>{{"add", disp(item.get())},
                                      {"d1", disp(item.get())},
                                      {"remove", disp(item.get())},
                                      {"d2", disp(item.get())}}));
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[1].thread, adder_id);
  EXPECT_EQ(seen[3].thread, remover_id);
  item->Update();
  EXPECT_TRUE(take().empty());
}

}  // namespace
