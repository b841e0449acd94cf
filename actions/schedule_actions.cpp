#include "actions/schedule_actions.h"

#include "persistence/xml_archive.h"

namespace tolvane {

HRESULT CScheduleActions::GetClassID(CLSID* pClassID) {
  if (!pClassID) return E_FAIL;
  *pClassID = CLSID_ScheduleActions;
  return S_OK;
}

HRESULT CScheduleActions::Serialize(IXMLArchive* pArchive, IXMLDOMNode* pNode) {
  return comrt::boundary([&] {
    comrt::check_pointer(pArchive);
    if (pArchive->IsLoading() == S_OK) {
      // An action class that cannot be stored is left out; a class identifier that does not parse,
      // a class that cannot be made, or an action that fails to read fails the whole read.
      comrt::check_hresult(Empty());
      for (const object_element& e : object_elements(pNode, u"Action")) {
        comrt::check_hresult(e.status);
        comrt::com_ptr<IScheduleAction> action;
        comrt::check_hresult(CoCreateInstance(e.clsid, nullptr, CLSCTX_ALL, IID_IScheduleAction, action.put_void()));
        const auto serializable = action.try_as<IXMLArchiveSerializable>();
        if (!serializable) continue;
        comrt::check_hresult(serialize_object(serializable.get(), pArchive, e.node.get()));
        comrt::check_hresult(AddItem(action.get()));
      }
      return S_OK;
    }
    comrt::shared_guard guard(list_lock_);
    for (const element_ptr& action : list_) {
      comrt::check_hresult(pArchive->ExchangeObject(pNode, u"Action", action.get()));
    }
    return S_OK;
  });
}

}  // namespace tolvane
