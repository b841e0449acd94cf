#include "host/queue/folder_tree.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <system_error>

#include <comrt/guid.h>
#include <comrt/strings.h>
#include <comrt/variant.h>

namespace tolvane::host {

namespace fs = std::filesystem;

folder_snapshot take_snapshot(const std::string& folder) {
  struct stat root {};
  if (::stat(folder.c_str(), &root) != 0) comrt::throw_errno(errno);
  if (!S_ISDIR(root.st_mode)) comrt::throw_errno(ENOTDIR);

  folder_snapshot snapshot;
  std::error_code ec;
  fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec);
  if (ec) comrt::throw_errno(ec.value());
  for (const fs::recursive_directory_iterator end; it != end; it.increment(ec)) {
    if (ec) comrt::throw_errno(ec.value());
    struct stat st {};
    // lstat: a link is neither followed nor copied, so a link loop cannot trap the walk.
    if (::lstat(it->path().c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    const int64_t modified = int64_t{st.st_mtim.tv_sec} * 1'000'000'000 + st.st_mtim.tv_nsec;
    snapshot[it->path().lexically_relative(folder).generic_string()] = {static_cast<uint64_t>(st.st_size), modified};
  }
  if (ec) comrt::throw_errno(ec.value());
  return snapshot;
}

std::vector<std::string> added_or_changed(const folder_snapshot& previous, const folder_snapshot& current) {
  std::vector<std::string> files;
  for (const auto& [path, state] : current) {
    const auto before = previous.find(path);
    if (before == previous.end() || !(before->second == state)) files.push_back(path);
  }
  return files;  // sorted, as the map is
}

HRESULT CFolderTree::Load(BSTR bstrPath) {
  return comrt::boundary([&]() -> HRESULT {
    const std::u16string_view path = comrt::bstr_view(bstrPath);
    if (path.empty()) return E_INVALIDARG;
    auto taken = std::make_shared<const folder_snapshot>(take_snapshot(comrt::to_utf8(path)));
    comrt::lock_guard guard(object_mutex());
    snapshot_.swap(taken);
    return S_OK;
  });
}

std::shared_ptr<const folder_snapshot> CFolderTree::snapshot() const {
  comrt::lock_guard guard(object_mutex());
  return snapshot_;
}

HRESULT CFolderTreeChangeSet::get_IsEmpty(VARIANT_BOOL* pVal) {
  if (!pVal) return E_POINTER;
  *pVal = files_.empty() ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

HRESULT CFolderTreeComparer::Compare(IFolderTree* pPrevious, IFolderTree* pCurrent,
                                     IFolderTreeChangeSet** ppChanges) {
  return comrt::boundary([&]() -> HRESULT {
    comrt::init_out(ppChanges);
    const CFolderTree* previous = host_object<CFolderTree>(pPrevious);
    const CFolderTree* current = host_object<CFolderTree>(pCurrent);
    if (!previous || !current) return E_INVALIDARG;
    auto changes = comrt::make<CFolderTreeChangeSet>(added_or_changed(*previous->snapshot(), *current->snapshot()));
    *ppChanges = changes.detach();
    return S_OK;
  });
}

}  // namespace tolvane::host
