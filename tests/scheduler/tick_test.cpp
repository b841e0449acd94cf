// One tick of the scheduler, driven on the object: which items are asked, marked and run, what a
// scheduled run leaves on the item and the collection, how a failure ends a tick, and when a dirty
// collection is saved; and the thread that ticks: on its own timer only, with a final release, from
// outside or from an action the tick runs, that lets the running tick finish.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include <comrt/event.h>

#include "scheduler_doubles.h"
#include "triggers/schedule_triggers.h"

namespace {

using namespace std::chrono_literals;
using comrt::event;
using comrt::event_reset;
using namespace sched_test;

using SchedulerThreadTest = SchedulerFixture;

class TickTest : public SchedulerFixture {
 protected:
  fixed_clock at{kT0};
};

// Item 1 is set up by the row and followed by item 2, marked; both ticks run on a loaded schedule.
struct tick_row {
  const char* what;
  VARIANT_BOOL enabled, marked;
  std::optional<trigger_script> trigger;  // none: the item has no trigger collection
  HRESULT result;
  std::vector<int> first, second;  // the runs after the first tick and after the second
  int is_set_calls, next_calls;    // item 1's trigger over both ticks
};

const tick_row tick_rows[] = {
    {"due", VARIANT_TRUE, VARIANT_FALSE, trigger_script{.is_set = {S_OK}}, S_OK, {1, 2}, {1, 2}, 2, 1},
    {"not due", VARIANT_TRUE, VARIANT_FALSE, trigger_script{}, S_OK, {2}, {2}, 2, 0},
    {"disabled, not asked", VARIANT_FALSE, VARIANT_TRUE, trigger_script{.is_set_after = S_OK}, S_OK, {2}, {2}, 0, 0},
    {"marked, asked on the second tick only", VARIANT_TRUE, VARIANT_TRUE, trigger_script{}, S_OK, {1, 2}, {1, 2}, 1, 1},
    {"marked, no triggers", VARIANT_TRUE, VARIANT_TRUE, std::nullopt, S_OK, {1, 2}, {1, 2}, 0, 0},
    {"failing run goes on", VARIANT_TRUE, VARIANT_TRUE, trigger_script{}, E_ACCESSDENIED, {1, 2}, {1, 2}, 1, 1},
    {"failing step ends the tick", VARIANT_TRUE, VARIANT_TRUE, trigger_script{.next = E_UNEXPECTED}, S_OK, {1}, {1, 2}, 1, 1},
    {"due, failing step", VARIANT_TRUE, VARIANT_FALSE, trigger_script{.is_set = {S_OK}, .next = E_UNEXPECTED}, S_OK, {1}, {1, 2}, 2, 1},
};

class TickRows : public TickTest, public ::testing::WithParamInterface<tick_row> {};
INSTANTIATE_TEST_SUITE_P(Rows, TickRows, ::testing::ValuesIn(tick_rows), [](const auto& p) { return std::to_string(p.index); });

TEST_P(TickRows, RunsMarksAndSaves) {
  const tick_row& row = GetParam();
  SCOPED_TRACE(row.what);
  ASSERT_EQ(s->Load(file("schedule.xml").get()), S_OK);
  auto item = add_item(1, row.marked, row.result);
  com_ptr<FakeTrigger> trigger;
  if (row.trigger) trigger = add_trigger(item.get(), *row.trigger);
  else item->put_Triggers(nullptr);
  item->put_Enable(row.enabled);
  auto later = add_item(2, VARIANT_TRUE);
  set_dirty(VARIANT_FALSE);

  s->OnTimer();  // must not throw
  EXPECT_EQ(log->snapshot(), row.first);
  const bool ran = row.first.front() == 1, went_on = row.first.back() == 2;
  EXPECT_EQ(schedule_run(item.get()), ran ? VARIANT_FALSE : row.marked) << "the mark is cleared before the run";
  EXPECT_EQ(last_run(item.get()), ran ? kT0 : 0);
  EXPECT_EQ(last_result(item.get()), ran ? row.result : E_FAIL);
  EXPECT_EQ(schedule_run(later.get()), went_on ? VARIANT_FALSE : VARIANT_TRUE);
  EXPECT_EQ(dirty(), went_on || !row.marked ? VARIANT_TRUE : VARIANT_FALSE) << "dirty when found due, even when its run fails";
  EXPECT_EQ(s->LastFileTime(), went_on ? static_cast<int64_t>(kT0) : 0) << "no save after a failed tick";

  // The triggers have moved on and no longer report themselves set: only what was left runs.
  RtSetClock(kT0 + 60 * kSecond);
  set_dirty(VARIANT_FALSE);
  s->OnTimer();
  EXPECT_EQ(log->snapshot(), row.second);
  if (trigger) {
    EXPECT_EQ(trigger->is_set_calls, row.is_set_calls);
    EXPECT_EQ(trigger->next_calls, row.next_calls);
  }
  EXPECT_EQ(s->LastFileTime(), static_cast<int64_t>(row.second == row.first ? kT0 : kT0 + 60 * kSecond));
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

TEST_F(TickTest, AnItemAddedDuringATickIsFirstLookedAtOnTheNextTick) {
  auto later = comrt::make<tolvane::CScheduleItem>();
  add_action(later.get(), 2, log);
  later->put_ScheduleRun(VARIANT_TRUE);
  tolvane::CScheduler* const scheduler = s.get();  // not held: the action belongs to the scheduler
  add_action(add_item(1, VARIANT_TRUE).get(), 0, log)->on_run = [scheduler, later] {
    EXPECT_EQ(scheduler->AddItem(later.get()), S_OK);
  };
  s->OnTimer();
  EXPECT_EQ(log->snapshot(), (std::vector<int>{1, 0}));
  s->OnTimer();
  EXPECT_EQ(log->snapshot(), (std::vector<int>{1, 0, 2}));
}

TEST_F(TickTest, ADirtyCollectionIsSavedNoSoonerThanTheIntervalAfterTheLastAttempt) {
  set_dirty(VARIANT_TRUE);
  EXPECT_EQ(s->SaveIfDirty(), E_FAIL) << "nowhere to save";
  ASSERT_EQ(s->Load(file("schedule.xml").get()), S_OK);
  EXPECT_EQ(s->LastFileTime(), 0) << "loading a missing file is no load";
  s->OnTimer();
  EXPECT_EQ(s->LastFileTime(), static_cast<int64_t>(kT0));
  RtSetClock(kT0 + 60 * kSecond - 1);
  set_dirty(VARIANT_TRUE);
  EXPECT_EQ(s->SaveIfDirty(), S_OK);
  EXPECT_EQ(s->LastFileTime(), static_cast<int64_t>(kT0)) << "too soon";
  RtSetClock(kT0 + 60 * kSecond);
  set_dirty(VARIANT_FALSE);
  EXPECT_EQ(s->SaveIfDirty(), S_OK);
  EXPECT_EQ(s->LastFileTime(), static_cast<int64_t>(kT0)) << "a clean collection is not saved";
  set_dirty(VARIANT_TRUE);
  s->SaveIfDirty();
  EXPECT_EQ(s->LastFileTime(), static_cast<int64_t>(kT0 + 60 * kSecond));
}

// The time triggers of one tick share a reading of the clock taken when the walk starts and again
// after every run, so a long run is seen by the items after it; outside a tick they read the clock.
TEST_F(TickTest, ARunThatTakesTimeIsSeenByTheTriggersOfTheItemsAfterIt) {
  add_action(add_item(1, VARIANT_TRUE).get(), 0, log)->on_run = [] { RtAdvanceClock(static_cast<int64_t>(2 * kSecond)); };
  for (auto [tag, in] : {std::pair{2, 1}, {3, 5}}) {
    auto item = item_with(time_trigger(in).get());
    add_action(item.get(), tag, log);
    ASSERT_EQ(s->AddItem(item.get()), S_OK);
  }
  s->OnTimer();
  EXPECT_EQ(log->snapshot(), (std::vector<int>{1, 0, 2}));
  RtAdvanceClock(static_cast<int64_t>(3 * kSecond));
  s->OnTimer();
  EXPECT_EQ(log->snapshot(), (std::vector<int>{1, 0, 2, 3}));
  EXPECT_EQ(tolvane::schedule::now(true), comrt::now_unix());
}

TEST_F(SchedulerThreadTest, TheThreadTicksEveryHalfSecondOfItsOwnTimerOnlyAndRunsWhatIsDue) {
  auto trigger = add_trigger(add_item(1).get(), {.is_set = {S_OK}});
  auto& loop = s->thread().thread();
  for (auto [message, wparam] : {std::pair<UINT, WPARAM>{WM_USER, 0}, {WM_TIMER, 0}, {WM_TIMER, ~WPARAM{0} - 41}})
    EXPECT_TRUE(loop.post(message, wparam, 0));
  advance(499ms);
  EXPECT_EQ(trigger->is_set_calls, 0) << "no tick for other messages or before the period is over";
  advance(1ms);
  EXPECT_EQ(log->snapshot(), std::vector<int>{1}) << "run on the tick that found it due";
  advance(5000ms);
  EXPECT_EQ(trigger->is_set_calls, 2) << "ten periods at once make one tick";
}

TEST_F(SchedulerThreadTest, FinalReleaseWaitsForTheTickInProgressAndItsLaterItems) {
  event entered(event_reset::manual), gate(event_reset::manual), releasing(event_reset::manual);
  add_action(add_item(1, VARIANT_TRUE).get(), 0, log)->on_run = [&] {
    entered.set();
    gate.wait();
  };
  add_item(2, VARIANT_TRUE);
  clock->advance(500ms);
  ASSERT_TRUE(entered.wait(kHangGuard));
  std::vector<int> runs_when_released;
  std::thread releaser([&, last = std::move(s)]() mutable {
    releasing.set();
    last = nullptr;  // the final release
    runs_when_released = log->snapshot();
  });
  releasing.wait();
  gate.set();
  releaser.join();
  EXPECT_EQ(runs_when_released, (std::vector<int>{1, 0, 2}));
}

// Sets the event when the calling thread exits, after the thread-local objects made later.
void signal_at_thread_exit(event& e) {
  struct signal {
    event* e = nullptr;
    ~signal() { e->set(); }
  };
  static thread_local signal at_exit;
  at_exit.e = &e;
}

TEST_F(SchedulerThreadTest, AnActionThatReleasesTheLastReferenceLetsItsTickFinishAndTheThreadEnd) {
  auto last = std::make_shared<com_ptr<tolvane::CScheduler>>(std::move(s));
  auto site = service_only_site();
  ASSERT_EQ((*last)->SetSite(site->identity()), S_OK);
  com_ptr<IScheduleItems> items;
  ASSERT_EQ((*last)->get_Items(items.put()), S_OK);
  auto items_sink = comrt::make<MockItemsEvents>();
  advise<IScheduleItemsEvents>(items.get(), items_sink->identity());

  event ended(event_reset::manual);
  auto releasing = comrt::make<tolvane::CScheduleItem>(), after = comrt::make<tolvane::CScheduleItem>();
  add_action(releasing.get(), 1, log)->on_run = [last, &ended] {
    signal_at_thread_exit(ended);
    *last = nullptr;
  };
  add_action(after.get(), 2, log);
  for (auto* item : {releasing.get(), after.get()}) {
    ASSERT_EQ(item->put_ScheduleRun(VARIANT_TRUE), S_OK);
    ASSERT_EQ((*last)->AddItem(item), S_OK);
    // Announced before the actions and after the triggers have moved on.
    EXPECT_CALL(*items_sink, OnUpdateItem(item)).Times(2).WillRepeatedly(::testing::Return(S_OK));
  }
  const ULONG site_refs = ref_count(site->identity()) - 1;  // less the scheduler's
  last.reset();  // the action holds the last reference now

  clock->advance(500ms);
  ASSERT_TRUE(ended.wait(kHangGuard)) << "the scheduler thread did not end";
  EXPECT_EQ(log->snapshot(), (std::vector<int>{1, 2})) << "the tick went on after the release";
  EXPECT_EQ(ref_count(site->identity()), site_refs) << "the scheduler is gone";
  ::testing::Mock::VerifyAndClearExpectations(items_sink.get());
  EXPECT_CALL(*items_sink, OnUpdateItem(::testing::_)).Times(0);
  releasing->Update();  // the collection was disconnected from its items
}

}  // namespace
