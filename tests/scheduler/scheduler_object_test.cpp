// The scheduler object as the host sees it: the schedule file path rules of Load and Save (also
// against a concurrent autosave), running an item with the site's service provider, and the site
// with its proffered service.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include <comrt/event.h>
#include <comrt/ocidl.h>

#include "items/schedule_items.h"
#include "persistence/schedule_file.h"
#include "scheduler_doubles.h"

namespace {

using ::testing::_;
using ::testing::DoAll;
using ::testing::Return;
using ::testing::SetArgPointee;
using namespace sched_test;

using SchedulerTest = SchedulerFixture;

TEST_F(SchedulerTest, LoadStoresTheFirstPathThatExistsOrDoesNotYetAndKeepsItOnFailure) {
  fixed_clock at(kT0);
  auto storage = std::make_shared<::testing::NiceMock<MockStorage>>();
  ON_CALL(*storage, load).WillByDefault(&tolvane::load_schedule_file);
  s->SetStorage(storage);
  const comrt::bstr empty(u""), with_nul(comrt::to_utf16((dir / "a").string()) + u'\0' + u"b.xml");
  for (BSTR bad : {static_cast<BSTR>(nullptr), empty.get(), with_nul.get()}) EXPECT_EQ(s->Load(bad), E_INVALIDARG);
  EXPECT_EQ(s->Save(), E_FAIL) << "no path yet";
  std::ofstream(dir / "garbage.xml") << "this is no schedule";
  auto before = items();
  EXPECT_TRUE(FAILED(s->Load(file("garbage.xml").get())));
  EXPECT_EQ(s->Save(), E_FAIL) << "a file that cannot be read gives no path";

  ASSERT_EQ(s->Load(file("schedule.xml").get()), S_OK);
  EXPECT_FALSE(std::filesystem::exists(dir / "schedule.xml")) << "Load creates nothing";
  EXPECT_TRUE(FAILED(s->Load(file("garbage.xml").get())));
  EXPECT_EQ(s->Load(with_nul.get()), E_INVALIDARG);
  EXPECT_EQ(items(), before);
  EXPECT_CALL(*storage, save(comrt::to_utf16((dir / "schedule.xml").string()), s.get()))
      .WillOnce(Return(S_OK));
  EXPECT_EQ(s->Save(), S_OK) << "the missing file's path stays in force";
  EXPECT_EQ(s->LastFileTime(), static_cast<int64_t>(kT0));
}

TEST_F(SchedulerTest, RunItemHandsTheActionsTheSitesServiceProviderAndSucceedsWhateverTheyReturn) {
  auto item = comrt::make<tolvane::CScheduleItem>();
  add_action(item.get(), 1, log, E_ACCESSDENIED);
  add_action(item.get(), 2, log);
  auto provider = service_only_site();
  EXPECT_EQ(s->RunItem(item.get()), S_OK);
  ASSERT_EQ(s->SetSite(provider->identity()), S_OK);
  EXPECT_EQ(s->RunItem(item.get()), S_OK);
  ASSERT_EQ(s->SetSite(comrt::make<FakeAction>(0, S_OK, log)->identity()), S_OK);  // no service provider
  EXPECT_EQ(s->RunItem(item.get()), S_OK);
  EXPECT_EQ(log->snapshot(), (std::vector<int>{1, 1, 1}));
  EXPECT_EQ(log->providers, (std::vector<IUnknown*>{nullptr, static_cast<IServiceProvider*>(provider.get()), nullptr}));
  EXPECT_EQ(last_result(item.get()), E_ACCESSDENIED);
}

TEST_F(SchedulerTest, TheSchedulerIsProfferedToItsSiteUntilTheSiteIsCleared) {
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

// An autosave decided while a load holds the file finds nothing to save once the load is done.
class MockItems final : public comrt::implements<MockItems, IScheduleItems> {
 public:
  MOCK_METHOD(HRESULT, get_Item, (LONG, IScheduleItem**), (override));
  MOCK_METHOD(HRESULT, get__NewEnum, (IUnknown**), (override));
  MOCK_METHOD(HRESULT, get_Count, (LONG*), (override));
  MOCK_METHOD(HRESULT, get_NewEnum, (IEnumScheduleItem**), (override));
  MOCK_METHOD(HRESULT, get_Dirty, (VARIANT_BOOL*), (override));
  MOCK_METHOD(HRESULT, put_Dirty, (VARIANT_BOOL), (override));
  MOCK_METHOD(HRESULT, Empty, (), (override));
  MOCK_METHOD(HRESULT, AddItem, (IScheduleItem*), (override));
  MOCK_METHOD(HRESULT, RemoveItem, (IScheduleItem*), (override));
  MOCK_METHOD(HRESULT, FindItemById, (GUID*, IScheduleItem**), (override));
};



TEST_F(SchedulerTest, AnAutosaveDecidedWhileALoadHoldsTheFileDoesNotFollowTheLoad) {
  fixed_clock at(kT0);
  auto storage = std::make_shared<MockStorage>();
  s->SetStorage(storage);
  const comrt::bstr path = file("schedule.xml");
  std::ofstream(dir / "schedule.xml").put('\n');
  comrt::event asked(comrt::event_reset::manual), loading(comrt::event_reset::manual), gate(comrt::event_reset::manual);
  // Dirty and never saved: an autosave is due until the load replaces the collection.
  auto dirty = comrt::make<MockItems>();
  EXPECT_CALL(*dirty, get_Dirty(_)).WillRepeatedly([&](VARIANT_BOOL* p) {
    *p = VARIANT_TRUE;
    asked.set();
    return S_OK;
  });
  ASSERT_EQ(s->SetItems(dirty.get()), S_OK);
  EXPECT_CALL(*storage, load(std::u16string(path.get()), _)).WillOnce([&](auto&, auto*) {
    loading.set();
    EXPECT_TRUE(gate.wait(kHangGuard));
    return s->SetItems(comrt::make<tolvane::CScheduleItems>().as<IScheduleItems>().get());
  });
  EXPECT_CALL(*storage, save(_, _)).Times(0);

  std::thread loader([&] { EXPECT_EQ(s->Load(path.get()), S_OK); });
  ASSERT_TRUE(loading.wait(kHangGuard));
  std::thread ticker([&] { EXPECT_EQ(s->SaveIfDirty(), S_OK); });
  EXPECT_TRUE(asked.wait(kHangGuard));
  gate.set();
  loader.join();
  ticker.join();
  EXPECT_EQ(s->LastFileTime(), static_cast<int64_t>(kT0)) << "the load's time";
}

}  // namespace
