// A small in-process server library: one creatable class behind DllGetClassObject with a cached
// class object, DllCanUnloadNow from the library's lock count, and a hook that DllCanUnloadNow
// calls first (so a test can call back into the runtime from it).
#include <atomic>

#include "comrt/object.h"
#include "test_server.h"

namespace {

class CCounter final : public comrt::implements<CCounter, ICounter> {
 public:
  HRESULT STDMETHODCALLTYPE Next(LONG* value) override {
    return comrt::boundary([&] { *comrt::init_out(value) = ++count_; });
  }

 private:
  std::atomic<LONG> count_{0};
};

std::atomic<void (*)()> can_unload_hook{nullptr};

}  // namespace

COMRT_API HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  return comrt::boundary([&]() -> HRESULT {
    comrt::init_out(ppv);
    if (!(clsid == CLSID_TestCounter)) return CLASS_E_CLASSNOTAVAILABLE;
    static const auto factory = comrt::make<comrt::class_factory<CCounter>>();
    return factory->QueryInterface(riid, ppv);
  });
}

COMRT_API HRESULT DllCanUnloadNow() {
  if (auto hook = can_unload_hook.load()) hook();
  return comrt::module_lock_count().load() == 0 ? S_OK : S_FALSE;
}

COMRT_API void SetCanUnloadHook(void (*hook)()) { can_unload_hook.store(hook); }
