// A client that knows the schedule component only as standard COM: it declares the standard types
// and interfaces itself, loads libScheduler.so with dlopen, asks its exports for class objects and
// drives a schedule item and an item collection entirely through IDispatch, by member name. Events
// of the collection arrive at a hand-written dispatch sink. BSTRs and VARIANTs come from the
// runtime's allocator (libcomrt.so), as for any client.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <latch>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

// The standard declarations live in the global namespace under their standard names, as a COM
// client's platform headers put them: type-checking tools recognise an interface by its name.
using HRESULT = int32_t;
using ULONG = uint32_t;
using DWORD = uint32_t;
using UINT = uint32_t;
using LCID = uint32_t;
using LONG = int32_t;
using DISPID = int32_t;
using BOOL = int32_t;
using WORD = uint16_t;
using VARTYPE = uint16_t;
using VARIANT_BOOL = int16_t;
using OLECHAR = char16_t;
using BSTR = OLECHAR*;

constexpr HRESULT status(uint32_t code) { return static_cast<HRESULT>(code); }
constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_FAIL = status(0x80004005);
constexpr HRESULT E_NOINTERFACE = status(0x80004002);
constexpr HRESULT E_POINTER = status(0x80004003);
constexpr HRESULT E_NOTIMPL = status(0x80004001);
constexpr HRESULT CLASS_E_NOAGGREGATION = status(0x80040110);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = status(0x80040111);
constexpr HRESULT CONNECT_E_NOCONNECTION = status(0x80040200);
constexpr HRESULT CONNECT_E_CANNOTCONNECT = status(0x80040202);
constexpr HRESULT DISP_E_UNKNOWNINTERFACE = status(0x80020001);
constexpr HRESULT DISP_E_MEMBERNOTFOUND = status(0x80020003);
constexpr HRESULT DISP_E_TYPEMISMATCH = status(0x80020005);
constexpr HRESULT DISP_E_UNKNOWNNAME = status(0x80020006);
constexpr HRESULT DISP_E_EXCEPTION = status(0x80020009);
constexpr HRESULT DISP_E_BADPARAMCOUNT = status(0x8002000E);
constexpr bool failed(HRESULT hr) { return hr < 0; }

constexpr VARTYPE VT_EMPTY = 0;
constexpr VARTYPE VT_I4 = 3;
constexpr VARTYPE VT_BSTR = 8;
constexpr VARTYPE VT_DISPATCH = 9;
constexpr VARTYPE VT_BOOL = 11;
constexpr VARIANT_BOOL VARIANT_TRUE = -1;
constexpr VARIANT_BOOL VARIANT_FALSE = 0;

