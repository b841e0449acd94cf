// Sites, services and the persistence identity.
//
// - site_holder: the site an object keeps for IObjectWithSite, guarded by the object's lock.
// - object_with_site<Base>: IObjectWithSite over a site_holder, layered over an implements<> base.
// - object_with_proffered_site<Base, Service>: the same, and while a site is set the object is
//   proffered to it as the service `Service` (IProfferService); QueryService answers `Service` with
//   the object itself and passes every other request on to the site.
// - query_service<I>(provider, sid): QueryService with a typed result.
// - persist_class_id(out, clsid): IPersist::GetClassID from a constant.
#pragma once

#include <atomic>
#include <thread>

#include "comrt/object.h"
#include "comrt/ocidl.h"

namespace comrt {

class site_holder {
 public:
  explicit site_holder(mutex& guard) noexcept : mutex_(guard) {}
  site_holder(const site_holder&) = delete;
  site_holder& operator=(const site_holder&) = delete;

  // Stores the site with a reference of its own (null clears it). The previous site is released
  // after the lock is left.
  void set(IUnknown* site) COMRT_EXCLUDES(mutex_);
  // The current site (empty when none is set).
  com_ptr<IUnknown> get() const COMRT_EXCLUDES(mutex_);
  // The current site's interface I; empty without a site or when the site does not answer I.
  template <class I>
  com_ptr<I> query() const {
    return get().template try_as<I>();
  }

  // IObjectWithSite::GetSite: E_POINTER for a null ppvSite; without a site *ppvSite is null and the
  // result E_FAIL; otherwise the result of the site's QueryInterface.
  HRESULT get_site(REFIID riid, void** ppvSite) const noexcept;
  // IServiceProvider::QueryService passed on to the site: *ppv is null first; the result of the
  // site's own QueryService, or E_NOINTERFACE without a site or when the site is no service provider.
  HRESULT query_service(REFGUID service, REFIID riid, void** ppv) const noexcept;

 private:
  mutex& mutex_;
  com_ptr<IUnknown> site_ COMRT_GUARDED_BY(mutex_);
};

// The site of an object that proffers itself to its site as a service.
class proffered_site {
 public:
  // The cookie value that means that nothing is proffered.
  static constexpr DWORD no_cookie = 0xEFEFEFEF;

  explicit proffered_site(mutex& guard) noexcept : site_(guard) {}

  // IObjectWithSite::SetSite with the proffer. A site's IProfferService is found as hosts offer
  // it: QueryService(SID_SProfferService, IID_IProfferService) on the site first, then
  // QueryInterface.
  // 1. While the held site has a proffered service, it is revoked through the held site's
  //    IProfferService (a failure of RevokeService is returned and nothing changes); then nothing
  //    counts as proffered, also when the held site does not answer IProfferService.
  // 2. A new site that answers IProfferService gets `self` proffered as `service`; a failure is
  //    returned and the new site is not stored.
  // 3. The new site is stored (null clears it).
  // Calls into the sites are made without holding the object lock. Concurrent calls are serialised;
  // a call made from inside the site's own ProfferService or RevokeService is refused with
  // E_UNEXPECTED.
  HRESULT set_site(IUnknown* site, REFGUID service, IServiceProvider* self) noexcept;

  const site_holder& site() const noexcept { return site_; }
  // The current proffer cookie (no_cookie when nothing is proffered).
  DWORD cookie() const COMRT_EXCLUDES(set_mutex_);

 private:
  site_holder site_;
  mutable mutex set_mutex_;  // serialises set_site, which calls out to the sites
  DWORD cookie_ COMRT_GUARDED_BY(set_mutex_) = no_cookie;
  std::atomic<std::thread::id> setting_thread_{};  // the thread inside set_site, if any
};

// IObjectWithSite layered over Base (an implements<> that lists IObjectWithSite).
template <class Base>
class object_with_site : public Base {
  static_assert(std::is_base_of_v<IObjectWithSite, Base>, "list IObjectWithSite among the object's interfaces");

 public:
  HRESULT STDMETHODCALLTYPE SetSite(IUnknown* pUnkSite) override {
    return boundary([&] { site_.set(pUnkSite); });
  }
  HRESULT STDMETHODCALLTYPE GetSite(REFIID riid, void** ppvSite) override { return site_.get_site(riid, ppvSite); }

  const site_holder& site() const noexcept { return site_; }

 protected:
  object_with_site() noexcept : site_(this->object_mutex()) {}

 private:
  site_holder site_;
};

// IObjectWithSite and IServiceProvider layered over Base (an implements<> that lists both); the
// object is proffered to its site as the service `Service` and serves it itself.
template <class Base, const GUID& Service>
class object_with_proffered_site : public Base {
  static_assert(std::is_base_of_v<IObjectWithSite, Base> && std::is_base_of_v<IServiceProvider, Base>,
                "list IObjectWithSite and IServiceProvider among the object's interfaces");

 public:
  HRESULT STDMETHODCALLTYPE SetSite(IUnknown* pUnkSite) override {
    return proffer_.set_site(pUnkSite, Service, static_cast<IServiceProvider*>(this));
  }
  HRESULT STDMETHODCALLTYPE GetSite(REFIID riid, void** ppvSite) override {
    return proffer_.site().get_site(riid, ppvSite);
  }
  // `Service` is answered by this object's own QueryInterface; any other service by the site.
  HRESULT STDMETHODCALLTYPE QueryService(REFGUID guidService, REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (guidService == Service) return static_cast<IServiceProvider*>(this)->QueryInterface(riid, ppv);
    return proffer_.site().query_service(guidService, riid, ppv);
  }

  const site_holder& site() const noexcept { return proffer_.site(); }
  DWORD proffer_cookie() const { return proffer_.cookie(); }

 protected:
  object_with_proffered_site() noexcept : proffer_(this->object_mutex()) {}

 private:
  proffered_site proffer_;
};

// QueryService for interface I; throws the failure (E_POINTER for a null provider, E_NOINTERFACE
// when the provider answers success without an object).
template <class I>
com_ptr<I> query_service(IServiceProvider* provider, REFGUID service) {
  com_ptr<I> result;
  check_hresult(check_pointer(provider)->QueryService(service, uuidof<I>(), result.put_void()));
  if (!result) throw_hresult(E_NOINTERFACE);
  return result;
}
// The same through an object that is asked for IServiceProvider first (E_NOINTERFACE if it is none).
template <class I>
com_ptr<I> query_service(IUnknown* provider, REFGUID service) {
  return query_service<I>(com_ptr<IUnknown>(check_pointer(provider)).as<IServiceProvider>().get(), service);
}
// QueryService that yields an empty pointer instead of throwing.
template <class I>
com_ptr<I> try_query_service(IUnknown* provider, REFGUID service) noexcept {
  try {
    return query_service<I>(provider, service);
  } catch (...) {
    return nullptr;
  }
}

// IPersist::GetClassID from a constant: E_FAIL for a null pointer.
inline HRESULT persist_class_id(CLSID* pClassID, REFCLSID clsid) noexcept {
  if (!pClassID) return E_FAIL;
  *pClassID = clsid;
  return S_OK;
}

}  // namespace comrt
