// The item collection: its events on both outgoing interfaces, removal and search by Id, and its
// subscriptions to its items, also while a handler changes the collection during a batch.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "fakes/schedule_doubles.h"
#include "items/schedule_item.h"
#include "items/schedule_items.h"

namespace {

using ::testing::_;
using comrt::com_ptr;
using namespace fakes;
using tolvane::CScheduleItem;
using tolvane::CScheduleItems;

// One event as a client saw it: "add", "remove", "update", "clear" from the vtable sink, "d1".."d4"
// (the DISPID) from the dispatch sink, with the item it named.
using events = std::vector<std::pair<std::string, IDispatch*>>;

struct ItemsTest : ::testing::Test {
  ItemsTest() {
    const auto log = [this](const char* what) {
      return [this, what](IScheduleItem* i) { return seen.emplace_back(what, i), S_OK; };
    };
    EXPECT_CALL(*vtable, OnAddItem(_)).WillRepeatedly(log("add"));
    EXPECT_CALL(*vtable, OnRemoveItem(_)).WillRepeatedly(log("remove"));
    EXPECT_CALL(*vtable, OnUpdateItem(_)).WillRepeatedly(log("update"));
    EXPECT_CALL(*vtable, OnRemoveAllItems()).WillRepeatedly([this] { return seen.emplace_back("clear", nullptr), S_OK; });
    dispatch->on_call = [this](const dispatch_call& c) { seen.emplace_back("d" + std::to_string(c.id), c.argument); };
    advise<IScheduleItemsEvents>(items->identity(), vtable->identity());
    advise<_IScheduleItemsEvents>(items->identity(), dispatch->identity());
  }
  // The collection's items hold it as their sink until it lets them go.
  ~ItemsTest() override { EXPECT_EQ(items->Disconnect(), S_OK); }

  com_ptr<CScheduleItem> add(com_ptr<CScheduleItem> item = comrt::make<CScheduleItem>()) {
    EXPECT_EQ(items->AddItem(item.get()), S_OK);
    return item;
  }
  events take() { return std::exchange(seen, {}); }
  static events both(const char* what, DISPID id, IScheduleItem* item) {
    return {{what, item}, {"d" + std::to_string(id), item}};
  }

  events seen;
  com_ptr<CScheduleItems> items = comrt::make<CScheduleItems>();
  com_ptr<MockItemsEvents> vtable = comrt::make<MockItemsEvents>();
  com_ptr<DispatchSink> dispatch = comrt::make<DispatchSink>();
};

TEST_F(ItemsTest, EveryChangeIsAnnouncedOnBothInterfacesNamingTheItem) {
  auto item = add();
  EXPECT_EQ(take(), both("add", 1, item.get()));
  EXPECT_EQ(item->Update(), S_OK);
  EXPECT_EQ(take(), both("update", 3, item.get()));
  EXPECT_EQ(items->RemoveItem(item.get()), S_OK);
  EXPECT_EQ(take(), both("remove", 2, item.get()));
  EXPECT_EQ(items->Empty(), S_OK);
  EXPECT_EQ(take(), (events{{"clear", nullptr}, {"d4", nullptr}}));
  EXPECT_EQ(items->AddItem(nullptr), E_INVALIDARG);
  EXPECT_TRUE(take().empty());
}

TEST_F(ItemsTest, FindAndRemoveTakeTheFirstEntryWithTheIdAndTheRemovedItemIsNoLongerHeard) {
  auto first = add(), second = add();
  GUID id{}, unknown{0x1, 0x2, 0x3, {4, 5, 6, 7, 8, 9, 10, 11}};
  first->get_Id(&id);
  second->put_Id(id);
  com_ptr<IScheduleItem> found, clone;
  ASSERT_EQ(items->FindItemById(&id, found.put()), S_OK);
  EXPECT_EQ(found.get(), static_cast<IScheduleItem*>(first.get()));
  EXPECT_EQ(items->FindItemById(&unknown, found.put()), E_FAIL);
  EXPECT_FALSE(found);

  ASSERT_EQ(first->Clone(clone.put()), S_OK);
  take();
  EXPECT_EQ(items->RemoveItem(clone.get()), S_OK);
  EXPECT_EQ(take(), both("remove", 2, first.get()));
  EXPECT_EQ(items->RemoveItem(second.get()), S_OK);
  EXPECT_EQ(items->RemoveItem(clone.get()), E_FAIL);
  EXPECT_EQ(items->RemoveItem(nullptr), E_INVALIDARG);
  take();
  first->Update();
  EXPECT_TRUE(take().empty());
}

TEST_F(ItemsTest, AnItemAddedTwiceIsHeardUntilRemovedTwiceOrDisconnected) {
  auto item = add();
  add(item);
  EXPECT_EQ(items->RemoveItem(item.get()), S_OK);
  take();
  item->Update();
  EXPECT_EQ(take(), both("update", 3, item.get()));
  ASSERT_EQ(items->Disconnect(), S_OK);
  item->Update();
  EXPECT_TRUE(take().empty());
  EXPECT_EQ(count_of(items.get()), 1);
}

TEST_F(ItemsTest, AHandlerRemovesTheSecondItemOfABatchBeingAnnounced) {
  auto first = comrt::make<CScheduleItem>(), second = comrt::make<CScheduleItem>();
  auto batch = comrt::make<CScheduleItems>();
  batch->AddItem(first.get());
  batch->AddItem(second.get());
  ASSERT_EQ(batch->Disconnect(), S_OK);
  EXPECT_CALL(*vtable, OnAddItem(_)).WillOnce([&](IScheduleItem*) { return items->RemoveItem(second.get()); })
      .WillRepeatedly([](IScheduleItem*) { return S_OK; });

  ASSERT_EQ(items->AddItems(batch.get()), S_OK);
  EXPECT_EQ(count_of(items.get()), 1);
  EXPECT_EQ(take(), (events{{"d1", first.get()}, {"d1", second.get()}, {"remove", second.get()}, {"d2", second.get()}}));
  second->Update();  // only the first item is still subscribed
  first->Update();
  EXPECT_EQ(take(), both("update", 3, first.get()));
  ASSERT_EQ(batch->Empty(), S_OK);
}

}  // namespace
