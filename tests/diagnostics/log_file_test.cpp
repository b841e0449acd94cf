// The process-wide log: line format and encoding, attaching and closing, concurrent writers, and
// (in child processes, since the instance lives for the whole process) the environment variable
// and the end of the instance at process exit.
#include "diagnostics/log_file.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "comrt/object.h"
#include "comrt/timeapi.h"
#include "platform/registry/registry_sandbox.h"

namespace {

using tolvane::CLogFile;
using tolvane::test::registry_sandbox;  // a scratch folder
namespace fs = std::filesystem;

constexpr uint64_t kMay1st0800h50ms = 133590240000500000ull;  // 2024-05-01 08:00:00.050 UTC
constexpr uint64_t kMillisecond = 10000;

// Decodes a UTF-16LE file into lines split at CR LF; fails the test on a cut line.
std::vector<std::u16string> ReadLines(const fs::path& path) {
  const std::string bytes = registry_sandbox::read(path);
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

class LogFileTest : public ::testing::Test {
 protected:
  LogFileTest() {
    RtSetClock(kMay1st0800h50ms);
    log_.Attach(path_.u16string());
  }
  ~LogFileTest() override {
    log_.Detach();
    RtResetClock();
  }
  registry_sandbox dir_;
  fs::path path_ = fs::path(dir_.folder()) / "scheduler.log";
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

  EXPECT_EQ(registry_sandbox::read(path_).substr(0, 4), std::string("2\0000\0", 4)) << "no byte-order mark";
  const std::string tag = " Thread(" + std::to_string(::gettid()) + ") ";
  const std::u16string thread(tag.begin(), tag.end());
  const std::vector<std::u16string> expected{u"2024-05-01T08:00:00. 50" + thread + u"item N\u00e4chtlich ran 3 times",
                                             u"2024-05-01T08:00:00.  7" + thread,
                                             u"2024-05-01T08:00:00.123" + thread + u"\U0001F600",
                                             u"2024-05-01T08:00:00.123" + thread + u"Log file closed."};
  EXPECT_EQ(ReadLines(path_), expected);
}

TEST_F(LogFileTest, AttachReplacesTheFileAndAppendsAndAFailedAttachKeepsIt) {
  for (std::u16string bad : {std::u16string(), std::u16string(u"a\0b", 3), (path_ / "x").u16string()})
    EXPECT_TRUE(FAILED(comrt::boundary([&] { log_.Attach(bad); })));
  log_.Write(u"first");
  const fs::path second = fs::path(dir_.folder()) / u"zw\u00f6lf.log";  // reaches the kernel as UTF-8
  log_.Attach(second.u16string());
  log_.Write(u"second");
  log_.Detach();
  log_.Write(u"lost");
  log_.Attach(path_.u16string());
  log_.Write(u"again");
  EXPECT_EQ(ReadLines(path_).size(), 2u) << "replaced without a closing line; attaching appends";
  EXPECT_EQ(ReadLines(dir_.folder() + "/zw\xc3\xb6lf.log").size(), 1u);
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
  EXPECT_TRUE(lines[1].ends_with(u") after"));
}

TEST_F(LogFileTest, ConcurrentWritersGiveOnlyWholeLinesAndCloseComesLast) {
  std::latch start(3);
  auto writer = [&](int which) {
    start.arrive_and_wait();
    for (int i = 0; i < 1000; ++i) log_.WriteFormat(u"writer %d line %d of a long enough message", which, i);
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

// Runs the probe program in a process of its own with TOLVANE_SCHEDULER_LOG set to `log` (unset
// when empty); returns its exit code.
int RunProbe(const std::string& args, const std::string& log) {
  const std::string env = log.empty() ? "env -u TOLVANE_SCHEDULER_LOG " : "env TOLVANE_SCHEDULER_LOG='" + log + "' ";
  const int status = std::system((env + TOLVANE_LOG_PROBE + " " + args).c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(LogFileProcess, TheEnvironmentVariableAttachesAFileThatExitClosesWithALine) {
  registry_sandbox dir;
  ASSERT_EQ(RunProbe("hello", dir.folder() + "/env.log"), 0);
  const auto lines = ReadLines(dir.folder() + "/env.log");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(lines[0].ends_with(u") hello"));
  EXPECT_TRUE(lines[1].ends_with(u") Log file closed."));
  EXPECT_EQ(RunProbe("quiet expect-detached", ""), 0);
  EXPECT_EQ(RunProbe("quiet expect-detached", dir.folder() + "/no-such-dir/x.log"), 0);
}

}  // namespace
