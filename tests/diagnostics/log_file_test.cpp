// The process-wide log: line format and encoding, attaching and closing, concurrent writers, and
// (in child processes, since the instance lives for the whole process) the environment variable
// and the end of the instance at process exit.
#include "diagnostics/log_file.h"

#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "comrt/object.h"
#include "comrt/timeapi.h"

extern char** environ;

namespace {

using tolvane::CLogFile;
namespace fs = std::filesystem;

constexpr uint64_t kMay1st0800h50ms = 133590240000500000ull;  // 2024-05-01 08:00:00.050 UTC
constexpr uint64_t kMillisecond = 10000;

struct TempDir {
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "tolvane-log-XXXXXX").string();
    path = ::mkdtemp(pattern.data()) ? pattern : "";
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
  fs::path path;
};

std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Decodes a UTF-16LE file into lines split at CR LF; fails the test on a cut line.
std::vector<std::u16string> ReadLines(const fs::path& path) {
  const std::string bytes = ReadBytes(path);
  EXPECT_EQ(bytes.size() % 2, 0u) << "a line was cut between the bytes of a code unit";
  std::u16string text;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2)
    text += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) | (static_cast<unsigned char>(bytes[i + 1]) << 8));
  std::vector<std::u16string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find(u"\r\n", start)) != std::u16string::npos; start = end + 2)
    lines.push_back(text.substr(start, end - start));
  EXPECT_EQ(start, text.size()) << "the file does not end with a whole line";
  return lines;
}

std::u16string ThreadTag() {
  const std::string tag = "Thread(" + std::to_string(::gettid()) + ")";
  return std::u16string(tag.begin(), tag.end());
}

class LogFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RtSetClock(kMay1st0800h50ms);
    log_.Attach(path_.u16string());
  }
  void TearDown() override {
    log_.Detach();
    RtResetClock();
  }

  TempDir dir_;
  fs::path path_ = dir_.path / "scheduler.log";
  CLogFile& log_ = CLogFile::GetInstance();
};

TEST_F(LogFileTest, ALineIsUtcTimeThreadAndMessageInUtf16LittleEndian) {
  log_.WriteFormat(u"item %s ran %d times", u"N\u00e4chtlich", 3);
  const char* old_tz = std::getenv("TZ");
  const std::string saved = old_tz ? old_tz : "";
  ::setenv("TZ", "America/New_York", 1);  // the local zone must not leak into the time
  RtSetClock(kMay1st0800h50ms - 43 * kMillisecond);
  log_.Write(nullptr);
  RtSetClock(kMay1st0800h50ms + 73 * kMillisecond);
  log_.Write(u"\U0001F600");
  old_tz ? ::setenv("TZ", saved.c_str(), 1) : ::unsetenv("TZ");
  log_.Close();
  log_.Write(u"after");

  EXPECT_EQ(ReadBytes(path_).substr(0, 4), std::string("2\0000\0", 4)) << "no byte-order mark";
  const std::vector<std::u16string> expected{
      u"2024-05-01T08:00:00. 50 " + ThreadTag() + u" item N\u00e4chtlich ran 3 times",
      u"2024-05-01T08:00:00.  7 " + ThreadTag() + u" ", u"2024-05-01T08:00:00.123 " + ThreadTag() + u" \U0001F600",
      u"2024-05-01T08:00:00.123 " + ThreadTag() + u" Log file closed."};
  EXPECT_EQ(ReadLines(path_), expected);
}

TEST_F(LogFileTest, AttachReplacesTheFileBeforeAndAFailedAttachKeepsIt) {
  auto status_of = [&](std::u16string_view path) { return comrt::boundary([&] { log_.Attach(path); }); };
  EXPECT_EQ(status_of(u""), E_INVALIDARG);
  EXPECT_EQ(status_of(std::u16string_view(u"a\0b", 3)), E_INVALIDARG);
  EXPECT_TRUE(FAILED(status_of((dir_.path / "missing" / "x.log").u16string())));
  log_.Write(u"first");
  const fs::path second = dir_.path / u"zw\u00f6lf.log";  // reaches the kernel as UTF-8
  log_.Attach(second.u16string());
  log_.Write(u"second");
  ASSERT_EQ(ReadLines(path_).size(), 1u) << "replaced without a closing line";
  ASSERT_EQ(ReadLines(dir_.path / "zw\xc3\xb6lf.log").size(), 1u);
  log_.Detach();
  EXPECT_FALSE(log_.IsAttached());
  log_.Write(u"lost");
  EXPECT_EQ(ReadLines(second).size(), 1u);
  log_.Attach(path_.u16string());
  log_.Write(u"again");
  EXPECT_EQ(ReadLines(path_).size(), 2u) << "attaching appends";
}

