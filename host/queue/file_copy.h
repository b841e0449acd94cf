// The copying behind a transfer: the files to send, and sending them to a local folder or through
// libcurl to a URL. Every file is written under a temporary name in its destination folder and
// renamed once complete, so a failed or cancelled copy never leaves a half-written file under the
// real name.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <comrt/types.h>

namespace tolvane::host {

struct transfer_progress {
  std::string file;           // the file being sent, relative to the source
  std::size_t files_done = 0;
  std::size_t files_total = 0;
  uint64_t bytes_done = 0;    // over the whole transfer
  uint64_t bytes_total = 0;
};

struct copy_job {
  std::string source;       // a file, or a folder when `folder` is set
  std::string destination;  // a local folder, or a URL of a remote folder
  bool folder = false;
  std::optional<std::vector<std::string>> only_files;  // relative paths; empty optional: all
};

using progress_callback = std::function<void(const transfer_progress&)>;

// Performs the job; S_OK or the status of the first failure (E_ABORT once `cancel` is set). A
// missing source fails with HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) or (ERROR_PATH_NOT_FOUND), a
// destination of an unknown scheme with E_INVALIDARG.
HRESULT perform_copy(const copy_job& job, const progress_callback& progress, const std::atomic<bool>& cancel);

}  // namespace tolvane::host
