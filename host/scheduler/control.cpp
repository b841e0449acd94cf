#include "host/scheduler/control.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include <comrt/combase.h>

#include "host/scheduler/args.h"
#include "host/scheduler/schedule.h"

namespace tolvane::cli {

namespace {

constexpr std::size_t kMaxMessage = 16 << 20;
constexpr int kRequestTimeoutMs = 10'000;

sockaddr_un address_of(const std::string& socket) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socket.size() >= sizeof address.sun_path) {
    throw failure{exit_failed, "the socket path " + socket + " is too long: point XDG_RUNTIME_DIR to a shorter folder"};
  }
  std::memcpy(address.sun_path, socket.c_str(), socket.size() + 1);
  return address;
}

// Reads until the other side has finished writing; false on a failure or when the deadline passes.
bool read_all(int fd, std::string& data, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  char buffer[4096];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) == 0) return false;
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    data.append(buffer, static_cast<std::size_t>(n));
    if (data.size() > kMaxMessage) return false;
  }
}

bool write_all(int fd, const std::string& data) {
  for (std::size_t done = 0; done < data.size();) {
    const ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

uint64_t fnv1a(const std::string& text) {
  uint64_t hash = 0xcbf29ce484222325ull;
  for (const unsigned char c : text) hash = (hash ^ c) * 0x100000001b3ull;
  return hash;
}

}  // namespace

control_paths control_paths_for(const std::string& schedule) {
  std::error_code ec;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::string folder = runtime && *runtime && std::filesystem::is_directory(runtime, ec) ? runtime : config_folder();
  std::filesystem::create_directories(folder, ec);
  char name[48];
  std::snprintf(name, sizeof name, "/tolvane-scheduler-%016llx", static_cast<unsigned long long>(fnv1a(schedule)));
  return {folder + name + ".sock", folder + name + ".lock"};
}

std::optional<reply> ask_runner(const std::string& socket, const std::vector<std::string>& request) {
  const sockaddr_un address = address_of(socket);
  comrt::unique_fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd || ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return std::nullopt;
  std::string message;
  for (const std::string& word : request) message.append(word).push_back('\0');
  std::string answer;
  // A request may wait for a run the runner is finishing, or for a save.
  if (!write_all(fd.get(), message) || ::shutdown(fd.get(), SHUT_WR) != 0 || !read_all(fd.get(), answer, 120'000)) {
    return std::nullopt;
  }
  reply r;
  std::size_t out_size = 0;
  int used = 0;
  if (std::sscanf(answer.c_str(), "%d\n%zu\n%n", &r.status, &out_size, &used) != 2 ||
      out_size > answer.size() - static_cast<std::size_t>(used)) {
    return std::nullopt;
  }
  r.out = answer.substr(static_cast<std::size_t>(used), out_size);
  r.err = answer.substr(static_cast<std::size_t>(used) + out_size);
  return r;
}

file_lock::file_lock(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
  if (!fd_) throw failure{exit_failed, "cannot open " + path + ": " + std::strerror(errno)};
}

bool file_lock::try_lock() { return ::flock(fd_.get(), LOCK_EX | LOCK_NB) == 0; }

void file_lock::lock() {
  while (::flock(fd_.get(), LOCK_EX) != 0 && errno == EINTR) {
  }
}

control_server::control_server(std::string socket, handler answer)
    : socket_(std::move(socket)), answer_(std::move(answer)) {
  const sockaddr_un address = address_of(socket_);
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) throw failure{exit_failed, std::string("pipe: ") + std::strerror(errno)};
  stop_read_.reset(pipe_fds[0]);
  stop_write_.reset(pipe_fds[1]);
  listener_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  ::unlink(socket_.c_str());
  if (!listener_ || ::bind(listener_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::chmod(socket_.c_str(), 0600) != 0 || ::listen(listener_.get(), 16) != 0) {
    throw failure{exit_failed, "cannot listen on " + socket_ + ": " + std::strerror(errno)};
  }
  comrt::check_hresult(thread_.start([this](comrt::worker_thread& thread) { return serve(thread); }));
}

control_server::~control_server() {
  const char stop = 1;
  (void)!::write(stop_write_.get(), &stop, 1);
  thread_.join();
  ::unlink(socket_.c_str());
}

uint32_t control_server::serve(comrt::worker_thread& thread) {
  if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 1;
  thread.signal_started();
  for (;;) {
    pollfd fds[2] = {{listener_.get(), POLLIN, 0}, {stop_read_.get(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) continue;  // EINTR
    if (fds[1].revents) break;
    comrt::unique_fd connection(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (connection) answer(connection.get());
  }
  CoUninitialize();
  return 0;
}

void control_server::answer(int connection) {
  std::string request;
  if (!read_all(connection, request, kRequestTimeoutMs)) return;
  std::vector<std::string> words;
  for (std::size_t start = 0; start < request.size();) {
    const std::size_t end = request.find('\0', start);
    if (end == std::string::npos) return;  // not a request of ours
    words.push_back(request.substr(start, end - start));
    start = end + 1;
  }
  reply r;
  try {
    r = answer_(words);
  } catch (...) {
    r = {exit_failed, {}, "tolvane-scheduler: the running scheduler could not answer\n"};
  }
  write_all(connection, std::to_string(r.status) + "\n" + std::to_string(r.out.size()) + "\n" + r.out + r.err);
}

}  // namespace tolvane::cli