constexpr WORD DISPATCH_METHOD = 1;
constexpr WORD DISPATCH_PROPERTYGET = 2;
constexpr WORD DISPATCH_PROPERTYPUT = 4;
constexpr DISPID DISPID_UNKNOWN = -1;
constexpr DISPID DISPID_PROPERTYPUT = -3;
constexpr LCID LOCALE_USER_DEFAULT = 0x400;

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
static_assert(sizeof(GUID) == 16);
using IID = GUID;
using CLSID = GUID;
bool operator==(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

constexpr IID IID_NULL{};
constexpr IID IID_IUnknown{0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr IID IID_IClassFactory{0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr IID IID_IDispatch{0x00020400, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr IID IID_IConnectionPointContainer{
    0xB196B284, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
// The component's identifiers, as its type library publishes them.
constexpr CLSID CLSID_ScheduleItem{0x1661ECCB, 0x8B40, 0x4BC5, {0xB4, 0x86, 0x51, 0xB2, 0x87, 0x89, 0x6B, 0x1B}};
constexpr CLSID CLSID_ScheduleItems{0x9E01C548, 0x1E53, 0x4EC5, {0x9A, 0xB9, 0x80, 0xBA, 0x97, 0x26, 0x6E, 0xA5}};
constexpr IID DIID__IScheduleItemsEvents{
    0x5B0116A9, 0xD50A, 0x4482, {0xAE, 0x12, 0x6D, 0x7F, 0xC6, 0xCF, 0x17, 0x22}};
// An identifier nothing in the component knows.
constexpr GUID GUID_Unknown{0x0D15EA5E, 0x1234, 0x5678, {0x9A, 0xBC, 0xDE, 0xF0, 0x12, 0x34, 0x56, 0x78}};

struct IUnknown;
struct IDispatch;
struct ITypeInfo;
struct IEnumConnections;
struct IEnumConnectionPoints;

struct VARIANT {
  VARTYPE vt;
  WORD wReserved1;
  WORD wReserved2;
  WORD wReserved3;
  union {
    int64_t llVal;
    LONG lVal;
    VARIANT_BOOL boolVal;
    HRESULT scode;
    double dblVal;
    BSTR bstrVal;
    IUnknown* punkVal;
    IDispatch* pdispVal;
    struct {
      void* pvRecord;
      void* pRecInfo;
    } brecVal;
  };
};
static_assert(sizeof(VARIANT) == 24 && offsetof(VARIANT, lVal) == 8);

struct DISPPARAMS {
  VARIANT* rgvarg;
  DISPID* rgdispidNamedArgs;
  UINT cArgs;
  UINT cNamedArgs;
};
static_assert(sizeof(DISPPARAMS) == 24);

struct EXCEPINFO {
  WORD wCode;
  WORD wReserved;
  BSTR bstrSource;
  BSTR bstrDescription;
  BSTR bstrHelpFile;
  DWORD dwHelpContext;
  void* pvReserved;
  HRESULT (*pfnDeferredFillIn)(EXCEPINFO*);
  HRESULT scode;
};
static_assert(sizeof(EXCEPINFO) == 64 && offsetof(EXCEPINFO, scode) == 56);

struct IUnknown {
  virtual HRESULT QueryInterface(const IID& riid, void** ppv) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;
};

struct IClassFactory : IUnknown {
  virtual HRESULT CreateInstance(IUnknown* outer, const IID& riid, void** ppv) = 0;
  virtual HRESULT LockServer(BOOL lock) = 0;
};

struct IDispatch : IUnknown {
  virtual HRESULT GetTypeInfoCount(UINT* count) = 0;
  virtual HRESULT GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) = 0;
  virtual HRESULT GetIDsOfNames(const IID& riid, OLECHAR** names, UINT count, LCID lcid, DISPID* ids) = 0;
  virtual HRESULT Invoke(DISPID id, const IID& riid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                         EXCEPINFO* excepinfo, UINT* arg_error) = 0;
};

struct IConnectionPointContainer;

struct IConnectionPoint : IUnknown {
  virtual HRESULT GetConnectionInterface(IID* iid) = 0;
  virtual HRESULT GetConnectionPointContainer(IConnectionPointContainer** container) = 0;
  virtual HRESULT Advise(IUnknown* sink, DWORD* cookie) = 0;
  virtual HRESULT Unadvise(DWORD cookie) = 0;
  virtual HRESULT EnumConnections(IEnumConnections** connections) = 0;
};

struct IConnectionPointContainer : IUnknown {
  virtual HRESULT EnumConnectionPoints(IEnumConnectionPoints** points) = 0;
  virtual HRESULT FindConnectionPoint(const IID& riid, IConnectionPoint** point) = 0;
};

extern "C" {
BSTR SysAllocString(const OLECHAR* text);
void SysFreeString(BSTR text);
UINT SysStringLen(BSTR text);
void VariantInit(VARIANT* v);
HRESULT VariantClear(VARIANT* v);
}

namespace {

// One counted reference, released when the holder goes.
template <class T>
class ref {
 public:
  ref() = default;
  ref(const ref&) = delete;
  ref& operator=(const ref&) = delete;
  ref(ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  ~ref() { reset(); }

  T* get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  T** put() {
    reset();
    return &p_;
  }
  void** put_void() { return reinterpret_cast<void**>(put()); }
  void reset() {
    if (p_) std::exchange(p_, nullptr)->Release();
  }

 private:
  T* p_ = nullptr;
};

// COM identity: the IUnknown pointer, compared by value while the object is alive.
const void* identity_of(IUnknown* p) {
  ref<IUnknown> unknown;
  if (!p || failed(p->QueryInterface(IID_IUnknown, unknown.put_void()))) return nullptr;
  return unknown.get();
}

// A VARIANT that clears itself.
struct variant {
  VARIANT v;
  variant() { VariantInit(&v); }
  variant(const variant&) = delete;
  variant& operator=(const variant&) = delete;
  ~variant() { VariantClear(&v); }
  VARIANT* put() {
    VariantClear(&v);
    return &v;
  }
};

// Argument builders: the VARIANT they return is owned (and cleared) by the call it is passed to.
VARIANT text(const char16_t* s) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(s);
  return v;
}
VARIANT boolean(VARIANT_BOOL b) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BOOL;
  v.boolVal = b;
  return v;
}
VARIANT int32(LONG n) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = n;
  return v;
}
VARIANT object(IDispatch* d) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_DISPATCH;
  v.pdispVal = d;
  if (d) d->AddRef();
  return v;
}

// For failure messages: the names used here are ASCII.
std::string narrow(std::u16string_view s) { return std::string(s.begin(), s.end()); }

std::u16string from_bstr(BSTR s) { return s ? std::u16string(s, SysStringLen(s)) : std::u16string(); }

HRESULT ids_of_names(IDispatch* d, const char16_t* name, DISPID* id, const IID& riid = IID_NULL) {
  std::u16string copy(name);
  OLECHAR* names[] = {copy.data()};
  return d->GetIDsOfNames(riid, names, 1, LOCALE_USER_DEFAULT, id);
}

DISPID id_of(IDispatch* d, const char16_t* name) {
  DISPID id = DISPID_UNKNOWN;
  HRESULT hr = ids_of_names(d, name, &id);
  if (hr != S_OK) {
    ADD_FAILURE() << "GetIDsOfNames for a known member failed: 0x" << std::hex << hr;
  }
  return id;
}

struct call_result {
  HRESULT hr;
  UINT arg_error;
};

// Invokes a member by DISPID with positional arguments given in their natural order (Invoke takes
// them last first). A put passes its value as the named argument DISPID_PROPERTYPUT. A member's
// failure may come back as DISP_E_EXCEPTION with the member's status in EXCEPINFO; both forms are
// reduced to the member's status here.
call_result invoke_id(IDispatch* d, DISPID id, WORD flags, std::initializer_list<VARIANT> args,
                      VARIANT* result = nullptr) {
  std::vector<VARIANT> reversed(args.begin(), args.end());
  std::reverse(reversed.begin(), reversed.end());
  DISPID put_id = DISPID_PROPERTYPUT;
  const bool is_put = (flags & DISPATCH_PROPERTYPUT) != 0;
  DISPPARAMS params{reversed.data(), is_put ? &put_id : nullptr, static_cast<UINT>(reversed.size()),
                    is_put ? 1u : 0u};
  EXCEPINFO excepinfo{};
  UINT arg_error = ~0u;
  HRESULT hr = d->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, &excepinfo, &arg_error);
  for (VARIANT& v : reversed) VariantClear(&v);
  SysFreeString(excepinfo.bstrSource);
  SysFreeString(excepinfo.bstrDescription);
  SysFreeString(excepinfo.bstrHelpFile);
  if (hr == DISP_E_EXCEPTION) hr = excepinfo.scode != S_OK ? excepinfo.scode : E_FAIL;
  return {hr, arg_error};
}

call_result call(IDispatch* d, const char16_t* name, std::initializer_list<VARIANT> args = {},
                 VARIANT* result = nullptr) {
  return invoke_id(d, id_of(d, name), DISPATCH_METHOD, args, result);
}
call_result get(IDispatch* d, const char16_t* name, variant& out, std::initializer_list<VARIANT> args = {}) {
  return invoke_id(d, id_of(d, name), DISPATCH_PROPERTYGET, args, out.put());
}
call_result put(IDispatch* d, const char16_t* name, VARIANT value) {
  return invoke_id(d, id_of(d, name), DISPATCH_PROPERTYPUT, {value});
}

LONG count_of(IDispatch* items) {
  variant v;
  EXPECT_EQ(get(items, u"Count", v).hr, S_OK);
  EXPECT_EQ(v.v.vt, VT_I4);
  return v.v.vt == VT_I4 ? v.v.lVal : -1;
}

std::u16string name_of(IDispatch* item) {
  variant v;
  EXPECT_EQ(get(item, u"Name", v).hr, S_OK);
  EXPECT_EQ(v.v.vt, VT_BSTR);
  return v.v.vt == VT_BSTR ? from_bstr(v.v.bstrVal) : u"<not a string>";
}

// The item at a position, through the collection's default member.
const void* item_at(IDispatch* items, variant& out, VARIANT index) {
  if (get(items, u"Item", out, {index}).hr != S_OK || out.v.vt != VT_DISPATCH) return nullptr;
  return identity_of(out.v.pdispVal);
}

// One call received by the sink.
struct event {
  DISPID id;
  WORD flags;
  bool null_iid;
  UINT args;
  UINT named_args;
  VARTYPE arg_type;          // of the first argument, VT_EMPTY without one
  const void* item;          // identity of a VT_DISPATCH argument
  std::u16string item_name;  // read back from the argument through its own IDispatch
  LONG count_seen;           // the watched collection's Count inside the handler, -1 unwatched
};

// A dispatch sink for the collection's outgoing dispinterface. It lives on the test's stack and is
// never freed through Release; the test checks that every reference handed out came back.
class dispatch_sink final : public IDispatch {
 public:
  explicit dispatch_sink(bool answers_events = true) : answers_events_(answers_events) {}

  HRESULT QueryInterface(const IID& riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!(riid == IID_IUnknown) && !(riid == IID_IDispatch) &&
        !(answers_events_ && riid == DIID__IScheduleItemsEvents)) {
      return E_NOINTERFACE;
    }
    *ppv = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override { return --refs_; }

  HRESULT GetTypeInfoCount(UINT* count) override {
    if (count) *count = 0;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(const IID&, OLECHAR**, UINT, LCID, DISPID*) override { return E_NOTIMPL; }

  HRESULT Invoke(DISPID id, const IID& riid, LCID, WORD flags, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                 UINT*) override {
    event e{id, flags, riid == IID_NULL, 0, 0, VT_EMPTY, nullptr, {}, -1};
    if (params) {
      e.args = params->cArgs;
      e.named_args = params->cNamedArgs;
      if (params->cArgs > 0 && params->rgvarg) {
        const VARIANT& arg = params->rgvarg[0];
        e.arg_type = arg.vt;
        if (arg.vt == VT_DISPATCH && arg.pdispVal) {
          e.item = identity_of(arg.pdispVal);
          e.item_name = name_of(arg.pdispVal);
        }
      }
    }
    if (watched_) e.count_seen = count_of(watched_);
    std::lock_guard guard(mutex_);
    events_.push_back(std::move(e));
    return S_OK;
  }

  // The collection whose Count the handler reads back (not counted: the test holds it).
  void watch(IDispatch* items) { watched_ = items; }
  std::vector<event> take() {
    std::lock_guard guard(mutex_);
    return std::exchange(events_, {});
  }
  // References held by others.
  ULONG outstanding() const { return refs_.load() - 1; }

 private:
  const bool answers_events_;
  std::atomic<ULONG> refs_{1};  // the one the test's stack frame stands for
  IDispatch* watched_ = nullptr;
  std::mutex mutex_;
  std::vector<event> events_;  // guarded by mutex_
};

using get_class_object_fn = HRESULT (*)(const CLSID&, const IID&, void**);
using can_unload_now_fn = HRESULT (*)();

struct library {
  void* handle = nullptr;
  get_class_object_fn get_class_object = nullptr;
  can_unload_now_fn can_unload_now = nullptr;
  std::string error;
};

// Loaded once for the process and kept mapped, as a COM host keeps a server it has used.
const library& scheduler_library() {
  static const library lib = [] {
    library l;
    l.handle = dlopen(SCHEDULER_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (!l.handle) {
      l.error = dlerror();
      return l;
    }
    l.get_class_object = reinterpret_cast<get_class_object_fn>(dlsym(l.handle, "DllGetClassObject"));
    l.can_unload_now = reinterpret_cast<can_unload_now_fn>(dlsym(l.handle, "DllCanUnloadNow"));
    if (!l.get_class_object || !l.can_unload_now) l.error = "the library lacks DllGetClassObject or DllCanUnloadNow";
    return l;
  }();
  return lib;
}

class SchedulerClient : public ::testing::Test {
 protected:
  void SetUp() override {
    const library& lib = scheduler_library();
    ASSERT_TRUE(lib.error.empty()) << lib.error;
    get_class_object_ = lib.get_class_object;
    can_unload_now_ = lib.can_unload_now;
  }
  // Every test releases what it made, so the library must be free to unload afterwards.
  void TearDown() override {
    if (can_unload_now_) {
      EXPECT_EQ(can_unload_now_(), S_OK) << "an object of the library is still alive";
    }
  }

  ref<IClassFactory> factory(const CLSID& clsid) {
    ref<IClassFactory> f;
    EXPECT_EQ(get_class_object_(clsid, IID_IClassFactory, f.put_void()), S_OK);
    return f;
  }
  ref<IDispatch> create(const CLSID& clsid) {
    ref<IDispatch> d;
    ref<IClassFactory> f = factory(clsid);
    if (f) {
      EXPECT_EQ(f->CreateInstance(nullptr, IID_IDispatch, d.put_void()), S_OK);
    }
    return d;
  }
  ref<IDispatch> create_item(const char16_t* name) {
    ref<IDispatch> item = create(CLSID_ScheduleItem);
    if (item) {
      EXPECT_EQ(put(item.get(), u"Name", text(name)).hr, S_OK);
    }
    return item;
  }
  // The collection's connection point for its outgoing dispinterface.
  static ref<IConnectionPoint> events_point(IDispatch* items) {
    ref<IConnectionPointContainer> container;
    EXPECT_EQ(items->QueryInterface(IID_IConnectionPointContainer, container.put_void()), S_OK);
    ref<IConnectionPoint> point;
    if (container) {
      EXPECT_EQ(container->FindConnectionPoint(DIID__IScheduleItemsEvents, point.put()), S_OK);
    }
    return point;
  }

  get_class_object_fn get_class_object_ = nullptr;
  can_unload_now_fn can_unload_now_ = nullptr;
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Class objects and unloading

TEST_F(SchedulerClient, HandsOutOneClassObjectPerListedClass) {
  void* out = this;  // anything but null, to see it cleared
  EXPECT_EQ(get_class_object_(GUID_Unknown, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(get_class_object_(CLSID_ScheduleItem, IID_IClassFactory, nullptr), E_POINTER);

  ref<IClassFactory> first = factory(CLSID_ScheduleItem);
  ref<IClassFactory> second = factory(CLSID_ScheduleItem);
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first.get(), second.get());
  ref<IUnknown> as_unknown;
  EXPECT_EQ(get_class_object_(CLSID_ScheduleItem, IID_IUnknown, as_unknown.put_void()), S_OK);
  EXPECT_EQ(identity_of(as_unknown.get()), identity_of(first.get()));
  ref<IClassFactory> other = factory(CLSID_ScheduleItems);
  EXPECT_NE(identity_of(other.get()), identity_of(first.get()));

  // A class object is no dispatch object: the status is its QueryInterface's.
  out = this;
  EXPECT_EQ(get_class_object_(CLSID_ScheduleItem, IID_IDispatch, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
}

TEST_F(SchedulerClient, ConcurrentFirstRequestsShareOneClassObject) {
  // Run on its own, this is the process's first request for the class.
  std::latch start(2);
  ref<IClassFactory> seen[2];
  HRESULT results[2] = {E_FAIL, E_FAIL};
  auto ask = [&](int i) {
    start.arrive_and_wait();
    results[i] = get_class_object_(CLSID_ScheduleItems, IID_IClassFactory, seen[i].put_void());
  };
  std::thread a(ask, 0), b(ask, 1);
  a.join();
  b.join();
  EXPECT_EQ(results[0], S_OK);
  EXPECT_EQ(results[1], S_OK);
  EXPECT_EQ(seen[0].get(), seen[1].get());
}

TEST_F(SchedulerClient, AggregationOnlyThroughIUnknown) {
  ref<IClassFactory> f = factory(CLSID_ScheduleItem);
  ASSERT_TRUE(f);
  dispatch_sink outer;
  void* out = this;
  EXPECT_EQ(f->CreateInstance(&outer, IID_IDispatch, &out), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(out, nullptr);

  ref<IUnknown> inner;
  EXPECT_EQ(f->CreateInstance(&outer, IID_IUnknown, inner.put_void()), S_OK);
  EXPECT_TRUE(inner);
  inner.reset();
  EXPECT_EQ(outer.outstanding(), 0u);
}

TEST_F(SchedulerClient, LibraryCanUnloadOnlyWhenNothingIsAlive) {
  ref<IClassFactory> f = factory(CLSID_ScheduleItem);
  ASSERT_TRUE(f);
  EXPECT_EQ(can_unload_now_(), S_FALSE) << "a held class object keeps the library";

  ref<IDispatch> item = create(CLSID_ScheduleItem);
  ref<IDispatch> items = create(CLSID_ScheduleItems);
  EXPECT_EQ(can_unload_now_(), S_FALSE);
  item.reset();
  EXPECT_EQ(can_unload_now_(), S_FALSE);
  items.reset();
  EXPECT_EQ(can_unload_now_(), S_FALSE);

  EXPECT_EQ(f->LockServer(1), S_OK);
  EXPECT_EQ(can_unload_now_(), S_FALSE);
  EXPECT_EQ(f->LockServer(0), S_OK);
  EXPECT_EQ(can_unload_now_(), S_FALSE);
  f.reset();
  EXPECT_EQ(can_unload_now_(), S_OK);
}

// ---------------------------------------------------------------------------------------------
// Names

TEST_F(SchedulerClient, NamesResolveToTheirDispatchIdentifiersInAnyCase) {
  ref<IDispatch> item = create(CLSID_ScheduleItem);
  ref<IDispatch> items = create(CLSID_ScheduleItems);
  ASSERT_TRUE(item && items);

  struct expectation {
    IDispatch* target;
    const char16_t* name;
    DISPID id;
  };
  IDispatch* const i = item.get();
  IDispatch* const c = items.get();
  const expectation known[] = {
      {i, u"Name", 7},       {i, u"NAME", 7},         {i, u"nAmE", 7},           {i, u"Enable", 6},
      {i, u"enable", 6},     {i, u"Update", 103},     {i, u"UPDATE", 103},       {c, u"AddItem", 0x65},
      {c, u"additem", 0x65}, {c, u"Count", 1},        {c, u"COUNT", 1},          {c, u"Item", 0},
      {c, u"iTEM", 0},       {c, u"RemoveItem", 0x66}, {c, u"REMOVEITEM", 0x66}, {c, u"Empty", 0x64},
      {c, u"empty", 0x64},
  };
  for (const expectation& e : known) {
    DISPID id = DISPID_UNKNOWN;
    EXPECT_EQ(ids_of_names(e.target, e.name, &id), S_OK) << narrow(e.name);
    EXPECT_EQ(id, e.id) << narrow(e.name);
  }

  // Unknown names, including a member of the other interface, and a name that only starts right.
  const expectation unknown[] = {
      {i, u"Nmae", 0}, {i, u"AddItem", 0}, {c, u"Name", 0}, {c, u"Counts", 0}, {c, u"", 0}};
  for (const expectation& e : unknown) {
    DISPID id = 42;
    EXPECT_EQ(ids_of_names(e.target, e.name, &id), DISP_E_UNKNOWNNAME) << narrow(e.name);
    EXPECT_EQ(id, DISPID_UNKNOWN);
  }

  DISPID id = 42;
  EXPECT_EQ(ids_of_names(item.get(), u"Name", &id, GUID_Unknown), DISP_E_UNKNOWNINTERFACE);
  UINT count = 0;
  EXPECT_EQ(item->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 1u);
}

// ---------------------------------------------------------------------------------------------
// Properties and methods through Invoke

TEST_F(SchedulerClient, PropertiesRoundTripThroughInvoke) {
  ref<IDispatch> item = create(CLSID_ScheduleItem);
  ASSERT_TRUE(item);

  EXPECT_EQ(name_of(item.get()), u"");
  EXPECT_EQ(put(item.get(), u"Name", text(u"Nightly backup")).hr, S_OK);
  EXPECT_EQ(name_of(item.get()), u"Nightly backup");
  // Script hosts read properties with both flags set.
  variant v;
  EXPECT_EQ(invoke_id(item.get(), 7, DISPATCH_METHOD | DISPATCH_PROPERTYGET, {}, v.put()).hr, S_OK);
  ASSERT_EQ(v.v.vt, VT_BSTR);
  EXPECT_EQ(from_bstr(v.v.bstrVal), u"Nightly backup");
  // Arguments of another type are converted to the member's type.
  EXPECT_EQ(put(item.get(), u"name", int32(42)).hr, S_OK);
  EXPECT_EQ(name_of(item.get()), u"42");

  EXPECT_EQ(get(item.get(), u"Enable", v).hr, S_OK);
  EXPECT_EQ(v.v.vt, VT_BOOL);
  EXPECT_EQ(v.v.boolVal, VARIANT_TRUE);
  EXPECT_EQ(put(item.get(), u"Enable", boolean(VARIANT_FALSE)).hr, S_OK);
  EXPECT_EQ(get(item.get(), u"Enable", v).hr, S_OK);
  EXPECT_EQ(v.v.boolVal, VARIANT_FALSE);
  EXPECT_EQ(put(item.get(), u"ENABLE", int32(1)).hr, S_OK);
  EXPECT_EQ(get(item.get(), u"Enable", v).hr, S_OK);
  EXPECT_EQ(v.v.vt, VT_BOOL);
  EXPECT_EQ(v.v.boolVal, VARIANT_TRUE);

  // Update with nobody listening succeeds and returns nothing.
  EXPECT_EQ(call(item.get(), u"Update", {}, v.put()).hr, S_OK);
  EXPECT_EQ(v.v.vt, VT_EMPTY);
}

TEST_F(SchedulerClient, BadCallsAreRefusedAndChangeNothing) {
  ref<IDispatch> item = create_item(u"kept");
  ref<IDispatch> items = create(CLSID_ScheduleItems);
  ASSERT_TRUE(item && items);

  call_result r = put(item.get(), u"Enable", text(u"not a flag"));
  EXPECT_EQ(r.hr, DISP_E_TYPEMISMATCH);
  EXPECT_EQ(r.arg_error, 0u);
  variant v;
  EXPECT_EQ(get(item.get(), u"Enable", v).hr, S_OK);
  EXPECT_EQ(v.v.boolVal, VARIANT_TRUE);
  EXPECT_EQ(invoke_id(item.get(), 4242, DISPATCH_METHOD, {}).hr, DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(name_of(item.get()), u"kept");

  r = call(items.get(), u"AddItem", {text(u"not an item")});
  EXPECT_EQ(r.hr, DISP_E_TYPEMISMATCH);
  EXPECT_EQ(r.arg_error, 0u);
  EXPECT_EQ(call(items.get(), u"AddItem", {int32(1)}).hr, DISP_E_TYPEMISMATCH);
  EXPECT_EQ(call(items.get(), u"AddItem").hr, DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(call(items.get(), u"AddItem", {object(item.get()), object(item.get())}).hr, DISP_E_BADPARAMCOUNT);
  EXPECT_TRUE(failed(call(items.get(), u"AddItem", {object(nullptr)}).hr));
  // A dispatch object that is not a schedule item.
  dispatch_sink stranger(false);
  EXPECT_TRUE(failed(call(items.get(), u"AddItem", {object(&stranger)}).hr));
  EXPECT_EQ(stranger.outstanding(), 0u);
  EXPECT_EQ(count_of(items.get()), 0);

  EXPECT_EQ(get(items.get(), u"Item", v, {text(u"first")}).hr, DISP_E_TYPEMISMATCH);
  EXPECT_TRUE(failed(get(items.get(), u"Item", v, {int32(0)}).hr));
  EXPECT_EQ(v.v.vt, VT_EMPTY);
  EXPECT_TRUE(failed(call(items.get(), u"RemoveItem", {object(item.get())}).hr));
  EXPECT_EQ(count_of(items.get()), 0);
}

TEST_F(SchedulerClient, CollectionTakesAndReturnsItemsAsDispatchArguments) {
  ref<IDispatch> items = create(CLSID_ScheduleItems);
  ref<IDispatch> first = create_item(u"first");
  ref<IDispatch> second = create_item(u"second");
  ASSERT_TRUE(items && first && second);

  EXPECT_EQ(call(items.get(), u"AddItem", {object(first.get())}).hr, S_OK);
  EXPECT_EQ(call(items.get(), u"ADDITEM", {object(second.get())}).hr, S_OK);
  EXPECT_EQ(count_of(items.get()), 2);

  variant found;
  EXPECT_EQ(item_at(items.get(), found, int32(0)), identity_of(first.get()));
  EXPECT_EQ(item_at(items.get(), found, text(u"1")), identity_of(second.get()));  // "1" converts to 1
  EXPECT_EQ(name_of(found.v.pdispVal), u"second");
  EXPECT_EQ(item_at(items.get(), found, int32(2)), nullptr);
  EXPECT_EQ(item_at(items.get(), found, int32(-1)), nullptr);

  EXPECT_EQ(call(items.get(), u"RemoveItem", {object(first.get())}).hr, S_OK);
  EXPECT_EQ(count_of(items.get()), 1);
  EXPECT_EQ(item_at(items.get(), found, int32(0)), identity_of(second.get()));

  EXPECT_EQ(call(items.get(), u"Empty").hr, S_OK);
  EXPECT_EQ(count_of(items.get()), 0);
}

// ---------------------------------------------------------------------------------------------
// Events at a dispatch sink

TEST_F(SchedulerClient, DispatchSinkHearsEveryChangeNamingTheItem) {
  ref<IDispatch> items = create(CLSID_ScheduleItems);
  ref<IDispatch> item = create_item(u"Nightly backup");
  ASSERT_TRUE(items && item);
  ref<IConnectionPoint> point = events_point(items.get());
  ASSERT_TRUE(point);
  IID iid{};
  EXPECT_EQ(point->GetConnectionInterface(&iid), S_OK);
  EXPECT_EQ(iid, DIID__IScheduleItemsEvents);

  dispatch_sink sink;
  sink.watch(items.get());
  DWORD cookie = 0;
  ASSERT_EQ(point->Advise(&sink, &cookie), S_OK);
  EXPECT_NE(cookie, 0u);
  const void* id = identity_of(item.get());

  ASSERT_EQ(call(items.get(), u"AddItem", {object(item.get())}).hr, S_OK);
  ASSERT_EQ(call(item.get(), u"Update").hr, S_OK);
  ASSERT_EQ(call(items.get(), u"RemoveItem", {object(item.get())}).hr, S_OK);
  ASSERT_EQ(call(items.get(), u"AddItem", {object(item.get())}).hr, S_OK);
  ASSERT_EQ(call(items.get(), u"Empty").hr, S_OK);

  std::vector<event> events = sink.take();
  ASSERT_EQ(events.size(), 5u);
  const DISPID order[] = {1, 3, 2, 1, 4};  // OnAddItem, OnUpdateItem, OnRemoveItem, OnAddItem, OnRemoveAllItems
  const LONG counts[] = {1, 1, 0, 1, 0};   // the handler sees the change already made
  for (size_t i = 0; i < events.size(); ++i) {
    const event& e = events[i];
    SCOPED_TRACE(testing::Message() << "event " << i << ", DISPID " << e.id);
    EXPECT_EQ(e.id, order[i]);
    EXPECT_EQ(e.flags, DISPATCH_METHOD);
    EXPECT_TRUE(e.null_iid);
    EXPECT_EQ(e.named_args, 0u);
    EXPECT_EQ(e.count_seen, counts[i]);
    if (order[i] == 4) {
      EXPECT_EQ(e.args, 0u);
      continue;
    }
    EXPECT_EQ(e.args, 1u);
    EXPECT_EQ(e.arg_type, VT_DISPATCH);
    EXPECT_EQ(e.item, id);
    EXPECT_EQ(e.item_name, u"Nightly backup");
  }

  EXPECT_EQ(point->Unadvise(cookie), S_OK);
  EXPECT_EQ(sink.outstanding(), 0u) << "the collection kept a reference to an unadvised sink";
  ASSERT_EQ(call(items.get(), u"AddItem", {object(item.get())}).hr, S_OK);
  EXPECT_TRUE(sink.take().empty());
  EXPECT_EQ(call(items.get(), u"Empty").hr, S_OK);
}

TEST_F(SchedulerClient, RemovedItemNoLongerReportsUpdates) {
  ref<IDispatch> items = create(CLSID_ScheduleItems);
  ref<IDispatch> kept = create_item(u"kept");
  ref<IDispatch> removed = create_item(u"removed");
  ASSERT_TRUE(items && kept && removed);
  ASSERT_EQ(call(items.get(), u"AddItem", {object(kept.get())}).hr, S_OK);
  ASSERT_EQ(call(items.get(), u"AddItem", {object(removed.get())}).hr, S_OK);
  ASSERT_EQ(call(items.get(), u"RemoveItem", {object(removed.get())}).hr, S_OK);

  ref<IConnectionPoint> point = events_point(items.get());
  ASSERT_TRUE(point);
  dispatch_sink sink;
  DWORD cookie = 0;
  ASSERT_EQ(point->Advise(&sink, &cookie), S_OK);
  EXPECT_EQ(call(removed.get(), u"Update").hr, S_OK);
  EXPECT_EQ(call(kept.get(), u"Update").hr, S_OK);
  std::vector<event> events = sink.take();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].id, 3);
  EXPECT_EQ(events[0].item_name, u"kept");

  EXPECT_EQ(point->Unadvise(cookie), S_OK);
  EXPECT_EQ(call(items.get(), u"Empty").hr, S_OK);
}

TEST_F(SchedulerClient, ConnectionPointRefusesWhatItCannotServe) {
  ref<IDispatch> items = create(CLSID_ScheduleItems);
  ASSERT_TRUE(items);
  ref<IConnectionPointContainer> container;
  ASSERT_EQ(items->QueryInterface(IID_IConnectionPointContainer, container.put_void()), S_OK);
  ref<IConnectionPoint> none;
  EXPECT_EQ(container->FindConnectionPoint(GUID_Unknown, none.put()), CONNECT_E_NOCONNECTION);
  EXPECT_FALSE(none);

  ref<IConnectionPoint> point = events_point(items.get());
  ASSERT_TRUE(point);
  dispatch_sink deaf(false);  // a dispatch object that does not implement the event interface
  DWORD cookie = 7;
  EXPECT_EQ(point->Advise(&deaf, &cookie), CONNECT_E_CANNOTCONNECT);
  EXPECT_EQ(deaf.outstanding(), 0u);
  EXPECT_EQ(point->Unadvise(12345), CONNECT_E_NOCONNECTION);
}
