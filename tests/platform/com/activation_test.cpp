// Activation: classes registered in the process, server libraries found through the registry,
// ProgIDs and the free-threaded marshaler.
#include <gtest/gtest.h>

#include <string>

#include "comrt/guid.h"
#include "comrt/strings.h"
#include "comrt/object.h"
#include "comrt/registry.h"
#include "platform/com/server/test_server.h"
#include "platform/registry/registry_sandbox.h"

namespace {

using comrt::com_ptr;

constexpr CLSID CLSID_Local{0x2C1D6E90, 0x4B7A, 0x4E35, {0x8F, 0x02, 0x5D, 0x9A, 0x61, 0x3E, 0x7C, 0x14}};
const std::u16string counter_key = u"CLSID\\" + comrt::to_u16string(CLSID_TestCounter);

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

void set_default(const std::u16string& key, std::string_view text) {
  const std::u16string data(text.begin(), text.end());
  comrt::unique_hkey k;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, 0, nullptr, k.put(), nullptr), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(k.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                           static_cast<DWORD>((data.size() + 1) * 2)),
            ERROR_SUCCESS);
}

HRESULT create(REFCLSID clsid, DWORD context, com_ptr<ICounter>& out) {
  return CoCreateInstance(clsid, nullptr, context, IID_ICounter, out.put_void());
}

class Activation : public ::testing::Test {
 protected:
  tolvane::test::registry_sandbox sandbox;
};

TEST_F(Activation, ClassesRegisteredInTheProcessAreServedInEveryContext) {
  auto factory = comrt::make<comrt::class_factory<CLocal>>();
  DWORD cookie = 0, second = 0;
  ASSERT_EQ(CoRegisterClassObject(CLSID_Local, factory.get(), CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie), S_OK);
  EXPECT_EQ(CoRegisterClassObject(CLSID_Local, factory.get(), CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &second),
            CO_E_OBJISREG);
  com_ptr<ICounter> counter;
  for (DWORD context : {DWORD(CLSCTX_INPROC_SERVER), DWORD(CLSCTX_LOCAL_SERVER), DWORD(CLSCTX_SERVER | 0x400)}) {
    ASSERT_EQ(create(CLSID_Local, context, counter), S_OK);
    LONG v = 0;
    EXPECT_EQ(counter->Next(&v), S_OK);
    EXPECT_EQ(v, 7);
  }
  EXPECT_EQ(create(CLSID_Local, 0, counter), E_INVALIDARG);
  EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
  EXPECT_EQ(CoRevokeClassObject(cookie), CO_E_OBJNOTREG);
  EXPECT_EQ(create(CLSID_Local, CLSCTX_ALL, counter), REGDB_E_CLASSNOTREG);
}

TEST_F(Activation, ProgIDsNameClassesBothWays) {
  set_default(u"Tolvane.TestCounter.1\\CLSID", comrt::to_utf8(comrt::to_u16string(CLSID_TestCounter)));
  set_default(u"Tolvane.TestCounter\\CurVer", "Tolvane.TestCounter.1");
  set_default(counter_key + u"\\ProgID", "Tolvane.TestCounter.1");
  for (const char16_t* progid : {u"tolvane.testcounter.1", u"Tolvane.TestCounter"}) {
    CLSID clsid{};
    ASSERT_EQ(CLSIDFromProgID(progid, &clsid), S_OK);
    EXPECT_TRUE(clsid == CLSID_TestCounter);
  }
  CLSID clsid{};
  EXPECT_EQ(CLSIDFromProgID(u"Tolvane.Unknown", &clsid), CO_E_CLASSSTRING);
  LPOLESTR progid = nullptr;
  ASSERT_EQ(ProgIDFromCLSID(CLSID_TestCounter, &progid), S_OK);
  EXPECT_EQ(std::u16string(progid), u"Tolvane.TestCounter.1");
  CoTaskMemFree(progid);
}

TEST_F(Activation, BrokenRegistrationsGiveTheirStatus) {
  com_ptr<ICounter> object;
  EXPECT_EQ(create(CLSID_TestCounter, CLSCTX_ALL, object), REGDB_E_CLASSNOTREG);
  // The runtime is a library without DllGetClassObject; the test server does not serve CLSID_Local.
  for (auto [library, status] : {std::pair{"/nonexistent/library.so", CO_E_DLLNOTFOUND},
                                 std::pair{RUNTIME_LIBRARY, CO_E_ERRORINDLL},
                                 std::pair{TEST_SERVER_LIBRARY, CLASS_E_CLASSNOTAVAILABLE}}) {
    set_default(u"CLSID\\" + comrt::to_u16string(CLSID_Local) + u"\\InprocServer32", library);
    EXPECT_EQ(create(CLSID_Local, CLSCTX_ALL, object), status) << library;
    EXPECT_FALSE(object);
  }
}

TEST(FreeThreadedMarshaler, AggregatedMarshalerKeepsTheObjectsIdentity) {
  com_ptr<IMarshal> marshal = comrt::make<CLocal>().as<IMarshal>();
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
