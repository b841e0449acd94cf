// Replacing a file as a whole: the new contents go to a temporary file in the same folder, which is
// flushed to disk and then renamed over the old file; the folder is flushed last so that the rename
// itself survives a crash. rename(2) within one file system is atomic, so readers and concurrent
// writers only ever see one complete version.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "comrt/guid.h"
#include "comrt/unique_fd.h"
#include "tree.h"

namespace comrt::xml {

namespace {

constexpr mode_t kNewFileMode = 0600;

HRESULT last_error() noexcept { return errno ? HResultFromErrno(errno) : E_FAIL; }

std::string folder_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// A symbolic link at the path is followed, so that the file it names is replaced and the link
// stays; a dangling link is replaced by the file.
std::string target_of(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved)) return resolved;
  return path;
}

HRESULT write_all(int fd, std::string_view data) noexcept {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return last_error();
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return S_OK;
}

// Collects the printed text in a fixed buffer and writes it to the file whenever the buffer is
// full; the first failure is kept and everything after it is dropped.
class file_writer final : public pugi::xml_writer {
 public:
  explicit file_writer(int fd) : fd_(fd) {}
  void write(const void* data, size_t size) override {
    const auto* p = static_cast<const char*>(data);
    if (used_ + size > sizeof buffer_) {
      flush();
      if (size >= sizeof buffer_) {
        if (SUCCEEDED(status_)) status_ = write_all(fd_, {p, size});
        return;
      }
    }
    std::memcpy(buffer_ + used_, p, size);
    used_ += size;
  }
  HRESULT finish() {
    flush();
    return status_;
  }

 private:
  void flush() {
    if (SUCCEEDED(status_) && used_) status_ = write_all(fd_, {buffer_, used_});
    used_ = 0;
  }
  int fd_;
  HRESULT status_ = S_OK;
  size_t used_ = 0;
  char buffer_[64 * 1024];
};

}  // namespace

HRESULT replace_file(const std::string& path, const std::function<void(pugi::xml_writer&)>& print) noexcept try {
  const std::string file = target_of(path);
  const std::string folder = folder_of(file);
  const size_t slash = file.rfind('/');
  std::string temp = folder + "/." + file.substr(slash == std::string::npos ? 0 : slash + 1) + ".XXXXXX";

  struct stat existing;
  const bool exists = ::stat(file.c_str(), &existing) == 0;
  if (exists && !S_ISREG(existing.st_mode)) return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);

  unique_fd fd(::mkostemp(temp.data(), O_CLOEXEC));  // created with mode 0600
  if (!fd) return last_error();
  struct remove_on_failure {
    const std::string& name;
    bool armed = true;
    ~remove_on_failure() {
      if (armed) ::unlink(name.c_str());
    }
  } cleanup{temp};

  if (exists) {
    // The replacement keeps the old file's permissions and, where allowed, its owner.
    if (::fchmod(fd.get(), existing.st_mode & 07777) != 0) return last_error();
    if (::fchown(fd.get(), existing.st_uid, existing.st_gid) != 0 && errno != EPERM) return last_error();
  } else if (::fchmod(fd.get(), kNewFileMode) != 0) {
    return last_error();
  }
  {
    auto writer = std::make_unique<file_writer>(fd.get());
    print(*writer);
    if (const HRESULT hr = writer->finish(); FAILED(hr)) return hr;
  }
  if (::fsync(fd.get()) != 0) return last_error();
  if (::close(fd.release()) != 0) return last_error();
  if (::rename(temp.c_str(), file.c_str()) != 0) return last_error();
  cleanup.armed = false;

  // The new file is in place whatever happens now; flushing the folder makes the rename durable.
  // Some file systems do not flush folders, so a failure here is not reported.
  if (unique_fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)); dir) ::fsync(dir.get());
  return S_OK;
} catch (...) {
  return to_hresult();
}

}  // namespace comrt::xml
