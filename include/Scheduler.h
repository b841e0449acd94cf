// Scheduler.h: the type library "Scheduler" 1.0 as a host sees it: its interfaces in slot order,
// the dispatch identifier (DISPID) of every member, its enumerations, and the identifiers of the
// library, its interfaces and its nine classes. Hosts compile against this header and drive the
// component early-bound through the vtables or late-bound through IDispatch.
//
// Conventions, as in any type library header:
//   - a property X is get_X / put_X; an [out, retval] parameter is always the last one;
//   - every method returns an HRESULT; flags are VARIANT_BOOL (VARIANT_TRUE -1, VARIANT_FALSE 0);
//     text is BSTR, allocated and freed by the runtime's SysAllocString / SysFreeString;
//   - `// [id(n)]` before a member is its DISPID; a property's get and put share it.
//
// Types that OLE automation has no variant type for reach IDispatch::Invoke as follows (arguments
// of another variant type are converted with VariantChangeType first):
//   - GUID (IScheduleItem::Id, IScheduleItems::FindItemById): VT_BSTR holding the braced text
//     "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}";
//   - FILETIME (IScheduleItem::LastRunTime, Created): VT_UI8 holding the count of 100-nanosecond
//     intervals since 1601-01-01 00:00:00 UTC;
//   - HRESULT (IScheduleItem::LastTaskResult): VT_I4 (VT_ERROR is accepted as an argument);
//   - ULONGLONG (the ...AsUnixTime properties, seconds since 1970-01-01): VT_UI8;
//   - enumerations: VT_I4.
// Dates (DATE) are automation dates, VT_DATE: days since 1899-12-30 00:00:00, the time of day as
// the fraction.
//
// Outside the type library, but declared here because the component's classes answer them:
// IScheduleTriggerWithOccurrence (the time trigger's next occurrence) and IObjectWithBackReferences.
// The persistence interfaces are in XMLArchive.h; the host's transfer-queue interfaces, which the
// queue action calls, in TransferQueue.h.
#pragma once

#include <comrt/oaidl.h>

#include "XMLArchive.h"

struct IScheduler;
struct IScheduleItem;
struct IScheduleItemEvents;
struct IScheduleItems;
struct _IScheduleItemsEvents;
struct IScheduleItemsEvents;
struct IEnumScheduleItem;
struct IEnumScheduleTrigger;
struct IEnumScheduleAction;
struct IScheduleTriggers;
struct IScheduleTrigger;
struct IScheduleScheduleTrigger;
struct IScheduleMonitorTrigger;
struct IScheduleInstantiationTrigger;
struct IScheduleActions;
struct IScheduleAction;
struct IScheduleQueueAction;
struct IScheduleTriggerWithOccurrence;
struct IObjectWithBackReferences;

// ---------------------------------------------------------------------------------------------
// The library and its classes

// Type library "Scheduler", version 1.0.
inline constexpr GUID LIBID_Scheduler{0xA2ADB994, 0x121A, 0x4972, {0x88, 0x4F, 0x6A, 0x9E, 0xB6, 0x47, 0x8C, 0x69}};
inline constexpr WORD Scheduler_MajorVersion = 1;
inline constexpr WORD Scheduler_MinorVersion = 0;

// Coclass Scheduler: IScheduler (default).
inline constexpr CLSID CLSID_Scheduler{0x0946E232, 0x81EA, 0x4DF2, {0xB7, 0xDB, 0xCA, 0xF9, 0x00, 0xE0, 0xD2, 0x09}};
// Coclass ScheduleItem: IScheduleItem (default); source IScheduleItemEvents.
inline constexpr CLSID CLSID_ScheduleItem{0x1661ECCB, 0x8B40, 0x4BC5, {0xB4, 0x86, 0x51, 0xB2, 0x87, 0x89, 0x6B, 0x1B}};
// Coclass ScheduleItems: IScheduleItems (default); source _IScheduleItemsEvents (default) and
// IScheduleItemsEvents.
inline constexpr CLSID CLSID_ScheduleItems{
    0x9E01C548, 0x1E53, 0x4EC5, {0x9A, 0xB9, 0x80, 0xBA, 0x97, 0x26, 0x6E, 0xA5}};
