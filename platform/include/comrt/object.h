// The object model: errors and the interface boundary, the owning smart pointer, and the CRTP object
// base `implements<D, I...>` from which every COM object in this project is made.
//
//   class CThing final : public comrt::implements<CThing, IThing, IPersist, comrt::free_threaded> {
//    public:
//     HRESULT FinalConstruct();          // optional; may also return void and throw
//     void FinalRelease() noexcept;      // optional; runs before members are destroyed
//     HRESULT STDMETHODCALLTYPE get_Name(BSTR* p) override {
//       return comrt::boundary([&] { ... });
//     }
//   };
//   comrt::com_ptr<CThing> thing = comrt::make<CThing>();
//
// The interface list is a compile-time table from which QueryInterface is generated; an interface
// also answers for the interfaces it derives from. Options are marker types in the same list.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>
#if __has_include(<source_location>)
#include <source_location>
#endif

#include "comrt/combase.h"
#include "comrt/oaidl.h"
#include "comrt/oleauto.h"
#include "comrt/thread_annotations.h"

namespace comrt {

// ---------------------------------------------------------------------------------------------
// Errors: inside an operation failures are exceptions; at the interface they become statuses.
//
// A failure a user can act on (a bad path, a refused file) carries a description, which the
// boundary below hands to the caller as the thread's error information (SetErrorInfo), where
// script hosts find it: IDispatch::Invoke reports it in EXCEPINFO, and early-bound clients read it
// with GetErrorInfo after asking the object's ISupportErrorInfo (see the supports_error_info
// marker). So component code only throws:
//
//   if (!readable) comrt::throw_hresult(E_ACCESSDENIED, u"The schedule file cannot be read: " + path);
//
// Every failure remembers where it was raised (where()), for diagnostics; the description is what
// a user sees and does not include it.

#if defined(__cpp_lib_source_location)
using source_location = std::source_location;
#else
// std::source_location where the compiler's library lacks it (clang before 15 with libstdc++).
struct source_location {
  static constexpr source_location current(const char* file = __builtin_FILE(),
                                           const char* function = __builtin_FUNCTION(),
                                           uint_least32_t line = __builtin_LINE()) noexcept {
    source_location r;
    r.file_ = file;
    r.function_ = function;
    r.line_ = line;
    return r;
  }
  constexpr const char* file_name() const noexcept { return file_; }
  constexpr const char* function_name() const noexcept { return function_; }
  constexpr uint_least32_t line() const noexcept { return line_; }
  constexpr uint_least32_t column() const noexcept { return 0; }

 private:
  const char* file_ = "";
  const char* function_ = "";
  uint_least32_t line_ = 0;
};
#endif

class hresult_error : public std::exception {
 public:
  explicit hresult_error(HRESULT hr, source_location where = source_location::current()) noexcept
      : hr_(hr), where_(where) {}
  // With a description for the user; an empty description is none.
  hresult_error(HRESULT hr, std::u16string_view description, source_location where = source_location::current())
      : hr_(hr), where_(where) {
    if (!description.empty()) description_ = std::make_shared<const std::u16string>(description);
  }
  HRESULT code() const noexcept { return hr_; }
  // The description for the user; empty when the failure has none.
  std::u16string_view description() const noexcept {
    return description_ ? std::u16string_view(*description_) : std::u16string_view();
  }
  const source_location& where() const noexcept { return where_; }
  const char* what() const noexcept override { return "operation failed with an HRESULT"; }

