// The item collection: its events on both outgoing interfaces and their order, sinks that change
// the collection from their handlers, removal and search by Id, and its subscriptions to its items.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fakes/schedule_doubles.h"
#include "items/schedule_item.h"
#include "items/schedule_items.h"

namespace {

using ::testing::_;
using ::testing::AnyNumber;
using ::testing::Invoke;
using comrt::com_ptr;
using namespace fakes;
using tolvane::CScheduleItem;
using tolvane::CScheduleItems;

// One event as a client saw it: "add", "remove", "update", "clear" from the vtable sink, "d1".."d4"
// (the DISPID) from the dispatch sink, with the item it named.
struct event {
  std::string what;
  IDispatch* item;
  bool operator==(const event&) const = default;
};
void PrintTo(const event& e, std::ostream* os) { *os << e.what << "(" << e.item << ")"; }
using events = std::vector<event>;

class ItemsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto log = [this](const char* what) {
      return Invoke([this, what](IScheduleItem* i) {
        seen.push_back({what, i});
        return S_OK;
      });
    };
    EXPECT_CALL(*vtable, OnAddItem(_)).Times(AnyNumber()).WillRepeatedly(log("add"));
    EXPECT_CALL(*vtable, OnRemoveItem(_)).Times(AnyNumber()).WillRepeatedly(log("remove"));
    EXPECT_CALL(*vtable, OnUpdateItem(_)).Times(AnyNumber()).WillRepeatedly(log("update"));
    EXPECT_CALL(*vtable, OnRemoveAllItems()).Times(AnyNumber()).WillRepeatedly(Invoke([this] {
      seen.push_back({"clear", nullptr});
      return S_OK;
    }));
    dispatch->on_call = [this](const dispatch_call& c) { seen.push_back({"d" + std::to_string(c.id), c.argument}); };
    advise<IScheduleItemsEvents>(items->identity(), vtable->identity());
    advise<_IScheduleItemsEvents>(items->identity(), dispatch->identity());
  }
  // The collection's items hold it as their sink until it lets them go.
  void TearDown() override { EXPECT_EQ(items->Disconnect(), S_OK); }

  com_ptr<CScheduleItem> add() {
    auto item = comrt::make<CScheduleItem>();
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

TEST_F(ItemsTest, RemoveItemTakesTheFirstEntryWithThatIdAndTheRemovedItemIsNoLongerHeard) {
  auto first = add();
  auto second = add();
  take();
  com_ptr<IScheduleItem> clone;
  ASSERT_EQ(first->Clone(clone.put()), S_OK);
  EXPECT_EQ(items->RemoveItem(clone.get()), S_OK);
  EXPECT_EQ(take(), both("remove", 2, first.get()));
  EXPECT_EQ(count_of(items.get()), 1);
  EXPECT_EQ(items->RemoveItem(clone.get()), E_FAIL);
  EXPECT_EQ(items->RemoveItem(nullptr), E_INVALIDARG);
  EXPECT_TRUE(take().empty());

  first->Update();
  EXPECT_TRUE(take().empty());
  second->Update();
  EXPECT_EQ(take(), both("update", 3, second.get()));
}

TEST_F(ItemsTest, FindItemByIdReturnsTheMatchNearestTheHead) {
  add();
  auto first = add();
  auto twin = add();
  GUID id{};
  first->get_Id(&id);
  twin->put_Id(id);
  com_ptr<IScheduleItem> found;
  ASSERT_EQ(items->FindItemById(&id, found.put()), S_OK);
  EXPECT_EQ(found.get(), static_cast<IScheduleItem*>(first.get()));
  GUID unknown{0x1, 0x2, 0x3, {4, 5, 6, 7, 8, 9, 10, 11}};
  EXPECT_EQ(items->FindItemById(&unknown, found.put()), E_FAIL);
  EXPECT_FALSE(found);
}

TEST_F(ItemsTest, SinksMayChangeTheCollectionFromTheirHandlers) {
  auto extra = comrt::make<CScheduleItem>();
  EXPECT_CALL(*vtable, OnAddItem(_))
      .WillOnce(Invoke([&](IScheduleItem*) { return items->AddItem(extra.get()); }))
      .WillOnce(Invoke([&](IScheduleItem*) { return S_OK; }))
      .WillOnce(Invoke([&](IScheduleItem* i) { return items->RemoveItem(i); }));
  add();
  auto removed = add();
  EXPECT_EQ(count_of(items.get()), 2);
  take();
  removed->Update();
  EXPECT_TRUE(take().empty());
}

TEST_F(ItemsTest, AnItemAddedTwiceIsSubscribedPerEntryUntilRemovedOrDisconnected) {
  auto item = comrt::make<CScheduleItem>();
  items->AddItem(item.get());
  items->AddItem(item.get());
  EXPECT_EQ(items->RemoveItem(item.get()), S_OK);
  take();
  item->Update();
  EXPECT_EQ(take(), both("update", 3, item.get()));
  EXPECT_EQ(items->RemoveItem(item.get()), S_OK);
  take();
  item->Update();
  EXPECT_TRUE(take().empty());

  items->AddItem(item.get());
  items->AddItem(item.get());
  ASSERT_EQ(items->Disconnect(), S_OK);
  take();
  item->Update();
  EXPECT_TRUE(take().empty());
  EXPECT_EQ(count_of(items.get()), 2);
}

}  // namespace
