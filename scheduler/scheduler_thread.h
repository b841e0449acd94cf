// CSchedulerThread: the one background thread of a scheduler object. It owns a message queue and
// a periodic 500 ms timer; each tick calls the scheduler's OnTimer. Ticks never overlap and never
// queue up (the queue holds at most one pending timer message), and a quit request ends the loop
// after the tick in progress.
#pragma once

#include <chrono>
#include <memory>

#include <comrt/message_queue.h>
#include <comrt/worker_thread.h>

namespace tolvane {

// What the thread calls on every tick, on the thread.
class scheduler_tick_target {
 public:
  virtual void OnTimer() noexcept = 0;

 protected:
  ~scheduler_tick_target() = default;
};

class CSchedulerThread final : private comrt::message_thread_client {
 public:
  static constexpr std::chrono::milliseconds tick_period{500};
  // The identifier asked for when the timer is made; the queue returns its own, which is stored.
  static constexpr UINT_PTR requested_timer_id = 3254;

  // `owner` receives the ticks and outlives the thread (not counted). A null owner makes the
  // thread's initialisation fail.
  explicit CSchedulerThread(scheduler_tick_target* owner) noexcept : owner_(owner) {}
  ~CSchedulerThread();

  // Creates the thread and waits until its queue and timer exist, or until it has ended; a thread
  // that could not start is a failure status. `clock` drives the timer (null: the default clock).
  HRESULT Start(std::shared_ptr<comrt::timer_clock> clock = nullptr) noexcept;
  // Posts the quit message and waits without a time limit for the thread to end.
  void Stop() noexcept;

  uint32_t thread_id() const noexcept { return thread_.id(); }
  comrt::message_thread& thread() noexcept { return thread_; }

 private:
  bool initialize(comrt::message_queue& queue) override;
  bool filter_message(const comrt::thread_message& msg) override;
  void uninitialize(comrt::message_queue& queue) noexcept override;

  scheduler_tick_target* const owner_;
  UINT_PTR timer_id_ = 0;      // written and read on the thread only
  bool apartment_ = false;     // on the thread only
  comrt::message_thread thread_;  // last: stopped before the members above go
};

}  // namespace tolvane
