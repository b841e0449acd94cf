// The registry's storage: a tree of keys and values, its text form, and one file-backed root
// ("hive") per store file. Internal to the runtime.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "comrt/registry.h"
#include "comrt/thread_annotations.h"
#include "comrt/unique_fd.h"

namespace comrt::registry {

// The registry's standard limits. A key name has at most 255 characters, a value name at most
// 16,383, a value at most 1 MB of data, and a key lies at most 512 levels below its root. Nothing
// beyond them is created through the functions or read from a store file (such a file is a bad
// store), so every walk over a tree (copying, writing, freeing) is bounded by max_depth.
inline constexpr size_t max_key_name = 255;
inline constexpr size_t max_value_name = 16383;
inline constexpr size_t max_value_size = size_t{1} << 20;
inline constexpr size_t max_depth = 512;

// Names of keys and values compare without regard to ASCII case; their spelling is kept as first
// written.
bool names_equal(std::u16string_view a, std::u16string_view b) noexcept;
// Orders names as enumeration returns them (by their upper-case form).
int compare_names(std::u16string_view a, std::u16string_view b) noexcept;

struct value {
  std::u16string name;  // empty: the key's default value
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

struct key {
  std::u16string name;
  std::vector<value> values;  // in the order they were first set
  std::vector<key> subkeys;   // sorted by compare_names

  const value* find_value(std::u16string_view n) const noexcept;
  value* find_value(std::u16string_view n) noexcept;
  const key* find_subkey(std::u16string_view n) const noexcept;
  key* find_subkey(std::u16string_view n) noexcept;
  // The subkey named n, created when missing.
  key& subkey(std::u16string_view n, bool* created);
  bool remove_subkey(std::u16string_view n);
  bool remove_value(std::u16string_view n);
};

using path = std::vector<std::u16string>;

const key* find(const key& root, const path& p) noexcept;
key* find(key& root, const path& p) noexcept;

// Text form of a hive:
//
//   TOLVANE REGISTRY 1
//   ; comment lines and blank lines are ignored
//   [HKEY_CURRENT_USER\Software\Classes\Tolvane.Demo.1]
//   @="Demo Class"                        default value, REG_SZ
//   "Name"="text"                         REG_SZ
//   "Path"=expand:"%HOME%/lib"            REG_EXPAND_SZ
//   "Count"=dword:0000002a                REG_DWORD
//   "Big"=qword:000000000000002a          REG_QWORD
//   "Blob"=hex:01,02,ff                   REG_BINARY
//   "Other"=hex(7):41,00,00,00            any other type, or data that the forms above cannot carry
//
// The first line identifies the format. Every key has a "[root\path]" line (also empty keys and
// the keys between the root and a deeper key); the lines after it up to the next header are its
// values. Text is UTF-8. Inside quotes a backslash escapes: \\ \" \n \r \t \0 and \uXXXX (one
// UTF-16 code unit, used for other control characters and unpaired surrogates). REG_SZ and
// REG_EXPAND_SZ data are written as text when they are whole UTF-16 code units ending in exactly one
// terminating NUL; otherwise as hex(1)/hex(2) bytes, so data is always read back exactly.
std::string serialize(const key& root);
// Parses the text form; nullopt for anything that does not follow it exactly (the whole text is
// then rejected, never read in part). The first component of every key path must be root_name.
std::optional<key> parse(std::string_view text, std::u16string_view root_name);

// One store file holding one root key. Reads see the file as it is on disk: a change made by any
// process is seen by the next operation (the parsed tree is cached while the file stays the same).
// Every change is read-modify-write under an exclusive flock(2) on "<file>.lock" beside the store,
// written to a temporary file in the same folder and renamed over the store, so readers never see a
// half-written file and concurrent writers never lose each other's changes. A store that does not
// parse is reported as ERROR_BADDB to every reader and writer and is never overwritten: a damaged
// store must be repaired or removed by hand, not replaced by a later write.
class hive {
 public:
  hive(std::string file, std::u16string root_name, mode_t file_mode);
  hive(const hive&) = delete;
  hive& operator=(const hive&) = delete;

  const std::string& file() const noexcept { return file_; }

  // The current tree (an empty root when the file does not exist), or a Win32 error.
  LONG read(std::shared_ptr<const key>& out);

  // Applies change to a copy of the current tree under the cross-process lock. change returns
  // ERROR_SUCCESS and sets *changed when the tree must be written, or an error that cancels the
  // change. The tree is written only when change succeeded and changed it.
  using mutation = std::function<LONG(key& root, bool* changed)>;
  LONG modify(const mutation& change);

  // A batch: from begin_batch to the matching end_batch on the same thread, the hive stays locked
  // (in the process and across processes) and the thread's changes go to a working copy, which its
  // reads see; the end writes the copy once, in the same atomic way as a single change. Other
  // threads and processes wait for the end. Batches nest: only the outermost end writes. A thread
  // must end every batch it began.
  LONG begin_batch();
  LONG end_batch();

 private:
  struct identity {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = -1;
    int64_t mtime_ns = -1;
    bool operator==(const identity&) const = default;
  };

  struct batch;
  // The batches the calling thread has open, one per hive.
  static thread_local std::vector<std::unique_ptr<batch>> batches_;

  static identity identity_of(const struct stat& st) noexcept;
  batch* own_batch() const noexcept;
  LONG lock_store(unique_fd& lock) COMRT_REQUIRES(mutex_);
  LONG load_locked() COMRT_REQUIRES(mutex_);
  LONG write_locked(key&& root) COMRT_REQUIRES(mutex_);

  const std::string file_;
  const std::u16string root_name_;
  const mode_t file_mode_;

  mutex mutex_;
  // The file last parsed. The descriptor is kept open so that its inode cannot be reused by another
  // file while the identity is cached.
  std::optional<identity> cached_id_ COMRT_GUARDED_BY(mutex_);
  unique_fd cached_fd_ COMRT_GUARDED_BY(mutex_);
  LONG cached_status_ COMRT_GUARDED_BY(mutex_) = ERROR_SUCCESS;
  std::shared_ptr<const key> cached_ COMRT_GUARDED_BY(mutex_);
};

// The hive stored in `file` (one object per file name for the life of the process).
std::shared_ptr<hive> hive_for(const std::string& file, std::u16string_view root_name, mode_t file_mode);

}  // namespace comrt::registry
