// The generic collection, through the action collection: order, indexed access, removal by
// identity, reverse enumeration, Dirty, and Copy by clones against AddItems sharing the elements.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "actions/schedule_actions.h"
#include "fakes/schedule_doubles.h"

namespace {

using comrt::com_ptr;
using fakes::FakeAction;
using tolvane::CScheduleActions;

struct ActionsTest : ::testing::Test {
  com_ptr<CScheduleActions> with(std::initializer_list<int> tags) {
    auto c = comrt::make<CScheduleActions>();
    for (int tag : tags) EXPECT_EQ(c->Add(comrt::make<FakeAction>(tag, S_OK, log).get()), S_OK);
    return c;
  }
  // The elements in enumeration order, and their tags.
  static std::vector<com_ptr<IScheduleAction>> elements(CScheduleActions* c, bool reverse = false) {
    com_ptr<IEnumScheduleAction> e;
    EXPECT_EQ(reverse ? c->NewEnumReverse(e.put()) : c->get_NewEnum(e.put()), S_OK);
    std::vector<com_ptr<IScheduleAction>> out;
    for (com_ptr<IScheduleAction> a; e->Next(1, a.put(), nullptr) == S_OK;) out.push_back(a);
    return out;
  }
  static std::vector<int> tags(CScheduleActions* c, bool reverse = false) {
    std::vector<int> out;
    for (const auto& a : elements(c, reverse)) out.push_back(static_cast<FakeAction*>(a.get())->tag);
    return out;
  }
  std::shared_ptr<fakes::run_log> log = std::make_shared<fakes::run_log>();
};

TEST_F(ActionsTest, ElementsKeepTheirOrderAndOnlyValidIndexesAnswer) {
  auto c = with({1, 2});
  auto head = comrt::make<FakeAction>(3, S_OK, log);
  ASSERT_EQ(c->AddItemAtHead(head.get()), S_OK);
  EXPECT_EQ(tags(c.get()), (std::vector<int>{3, 1, 2}));
  EXPECT_EQ(tags(c.get(), true), (std::vector<int>{2, 1, 3}));
  com_ptr<IScheduleAction> at;
  for (LONG bad : {-1, 3}) {
    EXPECT_EQ(c->get_Item(bad, at.put()), E_INVALIDARG) << bad;
    EXPECT_FALSE(at);
  }
  c->Add(head.get());  // Remove takes the first entry holding the pointer
  EXPECT_EQ(c->Remove(head.get()), S_OK);
  EXPECT_EQ(tags(c.get()), (std::vector<int>{1, 2, 3}));
  VARIANT_BOOL dirty = 0;
  c->put_Dirty(2);
  c->get_Dirty(&dirty);
  EXPECT_EQ(dirty, VARIANT_TRUE);
}

TEST_F(ActionsTest, CopyReplacesTheContentsByClonesWhileAddItemsSharesTheElements) {
  auto source = with({1, 2}), c = with({9});
  const auto originals = elements(source.get());
  ASSERT_EQ(c->Copy(source.get()), S_OK);
  EXPECT_EQ(tags(c.get()), (std::vector<int>{1, 2}));
  EXPECT_NE(elements(c.get())[0], originals[0]);
  ASSERT_EQ(c->AddItems(source.get()), S_OK);
  EXPECT_EQ(elements(c.get())[2], originals[0]);
  // A failing clone ends the copy with its status; the clones made before it stay.
  static_cast<FakeAction*>(originals[1].get())->clone_result = E_ACCESSDENIED;
  EXPECT_EQ(c->Copy(source.get()), E_ACCESSDENIED);
  EXPECT_EQ(tags(c.get()), std::vector<int>{1});
}

}  // namespace
