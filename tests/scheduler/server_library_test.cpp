// The built server library, loaded as a host loads it: it may be unloaded only while none of its
// objects is alive and no client has locked it.
#include <dlfcn.h>

#include <gtest/gtest.h>

#include <comrt/object.h>

#include "Scheduler.h"

namespace {

using comrt::com_ptr;

// The library, opened for one test and closed after it.
class server_library {
 public:
  server_library() : handle_(::dlopen(TOLVANE_SCHEDULER_LIBRARY, RTLD_NOW | RTLD_LOCAL)) {}
  ~server_library() {
    if (handle_) ::dlclose(handle_);
  }
  server_library(const server_library&) = delete;
  server_library& operator=(const server_library&) = delete;

  explicit operator bool() const { return handle_ != nullptr; }
  template <class F>
  F* symbol(const char* name) const {
    return reinterpret_cast<F*>(::dlsym(handle_, name));
  }

 private:
  void* handle_;
};

using get_class_object_fn = HRESULT(REFCLSID, REFIID, void**);
using can_unload_now_fn = HRESULT();

TEST(ServerLibraryTest, CanUnloadOnlyWhileNoObjectIsAliveAndNoLockIsHeld) {
  server_library lib;
  ASSERT_TRUE(lib) << ::dlerror();
  auto* get_class_object = lib.symbol<get_class_object_fn>("DllGetClassObject");
  auto* can_unload_now = lib.symbol<can_unload_now_fn>("DllCanUnloadNow");
  ASSERT_NE(get_class_object, nullptr);
  ASSERT_NE(can_unload_now, nullptr);
  EXPECT_EQ(can_unload_now(), S_OK);

  com_ptr<IClassFactory> scheduler_class;
  com_ptr<IClassFactory> item_class;
  ASSERT_EQ(get_class_object(CLSID_Scheduler, IID_IClassFactory, scheduler_class.put_void()), S_OK);
  ASSERT_EQ(get_class_object(CLSID_ScheduleItem, IID_IClassFactory, item_class.put_void()), S_OK);
  EXPECT_EQ(can_unload_now(), S_FALSE) << "held class objects keep the library";

  com_ptr<IScheduler> scheduler;
  ASSERT_EQ(scheduler_class->CreateInstance(nullptr, IID_IScheduler, scheduler.put_void()), S_OK);
  EXPECT_EQ(can_unload_now(), S_FALSE);

  // An item in the scheduler's collection goes with the scheduler.
  com_ptr<IScheduleItem> item;
  ASSERT_EQ(item_class->CreateInstance(nullptr, IID_IScheduleItem, item.put_void()), S_OK);
  ASSERT_EQ(scheduler->AddItem(item.get()), S_OK);
  item = nullptr;
  EXPECT_EQ(can_unload_now(), S_FALSE);
  scheduler = nullptr;
  EXPECT_EQ(can_unload_now(), S_FALSE);

  EXPECT_EQ(scheduler_class->LockServer(TRUE), S_OK);
  EXPECT_EQ(can_unload_now(), S_FALSE);
  EXPECT_EQ(scheduler_class->LockServer(FALSE), S_OK);
  EXPECT_EQ(can_unload_now(), S_FALSE);
  scheduler_class = nullptr;
  item_class = nullptr;
  EXPECT_EQ(can_unload_now(), S_OK);
}

}  // namespace
