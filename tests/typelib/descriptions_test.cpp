// The interface descriptions, driven the way a script host drives the component: members looked up
// by name and called through IDispatch::Invoke on objects that implement the interfaces.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include <comrt/variant.h>

#include "typelib.h"

namespace {

using testing::_;
using testing::DoAll;
using testing::Return;
using testing::SetArgPointee;

constexpr GUID kSampleId{0x6B1E2C3A, 0x0D4F, 0x4A5B, {0x9C, 0x8D, 0x7E, 0x6F, 0x5A, 0x4B, 0x3C, 0x2D}};
constexpr char16_t kSampleIdText[] = u"{6B1E2C3A-0D4F-4A5B-9C8D-7E6F5A4B3C2D}";

// ---------------------------------------------------------------------------------------------
// Late binding, as a script host does it.

DISPID dispid_of(IDispatch* target, std::u16string name) {
  LPOLESTR names[] = {name.data()};
  DISPID id = DISPID_UNKNOWN;
  const HRESULT hr = target->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  EXPECT_EQ(hr, S_OK) << "no member named " << std::string(name.begin(), name.end());
  return id;
}

// Calls the member `name` with `args` in declaration order; a property put passes the last one as
// the named argument DISPID_PROPERTYPUT.
HRESULT call(IDispatch* target, const std::u16string& name, WORD flags, std::vector<comrt::variant> args = {},
             comrt::variant* result = nullptr) {
  const DISPID id = dispid_of(target, name);
  std::reverse(args.begin(), args.end());
  DISPID put_id = DISPID_PROPERTYPUT;
  const bool put = flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF);
  DISPPARAMS params{args.data(), put ? &put_id : nullptr, static_cast<UINT>(args.size()), put ? 1u : 0u};
  UINT arg_error = 0;
  return target->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result ? result->put() : nullptr,
                        nullptr, &arg_error);
}

comrt::variant get(IDispatch* target, const std::u16string& name) {
  comrt::variant result;
  EXPECT_EQ(call(target, name, DISPATCH_PROPERTYGET, {}, &result), S_OK);
  return result;
}

// Checks that `name` answers with `id`, and that get, put (and putref) or a method call reach the
// object with S_OK.
struct member_check {
  IDispatch* target;
  void property(const std::u16string& name, DISPID id, comrt::variant value) const {
    EXPECT_EQ(dispid_of(target, name), id);
    comrt::variant result;
    EXPECT_EQ(call(target, name, DISPATCH_PROPERTYGET, {}, &result), S_OK);
    std::vector<comrt::variant> args;
    args.push_back(std::move(value));
    EXPECT_EQ(call(target, name, DISPATCH_PROPERTYPUT, std::move(args)), S_OK);
  }
  void object_property(const std::u16string& name, DISPID id) const {
    property(name, id, comrt::variant());
    EXPECT_EQ(call(target, name, DISPATCH_PROPERTYPUTREF, {comrt::variant()}), S_OK);
  }
  void read_only(const std::u16string& name, DISPID id) const {
    EXPECT_EQ(dispid_of(target, name), id);
    get(target, name);
  }
  void method(const std::u16string& name, DISPID id, std::vector<comrt::variant> args = {}) const {
    EXPECT_EQ(dispid_of(target, name), id);
    comrt::variant result;
    EXPECT_EQ(call(target, name, DISPATCH_METHOD, std::move(args), &result), S_OK);
  }
};

comrt::variant ui8(ULONGLONG v) { return comrt::variant(v); }

// ---------------------------------------------------------------------------------------------
// Objects implementing the interfaces.

