// The item collection: its events on both outgoing interfaces and their order, sinks that call
// back into the collection, removal and search by Id, its subscriptions to its items, Dirty.
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
using ::testing::Return;
using comrt::com_ptr;
using fakes::DispatchSink;
using fakes::MockItemsEvents;
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

IDispatch* disp(IScheduleItem* item) { return item; }

class ItemsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    record(vtable.get(), events);
    dispatch->on_call = [this](const fakes::dispatch_call& c) {
      events.push_back({"d" + std::to_string(c.id), c.argument});
    };
    fakes::advise<IScheduleItemsEvents>(items->identity(), vtable->identity());
    fakes::advise<_IScheduleItemsEvents>(items->identity(), dispatch->identity());
  }
  // The collection's items hold it as their sink until it lets them go.
  void TearDown() override { EXPECT_EQ(items->Disconnect(), S_OK); }

  static void record(MockItemsEvents* sink, std::vector<event>& log) {
    ON_CALL(*sink, OnAddItem(_)).WillByDefault(Invoke([&log](IScheduleItem* i) {
      log.push_back({"add", i});
      return S_OK;
    }));
    ON_CALL(*sink, OnRemoveItem(_)).WillByDefault(Invoke([&log](IScheduleItem* i) {
      log.push_back({"remove", i});
      return S_OK;
    }));
    ON_CALL(*sink, OnUpdateItem(_)).WillByDefault(Invoke([&log](IScheduleItem* i) {
      log.push_back({"update", i});
      return S_OK;
    }));
    ON_CALL(*sink, OnRemoveAllItems()).WillByDefault(Invoke([&log] {
      log.push_back({"clear", nullptr});
      return S_OK;
    }));
    EXPECT_CALL(*sink, OnAddItem(_)).Times(AnyNumber());
    EXPECT_CALL(*sink, OnRemoveItem(_)).Times(AnyNumber());
    EXPECT_CALL(*sink, OnUpdateItem(_)).Times(AnyNumber());
    EXPECT_CALL(*sink, OnRemoveAllItems()).Times(AnyNumber());
  }

  com_ptr<CScheduleItem> add() {
    auto item = comrt::make<CScheduleItem>();
    EXPECT_EQ(items->AddItem(item.get()), S_OK);
    return item;
  }
  LONG count() {
    LONG n = -1;
    EXPECT_EQ(items->get_Count(&n), S_OK);
    return n;
  }
  std::vector<event> take() { return std::exchange(events, {}); }

  std::vector<event> events;
  com_ptr<CScheduleItems> items = comrt::make<CScheduleItems>();
  com_ptr<MockItemsEvents> vtable = comrt::make<MockItemsEvents>();
  com_ptr<DispatchSink> dispatch = comrt::make<DispatchSink>();
};

TEST_F(ItemsTest, AddItemAnnouncesOnceOnEachInterfaceVtableFirstWithTheItemAlreadyCounted) {
  std::vector<LONG> counts;
  EXPECT_CALL(*vtable, OnAddItem(_)).WillOnce(Invoke([&](IScheduleItem* i) {
    counts.push_back(count());
    events.push_back({"add", i});
    return S_OK;
  }));
  dispatch->on_call = [&](const fakes::dispatch_call& c) {
    counts.push_back(count());
    events.push_back({"d" + std::to_string(c.id), c.argument});
  };
  auto item = add();
  EXPECT_EQ(take(), (std::vector<event>{{"add", disp(item.get())}, {"d1", disp(item.get())}}));
  EXPECT_EQ(counts, (std::vector<LONG>{1, 1}));
  const auto call = dispatch->calls().at(0);
  EXPECT_TRUE(call.iid_null);
  EXPECT_EQ(call.lcid, LOCALE_USER_DEFAULT);
  EXPECT_EQ(call.flags, DISPATCH_METHOD);
  EXPECT_EQ(call.types, (std::vector<VARTYPE>{VT_DISPATCH}));
  EXPECT_EQ(call.named, 0u);
  EXPECT_TRUE(call.no_buffers);

  EXPECT_EQ(items->AddItem(nullptr), E_INVALIDARG);
  EXPECT_TRUE(take().empty());
  EXPECT_EQ(count(), 1);
}

