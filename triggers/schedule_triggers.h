// CScheduleTriggers: the triggers of one schedule item, and the answers they give together: whether
// the item is due (IsSet), moving the due triggers on (Next) and the item's next run time.
#pragma once

#include <atomic>

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

  ~CScheduleTriggers();

  // The collection behind an IScheduleTriggers, when it is one of this class (null otherwise).
  static CScheduleTriggers* from(IScheduleTriggers* triggers) noexcept;

  // IsSet without the list lock, for a caller inside a read_section (the scheduler's tick): it
  // walks the members as last published by a change of the list.
  HRESULT IsSetPublished(IScheduleTrigger** retval);

  // Called by the collection template under the exclusive lock after every change of the list.
  void ListChanged() noexcept COMRT_REQUIRES(list_lock_);

  HRESULT STDMETHODCALLTYPE Clone(IScheduleTriggers** ppClone) override { return clone_to(ppClone); }
  HRESULT STDMETHODCALLTYPE IsSet(IScheduleTrigger** retval) override;
  HRESULT STDMETHODCALLTYPE Next() override;
  HRESULT STDMETHODCALLTYPE HasNextRunTime() override;
  HRESULT STDMETHODCALLTYPE get_NextRunTime(DATE* pVal) override;
  HRESULT STDMETHODCALLTYPE get_NextRunTimeAsUnixTime(ULONGLONG* pVal) override;
  HRESULT STDMETHODCALLTYPE Serialize(IXMLArchive* pArchive, IXMLDOMNode* pNode) override;

 private:
  // The members as a null-terminated array of counted references, replaced (never changed) by
  // every change of the list; null for an empty list.
  std::atomic<IScheduleTrigger**> published_{nullptr};
  // Set when the array could not be made: readers then ask under the lock.
  std::atomic<bool> unpublished_{false};
  // The smallest non-zero next occurrence of the members that have one, or 0.
  ULONGLONG earliest_occurrence();
};

}  // namespace tolvane