class FakeScheduleItem final : public comrt::implements<FakeScheduleItem, IScheduleItem> {
 public:
  MOCK_METHOD(HRESULT, get_Id, (GUID*), (override));
  MOCK_METHOD(HRESULT, put_Id, (GUID), (override));
  MOCK_METHOD(HRESULT, get_Name, (BSTR*), (override));
  MOCK_METHOD(HRESULT, put_Name, (BSTR), (override));
  MOCK_METHOD(HRESULT, get_Description, (BSTR*), (override));
  MOCK_METHOD(HRESULT, put_Description, (BSTR), (override));
  MOCK_METHOD(HRESULT, get_Save, (VARIANT_BOOL*), (override));
  MOCK_METHOD(HRESULT, put_Save, (VARIANT_BOOL), (override));
  MOCK_METHOD(HRESULT, get_Enable, (VARIANT_BOOL*), (override));
  MOCK_METHOD(HRESULT, put_Enable, (VARIANT_BOOL), (override));
  MOCK_METHOD(HRESULT, get_Triggers, (IScheduleTriggers**), (override));
  MOCK_METHOD(HRESULT, put_Triggers, (IScheduleTriggers*), (override));
  MOCK_METHOD(HRESULT, get_Actions, (IScheduleActions**), (override));
  MOCK_METHOD(HRESULT, put_Actions, (IScheduleActions*), (override));
  MOCK_METHOD(HRESULT, get_LastRunTime, (FILETIME*), (override));
  MOCK_METHOD(HRESULT, put_LastRunTime, (FILETIME), (override));
  MOCK_METHOD(HRESULT, get_Created, (FILETIME*), (override));
  MOCK_METHOD(HRESULT, put_Created, (FILETIME), (override));
  MOCK_METHOD(HRESULT, get_LastTaskResult, (HRESULT*), (override));
  MOCK_METHOD(HRESULT, put_LastTaskResult, (HRESULT), (override));
  MOCK_METHOD(HRESULT, get_ScheduleRun, (VARIANT_BOOL*), (override));
  MOCK_METHOD(HRESULT, put_ScheduleRun, (VARIANT_BOOL), (override));
  MOCK_METHOD(HRESULT, Run, (IUnknown*), (override));
  MOCK_METHOD(HRESULT, Copy, (IScheduleItem*), (override));
  MOCK_METHOD(HRESULT, Clone, (IScheduleItem**), (override));
  MOCK_METHOD(HRESULT, Update, (), (override));
};

class FakeTimeTrigger final : public comrt::implements<FakeTimeTrigger, IScheduleScheduleTrigger> {
 public:
  MOCK_METHOD(HRESULT, get_Name, (BSTR*), (override));
  MOCK_METHOD(HRESULT, Clone, (IScheduleTrigger**), (override));
  MOCK_METHOD(HRESULT, IsSet, (), (override));
  MOCK_METHOD(HRESULT, Next, (), (override));
  MOCK_METHOD(HRESULT, ToString, (BSTR*), (override));
  MOCK_METHOD(HRESULT, Copy, (IScheduleScheduleTrigger*), (override));
  MOCK_METHOD(HRESULT, get_Enable, (VARIANT_BOOL*), (override));
  MOCK_METHOD(HRESULT, put_Enable, (VARIANT_BOOL), (override));
  MOCK_METHOD(HRESULT, get_StartTime, (DATE*), (override));
  MOCK_METHOD(HRESULT, put_StartTime, (DATE), (override));
  MOCK_METHOD(HRESULT, get_StartTimeAsUnixTime, (ULONGLONG*), (override));
  MOCK_METHOD(HRESULT, put_StartTimeAsUnixTime, (ULONGLONG), (override));
  MOCK_METHOD(HRESULT, get_ExpireTime, (DATE*), (override));
  MOCK_METHOD(HRESULT, put_ExpireTime, (DATE), (override));
  MOCK_METHOD(HRESULT, get_ExpireTimeAsUnixTime, (ULONGLONG*), (override));
  MOCK_METHOD(HRESULT, put_ExpireTimeAsUnixTime, (ULONGLONG), (override));
  MOCK_METHOD(HRESULT, get_LastOccurrence, (DATE*), (override));
  MOCK_METHOD(HRESULT, put_LastOccurrence, (DATE), (override));
  MOCK_METHOD(HRESULT, get_LastOccurrenceAsUnixTime, (ULONGLONG*), (override));
  MOCK_METHOD(HRESULT, put_LastOccurrenceAsUnixTime, (ULONGLONG), (override));
  MOCK_METHOD(HRESULT, get_RecurrenceTimeInterval, (LONG*), (override));
  MOCK_METHOD(HRESULT, put_RecurrenceTimeInterval, (LONG), (override));
  MOCK_METHOD(HRESULT, get_Recurrence, (ScheduleScheduleTriggerRecurrence*), (override));
  MOCK_METHOD(HRESULT, put_Recurrence, (ScheduleScheduleTriggerRecurrence), (override));
  MOCK_METHOD(HRESULT, get_WeekMask, (ScheduleScheduleTriggerWeekMask*), (override));
  MOCK_METHOD(HRESULT, put_WeekMask, (ScheduleScheduleTriggerWeekMask), (override));
  MOCK_METHOD(HRESULT, get_UTC, (VARIANT_BOOL*), (override));
  MOCK_METHOD(HRESULT, put_UTC, (VARIANT_BOOL), (override));
  MOCK_METHOD(HRESULT, ChangeUTC, (VARIANT_BOOL), (override));
  MOCK_METHOD(HRESULT, UpdateNextOccurrence, (), (override));
};

