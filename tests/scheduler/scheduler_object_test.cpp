// The scheduler object as the host sees it: its interfaces, the schedule file path rules of Load and
// Save, running an item with the site's service provider, and the site with its proffered service.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include <comrt/guid.h>

#include "persistence/schedule_file.h"
#include "scheduler_doubles.h"
#include "storage_double.h"

namespace {

using comrt::com_ptr;
using fakes::fixed_clock;
using namespace sched_test;

constexpr DWORD kNoCookie = 0xEFEFEFEF;
constexpr GUID kOtherService{0x7D1C2E90, 0x51B4, 0x4E0A, {0x9C, 0x11, 0x2F, 0x63, 0x88, 0x04, 0xAB, 0x5D}};

class SchedulerTest : public SchedulerFixture {
 protected:
  void SetUp() override {
    // Loads read the schedule file; what a save writes, and where, is looked at by the tests.
    ON_CALL(*storage, load).WillByDefault(&tolvane::load_schedule_file);
    s->SetStorage(storage);
  }
  comrt::bstr path_in_folder(const char* name) const {
    return comrt::bstr(comrt::to_utf16((folder.path() / name).string()));
  }
  // Whether a Save went as far as the file "schedule.xml" of the folder: the file is written there,
  // Save returns the write's status, and LastFileTime has moved to "now".
  bool save_reaches_the_file() {
    RtSetClock(kT0 + saves_ * kSecond);
    const int64_t expected = static_cast<int64_t>(kT0 + saves_++ * kSecond);
    EXPECT_CALL(*storage, save(comrt::to_utf16((folder.path() / "schedule.xml").string()), s.get()))
        .WillOnce(::testing::Return(S_OK));
    const HRESULT hr = s->Save();
    return ::testing::Mock::VerifyAndClearExpectations(storage.get()) && hr == S_OK &&
           s->LastFileTime() == expected;
  }
  std::vector<IUnknown*> providers() {
    std::lock_guard g(log->m);
    return log->providers;
  }

