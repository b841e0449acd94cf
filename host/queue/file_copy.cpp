#include "host/queue/file_copy.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string_view>

#include <comrt/guid.h>
#include <comrt/object.h>
#include <comrt/unique_fd.h>

#include "host/queue/folder_tree.h"

namespace tolvane::host {

namespace {

namespace fs = std::filesystem;

struct file_entry {
  std::string relative;  // '/'-separated, below the destination folder
  std::string path;      // the source file
  uint64_t size = 0;
};

// A relative path that stays below its folder.
bool is_safe_relative(const std::string& relative) {
  if (relative.empty() || relative.front() == '/') return false;
  const fs::path p(relative);
  return std::none_of(p.begin(), p.end(), [](const fs::path& part) { return part == ".."; });
}

std::vector<file_entry> files_to_send(const copy_job& job) {
  struct stat st {};
  if (::stat(job.source.c_str(), &st) != 0) comrt::throw_errno(errno);
  if (!job.folder) {
    if (!S_ISREG(st.st_mode)) comrt::throw_hresult(E_INVALIDARG);
    return {{fs::path(job.source).filename().string(), job.source, static_cast<uint64_t>(st.st_size)}};
  }
  if (!S_ISDIR(st.st_mode)) comrt::throw_errno(ENOTDIR);
  std::vector<file_entry> files;
  if (job.only_files) {
    for (const std::string& relative : *job.only_files) {
      const std::string path = (fs::path(job.source) / relative).string();
      // A file listed as changed that has gone since is not sent.
      if (!is_safe_relative(relative) || ::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
      files.push_back({relative, path, static_cast<uint64_t>(st.st_size)});
    }
  } else {
    for (const auto& [relative, state] : take_snapshot(job.source)) {
      files.push_back({relative, (fs::path(job.source) / relative).string(), state.size});
    }
  }
  return files;
}

class progress_tracker {
 public:
  progress_tracker(const std::vector<file_entry>& files, const progress_callback& callback,
                   const std::atomic<bool>& cancel)
      : callback_(callback), cancel_(cancel) {
    state_.files_total = files.size();
    for (const auto& f : files) state_.bytes_total += f.size;
  }
  void start_file(const file_entry& file) {
    state_.file = file.relative;
    file_base_ = state_.bytes_done;
    report();
  }
  // Bytes of the current file sent so far.
  void sent(uint64_t bytes) {
    state_.bytes_done = file_base_ + bytes;
    report();
  }
  void end_file(const file_entry& file) {
    state_.bytes_done = file_base_ + file.size;
    ++state_.files_done;
    report();
  }
  bool cancelled() const { return cancel_.load(std::memory_order_relaxed); }
  void check_cancel() const {
    if (cancelled()) comrt::throw_hresult(E_ABORT);
  }

 private:
  void report() {
    if (callback_) callback_(state_);
  }
  const progress_callback& callback_;
  const std::atomic<bool>& cancel_;
  transfer_progress state_;
  uint64_t file_base_ = 0;
};

// ----- local destinations -------------------------------------------------------------------

void write_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) comrt::throw_errno(errno);
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

void copy_local(const file_entry& file, const fs::path& destination, progress_tracker& progress) {
  const fs::path target = destination / fs::path(file.relative);
  std::error_code ec;
  fs::create_directories(target.parent_path(), ec);
  if (ec) comrt::throw_errno(ec.value());

  comrt::unique_fd in(::open(file.path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!in) comrt::throw_errno(errno);
  std::string temp = (target.parent_path() / ("." + target.filename().string() + ".part-XXXXXX")).string();
  comrt::unique_fd out(::mkostemp(temp.data(), O_CLOEXEC));
  if (!out) comrt::throw_errno(errno);
  try {
    std::vector<char> buffer(256 * 1024);
    uint64_t sent = 0;
    for (;;) {
      progress.check_cancel();
      const ssize_t n = ::read(in.get(), buffer.data(), buffer.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) comrt::throw_errno(errno);
      if (n == 0) break;
      write_all(out.get(), buffer.data(), static_cast<std::size_t>(n));
      sent += static_cast<uint64_t>(n);
      progress.sent(sent);
    }
    struct stat st {};
    if (::fstat(in.get(), &st) == 0) ::fchmod(out.get(), st.st_mode & 07777);
    if (::close(out.release()) != 0) comrt::throw_errno(errno);
    if (::rename(temp.c_str(), target.c_str()) != 0) comrt::throw_errno(errno);
  } catch (...) {
    out.reset();
    ::unlink(temp.c_str());
    throw;
  }
}

// ----- URLs through libcurl -----------------------------------------------------------------

HRESULT hresult_from_curl(CURLcode code) {
  switch (code) {
    case CURLE_OK: return S_OK;
    case CURLE_ABORTED_BY_CALLBACK: return E_ABORT;
    case CURLE_LOGIN_DENIED:
    case CURLE_REMOTE_ACCESS_DENIED:
    case CURLE_UPLOAD_FAILED: return E_ACCESSDENIED;
    case CURLE_OUT_OF_MEMORY: return E_OUTOFMEMORY;
    case CURLE_URL_MALFORMAT:
    case CURLE_UNSUPPORTED_PROTOCOL: return E_INVALIDARG;
    case CURLE_READ_ERROR: return HRESULT_FROM_WIN32(ERROR_READ_FAULT);
    case CURLE_REMOTE_DISK_FULL: return HRESULT_FROM_WIN32(ERROR_DISK_FULL);
    default: return MAKE_HRESULT(1, 4, 0x0300 + static_cast<uint32_t>(code));  // the curl code, kept
  }
}

void check_curl(CURLcode code) {
  if (code != CURLE_OK) comrt::throw_hresult(hresult_from_curl(code));
}

struct curl_deleter {
  void operator()(CURL* c) const noexcept { curl_easy_cleanup(c); }
  void operator()(CURLU* u) const noexcept { curl_url_cleanup(u); }
  void operator()(curl_slist* l) const noexcept { curl_slist_free_all(l); }
  void operator()(char* s) const noexcept { curl_free(s); }
  void operator()(FILE* f) const noexcept { std::fclose(f); }
};
template <class T>
using curl_owned = std::unique_ptr<T, curl_deleter>;

curl_owned<CURL> new_handle() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  curl_owned<CURL> handle(curl_easy_init());
  if (!handle) comrt::throw_hresult(E_OUTOFMEMORY);
  curl_easy_setopt(handle.get(), CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle.get(), CURLOPT_NETRC, static_cast<long>(CURL_NETRC_OPTIONAL));
  curl_easy_setopt(handle.get(), CURLOPT_FTP_CREATE_MISSING_DIRS, static_cast<long>(CURLFTP_CREATE_DIR));
  curl_easy_setopt(handle.get(), CURLOPT_CONNECTTIMEOUT, 30L);
  return handle;
}

std::string escape(std::string_view text) {
  curl_owned<char> escaped(curl_easy_escape(nullptr, text.data(), static_cast<int>(text.size())));
  if (!escaped) comrt::throw_hresult(E_OUTOFMEMORY);
  return escaped.get();
}

// The URL's path, decoded (for the rename commands an SFTP server takes).
std::string decoded_path(const std::string& url) {
  curl_owned<CURLU> parsed(curl_url());
  char* path = nullptr;
  if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK ||
      curl_url_get(parsed.get(), CURLUPART_PATH, &path, CURLU_URLDECODE) != CURLUE_OK) {
    comrt::throw_hresult(E_INVALIDARG);
  }
  curl_owned<char> owned(path);
  return path;
}

std::string quoted(const std::string& path) { return "\"" + path + "\""; }

class remote_folder {
 public:
  remote_folder(std::string url, bool sftp) : url_(std::move(url)), sftp_(sftp) {
    while (!url_.empty() && url_.back() == '/') url_.pop_back();
  }

