// Shared parts of the threading implementation: thread identifiers and timed waits.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <optional>

#include "comrt/thread_annotations.h"

namespace comrt::detail {

// A fresh thread identifier (never 0).
uint32_t allocate_thread_id() noexcept;
// Gives the calling thread an identifier allocated for it in advance (by the thread that created it).
void set_current_thread_id(uint32_t id) noexcept;

using deadline = std::optional<std::chrono::steady_clock::time_point>;

// The moment a wait with this timeout ends; none for a timeout of a century or more, which covers
// comrt::infinite and keeps the arithmetic from overflowing.
inline deadline deadline_after(std::chrono::milliseconds timeout) {
  if (timeout >= std::chrono::hours(24 * 365 * 100)) return std::nullopt;
  return std::chrono::steady_clock::now() + timeout;
}

// Waits on cv, with m held by the caller, until ready() holds or the deadline passes; returns ready().
// (The analysis cannot follow the caller's lock into ready(), hence the exemption of the body.)
template <class Ready>
bool wait_until_ready(std::condition_variable_any& cv, mutex& m, const deadline& until, Ready ready)
    COMRT_REQUIRES(m) COMRT_NO_THREAD_SAFETY_ANALYSIS {
  while (!ready()) {
    if (!until) {
      cv.wait(m);
    } else if (cv.wait_until(m, *until) == std::cv_status::timeout) {
      return ready();
    }
  }
  return true;
}

}  // namespace comrt::detail
