// The process-wide log: line format and encoding, attaching and closing, concurrent writers, and
// (in child processes, since the instance lives for the whole process) the environment variable
// and the end of the instance at process exit.
#include "diagnostics/log_file.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
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

// 2024-05-01 08:00:00.050 UTC as a FILETIME.
constexpr uint64_t kMay1st0800h50ms = 133590240000500000ull;
constexpr uint64_t kMillisecond = 10000;

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "tolvane-log-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// The UTF-16LE encoding of ASCII text, byte by byte.
std::string Utf16LeBytes(const std::string& ascii) {
  std::string out;
  for (char c : ascii) {
    out += c;
    out += '\0';
  }
  return out;
}

// Decodes a UTF-16LE file into lines split at CR LF. Fails the test on an odd size or a tail
// that does not end in CR LF.
std::vector<std::u16string> ReadLines(const fs::path& path) {
  const std::string bytes = ReadBytes(path);
  EXPECT_EQ(bytes.size() % 2, 0u) << "a line was cut between the bytes of a code unit";
  std::u16string text;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    text += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                  (static_cast<unsigned char>(bytes[i + 1]) << 8));
  }
  std::vector<std::u16string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find(u"\r\n", start)) != std::u16string::npos; start = end + 2) {
    lines.push_back(text.substr(start, end - start));
  }
  EXPECT_EQ(start, text.size()) << "the file does not end with a whole line";
  return lines;
}

