// Activation: class objects registered in the process, server libraries found through the registry,
// ProgIDs.
//
// Every context a caller asks for (CLSCTX_INPROC_SERVER, CLSCTX_LOCAL_SERVER, CLSCTX_ALL, ...) is
// served in-process: there are no local or remote servers. A class is looked for first among the
// class objects registered in the process (CoRegisterClassObject), then in the calling thread's
// active activation context (comrt/actctx.h, a manifest naming the server library), then in the registry, where
// HKEY_CLASSES_ROOT\CLSID\{clsid}\InprocServer32's default value names the server library (a REG_SZ
// or REG_EXPAND_SZ path; a name without a slash is searched for as dlopen(3) does). The library is
// loaded once per path with RTLD_NOW | RTLD_LOCAL, kept loaded, and asked through its exported
// DllGetClassObject.
//
// Unloading takes two phases, as for free-threaded servers: CoFreeUnusedLibrariesEx marks a
// library whose DllCanUnloadNow answers S_OK, and a later call unloads it only if the library has
// answered S_OK ever since, no activation has gone through it in between, and the grace period
// (the delay) has passed since it was marked. So the last Release of an object, which lowers the
// lock count while its own code still runs, has long returned before the code is unmapped.
// DllCanUnloadNow is called without the runtime's library-table lock held: a library may call back
// into the runtime from it.
//
// Activation does not require CoInitializeEx: every class is free-threaded, so a thread that has
// not initialised is treated as a member of the multithreaded apartment.
#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "comrt/guid.h"
#include "comrt/object.h"
#include "comrt/registry.h"
#include "comrt/strings.h"
#include "comrt/time.h"
#include "comrt/unique_handle.h"
#include "xml/document_class.h"
#include "manifest.h"

namespace {

using comrt::com_ptr;

// ---------------------------------------------------------------------------------------------
// Class objects registered in the process.

struct registration {
  CLSID clsid;
  com_ptr<IUnknown> object;
  bool single_use = false;
  bool used = false;  // a single-use registration answers one request only
};

struct class_table {
  comrt::mutex m;
  std::map<DWORD, registration> entries COMRT_GUARDED_BY(m);
  DWORD next_cookie COMRT_GUARDED_BY(m) = 1;
};

class_table& classes() {
  static class_table t;
  return t;
}

com_ptr<IUnknown> registered_class_object(REFCLSID clsid) {
  class_table& t = classes();
  comrt::lock_guard guard(t.m);
  for (auto& [cookie, r] : t.entries) {
    if (!(r.clsid == clsid) || r.used) continue;
    if (r.single_use) r.used = true;
    return r.object;
  }
  return nullptr;
}

// ---------------------------------------------------------------------------------------------
// Server libraries.

struct library_traits {
  using type = void*;
  static constexpr void* invalid() noexcept { return nullptr; }
  static void close(void* handle) noexcept { dlclose(handle); }
};
using dl_handle = comrt::unique_handle<library_traits>;

struct library {
  dl_handle handle;
  LPFNGETCLASSOBJECT get_class_object = nullptr;
  LPFNCANUNLOADNOW can_unload_now = nullptr;  // optional: without it the library stays loaded
  std::atomic<int> in_use{0};                  // activations running through the library now
  std::atomic<uint64_t> activations{0};        // activations that ever went through the library
  // Set while the library is marked for unloading: when it was marked, and the activation count
  // then. Guarded by the library table's lock.
  std::optional<uint64_t> marked_at;
  uint64_t marked_activations = 0;
};

// Keeps a library loaded and counts as "in use" while an activation runs through it.
class library_pin {
 public:
  library_pin() = default;
  explicit library_pin(std::shared_ptr<library> lib) noexcept : lib_(std::move(lib)) {}
  library_pin(library_pin&& o) noexcept = default;
  library_pin& operator=(library_pin&& o) noexcept {
    release();
    lib_ = std::move(o.lib_);
    return *this;
  }
  ~library_pin() { release(); }
  library* operator->() const noexcept { return lib_.get(); }

