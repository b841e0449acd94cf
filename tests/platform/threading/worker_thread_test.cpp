// Worker and message-loop threads: start and its failures, message order, clock-driven ticks,
// quitting during a tick, priorities.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>

#include "comrt/object.h"
#include "comrt/worker_thread.h"
#include "recording_client.h"

using namespace std::chrono_literals;

namespace {

class MessageThreadTest : public testing::Test {
 protected:
  HRESULT start() { return thread.start(client, {.clock = clock}); }

  std::shared_ptr<comrt::manual_timer_clock> clock = std::make_shared<comrt::manual_timer_clock>();
  RecordingClient client;
  comrt::message_thread thread;  // last: stopped before the client goes
};

}  // namespace

TEST_F(MessageThreadTest, DeliversPostsInOrderUntilQuit) {
  ASSERT_EQ(start(), S_OK);
  EXPECT_TRUE(thread.running());
  for (WPARAM i = 0; i < 50; ++i) ASSERT_TRUE(comrt::post_thread_message(thread.id(), WM_USER + 1, i, 0));
  thread.stop();
  EXPECT_FALSE(thread.running());
  EXPECT_EQ(thread.exit_code(), 0u);
  EXPECT_TRUE(client.uninitialized);
  ASSERT_EQ(client.received.size(), 50u);
  for (WPARAM i = 0; i < 50; ++i) EXPECT_EQ(client.received[i].wparam, i);
  EXPECT_FALSE(thread.post(WM_USER, 0, 0)) << "the queue ends with its thread";
}

TEST_F(MessageThreadTest, QuitDuringALongTickEndsTheLoopAfterIt) {
  client.timer_period = 500ms;
  client.hold_ticks = true;
  ASSERT_EQ(start(), S_OK);
  clock->advance(500ms);
  client.tick_started.wait();
  ASSERT_TRUE(thread.post(WM_QUIT, 0, 0));
  clock->advance(5000ms);  // more ticks come due behind the quit request
  EXPECT_TRUE(thread.running());
  EXPECT_FALSE(thread.wait_idle(0ms));
  client.release_tick.set();
  thread.join();
  EXPECT_EQ(client.ticks, 1);
  EXPECT_EQ(thread.exit_code(), 0u);
  EXPECT_TRUE(client.uninitialized);
}

TEST_F(MessageThreadTest, FailedInitialisationIsReported) {
  client.fail_initialize = true;
  EXPECT_EQ(start(), E_FAIL);
  EXPECT_FALSE(thread.running());
  EXPECT_EQ(thread.exit_code(), 1u);
  EXPECT_FALSE(client.uninitialized);
  EXPECT_FALSE(thread.post(WM_USER, 0, 0));
}

TEST(WorkerThread, StartFailuresAreStatuses) {
  comrt::worker_thread t;
  EXPECT_EQ(t.start([](comrt::worker_thread&) -> uint32_t { comrt::throw_hresult(E_ACCESSDENIED); }),
            E_ACCESSDENIED);
  EXPECT_EQ(t.exit_code(), 1u);
  EXPECT_EQ(t.start([](comrt::worker_thread&) { return 5u; }), E_FAIL) << "ended without signalling";
  EXPECT_EQ(t.exit_code(), 5u);
  // A stack larger than any address space: the thread cannot be created.
  const HRESULT hr = t.start([](comrt::worker_thread& self) {
    self.signal_started();
    return 0u;
  }, {.stack_size = std::size_t{1} << 62});
  EXPECT_TRUE(FAILED(hr));
  EXPECT_FALSE(t.running());
}

TEST(WorkerThread, OneThreadAtATimeAndRestartAfterItEnds) {
  comrt::event go(comrt::event_reset::manual);
  comrt::worker_thread t;
  auto body = [&](comrt::worker_thread& self) {
    self.signal_started();
    go.wait();
    return 0u;
  };
  ASSERT_EQ(t.start(body), S_OK);
  const uint32_t first_id = t.id();
  EXPECT_EQ(t.start(body), E_FAIL);
  go.set();
  comrt::event* ended[] = {&t.exit_event()};
  EXPECT_EQ(comrt::wait_any(ended), 0u);
  ASSERT_EQ(t.start(body), S_OK);
  EXPECT_NE(t.id(), first_id);
}

TEST(WorkerThread, PriorityRequestsReachTheThread) {
  comrt::event go(comrt::event_reset::manual);
  int nice_seen = 0;
  comrt::worker_thread t;
  ASSERT_EQ(t.start([&](comrt::worker_thread& self) {
    self.signal_started();
    go.wait();
    nice_seen = getpriority(PRIO_PROCESS, 0);
    return 0u;
  }), S_OK);
  const int base = getpriority(PRIO_PROCESS, 0);
  t.set_background_mode(true);
  t.set_priority(comrt::thread_priority::below_normal);
  t.set_background_mode(false);
  go.set();
  t.join();
  EXPECT_EQ(nice_seen, std::min(base + 5, 19));
  t.set_priority(comrt::thread_priority::lowest);  // no thread any more: nothing happens
}
