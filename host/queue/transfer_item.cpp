#include "host/queue/transfer_item.h"

#include <comrt/site.h>
#include <comrt/strings.h>
#include <comrt/variant.h>

#include "host/queue/folder_tree.h"

namespace tolvane::host {

using comrt::com_ptr;

com_ptr<CTransferQueueItem> CTransferQueueItem::create(transfer_definition definition) {
  auto item = comrt::make<CTransferQueueItem>();
  if (definition.kind == TRANSFER_ITEM_KIND_FOLDER && definition.mode == TRANSFER_SOURCE_MODE_PATH) {
    definition.mode = TRANSFER_SOURCE_MODE_FOLDER;
  }
  item->set_definition(std::move(definition));
  return item;
}

transfer_definition CTransferQueueItem::definition() const {
  comrt::lock_guard guard(object_mutex());
  return definition_;
}

void CTransferQueueItem::set_definition(transfer_definition definition) {
  comrt::lock_guard guard(object_mutex());
  definition_ = std::move(definition);
}

std::optional<std::vector<std::string>> CTransferQueueItem::only_files() const {
  comrt::lock_guard guard(object_mutex());
  return only_files_;
}

transfer_state CTransferQueueItem::state() const {
  comrt::lock_guard guard(object_mutex());
  return state_;
}

HRESULT CTransferQueueItem::result() const {
  comrt::lock_guard guard(object_mutex());
  return result_;
}

HRESULT CTransferQueueItem::CreateQueueCopy(ITransferQueueItem** ppCopy) {
  return comrt::boundary([&] {
    comrt::init_out(ppCopy);
    auto copy = comrt::make<CTransferQueueItem>();
    copy->set_definition(definition());
    *ppCopy = copy.detach();
  });
}

HRESULT CTransferQueueItem::get_Kind(LONG* pVal) {
  if (!pVal) return E_POINTER;
  *pVal = definition().kind;
  return S_OK;
}

HRESULT CTransferQueueItem::get_Source(ITransferSourceDescriptor** pVal) {
  if (!pVal) return E_POINTER;
  return QueryInterface(IID_ITransferSourceDescriptor, reinterpret_cast<void**>(pVal));
}

HRESULT CTransferQueueItem::get_Mode(LONG* pVal) {
  if (!pVal) return E_POINTER;
  *pVal = definition().mode;
  return S_OK;
}

HRESULT CTransferQueueItem::get_Path(BSTR* pVal) {
  return comrt::boundary([&] {
    comrt::init_out(pVal);
    *pVal = comrt::bstr(comrt::to_utf16(definition().source)).detach();
  });
}

HRESULT CTransferQueueItem::ApplyChangeSet(IFolderTreeChangeSet* pChanges) {
  return comrt::boundary([&]() -> HRESULT {
    const auto* changes = host_object<CFolderTreeChangeSet>(pChanges);
    if (!changes) return E_INVALIDARG;
    std::vector<std::string> files = changes->files();
    comrt::lock_guard guard(object_mutex());
    if (state_ != transfer_state::pending) return E_UNEXPECTED;
    only_files_ = std::move(files);
    return S_OK;
  });
}

HRESULT CTransferQueueItem::get_Dependencies(ITransferDependencies** pVal) {
  if (!pVal) return E_POINTER;
  return QueryInterface(IID_ITransferDependencies, reinterpret_cast<void**>(pVal));
}

bool CTransferQueueItem::waits_for(const CTransferQueueItem* other) const {
  std::vector<com_ptr<CTransferQueueItem>> direct;
  {
    comrt::lock_guard guard(object_mutex());
    direct = dependencies_;
  }
  for (const auto& d : direct) {
    if (d.get() == other || d->waits_for(other)) return true;
  }
  return false;
}

HRESULT CTransferQueueItem::Add(ITransferQueueItem* pItem) {
  return comrt::boundary([&]() -> HRESULT {
    com_ptr<CTransferQueueItem> dependency(host_object<CTransferQueueItem>(pItem));
    if (!dependency || dependency.get() == this || dependency->waits_for(this)) return E_INVALIDARG;
    comrt::lock_guard guard(object_mutex());
    if (state_ != transfer_state::pending) return E_UNEXPECTED;
    dependencies_.push_back(std::move(dependency));
    return S_OK;
  });
}

HRESULT CTransferQueueItem::GetClassID(CLSID* pClassID) { return comrt::persist_class_id(pClassID, class_id); }

HRESULT CTransferQueueItem::Serialize(IXMLArchive* pArchive, IXMLDOMNode* pNode) {
  return comrt::boundary([&]() -> HRESULT {
    if (!pArchive) return E_INVALIDARG;
    const bool loading = comrt::check_hresult(pArchive->IsLoading()) == S_OK;
    transfer_definition d = definition();
    comrt::variant source(comrt::to_utf16(d.source));
    comrt::variant destination(comrt::to_utf16(d.destination));
    comrt::variant kind(d.kind);
    comrt::variant mode(d.mode);
    comrt::check_hresult(pArchive->ExchangeValue(pNode, u"Source", &source));
    comrt::check_hresult(pArchive->ExchangeValue(pNode, u"Destination", &destination));
    comrt::check_hresult(pArchive->ExchangeValue(pNode, u"Kind", &kind));
    comrt::check_hresult(pArchive->ExchangeValue(pNode, u"Mode", &mode));
    if (!loading) return S_OK;
    // The archive leaves a value that does not convert as it was; only the expected types count.
    if (source.vt != VT_BSTR || destination.vt != VT_BSTR || kind.vt != VT_I4 || mode.vt != VT_I4) {
      return E_INVALIDARG;
    }
    d.source = comrt::to_utf8(comrt::bstr_view(source.bstrVal));
    d.destination = comrt::to_utf8(comrt::bstr_view(destination.bstrVal));
    d.kind = kind.lVal;
    d.mode = mode.lVal;
    set_definition(std::move(d));
    return S_OK;
  });
}

bool CTransferQueueItem::mark_queued() {
  comrt::lock_guard guard(object_mutex());
  if (state_ != transfer_state::pending) return false;
  state_ = transfer_state::queued;
  return true;
}

HRESULT CTransferQueueItem::dependency_status() const {
  std::vector<com_ptr<CTransferQueueItem>> direct;
  {
    comrt::lock_guard guard(object_mutex());
    direct = dependencies_;
  }
  HRESULT status = S_OK;
  for (const auto& d : direct) {
    switch (d->state()) {
      case transfer_state::succeeded: break;
      case transfer_state::failed: return TRANSFER_E_DEPENDENCY_FAILED;
      default: status = S_FALSE;
    }
  }
  return status;
}

void CTransferQueueItem::mark_running() {
  comrt::lock_guard guard(object_mutex());
  state_ = transfer_state::running;
}

void CTransferQueueItem::finish(HRESULT result) {
  std::vector<com_ptr<CTransferQueueItem>> released;
  {
    comrt::lock_guard guard(object_mutex());
    state_ = SUCCEEDED(result) ? transfer_state::succeeded : transfer_state::failed;
    result_ = result;
    // A finished transfer no longer needs them; keeping them would chain every transfer an action
    // ever queued to the next one.
    released.swap(dependencies_);
  }
  finished_.set();
}

}  // namespace tolvane::host
