// Unloading of server libraries: held class objects, the two-phase grace period, DllCanUnloadNow
// called without the runtime's locks, and lock counts private to each library.
#include <dlfcn.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>

#include "comrt/guid.h"
#include "comrt/object.h"
#include "comrt/registry.h"
#include "comrt/time.h"
#include "platform/com/server/test_server.h"
#include "platform/registry/registry_sandbox.h"

namespace {

using comrt::com_ptr;

constexpr int64_t ms = 10'000;  // runtime clock ticks per millisecond

bool is_loaded(const char* library = SERVER) {
  void* h = dlopen(library, RTLD_NOW | RTLD_NOLOAD);
  if (h) dlclose(h);
  return h != nullptr;
}

void free_unused(DWORD delay_ms = 0, int passes = 1) {
  while (passes-- > 0) CoFreeUnusedLibrariesEx(delay_ms, 0);
}

class Unloading : public ::testing::Test {
 protected:
  void SetUp() override {
    RtSetClock(comrt::unix_to_ticks(1'700'000'000));
    const std::u16string key = u"CLSID\\" + comrt::to_u16string(CLSID_TestCounter) + u"\\InprocServer32";
    const std::string file = SERVER;
    const std::u16string text(file.begin(), file.end());
    comrt::unique_hkey k;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, 0, nullptr, k.put(), nullptr), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(k.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                             static_cast<DWORD>((text.size() + 1) * 2)),
              ERROR_SUCCESS);
  }
  void TearDown() override {
    free_unused(0, 2);  // unloads whatever is left for the next test
    RtResetClock();
  }
  void create_and_release() {
    com_ptr<ICounter> counter;
    EXPECT_EQ(CoCreateInstance(CLSID_TestCounter, nullptr, CLSCTX_INPROC_SERVER, IID_ICounter, counter.put_void()),
              S_OK);
  }

  tolvane::test::registry_sandbox sandbox;
};

TEST_F(Unloading, AHeldClassObjectKeepsTheLibraryLoaded) {
  com_ptr<IClassFactory> factory;
  ASSERT_EQ(CoGetClassObject(CLSID_TestCounter, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, factory.put_void()),
            S_OK);
  free_unused(0, 3);
  ASSERT_TRUE(is_loaded());
  com_ptr<ICounter> counter;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_ICounter, counter.put_void()), S_OK);
  LONG v = 0;
  EXPECT_EQ(counter->Next(&v), S_OK);
  counter = nullptr;
  factory = nullptr;
  free_unused(0, 2);
  EXPECT_FALSE(is_loaded());
}

TEST_F(Unloading, ALibraryGoesOnlyAfterTheGracePeriodWithoutUse) {
  create_and_release();
  free_unused();  // marks it: the first pass never unloads, even without a grace period
  EXPECT_TRUE(is_loaded());
  RtAdvanceClock(999 * ms);
  free_unused(1000);
  EXPECT_TRUE(is_loaded());
  create_and_release();  // used in between: the grace period starts again
  RtAdvanceClock(1 * ms);
  free_unused(1000);
  RtAdvanceClock(999 * ms);
  free_unused(1000);
  EXPECT_TRUE(is_loaded());
  RtAdvanceClock(1 * ms);
  free_unused(1000);
  EXPECT_FALSE(is_loaded());

  create_and_release();  // CoFreeUnusedLibraries waits ten minutes
  CoFreeUnusedLibraries();
  RtAdvanceClock(10 * 60 * 1000 * ms - 1);
  CoFreeUnusedLibraries();
  EXPECT_TRUE(is_loaded());
  RtAdvanceClock(1);
  CoFreeUnusedLibraries();
  EXPECT_FALSE(is_loaded());
}

TEST_F(Unloading, DllCanUnloadNowMayCallBackIntoTheRuntime) {
  create_and_release();
  void* handle = dlopen(SERVER, RTLD_NOW | RTLD_NOLOAD);
  auto set_hook = reinterpret_cast<void (*)(void (*)())>(dlsym(handle, "SetCanUnloadHook"));
  ASSERT_TRUE(set_hook);
  set_hook([] {
    com_ptr<IClassFactory> factory;
    CoGetClassObject(CLSID_TestCounter, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, factory.put_void());
  });
  auto done = std::async(std::launch::async, [] { free_unused(); });
  if (done.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
    ADD_FAILURE() << "CoFreeUnusedLibrariesEx deadlocked calling DllCanUnloadNow";
    std::_Exit(1);
  }
  set_hook(nullptr);
  dlclose(handle);
}

TEST(LockCount, EachLibraryKeepsItsOwn) {
  void* a = dlopen(SERVER_A, RTLD_NOW | RTLD_LOCAL);
  void* b = dlopen(SERVER_B, RTLD_NOW | RTLD_LOCAL);
  ASSERT_TRUE(a && b);
  auto get_a = reinterpret_cast<LPFNGETCLASSOBJECT>(dlsym(a, "DllGetClassObject"));
  auto can_unload_a = reinterpret_cast<LPFNCANUNLOADNOW>(dlsym(a, "DllCanUnloadNow"));
  auto can_unload_b = reinterpret_cast<LPFNCANUNLOADNOW>(dlsym(b, "DllCanUnloadNow"));
  const int32_t own = comrt::module_lock_count().load();
  {
    com_ptr<IClassFactory> factory;
    ASSERT_EQ(get_a(CLSID_TestCounter, IID_IClassFactory, factory.put_void()), S_OK);
    com_ptr<ICounter> counter;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_ICounter, counter.put_void()), S_OK);
    EXPECT_EQ(can_unload_a(), S_FALSE);
    EXPECT_EQ(can_unload_b(), S_OK);
    EXPECT_EQ(comrt::module_lock_count().load(), own);
  }
  EXPECT_EQ(can_unload_a(), S_OK);
  dlclose(b);
  dlclose(a);
}

}  // namespace
