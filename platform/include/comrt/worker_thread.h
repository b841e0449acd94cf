// Worker threads that report a failed start as a status, and threads that run a message loop.
//
// worker_thread runs a body on a new thread. start() returns once the body has called
// signal_started() (S_OK) or has ended without doing so (a failure status: the status of the
// exception that escaped the body, or E_FAIL), so a thread that fails to initialise never leaves
// its creator waiting. The object joins its thread when destroyed; whoever owns it must first make
// the body end (for a message_thread, stop() does that).
//
// message_thread runs the usual loop of a thread that owns a message queue: the queue is created
// on the thread, the client initialises (typically setting a timer), the creator is released, and
// every message but WM_QUIT goes to the client's filter until WM_QUIT ends the loop with its wparam
// as the exit code.
//
//   class ticker final : comrt::message_thread_client {
//     bool initialize(comrt::message_queue& q) override { timer_ = q.set_timer(500ms); return true; }
//     bool filter_message(const comrt::thread_message& m) override { ... return true; }
//     void uninitialize(comrt::message_queue& q) noexcept override { q.kill_timer(timer_); }
//     UINT_PTR timer_ = 0;
//     comrt::message_thread thread_;  // last member: stopped and joined before the others go
//   };
//
// A thread must not join or destroy its own worker_thread object (a join from the thread itself
// detaches it instead of deadlocking, and the object must then stay alive until the thread ends).
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "comrt/event.h"
#include "comrt/message_queue.h"
#include "comrt/thread_annotations.h"
#include "comrt/types.h"

namespace comrt {

// Relative scheduling priority, in the steps of the Win32 thread priorities; applied as the
// thread's nice value relative to the nice value of the thread that started it.
enum class thread_priority { lowest, below_normal, normal, above_normal, highest };

struct thread_options {
  std::size_t stack_size = 0;  // 0: the system's default
};

class worker_thread {
 public:
  using body_type = std::function<uint32_t(worker_thread&)>;

  worker_thread() noexcept;
  ~worker_thread();
  worker_thread(const worker_thread&) = delete;
  worker_thread& operator=(const worker_thread&) = delete;

  // Starts a thread running body(*this) and waits as described above. E_FAIL while a thread that
  // this object started is still running; a thread that has ended is joined first. A failure to
  // create the thread is returned as a status.
  HRESULT start(body_type body, const thread_options& options = {}) noexcept;
  // Called by the body once it is ready: releases start().
  void signal_started() noexcept;
  // Waits without a time limit for the thread to end. Does nothing if there is no thread.
  void join() noexcept;

  // The identifier of the current (or last) thread, for post_thread_message; 0 before start().
  uint32_t id() const noexcept { return id_.load(std::memory_order_acquire); }
  bool running() const noexcept;
  // The body's result once the thread has ended (1 if a failure escaped it); empty before.
  std::optional<uint32_t> exit_code() const noexcept;
  // Set while no thread runs; reset by start(). Lets others wait for the thread's end with wait_any.
  event& exit_event() noexcept { return exited_; }

  // Best effort, results ignored; no effect once the thread has ended.
  void set_priority(thread_priority priority) noexcept;
  // Background mode: batch CPU scheduling and the lowest best-effort I/O priority; off restores both.
  void set_background_mode(bool on) noexcept;

 private:
  static void* entry(void* self) noexcept;
  void join_locked() noexcept COMRT_REQUIRES(join_mutex_);

  // Written by start() while no thread runs, read by the thread it then creates.
  body_type body_;
  std::atomic<uint32_t> id_{0};
  event started_{event_reset::manual};
  event exited_{event_reset::manual, true};

  mutex join_mutex_;  // serialises start() and join()
  pthread_t handle_ COMRT_GUARDED_BY(join_mutex_){};
  bool joinable_ COMRT_GUARDED_BY(join_mutex_) = false;

  // The thread clears tid_ under this lock before it ends, so a tid_ read under it names a live thread.
  mutable mutex state_mutex_;
  pid_t tid_ COMRT_GUARDED_BY(state_mutex_) = 0;
  int base_nice_ COMRT_GUARDED_BY(state_mutex_) = 0;
  std::optional<uint32_t> exit_code_ COMRT_GUARDED_BY(state_mutex_);
  HRESULT start_failure_ COMRT_GUARDED_BY(state_mutex_) = E_FAIL;
};

// What a message_thread calls, all on the new thread.
class message_thread_client {
 public:
  // With the thread's queue in place, before the creator is released. Returning false, or
  // throwing, fails the start; the thread then ends with exit code 1.
  virtual bool initialize(message_queue& queue) = 0;
  // Each message the loop takes, WM_QUIT excepted. True when handled; unhandled messages are
  // discarded, as there is no window to dispatch them to.
  virtual bool filter_message(const thread_message& msg) = 0;
  // After the loop has ended, when initialize succeeded; the queue still exists.
  virtual void uninitialize(message_queue& queue) noexcept = 0;

 protected:
  ~message_thread_client() = default;
};

struct message_thread_options {
  std::shared_ptr<timer_clock> clock;  // null: default_timer_clock()
  std::size_t stack_size = 0;
};

class message_thread : private worker_thread {
 public:
  message_thread() noexcept = default;
  // stop()
  ~message_thread();

  // Starts the loop for the client, which must outlive the thread. Failures as worker_thread::start.
  HRESULT start(message_thread_client& client, message_thread_options options = {}) noexcept;
  bool post(UINT message, WPARAM wparam, LPARAM lparam) const noexcept;
  // Posts WM_QUIT (exit code 0) and waits without a time limit: a message being handled is finished
  // first, and nothing after it is.
  void stop() noexcept;
  bool wait_idle(std::chrono::milliseconds timeout = infinite) const;

  using worker_thread::exit_code;
  using worker_thread::exit_event;
  using worker_thread::id;
  using worker_thread::join;
  using worker_thread::running;
  using worker_thread::set_background_mode;
  using worker_thread::set_priority;
};

}  // namespace comrt
