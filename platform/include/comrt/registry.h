// The registry: keys and values under HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER and HKEY_CLASSES_ROOT.
// The functions and their Win32 error results are those of the platform API.
//
// Storage. Each of the two roots is one human-readable text file:
//   HKEY_LOCAL_MACHINE: $TOLVANE_REGISTRY_MACHINE, default /var/lib/tolvane/registry/machine.reg
//   HKEY_CURRENT_USER:  $TOLVANE_REGISTRY_USER, default $XDG_CONFIG_HOME/tolvane/registry/user.reg
//                       ($HOME/.config/tolvane/registry/user.reg when XDG_CONFIG_HOME is not set)
// The variables are read when a root handle is used, so a process (a test) can point the registry
// at a temporary folder; a key opened earlier stays in the file it was opened in. The file format
// is described in platform/registry/store.h; changes by several processes at once are safe (each
// change is a locked read-modify-write that replaces the file atomically). A file that does not
// parse makes every operation on its root fail with ERROR_BADDB and is never overwritten.
//
// Names of keys and values are compared without regard to ASCII case and keep the spelling they
// were created with; the default value has the empty (or null) name. A key name may not be empty,
// contain a backslash or a control character, be longer than 255 characters or contain an unpaired
// surrogate (ERROR_INVALID_PARAMETER). Subkeys are enumerated in order of their upper-case names,
// values in the order they were first set.
//
// Limits (the registry's standard ones): a key lies at most 512 levels below its root (for
// HKEY_CLASSES_ROOT, counted from HKEY_*\Software\Classes's root), a value name has at most 16,383
// characters and a value at most 1 MB of data. Opening, creating or setting beyond them fails with
// ERROR_INVALID_PARAMETER; a store file beyond them is a bad store (ERROR_BADDB).
//
// HKEY_CLASSES_ROOT is the merged view of HKEY_LOCAL_MACHINE\Software\Classes and
// HKEY_CURRENT_USER\Software\Classes, as on Windows: a key under it exists when it exists in either;
// its subkeys are the union of both; its values, and value changes and deletions made through it,
// are those of the user's key when the user's key exists, otherwise of the machine's. A key created
// through HKEY_CLASSES_ROOT that exists in neither goes to the hive where its parent lives: below
// the deepest of its ancestors that exists, in the user's classes when the user has that ancestor,
// otherwise (and for keys directly below the root) in the machine's.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "comrt/types.h"
#include "comrt/unique_handle.h"

struct HKEY__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;
using REGSAM = DWORD;

// The predefined keys have their standard values, sign-extended from 32 bits as
// (HKEY)(ULONG_PTR)(LONG)0x80000000 is, so clients compiled against other headers pass the same.
#define COMRT_PREDEFINED_HKEY(x) (reinterpret_cast<HKEY>(static_cast<uintptr_t>(static_cast<int32_t>(x))))
#define HKEY_CLASSES_ROOT COMRT_PREDEFINED_HKEY(0x80000000u)
#define HKEY_CURRENT_USER COMRT_PREDEFINED_HKEY(0x80000001u)
#define HKEY_LOCAL_MACHINE COMRT_PREDEFINED_HKEY(0x80000002u)

inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_EXPAND_SZ = 2;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;
inline constexpr DWORD REG_MULTI_SZ = 7;
inline constexpr DWORD REG_QWORD = 11;

inline constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
inline constexpr DWORD REG_CREATED_NEW_KEY = 1;
inline constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

inline constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
inline constexpr REGSAM KEY_SET_VALUE = 0x0002;
inline constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr REGSAM KEY_READ = 0x20019;
inline constexpr REGSAM KEY_WRITE = 0x20006;
inline constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

struct SECURITY_ATTRIBUTES;

COMRT_API LONG RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                               REGSAM samDesired, const SECURITY_ATTRIBUTES* lpSecurityAttributes, PHKEY phkResult,
                               DWORD* lpdwDisposition);
COMRT_API LONG RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
COMRT_API LONG RegCloseKey(HKEY hKey);
COMRT_API LONG RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD* lpReserved, DWORD* lpType, BYTE* lpData,
                                DWORD* lpcbData);
COMRT_API LONG RegGetValueW(HKEY hkey, LPCWSTR lpSubKey, LPCWSTR lpValue, DWORD dwFlags, DWORD* pdwType, void* pvData,
                            DWORD* pcbData);
COMRT_API LONG RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                              DWORD cbData);
COMRT_API LONG RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName);
COMRT_API LONG RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey);
COMRT_API LONG RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey);
COMRT_API LONG RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, DWORD* lpcchName, DWORD* lpReserved,
                             LPWSTR lpClass, DWORD* lpcchClass, FILETIME* lpftLastWriteTime);