  void upload(const file_entry& file, progress_tracker& progress) const {
    const fs::path relative(file.relative);
    std::string folder = url_;
    for (const auto& part : relative.parent_path()) folder += "/" + escape(part.string());
    const std::string name = relative.filename().string();
    const std::string temp = "." + name + ".part";

    curl_owned<FILE> in(std::fopen(file.path.c_str(), "rbe"));
    if (!in) comrt::throw_errno(errno);
    std::vector<std::string> after = rename_commands(folder, temp, name);
    curl_owned<curl_slist> commands;
    for (const auto& c : after) commands.reset(curl_slist_append(commands.release(), c.c_str()));

    progress_context context{&progress};
    auto handle = new_handle();
    CURL* h = handle.get();
    const std::string url = folder + "/" + escape(temp);
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(h, CURLOPT_READDATA, in.get());
    curl_easy_setopt(h, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(file.size));
    curl_easy_setopt(h, CURLOPT_POSTQUOTE, commands.get());
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &progress_context::callback);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &context);
    const CURLcode code = curl_easy_perform(h);
    if (code != CURLE_OK) {
      remove_temporary(folder, temp);
      check_curl(code);
    }
  }

 private:
  struct progress_context {
    progress_tracker* tracker;
    static int callback(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t uploaded) {
      auto* context = static_cast<progress_context*>(self);
      if (context->tracker->cancelled()) return 1;
      context->tracker->sent(static_cast<uint64_t>(uploaded));
      return 0;
    }
  };

  std::vector<std::string> rename_commands(const std::string& folder, const std::string& temp,
                                           const std::string& name) const {
    if (sftp_) {
      const std::string dir = decoded_path(folder + "/");
      return {"rename " + quoted(dir + temp) + " " + quoted(dir + name)};
    }
    // FTP: the commands run in the folder the upload went to.
    return {"RNFR " + temp, "RNTO " + name};
  }

  // Best effort: a failed upload may have left the temporary file on the server.
  void remove_temporary(const std::string& folder, const std::string& temp) const {
    const std::string command = sftp_ ? "*rm " + quoted(decoded_path(folder + "/") + temp) : "*DELE " + temp;
    curl_owned<curl_slist> commands(curl_slist_append(nullptr, command.c_str()));
    auto handle = new_handle();
    const std::string url = folder + "/";
    curl_easy_setopt(handle.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle.get(), CURLOPT_NOBODY, 1L);
    curl_easy_setopt(handle.get(), CURLOPT_QUOTE, commands.get());
    curl_easy_setopt(handle.get(), CURLOPT_FTP_CREATE_MISSING_DIRS, static_cast<long>(CURLFTP_CREATE_DIR_NONE));
    curl_easy_perform(handle.get());
  }

  std::string url_;
  bool sftp_;
};

