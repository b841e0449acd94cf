// Clang thread-safety annotations (no-ops on other compilers) and the annotated mutex every object
// and collection uses.
#pragma once

#include <mutex>

#if defined(__clang__)
#define COMRT_TSA(x) __attribute__((x))
#else
#define COMRT_TSA(x)
#endif

#define COMRT_CAPABILITY(x) COMRT_TSA(capability(x))
#define COMRT_SCOPED_CAPABILITY COMRT_TSA(scoped_lockable)
#define COMRT_GUARDED_BY(x) COMRT_TSA(guarded_by(x))
#define COMRT_PT_GUARDED_BY(x) COMRT_TSA(pt_guarded_by(x))
#define COMRT_REQUIRES(...) COMRT_TSA(requires_capability(__VA_ARGS__))
#define COMRT_REQUIRES_SHARED(...) COMRT_TSA(requires_shared_capability(__VA_ARGS__))
#define COMRT_ACQUIRE(...) COMRT_TSA(acquire_capability(__VA_ARGS__))
#define COMRT_ACQUIRE_SHARED(...) COMRT_TSA(acquire_shared_capability(__VA_ARGS__))
#define COMRT_RELEASE(...) COMRT_TSA(release_capability(__VA_ARGS__))
#define COMRT_RELEASE_SHARED(...) COMRT_TSA(release_shared_capability(__VA_ARGS__))
#define COMRT_RELEASE_GENERIC(...) COMRT_TSA(release_generic_capability(__VA_ARGS__))
#define COMRT_TRY_ACQUIRE(...) COMRT_TSA(try_acquire_capability(__VA_ARGS__))
#define COMRT_EXCLUDES(...) COMRT_TSA(locks_excluded(__VA_ARGS__))
#define COMRT_RETURN_CAPABILITY(x) COMRT_TSA(lock_returned(x))
#define COMRT_NO_THREAD_SAFETY_ANALYSIS COMRT_TSA(no_thread_safety_analysis)

namespace comrt {

// A plain (non-recursive) mutex that the analysis understands.
class COMRT_CAPABILITY("mutex") mutex {
 public:
  void lock() COMRT_ACQUIRE() { m_.lock(); }
  void unlock() COMRT_RELEASE() { m_.unlock(); }
  bool try_lock() COMRT_TRY_ACQUIRE(true) { return m_.try_lock(); }

 private:
  std::mutex m_;
};

// Scoped owner of a comrt::mutex.
class COMRT_SCOPED_CAPABILITY lock_guard {
 public:
  explicit lock_guard(mutex& m) COMRT_ACQUIRE(m) : m_(m) { m_.lock(); }
  ~lock_guard() COMRT_RELEASE() { m_.unlock(); }
  lock_guard(const lock_guard&) = delete;
  lock_guard& operator=(const lock_guard&) = delete;

 private:
  mutex& m_;
};

}  // namespace comrt
