// The folder watcher: one inotify instance and one thread (see comrt/folder_watcher.h).
//
// Only the watcher's thread touches the kernel watches and the tables below: the nodes (one per
// watched folder, keyed by watch descriptor, placed in a tree of their own by parent and name) and
// the subscriptions (one per folder_watch). A node serves subscriptions in three roles: as a
// member of a watched tree, as the folder of a watched entry, and as the nearest existing ancestor
// of a place that does not exist yet ("anchor"). A node that serves nobody is removed at the end
// of the batch of work that left it unused, so a folder moved within the watched trees keeps its
// kernel watch.
//
// Other threads hand the thread commands (add a watch, end one, count, stop) through a queue and
// wake it through an eventfd; they wait until the command is done. Before each command the thread
// reads what the kernel has queued, so a command also orders itself after every change made before
// it. Clients are called only by the thread, at the end of each batch, so once an "end" command is
// done the client is never called again.
#include "comrt/folder_watcher.h"

#include <dirent.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>
#include <map>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "comrt/event.h"
#include "comrt/object.h"
#include "comrt/worker_thread.h"
#include "paths.h"
#include "snapshot.h"

namespace comrt {

namespace detail {

// What a folder_watch shares with the watcher's thread.
struct watch_shared {
  watch_shared(std::string p, watch_scope s, folder_watch_client* c) : path(std::move(p)), scope(s), client(c) {}

  const std::string path;  // normalised
  const watch_scope scope;
  std::atomic<folder_watch_client*> client;  // null once the watch is ending
  std::atomic<bool> polling{false};          // set by the thread when the watch falls back
  mutex snapshot_mutex;                      // serialises poll()
  std::optional<fswatch::tree_snapshot> last COMRT_GUARDED_BY(snapshot_mutex);
};

}  // namespace detail

namespace {

// Folder changes that concern some watch: names, sizes and write times, and the folder itself
// going away. IN_ATTRIB also carries changes of modification times (touch).
constexpr uint32_t kWatchMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY | IN_ATTRIB |
                                IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_EXCL_UNLINK;

// Errors after which a watch cannot go on with kernel watches; other errors of folders below a
// watched folder (vanished, unreadable) only leave those folders out.
bool is_exhaustion(int err) { return err == ENOSPC || err == EMFILE || err == ENFILE || err == ENOMEM; }

template <class T>
bool erase_one(std::vector<T*>& list, T* item) {
  const auto it = std::find(list.begin(), list.end(), item);
  if (it == list.end()) return false;
  list.erase(it);
  return true;
}

template <class T>
bool contains(const std::vector<T*>& list, T* item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

}  // namespace

class folder_watcher::engine {
 public:
  explicit engine(options opts);
  ~engine();

  void add(const std::shared_ptr<detail::watch_shared>& watch);
  void end(const std::shared_ptr<detail::watch_shared>& watch) noexcept;
  // Stops and joins the thread (once); what is asked afterwards is dropped.
  void stop() noexcept;
  void set_watch_limit(std::size_t limit) { limit_.store(limit, std::memory_order_relaxed); }
  folder_watcher_stats stats();

 private:
  struct command {
    enum class kind { add, end, stats, stop } what;
    std::shared_ptr<detail::watch_shared> watch;
    folder_watcher_stats counts;
    event done{event_reset::manual};
  };

  struct subscription;
  struct node {
    std::string path;
    int parent = -1;  // the node of the folder holding this one, -1 when that is not watched
    std::string name;
    std::map<std::string, int, std::less<>> children;  // watched subfolders by name
    std::vector<subscription*> members;                // tree watches covering this folder
    std::vector<subscription*> entries;                // entry watches of a name in this folder
    std::vector<subscription*> anchors;                // watches awaiting a name in this folder
    bool unused() const { return members.empty() && entries.empty() && anchors.empty(); }
  };

