// The scheduler component as the program uses it: where its library is, its registration, and the
// runtime with the host's transfer classes for as long as a command works.
#pragma once

#include <ostream>
#include <string>

#include <comrt/object.h>

#include "Scheduler.h"
#include "host/queue/transfer_queue.h"

namespace tolvane::cli {

// libScheduler.so beside the program (a build tree), where the package installs it, or the one
// the program was built with.
std::string scheduler_library_path();

// Registers or unregisters the library's classes through its own exports: machine-wide with
// DllRegisterServer / DllUnregisterServer, for the current user with DllInstall and the command
// line "user". CO_E_DLLNOTFOUND when the library cannot be loaded.
HRESULT register_library(const std::string& library, bool user, bool unregister);

// The multithreaded apartment and the host's transfer classes (which a schedule file's transfers
// are created from) while the object lives.
class component {
 public:
  // Notes (a registration made on the way) go to `notes`.
  explicit component(std::ostream& notes);
  component(const component&) = delete;
  component& operator=(const component&) = delete;

  // Scheduler.Scheduler by its ProgID. When the registry does not know it, or names a library
  // that cannot be loaded, the library is registered for the current user first. Throws
  // failure{exit_component} when that does not help.
  comrt::com_ptr<IScheduler> create_scheduler();

  template <class I>
  static comrt::com_ptr<I> create(REFCLSID clsid) {
    comrt::com_ptr<I> object;
    comrt::check_hresult(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, comrt::uuidof<I>(), object.put_void()));
    return object;
  }

 private:
  struct apartment {
    apartment();
    ~apartment();
  };
  std::ostream& notes_;
  apartment apartment_;  // first: left last
  host::transfer_class_registration classes_;
};

}  // namespace tolvane::cli