std::string Narrow(const std::u16string& text) {
  std::string out;
  for (char16_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

std::string ThreadTag() { return "Thread(" + std::to_string(::gettid()) + ")"; }

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
  fs::path path_ = dir_.path() / "scheduler.log";
  CLogFile& log_ = CLogFile::GetInstance();
};

TEST_F(LogFileTest, ALineIsUtcTimeThreadAndMessageInUtf16LittleEndianWithoutByteOrderMark) {
  log_.WriteFormat(u"CScheduler::StartThread() Begin");
  EXPECT_EQ(ReadBytes(path_),
            Utf16LeBytes("2024-05-01T08:00:00. 50 " + ThreadTag() + " CScheduler::StartThread() Begin\r\n"));

  // Milliseconds are padded with spaces; the local zone must not leak into the time.
  const char* old_tz = std::getenv("TZ");
  const std::string saved = old_tz ? old_tz : "";
  ::setenv("TZ", "America/New_York", 1);
  RtSetClock(kMay1st0800h50ms - 43 * kMillisecond);
  log_.Write(u"a");
  RtSetClock(kMay1st0800h50ms + 73 * kMillisecond);
  log_.Write(nullptr);  // an empty message
  RtSetClock(kMay1st0800h50ms - 50 * kMillisecond);
  log_.Write(u"Z\u00fcrich \u20ac \U0001F600");
  old_tz ? ::setenv("TZ", saved.c_str(), 1) : ::unsetenv("TZ");

  const auto lines = ReadLines(path_);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(Narrow(lines[1]), "2024-05-01T08:00:00.  7 " + ThreadTag() + " a");
  EXPECT_EQ(Narrow(lines[2]), "2024-05-01T08:00:00.123 " + ThreadTag() + " ");
  EXPECT_EQ(lines[3].substr(0, 24), u"2024-05-01T08:00:00.  0 ");
  EXPECT_TRUE(lines[3].ends_with(u") Z\u00fcrich \u20ac \U0001F600"));
}

TEST_F(LogFileTest, FormattedMessagesAreOneWholeLineEvenWhenTheFormatIsBad) {
  int untouched = 5;
  log_.WriteFormat(u"item %s ran %d times (%hs)", u"N\u00e4chtlich", 3, "\xc3\xa9");
  log_.WriteFormat(u"%n%q 100%", &untouched);
  log_.WriteFormat(nullptr);
  const auto lines = ReadLines(path_);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_TRUE(lines[0].ends_with(u") item N\u00e4chtlich ran 3 times (\u00e9)"));
  EXPECT_TRUE(lines[1].ends_with(u") %n%q 100%"));
  EXPECT_TRUE(lines[2].ends_with(u") "));
  EXPECT_EQ(untouched, 5);
}

TEST_F(LogFileTest, NothingIsWrittenWithoutAnAttachedFile) {
  log_.Detach();
  EXPECT_FALSE(log_.IsAttached());
  log_.Write(u"lost");
  log_.WriteFormat(u"lost %d", 1);
  log_.Close();
  EXPECT_EQ(ReadBytes(path_), "");
}

TEST_F(LogFileTest, CloseWritesAClosingLineAndLaterWritesGoNowhere) {
  log_.Write(u"before");
  log_.Close();
  EXPECT_FALSE(log_.IsAttached());
  log_.Write(u"after");
  log_.Close();  // nothing attached: no second closing line
  const auto lines = ReadLines(path_);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(lines[0].ends_with(u" before"));
  EXPECT_EQ(Narrow(lines[1]), "2024-05-01T08:00:00. 50 " + ThreadTag() + " Log file closed.");
}

TEST_F(LogFileTest, AttachAppendsAndReplacesTheFileBefore) {
  log_.Detach();
  WriteBytes(path_, Utf16LeBytes("kept\r\n"));
  log_.Attach(path_.u16string());
  log_.Write(u"appended");

  const fs::path second = dir_.path() / u"zw\u00f6lf.log";  // reaches the kernel as UTF-8
  log_.Attach(second.u16string());
  log_.Write(u"moved");

  const auto first_lines = ReadLines(path_);
  ASSERT_EQ(first_lines.size(), 2u);  // replaced without a closing line
  EXPECT_EQ(first_lines[0], u"kept");
  EXPECT_TRUE(first_lines[1].ends_with(u" appended"));
  const auto second_lines = ReadLines(dir_.path() / "zw\xc3\xb6lf.log");
  ASSERT_EQ(second_lines.size(), 1u);
  EXPECT_TRUE(second_lines[0].ends_with(u" moved"));
}

TEST_F(LogFileTest, AFailedAttachReportsAndKeepsTheFileBefore) {
  auto status_of = [&](std::u16string_view path) {
    return comrt::boundary([&] { log_.Attach(path); });
  };
  EXPECT_EQ(status_of(u""), E_INVALIDARG);
  EXPECT_EQ(status_of(std::u16string_view(u"a\0b", 3)), E_INVALIDARG);
  EXPECT_TRUE(FAILED(status_of((dir_.path() / "missing" / "x.log").u16string())));
  EXPECT_TRUE(FAILED(status_of(dir_.path().u16string())));  // a directory

  log_.Write(u"still here");
  const auto lines = ReadLines(path_);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].ends_with(u" still here"));
}

TEST_F(LogFileTest, ConcurrentWritersGiveOnlyWholeLinesTaggedWithTheirThread) {
  constexpr int kLinesPerThread = 2000;
  std::latch start(2);
  pid_t ids[2] = {};
  auto writer = [&](int which) {
    ids[which] = ::gettid();
    start.arrive_and_wait();
    for (int i = 0; i < kLinesPerThread; ++i) {
      CLogFile::GetInstance().WriteFormat(u"writer %d line %d of a message long enough to be cut", which, i);
    }
  };
  std::thread a(writer, 0), b(writer, 1);
  a.join();
  b.join();

  int next[2] = {0, 0};
  const auto lines = ReadLines(path_);
  ASSERT_EQ(lines.size(), 2u * kLinesPerThread);
  for (const auto& line : lines) {
    const std::string text = Narrow(line);
    long id = 0;
    int which = -1, index = -1, length = -1;
    std::sscanf(text.c_str(), "2024-05-01T08:00:00. 50 Thread(%ld) writer %d line %d of a message long enough to be cut%n",
                &id, &which, &index, &length);
    ASSERT_EQ(length, static_cast<int>(text.size())) << text;
    ASSERT_TRUE(which == 0 || which == 1) << text;
    EXPECT_EQ(id, ids[which]);
    EXPECT_EQ(index, next[which]++);  // each thread's lines stay in its order
  }
}

