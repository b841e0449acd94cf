// Thread message queues, their timers and the process-wide table that maps thread identifiers to
// queues.
#include "comrt/message_queue.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <unordered_map>
#include <utility>

#include "comrt/object.h"
#include "internal.h"

namespace comrt {

// ---------------------------------------------------------------------------------------------
// Thread identifiers

namespace {
std::atomic<uint32_t> next_thread_id{1};
thread_local uint32_t this_thread_id = 0;
}  // namespace

uint32_t detail::allocate_thread_id() noexcept {
  uint32_t id = 0;
  while (id == 0) id = next_thread_id.fetch_add(1, std::memory_order_relaxed);
  return id;
}

void detail::set_current_thread_id(uint32_t id) noexcept { this_thread_id = id; }

uint32_t current_thread_id() noexcept {
  if (this_thread_id == 0) this_thread_id = detail::allocate_thread_id();
  return this_thread_id;
}

// ---------------------------------------------------------------------------------------------
// Queue state, shared by the owning message_queue, the table of queues and anyone posting or waiting.

namespace detail {

struct queue_state {
  using time_point = timer_clock::time_point;
  struct timer {
    UINT_PTR id;
    timer_clock::duration period;
    time_point due;
  };

  explicit queue_state(std::shared_ptr<timer_clock> c) : clock(std::move(c)) {}

  // Takes (or looks at) the next message: posted messages first, then the timer that has been due
  // longest. Taking a timer's tick moves it to its first period boundary after now, so missed
  // periods are not made up.
  bool next(thread_message& msg, peek mode) COMRT_REQUIRES(m) {
    if (!posted.empty()) {
      msg = posted.front();
      if (mode == peek::remove) posted.pop_front();
      return true;
    }
    const time_point now = clock->now();
    auto due = std::ranges::min_element(timers, {}, &timer::due);
    if (due == timers.end() || due->due > now) return false;
    msg = thread_message{WM_TIMER, due->id, 0};
    if (mode == peek::remove) due->due += due->period * ((now - due->due) / due->period + 1);
    return true;
  }

  bool idle() const COMRT_REQUIRES(m) {
    if (!owner_waiting || !posted.empty()) return false;
    const time_point now = clock->now();
    return std::ranges::none_of(timers, [&](const timer& t) { return t.due <= now; });
  }

  const std::shared_ptr<timer_clock> clock;
  mutex m;
  // Signalled on every post, timer change, clock move, when the owner blocks and when the queue closes.
  std::condition_variable_any changed;
  std::deque<thread_message> posted COMRT_GUARDED_BY(m);
  std::vector<timer> timers COMRT_GUARDED_BY(m);
  UINT_PTR next_timer_id COMRT_GUARDED_BY(m) = 1;
  bool owner_waiting COMRT_GUARDED_BY(m) = false;  // the owner is blocked in get_message
  bool closed COMRT_GUARDED_BY(m) = false;         // the owning message_queue is gone
};

}  // namespace detail

namespace {

using detail::queue_state;

class queue_table {
 public:
  void add(uint32_t id, std::shared_ptr<queue_state> q) COMRT_EXCLUDES(m_) {
    lock_guard guard(m_);
    if (!queues_.try_emplace(id, std::move(q)).second) throw_hresult(E_UNEXPECTED);
  }
  void remove(uint32_t id) COMRT_EXCLUDES(m_) {
    lock_guard guard(m_);
    queues_.erase(id);
  }
  std::shared_ptr<queue_state> find(uint32_t id) COMRT_EXCLUDES(m_) {
    lock_guard guard(m_);
    auto it = queues_.find(id);
    return it == queues_.end() ? nullptr : it->second;
  }

