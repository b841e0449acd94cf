// Both trigger classes as a host meets them: created from the library's class list and driven
// late-bound through IDispatch by member name, and items carrying them run by the scheduler thread
// when the runtime clock reaches their time.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include <comrt/variant.h>

#include "scheduler/scheduler_doubles.h"
#include "server/module.h"
#include "triggers/instantiation_trigger.h"
#include "triggers/schedule_trigger.h"

namespace {

using comrt::com_ptr;
using comrt::variant;

com_ptr<IDispatch> create(const CLSID& clsid) {
  com_ptr<IClassFactory> factory;
  EXPECT_EQ(tolvane::CSchedulerModule::instance().get_class_object(clsid, IID_IClassFactory, factory.put_void()), S_OK);
  com_ptr<IDispatch> object;
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, object.put_void()), S_OK);
  return object;
}

DISPID dispid(IDispatch* d, std::u16string name) {
  LPOLESTR names[] = {name.data()};
  DISPID id = DISPID_UNKNOWN;
  EXPECT_EQ(d->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), S_OK);
  return id;
}

// Calls a member by name; a put passes its one argument as DISPID_PROPERTYPUT.
variant call(IDispatch* d, const char16_t* name, WORD flags, std::vector<variant> args = {}) {
  std::reverse(args.begin(), args.end());
  DISPID put = DISPID_PROPERTYPUT;
  const bool is_put = flags == DISPATCH_PROPERTYPUT;
  DISPPARAMS params{args.data(), is_put ? &put : nullptr, static_cast<UINT>(args.size()), is_put ? 1u : 0u};
  variant result;
  EXPECT_EQ(d->Invoke(dispid(d, name), IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result.put(), nullptr, nullptr),
            S_OK)
      << std::string(name, name + std::char_traits<char16_t>::length(name));
  return result;
}
variant get(IDispatch* d, const char16_t* name) { return call(d, name, DISPATCH_PROPERTYGET); }
void put(IDispatch* d, const char16_t* name, variant v) { call(d, name, DISPATCH_PROPERTYPUT, {std::move(v)}); }
variant method(IDispatch* d, const char16_t* name, std::vector<variant> args = {}) {
  return call(d, name, DISPATCH_METHOD, std::move(args));
}