// A write cut short (here by the file size limit) must not leave the lines after it out of step
// with the file's UTF-16 code units.
TEST_F(LogFileTest, ALineWrittenAfterAWriteCutShortStartsOnACodeUnit) {
  log_.Write(u"before");
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  rlimit lowered = old;
  lowered.rlim_cur = fs::file_size(path_) + 7;  // the next line stops after seven bytes
  const sighandler_t handler = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lowered), 0);
  log_.Write(u"cut");
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, handler);
  log_.Write(u"after");
  const auto lines = ReadLines(path_);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(lines[0].ends_with(u") before"));
  EXPECT_TRUE(lines[1].ends_with(u") after"));
}

TEST_F(LogFileTest, ConcurrentWritersGiveOnlyWholeLinesAndCloseComesLast) {
  constexpr int kLinesPerThread = 1000;
  std::latch start(3);
  auto writer = [&](int which) {
    start.arrive_and_wait();
    for (int i = 0; i < kLinesPerThread; ++i) log_.WriteFormat(u"writer %d line %d of a long enough message", which, i);
  };
  std::thread a(writer, 0), b(writer, 1);
  start.arrive_and_wait();
  std::this_thread::yield();
  log_.Close();
  a.join();
  b.join();
  const auto lines = ReadLines(path_);
  ASSERT_FALSE(lines.empty());
  EXPECT_TRUE(lines.back().ends_with(u") Log file closed."));
  for (size_t i = 0; i + 1 < lines.size(); ++i) EXPECT_TRUE(lines[i].ends_with(u" of a long enough message"));
}

// Runs the probe program in a process of its own; TOLVANE_SCHEDULER_LOG is `log_path` when it is
// not empty and removed from the environment otherwise. Returns the exit code.
int RunProbe(std::vector<std::string> args, const std::string& log_path) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e)
    if (std::strncmp(*e, "TOLVANE_SCHEDULER_LOG=", 22) != 0) env.emplace_back(*e);
  if (!log_path.empty()) env.push_back("TOLVANE_SCHEDULER_LOG=" + log_path);
  args.insert(args.begin(), TOLVANE_LOG_PROBE);
  std::vector<char*> envp, argv;
  for (auto& s : env) envp.push_back(s.data());
  for (auto& s : args) argv.push_back(s.data());
  envp.push_back(nullptr);
  argv.push_back(nullptr);
  pid_t pid = 0;
  int status = 0;
  if (::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), envp.data()) != 0) return -1;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(LogFileProcess, TheEnvironmentVariableAttachesAFileThatExitClosesWithALine) {
  TempDir dir;
  ASSERT_EQ(RunProbe({"write", "hello"}, (dir.path / "env.log").string()), 0);
  const auto lines = ReadLines(dir.path / "env.log");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(lines[0].ends_with(u") hello"));
  EXPECT_TRUE(lines[1].ends_with(u") Log file closed."));

  EXPECT_EQ(RunProbe({"write", "quiet", "expect-detached"}, ""), 0);
  EXPECT_EQ(RunProbe({"write", "quiet", "expect-detached"}, (dir.path / "no-such-dir" / "x.log").string()), 0);
  ASSERT_EQ(RunProbe({"race"}, (dir.path / "race.log").string()), 0);  // first use from two threads
  EXPECT_EQ(ReadLines(dir.path / "race.log").size(), 3u);
  EXPECT_EQ(RunProbe({"dead-reference"}, ""), 42);
}

}  // namespace
