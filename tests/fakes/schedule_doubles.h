// Test doubles for the schedule items and their collections: triggers and actions with scripted
// answers, mock sinks for the item and collection events, a dispatch sink that records every
// Invoke, and guards that fix the clock or the time zone for one test.
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
#include <comrt/timeapi.h>
#include <comrt/variant.h>

#include "Scheduler.h"
#include "server/typelib.h"

namespace fakes {

inline ULONG ref_count(IUnknown* p) {
  p->AddRef();
  return p->Release();
}

// ---------------------------------------------------------------------------------------------
// Triggers

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
  HRESULT clone = S_OK;  // a failure makes Clone fail with it
};

class FakeTrigger final : public comrt::implements<FakeTrigger, IScheduleTrigger, IScheduleTriggerWithOccurrence> {
 public:
  explicit FakeTrigger(trigger_script s = {}, int tag = 0) : script(std::move(s)), tag(tag) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!script.occurrence && riid == IID_IScheduleTriggerWithOccurrence) {
      if (ppv) *ppv = nullptr;
      return E_NOINTERFACE;
    }
    return implements_type::QueryInterface(riid, ppv);
  }
  HRESULT STDMETHODCALLTYPE get_Name(BSTR* pVal) override {
    return comrt::boundary([&] { *comrt::init_out(pVal) = comrt::bstr(u"fake").detach(); });
  }
  HRESULT STDMETHODCALLTYPE ToString(BSTR* pVal) override { return get_Name(pVal); }
  HRESULT STDMETHODCALLTYPE Clone(IScheduleTrigger** ppClone) override {
    return comrt::boundary([&] {
      comrt::init_out(ppClone);
      comrt::check_hresult(script.clone);
      comrt::make<FakeTrigger>(script, tag).copy_to(ppClone);
    });
  }
  HRESULT STDMETHODCALLTYPE IsSet() override {
    ++is_set_calls;
    if (script.is_set.empty()) return script.is_set_after;
    const HRESULT hr = script.is_set.front();
    script.is_set.pop_front();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE Next() override {
    ++next_calls;
    return script.next;
  }
  HRESULT STDMETHODCALLTYPE NextOccurrence(ULONGLONG* pVal) override {
    if (!pVal) return E_POINTER;
    if (FAILED(script.next_occurrence_status)) return script.next_occurrence_status;
    *pVal = script.next_occurrence;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE HasNextOccurrence() override { return script.has_next_occurrence; }

  trigger_script script;
  const int tag;  // shared by the trigger and its clones
  int is_set_calls = 0;
  int next_calls = 0;
};

inline comrt::com_ptr<IScheduleTrigger> trigger(trigger_script s = {}, int tag = 0) {
  return comrt::make<FakeTrigger>(std::move(s), tag);
}

// ---------------------------------------------------------------------------------------------
// Actions

// The runs of a group of actions, in order: each entry is the tag of the action that ran.
struct run_log {
  std::mutex m;
  std::vector<int> runs;
  std::vector<IUnknown*> providers;
  std::vector<int> snapshot() {
    std::lock_guard g(m);
    return runs;
  }
};

class FakeAction final : public comrt::implements<FakeAction, IScheduleAction> {
 public:
  FakeAction(int tag, HRESULT result, std::shared_ptr<run_log> log)
      : tag(tag), result(result), log(std::move(log)) {}

  HRESULT STDMETHODCALLTYPE Run(IUnknown* pServiceProvider) override {
    if (on_run) on_run();
    std::lock_guard g(log->m);
    log->runs.push_back(tag);
    log->providers.push_back(pServiceProvider);
    return result;
  }
  HRESULT STDMETHODCALLTYPE Clone(IScheduleAction** ppClone) override {
    return comrt::boundary([&] {
      comrt::init_out(ppClone);
      comrt::check_hresult(clone_result);
      comrt::make<FakeAction>(tag, result, log).copy_to(ppClone);
    });
  }

  const int tag;
  const HRESULT result;
  const std::shared_ptr<run_log> log;
  HRESULT clone_result = S_OK;
  std::function<void()> on_run;  // called before the run is recorded
};

// ---------------------------------------------------------------------------------------------
// Sinks

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

// One Invoke received by a DispatchSink.
struct dispatch_call {
  DISPID id = 0;
  bool iid_null = false;
  LCID lcid = 0;
  WORD flags = 0;
  std::vector<VARTYPE> types;  // of the positional arguments, last to first as they arrive
  IDispatch* argument = nullptr;  // the first argument when it is VT_DISPATCH
  UINT named = 0;
  bool no_buffers = false;  // no result, exception or argument-error buffer
};

class DispatchSink;

}  // namespace fakes

