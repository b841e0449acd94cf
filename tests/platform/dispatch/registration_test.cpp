// Type library registration in a temporary registry.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "comrt/guid.h"
#include "comrt/registry.h"
#include "platform/registry/registry_sandbox.h"
#include "widget.h"

namespace {

const std::u16string kLib = u"TypeLib\\" + comrt::to_u16string(LIBID_Widgets);
const std::u16string kVersion = kLib + u"\\1.0";

std::u16string interface_key(const IID& iid) { return u"Interface\\" + comrt::to_u16string(iid); }

// The default value (or `value`) of a key, or nullopt when the key or value is missing.
std::optional<std::u16string> read(HKEY root, const std::u16string& key, const char16_t* value = nullptr) {
  char16_t data[512];
  DWORD size = sizeof(data);
  if (RegGetValueW(root, key.c_str(), value, RRF_RT_REG_SZ, nullptr, data, &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  return std::u16string(data);
}

bool exists(HKEY root, const std::u16string& key) {
  comrt::unique_hkey k;
  return RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, k.put()) == ERROR_SUCCESS;
}

class Registration : public ::testing::Test {
 protected:
  Registration() : library(comrt::make_type_library(widgets::library())) {}

  static void write(HKEY root, const std::u16string& key, const std::u16string& text) {
    comrt::unique_hkey k;
    ASSERT_EQ(RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, k.put(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(k.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                             static_cast<DWORD>((text.size() + 1) * 2)),
              ERROR_SUCCESS);
  }

  tolvane::test::registry_sandbox sandbox;
  comrt::com_ptr<ITypeLib> library;
};

TEST_F(Registration, WritesTheLibraryAndItsAutomationInterfaces) {
  ASSERT_EQ(RegisterTypeLib(library.get(), u"/opt/widgets/libWidgets.so", u"/opt/widgets/help"), S_OK);
  const HKEY root = HKEY_CLASSES_ROOT;
  EXPECT_EQ(read(root, kVersion), u"Widgets 1.0 Type Library");
  EXPECT_EQ(read(root, kVersion + u"\\0\\linux64"), u"/opt/widgets/libWidgets.so");
  EXPECT_EQ(read(root, kVersion + u"\\HELPDIR"), u"/opt/widgets/help");

  // Dual interfaces use the automation marshaler, dispatch-only ones the dispatch marshaler.
  const std::u16string gadget = interface_key(IID_IGadget);
  EXPECT_EQ(read(root, gadget), u"IGadget");
  EXPECT_EQ(read(root, gadget + u"\\ProxyStubClsid32"), u"{00020424-0000-0000-C000-000000000046}");
  EXPECT_EQ(read(root, gadget + u"\\TypeLib"), comrt::to_u16string(LIBID_Widgets));
  EXPECT_EQ(read(root, gadget + u"\\TypeLib", u"Version"), u"1.0");
  EXPECT_EQ(read(root, interface_key(IID__IWidgetEvents) + u"\\ProxyStubClsid32"),
            u"{00020420-0000-0000-C000-000000000046}");
  // A plain vtable interface is not the automation marshaler's to serve.
  EXPECT_FALSE(exists(root, interface_key(IID_IWidgetCallback)));
  // Machine-wide: nothing in the user's classes.
  EXPECT_FALSE(exists(HKEY_CURRENT_USER, u"Software\\Classes\\" + kLib));
}

TEST_F(Registration, UnregisterRemovesExactlyWhatWasWritten) {
  // Somebody else's interface and another version of the library stay.
  const std::u16string foreign = u"Interface\\{11111111-2222-3333-4444-555555555555}";
  write(HKEY_CLASSES_ROOT, foreign, u"IForeign");
  write(HKEY_CLASSES_ROOT, foreign + u"\\TypeLib", u"{11111111-2222-3333-4444-000000000000}");
  ASSERT_EQ(RegisterTypeLib(library.get(), u"/opt/widgets/libWidgets.so", nullptr), S_OK);
  write(HKEY_CLASSES_ROOT, kLib + u"\\2.0\\0\\linux64", u"/opt/widgets2/libWidgets.so");

  ASSERT_EQ(UnRegisterTypeLib(LIBID_Widgets, 1, 0, 0, SYS_WIN64), S_OK);
  EXPECT_FALSE(exists(HKEY_CLASSES_ROOT, kVersion));
  EXPECT_FALSE(exists(HKEY_CLASSES_ROOT, interface_key(IID_IGadget)));
  EXPECT_FALSE(exists(HKEY_CLASSES_ROOT, interface_key(IID__IWidgetEvents)));
  EXPECT_TRUE(exists(HKEY_CLASSES_ROOT, kLib + u"\\2.0\\0\\linux64"));
  EXPECT_EQ(read(HKEY_CLASSES_ROOT, foreign), u"IForeign");

  // Once no version is left the library's key goes too; unregistering again changes nothing.
  ASSERT_EQ(UnRegisterTypeLib(LIBID_Widgets, 2, 0, 0, SYS_WIN64), S_OK);
  EXPECT_FALSE(exists(HKEY_CLASSES_ROOT, kLib));
  EXPECT_EQ(UnRegisterTypeLib(LIBID_Widgets, 1, 0, 0, SYS_WIN64), TYPE_E_REGISTRYACCESS);
  EXPECT_EQ(read(HKEY_CLASSES_ROOT, foreign), u"IForeign");
}

TEST_F(Registration, PerUserRegistrationStaysInTheUsersClasses) {
  ASSERT_EQ(RegisterTypeLibForUser(library.get(), u"/home/u/libWidgets.so", nullptr), S_OK);
  const std::u16string user = u"Software\\Classes\\";
  EXPECT_EQ(read(HKEY_CURRENT_USER, user + kVersion + u"\\0\\linux64"), u"/home/u/libWidgets.so");
  EXPECT_EQ(read(HKEY_CURRENT_USER, user + interface_key(IID_IGadget)), u"IGadget");
  EXPECT_FALSE(exists(HKEY_LOCAL_MACHINE, user + kLib));
  // The merged view shows it.
  EXPECT_TRUE(exists(HKEY_CLASSES_ROOT, kVersion));

  // Machine-wide unregistration does not touch it.
  EXPECT_EQ(UnRegisterTypeLib(LIBID_Widgets, 1, 0, 0, SYS_WIN64), TYPE_E_REGISTRYACCESS);
  ASSERT_EQ(UnRegisterTypeLibForUser(LIBID_Widgets, 1, 0, 0, SYS_WIN64), S_OK);
  EXPECT_FALSE(exists(HKEY_CURRENT_USER, user + kLib));
  EXPECT_FALSE(exists(HKEY_CURRENT_USER, user + interface_key(IID_IGadget)));
}

}  // namespace