 private:
  void release() noexcept {
    if (lib_) lib_->in_use.fetch_sub(1, std::memory_order_acq_rel);
    lib_.reset();
  }
  std::shared_ptr<library> lib_;
};

struct library_table {
  comrt::mutex m;
  std::map<std::string, std::shared_ptr<library>> loaded COMRT_GUARDED_BY(m);

  // At process exit the libraries stay mapped: objects released by later exit handlers may still
  // run their code.
  ~library_table() {
    comrt::lock_guard guard(m);
    for (auto& [file, lib] : loaded) static_cast<void>(lib->handle.release());
  }
};

library_table& libraries() {
  static library_table t;
  return t;
}

library_pin pin_locked(const std::shared_ptr<library>& lib) {
  lib->in_use.fetch_add(1, std::memory_order_acq_rel);
  lib->activations.fetch_add(1, std::memory_order_acq_rel);
  return library_pin(lib);
}

// The loaded library for a path, loading it at the first request.
library_pin load_library(const std::string& file) {
  library_table& t = libraries();
  {
    comrt::lock_guard guard(t.m);
    if (auto it = t.loaded.find(file); it != t.loaded.end()) return pin_locked(it->second);
  }
  // Loaded outside the lock: the library's initialisers may call back into the runtime.
  auto lib = std::make_shared<library>();
  lib->handle.reset(dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL));
  if (!lib->handle) comrt::throw_hresult(CO_E_DLLNOTFOUND);
  lib->get_class_object = reinterpret_cast<LPFNGETCLASSOBJECT>(dlsym(lib->handle.get(), "DllGetClassObject"));
  lib->can_unload_now = reinterpret_cast<LPFNCANUNLOADNOW>(dlsym(lib->handle.get(), "DllCanUnloadNow"));
  if (!lib->get_class_object) comrt::throw_hresult(CO_E_ERRORINDLL);

  comrt::lock_guard guard(t.m);
  auto [it, inserted] = t.loaded.emplace(file, lib);  // another thread may have loaded it meanwhile
  return pin_locked(it->second);
}

// ---------------------------------------------------------------------------------------------
// Registry look-ups.

// The default value of HKEY_CLASSES_ROOT\<subkey> as text; nullopt when the key or value is missing.
// Other registry failures throw REGDB_E_READREGDB.
std::optional<std::u16string> classes_default_value(const std::u16string& subkey) {
  for (;;) {
    DWORD size = 0;
    LONG r = RegGetValueW(HKEY_CLASSES_ROOT, subkey.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, nullptr, &size);
    if (r == ERROR_FILE_NOT_FOUND || r == ERROR_UNSUPPORTED_TYPE || r == ERROR_INVALID_PARAMETER) return std::nullopt;
    if (r != ERROR_SUCCESS) comrt::throw_hresult(REGDB_E_READREGDB);
    std::u16string text(size / sizeof(char16_t), u'\0');
    r = RegGetValueW(HKEY_CLASSES_ROOT, subkey.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, text.data(), &size);
    if (r == ERROR_MORE_DATA) continue;  // changed in between
    if (r == ERROR_FILE_NOT_FOUND) return std::nullopt;
    if (r != ERROR_SUCCESS) comrt::throw_hresult(REGDB_E_READREGDB);
    text.resize(size / sizeof(char16_t));
    while (!text.empty() && text.back() == u'\0') text.pop_back();
    return text;
  }
}

std::u16string clsid_key(REFCLSID clsid) { return u"CLSID\\" + comrt::to_u16string(clsid); }

// A ProgID names a key directly below the classes root.
bool valid_progid(std::u16string_view id) noexcept {
  return !id.empty() && id.find(u'\\') == std::u16string_view::npos;
}

// ---------------------------------------------------------------------------------------------
// Class objects.

