// The scheduler's test fixture: a scheduler whose thread ticks on a clock that moves only when the
// test says so, a scratch folder for its schedule file, and helpers that build items.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include <comrt/message_queue.h>
#include <comrt/strings.h>
#include <comrt/time.h>

#include "fakes/schedule_doubles.h"
#include "fakes/transfer_queue_mocks.h"
#include "items/schedule_item.h"
#include "scheduler/scheduler.h"
#include "triggers/schedule_trigger.h"

namespace sched_test {

using comrt::com_ptr;
using namespace fakes;

// How long a test waits for a thread before it reports a hang (never reached when all is well).
inline constexpr std::chrono::milliseconds kHangGuard{60'000};
inline constexpr uint64_t kT0 = 133'500'000'000'000'000;  // a FILETIME in 2024
inline constexpr uint64_t kSecond = 10'000'000;

// A schedule file that the tests script: what reaches it, with which path, and what it answers.
class MockStorage : public tolvane::schedule_storage {
 public:
  MOCK_METHOD(HRESULT, load, (const std::u16string& path, IXMLArchiveSerializable* root), (noexcept, override));
  MOCK_METHOD(HRESULT, save, (const std::u16string& path, IXMLArchiveSerializable* root), (noexcept, override));
};

// A site that offers no services (no transfer queue) and takes no proffers.
inline mock_ptr<MockServiceProvider> service_only_site() { return make_mock<MockServiceProvider>(nullptr); }

// An item with the given trigger and, when given, action.
inline com_ptr<tolvane::CScheduleItem> item_with(IScheduleTrigger* trigger, IScheduleAction* action = nullptr) {
  auto item = comrt::make<tolvane::CScheduleItem>();
  EXPECT_EQ(triggers_of(item.get())->Add(trigger), S_OK);
  EXPECT_EQ(action ? actions_of(item.get())->Add(action) : S_OK, S_OK);
  return item;
}

// A time trigger on the UTC runtime clock, due `in` seconds from now, then every `every` seconds
// (never again when 0).
inline com_ptr<IScheduleTrigger> time_trigger(int64_t in, LONG every = 0) {
  auto trigger = comrt::make<tolvane::CScheduleScheduleTrigger>();
  EXPECT_EQ(trigger->put_UTC(VARIANT_TRUE), S_OK);
  if (every) {
    EXPECT_EQ(trigger->put_Recurrence(tvScheduleScheduleTriggerRecurrenceCustom), S_OK);
    EXPECT_EQ(trigger->put_RecurrenceTimeInterval(every), S_OK);
  }
  EXPECT_EQ(trigger->put_StartTimeAsUnixTime(static_cast<ULONGLONG>(comrt::now_unix() + in)), S_OK);
  EXPECT_EQ(trigger->UpdateNextOccurrence(), S_OK);
  return trigger.as<IScheduleTrigger>();
}

inline com_ptr<IScheduleItems> items_of(IScheduler* s) {
  com_ptr<IScheduleItems> items;
  EXPECT_EQ(s->get_Items(items.put()), S_OK);
  return items;
}
inline VARIANT_BOOL dirty(IScheduler* s) { return read<VARIANT_BOOL>([&](VARIANT_BOOL* d) { return items_of(s)->get_Dirty(d); }); }
inline void set_dirty(IScheduler* s, VARIANT_BOOL d) { EXPECT_EQ(items_of(s)->put_Dirty(d), S_OK); }

// Every scheduler made by a test gets a timer clock that moves only when the test says so, so the
// thread ticks exactly when a test asks and never behind a test that ticks the object directly.
class SchedulerFixture : public ::testing::Test {
 protected:
  ~SchedulerFixture() override {
    s = nullptr;
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    tolvane::CScheduler::set_timer_clock(nullptr);
    RtResetClock();
  }
  // A folder of its own under the temporary directory, removed with everything in it.
  static std::filesystem::path new_dir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tolvane-scheduler-XXXXXX").string();
    return ::mkdtemp(pattern.data()) ? pattern : "";
  }
  comrt::bstr file(const char* name) const { return comrt::bstr(comrt::to_utf16((dir / name).string())); }

  static com_ptr<tolvane::CScheduler> new_scheduler() { return comrt::make<tolvane::CScheduler>(); }
  // Moves the timer clock on and waits until the scheduler's thread has handled what became due.
  void advance(std::chrono::milliseconds by) {
    clock->advance(by);
    ASSERT_TRUE(s->thread().thread().wait_idle(kHangGuard)) << "the scheduler thread did not become idle";
  }
  // An enabled item with one action tagged `tag`, added to the scheduler.
  com_ptr<tolvane::CScheduleItem> add_item(int tag, VARIANT_BOOL marked = VARIANT_FALSE, HRESULT result = S_OK) {
    auto item = comrt::make<tolvane::CScheduleItem>();
    add_action(item.get(), tag, log, result);
    EXPECT_EQ(item->put_ScheduleRun(marked), S_OK);
    EXPECT_EQ(s->AddItem(item.get()), S_OK);
    return item;
  }
  com_ptr<IScheduleItems> items() { return items_of(s.get()); }
  VARIANT_BOOL dirty() { return sched_test::dirty(s.get()); }
  void set_dirty(VARIANT_BOOL d) { sched_test::set_dirty(s.get(), d); }

  static std::shared_ptr<comrt::manual_timer_clock> installed_clock() {
    auto c = std::make_shared<comrt::manual_timer_clock>();
    tolvane::CScheduler::set_timer_clock(c);
    return c;
  }

  const std::shared_ptr<comrt::manual_timer_clock> clock = installed_clock();  // before the scheduler
  const std::shared_ptr<run_log> log = std::make_shared<run_log>();
  const std::filesystem::path dir = new_dir();
  com_ptr<tolvane::CScheduler> s = comrt::make<tolvane::CScheduler>();
};

}  // namespace sched_test
