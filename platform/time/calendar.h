// The runtime's own time internals: the calendar arithmetic and the clock every time function reads.
#pragma once

#include <cstdint>

#include "comrt/calendar.h"

namespace comrt::calendar {

// The clock that every time function reads, in 100 ns ticks since 1601-01-01 UTC.
uint64_t now_ticks() noexcept;

}  // namespace comrt::calendar
