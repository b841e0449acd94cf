#include "triggers/instantiation_trigger.h"

#include <comrt/variant.h>

#include "triggers/trigger_texts.h"

namespace tolvane {

namespace {
constexpr unsigned kNameText = 201;
}

HRESULT CScheduleInstantiationTrigger::get_Name(BSTR* pVal) {
  return comrt::boundary([&] {
    comrt::init_out(pVal);
    const std::u16string text = load_text(kNameText);
    if (text.empty()) return E_FAIL;
    *pVal = comrt::bstr(text).detach();
    return S_OK;
  });
}

HRESULT CScheduleInstantiationTrigger::Clone(IScheduleTrigger** ppClone) {
  return comrt::boundary([&] {
    comrt::init_out(ppClone);
    auto clone = comrt::make<CScheduleInstantiationTrigger>();
    comrt::check_hresult(clone->Copy(this));
    *ppClone = clone.as<IScheduleTrigger>().detach();
  });
}

HRESULT CScheduleInstantiationTrigger::GetClassID(CLSID* pClassID) {
  return comrt::persist_class_id(pClassID, CLSID_ScheduleInstantiationTrigger);
}

}  // namespace tolvane
