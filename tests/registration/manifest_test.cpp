// Activation from the component's manifest with an empty registry, and the activation context calls.
#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <algorithm>
#include <filesystem>
#include <thread>

#include <comrt/actctx.h>
#include <comrt/guid.h>
#include <comrt/object.h>

#include "Scheduler.h"
#include "platform/registry/registry_sandbox.h"
#include "registry_view.h"

namespace {

using namespace tolvane::test;

const std::u16string kManifest = comrt::to_utf16(TOLVANE_SCHEDULER_MANIFEST);

// The manifest describes the class list in its order, and with it every class is created by its
// ProgID with no registry entry, only while the context is active on the thread.
TEST(ManifestTest, DescribesTheClassListAndCreatesEveryClassOnlyWhileActiveOnTheThread) {
  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_file(TOLVANE_SCHEDULER_MANIFEST));
  const pugi::xml_node file = doc.child("assembly").child("file");
  EXPECT_STREQ(file.attribute("name").value(), "libScheduler.so");
  const std::vector<pugi::xml_node> described(file.children("comClass").begin(), file.children("comClass").end());
  ASSERT_EQ(described.size(), 9u);
  registry_sandbox empty;
  HACTCTX context = nullptr;
  ULONG_PTR cookie = 0;
  ASSERT_EQ(RtCreateActCtx(kManifest.c_str(), &context), S_OK);
  ASSERT_EQ(RtActivateActCtx(context, &cookie), S_OK);
  ASSERT_EQ(RtReleaseActCtx(context), S_OK) << "an active context outlives its handle";
  auto next = described.begin();
  for (const tolvane::class_entry& c : module_classes()) {
    const std::string clsid = comrt::to_utf8(comrt::to_u16string(c.clsid));
    next = std::find_if(next, described.end(), [&](auto n) { return clsid == n.attribute("clsid").value(); });
    ASSERT_NE(next, described.end()) << "missing or out of order: " << clsid;
    EXPECT_EQ(next->attribute("progid").value(), comrt::to_utf8(c.prog_id));
    EXPECT_EQ(next->child_value("progid"), comrt::to_utf8(c.vi_prog_id));
    EXPECT_EQ(next->attribute("description").value(), comrt::to_utf8(c.coclass) + " Class");
    EXPECT_STREQ(next->attribute("threadingModel").value(), "Both");
    EXPECT_STREQ(next->attribute("tlbid").value(), "{A2ADB994-121A-4972-884F-6A9EB6478C69}");
    CLSID found{};
    EXPECT_EQ(CLSIDFromProgID(c.vi_prog_id, &found), S_OK) << comrt::to_utf8(c.vi_prog_id);
    comrt::com_ptr<IUnknown> object;
    EXPECT_EQ(CoCreateInstance(found, nullptr, CLSCTX_ALL, IID_IUnknown, object.put_void()), S_OK);
  }
  comrt::com_ptr<IUnknown> object;
  std::thread([&] {
    EXPECT_EQ(CoCreateInstance(CLSID_Scheduler, nullptr, CLSCTX_ALL, IID_IUnknown, object.put_void()), REGDB_E_CLASSNOTREG);
  }).join();
  ASSERT_EQ(RtDeactivateActCtx(cookie), S_OK);
  EXPECT_EQ(CoCreateInstance(CLSID_Scheduler, nullptr, CLSCTX_ALL, IID_IUnknown, object.put_void()), REGDB_E_CLASSNOTREG);
  EXPECT_FALSE(std::filesystem::exists(empty.machine_file()) || std::filesystem::exists(empty.user_file()));
}

TEST(ManifestTest, RefusesWhatIsNotAManifest) {
  registry_sandbox folder;
  const HRESULT refused = HRESULT_FROM_WIN32(ERROR_SXS_CANT_GEN_ACTCTX);
  const std::string cls = R"(<comClass clsid="{0946E232-81EA-4DF2-B7DB-CAF900E0D209}"/>)";
  const std::string open = R"(<assembly manifestVersion="1.0"><file name="x.so">)", close = "</file></assembly>";
  const struct { const char* name; std::string text; HRESULT expected; } cases[] = {
      {"missing", "", HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)}, {"not XML", "<assembly", refused},
      {"no version", "<assembly/>", refused},
      {"bad class identifier", open + R"(<comClass clsid="0946E232"/>)" + close, refused},
      {"class twice", open + cls + cls + close, refused}};
  for (const auto& c : cases) {
    const std::string file = folder.folder() + "/" + c.name;
    if (!c.text.empty()) registry_sandbox::write(file, c.text);
    HACTCTX context = reinterpret_cast<HACTCTX>(1);
    EXPECT_EQ(RtCreateActCtx(comrt::to_utf16(file).c_str(), &context), c.expected) << c.name;
    EXPECT_EQ(context, nullptr);
  }
}

}  // namespace
