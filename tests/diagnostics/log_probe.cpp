// A small program that uses the log in a process of its own, for what only a fresh process can
// show: attaching through the environment at first use, and the closing line at process exit.
//
//   log_probe <message> [expect-detached]   writes one line; exits with 0 when attached as expected
#include <cstring>
#include <string>

#include "diagnostics/log_file.h"

int main(int argc, char** argv) {
  if (argc < 2) return 64;
  tolvane::CLogFile& log = tolvane::CLogFile::GetInstance();
  const std::string message = argv[1];
  log.Write(std::u16string(message.begin(), message.end()).c_str());
  const bool expect_attached = !(argc > 2 && std::strcmp(argv[2], "expect-detached") == 0);
  return log.IsAttached() == expect_attached ? 0 : 1;
}
