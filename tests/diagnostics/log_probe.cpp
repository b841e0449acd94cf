// A small program that uses the log in a process of its own, for what only a fresh process can
// show: attaching through the environment at first use, and the end of the instance at process
// exit. The exit code reports the outcome.
//
//   log_probe write <message> [expect-detached]   write one line; 0 when attached as expected
//   log_probe dead-reference                       42 when a use after exit is refused as it should
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include <unistd.h>

#include "diagnostics/log_file.h"

using tolvane::CLogFile;

namespace {

void UseAfterExit() {
  try {
    CLogFile::GetInstance();
  } catch (const std::logic_error& e) {
    _exit(std::strcmp(e.what(), "Dead Reference Detected") == 0 ? 42 : 1);
  } catch (...) {
    _exit(3);
  }
  _exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "write" && argc > 2) {
    CLogFile& log = CLogFile::GetInstance();
    const std::string message = argv[2];
    log.Write(std::u16string(message.begin(), message.end()).c_str());
    const bool expect_attached = !(argc > 3 && std::strcmp(argv[3], "expect-detached") == 0);
    return log.IsAttached() == expect_attached ? 0 : 1;
  }
  if (mode == "dead-reference") {
    // Registered before the instance exists, so it runs after the instance has been destroyed.
    std::atexit(UseAfterExit);
    CLogFile::GetInstance();
    return 0;
  }
  return 64;
}
