#include "triggers/monitor_trigger.h"

#include <comrt/strings.h>
#include <comrt/variant.h>

#include <cstring>

#include "diagnostics/log_file.h"
#include "persistence/xml_archive.h"
#include "triggers/trigger_texts.h"

namespace tolvane {

namespace {

constexpr unsigned kNameText = 200;
constexpr unsigned kFolderText = 199;
constexpr unsigned kFileText = 198;

bool is_absolute(std::u16string_view path) {
  return !path.empty() && path.front() == u'/' && path.find(u'\0') == std::u16string_view::npos;
}

}  // namespace

void CScheduleMonitorTrigger::FinalRelease() noexcept {
  comrt::lock_guard guard(object_mutex());
  stop_monitoring();
}

HRESULT CScheduleMonitorTrigger::get_Name(BSTR* pVal) {
  return comrt::boundary([&] { *comrt::init_out(pVal) = comrt::bstr(load_text(kNameText)).detach(); });
}

HRESULT CScheduleMonitorTrigger::Clone(IScheduleTrigger** ppClone) {
  return comrt::boundary([&] {
    comrt::init_out(ppClone);
    auto clone = comrt::make<CScheduleMonitorTrigger>();
    comrt::check_hresult(clone->Copy(this));
    clone.copy_to(ppClone);
  });
}

HRESULT CScheduleMonitorTrigger::IsSet() {
  return comrt::boundary([&]() -> HRESULT {
    comrt::lock_guard guard(object_mutex());
    // A watch without kernel notifications compares snapshots here instead.
    if (watch_.poll()) changed_.store(true);
    if (!changed_.exchange(false)) return S_FALSE;
    if (path_.empty()) return E_FAIL;
    const auto status = is_absolute(path_) ? comrt::status_of(comrt::to_utf8(path_)) : std::nullopt;
    if (!status) return S_FALSE;
    if (status->directory) return S_OK;
    if (status->size == file_size_ && status->modified_ns == file_modified_ns_) return S_FALSE;
    file_size_ = status->size;
    file_modified_ns_ = status->modified_ns;
    return S_OK;
  });
}

HRESULT CScheduleMonitorTrigger::ToString(BSTR* pVal) {
  return comrt::boundary([&]() -> HRESULT {
    comrt::init_out(pVal);
    comrt::lock_guard guard(object_mutex());
    if (path_.empty()) return E_FAIL;
    // The last component, after one trailing separator has been removed.
    std::u16string_view path = path_;
    if (path.size() > 1 && path.back() == u'/') path.remove_suffix(1);
    const size_t slash = path.rfind(u'/');
    const std::u16string_view name = slash == std::u16string_view::npos ? path : path.substr(slash + 1);
    if (name.empty()) {
      *pVal = comrt::bstr(u"").detach();
      return S_OK;
    }
    const auto status = is_absolute(path_) ? comrt::status_of(comrt::to_utf8(path_)) : std::nullopt;
    const unsigned text = status && status->directory ? kFolderText : kFileText;
    *pVal = comrt::bstr(format_text(load_text(text), name)).detach();
    return S_OK;
  });
}

HRESULT CScheduleMonitorTrigger::get_Path(BSTR* pVal) {
  return comrt::boundary([&] {
    comrt::init_out(pVal);
    comrt::lock_guard guard(object_mutex());
    *pVal = comrt::bstr(path_).detach();
  });
}

HRESULT CScheduleMonitorTrigger::put_Path(BSTR newVal) {
  return comrt::boundary([&] {
    const std::u16string_view path = comrt::bstr_view(newVal);
    if (!is_absolute(path)) return E_INVALIDARG;
    comrt::lock_guard guard(object_mutex());
    if (path == path_) return S_OK;
    path_ = path;
    // The watch of the earlier path is dropped; failing to watch the new one is not reported
    // here (the trigger then never fires).
    stop_monitoring();
    (void)start_monitoring();
    return S_OK;
  });
}

HRESULT CScheduleMonitorTrigger::Copy(IScheduleMonitorTrigger* pCopy) {
  return comrt::boundary([&] {
    comrt::bstr path;
    comrt::check_hresult(comrt::check_pointer(pCopy)->get_Path(path.put()));
    comrt::lock_guard guard(object_mutex());
    path_ = path.str();
    // A trigger that is watching already keeps its watch.
    (void)start_monitoring();
  });
}

HRESULT CScheduleMonitorTrigger::GetClassID(CLSID* pClassID) { return comrt::persist_class_id(pClassID, class_id); }

// "Path" is written when it is set; after a read the watch starts over on the path read (or on the
// path the trigger had when the element is absent).
HRESULT CScheduleMonitorTrigger::Serialize(IXMLArchive* pArchive, IXMLDOMNode* pNode) {
  return comrt::boundary([&] {
    CXMLDataExchange dx(comrt::check_pointer(pArchive), pNode);
    std::u16string path;
    {
      comrt::lock_guard guard(object_mutex());
      path = path_;
    }
    if (dx.loading()) {
      if (dx.ExchangeString(u"Path", path) == S_OK) {
        comrt::lock_guard guard(object_mutex());
        path_ = std::move(path);
      }
      restart_monitoring();
      return;
    }
    if (!path.empty()) comrt::check_hresult(dx.ExchangeString(u"Path", path));
  });
}

void CScheduleMonitorTrigger::restart_monitoring() {
  comrt::lock_guard guard(object_mutex());
  stop_monitoring();
  (void)start_monitoring();
}

HRESULT CScheduleMonitorTrigger::start_monitoring() {
  if (watch_ || !is_absolute(path_)) return E_FAIL;
  try {
    const std::string path = comrt::to_utf8(path_);
    const auto status = comrt::status_of(path);
    auto scope = comrt::watch_scope::tree;
    if (!status || !status->directory) {
      // A file, or nothing yet: its folder is watched for that one name.
      scope = comrt::watch_scope::entry;
      if (status) {
        file_size_ = status->size;
        file_modified_ns_ = status->modified_ns;
      }
    }
    watch_ = comrt::folder_watcher::process().watch(path, scope, *this);
    return S_OK;
  } catch (...) {
    return comrt::to_hresult();
  }
}

void CScheduleMonitorTrigger::stop_monitoring() { watch_.reset(); }

void CScheduleMonitorTrigger::on_folder_change() noexcept { changed_.store(true); }

void CScheduleMonitorTrigger::on_watch_fallback(std::string_view path, int error) noexcept {
  try {
    char buffer[128];
    const char* reason = strerror_r(error, buffer, sizeof buffer);
    CLogFile::GetInstance().WriteFormat(u"CScheduleMonitorTrigger: cannot watch %hs (%hs); comparing snapshots instead",
                                        std::string(path).c_str(), reason);
  } catch (...) {
    // The log is gone (process exit): nothing to tell.
  }
}

}  // namespace tolvane
