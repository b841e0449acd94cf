// Activation: classes registered in the process, server libraries found through the registry,
// ProgIDs and the free-threaded marshaler.
#include <dlfcn.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "comrt/guid.h"
#include "comrt/object.h"
#include "comrt/registry.h"
#include "platform/com/server/test_server.h"
#include "platform/registry/registry_sandbox.h"

namespace {

using comrt::com_ptr;

constexpr CLSID CLSID_Local{0x2C1D6E90, 0x4B7A, 0x4E35, {0x8F, 0x02, 0x5D, 0x9A, 0x61, 0x3E, 0x7C, 0x14}};

// An object made in the test program, with the free-threaded marshaler aggregated.
class CLocal final : public comrt::implements<CLocal, ICounter, comrt::free_threaded> {
 public:
  static inline std::atomic<int> alive{0};
  CLocal() { ++alive; }
  ~CLocal() { --alive; }
  HRESULT STDMETHODCALLTYPE Next(LONG* value) override {
    return comrt::boundary([&] { *comrt::init_out(value) = 7; });
  }
};

void set_default(const std::u16string& key, const std::u16string& text) {
  comrt::unique_hkey k;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, 0, nullptr, k.put(), nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(k.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                           static_cast<DWORD>((text.size() + 1) * 2)),
            ERROR_SUCCESS);
}

// Registers the test server's class the way a server library registers itself.
void register_server(const std::string& library) {
  const std::u16string clsid = comrt::to_u16string(CLSID_TestCounter);
  set_default(u"Tolvane.TestCounter.1\\CLSID", clsid);
  set_default(u"Tolvane.TestCounter\\CurVer", u"Tolvane.TestCounter.1");
  set_default(u"CLSID\\" + clsid + u"\\ProgID", u"Tolvane.TestCounter.1");
  set_default(u"CLSID\\" + clsid + u"\\InprocServer32", std::u16string(library.begin(), library.end()));
}

bool is_loaded(const char* library) {
  void* h = dlopen(library, RTLD_NOW | RTLD_NOLOAD);
  if (h) dlclose(h);
  return h != nullptr;
}

class Activation : public ::testing::Test {
 protected:
  tolvane::test::registry_sandbox sandbox;
};

TEST_F(Activation, ClassesRegisteredInTheProcessAreServedInEveryContext) {
  auto factory = comrt::make<comrt::class_factory<CLocal>>();
  DWORD cookie = 0;
  ASSERT_EQ(CoRegisterClassObject(CLSID_Local, factory.get(), CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie), S_OK);
  DWORD second = 0;
  EXPECT_EQ(CoRegisterClassObject(CLSID_Local, factory.get(), CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &second),
            CO_E_OBJISREG);

  for (DWORD context : {DWORD(CLSCTX_INPROC_SERVER), DWORD(CLSCTX_LOCAL_SERVER), DWORD(CLSCTX_ALL),
                        DWORD(CLSCTX_SERVER | 0x400)}) {
    com_ptr<ICounter> counter;
    ASSERT_EQ(CoCreateInstance(CLSID_Local, nullptr, context, IID_ICounter, counter.put_void()), S_OK);
    LONG v = 0;
    EXPECT_EQ(counter->Next(&v), S_OK);
    EXPECT_EQ(v, 7);
  }
  com_ptr<IUnknown> unknown;
  EXPECT_EQ(CoCreateInstance(CLSID_Local, nullptr, 0, IID_IUnknown, unknown.put_void()), E_INVALIDARG);
  EXPECT_EQ(CLocal::alive, 0);

  EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
  EXPECT_EQ(CoRevokeClassObject(cookie), CO_E_OBJNOTREG);
  EXPECT_EQ(CoCreateInstance(CLSID_Local, nullptr, CLSCTX_ALL, IID_IUnknown, unknown.put_void()), REGDB_E_CLASSNOTREG);
}

TEST_F(Activation, ProgIDsNameClassesBothWays) {
  register_server("/nonexistent/library.so");
  CLSID clsid{};
  ASSERT_EQ(CLSIDFromProgID(u"tolvane.testcounter.1", &clsid), S_OK);
  EXPECT_TRUE(clsid == CLSID_TestCounter);
  clsid = CLSID_NULL;
  ASSERT_EQ(CLSIDFromProgID(u"Tolvane.TestCounter", &clsid), S_OK);  // through CurVer
  EXPECT_TRUE(clsid == CLSID_TestCounter);
  EXPECT_EQ(CLSIDFromProgID(u"Tolvane.Unknown", &clsid), CO_E_CLASSSTRING);

  LPOLESTR progid = nullptr;
  ASSERT_EQ(ProgIDFromCLSID(CLSID_TestCounter, &progid), S_OK);
  EXPECT_EQ(std::u16string(progid), u"Tolvane.TestCounter.1");
  CoTaskMemFree(progid);
}

