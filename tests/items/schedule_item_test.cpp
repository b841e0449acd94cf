// The schedule item: its defaults and setters, Run (time stamp, update, actions in order until the
// first failure), and deep copies.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include <comrt/time.h>

#include "fakes/schedule_doubles.h"
#include "items/schedule_item.h"

namespace {

using ::testing::_;
using ::testing::Invoke;
using ::testing::Return;
using comrt::com_ptr;
using namespace fakes;
using tolvane::CScheduleItem;

constexpr uint64_t kNow = 133'500'000'000'000'000;  // a FILETIME in 2024

class ItemTest : public ::testing::Test {
 protected:
  com_ptr<MockItemEvents> subscribe(DWORD* cookie = nullptr) {
    auto sink = comrt::make<MockItemEvents>();
    const DWORD c = advise<IScheduleItemEvents>(item->identity(), sink->identity());
    if (cookie) *cookie = c;
    return sink;
  }
  static std::u16string name(IScheduleItem* of) {
    comrt::bstr text;
    EXPECT_EQ(of->get_Name(text.put()), S_OK);
    return text.str();
  }

  fixed_clock clock{kNow};
  std::shared_ptr<run_log> log = std::make_shared<run_log>();
  com_ptr<CScheduleItem> item = comrt::make<CScheduleItem>();
};

TEST_F(ItemTest, ANewItemHasItsOwnIdentifierAndCollectionsAndSettersStoreUnchanged) {
  auto other = comrt::make<CScheduleItem>();
  GUID id{}, other_id{};
  item->get_Id(&id);
  other->get_Id(&other_id);
  EXPECT_NE(id, GUID{});
  EXPECT_NE(id, other_id);
  EXPECT_NE(actions_of(item.get()), actions_of(other.get()));
  EXPECT_NE(triggers_of(item.get()), triggers_of(other.get()));
  EXPECT_EQ(last_result(item.get()), E_FAIL);

  // The text is kept up to its first NUL; a null text is empty.
  EXPECT_EQ(item->put_Name(comrt::bstr(std::u16string_view(u"ab\0cd", 5)).get()), S_OK);
  EXPECT_EQ(name(item.get()), u"ab");
  EXPECT_EQ(item->put_Name(nullptr), S_OK);
  EXPECT_EQ(name(item.get()), u"");
}

TEST_F(ItemTest, RunStampsTheTimeUpdatesAndRunsEveryActionInOrderHandingOnTheProvider) {
  auto provider = comrt::make<FakeAction>(0, S_OK, log);
  auto sink = subscribe();
  EXPECT_CALL(*sink, OnUpdate(static_cast<IScheduleItem*>(item.get()))).WillOnce(Invoke([&](IScheduleItem* i) {
    EXPECT_EQ(last_run(i), kNow);
    EXPECT_TRUE(log->snapshot().empty()) << "the update comes before the actions";
    return S_OK;
  }));
  // The same action twice runs twice; a success other than S_OK is stored and the run goes on.
  auto twice = add_action(item.get(), 1, log);
  add_action(item.get(), 2, log, S_FALSE);
  actions_of(item.get())->Add(twice.get());
  EXPECT_EQ(item->Run(provider->identity()), S_OK);
  EXPECT_EQ(log->snapshot(), (std::vector<int>{1, 2, 1}));
  EXPECT_EQ(log->providers, std::vector<IUnknown*>(3, provider->identity()));
  EXPECT_EQ(last_result(item.get()), S_OK);
}

TEST_F(ItemTest, AFailingActionOrSinkEndsTheRun) {
  add_action(item.get(), 1, log);
  add_action(item.get(), 2, log, E_ACCESSDENIED);
  add_action(item.get(), 3, log);
  EXPECT_EQ(item->Run(nullptr), E_ACCESSDENIED);
  EXPECT_EQ(log->snapshot(), (std::vector<int>{1, 2}));
  EXPECT_EQ(last_result(item.get()), E_ACCESSDENIED);

  // A failing subscriber ends the run before any action, after the time stamp.
  log->runs.clear();
  auto refusing = subscribe();
  EXPECT_CALL(*refusing, OnUpdate(_)).WillOnce(Return(E_ABORT));
  item->put_LastRunTime(comrt::to_filetime(0));
  EXPECT_EQ(item->Run(nullptr), E_ABORT);
  EXPECT_TRUE(log->snapshot().empty());
  EXPECT_EQ(last_run(item.get()), kNow);

  item->put_Actions(nullptr);
  EXPECT_CALL(*refusing, OnUpdate(_)).WillOnce(Return(S_OK));
  EXPECT_EQ(item->Run(nullptr), S_OK);
}

TEST_F(ItemTest, CloneIsADeepCopyWithTheSameIdAndNoSubscribers) {
  item->put_Name(comrt::bstr(u"Nightly").get());
  item->put_ScheduleRun(VARIANT_TRUE);
  item->put_Created(comrt::to_filetime(77));
  item->put_LastRunTime(comrt::to_filetime(88));
  item->put_LastTaskResult(E_ABORT);
  auto action = add_action(item.get(), 4, log);
  add_trigger(item.get(), {}, 5);
  auto sink = subscribe();
  EXPECT_CALL(*sink, OnUpdate(_)).Times(0);

  com_ptr<IScheduleItem> clone;
  ASSERT_EQ(item->Clone(clone.put()), S_OK);
  GUID a{}, b{};
  item->get_Id(&a);
  clone->get_Id(&b);
  EXPECT_EQ(a, b);
  EXPECT_EQ(name(clone.get()), u"Nightly");
  EXPECT_EQ(schedule_run(clone.get()), VARIANT_TRUE);
  EXPECT_EQ(comrt::to_ticks(read<FILETIME>([&](FILETIME* t) { return clone->get_Created(t); })), 77u);
  EXPECT_EQ(last_run(clone.get()), 88u);
  EXPECT_EQ(last_result(clone.get()), E_ABORT);
  com_ptr<IScheduleAction> cloned_action;
  actions_of(clone.get())->get_Item(0, cloned_action.put());
  ASSERT_TRUE(cloned_action);
  EXPECT_NE(cloned_action.get(), static_cast<IScheduleAction*>(action.get()));
  EXPECT_EQ(static_cast<FakeAction*>(cloned_action.get())->tag, 4);
  EXPECT_NE(triggers_of(clone.get()), triggers_of(item.get()));
  EXPECT_EQ(count_of(triggers_of(clone.get()).get()), 1);
  EXPECT_EQ(clone->Update(), S_OK);  // the source's subscriber hears nothing

  // A failing clone of an action is Copy's and Clone's result.
  action->clone_result = E_ACCESSDENIED;
  EXPECT_EQ(comrt::make<CScheduleItem>()->Copy(item.get()), E_ACCESSDENIED);
  IScheduleItem* none = nullptr;
  EXPECT_EQ(item->Clone(&none), E_ACCESSDENIED);
  EXPECT_EQ(none, nullptr);
}

}  // namespace
