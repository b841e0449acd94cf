// The final release of the scheduler on its own thread: an action run by a tick lets go of the last
// reference. The tick finishes, the object is torn down after it, and the thread ends by itself.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include <comrt/event.h>

#include "scheduler_doubles.h"

namespace {

using namespace std::chrono_literals;
using ::testing::_;
using ::testing::Return;
using comrt::com_ptr;
using fakes::ref_count;
using namespace sched_test;

// Sets an event when the thread that armed it exits, after the thread's other thread-local objects
// made later (such as what the thread keeps of itself) have gone.
void signal_at_thread_exit(comrt::event& e) {
  struct signal {
    comrt::event* e = nullptr;
    ~signal() {
      if (e) e->set();
    }
  };
  static thread_local signal at_exit;
  at_exit.e = &e;
}

using SchedulerTeardownTest = SchedulerFixture;

TEST_F(SchedulerTeardownTest, AnActionThatReleasesTheLastReferenceLetsItsTickFinish) {
  auto holder = std::make_shared<com_ptr<tolvane::CScheduler>>(new_scheduler());
  tolvane::CScheduler* const s = holder->get();
  auto site = comrt::make<ServiceOnlySite>();
  ASSERT_EQ(s->SetSite(site->identity()), S_OK);
  auto items = items_of(s);
  auto items_sink = comrt::make<fakes::MockItemsEvents>();
  fakes::advise<IScheduleItemsEvents>(items.get(), items_sink->identity());

  comrt::event thread_ended(comrt::event_reset::manual);
  auto releasing = new_item();
  add_action(releasing.get(), 1, log)->on_run = [holder, &thread_ended] {
    signal_at_thread_exit(thread_ended);
    *holder = nullptr;  // the last reference
  };
  auto after = new_item();
  add_action(after.get(), 2, log);
  for (auto* item : {releasing.get(), after.get()}) {
    ASSERT_EQ(item->put_ScheduleRun(VARIANT_TRUE), S_OK);
    ASSERT_EQ(s->AddItem(item), S_OK);
  }
  // Each run is announced twice: before the actions, and after the triggers have moved on.
  EXPECT_CALL(*items_sink, OnUpdateItem(static_cast<IScheduleItem*>(releasing.get()))).Times(2).WillRepeatedly(Return(S_OK));
  EXPECT_CALL(*items_sink, OnUpdateItem(static_cast<IScheduleItem*>(after.get()))).Times(2).WillRepeatedly(Return(S_OK));
  const ULONG site_refs = ref_count(site->identity()) - 1;  // less the scheduler's
  holder.reset();  // the action's copy of the holder is what is left

  clock->advance(500ms);
  ASSERT_TRUE(thread_ended.wait(kHangGuard)) << "the scheduler thread did not end";

  EXPECT_EQ(log->snapshot(), (std::vector<int>{1, 2})) << "the tick went on after the release";
  EXPECT_EQ(schedule_run(after.get()), VARIANT_FALSE);
  EXPECT_EQ(ref_count(site->identity()), site_refs) << "the scheduler is gone";
  ::testing::Mock::VerifyAndClearExpectations(items_sink.get());
  EXPECT_CALL(*items_sink, OnUpdateItem(_)).Times(0);
  releasing->Update();  // the collection was disconnected from its items
}

}  // namespace
