// The generic collection, through the action collection: order and indexed access, removal by
// identity, enumerators over snapshots, Dirty, deep copies and shared additions.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "actions/schedule_actions.h"
#include "fakes/schedule_doubles.h"

namespace {

using comrt::com_ptr;
using fakes::FakeAction;
using tolvane::CScheduleActions;

class ActionsTest : public ::testing::Test {
 protected:
  com_ptr<IScheduleAction> action(int tag) { return comrt::make<FakeAction>(tag, S_OK, log); }
  com_ptr<CScheduleActions> with(std::initializer_list<int> tags) {
    auto c = comrt::make<CScheduleActions>();
    for (int tag : tags) EXPECT_EQ(c->Add(action(tag).get()), S_OK);
    return c;
  }
  static std::vector<com_ptr<IScheduleAction>> elements(IScheduleActions* c, bool reverse = false) {
    com_ptr<IEnumScheduleAction> e;
    EXPECT_EQ(reverse ? static_cast<CScheduleActions*>(c)->NewEnumReverse(e.put()) : c->get_NewEnum(e.put()), S_OK);
    std::vector<com_ptr<IScheduleAction>> out;
    com_ptr<IScheduleAction> a;
    ULONG fetched = 0;
    while (e->Next(1, a.put(), &fetched) == S_OK) out.push_back(a);
    return out;
  }
  static std::vector<int> tags(IScheduleActions* c, bool reverse = false) {
    std::vector<int> out;
    for (const auto& a : elements(c, reverse)) out.push_back(static_cast<FakeAction*>(a.get())->tag);
    return out;
  }

  std::shared_ptr<fakes::run_log> log = std::make_shared<fakes::run_log>();
};

TEST_F(ActionsTest, ElementsKeepTheirOrderAndOnlyValidIndexesAnswer) {
  auto c = with({1, 2});
  auto head = action(3);
  ASSERT_EQ(c->AddItemAtHead(head.get()), S_OK);
  EXPECT_EQ(tags(c.get()), (std::vector<int>{3, 1, 2}));
  EXPECT_EQ(tags(c.get(), true), (std::vector<int>{2, 1, 3}));
  com_ptr<IScheduleAction> at;
  EXPECT_EQ(c->get_Item(0, at.put()), S_OK);
  EXPECT_EQ(at, head);
  for (LONG bad : {-1, 3}) {
    EXPECT_EQ(c->get_Item(bad, at.put()), E_INVALIDARG) << bad;
    EXPECT_FALSE(at);
  }
  // Remove takes the first entry holding the pointer.
  c->Add(head.get());
  EXPECT_EQ(c->Remove(head.get()), S_OK);
  EXPECT_EQ(tags(c.get()), (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(c->Remove(action(9).get()), E_FAIL);

  // An enumerator keeps the snapshot of its creation.
  com_ptr<IEnumScheduleAction> before;
  ASSERT_EQ(c->get_NewEnum(before.put()), S_OK);
  EXPECT_EQ(c->Empty(), S_OK);
  EXPECT_EQ(fakes::count_of(c.get()), 0);
  IScheduleAction* got[4] = {};
  ULONG fetched = 0;
  EXPECT_EQ(before->Next(4, got, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 3u);
  for (ULONG i = 0; i < fetched; ++i) comrt::attach(got[i]);

  // Dirty is stored normalised.
  VARIANT_BOOL dirty = 0;
  c->put_Dirty(2);
  c->get_Dirty(&dirty);
  EXPECT_EQ(dirty, VARIANT_TRUE);
}

TEST_F(ActionsTest, CopyReplacesTheContentsByClonesWhileAddItemsSharesTheElements) {
  auto source = with({1, 2, 3});
  const auto originals = elements(source.get());
  auto c = with({9});
  ASSERT_EQ(c->Copy(source.get()), S_OK);
  auto copies = elements(c.get());
  EXPECT_EQ(tags(c.get()), (std::vector<int>{1, 2, 3}));
  for (size_t i = 0; i < copies.size(); ++i) EXPECT_NE(copies[i], originals[i]);
  ASSERT_EQ(c->Copy(c.get()), S_OK);  // onto itself
  EXPECT_EQ(tags(c.get()), (std::vector<int>{1, 2, 3}));

  com_ptr<IScheduleActions> clone;
  ASSERT_EQ(source->Clone(clone.put()), S_OK);
  EXPECT_EQ(tags(clone.get()), (std::vector<int>{1, 2, 3}));
  EXPECT_NE(elements(clone.get())[0], originals[0]);

  ASSERT_EQ(c->AddItems(source.get()), S_OK);
  EXPECT_EQ(tags(c.get()), (std::vector<int>{1, 2, 3, 1, 2, 3}));
  EXPECT_EQ(elements(c.get())[3], originals[0]);

  // A failing clone ends the copy with its status; the clones made before it stay.
  static_cast<FakeAction*>(originals[1].get())->clone_result = E_ACCESSDENIED;
  EXPECT_EQ(c->Copy(source.get()), E_ACCESSDENIED);
  EXPECT_EQ(tags(c.get()), std::vector<int>{1});
}

}  // namespace
