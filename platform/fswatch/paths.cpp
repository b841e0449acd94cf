#include "paths.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>

#include "comrt/folder_watcher.h"

namespace comrt::fswatch {

std::string normalize_path(std::string_view absolute) {
  std::string out;
  out.reserve(absolute.size());
  size_t pos = 0;
  while (pos < absolute.size()) {
    size_t end = absolute.find('/', pos);
    if (end == std::string_view::npos) end = absolute.size();
    const std::string_view part = absolute.substr(pos, end - pos);
    if (!part.empty() && part != ".") {
      out += '/';
      out += part;
    }
    pos = end + 1;
  }
  return out.empty() ? std::string("/") : out;
}

std::string_view parent_of(std::string_view path) noexcept {
  if (path.size() <= 1) return {};
  const size_t slash = path.rfind('/');
  return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

std::string_view name_of(std::string_view path) noexcept {
  const size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string join(std::string_view folder, std::string_view name) {
  std::string out;
  out.reserve(folder.size() + 1 + name.size());
  out += folder;
  if (out.empty() || out.back() != '/') out += '/';
  out += name;
  return out;
}

unique_fd open_directory(std::string_view path, int flags) {
  flags |= O_DIRECTORY | O_CLOEXEC;
  if (path.size() < PATH_MAX) return unique_fd(::open(std::string(path).c_str(), flags));
  // Piece by piece: every piece but the last is opened as a plain reference (O_PATH).
  unique_fd at;
  size_t pos = 0;
  while (pos < path.size()) {
    size_t end = path.size();
    if (end - pos >= PATH_MAX) {
      end = path.rfind('/', pos + PATH_MAX - 1);
      if (end == std::string_view::npos || end <= pos) {
        errno = ENAMETOOLONG;
        return {};
      }
    }
    const std::string piece(path.substr(pos, end - pos));
    const bool last = end == path.size();
    const int piece_flags = last ? flags : (O_PATH | O_DIRECTORY | O_CLOEXEC);
    unique_fd next(::openat(at ? at.get() : AT_FDCWD, piece.c_str(), piece_flags));
    if (!next) return {};
    at = std::move(next);
    pos = end + 1;
  }
  return at;
}

std::string descriptor_path(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

}  // namespace comrt::fswatch

namespace comrt {

std::optional<path_status> status_of(std::string_view path) {
  if (path.empty() || path.front() != '/' || path.find('\0') != std::string_view::npos) return std::nullopt;
  struct stat st {};
  int rc;
  if (path.size() < PATH_MAX) {
    rc = ::stat(std::string(path).c_str(), &st);
  } else {
    const std::string normal = fswatch::normalize_path(path);
    const unique_fd folder = fswatch::open_directory(fswatch::parent_of(normal), O_PATH);
    if (!folder) return std::nullopt;
    rc = ::fstatat(folder.get(), std::string(fswatch::name_of(normal)).c_str(), &st, 0);
  }
  if (rc != 0) return std::nullopt;
  return path_status{S_ISDIR(st.st_mode), static_cast<uint64_t>(st.st_size),
                     static_cast<int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec};
}

}  // namespace comrt
