// The descriptions of the type library "Scheduler": names, DISPIDs, kinds and parameter types of
// every member, in the order of the interfaces' vtables.
#include "typelib.h"

using comrt::as_date;
using comrt::as_hresult;
using comrt::dispatch_method;
using comrt::interface_info;
using comrt::interface_kind;
using comrt::member_info;
using comrt::method;
using comrt::param;
using comrt::prop_get;
using comrt::prop_put;
using comrt::prop_putref;

namespace {

constexpr WORD kRestricted = FUNCFLAG_FRESTRICTED | FUNCFLAG_FHIDDEN;

// Properties holding an object accept both `obj.X = v` (put) and `Set obj.X = v` (putref).
template <auto Put>
member_info object_put(std::u16string_view name, DISPID id) {
  return prop_put<Put>(name, id, {u"newVal"});
}
template <auto Put>
member_info object_putref(std::u16string_view name, DISPID id) {
  return prop_putref<Put>(name, id, {u"newVal"});
}

// The item collection's events: the same four methods as a dispinterface and as a vtable interface.
interface_info items_events(const IID& iid, std::u16string_view name, interface_kind kind) {
  const auto item = [] { return param<IScheduleItem*>(u"pItem"); };
  return interface_info{iid,
                        name,
                        {
                            dispatch_method(u"OnAddItem", DISPID_IScheduleItemsEvents_OnAddItem, {item()}),
                            dispatch_method(u"OnRemoveItem", DISPID_IScheduleItemsEvents_OnRemoveItem, {item()}),
                            dispatch_method(u"OnUpdateItem", DISPID_IScheduleItemsEvents_OnUpdateItem, {item()}),
                            dispatch_method(u"OnRemoveAllItems", DISPID_IScheduleItemsEvents_OnRemoveAllItems),
                        },
                        kind};
}

// Member identifiers of a vtable interface's members that have none of their own, numbered as a
// type library compiler numbers them.
constexpr DISPID kFirstVtableMemberId = 0x60010000;

// A typed enumerator: Next(celt, rgelt, pceltFetched), Skip(celt), Reset(), Clone(ppEnum).
template <class Element, class Enumerator>
interface_info enumerator(const IID& iid, std::u16string_view name) {
  return interface_info{
      iid,
      name,
      {
          dispatch_method(u"Next", kFirstVtableMemberId,
                          {param<ULONG>(u"celt"), param<Element*>(u"rgelt"), param<ULONG>(u"pceltFetched")}),
          dispatch_method(u"Skip", kFirstVtableMemberId + 1, {param<ULONG>(u"celt")}),
          dispatch_method(u"Reset", kFirstVtableMemberId + 2),
          dispatch_method(u"Clone", kFirstVtableMemberId + 3, {}, param<Enumerator*>(u"ppEnum")),
      },
      interface_kind::custom};
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Scheduler

const interface_info& comrt::dispatch_description<IScheduler>::get() {
  static const interface_info info{IID_IScheduler,
                                   u"IScheduler",
                                   {
                                       prop_get<&IScheduler::get_Items>(u"Items", 1, {u"pVal"}),
                                       method<&IScheduler::Load>(u"Load", 100, {u"pszFile"}),
                                       method<&IScheduler::Save>(u"Save", 101),
                                       method<&IScheduler::AddItem>(u"AddItem", 102, {u"pItem"}),
                                       method<&IScheduler::RemoveItem>(u"RemoveItem", 103, {u"pItem"}),
                                       method<&IScheduler::RunItem>(u"RunItem", 104, {u"pItem"}),
                                   }};
  return info;
}

// ---------------------------------------------------------------------------------------------
// Schedule item

const interface_info& comrt::dispatch_description<IScheduleItem>::get() {
  using I = IScheduleItem;
  static const interface_info info{
      IID_IScheduleItem,
      u"IScheduleItem",
      {
          prop_get<&I::get_Id>(u"Id", 1, {u"pVal"}),
          prop_put<&I::put_Id>(u"Id", 1, {u"newVal"}),
          prop_get<&I::get_Name>(u"Name", 7, {u"pVal"}),
          prop_put<&I::put_Name>(u"Name", 7, {u"newVal"}),
          prop_get<&I::get_Description>(u"Description", 8, {u"pVal"}),
          prop_put<&I::put_Description>(u"Description", 8, {u"newVal"}),
          prop_get<&I::get_Save>(u"Save", 2, {u"pVal"}),
          prop_put<&I::put_Save>(u"Save", 2, {u"newVal"}),
          prop_get<&I::get_Enable>(u"Enable", 6, {u"pVal"}),
          prop_put<&I::put_Enable>(u"Enable", 6, {u"newVal"}),
          prop_get<&I::get_Triggers>(u"Triggers", 3, {u"pVal"}),
          object_put<&I::put_Triggers>(u"Triggers", 3),
          object_putref<&I::put_Triggers>(u"Triggers", 3),
          prop_get<&I::get_Actions>(u"Actions", 4, {u"pVal"}),
          object_put<&I::put_Actions>(u"Actions", 4),
          object_putref<&I::put_Actions>(u"Actions", 4),
          prop_get<&I::get_LastRunTime>(u"LastRunTime", 5, {u"pVal"}),
          prop_put<&I::put_LastRunTime>(u"LastRunTime", 5, {u"newVal"}),
          prop_get<&I::get_Created>(u"Created", 10, {u"pVal"}),
          prop_put<&I::put_Created>(u"Created", 10, {u"newVal"}),
          prop_get<&I::get_LastTaskResult, as_hresult>(u"LastTaskResult", 11, {u"pVal"}),
          prop_put<&I::put_LastTaskResult, as_hresult>(u"LastTaskResult", 11, {u"newVal"}),
          prop_get<&I::get_ScheduleRun>(u"ScheduleRun", 12, {u"pVal"}),
          prop_put<&I::put_ScheduleRun>(u"ScheduleRun", 12, {u"newVal"}),
          method<&I::Run>(u"Run", 100, {u"pServiceProvider"}),
          method<&I::Copy>(u"Copy", 101, {u"pCopy"}),
          method<&I::Clone>(u"Clone", 102, {u"ppClone"}),
          method<&I::Update>(u"Update", 103),
      }};
  return info;
}

// ---------------------------------------------------------------------------------------------
// Item collection

const interface_info& comrt::dispatch_description<IScheduleItems>::get() {
  using I = IScheduleItems;
  static const interface_info info{
      IID_IScheduleItems,
      u"IScheduleItems",
      {
          prop_get<&I::get_Item>(u"Item", DISPID_VALUE, {u"index", u"ppElement"}),
          prop_get<&I::get__NewEnum>(u"_NewEnum", DISPID_NEWENUM, {u"ppUnk"}, kRestricted),
          prop_get<&I::get_Count>(u"Count", 1, {u"pVal"}),
          prop_get<&I::get_NewEnum>(u"NewEnum", 4, {u"ppEnum"}),
          prop_get<&I::get_Dirty>(u"Dirty", 3, {u"pVal"}),
          prop_put<&I::put_Dirty>(u"Dirty", 3, {u"newVal"}),
          method<&I::Empty>(u"Empty", 0x64),
          method<&I::AddItem>(u"AddItem", 0x65, {u"pItem"}),
          method<&I::RemoveItem>(u"RemoveItem", 0x66, {u"pItem"}),
          method<&I::FindItemById>(u"FindItemById", 0x67, {u"itemId", u"ppItem"}),
      }};
  return info;
}

namespace tolvane {

const interface_info& describe_schedule_items_dispatch_events() {
  static const interface_info info =
      items_events(DIID__IScheduleItemsEvents, u"_IScheduleItemsEvents", interface_kind::dispatch_only);
  return info;
}

const interface_info& describe_schedule_items_events() {
  static const interface_info info =
      items_events(IID_IScheduleItemsEvents, u"IScheduleItemsEvents", interface_kind::custom);
  return info;
}

const interface_info& describe_schedule_item_events() {
  static const interface_info info{IID_IScheduleItemEvents,
                                   u"IScheduleItemEvents",
                                   {dispatch_method(u"OnUpdate", 1, {param<IScheduleItem*>(u"pItem")})},
                                   interface_kind::custom};
  return info;
}

const interface_info& describe_enum_schedule_item() {
  static const interface_info info =
      enumerator<IScheduleItem, IEnumScheduleItem>(IID_IEnumScheduleItem, u"IEnumScheduleItem");
  return info;
}

const interface_info& describe_enum_schedule_trigger() {
  static const interface_info info =
      enumerator<IScheduleTrigger, IEnumScheduleTrigger>(IID_IEnumScheduleTrigger, u"IEnumScheduleTrigger");
  return info;
}

const interface_info& describe_enum_schedule_action() {
  static const interface_info info =
      enumerator<IScheduleAction, IEnumScheduleAction>(IID_IEnumScheduleAction, u"IEnumScheduleAction");
  return info;
}

const interface_info& describe_schedule_action() {
  static const interface_info info{IID_IScheduleAction,
                                   u"IScheduleAction",
                                   {
                                       dispatch_method(u"Run", 0xa, {param<IUnknown*>(u"pServiceProvider")}),
                                       dispatch_method(u"Clone", 0xb, {}, param<IScheduleAction*>(u"ppClone")),
                                   },
                                   interface_kind::custom};
  return info;
}

}  // namespace tolvane

// ---------------------------------------------------------------------------------------------
// Triggers

const interface_info& comrt::dispatch_description<IScheduleTrigger>::get() {
  using I = IScheduleTrigger;
  static const interface_info info{IID_IScheduleTrigger,
                                   u"IScheduleTrigger",
                                   {
                                       prop_get<&I::get_Name>(u"Name", 1, {u"pVal"}),
                                       method<&I::Clone>(u"Clone", 0xd, {u"ppClone"}),
                                       method<&I::IsSet>(u"IsSet", 0xe),
                                       method<&I::Next>(u"Next", 0xf),
                                       method<&I::ToString>(u"ToString", 0x10, {u"pVal"}),
                                   }};
  return info;
}

const interface_info& comrt::dispatch_description<IScheduleTriggers>::get() {
  using I = IScheduleTriggers;
  static const interface_info info{
      IID_IScheduleTriggers,
      u"IScheduleTriggers",
      {
          prop_get<&I::get_Item>(u"Item", DISPID_VALUE, {u"index", u"ppElement"}),
          prop_get<&I::get__NewEnum>(u"_NewEnum", DISPID_NEWENUM, {u"ppUnk"}, kRestricted),
          prop_get<&I::get_Count>(u"Count", 1, {u"pVal"}),
          prop_get<&I::get_NewEnum>(u"NewEnum", 4, {u"ppEnum"}),
          prop_get<&I::get_NextRunTime, as_date>(u"NextRunTime", 2, {u"pVal"}),
          prop_get<&I::get_NextRunTimeAsUnixTime>(u"NextRunTimeAsUnixTime", 3, {u"pVal"}),
          method<&I::Clone>(u"Clone", 9, {u"ppClone"}),
          method<&I::Copy>(u"Copy", 0xb, {u"pCopy"}),
          method<&I::Empty>(u"Empty", 0xe),
          method<&I::Add>(u"Add", 0xf, {u"pItem"}),
          method<&I::AddItems>(u"AddItems", 0x10, {u"pItems"}),
          method<&I::Remove>(u"Remove", 0xa, {u"pItem"}),
          method<&I::IsSet>(u"IsSet", 0x11, {u"retval"}),
          method<&I::Next>(u"Next", 0x12),
          method<&I::HasNextRunTime>(u"HasNextRunTime", 0x13),
      }};
  return info;
}

const interface_info& comrt::dispatch_description<IScheduleScheduleTrigger>::get() {
  using I = IScheduleScheduleTrigger;
  static const interface_info info{
      IID_IScheduleScheduleTrigger,
      u"IScheduleScheduleTrigger",
      comrt::describe<IScheduleTrigger>(),
      {
          method<&I::Copy>(u"Copy", 0xb, {u"pCopy"}),
          prop_get<&I::get_Enable>(u"Enable", 0x13, {u"pVal"}),
          prop_put<&I::put_Enable>(u"Enable", 0x13, {u"newVal"}),
          prop_get<&I::get_StartTime, as_date>(u"StartTime", 0x1a, {u"pVal"}),
          prop_put<&I::put_StartTime, as_date>(u"StartTime", 0x1a, {u"newVal"}),
          prop_get<&I::get_StartTimeAsUnixTime>(u"StartTimeAsUnixTime", 0x1b, {u"pVal"}),
          prop_put<&I::put_StartTimeAsUnixTime>(u"StartTimeAsUnixTime", 0x1b, {u"newVal"}),
          prop_get<&I::get_ExpireTime, as_date>(u"ExpireTime", 0x66, {u"pVal"}),
          prop_put<&I::put_ExpireTime, as_date>(u"ExpireTime", 0x66, {u"newVal"}),
          prop_get<&I::get_ExpireTimeAsUnixTime>(u"ExpireTimeAsUnixTime", 0x67, {u"pVal"}),
          prop_put<&I::put_ExpireTimeAsUnixTime>(u"ExpireTimeAsUnixTime", 0x67, {u"newVal"}),
          prop_get<&I::get_LastOccurrence, as_date>(u"LastOccurrence", 0x6a, {u"pVal"}),
          prop_put<&I::put_LastOccurrence, as_date>(u"LastOccurrence", 0x6a, {u"newVal"}),
          prop_get<&I::get_LastOccurrenceAsUnixTime>(u"LastOccurrenceAsUnixTime", 0x6b, {u"pVal"}),
          prop_put<&I::put_LastOccurrenceAsUnixTime>(u"LastOccurrenceAsUnixTime", 0x6b, {u"newVal"}),
          prop_get<&I::get_RecurrenceTimeInterval>(u"RecurrenceTimeInterval", 0x16, {u"pVal"}),
          prop_put<&I::put_RecurrenceTimeInterval>(u"RecurrenceTimeInterval", 0x16, {u"newVal"}),
          prop_get<&I::get_Recurrence>(u"Recurrence", 0x18, {u"pVal"}),
          prop_put<&I::put_Recurrence>(u"Recurrence", 0x18, {u"newVal"}),
          prop_get<&I::get_WeekMask>(u"WeekMask", 0x19, {u"pVal"}),
          prop_put<&I::put_WeekMask>(u"WeekMask", 0x19, {u"newVal"}),
          prop_get<&I::get_UTC>(u"UTC", 0x1f, {u"pVal"}),
          prop_put<&I::put_UTC>(u"UTC", 0x1f, {u"newVal"}),
          method<&I::ChangeUTC>(u"ChangeUTC", 0x32, {u"newValue"}),
          method<&I::UpdateNextOccurrence>(u"UpdateNextOccurrence", 0x33),
      }};
  return info;
}

const interface_info& comrt::dispatch_description<IScheduleMonitorTrigger>::get() {
  using I = IScheduleMonitorTrigger;
  static const interface_info info{IID_IScheduleMonitorTrigger,
                                   u"IScheduleMonitorTrigger",
                                   comrt::describe<IScheduleTrigger>(),
                                   {
                                       prop_get<&I::get_Path>(u"Path", 7, {u"pVal"}),
                                       prop_put<&I::put_Path>(u"Path", 7, {u"newVal"}),
                                       method<&I::Copy>(u"Copy", 0xb, {u"pCopy"}),
                                   }};
  return info;
}

const interface_info& comrt::dispatch_description<IScheduleInstantiationTrigger>::get() {
  static const interface_info info{
      IID_IScheduleInstantiationTrigger,
      u"IScheduleInstantiationTrigger",
      comrt::describe<IScheduleTrigger>(),
      {method<&IScheduleInstantiationTrigger::Copy>(u"Copy", 0xb, {u"pCopy"})}};
  return info;
}

// ---------------------------------------------------------------------------------------------
// Actions

const interface_info& comrt::dispatch_description<IScheduleActions>::get() {
  using I = IScheduleActions;
  static const interface_info info{
      IID_IScheduleActions,
      u"IScheduleActions",
      {
          prop_get<&I::get_Item>(u"Item", DISPID_VALUE, {u"index", u"ppElement"}),
          prop_get<&I::get__NewEnum>(u"_NewEnum", DISPID_NEWENUM, {u"ppUnk"}, kRestricted),
          prop_get<&I::get_Count>(u"Count", 1, {u"pVal"}),
          prop_get<&I::get_NewEnum>(u"NewEnum", 4, {u"ppEnum"}),
          method<&I::Clone>(u"Clone", 0x68, {u"ppClone"}),
          method<&I::Copy>(u"Copy", 0x69, {u"pCopy"}),
          method<&I::Empty>(u"Empty", 0x64),
          method<&I::Add>(u"Add", 0x65, {u"pItem"}),
          method<&I::Remove>(u"Remove", 0x66, {u"pItem"}),
      }};
  return info;
}

const interface_info& comrt::dispatch_description<IScheduleQueueAction>::get() {
  using I = IScheduleQueueAction;
  static const interface_info info{
      IID_IScheduleQueueAction,
      u"IScheduleQueueAction",
      {
          prop_get<&I::get_Item>(u"Item", 4, {u"pVal"}),
          object_put<&I::put_Item>(u"Item", 4),
          object_putref<&I::put_Item>(u"Item", 4),
          prop_get<&I::get_PreviousItem>(u"PreviousItem", 8, {u"pVal"}),
          object_put<&I::put_PreviousItem>(u"PreviousItem", 8),
          object_putref<&I::put_PreviousItem>(u"PreviousItem", 8),
          prop_get<&I::get_UseFolderTree>(u"UseFolderTree", 5, {u"pVal"}),
          prop_put<&I::put_UseFolderTree>(u"UseFolderTree", 5, {u"newVal"}),
          prop_get<&I::get_DependOnPreviousItem>(u"DependOnPreviousItem", 7, {u"pVal"}),
          prop_put<&I::put_DependOnPreviousItem>(u"DependOnPreviousItem", 7, {u"newVal"}),
          prop_get<&I::get_QueueItemPosition>(u"QueueItemPosition", 6, {u"pVal"}),
          prop_put<&I::put_QueueItemPosition>(u"QueueItemPosition", 6, {u"newVal"}),
          method<&I::Copy>(u"Copy", 0x18, {u"pCopy"}),
      }};
  return info;
}

// ---------------------------------------------------------------------------------------------
// The library

namespace tolvane {

const comrt::library_info& scheduler_library() {
  using comrt::describe;
  constexpr INT kDefault = IMPLTYPEFLAG_FDEFAULT;
  constexpr INT kSource = IMPLTYPEFLAG_FSOURCE;
  static const comrt::library_info info{
      LIBID_Scheduler,
      u"Scheduler",
      Scheduler_MajorVersion,
      Scheduler_MinorVersion,
      {
          describe<IScheduler>(),
          describe<IScheduleItem>(),
          describe_schedule_item_events(),
          describe<IScheduleItems>(),
          describe_schedule_items_dispatch_events(),
          describe_schedule_items_events(),
          describe_enum_schedule_item(),
          describe_enum_schedule_trigger(),
          describe_enum_schedule_action(),
          describe<IScheduleTriggers>(),
          describe<IScheduleTrigger>(),
          describe<IScheduleScheduleTrigger>(),
          describe<IScheduleMonitorTrigger>(),
          describe<IScheduleInstantiationTrigger>(),
          describe<IScheduleActions>(),
          describe_schedule_action(),
          describe<IScheduleQueueAction>(),
      },
      {
          {CLSID_ScheduleActions, u"ScheduleActions", {{describe<IScheduleActions>(), kDefault}}},
          {CLSID_ScheduleInstantiationTrigger,
           u"ScheduleInstantiationTrigger",
           {{describe<IScheduleInstantiationTrigger>(), kDefault}}},
          {CLSID_ScheduleQueueAction,
           u"ScheduleQueueAction",
           {{describe<IScheduleQueueAction>(), kDefault}, {describe_schedule_action()}}},
          {CLSID_ScheduleTriggers, u"ScheduleTriggers", {{describe<IScheduleTriggers>(), kDefault}}},
          {CLSID_ScheduleItem,
           u"ScheduleItem",
           {{describe<IScheduleItem>(), kDefault}, {describe_schedule_item_events(), kDefault | kSource}}},
          {CLSID_ScheduleItems,
           u"ScheduleItems",
           {{describe<IScheduleItems>(), kDefault},
            {describe_schedule_items_dispatch_events(), kDefault | kSource},
            {describe_schedule_items_events(), kSource}}},
          {CLSID_ScheduleMonitorTrigger,
           u"ScheduleMonitorTrigger",
           {{describe<IScheduleMonitorTrigger>(), kDefault}}},
          {CLSID_Scheduler, u"Scheduler", {{describe<IScheduler>(), kDefault}}},
          {CLSID_ScheduleScheduleTrigger,
           u"ScheduleScheduleTrigger",
           {{describe<IScheduleScheduleTrigger>(), kDefault}}},
      },
      u"Scheduler 1.0 Type Library",
  };
  return info;
}

}  // namespace tolvane