TEST_F(ItemsTest, EmptyAnnouncesTheClearingEvenOfAnEmptyCollection) {
  EXPECT_EQ(items->Empty(), S_OK);
  EXPECT_EQ(take(), (std::vector<event>{{"clear", nullptr}, {"d4", nullptr}}));
  EXPECT_TRUE(dispatch->calls().at(0).types.empty());

  add();
  add();
  take();
  com_ptr<IEnumScheduleItem> before;
  ASSERT_EQ(items->get_NewEnum(before.put()), S_OK);
  EXPECT_EQ(items->Empty(), S_OK);
  EXPECT_EQ(take(), (std::vector<event>{{"clear", nullptr}, {"d4", nullptr}}));
  EXPECT_EQ(count(), 0);
  IScheduleItem* got[3] = {};
  ULONG fetched = 0;
  EXPECT_EQ(before->Next(3, got, &fetched), S_FALSE);  // the snapshot still has both
  EXPECT_EQ(fetched, 2u);
  for (ULONG i = 0; i < fetched; ++i) comrt::attach(got[i]);
}

TEST_F(ItemsTest, RemoveItemTakesTheFirstEntryWithThatIdAndNamesTheStoredItem) {
  auto first = add();
  auto second = add();
  take();
  com_ptr<IScheduleItem> clone;
  ASSERT_EQ(first->Clone(clone.put()), S_OK);
  EXPECT_EQ(items->RemoveItem(clone.get()), S_OK);
  EXPECT_EQ(take(), (std::vector<event>{{"remove", disp(first.get())}, {"d2", disp(first.get())}}));
  com_ptr<IScheduleItem> left;
  items->get_Item(0, left.put());
  EXPECT_EQ(left.get(), static_cast<IScheduleItem*>(second.get()));

  EXPECT_EQ(items->RemoveItem(clone.get()), E_FAIL);
  EXPECT_EQ(items->RemoveItem(nullptr), E_INVALIDARG);
  EXPECT_TRUE(take().empty());
  EXPECT_EQ(count(), 1);

  // The removed item is no longer heard; the one in the list is, and Dirty (stored normalised)
  // stays as it was.
  VARIANT_BOOL dirty = 1;
  items->get_Dirty(&dirty);
  EXPECT_EQ(dirty, VARIANT_FALSE);
  items->put_Dirty(2);
  EXPECT_EQ(first->Update(), S_OK);
  EXPECT_TRUE(take().empty());
  EXPECT_EQ(second->Update(), S_OK);
  EXPECT_EQ(take(), (std::vector<event>{{"update", disp(second.get())}, {"d3", disp(second.get())}}));
  items->get_Dirty(&dirty);
  EXPECT_EQ(dirty, VARIANT_TRUE);
  items->put_Dirty(VARIANT_FALSE);
  second->Update();
  items->get_Dirty(&dirty);
  EXPECT_EQ(dirty, VARIANT_FALSE);
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
  IScheduleItem* none = reinterpret_cast<IScheduleItem*>(1);
  EXPECT_EQ(items->FindItemById(&unknown, &none), E_FAIL);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(items->FindItemById(nullptr, &none), E_POINTER);
  EXPECT_EQ(items->FindItemById(&id, nullptr), E_POINTER);
}

TEST_F(ItemsTest, SinksMayChangeTheCollectionFromTheirHandlers) {
  // A handler that adds another item, and one that removes the item just added.
  com_ptr<CScheduleItem> extra = comrt::make<CScheduleItem>();
  EXPECT_CALL(*vtable, OnAddItem(_))
      .WillOnce(Invoke([&](IScheduleItem* i) {
        events.push_back({"add", i});
        EXPECT_EQ(items->AddItem(extra.get()), S_OK);
        return S_OK;
      }))
      .WillOnce(Invoke([&](IScheduleItem* i) {
        events.push_back({"add", i});
        EXPECT_EQ(count(), 2);
        return S_OK;
      }))
      .WillOnce(Invoke([&](IScheduleItem* i) {
        events.push_back({"add", i});
        EXPECT_EQ(items->RemoveItem(i), S_OK);
        EXPECT_EQ(count(), 2);
        return S_OK;
      }));
  auto item = add();
  EXPECT_EQ(count(), 2);
  auto removed = add();
  EXPECT_EQ(count(), 2);
  std::vector<event> vtable_seen;
  for (const event& e : take()) {
    if (e.what[0] != 'd') vtable_seen.push_back(e);
  }
  EXPECT_EQ(vtable_seen, (std::vector<event>{{"add", disp(item.get())},
                                             {"add", disp(extra.get())},
                                             {"add", disp(removed.get())},
                                             {"remove", disp(removed.get())}}));
  removed->Update();
  EXPECT_TRUE(take().empty());
}

