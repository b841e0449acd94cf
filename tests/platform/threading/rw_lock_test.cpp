// The reader-writer lock's answers to re-entrancy, and its exclusion under load.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "comrt/object.h"
#include "comrt/rw_lock.h"

namespace {

HRESULT status_of(void (comrt::rw_lock::*op)(), comrt::rw_lock& l) {
  try {
    (l.*op)();
  } catch (const comrt::hresult_error& e) {
    return e.code();
  }
  return S_OK;
}

const HRESULT possible_deadlock = HRESULT_FROM_WIN32(ERROR_POSSIBLE_DEADLOCK);

// The static analysis does not model re-entrant holds, so the bodies that take them are exempt.
void reader_reenters_while_a_writer_waits() COMRT_NO_THREAD_SAFETY_ANALYSIS {
  comrt::rw_lock lock;
  int value = 0;
  int late_reader_saw = -1;
  lock.lock_shared();
  std::thread writer([&] {
    comrt::exclusive_guard g(lock);
    value = 1;
  });
  while (lock.waiting_writers() == 0) std::this_thread::yield();
  // A reader that does not hold the lock yet queues behind the waiting writer...
  std::thread late_reader([&] {
    comrt::shared_guard g(lock);
    late_reader_saw = value;
  });
  // ...but this thread already reads, so it gets in again at once.
  lock.lock_shared();
  lock.unlock_shared();
  lock.unlock_shared();
  writer.join();
  late_reader.join();
  EXPECT_EQ(late_reader_saw, 1) << "the writer went first";
}

void writer_never_reenters() COMRT_NO_THREAD_SAFETY_ANALYSIS {
  comrt::rw_lock lock;
  lock.lock();
  EXPECT_EQ(status_of(&comrt::rw_lock::lock, lock), possible_deadlock);
  EXPECT_EQ(status_of(&comrt::rw_lock::lock_shared, lock), possible_deadlock);
  lock.unlock();

  lock.lock_shared();
  lock.lock_shared();
  lock.unlock_shared();
  EXPECT_EQ(status_of(&comrt::rw_lock::lock, lock), possible_deadlock) << "one shared hold remains";
  lock.unlock_shared();
  EXPECT_EQ(status_of(&comrt::rw_lock::lock, lock), S_OK);
  lock.unlock();
  EXPECT_EQ(lock.waiting_writers(), 0u);
}

}  // namespace

TEST(RwLock, ReaderReentersWhileAWriterWaits) { reader_reenters_while_a_writer_waits(); }

TEST(RwLock, WriterNeverReentersAndUpgradesAreRefused) { writer_never_reenters(); }

TEST(RwLockStress, WritersExcludeEveryoneWhileReadersReenter) {
  comrt::rw_lock lock;
  long first = 0, second = 0;  // written together under the exclusive lock
  std::atomic<int> torn{0};
  constexpr int writers = 2, readers = 4, rounds = 2000;
  std::vector<std::thread> threads;
  for (int w = 0; w < writers; ++w) {
    threads.emplace_back([&] {
      for (int i = 0; i < rounds; ++i) {
        comrt::exclusive_guard g(lock);
        ++first;
        ++second;
      }
    });
  }
  for (int r = 0; r < readers; ++r) {
    threads.emplace_back([&, r]() COMRT_NO_THREAD_SAFETY_ANALYSIS {
      for (int i = 0; i < rounds; ++i) {
        comrt::shared_guard g(lock);
        if (first != second) ++torn;
        if ((i + r) % 3 == 0) {
          comrt::shared_guard again(lock);
          if (first != second) ++torn;
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(first, long{writers} * rounds);
}
