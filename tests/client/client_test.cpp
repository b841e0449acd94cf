// A late-bound client: it loads libScheduler.so with dlopen as a host does, asks its exports for
// class objects, and drives a schedule item and an item collection through IDispatch by member
// name, through the public headers only. Events of the collection arrive at a dispatch sink.
#include <dlfcn.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <comrt/object.h>
#include <comrt/ocidl.h>
#include <comrt/variant.h>

#include "Scheduler.h"
#include "fakes/dispatch_client.h"
#include "fakes/dispatch_sink.h"

// The public headers lay the standard types out as every COM client expects them on this platform.
struct StandardVariant {
  uint16_t vt, reserved[3];
  union {
    int64_t llVal;
    void* pointer;
    struct {
      void* pvRecord;
      void* pRecInfo;
    } record;
  };
};
static_assert(sizeof(VARIANT) == sizeof(StandardVariant) && offsetof(VARIANT, bstrVal) == 8);
static_assert(sizeof(GUID) == 16 && offsetof(GUID, Data4) == 8);
static_assert(offsetof(DISPPARAMS, rgdispidNamedArgs) == sizeof(void*) && offsetof(DISPPARAMS, cArgs) == 2 * sizeof(void*));
static_assert(sizeof(VARIANT_BOOL) == 2 && sizeof(DISPID) == 4 && sizeof(HRESULT) == 4);

namespace {

using comrt::com_ptr;
using namespace fakes::by_name;
using get_class_object_fn = HRESULT(REFCLSID, REFIID, void**);
using can_unload_now_fn = HRESULT();

// Loaded once for the process and kept mapped, as a COM host keeps a server it has used.
struct library {
  void* handle = dlopen(TOLVANE_SCHEDULER_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  get_class_object_fn* get_class_object = handle ? reinterpret_cast<get_class_object_fn*>(dlsym(handle, "DllGetClassObject")) : nullptr;
  can_unload_now_fn* can_unload_now = handle ? reinterpret_cast<can_unload_now_fn*>(dlsym(handle, "DllCanUnloadNow")) : nullptr;
};

class SchedulerClient : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(lib.get_class_object && lib.can_unload_now) << dlerror(); }
  // Every test releases what it made, so the library must be free to unload afterwards.
  void TearDown() override { EXPECT_EQ(lib.can_unload_now(), S_OK) << "an object of the library is still alive"; }

  com_ptr<IDispatch> create(const CLSID& clsid) {
    com_ptr<IClassFactory> factory;
    com_ptr<IDispatch> object;
    EXPECT_EQ(lib.get_class_object(clsid, IID_IClassFactory, factory.put_void()), S_OK);
    if (factory) {
      EXPECT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, object.put_void()), S_OK);
    }
    return object;
  }
  com_ptr<IDispatch> create_item(const char16_t* name) {
    auto item = create(CLSID_ScheduleItem);
    EXPECT_EQ(put(item.get(), u"Name", variant(name)), S_OK);
    return item;
  }

  static inline library lib;
};