 private:
  HRESULT hr_;
  source_location where_;
  std::shared_ptr<const std::u16string> description_;  // shared: copying an exception never throws
};

[[noreturn]] inline void throw_hresult(HRESULT hr, source_location where = source_location::current()) {
  throw hresult_error(hr, where);
}
[[noreturn]] inline void throw_hresult(HRESULT hr, std::u16string_view description,
                                       source_location where = source_location::current()) {
  throw hresult_error(hr, description, where);
}

// Throws for a failure status; returns success statuses (S_OK, S_FALSE) unchanged.
inline HRESULT check_hresult(HRESULT hr, source_location where = source_location::current()) {
  if (FAILED(hr)) throw_hresult(hr, where);
  return hr;
}

// Throws E_POINTER for a null pointer.
template <class T>
T* check_pointer(T* p, source_location where = source_location::current()) {
  if (!p) throw_hresult(E_POINTER, where);
  return p;
}

// Checks an out-pointer and clears what it points to; the usual first step of an interface method.
template <class T>
T* init_out(T* p, source_location where = source_location::current()) {
  check_pointer(p, where);
  *p = T{};
  return p;
}

// Sets the calling thread's error information to a description (and, when given, its source);
// false when that cannot be done (memory). Defined below.
bool set_error_info(std::u16string_view description, std::u16string_view source = {}) noexcept;

// The status of the exception being handled. Call only inside a catch block. A failure with a
// description becomes the thread's error information.
inline HRESULT to_hresult() noexcept {
  try {
    throw;
  } catch (const hresult_error& e) {
    if (!e.description().empty()) set_error_info(e.description());
    return e.code();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_FAIL;
  }
}

// The one error boundary of interface methods: runs f, returns its HRESULT (or S_OK when f returns
// nothing), and turns any exception into a status (see to_hresult).
template <class F>
HRESULT boundary(F&& f) noexcept {
  try {
    if constexpr (std::is_void_v<std::invoke_result_t<F>>) {
      std::forward<F>(f)();
      return S_OK;
    } else {
      return std::forward<F>(f)();
    }
  } catch (...) {
    return to_hresult();
  }
}

// The error boundary of functions that return Win32 error codes (the registry's): runs f and
// returns its code; exhausted memory is ERROR_OUTOFMEMORY, any other exception ERROR_GEN_FAILURE.
template <class F>
LONG win32_boundary(F&& f) noexcept {
  try {
    return std::forward<F>(f)();
  } catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
  } catch (...) {
    return ERROR_GEN_FAILURE;
  }
}

// ---------------------------------------------------------------------------------------------
// com_ptr: the owning smart pointer. Constructing from a raw pointer adds a reference (as hosts
// that know COM expect); attach() takes one over.

template <class T>
class com_ptr {
 public:
  using type = T;

