// The scheduler and its schedule file: an autosave decided while a load holds the file finds nothing
// to save once the load is done.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include <comrt/event.h>

#include "items/schedule_items.h"
#include "scheduler_doubles.h"
#include "storage_double.h"

namespace {

using ::testing::_;
using namespace sched_test;

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

class ScheduleFileTest : public SchedulerFixture {
 protected:
  void SetUp() override { s->SetStorage(storage); }
  std::u16string path(const char* name) const { return comrt::to_utf16((folder.path() / name).string()); }

  std::shared_ptr<MockStorage> storage = std::make_shared<MockStorage>();
};

TEST_F(ScheduleFileTest, AnAutosaveDecidedWhileALoadHoldsTheFileDoesNotFollowTheLoad) {
  fakes::fixed_clock at(kT0);
  std::ofstream(folder.path() / "schedule.xml").put('\n');
  comrt::event asked(comrt::event_reset::manual), loading(comrt::event_reset::manual),
      gate(comrt::event_reset::manual);
  // Dirty and never saved: an autosave is due until the load replaces the collection.
  auto dirty = comrt::make<MockItems>();
  EXPECT_CALL(*dirty, get_Dirty(_)).WillRepeatedly([&](VARIANT_BOOL* p) {
    *p = VARIANT_TRUE;
    asked.set();
    return S_OK;
  });
  ASSERT_EQ(s->SetItems(dirty.get()), S_OK);
  EXPECT_CALL(*storage, load(path("schedule.xml"), _)).WillOnce([&](auto&, auto*) {
    loading.set();
    EXPECT_TRUE(gate.wait(kHangGuard));
    return s->SetItems(comrt::make<tolvane::CScheduleItems>().as<IScheduleItems>().get());
  });
  EXPECT_CALL(*storage, save(_, _)).Times(0);

  std::thread loader([&] { EXPECT_EQ(s->Load(comrt::bstr(path("schedule.xml")).get()), S_OK); });
  ASSERT_TRUE(loading.wait(kHangGuard));
  std::thread ticker([&] { EXPECT_EQ(s->SaveIfDirty(), S_OK); });
  EXPECT_TRUE(asked.wait(kHangGuard));
  gate.set();
  loader.join();
  ticker.join();
  EXPECT_EQ(s->LastFileTime(), static_cast<int64_t>(kT0)) << "the load's time";
}

}  // namespace
