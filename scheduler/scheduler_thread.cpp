#include "scheduler/scheduler_thread.h"

#include <comrt/combase.h>

namespace tolvane {

class CSchedulerThread::loop final : private comrt::message_thread_client {
 public:
  explicit loop(scheduler_tick_target* owner) noexcept : owner_(owner) {}

  HRESULT start(std::shared_ptr<comrt::timer_clock> clock) noexcept {
    comrt::message_thread_options options;
    options.clock = std::move(clock);
    return thread_.start(*this, std::move(options));
  }
  // On the thread: no tick reaches the owner any more.
  void forget_owner() noexcept { owner_ = nullptr; }
  comrt::message_thread& thread() noexcept { return thread_; }

 private:
  bool initialize(comrt::message_queue& queue) override {
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

  bool filter_message(const comrt::thread_message& msg) override {
    switch (msg.message) {
      case WM_TIMER:
        // Every timer message counts as handled; only our own timer's ticks run.
        if (owner_ && timer_id_ != 0 && msg.wparam == timer_id_) owner_->OnTimer();
        return true;
      case WM_USER:
        return true;
      default:
        return false;
    }
  }

  void uninitialize(comrt::message_queue& queue) noexcept override {
    if (timer_id_ != 0) queue.kill_timer(timer_id_);
    timer_id_ = 0;
    if (apartment_) CoUninitialize();
    apartment_ = false;
  }

  // Read and written on the thread only (the owner before the thread starts, too).
  scheduler_tick_target* owner_;
  UINT_PTR timer_id_ = 0;
  bool apartment_ = false;
  comrt::message_thread thread_;  // last: stopped before the members above go
};

CSchedulerThread::CSchedulerThread(scheduler_tick_target* owner) : loop_(std::make_unique<loop>(owner)) {}

CSchedulerThread::~CSchedulerThread() { Stop(); }

HRESULT CSchedulerThread::Start(std::shared_ptr<comrt::timer_clock> clock) noexcept {
  const HRESULT hr = loop_->start(std::move(clock));
  if (FAILED(hr)) return hr;
  // Below-normal priority and background mode; both best effort.
  loop_->thread().set_priority(comrt::thread_priority::below_normal);
  loop_->thread().set_background_mode(true);
  return S_OK;
}

void CSchedulerThread::Stop() noexcept {
  if (!loop_) return;  // stopped on the thread itself before
  comrt::message_thread& thread = loop_->thread();
  thread.set_background_mode(false);
  if (thread.running() && thread.id() == comrt::current_thread_id()) {
    loop_->forget_owner();
    thread.post(WM_QUIT, 0, 0);
    // The loop is kept until this thread exits: thread-local objects are destroyed after the
    // thread's body has returned, when nothing of the thread runs on the loop any more.
    static thread_local std::unique_ptr<loop> kept;
    kept = std::move(loop_);
    return;
  }
  thread.stop();
}

uint32_t CSchedulerThread::thread_id() const noexcept { return loop_ ? loop_->thread().id() : 0; }

comrt::message_thread& CSchedulerThread::thread() noexcept { return loop_->thread(); }

}  // namespace tolvane
