// Events and wait_any: reset modes, which waiter an event releases, and what a wait consumes.
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "comrt/event.h"
#include "comrt/object.h"

using comrt::event;
using comrt::event_reset;
using comrt::wait_any;
using namespace std::chrono_literals;

namespace {

// Waits (with a generous deadline) until the thread `tid` of this process sleeps, as it does once
// it blocks in a wait.
bool sleeps_soon(pid_t tid) {
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (std::chrono::steady_clock::now() < deadline) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto end = text.rfind(") ");
    if (end != std::string::npos && text[end + 2] == 'S') return true;
    std::this_thread::yield();
  }
  return false;
}

TEST(Event, ResetModes) {
  event manual(event_reset::manual);
  EXPECT_FALSE(manual.wait(0ms));
  manual.set();
  EXPECT_TRUE(manual.wait(0ms));
  EXPECT_TRUE(manual.wait(0ms)) << "a manual-reset event stays set";
  manual.reset();
  EXPECT_FALSE(manual.is_set());

  event automatic(event_reset::automatic, true);
  automatic.set();  // sets do not accumulate
  EXPECT_TRUE(automatic.wait(0ms));
  EXPECT_FALSE(automatic.wait(0ms)) << "the first wait consumes an auto-reset event";
}

TEST(Event, AutoResetReleasesOneBlockedWaiterPerSetAndStaysReset) {
  event ev(event_reset::automatic);
  std::atomic<pid_t> tids[2] = {0, 0};
  std::atomic<int> released{0};
  auto waiter = [&](int i) {
    tids[i] = ::gettid();
    if (ev.wait()) ++released;
  };
  std::thread a(waiter, 0), b(waiter, 1);
  for (auto& tid : tids) {
    while (tid == 0) std::this_thread::yield();
    ASSERT_TRUE(sleeps_soon(tid));
  }
  ev.set();
  while (released == 0) std::this_thread::yield();
  EXPECT_FALSE(ev.is_set()) << "the release consumed the signal";
  ev.set();
  a.join();
  b.join();
  EXPECT_EQ(released, 2);
  EXPECT_FALSE(ev.is_set());
}

TEST(WaitAny, ReportsTheLowestSetEventAndConsumesOnlyIt) {
  event a(event_reset::automatic), b(event_reset::automatic), c(event_reset::manual);
  event* all[] = {&a, &b, &c};
  EXPECT_EQ(wait_any(all, 0ms), comrt::wait_timeout);
  c.set();
  b.set();
  EXPECT_EQ(wait_any(all, 0ms), 1u);
  EXPECT_TRUE(c.is_set()) << "only the reported event is consumed";
  EXPECT_EQ(wait_any(all, 0ms), 2u);
  EXPECT_EQ(wait_any(all, 0ms), 2u);
}

TEST(WaitAny, BlockedWaitEndsOnAnyEventAndLeavesTheOthersAlone) {
  event a(event_reset::automatic), b(event_reset::automatic);
  std::size_t result = 99;
  std::thread waiter([&] {
    event* both[] = {&a, &b};
    result = wait_any(both);
  });
  b.set();
  waiter.join();
  EXPECT_EQ(result, 1u);
  // The finished wait must no longer be registered with a: a later set stays pending.
  a.set();
  EXPECT_TRUE(a.is_set());
  EXPECT_FALSE(b.is_set());
}

}  // namespace