 private:
  mutex m_;
  std::unordered_map<uint32_t, std::shared_ptr<queue_state>> queues_ COMRT_GUARDED_BY(m_);
};

queue_table& queues() {
  static queue_table table;
  return table;
}

bool post_to(queue_state& q, UINT message, WPARAM wparam, LPARAM lparam) noexcept {
  lock_guard guard(q.m);
  if (q.closed || (message != WM_QUIT && q.posted.size() >= message_queue::max_posted)) return false;
  try {
    q.posted.push_back(thread_message{message, wparam, lparam});
  } catch (const std::bad_alloc&) {
    return false;
  }
  q.changed.notify_all();
  return true;
}

bool wait_idle_on(queue_state& q, std::chrono::milliseconds timeout) {
  lock_guard guard(q.m);
  detail::wait_until_ready(q.changed, q.m, detail::deadline_after(timeout),
                           [&]() COMRT_REQUIRES(q.m) { return q.closed || q.idle(); });
  return !q.closed && q.idle();
}

// ---------------------------------------------------------------------------------------------
// Clocks

class steady_source final : public timer_clock {
 public:
  time_point now() const noexcept override { return std::chrono::steady_clock::now(); }
  bool follows_steady_clock() const noexcept override { return true; }
};

struct default_clock_slot {
  mutex m;
  std::shared_ptr<timer_clock> clock COMRT_GUARDED_BY(m);
};

default_clock_slot& default_clock() {
  static default_clock_slot slot;
  return slot;
}

}  // namespace

timer_clock::~timer_clock() = default;

void timer_clock::add_listener(detail::queue_state* q) {
  lock_guard guard(listeners_mutex_);
  listeners_.push_back(q);
}

void timer_clock::remove_listener(detail::queue_state* q) {
  lock_guard guard(listeners_mutex_);
  std::erase(listeners_, q);
}

void timer_clock::notify_moved() {
  lock_guard guard(listeners_mutex_);
  for (queue_state* q : listeners_) {
    // Taking the queue's lock orders the move before the owner's next look at the clock, so a
    // wake-up cannot fall between its look and its wait.
    lock_guard queue_guard(q->m);
    q->changed.notify_all();
  }
}

std::shared_ptr<timer_clock> steady_timer_clock() {
  static const std::shared_ptr<timer_clock> clock = std::make_shared<steady_source>();
  return clock;
}

manual_timer_clock::time_point manual_timer_clock::now() const noexcept {
  return time_point(duration(now_.load(std::memory_order_acquire)));
}

void manual_timer_clock::advance(duration d) {
  if (d > duration::zero()) now_.fetch_add(d.count(), std::memory_order_acq_rel);
  notify_moved();
}

std::shared_ptr<timer_clock> default_timer_clock() {
  auto& slot = default_clock();
  {
    lock_guard guard(slot.m);
    if (slot.clock) return slot.clock;
  }
  return steady_timer_clock();
}

void set_default_timer_clock(std::shared_ptr<timer_clock> clock) {
  auto& slot = default_clock();
  lock_guard guard(slot.m);
  slot.clock = std::move(clock);
}

// ---------------------------------------------------------------------------------------------
// message_queue

message_queue::message_queue(std::shared_ptr<timer_clock> clock)
    : state_(std::make_shared<queue_state>(clock ? std::move(clock) : steady_timer_clock())),
      thread_id_(current_thread_id()) {
  state_->clock->add_listener(state_.get());
  try {
    queues().add(thread_id_, state_);
  } catch (...) {
    state_->clock->remove_listener(state_.get());
    throw;
  }
}

message_queue::~message_queue() {
  queues().remove(thread_id_);
  state_->clock->remove_listener(state_.get());
  lock_guard guard(state_->m);
  state_->closed = true;
  state_->posted.clear();
  state_->timers.clear();
  state_->changed.notify_all();
}

timer_clock& message_queue::clock() const noexcept { return *state_->clock; }

bool message_queue::get_message(thread_message& msg) {
  queue_state& q = *state_;
  lock_guard guard(q.m);
  while (!q.next(msg, peek::remove)) {
    q.owner_waiting = true;
    q.changed.notify_all();  // for wait_idle
    auto due = std::ranges::min_element(q.timers, {}, &queue_state::timer::due);
    if (due != q.timers.end() && q.clock->follows_steady_clock()) {
      q.changed.wait_until(q.m, due->due);
    } else {
      q.changed.wait(q.m);
    }
    q.owner_waiting = false;
  }
  return msg.message != WM_QUIT;
}

bool message_queue::peek_message(thread_message& msg, peek mode) {
  lock_guard guard(state_->m);
  return state_->next(msg, mode);
}

bool message_queue::post(UINT message, WPARAM wparam, LPARAM lparam) {
  return post_to(*state_, message, wparam, lparam);
}

UINT_PTR message_queue::set_timer(std::chrono::milliseconds period) {
  const timer_clock::duration p = std::max(period, min_timer_period);
  queue_state& q = *state_;
  lock_guard guard(q.m);
  if (q.next_timer_id == 0) q.next_timer_id = 1;
  const UINT_PTR id = q.next_timer_id++;
  q.timers.push_back(queue_state::timer{id, p, q.clock->now() + p});
  q.changed.notify_all();
  return id;
}

bool message_queue::kill_timer(UINT_PTR timer_id) {
  lock_guard guard(state_->m);
  return std::erase_if(state_->timers, [&](const queue_state::timer& t) { return t.id == timer_id; }) != 0;
}

bool message_queue::wait_idle(std::chrono::milliseconds timeout) { return wait_idle_on(*state_, timeout); }

bool post_thread_message(uint32_t thread_id, UINT message, WPARAM wparam, LPARAM lparam) {
  auto q = queues().find(thread_id);
  return q && post_to(*q, message, wparam, lparam);
}

bool wait_thread_idle(uint32_t thread_id, std::chrono::milliseconds timeout) {
  auto q = queues().find(thread_id);
  return q && wait_idle_on(*q, timeout);
}

}  // namespace comrt
