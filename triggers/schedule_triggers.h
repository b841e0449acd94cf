// CScheduleTriggers: the triggers of one schedule item, and the answers they give together: whether
// the item is due (IsSet), moving the due triggers on (Next) and the item's next run time.
#pragma once

#include <comrt/dispatch.h>

#include "Scheduler.h"
#include "XMLArchive.h"
#include "items/interface_list.h"
#include "server/typelib.h"

namespace tolvane {

class CScheduleTriggers final
    : public CComInterfaceListImpl4<
          CScheduleTriggers,
          comrt::implements<CScheduleTriggers, IScheduleTriggers, IXMLArchiveSerializable, comrt::free_threaded>,
          IScheduleTriggers, IScheduleTrigger, IEnumScheduleTrigger, CComInterfaceListImplNoEvents> {
 public:
  static constexpr const CLSID& class_id = CLSID_ScheduleTriggers;

  HRESULT STDMETHODCALLTYPE Clone(IScheduleTriggers** ppClone) override { return clone_to(ppClone); }
  HRESULT STDMETHODCALLTYPE IsSet(IScheduleTrigger** retval) override;
  HRESULT STDMETHODCALLTYPE Next() override;
  HRESULT STDMETHODCALLTYPE HasNextRunTime() override;
  HRESULT STDMETHODCALLTYPE get_NextRunTime(DATE* pVal) override;
  HRESULT STDMETHODCALLTYPE get_NextRunTimeAsUnixTime(ULONGLONG* pVal) override;
  HRESULT STDMETHODCALLTYPE Serialize(IXMLArchive* pArchive, IXMLDOMNode* pNode) override;

 private:
  // The smallest non-zero next occurrence of the members that have one, or 0.
  ULONGLONG earliest_occurrence();
};

}  // namespace tolvane
