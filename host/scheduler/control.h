// How commands reach a running scheduler. A runner listens on a Unix domain socket named after its
// schedule file (in $XDG_RUNTIME_DIR, else in the configuration folder) and holds a lock file of the
// same name for its whole life; a command without a runner takes that lock while it changes the
// file itself, so a runner that starts meanwhile reads the file only after the change. A request is
// a command line (its words, each ended by NUL); the reply is the command's exit status, output
// and messages.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <comrt/unique_fd.h>
#include <comrt/worker_thread.h>

namespace tolvane::cli {

struct control_paths {
  std::string socket, lock;
};
control_paths control_paths_for(const std::string& schedule);

struct reply {
  int status = 0;
  std::string out, err;
};

// The running scheduler's reply; none when no runner listens, or it went away before replying.
std::optional<reply> ask_runner(const std::string& socket, const std::vector<std::string>& request);

class file_lock {
 public:
  explicit file_lock(const std::string& path);
  bool try_lock();
  void lock();

 private:
  comrt::unique_fd fd_;
};

// Answers requests one after another on a thread of its own (in the multithreaded apartment).
class control_server {
 public:
  using handler = std::function<reply(const std::vector<std::string>&)>;
  // Replaces a socket left behind by a runner that ended without removing it (the caller holds the lock).
  control_server(std::string socket, handler answer);
  // Stops listening (a request being answered is finished first) and removes the socket.
  ~control_server();
  control_server(const control_server&) = delete;
  control_server& operator=(const control_server&) = delete;

 private:
  uint32_t serve(comrt::worker_thread& thread);
  void answer(int connection);

  const std::string socket_;
  const handler answer_;
  comrt::unique_fd listener_, stop_read_, stop_write_;
  comrt::worker_thread thread_;  // last: joined before the members it uses go
};

}  // namespace tolvane::cli
