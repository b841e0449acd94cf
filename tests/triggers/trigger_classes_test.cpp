// Both trigger classes as a host meets them: created from the library's class list and driven
// late-bound through IDispatch by member name, and items carrying them run by the scheduler thread
// when the runtime clock reaches their time.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include <comrt/variant.h>

#include "fakes/schedule_doubles.h"
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

// Calls a member by name; a put passes its one argument as DISPID_PROPERTYPUT.
variant call(IDispatch* d, std::u16string name, WORD flags = DISPATCH_METHOD, std::vector<variant> args = {}) {
  LPOLESTR names[] = {name.data()};
  DISPID id = DISPID_UNKNOWN, put = DISPID_PROPERTYPUT;
  EXPECT_EQ(d->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), S_OK);
  std::reverse(args.begin(), args.end());
  const bool is_put = flags == DISPATCH_PROPERTYPUT;
  DISPPARAMS params{args.data(), is_put ? &put : nullptr, static_cast<UINT>(args.size()), is_put ? 1u : 0u};
  variant result;
  EXPECT_EQ(d->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result.put(), nullptr, nullptr), S_OK)
      << std::string(name.begin(), name.end());
  return result;
}
variant get(IDispatch* d, const char16_t* name) { return call(d, name, DISPATCH_PROPERTYGET); }

// The published DISPIDs and the property round trips are the type library's tests; here the
// members a script calls by name.
TEST(TriggerClasses, AScriptClientCreatesAndDrivesBothTriggersByName) {
  fakes::time_zone zone("UTC");
  fakes::fixed_clock clock(comrt::unix_to_ticks(1'700'000'000));
  const auto trigger = create(CLSID_ScheduleScheduleTrigger);
  call(trigger.get(), u"UTC", DISPATCH_PROPERTYPUT, {variant(true)});
  call(trigger.get(), u"Recurrence", DISPATCH_PROPERTYPUT, {variant(int32_t{tvScheduleScheduleTriggerRecurrenceCustom})});
  call(trigger.get(), u"RecurrenceTimeInterval", DISPATCH_PROPERTYPUT, {variant(int32_t{60})});
  call(trigger.get(), u"StartTimeAsUnixTime", DISPATCH_PROPERTYPUT, {variant(ULONGLONG{1'699'999'940})});
  call(trigger.get(), u"UpdateNextOccurrence");
  call(trigger.get(), u"IsSet");  // due: the grid point after 60 s is now
  call(trigger.get(), u"Next");
  const auto copy = create(CLSID_ScheduleScheduleTrigger);
  call(copy.get(), u"Copy", DISPATCH_METHOD, {variant(call(trigger.get(), u"Clone").punkVal)});
  EXPECT_EQ(get(copy.get(), u"LastOccurrenceAsUnixTime").ullVal, 1'700'000'000u);
  EXPECT_NEAR(get(copy.get(), u"LastOccurrence").dblVal, 25569.0 + 1'700'000'000 / 86400.0, 1e-6);

  const auto once = create(CLSID_ScheduleInstantiationTrigger);
  call(once.get(), u"Next");
  call(once.get(), u"IsSet");
  EXPECT_EQ(once.as<IScheduleTrigger>()->IsSet(), S_FALSE);
}

}  // namespace
