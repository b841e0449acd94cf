// Reading the registry in tests: every key path below a key, and text values.
#pragma once

#include <optional>
#include <set>
#include <span>
#include <string>

#include <comrt/registry.h>
#include <comrt/strings.h>

#include "server/module.h"

namespace tolvane::test {

inline const std::u16string kLibrary = comrt::to_utf16(TOLVANE_SCHEDULER_LIBRARY);

inline std::span<const class_entry> module_classes() {
  size_t count = 0;
  const class_entry* classes = CSchedulerModule::classes(&count);
  return {classes, count};
}

// The paths of every key below root\path ("A", "A\B", ...); empty when root\path does not exist.
inline std::set<std::u16string> key_paths(HKEY root, const std::u16string& path, const std::u16string& prefix = u"") {
  std::set<std::u16string> out;
  comrt::unique_hkey key;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return out;
  for (DWORD i = 0;; ++i) {
    char16_t name[256];
    DWORD length = 256;
    if (RegEnumKeyExW(key.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    const std::u16string sub(name, length);
    out.insert(prefix + sub);
    out.merge(key_paths(root, path + u"\\" + sub, prefix + sub + u"\\"));
  }
  return out;
}

inline std::optional<std::u16string> text(HKEY root, const std::u16string& path, const char16_t* name = nullptr) {
  char16_t buffer[1024];
  DWORD size = sizeof buffer;
  if (RegGetValueW(root, path.c_str(), name, RRF_RT_REG_SZ, nullptr, buffer, &size) != ERROR_SUCCESS)
    return std::nullopt;
  return std::u16string(buffer, size / sizeof(char16_t) - 1);
}

}  // namespace tolvane::test
