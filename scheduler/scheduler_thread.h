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

class CSchedulerThread final {
 public:
  static constexpr std::chrono::milliseconds tick_period{500};
  // The identifier asked for when the timer is made; the queue returns its own, which is stored.
  static constexpr UINT_PTR requested_timer_id = 3254;

  // `owner` receives the ticks and outlives the thread (not counted), or stops it from a tick. A
  // null owner makes the thread's initialisation fail.
  explicit CSchedulerThread(scheduler_tick_target* owner);
  ~CSchedulerThread();
  CSchedulerThread(const CSchedulerThread&) = delete;
  CSchedulerThread& operator=(const CSchedulerThread&) = delete;

  // Creates the thread and waits until its queue and timer exist, or until it has ended; a thread
  // that could not start is a failure status. `clock` drives the timer (null: the default clock).
  HRESULT Start(std::shared_ptr<comrt::timer_clock> clock = nullptr) noexcept;
  // Posts the quit message and waits without a time limit for the thread to end.
  //
  // Called on the thread itself (from a tick, when the owner is being released there), it cannot
  // wait for its own end: the loop ends after the tick in progress, no later tick reaches the owner,
  // and the thread keeps what it runs on (its loop, timer and thread object) until it exits, after
  // its loop has ended. The owner may be destroyed as soon as Stop returns.
  void Stop() noexcept;

  uint32_t thread_id() const noexcept;
  // The thread's loop; not to be used after Stop was called on the thread itself.
  comrt::message_thread& thread() noexcept;

 private:
  class loop;  // the thread's client and its thread object, which outlive this object if need be
  std::unique_ptr<loop> loop_;
};

}  // namespace tolvane
