// Doubles for the scheduler's tests: a trigger collection with scripted answers, host sites with and
// without the proffer interface, a tick target for the thread on its own, and helpers that build
// items and drive the scheduler thread with a clock that moves only when told.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <comrt/message_queue.h>
#include <comrt/ocidl.h>
#include <comrt/strings.h>
#include <comrt/time.h>

#include "fakes/schedule_doubles.h"
#include "items/schedule_item.h"
#include "scheduler/scheduler.h"

namespace sched_test {

using comrt::com_ptr;

// How long a test waits for a thread before it reports a hang (never reached when all is well).
inline constexpr std::chrono::milliseconds kHangGuard{60'000};
// A FILETIME in 2024.
inline constexpr uint64_t kT0 = 133'500'000'000'000'000;
inline constexpr uint64_t kSecond = 10'000'000;

// ---------------------------------------------------------------------------------------------
// A trigger collection that answers IsSet with a fixed status and counts what the tick asks.

class FakeTriggers final : public comrt::implements<FakeTriggers, IScheduleTriggers> {
 public:
  explicit FakeTriggers(HRESULT is_set, LONG count = 1) : is_set_result(is_set), count(count) {}

  HRESULT STDMETHODCALLTYPE get_Count(LONG* pVal) override {
    if (!pVal) return E_POINTER;
    *pVal = count;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE IsSet(IScheduleTrigger** retval) override {
    ++is_set_calls;
    if (!retval) return E_POINTER;
    *retval = nullptr;
    if (is_set_result == S_OK) fakes::trigger().copy_to(retval);
    return is_set_result;
  }
  HRESULT STDMETHODCALLTYPE Next() override {
    ++next_calls;
    return next_result;
  }

  HRESULT STDMETHODCALLTYPE get_Item(LONG, IScheduleTrigger**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_NewEnum(IEnumScheduleTrigger**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_NextRunTime(DATE*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_NextRunTimeAsUnixTime(ULONGLONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Clone(IScheduleTriggers**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Copy(IScheduleTriggers*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Empty() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Add(IScheduleTrigger*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE AddItems(IScheduleTriggers*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Remove(IScheduleTrigger*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE HasNextRunTime() override { return E_NOTIMPL; }

  const HRESULT is_set_result;
  const LONG count;
  HRESULT next_result = S_OK;
  std::atomic<int> is_set_calls{0};
  std::atomic<int> next_calls{0};
};

// ---------------------------------------------------------------------------------------------
// Host sites

// A site that takes proffers and records them; the provider it is proffered is only observed, not
// held, so a test that never revokes leaks nothing. It offers no services of its own.
class ProfferingSite final : public comrt::implements<ProfferingSite, IServiceProvider, IProfferService> {
 public:
  HRESULT STDMETHODCALLTYPE QueryService(REFGUID, REFIID, void** ppv) override {
    if (ppv) *ppv = nullptr;
    return E_NOINTERFACE;
  }
  HRESULT STDMETHODCALLTYPE ProfferService(REFGUID service, IServiceProvider* psp, DWORD* pdwCookie) override {
    ++proffer_calls;
    proffered_service = service;
    proffered_provider = psp;
    if (FAILED(proffer_result)) return proffer_result;
    *pdwCookie = cookie_to_give;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE RevokeService(DWORD dwCookie) override {
    revoked.push_back(dwCookie);
    proffered_provider = nullptr;
    return S_OK;
  }

  HRESULT proffer_result = S_OK;
  DWORD cookie_to_give = 0x1234;

  int proffer_calls = 0;
  GUID proffered_service{};
  IServiceProvider* proffered_provider = nullptr;  // observed only
  std::vector<DWORD> revoked;
};

// A site that offers services but takes no proffers.
class ServiceOnlySite final : public comrt::implements<ServiceOnlySite, IServiceProvider> {
 public:
  HRESULT STDMETHODCALLTYPE QueryService(REFGUID, REFIID, void** ppv) override {
    if (ppv) *ppv = nullptr;
    return E_NOINTERFACE;
  }
};

// A site that is neither a service provider nor takes proffers.
class BareSite final : public comrt::implements<BareSite, IPersist> {
 public:
  HRESULT STDMETHODCALLTYPE GetClassID(CLSID* pClassID) override { return comrt::persist_class_id(pClassID, GUID{}); }
};

// ---------------------------------------------------------------------------------------------
// The thread on its own

class CountingTarget final : public tolvane::scheduler_tick_target {
 public:
  void OnTimer() noexcept override {
    if (on_tick) on_tick();
    ticks.fetch_add(1);
  }
  std::atomic<int> ticks{0};
  std::function<void()> on_tick;  // set before the thread starts
};

// ---------------------------------------------------------------------------------------------
// Items and the scheduler

inline com_ptr<tolvane::CScheduleItem> new_item() { return comrt::make<tolvane::CScheduleItem>(); }

using fakes::actions_of;
using fakes::add_action;
using fakes::triggers_of;

inline com_ptr<fakes::FakeTrigger> add_trigger(IScheduleItem* item, fakes::trigger_script script) {
  auto t = comrt::make<fakes::FakeTrigger>(std::move(script));
  EXPECT_EQ(triggers_of(item)->Add(t.get()), S_OK);
  return t;
}

inline VARIANT_BOOL schedule_run(IScheduleItem* item) {
  VARIANT_BOOL b = 7;
  EXPECT_EQ(item->get_ScheduleRun(&b), S_OK);
  return b;
}
inline HRESULT last_result(IScheduleItem* item) {
  HRESULT hr = S_OK;
  EXPECT_EQ(item->get_LastTaskResult(&hr), S_OK);
  return hr;
}
inline uint64_t last_run(IScheduleItem* item) {
  FILETIME t{};
  EXPECT_EQ(item->get_LastRunTime(&t), S_OK);
  return comrt::to_ticks(t);
}

inline com_ptr<IScheduleItems> items_of(IScheduler* s) {
  com_ptr<IScheduleItems> items;
  EXPECT_EQ(s->get_Items(items.put()), S_OK);
  return items;
}
inline VARIANT_BOOL dirty(IScheduler* s) {
  VARIANT_BOOL d = 7;
  EXPECT_EQ(items_of(s)->get_Dirty(&d), S_OK);
  return d;
}
inline void set_dirty(IScheduler* s, VARIANT_BOOL d) { EXPECT_EQ(items_of(s)->put_Dirty(d), S_OK); }

// Every scheduler made by a test gets a timer clock that moves only when the test says so, so the
// thread ticks exactly when a test asks and never behind a test that ticks the object directly.
class SchedulerFixture : public ::testing::Test {
 protected:
  SchedulerFixture() { tolvane::CScheduler::set_timer_clock(clock); }
  ~SchedulerFixture() override {
    tolvane::CScheduler::set_timer_clock(nullptr);
    RtResetClock();
  }

  static com_ptr<tolvane::CScheduler> new_scheduler() { return comrt::make<tolvane::CScheduler>(); }

  // Moves the timer clock on and waits until the scheduler's thread has handled what became due.
  void advance(tolvane::CScheduler* s, std::chrono::milliseconds by) {
    clock->advance(by);
    ASSERT_TRUE(s->thread().thread().wait_idle(kHangGuard)) << "the scheduler thread did not become idle";
  }

  const std::shared_ptr<comrt::manual_timer_clock> clock = std::make_shared<comrt::manual_timer_clock>();
  const std::shared_ptr<fakes::run_log> log = std::make_shared<fakes::run_log>();
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
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  scratch_folder(const scratch_folder&) = delete;
  scratch_folder& operator=(const scratch_folder&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace sched_test