// ---------------------------------------------------------------------------------------------
// The schedule item through IDispatch.

TEST(ScheduleItemDispatch, EveryMemberIsReachableByNameUnderItsDispid) {
  auto item = comrt::make<FakeScheduleItem>();
  EXPECT_CALL(*item, get_Id(_));
  EXPECT_CALL(*item, put_Id(_));
  EXPECT_CALL(*item, get_Name(_));
  EXPECT_CALL(*item, put_Name(_));
  EXPECT_CALL(*item, get_Description(_));
  EXPECT_CALL(*item, put_Description(_));
  EXPECT_CALL(*item, get_Save(_));
  EXPECT_CALL(*item, put_Save(_));
  EXPECT_CALL(*item, get_Enable(_));
  EXPECT_CALL(*item, put_Enable(_));
  EXPECT_CALL(*item, get_Triggers(_));
  EXPECT_CALL(*item, put_Triggers(nullptr)).Times(2);
  EXPECT_CALL(*item, get_Actions(_));
  EXPECT_CALL(*item, put_Actions(nullptr)).Times(2);
  EXPECT_CALL(*item, get_LastRunTime(_));
  EXPECT_CALL(*item, put_LastRunTime(_));
  EXPECT_CALL(*item, get_Created(_));
  EXPECT_CALL(*item, put_Created(_));
  EXPECT_CALL(*item, get_LastTaskResult(_));
  EXPECT_CALL(*item, put_LastTaskResult(_));
  EXPECT_CALL(*item, get_ScheduleRun(_));
  EXPECT_CALL(*item, put_ScheduleRun(_));
  EXPECT_CALL(*item, Run(nullptr));
  EXPECT_CALL(*item, Copy(nullptr));
  EXPECT_CALL(*item, Clone(_));
  EXPECT_CALL(*item, Update());

  const member_check check{item.get()};
  check.property(u"Id", 1, comrt::variant(kSampleIdText));
  check.property(u"Name", 7, comrt::variant(u"Nightly upload"));
  check.property(u"Description", 8, comrt::variant(u""));
  check.property(u"Save", 2, comrt::variant(true));
  check.property(u"Enable", 6, comrt::variant(false));
  check.object_property(u"Triggers", 3);
  check.object_property(u"Actions", 4);
  check.property(u"LastRunTime", 5, ui8(133590240000000000ull));
  check.property(u"Created", 10, ui8(0));
  check.property(u"LastTaskResult", 11, comrt::variant(0));
  check.property(u"ScheduleRun", 12, comrt::variant(true));
  check.method(u"Run", 100, {comrt::variant()});
  check.method(u"Copy", 101, {comrt::variant()});
  check.method(u"Clone", 102);
  check.method(u"Update", 103);
}

