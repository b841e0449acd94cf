// Self-registration in a temporary registry: the keys written for every class, the scope, and what
// registering again, unregistering and a failed registration leave behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include <comrt/guid.h>
#include <comrt/object.h>

#include "Scheduler.h"
#include "platform/registry/registry_sandbox.h"
#include "registry_view.h"
#include "server/registration.h"

namespace {

using tolvane::class_entry;
using tolvane::registrar;
using namespace tolvane::test;

const std::u16string kClasses = u"Software\\Classes";
const std::u16string kTypeLib = u"{A2ADB994-121A-4972-884F-6A9EB6478C69}";

struct RegistrationTest : ::testing::Test {
  // The files of both scopes, to compare whole registries.
  std::pair<std::string, std::string> files() const {
    return {registry_sandbox::read(sandbox.machine_file()), registry_sandbox::read(sandbox.user_file())};
  }
  registry_sandbox sandbox;
  registrar module{kLibrary, module_classes()};
};

TEST_F(RegistrationTest, WritesEveryRowOfEveryClassInTheListsOrderAndNothingMoreAndEveryClassIsCreatable) {
  ASSERT_EQ(module.register_server(), S_OK);
  std::set<std::u16string> expected{u"AppID", u"AppID\\{43EA843F-BE3D-4DFB-9727-DEA1F06DD300}", u"AppID\\Scheduler.dll", u"CLSID"};
  const std::u16string order[] = {u"ScheduleActions", u"ScheduleInstantiationTrigger", u"ScheduleQueueAction",
                                  u"ScheduleTriggers", u"ScheduleItem", u"ScheduleItems", u"ScheduleMonitorTrigger",
                                  u"Scheduler", u"ScheduleScheduleTrigger"};
  const std::u16string* next = order;
  for (const class_entry& c : module_classes()) {
    const std::u16string name = c.coclass, clsid = comrt::to_u16string(c.clsid), key = u"CLSID\\" + clsid;
    const std::u16string prog = u"Scheduler." + name + u".1", vi = u"Scheduler." + name, desc = name + u" Class";
    next = std::find(next, std::end(order), name);
    ASSERT_NE(next, std::end(order)) << "out of order: " << comrt::to_utf8(name);
    const bool names_prog_ids = name == u"ScheduleTriggers" || name == u"ScheduleScheduleTrigger";
    ASSERT_EQ(c.registers_prog_id_keys, names_prog_ids) << comrt::to_utf8(name);
    struct row { std::u16string path; const char16_t* value; std::u16string data; };
    std::vector<row> rows{{prog, nullptr, desc}, {prog + u"\\CLSID", nullptr, clsid}, {vi, nullptr, desc},
                          {vi + u"\\CLSID", nullptr, clsid}, {vi + u"\\CurVer", nullptr, prog}, {key, nullptr, desc},
                          {key + u"\\InprocServer32", nullptr, kLibrary}, {key + u"\\InprocServer32", u"ThreadingModel", u"Both"},
                          {key + u"\\TypeLib", nullptr, kTypeLib}};
    if (names_prog_ids) rows.insert(rows.end(), {{key + u"\\ProgID", nullptr, prog}, {key + u"\\VersionIndependentProgID", nullptr, vi}});
    for (const row& r : rows) {
      EXPECT_EQ(text(HKEY_CLASSES_ROOT, r.path, r.value), r.data) << comrt::to_utf8(r.path);
      expected.insert(r.path);
    }
    expected.insert(key + u"\\Programmable");
    for (const char16_t* prog_id : {c.prog_id, c.vi_prog_id}) {  // a host creates it through the runtime alone
      CLSID found{};
      EXPECT_EQ(CLSIDFromProgID(prog_id, &found), S_OK) << comrt::to_utf8(prog_id);
      comrt::com_ptr<IUnknown> object;
      EXPECT_EQ(CoCreateInstance(found, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, object.put_void()), S_OK);
    }
  }
  std::set<std::u16string> keys = key_paths(HKEY_LOCAL_MACHINE, kClasses);
  std::erase_if(keys, [](const std::u16string& k) { return k.starts_with(u"TypeLib") || k.starts_with(u"Interface"); });
  EXPECT_EQ(keys, expected);
  EXPECT_EQ(text(HKEY_CLASSES_ROOT, u"TypeLib\\" + kTypeLib + u"\\1.0\\0\\linux64"), kLibrary);
  EXPECT_EQ(text(HKEY_CLASSES_ROOT, u"AppID\\Scheduler.dll", u"AppID"), u"{43EA843F-BE3D-4DFB-9727-DEA1F06DD300}");
}

TEST(InstallTest, OnlyTheWholeWordUserInAnyCaseMeansPerUser) {
  const struct { const char16_t* command_line; bool per_user; } cases[] = {
      {u"user", true}, {u"USER", true}, {u"uSeR", true}, {u"user ", false}, {u"users", false}, {u"use", false},
      {u"", false}, {nullptr, false}};
  for (const auto& c : cases) EXPECT_EQ(tolvane::is_per_user_command_line(c.command_line), c.per_user);
}

TEST_F(RegistrationTest, RegisteringAgainReplacesTheClassKeys) {
  ASSERT_EQ(module.register_server(), S_OK);
  const auto first = files();
  const std::u16string stale = kClasses + u"\\CLSID\\" + comrt::to_u16string(CLSID_Scheduler) + u"\\Stale";
  comrt::unique_hkey k;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, stale.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, k.put(), nullptr), 0);
  ASSERT_EQ(module.register_server(), S_OK);
  EXPECT_EQ(files(), first);
}

