// CTransferQueueItem (CLSID_TransferQueueItem): one transfer of the host. It copies a file or a
// folder tree from a local source path to a destination (a local folder or an sftp://, ftp://,
// ftps:// or file:// URL). The item is its own source descriptor and its own dependency list.
//
// Life of a transfer: a template (created through the runtime and configured, or read from the
// schedule file) hands out copies with CreateQueueCopy; a copy may be restricted to a change set
// and given dependencies, then is queued once, runs once on the queue's worker and finishes with
// a result. finished() is set then, whatever the result.
#pragma once

#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include <comrt/event.h>
#include <comrt/object.h>
#include <comrt/ocidl.h>

#include "TransferQueue.h"
#include "XMLArchive.h"
#include "host/queue/host_object.h"

namespace tolvane::host {

// The host's kinds of transfer (get_Kind) and source modes (get_Mode); the folder values are the
// ones the queue action recognises.
inline constexpr LONG TRANSFER_ITEM_KIND_FILE = 1;
inline constexpr LONG TRANSFER_SOURCE_MODE_PATH = 0;

// The result of a transfer held back because a transfer it depends on failed.
inline constexpr HRESULT TRANSFER_E_DEPENDENCY_FAILED = MAKE_HRESULT(1, 4, 0x0201);

struct transfer_definition {
  std::string source;       // a local file (file kind) or folder (folder kind)
  std::string destination;  // a local folder or a URL naming a remote folder
  LONG kind = TRANSFER_ITEM_KIND_FILE;
  LONG mode = TRANSFER_SOURCE_MODE_PATH;
};

enum class transfer_state { pending, queued, running, succeeded, failed };

class CTransferQueueItem final
    : public comrt::implements<CTransferQueueItem, ITransferQueueItem, ITransferSourceDescriptor,
                               ITransferDependencies, IPersist, IXMLArchiveSerializable, IHostTransferObject,
                               comrt::free_threaded> {
 public:
  static constexpr const CLSID& class_id = CLSID_TransferQueueItem;

  // A transfer as the host defines it: a folder transfer takes the folder mode unless told otherwise.
  static comrt::com_ptr<CTransferQueueItem> create(transfer_definition definition);

  // ITransferQueueItem
  HRESULT STDMETHODCALLTYPE CreateQueueCopy(ITransferQueueItem** ppCopy) override;
  HRESULT STDMETHODCALLTYPE get_Kind(LONG* pVal) override;
  HRESULT STDMETHODCALLTYPE get_Source(ITransferSourceDescriptor** pVal) override;
  // E_INVALIDARG for a change set that is not this host's; E_UNEXPECTED once the copy is queued.
  HRESULT STDMETHODCALLTYPE ApplyChangeSet(IFolderTreeChangeSet* pChanges) override;
  HRESULT STDMETHODCALLTYPE get_Dependencies(ITransferDependencies** pVal) override;
  // ITransferSourceDescriptor
  HRESULT STDMETHODCALLTYPE get_Mode(LONG* pVal) override;
  HRESULT STDMETHODCALLTYPE get_Path(BSTR* pVal) override;
  // ITransferDependencies. E_INVALIDARG for null, for a transfer that is not this host's and for one
  // that would close a cycle (this one, or one that waits for this one); E_UNEXPECTED once queued.
  HRESULT STDMETHODCALLTYPE Add(ITransferQueueItem* pItem) override;
  // IPersist
  HRESULT STDMETHODCALLTYPE GetClassID(CLSID* pClassID) override;
  // IXMLArchiveSerializable: Source, Destination, Kind and Mode as child elements.
  HRESULT STDMETHODCALLTYPE Serialize(IXMLArchive* pArchive, IXMLDOMNode* pNode) override;
  void* STDMETHODCALLTYPE Implementation(REFCLSID clsid) override { return implementation_of(this, clsid); }

  transfer_definition definition() const;
  void set_definition(transfer_definition definition);
  // The files (relative to the source folder) a change set restricted this transfer to; empty
  // optional when it sends everything.
  std::optional<std::vector<std::string>> only_files() const;

  transfer_state state() const;
  // The result once finished (S_OK before).
  HRESULT result() const;
  // Set when the transfer has finished, whatever its result.
  comrt::event& finished() noexcept { return finished_; }

  // For the queue. Marks the transfer queued: false when it was queued before.
  bool mark_queued();
  // What its dependencies say: S_OK when all have succeeded, S_FALSE while one has not finished,
  // TRANSFER_E_DEPENDENCY_FAILED when one has failed.
  HRESULT dependency_status() const;
  void mark_running();
  // Records the result, lets go of the dependencies and sets finished().
  void finish(HRESULT result);

 private:
  bool waits_for(const CTransferQueueItem* other) const;

  transfer_definition definition_ COMRT_GUARDED_BY(object_mutex());
  std::optional<std::vector<std::string>> only_files_ COMRT_GUARDED_BY(object_mutex());
  std::vector<comrt::com_ptr<CTransferQueueItem>> dependencies_ COMRT_GUARDED_BY(object_mutex());
  transfer_state state_ COMRT_GUARDED_BY(object_mutex()) = transfer_state::pending;
  HRESULT result_ COMRT_GUARDED_BY(object_mutex()) = S_OK;
  comrt::event finished_{comrt::event_reset::manual};
};

}  // namespace tolvane::host