TEST(ScheduleItemDispatch, IdentifiersTimesAndStatusesTravelAsTheirAutomationForms) {
  auto item = comrt::make<FakeScheduleItem>();

  // GUID: braced text both ways.
  EXPECT_CALL(*item, get_Id(_)).WillOnce(DoAll(SetArgPointee<0>(kSampleId), Return(S_OK)));
  comrt::variant id = get(item.get(), u"Id");
  ASSERT_EQ(id.vt, VT_BSTR);
  EXPECT_EQ(comrt::bstr_view(id.bstrVal), kSampleIdText);
  GUID stored{};
  EXPECT_CALL(*item, put_Id(_)).WillOnce([&](GUID g) {
    stored = g;
    return S_OK;
  });
  EXPECT_EQ(call(item.get(), u"Id", DISPATCH_PROPERTYPUT, {comrt::variant(kSampleIdText)}), S_OK);
  EXPECT_TRUE(stored == kSampleId);

  // FILETIME: the 64-bit tick count, high word first.
  EXPECT_CALL(*item, get_LastRunTime(_))
      .WillOnce(DoAll(SetArgPointee<0>(FILETIME{0x89ABCDEF, 0x01234567}), Return(S_OK)));
  comrt::variant last_run = get(item.get(), u"LastRunTime");
  ASSERT_EQ(last_run.vt, VT_UI8);
  EXPECT_EQ(last_run.ullVal, 0x0123456789ABCDEFull);
  FILETIME created{};
  EXPECT_CALL(*item, put_Created(_)).WillOnce([&](FILETIME t) {
    created = t;
    return S_OK;
  });
  EXPECT_EQ(call(item.get(), u"Created", DISPATCH_PROPERTYPUT, {ui8(0x0000000200000001ull)}), S_OK);
  EXPECT_EQ(created.dwLowDateTime, 1u);
  EXPECT_EQ(created.dwHighDateTime, 2u);

  // HRESULT: a 32-bit integer.
  EXPECT_CALL(*item, get_LastTaskResult(_)).WillOnce(DoAll(SetArgPointee<0>(E_FAIL), Return(S_OK)));
  comrt::variant status = get(item.get(), u"LastTaskResult");
  ASSERT_EQ(status.vt, VT_I4);
  EXPECT_EQ(status.lVal, E_FAIL);

  // Objects: a clone comes back as a dispatch pointer; an item argument arrives as that item.
  auto other = comrt::make<FakeScheduleItem>();
  EXPECT_CALL(*item, Clone(_)).WillOnce([&](IScheduleItem** out) {
    other.copy_to(out);
    return S_OK;
  });
  comrt::variant clone;
  EXPECT_EQ(call(item.get(), u"Clone", DISPATCH_METHOD, {}, &clone), S_OK);
  ASSERT_EQ(clone.vt, VT_DISPATCH);
  EXPECT_EQ(clone.pdispVal, static_cast<IDispatch*>(other.get()));
  EXPECT_CALL(*item, Copy(static_cast<IScheduleItem*>(other.get()))).WillOnce(Return(S_OK));
  EXPECT_EQ(call(item.get(), u"Copy", DISPATCH_METHOD, {comrt::variant(other)}), S_OK);
}

// ---------------------------------------------------------------------------------------------
// The time trigger through IDispatch: its own members and those of IScheduleTrigger.

TEST(TimeTriggerDispatch, EveryMemberIsReachableByNameUnderItsDispid) {
  auto trigger = comrt::make<FakeTimeTrigger>();
  EXPECT_CALL(*trigger, get_Name(_));
  EXPECT_CALL(*trigger, Clone(_));
  EXPECT_CALL(*trigger, IsSet());
  EXPECT_CALL(*trigger, Next());
  EXPECT_CALL(*trigger, ToString(_));
  EXPECT_CALL(*trigger, Copy(nullptr));
  EXPECT_CALL(*trigger, get_Enable(_));
  EXPECT_CALL(*trigger, put_Enable(_));
  EXPECT_CALL(*trigger, get_StartTime(_));
  EXPECT_CALL(*trigger, put_StartTime(_));
  EXPECT_CALL(*trigger, get_StartTimeAsUnixTime(_));
  EXPECT_CALL(*trigger, put_StartTimeAsUnixTime(_));
  EXPECT_CALL(*trigger, get_ExpireTime(_));
  EXPECT_CALL(*trigger, put_ExpireTime(_));
  EXPECT_CALL(*trigger, get_ExpireTimeAsUnixTime(_));
  EXPECT_CALL(*trigger, put_ExpireTimeAsUnixTime(_));
  EXPECT_CALL(*trigger, get_LastOccurrence(_));
  EXPECT_CALL(*trigger, put_LastOccurrence(_));
  EXPECT_CALL(*trigger, get_LastOccurrenceAsUnixTime(_));
  EXPECT_CALL(*trigger, put_LastOccurrenceAsUnixTime(_));
  EXPECT_CALL(*trigger, get_RecurrenceTimeInterval(_));
  EXPECT_CALL(*trigger, put_RecurrenceTimeInterval(_));
  EXPECT_CALL(*trigger, get_Recurrence(_));
  EXPECT_CALL(*trigger, put_Recurrence(_));
  EXPECT_CALL(*trigger, get_WeekMask(_));
  EXPECT_CALL(*trigger, put_WeekMask(_));
  EXPECT_CALL(*trigger, get_UTC(_));
  EXPECT_CALL(*trigger, put_UTC(_));
  EXPECT_CALL(*trigger, ChangeUTC(_));
  EXPECT_CALL(*trigger, UpdateNextOccurrence());

  const member_check check{trigger.get()};
  check.read_only(u"Name", 1);
  check.method(u"Clone", 0xd);
  check.method(u"IsSet", 0xe);
  check.method(u"Next", 0xf);
  check.method(u"ToString", 0x10);
  check.method(u"Copy", 0xb, {comrt::variant()});
  check.property(u"Enable", 0x13, comrt::variant(true));
  check.property(u"StartTime", 0x1a, comrt::variant::from_date(45413.5));
  check.property(u"StartTimeAsUnixTime", 0x1b, ui8(1714550400));
  check.property(u"ExpireTime", 0x66, comrt::variant::from_date(0));
  check.property(u"ExpireTimeAsUnixTime", 0x67, ui8(0));
  check.property(u"LastOccurrence", 0x6a, comrt::variant::from_date(0));
  check.property(u"LastOccurrenceAsUnixTime", 0x6b, ui8(0));
  check.property(u"RecurrenceTimeInterval", 0x16, comrt::variant(3600));
  check.property(u"Recurrence", 0x18, comrt::variant(2));
  check.property(u"WeekMask", 0x19, comrt::variant(34));
  check.property(u"UTC", 0x1f, comrt::variant(false));
  check.method(u"ChangeUTC", 0x32, {comrt::variant(true)});
  check.method(u"UpdateNextOccurrence", 0x33);
}

