// The scheduler under concurrent use, for the thread sanitizer build as much as for the others:
// host threads change the schedule, save it and load it into a second scheduler while the
// scheduler thread ticks and its items hand transfers to a queue. No data race, no hang (every wait
// has a deadline), no run or change lost or doubled.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "actions/queue_action.h"
#include "fakes/transfer_queue_mocks.h"
#include "host/queue/transfer_queue.h"
#include "scheduler_doubles.h"
#include "triggers/monitor_trigger.h"

namespace {

namespace fs = std::filesystem;
using namespace sched_test;

com_ptr<IScheduleAction> queue_action(IUnknown* transfer) {
  auto action = comrt::make<tolvane::CScheduleQueueAction>();
  EXPECT_EQ(action->put_Item(transfer), S_OK);
  return action.as<IScheduleAction>();
}

class StressTest : public SchedulerFixture {
 protected:
  ~StressTest() override { stop(); }
  // Runs body(round) on a host thread of its own until stop().
  void host_loop(std::function<void(int)> body) {
    ++loops_;
    threads_.emplace_back([this, body = std::move(body)] {
      for (int round = 0; !stop_; ++round) {
        body(round);
        if (round == 0) ++started_;
      }
    });
  }
  // Waits until every loop has been round once: on a loaded machine a new thread may otherwise
  // first run after the last tick, and the ticks would meet no concurrent change at all.
  bool loops_started() {
    const auto deadline = std::chrono::steady_clock::now() + kHangGuard;
    while (started_ < loops_ && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    return started_ == loops_;
  }
  void stop() {
    stop_ = true;
    for (auto& t : threads_)
      if (t.joinable()) t.join();
  }

  std::vector<std::thread> threads_;

 private:
  std::atomic<bool> stop_{false};
  std::atomic<int> started_{0};
  int loops_ = 0;
};

TEST_F(StressTest, HostThreadsChangeTheScheduleWhileTicksRunItemsAndNothingIsLostOrDoubled) {
  constexpr int kItems = 20, kTicks = 50;
  RtSetClock(kT0);
  fakes::transfer_host host;
  ASSERT_EQ(s->SetSite(host.provider.get()), S_OK);
  const comrt::bstr path = file("schedule.xml");
  ASSERT_EQ(s->Load(path.get()), S_OK);
  // Items due every second of the runtime clock whose queue actions hand out copies of a transfer.
  const auto every_second = [](ITransferQueueItem* transfer) { return item_with(time_trigger(0, 1).get(), queue_action(transfer).get()); };
  std::vector<fakes::mock_ptr<fakes::MockTransferQueueItem>> transfers;
  std::vector<com_ptr<tolvane::CScheduleItem>> stable;
  for (int i = 0; i < kItems; ++i) {
    transfers.push_back(fakes::make_mock<fakes::MockTransferQueueItem>());
    stable.push_back(every_second(transfers.back().get()));
    ASSERT_EQ(s->AddItem(stable.back().get()), S_OK);
  }

  // Adds items, replaces their triggers while ticks may read them, and removes them again.
  host_loop([&](int) {
    auto item = every_second(host.template_item.get());
    EXPECT_EQ(s->AddItem(item.get()), S_OK);
    com_ptr<IScheduleTriggers> clone;
    EXPECT_EQ(triggers_of(item.get())->Clone(clone.put()), S_OK);
    EXPECT_EQ(item->put_Triggers(clone.get()), S_OK);
    EXPECT_EQ(s->RemoveItem(item.get()), S_OK);
  });
  // Edits the stable items and their triggers without moving their occurrences, and reads them.
  host_loop([&](int round) {
    for (auto& item : stable) {
      com_ptr<IScheduleTriggers> triggers;
      com_ptr<IScheduleTrigger> trigger;
      ULONGLONG next = 0;
      EXPECT_EQ(item->put_Name(comrt::bstr(round % 2 ? u"even" : u"odd").get()), S_OK);
      EXPECT_EQ(item->get_Triggers(triggers.put()), S_OK);
      EXPECT_EQ(triggers->get_Item(0, trigger.put()), S_OK);
      const auto time = trigger.try_as<IScheduleScheduleTrigger>();
      ASSERT_TRUE(time);
      EXPECT_EQ(time->put_WeekMask(static_cast<ScheduleScheduleTriggerWeekMask>(round & 0x7f)), S_OK);
      EXPECT_EQ(time->put_RecurrenceTimeInterval(1), S_OK);
      EXPECT_EQ(triggers->get_NextRunTimeAsUnixTime(&next), S_OK);
    }
  });
  // Saves the schedule and loads it into a second scheduler, and clones items while they run.
  const auto other = new_scheduler();
  host_loop([&](int round) {
    s->Save();
    other->Load(path.get());
    com_ptr<IScheduleItem> clone;
    EXPECT_EQ(stable[round % kItems]->Clone(clone.put()), S_OK);
    EXPECT_EQ(other->AddItem(clone.get()), S_OK);
    EXPECT_EQ(other->RemoveItem(clone.get()), S_OK);
    std::this_thread::yield();
  });

  EXPECT_TRUE(loops_started()) << "a host thread did not get going";
  // The ticks: the runtime clock moves one second, then the scheduler thread ticks once.
  for (int tick = 0; tick < kTicks && !HasFatalFailure(); ++tick) {
    RtAdvanceClock(static_cast<int64_t>(kSecond));
    advance(tolvane::CSchedulerThread::tick_period);
  }
  stop();

  // Every stable item ran on every tick, exactly once, and every transfer reached the queue.
  for (auto& transfer : transfers) EXPECT_EQ(transfer->copies.get().size(), static_cast<size_t>(kTicks));
  EXPECT_GE(host.queued().size(), static_cast<size_t>(kItems * kTicks));
  ASSERT_EQ(s->SetSite(nullptr), S_OK);
}

// Counts the queue's failed transfers and wakes the threads that wait for what a transfer brings about.
struct finished_transfers final : tolvane::host::transfer_observer {
  void transfer_finished(tolvane::host::CTransferQueueItem&, HRESULT result) override {
    failed += FAILED(result);
    std::lock_guard lock(mutex);  // a waiter between its check and its wait cannot miss this
    changed.notify_all();
  }
  std::atomic<int> failed{0};
  std::mutex mutex;
  std::condition_variable changed;
};

TEST_F(StressTest, EveryChangeOfAWatchedFolderIsCopiedWhileWritersKeepChangingTheFolders) {
  constexpr int kFolders = 3, kChanges = 8;
  const auto classes = tolvane::host::register_transfer_classes();
  finished_transfers finished;
  const auto queue = tolvane::host::CTransferQueue::create(&finished);
  const auto site = comrt::make<tolvane::host::CServiceSite>();
  site->offer(SID_TransferQueue, queue.get());
  ASSERT_EQ(s->SetSite(site.get()), S_OK);
  const comrt::bstr path = file("schedule.xml");
  ASSERT_EQ(s->Load(path.get()), S_OK);
  const auto sub = [&](const char* name, int k) { return dir / (name + std::to_string(k)); };
  // An item whose monitor trigger watches in<k> and whose queue action copies it to `out`.
  const auto copy_on_change = [&](int k, const fs::path& out) {
    auto trigger = comrt::make<tolvane::CScheduleMonitorTrigger>();
    EXPECT_EQ(trigger->put_Path(comrt::bstr(comrt::to_utf16(sub("in", k).string())).get()), S_OK);
    auto transfer = tolvane::host::CTransferQueueItem::create({sub("in", k).string(), out.string(), TRANSFER_ITEM_KIND_FOLDER});
    return item_with(trigger.as<IScheduleTrigger>().get(), queue_action(transfer->identity()).get());
  };
  for (int k = 0; k < kFolders; ++k) {
    fs::create_directories(sub("in", k));
    fs::create_directories(sub("out", k));
    ASSERT_EQ(s->AddItem(copy_on_change(k, sub("out", k)).get()), S_OK);
  }

  std::atomic<int> writers_left{kFolders};
  // Each writer puts one file at a time into its folder (complete, by renaming it in) and waits
  // until the queue has copied it.
  for (int k = 0; k < kFolders; ++k) {
    threads_.emplace_back([&, k] {
      for (int n = 0; n < kChanges; ++n) {
        const std::string name = std::to_string(n);
        std::ofstream(sub("staged", k)) << name;
        fs::rename(sub("staged", k), sub("in", k) / name);
        std::unique_lock lock(finished.mutex);
        if (!finished.changed.wait_for(lock, kHangGuard, [&] { return fs::exists(sub("out", k) / name); })) {
          ADD_FAILURE() << "change lost: " << k << "/" << n;
          break;
        }
      }
      --writers_left;
    });
  }
  for (int tick = 0; writers_left > 0 && tick < 100'000 && !HasFatalFailure(); ++tick) {
    advance(tolvane::CSchedulerThread::tick_period);
    std::this_thread::yield();
  }
  stop();

  for (int k = 0; k < kFolders; ++k) {
    for (int n = 0; n < kChanges; ++n) {
      std::string copied;
      std::ifstream(sub("out", k) / std::to_string(n)) >> copied;
      EXPECT_EQ(copied, std::to_string(n));
    }
  }
  EXPECT_EQ(finished.failed.load(), 0);
  ASSERT_EQ(s->SetSite(nullptr), S_OK);
  queue->stop();
}

}  // namespace
