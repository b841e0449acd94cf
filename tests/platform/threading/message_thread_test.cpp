// Message queues and threads with a manual clock: order, peeking, quit, limits, the timer's
// one-pending-tick rule, starting threads, and many posters with a moving clock and a quit during a
// long tick.
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <thread>
#include <vector>

#include "comrt/object.h"
#include "comrt/worker_thread.h"

using namespace std::chrono_literals;
using comrt::peek;
using comrt::thread_message;

namespace {

// Records what its thread receives, counts the ticks of its own timer, and can hold a tick open
// until the test releases it.
struct RecordingClient final : comrt::message_thread_client {
  bool initialize(comrt::message_queue& queue) override {
    if (!fail_initialize && timer_period.count() != 0) timer_id = queue.set_timer(timer_period);
    return !fail_initialize;
  }
  bool filter_message(const thread_message& msg) override {
    if (msg.message != WM_TIMER) {
      received.push_back(msg);
      return false;
    }
    ++ticks;
    if (hold_ticks) {
      tick_started.set();
      release_tick.wait();
    }
    return true;
  }
  void uninitialize(comrt::message_queue& queue) noexcept override {
    uninitialized = true;
    if (timer_id != 0) queue.kill_timer(timer_id);
  }

  bool fail_initialize = false, hold_ticks = false;  // set before start (hold_ticks: or during a tick)
  std::chrono::milliseconds timer_period{0};
  std::vector<thread_message> received;  // every message but the ticks; read once the thread is idle
  UINT_PTR timer_id = 0;
  std::atomic<int> ticks{0};
  std::atomic<bool> uninitialized{false};
  comrt::event tick_started{comrt::event_reset::automatic}, release_tick{comrt::event_reset::manual};
};

class QueueTest : public testing::Test {
 protected:
  thread_message take() {  // {0,0,0} when there is nothing to take
    thread_message m;
    return queue.peek_message(m, peek::remove) ? m : thread_message{};
  }
  std::shared_ptr<comrt::manual_timer_clock> clock = std::make_shared<comrt::manual_timer_clock>();
  comrt::message_queue queue{clock};
};

TEST_F(QueueTest, PostsComeOutInOrderAndAFullQueueRefusesAllButQuit) {
  for (WPARAM i = 1; i <= 2; ++i) ASSERT_TRUE(comrt::post_thread_message(queue.thread_id(), WM_USER, i, -1));
  thread_message m;
  ASSERT_TRUE(queue.peek_message(m, peek::no_remove));
  for (WPARAM i = 1; i <= 2; ++i) {
    ASSERT_TRUE(queue.get_message(m));
    EXPECT_EQ(m.wparam, i) << "peeking without removing leaves the message in place";
    EXPECT_EQ(m.lparam, -1);
  }
  for (std::size_t i = 0; i < comrt::message_queue::max_posted; ++i) ASSERT_TRUE(queue.post(WM_USER, i, 0));
  EXPECT_FALSE(queue.post(WM_USER, 0, 0));
  EXPECT_TRUE(queue.post(WM_QUIT, 7, 0)) << "a stop request must get through a flooded queue";
  while (queue.get_message(m)) {
  }
  EXPECT_EQ(m.wparam, 7u) << "the exit code";
}

TEST_F(QueueTest, OneQueuePerThreadAndPostsReachOnlyLiveQueues) {
  EXPECT_THROW(comrt::message_queue second(clock), comrt::hresult_error);
  uint32_t ended = 0;
  std::thread([&] { ended = comrt::message_queue().thread_id(); }).join();
  EXPECT_FALSE(comrt::post_thread_message(ended, WM_USER, 0, 0)) << "the thread's queue is gone";
  EXPECT_FALSE(comrt::post_thread_message(0, WM_USER, 0, 0));
  EXPECT_FALSE(comrt::wait_thread_idle(ended));
  EXPECT_TRUE(comrt::post_thread_message(queue.thread_id(), WM_USER, 0, 0));
}

TEST_F(QueueTest, TimerKeepsOneTickPendingOnItsPeriodAfterPostsUntilKilled) {
  const UINT_PTR id = queue.set_timer(500ms);
  clock->advance(499ms);
  EXPECT_EQ(take().message, 0u);
  clock->advance(1ms);
  queue.post(WM_USER, 0, 0);
  EXPECT_EQ(take().message, WM_USER) << "posted messages go before a due tick";
  const thread_message tick = take();
  EXPECT_EQ(tick.message, WM_TIMER);
  EXPECT_EQ(tick.wparam, id);
  clock->advance(1700ms);  // over three periods pass while nobody takes messages: one tick
  EXPECT_EQ(take().message, WM_TIMER);
  EXPECT_EQ(take().message, 0u);
  clock->advance(299ms);  // the next tick is at the next multiple of the period
  EXPECT_EQ(take().message, 0u);
  clock->advance(1ms);
  EXPECT_TRUE(queue.kill_timer(id));
  EXPECT_FALSE(queue.kill_timer(id));
  EXPECT_EQ(take().message, 0u) << "a due tick of a killed timer is not delivered";
}

class MessageThreadTest : public testing::Test {
 protected:
  HRESULT start() { return thread.start(client, {.clock = clock}); }
  std::shared_ptr<comrt::manual_timer_clock> clock = std::make_shared<comrt::manual_timer_clock>();
  RecordingClient client;
  comrt::message_thread thread;  // last: stopped before the client goes
};

TEST_F(MessageThreadTest, FailedInitialisationIsReported) {
  client.fail_initialize = true;
  EXPECT_EQ(start(), E_FAIL);
  EXPECT_FALSE(thread.running());
  EXPECT_EQ(thread.exit_code(), 1u);
  EXPECT_FALSE(client.uninitialized);
  EXPECT_FALSE(thread.post(WM_USER, 0, 0));
}

// Posters and a moving clock at once, then a quit while a long tick holds the thread.
TEST_F(MessageThreadTest, PostersTicksAndAQuitDuringALongTick) {
  client.timer_period = 500ms;
  ASSERT_EQ(start(), S_OK);
  constexpr int posters = 4, posts_each = 2000, clock_moves = 300;
  std::atomic<long> accepted{0};
  std::vector<std::thread> threads;
  for (int p = 0; p < posters; ++p) {
    threads.emplace_back([&, p] {
      for (LPARAM seq = 0; seq < posts_each; ++seq)
        accepted += comrt::post_thread_message(thread.id(), WM_USER, static_cast<WPARAM>(p), seq);
    });
  }
  threads.emplace_back([&] {
    for (int i = 0; i < clock_moves; ++i) clock->advance(250ms);
  });
  for (auto& t : threads) t.join();
  ASSERT_TRUE(thread.wait_idle());
  EXPECT_EQ(static_cast<long>(client.received.size()), accepted.load());
  std::map<WPARAM, LPARAM> last;  // each poster's messages arrive in its order
  for (const auto& m : client.received) {
    auto [it, fresh] = last.try_emplace(m.wparam, m.lparam);
    EXPECT_TRUE(fresh || std::exchange(it->second, m.lparam) < m.lparam);
  }
  EXPECT_GE(client.ticks, 1);
  EXPECT_LE(client.ticks, clock_moves / 2);

  client.hold_ticks = true;  // read by the thread only inside later ticks, after the queue's lock
  const int ticks_before = client.ticks;
  clock->advance(500ms);
  client.tick_started.wait();
  for (int i = 0; i < 100; ++i) thread.post(WM_USER, 0, i);
  thread.post(WM_QUIT, 0, 0);
  clock->advance(5000ms);  // more ticks come due behind the quit request
  EXPECT_TRUE(thread.running());
  EXPECT_FALSE(thread.wait_idle(0ms));
  client.release_tick.set();
  thread.join();
  EXPECT_EQ(client.ticks, ticks_before + 1) << "no tick after the quit request";
  EXPECT_EQ(thread.exit_code(), 0u);
  EXPECT_TRUE(client.uninitialized);
  EXPECT_FALSE(thread.post(WM_USER, 0, 0)) << "the queue ends with its thread";
}

TEST(WorkerThread, StartFailuresAreStatusesAndOneThreadRunsAtATime) {
  comrt::worker_thread t;
  EXPECT_EQ(t.start([](comrt::worker_thread&) -> uint32_t { comrt::throw_hresult(E_ACCESSDENIED); }),
            E_ACCESSDENIED);
  EXPECT_EQ(t.start([](comrt::worker_thread&) { return 5u; }), E_FAIL) << "ended without signalling";
  EXPECT_EQ(t.exit_code(), 5u);
  comrt::event go(comrt::event_reset::manual);
  int nice_seen = 0;
  auto body = [&](comrt::worker_thread& self) {
    self.signal_started();
    go.wait();
    nice_seen = getpriority(PRIO_PROCESS, 0);
    return 0u;
  };
  EXPECT_TRUE(FAILED(t.start(body, {.stack_size = std::size_t{1} << 62}))) << "a stack larger than any address space";
  ASSERT_EQ(t.start(body), S_OK);
  EXPECT_EQ(t.start(body), E_FAIL);
  const int base = getpriority(PRIO_PROCESS, 0);
  t.set_background_mode(true);
  t.set_priority(comrt::thread_priority::below_normal);
  t.set_background_mode(false);
  go.set();
  t.join();
  EXPECT_EQ(nice_seen, std::min(base + 5, 19));
  ASSERT_EQ(t.start(body), S_OK) << "a restart once the thread has ended";
  t.join();  // before `go` and `nice_seen` go out of scope
}

}  // namespace