// Coclass ScheduleTriggers: IScheduleTriggers (default).
inline constexpr CLSID CLSID_ScheduleTriggers{
    0xF6C8B13D, 0xFC5B, 0x4F7F, {0x9E, 0xDB, 0x7D, 0x8E, 0xC2, 0x16, 0x37, 0x3E}};
// Coclass ScheduleScheduleTrigger: IScheduleScheduleTrigger (default).
inline constexpr CLSID CLSID_ScheduleScheduleTrigger{
    0x8428D9B1, 0x0B74, 0x4879, {0x80, 0xD1, 0x79, 0x78, 0x48, 0x33, 0x03, 0x14}};
// Coclass ScheduleMonitorTrigger: IScheduleMonitorTrigger (default).
inline constexpr CLSID CLSID_ScheduleMonitorTrigger{
    0x6FF942C2, 0x11BD, 0x4019, {0x86, 0xB2, 0x16, 0xB0, 0xCC, 0x95, 0xD4, 0x99}};
// Coclass ScheduleInstantiationTrigger: IScheduleInstantiationTrigger (default).
inline constexpr CLSID CLSID_ScheduleInstantiationTrigger{
    0x50E96A4D, 0x1CF4, 0x407F, {0x8B, 0xA3, 0x17, 0xA3, 0x2D, 0x0E, 0x49, 0x4B}};
// Coclass ScheduleActions: IScheduleActions (default).
inline constexpr CLSID CLSID_ScheduleActions{
    0xD83B4DD2, 0x1763, 0x4BBB, {0x89, 0x31, 0x8E, 0xC7, 0x81, 0xBA, 0xB2, 0x5E}};
// Coclass ScheduleQueueAction: IScheduleQueueAction (default), IScheduleAction.
inline constexpr CLSID CLSID_ScheduleQueueAction{
    0xEBB2D70B, 0x3677, 0x421E, {0xAE, 0x8F, 0x2F, 0x18, 0x1F, 0x23, 0x3E, 0x58}};

// ---------------------------------------------------------------------------------------------
// Enumerations

// Kind of recurrence of a time trigger.
enum ScheduleScheduleTriggerRecurrence : int32_t {
  tvScheduleScheduleTriggerRecurrenceNone = 0,     // once, at StartTime
  tvScheduleScheduleTriggerRecurrenceCustom = 1,   // every RecurrenceTimeInterval seconds
  tvScheduleScheduleTriggerRecurrenceDaily = 2,    // every 86400 seconds
  tvScheduleScheduleTriggerRecurrenceWeekly = 3,   // on the days set in WeekMask
  tvScheduleScheduleTriggerRecurrenceMonthly = 4,  // on the same day of each month
};

// Days of a weekly time trigger: bit n is the day whose day-of-week number is n (Sunday = 0).
enum ScheduleScheduleTriggerWeekMask : int32_t {
  tvScheduleScheduleTriggerWeekSunday = 1,
  tvScheduleScheduleTriggerWeekMonday = 2,
  tvScheduleScheduleTriggerWeekTuesday = 4,
  tvScheduleScheduleTriggerWeekWednesday = 8,
  tvScheduleScheduleTriggerWeekThursday = 16,
  tvScheduleScheduleTriggerWeekFriday = 32,
  tvScheduleScheduleTriggerWeekSaturday = 64,
};

// Where a queue action inserts its transfer into the host's transfer queue.
enum TransferQueueItemPosition : int32_t {
  tvTransferQueueItemPositionHead = 0,
  tvTransferQueueItemPositionTail = 1,
};

// ---------------------------------------------------------------------------------------------
// Scheduler

