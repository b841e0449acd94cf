// The scheduler and its schedule file: an autosave decided while a load holds the file waits for
// it and then finds nothing to save, and a path with a NUL in it is refused.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <thread>

#include <comrt/event.h>

#include "items/schedule_items.h"
#include "scheduler_doubles.h"
#include "storage_double.h"

namespace {

using ::testing::_;
using ::testing::AnyNumber;
using ::testing::NiceMock;
using ::testing::Return;
using comrt::com_ptr;
using fakes::fixed_clock;
using namespace sched_test;

// A collection that reports itself dirty and says when it was asked.
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

  scratch_folder folder;
  com_ptr<tolvane::CScheduler> s = new_scheduler();
  std::shared_ptr<MockStorage> storage = std::make_shared<NiceMock<MockStorage>>();
};

TEST_F(ScheduleFileTest, AnAutosaveDecidedWhileALoadHoldsTheFileDoesNotFollowTheLoad) {
  fixed_clock at(kT0);
  const auto path = folder.path() / "schedule.xml";
  std::ofstream(path).put('\n');
  const comrt::bstr file(comrt::to_utf16(path.string()));

  // A dirty collection, never saved: an autosave is due until the load replaces it.
  comrt::event asked(comrt::event_reset::manual);
  auto dirty = comrt::make<MockItems>();
  EXPECT_CALL(*dirty, get_Dirty(_)).Times(AnyNumber()).WillRepeatedly([&](VARIANT_BOOL* p) {
    *p = VARIANT_TRUE;
    asked.set();
    return S_OK;
  });
  ASSERT_EQ(s->SetItems(dirty.get()), S_OK);

  comrt::event loading(comrt::event_reset::manual);
  comrt::event gate(comrt::event_reset::manual);
  EXPECT_CALL(*storage, load(comrt::to_utf16(path.string()), _)).WillOnce([&](auto&, IXMLArchiveSerializable*) {
    loading.set();
    EXPECT_TRUE(gate.wait(kHangGuard));
    s->SetItems(comrt::make<tolvane::CScheduleItems>().as<IScheduleItems>().get());  // as a load does
    return S_OK;
  });
  EXPECT_CALL(*storage, save(_, _)).Times(0);

  std::thread loader([&] { EXPECT_EQ(s->Load(file.get()), S_OK); });
  ASSERT_TRUE(loading.wait(kHangGuard));
  std::thread ticker([&] { EXPECT_EQ(s->SaveIfDirty(), S_OK); });
  EXPECT_TRUE(asked.wait(kHangGuard));
  gate.set();
  loader.join();
  ticker.join();

  EXPECT_EQ(s->LastFileTime(), static_cast<int64_t>(kT0)) << "the load's time";
}

TEST_F(ScheduleFileTest, LoadRefusesAPathWithANulAndKeepsTheOneBefore) {
  EXPECT_CALL(*storage, load(_, _)).Times(0);
  const std::u16string with_nul = comrt::to_utf16((folder.path() / "a").string()) + u'\0' + u"b.xml";
  EXPECT_EQ(s->Load(comrt::bstr(with_nul).get()), E_INVALIDARG);
  EXPECT_EQ(s->Save(), E_FAIL) << "no path was stored";

  const std::u16string good = comrt::to_utf16((folder.path() / "schedule.xml").string());
  ASSERT_EQ(s->Load(comrt::bstr(good).get()), S_OK);
  EXPECT_EQ(s->Load(comrt::bstr(with_nul).get()), E_INVALIDARG);
  EXPECT_CALL(*storage, save(good, _)).WillOnce(Return(S_OK));
  EXPECT_EQ(s->Save(), S_OK);
}

}  // namespace
