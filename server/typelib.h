// The type library "Scheduler" as descriptions: one per interface, from which IDispatch, the
// interfaces' ITypeInfo and the library's ITypeLib are served. Include this header (and
// <comrt/dispatch.h>) where a class implementing one of the dual interfaces is defined; the
// object base then dispatches through the description of the class's first dual interface.
//
//   IProvideClassInfo::GetClassInfo:  comrt::get_class_info(tolvane::scheduler_library(), CLSID_X, ppTI)
//   the ITypeLib to register:         comrt::make_type_library(tolvane::scheduler_library())
#pragma once

#include <comrt/dispatch.h>

#include "Scheduler.h"

namespace tolvane {

// LIBID_Scheduler 1.0: every interface of the library and its nine classes, in registration order.
const comrt::library_info& scheduler_library();

// Descriptions of the library's interfaces that are not dispatched (outgoing vtable interfaces,
// the action contract, the typed enumerators) and of the outgoing dispinterface.
const comrt::interface_info& describe_schedule_item_events();
const comrt::interface_info& describe_schedule_items_events();
const comrt::interface_info& describe_schedule_items_dispatch_events();
const comrt::interface_info& describe_schedule_action();
const comrt::interface_info& describe_enum_schedule_item();
const comrt::interface_info& describe_enum_schedule_trigger();
const comrt::interface_info& describe_enum_schedule_action();

}  // namespace tolvane

// The dual interfaces: Invoke, GetIDsOfNames and GetTypeInfo (within the library) for each.
#define TOLVANE_DESCRIBED_IN_SCHEDULER_LIBRARY(I)                                         \
  template <>                                                                             \
  struct comrt::dispatch_description<I> {                                                 \
    static const comrt::interface_info& get();                                            \
    static const comrt::library_info& library() { return tolvane::scheduler_library(); } \
  };

TOLVANE_DESCRIBED_IN_SCHEDULER_LIBRARY(IScheduler)
TOLVANE_DESCRIBED_IN_SCHEDULER_LIBRARY(IScheduleItem)
TOLVANE_DESCRIBED_IN_SCHEDULER_LIBRARY(IScheduleItems)
TOLVANE_DESCRIBED_IN_SCHEDULER_LIBRARY(IScheduleTriggers)
TOLVANE_DESCRIBED_IN_SCHEDULER_LIBRARY(IScheduleTrigger)
TOLVANE_DESCRIBED_IN_SCHEDULER_LIBRARY(IScheduleScheduleTrigger)
TOLVANE_DESCRIBED_IN_SCHEDULER_LIBRARY(IScheduleMonitorTrigger)
TOLVANE_DESCRIBED_IN_SCHEDULER_LIBRARY(IScheduleInstantiationTrigger)
TOLVANE_DESCRIBED_IN_SCHEDULER_LIBRARY(IScheduleActions)
TOLVANE_DESCRIBED_IN_SCHEDULER_LIBRARY(IScheduleQueueAction)

#undef TOLVANE_DESCRIBED_IN_SCHEDULER_LIBRARY
