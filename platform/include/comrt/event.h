// Events with the semantics of Win32 event objects, and waiting for any one of several.
//
//   comrt::event stop(comrt::event_reset::manual);
//   comrt::event work(comrt::event_reset::automatic);
//   comrt::event* both[] = {&stop, &work};
//   switch (comrt::wait_any(both, comrt::infinite)) { case 0: ...; case 1: ...; }
//
// A manual-reset event stays set until reset() and releases every waiter. An auto-reset event
// releases exactly one waiter per set() and is reset by that release; while nobody waits it stays
// set until one wait consumes it. wait_any reports the lowest index among the events that are set
// and, for an auto-reset event, consumes only the one it reports.
#pragma once

#include <chrono>
#include <cstddef>
#include <span>
#include <vector>

#include "comrt/thread_annotations.h"

namespace comrt {

// The timeout meaning "wait without a time limit".
inline constexpr std::chrono::milliseconds infinite = std::chrono::milliseconds::max();
// What wait_any returns when the timeout passed before any event was set.
inline constexpr std::size_t wait_timeout = static_cast<std::size_t>(-1);

enum class event_reset { manual, automatic };

namespace detail {
struct wait_block;
}

class event {
 public:
  explicit event(event_reset mode, bool initially_set = false) noexcept;
  // Destroying an event that a thread is waiting on is a programming error.
  ~event();
  event(const event&) = delete;
  event& operator=(const event&) = delete;

  void set();
  void reset();
  // True when the event was set (and, for an auto-reset event, consumed) within the timeout.
  // A zero timeout only tests the event.
  bool wait(std::chrono::milliseconds timeout = infinite);
  // Tests the event without consuming it.
  bool is_set() const;

  event_reset mode() const noexcept { return mode_; }

 private:
  friend std::size_t wait_any(std::span<event* const>, std::chrono::milliseconds);
  struct waiter {
    detail::wait_block* block;
    std::size_t index;  // position of this event in the block's list
  };
  bool try_consume() COMRT_REQUIRES(state_mutex_);
  static void unregister(detail::wait_block& block) COMRT_REQUIRES(state_mutex_);

  // One lock for the state of every event, so that a wait on several events can test and register
  // atomically. Held only for a few instructions at a time.
  static mutex state_mutex_;

  const event_reset mode_;
  bool signaled_ COMRT_GUARDED_BY(state_mutex_);
  std::vector<waiter> waiters_ COMRT_GUARDED_BY(state_mutex_);  // in arrival order
};

// Waits until one of the events is set. Returns its index (the lowest one if several are set),
// or wait_timeout. Throws hresult_error(E_INVALIDARG) for an empty list or a null entry.
std::size_t wait_any(std::span<event* const> events, std::chrono::milliseconds timeout = infinite);

}  // namespace comrt
