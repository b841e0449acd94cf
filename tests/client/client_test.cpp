// A late-bound client: it loads libScheduler.so with dlopen as a host does, asks its exports for
// class objects, and drives a schedule item and an item collection through IDispatch by member
// name, through the public headers only. Events of the collection arrive at a dispatch sink.
#include <dlfcn.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <vector>

#include <comrt/object.h>
#include <comrt/ocidl.h>
#include <comrt/variant.h>

#include "Scheduler.h"
#include "fakes/dispatch_client.h"
#include "fakes/dispatch_sink.h"

// The public headers lay the standard types out as every COM client expects them on this platform.
static_assert(sizeof(VARIANT) == 24 && offsetof(VARIANT, bstrVal) == 8);
static_assert(sizeof(GUID) == 16 && offsetof(GUID, Data4) == 8);
static_assert(offsetof(DISPPARAMS, rgdispidNamedArgs) == sizeof(void*) && offsetof(DISPPARAMS, cArgs) == 2 * sizeof(void*));
static_assert(sizeof(VARIANT_BOOL) == 2 && sizeof(DISPID) == 4 && sizeof(HRESULT) == 4);

namespace {

using comrt::com_ptr;
using namespace fakes::by_name;

// Loaded once for the process and kept mapped, as a COM host keeps a server it has used.
void* const library = dlopen(TOLVANE_SCHEDULER_LIBRARY, RTLD_NOW | RTLD_LOCAL);
const auto get_class_object = reinterpret_cast<HRESULT (*)(REFCLSID, REFIID, void**)>(dlsym(library, "DllGetClassObject"));
const auto can_unload_now = reinterpret_cast<HRESULT (*)()>(dlsym(library, "DllCanUnloadNow"));

com_ptr<IDispatch> create(IClassFactory* factory) {
  com_ptr<IDispatch> object;
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, object.put_void()), S_OK);
  return object;
}

TEST(SchedulerClient, DrivesTheComponentByNameAndTheLibraryUnloadsOnlyWhenNothingIsAlive) {
  ASSERT_TRUE(get_class_object && can_unload_now) << dlerror();
  void* out = &out;
  EXPECT_EQ(get_class_object(IID_IScheduleItem, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(out, nullptr);
  com_ptr<IClassFactory> scheduler_class, item_class, again;
  ASSERT_EQ(get_class_object(CLSID_Scheduler, IID_IClassFactory, scheduler_class.put_void()), S_OK);
  ASSERT_EQ(get_class_object(CLSID_ScheduleItem, IID_IClassFactory, item_class.put_void()), S_OK);
  ASSERT_EQ(get_class_object(CLSID_ScheduleItem, IID_IClassFactory, again.put_void()), S_OK);
  EXPECT_EQ(item_class, again);

  // Set items = scheduler.Items: first.Name = 42: items.AddItem first: first.Update: items.RemoveItem first
  com_ptr<IDispatch> scheduler = create(scheduler_class.get()), first = create(item_class.get());
  com_ptr<IDispatch> items(get(scheduler.get(), u"Items").pdispVal);
  auto sink = comrt::make<fakes::DispatchSink>();
  com_ptr<IConnectionPoint> point;
  ASSERT_EQ(items.as<IConnectionPointContainer>()->FindConnectionPoint(DIID__IScheduleItemsEvents, point.put()), S_OK);
  DWORD cookie = 0;
  ASSERT_EQ(point->Advise(sink->identity(), &cookie), S_OK);
  EXPECT_EQ(put(first.get(), u"name", variant(42)), S_OK);
  EXPECT_EQ(comrt::bstr_view(get(first.get(), u"Name").bstrVal), u"42");
  EXPECT_EQ(put(first.get(), u"Enable", variant(u"not a flag")), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(call(items.get(), u"AddItem", {variant(u"not an item")}), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(call(items.get(), u"AddItem", {variant(first)}), S_OK);
  EXPECT_EQ(comrt::bstr_view(get(get(items.get(), u"Item", {variant(u"0")}).pdispVal, u"Name").bstrVal), u"42");
  EXPECT_EQ(call(first.get(), u"Update"), S_OK);
  EXPECT_EQ(call(items.get(), u"RemoveItem", {variant(first)}), S_OK);
  EXPECT_EQ(call(first.get(), u"Update"), S_OK);  // no longer heard
  EXPECT_EQ(sink->calls(), (std::vector<fakes::dispatch_call>{{1, first.get()}, {3, first.get()}, {2, first.get()}}));
  EXPECT_EQ(point->Unadvise(cookie), S_OK);
  point = nullptr;

  // An item in the scheduler's collection goes with the scheduler; a class object or a lock keeps the library.
  EXPECT_EQ(call(items.get(), u"AddItem", {variant(first)}), S_OK);
  first = items = nullptr;
  EXPECT_EQ(can_unload_now(), S_FALSE);
  scheduler = nullptr;
  EXPECT_EQ(can_unload_now(), S_FALSE);
  EXPECT_EQ(item_class->LockServer(TRUE), S_OK);
  scheduler_class = item_class = again = nullptr;
  EXPECT_EQ(can_unload_now(), S_FALSE) << "a locked server stays loaded";
  ASSERT_EQ(get_class_object(CLSID_ScheduleItem, IID_IClassFactory, again.put_void()), S_OK);
  EXPECT_EQ(again->LockServer(FALSE), S_OK);
  again = nullptr;
  EXPECT_EQ(can_unload_now(), S_OK);
}

}  // namespace