// The host's entry point: owns the item collection and the schedule file.
struct IScheduler : IDispatch {
  // [id(1)] The current item collection (replaced by every successful Load).
  virtual HRESULT STDMETHODCALLTYPE get_Items(IScheduleItems** pVal) = 0;
  // [id(100)] Reads the schedule file at pszFile and remembers the path.
  virtual HRESULT STDMETHODCALLTYPE Load(BSTR pszFile) = 0;
  // [id(101)] Writes the schedule file to the remembered path.
  virtual HRESULT STDMETHODCALLTYPE Save() = 0;
  // [id(102)]
  virtual HRESULT STDMETHODCALLTYPE AddItem(IScheduleItem* pItem) = 0;
  // [id(103)]
  virtual HRESULT STDMETHODCALLTYPE RemoveItem(IScheduleItem* pItem) = 0;
  // [id(104)] Runs the item now with the site's service provider.
  virtual HRESULT STDMETHODCALLTYPE RunItem(IScheduleItem* pItem) = 0;
};
COMRT_INTERFACE_ID(IScheduler, IDispatch, 0xCDF4E610, 0xC100, 0x445F, 0x9A, 0xD9, 0xF6, 0x7B, 0xAA, 0x33, 0xC7, 0x06)

// ---------------------------------------------------------------------------------------------
// Schedule item

// One scheduled task: its triggers, its actions and the record of its runs.
struct IScheduleItem : IDispatch {
  // [id(1)]
  virtual HRESULT STDMETHODCALLTYPE get_Id(GUID* pVal) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Id(GUID newVal) = 0;
  // [id(7)]
  virtual HRESULT STDMETHODCALLTYPE get_Name(BSTR* pVal) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Name(BSTR newVal) = 0;
  // [id(8)]
  virtual HRESULT STDMETHODCALLTYPE get_Description(BSTR* pVal) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Description(BSTR newVal) = 0;
  // [id(2)] Whether the item is written to the schedule file.
  virtual HRESULT STDMETHODCALLTYPE get_Save(VARIANT_BOOL* pVal) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Save(VARIANT_BOOL newVal) = 0;
  // [id(6)] Whether the scheduler runs the item by schedule.
  virtual HRESULT STDMETHODCALLTYPE get_Enable(VARIANT_BOOL* pVal) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Enable(VARIANT_BOOL newVal) = 0;
  // [id(3)]
  virtual HRESULT STDMETHODCALLTYPE get_Triggers(IScheduleTriggers** pVal) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Triggers(IScheduleTriggers* newVal) = 0;
  // [id(4)]
  virtual HRESULT STDMETHODCALLTYPE get_Actions(IScheduleActions** pVal) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Actions(IScheduleActions* newVal) = 0;
  // [id(5)] UTC, 100-ns intervals since 1601-01-01.
  virtual HRESULT STDMETHODCALLTYPE get_LastRunTime(FILETIME* pVal) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_LastRunTime(FILETIME newVal) = 0;
  // [id(10)]
  virtual HRESULT STDMETHODCALLTYPE get_Created(FILETIME* pVal) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Created(FILETIME newVal) = 0;
  // [id(11)] Status of the last action that ran.
  virtual HRESULT STDMETHODCALLTYPE get_LastTaskResult(HRESULT* pVal) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_LastTaskResult(HRESULT newVal) = 0;
  // [id(12)] The item is due and waits to be run.
  virtual HRESULT STDMETHODCALLTYPE get_ScheduleRun(VARIANT_BOOL* pVal) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_ScheduleRun(VARIANT_BOOL newVal) = 0;
  // [id(100)] Runs the actions in order with the host's service provider (may be null).
  virtual HRESULT STDMETHODCALLTYPE Run(IUnknown* pServiceProvider) = 0;
  // [id(101)] Makes this item a deep copy of pCopy, Id included.
  virtual HRESULT STDMETHODCALLTYPE Copy(IScheduleItem* pCopy) = 0;
  // [id(102)]
  virtual HRESULT STDMETHODCALLTYPE Clone(IScheduleItem** ppClone) = 0;
  // [id(103)] Fires IScheduleItemEvents::OnUpdate to the subscribers.
  virtual HRESULT STDMETHODCALLTYPE Update() = 0;
};
COMRT_INTERFACE_ID(IScheduleItem, IDispatch, 0x5CB067D0, 0x1708, 0x4E50, 0x81, 0x60, 0x4C, 0xA5, 0x66, 0x81, 0x96,
                   0xF4)

// Outgoing interface of a schedule item (connection point of ScheduleItem).
struct IScheduleItemEvents : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE OnUpdate(IScheduleItem* pItem) = 0;
};
COMRT_INTERFACE_ID(IScheduleItemEvents, IUnknown, 0xFC709897, 0x508C, 0x4C78, 0xB9, 0xE6, 0xD0, 0xAA, 0x82, 0x9D,
                   0xDE, 0x04)

