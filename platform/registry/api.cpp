// The registry functions: handles, the roots and their files, the merged classes root.
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>

#include "comrt/object.h"
#include "comrt/registry.h"
#include "comrt/strings.h"
#include "store.h"

using namespace comrt::registry;

namespace {

// ---------------------------------------------------------------------------------------------
// Where the roots live.

std::string env(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

std::string machine_file() {
  std::string f = env("TOLVANE_REGISTRY_MACHINE");
  return f.empty() ? "/var/lib/tolvane/registry/machine.reg" : f;
}

std::string user_file() {
  if (std::string f = env("TOLVANE_REGISTRY_USER"); !f.empty()) return f;
  if (std::string xdg = env("XDG_CONFIG_HOME"); !xdg.empty() && xdg.front() == '/')
    return xdg + "/tolvane/registry/user.reg";
  std::string home = env("HOME");
  if (home.empty()) {
    passwd pw;
    passwd* found = nullptr;
    char buf[4096];
    if (getpwuid_r(getuid(), &pw, buf, sizeof buf, &found) == 0 && found && found->pw_dir) home = found->pw_dir;
  }
  if (home.empty()) home = "/tmp";
  return home + "/.config/tolvane/registry/user.reg";
}

std::shared_ptr<hive> machine_hive() { return hive_for(machine_file(), u"HKEY_LOCAL_MACHINE", 0644); }
std::shared_ptr<hive> user_hive() { return hive_for(user_file(), u"HKEY_CURRENT_USER", 0600); }

// ---------------------------------------------------------------------------------------------
// Handles. A handle names a key by its path under one of three roots; the hives are those the root
// resolved to when the key was opened.

enum class root_kind { classes, current_user, local_machine };

struct open_key {
  root_kind root = root_kind::classes;
  std::shared_ptr<hive> machine;
  std::shared_ptr<hive> user;
  path p;  // below the root (for the classes root: below Software\Classes)
};

// Where a key of the handle's root is stored, in the order its values are looked for.
struct source {
  hive* h;
  path p;
};

std::vector<source> sources_of(const open_key& k) {
  auto classes = [&](hive* h) {
    path p{u"Software", u"Classes"};
    p.insert(p.end(), k.p.begin(), k.p.end());
    return source{h, std::move(p)};
  };
  switch (k.root) {
    case root_kind::classes: return {classes(k.user.get()), classes(k.machine.get())};
    case root_kind::current_user: return {source{k.user.get(), k.p}};
    case root_kind::local_machine: return {source{k.machine.get(), k.p}};
  }
  return {};
}

struct handle_table {
  comrt::mutex m;
  std::map<uintptr_t, open_key> keys COMRT_GUARDED_BY(m);
  uintptr_t next COMRT_GUARDED_BY(m) = 0x10000;
};

handle_table& handles() {
  static handle_table t;
  return t;
}

bool is_predefined(HKEY h) noexcept {
  return h == HKEY_CLASSES_ROOT || h == HKEY_CURRENT_USER || h == HKEY_LOCAL_MACHINE;
}

std::optional<open_key> resolve(HKEY h) {
  open_key k;
  if (h == HKEY_CLASSES_ROOT) {
    k.root = root_kind::classes;
    k.machine = machine_hive();
    k.user = user_hive();
    return k;
  }
  if (h == HKEY_CURRENT_USER) {
    k.root = root_kind::current_user;
    k.user = user_hive();
    return k;
  }
  if (h == HKEY_LOCAL_MACHINE) {
    k.root = root_kind::local_machine;
    k.machine = machine_hive();
    return k;
  }
  handle_table& t = handles();
  comrt::lock_guard guard(t.m);
  auto it = t.keys.find(reinterpret_cast<uintptr_t>(h));
  if (it == t.keys.end()) return std::nullopt;
  return it->second;
}

HKEY add_handle(open_key k) {
  handle_table& t = handles();
  comrt::lock_guard guard(t.m);
  const uintptr_t id = t.next++;
  t.keys.emplace(id, std::move(k));
  return reinterpret_cast<HKEY>(id);
}

// ---------------------------------------------------------------------------------------------
// Names

size_t text_length(LPCWSTR s) noexcept { return s ? std::char_traits<char16_t>::length(s) : 0; }

std::u16string_view view_of(LPCWSTR s) noexcept { return s ? std::u16string_view(s, text_length(s)) : std::u16string_view{}; }

bool valid_key_name(std::u16string_view n) noexcept {
  if (n.empty() || n.size() > max_key_name) return false;
  for (size_t i = 0; i < n.size(); ++i) {
    const char16_t c = n[i];
    if (c < 0x20 || c == u'\\') return false;
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 == n.size() || n[i + 1] < 0xDC00 || n[i + 1] > 0xDFFF) return false;
      ++i;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return false;
    }
  }
  return true;
}