// The dispinterface has no description: its sink serves IDispatch itself and records Invoke.
template <>
struct comrt::dispatch_ops<_IScheduleItemsEvents> {
  static HRESULT get_type_info_count(UINT* count) {
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  static HRESULT get_type_info(UINT, LCID, ITypeInfo**) { return E_NOTIMPL; }
  static HRESULT get_ids_of_names(REFIID, LPOLESTR*, UINT, LCID, DISPID*) { return E_NOTIMPL; }
  static HRESULT invoke(_IScheduleItemsEvents* self, DISPID id, REFIID riid, LCID lcid, WORD flags,
                        DISPPARAMS* params, VARIANT* result, EXCEPINFO* excep, UINT* arg_err);
};

namespace fakes {

class DispatchSink final : public comrt::implements<DispatchSink, _IScheduleItemsEvents> {
 public:
  std::vector<dispatch_call> calls() {
    std::lock_guard g(m_);
    return calls_;
  }
  void record(dispatch_call call) {
    std::lock_guard g(m_);
    calls_.push_back(std::move(call));
  }
  HRESULT result = S_OK;
  std::function<void(const dispatch_call&)> on_call;  // called outside the recording lock

 private:
  std::mutex m_;
  std::vector<dispatch_call> calls_;
};

}  // namespace fakes

inline HRESULT comrt::dispatch_ops<_IScheduleItemsEvents>::invoke(_IScheduleItemsEvents* self, DISPID id, REFIID riid,
                                                                  LCID lcid, WORD flags, DISPPARAMS* params,
                                                                  VARIANT* result, EXCEPINFO* excep, UINT* arg_err) {
  auto* sink = static_cast<fakes::DispatchSink*>(self);
  fakes::dispatch_call call;
  call.id = id;
  call.iid_null = riid == IID_NULL;
  call.lcid = lcid;
  call.flags = flags;
  call.no_buffers = !result && !excep && !arg_err;
  if (params) {
    call.named = params->cNamedArgs;
    for (UINT i = 0; i < params->cArgs; ++i) call.types.push_back(params->rgvarg[i].vt);
    if (params->cArgs > 0 && params->rgvarg[0].vt == VT_DISPATCH) call.argument = params->rgvarg[0].pdispVal;
  }
  if (sink->on_call) sink->on_call(call);
  sink->record(std::move(call));
  return sink->result;
}

namespace fakes {

// ---------------------------------------------------------------------------------------------
// Connection points

template <class I>
comrt::com_ptr<IConnectionPoint> point_of(IUnknown* source) {
  comrt::com_ptr<IConnectionPoint> cp;
  comrt::check_hresult(comrt::query<IConnectionPointContainer>(source)->FindConnectionPoint(comrt::uuidof<I>(), cp.put()));
  return cp;
}

template <class I>
DWORD advise(IUnknown* source, IUnknown* sink) {
  DWORD cookie = 0;
  comrt::check_hresult(point_of<I>(source)->Advise(sink, &cookie));
  return cookie;
}

template <class I>
HRESULT unadvise(IUnknown* source, DWORD cookie) {
  return point_of<I>(source)->Unadvise(cookie);
}

// ---------------------------------------------------------------------------------------------
// Clock and zone

// Fixes the runtime's clock at a FILETIME value for the guard's lifetime.
class fixed_clock {
 public:
  explicit fixed_clock(uint64_t filetime) { RtSetClock(filetime); }
  ~fixed_clock() { RtResetClock(); }
  fixed_clock(const fixed_clock&) = delete;
  fixed_clock& operator=(const fixed_clock&) = delete;
};

// Sets TZ for the guard's lifetime (the runtime reads it on every call).
class time_zone {
 public:
  explicit time_zone(const char* tz) {
    if (const char* old = std::getenv("TZ")) old_ = old;
    setenv("TZ", tz, 1);
  }
  ~time_zone() {
    if (old_) {
      setenv("TZ", old_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
  }
  time_zone(const time_zone&) = delete;
  time_zone& operator=(const time_zone&) = delete;

 private:
  std::optional<std::string> old_;
};

// An item's collections, read through its interface.
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

}  // namespace fakes