  com_ptr() noexcept = default;
  com_ptr(std::nullptr_t) noexcept {}
  com_ptr(T* p) noexcept : p_(p) {
    if (p_) p_->AddRef();
  }
  com_ptr(const com_ptr& o) noexcept : com_ptr(o.p_) {}
  com_ptr(com_ptr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  template <class U>
    requires std::is_convertible_v<U*, T*>
  com_ptr(const com_ptr<U>& o) noexcept : com_ptr(static_cast<T*>(o.get())) {}
  template <class U>
    requires std::is_convertible_v<U*, T*>
  com_ptr(com_ptr<U>&& o) noexcept : p_(o.detach()) {}
  ~com_ptr() { reset(); }

  com_ptr& operator=(const com_ptr& o) noexcept {
    com_ptr(o).swap(*this);
    return *this;
  }
  com_ptr& operator=(com_ptr&& o) noexcept {
    com_ptr(std::move(o)).swap(*this);
    return *this;
  }
  com_ptr& operator=(std::nullptr_t) noexcept {
    reset();
    return *this;
  }

  T* get() const noexcept { return p_; }
  T* operator->() const noexcept { return p_; }
  T& operator*() const noexcept { return *p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }

  // For out-parameters: releases what is held and returns the address to fill.
  T** put() noexcept {
    reset();
    return &p_;
  }
  void** put_void() noexcept { return reinterpret_cast<void**>(put()); }

  void attach(T* p) noexcept {
    reset();
    p_ = p;
  }
  [[nodiscard]] T* detach() noexcept { return std::exchange(p_, nullptr); }
  void reset() noexcept {
    if (T* p = std::exchange(p_, nullptr)) p->Release();
  }
  void swap(com_ptr& o) noexcept { std::swap(p_, o.p_); }

  // QueryInterface; throws the failure status (E_POINTER when empty).
  template <class I>
  com_ptr<I> as() const {
    com_ptr<I> r;
    check_hresult(p_ ? p_->QueryInterface(uuidof<I>(), r.put_void()) : E_POINTER);
    return r;
  }
  // QueryInterface; empty on failure.
  template <class I>
  com_ptr<I> try_as() const noexcept {
    com_ptr<I> r;
    if (p_) p_->QueryInterface(uuidof<I>(), r.put_void());
    return r;
  }
  // Hands a new reference out through an out-parameter (null when empty).
  template <class I>
  void copy_to(I** out) const noexcept {
    *out = p_;
    if (p_) p_->AddRef();
  }

  friend bool operator==(const com_ptr& a, const com_ptr& b) noexcept { return a.p_ == b.p_; }
  friend bool operator==(const com_ptr& a, std::nullptr_t) noexcept { return a.p_ == nullptr; }

 private:
  T* p_ = nullptr;
};

// Takes over a reference that the caller already owns.
template <class T>
com_ptr<T> attach(T* p) noexcept {
  com_ptr<T> r;
  r.attach(p);
  return r;
}

// QueryInterface of a raw pointer; throws on failure.
template <class I, class T>
com_ptr<I> query(T* p) {
  return com_ptr<T>(p).template as<I>();
}

inline bool set_error_info(std::u16string_view description, std::u16string_view source) noexcept {
  try {
    com_ptr<ICreateErrorInfo> create;
    if (FAILED(CreateErrorInfo(create.put()))) return false;
    std::u16string d(description), s(source);
    if (FAILED(create->SetDescription(d.data())) || (!s.empty() && FAILED(create->SetSource(s.data())))) return false;
    return SUCCEEDED(SetErrorInfo(0, create.as<IErrorInfo>().get()));
  } catch (...) {
    return false;
  }
}

// ---------------------------------------------------------------------------------------------
// Module lock count: one count per live object, per LockServer(TRUE) and per class object held by a
// client. The counter lives in each shared library: the function is hidden explicitly, so its
// static stays private to the library that includes this header whatever visibility flags that
// library is built with (without the attribute, a library built without -fvisibility-inlines-hidden
// would export the static as a unique symbol shared by every such library in the process).

[[gnu::visibility("hidden")]] inline std::atomic<int32_t>& module_lock_count() noexcept {
  static std::atomic<int32_t> count{0};
  return count;
}
// The ProgIDs of this library's classes by class identifier, kept per library like the lock
// count: the source that error information names when an object sets none (see prog_id_of in
// <comrt/dispatch.h>). A library's module adds its classes.
struct prog_id_table {
  mutex m;
  std::vector<std::pair<CLSID, std::u16string>> entries COMRT_GUARDED_BY(m);
  void add(REFCLSID clsid, std::u16string_view prog_id) {
    lock_guard guard(m);
    for (auto& [c, p] : entries)
      if (c == clsid) return;
    entries.emplace_back(clsid, std::u16string(prog_id));
  }
  std::u16string find(REFCLSID clsid) {
    lock_guard guard(m);
    for (const auto& [c, p] : entries)
      if (c == clsid) return p;
    return {};
  }
};
[[gnu::visibility("hidden")]] inline prog_id_table& module_prog_ids() noexcept {
  static prog_id_table table;
  return table;
}

inline void module_add_ref() noexcept { module_lock_count().fetch_add(1, std::memory_order_relaxed); }
inline void module_release() noexcept { module_lock_count().fetch_sub(1, std::memory_order_acq_rel); }

// ---------------------------------------------------------------------------------------------
// Options of implements<>, given as marker types in its list.

struct marker {};
// Aggregates the free-threaded marshaler: QueryInterface for IMarshal is answered by it.
struct free_threaded : marker {};
// The object does not count in the module lock count.
struct no_module_lock : marker {};
// A class object that its library keeps in a cache holding one reference: it counts in the module
// lock count while anyone else holds a reference to it, so a client holding the class object keeps
// the library loaded (and the cache's own reference does not).
struct cached_class_object : marker {};

// The object answers ISupportErrorInfo: its failures set the thread's error information (through
// a described hresult_error at the boundary), for every interface of its list.
struct supports_error_info : marker {};

// IDispatch for the first dual interface of an object is served from its static description by
// dispatch_ops<I>, defined in <comrt/dispatch.h>; include that header where such objects are made.
template <class I>
struct dispatch_ops;

namespace detail {

template <class... T>
struct type_list {};

template <class T>
inline constexpr bool is_marker_v = std::is_base_of_v<marker, T>;

template <class List, class... T>
struct filter_interfaces;
template <class... Out>
struct filter_interfaces<type_list<Out...>> {
  using type = type_list<Out...>;
};
template <class... Out, class H, class... T>
struct filter_interfaces<type_list<Out...>, H, T...> {
  using type = typename std::conditional_t<is_marker_v<H>, filter_interfaces<type_list<Out...>, T...>,
                                           filter_interfaces<type_list<Out..., H>, T...>>::type;
};

template <class List>
struct inherit_all;
template <class... I>
struct inherit_all<type_list<I...>> : I... {};

template <class... I>
struct first_of;
template <class H, class... T>
struct first_of<H, T...> {
  using type = H;
};

template <class... I>
struct first_dual {
  using type = void;
};
template <class H, class... T>
struct first_dual<H, T...> {
  using type = std::conditional_t<std::is_base_of_v<IDispatch, H>, H, typename first_dual<T...>::type>;
};
template <class List>
struct first_dual_of;
template <class... I>
struct first_dual_of<type_list<I...>> {
  using type = typename first_dual<I...>::type;
};
template <class List>
struct first_interface_of;
template <class... I>
struct first_interface_of<type_list<I...>> {
  using type = typename first_of<I...>::type;
};

// The class identifier of an implementation class that declares one (static class_id), else null.
template <class D>
const CLSID* class_id_of() noexcept {
  if constexpr (requires { D::class_id; }) {
    return &D::class_id;
  } else {
    return nullptr;
  }
}

// Overrides IDispatch for every dual interface of the object with the description of Primary.
template <class D, class Primary, class Bases>
struct dispatch_layer : Bases {
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pctinfo) override {
    return dispatch_ops<Primary>::get_type_info_count(pctinfo);
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override {
    return dispatch_ops<Primary>::get_type_info(iTInfo, lcid, ppTInfo);
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                                          DISPID* rgDispId) override {
    return dispatch_ops<Primary>::get_ids_of_names(riid, rgszNames, cNames, lcid, rgDispId);
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                                   VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) override {
    auto* self = static_cast<Primary*>(this);
    // The class identifier lets a failing member name the object's ProgID as the error source.
    if constexpr (requires {
                    dispatch_ops<Primary>::invoke(self, dispIdMember, riid, lcid, wFlags, pDispParams, pVarResult,
                                                  pExcepInfo, puArgErr, class_id_of<D>());
                  }) {
      return dispatch_ops<Primary>::invoke(self, dispIdMember, riid, lcid, wFlags, pDispParams, pVarResult, pExcepInfo,
                                           puArgErr, class_id_of<D>());
    } else {
      return dispatch_ops<Primary>::invoke(self, dispIdMember, riid, lcid, wFlags, pDispParams, pVarResult, pExcepInfo,
                                           puArgErr);
    }
  }
};

// ISupportErrorInfo for an object whose interfaces are Interfaces.
template <class Interfaces, class Bases>
struct error_info_layer;
template <class... I, class Bases>
struct error_info_layer<type_list<I...>, Bases> : Bases {
  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override {
    return ((!std::is_same_v<I, ISupportErrorInfo> && riid == uuidof<I>()) || ...) ? S_OK : S_FALSE;
  }
};

// Matches riid against I and the interfaces I derives from; on a match stores the pointer
// converted to the matching interface.
template <class I>
bool match_interface(I* p, REFIID riid, void** ppv) noexcept {
  if constexpr (std::is_same_v<I, IUnknown>) {
    return false;  // identity is handled separately
  } else {
    if (riid == uuidof<I>()) {
      *ppv = p;
      return true;
    }
    using base = typename interface_traits<I>::base;
    return match_interface<base>(static_cast<base*>(p), riid, ppv);
  }
}

template <class Self, class List>
struct interface_matcher;
template <class Self, class... I>
struct interface_matcher<Self, type_list<I...>> {
  static bool find(Self* self, REFIID riid, void** ppv) noexcept {
    return (match_interface<I>(static_cast<I*>(self), riid, ppv) || ...);
  }
};

// The bases of implements<D, Ts...>: every listed interface (and ISupportErrorInfo with the
// supports_error_info marker), with the IDispatch layer when one of them is dual.
template <class D, class... Ts>
struct object_bases {
  static constexpr bool error_info = (std::is_same_v<Ts, supports_error_info> || ...);
  using listed = typename filter_interfaces<type_list<>, Ts...>::type;
  template <class List>
  struct add_error_info;
  template <class... I>
  struct add_error_info<type_list<I...>> {
    using type = type_list<I..., ISupportErrorInfo>;
  };
  using interfaces = typename std::conditional_t<error_info, add_error_info<listed>, std::type_identity<listed>>::type;
  using plain = std::conditional_t<error_info, error_info_layer<interfaces, inherit_all<interfaces>>,
                                   inherit_all<interfaces>>;
  using dual = typename first_dual_of<interfaces>::type;
  using type = std::conditional_t<std::is_void_v<dual>, plain, dispatch_layer<D, dual, plain>>;
};

}  // namespace detail

// The object base. D is the implementation class (final), Ts its interfaces and option markers.
template <class D, class... Ts>
class implements : public detail::object_bases<D, Ts...>::type {
  using interfaces = typename detail::object_bases<D, Ts...>::interfaces;
  using first_interface = typename detail::first_interface_of<interfaces>::type;
  static constexpr bool has_ftm = (std::is_same_v<Ts, free_threaded> || ...);
  static constexpr bool is_cached = (std::is_same_v<Ts, cached_class_object> || ...);
  static constexpr bool counts_in_module = !is_cached && !(std::is_same_v<Ts, no_module_lock> || ...);

