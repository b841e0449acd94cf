// File-backed registry roots: cached reads, locked read-modify-write, atomic replacement.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <new>
#include <vector>

#include "comrt/guid.h"
#include "store.h"

namespace comrt::registry {

namespace {

LONG last_error(LONG fallback) noexcept { return win32_from_errno(errno, fallback); }

std::string parent_of(const std::string& file) {
  const size_t slash = file.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : file.substr(0, slash);
}

// mkdir -p: creates the folder and its missing parents (iteratively: the path comes from the
// environment).
LONG make_folders(const std::string& folder, mode_t mode) {
  std::vector<std::string> missing;
  for (std::string at = folder;; at = parent_of(at)) {
    struct stat st;
    if (::stat(at.c_str(), &st) == 0) {
      if (!S_ISDIR(st.st_mode)) return ERROR_PATH_NOT_FOUND;
      break;
    }
    if (errno != ENOENT) return last_error(ERROR_CANTWRITE);
    missing.push_back(at);
    if (parent_of(at) == at) break;
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (::mkdir(it->c_str(), mode) != 0 && errno != EEXIST) return last_error(ERROR_CANTWRITE);
  }
  return ERROR_SUCCESS;
}

LONG read_all(int fd, std::string& out) {
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return last_error(ERROR_CANTREAD);
    }
    if (n == 0) return ERROR_SUCCESS;
    out.append(buf, static_cast<size_t>(n));
  }
}

LONG write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return last_error(ERROR_CANTWRITE);
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return ERROR_SUCCESS;
}

}  // namespace

// The batch a thread has open on a hive: the hive's mutex is held, `lock` holds the store's
// cross-process lock, and `tree` is the working copy.
struct hive::batch {
  const hive* owner;
  int depth;
  unique_fd lock;
  std::shared_ptr<const key> tree;
  bool changed;
};

thread_local std::vector<std::unique_ptr<hive::batch>> hive::batches_;

hive::batch* hive::own_batch() const noexcept {
  for (const auto& b : batches_) {
    if (b->owner == this) return b.get();
  }
  return nullptr;
}

