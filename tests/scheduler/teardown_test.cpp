// An action run by a tick releases the last reference to the scheduler: the tick finishes, the
// object is torn down after it, and the thread ends by itself.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include <comrt/event.h>

#include "scheduler_doubles.h"

namespace {

using namespace std::chrono_literals;
using namespace sched_test;

// Sets the event when the calling thread exits, after the thread-local objects made later.
void signal_at_thread_exit(comrt::event& e) {
  struct signal {
    comrt::event* e = nullptr;
    ~signal() { e->set(); }
  };
  static thread_local signal at_exit;
  at_exit.e = &e;
}

using SchedulerTeardownTest = SchedulerFixture;

TEST_F(SchedulerTeardownTest, AnActionThatReleasesTheLastReferenceLetsItsTickFinish) {
  auto last = std::make_shared<com_ptr<tolvane::CScheduler>>(new_scheduler());
  auto site = comrt::make<ServiceOnlySite>();
  ASSERT_EQ((*last)->SetSite(site->identity()), S_OK);
  auto items = items_of(last->get());
  auto items_sink = comrt::make<fakes::MockItemsEvents>();
  fakes::advise<IScheduleItemsEvents>(items.get(), items_sink->identity());

  comrt::event ended(comrt::event_reset::manual);
  auto releasing = new_item(), after = new_item();
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
  const ULONG site_refs = fakes::ref_count(site->identity()) - 1;  // less the scheduler's
  last.reset();  // the action holds the last reference now

  clock->advance(500ms);
  ASSERT_TRUE(ended.wait(kHangGuard)) << "the scheduler thread did not end";
  EXPECT_EQ(log->snapshot(), (std::vector<int>{1, 2})) << "the tick went on after the release";
  EXPECT_EQ(fakes::ref_count(site->identity()), site_refs) << "the scheduler is gone";
  ::testing::Mock::VerifyAndClearExpectations(items_sink.get());
  EXPECT_CALL(*items_sink, OnUpdateItem(::testing::_)).Times(0);
  releasing->Update();  // the collection was disconnected from its items
}

}  // namespace
