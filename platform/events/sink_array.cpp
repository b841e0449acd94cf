// The sink array of a connection point.
#include <utility>

#include "comrt/connection_point.h"

namespace comrt {

sink_array::~sink_array() {
  // The sinks are released after the lock is left: a sink's release may run arbitrary code.
  std::vector<slot> slots;
  {
    lock_guard lock(mutex_);
    slots.swap(slots_);
  }
}

bool sink_array::in_use(DWORD cookie) const {
  for (const slot& s : slots_)
    if (s.cookie == cookie) return true;
  return false;
}

DWORD sink_array::add(com_ptr<IUnknown> sink) {
  lock_guard lock(mutex_);
  DWORD cookie;
  do {
    cookie = next_cookie_++;
    if (next_cookie_ == 0) next_cookie_ = 1;  // 0 is never a cookie
  } while (cookie == 0 || in_use(cookie));
  for (slot& s : slots_) {
    if (s.cookie == 0) {
      s.cookie = cookie;
      s.sink = std::move(sink);
      return cookie;
    }
  }
  slots_.push_back(slot{cookie, std::move(sink)});
  return cookie;
}

com_ptr<IUnknown> sink_array::remove(DWORD cookie) {
  if (cookie == 0) return nullptr;
  lock_guard lock(mutex_);
  for (slot& s : slots_) {
    if (s.cookie == cookie) {
      s.cookie = 0;
      com_ptr<IUnknown> sink = std::move(s.sink);
      // Vacated slots at the end are dropped; no position of a remaining sink moves.
      while (!slots_.empty() && slots_.back().cookie == 0) slots_.pop_back();
      return sink;
    }
  }
  return nullptr;
}

size_t sink_array::size() const {
  lock_guard lock(mutex_);
  return slots_.size();
}

com_ptr<IUnknown> sink_array::at(size_t position) const {
  lock_guard lock(mutex_);
  return position < slots_.size() ? slots_[position].sink : nullptr;
}

std::vector<connection> sink_array::connections() const {
  std::vector<connection> result;
  lock_guard lock(mutex_);
  result.reserve(slots_.size());
  for (const slot& s : slots_)
    if (s.cookie != 0) result.push_back(connection{s.sink, s.cookie});
  return result;
}

std::vector<com_ptr<IUnknown>> sink_array::clear() {
  std::vector<com_ptr<IUnknown>> sinks;
  lock_guard lock(mutex_);
  sinks.reserve(slots_.size());
  for (slot& s : slots_)
    if (s.cookie != 0) sinks.push_back(std::move(s.sink));
  slots_.clear();
  return sinks;
}

}  // namespace comrt
