// The reader-writer lock of the collections.
//
//   comrt::rw_lock lock_;
//   std::vector<T> items_ COMRT_GUARDED_BY(lock_);
//   { comrt::shared_guard g(lock_); read items_; }
//   { comrt::exclusive_guard g(lock_); change items_; }
//
// Fairness: writers are preferred. A thread that does not hold the lock and asks for it shared
// waits while a writer holds it or waits for it, so a stream of readers cannot starve writers.
//
// Re-entrancy, shared: a thread that already holds the lock shared takes it shared again at once,
// even while a writer waits. (Making it queue behind that writer would deadlock: the writer waits
// for the first hold to end, and the thread waits for the writer.) So a reader may call code that
// reads the same collection again, for example a copy that enumerates its own source. Holds are
// counted per thread; every lock_shared() needs its unlock_shared() on the same thread.
//
// Re-entrancy, exclusive: a writer never re-enters. lock() by the thread that holds the lock
// exclusively, lock() by a thread that holds it shared (an upgrade), and lock_shared() by the
// exclusive holder throw hresult_error(HRESULT_FROM_WIN32(ERROR_POSSIBLE_DEADLOCK)) instead of
// deadlocking. Callers therefore release the lock before running code that may come back to the
// collection (event sinks, for example). Shared holds are tracked for up to 16 locks per thread;
// beyond that a thread's shared requests skip the writer queue (safe, only less fair) and an upgrade
// of such a hold is no longer detected.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>

#include "comrt/thread_annotations.h"
#include "comrt/types.h"

inline constexpr LONG ERROR_POSSIBLE_DEADLOCK = 1131;

namespace comrt {

class COMRT_CAPABILITY("rw_lock") rw_lock {
 public:
  rw_lock() = default;
  rw_lock(const rw_lock&) = delete;
  rw_lock& operator=(const rw_lock&) = delete;

  void lock() COMRT_ACQUIRE();
  void unlock() COMRT_RELEASE();
  void lock_shared() COMRT_ACQUIRE_SHARED();
  void unlock_shared() COMRT_RELEASE_SHARED();

  // How many threads are waiting for exclusive access (for diagnostics and tests).
  std::size_t waiting_writers() const;

 private:
  mutable mutex m_;
  std::condition_variable_any readers_cv_;
  std::condition_variable_any writers_cv_;
  std::size_t readers_ COMRT_GUARDED_BY(m_) = 0;          // shared holds, re-entrant ones included
  std::size_t waiting_writers_ COMRT_GUARDED_BY(m_) = 0;
  uint32_t writer_ COMRT_GUARDED_BY(m_) = 0;              // thread holding it exclusively, 0 if none
};

class COMRT_SCOPED_CAPABILITY shared_guard {
 public:
  explicit shared_guard(rw_lock& l) COMRT_ACQUIRE_SHARED(l) : l_(l) { l_.lock_shared(); }
  ~shared_guard() COMRT_RELEASE() { l_.unlock_shared(); }
  shared_guard(const shared_guard&) = delete;
  shared_guard& operator=(const shared_guard&) = delete;

 private:
  rw_lock& l_;
};

class COMRT_SCOPED_CAPABILITY exclusive_guard {
 public:
  explicit exclusive_guard(rw_lock& l) COMRT_ACQUIRE(l) : l_(l) { l_.lock(); }
  ~exclusive_guard() COMRT_RELEASE() { l_.unlock(); }
  exclusive_guard(const exclusive_guard&) = delete;
  exclusive_guard& operator=(const exclusive_guard&) = delete;

 private:
  rw_lock& l_;
};

}  // namespace comrt
