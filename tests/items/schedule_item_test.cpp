// The schedule item: its properties, Run (time stamp, update, actions in order), Update and its
// sinks, deep copies, and what it passes on to its site.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include <comrt/time.h>

#include "fakes/schedule_doubles.h"
#include "items/schedule_item.h"
#include "triggers/schedule_triggers.h"

namespace {

using ::testing::_;
using ::testing::Invoke;
using ::testing::Return;
using comrt::com_ptr;
using fakes::FakeAction;
using fakes::MockItemEvents;
using tolvane::CScheduleItem;

constexpr uint64_t kNow = 133'500'000'000'000'000;  // a FILETIME in 2024

class MockProvider final : public comrt::implements<MockProvider, IServiceProvider> {
 public:
  MOCK_METHOD(HRESULT, QueryService, (REFGUID, REFIID, void**), (override));
};

class ItemTest : public ::testing::Test {
 protected:
  com_ptr<FakeAction> add_action(IScheduleItem* to, int tag, HRESULT result = S_OK) {
    return fakes::add_action(to, tag, log, result);
  }
  static com_ptr<IScheduleActions> actions(IScheduleItem* of) { return fakes::actions_of(of); }
  static com_ptr<IScheduleTriggers> triggers(IScheduleItem* of) { return fakes::triggers_of(of); }
  static com_ptr<MockItemEvents> subscribe(IScheduleItem* to, DWORD* cookie = nullptr) {
    auto sink = comrt::make<MockItemEvents>();
    const DWORD c = fakes::advise<IScheduleItemEvents>(to, sink->identity());
    if (cookie) *cookie = c;
    return sink;
  }
  static uint64_t last_run(IScheduleItem* of) {
    FILETIME t{1, 1};
    EXPECT_EQ(of->get_LastRunTime(&t), S_OK);
    return comrt::to_ticks(t);
  }
  static HRESULT last_result(IScheduleItem* of) {
    HRESULT hr = S_OK;
    EXPECT_EQ(of->get_LastTaskResult(&hr), S_OK);
    return hr;
  }
  static std::u16string name(IScheduleItem* of) {
    comrt::bstr text;
    EXPECT_EQ(of->get_Name(text.put()), S_OK);
    return text.str();
  }