// ---------------------------------------------------------------------------------------------
// Typed enumerators of the collections (the ordinary enumerator contract: Next returns S_OK when
// celt elements were delivered, S_FALSE when fewer remained; each delivered element carries a
// reference for the caller).

struct IEnumScheduleItem : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Next(ULONG celt, IScheduleItem** rgelt, ULONG* pceltFetched) = 0;
  virtual HRESULT STDMETHODCALLTYPE Skip(ULONG celt) = 0;
  virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
  virtual HRESULT STDMETHODCALLTYPE Clone(IEnumScheduleItem** ppEnum) = 0;
};
COMRT_INTERFACE_ID(IEnumScheduleItem, IUnknown, 0x8E69FCF9, 0x9609, 0x4BCD, 0xB6, 0xCC, 0x41, 0x24, 0x26, 0xC7,
                   0xDB, 0x64)

struct IEnumScheduleTrigger : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Next(ULONG celt, IScheduleTrigger** rgelt, ULONG* pceltFetched) = 0;
  virtual HRESULT STDMETHODCALLTYPE Skip(ULONG celt) = 0;
  virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
  virtual HRESULT STDMETHODCALLTYPE Clone(IEnumScheduleTrigger** ppEnum) = 0;
};
COMRT_INTERFACE_ID(IEnumScheduleTrigger, IUnknown, 0xC3D53BCA, 0xC51D, 0x4300, 0x8B, 0xAC, 0x71, 0x7E, 0xFF, 0x0E,
                   0x14, 0x8A)

struct IEnumScheduleAction : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Next(ULONG celt, IScheduleAction** rgelt, ULONG* pceltFetched) = 0;
  virtual HRESULT STDMETHODCALLTYPE Skip(ULONG celt) = 0;
  virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
  virtual HRESULT STDMETHODCALLTYPE Clone(IEnumScheduleAction** ppEnum) = 0;
};
COMRT_INTERFACE_ID(IEnumScheduleAction, IUnknown, 0xE649534B, 0xB75C, 0x4830, 0xBE, 0x96, 0x3E, 0x9B, 0x12, 0x5B,
                   0x7F, 0xB5)

// ---------------------------------------------------------------------------------------------
// Item collection

// The scheduler's items. Item is the default member and _NewEnum the script enumerator, so script
// clients can index the collection and iterate it with for-each.
struct IScheduleItems : IDispatch {
  // [id(DISPID_VALUE)] Zero-based.
  virtual HRESULT STDMETHODCALLTYPE get_Item(LONG index, IScheduleItem** ppElement) = 0;
  // [id(DISPID_NEWENUM)] An IEnumVARIANT over a snapshot of the items.
  virtual HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown** ppUnk) = 0;
  // [id(1)]
  virtual HRESULT STDMETHODCALLTYPE get_Count(LONG* pVal) = 0;
  // [id(4)] A typed enumerator over a snapshot of the items.
  virtual HRESULT STDMETHODCALLTYPE get_NewEnum(IEnumScheduleItem** ppEnum) = 0;
  // [id(3)] put stores VARIANT_TRUE for any non-zero value.
  virtual HRESULT STDMETHODCALLTYPE get_Dirty(VARIANT_BOOL* pVal) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Dirty(VARIANT_BOOL newVal) = 0;
  // [id(0x64)]
  virtual HRESULT STDMETHODCALLTYPE Empty() = 0;
  // [id(0x65)]
  virtual HRESULT STDMETHODCALLTYPE AddItem(IScheduleItem* pItem) = 0;
  // [id(0x66)] Removes the first item with the same Id as pItem.
  virtual HRESULT STDMETHODCALLTYPE RemoveItem(IScheduleItem* pItem) = 0;
  // [id(0x67)] The first item whose Id equals *itemId.
  virtual HRESULT STDMETHODCALLTYPE FindItemById(GUID* itemId, IScheduleItem** ppItem) = 0;
};
COMRT_INTERFACE_ID(IScheduleItems, IDispatch, 0xF8D3D51E, 0x17D9, 0x46E7, 0x97, 0x4A, 0xC7, 0x8A, 0x02, 0x44, 0x33,
                   0x34)

