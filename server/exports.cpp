// The library's exports: the only symbols libScheduler makes visible.
#include <comrt/combase.h>

#include "server/module.h"

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  return tolvane::CSchedulerModule::instance().get_class_object(rclsid, riid, ppv);
}

STDAPI DllCanUnloadNow() { return tolvane::CSchedulerModule::instance().can_unload_now(); }
