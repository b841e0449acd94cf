// Thread message queues with periodic timers, in the manner of Win32 thread messages.
//
// A thread gets a queue by constructing a message_queue on itself; other threads reach it by the
// thread's identifier (post_thread_message). Posted messages come out in the order they were posted.
// A timer is not a queued message: when the queue has no posted message and a timer is due, the
// queue hands out one WM_TIMER for it and moves the timer to its next period boundary after "now".
// So at most one WM_TIMER per timer is ever pending, ticks run one after another on the owning
// thread, and a tick that took three periods is followed by one WM_TIMER, not three. A quit request
// (WM_QUIT) is an ordinary posted message: it ends the loop after the tick in progress.
//
// Timers read a timer_clock. The default is the steady clock; tests install a manual_timer_clock
// (per queue, or process-wide with set_default_timer_clock) and move it, then wait_idle() until the
// thread has handled everything the move made due. Nothing sleeps.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "comrt/event.h"
#include "comrt/thread_annotations.h"
#include "comrt/types.h"

using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using UINT_PTR = uintptr_t;

inline constexpr UINT WM_QUIT = 0x0012;
inline constexpr UINT WM_TIMER = 0x0113;
inline constexpr UINT WM_USER = 0x0400;

namespace comrt {

// The identifier of the calling thread: never 0, unique among the threads of the process.
uint32_t current_thread_id() noexcept;

struct thread_message {
  UINT message = 0;
  WPARAM wparam = 0;  // for WM_TIMER the timer's identifier; for WM_QUIT the exit code
  LPARAM lparam = 0;
};

namespace detail {
struct queue_state;
}

// ---------------------------------------------------------------------------------------------
// The time source of timers.

class timer_clock {
 public:
  using time_point = std::chrono::steady_clock::time_point;
  using duration = std::chrono::steady_clock::duration;

  virtual ~timer_clock();
  virtual time_point now() const noexcept = 0;
  // True for a clock that follows the steady clock by itself: queues wait for its deadlines on the
  // steady clock. A clock that moves only when told wakes its queues after each move instead.
  virtual bool follows_steady_clock() const noexcept = 0;

  // Used by queues (thread-safe): a queue listens to the clock while it exists.
  void add_listener(detail::queue_state* q) COMRT_EXCLUDES(listeners_mutex_);
  void remove_listener(detail::queue_state* q) COMRT_EXCLUDES(listeners_mutex_);

 protected:
  // Wakes every queue that uses this clock, so that it looks at its timers again.
  void notify_moved() COMRT_EXCLUDES(listeners_mutex_);

 private:
  mutex listeners_mutex_;
  std::vector<detail::queue_state*> listeners_ COMRT_GUARDED_BY(listeners_mutex_);
};

// The steady clock (shared by every queue that uses it).
std::shared_ptr<timer_clock> steady_timer_clock();

// A clock that stands still until advanced.
class manual_timer_clock final : public timer_clock {
 public:
  manual_timer_clock() noexcept = default;
  time_point now() const noexcept override;
  bool follows_steady_clock() const noexcept override { return false; }
  // Moves the clock forward (negative amounts are ignored) and wakes the queues that use it.
  void advance(duration d);

 private:
  std::atomic<duration::rep> now_{0};
};

// The clock that new queues use when none is given: the steady clock unless a test has set another
// one. Passing null restores the steady clock. Queues keep the clock they were created with.
std::shared_ptr<timer_clock> default_timer_clock();
void set_default_timer_clock(std::shared_ptr<timer_clock> clock);

// ---------------------------------------------------------------------------------------------

enum class peek { no_remove, remove };

// The calling thread's message queue. Construct it on the thread that will take messages from it;
// a thread has at most one queue at a time (a second one throws hresult_error(E_UNEXPECTED)).
// Only the owning thread calls get_message and peek_message; post, set_timer, kill_timer and
// wait_idle may be called from any thread.
class message_queue {
 public:
  // Posts beyond this many pending messages fail (WM_QUIT is always accepted).
  static constexpr std::size_t max_posted = 10000;
  // Shorter timer periods are raised to this.
  static constexpr std::chrono::milliseconds min_timer_period{10};

  explicit message_queue(std::shared_ptr<timer_clock> clock = default_timer_clock());
  // Unregisters the queue: later posts to the thread fail, pending messages are dropped.
  ~message_queue();
  message_queue(const message_queue&) = delete;
  message_queue& operator=(const message_queue&) = delete;

  uint32_t thread_id() const noexcept { return thread_id_; }
  timer_clock& clock() const noexcept;

  // Waits for the next message. False when it is WM_QUIT (its wparam is the exit code).
  bool get_message(thread_message& msg);
  // Takes (or only looks at) the next message without waiting; false when there is none.
  bool peek_message(thread_message& msg, peek mode);
  bool post(UINT message, WPARAM wparam, LPARAM lparam);

  // Starts a periodic timer whose first tick is one period from now. Returns its identifier (never 0).
  UINT_PTR set_timer(std::chrono::milliseconds period);
  // Stops a timer; a tick of it that is due but not yet taken is not delivered. False if unknown.
  bool kill_timer(UINT_PTR timer_id);

  // Waits until the owning thread is blocked in get_message with nothing posted and no timer due.
  // False on timeout.
  bool wait_idle(std::chrono::milliseconds timeout = infinite);

 private:
  std::shared_ptr<detail::queue_state> state_;
  uint32_t thread_id_;
};

// Posts to the queue of the thread with that identifier. False when the thread has no queue (never
// had one, or it has ended) or the queue is full.
bool post_thread_message(uint32_t thread_id, UINT message, WPARAM wparam, LPARAM lparam);
// wait_idle() on the queue of the thread with that identifier. False when there is no such queue,
// when it goes away while waiting, or on timeout.
bool wait_thread_idle(uint32_t thread_id, std::chrono::milliseconds timeout = infinite);

}  // namespace comrt