// Creates the store's folder and takes an exclusive flock(2) on "<file>.lock" beside the store;
// closing the descriptor releases it.
LONG hive::lock_store(unique_fd& lock) {
  if (const LONG r = make_folders(parent_of(file_), (file_mode_ & 0066) ? 0755 : 0700); r != ERROR_SUCCESS) return r;
  lock.reset(::open((file_ + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, file_mode_));
  if (!lock) return last_error(ERROR_CANTOPEN);
  while (::flock(lock.get(), LOCK_EX) != 0) {
    if (errno != EINTR) return last_error(ERROR_CANTOPEN);
  }
  return ERROR_SUCCESS;
}

hive::identity hive::identity_of(const struct stat& st) noexcept {
  return identity{st.st_dev, st.st_ino, st.st_size,
                  static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

hive::hive(std::string file, std::u16string root_name, mode_t file_mode)
    : file_(std::move(file)), root_name_(std::move(root_name)), file_mode_(file_mode) {}

LONG hive::load_locked() {
  struct stat st;
  if (::stat(file_.c_str(), &st) != 0) {
    if (errno != ENOENT) return last_error(ERROR_CANTREAD);
    // No file yet: an empty root.
    if (!cached_id_ || cached_fd_) {
      key root;
      root.name = root_name_;
      cached_ = std::make_shared<const key>(std::move(root));
      cached_status_ = ERROR_SUCCESS;
      cached_fd_.reset();
      cached_id_ = identity{};
    }
    return ERROR_SUCCESS;
  }
  if (cached_fd_ && cached_id_ == identity_of(st)) return cached_status_;

  unique_fd fd(::open(file_.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return last_error(ERROR_CANTOPEN);
  if (::fstat(fd.get(), &st) != 0) return last_error(ERROR_CANTREAD);
  std::string text;
  if (const LONG r = read_all(fd.get(), text); r != ERROR_SUCCESS) return r;
  auto tree = parse(text, root_name_);
  cached_status_ = tree ? ERROR_SUCCESS : ERROR_BADDB;
  cached_ = tree ? std::make_shared<const key>(std::move(*tree)) : nullptr;
  cached_id_ = identity_of(st);
  cached_fd_ = std::move(fd);
  return cached_status_;
}

LONG hive::read(std::shared_ptr<const key>& out) {
  if (const batch* b = own_batch()) {
    out = b->tree;
    return ERROR_SUCCESS;
  }
  lock_guard guard(mutex_);
  const LONG r = load_locked();
  if (r == ERROR_SUCCESS) out = cached_;
  return r;
}

LONG hive::modify(const mutation& change) {
  if (batch* b = own_batch()) {
    key copy = *b->tree;
    bool changed = false;
    if (const LONG r = change(copy, &changed); r != ERROR_SUCCESS || !changed) return r;
    b->tree = std::make_shared<const key>(std::move(copy));
    b->changed = true;
    return ERROR_SUCCESS;
  }
  lock_guard guard(mutex_);
  unique_fd lock;
  if (const LONG r = lock_store(lock); r != ERROR_SUCCESS) return r;
  if (const LONG r = load_locked(); r != ERROR_SUCCESS) return r;

  key copy = *cached_;
  bool changed = false;
  if (const LONG r = change(copy, &changed); r != ERROR_SUCCESS || !changed) return r;
  return write_locked(std::move(copy));
}

// The mutex stays held from the outermost begin to its end, which the analysis cannot follow.
LONG hive::begin_batch() COMRT_NO_THREAD_SAFETY_ANALYSIS {
  if (batch* b = own_batch()) {
    ++b->depth;
    return ERROR_SUCCESS;
  }
  auto b = std::make_unique<batch>(batch{this, 1, unique_fd(), nullptr, false});
  batches_.reserve(batches_.size() + 1);
  mutex_.lock();
  LONG r = ERROR_OUTOFMEMORY;
  try {
    r = lock_store(b->lock);
    if (r == ERROR_SUCCESS) r = load_locked();
  } catch (const std::bad_alloc&) {
  }
  if (r != ERROR_SUCCESS) {
    mutex_.unlock();
    return r;
  }
  b->tree = cached_;
  batches_.push_back(std::move(b));
  return ERROR_SUCCESS;
}

LONG hive::end_batch() COMRT_NO_THREAD_SAFETY_ANALYSIS {
  const auto it = std::find_if(batches_.begin(), batches_.end(), [&](const auto& b) { return b->owner == this; });
  if (it == batches_.end()) return ERROR_INVALID_PARAMETER;
  if (--(*it)->depth > 0) return ERROR_SUCCESS;
  const std::unique_ptr<batch> b = std::move(*it);
  batches_.erase(it);
  LONG r = ERROR_SUCCESS;
  try {
    if (b->changed) r = write_locked(key(*b->tree));
  } catch (const std::bad_alloc&) {
    r = ERROR_OUTOFMEMORY;
  }
  mutex_.unlock();
  return r;  // the store's lock is released as the batch goes
}

// Writes the tree to a temporary file beside the store and renames it over the store. Called with
// the cross-process lock held, so the file at the path afterwards is the one written here.
LONG hive::write_locked(key&& root) {
  const std::string text = serialize(root);
  std::string temp = file_ + ".XXXXXX";
  unique_fd fd(::mkostemp(temp.data(), O_CLOEXEC));
  if (!fd) return last_error(ERROR_CANTWRITE);
  scope_exit remove_on_failure([&] { ::unlink(temp.c_str()); });

  struct stat st;
  const mode_t mode = ::stat(file_.c_str(), &st) == 0 ? (st.st_mode & 07777) : file_mode_;
  if (::fchmod(fd.get(), mode) != 0) return last_error(ERROR_CANTWRITE);
  if (const LONG r = write_all(fd.get(), text); r != ERROR_SUCCESS) return r;
  if (::fsync(fd.get()) != 0) return last_error(ERROR_CANTWRITE);
  fd.reset();
  if (::rename(temp.c_str(), file_.c_str()) != 0) return last_error(ERROR_CANTWRITE);
  remove_on_failure.release();
  // The rename is durable only once the folder's entry is on disk.
  if (unique_fd folder(::open(parent_of(file_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      !folder || ::fsync(folder.get()) != 0) {
    return last_error(ERROR_CANTWRITE);
  }

  // Cache what was just written; a failure here only costs a re-read next time.
  cached_fd_.reset();
  cached_id_.reset();
  if (unique_fd written(::open(file_.c_str(), O_RDONLY | O_CLOEXEC)); written && ::fstat(written.get(), &st) == 0) {
    cached_ = std::make_shared<const key>(std::move(root));
    cached_status_ = ERROR_SUCCESS;
    cached_id_ = identity_of(st);
    cached_fd_ = std::move(written);
  }
  return ERROR_SUCCESS;
}

namespace {
struct hive_table {
  mutex m;
  std::map<std::string, std::shared_ptr<hive>> hives COMRT_GUARDED_BY(m);
};
hive_table& all_hives() {
  static hive_table table;
  return table;
}
}  // namespace

std::shared_ptr<hive> hive_for(const std::string& file, std::u16string_view root_name, mode_t file_mode) {
  hive_table& t = all_hives();
  lock_guard guard(t.m);
  auto& h = t.hives[file];
  if (!h) h = std::make_shared<hive>(file, std::u16string(root_name), file_mode);
  return h;
}

}  // namespace comrt::registry
