// The scheduler thread: ticks from its own timer only, and a final release that lets a running tick
// finish.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include <comrt/event.h>

#include "scheduler_doubles.h"

namespace {

using namespace std::chrono_literals;
using comrt::event;
using comrt::event_reset;
using namespace sched_test;

using SchedulerThreadTest = SchedulerFixture;

TEST_F(SchedulerThreadTest, TheThreadTicksEveryHalfSecondOfItsClockAndRunsWhatIsDue) {
  auto due = add_item(1);
  auto trigger = add_trigger(due.get(), {.is_set = {S_OK}});
  advance(499ms);
  EXPECT_EQ(trigger->is_set_calls, 0) << "no tick before the period is over";
  advance(1ms);
  EXPECT_EQ(log->snapshot(), std::vector<int>{1}) << "run on the tick that found it due";
  // Ten periods at once make one tick, not ten.
  advance(5000ms);
  EXPECT_EQ(trigger->is_set_calls, 2);
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

TEST_F(SchedulerThreadTest, OnlyItsOwnTimerTicksAndOtherMessagesAreSwallowed) {
  CountingTarget target;
  tolvane::CSchedulerThread thread(&target);
  ASSERT_EQ(thread.Start(clock), S_OK);
  auto& loop = thread.thread();
  for (auto [message, wparam] : {std::pair<UINT, WPARAM>{WM_USER, 0}, {WM_TIMER, 0}, {WM_TIMER, ~WPARAM{0} - 41}})
    EXPECT_TRUE(loop.post(message, wparam, 0));
  ASSERT_TRUE(loop.wait_idle(kHangGuard));
  EXPECT_EQ(target.ticks.load(), 0);
  clock->advance(500ms);
  ASSERT_TRUE(loop.wait_idle(kHangGuard));
  EXPECT_EQ(target.ticks.load(), 1);
  thread.Stop();
  EXPECT_EQ(thread.thread().exit_code(), 0u);
}

}  // namespace
