// One tick of the scheduler, driven on the object: which items are asked, marked and run, what a
// scheduled run leaves on the item and the collection, how a failure ends a tick, and when a dirty
// collection is saved.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <vector>

#include "scheduler_doubles.h"
#include "triggers/schedule_triggers.h"

namespace {

using ::testing::_;
using ::testing::InSequence;
using ::testing::Invoke;
using ::testing::Return;
using namespace sched_test;

class TickTest : public SchedulerFixture {
 protected:
  fixed_clock at{kT0};
};

TEST_F(TickTest, AnEnabledItemWhoseTriggersAreSetRunsOnTheSameTickAndMovesThemOn) {
  auto item = add_item(1);
  auto trigger = add_trigger(item.get(), {.is_set = {S_OK}});
  auto idle = add_item(2);
  add_trigger(idle.get(), {.is_set_after = S_FALSE});
  auto disabled = add_item(3, VARIANT_TRUE);
  auto disabled_trigger = add_trigger(disabled.get(), {.is_set_after = S_OK});
  disabled->put_Enable(VARIANT_FALSE);
  set_dirty(VARIANT_FALSE);

  s->OnTimer();
  EXPECT_EQ(log->snapshot(), std::vector<int>{1});
  EXPECT_EQ(schedule_run(item.get()), VARIANT_FALSE);
  EXPECT_EQ(trigger->next_calls, 1);
  EXPECT_EQ(last_run(item.get()), kT0);
  EXPECT_EQ(dirty(), VARIANT_TRUE);
  EXPECT_EQ(disabled_trigger->is_set_calls, 0) << "a disabled item is not even asked";
  EXPECT_EQ(schedule_run(disabled.get()), VARIANT_TRUE);

  // The trigger has moved on and no longer reports itself set: nothing runs again.
  set_dirty(VARIANT_FALSE);
  s->OnTimer();
  EXPECT_EQ(log->snapshot(), std::vector<int>{1});
  EXPECT_EQ(dirty(), VARIANT_FALSE);
}

TEST_F(TickTest, AMarkedItemRunsWithoutAskingItsTriggersAndIsUnmarked) {
  auto item = add_item(1, VARIANT_TRUE);
  auto trigger = add_trigger(item.get(), {.is_set_after = S_FALSE});
  auto without_triggers = add_item(2, VARIANT_TRUE);
  without_triggers->put_Triggers(nullptr);
  s->OnTimer();
  s->OnTimer();
  EXPECT_EQ(log->snapshot(), (std::vector<int>{1, 2}));
  EXPECT_EQ(schedule_run(item.get()), VARIANT_FALSE);
  EXPECT_EQ(trigger->is_set_calls, 1) << "asked on the second tick only";
}

TEST_F(TickTest, AScheduledRunAnnouncesTheItemBeforeTheActionsAndAfterThemAndTheTriggersMoveOnLast) {
  auto item = add_item(1, VARIANT_TRUE);
  auto trigger = add_trigger(item.get(), {});
  add_action(item.get(), 2, log)->on_run = [&] { EXPECT_EQ(trigger->next_calls, 0) << "moved on after the run"; };
  auto sink = comrt::make<MockItemsEvents>();
  advise<IScheduleItemsEvents>(items().get(), sink->identity());
  IScheduleItem* const as_item = item.get();
  InSequence order;
  EXPECT_CALL(*sink, OnUpdateItem(as_item)).WillOnce(Invoke([&](IScheduleItem* i) {
    EXPECT_TRUE(log->snapshot().empty());
    EXPECT_EQ(last_run(i), kT0);
    return S_OK;
  }));
  EXPECT_CALL(*sink, OnUpdateItem(as_item)).WillOnce(Invoke([&](IScheduleItem* i) {
    EXPECT_EQ(log->snapshot(), (std::vector<int>{1, 2}));
    EXPECT_EQ(last_result(i), S_OK);
    return S_OK;
  }));
  s->OnTimer();
}

TEST_F(TickTest, TheTickAsksTheTriggerCollectionThatReplacedTheItemsFirst) {
  auto item = add_item(1);
  auto replaced = add_trigger(item.get(), {.is_set_after = S_OK});
  ASSERT_EQ(item->put_Triggers(comrt::make<tolvane::CScheduleTriggers>().get()), S_OK);
  auto trigger = add_trigger(item.get(), {.is_set = {S_OK}});
  s->OnTimer();
  EXPECT_EQ(log->snapshot(), std::vector<int>{1});
  EXPECT_EQ(trigger->next_calls, 1);
  EXPECT_EQ(replaced->is_set_calls, 0);
}

TEST_F(TickTest, AFailingRunIsRecordedOnTheItemAndTheTickGoesOn) {
  auto failing = add_item(1, VARIANT_TRUE, E_ACCESSDENIED);
  auto next = add_item(2, VARIANT_TRUE);
  s->OnTimer();
  EXPECT_EQ(log->snapshot(), (std::vector<int>{1, 2}));
  EXPECT_EQ(last_result(failing.get()), E_ACCESSDENIED);
  EXPECT_EQ(last_result(next.get()), S_OK);
}

TEST_F(TickTest, AFailingStepEndsTheTickAndSkipsTheSave) {
  ASSERT_EQ(s->Load(folder.file("schedule.xml").get()), S_OK);
  auto first = add_item(1, VARIANT_TRUE);
  add_trigger(first.get(), {.next = E_UNEXPECTED});
  auto second = add_item(2, VARIANT_TRUE);
  set_dirty(VARIANT_TRUE);  // a save would be due if the tick went on

  s->OnTimer();  // must not throw
  EXPECT_EQ(log->snapshot(), std::vector<int>{1});
  EXPECT_EQ(schedule_run(first.get()), VARIANT_FALSE) << "the mark is cleared before the run";
  EXPECT_EQ(schedule_run(second.get()), VARIANT_TRUE);
  EXPECT_EQ(s->LastFileTime(), 0) << "no save after a failed tick";
}

TEST_F(TickTest, FindingAnItemDueMarksTheCollectionDirtyEvenWhenItsRunFailsToFinish) {
  auto item = add_item(1);
  add_trigger(item.get(), {.is_set = {S_OK}, .next = E_UNEXPECTED});
  set_dirty(VARIANT_FALSE);
  s->OnTimer();
  EXPECT_EQ(log->snapshot(), std::vector<int>{1});
  EXPECT_EQ(dirty(), VARIANT_TRUE);
}

TEST_F(TickTest, AnItemAddedDuringATickIsFirstLookedAtOnTheNextTick) {
  auto later = comrt::make<tolvane::CScheduleItem>();
  add_action(later.get(), 2, log);
  later->put_ScheduleRun(VARIANT_TRUE);
  tolvane::CScheduler* const scheduler = s.get();  // not held: the action belongs to the scheduler
  auto adding = add_action(add_item(1, VARIANT_TRUE).get(), 0, log);
  adding->on_run = [scheduler, later] { EXPECT_EQ(scheduler->AddItem(later.get()), S_OK); };
  s->OnTimer();
  EXPECT_EQ(log->snapshot(), (std::vector<int>{1, 0}));
  s->OnTimer();
  EXPECT_EQ(log->snapshot(), (std::vector<int>{1, 0, 2}));
}

TEST_F(TickTest, ADirtyCollectionIsSavedNoSoonerThanTheIntervalAfterTheLastAttempt) {
  set_dirty(VARIANT_TRUE);
  EXPECT_EQ(s->SaveIfDirty(), E_FAIL) << "nowhere to save";
  EXPECT_EQ(s->LastFileTime(), 0);
  ASSERT_EQ(s->Load(folder.file("schedule.xml").get()), S_OK);
  EXPECT_EQ(s->LastFileTime(), 0) << "loading a missing file is no load";
  set_dirty(VARIANT_FALSE);
  EXPECT_EQ(s->SaveIfDirty(), S_OK);
  EXPECT_EQ(s->LastFileTime(), 0) << "a clean collection is not saved";

  add_item(1, VARIANT_TRUE);
  s->OnTimer();  // a tick that runs an item saves in the same tick
  EXPECT_EQ(s->LastFileTime(), static_cast<int64_t>(kT0));
  RtSetClock(kT0 + 60 * kSecond - 1);
  set_dirty(VARIANT_TRUE);
  EXPECT_EQ(s->SaveIfDirty(), S_OK);
  EXPECT_EQ(s->LastFileTime(), static_cast<int64_t>(kT0)) << "too soon";
  RtSetClock(kT0 + 60 * kSecond);
  s->SaveIfDirty();
  EXPECT_EQ(s->LastFileTime(), static_cast<int64_t>(kT0 + 60 * kSecond));
}

}  // namespace