TEST_F(ItemsTest, AFailingSinkDoesNotKeepTheOthersFromHearing) {
  auto refusing = comrt::make<MockItemsEvents>();
  auto refusing_dispatch = comrt::make<DispatchSink>();
  refusing_dispatch->result = E_FAIL;
  EXPECT_CALL(*refusing, OnAddItem(_)).WillOnce(Return(E_FAIL));
  EXPECT_CALL(*refusing, OnRemoveAllItems()).WillOnce(Return(E_FAIL));
  // A second collection whose failing sinks stand before the recording ones.
  auto items2 = comrt::make<CScheduleItems>();
  fakes::advise<IScheduleItemsEvents>(items2->identity(), refusing->identity());
  fakes::advise<_IScheduleItemsEvents>(items2->identity(), refusing_dispatch->identity());
  fakes::advise<IScheduleItemsEvents>(items2->identity(), vtable->identity());
  fakes::advise<_IScheduleItemsEvents>(items2->identity(), dispatch->identity());
  auto item = comrt::make<CScheduleItem>();
  EXPECT_EQ(items2->AddItem(item.get()), S_OK);
  EXPECT_EQ(take(), (std::vector<event>{{"add", disp(item.get())}, {"d1", disp(item.get())}}));
  EXPECT_EQ(refusing_dispatch->calls().size(), 1u);
  EXPECT_EQ(items2->Empty(), S_OK);
  EXPECT_EQ(take(), (std::vector<event>{{"clear", nullptr}, {"d4", nullptr}}));
}

TEST_F(ItemsTest, AnItemAddedTwiceIsAnnouncedPerEntryAndFullyUnsubscribed) {
  auto item = comrt::make<CScheduleItem>();
  items->AddItem(item.get());
  items->AddItem(item.get());
  EXPECT_EQ(items->RemoveItem(item.get()), S_OK);
  take();
  item->Update();
  EXPECT_EQ(take(), (std::vector<event>{{"update", disp(item.get())}, {"d3", disp(item.get())}}));
  EXPECT_EQ(items->RemoveItem(item.get()), S_OK);
  EXPECT_EQ(take(), (std::vector<event>{{"remove", disp(item.get())}, {"d2", disp(item.get())}}));
  item->Update();
  EXPECT_TRUE(take().empty());

  // Disconnect ends both subscriptions of a doubled entry.
  items->AddItem(item.get());
  items->AddItem(item.get());
  ASSERT_EQ(items->Disconnect(), S_OK);
  take();
  item->Update();
  EXPECT_TRUE(take().empty());
}

TEST_F(ItemsTest, ItemsAreHeardWhileSubscribedAndCopiesAreSubscribedAnew) {
  auto item = add();
  take();
  ASSERT_EQ(items->Disconnect(), S_OK);
  item->Update();
  EXPECT_TRUE(take().empty());
  EXPECT_EQ(count(), 1);

  // Copy (a member of the class, not of its interface) clears, then adds one clone per item.
  auto source = comrt::make<CScheduleItems>();
  auto original = comrt::make<CScheduleItem>();
  source->AddItem(original.get());
  ASSERT_EQ(items->Copy(source.get()), S_OK);
  com_ptr<IScheduleItem> copy;
  items->get_Item(0, copy.put());
  EXPECT_NE(copy.get(), static_cast<IScheduleItem*>(original.get()));
  EXPECT_EQ(take(), (std::vector<event>{
                        {"clear", nullptr}, {"d4", nullptr}, {"add", disp(copy.get())}, {"d1", disp(copy.get())}}));
  copy->Update();
  EXPECT_EQ(take(), (std::vector<event>{{"update", disp(copy.get())}, {"d3", disp(copy.get())}}));
  EXPECT_EQ(source->Empty(), S_OK);
}

}  // namespace
