// Change notifications for folders and files on inotify.
//
// One watcher serves any number of watches with one inotify instance and one thread (the kernel
// allows a user only a few instances, and a process may watch thousands of places). Kernel watches
// are shared between watches whose trees overlap and counted by the watches that use them.
//
//   class client final : public comrt::folder_watch_client {
//     void on_folder_change() noexcept override { changed_.store(true); }
//   };
//   comrt::folder_watch w = comrt::folder_watcher::process().watch("/srv/in", comrt::watch_scope::tree, c);
//   ...
//   w.reset();  // from here on the client is not called any more
//
// A tree watch covers the folder and every folder below it, including folders created or moved in
// later (each is scanned right after its kernel watch is added, so nothing made in between is
// missed). An entry watch covers one name in its folder, without recursion; the name need not
// exist yet. A watched place that does not exist, or that is removed or moved away, is awaited:
// its nearest existing ancestor is watched until the place appears again, which counts as a
// change. A queue overflow counts as a change of every watch and the kernel watches are rebuilt.
// When the kernel refuses a watch (out of watches, or the place cannot be watched) the watch falls
// back to comparing snapshots (names, sizes, modification times) whenever its owner calls poll().
// Paths longer than PATH_MAX are reached through directory descriptors.
//
// Known limit: renaming a folder above a watched folder is not noticed; the watch follows the
// folder to its new place.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace comrt {

// What a watch reports to. Called on the watcher's thread, one call at a time. The calls must
// return quickly, must not wait for locks held by anyone who calls the watcher, and must not call
// the watcher themselves.
class folder_watch_client {
 public:
  // Something changed at the watched place, or may have changed unseen (queue overflow, the place
  // removed, moved or created again, a fall-back to snapshots after the watch had started).
  virtual void on_folder_change() noexcept = 0;
  // The kernel would not watch `path` (`error` is the errno; ENOSPC when watches ran out): from
  // now on poll() compares snapshots. Called at most once per watch.
  virtual void on_watch_fallback(std::string_view path, int error) noexcept = 0;

 protected:
  ~folder_watch_client() = default;
};

enum class watch_scope {
  tree,   // a folder and everything below it
  entry,  // one name in its folder: the file (or anything else) of that name
};

class folder_watch;
namespace detail {
struct watch_shared;
}

struct folder_watcher_stats {
  std::size_t kernel_watches = 0;  // inotify watches held
  std::size_t watches = 0;         // live folder_watch objects
  std::size_t polling = 0;         // of those, the ones comparing snapshots
};

class folder_watcher {
 public:
  struct options {
    // At most this many kernel watches; beyond it the kernel counts as out of watches (ENOSPC).
    std::size_t watch_limit = SIZE_MAX;
  };

  folder_watcher();
  explicit folder_watcher(options opts);
  // Stops the thread. A watch still open ends quietly later: its client is never called again.
  ~folder_watcher();
  folder_watcher(const folder_watcher&) = delete;
  folder_watcher& operator=(const folder_watcher&) = delete;

  // The watcher of the process, made at the first call.
  static folder_watcher& process();

  // Starts watching `path` (absolute, UTF-8) for `client`, which must outlive the watch. Returns
  // once the kernel watches are in place (or the watch is polling). Throws hresult_error:
  // E_INVALIDARG for a path that is not absolute or contains a NUL, E_OUTOFMEMORY.
  folder_watch watch(std::string_view path, watch_scope scope, folder_watch_client& client);

  // Changes the limit of kernel watches for watches made or grown from now on.
  void set_watch_limit(std::size_t limit);
  // Counts taken on the watcher's thread once every change made before the call has been handled
  // and reported to the clients.
  folder_watcher_stats stats();

 private:
  friend class folder_watch;
  class engine;

  std::shared_ptr<engine> engine_;
};

// One watch. Ending it (reset, destruction, assignment) returns only once the watcher will not
// call its client again.
class folder_watch {
 public:
  folder_watch() noexcept = default;
  folder_watch(folder_watch&& other) noexcept;
  folder_watch& operator=(folder_watch&& other) noexcept;
  ~folder_watch();

  void reset() noexcept;
  explicit operator bool() const noexcept { return shared_ != nullptr; }

  // True once the watch compares snapshots instead of receiving notifications.
  bool polling() const noexcept;
  // While polling: takes a snapshot and compares it with the previous one; true when they differ.
  // Otherwise false at once.
  bool poll();

 private:
  friend class folder_watcher;
  folder_watch(std::shared_ptr<folder_watcher::engine> engine, std::shared_ptr<detail::watch_shared> shared) noexcept;

  // The watcher's engine, shared so that a watch that outlives its watcher (a host's object still
  // alive while the process exits) can still end.
  std::shared_ptr<folder_watcher::engine> engine_;
  std::shared_ptr<detail::watch_shared> shared_;
};

// What stat(2) says of a path of any length (long paths are reached through directory
// descriptors); empty when the path does not exist or cannot be reached. Symbolic links are
// followed.
struct path_status {
  bool directory = false;
  uint64_t size = 0;
  int64_t modified_ns = 0;  // last modification, nanoseconds since 1970-01-01 UTC
};
std::optional<path_status> status_of(std::string_view path);

}  // namespace comrt