// Splits "A\B\C" into its names; false for an empty name anywhere (a leading, doubled or trailing
// backslash) or an invalid one. A null or empty text is no names at all.
bool split(LPCWSTR text, path& out) {
  std::u16string_view rest = view_of(text);
  while (!rest.empty()) {
    const size_t sep = rest.find(u'\\');
    const std::u16string_view name = rest.substr(0, sep);
    if (!valid_key_name(name)) return false;
    out.emplace_back(name);
    if (sep == std::u16string_view::npos) break;
    rest = rest.substr(sep + 1);
    if (rest.empty()) return false;
  }
  return true;
}

// Appends the names of a subkey text to a handle's path; false for an invalid name or a key deeper
// than the registry allows below its root.
bool extend(open_key& k, LPCWSTR text) {
  if (!split(text, k.p)) return false;
  const size_t below_root = k.p.size() + (k.root == root_kind::classes ? 2 : 0);  // Software\Classes
  return below_root <= max_depth;
}

// ---------------------------------------------------------------------------------------------
// Reading a key through all its sources.

struct key_view {
  std::vector<std::shared_ptr<const key>> trees;  // keep the snapshots alive
  std::vector<const key*> found;                  // per source; null where the key is missing
  LONG status = ERROR_SUCCESS;

  // The key whose values count: the first source that has it.
  const key* primary() const noexcept {
    for (const key* k : found)
      if (k) return k;
    return nullptr;
  }
  int primary_index() const noexcept {
    for (size_t i = 0; i < found.size(); ++i)
      if (found[i]) return static_cast<int>(i);
    return -1;
  }
};

key_view view(const open_key& k) {
  key_view v;
  for (const source& s : sources_of(k)) {
    std::shared_ptr<const key> tree;
    if (const LONG r = s.h->read(tree); r != ERROR_SUCCESS) {
      v.status = r;
      return v;
    }
    v.found.push_back(find(*tree, s.p));
    v.trees.push_back(std::move(tree));
  }
  return v;
}

// The key of an open handle for reading its values: a root always exists (an empty one when its
// file holds nothing yet); any other key that has gone is ERROR_KEY_DELETED.
LONG key_for_values(const open_key& k, key_view& v, const key*& out) {
  static const key empty;
  v = view(k);
  if (v.status != ERROR_SUCCESS) return v.status;
  out = v.primary();
  if (!out) {
    if (!k.p.empty()) return ERROR_KEY_DELETED;
    out = &empty;
  }
  return ERROR_SUCCESS;
}

// Runs change on the key of an open handle in the hive that holds it (for the classes root: the
// user's when the user has the key, else the machine's). A root is created when missing.
LONG modify_key(const open_key& k, const std::function<LONG(key&, bool*)>& change) {
  key_view v = view(k);
  if (v.status != ERROR_SUCCESS) return v.status;
  const std::vector<source> sources = sources_of(k);
  int index = v.primary_index();
  if (index < 0) {
    if (!k.p.empty()) return ERROR_KEY_DELETED;
    index = static_cast<int>(sources.size()) - 1;
  }
  const source& s = sources[index];
  const bool is_root = k.p.empty();
  return s.h->modify([&](key& root, bool* changed) -> LONG {
    key* target = find(root, s.p);
    if (!target) {
      if (!is_root) return ERROR_KEY_DELETED;
      target = &root;
      for (const auto& n : s.p) {
        bool created = false;
        target = &target->subkey(n, &created);
        if (created) *changed = true;
      }
    }
    return change(*target, changed);
  });
}

// The source in which a key missing from every source is created: the only one; for the classes
// root, the one holding the deepest existing ancestor (the user's when the user has it), and the
// machine's for a key with no ancestor below the root.
size_t creating_source(const open_key& k) {
  const size_t machine = sources_of(k).size() - 1;
  if (k.root != root_kind::classes) return machine;
  open_key ancestor = k;
  while (ancestor.p.size() > 1) {
    ancestor.p.pop_back();
    const key_view v = view(ancestor);
    if (v.status != ERROR_SUCCESS) return machine;
    if (const int index = v.primary_index(); index >= 0) return static_cast<size_t>(index);
  }
  return machine;
}

