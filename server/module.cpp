#include "server/module.h"

#include "Scheduler.h"
#include "actions/queue_action.h"
#include "actions/schedule_actions.h"
#include "items/schedule_item.h"
#include "items/schedule_items.h"
#include "scheduler/scheduler.h"
#include "triggers/instantiation_trigger.h"
#include "triggers/monitor_trigger.h"
#include "triggers/schedule_trigger.h"
#include "triggers/schedule_triggers.h"

namespace tolvane {

namespace {

template <class T>
comrt::com_ptr<IClassFactory> factory_of() {
  return comrt::make<comrt::class_factory<T>>().template as<IClassFactory>();
}

// The class list, in registration order.
const class_entry kClasses[] = {
    {CLSID_ScheduleActions, u"ScheduleActions", u"Scheduler.ScheduleActions.1", u"Scheduler.ScheduleActions", false,
     &factory_of<CScheduleActions>},
    {CLSID_ScheduleInstantiationTrigger, u"ScheduleInstantiationTrigger", u"Scheduler.ScheduleInstantiationTrigger.1",
     u"Scheduler.ScheduleInstantiationTrigger", false, &factory_of<CScheduleInstantiationTrigger>},
    {CLSID_ScheduleQueueAction, u"ScheduleQueueAction", u"Scheduler.ScheduleQueueAction.1",
     u"Scheduler.ScheduleQueueAction", false, &factory_of<CScheduleQueueAction>},
    {CLSID_ScheduleTriggers, u"ScheduleTriggers", u"Scheduler.ScheduleTriggers.1", u"Scheduler.ScheduleTriggers",
     true, &factory_of<CScheduleTriggers>},
    {CLSID_ScheduleItem, u"ScheduleItem", u"Scheduler.ScheduleItem.1", u"Scheduler.ScheduleItem", false,
     &factory_of<CScheduleItem>},
    {CLSID_ScheduleItems, u"ScheduleItems", u"Scheduler.ScheduleItems.1", u"Scheduler.ScheduleItems", false,
     &factory_of<CScheduleItems>},
    {CLSID_ScheduleMonitorTrigger, u"ScheduleMonitorTrigger", u"Scheduler.ScheduleMonitorTrigger.1",
     u"Scheduler.ScheduleMonitorTrigger", false, &factory_of<CScheduleMonitorTrigger>},
    {CLSID_Scheduler, u"Scheduler", u"Scheduler.Scheduler.1", u"Scheduler.Scheduler", false, &factory_of<CScheduler>},
    {CLSID_ScheduleScheduleTrigger, u"ScheduleScheduleTrigger", u"Scheduler.ScheduleScheduleTrigger.1",
     u"Scheduler.ScheduleScheduleTrigger", true, &factory_of<CScheduleScheduleTrigger>},
};
constexpr size_t kClassCount = sizeof(kClasses) / sizeof(kClasses[0]);

}  // namespace

// The ProgIDs are what a failing member names as the source of its error information.
CSchedulerModule::CSchedulerModule() {
  for (const class_entry& c : kClasses) comrt::module_prog_ids().add(c.clsid, c.prog_id);
}

CSchedulerModule& CSchedulerModule::instance() noexcept {
  static CSchedulerModule module;
  return module;
}

const class_entry* CSchedulerModule::classes(size_t* count) noexcept {
  *count = kClassCount;
  return kClasses;
}

HRESULT CSchedulerModule::get_class_object(REFCLSID clsid, REFIID riid, void** ppv) noexcept {
  return comrt::boundary([&] {
    comrt::init_out(ppv);
    static_assert(kClassCount <= sizeof(factories_) / sizeof(factories_[0]));
    for (size_t i = 0; i < kClassCount; ++i) {
      if (!(kClasses[i].clsid == clsid)) continue;
      comrt::com_ptr<IClassFactory> factory;
      {
        comrt::lock_guard guard(mutex_);
        if (!factories_[i]) factories_[i] = kClasses[i].make_factory();
        factory = factories_[i];
      }
      return factory->QueryInterface(riid, ppv);
    }
    return CLASS_E_CLASSNOTAVAILABLE;
  });
}

HRESULT CSchedulerModule::can_unload_now() const noexcept {
  return comrt::module_lock_count().load() == 0 ? S_OK : S_FALSE;
}

}  // namespace tolvane