  scratch_folder folder;
  com_ptr<tolvane::CScheduler> s = new_scheduler();
  std::shared_ptr<MockStorage> storage = std::make_shared<::testing::NiceMock<MockStorage>>();
  uint64_t saves_ = 0;
};

TEST_F(SchedulerTest, AFreshSchedulerHasAnEmptyCollectionAndNowhereToSave) {
  auto items = items_of(s.get());
  ASSERT_TRUE(items);
  LONG count = -1;
  EXPECT_EQ(items->get_Count(&count), S_OK);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(s->get_Items(nullptr), E_POINTER);

  EXPECT_EQ(s->Save(), E_FAIL);
  EXPECT_EQ(s->LastFileTime(), 0);

  CLSID clsid{};
  EXPECT_EQ(s->GetClassID(&clsid), S_OK);
  EXPECT_EQ(clsid, CLSID_Scheduler);
  EXPECT_EQ(s->GetClassID(nullptr), E_FAIL);
}

TEST_F(SchedulerTest, AnswersItsOwnInterfacesAndNoOthers) {
  IUnknown* const self = s->identity();
  for (const IID* iid : {&IID_IScheduler, &IID_IDispatch, &IID_IObjectWithSite, &IID_IServiceProvider,
                         &IID_IXMLArchiveSerializable, &IID_IPersist, &IID_IProvideClassInfo, &IID_IMarshal}) {
    com_ptr<IUnknown> p;
    EXPECT_EQ(self->QueryInterface(*iid, p.put_void()), S_OK) << comrt::to_utf8(comrt::to_u16string(*iid));
  }
  for (const IID* iid : {&IID_IScheduleItems, &IID_IConnectionPointContainer, &IID_IProfferService}) {
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(self->QueryInterface(*iid, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
  }
}

// ---------------------------------------------------------------------------------------------
// Load and Save

TEST_F(SchedulerTest, LoadRefusesAnEmptyPathAndKeepsTheOneBefore) {
  EXPECT_EQ(s->Load(nullptr), E_INVALIDARG);
  EXPECT_EQ(s->Load(comrt::bstr(u"").get()), E_INVALIDARG);
  EXPECT_EQ(s->Save(), E_FAIL) << "an empty path is never stored";

  ASSERT_EQ(s->Load(path_in_folder("schedule.xml").get()), S_OK);
  EXPECT_EQ(s->Load(comrt::bstr(u"").get()), E_INVALIDARG);
  EXPECT_TRUE(save_reaches_the_file());
}

TEST_F(SchedulerTest, LoadOfAMissingFileStoresThePathAndKeepsTheCollection) {
  fixed_clock at(kT0);
  auto before = items_of(s.get());
  const auto path = path_in_folder("schedule.xml");

  ASSERT_EQ(s->Load(path.get()), S_OK);

  EXPECT_EQ(items_of(s.get()), before);
  EXPECT_EQ(s->LastFileTime(), 0);
  EXPECT_FALSE(std::filesystem::exists(folder.path() / "schedule.xml")) << "Load creates nothing";
  EXPECT_TRUE(save_reaches_the_file());
}

TEST_F(SchedulerTest, ALoadThatCannotReadKeepsThePathAndTimeItHad) {
  fixed_clock at(kT0);
  {
    std::ofstream garbage(folder.path() / "garbage.xml");
    garbage << "this is no schedule";
  }
  const auto garbage = path_in_folder("garbage.xml");
  const auto a_folder = comrt::bstr(comrt::to_utf16(folder.path().string()));
  auto before = items_of(s.get());

  EXPECT_TRUE(FAILED(s->Load(garbage.get())));
  EXPECT_TRUE(FAILED(s->Load(a_folder.get()))) << "a folder exists, so it is read, and fails";
  EXPECT_EQ(s->LastFileTime(), 0);
  EXPECT_EQ(items_of(s.get()), before);
  EXPECT_EQ(s->Save(), E_FAIL) << "no path was stored";

  ASSERT_EQ(s->Load(path_in_folder("schedule.xml").get()), S_OK);
  EXPECT_TRUE(FAILED(s->Load(garbage.get())));
  EXPECT_TRUE(save_reaches_the_file()) << "the earlier path stays in force";
}

// ---------------------------------------------------------------------------------------------
// RunItem

TEST_F(SchedulerTest, RunItemSucceedsWhateverTheItemsActionsReturn) {
  auto item = new_item();
  add_action(item.get(), 1, log, E_ACCESSDENIED);
  add_action(item.get(), 2, log);

  EXPECT_EQ(s->RunItem(item.get()), S_OK);
  EXPECT_EQ(last_result(item.get()), E_ACCESSDENIED);
  EXPECT_EQ(log->snapshot(), std::vector<int>{1});

  EXPECT_EQ(s->RunItem(nullptr), E_POINTER);
}

TEST_F(SchedulerTest, RunItemHandsTheActionsTheSitesServiceProviderOrNull) {
  auto item = new_item();
  add_action(item.get(), 1, log);
  auto with_services = comrt::make<ServiceOnlySite>();
  auto proffering = comrt::make<ProfferingSite>();
  auto bare = comrt::make<BareSite>();

  EXPECT_EQ(s->RunItem(item.get()), S_OK);
  ASSERT_EQ(s->SetSite(with_services->identity()), S_OK);
  EXPECT_EQ(s->RunItem(item.get()), S_OK);
  ASSERT_EQ(s->SetSite(proffering->identity()), S_OK);
  EXPECT_EQ(s->RunItem(item.get()), S_OK);
  ASSERT_EQ(s->SetSite(bare->identity()), S_OK);
  EXPECT_EQ(s->RunItem(item.get()), S_OK);
  ASSERT_EQ(s->SetSite(nullptr), S_OK);
  EXPECT_EQ(s->RunItem(item.get()), S_OK);

  const std::vector<IUnknown*> expected{nullptr, static_cast<IServiceProvider*>(with_services.get()),
                                        static_cast<IServiceProvider*>(proffering.get()), nullptr, nullptr};
  EXPECT_EQ(providers(), expected);
}

// ---------------------------------------------------------------------------------------------
// Services and the site

TEST_F(SchedulerTest, QueryServiceAnswersTheSchedulerItselfWithoutASite) {
  com_ptr<IScheduler> self;
  ASSERT_EQ(s->QueryService(CLSID_Scheduler, IID_IScheduler, self.put_void()), S_OK);
  EXPECT_EQ(self.get(), static_cast<IScheduler*>(s.get()));

  void* p = reinterpret_cast<void*>(1);
  EXPECT_EQ(s->QueryService(CLSID_Scheduler, IID_IScheduleItem, &p), E_NOINTERFACE);
  EXPECT_EQ(p, nullptr);
  p = reinterpret_cast<void*>(1);
  EXPECT_EQ(s->QueryService(kOtherService, IID_IUnknown, &p), E_NOINTERFACE);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(s->QueryService(kOtherService, IID_IUnknown, nullptr), E_POINTER);
}

TEST_F(SchedulerTest, ASiteThatTakesProffersServesTheSchedulerUntilItIsCleared) {
  auto site = comrt::make<ProfferingSite>();
  EXPECT_EQ(s->proffer_cookie(), kNoCookie);

  ASSERT_EQ(s->SetSite(site->identity()), S_OK);
  EXPECT_EQ(site->proffer_calls, 1);
  EXPECT_EQ(site->proffered_service, CLSID_Scheduler);
  EXPECT_EQ(site->proffered_provider, static_cast<IServiceProvider*>(s.get()));
  EXPECT_EQ(s->proffer_cookie(), site->cookie_to_give);
  com_ptr<IProfferService> held;
  EXPECT_EQ(s->GetSite(IID_IProfferService, held.put_void()), S_OK);
  EXPECT_EQ(held.get(), static_cast<IProfferService*>(site.get()));
  held = nullptr;

  // Whoever reaches the proffered provider reaches the scheduler.
  com_ptr<IScheduler> through_site;
  EXPECT_EQ(site->proffered_provider->QueryService(CLSID_Scheduler, IID_IScheduler, through_site.put_void()), S_OK);
  EXPECT_EQ(through_site.get(), static_cast<IScheduler*>(s.get()));
  through_site = nullptr;

  ASSERT_EQ(s->SetSite(nullptr), S_OK);
  EXPECT_EQ(site->revoked, std::vector<DWORD>{site->cookie_to_give});
  EXPECT_EQ(s->proffer_cookie(), kNoCookie);
  void* p = reinterpret_cast<void*>(1);
  EXPECT_EQ(s->GetSite(IID_IUnknown, &p), E_FAIL);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(s->GetSite(IID_IUnknown, nullptr), E_POINTER);
}

TEST_F(SchedulerTest, ASiteThatTakesNoProffersIsStoredAndNothingIsProffered) {
  EXPECT_EQ(s->SetSite(nullptr), S_OK) << "clearing a site that was never set";

  auto site = comrt::make<ServiceOnlySite>();
  ASSERT_EQ(s->SetSite(site->identity()), S_OK);
  EXPECT_EQ(s->proffer_cookie(), kNoCookie);
  com_ptr<IServiceProvider> held;
  EXPECT_EQ(s->GetSite(IID_IServiceProvider, held.put_void()), S_OK);
  EXPECT_EQ(held.get(), static_cast<IServiceProvider*>(site.get()));
  held = nullptr;
  EXPECT_EQ(s->SetSite(nullptr), S_OK);
}

TEST_F(SchedulerTest, AFailingProfferLeavesTheSiteUnset) {
  auto site = comrt::make<ProfferingSite>();
  site->proffer_result = E_ACCESSDENIED;

  EXPECT_EQ(s->SetSite(site->identity()), E_ACCESSDENIED);

  EXPECT_EQ(s->proffer_cookie(), kNoCookie);
  void* p = reinterpret_cast<void*>(1);
  EXPECT_EQ(s->GetSite(IID_IUnknown, &p), E_FAIL);
  EXPECT_EQ(p, nullptr);
  auto item = new_item();
  add_action(item.get(), 1, log);
  EXPECT_EQ(s->RunItem(item.get()), S_OK);
  EXPECT_EQ(providers(), std::vector<IUnknown*>{nullptr});
}

}  // namespace
