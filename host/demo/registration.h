// Where the demonstration finds the scheduler library, and the registry it registers it in: a
// temporary pair of registry files, so that running the program never touches a real registry.
#pragma once

#include <string>

#include <comrt/types.h>

namespace demo {

// A failed step: its description and status.
struct step_failed {
  std::string step;
  HRESULT hr;
};
// Throws step_failed for a failure status.
void check(HRESULT hr, const char* step);

// libScheduler.so next to the executable if there is one, otherwise the one this program was built with.
std::string scheduler_library_path();

// A temporary folder holding the machine and user registry files; the runtime is pointed at them
// for the life of the object, and the folder is removed at the end.
class scratch_registry {
 public:
  scratch_registry();
  ~scratch_registry();
  scratch_registry(const scratch_registry&) = delete;
  scratch_registry& operator=(const scratch_registry&) = delete;

  const std::string& folder() const { return folder_; }

 private:
  std::string folder_;
};

// Registers every class of the library for the current user, as `tolvane-regsvr --user` does: the
// library's own DllInstall with the command line "user".
void register_library(const std::string& library);

}  // namespace demo