TEST_F(SchedulerClient, ClassObjectsAreSharedAndTheLibraryUnloadsOnlyWhenNothingIsAlive) {
  void* out = this;
  EXPECT_EQ(lib.get_class_object(IID_IScheduleItem, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(out, nullptr);
  com_ptr<IClassFactory> first, second;
  ASSERT_EQ(lib.get_class_object(CLSID_Scheduler, IID_IClassFactory, first.put_void()), S_OK);
  ASSERT_EQ(lib.get_class_object(CLSID_Scheduler, IID_IClassFactory, second.put_void()), S_OK);
  EXPECT_EQ(first, second);
  EXPECT_EQ(lib.can_unload_now(), S_FALSE) << "a held class object keeps the library";

  // An item in the scheduler's collection goes with the scheduler.
  com_ptr<IScheduler> scheduler;
  ASSERT_EQ(first->CreateInstance(nullptr, IID_IScheduler, scheduler.put_void()), S_OK);
  com_ptr<IScheduleItem> item = create(CLSID_ScheduleItem).as<IScheduleItem>();
  ASSERT_EQ(scheduler->AddItem(item.get()), S_OK);
  item = nullptr;
  EXPECT_EQ(lib.can_unload_now(), S_FALSE);
  scheduler = nullptr;
  EXPECT_EQ(first->LockServer(TRUE), S_OK);
  first = second = nullptr;
  EXPECT_EQ(lib.can_unload_now(), S_FALSE) << "a locked server stays loaded";
  ASSERT_EQ(lib.get_class_object(CLSID_Scheduler, IID_IClassFactory, first.put_void()), S_OK);
  EXPECT_EQ(first->LockServer(FALSE), S_OK);
  first = nullptr;
  EXPECT_EQ(lib.can_unload_now(), S_OK);
}

TEST_F(SchedulerClient, NamesResolveInAnyCaseAndPropertiesConvertTheirArguments) {
  auto item = create(CLSID_ScheduleItem);
  auto items = create(CLSID_ScheduleItems);
  const std::tuple<IDispatch*, const char16_t*, DISPID> known[] = {
      {item.get(), u"nAmE", 7}, {item.get(), u"RUN", 100}, {items.get(), u"additem", 0x65}};
  for (auto [target, name, expected] : known) {
    std::u16string n = name;
    LPOLESTR names[] = {n.data()};
    DISPID id = DISPID_UNKNOWN;
    EXPECT_EQ(target->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), S_OK);
    EXPECT_EQ(id, expected);
  }
  EXPECT_EQ(call(item.get(), u"AddItem"), DISP_E_UNKNOWNNAME);

  EXPECT_EQ(put(item.get(), u"Name", variant(u"Nightly backup")), S_OK);
  EXPECT_EQ(comrt::bstr_view(get(item.get(), u"Name").bstrVal), u"Nightly backup");
  EXPECT_EQ(put(item.get(), u"name", variant(42)), S_OK);
  EXPECT_EQ(comrt::bstr_view(get(item.get(), u"Name").bstrVal), u"42");
  EXPECT_EQ(put(item.get(), u"Enable", variant(u"not a flag")), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(get(item.get(), u"Enable").boolVal, VARIANT_TRUE);
  EXPECT_EQ(put(item.get(), u"Enable", variant(0)), S_OK);
  EXPECT_EQ(get(item.get(), u"Enable").boolVal, VARIANT_FALSE);
}

TEST_F(SchedulerClient, TheCollectionTakesItemsAsDispatchArgumentsAndAnnouncesEveryChange) {
  auto items = create(CLSID_ScheduleItems);
  auto first = create_item(u"first");
  auto second = create_item(u"second");
  com_ptr<IConnectionPoint> point;
  ASSERT_EQ(items.as<IConnectionPointContainer>()->FindConnectionPoint(DIID__IScheduleItemsEvents, point.put()), S_OK);
  auto sink = comrt::make<fakes::DispatchSink>();
  DWORD cookie = 0;
  ASSERT_EQ(point->Advise(sink->identity(), &cookie), S_OK);

  EXPECT_EQ(call(items.get(), u"AddItem", {variant(u"not an item")}), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(call(items.get(), u"AddItem"), DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(call(items.get(), u"AddItem", {variant(first)}), S_OK);
  EXPECT_EQ(call(items.get(), u"AddItem", {variant(second)}), S_OK);
  EXPECT_EQ(get(items.get(), u"Count").lVal, 2);
  EXPECT_EQ(put(items.get(), u"Dirty", variant(false)), S_OK);
  EXPECT_EQ(get(items.get(), u"Dirty").boolVal, VARIANT_FALSE);
  EXPECT_EQ(comrt::bstr_view(get(get(items.get(), u"Item", {variant(u"1")}).pdispVal, u"Name").bstrVal), u"second");
  variant none;
  EXPECT_TRUE(FAILED(invoke(items.get(), u"Item", DISPATCH_PROPERTYGET, {variant(2)}, &none)));
  EXPECT_EQ(call(first.get(), u"Update"), S_OK);
  EXPECT_EQ(call(items.get(), u"RemoveItem", {variant(first)}), S_OK);
  EXPECT_TRUE(FAILED(call(items.get(), u"RemoveItem", {variant(first)})));
  EXPECT_EQ(call(first.get(), u"Update"), S_OK);  // no longer heard
  EXPECT_EQ(call(items.get(), u"Empty"), S_OK);

  IDispatch* const a = first.get();
  IDispatch* const b = second.get();
  EXPECT_EQ(sink->calls(), (std::vector<fakes::dispatch_call>{{1, a}, {1, b}, {3, a}, {2, a}, {4, nullptr}}));
  EXPECT_EQ(point->Unadvise(cookie), S_OK);
}

}  // namespace