// Outgoing dispinterface of the item collection: its sinks are called through IDispatch::Invoke
// (DISPATCH_METHOD, one VT_DISPATCH argument holding the item, none for OnRemoveAllItems).
struct _IScheduleItemsEvents : IDispatch {};
COMRT_INTERFACE_ID(_IScheduleItemsEvents, IDispatch, 0x5B0116A9, 0xD50A, 0x4482, 0xAE, 0x12, 0x6D, 0x7F, 0xC6, 0xCF,
                   0x17, 0x22)
inline constexpr IID DIID__IScheduleItemsEvents = IID__IScheduleItemsEvents;
inline constexpr DISPID DISPID_IScheduleItemsEvents_OnAddItem = 1;         // (IScheduleItem* pItem)
inline constexpr DISPID DISPID_IScheduleItemsEvents_OnRemoveItem = 2;      // (IScheduleItem* pItem)
inline constexpr DISPID DISPID_IScheduleItemsEvents_OnUpdateItem = 3;      // (IScheduleItem* pItem)
inline constexpr DISPID DISPID_IScheduleItemsEvents_OnRemoveAllItems = 4;  // ()

// Outgoing vtable interface of the item collection, with the same methods as the dispinterface.
struct IScheduleItemsEvents : IUnknown {
  // [id(1)]
  virtual HRESULT STDMETHODCALLTYPE OnAddItem(IScheduleItem* pItem) = 0;
  // [id(2)]
  virtual HRESULT STDMETHODCALLTYPE OnRemoveItem(IScheduleItem* pItem) = 0;
  // [id(3)]
  virtual HRESULT STDMETHODCALLTYPE OnUpdateItem(IScheduleItem* pItem) = 0;
  // [id(4)]
  virtual HRESULT STDMETHODCALLTYPE OnRemoveAllItems() = 0;
};
COMRT_INTERFACE_ID(IScheduleItemsEvents, IUnknown, 0x4E192F4F, 0x9E5D, 0x4180, 0x83, 0x86, 0x5B, 0xC1, 0x2A, 0xF6,
                   0x53, 0x55)

// ---------------------------------------------------------------------------------------------
// Triggers

// What every trigger kind implements.
struct IScheduleTrigger : IDispatch {
  // [id(1)] Display name of the trigger kind.
  virtual HRESULT STDMETHODCALLTYPE get_Name(BSTR* pVal) = 0;
  // [id(0xd)]
  virtual HRESULT STDMETHODCALLTYPE Clone(IScheduleTrigger** ppClone) = 0;
  // [id(0xe)] S_OK when the trigger is due now, otherwise S_FALSE.
  virtual HRESULT STDMETHODCALLTYPE IsSet() = 0;
  // [id(0xf)] Moves past an occurrence that has come.
  virtual HRESULT STDMETHODCALLTYPE Next() = 0;
  // [id(0x10)] Description of when the trigger fires.
  virtual HRESULT STDMETHODCALLTYPE ToString(BSTR* pVal) = 0;
};
COMRT_INTERFACE_ID(IScheduleTrigger, IDispatch, 0x483FE1FB, 0xEC6F, 0x42AD, 0xA7, 0xC5, 0xE2, 0xCA, 0x16, 0x19, 0x1F,
                   0xA9)

