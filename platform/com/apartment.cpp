// Apartments are bookkeeping only: every class is free-threaded, so the model a thread joins
// changes nothing but the answers of CoInitializeEx.
#include "comrt/combase.h"

namespace {

struct apartment_state {
  unsigned count = 0;   // successful CoInitializeEx calls not yet matched by CoUninitialize
  bool single = false;  // joined as single-threaded (COINIT_APARTMENTTHREADED)
};

thread_local apartment_state this_thread;

}  // namespace

// S_OK the first time on a thread, S_FALSE for each further call with the same model (each must be
// matched by CoUninitialize), RPC_E_CHANGED_MODE for the other model (not counted).
STDAPI CoInitializeEx(void* pvReserved, DWORD dwCoInit) {
  constexpr DWORD known = COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE | COINIT_SPEED_OVER_MEMORY;
  if (pvReserved || (dwCoInit & ~known)) return E_INVALIDARG;
  const bool single = (dwCoInit & COINIT_APARTMENTTHREADED) != 0;
  if (this_thread.count == 0) {
    this_thread.single = single;
    this_thread.count = 1;
    return S_OK;
  }
  if (this_thread.single != single) return RPC_E_CHANGED_MODE;
  ++this_thread.count;
  return S_FALSE;
}

// An unmatched call does nothing.
COMRT_API void CoUninitialize() {
  if (this_thread.count > 0) --this_thread.count;
}
