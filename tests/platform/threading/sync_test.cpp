// Events, wait_any and the reader-writer lock: reset modes, what a wait consumes, re-entrancy,
// writer preference and exclusion under load.
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "comrt/event.h"
#include "comrt/object.h"
#include "comrt/rw_lock.h"

using comrt::event;
using comrt::event_reset;
using comrt::wait_any;
using namespace std::chrono_literals;

namespace {

// Waits (with a generous deadline) until the thread `tid` of this process has started and sleeps,
// as it does once it blocks in a wait, or until it is `done`.
bool sleeps_soon(const std::atomic<pid_t>& tid, const std::atomic<bool>& done) {
  while (tid == 0) std::this_thread::yield();
  for (const auto deadline = std::chrono::steady_clock::now() + 60s; std::chrono::steady_clock::now() < deadline;) {
    if (done) return true;
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    const std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    if (const auto end = text.rfind(") "); end != std::string::npos && text[end + 2] == 'S') return true;
    std::this_thread::yield();
  }
  return false;
}

TEST(Event, ResetModesAndWhatAWaitConsumes) {
  event manual(event_reset::manual), automatic(event_reset::automatic, true), other(event_reset::automatic);
  automatic.set();  // sets do not accumulate
  event* all[] = {&other, &automatic, &manual};
  EXPECT_EQ(wait_any(all, 0ms), 1u);
  EXPECT_EQ(wait_any(all, 0ms), comrt::wait_timeout) << "the first wait consumes an auto-reset event";
  manual.set();
  EXPECT_EQ(wait_any(all, 0ms), 2u);
  EXPECT_EQ(wait_any(all, 0ms), 2u) << "a manual-reset event stays set";
  manual.reset();
  EXPECT_FALSE(manual.is_set());
}

TEST(Event, SetReleasesABlockedWaiterAndTheAutoResetEventStaysReset) {
  event ev(event_reset::automatic), other(event_reset::automatic);
  std::atomic<pid_t> tid{0};
  std::atomic<bool> never{false};
  std::thread waiter([&] {
    tid = ::gettid();
    event* both[] = {&other, &ev};
    EXPECT_EQ(wait_any(both), 1u);
  });
  ASSERT_TRUE(sleeps_soon(tid, never));
  ev.set();
  waiter.join();
  EXPECT_FALSE(ev.is_set()) << "the release consumed the signal";
  other.set();
  EXPECT_TRUE(other.is_set()) << "the finished wait is no longer registered";
}

// The static analysis does not model re-entrant holds, so the bodies that take them are exempt.
TEST(RwLock, ReaderReentersWhileAWriterWaitsButNewReadersQueueBehindIt) COMRT_NO_THREAD_SAFETY_ANALYSIS {
  comrt::rw_lock lock;
  int value = 0, late_reader_saw = -1;
  lock.lock_shared();
  std::thread writer([&] {
    comrt::exclusive_guard g(lock);
    value = 1;
  });
  while (lock.waiting_writers() == 0) std::this_thread::yield();
  std::atomic<pid_t> tid{0};
  std::atomic<bool> read{false};
  std::thread late_reader([&] {
    tid = ::gettid();
    comrt::shared_guard g(lock);
    late_reader_saw = value;
    read = true;
  });
  EXPECT_TRUE(sleeps_soon(tid, read)) << "the late reader waits (or, wrongly, has read)";
  lock.lock_shared();  // this thread already reads, so it gets in again at once
  lock.unlock_shared();
  lock.unlock_shared();
  writer.join();
  late_reader.join();
  EXPECT_EQ(late_reader_saw, 1) << "the writer went first";
}

TEST(RwLock, WriterNeverReentersAndUpgradesAreRefused) COMRT_NO_THREAD_SAFETY_ANALYSIS {
  comrt::rw_lock lock;  // each refusal is ERROR_POSSIBLE_DEADLOCK
  lock.lock();
  EXPECT_THROW(lock.lock(), comrt::hresult_error);
  EXPECT_THROW(lock.lock_shared(), comrt::hresult_error);
  lock.unlock();
  lock.lock_shared();
  EXPECT_THROW(lock.lock(), comrt::hresult_error);
  lock.unlock_shared();
  lock.lock();
  lock.unlock();
}

TEST(RwLockStress, WritersExcludeEveryoneWhileReadersReenter) {
  comrt::rw_lock lock;
  long first = 0, second = 0;  // written together under the exclusive lock
  std::atomic<int> torn{0};
  constexpr int rounds = 2000;
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t]() COMRT_NO_THREAD_SAFETY_ANALYSIS {
      for (int i = 0; i < rounds; ++i) {
        if (t < 2) {
          comrt::exclusive_guard g(lock);
          ++first;
          ++second;
          continue;
        }
        comrt::shared_guard g(lock);
        if (first != second) ++torn;
        if ((i + t) % 3 == 0) {
          comrt::shared_guard again(lock);
          if (first != second) ++torn;
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(first, 2L * rounds);
}

}  // namespace