  enum class state { idle, watching, awaiting, polling };
  struct subscription {
    std::shared_ptr<detail::watch_shared> shared;
    bool tree = true;
    std::string folder;  // tree: the watched folder; entry: the folder holding the entry
    std::string entry;   // entry: the watched name
    state st = state::idle;
    int root = -1;                    // watching: the node of `folder`
    std::unordered_set<int> members;  // tree: every node it is a member of
    int anchor = -1;                  // awaiting: the node of the nearest existing ancestor
    std::string awaited;              // awaiting: the name below the anchor on the way to `folder`
    int fallback_error = 0;
    bool notify = false;   // listed in notify_
    bool resolve = false;  // listed in resolve_
  };

  // Caller side.
  void submit(const std::shared_ptr<command>& c, bool wait);
  bool on_thread() const noexcept { return std::this_thread::get_id() == thread_id_.load(); }

  // Thread side.
  uint32_t run(worker_thread& self);
  void run_commands();
  void read_events();
  void handle(int wd, uint32_t mask, std::string_view name);
  void finish_batch();

  int attach(int fd, const std::string& path, int& err);
  void place(int wd, node& n, const std::string& path, int parent, std::string_view name);
  void repath(node& n, std::string path);
  void unlink(int wd, node& n);
  int add_tree(subscription& s, std::string path, int parent, std::string_view name, int* root);
  int watch_entry_folder(subscription& s);
  int await(subscription& s);
  void drop_subtree(subscription& s, int wd);
  void release(subscription& s);
  void resolve(subscription& s, bool initial);
  void degrade(subscription& s, int err, bool initial);
  void node_gone(int wd);
  void rebuild();
  void sweep();
  void flush();
  void notify(subscription& s);
  void want_resolve(subscription& s);
  void maybe_unused(int wd) { unused_.push_back(wd); }

  std::atomic<std::size_t> limit_;
  unique_fd inotify_;
  int inotify_error_ = 0;  // why there is no inotify instance
  unique_fd wake_;

  mutex queue_mutex_;
  std::deque<std::shared_ptr<command>> queue_ COMRT_GUARDED_BY(queue_mutex_);
  bool finished_ COMRT_GUARDED_BY(queue_mutex_) = false;  // the thread has left its loop

  // The thread's own state.
  std::unordered_map<int, node> nodes_;  // references stay valid while other nodes come and go
  std::unordered_map<const detail::watch_shared*, std::unique_ptr<subscription>> subs_;
  std::vector<subscription*> notify_;
  std::vector<subscription*> fallback_;
  std::vector<subscription*> resolve_;
  std::vector<int> unused_;
  bool overflow_ = false;
  bool stopping_ = false;
  bool stopped_ = false;  // stop() has run (on the owner's side)
  // Made up front, so that stopping never needs memory.
  const std::shared_ptr<command> stop_command_ = [] {
    auto c = std::make_shared<command>();
    c->what = command::kind::stop;
    return c;
  }();
  std::vector<char> buffer_;

  std::atomic<std::thread::id> thread_id_{};
  int start_error_ = 0;   // why the thread is not running (0 while it runs)
  worker_thread thread_;  // last: joined before the rest goes
};

// ---------------------------------------------------------------------------------------------
// Caller side

folder_watcher::engine::engine(options opts) : limit_(opts.watch_limit) {
  inotify_.reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!inotify_) inotify_error_ = errno;
  wake_.reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!wake_) {
    start_error_ = errno;
    return;
  }
  buffer_.resize(64 * 1024);
  if (FAILED(thread_.start([this](worker_thread& self) { return run(self); }))) start_error_ = EAGAIN;
}

folder_watcher::engine::~engine() { stop(); }

void folder_watcher::engine::stop() noexcept {
  if (start_error_ != 0 || stopped_) return;
  stopped_ = true;
  submit(stop_command_, false);
  thread_.join();
}

