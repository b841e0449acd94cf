// The reader-writer lock: writer preference, with a per-thread table of shared holds so that a
// thread already reading skips the writer queue.
#include "comrt/rw_lock.h"

#include <algorithm>
#include <array>

#include "comrt/message_queue.h"
#include "comrt/object.h"

namespace comrt {

namespace {

struct shared_hold {
  const rw_lock* lock = nullptr;
  uint32_t count = 0;
};

// The calling thread's shared holds. Holds that did not fit are only counted, and while there are
// any, every shared request of the thread is treated as possibly re-entrant.
thread_local std::array<shared_hold, 16> held;
thread_local uint32_t untracked_holds = 0;

shared_hold* find_hold(const rw_lock* lock) noexcept {
  auto it = std::ranges::find(held, lock, &shared_hold::lock);
  return it == held.end() ? nullptr : &*it;
}

void record_hold(const rw_lock* lock) noexcept {
  shared_hold* h = find_hold(lock);
  if (!h) h = find_hold(nullptr);
  if (!h) {
    ++untracked_holds;
    return;
  }
  h->lock = lock;
  ++h->count;
}

void forget_hold(const rw_lock* lock) noexcept {
  if (shared_hold* h = find_hold(lock)) {
    if (--h->count == 0) h->lock = nullptr;
  } else if (untracked_holds > 0) {
    --untracked_holds;
  }
}

[[noreturn]] void throw_deadlock() { throw_hresult(HRESULT_FROM_WIN32(ERROR_POSSIBLE_DEADLOCK)); }

}  // namespace

void rw_lock::lock_shared() {
  const bool reentrant = find_hold(this) != nullptr || untracked_holds > 0;
  {
    lock_guard guard(m_);
    if (writer_ != 0 && writer_ == current_thread_id()) throw_deadlock();
    while (writer_ != 0 || (!reentrant && waiting_writers_ > 0)) readers_cv_.wait(m_);
    ++readers_;
  }
  record_hold(this);
}

void rw_lock::unlock_shared() {
  forget_hold(this);
  lock_guard guard(m_);
  --readers_;
  if (readers_ == 0 && waiting_writers_ > 0) writers_cv_.notify_one();
}

void rw_lock::lock() {
  if (find_hold(this) != nullptr) throw_deadlock();
  const uint32_t me = current_thread_id();
  lock_guard guard(m_);
  if (writer_ == me) throw_deadlock();
  ++waiting_writers_;
  while (writer_ != 0 || readers_ > 0) writers_cv_.wait(m_);
  --waiting_writers_;
  writer_ = me;
}

void rw_lock::unlock() {
  lock_guard guard(m_);
  writer_ = 0;
  // Writers go first; readers are let in once no writer waits.
  if (waiting_writers_ > 0) {
    writers_cv_.notify_one();
  } else {
    readers_cv_.notify_all();
  }
}

std::size_t rw_lock::waiting_writers() const {
  lock_guard guard(m_);
  return waiting_writers_;
}

}  // namespace comrt
