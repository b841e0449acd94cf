// The registry: keys and values, its limits, the merged classes root, the store files and
// concurrent writers.
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "comrt/registry.h"
#include "platform/registry/registry_sandbox.h"

namespace {

using comrt::unique_hkey;
using testing::ElementsAre;
using tolvane::test::registry_sandbox;

LONG create(HKEY parent, const std::u16string& sub, unique_hkey* out = nullptr, DWORD* disposition = nullptr) {
  unique_hkey k;
  const LONG r = RegCreateKeyExW(parent, sub.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, k.put(), disposition);
  if (out) *out = std::move(k);
  return r;
}

LONG open(HKEY parent, const std::u16string& sub, unique_hkey* out = nullptr) {
  unique_hkey k;
  const LONG r = RegOpenKeyExW(parent, sub.c_str(), 0, KEY_READ, k.put());
  if (out) *out = std::move(k);
  return r;
}

LONG set_text(HKEY k, const char16_t* name, std::u16string_view text, DWORD type = REG_SZ) {
  const std::u16string data(text);
  return RegSetValueExW(k, name, 0, type, reinterpret_cast<const BYTE*>(data.c_str()),
                        static_cast<DWORD>((data.size() + 1) * 2));
}

LONG set_dword(HKEY k, const char16_t* name, DWORD v) {
  return RegSetValueExW(k, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4);
}

// The text RegGetValueW returns, or its status on failure.
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

// k\k\...\k, `depth` names long.
std::u16string nested(int depth) {
  std::u16string path = u"k";
  while (--depth > 0) path += u"\\k";
  return path;
}

template <class Enum>
std::vector<std::u16string> names(HKEY k, Enum next) {
  std::vector<std::u16string> result;
  char16_t name[256];
  for (DWORD i = 0, cch = 256; next(k, i, name, &cch) == ERROR_SUCCESS; ++i, cch = 256) result.emplace_back(name, cch);
  return result;
}
std::vector<std::u16string> subkeys(HKEY k) {
  return names(k, [](HKEY h, DWORD i, char16_t* n, DWORD* c) { return RegEnumKeyExW(h, i, n, c, 0, 0, 0, 0); });
}

class Registry : public ::testing::Test {
 protected:
  registry_sandbox sandbox;
};

TEST_F(Registry, KeysAndValuesAreFoundWithoutRegardToCaseAndKeepTheirSpellingTypeAndOrder) {
  DWORD disposition = 0;
  unique_hkey k;
  ASSERT_EQ(create(HKEY_CURRENT_USER, u"Software\\Tolvane\\Demo", nullptr, &disposition), ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  ASSERT_EQ(create(HKEY_CURRENT_USER, u"SOFTWARE\\tolvane\\demo", &k, &disposition), ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  create(HKEY_CURRENT_USER, u"Software\\Tolvane\\alpha");
  unique_hkey parent;
  ASSERT_EQ(open(HKEY_CURRENT_USER, u"software\\TOLVANE", &parent), ERROR_SUCCESS);
  EXPECT_THAT(subkeys(parent.get()), ElementsAre(u"alpha", u"Demo"));
  EXPECT_EQ(open(parent.get(), u"Nope"), ERROR_FILE_NOT_FOUND);

  ASSERT_EQ(set_text(k.get(), nullptr, u"default"), ERROR_SUCCESS);
  ASSERT_EQ(set_dword(k.get(), u"Count", 42), ERROR_SUCCESS);
  const BYTE blob[] = {0, 1, 0xFF};
  ASSERT_EQ(RegSetValueExW(k.get(), u"Blob", 0, REG_BINARY, blob, 3), ERROR_SUCCESS);
  EXPECT_EQ(get_text(k.get(), nullptr, u""), u"default");  // empty and null name: the default value
  DWORD type = 0, size = 0, count = 0;
  EXPECT_EQ(RegQueryValueExW(k.get(), u"COUNT", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(RegQueryValueExW(k.get(), u"Count", nullptr, nullptr, reinterpret_cast<BYTE*>(&count), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(count, 42u);
  BYTE small[2];
  size = sizeof small;
  EXPECT_EQ(RegQueryValueExW(k.get(), u"Blob", nullptr, nullptr, small, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 3u) << "the size needed";
  EXPECT_EQ(RegSetValueExW(k.get(), u"Short", 0, REG_DWORD, blob, 3), ERROR_INVALID_PARAMETER);
  ASSERT_EQ(set_dword(k.get(), u"count", 7), ERROR_SUCCESS);  // changing a value does not move it
  EXPECT_THAT(names(k.get(), [](HKEY h, DWORD i, char16_t* n, DWORD* c) { return RegEnumValueW(h, i, n, c, 0, 0, 0, 0); }),
              ElementsAre(u"", u"Count", u"Blob"));
  EXPECT_EQ(RegDeleteValueW(k.get(), u"blob"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueW(k.get(), u"Blob"), ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, GetValueChecksTypesExpandsAndTerminatesStrings) {
  unique_hkey k;
  ASSERT_EQ(create(HKEY_CURRENT_USER, u"Software\\Get", &k), ERROR_SUCCESS);
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
  ::unsetenv("TOLVANE_TEST_FOLDER");
}

TEST_F(Registry, DeletingKeysAndTrees) {
  unique_hkey tree;
  create(HKEY_CURRENT_USER, u"Software\\Tree\\A\\B");
  ASSERT_EQ(create(HKEY_CURRENT_USER, u"Software\\Tree", &tree), ERROR_SUCCESS);
  ASSERT_EQ(set_text(tree.get(), u"v", u"x"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyW(tree.get(), u"A"), ERROR_ACCESS_DENIED);  // has a subkey
  EXPECT_EQ(RegDeleteKeyW(tree.get(), u"A\\B"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyW(tree.get(), u"A\\B"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteTreeW(tree.get(), nullptr), ERROR_SUCCESS);  // empties the key, keeps it
  EXPECT_TRUE(subkeys(tree.get()).empty());
  EXPECT_EQ(RegQueryValueExW(tree.get(), u"v", nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
  create(tree.get(), u"D\\E");
  EXPECT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, u"Software\\Tree"), ERROR_SUCCESS);
  EXPECT_EQ(set_text(tree.get(), u"v", u"y"), ERROR_KEY_DELETED) << "the open handle names a deleted key";
  EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, u""), ERROR_ACCESS_DENIED);  // a root stays
}

TEST_F(Registry, BadHandlesNamesAndSizesAreRejected) {
  unique_hkey k;
  ASSERT_EQ(create(HKEY_CURRENT_USER, u"Software\\Names", &k), ERROR_SUCCESS);
  const HKEY raw = k.release();
  EXPECT_EQ(RegCloseKey(raw), ERROR_SUCCESS);
  EXPECT_EQ(set_text(raw, u"v", u"x"), ERROR_INVALID_HANDLE);
  const std::u16string lone{u'A', char16_t(0xD800)};
  for (const std::u16string& bad : std::vector<std::u16string>{u"\\Lead", u"Trail\\", u"Dou\\\\ble", u"Ctl\nName", lone, std::u16string(256, u'x')})
    EXPECT_EQ(create(HKEY_CURRENT_USER, bad), ERROR_INVALID_PARAMETER);
  ASSERT_EQ(open(HKEY_CURRENT_USER, u"Software", &k), ERROR_SUCCESS);
  const std::u16string long_name(16384, u'n');
  const std::vector<BYTE> megabyte((size_t{1} << 20) + 1, 0x41);
  EXPECT_EQ(RegSetValueExW(k.get(), long_name.substr(1).c_str(), 0, REG_BINARY, megabyte.data(), 1), ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExW(k.get(), long_name.c_str(), 0, REG_BINARY, megabyte.data(), 1), ERROR_INVALID_PARAMETER);
  const DWORD mb = static_cast<DWORD>(megabyte.size()) - 1;
  EXPECT_EQ(RegSetValueExW(k.get(), u"big", 0, REG_BINARY, megabyte.data(), mb), ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExW(k.get(), u"bigger", 0, REG_BINARY, megabyte.data(), mb + 1), ERROR_INVALID_PARAMETER);
}

TEST_F(Registry, KeysGoAtMost512LevelsBelowTheirRoot) {
  EXPECT_EQ(create(HKEY_CLASSES_ROOT, nested(510)), ERROR_SUCCESS) << "the classes root lies two levels down";
  EXPECT_EQ(create(HKEY_CLASSES_ROOT, nested(511)), ERROR_INVALID_PARAMETER);
  unique_hkey k;
  ASSERT_EQ(create(HKEY_LOCAL_MACHINE, nested(511), &k), ERROR_SUCCESS);
  EXPECT_EQ(create(k.get(), u"k"), ERROR_SUCCESS);
  EXPECT_EQ(create(k.get(), u"k\\k"), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(open(HKEY_LOCAL_MACHINE, nested(513)), ERROR_INVALID_PARAMETER);
}

TEST_F(Registry, ClassesRootMergesUserClassesOverMachineClasses) {
  EXPECT_EQ(reinterpret_cast<uintptr_t>(HKEY_CLASSES_ROOT), uintptr_t{0xFFFFFFFF80000000}) << "sign-extended";
  unique_hkey machine, user, merged;
  ASSERT_EQ(create(HKEY_LOCAL_MACHINE, u"Software\\Classes\\Shared", &machine), ERROR_SUCCESS);
  ASSERT_EQ(set_text(machine.get(), nullptr, u"machine"), ERROR_SUCCESS);
  ASSERT_EQ(set_text(machine.get(), u"OnlyMachine", u"m"), ERROR_SUCCESS);
  create(HKEY_LOCAL_MACHINE, u"Software\\Classes\\Shared\\FromMachine");
  ASSERT_EQ(create(HKEY_CURRENT_USER, u"Software\\Classes\\Shared", &user), ERROR_SUCCESS);
  ASSERT_EQ(set_text(user.get(), nullptr, u"user"), ERROR_SUCCESS);
  create(HKEY_CURRENT_USER, u"Software\\Classes\\shared\\FromUser");
  create(HKEY_LOCAL_MACHINE, u"Software\\Classes\\MachineOnly");

  ASSERT_EQ(open(HKEY_CLASSES_ROOT, u"SHARED", &merged), ERROR_SUCCESS);
  EXPECT_EQ(get_text(merged.get(), nullptr, nullptr), u"user");  // the user's key answers for values
  EXPECT_FALSE(get_text(merged.get(), nullptr, u"OnlyMachine"));
  EXPECT_THAT(subkeys(merged.get()), ElementsAre(u"FromMachine", u"FromUser"));
  EXPECT_THAT(subkeys(HKEY_CLASSES_ROOT), ElementsAre(u"MachineOnly", u"Shared"));

  // Values set through the merged view go to the key it reads from; a new key to the hive of its
  // deepest existing parent, the machine's when there is none.
  ASSERT_EQ(set_text(merged.get(), u"Written", u"w"), ERROR_SUCCESS);
  EXPECT_EQ(get_text(HKEY_CURRENT_USER, u"Software\\Classes\\Shared", u"Written"), u"w");
  EXPECT_EQ(create(HKEY_CLASSES_ROOT, u"Shared\\Sub\\Deeper"), ERROR_SUCCESS);
  EXPECT_EQ(create(HKEY_CLASSES_ROOT, u"MachineOnly\\Sub"), ERROR_SUCCESS);
  EXPECT_EQ(create(HKEY_CLASSES_ROOT, u"Brand"), ERROR_SUCCESS);
  EXPECT_EQ(open(HKEY_CURRENT_USER, u"Software\\Classes\\Shared\\Sub\\Deeper"), ERROR_SUCCESS);
  EXPECT_EQ(open(HKEY_LOCAL_MACHINE, u"Software\\Classes\\MachineOnly\\Sub"), ERROR_SUCCESS);
  EXPECT_EQ(open(HKEY_LOCAL_MACHINE, u"Software\\Classes\\Brand"), ERROR_SUCCESS);
  EXPECT_EQ(open(HKEY_CURRENT_USER, u"Software\\Classes\\Brand"), ERROR_FILE_NOT_FOUND);

  EXPECT_EQ(RegDeleteTreeW(HKEY_CLASSES_ROOT, u"Shared"), ERROR_SUCCESS);
  EXPECT_EQ(get_text(HKEY_CLASSES_ROOT, u"Shared", nullptr), u"machine") << "the machine's key is uncovered";
}

TEST_F(Registry, StoreFilesAreReadableTextThatReadsBackTheSame) {
  unique_hkey k, fresh;
  ASSERT_EQ(create(HKEY_CURRENT_USER, u"Software\\Format", &k), ERROR_SUCCESS);
  const char16_t tricky[] = u"quote\" back\\ tab\t nul\0 \u00e9\U0001F600";
  const char16_t odd[] = {u'x', char16_t(0xDC00), u'\0'};  // an unpaired surrogate
  ASSERT_EQ(RegSetValueExW(k.get(), u"Tricky", 0, REG_SZ, reinterpret_cast<const BYTE*>(tricky), sizeof tricky),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(k.get(), u"Odd", 0, REG_SZ, reinterpret_cast<const BYTE*>(odd), 6), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(k.get(), u"Bytes", 0, REG_SZ, reinterpret_cast<const BYTE*>(odd), 3), ERROR_SUCCESS);
  ASSERT_EQ(set_dword(k.get(), u"Number", 0x2A), ERROR_SUCCESS);
  const std::string text = registry_sandbox::read(sandbox.user_file());
  EXPECT_THAT(text, testing::StartsWith("TOLVANE REGISTRY 1\n"));
  EXPECT_THAT(text, testing::HasSubstr("[HKEY_CURRENT_USER\\Software\\Format]\n"));
  EXPECT_THAT(text, testing::HasSubstr("\"Number\"=dword:0000002a\n"));
  EXPECT_FALSE(std::filesystem::exists(sandbox.machine_file()));  // nothing written there

  // A copy of the store, read afresh from another folder, gives back exactly the same data.
  const std::string copy = sandbox.folder() + "/copy";
  std::filesystem::create_directory(copy);
  registry_sandbox::write(copy + "/user.reg", text);
  sandbox.point_at(copy);
  ASSERT_EQ(open(HKEY_CURRENT_USER, u"Software\\Format", &fresh), ERROR_SUCCESS);
  for (const char16_t* name : {u"Tricky", u"Odd", u"Bytes"}) {
    std::vector<BYTE> a(128), b(128);
    DWORD sa = 128, sb = 128;
    ASSERT_EQ(RegQueryValueExW(k.get(), name, nullptr, nullptr, a.data(), &sa), ERROR_SUCCESS);
    ASSERT_EQ(RegQueryValueExW(fresh.get(), name, nullptr, nullptr, b.data(), &sb), ERROR_SUCCESS);
    EXPECT_EQ(a, b);
    EXPECT_EQ(sa, sb);
  }
}

TEST_F(Registry, DamagedStoresOrStoresBeyondTheLimitsAreRejectedAndNeverOverwritten) {
  const auto store = [](std::string body, size_t depth = 1, std::string head = "TOLVANE REGISTRY 1\n[HKEY_CURRENT_USER") {
    while (depth-- > 0) head += "\\k";
    return head + "]\n" + body;
  };
  std::string huge_data = "\"v\"=hex:00";
  for (size_t i = 0; i < (size_t{1} << 20); ++i) huge_data += ",00";
  ASSERT_EQ(create(HKEY_LOCAL_MACHINE, u"Software\\Good"), ERROR_SUCCESS);
  // A hand-written store, as deep as allowed, is read; a change made by another writer is seen.
  registry_sandbox::write(sandbox.user_file(),
                          store("\"T\"=\"a\\tb\\u0001\"\n", 512, "TOLVANE REGISTRY 1\r\n; by hand\n[hkey_current_user"));
  EXPECT_EQ(get_text(HKEY_CURRENT_USER, nested(512).c_str(), u"T"), u"a\tb\u0001");
  registry_sandbox::write(sandbox.user_file() + ".new", store("@=\"changed\"\n"));
  std::filesystem::rename(sandbox.user_file() + ".new", sandbox.user_file());
  EXPECT_EQ(get_text(HKEY_CURRENT_USER, u"k", nullptr), u"changed");
  for (const std::string& text :
       {store("", 513), store("", 40000), "TOLVANE REGISTRY 1\n[HKEY_CURRENT_USER\\" + std::string(256, 'x') + "]\n",
        store("\"" + std::string(16384, 'n') + "\"=dword:00000001\n"), store(huge_data + "\n"),
        std::string("TOLVANE REGISTRY 1\n[HKEY_CURRENT_USER\\Software\n"), store("\"v\"=dword:12\n"),
        std::string("TOLVANE REGISTRY 1\n\"v\"=\"before any key\"\n"), std::string("TOLVANE REGISTRY 1\n[HKEY_LOCAL_MACHINE\\X]\n"),
        store("\"v\"=\"a\"\n\"V\"=\"b\"\n"), store("\"v\"=\"\xC3\"\n"), std::string("some other file\n")}) {
    SCOPED_TRACE(text.substr(0, 60));
    registry_sandbox::write(sandbox.user_file(), text);
    EXPECT_EQ(open(HKEY_CURRENT_USER, u"Software"), ERROR_BADDB);
    EXPECT_EQ(create(HKEY_CURRENT_USER, u"Software\\New"), ERROR_BADDB);
    EXPECT_EQ(open(HKEY_CLASSES_ROOT, u"Anything"), ERROR_BADDB);
    EXPECT_EQ(registry_sandbox::read(sandbox.user_file()), text);
    EXPECT_EQ(create(HKEY_LOCAL_MACHINE, u"Software\\Good\\Still"), ERROR_SUCCESS) << "the other root is fine";
  }
}

// Writers in two processes, each with two threads, add keys at the same time: every key of every
// writer is there afterwards.
TEST_F(Registry, ConcurrentWritersInSeveralProcessesLoseNothing) {
  constexpr int per_thread = 25;
  auto write_keys = [](std::u16string prefix, std::atomic<bool>& ok) {
    for (char16_t i = 0; i < per_thread; ++i) {
      unique_hkey k;
      const std::u16string name = prefix + u"\\" + char16_t(u'a' + i);
      if (create(HKEY_CLASSES_ROOT, name, &k) != ERROR_SUCCESS || set_dword(k.get(), u"I", i) != ERROR_SUCCESS) ok = false;
    }
  };
  auto writer = [&](const std::u16string& process) {
    std::atomic<bool> ok{true};
    std::thread t1(write_keys, process + u"T1", std::ref(ok)), t2(write_keys, process + u"T2", std::ref(ok));
    t1.join();
    t2.join();
    return ok.load();
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
    ASSERT_EQ(open(HKEY_CLASSES_ROOT, prefix, &k), ERROR_SUCCESS);
    EXPECT_EQ(subkeys(k.get()).size(), static_cast<size_t>(per_thread));
  }
}

}  // namespace
