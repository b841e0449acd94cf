// The type library: the published DISPIDs, and the automation forms of identifiers, times,
// statuses and flags.
#include <gtest/gtest.h>

#include <string>

#include <comrt/variant.h>

#include "Scheduler.h"
#include "fakes/dispatch_client.h"
#include "items/schedule_item.h"
#include "items/schedule_items.h"
#include "typelib.h"

namespace {

TEST(TypeLibrary, MembersCarryTheirPublishedDispids) {
  const comrt::interface_info& item = comrt::describe<IScheduleItem>();
  const comrt::interface_info& trigger = comrt::describe<IScheduleScheduleTrigger>();
  const comrt::interface_info& items = comrt::describe<IScheduleItems>();
  const comrt::interface_info& events = tolvane::describe_schedule_items_dispatch_events();
  const std::tuple<const comrt::interface_info&, const char16_t*, DISPID> members[] = {
      {comrt::describe<IScheduler>(), u"Items", 1}, {comrt::describe<IScheduler>(), u"Load", 100},
      {comrt::describe<IScheduler>(), u"RunItem", 104}, {item, u"Id", 1}, {item, u"Save", 2}, {item, u"Triggers", 3},
      {item, u"Actions", 4}, {item, u"LastRunTime", 5}, {item, u"Enable", 6}, {item, u"Name", 7},
      {item, u"Description", 8}, {item, u"Created", 10}, {item, u"LastTaskResult", 11}, {item, u"ScheduleRun", 12},
      {item, u"Run", 100}, {item, u"Copy", 101}, {item, u"Clone", 102}, {item, u"Update", 103},
      {items, u"Item", DISPID_VALUE}, {items, u"_NewEnum", DISPID_NEWENUM}, {items, u"Count", 1},
      {items, u"NewEnum", 4}, {items, u"AddItem", 0x65}, {items, u"RemoveItem", 0x66},
      {comrt::describe<IScheduleTriggers>(), u"IsSet", 0x11},
      {comrt::describe<IScheduleTriggers>(), u"NextRunTime", 2}, {comrt::describe<IScheduleActions>(), u"Clone", 0x68},
      {trigger, u"Name", 1}, {trigger, u"Clone", 0xd}, {trigger, u"IsSet", 0xe}, {trigger, u"Next", 0xf},
      {trigger, u"ToString", 0x10}, {trigger, u"Copy", 0xb}, {trigger, u"Enable", 0x13}, {trigger, u"StartTime", 0x1a},
      {trigger, u"StartTimeAsUnixTime", 0x1b}, {trigger, u"ExpireTime", 0x66}, {trigger, u"LastOccurrence", 0x6a},
      {trigger, u"RecurrenceTimeInterval", 0x16}, {trigger, u"Recurrence", 0x18}, {trigger, u"WeekMask", 0x19},
      {trigger, u"UTC", 0x1f}, {trigger, u"ChangeUTC", 0x32}, {trigger, u"UpdateNextOccurrence", 0x33},
      {comrt::describe<IScheduleMonitorTrigger>(), u"Path", 7}, {comrt::describe<IScheduleQueueAction>(), u"Item", 4},
      {comrt::describe<IScheduleQueueAction>(), u"QueueItemPosition", 6}, {events, u"OnAddItem", 1},
      {events, u"OnRemoveItem", 2}, {events, u"OnUpdateItem", 3}, {events, u"OnRemoveAllItems", 4}};
  for (const auto& [info, name, id] : members) {
    const comrt::member_info* found = info.find(name);
    ASSERT_NE(found, nullptr) << std::string(name, name + std::char_traits<char16_t>::length(name));
    EXPECT_EQ(found->id, id) << std::string(name, name + std::char_traits<char16_t>::length(name));
  }
}

TEST(TypeLibrary, IdentifiersTimesStatusesAndFlagsTravelAsTheirAutomationFormsUnderOneDispid) {
  auto item = comrt::make<tolvane::CScheduleItem>();
  auto items = comrt::make<tolvane::CScheduleItems>();
  IDispatch* const d = static_cast<IScheduleItem*>(item.get());
  const auto round_trip = [&](IDispatch* target, const char16_t* name, comrt::variant in) {
    EXPECT_EQ(fakes::by_name::put(target, name, in), S_OK);
    comrt::variant out = fakes::by_name::get(target, name);
    EXPECT_EQ(out.vt, in.vt);
    return out;
  };
  const char16_t* id_text = u"{6B1E2C3A-0D4F-4A5B-9C8D-7E6F5A4B3C2D}";
  EXPECT_EQ(comrt::bstr_view(round_trip(d, u"Id", comrt::variant(id_text)).bstrVal), id_text);
  EXPECT_EQ(round_trip(d, u"LastRunTime", comrt::variant(ULONGLONG{0x0123456789ABCDEFull})).ullVal, 0x0123456789ABCDEFull);
  EXPECT_EQ(round_trip(d, u"LastTaskResult", comrt::variant(E_ABORT)).lVal, E_ABORT);
  EXPECT_EQ(round_trip(static_cast<IScheduleItems*>(items.get()), u"Dirty", comrt::variant(true)).boolVal, VARIANT_TRUE);
  FILETIME t{};
  item->get_LastRunTime(&t);
  EXPECT_EQ(t.dwHighDateTime, 0x01234567u);
}

}  // namespace
