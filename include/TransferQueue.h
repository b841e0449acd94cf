// The host's transfer queue as the queue action (ScheduleQueueAction) sees it.
//
// The transfer queue, its transfer items and the folder-tree objects belong to the host (the
// file-transfer client), not to this component: the component only calls them, and a host
// implements them. This header is the whole contract: the identifiers, the operations in their
// vtable order, and what the component relies on. Each interface lists its operations in the order
// in which one run calls them; that order fixes the vtable slots and does not change.
//
// One run of a queue action (IScheduleAction::Run with the host's service provider):
//   1. QueryInterface(IID_IServiceProvider) on the provider the run was given, then
//      QueryService(SID_TransferQueue, IID_ITransferQueue). Without a queue the run fails (E_FAIL).
//   2. ITransferQueueItem::CreateQueueCopy on the template item: the copy that this run queues.
//   3. Only when the action's UseFolderTree is set:
//        ITransferQueueItem::get_Kind on the template; only for TRANSFER_ITEM_KIND_FOLDER:
//        ITransferQueueItem::get_Source on the template, ITransferSourceDescriptor::get_Mode;
//        only for TRANSFER_SOURCE_MODE_FOLDER, the folder-tree step:
//          ITransferSourceDescriptor::get_Path (an empty path fails the run with E_FAIL);
//          CoCreateInstance(CLSID_FolderTree, CLSCTX_ALL, IID_IFolderTree), IFolderTree::Load(path);
//          if the action holds the snapshot of an earlier run:
//            CoCreateInstance(CLSID_FolderTreeComparer, CLSCTX_ALL, IID_IFolderTreeComparer),
//            IFolderTreeComparer::Compare(earlier snapshot, new snapshot);
//          the new snapshot replaces the earlier one (the action keeps it for its next run);
//          with a change set: IFolderTreeChangeSet::get_IsEmpty; when it is empty the run ends
//          here with S_OK and queues nothing; otherwise ITransferQueueItem::ApplyChangeSet on the copy.
//        The folder-tree step of one action runs under a lock of that action: two runs of the same
//        action never compare against a snapshot the other is replacing.
//   4. Only when the action's DependOnPreviousItem is set and it holds the transfer it queued
//      before: ITransferQueueItem::get_Dependencies on the copy, ITransferDependencies::Add(that
//      earlier transfer).
//   5. ITransferQueue::InsertHead or ITransferQueue::InsertTail with the copy, as the action's
//      QueueItemPosition says (any other position queues nothing). The action keeps the queued copy
//      as its PreviousItem, so the next run can depend on it.
// The first failure of any of these calls ends the run; its status is passed through unchanged as
// the result of the run (and so becomes the schedule item's LastTaskResult). A call that returns
// success but hands out a null object where an object is needed ends the run with E_POINTER.
//
// For host authors:
// - Out-parameters follow the usual rules: the callee hands out interface pointers with a reference
//   of their own and BSTRs that the caller frees.
// - Runs come from the scheduler's own thread (scheduled runs) and from any thread that calls
//   IScheduler::RunItem or the action's Run. Clones of an action share one template item, so
//   CreateQueueCopy may be called on one template from several threads at once. Make the objects
//   free-threaded (aggregate the free-threaded marshaler) and safe for concurrent calls.
// - CLSID_FolderTree and CLSID_FolderTreeComparer are created through CoCreateInstance in any
//   context: register their class objects in the process (CoRegisterClassObject) or in the registry.
// - CLSID_TransferQueueItem is created when a stored queue action is read from the schedule file;
//   its objects persist themselves there through IXMLArchiveSerializable (XMLArchive.h).
// - A transfer's destination, progress and everything else a queue needs are the host's own
//   business: the component never asks for them.
#pragma once

#include <comrt/oaidl.h>

struct ITransferQueueItem;
struct ITransferSourceDescriptor;
struct ITransferDependencies;
struct ITransferQueue;
struct IFolderTree;
struct IFolderTreeComparer;
struct IFolderTreeChangeSet;

// Service identifier under which the host's service provider offers its transfer queue.
inline constexpr GUID SID_TransferQueue{0xADCC0C68, 0x3F7F, 0x40F3, {0xA9, 0xD8, 0x0F, 0xD1, 0x13, 0x35, 0x64, 0x03}};
// Host classes the component creates (in any server context).
inline constexpr CLSID CLSID_TransferQueueItem{
    0xDC73DF5F, 0x8808, 0x458F, {0xBD, 0xBF, 0xAD, 0x62, 0x98, 0x36, 0x29, 0x6C}};
inline constexpr CLSID CLSID_FolderTree{0x9C2004FA, 0x7301, 0x41E4, {0x9F, 0xCB, 0x08, 0xF1, 0x25, 0x0E, 0x2C, 0xC9}};
inline constexpr CLSID CLSID_FolderTreeComparer{
    0xD85EDB95, 0xCDBE, 0x49B0, {0x9F, 0x75, 0xBE, 0xA0, 0xF9, 0xA9, 0xBD, 0x88}};

// Values of ITransferQueueItem::get_Kind and ITransferSourceDescriptor::get_Mode that make a
// transfer a folder transfer; other values are the host's own.
inline constexpr LONG TRANSFER_ITEM_KIND_FOLDER = 2;
inline constexpr LONG TRANSFER_SOURCE_MODE_FOLDER = 1;