// Copies data to a caller's buffer with the platform's size protocol: no buffer asks for the size;
// a small buffer gets ERROR_MORE_DATA and the size needed.
LONG copy_data(const BYTE* data, size_t size, BYTE* out, DWORD* cb) {
  if (size > UINT32_MAX) return ERROR_NOT_ENOUGH_MEMORY;
  if (!cb) return ERROR_SUCCESS;
  if (out) {
    if (*cb < size) {
      *cb = static_cast<DWORD>(size);
      return ERROR_MORE_DATA;
    }
    if (size) std::memcpy(out, data, size);
  }
  *cb = static_cast<DWORD>(size);
  return ERROR_SUCCESS;
}

// Copies a name and its NUL; *cch is the buffer size in characters on entry and the length without
// the NUL on success.
LONG copy_name(const std::u16string& name, LPWSTR out, DWORD* cch) {
  if (name.size() + 1 > *cch) return ERROR_MORE_DATA;
  std::memcpy(out, name.c_str(), (name.size() + 1) * sizeof(char16_t));
  *cch = static_cast<DWORD>(name.size());
  return ERROR_SUCCESS;
}

// Replaces %NAME% with the environment variable's value; unknown names stay as they are.
std::u16string expand_environment(std::u16string_view s) {
  std::u16string out;
  size_t pos = 0;
  while (pos < s.size()) {
    const size_t open = s.find(u'%', pos);
    const size_t close = open == std::u16string_view::npos ? open : s.find(u'%', open + 1);
    if (close == std::u16string_view::npos) {
      out.append(s.substr(pos));
      break;
    }
    out.append(s.substr(pos, open - pos));
    const std::u16string_view name = s.substr(open + 1, close - open - 1);
    const char* value = name.empty() ? nullptr : std::getenv(comrt::to_utf8(name).c_str());
    if (value) {
      out += comrt::to_utf16(value);
      pos = close + 1;
    } else {
      out.append(s.substr(open, close - open));
      pos = close;  // the closing % may open the next name
    }
  }
  return out;
}

DWORD type_flag(DWORD type) noexcept {
  switch (type) {
    case REG_NONE: return RRF_RT_REG_NONE;
    case REG_SZ: return RRF_RT_REG_SZ;
    case REG_EXPAND_SZ: return RRF_RT_REG_EXPAND_SZ;
    case REG_BINARY: return RRF_RT_REG_BINARY;
    case REG_DWORD: return RRF_RT_REG_DWORD;
    case REG_MULTI_SZ: return RRF_RT_REG_MULTI_SZ;
    case REG_QWORD: return RRF_RT_REG_QWORD;
    default: return 0;
  }
}

std::vector<BYTE> string_bytes(std::u16string_view s) {
  std::vector<BYTE> data((s.size() + 1) * sizeof(char16_t), 0);
  std::memcpy(data.data(), s.data(), s.size() * sizeof(char16_t));
  return data;
}

// The value as RegGetValueW returns it: REG_EXPAND_SZ expanded into REG_SZ unless RRF_NOEXPAND,
// strings NUL-terminated, and the type checked against the accepted types of flags.
LONG shape_value(const value& v, DWORD flags, DWORD& type, std::vector<BYTE>& data) {
  type = v.type;
  data = v.data;
  if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) {
    std::u16string text(data.size() / 2, u'\0');
    std::memcpy(text.data(), data.data(), text.size() * sizeof(char16_t));
    if (type == REG_EXPAND_SZ && !(flags & RRF_NOEXPAND)) {
      while (!text.empty() && text.back() == u'\0') text.pop_back();
      text = expand_environment(text);
      type = REG_SZ;
      data = string_bytes(text);
    } else if (text.empty() || text.back() != u'\0' || data.size() % 2 != 0) {
      data = string_bytes(text);
      if (type == REG_MULTI_SZ) data.insert(data.end(), 2, 0);
    }
  }
  const DWORD wanted = flags & RRF_RT_ANY;
  if (wanted != RRF_RT_ANY && !(wanted & type_flag(type))) return ERROR_UNSUPPORTED_TYPE;
  // Numbers must have their size; binary data asked for as a number (RRF_RT_DWORD, RRF_RT_QWORD)
  // must have the size of one of the numbers asked for.
  const size_t size = data.size();
  bool size_ok = true;
  if (type == REG_DWORD) {
    size_ok = size == 4;
  } else if (type == REG_QWORD) {
    size_ok = size == 8;
  } else if (type == REG_BINARY && wanted != RRF_RT_ANY) {
    const bool as_dword = (wanted & RRF_RT_DWORD) == RRF_RT_DWORD;
    const bool as_qword = (wanted & RRF_RT_QWORD) == RRF_RT_QWORD;
    if (as_dword || as_qword) size_ok = (as_dword && size == 4) || (as_qword && size == 8);
  }
  if (!size_ok) return ERROR_DATATYPE_MISMATCH;
  return ERROR_SUCCESS;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Entry points

