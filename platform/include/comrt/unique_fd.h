// unique_fd: the owner of a POSIX file descriptor (closed on destruction, movable, not copyable).
#pragma once

#include <unistd.h>

#include "comrt/unique_handle.h"

namespace comrt {

struct fd_traits {
  using type = int;
  static constexpr int invalid() noexcept { return -1; }
  static void close(int fd) noexcept { ::close(fd); }
};
using unique_fd = unique_handle<fd_traits>;

}  // namespace comrt