// The triggers of one item.
struct IScheduleTriggers : IDispatch {
  // [id(DISPID_VALUE)] Zero-based.
  virtual HRESULT STDMETHODCALLTYPE get_Item(LONG index, IScheduleTrigger** ppElement) = 0;
  // [id(DISPID_NEWENUM)]
  virtual HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown** ppUnk) = 0;
  // [id(1)]
  virtual HRESULT STDMETHODCALLTYPE get_Count(LONG* pVal) = 0;
  // [id(4)]
  virtual HRESULT STDMETHODCALLTYPE get_NewEnum(IEnumScheduleTrigger** ppEnum) = 0;
  // [id(2)] The earliest next occurrence of the time triggers, as a local automation date.
  virtual HRESULT STDMETHODCALLTYPE get_NextRunTime(DATE* pVal) = 0;
  // [id(3)] The same, as stored (seconds since 1970-01-01); 0 when there is none.
  virtual HRESULT STDMETHODCALLTYPE get_NextRunTimeAsUnixTime(ULONGLONG* pVal) = 0;
  // [id(9)] A deep copy: every trigger cloned.
  virtual HRESULT STDMETHODCALLTYPE Clone(IScheduleTriggers** ppClone) = 0;
  // [id(0xb)] Replaces the contents by clones of pCopy's triggers.
  virtual HRESULT STDMETHODCALLTYPE Copy(IScheduleTriggers* pCopy) = 0;
  // [id(0xe)]
  virtual HRESULT STDMETHODCALLTYPE Empty() = 0;
  // [id(0xf)]
  virtual HRESULT STDMETHODCALLTYPE Add(IScheduleTrigger* pItem) = 0;
  // [id(0x10)] Appends pItems' triggers themselves (shared, not cloned).
  virtual HRESULT STDMETHODCALLTYPE AddItems(IScheduleTriggers* pItems) = 0;
  // [id(0xa)] Removes the first entry whose pointer equals pItem.
  virtual HRESULT STDMETHODCALLTYPE Remove(IScheduleTrigger* pItem) = 0;
  // [id(0x11)] The first trigger that is set (S_OK), or E_FAIL when none is.
  virtual HRESULT STDMETHODCALLTYPE IsSet(IScheduleTrigger** retval) = 0;
  // [id(0x12)] Moves every trigger past an occurrence that has come.
  virtual HRESULT STDMETHODCALLTYPE Next() = 0;
  // [id(0x13)] S_OK when a time trigger has a pending occurrence, otherwise S_FALSE.
  virtual HRESULT STDMETHODCALLTYPE HasNextRunTime() = 0;
};
COMRT_INTERFACE_ID(IScheduleTriggers, IDispatch, 0xCC09776C, 0x97DF, 0x4156, 0xB2, 0x4A, 0x7E, 0x0C, 0xA6, 0xB2, 0x96,
                   0x05)

// The time trigger. Times ending in AsUnixTime are the stored seconds since 1970-01-01 (Unix time,
// or local wall-clock seconds when UTC is VARIANT_FALSE); the DATE properties convert them.
struct IScheduleScheduleTrigger : IScheduleTrigger {
  // [id(0xb)] Takes over all field values of pCopy, unconverted.
  virtual HRESULT STDMETHODCALLTYPE Copy(IScheduleScheduleTrigger* pCopy) = 0;
  // [id(0x13)]
  virtual HRESULT STDMETHODCALLTYPE get_Enable(VARIANT_BOOL* pVal) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Enable(VARIANT_BOOL newVal) = 0;
  // [id(0x1a)]
  virtual HRESULT STDMETHODCALLTYPE get_StartTime(DATE* pVal) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_StartTime(DATE newVal) = 0;
  // [id(0x1b)]
  virtual HRESULT STDMETHODCALLTYPE get_StartTimeAsUnixTime(ULONGLONG* pVal) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_StartTimeAsUnixTime(ULONGLONG newVal) = 0;
  // [id(0x66)] 0 means never.
  virtual HRESULT STDMETHODCALLTYPE get_ExpireTime(DATE* pVal) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_ExpireTime(DATE newVal) = 0;
  // [id(0x67)]
  virtual HRESULT STDMETHODCALLTYPE get_ExpireTimeAsUnixTime(ULONGLONG* pVal) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_ExpireTimeAsUnixTime(ULONGLONG newVal) = 0;
  // [id(0x6a)]
  virtual HRESULT STDMETHODCALLTYPE get_LastOccurrence(DATE* pVal) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_LastOccurrence(DATE newVal) = 0;
  // [id(0x6b)]
  virtual HRESULT STDMETHODCALLTYPE get_LastOccurrenceAsUnixTime(ULONGLONG* pVal) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_LastOccurrenceAsUnixTime(ULONGLONG newVal) = 0;
  // [id(0x16)] Seconds between occurrences of a Custom recurrence.
  virtual HRESULT STDMETHODCALLTYPE get_RecurrenceTimeInterval(LONG* pVal) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_RecurrenceTimeInterval(LONG newVal) = 0;
  // [id(0x18)]
  virtual HRESULT STDMETHODCALLTYPE get_Recurrence(ScheduleScheduleTriggerRecurrence* pVal) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Recurrence(ScheduleScheduleTriggerRecurrence newVal) = 0;
  // [id(0x19)]
  virtual HRESULT STDMETHODCALLTYPE get_WeekMask(ScheduleScheduleTriggerWeekMask* pVal) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_WeekMask(ScheduleScheduleTriggerWeekMask newVal) = 0;
  // [id(0x1f)] The clock of the stored times; put converts nothing (see ChangeUTC).
  virtual HRESULT STDMETHODCALLTYPE get_UTC(VARIANT_BOOL* pVal) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_UTC(VARIANT_BOOL newVal) = 0;
  // [id(0x32)] Switches the clock and converts the stored times.
  virtual HRESULT STDMETHODCALLTYPE ChangeUTC(VARIANT_BOOL newValue) = 0;
  // [id(0x33)] Recomputes the next occurrence; call after changing the trigger.
  virtual HRESULT STDMETHODCALLTYPE UpdateNextOccurrence() = 0;
};
COMRT_INTERFACE_ID(IScheduleScheduleTrigger, IScheduleTrigger, 0xB783B796, 0x6ECF, 0x423E, 0x98, 0xEC, 0xE7, 0x4C,
                   0xE1, 0x23, 0x6B, 0x5D)

