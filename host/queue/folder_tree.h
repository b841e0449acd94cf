// Folder-tree snapshots and their comparison.
//
// CFolderTree (CLSID_FolderTree) records the relative path, size and modification time of every
// regular file below a folder. CFolderTreeComparer (CLSID_FolderTreeComparer) compares two
// snapshots and hands out a CFolderTreeChangeSet listing the files that were added or changed;
// files removed since the earlier snapshot are not listed (a transfer never deletes).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <comrt/object.h>

#include "TransferQueue.h"
#include "host/queue/host_object.h"

namespace tolvane::host {

struct file_state {
  uint64_t size = 0;
  int64_t modified_ns = 0;  // modification time, nanoseconds since the epoch
  bool operator==(const file_state&) const = default;
};
// Relative path (with '/' separators, UTF-8) -> state.
using folder_snapshot = std::map<std::string, file_state>;

// Takes the snapshot of `folder`; throws the status of a folder that is missing or unreadable.
// Subfolders that cannot be read are left out.
folder_snapshot take_snapshot(const std::string& folder);
// The files of `current` that are not in `previous` or differ in size or modification time.
std::vector<std::string> added_or_changed(const folder_snapshot& previous, const folder_snapshot& current);

inline constexpr CLSID CLSID_FolderTreeChangeSet{
    0xDCD55A40, 0x5C02, 0x4715, {0x87, 0x93, 0x75, 0x3F, 0x07, 0x1D, 0x9B, 0xD4}};

class CFolderTree final
    : public comrt::implements<CFolderTree, IFolderTree, IHostTransferObject, comrt::free_threaded> {
 public:
  static constexpr const CLSID& class_id = CLSID_FolderTree;

  // E_INVALIDARG for an empty path; the folder's own failure when it cannot be read. A failed Load
  // keeps the snapshot held before.
  HRESULT STDMETHODCALLTYPE Load(BSTR bstrPath) override;
  void* STDMETHODCALLTYPE Implementation(REFCLSID clsid) override { return implementation_of(this, clsid); }

  // The snapshot taken by the last successful Load (empty before).
  std::shared_ptr<const folder_snapshot> snapshot() const;

 private:
  std::shared_ptr<const folder_snapshot> snapshot_ COMRT_GUARDED_BY(object_mutex()) =
      std::make_shared<const folder_snapshot>();
};

class CFolderTreeChangeSet final
    : public comrt::implements<CFolderTreeChangeSet, IFolderTreeChangeSet, IHostTransferObject,
                               comrt::free_threaded> {
 public:
  static constexpr const CLSID& class_id = CLSID_FolderTreeChangeSet;

  explicit CFolderTreeChangeSet(std::vector<std::string> files) : files_(std::move(files)) {}

  HRESULT STDMETHODCALLTYPE get_IsEmpty(VARIANT_BOOL* pVal) override;
  void* STDMETHODCALLTYPE Implementation(REFCLSID clsid) override { return implementation_of(this, clsid); }

  // The added and changed files, relative to the folder, sorted.
  const std::vector<std::string>& files() const noexcept { return files_; }

 private:
  const std::vector<std::string> files_;
};

class CFolderTreeComparer final
    : public comrt::implements<CFolderTreeComparer, IFolderTreeComparer, comrt::free_threaded> {
 public:
  static constexpr const CLSID& class_id = CLSID_FolderTreeComparer;

  // E_POINTER for a null out-parameter; E_INVALIDARG unless both snapshots are this host's.
  HRESULT STDMETHODCALLTYPE Compare(IFolderTree* pPrevious, IFolderTree* pCurrent,
                                    IFolderTreeChangeSet** ppChanges) override;
};

}  // namespace tolvane::host
