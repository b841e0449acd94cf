// The scheduler's test fixture: a scheduler whose thread ticks on a clock that moves only when the
// test says so, a scratch folder for its schedule file, and helpers that build items.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include <comrt/message_queue.h>
#include <comrt/strings.h>
#include <comrt/time.h>

#include "fakes/schedule_doubles.h"
#include "items/schedule_item.h"
#include "scheduler/scheduler.h"

namespace sched_test {

using comrt::com_ptr;
using namespace fakes;

// How long a test waits for a thread before it reports a hang (never reached when all is well).
inline constexpr std::chrono::milliseconds kHangGuard{60'000};
inline constexpr uint64_t kT0 = 133'500'000'000'000'000;  // a FILETIME in 2024
inline constexpr uint64_t kSecond = 10'000'000;

class MockProvider final : public comrt::implements<MockProvider, IServiceProvider> {
 public:
  MOCK_METHOD(HRESULT, QueryService, (REFGUID, REFIID, void**), (override));
};

inline com_ptr<tolvane::CScheduleItem> new_item() { return comrt::make<tolvane::CScheduleItem>(); }

// A site that offers no services and takes no proffers.
class ServiceOnlySite final : public comrt::implements<ServiceOnlySite, IServiceProvider> {
 public:
  HRESULT STDMETHODCALLTYPE QueryService(REFGUID, REFIID, void** ppv) override {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
};

inline com_ptr<IScheduleItems> items_of(IScheduler* scheduler) {
  com_ptr<IScheduleItems> items;
  EXPECT_EQ(scheduler->get_Items(items.put()), S_OK);
  return items;
}
inline VARIANT_BOOL dirty(IScheduler* s) {
  VARIANT_BOOL d = 7;
  EXPECT_EQ(items_of(s)->get_Dirty(&d), S_OK);
  return d;
}
inline void set_dirty(IScheduler* s, VARIANT_BOOL d) { EXPECT_EQ(items_of(s)->put_Dirty(d), S_OK); }

// A tick target for the thread on its own.
class CountingTarget final : public tolvane::scheduler_tick_target {
 public:
  void OnTimer() noexcept override {
    if (on_tick) on_tick();
    ticks.fetch_add(1);
  }
  std::atomic<int> ticks{0};
  std::function<void()> on_tick;  // set before the thread starts
};

// A folder of its own under the temporary directory, removed with everything in it.
class scratch_folder {
 public:
  scratch_folder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tolvane-scheduler-XXXXXX").string();
    if (::mkdtemp(pattern.data())) path_ = pattern;
  }
  ~scratch_folder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  comrt::bstr file(const char* name) const { return comrt::bstr(comrt::to_utf16((path_ / name).string())); }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Every scheduler made by a test gets a timer clock that moves only when the test says so, so the
// thread ticks exactly when a test asks and never behind a test that ticks the object directly.
class SchedulerFixture : public ::testing::Test {
 protected:
  ~SchedulerFixture() override {
    tolvane::CScheduler::set_timer_clock(nullptr);
    RtResetClock();
  }

  static com_ptr<tolvane::CScheduler> new_scheduler() { return comrt::make<tolvane::CScheduler>(); }
  // Moves the timer clock on and waits until the scheduler's thread has handled what became due.
  void advance(tolvane::CScheduler* on, std::chrono::milliseconds by) {
    clock->advance(by);
    ASSERT_TRUE(on->thread().thread().wait_idle(kHangGuard)) << "the scheduler thread did not become idle";
  }
  void advance(std::chrono::milliseconds by) { advance(s.get(), by); }
  // An enabled item with one action tagged `tag`, added to the scheduler.
  com_ptr<tolvane::CScheduleItem> add_item(int tag, VARIANT_BOOL marked = VARIANT_FALSE, HRESULT result = S_OK) {
    auto item = comrt::make<tolvane::CScheduleItem>();
    add_action(item.get(), tag, log, result);
    EXPECT_EQ(item->put_ScheduleRun(marked), S_OK);
    EXPECT_EQ(s->AddItem(item.get()), S_OK);
    return item;
  }
  com_ptr<IScheduleItems> items() {
    com_ptr<IScheduleItems> items;
    EXPECT_EQ(s->get_Items(items.put()), S_OK);
    return items;
  }
  VARIANT_BOOL dirty() { return read<VARIANT_BOOL>([&](VARIANT_BOOL* d) { return items()->get_Dirty(d); }); }
  void set_dirty(VARIANT_BOOL d) { EXPECT_EQ(items()->put_Dirty(d), S_OK); }

  static std::shared_ptr<comrt::manual_timer_clock> installed_clock() {
    auto c = std::make_shared<comrt::manual_timer_clock>();
    tolvane::CScheduler::set_timer_clock(c);
    return c;
  }

  const std::shared_ptr<comrt::manual_timer_clock> clock = installed_clock();  // before the scheduler
  const std::shared_ptr<run_log> log = std::make_shared<run_log>();
  scratch_folder folder;
  com_ptr<tolvane::CScheduler> s = comrt::make<tolvane::CScheduler>();
};

}  // namespace sched_test