std::string scheme_of(const std::string& destination) {
  const auto end = destination.find("://");
  if (end == std::string::npos) return {};
  std::string scheme = destination.substr(0, end);
  std::transform(scheme.begin(), scheme.end(), scheme.begin(), [](unsigned char c) { return std::tolower(c); });
  return scheme;
}

}  // namespace

HRESULT perform_copy(const copy_job& job, const progress_callback& callback, const std::atomic<bool>& cancel) {
  return comrt::boundary([&]() -> HRESULT {
    if (job.source.empty() || job.destination.empty()) return E_INVALIDARG;
    const std::string scheme = scheme_of(job.destination);
    if (!scheme.empty() && scheme != "file" && scheme != "ftp" && scheme != "ftps" && scheme != "sftp") {
      return E_INVALIDARG;
    }
    const std::vector<file_entry> files = files_to_send(job);
    progress_tracker progress(files, callback, cancel);
    // file:// URLs are written like local paths, so they get the same temporary name and rename.
    const bool local = scheme.empty() || scheme == "file";
    const std::string local_folder = scheme.empty() ? job.destination : local ? decoded_path(job.destination) : "";
    const remote_folder remote(job.destination, scheme == "sftp");
    for (const file_entry& file : files) {
      progress.check_cancel();
      progress.start_file(file);
      if (local) {
        copy_local(file, local_folder, progress);
      } else {
        remote.upload(file, progress);
      }
      progress.end_file(file);
    }
    return S_OK;
  });
}

}  // namespace tolvane::host
