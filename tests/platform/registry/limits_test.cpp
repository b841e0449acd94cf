// The registry's limits, the predefined keys' standard values, and where keys created through
// HKEY_CLASSES_ROOT go.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "comrt/registry.h"
#include "platform/registry/registry_sandbox.h"

namespace {

using comrt::unique_hkey;
using tolvane::test::registry_sandbox;

std::u16string nested(size_t depth) {
  std::u16string path;
  for (size_t i = 0; i < depth; ++i) path += i ? u"\\k" : u"k";
  return path;
}

LONG create(HKEY parent, const std::u16string& sub) {
  unique_hkey k;
  return RegCreateKeyExW(parent, sub.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, k.put(), nullptr);
}

LONG open(HKEY parent, const std::u16string& sub) {
  unique_hkey k;
  return RegOpenKeyExW(parent, sub.c_str(), 0, KEY_READ, k.put());
}

// A machine store whose one key lies `depth` levels below the root, named `name` at the bottom.
std::string store_with(size_t depth, const std::string& name = "k", const std::string& values = {}) {
  std::string text = "TOLVANE REGISTRY 1\n[HKEY_LOCAL_MACHINE";
  for (size_t i = 1; i < depth; ++i) text += "\\k";
  text += "\\" + name + "]\n" + values;
  return text;
}

class RegistryLimits : public ::testing::Test {
 protected:
  registry_sandbox sandbox;
};

TEST_F(RegistryLimits, KeysGoAtMost512LevelsDeep) {
  EXPECT_EQ(create(HKEY_LOCAL_MACHINE, nested(512)), ERROR_SUCCESS);
  EXPECT_EQ(create(HKEY_LOCAL_MACHINE, nested(513)), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(open(HKEY_LOCAL_MACHINE, nested(513)), ERROR_INVALID_PARAMETER);
  unique_hkey deep;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, nested(511).c_str(), 0, KEY_READ, deep.put()), ERROR_SUCCESS);
  EXPECT_EQ(create(deep.get(), u"k"), ERROR_SUCCESS);
  EXPECT_EQ(create(deep.get(), u"k\\k"), ERROR_INVALID_PARAMETER);
  // The classes root lies two levels down in its stores.
  EXPECT_EQ(create(HKEY_CLASSES_ROOT, nested(510)), ERROR_SUCCESS);
  EXPECT_EQ(create(HKEY_CLASSES_ROOT, nested(511)), ERROR_INVALID_PARAMETER);
}

