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

// An active context for the life of the object.
class activated {
 public:
  explicit activated(const std::u16string& manifest) {
    EXPECT_EQ(RtCreateActCtx(manifest.c_str(), &context_), S_OK);
    EXPECT_EQ(RtActivateActCtx(context_, &cookie_), S_OK);
  }
  ~activated() {
    EXPECT_EQ(RtDeactivateActCtx(cookie_), S_OK);
    EXPECT_EQ(RtReleaseActCtx(context_), S_OK);
  }

 private:
  HACTCTX context_ = nullptr;
  ULONG_PTR cookie_ = 0;
};

TEST(ManifestTest, DescribesTheClassListInItsOrder) {
  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_file(TOLVANE_SCHEDULER_MANIFEST));
  const pugi::xml_node file = doc.child("assembly").child("file");
  EXPECT_STREQ(file.attribute("name").value(), "libScheduler.so");
  EXPECT_STREQ(file.child("typelib").attribute("tlbid").value(), "{A2ADB994-121A-4972-884F-6A9EB6478C69}");
  std::vector<pugi::xml_node> described(file.children("comClass").begin(), file.children("comClass").end());
  ASSERT_EQ(described.size(), 9u);
  size_t next = 0;
  for (const tolvane::class_entry& c : module_classes()) {
    const std::string clsid = comrt::to_utf8(comrt::to_u16string(c.clsid));
    while (next < described.size() && clsid != described[next].attribute("clsid").value()) ++next;
    ASSERT_LT(next, described.size()) << "missing or out of order: " << clsid;
    const pugi::xml_node n = described[next];
    EXPECT_EQ(n.attribute("progid").value(), comrt::to_utf8(c.prog_id));
    EXPECT_EQ(n.child_value("progid"), comrt::to_utf8(c.vi_prog_id));
    EXPECT_EQ(n.attribute("description").value(), comrt::to_utf8(c.coclass) + " Class");
    EXPECT_STREQ(n.attribute("threadingModel").value(), "Both");
    EXPECT_STREQ(n.attribute("tlbid").value(), "{A2ADB994-121A-4972-884F-6A9EB6478C69}");
  }
}

TEST(ManifestTest, CreatesEveryClassWithNoRegistryEntryOnlyWhileActive) {
  registry_sandbox empty;
  const tolvane::class_entry& scheduler = *std::find_if(module_classes().begin(), module_classes().end(),
                                                        [](const auto& c) { return c.clsid == CLSID_Scheduler; });
  {
    activated context(kManifest);
    for (const tolvane::class_entry& c : module_classes()) {
      SCOPED_TRACE(comrt::to_utf8(c.coclass));
      CLSID found{};
      EXPECT_EQ(CLSIDFromProgID(c.vi_prog_id, &found), S_OK);
      EXPECT_EQ(found, c.clsid);
      comrt::com_ptr<IUnknown> object;
      EXPECT_EQ(CoCreateInstance(found, nullptr, CLSCTX_ALL, IID_IUnknown, object.put_void()), S_OK);
    }
    LPOLESTR prog_id = nullptr;
    ASSERT_EQ(ProgIDFromCLSID(scheduler.clsid, &prog_id), S_OK);
    EXPECT_EQ(std::u16string(prog_id), scheduler.prog_id);
    CoTaskMemFree(prog_id);
    std::thread([&] {
      comrt::com_ptr<IUnknown> object;
      EXPECT_EQ(CoCreateInstance(scheduler.clsid, nullptr, CLSCTX_ALL, IID_IUnknown, object.put_void()),
                REGDB_E_CLASSNOTREG) << "contexts are active per thread";
    }).join();
  }
  comrt::com_ptr<IUnknown> object;
  EXPECT_EQ(CoCreateInstance(scheduler.clsid, nullptr, CLSCTX_ALL, IID_IUnknown, object.put_void()), REGDB_E_CLASSNOTREG);
  EXPECT_FALSE(std::filesystem::exists(empty.machine_file()));
  EXPECT_FALSE(std::filesystem::exists(empty.user_file()));
}

