// A write to the log that the system cuts short (here by the file size limit) must not leave the
// lines after it out of step with the file's UTF-16 code units.
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "comrt/strings.h"
#include "diagnostics/log_file.h"

namespace {

namespace fs = std::filesystem;
using tolvane::CLogFile;

// Lowers the soft file size limit of the process for its lifetime; writes beyond it fail instead
// of raising SIGXFSZ.
class file_size_limit {
 public:
  explicit file_size_limit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &old_);
    old_handler_ = signal(SIGXFSZ, SIG_IGN);
    rlimit lowered = old_;
    lowered.rlim_cur = bytes;
    ok_ = setrlimit(RLIMIT_FSIZE, &lowered) == 0;
  }
  ~file_size_limit() {
    setrlimit(RLIMIT_FSIZE, &old_);
    signal(SIGXFSZ, old_handler_);
  }
  file_size_limit(const file_size_limit&) = delete;
  file_size_limit& operator=(const file_size_limit&) = delete;
  bool ok() const { return ok_; }

 private:
  rlimit old_{};
  sighandler_t old_handler_ = SIG_DFL;
  bool ok_ = false;
};

TEST(LogAlignment, ALineWrittenAfterAWriteCutShortStartsOnACodeUnit) {
  std::string folder = (fs::temp_directory_path() / "tolvane-log-XXXXXX").string();
  ASSERT_NE(::mkdtemp(folder.data()), nullptr);
  const fs::path path = fs::path(folder) / "cut.log";
  auto& log = CLogFile::GetInstance();
  log.Attach(comrt::to_utf16(path.string()));

  log.Write(u"before");
  {
    file_size_limit limit(fs::file_size(path) + 7);  // the next line stops after seven bytes
    ASSERT_TRUE(limit.ok());
    log.Write(u"cut");
  }
  log.Write(u"after");
  log.Detach();

  std::ifstream in(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  fs::remove_all(folder);
  ASSERT_EQ(bytes.size() % 2, 0u);
  std::u16string text;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    text += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) | static_cast<unsigned char>(bytes[i + 1]) << 8);
  }
  const std::string utf8 = comrt::to_utf8(text);
  EXPECT_NE(utf8.find(" before\r\n"), std::string::npos) << utf8;
  EXPECT_EQ(utf8.find(" cut\r\n"), std::string::npos) << "the cut line is not whole";
  EXPECT_NE(utf8.find(" after\r\n"), std::string::npos) << utf8;
}

}  // namespace
