// Site storage, the proffer of an object to its site, and QueryService passed on to the site.
#include "comrt/site.h"

#include <utility>

namespace comrt {

void site_holder::set(IUnknown* site) {
  com_ptr<IUnknown> previous(site);
  lock_guard lock(mutex_);
  site_.swap(previous);
  // `previous` now holds the old site; it is released after the lock (declared later) is left.
}

com_ptr<IUnknown> site_holder::get() const {
  lock_guard lock(mutex_);
  return site_;
}

HRESULT site_holder::get_site(REFIID riid, void** ppvSite) const noexcept {
  return boundary([&]() -> HRESULT {
    init_out(ppvSite);
    const com_ptr<IUnknown> site = get();
    if (!site) return E_FAIL;
    return site->QueryInterface(riid, ppvSite);
  });
}

HRESULT site_holder::query_service(REFGUID service, REFIID riid, void** ppv) const noexcept {
  return boundary([&]() -> HRESULT {
    init_out(ppv);
    const com_ptr<IServiceProvider> provider = query<IServiceProvider>();
    if (!provider) return E_NOINTERFACE;
    return provider->QueryService(service, riid, ppv);
  });
}

namespace {
// The site's proffer service as hosts offer it: through its service provider first, then as an
// interface of the site itself.
com_ptr<IProfferService> proffer_service_of(IUnknown* site) {
  if (!site) return nullptr;
  if (auto service = try_query_service<IProfferService>(site, SID_SProfferService)) return service;
  return com_ptr<IUnknown>(site).try_as<IProfferService>();
}

// Marks the current thread as the one inside set_site for the lifetime of the guard.
class setting_thread_guard {
 public:
  explicit setting_thread_guard(std::atomic<std::thread::id>& slot) noexcept : slot_(slot) {
    slot_.store(std::this_thread::get_id());
  }
  ~setting_thread_guard() { slot_.store(std::thread::id{}); }
  setting_thread_guard(const setting_thread_guard&) = delete;
  setting_thread_guard& operator=(const setting_thread_guard&) = delete;

 private:
  std::atomic<std::thread::id>& slot_;
};
}  // namespace

HRESULT proffered_site::set_site(IUnknown* site, REFGUID service, IServiceProvider* self) noexcept {
  return boundary([&]() -> HRESULT {
    // A site that calls back into set_site from inside ProfferService or RevokeService would wait
    // for itself.
    if (setting_thread_.load() == std::this_thread::get_id()) return E_UNEXPECTED;
    lock_guard serial(set_mutex_);
    setting_thread_guard inside(setting_thread_);

    if (cookie_ != no_cookie) {
      if (const com_ptr<IProfferService> old = proffer_service_of(site_.get().get())) {
        check_hresult(old->RevokeService(cookie_));
      }
      cookie_ = no_cookie;
    }

    DWORD cookie = no_cookie;
    if (const com_ptr<IProfferService> proffer = proffer_service_of(site)) {
      check_hresult(proffer->ProfferService(service, self, &cookie));
    }
    site_.set(site);
    cookie_ = cookie;
    return S_OK;
  });
}

DWORD proffered_site::cookie() const {
  lock_guard serial(set_mutex_);
  return cookie_;
}

}  // namespace comrt