// Keys of another component in both scopes.
struct UnregistrationTest : RegistrationTest {
  UnregistrationTest() {
    for (const HKEY scope : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
      for (const char16_t* path : {u"CLSID\\{11111111-2222-3333-4444-555555555555}\\InprocServer32", u"Other.Thing\\CLSID",
                                   u"AppID\\{66666666-2222-3333-4444-555555555555}",
                                   u"TypeLib\\{77777777-2222-3333-4444-555555555555}\\1.0\\0\\linux64",
                                   u"Interface\\{88888888-2222-3333-4444-555555555555}\\TypeLib"}) {
        comrt::unique_hkey k;
        EXPECT_EQ(RegCreateKeyExW(scope, (kClasses + u"\\" + path).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, k.put(), nullptr), 0);
        EXPECT_EQ(RegSetValueExW(k.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(u"theirs"), 14), 0);
      }
    }
    before = files();
  }
  std::pair<std::string, std::string> before;
};

TEST_F(UnregistrationTest, RemovesOnlyOurKeysOnlyFromItsOwnScopeAndWhatWasNeverRegisteredIsNoFailure) {
  ASSERT_EQ(module.unregister_server(), S_OK);
  EXPECT_EQ(files(), before);
  registrar user{kLibrary, module_classes()};
  ASSERT_EQ(user.install(TRUE, u"user"), S_OK);
  const std::string user_registered = files().second;
  ASSERT_EQ(module.register_server(), S_OK);
  ASSERT_EQ(module.unregister_server(), S_OK);
  EXPECT_EQ(files(), std::pair(before.first, user_registered));
  ASSERT_EQ(user.register_server(), S_OK) << "the per-user switch stays on";
  ASSERT_EQ(user.install(FALSE, nullptr), S_OK);
  EXPECT_EQ(files(), before);
}

TEST_F(UnregistrationTest, AFailedInstallUndoesWhatItRegistered) {
  const auto classes = module_classes();
  const std::vector<class_entry> list{classes[0], {CLSID_NULL, u"Bad", u"9Bad.1", u"9Bad", false, nullptr}, classes[1]};
  registrar r{kLibrary, list};
  EXPECT_EQ(r.register_server(), E_INVALIDARG);
  EXPECT_TRUE(text(HKEY_LOCAL_MACHINE, kClasses + u"\\" + classes[0].vi_prog_id)) << "registered up to the failure";
  EXPECT_EQ(r.install(TRUE, nullptr), E_INVALIDARG);
  EXPECT_EQ(files(), before);
}

}  // namespace
