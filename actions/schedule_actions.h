// CScheduleActions: the ordered actions of one schedule item. Changes of the list are announced
// nowhere (its own policy hooks do nothing); the item enumerates it and runs the actions.
#pragma once

#include <comrt/dispatch.h>
#include <comrt/site.h>

#include "Scheduler.h"
#include "XMLArchive.h"
#include "items/interface_list.h"
#include "server/typelib.h"

namespace tolvane {

class CScheduleActions;
using CScheduleActionsBase =
    comrt::object_with_site<comrt::implements<CScheduleActions, IScheduleActions, IObjectWithSite, IPersist,
                                              IXMLArchiveSerializable, comrt::free_threaded>>;

class CScheduleActions final
    : public CComInterfaceListImpl4<CScheduleActions, CScheduleActionsBase, IScheduleActions, IScheduleAction,
                                    IEnumScheduleAction, CScheduleActions> {
 public:
  static constexpr const CLSID& class_id = CLSID_ScheduleActions;

  HRESULT STDMETHODCALLTYPE Clone(IScheduleActions** ppClone) override { return clone_to(ppClone); }
  HRESULT STDMETHODCALLTYPE GetClassID(CLSID* pClassID) override;
  HRESULT STDMETHODCALLTYPE Serialize(IXMLArchive* pArchive, IXMLDOMNode* pNode) override;

  // Policy hooks: no change of the list is announced.
  HRESULT OnAddItem(IScheduleAction*) { return S_OK; }
  HRESULT OnRemoveItem(IScheduleAction*) { return S_OK; }
  HRESULT OnRemoveAllItems() { return S_OK; }
};

}  // namespace tolvane