  std::shared_ptr<fakes::run_log> log = std::make_shared<fakes::run_log>();
  com_ptr<CScheduleItem> item = comrt::make<CScheduleItem>();
};

TEST_F(ItemTest, ANewItemHasItsDefaultsAndItsOwnIdentifierAndCollections) {
  auto other = comrt::make<CScheduleItem>();
  GUID id{}, other_id{};
  ASSERT_EQ(item->get_Id(&id), S_OK);
  other->get_Id(&other_id);
  EXPECT_NE(id, GUID{});
  EXPECT_NE(id, other_id);
  VARIANT_BOOL save = 0, enable = 0, due = 1;
  item->get_Save(&save);
  item->get_Enable(&enable);
  item->get_ScheduleRun(&due);
  EXPECT_EQ(save, VARIANT_TRUE);
  EXPECT_EQ(enable, VARIANT_TRUE);
  EXPECT_EQ(due, VARIANT_FALSE);
  LONG n = -1;
  ASSERT_TRUE(actions(item.get()));
  actions(item.get())->get_Count(&n);
  EXPECT_EQ(n, 0);
  ASSERT_TRUE(triggers(item.get()));
  EXPECT_NE(triggers(item.get()), triggers(other.get()));
  EXPECT_NE(actions(item.get()), actions(other.get()));
  EXPECT_EQ(last_run(item.get()), 0u);
  FILETIME created{1, 1};
  item->get_Created(&created);
  EXPECT_EQ(comrt::to_ticks(created), 0u);
  EXPECT_EQ(last_result(item.get()), E_FAIL);
  EXPECT_EQ(name(item.get()), u"");

  EXPECT_EQ(item->get_Name(nullptr), E_POINTER);
  EXPECT_EQ(item->get_Triggers(nullptr), E_POINTER);
}

TEST_F(ItemTest, SettersStoreWhatTheyAreGivenAndAnnounceNothing) {
  auto sink = subscribe(item.get());
  EXPECT_CALL(*sink, OnUpdate(_)).Times(0);
  VARIANT_BOOL flag = 0;
  item->put_Save(1);  // stored unchanged, not normalised
  item->get_Save(&flag);
  EXPECT_EQ(flag, 1);
  item->put_Enable(0);
  item->get_Enable(&flag);
  EXPECT_EQ(flag, 0);

  // The text is kept up to its first NUL; a null text is empty.
  comrt::bstr embedded(std::u16string_view(u"ab\0cd", 5));
  EXPECT_EQ(item->put_Name(embedded.get()), S_OK);
  EXPECT_EQ(name(item.get()), u"ab");
  item->put_Description(embedded.get());
  comrt::bstr description;
  item->get_Description(description.put());
  EXPECT_EQ(description.str(), u"ab");
  EXPECT_EQ(item->put_Name(nullptr), S_OK);
  EXPECT_EQ(name(item.get()), u"");

  item->put_LastRunTime(comrt::to_filetime(0x1'2345'6789'ABCDull));
  EXPECT_EQ(last_run(item.get()), 0x1'2345'6789'ABCDull);
  item->put_LastTaskResult(S_FALSE);
  EXPECT_EQ(last_result(item.get()), S_FALSE);
  auto replacement = comrt::make<tolvane::CScheduleTriggers>();
  item->put_Triggers(replacement.get());
  EXPECT_EQ(triggers(item.get()).get(), static_cast<IScheduleTriggers*>(replacement.get()));
  EXPECT_EQ(item->put_Actions(nullptr), S_OK);
  EXPECT_FALSE(actions(item.get()));
}

TEST_F(ItemTest, RunStampsTheTimeUpdatesOnceAndThenRunsEveryActionInOrder) {
  fakes::fixed_clock clock(kNow);
  auto provider = comrt::make<MockProvider>();
  auto sink = subscribe(item.get());
  int updates = 0;
  EXPECT_CALL(*sink, OnUpdate(static_cast<IScheduleItem*>(item.get()))).WillOnce(Invoke([&](IScheduleItem* i) {
    ++updates;
    EXPECT_EQ(last_run(i), kNow);
    EXPECT_TRUE(log->snapshot().empty());
    return S_OK;
  }));
  // The same action twice runs twice; a success other than S_OK is stored and the run goes on.
  auto twice = add_action(item.get(), 1);
  add_action(item.get(), 2, S_FALSE);
  actions(item.get())->Add(twice.get());
  std::vector<HRESULT> seen;
  twice->on_run = [&] {
    EXPECT_EQ(updates, 1);
    seen.push_back(last_result(item.get()));
  };

  EXPECT_EQ(item->Run(provider->identity()), S_OK);
  EXPECT_EQ(log->snapshot(), (std::vector<int>{1, 2, 1}));
  EXPECT_EQ(seen, (std::vector<HRESULT>{E_FAIL, S_FALSE}));
  EXPECT_EQ(last_result(item.get()), S_OK);
  for (IUnknown* p : log->providers) EXPECT_EQ(p, provider->identity());
}

TEST_F(ItemTest, AFailingActionEndsTheRunAndBecomesItsResult) {
  fakes::fixed_clock clock(kNow);
  add_action(item.get(), 1);
  add_action(item.get(), 2, E_ACCESSDENIED);
  add_action(item.get(), 3);
  EXPECT_EQ(item->Run(nullptr), E_ACCESSDENIED);
  EXPECT_EQ(log->snapshot(), (std::vector<int>{1, 2}));
  EXPECT_EQ(log->providers[0], nullptr);  // passed on unchanged
  EXPECT_EQ(last_result(item.get()), E_ACCESSDENIED);

  // A failing last subscriber ends the run before any action, after the time stamp.
  log->runs.clear();
  auto ok = subscribe(item.get());
  auto refusing = subscribe(item.get());
  EXPECT_CALL(*ok, OnUpdate(_)).WillOnce(Return(S_OK));
  EXPECT_CALL(*refusing, OnUpdate(_)).WillOnce(Return(E_ABORT));
  item->put_LastRunTime(comrt::to_filetime(0));
  EXPECT_EQ(item->Run(nullptr), E_ABORT);
  EXPECT_TRUE(log->snapshot().empty());
  EXPECT_EQ(last_run(item.get()), kNow);
}

TEST_F(ItemTest, RunWithoutActionsStampsTheTimeAndKeepsTheLastResult) {
  fakes::fixed_clock clock(kNow);
  EXPECT_EQ(item->Run(nullptr), S_OK);
  EXPECT_EQ(last_run(item.get()), kNow);
  EXPECT_EQ(last_result(item.get()), E_FAIL);
  item->put_Actions(nullptr);
  RtAdvanceClock(10'000'000);
  EXPECT_EQ(item->Run(nullptr), S_OK);
  EXPECT_EQ(last_run(item.get()), kNow + 10'000'000);
}

TEST_F(ItemTest, UpdateCallsTheSinksPresentAtItsStartAndReturnsTheLastStatus) {
  EXPECT_EQ(item->Update(), S_OK);
  DWORD second_cookie = 0;
  auto first = subscribe(item.get());
  auto second = subscribe(item.get(), &second_cookie);
  auto third = subscribe(item.get());
  com_ptr<MockItemEvents> late;
  // The first sink fails, subscribes a new sink and unsubscribes the second: the new one is not
  // called by this Update, the second no more, the third still is.
  EXPECT_CALL(*first, OnUpdate(_)).WillOnce(Invoke([&](IScheduleItem*) {
    late = subscribe(item.get());
    EXPECT_CALL(*late, OnUpdate(_)).WillOnce(Return(S_OK));
    EXPECT_EQ(fakes::unadvise<IScheduleItemEvents>(item->identity(), second_cookie), S_OK);
    return E_FAIL;
  }));
  EXPECT_CALL(*second, OnUpdate(_)).Times(0);
  EXPECT_CALL(*third, OnUpdate(_)).WillOnce(Return(S_FALSE));
  EXPECT_EQ(item->Update(), S_FALSE);
  ::testing::Mock::VerifyAndClearExpectations(first.get());
  ::testing::Mock::VerifyAndClearExpectations(third.get());
  EXPECT_CALL(*first, OnUpdate(_)).WillOnce(Return(S_OK));
  EXPECT_CALL(*third, OnUpdate(_)).WillOnce(Return(S_OK));
  EXPECT_EQ(item->Update(), S_OK);

  auto point = fakes::point_of<IScheduleItemEvents>(item->identity());
  DWORD cookie = 0;
  EXPECT_EQ(point->Advise(comrt::make<FakeAction>(0, S_OK, log)->identity(), &cookie), CONNECT_E_CANNOTCONNECT);
  EXPECT_EQ(point->Unadvise(second_cookie), CONNECT_E_NOCONNECTION);
  com_ptr<IConnectionPoint> none;
  EXPECT_EQ(item->FindConnectionPoint(IID_IScheduleItemsEvents, none.put()), CONNECT_E_NOCONNECTION);
  EXPECT_EQ(item->FindConnectionPoint(IID_IScheduleItemEvents, nullptr), E_POINTER);
}

TEST_F(ItemTest, CloneIsADeepCopyWithTheSameIdAndNoSubscribers) {
  comrt::bstr text(u"Nightly");
  item->put_Name(text.get());
  item->put_Description(text.get());
  item->put_Save(VARIANT_FALSE);
  item->put_ScheduleRun(VARIANT_TRUE);
  item->put_Created(comrt::to_filetime(77));
  item->put_LastRunTime(comrt::to_filetime(88));
  item->put_LastTaskResult(E_ABORT);
  auto action = add_action(item.get(), 4);
  triggers(item.get())->Add(fakes::trigger({}, 5).get());
  auto sink = subscribe(item.get());
  EXPECT_CALL(*sink, OnUpdate(_)).Times(0);

  com_ptr<IScheduleItem> clone;
  ASSERT_EQ(item->Clone(clone.put()), S_OK);
  GUID a{}, b{};
  item->get_Id(&a);
  clone->get_Id(&b);
  EXPECT_EQ(a, b);
  EXPECT_EQ(name(clone.get()), u"Nightly");
  VARIANT_BOOL save = 1, due = 0;
  clone->get_Save(&save);
  clone->get_ScheduleRun(&due);
  EXPECT_EQ(save, VARIANT_FALSE);
  EXPECT_EQ(due, VARIANT_TRUE);
  FILETIME created{};
  clone->get_Created(&created);
  EXPECT_EQ(comrt::to_ticks(created), 77u);
  EXPECT_EQ(last_run(clone.get()), 88u);
  EXPECT_EQ(last_result(clone.get()), E_ABORT);
  EXPECT_NE(actions(clone.get()), actions(item.get()));
  EXPECT_NE(triggers(clone.get()), triggers(item.get()));
  com_ptr<IScheduleAction> cloned_action;
  actions(clone.get())->get_Item(0, cloned_action.put());
  EXPECT_NE(cloned_action.get(), static_cast<IScheduleAction*>(action.get()));
  EXPECT_EQ(static_cast<FakeAction*>(cloned_action.get())->tag, 4);
  LONG n = 0;
  triggers(clone.get())->get_Count(&n);
  EXPECT_EQ(n, 1);
  EXPECT_EQ(clone->Update(), S_OK);  // the source's subscriber hears nothing

  // Copy from an item without actions leaves the target without them.
  item->put_Actions(nullptr);
  auto target = comrt::make<CScheduleItem>();
  ASSERT_EQ(target->Copy(item.get()), S_OK);
  EXPECT_FALSE(actions(target.get()));
  EXPECT_TRUE(triggers(target.get()));
  EXPECT_EQ(target->Copy(nullptr), E_POINTER);
  EXPECT_EQ(name(target.get()), u"Nightly");  // refused before anything changed

  // A failing clone of an action collection is Copy's and Clone's result.
  item->put_Actions(actions(clone.get()).get());
  static_cast<FakeAction*>(cloned_action.get())->clone_result = E_ACCESSDENIED;
  EXPECT_EQ(target->Copy(item.get()), E_ACCESSDENIED);
  IScheduleItem* none = reinterpret_cast<IScheduleItem*>(1);
  EXPECT_EQ(item->Clone(&none), E_ACCESSDENIED);
  EXPECT_EQ(none, nullptr);
}

TEST_F(ItemTest, SiteRequestsArePassedOnUnchanged) {
  const GUID service{0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(item->GetSite(IID_IUnknown, nullptr), E_POINTER);
  EXPECT_EQ(item->GetSite(IID_IUnknown, &out), E_FAIL);
  EXPECT_EQ(out, nullptr);
  out = reinterpret_cast<void*>(1);
  EXPECT_EQ(item->QueryService(service, IID_IUnknown, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);

  // A site that is no service provider.
  auto plain = comrt::make<FakeAction>(0, S_OK, log);
  ASSERT_EQ(item->SetSite(plain->identity()), S_OK);
  EXPECT_EQ(item->QueryService(service, IID_IUnknown, &out), E_NOINTERFACE);
  com_ptr<IScheduleAction> site;
  EXPECT_EQ(item->GetSite(IID_IScheduleAction, site.put_void()), S_OK);
  EXPECT_EQ(site.get(), static_cast<IScheduleAction*>(plain.get()));

  auto provider = comrt::make<MockProvider>();
  item->SetSite(provider->identity());
  EXPECT_CALL(*provider, QueryService(service, IID_IScheduleAction, _))
      .WillOnce(Invoke([&](REFGUID, REFIID, void** ppv) {
        EXPECT_EQ(*ppv, nullptr);
        plain.copy_to(reinterpret_cast<IScheduleAction**>(ppv));
        return S_FALSE;
      }));
  EXPECT_EQ(item->QueryService(service, IID_IScheduleAction, site.put_void()), S_FALSE);
  EXPECT_EQ(site.get(), static_cast<IScheduleAction*>(plain.get()));
  item->SetSite(nullptr);

  EXPECT_EQ(item->GetClassID(nullptr), E_FAIL);
}

}  // namespace
