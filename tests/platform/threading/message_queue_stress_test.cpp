// Many posters, a moving clock and a quit during a long tick, all at once on one message thread.
#include <gtest/gtest.h>

#include <map>
#include <thread>
#include <vector>

#include "comrt/worker_thread.h"
#include "recording_client.h"

using namespace std::chrono_literals;

TEST(MessageQueueStress, PostersTicksAndQuit) {
  auto clock = std::make_shared<comrt::manual_timer_clock>();
  RecordingClient client;
  client.timer_period = 500ms;
  comrt::message_thread thread;
  ASSERT_EQ(thread.start(client, {.clock = clock}), S_OK);

  constexpr int posters = 4, posts_each = 2000, clock_moves = 300;
  std::atomic<long> accepted{0};
  std::vector<std::thread> threads;
  for (int p = 0; p < posters; ++p) {
    threads.emplace_back([&, p] {
      for (LPARAM seq = 0; seq < posts_each; ++seq) {
        if (comrt::post_thread_message(thread.id(), WM_USER, static_cast<WPARAM>(p), seq)) ++accepted;
      }
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
    if (!fresh) {
      EXPECT_LT(it->second, m.lparam);
      it->second = m.lparam;
    }
  }
  EXPECT_GE(client.ticks, 1);
  EXPECT_LE(client.ticks, clock_moves / 2);
  EXPECT_FALSE(client.overlapping_ticks);

  // Now hold a tick open while posters keep going and one of them asks the thread to quit.
  client.hold_ticks = true;  // read by the thread only inside later ticks, after the queue's lock
  const int ticks_before = client.ticks;
  clock->advance(500ms);
  client.tick_started.wait();
  threads.clear();
  for (int p = 0; p < posters; ++p) {
    threads.emplace_back([&, p] {
      for (int i = 0; i < 100; ++i) comrt::post_thread_message(thread.id(), WM_USER, static_cast<WPARAM>(p), i);
      if (p == 0) comrt::post_thread_message(thread.id(), WM_QUIT, 0, 0);
      clock->advance(500ms);
    });
  }
  for (auto& t : threads) t.join();
  client.release_tick.set();
  thread.join();
  EXPECT_EQ(client.ticks, ticks_before + 1) << "no tick after the quit request";
  EXPECT_EQ(thread.exit_code(), 0u);
}
