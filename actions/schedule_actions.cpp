#include "actions/schedule_actions.h"

namespace tolvane {

HRESULT CScheduleActions::GetClassID(CLSID* pClassID) {
  if (!pClassID) return E_FAIL;
  *pClassID = CLSID_ScheduleActions;
  return S_OK;
}

HRESULT CScheduleActions::Serialize(IXMLArchive*, IXMLDOMNode*) { return E_NOTIMPL; }

}  // namespace tolvane
