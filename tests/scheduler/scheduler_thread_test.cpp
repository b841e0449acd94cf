// The scheduler thread: ticks from its own timer only, at most one pending, a start that fails
// without leaving anyone waiting, stopping and final release that let a running tick finish, and
// the log lines of starting and stopping.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <comrt/event.h>
#include <comrt/strings.h>

#include "diagnostics/log_file.h"
#include "scheduler_doubles.h"

namespace {

using namespace std::chrono_literals;
using comrt::com_ptr;
using comrt::event;
using comrt::event_reset;
using fakes::trigger_script;
using namespace sched_test;

// Sets an event when it goes out of scope, so that a failing test never leaves a thread blocked.
class set_on_exit {
 public:
  explicit set_on_exit(event& e) : e_(e) {}
  ~set_on_exit() { e_.set(); }
  set_on_exit(const set_on_exit&) = delete;
  set_on_exit& operator=(const set_on_exit&) = delete;

 private:
  event& e_;
};

using SchedulerThreadTest = SchedulerFixture;

TEST_F(SchedulerThreadTest, TheThreadTicksEveryHalfSecondOfItsClockAndRunsWhatIsDue) {
  auto s = new_scheduler();
  auto due = new_item();
  add_action(due.get(), 1, log);
  auto trigger = add_trigger(due.get(), trigger_script{.is_set = {S_OK}});
  ASSERT_EQ(s->AddItem(due.get()), S_OK);

  advance(s.get(), 499ms);
  EXPECT_EQ(trigger->is_set_calls, 0) << "no tick before the period is over";

  advance(s.get(), 1ms);
  EXPECT_EQ(log->snapshot(), std::vector<int>{1}) << "run on the tick that found it due";
  EXPECT_EQ(schedule_run(due.get()), VARIANT_FALSE);
  EXPECT_EQ(trigger->next_calls, 1);

  auto marked = new_item();
  add_action(marked.get(), 2, log);
  ASSERT_EQ(marked->put_Triggers(nullptr), S_OK);
  ASSERT_EQ(marked->put_ScheduleRun(VARIANT_TRUE), S_OK);
  ASSERT_EQ(s->AddItem(marked.get()), S_OK);
  advance(s.get(), 500ms);
  EXPECT_EQ(log->snapshot(), (std::vector<int>{1, 2}));
  EXPECT_EQ(schedule_run(marked.get()), VARIANT_FALSE);

  // Ten periods at once make one tick, not ten.
  advance(s.get(), 5000ms);
  EXPECT_EQ(trigger->is_set_calls, 3);
}

TEST_F(SchedulerThreadTest, FinalReleaseWaitsForTheTickInProgressAndItsLaterItems) {
  event entered(event_reset::manual);
  event gate(event_reset::manual);
  auto s = new_scheduler();
  set_on_exit open_gate(gate);

  auto blocking = new_item();
  add_action(blocking.get(), 1, log)->on_run = [&] {
    entered.set();
    gate.wait();
  };
  auto after = new_item();
  add_action(after.get(), 2, log);
  for (auto* item : {blocking.get(), after.get()}) {
    ASSERT_EQ(item->put_ScheduleRun(VARIANT_TRUE), S_OK);
    ASSERT_EQ(s->AddItem(item), S_OK);
  }
  clock->advance(500ms);
  ASSERT_TRUE(entered.wait(kHangGuard));

  event releasing(event_reset::manual);
  std::vector<int> runs_when_released;
  std::thread releaser([&, last = std::move(s)]() mutable {
    releasing.set();
    last = nullptr;  // the final release
    runs_when_released = log->snapshot();
  });
  releasing.wait();
  gate.set();
  releaser.join();

  EXPECT_EQ(runs_when_released, (std::vector<int>{1, 2}));
  EXPECT_EQ(schedule_run(after.get()), VARIANT_FALSE);
  EXPECT_EQ(last_result(after.get()), S_OK);
}

TEST_F(SchedulerThreadTest, StopLetsALongTickFinishAndEndsTheThreadWithCodeZero) {
  event entered(event_reset::manual);
  event gate(event_reset::manual);
  CountingTarget target;
  target.on_tick = [&] {
    entered.set();
    gate.wait();
  };
  tolvane::CSchedulerThread thread(&target);
  set_on_exit open_gate(gate);
  ASSERT_EQ(thread.Start(clock), S_OK);
  clock->advance(500ms);
  ASSERT_TRUE(entered.wait(kHangGuard));

  event stopping(event_reset::manual);
  int ticks_when_stopped = -1;
  std::thread stopper([&] {
    stopping.set();
    thread.Stop();
    ticks_when_stopped = target.ticks.load();
  });
  stopping.wait();
  gate.set();
  stopper.join();

  EXPECT_EQ(ticks_when_stopped, 1);
  EXPECT_FALSE(thread.thread().running());
  EXPECT_EQ(thread.thread().exit_code(), 0u);
}

TEST_F(SchedulerThreadTest, WithoutAnOwnerTheThreadFailsToStartAndNobodyWaits) {
  tolvane::CSchedulerThread thread(nullptr);
  EXPECT_TRUE(FAILED(thread.Start(clock)));
  EXPECT_FALSE(thread.thread().running());
  EXPECT_EQ(thread.thread().exit_code(), 1u);
  thread.Stop();  // nothing to stop
}

TEST_F(SchedulerThreadTest, OnlyItsOwnTimerTicksAndOtherMessagesAreSwallowed) {
  CountingTarget target;
  tolvane::CSchedulerThread thread(&target);
  ASSERT_EQ(thread.Start(clock), S_OK);
  auto& loop = thread.thread();

  EXPECT_TRUE(loop.post(WM_USER, 0, 0));
  EXPECT_TRUE(loop.post(WM_TIMER, 0, 0));
  EXPECT_TRUE(loop.post(WM_TIMER, ~UINT_PTR{0} - 41, 0));
  EXPECT_TRUE(loop.post(WM_USER + 1, 0, 0));
  ASSERT_TRUE(loop.wait_idle(kHangGuard));
  EXPECT_EQ(target.ticks.load(), 0);
  EXPECT_TRUE(loop.running());

  clock->advance(500ms);
  ASSERT_TRUE(loop.wait_idle(kHangGuard));
  EXPECT_EQ(target.ticks.load(), 1);
}

TEST_F(SchedulerThreadTest, StartingAndStoppingTheThreadAreLogged) {
  scratch_folder folder;
  const auto path = folder.path() / "scheduler.log";
  auto& log_file = tolvane::CLogFile::GetInstance();
  log_file.Attach(comrt::to_utf16(path.string()));
  {
    auto s = new_scheduler();
  }
  log_file.Detach();

  std::ifstream in(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_EQ(bytes.size() % 2, 0u);
  std::u16string units;
  for (size_t i = 0; i < bytes.size(); i += 2) {
    units.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                          static_cast<unsigned char>(bytes[i + 1]) << 8));
  }
  const std::string text = comrt::to_utf8(units);

  size_t at = 0;
  for (const char* line : {"CScheduler::StartThread() Begin\r\n", "CScheduler::StartThread() End\r\n",
                           "CScheduler::StopThread() Begin\r\n", "CScheduler::StopThread() End\r\n"}) {
    const size_t found = text.find(line, at);
    ASSERT_NE(found, std::string::npos) << "missing or out of order: " << line << "in\n" << text;
    at = found + 1;
  }
}

}  // namespace
