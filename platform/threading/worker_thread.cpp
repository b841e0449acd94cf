// Worker threads on pthreads (an explicit stack size is part of their options) and the message loop.
#include "comrt/worker_thread.h"

#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "comrt/guid.h"
#include "comrt/object.h"
#include "internal.h"

namespace comrt {

namespace {

// pthread_create's errors as statuses: running out of threads is reported as the platform's
// thread creation reports it; the rest as the runtime maps errno values.
HRESULT status_from_create_error(int err) noexcept {
  if (err == EAGAIN) return HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY);
  return hresult_from_errno(err);
}

int nice_offset(thread_priority priority) noexcept {
  switch (priority) {
    case thread_priority::lowest: return 10;
    case thread_priority::below_normal: return 5;
    case thread_priority::normal: return 0;
    case thread_priority::above_normal: return -5;
    case thread_priority::highest: return -10;
  }
  return 0;
}

// ioprio_set(2) has no wrapper in the C library.
constexpr int ioprio_who_process = 1;
constexpr int ioprio_class_shift = 13;
constexpr int ioprio_class_best_effort = 2;
constexpr int ioprio_lowest_best_effort = (ioprio_class_best_effort << ioprio_class_shift) | 7;
constexpr int ioprio_default = 0;  // no class: derived from the nice value

class thread_attributes {
 public:
  thread_attributes() noexcept { ok_ = pthread_attr_init(&attr_) == 0; }
  ~thread_attributes() {
    if (ok_) pthread_attr_destroy(&attr_);
  }
  thread_attributes(const thread_attributes&) = delete;
  thread_attributes& operator=(const thread_attributes&) = delete;
  bool ok() const noexcept { return ok_; }
  pthread_attr_t* get() noexcept { return &attr_; }

 private:
  pthread_attr_t attr_{};
  bool ok_ = false;
};

}  // namespace

worker_thread::worker_thread() noexcept = default;

worker_thread::~worker_thread() { join(); }

HRESULT worker_thread::start(body_type body, const thread_options& options) noexcept {
  lock_guard join_guard(join_mutex_);
  if (joinable_) {
    if (running()) return E_FAIL;
    join_locked();
  }
  if (!body) return E_INVALIDARG;

  thread_attributes attributes;
  if (!attributes.ok()) return E_OUTOFMEMORY;
  if (options.stack_size != 0) {
    if (int err = pthread_attr_setstacksize(attributes.get(), options.stack_size); err != 0) {
      return status_from_create_error(err);
    }
  }

  body_ = std::move(body);
  started_.reset();
  exited_.reset();
  {
    lock_guard guard(state_mutex_);
    exit_code_.reset();
    start_failure_ = E_FAIL;
    errno = 0;
    const int nice_now = getpriority(PRIO_PROCESS, 0);  // this thread's nice value on Linux
    base_nice_ = errno == 0 ? nice_now : 0;
  }
  id_.store(detail::allocate_thread_id(), std::memory_order_release);

  if (int err = pthread_create(&handle_, attributes.get(), &worker_thread::entry, this); err != 0) {
    id_.store(0, std::memory_order_release);
    exited_.set();
    return status_from_create_error(err);
  }
  joinable_ = true;

  return boundary([&] {
    event* outcomes[] = {&started_, &exited_};
    if (wait_any(outcomes) == 0) return S_OK;
    lock_guard guard(state_mutex_);
    return FAILED(start_failure_) ? start_failure_ : E_FAIL;
  });
}

void* worker_thread::entry(void* arg) noexcept {
  auto* self = static_cast<worker_thread*>(arg);
  detail::set_current_thread_id(self->id_.load(std::memory_order_acquire));
  {
    lock_guard guard(self->state_mutex_);
    self->tid_ = gettid();
  }
  uint32_t code = 1;
  HRESULT failure = E_FAIL;
  try {
    code = self->body_(*self);
  } catch (...) {
    failure = to_hresult();
  }
  {
    lock_guard guard(self->state_mutex_);
    self->tid_ = 0;
    self->exit_code_ = code;
    self->start_failure_ = failure;
  }
  self->exited_.set();
  return nullptr;
}

void worker_thread::signal_started() noexcept { started_.set(); }

void worker_thread::join() noexcept {
  lock_guard guard(join_mutex_);
  join_locked();
}

void worker_thread::join_locked() noexcept {
  if (!joinable_) return;
  if (pthread_equal(handle_, pthread_self())) {
    pthread_detach(handle_);
  } else {
    pthread_join(handle_, nullptr);
  }
  joinable_ = false;
}

bool worker_thread::running() const noexcept {
  return !exited_.is_set();
}

std::optional<uint32_t> worker_thread::exit_code() const noexcept {
  lock_guard guard(state_mutex_);
  return exit_code_;
}

void worker_thread::set_priority(thread_priority priority) noexcept {
  lock_guard guard(state_mutex_);
  if (tid_ == 0) return;
  const int nice_value = std::clamp(base_nice_ + nice_offset(priority), -20, 19);
  (void)setpriority(PRIO_PROCESS, static_cast<id_t>(tid_), nice_value);
}

void worker_thread::set_background_mode(bool on) noexcept {
  lock_guard guard(state_mutex_);
  if (tid_ == 0) return;
  const sched_param param{};
  (void)sched_setscheduler(tid_, on ? SCHED_BATCH : SCHED_OTHER, &param);
  (void)syscall(SYS_ioprio_set, ioprio_who_process, tid_, on ? ioprio_lowest_best_effort : ioprio_default);
}

// ---------------------------------------------------------------------------------------------

message_thread::~message_thread() { stop(); }

HRESULT message_thread::start(message_thread_client& client, message_thread_options options) noexcept {
  auto clock = std::move(options.clock);
  return worker_thread::start(
      [&client, clock](worker_thread& self) -> uint32_t {
        message_queue queue(clock ? clock : default_timer_clock());
        if (!client.initialize(queue)) return 1;
        struct uninitialize_at_end {
          message_thread_client& client;
          message_queue& queue;
          ~uninitialize_at_end() { client.uninitialize(queue); }
        } at_end{client, queue};
        self.signal_started();
        thread_message msg;
        while (queue.get_message(msg)) client.filter_message(msg);
        return static_cast<uint32_t>(msg.wparam);
      },
      thread_options{.stack_size = options.stack_size});
}

bool message_thread::post(UINT message, WPARAM wparam, LPARAM lparam) const noexcept {
  return post_thread_message(id(), message, wparam, lparam);
}

void message_thread::stop() noexcept {
  post(WM_QUIT, 0, 0);
  join();
}

bool message_thread::wait_idle(std::chrono::milliseconds timeout) const { return wait_thread_idle(id(), timeout); }

}  // namespace comrt
