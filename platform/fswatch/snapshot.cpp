#include "snapshot.h"

#include <dirent.h>
#include <sys/stat.h>

#include <vector>

#include "paths.h"

namespace comrt::fswatch {

namespace {

entry_state state_of(const struct stat& st) {
  return {static_cast<mode_t>(st.st_mode & S_IFMT), static_cast<uint64_t>(st.st_size),
          static_cast<int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec};
}

// Adds the entries of the open folder `fd` (at `relative` below the place) and returns the
// relative paths of its subfolders.
void read_folder(unique_fd fd, const std::string& relative, tree_snapshot& out, std::vector<std::string>& folders) {
  DIR* dir = ::fdopendir(fd.get());
  if (!dir) return;
  (void)fd.release();
  while (const dirent* e = ::readdir(dir)) {
    const std::string_view name = e->d_name;
    if (name == "." || name == "..") continue;
    struct stat st {};
    if (::fstatat(::dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    std::string child = relative.empty() ? std::string(name) : join(relative, name);
    if (S_ISDIR(st.st_mode)) folders.push_back(child);
    out.emplace(std::move(child), state_of(st));
  }
  ::closedir(dir);
}

}  // namespace

tree_snapshot take_snapshot(const std::string& path, watch_scope scope) {
  tree_snapshot out;
  if (const auto st = status_of(path)) {
    out.emplace("", entry_state{static_cast<mode_t>(st->directory ? S_IFDIR : S_IFREG), st->size, st->modified_ns});
  }
  if (scope != watch_scope::tree) return out;
  std::vector<std::string> folders{""};
  while (!folders.empty()) {
    const std::string relative = std::move(folders.back());
    folders.pop_back();
    unique_fd fd = open_directory(relative.empty() ? path : join(path, relative));
    if (fd) read_folder(std::move(fd), relative, out, folders);
  }
  return out;
}

}  // namespace comrt::fswatch
