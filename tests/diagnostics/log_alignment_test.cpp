// A log write cut short (here by the file size limit) must not leave the lines after it out of
// step with the file's UTF-16 code units.
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "comrt/strings.h"
#include "diagnostics/log_file.h"

namespace {

namespace fs = std::filesystem;

TEST(LogAlignment, ALineWrittenAfterAWriteCutShortStartsOnACodeUnit) {
  std::string folder = (fs::temp_directory_path() / "tolvane-log-XXXXXX").string();
  ASSERT_NE(::mkdtemp(folder.data()), nullptr);
  const fs::path path = fs::path(folder) / "cut.log";
  auto& log = tolvane::CLogFile::GetInstance();
  log.Attach(comrt::to_utf16(path.string()));
  log.Write(u"before");

  // Writes beyond the limit fail (with SIGXFSZ ignored); the next line stops after seven bytes.
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  rlimit lowered = old;
  lowered.rlim_cur = fs::file_size(path) + 7;
  const sighandler_t handler = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lowered), 0);
  log.Write(u"cut");
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, handler);

  log.Write(u"after");
  log.Detach();
  std::ifstream in(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  fs::remove_all(folder);
  ASSERT_EQ(bytes.size() % 2, 0u);
  std::u16string units;
  for (size_t i = 0; i < bytes.size(); i += 2) {
    units += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) | static_cast<unsigned char>(bytes[i + 1]) << 8);
  }
  const std::string text = comrt::to_utf8(units);
  EXPECT_NE(text.find(" before\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find(" after\r\n"), std::string::npos) << text;
}

}  // namespace