COMRT_API LONG RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM, PHKEY phkResult) {
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  return comrt::win32_boundary([&]() -> LONG {
    auto k = resolve(hKey);
    if (!k) return ERROR_INVALID_HANDLE;
    if (!extend(*k, lpSubKey)) return ERROR_INVALID_PARAMETER;
    key_view v = view(*k);
    if (v.status != ERROR_SUCCESS) return v.status;
    if (!v.primary() && !k->p.empty()) return ERROR_FILE_NOT_FOUND;
    *phkResult = add_handle(std::move(*k));
    return ERROR_SUCCESS;
  });
}

COMRT_API LONG RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, LPWSTR, DWORD, REGSAM, const SECURITY_ATTRIBUTES*,
                               PHKEY phkResult, DWORD* lpdwDisposition) {
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  return comrt::win32_boundary([&]() -> LONG {
    auto k = resolve(hKey);
    if (!k) return ERROR_INVALID_HANDLE;
    if (!extend(*k, lpSubKey)) return ERROR_INVALID_PARAMETER;
    key_view v = view(*k);
    if (v.status != ERROR_SUCCESS) return v.status;
    bool created = false;
    if (!v.primary()) {
      const std::vector<source> sources = sources_of(*k);
      const source& s = sources[creating_source(*k)];
      const LONG r = s.h->modify([&](key& root, bool* changed) -> LONG {
        key* at = &root;
        for (const auto& n : s.p) {
          bool made = false;
          at = &at->subkey(n, &made);
          if (made) *changed = created = true;
        }
        return ERROR_SUCCESS;
      });
      if (r != ERROR_SUCCESS) return r;
    }
    if (lpdwDisposition) *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    *phkResult = add_handle(std::move(*k));
    return ERROR_SUCCESS;
  });
}

