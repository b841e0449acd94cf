// Test doubles for the schedule items and their collections: triggers and actions with scripted
// answers, mock sinks for the item and collection events, and guards that fix the clock or the time zone for one test.
#pragma once

#include <gmock/gmock.h>

#include <cstdlib>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <comrt/connection_point.h>
#include <comrt/object.h>
#include <comrt/ocidl.h>
#include <comrt/time.h>
#include <comrt/timeapi.h>

#include "Scheduler.h"
#include "fakes/com_helpers.h"
#include "fakes/dispatch_sink.h"
#include "server/typelib.h"

namespace fakes {

// What a fake trigger answers. IsSet hands out the answers of `is_set` one per call, then
// `is_set_after` for ever. Without `occurrence` the trigger does not answer
// IScheduleTriggerWithOccurrence (as a folder monitor or an instantiation trigger).
struct trigger_script {
  std::deque<HRESULT> is_set{};
  HRESULT is_set_after = S_FALSE;
  HRESULT next = S_OK;
  bool occurrence = true;
  ULONGLONG next_occurrence = 0;
  HRESULT next_occurrence_status = S_OK;
  HRESULT has_next_occurrence = S_FALSE;
};

class FakeTrigger final : public comrt::implements<FakeTrigger, IScheduleTrigger, IScheduleTriggerWithOccurrence> {
 public:
  explicit FakeTrigger(trigger_script s = {}, int tag = 0) : script(std::move(s)), tag(tag) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!script.occurrence && riid == IID_IScheduleTriggerWithOccurrence) return *ppv = nullptr, E_NOINTERFACE;
    return implements_type::QueryInterface(riid, ppv);
  }
  HRESULT STDMETHODCALLTYPE get_Name(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE ToString(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Clone(IScheduleTrigger** ppClone) override {
    return comrt::make<FakeTrigger>(script, tag).copy_to(ppClone), S_OK;
  }
  HRESULT STDMETHODCALLTYPE IsSet() override {
    ++is_set_calls;
    if (script.is_set.empty()) return script.is_set_after;
    const HRESULT hr = script.is_set.front();
    script.is_set.pop_front();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE Next() override { return ++next_calls, script.next; }
  HRESULT STDMETHODCALLTYPE NextOccurrence(ULONGLONG* pVal) override {
    return *pVal = script.next_occurrence, script.next_occurrence_status;
  }
  HRESULT STDMETHODCALLTYPE HasNextOccurrence() override { return script.has_next_occurrence; }

  trigger_script script;
  const int tag;  // shared by the trigger and its clones
  int is_set_calls = 0;
  int next_calls = 0;
};

// The runs of a group of actions, in order: each entry is the tag of the action that ran.
struct run_log {
  std::mutex m;
  std::vector<int> runs;
  std::vector<IUnknown*> providers;
  std::vector<int> snapshot() { std::lock_guard g(m); return runs; }
};

class FakeAction final : public comrt::implements<FakeAction, IScheduleAction> {
 public:
  FakeAction(int tag, HRESULT result, std::shared_ptr<run_log> log) : tag(tag), result(result), log(std::move(log)) {}

  HRESULT STDMETHODCALLTYPE Run(IUnknown* pServiceProvider) override {
    if (on_run) on_run();
    std::lock_guard g(log->m);
    log->runs.push_back(tag);
    log->providers.push_back(pServiceProvider);
    return result;
  }
  HRESULT STDMETHODCALLTYPE Clone(IScheduleAction** ppClone) override {
    return SUCCEEDED(clone_result) ? comrt::make<FakeAction>(tag, result, log).copy_to(ppClone), S_OK : clone_result;
  }

  const int tag;
  const HRESULT result;
  const std::shared_ptr<run_log> log;
  HRESULT clone_result = S_OK;
  std::function<void()> on_run;  // called before the run is recorded
};

class MockItemEvents final : public comrt::implements<MockItemEvents, IScheduleItemEvents> {
 public:
  MOCK_METHOD(HRESULT, OnUpdate, (IScheduleItem * pItem), (override));
};

class MockItemsEvents final : public comrt::implements<MockItemsEvents, IScheduleItemsEvents> {
 public:
  MOCK_METHOD(HRESULT, OnAddItem, (IScheduleItem * pItem), (override));
  MOCK_METHOD(HRESULT, OnRemoveItem, (IScheduleItem * pItem), (override));
  MOCK_METHOD(HRESULT, OnUpdateItem, (IScheduleItem * pItem), (override));
  MOCK_METHOD(HRESULT, OnRemoveAllItems, (), (override));
};

// Fixes the runtime's clock at a FILETIME value for the guard's lifetime.
struct fixed_clock {
  explicit fixed_clock(uint64_t filetime) { RtSetClock(filetime); }
  ~fixed_clock() { RtResetClock(); }
};

// Sets TZ for the guard's lifetime (the runtime reads it on every call).
class time_zone {
 public:
  explicit time_zone(const char* tz) {
    if (const char* old = std::getenv("TZ")) old_ = old;
    setenv("TZ", tz, 1);
  }
  ~time_zone() { old_ ? setenv("TZ", old_->c_str(), 1) : unsetenv("TZ"); }

 private:
  std::optional<std::string> old_;
};

inline comrt::com_ptr<IScheduleActions> actions_of(IScheduleItem* item) {
  comrt::com_ptr<IScheduleActions> a;
  EXPECT_EQ(item->get_Actions(a.put()), S_OK);
  return a;
}
inline comrt::com_ptr<IScheduleTriggers> triggers_of(IScheduleItem* item) {
  comrt::com_ptr<IScheduleTriggers> t;
  EXPECT_EQ(item->get_Triggers(t.put()), S_OK);
  return t;
}
// Appends a recording action to the item's actions.
inline comrt::com_ptr<FakeAction> add_action(IScheduleItem* item, int tag, std::shared_ptr<run_log> log,
                                             HRESULT result = S_OK) {
  auto a = comrt::make<FakeAction>(tag, result, std::move(log));
  EXPECT_EQ(actions_of(item)->Add(a.get()), S_OK);
  return a;
}
inline comrt::com_ptr<FakeTrigger> add_trigger(IScheduleItem* item, trigger_script script, int tag = 0) {
  auto t = comrt::make<FakeTrigger>(std::move(script), tag);
  EXPECT_EQ(triggers_of(item)->Add(t.get()), S_OK);
  return t;
}

template <class T, class Getter>
T read(Getter getter) {
  T value{};
  EXPECT_EQ(getter(&value), S_OK);
  return value;
}
inline VARIANT_BOOL schedule_run(IScheduleItem* item) {
  return read<VARIANT_BOOL>([&](VARIANT_BOOL* b) { return item->get_ScheduleRun(b); });
}
inline HRESULT last_result(IScheduleItem* item) {
  return read<HRESULT>([&](HRESULT* hr) { return item->get_LastTaskResult(hr); });
}
inline uint64_t last_run(IScheduleItem* item) {
  return comrt::to_ticks(read<FILETIME>([&](FILETIME* t) { return item->get_LastRunTime(t); }));
}
template <class C>
LONG count_of(C* collection) {
  return read<LONG>([&](LONG* n) { return collection->get_Count(n); });
}

}  // namespace fakes
