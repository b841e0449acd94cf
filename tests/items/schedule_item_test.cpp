// The schedule item: Run (time stamp, update, actions in order until the first failure) and deep copies.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "fakes/schedule_doubles.h"
#include "items/schedule_item.h"

namespace {

using ::testing::_;
using ::testing::Return;
using comrt::com_ptr;
using namespace fakes;
using tolvane::CScheduleItem;

constexpr uint64_t kNow = 133'500'000'000'000'000;  // a FILETIME in 2024

struct ItemTest : ::testing::Test {
  com_ptr<MockItemEvents> subscribe() {
    auto sink = comrt::make<MockItemEvents>();
    advise<IScheduleItemEvents>(item->identity(), sink->identity());
    return sink;
  }
  fixed_clock clock{kNow};
  std::shared_ptr<run_log> log = std::make_shared<run_log>();
  com_ptr<CScheduleItem> item = comrt::make<CScheduleItem>();
};

TEST_F(ItemTest, RunStampsUpdatesThenRunsTheActionsInOrderUntilTheFirstFailure) {
  auto provider = comrt::make<FakeAction>(0, S_OK, log);
  auto sink = subscribe();
  EXPECT_CALL(*sink, OnUpdate(static_cast<IScheduleItem*>(item.get()))).WillOnce([&](IScheduleItem* i) {
    EXPECT_EQ(last_run(i), kNow);
    EXPECT_TRUE(log->snapshot().empty()) << "the update comes before the actions";
    return S_OK;
  });
  add_action(item.get(), 1, log);
  add_action(item.get(), 2, log, S_FALSE);  // a success other than S_OK goes on
  add_action(item.get(), 3, log, E_ACCESSDENIED);
  add_action(item.get(), 4, log);
  EXPECT_EQ(item->Run(provider->identity()), E_ACCESSDENIED);
  EXPECT_EQ(log->snapshot(), (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(log->providers, std::vector<IUnknown*>(3, provider->identity()));
  EXPECT_EQ(last_result(item.get()), E_ACCESSDENIED);

  // A failing subscriber ends the run before any action.
  EXPECT_CALL(*sink, OnUpdate(_)).WillOnce(Return(E_ABORT));
  EXPECT_EQ(item->Run(nullptr), E_ABORT);
  EXPECT_EQ(log->snapshot().size(), 3u);
}

TEST_F(ItemTest, CloneIsADeepCopyWithTheSameIdAndNoSubscribers) {
  item->put_Name(comrt::bstr(u"Nightly").get());
  item->put_ScheduleRun(VARIANT_TRUE);
  auto action = add_action(item.get(), 4, log);
  EXPECT_CALL(*subscribe(), OnUpdate(_)).Times(0);

  com_ptr<IScheduleItem> clone;
  ASSERT_EQ(item->Clone(clone.put()), S_OK);
  GUID a{}, b{};
  item->get_Id(&a);
  clone->get_Id(&b);
  EXPECT_EQ(a, b);
  comrt::bstr name;
  clone->get_Name(name.put());
  EXPECT_EQ(name.str(), u"Nightly");
  EXPECT_EQ(schedule_run(clone.get()), VARIANT_TRUE);
  com_ptr<IScheduleAction> cloned_action;
  actions_of(clone.get())->get_Item(0, cloned_action.put());
  ASSERT_TRUE(cloned_action);
  EXPECT_NE(cloned_action.get(), static_cast<IScheduleAction*>(action.get()));
  EXPECT_EQ(clone->Update(), S_OK);  // the source's subscriber hears nothing

  action->clone_result = E_ACCESSDENIED;  // a failing clone of an action is the item's result
  IScheduleItem* none = nullptr;
  EXPECT_EQ(item->Clone(&none), E_ACCESSDENIED);
  EXPECT_EQ(none, nullptr);
}

}  // namespace
