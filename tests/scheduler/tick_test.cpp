// One tick of the scheduler, driven on the object: which items are asked, marked and run, what a
// scheduled run leaves on the item and the collection, how a failure ends a tick, and when a dirty
// collection is saved.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "scheduler_doubles.h"

namespace {

using ::testing::_;
using ::testing::InSequence;
using ::testing::Invoke;
using ::testing::Return;
using comrt::com_ptr;
using fakes::fixed_clock;
using fakes::trigger_script;
using namespace sched_test;

class TickTest : public SchedulerFixture {
 protected:
  // An enabled item with one action tagged `tag`, added to the scheduler.
  com_ptr<tolvane::CScheduleItem> add_item(int tag, HRESULT result = S_OK) {
    auto item = new_item();
    add_action(item.get(), tag, log, result);
    EXPECT_EQ(s->AddItem(item.get()), S_OK);
    return item;
  }
  com_ptr<tolvane::CScheduleItem> add_marked_item(int tag, HRESULT result = S_OK) {
    auto item = add_item(tag, result);
    EXPECT_EQ(item->put_ScheduleRun(VARIANT_TRUE), S_OK);
    return item;
  }
  // Stores a path where nothing exists, so that Save has somewhere to go.
  void store_path() {
    const comrt::bstr path(comrt::to_utf16((folder.path() / "schedule.xml").string()));
    ASSERT_EQ(s->Load(path.get()), S_OK);
  }