// The class object for clsid, QueryInterface'd for riid. The pin keeps a server library loaded and
// "in use" until the caller has finished with what it got.
HRESULT get_class_object(REFCLSID clsid, DWORD context, REFIID riid, void** ppv, library_pin& pin) {
  constexpr DWORD any_server = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER |
                               CLSCTX_REMOTE_SERVER;
  if (!(context & any_server)) return E_INVALIDARG;
  if (com_ptr<IUnknown> object = registered_class_object(clsid)) return object->QueryInterface(riid, ppv);
  if (com_ptr<IUnknown> object = comrt::xml::class_object(clsid)) return object->QueryInterface(riid, ppv);

  // The thread's activation context names a server before the registry does.
  std::optional<std::string> server = comrt::manifest::active_server(clsid);
  if (!server) {
    const auto file = classes_default_value(clsid_key(clsid) + u"\\InprocServer32");
    if (!file || file->empty()) return REGDB_E_CLASSNOTREG;
    server = comrt::to_utf8(*file);
  }
  pin = load_library(*server);
  return pin->get_class_object(clsid, riid, ppv);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Entry points

// A class may be registered once at a time (CO_E_OBJISREG otherwise). REGCLS_SINGLEUSE answers one
// request; the other flags (REGCLS_SUSPENDED, REGCLS_SURROGATE) have no effect in-process.
STDAPI CoRegisterClassObject(REFCLSID rclsid, IUnknown* pUnk, DWORD, DWORD flags, DWORD* lpdwRegister) {
  return comrt::boundary([&]() -> HRESULT {
    if (!pUnk || !lpdwRegister) return E_INVALIDARG;
    *lpdwRegister = 0;
    class_table& t = classes();
    comrt::lock_guard guard(t.m);
    for (const auto& [cookie, r] : t.entries)
      if (r.clsid == rclsid && !r.used) return CO_E_OBJISREG;
    const DWORD cookie = t.next_cookie++;
    registration r{rclsid, com_ptr<IUnknown>(pUnk), (flags & REGCLS_MULTIPLEUSE) == 0 &&
                                                        (flags & REGCLS_MULTI_SEPARATE) == 0};
    t.entries.emplace(cookie, std::move(r));
    *lpdwRegister = cookie;
    return S_OK;
  });
}

STDAPI CoRevokeClassObject(DWORD dwRegister) {
  return comrt::boundary([&]() -> HRESULT {
    com_ptr<IUnknown> released;  // released after the lock
    class_table& t = classes();
    comrt::lock_guard guard(t.m);
    auto it = t.entries.find(dwRegister);
    if (it == t.entries.end()) return CO_E_OBJNOTREG;
    released = std::move(it->second.object);
    t.entries.erase(it);
    return S_OK;
  });
}

STDAPI CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, void*, REFIID riid, void** ppv) {
  return comrt::boundary([&]() -> HRESULT {
    if (!ppv) return E_INVALIDARG;
    *ppv = nullptr;
    library_pin pin;
    return get_class_object(rclsid, dwClsContext, riid, ppv, pin);
  });
}

STDAPI CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid, void** ppv) {
  return comrt::boundary([&]() -> HRESULT {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    library_pin pin;  // held until the object exists and counts in its library's lock count
    com_ptr<IClassFactory> factory;
    if (const HRESULT hr = get_class_object(rclsid, dwClsContext, IID_IClassFactory, factory.put_void(), pin);
        FAILED(hr))
      return hr;
    if (!factory) return E_UNEXPECTED;
    return factory->CreateInstance(pUnkOuter, riid, ppv);
  });
}