TEST_F(LogFileTest, CloseRacingWritersLeavesTheClosingLineLast) {
  std::latch start(2);
  std::thread writer([&] {
    start.arrive_and_wait();
    for (int i = 0; i < 500; ++i) log_.Write(u"racing");
  });
  start.arrive_and_wait();
  log_.Close();
  writer.join();

  const auto lines = ReadLines(path_);
  ASSERT_FALSE(lines.empty());
  EXPECT_TRUE(lines.back().ends_with(u" Log file closed."));
  for (size_t i = 0; i + 1 < lines.size(); ++i) EXPECT_TRUE(lines[i].ends_with(u" racing"));
}

// ---------------------------------------------------------------------------------------------
// Child processes: a fresh instance per process.

struct ProbeResult {
  int exit_code = -1;
};

// Runs the probe program with `args`; TOLVANE_SCHEDULER_LOG is set to `log_path` when it is not
// empty and removed from the environment otherwise.
ProbeResult RunProbe(const std::vector<std::string>& args, const std::string& log_path) {
  std::vector<std::string> env_strings;
  for (char** e = environ; *e; ++e) {
    if (std::strncmp(*e, "TOLVANE_SCHEDULER_LOG=", 22) != 0) env_strings.emplace_back(*e);
  }
  if (!log_path.empty()) env_strings.push_back("TOLVANE_SCHEDULER_LOG=" + log_path);
  std::vector<char*> envp;
  for (auto& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);

  std::vector<std::string> arg_strings{TOLVANE_LOG_PROBE};
  arg_strings.insert(arg_strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& s : arg_strings) argv.push_back(s.data());
  argv.push_back(nullptr);

  pid_t pid = 0;
  ProbeResult result;
  if (::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), envp.data()) != 0) return result;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  return result;
}

TEST(LogFileProcess, TheEnvironmentVariableAttachesAFileThatExitClosesWithALine) {
  TempDir dir;
  const fs::path path = dir.path() / "from-env.log";
  ASSERT_EQ(RunProbe({"write", "hello from the probe"}, path.string()).exit_code, 0);
  const auto lines = ReadLines(path);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(lines[0].ends_with(u") hello from the probe")) << Narrow(lines[0]);
  EXPECT_TRUE(lines[1].ends_with(u") Log file closed."));
}

TEST(LogFileProcess, WithoutTheVariableOrWithAnUnopenablePathTheLogStaysSilent) {
  TempDir dir;
  EXPECT_EQ(RunProbe({"write", "quiet", "expect-detached"}, "").exit_code, 0);
  const fs::path unopenable = dir.path() / "no-such-dir" / "x.log";
  EXPECT_EQ(RunProbe({"write", "quiet", "expect-detached"}, unopenable.string()).exit_code, 0);
  EXPECT_TRUE(fs::is_empty(dir.path()));
}

TEST(LogFileProcess, FirstUseFromTwoThreadsMakesOneInstance) {
  TempDir dir;
  const fs::path path = dir.path() / "race.log";
  ASSERT_EQ(RunProbe({"race"}, path.string()).exit_code, 0);
  const auto lines = ReadLines(path);
  ASSERT_EQ(lines.size(), 3u);  // two writers, then one closing line
  EXPECT_TRUE(lines[2].ends_with(u") Log file closed."));
}

TEST(LogFileProcess, UseAfterExitDestructionIsADeadReference) {
  EXPECT_EQ(RunProbe({"dead-reference"}, "").exit_code, 42);
}

}  // namespace
