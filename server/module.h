// CSchedulerModule: the module object of libScheduler — the lock count, the class list and the
// class objects handed out by DllGetClassObject.
#pragma once

#include <comrt/object.h>

namespace tolvane {

// One creatable class: its identity in the registry and how its class object is made.
struct class_entry {
  const CLSID& clsid;
  const char16_t* coclass;        // the coclass name; the description is this followed by " Class"
  const char16_t* prog_id;        // "Scheduler.X.1"
  const char16_t* vi_prog_id;     // "Scheduler.X"
  bool registers_prog_id_keys;    // writes ProgID / VersionIndependentProgID under its CLSID key
  comrt::com_ptr<IClassFactory> (*make_factory)();
};

class CSchedulerModule {
 public:
  static CSchedulerModule& instance() noexcept;

  // The class object of a listed class (created at the first request, then kept), queried for riid.
  HRESULT get_class_object(REFCLSID clsid, REFIID riid, void** ppv) noexcept;
  // S_OK when no object of the library is alive and no class object is locked.
  HRESULT can_unload_now() const noexcept;

  static const class_entry* classes(size_t* count) noexcept;

 private:
  CSchedulerModule();
  comrt::mutex mutex_;
  // One slot per class of the list, filled at the first request.
  comrt::com_ptr<IClassFactory> factories_[16] COMRT_GUARDED_BY(mutex_);
};

}  // namespace tolvane
