// A small in-process server library: one creatable class behind DllGetClassObject, and
// DllCanUnloadNow answering from the library's lock count.
#include <atomic>

#include "comrt/object.h"
#include "test_server.h"

namespace {

class CCounter final : public comrt::implements<CCounter, ICounter, comrt::free_threaded> {
 public:
  HRESULT STDMETHODCALLTYPE Next(LONG* value) override {
    return comrt::boundary([&] { *comrt::init_out(value) = ++count_; });
  }

 private:
  std::atomic<LONG> count_{0};
};

}  // namespace

COMRT_API HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  return comrt::boundary([&]() -> HRESULT {
    comrt::init_out(ppv);
    if (!(clsid == CLSID_TestCounter)) return CLASS_E_CLASSNOTAVAILABLE;
    static const comrt::com_ptr<comrt::class_factory<CCounter>> factory = comrt::make<comrt::class_factory<CCounter>>();
    return factory->QueryInterface(riid, ppv);
  });
}

COMRT_API HRESULT DllCanUnloadNow() { return comrt::module_lock_count().load() == 0 ? S_OK : S_FALSE; }
