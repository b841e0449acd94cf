#include "registration.h"

#include <dlfcn.h>
#include <stdlib.h>

#include <filesystem>
#include <system_error>

#include <comrt/combase.h>

namespace demo {

void check(HRESULT hr, const char* step) {
  if (FAILED(hr)) throw step_failed{step, hr};
}

std::string scheduler_library_path() {
  std::error_code ec;
  const auto beside = std::filesystem::read_symlink("/proc/self/exe", ec).parent_path() / "libScheduler.so";
  if (!ec && std::filesystem::exists(beside, ec)) return beside.string();
  return TOLVANE_SCHEDULER_LIBRARY;
}

scratch_registry::scratch_registry() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tolvane-demo-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw step_failed{"create a temporary folder", E_FAIL};
  folder_ = pattern;
  ::setenv("TOLVANE_REGISTRY_MACHINE", (folder_ + "/machine.reg").c_str(), 1);
  ::setenv("TOLVANE_REGISTRY_USER", (folder_ + "/user.reg").c_str(), 1);
}

scratch_registry::~scratch_registry() {
  std::error_code ec;
  std::filesystem::remove_all(folder_, ec);
}

void register_library(const std::string& library) {
  void* handle = ::dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) throw step_failed{"load " + library + ": " + ::dlerror(), E_FAIL};
  using install_fn = HRESULT(BOOL, LPCWSTR);
  auto* install = reinterpret_cast<install_fn*>(::dlsym(handle, "DllInstall"));
  const HRESULT hr = install ? install(TRUE, u"user") : CO_E_ERRORINDLL;
  ::dlclose(handle);
  check(hr, "register the library for the current user");
}

}  // namespace demo
