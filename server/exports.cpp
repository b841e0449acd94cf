// The library's exports: the only symbols libScheduler makes visible.
#include <dlfcn.h>

#include <filesystem>

#include <comrt/combase.h>
#include <comrt/strings.h>

#include "server/module.h"
#include "server/registration.h"

namespace {

// The full path of this library file, as the registry names it.
std::u16string library_path() {
  Dl_info info{};
  if (!dladdr(reinterpret_cast<const void*>(&library_path), &info) || !info.dli_fname) comrt::throw_hresult(E_FAIL);
  std::error_code ec;
  const std::filesystem::path file = std::filesystem::absolute(info.dli_fname, ec);
  return comrt::to_utf16((ec ? std::filesystem::path(info.dli_fname) : file).string());
}

tolvane::registrar& module_registrar() {
  static tolvane::registrar r = [] {
    size_t count = 0;
    const tolvane::class_entry* classes = tolvane::CSchedulerModule::classes(&count);
    return tolvane::registrar(library_path(), {classes, count});
  }();
  return r;
}

// The interface proxies and stubs: every object is in-process and free-threaded, so no interface
// is marshalled and their class object is never available.
HRESULT marshalling_class_object(REFCLSID, REFIID, void**) noexcept { return CLASS_E_CLASSNOTAVAILABLE; }

template <class F>
HRESULT with_registrar(F&& f) noexcept {
  return comrt::boundary([&] { return f(module_registrar()); });
}

}  // namespace

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (const HRESULT hr = marshalling_class_object(rclsid, riid, ppv); hr != CLASS_E_CLASSNOTAVAILABLE) return hr;
  return tolvane::CSchedulerModule::instance().get_class_object(rclsid, riid, ppv);
}

STDAPI DllCanUnloadNow() { return tolvane::CSchedulerModule::instance().can_unload_now(); }

STDAPI DllRegisterServer() {
  return with_registrar([](const tolvane::registrar& r) { return r.register_server(); });
}

STDAPI DllUnregisterServer() {
  return with_registrar([](const tolvane::registrar& r) { return r.unregister_server(); });
}

STDAPI DllInstall(BOOL bInstall, LPCWSTR pszCmdLine) {
  return with_registrar([&](tolvane::registrar& r) { return r.install(bInstall, pszCmdLine); });
}
