// Folder watching: how long a recursive watch of 10,000 folders takes to set up, beside
// `inotifywait -r` on the same tree, and how long a change takes to reach a folder monitor
// trigger's mark (p50 and p99 of the time from a write until IsSet answers S_OK).
#include <benchmark/benchmark.h>
#include <comrt/folder_watcher.h>
#include <comrt/strings.h>
#include <comrt/variant.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "triggers/monitor_trigger.h"

extern char** environ;

namespace {

using clock_type = std::chrono::steady_clock;

// A tree of `top` folders with `per_top` folders each, made once per size and removed at exit.
class folder_tree {
 public:
  folder_tree(int top, int per_top) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/watch-bench-XXXXXX";
    if (!::mkdtemp(pattern.data())) std::abort();
    root_ = pattern;
    for (int i = 0; i < top; ++i) {
      const std::string a = root_ + "/t" + std::to_string(i);
      ::mkdir(a.c_str(), 0755);
      for (int j = 0; j < per_top; ++j) {
        const std::string b = a + "/f" + std::to_string(j);
        ::mkdir(b.c_str(), 0755);
        leaves_.push_back(b);
      }
    }
  }
  ~folder_tree() { std::filesystem::remove_all(root_); }
  const std::string& root() const { return root_; }
  const std::vector<std::string>& leaves() const { return leaves_; }

  static const folder_tree& of_size(int folders) {
    static const folder_tree empty(0, 0);
    static const folder_tree large(100, 100);
    return folders == 0 ? empty : large;
  }

 private:
  std::string root_;
  std::vector<std::string> leaves_;
};

// CPU time of this process (every thread), in milliseconds.
double process_cpu_ms() {
  timespec t{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

struct quiet_client final : comrt::folder_watch_client {
  void on_folder_change() noexcept override {}
  void on_watch_fallback(std::string_view, int) noexcept override { fell_back = true; }
  bool fell_back = false;
};

void BM_WatchSetUp(benchmark::State& state) {
  const folder_tree& tree = folder_tree::of_size(static_cast<int>(state.range(0)));
  comrt::folder_watcher watcher;
  quiet_client client;
  double cpu_ms = 0;
  for (auto _ : state) {
    const double cpu_before = process_cpu_ms();
    comrt::folder_watch watch = watcher.watch(tree.root(), comrt::watch_scope::tree, client);
    cpu_ms += process_cpu_ms() - cpu_before;
    state.PauseTiming();
    watch.reset();
    state.ResumeTiming();
  }
  if (client.fell_back) state.SkipWithError("the watch fell back to snapshots");
  state.counters["folders"] = static_cast<double>(tree.leaves().size());
  state.counters["cpu_ms"] = cpu_ms / static_cast<double>(state.iterations());
}
BENCHMARK(BM_WatchSetUp)->Arg(10000)->Iterations(10)->Unit(benchmark::kMillisecond);

// From starting `inotifywait -r` until it reports "Watches established." (so process start-up is
// included: Arg(0), an empty folder, shows that part alone). cpu_ms is the CPU time the process
// used until it was stopped right after that line.
void BM_InotifywaitSetUp(benchmark::State& state) {
  const folder_tree& tree = folder_tree::of_size(static_cast<int>(state.range(0)));
  double cpu_ms = 0;
  for (auto _ : state) {
    int err_pipe[2];
    if (::pipe2(err_pipe, O_CLOEXEC) != 0) std::abort();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    std::string root = tree.root();
    char* argv[] = {const_cast<char*>("inotifywait"),
                    const_cast<char*>("-r"),
                    const_cast<char*>("-m"),
                    const_cast<char*>("-e"),
                    const_cast<char*>("modify"),
                    root.data(),
                    nullptr};
    pid_t pid = 0;
    const int rc = ::posix_spawnp(&pid, "inotifywait", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(err_pipe[1]);
    if (rc != 0) {
      ::close(err_pipe[0]);
      state.SkipWithError("inotifywait is not installed (Debian package inotify-tools)");
      break;
    }
    std::string output;
    char buffer[512];
    while (output.find("Watches established.") == std::string::npos) {
      const ssize_t n = ::read(err_pipe[0], buffer, sizeof buffer);
      if (n <= 0) break;
      output.append(buffer, static_cast<size_t>(n));
    }
    state.PauseTiming();
    ::kill(pid, SIGTERM);
    rusage usage{};
    ::wait4(pid, nullptr, 0, &usage);
    cpu_ms += (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
              (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
    ::close(err_pipe[0]);
    if (output.find("Watches established.") == std::string::npos) state.SkipWithError(output.c_str());
    state.ResumeTiming();
  }
  state.counters["cpu_ms"] = cpu_ms / static_cast<double>(state.iterations());
}
BENCHMARK(BM_InotifywaitSetUp)->Arg(0)->Arg(10000)->Iterations(10)->Unit(benchmark::kMillisecond);

// A trigger on the 10,000-folder tree; each round writes a file in a different folder and asks
// IsSet until it answers S_OK, as the scheduler thread would (without its 500 ms tick).
void BM_ChangeToMark(benchmark::State& state) {
  const folder_tree& tree = folder_tree::of_size(10000);
  auto trigger = comrt::make<tolvane::CScheduleMonitorTrigger>();
  trigger->put_Path(comrt::bstr(comrt::to_utf16(tree.root())).get());
  std::vector<double> latencies;
  size_t round = 0;
  for (auto _ : state) {
    const std::string file = tree.leaves()[(round++ * 7919) % tree.leaves().size()] + "/changed";
    const auto start = clock_type::now();
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0 || ::write(fd, "x", 1) != 1) std::abort();
    ::close(fd);
    while (trigger->IsSet() != S_OK) std::this_thread::yield();
    const std::chrono::duration<double, std::milli> took = clock_type::now() - start;
    state.SetIterationTime(took.count() / 1000);
    latencies.push_back(took.count());
  }
  std::sort(latencies.begin(), latencies.end());
  if (!latencies.empty()) {
    state.counters["p50_ms"] = latencies[latencies.size() / 2];
    state.counters["p99_ms"] = latencies[latencies.size() * 99 / 100];
  }
}
BENCHMARK(BM_ChangeToMark)->UseManualTime()->Iterations(1000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
