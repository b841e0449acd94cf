// The host's transfer queue as the queue action sees it. These objects belong to the host (the
// file-transfer client); the component only calls them, in the order given below, and a host (or a
// test) implements them. The identifiers of the queue, the transfer item, the folder-tree snapshot
// and the comparer are fixed; the operations are the ones the queue action relies on.
//
// What one run of a queue action does with them:
//   1. asks its service provider for SID_TransferQueue / ITransferQueue;
//   2. ITransferQueueItem::CreateQueueCopy on its template item;
//   3. for a folder transfer (get_Kind gives TRANSFER_ITEM_KIND_FOLDER and the source descriptor's
//      get_Mode gives TRANSFER_SOURCE_MODE_FOLDER) with the folder-tree option: creates a
//      CLSID_FolderTree object, IFolderTree::Load with the descriptor's get_Path; from the second run
//      on also a CLSID_FolderTreeComparer and IFolderTreeComparer::Compare(previous, current); an
//      empty change set (get_IsEmpty non-zero) ends the run, otherwise ApplyChangeSet on the copy;
//   4. with the dependency option: get_Dependencies on the copy, then Add(previous copy);
//   5. ITransferQueue::InsertHead or InsertTail with the copy.
// Every failure of these operations ends the run and becomes its result.
//
// The transfer item also persists itself inside the schedule file through IXMLArchiveSerializable
// (XMLArchive.h); CLSID_TransferQueueItem is created when a stored queue action is read.
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

// The changes found between two folder-tree snapshots.
struct IFolderTreeChangeSet : IUnknown {
  // Non-zero when nothing changed.
  virtual HRESULT STDMETHODCALLTYPE get_IsEmpty(VARIANT_BOOL* pVal) = 0;
};
COMRT_INTERFACE_ID(IFolderTreeChangeSet, IUnknown, 0x0A0CB206, 0x3ED3, 0x4600, 0x9E, 0x93, 0x5C, 0x6F, 0x35, 0x29,
                   0xB9, 0x92)

// Where a transfer takes its files from.
struct ITransferSourceDescriptor : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE get_Mode(LONG* pVal) = 0;
  // The folder of a folder transfer; must not be empty for the folder-tree step.
  virtual HRESULT STDMETHODCALLTYPE get_Path(BSTR* pVal) = 0;
};
COMRT_INTERFACE_ID(ITransferSourceDescriptor, IUnknown, 0x8B68905B, 0xA12B, 0x4EE1, 0x86, 0x78, 0xCF, 0xED, 0xE1,
                   0x8B, 0x62, 0x0A)

// The transfers a transfer waits for.
struct ITransferDependencies : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Add(ITransferQueueItem* pItem) = 0;
};
COMRT_INTERFACE_ID(ITransferDependencies, IUnknown, 0x3BC75F44, 0xED60, 0x4BE0, 0xAD, 0x82, 0x65, 0x18, 0x11, 0x45,
                   0x0C, 0xA6)

// One transfer of the host.
struct ITransferQueueItem : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE get_Kind(LONG* pVal) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Source(ITransferSourceDescriptor** pVal) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Dependencies(ITransferDependencies** pVal) = 0;
  // Restricts this transfer to the changes found in its folder tree.
  virtual HRESULT STDMETHODCALLTYPE ApplyChangeSet(IFolderTreeChangeSet* pChanges) = 0;
  // A fresh transfer made from this one, ready to be queued.
  virtual HRESULT STDMETHODCALLTYPE CreateQueueCopy(ITransferQueueItem** ppCopy) = 0;
};
COMRT_INTERFACE_ID(ITransferQueueItem, IUnknown, 0xAEAE987A, 0xA313, 0x479C, 0x81, 0x9B, 0x84, 0x4C, 0x6F, 0x35,
                   0xE2, 0x18)

// The host's transfer queue.
struct ITransferQueue : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE InsertHead(ITransferQueueItem* pItem) = 0;
  virtual HRESULT STDMETHODCALLTYPE InsertTail(ITransferQueueItem* pItem) = 0;
};
COMRT_INTERFACE_ID(ITransferQueue, IUnknown, 0xE72AD41C, 0x8861, 0x4F3C, 0xB2, 0x7E, 0x95, 0xFE, 0x86, 0xF6, 0x4D,
                   0x77)

// A snapshot of a folder tree (names, sizes and times below a folder).
struct IFolderTree : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Load(BSTR bstrPath) = 0;
};
COMRT_INTERFACE_ID(IFolderTree, IUnknown, 0x6FE2A6D7, 0xC372, 0x459F, 0xAE, 0x57, 0xA5, 0xAA, 0xA8, 0x75, 0xA6, 0x2E)

// Compares two snapshots of the same folder.
struct IFolderTreeComparer : IUnknown {
  // The changes from pPrevious to pCurrent; may hand out null.
  virtual HRESULT STDMETHODCALLTYPE Compare(IFolderTree* pPrevious, IFolderTree* pCurrent,
                                            IFolderTreeChangeSet** ppChanges) = 0;
};
COMRT_INTERFACE_ID(IFolderTreeComparer, IUnknown, 0x6B562F51, 0x18D8, 0x43B2, 0x82, 0x18, 0x71, 0x89, 0x5B, 0x90,
                   0x30, 0x0B)