TEST(TimeTriggerDispatch, DatesUnixTimesAndEnumerationsKeepTheirTypes) {
  auto trigger = comrt::make<FakeTimeTrigger>();
  EXPECT_CALL(*trigger, get_StartTime(_)).WillOnce(DoAll(SetArgPointee<0>(45413.25), Return(S_OK)));
  comrt::variant start = get(trigger.get(), u"StartTime");
  ASSERT_EQ(start.vt, VT_DATE);
  EXPECT_EQ(start.date, 45413.25);

  EXPECT_CALL(*trigger, get_StartTimeAsUnixTime(_))
      .WillOnce(DoAll(SetArgPointee<0>(0x1'0000'0001ull), Return(S_OK)));
  comrt::variant unix_time = get(trigger.get(), u"StartTimeAsUnixTime");
  ASSERT_EQ(unix_time.vt, VT_UI8);
  EXPECT_EQ(unix_time.ullVal, 0x1'0000'0001ull);

  EXPECT_CALL(*trigger, get_WeekMask(_))
      .WillOnce(DoAll(SetArgPointee<0>(static_cast<ScheduleScheduleTriggerWeekMask>(34)), Return(S_OK)));
  comrt::variant mask = get(trigger.get(), u"WeekMask");
  ASSERT_EQ(mask.vt, VT_I4);
  EXPECT_EQ(mask.lVal, 34);

  // Script values of other types are converted to the parameter's type first.
  EXPECT_CALL(*trigger, put_Recurrence(tvScheduleScheduleTriggerRecurrenceWeekly)).WillOnce(Return(S_OK));
  EXPECT_EQ(call(trigger.get(), u"Recurrence", DISPATCH_PROPERTYPUT, {comrt::variant(u"3")}), S_OK);
  EXPECT_CALL(*trigger, put_ExpireTime(45413.5)).WillOnce(Return(S_OK));
  EXPECT_EQ(call(trigger.get(), u"ExpireTime", DISPATCH_PROPERTYPUT, {comrt::variant(45413.5)}), S_OK);
}

// ---------------------------------------------------------------------------------------------
// The other dual interfaces, checked on their descriptions: member names and DISPIDs as published.

struct expected_member {
  const char16_t* name;
  DISPID id;
};

void expect_members(const comrt::interface_info& info, std::initializer_list<expected_member> members) {
  for (const auto& m : members) {
    const comrt::member_info* found = info.find(m.name);
    ASSERT_NE(found, nullptr) << std::string(info.name().begin(), info.name().end()) << " lacks a member";
    EXPECT_EQ(found->id, m.id) << std::string(found->name.begin(), found->name.end());
    EXPECT_NE(found->invoke, nullptr);
  }
}

