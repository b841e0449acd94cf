#include "host/scheduler/component.h"

#include <dlfcn.h>

#include <filesystem>
#include <system_error>

#include <comrt/combase.h>

#include "host/scheduler/args.h"
#include "host/scheduler/report.h"

namespace tolvane::cli {

std::string scheduler_library_path() {
  std::error_code ec;
  const auto program_folder = std::filesystem::read_symlink("/proc/self/exe", ec).parent_path();
  for (const auto& candidate : {program_folder / "libScheduler.so", program_folder / TOLVANE_INSTALLED_LIBRARY}) {
    if (!ec && std::filesystem::exists(candidate, ec)) return candidate.lexically_normal().string();
  }
  return TOLVANE_SCHEDULER_LIBRARY;
}

HRESULT register_library(const std::string& library, bool user, bool unregister) {
  void* handle = ::dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) return CO_E_DLLNOTFOUND;
  using plain_fn = HRESULT();
  using install_fn = HRESULT(BOOL, LPCWSTR);
  HRESULT hr = CO_E_ERRORINDLL;
  if (user) {
    if (auto* install = reinterpret_cast<install_fn*>(::dlsym(handle, "DllInstall")))
      hr = install(unregister ? FALSE : TRUE, u"user");
  } else if (auto* entry = reinterpret_cast<plain_fn*>(
                 ::dlsym(handle, unregister ? "DllUnregisterServer" : "DllRegisterServer"))) {
    hr = entry();
  }
  ::dlclose(handle);
  return hr;
}

component::apartment::apartment() { comrt::check_hresult(CoInitializeEx(nullptr, COINIT_MULTITHREADED)); }
component::apartment::~apartment() { CoUninitialize(); }

component::component(std::ostream& notes) : notes_(notes), classes_(host::register_transfer_classes()) {}

comrt::com_ptr<IScheduler> component::create_scheduler() {
  const auto create_by_prog_id = [](comrt::com_ptr<IScheduler>& scheduler) {
    CLSID clsid{};
    const HRESULT hr = CLSIDFromProgID(u"Scheduler.Scheduler", &clsid);
    if (FAILED(hr)) return hr;
    return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IScheduler, scheduler.put_void());
  };
  comrt::com_ptr<IScheduler> scheduler;
  HRESULT hr = create_by_prog_id(scheduler);
  if (SUCCEEDED(hr)) return scheduler;
  const std::string library = scheduler_library_path();
  const HRESULT registered = register_library(library, true, false);
  if (SUCCEEDED(registered)) {
    notes_ << "tolvane-scheduler: registered the scheduler component for the current user (" << library << ")\n";
    hr = create_by_prog_id(scheduler);
    if (SUCCEEDED(hr)) return scheduler;
  }
  throw failure{exit_component, "the scheduler component cannot be loaded from " + library + ": " +
                                    status_words(FAILED(registered) ? registered : hr) +
                                    " (try: tolvane-scheduler register --user)"};
}

}  // namespace tolvane::cli
