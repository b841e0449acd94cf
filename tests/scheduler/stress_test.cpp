// The scheduler under concurrent use: host threads add, remove and edit items and save the
// schedule while the scheduler thread ticks and runs items, whose queue actions hand transfers to a
// host queue. Meant for the thread sanitizer build as much as for the others: no data race, no
// deadlock (every wait has a deadline), and no run lost or doubled.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "actions/queue_action.h"
#include "fakes/transfer_queue_mocks.h"
#include "scheduler_doubles.h"
#include "triggers/schedule_trigger.h"

namespace {

using comrt::com_ptr;
using namespace sched_test;

constexpr int kStableItems = 20;
constexpr int kTicks = 50;

// An item whose time trigger is due every second of the runtime clock, and whose queue action hands
// out copies of `transfer`.
com_ptr<tolvane::CScheduleItem> every_second_item(ITransferQueueItem* transfer) {
  auto item = comrt::make<tolvane::CScheduleItem>();
  auto trigger = comrt::make<tolvane::CScheduleScheduleTrigger>();
  EXPECT_EQ(trigger->put_UTC(VARIANT_TRUE), S_OK);
  EXPECT_EQ(trigger->put_Recurrence(tvScheduleScheduleTriggerRecurrenceCustom), S_OK);
  EXPECT_EQ(trigger->put_RecurrenceTimeInterval(1), S_OK);
  EXPECT_EQ(trigger->put_StartTimeAsUnixTime(static_cast<ULONGLONG>(comrt::now_unix())), S_OK);
  EXPECT_EQ(trigger->UpdateNextOccurrence(), S_OK);
  com_ptr<IScheduleTriggers> triggers;
  EXPECT_EQ(item->get_Triggers(triggers.put()), S_OK);
  EXPECT_EQ(triggers->Add(trigger.as<IScheduleTrigger>().get()), S_OK);
  auto action = comrt::make<tolvane::CScheduleQueueAction>();
  EXPECT_EQ(action->put_Item(transfer), S_OK);
  com_ptr<IScheduleActions> actions;
  EXPECT_EQ(item->get_Actions(actions.put()), S_OK);
  EXPECT_EQ(actions->Add(action.as<IScheduleAction>().get()), S_OK);
  return item;
}

com_ptr<IScheduleScheduleTrigger> first_trigger(IScheduleItem* item) {
  com_ptr<IScheduleTriggers> triggers;
  com_ptr<IScheduleTrigger> trigger;
  if (FAILED(item->get_Triggers(triggers.put())) || !triggers) return nullptr;
  if (FAILED(triggers->get_Item(0, trigger.put())) || !trigger) return nullptr;
  return trigger.try_as<IScheduleScheduleTrigger>();
}

class StressTest : public SchedulerFixture {
 protected:
  StressTest() { RtSetClock(kT0); }
  fakes::transfer_host host;
};

TEST_F(StressTest, HostThreadsChangeTheScheduleWhileTicksRunItemsAndNothingIsLostOrDoubled) {
  auto s = new_scheduler();
  ASSERT_EQ(s->SetSite(host.provider.get()), S_OK);
  const comrt::bstr path(comrt::to_utf16((folder.path() / "schedule.xml").string()));
  ASSERT_EQ(s->Load(path.get()), S_OK);

  std::vector<fakes::mock_ptr<fakes::MockTransferQueueItem>> transfers;
  std::vector<com_ptr<tolvane::CScheduleItem>> stable;
  for (int i = 0; i < kStableItems; ++i) {
    transfers.push_back(fakes::make_mock<fakes::MockTransferQueueItem>());
    stable.push_back(every_second_item(transfers.back().get()));
    ASSERT_EQ(s->AddItem(stable.back().get()), S_OK);
  }

  std::atomic<bool> stop{false};
  std::atomic<int> transient_added{0};
  std::vector<std::thread> host_threads;
  // Adds items and removes them again, by identity and by identifier.
  host_threads.emplace_back([&] {
    while (!stop) {
      auto item = every_second_item(host.template_item.get());
      EXPECT_EQ(s->AddItem(item.get()), S_OK);
      ++transient_added;
      std::this_thread::yield();
      EXPECT_EQ(s->RemoveItem(item.get()), S_OK);
    }
  });
  // Edits the stable items and their triggers without moving their occurrences, and reads them.
  host_threads.emplace_back([&] {
    for (int round = 0; !stop; ++round) {
      for (auto& item : stable) {
        const comrt::bstr name(round % 2 ? u"even" : u"odd");
        EXPECT_EQ(item->put_Name(name.get()), S_OK);
        auto trigger = first_trigger(item.get());
        ASSERT_TRUE(trigger);
        EXPECT_EQ(trigger->put_WeekMask(static_cast<ScheduleScheduleTriggerWeekMask>(round & 0x7f)), S_OK);
        EXPECT_EQ(trigger->put_RecurrenceTimeInterval(1), S_OK);
        VARIANT_BOOL flag = VARIANT_FALSE;
        EXPECT_EQ(item->get_ScheduleRun(&flag), S_OK);
        com_ptr<IScheduleTriggers> triggers;
        EXPECT_EQ(item->get_Triggers(triggers.put()), S_OK);
        ULONGLONG next = 0;
        EXPECT_EQ(triggers->get_NextRunTimeAsUnixTime(&next), S_OK);
      }
    }
  });
  // Saves the schedule and loads it into a second scheduler, and clones items while they run.
  host_threads.emplace_back([&] {
    auto other = new_scheduler();
    for (size_t round = 0; !stop; ++round) {
      s->Save();
      other->Load(path.get());
      com_ptr<IScheduleItem> clone;
      EXPECT_EQ(stable[round % stable.size()]->Clone(clone.put()), S_OK);
      EXPECT_EQ(other->AddItem(clone.get()), S_OK);
      EXPECT_EQ(other->RemoveItem(clone.get()), S_OK);
      std::this_thread::yield();
    }
  });

  // The ticks: the runtime clock moves one second, then the scheduler thread ticks once.
  for (int tick = 0; tick < kTicks; ++tick) {
    RtAdvanceClock(static_cast<int64_t>(kSecond));
    advance(s.get(), tolvane::CSchedulerThread::tick_period);
    if (HasFatalFailure()) break;
  }
  stop = true;
  for (auto& t : host_threads) t.join();

  // Every stable item ran on every tick, exactly once, and every transfer reached the queue.
  for (auto& transfer : transfers) EXPECT_EQ(transfer->copies.get().size(), static_cast<size_t>(kTicks));
  EXPECT_GE(host.queued().size(), static_cast<size_t>(kStableItems * kTicks));
  EXPECT_GT(transient_added.load(), 0);
  ASSERT_EQ(s->SetSite(nullptr), S_OK);
}

}  // namespace