// The published DISPIDs are the type library's tests; here every property goes there and back by name.
TEST(TriggerClasses, AScriptClientCreatesAndDrivesBothTriggersByName) {
  fakes::time_zone zone("UTC");
  fakes::fixed_clock clock(comrt::unix_to_ticks(1'700'000'000));
  const auto trigger = create(CLSID_ScheduleScheduleTrigger);
  const auto once = create(CLSID_ScheduleInstantiationTrigger);
  const std::pair<const char16_t*, variant> properties[] = {
      {u"Enable", variant(true)}, {u"StartTime", variant(25569.5)},  // 1970-01-01 12:00
      {u"ExpireTime", variant(25569.0)}, {u"LastOccurrence", variant(25569.25)},
      {u"RecurrenceTimeInterval", variant(int32_t{60})},
      {u"Recurrence", variant(int32_t{tvScheduleScheduleTriggerRecurrenceCustom})}, {u"WeekMask", variant(int32_t{34})},
      {u"UTC", variant(true)}, {u"ExpireTimeAsUnixTime", variant(ULONGLONG{0})},
      {u"LastOccurrenceAsUnixTime", variant(ULONGLONG{0})}, {u"StartTimeAsUnixTime", variant(ULONGLONG{1'699'999'940})}};
  for (const auto& [name, value] : properties) {
    put(trigger.get(), name, value);
    const variant back = get(trigger.get(), name);
    const bool same = value.vt == VT_R8 ? back.dblVal == value.dblVal
                      : value.vt == VT_BOOL ? back.boolVal == value.boolVal
                      : value.vt == VT_I4 ? back.lVal == value.lVal : back.ullVal == value.ullVal;
    EXPECT_TRUE(same) << std::string(name, name + std::char_traits<char16_t>::length(name));
  }
  method(trigger.get(), u"UpdateNextOccurrence");
  method(trigger.get(), u"IsSet");  // due: the grid point after 60 s is now
  method(trigger.get(), u"Next");
  EXPECT_EQ(get(trigger.get(), u"LastOccurrenceAsUnixTime").ullVal, 1'700'000'000u);
  EXPECT_EQ(method(trigger.get(), u"ToString").vt, VT_BSTR);
  method(trigger.get(), u"ChangeUTC", {variant(false)});
  EXPECT_EQ(get(trigger.get(), u"UTC").boolVal, VARIANT_FALSE);
  const auto copy = create(CLSID_ScheduleScheduleTrigger);
  method(copy.get(), u"Copy", {variant(method(trigger.get(), u"Clone").punkVal)});
  EXPECT_EQ(get(copy.get(), u"LastOccurrenceAsUnixTime").ullVal, 1'700'000'000u);

  method(once.get(), u"Next");
  method(once.get(), u"IsSet");
  EXPECT_EQ(once.as<IScheduleTrigger>()->IsSet(), S_FALSE);
}

using TriggeredItems = sched_test::SchedulerFixture;

TEST_F(TriggeredItems, ItemsRunWhenTheClockReachesTheirTimeAndOnceAfterTheyAreAdded) {
  using namespace std::chrono_literals;
  fakes::time_zone zone("Europe/Berlin");
  constexpr int64_t kNow = 1'717'236'000;  // 2024-06-01 12:00 in Berlin
  fakes::fixed_clock clock(comrt::unix_to_ticks(kNow));
  auto s = new_scheduler();

  auto daily = comrt::make<tolvane::CScheduleScheduleTrigger>();
  daily->put_UTC(VARIANT_TRUE);
  daily->put_Recurrence(tvScheduleScheduleTriggerRecurrenceDaily);
  daily->put_StartTimeAsUnixTime(kNow + 60);
  ASSERT_EQ(daily->UpdateNextOccurrence(), S_OK);
  auto timed = sched_test::new_item();
  sched_test::add_action(timed.get(), 1, log);
  ASSERT_EQ(sched_test::triggers_of(timed.get())->Add(daily.get()), S_OK);
  auto once = sched_test::new_item();
  sched_test::add_action(once.get(), 2, log);
  ASSERT_EQ(sched_test::triggers_of(once.get())->Add(comrt::make<tolvane::CScheduleInstantiationTrigger>().get()),
            S_OK);
  ASSERT_EQ(s->AddItem(timed.get()), S_OK);
  ASSERT_EQ(s->AddItem(once.get()), S_OK);

  advance(s.get(), 500ms);
  EXPECT_EQ(log->snapshot(), std::vector<int>{2}) << "the instantiation trigger fires on the first tick";
  RtAdvanceClock(59 * comrt::ticks_per_second);
  advance(s.get(), 500ms);
  EXPECT_EQ(log->snapshot(), std::vector<int>{2}) << "a second early: nothing runs";

  RtAdvanceClock(comrt::ticks_per_second);
  advance(s.get(), 500ms);
  EXPECT_EQ(log->snapshot(), (std::vector<int>{2, 1}));
  EXPECT_EQ(sched_test::last_run(timed.get()), comrt::unix_to_ticks(kNow + 60));
  ULONGLONG last = 0, next = 0;
  daily->get_LastOccurrenceAsUnixTime(&last);
  sched_test::triggers_of(timed.get())->get_NextRunTimeAsUnixTime(&next);
  EXPECT_EQ((std::pair{last, next}), (std::pair<ULONGLONG, ULONGLONG>{kNow + 60, kNow + 60 + 86400}));

  advance(s.get(), 500ms);
  EXPECT_EQ(log->snapshot(), (std::vector<int>{2, 1})) << "each ran once";
}

}  // namespace
