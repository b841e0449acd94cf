// Items as the benchmarks make them: one trigger and one action each.
#pragma once

#include <comrt/object.h>

#include "items/schedule_item.h"

namespace bench {

inline comrt::com_ptr<tolvane::CScheduleItem> item_with(IScheduleTrigger* trigger, IScheduleAction* action) {
  auto item = comrt::make<tolvane::CScheduleItem>();
  comrt::com_ptr<IScheduleTriggers> triggers;
  item->get_Triggers(triggers.put());
  triggers->Add(trigger);
  comrt::com_ptr<IScheduleActions> actions;
  item->get_Actions(actions.put());
  actions->Add(action);
  return item;
}

}  // namespace bench