  scratch_folder folder;
  com_ptr<tolvane::CScheduler> s = new_scheduler();
};

TEST_F(TickTest, AnEnabledItemWhoseTriggersAreSetRunsOnTheSameTickAndMovesThemOn) {
  fixed_clock at(kT0);
  auto item = add_item(1);
  auto trigger = add_trigger(item.get(), trigger_script{.is_set = {S_OK}});
  set_dirty(s.get(), VARIANT_FALSE);

  s->OnTimer();

  EXPECT_EQ(log->snapshot(), std::vector<int>{1});
  EXPECT_EQ(schedule_run(item.get()), VARIANT_FALSE);
  EXPECT_EQ(trigger->next_calls, 1);
  EXPECT_EQ(last_run(item.get()), kT0);
  EXPECT_EQ(last_result(item.get()), S_OK);
  EXPECT_EQ(dirty(s.get()), VARIANT_TRUE);

  // The trigger has moved on and no longer reports itself set: nothing runs again.
  s->OnTimer();
  EXPECT_EQ(log->snapshot(), std::vector<int>{1});
  EXPECT_EQ(trigger->is_set_calls, 2);
}

TEST_F(TickTest, ADisabledItemIsNeitherAskedNorRunAndStaysMarked) {
  auto item = add_marked_item(1);
  auto trigger = add_trigger(item.get(), trigger_script{.is_set_after = S_OK});
  ASSERT_EQ(item->put_Enable(VARIANT_FALSE), S_OK);
  set_dirty(s.get(), VARIANT_FALSE);

  s->OnTimer();
  s->OnTimer();

  EXPECT_TRUE(log->snapshot().empty());
  EXPECT_EQ(schedule_run(item.get()), VARIANT_TRUE);
  EXPECT_EQ(trigger->is_set_calls, 0);
  EXPECT_EQ(last_run(item.get()), 0u);
  EXPECT_EQ(dirty(s.get()), VARIANT_FALSE);
}

TEST_F(TickTest, AMarkedItemRunsWithoutAskingItsTriggersAndIsUnmarked) {
  auto without_triggers = add_marked_item(1);
  ASSERT_EQ(without_triggers->put_Triggers(nullptr), S_OK);
  auto with_empty_triggers = add_marked_item(2);
  auto not_set = add_marked_item(3);
  auto trigger = add_trigger(not_set.get(), trigger_script{.is_set_after = S_FALSE});
  set_dirty(s.get(), VARIANT_FALSE);

  s->OnTimer();

  EXPECT_EQ(log->snapshot(), (std::vector<int>{1, 2, 3}));
  for (auto* item : {without_triggers.get(), with_empty_triggers.get(), not_set.get()}) {
    EXPECT_EQ(schedule_run(item), VARIANT_FALSE);
  }
  EXPECT_EQ(trigger->is_set_calls, 0);
  EXPECT_EQ(trigger->next_calls, 1);  // the run still moves the triggers on
  EXPECT_EQ(dirty(s.get()), VARIANT_TRUE);
}

TEST_F(TickTest, AScheduledRunAnnouncesTheItemTwiceOnceBeforeTheActionsAndOnceAfter) {
  fixed_clock at(kT0);
  auto item = add_marked_item(1);
  auto item_sink = comrt::make<fakes::MockItemEvents>();
  fakes::advise<IScheduleItemEvents>(item->identity(), item_sink->identity());
  auto items_sink = comrt::make<fakes::MockItemsEvents>();
  fakes::advise<IScheduleItemsEvents>(items_of(s.get()).get(), items_sink->identity());
  IScheduleItem* const as_item = item.get();
  {
    InSequence order;
    EXPECT_CALL(*item_sink, OnUpdate(as_item)).WillOnce(Invoke([&](IScheduleItem* i) {
      EXPECT_TRUE(log->snapshot().empty()) << "the first announcement comes before the actions";
      EXPECT_EQ(last_run(i), kT0);
      return S_OK;
    }));
    EXPECT_CALL(*item_sink, OnUpdate(as_item)).WillOnce(Invoke([&](IScheduleItem* i) {
      EXPECT_EQ(log->snapshot(), std::vector<int>{1});
      EXPECT_EQ(last_result(i), S_OK);
      return S_OK;
    }));
  }
  EXPECT_CALL(*items_sink, OnUpdateItem(as_item)).Times(2).WillRepeatedly(Return(S_OK));
  EXPECT_CALL(*items_sink, OnAddItem(_)).Times(0);
  EXPECT_CALL(*items_sink, OnRemoveItem(_)).Times(0);

  s->OnTimer();

  ::testing::Mock::VerifyAndClearExpectations(item_sink.get());
  ::testing::Mock::VerifyAndClearExpectations(items_sink.get());
}

TEST_F(TickTest, ATriggerCollectionThatIsNotSetLeavesTheItemAndDirtyAloneAndTheTickGoesOn) {
  std::vector<com_ptr<tolvane::CScheduleItem>> items;
  std::vector<com_ptr<FakeTriggers>> triggers;
  int tag = 1;
  // Only S_OK means due: a failure, a success other than S_OK, and a collection that counts no
  // triggers (which is not even asked) all leave the item as it was.
  const std::pair<HRESULT, LONG> cases[] = {{E_FAIL, 1}, {S_FALSE, 1}, {E_UNEXPECTED, 1}, {S_OK, 0}};
  for (auto [answer, count] : cases) {
    auto item = add_item(tag++);
    auto t = comrt::make<FakeTriggers>(answer, count);
    ASSERT_EQ(item->put_Triggers(t.get()), S_OK);
    items.push_back(item);
    triggers.push_back(t);
  }
  set_dirty(s.get(), VARIANT_FALSE);

  s->OnTimer();

  EXPECT_TRUE(log->snapshot().empty());
  EXPECT_EQ(dirty(s.get()), VARIANT_FALSE);
  for (size_t i = 0; i < items.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(schedule_run(items[i].get()), VARIANT_FALSE);
    EXPECT_EQ(last_run(items[i].get()), 0u);
    EXPECT_EQ(triggers[i]->is_set_calls, triggers[i]->count == 0 ? 0 : 1);
    EXPECT_EQ(triggers[i]->next_calls, 0);
  }

  // An item behind them that is due still runs in the same tick.
  auto due = add_item(9);
  add_trigger(due.get(), trigger_script{.is_set = {S_OK}});
  s->OnTimer();
  EXPECT_EQ(log->snapshot(), std::vector<int>{9});
  EXPECT_EQ(dirty(s.get()), VARIANT_TRUE);
}

TEST_F(TickTest, AFailingRunIsRecordedOnTheItemAndTheTickGoesOn) {
  auto failing = add_marked_item(1, E_ACCESSDENIED);
  auto trigger = add_trigger(failing.get(), trigger_script{});
  auto next = add_marked_item(2);

  s->OnTimer();

  EXPECT_EQ(log->snapshot(), (std::vector<int>{1, 2}));
  EXPECT_EQ(last_result(failing.get()), E_ACCESSDENIED);
  EXPECT_EQ(schedule_run(failing.get()), VARIANT_FALSE);
  EXPECT_EQ(trigger->next_calls, 1);
  EXPECT_EQ(last_result(next.get()), S_OK);
}

TEST_F(TickTest, AFailingStepEndsTheTickAndSkipsTheSave) {
  fixed_clock at(kT0);
  store_path();
  auto first = add_marked_item(1);
  auto stuck = comrt::make<FakeTriggers>(S_FALSE);
  stuck->next_result = E_UNEXPECTED;
  ASSERT_EQ(first->put_Triggers(stuck.get()), S_OK);
  auto second = add_marked_item(2);
  set_dirty(s.get(), VARIANT_TRUE);  // a save would be due if the tick went on

  s->OnTimer();  // must not throw

  EXPECT_EQ(log->snapshot(), std::vector<int>{1});
  EXPECT_EQ(schedule_run(first.get()), VARIANT_FALSE) << "the mark is cleared before the run";
  EXPECT_EQ(schedule_run(second.get()), VARIANT_TRUE);
  EXPECT_EQ(s->LastFileTime(), 0) << "no save after a failed tick";

  // The next tick starts afresh: the first item is no longer due, the second one runs, and the
  // collection is saved.
  s->OnTimer();
  EXPECT_EQ(log->snapshot(), (std::vector<int>{1, 2}));
  EXPECT_EQ(s->LastFileTime(), static_cast<int64_t>(kT0));
}

TEST_F(TickTest, AnItemAddedDuringATickIsFirstLookedAtOnTheNextTick) {
  auto later = new_item();
  add_action(later.get(), 2, log);
  ASSERT_EQ(later->put_ScheduleRun(VARIANT_TRUE), S_OK);
  auto first = new_item();
  auto adding = add_action(first.get(), 1, log);
  ASSERT_EQ(first->put_ScheduleRun(VARIANT_TRUE), S_OK);
  ASSERT_EQ(s->AddItem(first.get()), S_OK);
  tolvane::CScheduler* const scheduler = s.get();  // not held: the action belongs to the scheduler
  adding->on_run = [scheduler, later] { EXPECT_EQ(scheduler->AddItem(later.get()), S_OK); };

  s->OnTimer();
  EXPECT_EQ(log->snapshot(), std::vector<int>{1});
  EXPECT_EQ(schedule_run(later.get()), VARIANT_TRUE);

  s->OnTimer();
  EXPECT_EQ(log->snapshot(), (std::vector<int>{1, 2}));
}

// ---------------------------------------------------------------------------------------------
// Saving a dirty collection

TEST_F(TickTest, WithoutAPathEveryDirtyTickFailsToSaveAndLeavesTheTime) {
  fixed_clock at(kT0);
  set_dirty(s.get(), VARIANT_TRUE);
  EXPECT_EQ(s->SaveIfDirty(), E_FAIL);
  EXPECT_EQ(s->SaveIfDirty(), E_FAIL);
  EXPECT_EQ(s->LastFileTime(), 0);
  EXPECT_EQ(dirty(s.get()), VARIANT_TRUE);
}

TEST_F(TickTest, ADirtyCollectionIsSavedNoSoonerThanTheIntervalAfterTheLastAttempt) {
  EXPECT_EQ(s->AutoSaveInterval(), 60 * static_cast<int64_t>(kSecond));
  store_path();
  EXPECT_EQ(s->LastFileTime(), 0) << "loading a missing file is no load";

  RtSetClock(kT0);
  set_dirty(s.get(), VARIANT_FALSE);
  EXPECT_EQ(s->SaveIfDirty(), S_OK);
  EXPECT_EQ(s->LastFileTime(), 0) << "a clean collection is not saved";

  set_dirty(s.get(), VARIANT_TRUE);
  s->SaveIfDirty();  // the first save after loading a missing file comes at once
  EXPECT_EQ(s->LastFileTime(), static_cast<int64_t>(kT0));

  RtSetClock(kT0 + 60 * kSecond - 1);
  set_dirty(s.get(), VARIANT_TRUE);
  EXPECT_EQ(s->SaveIfDirty(), S_OK);
  EXPECT_EQ(s->LastFileTime(), static_cast<int64_t>(kT0)) << "too soon";

  RtSetClock(kT0 + 60 * kSecond);
  set_dirty(s.get(), VARIANT_TRUE);
  s->SaveIfDirty();
  EXPECT_EQ(s->LastFileTime(), static_cast<int64_t>(kT0 + 60 * kSecond));
}

TEST_F(TickTest, ATickThatRunsAnItemSavesInTheSameTick) {
  fixed_clock at(kT0);
  store_path();
  add_marked_item(1);
  set_dirty(s.get(), VARIANT_FALSE);

  s->OnTimer();

  EXPECT_EQ(log->snapshot(), std::vector<int>{1});
  EXPECT_EQ(s->LastFileTime(), static_cast<int64_t>(kT0));
}

}  // namespace