  template <class T, class... A>
  friend com_ptr<T> make(A&&...);
  template <class T, class... A>
  friend com_ptr<IUnknown> make_aggregated(IUnknown*, A&&...);

 public:
  using implements_type = implements;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (outer_) return outer_->QueryInterface(riid, ppv);
    return query_interface_internal(riid, ppv);
  }
  ULONG STDMETHODCALLTYPE AddRef() override {
    if (outer_) return outer_->AddRef();
    return internal_add_ref();
  }
  ULONG STDMETHODCALLTYPE Release() override {
    if (outer_) return outer_->Release();
    return internal_release();
  }

  // The object's identity (the inner object's own IUnknown when aggregated is inner_unknown()).
  IUnknown* identity() noexcept { return static_cast<IUnknown*>(static_cast<first_interface*>(this)); }
  // The controlling unknown: the outer object when aggregated, otherwise the identity.
  IUnknown* controlling_unknown() noexcept { return outer_ ? outer_ : identity(); }
  bool is_aggregated() const noexcept { return outer_ != nullptr; }

  // The object-wide lock.
  mutex& object_mutex() const noexcept COMRT_RETURN_CAPABILITY(object_mutex_) { return object_mutex_; }

 protected:
  implements() noexcept {
    if constexpr (counts_in_module) module_add_ref();
  }
  ~implements() {
    if constexpr (counts_in_module) module_release();
  }
  implements(const implements&) = delete;
  implements& operator=(const implements&) = delete;