TEST(ManifestTest, RefusesWhatIsNotAManifest) {
  registry_sandbox folder;
  const HRESULT refused = HRESULT_FROM_WIN32(ERROR_SXS_CANT_GEN_ACTCTX);
  const std::string cls = R"(<comClass clsid="{0946E232-81EA-4DF2-B7DB-CAF900E0D209}" progid="A.B"/>)";
  const std::string twice = R"(<assembly manifestVersion="1.0"><file name="x.so">)" + cls + cls + "</file></assembly>";
  const struct { const char* name; const char* text; HRESULT expected; } cases[] = {
      {"missing", nullptr, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)},
      {"not XML", "<assembly", refused},
      {"another root", R"(<manifest manifestVersion="1.0"/>)", refused},
      {"no version", "<assembly/>", refused},
      {"file without a name", R"(<assembly manifestVersion="1.0"><file/></assembly>)", refused},
      {"bad class identifier", R"(<assembly manifestVersion="1.0"><file name="x.so"><comClass clsid="0946E232"/></file></assembly>)", refused},
      {"class twice", twice.c_str(), refused},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = folder.folder() + "/" + c.name;
    if (c.text) registry_sandbox::write(file, c.text);
    HACTCTX context = reinterpret_cast<HACTCTX>(1);
    EXPECT_EQ(RtCreateActCtx(comrt::to_utf16(file).c_str(), &context), c.expected);
    EXPECT_EQ(context, nullptr);
  }
  HACTCTX context = nullptr;
  EXPECT_EQ(RtCreateActCtx(u"", &context), E_INVALIDARG);
  EXPECT_EQ(RtCreateActCtx(kManifest.c_str(), nullptr), E_POINTER);
}

TEST(ManifestTest, TheInnermostContextWinsAndCookiesMustMatch) {
  registry_sandbox folder;
  const std::string elsewhere = folder.folder() + "/elsewhere.manifest";
  registry_sandbox::write(elsewhere, R"(<assembly manifestVersion="1.0"><file name="missing.so">
      <comClass clsid="{0946E232-81EA-4DF2-B7DB-CAF900E0D209}" progid="Scheduler.Scheduler"/></file></assembly>)");
  HACTCTX outer = nullptr, inner = nullptr;
  ULONG_PTR outer_cookie = 0, inner_cookie = 0;
  ASSERT_EQ(RtCreateActCtx(kManifest.c_str(), &outer), S_OK);
  ASSERT_EQ(RtCreateActCtx(comrt::to_utf16(elsewhere).c_str(), &inner), S_OK);
  ASSERT_EQ(RtActivateActCtx(outer, &outer_cookie), S_OK);
  ASSERT_EQ(RtReleaseActCtx(outer), S_OK) << "an active context outlives its handle";
  EXPECT_EQ(RtActivateActCtx(outer, &inner_cookie), E_HANDLE);
  ASSERT_EQ(RtActivateActCtx(inner, &inner_cookie), S_OK);
  comrt::com_ptr<IUnknown> object;
  EXPECT_EQ(CoCreateInstance(CLSID_Scheduler, nullptr, CLSCTX_ALL, IID_IUnknown, object.put_void()), CO_E_DLLNOTFOUND);
  EXPECT_EQ(RtDeactivateActCtx(outer_cookie), E_INVALIDARG) << "only the innermost is deactivated";
  ASSERT_EQ(RtDeactivateActCtx(inner_cookie), S_OK);
  EXPECT_EQ(CoCreateInstance(CLSID_Scheduler, nullptr, CLSCTX_ALL, IID_IUnknown, object.put_void()), S_OK);
  ASSERT_EQ(RtDeactivateActCtx(outer_cookie), S_OK);
  EXPECT_EQ(RtReleaseActCtx(inner), S_OK);
  EXPECT_EQ(RtReleaseActCtx(inner), E_HANDLE);
}

}  // namespace
