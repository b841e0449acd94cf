// A temporary folder holding the registry's two store files for the life of a test; the runtime
// is pointed at it through its environment variables.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace tolvane::test {

class registry_sandbox {
 public:
  registry_sandbox() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tolvane-registry-XXXXXX";
    folder_ = ::mkdtemp(pattern.data()) ? pattern : std::string();
    point_at(folder_);
  }
  ~registry_sandbox() {
    ::unsetenv("TOLVANE_REGISTRY_MACHINE");
    ::unsetenv("TOLVANE_REGISTRY_USER");
    std::error_code ec;
    if (!folder_.empty()) std::filesystem::remove_all(folder_, ec);
  }
  registry_sandbox(const registry_sandbox&) = delete;
  registry_sandbox& operator=(const registry_sandbox&) = delete;

  // Points the runtime at the store files in another folder below the sandbox.
  void point_at(const std::string& folder) {
    machine_ = folder + "/machine.reg";
    user_ = folder + "/user.reg";
    ::setenv("TOLVANE_REGISTRY_MACHINE", machine_.c_str(), 1);
    ::setenv("TOLVANE_REGISTRY_USER", user_.c_str(), 1);
  }

  const std::string& folder() const { return folder_; }
  const std::string& machine_file() const { return machine_; }
  const std::string& user_file() const { return user_; }

  static std::string read(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }
  static void write(const std::string& file, const std::string& text) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
  }

 private:
  std::string folder_;
  std::string machine_;
  std::string user_;
};

}  // namespace tolvane::test
