// The clock reading that one tick shares among the time triggers it asks: taken when the walk
// starts and taken again after every run, so a long run is seen by the items after it.
#include <gtest/gtest.h>

#include <vector>

#include "scheduler_doubles.h"
#include "triggers/schedule_trigger.h"

namespace {

using namespace sched_test;

class TickClockTest : public SchedulerFixture {
 protected:
  // An item whose one time trigger (UTC clock) fires once, `seconds` from now.
  com_ptr<tolvane::CScheduleItem> add_timed_item(int tag, int64_t seconds) {
    auto item = new_item();
    auto trigger = comrt::make<tolvane::CScheduleScheduleTrigger>();
    EXPECT_EQ(trigger->put_UTC(VARIANT_TRUE), S_OK);
    EXPECT_EQ(trigger->put_StartTimeAsUnixTime(static_cast<ULONGLONG>(comrt::now_unix() + seconds)), S_OK);
    EXPECT_EQ(trigger->UpdateNextOccurrence(), S_OK);
    com_ptr<IScheduleTriggers> triggers;
    EXPECT_EQ(item->get_Triggers(triggers.put()), S_OK);
    EXPECT_EQ(triggers->Add(trigger.as<IScheduleTrigger>().get()), S_OK);
    add_action(item.get(), tag, log);
    EXPECT_EQ(s->AddItem(item.get()), S_OK);
    return item;
  }

  com_ptr<tolvane::CScheduler> s = new_scheduler();
};

TEST_F(TickClockTest, ARunThatTakesTimeIsSeenByTheTriggersOfTheItemsAfterIt) {
  RtSetClock(kT0);
  // The first item runs on this tick and takes two seconds; the second becomes due during that run.
  auto slow = new_item();
  auto action = add_action(slow.get(), 1, log);
  action->on_run = [] { RtAdvanceClock(static_cast<int64_t>(2 * kSecond)); };
  ASSERT_EQ(slow->put_ScheduleRun(VARIANT_TRUE), S_OK);
  ASSERT_EQ(s->AddItem(slow.get()), S_OK);
  add_timed_item(2, 1);
  add_timed_item(3, 5);

  s->OnTimer();
  EXPECT_EQ(log->snapshot(), (std::vector<int>{1, 2}));

  // Outside a tick the triggers read the clock as it is.
  RtAdvanceClock(static_cast<int64_t>(3 * kSecond));
  s->OnTimer();
  EXPECT_EQ(log->snapshot(), (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(tolvane::schedule::now(true), comrt::now_unix());
}

}  // namespace