 private:
  // The non-delegating IUnknown of an aggregated object, handed to its outer object.
  struct inner_unknown final : IUnknown {
    implements* owner = nullptr;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
      if (!ppv) return E_POINTER;
      if (riid == IID_IUnknown) {
        *ppv = static_cast<IUnknown*>(this);
        owner->internal_add_ref();
        return S_OK;
      }
      return owner->query_interface_internal(riid, ppv);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return owner->internal_add_ref(); }
    ULONG STDMETHODCALLTYPE Release() override { return owner->internal_release(); }
  };

  HRESULT query_interface_internal(REFIID riid, void** ppv) noexcept {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown) {
      *ppv = identity();
    } else if (!detail::interface_matcher<implements, interfaces>::find(this, riid, ppv)) {
      if constexpr (has_ftm) {
        if (riid == IID_IMarshal) return ftm_.query(controlling_unknown(), ppv);
      }
      if constexpr (requires(D& d, void** p) { d.query_interface_extra(riid, p); }) {
        return static_cast<D*>(this)->query_interface_extra(riid, ppv);
      }
      return E_NOINTERFACE;
    }
    static_cast<IUnknown*>(*ppv)->AddRef();
    return S_OK;
  }

  ULONG internal_add_ref() noexcept {
    const uint32_t now = refs_.fetch_add(1, std::memory_order_relaxed) + 1;
    if constexpr (is_cached) {
      if (now == 2) module_add_ref();  // a client besides the cache holds the class object
    }
    return now;
  }

  ULONG internal_release() noexcept {
    const uint32_t left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if constexpr (is_cached) {
      if (left == 1) module_release();  // only the cache holds it again
    }
    if (left == 0) destroy();
    return left;
  }

  // Runs FinalRelease and deletes the object. References taken and dropped during FinalRelease
  // cannot bring the count back to zero a second time.
  void destroy() noexcept {
    refs_.store(destroying_refs, std::memory_order_relaxed);
    D* self = static_cast<D*>(this);
    if constexpr (requires(D& d) { d.FinalRelease(); }) self->FinalRelease();
    delete self;
  }

  // Called by make<> once the object exists: runs FinalConstruct.
  // On failure the object is destroyed and the status thrown.
  void construct(IUnknown* outer) {
    outer_ = outer;
    inner_.owner = this;
    refs_.store(1, std::memory_order_relaxed);
    try {
      D* self = static_cast<D*>(this);
      if constexpr (requires(D& d) { d.FinalConstruct(); }) {
        if constexpr (std::is_void_v<decltype(self->FinalConstruct())>) {
          self->FinalConstruct();
        } else {
          check_hresult(self->FinalConstruct());
        }
      }
    } catch (...) {
      destroy();
      throw;
    }
  }

  static constexpr uint32_t destroying_refs = 1u << 30;

  std::atomic<uint32_t> refs_{0};
  IUnknown* outer_ = nullptr;  // not counted: the outer object owns us
  inner_unknown inner_;
  struct empty {};
  // The aggregated free-threaded marshaler, made when IMarshal is first asked for: most objects
  // never are, and making one per object would cost an allocation each.
  struct lazy_marshaler {
    std::atomic<IUnknown*> inner{nullptr};
    ~lazy_marshaler() {
      if (IUnknown* p = inner.load(std::memory_order_acquire)) p->Release();
    }
    HRESULT query(IUnknown* outer, void** ppv) noexcept {
      IUnknown* p = inner.load(std::memory_order_acquire);
      if (!p) {
        IUnknown* made = nullptr;
        if (const HRESULT hr = CoCreateFreeThreadedMarshaler(outer, &made); FAILED(hr)) return hr;
        if (inner.compare_exchange_strong(p, made, std::memory_order_acq_rel)) {
          p = made;
        } else {
          made->Release();  // another thread made one first
        }
      }
      return p->QueryInterface(IID_IMarshal, ppv);
    }
  };
  [[no_unique_address]] std::conditional_t<has_ftm, lazy_marshaler, empty> ftm_;
  mutable mutex object_mutex_;
};

