// A message-loop client for the tests: records what its thread receives, ticks on its own timer,
// and can hold a tick open until the test releases it.
#pragma once

#include <atomic>
#include <chrono>
#include <vector>

#include "comrt/worker_thread.h"

class RecordingClient final : public comrt::message_thread_client {
 public:
  bool initialize(comrt::message_queue& queue) override {
    if (fail_initialize) return false;
    if (timer_period.count() != 0) timer_id = queue.set_timer(timer_period);
    return true;
  }

  bool filter_message(const comrt::thread_message& msg) override {
    if (msg.message != WM_TIMER) {
      received.push_back(msg);
      return false;
    }
    if (msg.wparam != timer_id) return true;
    if (in_tick.exchange(true)) overlapping_ticks = true;
    ++ticks;
    if (hold_ticks) {
      tick_started.set();
      release_tick.wait();
    }
    in_tick = false;
    return true;
  }

  void uninitialize(comrt::message_queue& queue) noexcept override {
    uninitialized = true;
    if (timer_id != 0) queue.kill_timer(timer_id);
  }

  // Set before start.
  bool fail_initialize = false;
  std::chrono::milliseconds timer_period{0};
  bool hold_ticks = false;

  // Written by the thread; read by the test once it is idle or has ended.
  std::vector<comrt::thread_message> received;  // every message but the ticks
  UINT_PTR timer_id = 0;
  std::atomic<int> ticks{0};
  std::atomic<bool> in_tick{false};
  std::atomic<bool> overlapping_ticks{false};
  std::atomic<bool> uninitialized{false};

  comrt::event tick_started{comrt::event_reset::automatic};
  comrt::event release_tick{comrt::event_reset::manual};
};