void folder_watcher::engine::submit(const std::shared_ptr<command>& c, bool wait) {
  {
    lock_guard guard(queue_mutex_);
    if (finished_) {
      c->done.set();  // no thread any more to carry it out
      return;
    }
    queue_.push_back(c);
  }
  const uint64_t one = 1;
  while (::write(wake_.get(), &one, sizeof one) < 0 && errno == EINTR) {
  }
  if (wait) c->done.wait();
}

void folder_watcher::engine::add(const std::shared_ptr<detail::watch_shared>& watch) {
  if (start_error_ != 0) {
    // Without the thread nothing can be watched: the watch compares snapshots from the start.
    watch->polling.store(true);
    watch->client.load()->on_watch_fallback(watch->path, start_error_);
    return;
  }
  auto c = std::make_shared<command>();
  c->what = command::kind::add;
  c->watch = watch;
  submit(c, true);
}

void folder_watcher::engine::end(const std::shared_ptr<detail::watch_shared>& watch) noexcept {
  watch->client.store(nullptr);
  if (start_error_ != 0) return;
  try {
    auto c = std::make_shared<command>();
    c->what = command::kind::end;
    c->watch = watch;
    // On the thread itself (a client ending its watch from a call) nothing is in flight any more
    // once the client is cleared, and waiting would never end.
    submit(c, !on_thread());
  } catch (...) {
    // Out of memory: the subscription stays in the tables, but its client is never called again.
  }
}

folder_watcher_stats folder_watcher::engine::stats() {
  if (start_error_ != 0) return {};
  auto c = std::make_shared<command>();
  c->what = command::kind::stats;
  submit(c, true);
  return c->counts;
}

// ---------------------------------------------------------------------------------------------
// The thread

uint32_t folder_watcher::engine::run(worker_thread& self) {
  thread_id_.store(std::this_thread::get_id());
  self.signal_started();
  pollfd fds[2] = {{wake_.get(), POLLIN, 0}, {inotify_ ? inotify_.get() : -1, POLLIN, 0}};
  while (!stopping_) {
    if (::poll(fds, 2, -1) < 0) continue;  // EINTR (nothing else can happen with these arguments)
    if (fds[1].revents & POLLIN) read_events();
    if (fds[0].revents & POLLIN) {
      uint64_t count;
      (void)!::read(wake_.get(), &count, sizeof count);
      run_commands();
    }
  }
  // Whatever is asked from now on is dropped at once (see submit); what came after the stop is
  // answered as dropped too.
  lock_guard guard(queue_mutex_);
  finished_ = true;
  for (const auto& c : queue_) c->done.set();
  queue_.clear();
  return 0;
}

void folder_watcher::engine::run_commands() {
  std::deque<std::shared_ptr<command>> work;
  {
    lock_guard guard(queue_mutex_);
    work.swap(queue_);
  }
  for (const auto& c : work) {
    // Changes made before the command was given are handled (and reported) before it.
    if (inotify_) read_events();
    switch (c->what) {
      case command::kind::add: {
        auto owned = std::make_unique<subscription>();
        subscription& s = *owned;
        s.shared = c->watch;
        s.tree = c->watch->scope == watch_scope::tree;
        if (s.tree) {
          s.folder = c->watch->path;
        } else {
          s.folder = std::string(fswatch::parent_of(c->watch->path));
          s.entry = std::string(fswatch::name_of(c->watch->path));
          if (s.folder.empty()) s.folder = "/";
        }
        subs_.emplace(c->watch.get(), std::move(owned));
        resolve(s, true);
        break;
      }
      case command::kind::end: {
        const auto it = subs_.find(c->watch.get());
        if (it == subs_.end()) break;
        subscription* s = it->second.get();
        release(*s);
        erase_one(notify_, s);
        erase_one(fallback_, s);
        erase_one(resolve_, s);
        subs_.erase(it);
        break;
      }
      case command::kind::stats:
        c->counts.kernel_watches = nodes_.size();
        c->counts.watches = subs_.size();
        c->counts.polling = static_cast<std::size_t>(
            std::count_if(subs_.begin(), subs_.end(), [](const auto& e) { return e.second->st == state::polling; }));
        break;
      case command::kind::stop: stopping_ = true; break;
    }
    sweep();
    flush();
    c->done.set();
  }
}

