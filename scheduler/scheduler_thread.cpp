#include "scheduler/scheduler_thread.h"

#include <comrt/combase.h>

namespace tolvane {

CSchedulerThread::~CSchedulerThread() { Stop(); }

HRESULT CSchedulerThread::Start(std::shared_ptr<comrt::timer_clock> clock) noexcept {
  comrt::message_thread_options options;
  options.clock = std::move(clock);
  const HRESULT hr = thread_.start(*this, std::move(options));
  if (FAILED(hr)) return hr;
  // Below-normal priority and background mode; both best effort.
  thread_.set_priority(comrt::thread_priority::below_normal);
  thread_.set_background_mode(true);
  return S_OK;
}

void CSchedulerThread::Stop() noexcept {
  thread_.set_background_mode(false);
  thread_.stop();
}

bool CSchedulerThread::initialize(comrt::message_queue& queue) {
  if (!owner_) return false;
  if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return false;
  apartment_ = true;
  // A timer that cannot be made leaves a thread that never ticks.
  try {
    timer_id_ = queue.set_timer(tick_period);
  } catch (...) {
    timer_id_ = 0;
  }
  return true;
}

bool CSchedulerThread::filter_message(const comrt::thread_message& msg) {
  switch (msg.message) {
    case WM_TIMER:
      // Every timer message counts as handled; only our own timer's ticks run.
      if (timer_id_ != 0 && msg.wparam == timer_id_) owner_->OnTimer();
      return true;
    case WM_USER:
      return true;
    default:
      return false;
  }
}

void CSchedulerThread::uninitialize(comrt::message_queue& queue) noexcept {
  if (timer_id_ != 0) queue.kill_timer(timer_id_);
  timer_id_ = 0;
  if (apartment_) CoUninitialize();
  apartment_ = false;
}

}  // namespace tolvane
