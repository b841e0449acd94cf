// Events and wait_any: reset modes, which waiter an event releases, and what a wait consumes.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "comrt/event.h"
#include "comrt/object.h"

using comrt::event;
using comrt::event_reset;
using comrt::wait_any;
using namespace std::chrono_literals;

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

TEST(Event, AutoResetReleasesOneWaiterPerSet) {
  event ev(event_reset::automatic);
  event one_done(event_reset::automatic);
  std::atomic<int> released{0};
  auto waiter = [&] {
    if (ev.wait()) ++released;
    one_done.set();
  };
  std::thread a(waiter), b(waiter);
  ev.set();
  one_done.wait();
  ev.set();
  a.join();
  b.join();
  EXPECT_EQ(released, 2);
  // Had the first set released both waiters, the second would still be pending here.
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

TEST(WaitAny, RejectsEmptyAndNullLists) {
  event* none[] = {nullptr};
  auto status_of = [](auto f) {
    try {
      f();
    } catch (const comrt::hresult_error& e) {
      return e.code();
    }
    return S_OK;
  };
  EXPECT_EQ(status_of([&] { wait_any({}, 0ms); }), E_INVALIDARG);
  EXPECT_EQ(status_of([&] { wait_any(none, 0ms); }), E_INVALIDARG);
}