void folder_watcher::engine::read_events() {
  // A bounded number of reads per batch, so that a busy tree cannot hold notifications back.
  for (int round = 0; round < 16; ++round) {
    const ssize_t n = ::read(inotify_.get(), buffer_.data(), buffer_.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (ssize_t at = 0; at < n;) {
      inotify_event ev;
      std::memcpy(&ev, buffer_.data() + at, sizeof ev);
      // The name follows the fixed part, padded with NULs.
      const char* name = buffer_.data() + at + sizeof ev;
      handle(ev.wd, ev.mask, ev.len ? std::string_view(name, ::strnlen(name, ev.len)) : std::string_view());
      at += static_cast<ssize_t>(sizeof ev + ev.len);
    }
  }
  finish_batch();
}

void folder_watcher::engine::handle(int wd, uint32_t mask, std::string_view name) {
  if (mask & IN_Q_OVERFLOW) {
    overflow_ = true;
    return;
  }
  const auto it = nodes_.find(wd);
  if (it == nodes_.end()) return;  // a watch removed before its last events were read
  node& n = it->second;
  if (mask & IN_IGNORED) {
    node_gone(wd);
    return;
  }
  if (mask & (IN_DELETE_SELF | IN_MOVE_SELF)) {
    // The folder is no longer at its path: the watches of that path and of the paths below it
    // look for their places again.
    std::vector<int> stack{wd};
    std::unordered_set<int> seen;
    while (!stack.empty()) {
      const int w = stack.back();
      stack.pop_back();
      const auto m = nodes_.find(w);
      if (m == nodes_.end() || !seen.insert(w).second) continue;
      for (subscription* s : m->second.members) {
        if (s->root == w) {
          notify(*s);
          want_resolve(*s);
        }
      }
      for (subscription* s : m->second.entries) {
        notify(*s);
        want_resolve(*s);
      }
      for (subscription* s : m->second.anchors) want_resolve(*s);
      for (const auto& [child_name, child] : m->second.children) stack.push_back(child);
    }
    return;
  }
  for (subscription* s : n.members) notify(*s);
  if (name.empty()) return;  // the folder's own attributes
  for (subscription* s : n.entries) {
    if (s->entry == name) notify(*s);
  }
  const bool appeared = mask & (IN_CREATE | IN_MOVED_TO);
  if (appeared) {
    for (subscription* s : n.anchors) {
      if (s->awaited == name) {
        notify(*s);
        want_resolve(*s);
      }
    }
  }
  if (!(mask & IN_ISDIR) || n.members.empty()) return;
  if (mask & (IN_DELETE | IN_MOVED_FROM)) {
    if (const auto c = n.children.find(name); c != n.children.end()) {
      const int child = c->second;
      n.children.erase(c);
      if (const auto cn = nodes_.find(child); cn != nodes_.end()) {
        cn->second.parent = -1;
        cn->second.name.clear();
      }
      for (subscription* s : std::vector(n.members)) drop_subtree(*s, child);
    }
  }
  if (appeared) {
    const std::string path = fswatch::join(n.path, name);
    for (subscription* s : std::vector(n.members)) {
      if (const int err = add_tree(*s, path, wd, name, nullptr); is_exhaustion(err)) degrade(*s, err, false);
    }
  }
}

void folder_watcher::engine::finish_batch() {
  if (overflow_) {
    overflow_ = false;
    rebuild();
  }
  const std::vector<subscription*> pending = std::move(resolve_);
  resolve_.clear();
  for (subscription* s : pending) {
    s->resolve = false;
    resolve(*s, false);
  }
  sweep();
  flush();
}

// Adds a kernel watch for the folder opened as `fd` at `path` (the existing one when the folder is
// watched already) and returns its descriptor, or -1 with `err`.
int folder_watcher::engine::attach(int fd, const std::string& path, int& err) {
  if (!inotify_) {
    err = inotify_error_;
    return -1;
  }
  // Through the descriptor: the watch is on exactly the folder that was opened, whatever the
  // length of its path. Without /proc a path short enough for the kernel does.
  int wd = ::inotify_add_watch(inotify_.get(), fswatch::descriptor_path(fd).c_str(), kWatchMask);
  if (wd < 0 && errno == ENOENT && path.size() < PATH_MAX) {
    wd = ::inotify_add_watch(inotify_.get(), path.c_str(), kWatchMask);
  }
  if (wd < 0) {
    err = errno;
    return -1;
  }
  const auto [it, inserted] = nodes_.try_emplace(wd);
  if (inserted && nodes_.size() > limit_.load(std::memory_order_relaxed)) {
    nodes_.erase(it);
    ::inotify_rm_watch(inotify_.get(), wd);
    err = ENOSPC;
    return -1;
  }
  if (inserted) maybe_unused(wd);  // until a role is given to it
  return wd;
}

// Records where a folder is: its path and, when `parent` is given (not -1), its place below that.
void folder_watcher::engine::place(int wd, node& n, const std::string& path, int parent, std::string_view name) {
  if (parent >= 0 && (n.parent != parent || n.name != name)) {
    bool below_itself = false;
    for (int up = parent; up >= 0 && !below_itself; up = nodes_.at(up).parent) below_itself = up == wd;
    if (!below_itself) {
      // Moved: it leaves the trees of its former folder (those of its new place walk it again).
      if (n.parent >= 0) {
        if (const auto old = nodes_.find(n.parent); old != nodes_.end()) {
          for (subscription* s : std::vector(old->second.members)) drop_subtree(*s, wd);
        }
      }
      unlink(wd, n);
      auto& siblings = nodes_.at(parent).children;
      const auto [c, inserted] = siblings.try_emplace(std::string(name), wd);
      if (!inserted && c->second != wd) {
        if (const auto old = nodes_.find(c->second); old != nodes_.end()) {
          old->second.parent = -1;
          old->second.name.clear();
        }
        c->second = wd;
      }
      n.parent = parent;
      n.name = name;
    }
  }
  if (n.path != path) repath(n, path);
}

void folder_watcher::engine::repath(node& n, std::string path) {
  n.path = std::move(path);
  for (const auto& [name, child] : n.children) {
    if (const auto c = nodes_.find(child); c != nodes_.end()) repath(c->second, fswatch::join(n.path, name));
  }
}

void folder_watcher::engine::unlink(int wd, node& n) {
  if (n.parent < 0) return;
  if (const auto p = nodes_.find(n.parent); p != nodes_.end()) {
    if (const auto c = p->second.children.find(n.name); c != p->second.children.end() && c->second == wd) {
      p->second.children.erase(c);
    }
  }
  n.parent = -1;
  n.name.clear();
}

// Makes `s` a member of the folder at `path` and of every folder below it; `parent` and `name`
// place the folder below a watched one (-1 when unknown). Returns 0, or the errno that stops the
// watch: the folder itself cannot be opened or watched, or the kernel is out of watches or
// descriptors. Folders below it that vanish or cannot be read are left out.
int folder_watcher::engine::add_tree(subscription& s, std::string path, int parent, std::string_view name, int* root) {
  struct pending {
    std::string path;
    int parent;
    std::string name;
  };
  std::vector<pending> stack;
  stack.push_back({std::move(path), parent, std::string(name)});
  std::unordered_set<int> visited;
  bool top = true;
  while (!stack.empty()) {
    const pending p = std::move(stack.back());
    stack.pop_back();
    const bool is_top = std::exchange(top, false);
    unique_fd fd = fswatch::open_directory(p.path);
    int err = fd ? 0 : errno;
    const int wd = fd ? attach(fd.get(), p.path, err) : -1;
    if (wd < 0) {
      if (is_top || is_exhaustion(err)) return err;
      continue;
    }
    if (is_top && root) *root = wd;
    // A folder mounted inside its own tree is walked once.
    if (!visited.insert(wd).second) continue;
    node& n = nodes_.at(wd);
    // Where the folder is now: a walk may find a folder at the place it was moved to before the
    // events of the move are read, which then no longer take it out of the tree.
    place(wd, n, p.path, p.parent, p.name);
    if (!contains(n.members, &s)) {
      n.members.push_back(&s);
      s.members.insert(wd);
    }
    // Scanned after its watch is in place: a folder made in between is found here or reported.
    // The folders below a folder covered already are walked too: one made while the folder was on
    // its way here could not be added then (its path was out of date).
    DIR* dir = ::fdopendir(fd.get());
    if (!dir) continue;
    (void)fd.release();
    while (const dirent* e = ::readdir(dir)) {
      const std::string_view child = e->d_name;
      if (child == "." || child == "..") continue;
      bool is_dir = e->d_type == DT_DIR;
      if (e->d_type == DT_UNKNOWN) {
        struct stat st {};
        is_dir = ::fstatat(::dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
      }
      if (is_dir) stack.push_back({fswatch::join(p.path, child), wd, std::string(child)});
    }
    ::closedir(dir);
  }
  return 0;
}

int folder_watcher::engine::watch_entry_folder(subscription& s) {
  const unique_fd fd = fswatch::open_directory(s.folder);
  if (!fd) return errno;
  int err = 0;
  const int wd = attach(fd.get(), s.folder, err);
  if (wd < 0) return err;
  node& n = nodes_.at(wd);
  place(wd, n, s.folder, -1, {});
  n.entries.push_back(&s);
  s.root = wd;
  s.st = state::watching;
  return 0;
}

// Watches the nearest existing ancestor of the missing folder of `s` for the next name on the way
// down. Returns 0, EAGAIN when that name turned up as a folder before the watch was in place, or
// the errno that stops the watch.
int folder_watcher::engine::await(subscription& s) {
  std::string_view below = s.folder;
  for (std::string_view up = fswatch::parent_of(below); !up.empty(); below = up, up = fswatch::parent_of(up)) {
    const unique_fd fd = fswatch::open_directory(up);
    if (!fd) {
      if (errno == ENOENT || errno == ENOTDIR) continue;
      return errno;
    }
    const std::string folder(up);
    int err = 0;
    const int wd = attach(fd.get(), folder, err);
    if (wd < 0) return err;
    node& n = nodes_.at(wd);
    place(wd, n, folder, -1, {});
    n.anchors.push_back(&s);
    s.anchor = wd;
    s.awaited = fswatch::name_of(below);
    s.st = state::awaiting;
    struct stat st {};
    if (::fstatat(fd.get(), s.awaited.c_str(), &st, 0) == 0 && S_ISDIR(st.st_mode)) return EAGAIN;
    return 0;
  }
  return ENOENT;
}

void folder_watcher::engine::drop_subtree(subscription& s, int wd) {
  std::vector<int> stack{wd};
  while (!stack.empty()) {
    const int w = stack.back();
    stack.pop_back();
    const auto it = nodes_.find(w);
    if (it == nodes_.end() || !erase_one(it->second.members, &s)) continue;
    s.members.erase(w);
    maybe_unused(w);
    for (const auto& [name, child] : it->second.children) stack.push_back(child);
  }
}

// Gives up every role of `s`; the nodes left unused go at the end of the batch.
void folder_watcher::engine::release(subscription& s) {
  for (const int wd : s.members) {
    if (const auto it = nodes_.find(wd); it != nodes_.end()) {
      erase_one(it->second.members, &s);
      maybe_unused(wd);
    }
  }
  s.members.clear();
  if (!s.tree && s.root >= 0) {
    if (const auto it = nodes_.find(s.root); it != nodes_.end()) {
      erase_one(it->second.entries, &s);
      maybe_unused(s.root);
    }
  }
  if (s.anchor >= 0) {
    if (const auto it = nodes_.find(s.anchor); it != nodes_.end()) {
      erase_one(it->second.anchors, &s);
      maybe_unused(s.anchor);
    }
  }
  s.root = -1;
  s.anchor = -1;
  s.awaited.clear();
  if (s.st != state::polling) s.st = state::idle;
}

// Watches the place of `s` from scratch: its folder when it exists, otherwise the nearest
// ancestor that does; snapshots when the kernel will not.
void folder_watcher::engine::resolve(subscription& s, bool initial) {
  if (s.st == state::polling) return;
  release(s);
  if (!inotify_) {
    degrade(s, inotify_error_, initial);
    return;
  }
  // Each round gets further down unless the path keeps changing under it.
  for (int round = 0; round < 16; ++round) {
    int err;
    if (s.tree) {
      int root = -1;
      err = add_tree(s, s.folder, -1, {}, &root);
      if (err == 0) {
        s.root = root;
        s.st = state::watching;
        return;
      }
      release(s);
    } else {
      err = watch_entry_folder(s);
      if (err == 0) return;
    }
    if (err != ENOENT && err != ENOTDIR) {
      degrade(s, err, initial);
      return;
    }
    err = await(s);
    if (err == 0) return;
    release(s);
    if (err != EAGAIN) {
      degrade(s, err, initial);
      return;
    }
  }
  degrade(s, ELOOP, initial);
}

// From now on the watch compares snapshots. Changes may have gone unseen when it was watching
// before, so that counts as a change.
void folder_watcher::engine::degrade(subscription& s, int err, bool initial) {
  release(s);
  s.st = state::polling;
  s.fallback_error = err;
  s.shared->polling.store(true);
  fallback_.push_back(&s);
  if (!initial) notify(s);
}

// The kernel has dropped the watch (the folder was deleted or its file system unmounted).
void folder_watcher::engine::node_gone(int wd) {
  const auto it = nodes_.find(wd);
  node& n = it->second;
  for (subscription* s : n.members) {
    s->members.erase(wd);
    if (s->root == wd) {
      s->root = -1;
      notify(*s);
      want_resolve(*s);
    }
  }
  for (subscription* s : n.entries) {
    s->root = -1;
    notify(*s);
    want_resolve(*s);
  }
  for (subscription* s : n.anchors) {
    s->anchor = -1;
    want_resolve(*s);
  }
  unlink(wd, n);
  for (const auto& [name, child] : n.children) {
    if (const auto c = nodes_.find(child); c != nodes_.end()) {
      c->second.parent = -1;
      c->second.name.clear();
    }
  }
  nodes_.erase(it);
}

// After a queue overflow nothing is known of what changed: every watch counts as changed and is
// set up again. Kernel watches of folders that still exist are kept (no gap in which changes go
// unseen); the others go at the end of the batch.
void folder_watcher::engine::rebuild() {
  for (auto& [wd, n] : nodes_) {
    n.members.clear();
    n.entries.clear();
    n.anchors.clear();
    n.children.clear();
    n.parent = -1;
    n.name.clear();
    unused_.push_back(wd);
  }
  for (auto& [key, s] : subs_) {
    if (s->st == state::polling) continue;
    s->members.clear();
    s->root = -1;
    s->anchor = -1;
    notify(*s);
    resolve(*s, false);
  }
  for (subscription* s : resolve_) s->resolve = false;
  resolve_.clear();
}

void folder_watcher::engine::sweep() {
  for (const int wd : unused_) {
    const auto it = nodes_.find(wd);
    if (it == nodes_.end() || !it->second.unused()) continue;
    ::inotify_rm_watch(inotify_.get(), wd);
    unlink(wd, it->second);
    for (const auto& [name, child] : it->second.children) {
      if (const auto c = nodes_.find(child); c != nodes_.end()) {
        c->second.parent = -1;
        c->second.name.clear();
      }
    }
    nodes_.erase(it);
  }
  unused_.clear();
}

void folder_watcher::engine::flush() {
  const std::vector<subscription*> fallbacks = std::move(fallback_);
  fallback_.clear();
  for (subscription* s : fallbacks) {
    if (folder_watch_client* c = s->shared->client.load()) c->on_watch_fallback(s->shared->path, s->fallback_error);
  }
  const std::vector<subscription*> changed = std::move(notify_);
  notify_.clear();
  for (subscription* s : changed) {
    s->notify = false;
    if (folder_watch_client* c = s->shared->client.load()) c->on_folder_change();
  }
}

void folder_watcher::engine::notify(subscription& s) {
  if (std::exchange(s.notify, true)) return;
  notify_.push_back(&s);
}

void folder_watcher::engine::want_resolve(subscription& s) {
  if (std::exchange(s.resolve, true)) return;
  resolve_.push_back(&s);
}

// ---------------------------------------------------------------------------------------------
// The public face

folder_watch::folder_watch(std::shared_ptr<folder_watcher::engine> engine,
                           std::shared_ptr<detail::watch_shared> shared) noexcept
    : engine_(std::move(engine)), shared_(std::move(shared)) {}

folder_watch::folder_watch(folder_watch&& other) noexcept
    : engine_(std::move(other.engine_)), shared_(std::move(other.shared_)) {}

folder_watch& folder_watch::operator=(folder_watch&& other) noexcept {
  if (this != &other) {
    reset();
    engine_ = std::move(other.engine_);
    shared_ = std::move(other.shared_);
  }
  return *this;
}

folder_watch::~folder_watch() { reset(); }

void folder_watch::reset() noexcept {
  if (shared_) engine_->end(shared_);
  shared_.reset();
  engine_.reset();
}

bool folder_watch::polling() const noexcept { return shared_ && shared_->polling.load(); }

bool folder_watch::poll() {
  if (!polling()) return false;
  lock_guard guard(shared_->snapshot_mutex);
  fswatch::tree_snapshot now = fswatch::take_snapshot(shared_->path, shared_->scope);
  const bool changed = shared_->last && now != *shared_->last;
  shared_->last = std::move(now);
  return changed;
}

folder_watcher::folder_watcher() : folder_watcher(options{}) {}

folder_watcher::folder_watcher(options opts) : engine_(std::make_shared<engine>(opts)) {}

folder_watcher::~folder_watcher() { engine_->stop(); }

folder_watcher& folder_watcher::process() {
  static folder_watcher instance;
  return instance;
}

folder_watch folder_watcher::watch(std::string_view path, watch_scope scope, folder_watch_client& client) {
  if (path.empty() || path.front() != '/' || path.find('\0') != std::string_view::npos) throw_hresult(E_INVALIDARG);
  auto shared = std::make_shared<detail::watch_shared>(fswatch::normalize_path(path), scope, &client);
  engine_->add(shared);
  folder_watch w(engine_, shared);
  if (w.polling()) {
    // The first snapshot, to which the first poll() compares.
    lock_guard guard(shared->snapshot_mutex);
    shared->last = fswatch::take_snapshot(shared->path, shared->scope);
  }
  return w;
}

void folder_watcher::set_watch_limit(std::size_t limit) { engine_->set_watch_limit(limit); }

folder_watcher_stats folder_watcher::stats() { return engine_->stats(); }

}  // namespace comrt
