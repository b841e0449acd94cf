// CScheduleInstantiationTrigger: makes its item due once, the first time it is asked after the
// trigger object came into being, so an item with it runs once after each load of the schedule (or
// once after the host added it). It has no settings and stores nothing.
#pragma once

#include <atomic>

#include <comrt/dispatch.h>
#include <comrt/site.h>

#include "Scheduler.h"
#include "XMLArchive.h"
#include "server/typelib.h"

namespace tolvane {

class CScheduleInstantiationTrigger final
    : public comrt::object_with_site<
          comrt::implements<CScheduleInstantiationTrigger, IScheduleInstantiationTrigger, IXMLArchiveSerializable,
                            IPersist, IObjectWithSite, comrt::free_threaded>> {
 public:
  static constexpr const CLSID& class_id = CLSID_ScheduleInstantiationTrigger;

  // IScheduleTrigger
  HRESULT STDMETHODCALLTYPE get_Name(BSTR* pVal) override;
  HRESULT STDMETHODCALLTYPE Clone(IScheduleTrigger** ppClone) override;
  // S_OK the first time, S_FALSE ever after. The pending mark is taken atomically, so of two
  // threads asking at once only one sees it.
  HRESULT STDMETHODCALLTYPE IsSet() override { return pending_.exchange(false) ? S_OK : S_FALSE; }
  HRESULT STDMETHODCALLTYPE Next() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE ToString(BSTR* pVal) override { return get_Name(pVal); }

  // IScheduleInstantiationTrigger: nothing to take over.
  HRESULT STDMETHODCALLTYPE Copy(IScheduleInstantiationTrigger*) override { return S_OK; }

  // IPersist
  HRESULT STDMETHODCALLTYPE GetClassID(CLSID* pClassID) override;
  // IXMLArchiveSerializable: nothing is read or written.
  HRESULT STDMETHODCALLTYPE Serialize(IXMLArchive*, IXMLDOMNode*) override { return S_OK; }

 private:
  std::atomic<bool> pending_{true};
};

}  // namespace tolvane