COMRT_API LONG RegCloseKey(HKEY hKey) {
  if (is_predefined(hKey)) return ERROR_SUCCESS;
  handle_table& t = handles();
  comrt::lock_guard guard(t.m);
  return t.keys.erase(reinterpret_cast<uintptr_t>(hKey)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

COMRT_API LONG RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD* lpReserved, DWORD* lpType, BYTE* lpData,
                                DWORD* lpcbData) {
  if (lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
  return comrt::win32_boundary([&]() -> LONG {
    auto k = resolve(hKey);
    if (!k) return ERROR_INVALID_HANDLE;
    key_view v;
    const key* at = nullptr;
    if (const LONG r = key_for_values(*k, v, at); r != ERROR_SUCCESS) return r;
    const value* found = at->find_value(view_of(lpValueName));
    if (!found) return ERROR_FILE_NOT_FOUND;
    if (lpType) *lpType = found->type;
    return copy_data(found->data.data(), found->data.size(), lpData, lpcbData);
  });
}

COMRT_API LONG RegGetValueW(HKEY hkey, LPCWSTR lpSubKey, LPCWSTR lpValue, DWORD dwFlags, DWORD* pdwType, void* pvData,
                            DWORD* pcbData) {
  if (!(dwFlags & RRF_RT_ANY) || (pvData && !pcbData)) return ERROR_INVALID_PARAMETER;
  if ((dwFlags & RRF_RT_REG_EXPAND_SZ) && !(dwFlags & RRF_NOEXPAND) && (dwFlags & RRF_RT_ANY) != RRF_RT_ANY)
    return ERROR_INVALID_PARAMETER;
  const DWORD capacity = pcbData ? *pcbData : 0;
  const LONG result = comrt::win32_boundary([&]() -> LONG {
    LONG r = ERROR_SUCCESS;
    auto k = resolve(hkey);
    if (!k) {
      r = ERROR_INVALID_HANDLE;
    } else if (!extend(*k, lpSubKey)) {
      r = ERROR_INVALID_PARAMETER;
    } else {
      key_view v;
      const key* at = nullptr;
      r = key_for_values(*k, v, at);
      if (r == ERROR_KEY_DELETED && lpSubKey && *lpSubKey) r = ERROR_FILE_NOT_FOUND;
      const value* found = r == ERROR_SUCCESS ? at->find_value(view_of(lpValue)) : nullptr;
      if (r == ERROR_SUCCESS && !found) r = ERROR_FILE_NOT_FOUND;
      DWORD type = REG_NONE;
      std::vector<BYTE> data;
      if (r == ERROR_SUCCESS) r = shape_value(*found, dwFlags, type, data);
      if (r == ERROR_SUCCESS) {
        if (pdwType) *pdwType = type;
        r = copy_data(data.data(), data.size(), static_cast<BYTE*>(pvData), pcbData);
      }
    }
    return r;
  });
  if (result != ERROR_SUCCESS && (dwFlags & RRF_ZEROONFAILURE) && pvData) std::memset(pvData, 0, capacity);
  return result;
}

COMRT_API LONG RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData, DWORD cbData) {
  if ((!lpData && cbData) || text_length(lpValueName) > max_value_name || cbData > max_value_size)
    return ERROR_INVALID_PARAMETER;
  if ((dwType == REG_DWORD && cbData != 4) || (dwType == REG_QWORD && cbData != 8)) return ERROR_INVALID_PARAMETER;
  return comrt::win32_boundary([&]() -> LONG {
    auto k = resolve(hKey);
    if (!k) return ERROR_INVALID_HANDLE;
    value nv;
    nv.name = std::u16string(view_of(lpValueName));
    nv.type = dwType;
    if (cbData) nv.data.assign(lpData, lpData + cbData);
    return modify_key(*k, [&](key& at, bool* changed) -> LONG {
      if (value* old = at.find_value(nv.name)) {
        if (old->type == nv.type && old->data == nv.data) return ERROR_SUCCESS;
        old->type = nv.type;
        old->data = nv.data;
      } else {
        at.values.push_back(nv);
      }
      *changed = true;
      return ERROR_SUCCESS;
    });
  });
}

COMRT_API LONG RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
  return comrt::win32_boundary([&]() -> LONG {
    auto k = resolve(hKey);
    if (!k) return ERROR_INVALID_HANDLE;
    const std::u16string_view name = view_of(lpValueName);
    return modify_key(*k, [&](key& at, bool* changed) -> LONG {
      if (!at.remove_value(name)) return ERROR_FILE_NOT_FOUND;
      *changed = true;
      return ERROR_SUCCESS;
    });
  });
}

namespace {

// Deletes the key lpSubKey names below hKey (an empty name: hKey's own key) from the hive that
// holds it. with_subkeys false refuses a key that has subkeys (ERROR_ACCESS_DENIED).
LONG delete_key(HKEY hKey, LPCWSTR lpSubKey, bool with_subkeys) {
  auto k = resolve(hKey);
  if (!k) return ERROR_INVALID_HANDLE;
  if (!extend(*k, lpSubKey)) return ERROR_INVALID_PARAMETER;
  if (k->p.empty()) return ERROR_ACCESS_DENIED;  // a root cannot be deleted
  key_view v = view(*k);
  if (v.status != ERROR_SUCCESS) return v.status;
  const int index = v.primary_index();
  if (index < 0) return ERROR_FILE_NOT_FOUND;
  const source s = sources_of(*k)[index];
  return s.h->modify([&](key& root, bool* changed) -> LONG {
    path parent_path(s.p.begin(), s.p.end() - 1);
    key* parent = find(root, parent_path);
    const key* target = parent ? parent->find_subkey(s.p.back()) : nullptr;
    if (!target) return ERROR_FILE_NOT_FOUND;
    if (!with_subkeys && !target->subkeys.empty()) return ERROR_ACCESS_DENIED;
    parent->remove_subkey(s.p.back());
    *changed = true;
    return ERROR_SUCCESS;
  });
}

}  // namespace

COMRT_API LONG RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
  if (!lpSubKey) return ERROR_INVALID_PARAMETER;
  return comrt::win32_boundary([&]() -> LONG {
    return delete_key(hKey, lpSubKey, false);
  });
}

