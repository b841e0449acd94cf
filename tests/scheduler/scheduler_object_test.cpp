// The scheduler object as the host sees it: its interfaces, the schedule file path rules of Load and
// Save, running an item with the site's service provider, and the site with its proffered service.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include <comrt/ocidl.h>

#include "persistence/schedule_file.h"
#include "scheduler_doubles.h"
#include "storage_double.h"

namespace {

using ::testing::_;
using ::testing::DoAll;
using ::testing::Return;
using ::testing::SetArgPointee;
using namespace sched_test;

class MockSite final : public comrt::implements<MockSite, IServiceProvider, IProfferService> {
 public:
  MOCK_METHOD(HRESULT, QueryService, (REFGUID, REFIID, void**), (override));
  MOCK_METHOD(HRESULT, ProfferService, (REFGUID, IServiceProvider*, DWORD*), (override));
  MOCK_METHOD(HRESULT, RevokeService, (DWORD), (override));
};

class SchedulerTest : public SchedulerFixture {
 protected:
  // Loads read the schedule file; what a save writes, and where, is looked at by the tests.
  void SetUp() override {
    ON_CALL(*storage, load).WillByDefault(&tolvane::load_schedule_file);
    s->SetStorage(storage);
  }
  std::shared_ptr<MockStorage> storage = std::make_shared<::testing::NiceMock<MockStorage>>();
};

TEST_F(SchedulerTest, LoadStoresTheFirstPathThatExistsOrDoesNotYetAndKeepsItOnFailure) {
  fixed_clock at(kT0);
  const comrt::bstr empty(u""), with_nul(comrt::to_utf16((folder.path() / "a").string()) + u'\0' + u"b.xml");
  for (BSTR bad : {static_cast<BSTR>(nullptr), empty.get(), with_nul.get()}) EXPECT_EQ(s->Load(bad), E_INVALIDARG);
  EXPECT_EQ(s->Save(), E_FAIL) << "no path yet";
  std::ofstream(folder.path() / "garbage.xml") << "this is no schedule";
  auto before = items();
  EXPECT_TRUE(FAILED(s->Load(folder.file("garbage.xml").get())));
  EXPECT_EQ(s->Save(), E_FAIL) << "a file that cannot be read gives no path";

  ASSERT_EQ(s->Load(folder.file("schedule.xml").get()), S_OK);
  EXPECT_FALSE(std::filesystem::exists(folder.path() / "schedule.xml")) << "Load creates nothing";
  EXPECT_TRUE(FAILED(s->Load(folder.file("garbage.xml").get())));
  EXPECT_EQ(s->Load(with_nul.get()), E_INVALIDARG);
  EXPECT_EQ(items(), before);
  EXPECT_EQ(s->LastFileTime(), 0);
  EXPECT_CALL(*storage, save(comrt::to_utf16((folder.path() / "schedule.xml").string()), s.get()))
      .WillOnce(Return(S_OK));
  EXPECT_EQ(s->Save(), S_OK) << "the missing file's path stays in force";
  EXPECT_EQ(s->LastFileTime(), static_cast<int64_t>(kT0));
}

TEST_F(SchedulerTest, RunItemHandsTheActionsTheSitesServiceProviderAndSucceedsWhateverTheyReturn) {
  auto item = comrt::make<tolvane::CScheduleItem>();
  add_action(item.get(), 1, log, E_ACCESSDENIED);
  add_action(item.get(), 2, log);
  auto provider = comrt::make<MockProvider>();
  EXPECT_EQ(s->RunItem(item.get()), S_OK);
  ASSERT_EQ(s->SetSite(provider->identity()), S_OK);
  EXPECT_EQ(s->RunItem(item.get()), S_OK);
  ASSERT_EQ(s->SetSite(comrt::make<FakeAction>(0, S_OK, log)->identity()), S_OK);  // no service provider
  EXPECT_EQ(s->RunItem(item.get()), S_OK);
  EXPECT_EQ(log->snapshot(), (std::vector<int>{1, 1, 1}));
  EXPECT_EQ(log->providers, (std::vector<IUnknown*>{nullptr, static_cast<IServiceProvider*>(provider.get()), nullptr}));
  EXPECT_EQ(last_result(item.get()), E_ACCESSDENIED);
  EXPECT_EQ(s->RunItem(nullptr), E_POINTER);
}

TEST_F(SchedulerTest, TheSchedulerIsProfferedToItsSiteUntilTheSiteIsCleared) {
  com_ptr<IScheduler> self;
  ASSERT_EQ(s->QueryService(CLSID_Scheduler, IID_IScheduler, self.put_void()), S_OK);
  EXPECT_EQ(self.get(), static_cast<IScheduler*>(s.get()));

  auto site = comrt::make<MockSite>();
  IServiceProvider* proffered = nullptr;
  EXPECT_CALL(*site, ProfferService(CLSID_Scheduler, _, _))
      .WillOnce(DoAll(testing::SaveArg<1>(&proffered), SetArgPointee<2>(0x1234), Return(S_OK)));
  ASSERT_EQ(s->SetSite(site->identity()), S_OK);
  com_ptr<IScheduler> through_site;
  ASSERT_NE(proffered, nullptr);
  EXPECT_EQ(proffered->QueryService(CLSID_Scheduler, IID_IScheduler, through_site.put_void()), S_OK);
  EXPECT_EQ(through_site.get(), static_cast<IScheduler*>(s.get()));
  EXPECT_CALL(*site, RevokeService(0x1234)).WillOnce(Return(S_OK));
  EXPECT_EQ(s->SetSite(nullptr), S_OK);
}

}  // namespace
