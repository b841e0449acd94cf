// Events: one process-wide lock guards the state of all events, so a wait on several events tests
// them and registers itself with each of them in one step. A set() hands itself directly to the
// waiters it releases (it records the index and unregisters them from every event they wait on),
// which gives the exact Win32 behaviour: an auto-reset event releases one waiter and stays reset,
// and a wait on several events is satisfied by exactly one of them.
#include "comrt/event.h"

#include <algorithm>

#include "comrt/object.h"
#include "internal.h"

namespace comrt {

namespace detail {
// One thread's wait, living on that thread's stack while it waits. Guarded by event::state_mutex_.
struct wait_block {
  explicit wait_block(std::span<event* const> list) noexcept : events(list) {}
  std::span<event* const> events;
  std::size_t result = wait_timeout;  // set by the event that releases the waiter
  std::condition_variable_any cv;
};
}  // namespace detail

constinit mutex event::state_mutex_;

event::event(event_reset mode, bool initially_set) noexcept : mode_(mode), signaled_(initially_set) {}

event::~event() = default;

bool event::try_consume() {
  if (!signaled_) return false;
  if (mode_ == event_reset::automatic) signaled_ = false;
  return true;
}

void event::unregister(detail::wait_block& block) {
  for (event* e : block.events) {
    std::erase_if(e->waiters_, [&](const waiter& w) { return w.block == &block; });
  }
}

void event::set() {
  lock_guard guard(state_mutex_);
  // Release waiters in arrival order: all of them for a manual-reset event, the first for an
  // auto-reset one, which then stays reset because the release consumed the signal.
  while (!waiters_.empty()) {
    const waiter w = waiters_.front();
    w.block->result = w.index;
    unregister(*w.block);
    w.block->cv.notify_one();
    if (mode_ == event_reset::automatic) return;
  }
  signaled_ = true;
}

void event::reset() {
  lock_guard guard(state_mutex_);
  signaled_ = false;
}

bool event::is_set() const {
  lock_guard guard(state_mutex_);
  return signaled_;
}

bool event::wait(std::chrono::milliseconds timeout) {
  event* self = this;
  return wait_any(std::span<event* const>(&self, 1), timeout) == 0;
}

std::size_t wait_any(std::span<event* const> events, std::chrono::milliseconds timeout) {
  if (events.empty() || std::ranges::any_of(events, [](const event* e) { return e == nullptr; })) {
    throw_hresult(E_INVALIDARG);
  }
  const detail::deadline until = detail::deadline_after(timeout);

  lock_guard guard(event::state_mutex_);
  for (std::size_t i = 0; i < events.size(); ++i) {
    if (events[i]->try_consume()) return i;
  }
  if (timeout <= std::chrono::milliseconds::zero()) return wait_timeout;

  detail::wait_block block(events);
  try {
    for (std::size_t i = 0; i < events.size(); ++i) events[i]->waiters_.push_back({&block, i});
    // A set() that takes the lock just after the deadline has still released this wait, so the
    // result decides, not the timeout.
    detail::wait_until_ready(block.cv, event::state_mutex_, until,
                             [&]() COMRT_REQUIRES(event::state_mutex_) { return block.result != wait_timeout; });
  } catch (...) {
    event::unregister(block);
    throw;
  }
  event::unregister(block);
  return block.result;
}

}  // namespace comrt