// The folder monitor trigger: due when something changes at Path (a folder or a file).
struct IScheduleMonitorTrigger : IScheduleTrigger {
  // [id(7)] Absolute path of the watched folder or file.
  virtual HRESULT STDMETHODCALLTYPE get_Path(BSTR* pVal) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Path(BSTR newVal) = 0;
  // [id(0xb)]
  virtual HRESULT STDMETHODCALLTYPE Copy(IScheduleMonitorTrigger* pCopy) = 0;
};
COMRT_INTERFACE_ID(IScheduleMonitorTrigger, IScheduleTrigger, 0xA7AD8197, 0x8201, 0x49C5, 0x8A, 0x54, 0xCC, 0x20,
                   0x7F, 0x27, 0xEF, 0x7D)

// The instantiation trigger: due once after the object has been created or loaded.
struct IScheduleInstantiationTrigger : IScheduleTrigger {
  // [id(0xb)] Does nothing: the trigger has no settings.
  virtual HRESULT STDMETHODCALLTYPE Copy(IScheduleInstantiationTrigger* pCopy) = 0;
};
COMRT_INTERFACE_ID(IScheduleInstantiationTrigger, IScheduleTrigger, 0xF5878111, 0xD281, 0x44A6, 0xA5, 0xE5, 0x2A,
                   0xF8, 0x50, 0xD6, 0x30, 0x09)

// Not in the type library: the next occurrence of a time trigger, read by the trigger collection.
struct IScheduleTriggerWithOccurrence : IUnknown {
  // The stored next occurrence, seconds since 1970-01-01 in the trigger's clock.
  virtual HRESULT STDMETHODCALLTYPE NextOccurrence(ULONGLONG* pVal) = 0;
  // S_OK when an occurrence is pending, otherwise S_FALSE.
  virtual HRESULT STDMETHODCALLTYPE HasNextOccurrence() = 0;
};
COMRT_INTERFACE_ID(IScheduleTriggerWithOccurrence, IUnknown, 0x556A516A, 0xE595, 0x4D2C, 0xB4, 0x4E, 0xD4, 0x6C, 0xE5,
                   0x8E, 0xF2, 0x90)

// ---------------------------------------------------------------------------------------------
// Actions

// What every action kind implements (a vtable interface, not dual).
struct IScheduleAction : IUnknown {
  // [id(0xa)] Performs the action with the host's service provider.
  virtual HRESULT STDMETHODCALLTYPE Run(IUnknown* pServiceProvider) = 0;
  // [id(0xb)]
  virtual HRESULT STDMETHODCALLTYPE Clone(IScheduleAction** ppClone) = 0;
};
COMRT_INTERFACE_ID(IScheduleAction, IUnknown, 0x0DB76D3B, 0x2C0B, 0x4A88, 0x95, 0x70, 0xB3, 0x49, 0x3B, 0x64, 0x83,
                   0x14)

