#include "diagnostics/log_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <utility>

#include "comrt/combase.h"
#include "comrt/object.h"
#include "comrt/strings.h"
#include "comrt/timeapi.h"
#include "diagnostics/text_format.h"

namespace tolvane {
namespace {

// Set once the instance has been destroyed at process exit. Constant-initialised and trivially
// destructible, so it can still be read after every other static has gone.
std::atomic<bool> g_destroyed{false};

// "2024-05-01T08:00:00. 50 Thread(4711) " for the current time and the calling thread.
std::u16string LinePrefix() {
  SYSTEMTIME now{};
  GetSystemTime(&now);
  char text[96];
  const int n = std::snprintf(text, sizeof text, "%04hu-%02hu-%02huT%02hu:%02hu:%02hu.%3hu Thread(%u) ",
                              now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond,
                              now.wMilliseconds, static_cast<unsigned>(::gettid()));
  std::u16string prefix;
  for (int i = 0; i < n && i < static_cast<int>(sizeof text) - 1; ++i) {
    prefix += static_cast<char16_t>(static_cast<unsigned char>(text[i]));
  }
  return prefix;
}

// Writes all of `bytes`, retrying after interruptions and short writes; gives up silently on an
// error, since a failed log write must not disturb the caller.
void WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// Writes one line for `message` (null: empty) to `fd`. The caller holds the log's lock.
void WriteLine(int fd, const char16_t* message) {
  std::u16string line = LinePrefix();
  if (message) line += message;
  line += u"\r\n";

  std::string bytes;
  bytes.reserve(line.size() * 2 + 1);
  // A write cut short (a full disk, a file size limit) may have ended the file between the two
  // bytes of a code unit: one byte completes that unit, so that this line and every later one
  // stand at an even offset and read as UTF-16 again.
  struct stat st;
  if (::fstat(fd, &st) == 0 && st.st_size % 2 != 0) bytes += '\0';
  for (const char16_t unit : line) {
    bytes += static_cast<char>(unit & 0xFF);
    bytes += static_cast<char>(unit >> 8);
  }
  // One write per line on a file opened for appending: other processes appending to the same
  // file cannot split it either.
  WriteAll(fd, bytes);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// FileDescriptor

CLogFile::FileDescriptor::FileDescriptor(FileDescriptor&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)) {}

CLogFile::FileDescriptor& CLogFile::FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) {
    reset();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

CLogFile::FileDescriptor::~FileDescriptor() { reset(); }

void CLogFile::FileDescriptor::reset() noexcept {
  if (fd_ >= 0) ::close(fd_);  // a close error leaves nothing to recover: the descriptor is gone
  fd_ = -1;
}

// ---------------------------------------------------------------------------------------------
// CLogFile

CLogFile& CLogFile::GetInstance() {
  if (g_destroyed.load(std::memory_order_acquire)) throw std::logic_error("Dead Reference Detected");
  // A function-local static: made once, even when two threads ask first at the same moment, and
  // destroyed at process exit.
  static CLogFile instance;
  return instance;
}

CLogFile::CLogFile() {
  // The way a user attaches a log: the component never opens one by itself. A file that cannot be
  // opened leaves the log silent; there is nobody to report it to.
  const char* path = std::getenv(kEnvironmentVariable);
  if (path && *path) {
    try {
      FileDescriptor opened = Open(path);
      comrt::lock_guard guard(lock_);
      file_ = std::move(opened);
    } catch (const comrt::hresult_error&) {
    }
  }
}

CLogFile::~CLogFile() {
  try {
    Close();
  } catch (...) {  // only a failed allocation of the closing line; the file is closed regardless
  }
  g_destroyed.store(true, std::memory_order_release);
}

CLogFile::FileDescriptor CLogFile::Open(const std::string& utf8_path) {
  const int fd = ::open(utf8_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (fd < 0) comrt::throw_hresult(HResultFromErrno(errno));
  return FileDescriptor(fd);
}

void CLogFile::WriteFormat(const char16_t* format, ...) {
  {
    // Formatting is wasted work when nothing is attached.
    comrt::lock_guard guard(lock_);
    if (!file_) return;
  }
  va_list args;
  va_start(args, format);
  std::u16string message;
  try {
    message = diagnostics::FormatV(format, args);
  } catch (...) {
    va_end(args);
    throw;
  }
  va_end(args);
  Write(message.c_str());
}

void CLogFile::Write(const char16_t* message) {
  comrt::lock_guard guard(lock_);
  if (file_) WriteLine(file_.get(), message);
}

void CLogFile::Close() {
  comrt::lock_guard guard(lock_);
  // Taken out first so that the file is closed on every way out. The closing line and the close
  // happen under one hold of the lock: no other thread's line can follow "Log file closed.".
  const FileDescriptor closing = std::move(file_);
  if (closing) WriteLine(closing.get(), u"Log file closed.");
}

void CLogFile::Attach(std::u16string_view path) {
  if (path.empty() || path.find(u'\0') != std::u16string_view::npos) comrt::throw_hresult(E_INVALIDARG);
  FileDescriptor opened = Open(comrt::to_utf8(path));
  comrt::lock_guard guard(lock_);
  file_ = std::move(opened);
}

void CLogFile::Detach() {
  comrt::lock_guard guard(lock_);
  file_.reset();
}

bool CLogFile::IsAttached() const {
  comrt::lock_guard guard(lock_);
  return static_cast<bool>(file_);
}

}  // namespace tolvane