COMRT_API void CoFreeUnusedLibrariesEx(DWORD dwUnloadDelay, DWORD) {
  // INFINITE asks for the default grace period of ten minutes.
  constexpr DWORD default_delay_ms = 10 * 60 * 1000;
  const uint64_t delay =
      uint64_t{dwUnloadDelay == INFINITE ? default_delay_ms : dwUnloadDelay} * (comrt::ticks_per_second / 1000);

  struct candidate {
    std::shared_ptr<library> lib;
    uint64_t activations = 0;
    bool unloadable = false;
  };
  std::vector<candidate> candidates;
  library_table& t = libraries();
  {
    comrt::lock_guard guard(t.m);
    for (const auto& [file, lib] : t.loaded)
      if (lib->can_unload_now) candidates.push_back({lib, lib->activations.load(std::memory_order_acquire)});
  }
  // Asked outside the lock: the library may call back into the runtime.
  for (candidate& c : candidates)
    c.unloadable = c.lib->in_use.load(std::memory_order_acquire) == 0 && c.lib->can_unload_now() == S_OK;

  std::vector<std::shared_ptr<library>> unloaded;  // closed after the lock
  const uint64_t now = comrt::now_ticks();
  {
    comrt::lock_guard guard(t.m);
    for (candidate& c : candidates) {
      library& lib = *c.lib;
      const uint64_t activations = lib.activations.load(std::memory_order_acquire);
      if (!c.unloadable || activations != c.activations || lib.in_use.load(std::memory_order_acquire) != 0) {
        lib.marked_at.reset();  // in use: the grace period starts again when it is free
        continue;
      }
      if (!lib.marked_at || lib.marked_activations != activations) {
        lib.marked_at = now;
        lib.marked_activations = activations;
        continue;
      }
      if (now - std::min(now, *lib.marked_at) < delay) continue;
      for (auto it = t.loaded.begin(); it != t.loaded.end(); ++it) {
        if (it->second == c.lib) {
          unloaded.push_back(std::move(it->second));
          t.loaded.erase(it);
          break;
        }
      }
    }
  }
}

COMRT_API void CoFreeUnusedLibraries() { CoFreeUnusedLibrariesEx(INFINITE, 0); }

// HKEY_CLASSES_ROOT\<ProgID>\CLSID's default value. A version-independent ProgID is registered with
// its own CLSID key; one that has only a CurVer key is followed to the ProgID CurVer names.
// Not registered: CO_E_CLASSSTRING.
STDAPI CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid) {
  return comrt::boundary([&]() -> HRESULT {
    if (!lpszProgID || !lpclsid) return E_INVALIDARG;
    *lpclsid = CLSID_NULL;
    std::u16string progid(lpszProgID);
    if (auto described = comrt::manifest::active_class(progid)) {
      *lpclsid = *described;
      return S_OK;
    }
    for (int hop = 0; hop < 2; ++hop) {
      if (!valid_progid(progid)) return CO_E_CLASSSTRING;
      if (auto text = classes_default_value(progid + u"\\CLSID")) {
        auto clsid = comrt::parse_guid(*text);
        if (!clsid) return CO_E_CLASSSTRING;
        *lpclsid = *clsid;
        return S_OK;
      }
      auto current = classes_default_value(progid + u"\\CurVer");
      if (!current) break;
      progid = std::move(*current);
    }
    return CO_E_CLASSSTRING;
  });
}

// HKEY_CLASSES_ROOT\CLSID\{clsid}\ProgID's default value, in task memory. REGDB_E_CLASSNOTREG when
// the class has none.
STDAPI ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* lplpszProgID) {
  return comrt::boundary([&]() -> HRESULT {
    if (!lplpszProgID) return E_INVALIDARG;
    *lplpszProgID = nullptr;
    auto progid = comrt::manifest::active_prog_id(clsid);
    if (!progid) progid = classes_default_value(clsid_key(clsid) + u"\\ProgID");
    if (!progid || progid->empty()) return REGDB_E_CLASSNOTREG;
    const size_t bytes = (progid->size() + 1) * sizeof(OLECHAR);
    auto* out = static_cast<LPOLESTR>(CoTaskMemAlloc(bytes));
    if (!out) return E_OUTOFMEMORY;
    std::char_traits<char16_t>::copy(out, progid->c_str(), progid->size() + 1);
    *lplpszProgID = out;
    return S_OK;
  });
}