TEST_F(RegistryLimits, NamesAndValuesHaveTheStandardSizes) {
  unique_hkey k;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Sizes", 0, nullptr, 0, 0, nullptr, k.put(), nullptr), ERROR_SUCCESS);
  const std::u16string long_name(16384, u'n');
  const std::vector<BYTE> megabyte(size_t{1} << 20, 0x41);
  const BYTE one = 1;
  EXPECT_EQ(RegSetValueExW(k.get(), long_name.substr(1).c_str(), 0, REG_BINARY, &one, 1), ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExW(k.get(), long_name.c_str(), 0, REG_BINARY, &one, 1), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegSetValueExW(k.get(), u"big", 0, REG_BINARY, megabyte.data(), static_cast<DWORD>(megabyte.size())),
            ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExW(k.get(), u"bigger", 0, REG_BINARY, megabyte.data(), static_cast<DWORD>(megabyte.size()) + 1),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(create(HKEY_CURRENT_USER, std::u16string(256, u'x')), ERROR_INVALID_PARAMETER);
}

TEST_F(RegistryLimits, AStoreBeyondTheLimitsIsABadStoreNeverHalfRead) {
  struct store_case {
    std::string text;
    LONG expected;
  };
  std::string huge_data = "\"v\"=hex:00";
  for (size_t i = 1; i <= (size_t{1} << 20); ++i) huge_data += ",00";
  const store_case cases[] = {
      {store_with(512), ERROR_SUCCESS},
      {store_with(513), ERROR_BADDB},
      {store_with(40000), ERROR_BADDB},
      {store_with(1, std::string(256, 'x')), ERROR_BADDB},
      {store_with(1, "k", "\"" + std::string(16384, 'n') + "\"=dword:00000001\n"), ERROR_BADDB},
      {store_with(1, "k", huge_data + "\n"), ERROR_BADDB},
  };
  for (const store_case& c : cases) {
    registry_sandbox::write(sandbox.machine_file(), c.text);
    EXPECT_EQ(open(HKEY_LOCAL_MACHINE, u"k"), c.expected) << c.text.substr(0, 60);
    if (c.expected != ERROR_SUCCESS) {
      EXPECT_EQ(create(HKEY_LOCAL_MACHINE, u"other"), ERROR_BADDB);
      EXPECT_EQ(registry_sandbox::read(sandbox.machine_file()), c.text) << "never overwritten";
    }
  }
}

TEST_F(RegistryLimits, PredefinedKeysHaveTheirSignExtendedValues) {
  const HKEY classes = reinterpret_cast<HKEY>(static_cast<uintptr_t>(static_cast<LONG>(0x80000000)));
  const HKEY user = reinterpret_cast<HKEY>(static_cast<uintptr_t>(static_cast<LONG>(0x80000001)));
  const HKEY machine = reinterpret_cast<HKEY>(static_cast<uintptr_t>(static_cast<LONG>(0x80000002)));
  EXPECT_EQ(reinterpret_cast<uintptr_t>(classes), uintptr_t{0xFFFFFFFF80000000});
  EXPECT_EQ(HKEY_CLASSES_ROOT, classes);
  EXPECT_EQ(HKEY_CURRENT_USER, user);
  EXPECT_EQ(HKEY_LOCAL_MACHINE, machine);
  EXPECT_EQ(create(machine, u"Software\\Classes\\Tolvane.Test"), ERROR_SUCCESS);
  EXPECT_EQ(open(classes, u"Tolvane.Test"), ERROR_SUCCESS);
  EXPECT_EQ(create(user, u"Software"), ERROR_SUCCESS);
}

TEST_F(RegistryLimits, AKeyCreatedThroughTheClassesRootGoesToTheHiveOfItsParent) {
  ASSERT_EQ(create(HKEY_CURRENT_USER, u"Software\\Classes\\Tolvane.Mine"), ERROR_SUCCESS);
  ASSERT_EQ(create(HKEY_LOCAL_MACHINE, u"Software\\Classes\\Tolvane.Shared"), ERROR_SUCCESS);
  EXPECT_EQ(create(HKEY_CLASSES_ROOT, u"Tolvane.Mine\\Sub\\Deeper"), ERROR_SUCCESS);
  EXPECT_EQ(create(HKEY_CLASSES_ROOT, u"Tolvane.Shared\\Sub"), ERROR_SUCCESS);
  EXPECT_EQ(create(HKEY_CLASSES_ROOT, u"Tolvane.New"), ERROR_SUCCESS);
  EXPECT_EQ(open(HKEY_CURRENT_USER, u"Software\\Classes\\Tolvane.Mine\\Sub\\Deeper"), ERROR_SUCCESS);
  EXPECT_EQ(open(HKEY_LOCAL_MACHINE, u"Software\\Classes\\Tolvane.Mine"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(open(HKEY_LOCAL_MACHINE, u"Software\\Classes\\Tolvane.Shared\\Sub"), ERROR_SUCCESS);
  EXPECT_EQ(open(HKEY_LOCAL_MACHINE, u"Software\\Classes\\Tolvane.New"), ERROR_SUCCESS);
  EXPECT_EQ(open(HKEY_CURRENT_USER, u"Software\\Classes\\Tolvane.New"), ERROR_FILE_NOT_FOUND);
}

}  // namespace
