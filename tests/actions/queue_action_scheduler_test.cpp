// The queue action in a running scheduler: the scheduler's site is the host's service provider,
// which offers a transfer queue; items marked to run are run by the scheduler thread's tick.
#include <gtest/gtest.h>

#include <chrono>

#include "actions/queue_action.h"
#include "fakes/transfer_queue_mocks.h"
#include "scheduler/scheduler_doubles.h"

namespace {

using comrt::com_ptr;
using namespace std::chrono_literals;
using namespace sched_test;

class QueueActionInSchedulerTest : public SchedulerFixture {
 protected:
  QueueActionInSchedulerTest() { EXPECT_EQ(scheduler->SetSite(host.provider.get()), S_OK); }
  ~QueueActionInSchedulerTest() override { EXPECT_EQ(scheduler->SetSite(nullptr), S_OK); }

  // An item with one queue action for `transfer`, added to the scheduler.
  com_ptr<tolvane::CScheduleItem> add_item(IUnknown* transfer, com_ptr<tolvane::CScheduleQueueAction>& action) {
    auto item = new_item();
    action = comrt::make<tolvane::CScheduleQueueAction>();
    EXPECT_EQ(action->put_Item(transfer), S_OK);
    EXPECT_EQ(actions_of(item.get())->Add(action.get()), S_OK);
    EXPECT_EQ(scheduler->AddItem(item.get()), S_OK);
    return item;
  }
  // Marks the item to run and lets the scheduler thread tick once.
  void tick_with_marked(IScheduleItem* item) {
    ASSERT_EQ(item->put_ScheduleRun(VARIANT_TRUE), S_OK);
    advance(scheduler.get(), 500ms);
    EXPECT_EQ(schedule_run(item), VARIANT_FALSE) << "the tick ran the item";
  }

  fakes::transfer_host host{fakes::folder_transfer(u"/srv/outgoing")};
  const com_ptr<tolvane::CScheduler> scheduler = new_scheduler();
};

TEST_F(QueueActionInSchedulerTest, EachTickQueuesOneCopyThatDependsOnThePreviousOne) {
  const auto plain = fakes::make_mock<fakes::MockTransferQueueItem>();
  com_ptr<tolvane::CScheduleQueueAction> action;
  const auto item = add_item(plain.get(), action);
  ASSERT_EQ(action->put_DependOnPreviousItem(VARIANT_TRUE), S_OK);

  tick_with_marked(item.get());
  ASSERT_EQ(host.queued().size(), 1u);
  EXPECT_EQ(last_result(item.get()), S_OK);
  const auto first = plain->copies.get().at(0);
  EXPECT_EQ(host.queued()[0].item.get(), static_cast<ITransferQueueItem*>(first.get()));
  EXPECT_FALSE(host.queued()[0].at_head);

  tick_with_marked(item.get());
  ASSERT_EQ(host.queued().size(), 2u);
  const auto second = plain->copies.get().at(1);
  EXPECT_EQ(host.queued()[1].item.get(), static_cast<ITransferQueueItem*>(second.get()));
  const auto added = second->dependencies->added.get();
  ASSERT_EQ(added.size(), 1u);
  EXPECT_EQ(added[0].get(), static_cast<ITransferQueueItem*>(first.get()));
  EXPECT_EQ(last_result(item.get()), S_OK);
}

TEST_F(QueueActionInSchedulerTest, AFolderTransferWithNoChangeQueuesNothing) {
  com_ptr<tolvane::CScheduleQueueAction> action;
  const auto item = add_item(host.template_item.get(), action);

  tick_with_marked(item.get());
  ASSERT_EQ(host.queued().size(), 1u) << "the first run queues the whole folder";

  host.changes = fakes::make_mock<fakes::MockChangeSet>(VARIANT_TRUE);
  tick_with_marked(item.get());
  EXPECT_EQ(host.queued().size(), 1u);
  EXPECT_EQ(host.comparisons.get().size(), 1u);
  EXPECT_EQ(last_result(item.get()), S_OK);
}

}  // namespace
