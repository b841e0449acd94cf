// tolvane-scheduler end to end, as a user runs it: each test has a home, configuration, runtime
// folder and registry of its own, so the program registers the component itself.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct result {
  int status = -1;
  std::string out, err;
};

std::string read_file(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void expect_all(const std::string& text, const std::vector<std::string>& parts) {
  for (const auto& part : parts) EXPECT_NE(text.find(part), std::string::npos) << part << " in\n" << text;
}

// The program runs with this process's environment, pointed at the test's own folders.
class Cli : public ::testing::Test {
 protected:
  Cli() {
    std::string pattern = (fs::temp_directory_path() / "tolvane-cli-XXXXXX").string();
    root = ::mkdtemp(pattern.data());
    for (const char* folder : {"home", "config", "run", "src/sub"}) fs::create_directories(root / folder);
    std::ofstream(root / "src/a.txt") << "alpha";
    std::ofstream(root / "src/sub/b.txt") << "beta";
    for (const auto& [name, value] : {std::pair{"HOME", "home"}, {"XDG_CONFIG_HOME", "config"}, {"XDG_RUNTIME_DIR", "run"},
                                      {"TOLVANE_REGISTRY_USER", "user.reg"}, {"TOLVANE_REGISTRY_MACHINE", "machine.reg"}}) {
      setenv(name, path(value).c_str(), 1);
    }
    setenv("LC_ALL", "C.UTF-8", 1);  // the component's texts in English
  }
  ~Cli() override {
    if (runner > 0) stop_runner(SIGKILL);
    std::error_code ec;
    fs::remove_all(root, ec);
  }

  std::string path(const char* relative) const { return (root / relative).string(); }

  pid_t spawn(std::vector<std::string> args, int out_fd, const fs::path& err_file) {
    args.insert(args.begin(), TOLVANE_SCHEDULER_PROGRAM);
    std::vector<char*> argv;
    for (auto& w : args) argv.push_back(w.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
    posix_spawn_file_actions_addopen(&actions, 2, err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
  }
  static int exit_status(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  // Runs the program to its end.
  result cli(std::vector<std::string> args) {
    const int fd = ::open((root / "out.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const pid_t pid = spawn(std::move(args), fd, root / "err.txt");
    ::close(fd);
    const int status = exit_status(pid);
    return {status, read_file(root / "out.txt"), read_file(root / "err.txt")};
  }

  // `run` in the background; its output is read as it comes.
  void start_runner() {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    runner = spawn({"run"}, fds[1], root / "runner-err.txt");
    ::close(fds[1]);
    runner_out = fds[0];
    ASSERT_TRUE(wait_for("; stop with Ctrl+C")) << runner_text << read_file(root / "runner-err.txt");
  }
  // Whether the runner has printed `text` (since the start) within a minute, or by its end.
  bool wait_for(const std::string& text, bool to_the_end = false) {
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    char buffer[4096];
    while (to_the_end || runner_text.find(text) == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd p{runner_out, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
      const ssize_t n = ::read(runner_out, buffer, sizeof buffer);
      if (n <= 0) return runner_text.find(text) != std::string::npos;
      runner_text.append(buffer, static_cast<std::size_t>(n));
    }
    return true;
  }
  int stop_runner(int signal) {
    ::kill(runner, signal);
    const int status = exit_status(runner);
    wait_for("", true);
    ::close(runner_out);
    runner = -1;
    return status;
  }

  fs::path root;
  pid_t runner = -1;
  int runner_out = -1;
  std::string runner_text;
};

TEST_F(Cli, AddListAndNextDescribeTheItem) {
  const result added = cli({"add", "Backup", "--daily", "18:00", "--weekly", "mon,fri@09:30", "--on-change",
                            path("src"), "--copy", path("src"), path("dst"), "--only-changes"});
  ASSERT_EQ(added.status, 0) << added.err;
  EXPECT_NE(added.out.find("added \"Backup\", next run "), std::string::npos) << added.out;

  expect_all(cli({"list"}).out, {"Backup\n", "every day", "When the folder src changes",
                                 "copy   " + path("src") + " -> " + path("dst") + " (only changes)", "never run"});
  expect_all(cli({"list", "--json"}).out, {"\"name\": \"Backup\"", "\"kind\": \"daily\"", "\"kind\": \"weekly\"",
                                           "\"kind\": \"on-change\"", "\"only_changes\": true", "\"last_run\": null"});
  // Three times from the two time triggers, and the folder.
  const result next = cli({"next", "--count", "3"});
  std::size_t times = 0;
  for (std::size_t at = 0; (at = next.out.find("\n    20", at)) != std::string::npos; ++at) ++times;
  EXPECT_EQ(times, 3u) << next.out;
  EXPECT_NE(next.out.find("and whenever " + path("src") + " changes"), std::string::npos) << next.out;
}

TEST_F(Cli, BadInputIsRefusedWithItsReasonAndLosesNothing) {
  ASSERT_EQ(cli({"add", "Kept", "--every", "1h", "--copy", path("src"), path("dst")}).status, 0);
  const std::string schedule = path("config/tolvane/schedule.xml");
  const std::string before = read_file(schedule);
  std::ofstream(path("broken.xml")) << "<?xml version=\"1.0\"?>\n<Scheduler>\n  <Items>\n    <Item\n</Scheduler>\n";
  struct row { std::vector<std::string> args; int status; std::string message; };
  const std::vector<row> rows = {
      {{"add", "X", "--at", "25:99", "--copy", path("src"), path("dst")}, 2, "bad time \"25:99\": give HH:MM"},
      {{"add", "X", "--at", "2001-01-01 10:00", "--copy", path("src"), path("dst")}, 2, "that time has passed"},
      {{"add", "X", "--weekly", "someday@10:00", "--copy", path("src"), path("dst")}, 2, "unknown day \"someday\""},
      {{"add", "X", "--on-change", path("missing"), "--copy", path("src"), path("dst")}, 2, "no such file or folder to watch"},
      {{"add", "X", "--daily", "10:00", "--copy", path("missing"), path("dst")}, 2, "no such file or folder to copy"},
      {{"add", "Kept", "--daily", "10:00", "--copy", path("src"), path("dst")}, 2, "exists already"},
      {{"add", "X", "--at-start", "--copy", path("src"), path("dst"), "--schedule", path("nowhere/s.xml")}, 2, "no such folder"},
      {{"remove", "Nobody"}, 4, "no item named \"Nobody\""},
      {{"next", "--count", "0"}, 2, "bad count"},
      {{"list", "--verbose"}, 2, "unknown option --verbose"},
      {{"frob"}, 2, "unknown command"},
      {{"list", "--schedule", path("broken.xml")}, 3, "(line 5, column 1)"},
      {{"add", "X", "--at-start", "--copy", path("src"), path("dst"), "--schedule", path("broken.xml")}, 3, "line 5"},
  };
  for (const row& r : rows) {
    const result got = cli(r.args);
    EXPECT_EQ(got.status, r.status) << r.args[0] << " " << r.args.back() << ": " << got.err;
    EXPECT_NE(got.err.find(r.message), std::string::npos) << r.message << " in " << got.err;
  }
  EXPECT_EQ(read_file(schedule), before);
  EXPECT_NE(read_file(path("broken.xml")).find("<Item\n"), std::string::npos);
}

TEST_F(Cli, RunCopiesAtStartAndRecordsTheResult) {
  ASSERT_EQ(cli({"add", "Copy", "--at-start", "--copy", path("src"), path("dst")}).status, 0);
  const result run = cli({"run", "--duration", "4s"});
  EXPECT_EQ(run.status, 0) << run.err;
  expect_all(run.out, {"\"Copy\" is due", "\"Copy\": copied 2 files", "stopping: 4 s have passed", "saved "});
  EXPECT_EQ(read_file(path("dst/sub/b.txt")), "beta");
  expect_all(cli({"list"}).out, {", succeeded\n"});

  // Without a runner, run-now copies here; a copy that fails is the item's last result.
  fs::remove_all(path("src"));
  const result failed = cli({"run-now", "Copy"});
  EXPECT_EQ(failed.status, 1);
  expect_all(failed.err + cli({"list"}).out, {"\"Copy\": a file or folder does not exist", ", a file or folder does not exist"});
}

TEST_F(Cli, EditsWhileRunningReachTheRunnerAndNothingIsLost) {
  ASSERT_EQ(cli({"add", "Hourly", "--every", "1h", "--copy", path("src"), path("dst")}).status, 0);
  start_runner();
  EXPECT_EQ(cli({"run"}).status, 1) << "a second runner for the same schedule";

  EXPECT_EQ(cli({"add", "Later", "--daily", "23:59", "--copy", path("src/a.txt"), path("other")}).status, 0);
  EXPECT_TRUE(wait_for("request: added \"Later\"")) << runner_text;
  EXPECT_EQ(cli({"run-now", "Hourly"}).status, 0);
  EXPECT_TRUE(wait_for("\"Hourly\": copied 2 files")) << runner_text;
  EXPECT_EQ(cli({"disable", "Later"}).status, 0);
  expect_all(cli({"list", "--json"}).out, {"\"name\": \"Later\", \"enabled\": false"});
  EXPECT_EQ(cli({"remove", "Nobody"}).status, 4);

  EXPECT_EQ(stop_runner(SIGTERM), 0) << runner_text;
  expect_all(runner_text, {"saved "});
  // Without the runner: its run record and every edit are in the file.
  expect_all(cli({"list", "--json"}).out, {"\"name\": \"Later\", \"enabled\": false", "\"text\": \"succeeded\""});
}

}  // namespace
