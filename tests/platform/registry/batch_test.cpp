// Registry batches: the thread's changes are seen by its own reads and reach the store file once,
// at the outermost end.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "comrt/registry.h"
#include "platform/registry/registry_sandbox.h"

namespace {

using tolvane::test::registry_sandbox;

[[noreturn]] void fail(LONG status) { throw status; }

TEST(RegistryBatchTest, ChangesAreSeenAtOnceAndWrittenTogetherAtTheOutermostEnd) {
  registry_sandbox sandbox;
  const comrt::registry_writer registry(&fail);
  const std::string file = sandbox.user_file();
  comrt::registry_batch outer(HKEY_CURRENT_USER);
  {
    comrt::registry_batch inner(HKEY_CURRENT_USER);
    registry.write_key(HKEY_CURRENT_USER, u"Software\\Tolvane\\A", u"one");
    registry.write_key(HKEY_CURRENT_USER, u"Software\\Tolvane\\B", u"two");
    char16_t text[8] = {};
    DWORD size = sizeof text;
    ASSERT_EQ(RegGetValueW(HKEY_CURRENT_USER, u"Software\\Tolvane\\B", nullptr, RRF_RT_REG_SZ, nullptr, text, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(text), u"two");
    EXPECT_EQ(inner.end(), ERROR_SUCCESS);
  }
  EXPECT_FALSE(std::filesystem::exists(file));
  EXPECT_EQ(outer.end(), ERROR_SUCCESS);
  const std::string stored = registry_sandbox::read(file);
  EXPECT_NE(stored.find("[HKEY_CURRENT_USER\\Software\\Tolvane\\A]\n@=\"one\""), std::string::npos) << stored;
  EXPECT_NE(stored.find("[HKEY_CURRENT_USER\\Software\\Tolvane\\B]\n@=\"two\""), std::string::npos) << stored;

  EXPECT_EQ(RtRegEndBatch(HKEY_CURRENT_USER), ERROR_INVALID_PARAMETER);  // none open
  EXPECT_EQ(RtRegBeginBatch(reinterpret_cast<HKEY>(uintptr_t{42})), ERROR_INVALID_HANDLE);
}

}  // namespace
