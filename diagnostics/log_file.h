// The process-wide diagnostic log.
//
// One instance per process, reached through CLogFile::GetInstance(). Each line reads
//   2024-05-01T08:00:00. 50 Thread(4711) message<CR><LF>
// that is, the current UTC time (milliseconds padded with spaces to three characters), the numeric
// id of the writing thread, one space and the message; it is written as UTF-16LE code units without
// a byte-order mark. Nothing is written until a file is attached: at first use the log attaches
// the file named by the environment variable TOLVANE_SCHEDULER_LOG, if it is set, and Attach()
// attaches one explicitly. The component itself never opens a log file.
#pragma once

#include <string>
#include <string_view>

#include "comrt/thread_annotations.h"

namespace tolvane {

class CLogFile {
 public:
  // Name of the environment variable that attaches a log file at first use.
  static constexpr const char* kEnvironmentVariable = "TOLVANE_SCHEDULER_LOG";

  // The one instance, created on the first call (safely, whichever thread makes it) and destroyed
  // at process exit. A call after that destruction throws std::logic_error("Dead Reference
  // Detected").
  static CLogFile& GetInstance();

  virtual ~CLogFile();
  CLogFile(const CLogFile&) = delete;
  CLogFile& operator=(const CLogFile&) = delete;

  // Writes one line; a null message counts as empty. Does nothing when no file is attached; a
  // failed write is ignored, and a line after one that was cut short still starts on a UTF-16 code
  // unit. Lines of concurrent writers never interleave.
  void Write(const char16_t* message) COMRT_EXCLUDES(lock_);
  // Formats the message printf-style (see diagnostics/text_format.h) and writes it as one line.
  void WriteFormat(const char16_t* format, ...) COMRT_EXCLUDES(lock_);
  // Writes "Log file closed." and closes the file; later writes go nowhere until a file is
  // attached again. Does nothing when no file is attached.
  void Close() COMRT_EXCLUDES(lock_);

  // Opens `path` (UTF-16; created if missing, appended to if present) as the log file, replacing
  // the file attached before, which is closed without a closing line. Throws comrt::hresult_error:
  // E_INVALIDARG for an empty path or one containing NUL, the open's errno as a status otherwise
  // (the previous file stays attached then).
  void Attach(std::u16string_view path) COMRT_EXCLUDES(lock_);
  // Closes the attached file without writing a closing line.
  void Detach() COMRT_EXCLUDES(lock_);
  bool IsAttached() const COMRT_EXCLUDES(lock_);

 private:
  // Owner of one file descriptor; -1 means none.
  class FileDescriptor {
   public:
    FileDescriptor() noexcept = default;
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept;
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    ~FileDescriptor();
    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    void reset() noexcept;

   private:
    int fd_ = -1;
  };

  CLogFile();
  static FileDescriptor Open(const std::string& utf8_path);

  mutable comrt::mutex lock_;
  FileDescriptor file_ COMRT_GUARDED_BY(lock_);
};

}  // namespace tolvane