// One transfer of the host: the template that an action holds, and each copy it queues.
struct ITransferQueueItem : IUnknown {
  // A fresh transfer made from this one, ready to be queued (a new object, not in any queue yet).
  virtual HRESULT STDMETHODCALLTYPE CreateQueueCopy(ITransferQueueItem** ppCopy) = 0;
  // What kind of transfer this is; TRANSFER_ITEM_KIND_FOLDER for a folder transfer.
  virtual HRESULT STDMETHODCALLTYPE get_Kind(LONG* pVal) = 0;
  // Where the transfer takes its files from.
  virtual HRESULT STDMETHODCALLTYPE get_Source(ITransferSourceDescriptor** pVal) = 0;
  // Restricts this transfer to the changes found in its folder tree (called on a copy only).
  virtual HRESULT STDMETHODCALLTYPE ApplyChangeSet(IFolderTreeChangeSet* pChanges) = 0;
  // The transfers this one waits for (called on a copy only).
  virtual HRESULT STDMETHODCALLTYPE get_Dependencies(ITransferDependencies** pVal) = 0;
};
COMRT_INTERFACE_ID(ITransferQueueItem, IUnknown, 0xAEAE987A, 0xA313, 0x479C, 0x81, 0x9B, 0x84, 0x4C, 0x6F, 0x35,
                   0xE2, 0x18)

// Where a transfer takes its files from.
struct ITransferSourceDescriptor : IUnknown {
  // TRANSFER_SOURCE_MODE_FOLDER when the source is a whole folder tree.
  virtual HRESULT STDMETHODCALLTYPE get_Mode(LONG* pVal) = 0;
  // The folder of a folder transfer; must not be empty for the folder-tree step.
  virtual HRESULT STDMETHODCALLTYPE get_Path(BSTR* pVal) = 0;
};
COMRT_INTERFACE_ID(ITransferSourceDescriptor, IUnknown, 0x8B68905B, 0xA12B, 0x4EE1, 0x86, 0x78, 0xCF, 0xED, 0xE1,
                   0x8B, 0x62, 0x0A)

// The transfers a transfer waits for.
struct ITransferDependencies : IUnknown {
  // pItem is the transfer the same action queued on its previous run (it may have finished and
  // left the queue since).
  virtual HRESULT STDMETHODCALLTYPE Add(ITransferQueueItem* pItem) = 0;
};
COMRT_INTERFACE_ID(ITransferDependencies, IUnknown, 0x3BC75F44, 0xED60, 0x4BE0, 0xAD, 0x82, 0x65, 0x18, 0x11, 0x45,
                   0x0C, 0xA6)

// The host's transfer queue, offered by the host's service provider as SID_TransferQueue.
struct ITransferQueue : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE InsertHead(ITransferQueueItem* pItem) = 0;
  virtual HRESULT STDMETHODCALLTYPE InsertTail(ITransferQueueItem* pItem) = 0;
};
COMRT_INTERFACE_ID(ITransferQueue, IUnknown, 0xE72AD41C, 0x8861, 0x4F3C, 0xB2, 0x7E, 0x95, 0xFE, 0x86, 0xF6, 0x4D,
                   0x77)

// A snapshot of a folder tree (what lies below a folder, as much as the comparer needs). Created
// empty through CLSID_FolderTree.
struct IFolderTree : IUnknown {
  // Takes the snapshot of the folder at bstrPath.
  virtual HRESULT STDMETHODCALLTYPE Load(BSTR bstrPath) = 0;
};
COMRT_INTERFACE_ID(IFolderTree, IUnknown, 0x6FE2A6D7, 0xC372, 0x459F, 0xAE, 0x57, 0xA5, 0xAA, 0xA8, 0x75, 0xA6, 0x2E)

// Compares two snapshots of the same folder. Created through CLSID_FolderTreeComparer.
struct IFolderTreeComparer : IUnknown {
  // The changes from pPrevious to pCurrent. Handing out null (with success) means that there is
  // nothing to restrict: the copy is queued as it was made.
  virtual HRESULT STDMETHODCALLTYPE Compare(IFolderTree* pPrevious, IFolderTree* pCurrent,
                                            IFolderTreeChangeSet** ppChanges) = 0;
};
COMRT_INTERFACE_ID(IFolderTreeComparer, IUnknown, 0x6B562F51, 0x18D8, 0x43B2, 0x82, 0x18, 0x71, 0x89, 0x5B, 0x90,
                   0x30, 0x0B)

// The changes found between two folder-tree snapshots, handed to ITransferQueueItem::ApplyChangeSet.
struct IFolderTreeChangeSet : IUnknown {
  // Non-zero when nothing changed (the run then queues nothing).
  virtual HRESULT STDMETHODCALLTYPE get_IsEmpty(VARIANT_BOOL* pVal) = 0;
};
COMRT_INTERFACE_ID(IFolderTreeChangeSet, IUnknown, 0x0A0CB206, 0x3ED3, 0x4600, 0x9E, 0x93, 0x5C, 0x6F, 0x35, 0x29,
                   0xB9, 0x92)
