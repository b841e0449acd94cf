#include "actions/queue_action.h"

#include <comrt/variant.h>

#include "persistence/xml_archive.h"

namespace tolvane {

namespace {

using comrt::check_hresult;
using comrt::com_ptr;

// An object a host call handed out with success. Success without one ends the run with E_POINTER.
template <class T>
T* required(const com_ptr<T>& object) {
  if (!object) comrt::throw_hresult(E_POINTER);
  return object.get();
}

// A new object of a host class, made in any context.
template <class I>
com_ptr<I> create_host_object(REFCLSID clsid) {
  com_ptr<I> object;
  check_hresult(CoCreateInstance(clsid, nullptr, CLSCTX_ALL, comrt::uuidof<I>(), object.put_void()));
  required(object);
  return object;
}

// The source descriptor of a folder transfer (a folder item whose source is a whole folder); null
// for any other transfer.
com_ptr<ITransferSourceDescriptor> folder_source(ITransferQueueItem* item) {
  LONG kind = 0;
  check_hresult(item->get_Kind(&kind));
  if (kind != TRANSFER_ITEM_KIND_FOLDER) return nullptr;
  com_ptr<ITransferSourceDescriptor> source;
  check_hresult(item->get_Source(source.put()));
  LONG mode = 0;
  check_hresult(required(source)->get_Mode(&mode));
  if (mode != TRANSFER_SOURCE_MODE_FOLDER) return nullptr;
  return source;
}

}  // namespace

HRESULT CScheduleQueueAction::get_transfer(const transfer_slot& slot, IUnknown** out) {
  if (!out) return E_POINTER;
  slot.get().copy_to(out);
  return S_OK;
}

HRESULT CScheduleQueueAction::assign_transfer(transfer_slot& slot, IUnknown* value) {
  com_ptr<ITransferQueueItem> item;
  const HRESULT hr = value ? value->QueryInterface(IID_ITransferQueueItem, item.put_void()) : S_OK;
  slot.set(SUCCEEDED(hr) ? std::move(item) : nullptr);
  return hr;
}

HRESULT CScheduleQueueAction::put_transfer(transfer_slot& slot, IUnknown* value) {
  if (!value) return E_INVALIDARG;
  return assign_transfer(slot, value);
}

HRESULT CScheduleQueueAction::Copy(IScheduleQueueAction* pCopy) {
  return comrt::boundary([&]() -> HRESULT {
    if (!pCopy) return E_INVALIDARG;
    TransferQueueItemPosition position{};
    check_hresult(pCopy->get_QueueItemPosition(&position));
    position_.store(position);
    VARIANT_BOOL flag = VARIANT_FALSE;
    check_hresult(pCopy->get_UseFolderTree(&flag));
    use_folder_tree_.store(flag);
    check_hresult(pCopy->get_DependOnPreviousItem(&flag));
    depend_on_previous_item_.store(flag);

    // The template is shared with the source, not duplicated.
    com_ptr<IUnknown> item;
    check_hresult(pCopy->get_Item(item.put()));
    check_hresult(assign_transfer(item_, item.get()));

    // Read before this action's own is replaced, so that copying an action onto itself keeps it.
    com_ptr<IUnknown> previous;
    const HRESULT hr = pCopy->get_PreviousItem(previous.put());
    if (FAILED(hr)) {
      previous_item_.set(nullptr);
      return hr;
    }
    // The folder-tree snapshot belongs to this action's own runs: neither copied nor cleared.
    return assign_transfer(previous_item_, previous.get());
  });
}

HRESULT CScheduleQueueAction::Run(IUnknown* pServiceProvider) {
  return comrt::boundary([&]() -> HRESULT {
    if (!pServiceProvider) return E_INVALIDARG;
    const com_ptr<ITransferQueueItem> item = item_.get();
    if (!item) return E_FAIL;
    const auto provider = com_ptr<IUnknown>(pServiceProvider).try_as<IServiceProvider>();
    if (!provider) return E_FAIL;
    com_ptr<ITransferQueue> queue;
    // Only the object counts, not the status: a provider may answer with a success code of its own.
    provider->QueryService(SID_TransferQueue, IID_ITransferQueue, queue.put_void());
    if (!queue) return E_FAIL;

    com_ptr<ITransferQueueItem> copy;
    check_hresult(item->CreateQueueCopy(copy.put()));
    required(copy);

    if (use_folder_tree_.load() != VARIANT_FALSE) {
      if (const auto source = folder_source(item.get())) {
        if (const auto changes = folder_tree_changes(source.get())) {
          VARIANT_BOOL empty = VARIANT_FALSE;
          check_hresult(changes->get_IsEmpty(&empty));
          if (empty != VARIANT_FALSE) return S_OK;  // nothing changed: nothing to queue this time
          check_hresult(copy->ApplyChangeSet(changes.get()));
        }
      }
    }

    if (depend_on_previous_item_.load() != VARIANT_FALSE) {
      if (const auto previous = previous_item_.get()) {
        com_ptr<ITransferDependencies> dependencies;
        check_hresult(copy->get_Dependencies(dependencies.put()));
        check_hresult(required(dependencies)->Add(previous.get()));
      }
    }

    switch (position_.load()) {
      case tvTransferQueueItemPositionHead:
        check_hresult(queue->InsertHead(copy.get()));
        break;
      case tvTransferQueueItemPositionTail:
        check_hresult(queue->InsertTail(copy.get()));
        break;
      default:
        // No such place in the queue: nothing is queued, and so nothing for the next run to
        // depend on.
        return S_OK;
    }
    previous_item_.set(std::move(copy));
    return S_OK;
  });
}

com_ptr<IFolderTreeChangeSet> CScheduleQueueAction::folder_tree_changes(ITransferSourceDescriptor* source) {
  comrt::bstr path;
  check_hresult(source->get_Path(path.put()));
  if (path.empty()) comrt::throw_hresult(E_FAIL);

  // Declared before the lock is taken, so that the snapshot replaced and the comparer are released
  // after it is left.
  com_ptr<IFolderTree> current;
  com_ptr<IFolderTreeComparer> comparer;
  com_ptr<IFolderTreeChangeSet> changes;
  comrt::lock_guard guard(folder_tree_mutex_);
  current = create_host_object<IFolderTree>(CLSID_FolderTree);
  check_hresult(current->Load(path.get()));
  if (snapshot_) {
    comparer = create_host_object<IFolderTreeComparer>(CLSID_FolderTreeComparer);
    check_hresult(comparer->Compare(snapshot_.get(), current.get(), changes.put()));
  }
  snapshot_.swap(current);
  return changes;
}

HRESULT CScheduleQueueAction::Clone(IScheduleAction** ppClone) {
  return comrt::boundary([&] {
    comrt::init_out(ppClone);
    auto clone = comrt::make<CScheduleQueueAction>();
    check_hresult(clone->Copy(this));
    *ppClone = clone.as<IScheduleAction>().detach();
  });
}

HRESULT CScheduleQueueAction::GetClassID(CLSID* pClassID) {
  return comrt::persist_class_id(pClassID, CLSID_ScheduleQueueAction);
}

// The template transfer is the host's own object and stores itself in "Item". The property
// UseFolderTree is stored as "UseFolderFree", the name the file format has always used.
HRESULT CScheduleQueueAction::Serialize(IXMLArchive* pArchive, IXMLDOMNode* pNode) {
  return comrt::boundary([&] {
    CXMLDataExchange dx(comrt::check_pointer(pArchive), pNode);
    if (dx.loading()) {
      item_.set(nullptr);
      previous_item_.set(nullptr);
      // A transfer is made from the host's item class whether or not the element is there: an
      // action that cannot hold a transfer cannot be read.
      const auto item = create_host_object<ITransferQueueItem>(CLSID_TransferQueueItem);
      if (SUCCEEDED(pArchive->ExchangeObject(pNode, u"Item", item.get()))) item_.set(item);
      VARIANT_BOOL flag = use_folder_tree_.load();
      if (dx.ExchangeFlag(u"UseFolderFree", flag) == S_OK) use_folder_tree_.store(flag);
      flag = depend_on_previous_item_.load();
      if (dx.ExchangeFlag(u"DependOnPreviousItem", flag) == S_OK) depend_on_previous_item_.store(flag);
      return;
    }
    if (const auto item = item_.get()) check_hresult(pArchive->ExchangeObject(pNode, u"Item", item.get()));
    VARIANT_BOOL flag = use_folder_tree_.load();
    if (flag != VARIANT_TRUE) check_hresult(dx.ExchangeFlag(u"UseFolderFree", flag));
    flag = depend_on_previous_item_.load();
    if (flag != VARIANT_FALSE) check_hresult(dx.ExchangeFlag(u"DependOnPreviousItem", flag));
  });
}

}  // namespace tolvane