// The actions of one item, run in order.
struct IScheduleActions : IDispatch {
  // [id(DISPID_VALUE)] Zero-based.
  virtual HRESULT STDMETHODCALLTYPE get_Item(LONG index, IScheduleAction** ppElement) = 0;
  // [id(DISPID_NEWENUM)]
  virtual HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown** ppUnk) = 0;
  // [id(1)]
  virtual HRESULT STDMETHODCALLTYPE get_Count(LONG* pVal) = 0;
  // [id(4)]
  virtual HRESULT STDMETHODCALLTYPE get_NewEnum(IEnumScheduleAction** ppEnum) = 0;
  // [id(0x68)] A deep copy: every action cloned.
  virtual HRESULT STDMETHODCALLTYPE Clone(IScheduleActions** ppClone) = 0;
  // [id(0x69)] Replaces the contents by clones of pCopy's actions.
  virtual HRESULT STDMETHODCALLTYPE Copy(IScheduleActions* pCopy) = 0;
  // [id(0x64)]
  virtual HRESULT STDMETHODCALLTYPE Empty() = 0;
  // [id(0x65)]
  virtual HRESULT STDMETHODCALLTYPE Add(IScheduleAction* pItem) = 0;
  // [id(0x66)] Removes the first entry whose pointer equals pItem.
  virtual HRESULT STDMETHODCALLTYPE Remove(IScheduleAction* pItem) = 0;
};
COMRT_INTERFACE_ID(IScheduleActions, IDispatch, 0x0713A3A4, 0x7F33, 0x4952, 0xB7, 0x63, 0xF8, 0xD6, 0x7A, 0xF6, 0x71,
                   0xE2)

// The queue action: hands a fresh copy of a template transfer to the host's transfer queue.
struct IScheduleQueueAction : IDispatch {
  // [id(4)] The template transfer (a host transfer-queue item).
  virtual HRESULT STDMETHODCALLTYPE get_Item(IUnknown** pVal) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Item(IUnknown* newVal) = 0;
  // [id(8)] The transfer queued on the previous run.
  virtual HRESULT STDMETHODCALLTYPE get_PreviousItem(IUnknown** pVal) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_PreviousItem(IUnknown* newVal) = 0;
  // [id(5)] Queue folder transfers only when the folder tree changed, with the changes.
  virtual HRESULT STDMETHODCALLTYPE get_UseFolderTree(VARIANT_BOOL* pVal) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_UseFolderTree(VARIANT_BOOL newVal) = 0;
  // [id(7)] Make each new transfer depend on PreviousItem.
  virtual HRESULT STDMETHODCALLTYPE get_DependOnPreviousItem(VARIANT_BOOL* pVal) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_DependOnPreviousItem(VARIANT_BOOL newVal) = 0;
  // [id(6)]
  virtual HRESULT STDMETHODCALLTYPE get_QueueItemPosition(TransferQueueItemPosition* pVal) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_QueueItemPosition(TransferQueueItemPosition newVal) = 0;
  // [id(0x18)] Takes over pCopy's settings; the template item is shared.
  virtual HRESULT STDMETHODCALLTYPE Copy(IScheduleQueueAction* pCopy) = 0;
};
COMRT_INTERFACE_ID(IScheduleQueueAction, IDispatch, 0x644C75B9, 0xF4F4, 0x40C9, 0x85, 0x4F, 0x81, 0x64, 0x4D, 0x4D,
                   0x78, 0x70)

// ---------------------------------------------------------------------------------------------
// Not in the type library: ends the subscriptions an object holds on others (the item collection
// unsubscribes from its items; a schedule item does nothing).
struct IObjectWithBackReferences : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Disconnect() = 0;
};
COMRT_INTERFACE_ID(IObjectWithBackReferences, IUnknown, 0x321A6A6A, 0xD61F, 0x4BF3, 0x97, 0xAE, 0x14, 0xBE, 0x29,
                   0x86, 0xBB, 0x36)