TEST(InterfaceDescriptions, CollectionsExposeTheDefaultMemberAndTheScriptEnumerator) {
  for (const auto* info : {&comrt::describe<IScheduleItems>(), &comrt::describe<IScheduleTriggers>(),
                           &comrt::describe<IScheduleActions>()}) {
    expect_members(*info, {{u"Item", DISPID_VALUE}, {u"_NewEnum", DISPID_NEWENUM}, {u"Count", 1}, {u"NewEnum", 4}});
    EXPECT_TRUE(info->find(u"_NewEnum")->flags & FUNCFLAG_FRESTRICTED);
    EXPECT_EQ(info->find(u"Item")->params.size(), 1u);
    EXPECT_EQ(info->find(u"Item")->params[0].vt, VT_I4);
  }
}

TEST(InterfaceDescriptions, MembersCarryTheirPublishedDispids) {
  expect_members(comrt::describe<IScheduler>(), {{u"Items", 1}, {u"Load", 100}, {u"Save", 101}, {u"AddItem", 102},
                                                 {u"RemoveItem", 103}, {u"RunItem", 104}});
  expect_members(comrt::describe<IScheduleTriggers>(),
                 {{u"NextRunTime", 2}, {u"Copy", 0xb}, {u"IsSet", 0x11}, {u"HasNextRunTime", 0x13}});
  expect_members(comrt::describe<IScheduleActions>(), {{u"Clone", 0x68}, {u"Copy", 0x69}, {u"Remove", 0x66}});
  expect_members(comrt::describe<IScheduleMonitorTrigger>(), {{u"ToString", 0x10}, {u"Path", 7}, {u"Copy", 0xb}});
  expect_members(comrt::describe<IScheduleQueueAction>(),
                 {{u"Item", 4}, {u"PreviousItem", 8}, {u"UseFolderTree", 5}, {u"DependOnPreviousItem", 7},
                  {u"QueueItemPosition", 6}, {u"Copy", 0x18}});
  // FindItemById takes the identifier as text and hands the item out.
  const comrt::member_info* find = comrt::describe<IScheduleItems>().find(u"FindItemById");
  ASSERT_EQ(find->params.size(), 1u);
  EXPECT_EQ(find->params[0].vt, VT_BSTR);
  EXPECT_EQ(find->result.vt, VT_DISPATCH);
}

TEST(InterfaceDescriptions, OutgoingDispinterfaceMethodsCarryTheirDispids) {
  const comrt::interface_info& events = tolvane::describe_schedule_items_dispatch_events();
  EXPECT_EQ(events.kind(), comrt::interface_kind::dispatch_only);
  EXPECT_TRUE(events.iid() == DIID__IScheduleItemsEvents);
  const std::pair<const char16_t*, DISPID> methods[] = {
      {u"OnAddItem", 1}, {u"OnRemoveItem", 2}, {u"OnUpdateItem", 3}, {u"OnRemoveAllItems", 4}};
  for (const auto& [name, id] : methods) {
    const comrt::member_info* m = events.find(name);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->id, id);
    EXPECT_EQ(m->params.size(), id == 4 ? 0u : 1u);
    if (!m->params.empty()) {
      EXPECT_EQ(m->params[0].vt, VT_DISPATCH);
    }
  }
}

// ---------------------------------------------------------------------------------------------
// The library object.

comrt::com_ptr<ITypeInfo> default_interface_of(ITypeInfo* coclass, INT wanted_flags) {
  TYPEATTR* attr = nullptr;
  EXPECT_EQ(coclass->GetTypeAttr(&attr), S_OK);
  const UINT count = attr ? attr->cImplTypes : 0;
  coclass->ReleaseTypeAttr(attr);
  for (UINT i = 0; i < count; ++i) {
    INT flags = 0;
    EXPECT_EQ(coclass->GetImplTypeFlags(i, &flags), S_OK);
    if (flags != wanted_flags) continue;
    HREFTYPE ref = 0;
    comrt::com_ptr<ITypeInfo> info;
    EXPECT_EQ(coclass->GetRefTypeOfImplType(i, &ref), S_OK);
    EXPECT_EQ(coclass->GetRefTypeInfo(ref, info.put()), S_OK);
    return info;
  }
  return nullptr;
}