// Creates an object; runs FinalConstruct and throws its failure. The result holds the one reference.
template <class T, class... A>
com_ptr<T> make(A&&... args) {
  T* p = new T(std::forward<A>(args)...);
  static_cast<typename T::implements_type*>(p)->construct(nullptr);
  com_ptr<T> r;
  r.attach(p);
  return r;
}

// Creates an object aggregated by `outer`; returns its non-delegating IUnknown.
template <class T, class... A>
com_ptr<IUnknown> make_aggregated(IUnknown* outer, A&&... args) {
  T* p = new T(std::forward<A>(args)...);
  auto* base = static_cast<typename T::implements_type*>(p);
  base->construct(outer);
  com_ptr<IUnknown> r;
  r.attach(&base->inner_);
  return r;
}

// The class object of a creatable class: CreateInstance with the aggregation rule (an outer
// unknown may ask only for IUnknown) and LockServer counting in the module lock count. A library
// keeps one reference to each class object it hands out (as DllGetClassObject does); every other
// reference counts in the module lock count (see cached_class_object).
template <class T>
class class_factory final : public implements<class_factory<T>, IClassFactory, cached_class_object> {
 public:
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    return boundary([&]() -> HRESULT {
      init_out(ppv);
      if (outer) {
        if (!(riid == IID_IUnknown)) return CLASS_E_NOAGGREGATION;
        return make_aggregated<T>(outer)->QueryInterface(riid, ppv);
      }
      return make<T>()->QueryInterface(riid, ppv);
    });
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock) {
      module_add_ref();
    } else {
      module_release();
    }
    return S_OK;
  }
};

}  // namespace comrt
