// A sink for the item collection's outgoing dispinterface that records every event it receives.
// It needs only the public headers.
#pragma once

#include <functional>
#include <mutex>
#include <vector>

#include <comrt/object.h>

#include "Scheduler.h"

namespace fakes {

// One event received by a DispatchSink: its DISPID and its argument (null when it has none or the
// argument is no object).
struct dispatch_call {
  DISPID id = 0;
  IDispatch* argument = nullptr;
  bool operator==(const dispatch_call&) const = default;
};

class DispatchSink;

}  // namespace fakes

// The dispinterface has no description: its sink serves IDispatch itself and records Invoke.
template <>
struct comrt::dispatch_ops<_IScheduleItemsEvents> {
  static HRESULT get_type_info_count(UINT* count) { return *count = 0, S_OK; }
  static HRESULT get_type_info(UINT, LCID, ITypeInfo**) { return E_NOTIMPL; }
  static HRESULT get_ids_of_names(REFIID, LPOLESTR*, UINT, LCID, DISPID*) { return E_NOTIMPL; }
  static HRESULT invoke(_IScheduleItemsEvents* self, DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*,
                        EXCEPINFO*, UINT*);
};

namespace fakes {

class DispatchSink final : public comrt::implements<DispatchSink, _IScheduleItemsEvents> {
 public:
  std::vector<dispatch_call> calls() {
    std::lock_guard g(m_);
    return calls_;
  }
  void record(dispatch_call call) {
    if (on_call) on_call(call);
    std::lock_guard g(m_);
    calls_.push_back(call);
  }
  std::function<void(const dispatch_call&)> on_call;  // called outside the recording lock

 private:
  std::mutex m_;
  std::vector<dispatch_call> calls_;
};

}  // namespace fakes

inline HRESULT comrt::dispatch_ops<_IScheduleItemsEvents>::invoke(_IScheduleItemsEvents* self, DISPID id, REFIID,
                                                                  LCID, WORD, DISPPARAMS* params, VARIANT*,
                                                                  EXCEPINFO*, UINT*) {
  fakes::dispatch_call call{id, nullptr};
  if (params && params->cArgs == 1 && params->rgvarg[0].vt == VT_DISPATCH) call.argument = params->rgvarg[0].pdispVal;
  static_cast<fakes::DispatchSink*>(self)->record(call);
  return S_OK;
}

