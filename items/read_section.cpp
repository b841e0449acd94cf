#include "items/read_section.h"

#include <atomic>
#include <cstdint>
#include <utility>
#include <vector>

#include <comrt/thread_annotations.h>

namespace tolvane {

namespace {

struct retired {
  void (*release)(void*) noexcept;
  void* object;
};

std::atomic<uint64_t> g_open_sections{0};  // threads inside a read section
comrt::mutex g_retired_mutex;
std::vector<retired> g_retired COMRT_GUARDED_BY(g_retired_mutex);
thread_local uint32_t t_depth = 0;

}  // namespace

read_section::read_section() noexcept {
  if (t_depth++ == 0) g_open_sections.fetch_add(1);
}

read_section::~read_section() {
  if (--t_depth != 0 || g_open_sections.fetch_sub(1) != 1) return;
  std::vector<retired> due;
  {
    // Checked again under the lock: a section opened since may hold what was retired meanwhile.
    comrt::lock_guard guard(g_retired_mutex);
    if (g_open_sections.load() == 0) due.swap(g_retired);
  }
  for (const retired& r : due) r.release(r.object);
}

void retire(void (*release)(void*) noexcept, void* object) noexcept {
  {
    comrt::lock_guard guard(g_retired_mutex);
    if (g_open_sections.load() != 0) {
      try {
        g_retired.push_back({release, object});
      } catch (...) {
        // Without memory to wait in, the object is never released: leaking it is safe, freeing it
        // under a reader is not.
      }
      return;
    }
  }
  release(object);
}

}  // namespace tolvane