// With a null or empty subkey, empties hKey's key (its values and subkeys) and keeps the key.
COMRT_API LONG RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey) {
  return comrt::win32_boundary([&]() -> LONG {
    if (lpSubKey && *lpSubKey) return delete_key(hKey, lpSubKey, true);
    auto k = resolve(hKey);
    if (!k) return ERROR_INVALID_HANDLE;
    return modify_key(*k, [&](key& at, bool* changed) -> LONG {
      if (at.values.empty() && at.subkeys.empty()) return ERROR_SUCCESS;
      at.values.clear();
      at.subkeys.clear();
      *changed = true;
      return ERROR_SUCCESS;
    });
  });
}

COMRT_API LONG RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, DWORD* lpcchName, DWORD* lpReserved,
                             LPWSTR lpClass, DWORD* lpcchClass, FILETIME* lpftLastWriteTime) {
  if (!lpName || !lpcchName || lpReserved) return ERROR_INVALID_PARAMETER;
  return comrt::win32_boundary([&]() -> LONG {
    auto k = resolve(hKey);
    if (!k) return ERROR_INVALID_HANDLE;
    key_view v = view(*k);
    if (v.status != ERROR_SUCCESS) return v.status;
    if (!v.primary() && !k->p.empty()) return ERROR_KEY_DELETED;
    // The union of the sources' subkeys, in enumeration order.
    std::vector<const std::u16string*> names;
    for (const key* at : v.found) {
      if (!at) continue;
      for (const key& sub : at->subkeys) names.push_back(&sub.name);
    }
    std::stable_sort(names.begin(), names.end(),
                     [](const auto* a, const auto* b) { return compare_names(*a, *b) < 0; });
    names.erase(std::unique(names.begin(), names.end(), [](const auto* a, const auto* b) { return names_equal(*a, *b); }),
                names.end());
    if (dwIndex >= names.size()) return ERROR_NO_MORE_ITEMS;
    if (const LONG r = copy_name(*names[dwIndex], lpName, lpcchName); r != ERROR_SUCCESS) return r;
    if (lpcchClass) {
      if (lpClass && *lpcchClass) *lpClass = u'\0';
      *lpcchClass = 0;
    }
    if (lpftLastWriteTime) *lpftLastWriteTime = FILETIME{};
    return ERROR_SUCCESS;
  });
}

COMRT_API LONG RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, DWORD* lpcchValueName, DWORD* lpReserved,
                             DWORD* lpType, BYTE* lpData, DWORD* lpcbData) {
  if (!lpValueName || !lpcchValueName || lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
  return comrt::win32_boundary([&]() -> LONG {
    auto k = resolve(hKey);
    if (!k) return ERROR_INVALID_HANDLE;
    key_view v;
    const key* at = nullptr;
    if (const LONG r = key_for_values(*k, v, at); r != ERROR_SUCCESS) return r;
    if (dwIndex >= at->values.size()) return ERROR_NO_MORE_ITEMS;
    const value& found = at->values[dwIndex];
    if (const LONG r = copy_name(found.name, lpValueName, lpcchValueName); r != ERROR_SUCCESS) return r;
    if (lpType) *lpType = found.type;
    return copy_data(found.data.data(), found.data.size(), lpData, lpcbData);
  });
}

COMRT_API LONG RtRegBeginBatch(HKEY hKey) {
  return comrt::win32_boundary([&]() -> LONG {
    const auto k = resolve(hKey);
    if (!k) return ERROR_INVALID_HANDLE;
    // Always in the same order (the user's store first), so two batches cannot wait for each other.
    const std::vector<source> sources = sources_of(*k);
    for (size_t i = 0; i < sources.size(); ++i) {
      if (const LONG r = sources[i].h->begin_batch(); r != ERROR_SUCCESS) {
        while (i-- > 0) static_cast<void>(sources[i].h->end_batch());
        return r;
      }
    }
    return ERROR_SUCCESS;
  });
}

COMRT_API LONG RtRegEndBatch(HKEY hKey) {
  return comrt::win32_boundary([&]() -> LONG {
    const auto k = resolve(hKey);
    if (!k) return ERROR_INVALID_HANDLE;
    const std::vector<source> sources = sources_of(*k);
    LONG result = ERROR_SUCCESS;
    for (auto it = sources.rbegin(); it != sources.rend(); ++it) {
      if (const LONG r = it->h->end_batch(); result == ERROR_SUCCESS) result = r;
    }
    return result;
  });
}