GUID guid_of(ITypeInfo* info) {
  TYPEATTR* attr = nullptr;
  EXPECT_EQ(info->GetTypeAttr(&attr), S_OK);
  const GUID g = attr ? attr->guid : GUID_NULL;
  info->ReleaseTypeAttr(attr);
  return g;
}

TEST(SchedulerTypeLibrary, NamesItsNineClassesWithTheirDefaultInterfaces) {
  comrt::com_ptr<ITypeLib> library = comrt::make_type_library(tolvane::scheduler_library());
  TLIBATTR* attr = nullptr;
  ASSERT_EQ(library->GetLibAttr(&attr), S_OK);
  EXPECT_TRUE(attr->guid == LIBID_Scheduler);
  EXPECT_EQ(attr->wMajorVerNum, 1);
  EXPECT_EQ(attr->wMinorVerNum, 0);
  library->ReleaseTLibAttr(attr);

  const std::pair<const CLSID*, const IID*> classes[] = {
      {&CLSID_ScheduleActions, &IID_IScheduleActions},
      {&CLSID_ScheduleInstantiationTrigger, &IID_IScheduleInstantiationTrigger},
      {&CLSID_ScheduleQueueAction, &IID_IScheduleQueueAction},
      {&CLSID_ScheduleTriggers, &IID_IScheduleTriggers},
      {&CLSID_ScheduleItem, &IID_IScheduleItem},
      {&CLSID_ScheduleItems, &IID_IScheduleItems},
      {&CLSID_ScheduleMonitorTrigger, &IID_IScheduleMonitorTrigger},
      {&CLSID_Scheduler, &IID_IScheduler},
      {&CLSID_ScheduleScheduleTrigger, &IID_IScheduleScheduleTrigger},
  };
  for (const auto& [clsid, iid] : classes) {
    comrt::com_ptr<ITypeInfo> coclass;
    ASSERT_EQ(library->GetTypeInfoOfGuid(*clsid, coclass.put()), S_OK);
    comrt::com_ptr<ITypeInfo> primary = default_interface_of(coclass.get(), IMPLTYPEFLAG_FDEFAULT);
    ASSERT_TRUE(primary);
    EXPECT_TRUE(guid_of(primary.get()) == *iid);
  }

  // The item collection's default events are the dispinterface; the item's its vtable interface.
  comrt::com_ptr<ITypeInfo> items;
  ASSERT_EQ(library->GetTypeInfoOfGuid(CLSID_ScheduleItems, items.put()), S_OK);
  comrt::com_ptr<ITypeInfo> items_events =
      default_interface_of(items.get(), IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE);
  ASSERT_TRUE(items_events);
  EXPECT_TRUE(guid_of(items_events.get()) == DIID__IScheduleItemsEvents);
  comrt::com_ptr<ITypeInfo> item;
  ASSERT_EQ(library->GetTypeInfoOfGuid(CLSID_ScheduleItem, item.put()), S_OK);
  comrt::com_ptr<ITypeInfo> item_events =
      default_interface_of(item.get(), IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE);
  ASSERT_TRUE(item_events);
  EXPECT_TRUE(guid_of(item_events.get()) == IID_IScheduleItemEvents);
}

TEST(SchedulerTypeLibrary, ObjectsHandOutTypeInformationFromTheLibrary) {
  auto trigger = comrt::make<FakeTimeTrigger>();
  comrt::com_ptr<ITypeInfo> info;
  ASSERT_EQ(trigger->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.put()), S_OK);
  EXPECT_TRUE(guid_of(info.get()) == IID_IScheduleScheduleTrigger);
  comrt::com_ptr<ITypeLib> library;
  UINT index = 0;
  ASSERT_EQ(info->GetContainingTypeLib(library.put(), &index), S_OK);
  TLIBATTR* attr = nullptr;
  ASSERT_EQ(library->GetLibAttr(&attr), S_OK);
  EXPECT_TRUE(attr->guid == LIBID_Scheduler);
  library->ReleaseTLibAttr(attr);

  comrt::com_ptr<ITypeInfo> scheduler_class;
  EXPECT_EQ(comrt::get_class_info(tolvane::scheduler_library(), CLSID_Scheduler, scheduler_class.put()), S_OK);
  ASSERT_TRUE(scheduler_class);
  EXPECT_TRUE(guid_of(scheduler_class.get()) == CLSID_Scheduler);
}

}  // namespace