COMRT_API LONG RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, DWORD* lpcchValueName, DWORD* lpReserved,
                             DWORD* lpType, BYTE* lpData, DWORD* lpcbData);

// Batches, an extension of this runtime. RtRegBeginBatch locks the store of hKey's root (both stores
// for HKEY_CLASSES_ROOT) until the matching RtRegEndBatch on the same thread with a key of the same
// root. The thread's changes in between are kept in memory, where its own reads see them, and the
// outermost end writes them all at once, as atomically as a single change, and returns the status
// of that write. Other threads and processes wait for the end; the thread itself changes no other
// store meanwhile. Batches nest. Without one, every change rewrites its store file.
COMRT_API LONG RtRegBeginBatch(HKEY hKey);
COMRT_API LONG RtRegEndBatch(HKEY hKey);

// RegGetValueW flags: the accepted types (at least one), and options.
inline constexpr DWORD RRF_RT_REG_NONE = 0x00000001;
inline constexpr DWORD RRF_RT_REG_SZ = 0x00000002;
inline constexpr DWORD RRF_RT_REG_EXPAND_SZ = 0x00000004;  // only together with RRF_NOEXPAND
inline constexpr DWORD RRF_RT_REG_BINARY = 0x00000008;
inline constexpr DWORD RRF_RT_REG_DWORD = 0x00000010;
inline constexpr DWORD RRF_RT_REG_MULTI_SZ = 0x00000020;
inline constexpr DWORD RRF_RT_REG_QWORD = 0x00000040;
inline constexpr DWORD RRF_RT_DWORD = RRF_RT_REG_BINARY | RRF_RT_REG_DWORD;
inline constexpr DWORD RRF_RT_QWORD = RRF_RT_REG_BINARY | RRF_RT_REG_QWORD;
inline constexpr DWORD RRF_RT_ANY = 0x0000FFFF;
// REG_EXPAND_SZ data is returned as stored instead of with %NAME% replaced from the environment.
inline constexpr DWORD RRF_NOEXPAND = 0x10000000;
// On failure the caller's buffer is filled with zeros.
inline constexpr DWORD RRF_ZEROONFAILURE = 0x20000000;

inline constexpr LONG ERROR_DATATYPE_MISMATCH = 1629;
inline constexpr LONG ERROR_UNSUPPORTED_TYPE = 1630;

namespace comrt {

// The owner of an opened key: closes it on destruction.
struct hkey_traits {
  using type = HKEY;
  static constexpr HKEY invalid() noexcept { return nullptr; }
  static void close(HKEY h) noexcept { RegCloseKey(h); }
};
using unique_hkey = unique_handle<hkey_traits>;

// A batch on the store of `root` while the object lives (see RtRegBeginBatch). When the batch cannot
// begin, the changes are written one by one as without it.
class registry_batch {
 public:
  explicit registry_batch(HKEY root) noexcept : root_(root), open_(RtRegBeginBatch(root) == ERROR_SUCCESS) {}
  ~registry_batch() { static_cast<void>(end()); }
  registry_batch(const registry_batch&) = delete;
  registry_batch& operator=(const registry_batch&) = delete;

  // Writes the changes: the status of the write (ERROR_SUCCESS when there was no batch).
  LONG end() noexcept {
    const bool was_open = std::exchange(open_, false);
    return was_open ? RtRegEndBatch(root_) : ERROR_SUCCESS;
  }

 private:
  HKEY root_;
  bool open_;
};

// A number as registration spells it in key names (type library versions, locales): lowercase
// hexadecimal without leading zeros.
inline std::u16string registry_hex(uint32_t v) {
  static constexpr char16_t digits[] = u"0123456789abcdef";
  std::u16string s;
  do {
    s.insert(s.begin(), digits[v & 0xF]);
    v >>= 4;
  } while (v);
  return s;
}

// Writing keys and string values, as registration does. A failing call's status goes to `fail`,
// which throws the caller's error for it.
class registry_writer {
 public:
  using failure = void (*)(LONG status);
  explicit constexpr registry_writer(failure fail) noexcept : fail_(fail) {}

  void check(LONG status) const {
    if (status != ERROR_SUCCESS) fail_(status);
  }

  unique_hkey create_key(HKEY parent, const std::u16string& path) const {
    unique_hkey key;
    check(RegCreateKeyExW(parent, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                          key.put(), nullptr));
    return key;
  }

  // A REG_SZ value; a null name is the key's default value.
  void set_string(HKEY key, const char16_t* name, std::u16string_view text) const {
    const std::u16string data(text);
    check(RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                         static_cast<DWORD>((data.size() + 1) * sizeof(char16_t))));
  }

  // Creates parent\path with the given default value.
  void write_key(HKEY parent, const std::u16string& path, std::u16string_view value) const {
    set_string(create_key(parent, path).get(), nullptr, value);
  }

 private:
  failure fail_;
};

}  // namespace comrt
