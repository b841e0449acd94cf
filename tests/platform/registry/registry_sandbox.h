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
    std::string pattern = (std::filesystem::temp_directory_path() / "tolvane-registry-XXXXXX").string();
    point_at(folder_ = ::mkdtemp(pattern.data()) ? pattern : std::string());
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
    ::setenv("TOLVANE_REGISTRY_MACHINE", (machine_ = folder + "/machine.reg").c_str(), 1);
    ::setenv("TOLVANE_REGISTRY_USER", (user_ = folder + "/user.reg").c_str(), 1);
  }

  const std::string& folder() const { return folder_; }
  const std::string& machine_file() const { return machine_; }
  const std::string& user_file() const { return user_; }

  static std::string read(const std::string& file) {
    std::ostringstream s;
    s << std::ifstream(file, std::ios::binary).rdbuf();
    return s.str();
  }
  static void write(const std::string& file, const std::string& text) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
  }

 private:
  std::string folder_, machine_, user_;
};

}  // namespace tolvane::test
