// Snapshots of a watched place, compared by watches that cannot get kernel watches.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>

#include "comrt/folder_watcher.h"

namespace comrt::fswatch {

struct entry_state {
  mode_t type = 0;  // the S_IFMT bits
  uint64_t size = 0;
  int64_t modified_ns = 0;
  friend bool operator==(const entry_state&, const entry_state&) = default;
};

// Entry states by path relative to the watched place ("" is the place itself).
using tree_snapshot = std::map<std::string, entry_state>;

// The watched place (a tree: the folder and everything below it, symbolic links not followed;
// an entry: that one name), as far as it can be read.
tree_snapshot take_snapshot(const std::string& path, watch_scope scope);

}  // namespace comrt::fswatch
