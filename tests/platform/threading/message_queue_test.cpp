// Message queues on the test's own thread, with a manual clock: ordering, peeking, quit, limits,
// and the timer's one-pending-tick rule.
#include <gtest/gtest.h>

#include <thread>

#include "comrt/message_queue.h"
#include "comrt/object.h"

using namespace std::chrono_literals;
using comrt::peek;
using comrt::thread_message;

namespace {

class QueueTest : public testing::Test {
 protected:
  // The message the queue would hand out next, taken; WM_NULL-like {0,0,0} when there is none.
  thread_message take() {
    thread_message m;
    return queue.peek_message(m, peek::remove) ? m : thread_message{};
  }

  std::shared_ptr<comrt::manual_timer_clock> clock = std::make_shared<comrt::manual_timer_clock>();
  comrt::message_queue queue{clock};
};

}  // namespace

TEST_F(QueueTest, PostedMessagesComeOutInOrder) {
  for (WPARAM i = 1; i <= 3; ++i) ASSERT_TRUE(comrt::post_thread_message(queue.thread_id(), WM_USER, i, -1));
  thread_message m;
  ASSERT_TRUE(queue.peek_message(m, peek::no_remove));
  ASSERT_TRUE(queue.peek_message(m, peek::no_remove));
  EXPECT_EQ(m.wparam, 1u) << "peeking without removing leaves the message in place";
  for (WPARAM i = 1; i <= 3; ++i) {
    ASSERT_TRUE(queue.get_message(m));
    EXPECT_EQ(m.message, WM_USER);
    EXPECT_EQ(m.wparam, i);
    EXPECT_EQ(m.lparam, -1);
  }
  EXPECT_FALSE(queue.peek_message(m, peek::remove));
}

TEST_F(QueueTest, QuitEndsGetMessageWithItsExitCode) {
  queue.post(WM_QUIT, 7, 0);
  thread_message m;
  EXPECT_FALSE(queue.get_message(m));
  EXPECT_EQ(m.message, WM_QUIT);
  EXPECT_EQ(m.wparam, 7u);
}

TEST_F(QueueTest, FullQueueRefusesPostsButNeverQuit) {
  for (std::size_t i = 0; i < comrt::message_queue::max_posted; ++i) ASSERT_TRUE(queue.post(WM_USER, i, 0));
  EXPECT_FALSE(queue.post(WM_USER, 0, 0));
  EXPECT_TRUE(queue.post(WM_QUIT, 0, 0)) << "a stop request must get through a flooded queue";
}

TEST_F(QueueTest, OneQueuePerThread) {
  try {
    comrt::message_queue second(clock);
    ADD_FAILURE() << "a second queue on one thread was accepted";
  } catch (const comrt::hresult_error& e) {
    EXPECT_EQ(e.code(), E_UNEXPECTED);
  }
  EXPECT_TRUE(comrt::post_thread_message(queue.thread_id(), WM_USER, 0, 0)) << "the first queue is still reachable";
}

TEST(ThreadIds, PostsReachOnlyLiveQueues) {
  EXPECT_FALSE(comrt::post_thread_message(0, WM_USER, 0, 0));
  uint32_t ended = 0;
  std::thread([&] {
    comrt::message_queue q;
    ended = q.thread_id();
  }).join();
  EXPECT_NE(ended, 0u);
  EXPECT_NE(ended, comrt::current_thread_id());
  EXPECT_FALSE(comrt::post_thread_message(ended, WM_USER, 0, 0)) << "the thread's queue is gone";
  EXPECT_FALSE(comrt::post_thread_message(comrt::current_thread_id(), WM_USER, 0, 0)) << "this thread has no queue";
  EXPECT_FALSE(comrt::wait_thread_idle(ended));
}

TEST_F(QueueTest, TimerKeepsAtMostOneTickPendingAndStaysOnItsPeriod) {
  const UINT_PTR id = queue.set_timer(500ms);
  ASSERT_NE(id, 0u);
  clock->advance(499ms);
  EXPECT_EQ(take().message, 0u);
  clock->advance(1ms);
  thread_message m;
  ASSERT_TRUE(queue.peek_message(m, peek::no_remove));
  EXPECT_EQ(m.message, WM_TIMER);
  EXPECT_EQ(m.wparam, id);
  EXPECT_EQ(take().message, WM_TIMER);
  EXPECT_EQ(take().message, 0u);

  // Over three periods pass while nobody takes messages: one tick, not three.
  clock->advance(1700ms);
  EXPECT_EQ(take().message, WM_TIMER);
  EXPECT_EQ(take().message, 0u);
  // The next tick is at the next multiple of the period, not a full period after the late one.
  clock->advance(299ms);
  EXPECT_EQ(take().message, 0u);
  clock->advance(1ms);
  EXPECT_EQ(take().message, WM_TIMER);
}

TEST_F(QueueTest, PostedMessagesGoBeforeADueTickAndKilledTimersStaySilent) {
  const UINT_PTR first = queue.set_timer(500ms);
  const UINT_PTR second = queue.set_timer(200ms);
  EXPECT_NE(first, second);
  clock->advance(500ms);
  queue.post(WM_USER, 0, 0);
  EXPECT_EQ(take().message, WM_USER);
  EXPECT_EQ(take().wparam, second) << "the timer due longest goes first";
  EXPECT_TRUE(queue.kill_timer(first));
  EXPECT_FALSE(queue.kill_timer(first));
  EXPECT_EQ(take().message, 0u) << "a due tick of a killed timer is not delivered";
}

TEST(TimerClock, DefaultClockCanBeReplacedAndRestored) {
  auto manual = std::make_shared<comrt::manual_timer_clock>();
  comrt::set_default_timer_clock(manual);
  {
    comrt::message_queue q;
    EXPECT_EQ(&q.clock(), manual.get());
  }
  comrt::set_default_timer_clock(nullptr);
  EXPECT_EQ(comrt::default_timer_clock(), comrt::steady_timer_clock());
}