TEST_F(Activation, ServerLibraryIsLoadedByProgIDAndUnloadedWhenUnused) {
  register_server(TEST_SERVER_LIBRARY);
  ASSERT_FALSE(is_loaded(TEST_SERVER_LIBRARY));
  CLSID clsid{};
  ASSERT_EQ(CLSIDFromProgID(u"Tolvane.TestCounter.1", &clsid), S_OK);
  com_ptr<ICounter> a, b;
  ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_ICounter, a.put_void()), S_OK);
  ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IID_ICounter, b.put_void()), S_OK);
  LONG v = 0;
  a->Next(&v);
  b->Next(&v);
  EXPECT_EQ(v, 1);  // two objects

  a = nullptr;
  CoFreeUnusedLibraries();
  EXPECT_TRUE(is_loaded(TEST_SERVER_LIBRARY));  // b is alive
  b = nullptr;

  // A locked server stays loaded without any object.
  com_ptr<IClassFactory> factory;
  ASSERT_EQ(CoGetClassObject(clsid, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, factory.put_void()), S_OK);
  ASSERT_EQ(factory->LockServer(TRUE), S_OK);
  CoFreeUnusedLibraries();
  EXPECT_TRUE(is_loaded(TEST_SERVER_LIBRARY));
  ASSERT_EQ(factory->LockServer(FALSE), S_OK);
  factory = nullptr;

  CoFreeUnusedLibrariesEx(0, 0);  // marks it
  CoFreeUnusedLibrariesEx(0, 0);  // unloads it
  EXPECT_FALSE(is_loaded(TEST_SERVER_LIBRARY));
}

TEST_F(Activation, BrokenRegistrationsGiveTheirStatus) {
  const std::u16string key = u"CLSID\\" + comrt::to_u16string(CLSID_TestCounter) + u"\\InprocServer32";
  com_ptr<IUnknown> object;
  EXPECT_EQ(CoCreateInstance(CLSID_TestCounter, nullptr, CLSCTX_ALL, IID_IUnknown, object.put_void()),
            REGDB_E_CLASSNOTREG);
  set_default(key, u"/nonexistent/library.so");
  EXPECT_EQ(CoCreateInstance(CLSID_TestCounter, nullptr, CLSCTX_ALL, IID_IUnknown, object.put_void()),
            CO_E_DLLNOTFOUND);
  const std::string runtime = RUNTIME_LIBRARY;  // a library without DllGetClassObject
  set_default(key, std::u16string(runtime.begin(), runtime.end()));
  EXPECT_EQ(CoCreateInstance(CLSID_TestCounter, nullptr, CLSCTX_ALL, IID_IUnknown, object.put_void()),
            CO_E_ERRORINDLL);
  // A class the library does not serve.
  register_server(TEST_SERVER_LIBRARY);
  set_default(u"CLSID\\" + comrt::to_u16string(CLSID_Local) + u"\\InprocServer32",
              std::u16string(std::string_view(TEST_SERVER_LIBRARY).begin(), std::string_view(TEST_SERVER_LIBRARY).end()));
  EXPECT_EQ(CoCreateInstance(CLSID_Local, nullptr, CLSCTX_ALL, IID_IUnknown, object.put_void()),
            CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_FALSE(object);
  CoFreeUnusedLibraries();
}

TEST(FreeThreadedMarshaler, AggregatedMarshalerKeepsTheObjectsIdentity) {
  com_ptr<CLocal> object = comrt::make<CLocal>();
  com_ptr<IMarshal> marshal = object.as<IMarshal>();
  EXPECT_TRUE(marshal.as<IUnknown>() == object.as<IUnknown>());
  EXPECT_TRUE(marshal.as<ICounter>() == object.as<ICounter>());
  object = nullptr;
  EXPECT_EQ(CLocal::alive, 1);  // the marshaler's reference counts on the object
  CLSID clsid{};
  EXPECT_EQ(marshal->GetUnmarshalClass(IID_ICounter, nullptr, MSHCTX_INPROC, nullptr, MSHLFLAGS_NORMAL, &clsid), S_OK);
  EXPECT_TRUE(clsid == CLSID_InProcFreeMarshaler);
  marshal = nullptr;
  EXPECT_EQ(CLocal::alive, 0);

  // An object that is itself aggregated answers IMarshal for its outer object's identity.
  com_ptr<CLocal> outer = comrt::make<CLocal>();
  com_ptr<IUnknown> inner = comrt::make_aggregated<CLocal>(outer.get());
  com_ptr<IMarshal> through_inner;
  ASSERT_EQ(inner->QueryInterface(IID_IMarshal, through_inner.put_void()), S_OK);
  EXPECT_TRUE(through_inner.as<IUnknown>() == outer.as<IUnknown>());
}

}  // namespace
