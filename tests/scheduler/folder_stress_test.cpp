// Folder-monitor triggers and the host's real transfer queue under concurrent use: host threads
// change watched folders and wait for each change to be copied, while another adds, edits and
// removes watching items, saves the schedule and loads it elsewhere, and the scheduler thread
// ticks. For the thread sanitizer build as much as for the others: no race, no hang (every wait
// has a deadline), no change lost.
#include <gtest/gtest.h>

#include <condition_variable>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "actions/queue_action.h"
#include "host/queue/transfer_queue.h"
#include "scheduler_doubles.h"
#include "triggers/monitor_trigger.h"

namespace {

namespace fs = std::filesystem;
using comrt::com_ptr;
using namespace sched_test;

constexpr int kWatchedFolders = 3;
constexpr int kChangesPerFolder = 8;

// Counts the queue's finished transfers and lets threads wait for what they bring about.
class finished_transfers final : public tolvane::host::transfer_observer {
 public:
  void transfer_finished(tolvane::host::CTransferQueueItem&, HRESULT result) override {
    {
      std::lock_guard lock(mutex_);
      ++(SUCCEEDED(result) ? succeeded_ : failed_);
    }
    changed_.notify_all();
  }
  template <class P>
  bool wait_until(P done) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kHangGuard, done);
  }
  int failed() {
    std::lock_guard lock(mutex_);
    return failed_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int succeeded_ = 0, failed_ = 0;
};

// An item whose monitor trigger watches `in` and whose queue action copies `in` to `out`.
com_ptr<tolvane::CScheduleItem> copy_on_change_item(const fs::path& in, const fs::path& out) {
  auto item = comrt::make<tolvane::CScheduleItem>();
  auto trigger = comrt::make<tolvane::CScheduleMonitorTrigger>();
  EXPECT_EQ(trigger->put_Path(comrt::bstr(comrt::to_utf16(in.string())).get()), S_OK);
  com_ptr<IScheduleTriggers> triggers;
  EXPECT_EQ(item->get_Triggers(triggers.put()), S_OK);
  EXPECT_EQ(triggers->Add(trigger.as<IScheduleTrigger>().get()), S_OK);
  auto action = comrt::make<tolvane::CScheduleQueueAction>();
  auto transfer = tolvane::host::CTransferQueueItem::create({in.string(), out.string(), TRANSFER_ITEM_KIND_FOLDER});
  EXPECT_EQ(action->put_Item(transfer->identity()), S_OK);
  com_ptr<IScheduleActions> actions;
  EXPECT_EQ(item->get_Actions(actions.put()), S_OK);
  EXPECT_EQ(actions->Add(action.as<IScheduleAction>().get()), S_OK);
  return item;
}

using FolderStressTest = SchedulerFixture;

TEST_F(FolderStressTest, EveryChangeOfAWatchedFolderIsCopiedWhileTheHostChangesTheSchedule) {
  const auto classes = tolvane::host::register_transfer_classes();
  finished_transfers finished;
  const auto queue = tolvane::host::CTransferQueue::create(&finished);
  const auto site = comrt::make<tolvane::host::CServiceSite>();
  site->offer(SID_TransferQueue, queue.get());
  ASSERT_EQ(s->SetSite(site.get()), S_OK);
  const comrt::bstr path = folder.file("schedule.xml");
  ASSERT_EQ(s->Load(path.get()), S_OK);
  const auto in = [&](int k) { return folder.path() / ("in" + std::to_string(k)); };
  const auto out = [&](int k) { return folder.path() / ("out" + std::to_string(k)); };
  for (int k = 0; k < kWatchedFolders; ++k) {
    fs::create_directories(in(k));
    fs::create_directories(out(k));
    fs::create_directories(folder.path() / "churn");
    ASSERT_EQ(s->AddItem(copy_on_change_item(in(k), out(k)).get()), S_OK);
  }

  std::atomic<int> writers_left{kWatchedFolders};
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  // Each writer puts one file at a time into its folder (complete, by renaming it in) and waits
  // until the queue has copied it.
  for (int k = 0; k < kWatchedFolders; ++k) {
    threads.emplace_back([&, k] {
      for (int n = 0; n < kChangesPerFolder; ++n) {
        const std::string name = std::to_string(n);
        const fs::path staged = folder.path() / ("staged" + std::to_string(k));
        std::ofstream(staged) << name;
        fs::rename(staged, in(k) / name);
        if (!finished.wait_until([&] { return fs::exists(out(k) / name); })) {
          ADD_FAILURE() << "change lost: " << k << "/" << n;
          break;
        }
      }
      --writers_left;
    });
  }
  // Adds items watching the same folders, replaces their triggers while ticks may read them,
  // saves the schedule and loads it into a second scheduler, and removes the items again.
  threads.emplace_back([&] {
    auto other = new_scheduler();
    for (int round = 0; !stop; ++round) {
      auto item = copy_on_change_item(in(round % kWatchedFolders), folder.path() / "churn");
      EXPECT_EQ(s->AddItem(item.get()), S_OK);
      com_ptr<IScheduleTriggers> triggers, clone;
      EXPECT_EQ(item->get_Triggers(triggers.put()), S_OK);
      EXPECT_EQ(triggers->Clone(clone.put()), S_OK);
      EXPECT_EQ(item->put_Triggers(clone.get()), S_OK);
      s->Save();
      other->Load(path.get());
      EXPECT_EQ(s->RemoveItem(item.get()), S_OK);
    }
  });

  for (int tick = 0; writers_left > 0 && tick < 100'000 && !HasFatalFailure(); ++tick) {
    advance(tolvane::CSchedulerThread::tick_period);
    std::this_thread::yield();
  }
  stop = true;
  for (auto& t : threads) t.join();

  for (int k = 0; k < kWatchedFolders; ++k) {
    for (int n = 0; n < kChangesPerFolder; ++n) {
      std::string copied;
      std::ifstream(out(k) / std::to_string(n)) >> copied;
      EXPECT_EQ(copied, std::to_string(n));
    }
  }
  EXPECT_EQ(finished.failed(), 0);
  ASSERT_EQ(s->SetSite(nullptr), S_OK);
  queue->stop();
}

}  // namespace
