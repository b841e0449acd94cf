// The registry: keys and values, the merged classes root, the store files and concurrent writers.
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "comrt/registry.h"
#include "platform/registry/registry_sandbox.h"

namespace {

using comrt::unique_hkey;
using tolvane::test::registry_sandbox;

unique_hkey create(HKEY parent, const char16_t* sub, DWORD* disposition = nullptr) {
  unique_hkey k;
  EXPECT_EQ(RegCreateKeyExW(parent, sub, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, k.put(), disposition), ERROR_SUCCESS);
  return k;
}

LONG open(HKEY parent, const char16_t* sub, unique_hkey& out) {
  return RegOpenKeyExW(parent, sub, 0, KEY_READ, out.put());
}

LONG set_text(HKEY k, const char16_t* name, std::u16string_view text, DWORD type = REG_SZ) {
  std::u16string data(text);
  return RegSetValueExW(k, name, 0, type, reinterpret_cast<const BYTE*>(data.c_str()),
                        static_cast<DWORD>((data.size() + 1) * 2));
}

LONG set_dword(HKEY k, const char16_t* name, DWORD v) {
  return RegSetValueExW(k, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4);
}

// The text RegGetValueW returns (status on failure).
std::optional<std::u16string> get_text(HKEY k, const char16_t* sub, const char16_t* name, LONG* status = nullptr,
                                       DWORD flags = RRF_RT_REG_SZ) {
  DWORD size = 0;
  LONG r = RegGetValueW(k, sub, name, flags, nullptr, nullptr, &size);
  std::u16string text(size / 2, u'\0');
  if (r == ERROR_SUCCESS) r = RegGetValueW(k, sub, name, flags, nullptr, text.data(), &size);
  if (status) *status = r;
  if (r != ERROR_SUCCESS) return std::nullopt;
  text.resize(size / 2 - 1);
  return text;
}

std::vector<std::u16string> subkeys(HKEY k) {
  std::vector<std::u16string> names;
  for (DWORD i = 0;; ++i) {
    char16_t name[256];
    DWORD cch = 256;
    const LONG r = RegEnumKeyExW(k, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
    if (r != ERROR_SUCCESS) {
      EXPECT_EQ(r, ERROR_NO_MORE_ITEMS);
      return names;
    }
    names.emplace_back(name, cch);
  }
}

class Registry : public ::testing::Test {
 protected:
  registry_sandbox sandbox;
};

TEST_F(Registry, KeysAreFoundWithoutRegardToCaseAndKeepTheirSpelling) {
  DWORD disposition = 0;
  create(HKEY_CURRENT_USER, u"Software\\Tolvane\\Demo", &disposition);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  create(HKEY_CURRENT_USER, u"SOFTWARE\\tolvane\\demo", &disposition);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  create(HKEY_CURRENT_USER, u"Software\\Tolvane\\alpha");

  unique_hkey k;
  ASSERT_EQ(open(HKEY_CURRENT_USER, u"software\\TOLVANE", k), ERROR_SUCCESS);
  EXPECT_THAT(subkeys(k.get()), ::testing::ElementsAre(u"alpha", u"Demo"));
  unique_hkey missing;
  EXPECT_EQ(open(k.get(), u"Nope", missing), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(missing);
}

TEST_F(Registry, ValuesKeepTheirTypeAndDataAndFollowTheSizeProtocol) {
  unique_hkey k = create(HKEY_CURRENT_USER, u"Software\\Values");
  ASSERT_EQ(set_text(k.get(), nullptr, u"default"), ERROR_SUCCESS);
  ASSERT_EQ(set_dword(k.get(), u"Count", 42), ERROR_SUCCESS);
  const BYTE blob[] = {0, 1, 0xFF};
  ASSERT_EQ(RegSetValueExW(k.get(), u"Blob", 0, REG_BINARY, blob, 3), ERROR_SUCCESS);
  const uint64_t big = 0x0123456789ABCDEFull;
  ASSERT_EQ(RegSetValueExW(k.get(), u"Big", 0, REG_QWORD, reinterpret_cast<const BYTE*>(&big), 8), ERROR_SUCCESS);

  EXPECT_EQ(get_text(k.get(), nullptr, u""), u"default");  // empty and null name: the default value
  DWORD type = 0, size = 0, count = 0;
  EXPECT_EQ(RegQueryValueExW(k.get(), u"COUNT", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(RegQueryValueExW(k.get(), u"Count", nullptr, nullptr, reinterpret_cast<BYTE*>(&count), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(count, 42u);
  BYTE small[2];
  size = sizeof small;
  EXPECT_EQ(RegQueryValueExW(k.get(), u"Blob", nullptr, nullptr, small, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 3u);
  uint64_t read_big = 0;
  size = 8;
  EXPECT_EQ(RegGetValueW(k.get(), nullptr, u"Big", RRF_RT_QWORD, &type, &read_big, &size), ERROR_SUCCESS);
  EXPECT_EQ(read_big, big);

  EXPECT_EQ(RegQueryValueExW(k.get(), u"Missing", nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegSetValueExW(k.get(), u"Short", 0, REG_DWORD, blob, 3), ERROR_INVALID_PARAMETER);

  // Enumeration keeps the order of first setting; changing a value does not move it.
  ASSERT_EQ(set_dword(k.get(), u"count", 7), ERROR_SUCCESS);
  std::vector<std::u16string> names;
  for (DWORD i = 0;; ++i) {
    char16_t name[64];
    DWORD cch = 64;
    if (RegEnumValueW(k.get(), i, name, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    names.emplace_back(name, cch);
  }
  EXPECT_THAT(names, ::testing::ElementsAre(u"", u"Count", u"Blob", u"Big"));

  EXPECT_EQ(RegDeleteValueW(k.get(), u"blob"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueW(k.get(), u"Blob"), ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, GetValueChecksTypesExpandsAndTerminatesStrings) {
  unique_hkey k = create(HKEY_CURRENT_USER, u"Software\\Get");
  ::setenv("TOLVANE_TEST_FOLDER", "/opt/x", 1);
  ASSERT_EQ(set_text(k.get(), u"Path", u"%TOLVANE_TEST_FOLDER%/lib %UNKNOWN_NAME_123%", REG_EXPAND_SZ), ERROR_SUCCESS);
  ASSERT_EQ(set_dword(k.get(), u"Number", 5), ERROR_SUCCESS);
  const char16_t unterminated[] = {u'a', u'b'};
  ASSERT_EQ(RegSetValueExW(k.get(), u"Raw", 0, REG_SZ, reinterpret_cast<const BYTE*>(unterminated), 4), ERROR_SUCCESS);

  EXPECT_EQ(get_text(HKEY_CURRENT_USER, u"Software\\Get", u"Path"), u"/opt/x/lib %UNKNOWN_NAME_123%");
  EXPECT_EQ(get_text(k.get(), nullptr, u"Path", nullptr, RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND),
            u"%TOLVANE_TEST_FOLDER%/lib %UNKNOWN_NAME_123%");
  EXPECT_EQ(get_text(k.get(), nullptr, u"Raw"), u"ab");
  LONG status = 0;
  EXPECT_FALSE(get_text(k.get(), nullptr, u"Number", &status));
  EXPECT_EQ(status, ERROR_UNSUPPORTED_TYPE);
  EXPECT_FALSE(get_text(HKEY_CURRENT_USER, u"Software\\Nowhere", u"Path", &status));
  EXPECT_EQ(status, ERROR_FILE_NOT_FOUND);

  DWORD buffer[2] = {0xAAAAAAAA, 0xAAAAAAAA};
  DWORD size = sizeof buffer;
  EXPECT_EQ(RegGetValueW(k.get(), nullptr, u"Path", RRF_RT_REG_DWORD | RRF_ZEROONFAILURE, nullptr, buffer, &size),
            ERROR_UNSUPPORTED_TYPE);
  EXPECT_EQ(buffer[0] | buffer[1], 0u);
  EXPECT_EQ(RegGetValueW(k.get(), nullptr, u"Path", 0, nullptr, nullptr, &size), ERROR_INVALID_PARAMETER);
  ::unsetenv("TOLVANE_TEST_FOLDER");
}

TEST_F(Registry, DeletingKeysAndTrees) {
  create(HKEY_CURRENT_USER, u"Software\\Tree\\A\\B");
  unique_hkey tree = create(HKEY_CURRENT_USER, u"Software\\Tree");
  ASSERT_EQ(set_text(tree.get(), u"v", u"x"), ERROR_SUCCESS);

  EXPECT_EQ(RegDeleteKeyW(tree.get(), u"A"), ERROR_ACCESS_DENIED);  // has a subkey
  EXPECT_EQ(RegDeleteKeyW(tree.get(), u"A\\B"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyW(tree.get(), u"A\\B"), ERROR_FILE_NOT_FOUND);
  create(tree.get(), u"A\\C");
  EXPECT_EQ(RegDeleteTreeW(tree.get(), nullptr), ERROR_SUCCESS);  // empties the key, keeps it
  EXPECT_TRUE(subkeys(tree.get()).empty());
  EXPECT_EQ(RegQueryValueExW(tree.get(), u"v", nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);

  create(tree.get(), u"D\\E\\F");
  EXPECT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, u"Software\\Tree"), ERROR_SUCCESS);
  // The open handle now names a deleted key.
  EXPECT_EQ(set_text(tree.get(), u"v", u"y"), ERROR_KEY_DELETED);
  EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, u""), ERROR_ACCESS_DENIED);  // a root stays
}

TEST_F(Registry, BadHandlesAndNamesAreRejected) {
  unique_hkey k = create(HKEY_CURRENT_USER, u"Software\\Names");
  const HKEY raw = k.release();
  EXPECT_EQ(RegCloseKey(raw), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(raw), ERROR_INVALID_HANDLE);
  EXPECT_EQ(set_text(raw, u"v", u"x"), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(HKEY_CLASSES_ROOT), ERROR_SUCCESS);

  unique_hkey out;
  for (const char16_t* bad : {u"\\Lead", u"Trail\\", u"Dou\\\\ble", u"Ctl\nName"})
    EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, bad, 0, nullptr, 0, 0, nullptr, out.put(), nullptr),
              ERROR_INVALID_PARAMETER);
  const std::u16string lone{u'A', char16_t(0xD800)};
  EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, lone.c_str(), 0, nullptr, 0, 0, nullptr, out.put(), nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software", 0, 0, nullptr), ERROR_INVALID_PARAMETER);
  char16_t name[4];
  DWORD cch = 4;  // "Names" needs 6 with its NUL
  ASSERT_EQ(open(HKEY_CURRENT_USER, u"Software", out), ERROR_SUCCESS);
  EXPECT_EQ(RegEnumKeyExW(out.get(), 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
}

TEST_F(Registry, ClassesRootMergesUserClassesOverMachineClasses) {
  unique_hkey machine = create(HKEY_LOCAL_MACHINE, u"Software\\Classes\\Shared");
  ASSERT_EQ(set_text(machine.get(), nullptr, u"machine"), ERROR_SUCCESS);
  ASSERT_EQ(set_text(machine.get(), u"OnlyMachine", u"m"), ERROR_SUCCESS);
  create(HKEY_LOCAL_MACHINE, u"Software\\Classes\\Shared\\FromMachine");
  unique_hkey user = create(HKEY_CURRENT_USER, u"Software\\Classes\\Shared");
  ASSERT_EQ(set_text(user.get(), nullptr, u"user"), ERROR_SUCCESS);
  create(HKEY_CURRENT_USER, u"Software\\Classes\\shared\\FromUser");
  create(HKEY_LOCAL_MACHINE, u"Software\\Classes\\MachineOnly");

  unique_hkey merged;
  ASSERT_EQ(open(HKEY_CLASSES_ROOT, u"SHARED", merged), ERROR_SUCCESS);
  EXPECT_EQ(get_text(merged.get(), nullptr, nullptr), u"user");  // the user's key answers for values
  EXPECT_FALSE(get_text(merged.get(), nullptr, u"OnlyMachine"));
  EXPECT_THAT(subkeys(merged.get()), ::testing::ElementsAre(u"FromMachine", u"FromUser"));
  EXPECT_THAT(subkeys(HKEY_CLASSES_ROOT), ::testing::ElementsAre(u"MachineOnly", u"Shared"));

  // Values set through the merged view go to the key it reads from; new keys to the machine.
  ASSERT_EQ(set_text(merged.get(), u"Written", u"w"), ERROR_SUCCESS);
  EXPECT_EQ(get_text(HKEY_CURRENT_USER, u"Software\\Classes\\Shared", u"Written"), u"w");
  create(HKEY_CLASSES_ROOT, u"Brand\\New");
  unique_hkey probe;
  EXPECT_EQ(open(HKEY_LOCAL_MACHINE, u"Software\\Classes\\Brand\\New", probe), ERROR_SUCCESS);
  EXPECT_EQ(open(HKEY_CURRENT_USER, u"Software\\Classes\\Brand", probe), ERROR_FILE_NOT_FOUND);

  // Removing the user's key uncovers the machine's.
  EXPECT_EQ(RegDeleteTreeW(HKEY_CLASSES_ROOT, u"Shared"), ERROR_SUCCESS);
  EXPECT_EQ(get_text(HKEY_CLASSES_ROOT, u"Shared", nullptr), u"machine");
}

TEST_F(Registry, StoreFilesFollowTheEnvironmentAndAreReadableText) {
  unique_hkey k = create(HKEY_CURRENT_USER, u"Software\\Format");
  const char16_t tricky_data[] = u"quote\" back\\ tab\t nul\0 \u00e9\U0001F600";
  const std::u16string tricky(tricky_data, std::size(tricky_data) - 1);
  ASSERT_EQ(RegSetValueExW(k.get(), u"Tricky", 0, REG_SZ, reinterpret_cast<const BYTE*>(tricky_data),
                           sizeof tricky_data),
            ERROR_SUCCESS);
  const char16_t odd[] = {u'x', char16_t(0xDC00), u'\0'};  // an unpaired surrogate
  ASSERT_EQ(RegSetValueExW(k.get(), u"Odd", 0, REG_SZ, reinterpret_cast<const BYTE*>(odd), 6), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(k.get(), u"Bytes", 0, REG_SZ, reinterpret_cast<const BYTE*>(odd), 3), ERROR_SUCCESS);
  ASSERT_EQ(set_dword(k.get(), u"Number", 0x2A), ERROR_SUCCESS);
  create(k.get(), u"Empty");

  const std::string text = registry_sandbox::read(sandbox.user_file());
  EXPECT_THAT(text, ::testing::StartsWith("TOLVANE REGISTRY 1\n"));
  EXPECT_THAT(text, ::testing::HasSubstr("[HKEY_CURRENT_USER\\Software\\Format]\n"));
  EXPECT_THAT(text, ::testing::HasSubstr("\"Number\"=dword:0000002a\n"));
  EXPECT_THAT(text, ::testing::HasSubstr("[HKEY_CURRENT_USER\\Software\\Format\\Empty]\n"));
  EXPECT_FALSE(std::filesystem::exists(sandbox.machine_file()));  // nothing written there

  // A copy of the store, read afresh from another folder, gives back exactly the same data.
  const std::string copy = sandbox.folder() + "/copy";
  std::filesystem::create_directory(copy);
  registry_sandbox::write(copy + "/user.reg", text);
  sandbox.point_at(copy);
  std::vector<BYTE> bytes(64);
  DWORD size = 64;
  ASSERT_EQ(RegGetValueW(HKEY_CURRENT_USER, u"Software\\Format", u"Tricky", RRF_RT_ANY, nullptr, bytes.data(), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(bytes.data()), size / 2 - 1), tricky);
  size = 64;
  ASSERT_EQ(RegQueryValueExW(k.get(), u"Bytes", nullptr, nullptr, bytes.data(), &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 3u);  // the open handle stays with the file it was opened in
  unique_hkey fresh;
  ASSERT_EQ(open(HKEY_CURRENT_USER, u"Software\\Format", fresh), ERROR_SUCCESS);
  for (const char16_t* name : {u"Odd", u"Bytes"}) {
    std::vector<BYTE> a(16), b(16);
    DWORD sa = 16, sb = 16;
    ASSERT_EQ(RegQueryValueExW(k.get(), name, nullptr, nullptr, a.data(), &sa), ERROR_SUCCESS);
    ASSERT_EQ(RegQueryValueExW(fresh.get(), name, nullptr, nullptr, b.data(), &sb), ERROR_SUCCESS);
    EXPECT_EQ(sa, sb);
    EXPECT_EQ(a, b);
  }
}

TEST_F(Registry, HandWrittenStoreIsReadAndChangesMadeByOthersAreSeen) {
  registry_sandbox::write(sandbox.machine_file(),
                          "TOLVANE REGISTRY 1\r\n"
                          "; written by hand\n"
                          "[hkey_local_machine\\Software\\Classes\\Tool.1\\CLSID]\n"
                          "@=\"{00000000-0000-0000-0000-000000000001}\"\n"
                          "\"Multi\"=hex(7):61,00,00,00,00,00\n"
                          "\"Tab\"=\"a\\tb\\u0001\"\n");
  EXPECT_EQ(get_text(HKEY_CLASSES_ROOT, u"Tool.1\\CLSID", nullptr), u"{00000000-0000-0000-0000-000000000001}");
  EXPECT_EQ(get_text(HKEY_LOCAL_MACHINE, u"Software\\Classes\\Tool.1\\CLSID", u"Tab"), u"a\tb\u0001");
  DWORD type = 0;
  EXPECT_EQ(RegGetValueW(HKEY_CLASSES_ROOT, u"Tool.1\\CLSID", u"Multi", RRF_RT_ANY, &type, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(type, REG_MULTI_SZ);

  // Another writer replaces the file: the next read sees the change.
  registry_sandbox::write(sandbox.machine_file() + ".new",
                          "TOLVANE REGISTRY 1\n[HKEY_LOCAL_MACHINE\\Software\\Classes\\Tool.1\\CLSID]\n@=\"changed\"\n");
  std::filesystem::rename(sandbox.machine_file() + ".new", sandbox.machine_file());
  EXPECT_EQ(get_text(HKEY_CLASSES_ROOT, u"Tool.1\\CLSID", nullptr), u"changed");
}

TEST_F(Registry, DamagedStoreIsRejectedAndNeverOverwritten) {
  unique_hkey machine = create(HKEY_LOCAL_MACHINE, u"Software\\Good");
  const std::vector<std::string> damaged = {
      "TOLVANE REGISTRY 1\n[HKEY_CURRENT_USER\\Software\n",             // unterminated header
      "TOLVANE REGISTRY 1\n\"v\"=\"before any key\"\n",                  // value outside a key
      "TOLVANE REGISTRY 1\n[HKEY_LOCAL_MACHINE\\X]\n",                   // another root
      "TOLVANE REGISTRY 1\n[HKEY_CURRENT_USER\\X]\n\"v\"=dword:12\n",    // short number
      "TOLVANE REGISTRY 1\n[HKEY_CURRENT_USER\\X]\n\"v\"=\"a\"\n\"V\"=\"b\"\n",  // duplicate value
      "TOLVANE REGISTRY 1\n[HKEY_CURRENT_USER\\X]\n\"v\"=\"\xC3\"\n",    // invalid UTF-8
      "some other file\n",
  };
  for (const std::string& text : damaged) {
    SCOPED_TRACE(text);
    registry_sandbox::write(sandbox.user_file(), text);
    unique_hkey k;
    EXPECT_EQ(open(HKEY_CURRENT_USER, u"Software", k), ERROR_BADDB);
    EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\New", 0, nullptr, 0, 0, nullptr, k.put(), nullptr),
              ERROR_BADDB);
    EXPECT_EQ(open(HKEY_CLASSES_ROOT, u"Anything", k), ERROR_BADDB);
    EXPECT_EQ(registry_sandbox::read(sandbox.user_file()), text);
    EXPECT_EQ(set_text(machine.get(), u"still", u"works"), ERROR_SUCCESS);  // the other root is fine
  }
}

// Writers in two processes, each with two threads, add keys at the same time: every key of every
// writer is there afterwards and the store still parses.
TEST_F(Registry, ConcurrentWritersInSeveralProcessesLoseNothing) {
  constexpr int per_thread = 25;
  auto write_keys = [](const std::u16string& prefix) {
    for (int i = 0; i < per_thread; ++i) {
      const std::u16string name = prefix + u"\\" + std::u16string(1, char16_t(u'A' + i / 26)) +
                                  std::u16string(1, char16_t(u'a' + i % 26));
      unique_hkey k;
      if (RegCreateKeyExW(HKEY_CLASSES_ROOT, name.c_str(), 0, nullptr, 0, 0, nullptr, k.put(), nullptr) !=
              ERROR_SUCCESS ||
          set_dword(k.get(), u"Index", static_cast<DWORD>(i)) != ERROR_SUCCESS)
        return false;
    }
    return true;
  };
  auto writer = [&](const std::u16string& process) {
    bool ok1 = false, ok2 = false;
    std::thread t1([&] { ok1 = write_keys(process + u"T1"); });
    std::thread t2([&] { ok2 = write_keys(process + u"T2"); });
    t1.join();
    t2.join();
    return ok1 && ok2;
  };

  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) ::_exit(writer(u"Child") ? 0 : 1);
  EXPECT_TRUE(writer(u"Parent"));
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  for (const char16_t* prefix : {u"ChildT1", u"ChildT2", u"ParentT1", u"ParentT2"}) {
    unique_hkey k;
    ASSERT_EQ(open(HKEY_CLASSES_ROOT, prefix, k), ERROR_SUCCESS) << std::string(prefix, prefix + 6);
    EXPECT_EQ(subkeys(k.get()).size(), static_cast<size_t>(per_thread));
  }
}

}  // namespace
