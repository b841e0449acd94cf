// RegisterTypeLib, RegisterTypeLibForUser and their inverses: the TypeLib and Interface keys of a
// type library in the registry (machine-wide in HKEY_LOCAL_MACHINE\Software\Classes, which
// HKEY_CLASSES_ROOT shows; per user in HKEY_CURRENT_USER\Software\Classes).
#include <optional>
#include <string>
#include <vector>

#include "comrt/guid.h"
#include "comrt/object.h"
#include "comrt/registry.h"
#include "comrt/typeinfo.h"
#include "comrt/variant.h"

namespace comrt {
namespace {

constexpr GUID proxy_stub_dual{0x00020424, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr GUID proxy_stub_dispatch{0x00020420, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

enum class scope { machine, user };

// A failing registry call ends the operation with TYPE_E_REGISTRYACCESS.
[[noreturn]] void throw_registry_status(LONG status) {
  if (status == ERROR_NOT_ENOUGH_MEMORY || status == ERROR_OUTOFMEMORY) throw_hresult(E_OUTOFMEMORY);
  throw_hresult(TYPE_E_REGISTRYACCESS);
}

constexpr registry_writer registry(&throw_registry_status);

std::u16string decimal(uint32_t v) {
  std::u16string s;
  do {
    s.insert(s.begin(), static_cast<char16_t>(u'0' + v % 10));
    v /= 10;
  } while (v);
  return s;
}

std::u16string version_text(WORD major, WORD minor) { return registry_hex(major) + u"." + registry_hex(minor); }

std::u16string platform_key(SYSKIND kind) {
  switch (kind) {
    case SYS_WIN16: return u"win16";
    case SYS_WIN32: return u"win32";
    case SYS_MAC: return u"mac";
    case SYS_WIN64: return u"linux64";
  }
  throw_hresult(E_INVALIDARG);
}

std::u16string type_library_key(const GUID& libid) { return u"TypeLib\\" + to_u16string(libid); }

HKEY scope_root(scope s) noexcept { return s == scope::machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER; }

// The classes key of the scope, created when `create` is set; empty when it does not exist.
unique_hkey open_classes(scope s, bool create) {
  if (create) return registry.create_key(scope_root(s), u"Software\\Classes");
  unique_hkey key;
  const LONG status = RegOpenKeyExW(scope_root(s), u"Software\\Classes", 0, KEY_ALL_ACCESS, key.put());
  if (status != ERROR_FILE_NOT_FOUND) registry.check(status);
  return key;
}

// A string value, or nullopt when the key or value is missing or not a string.
std::optional<std::u16string> read_string(HKEY parent, const std::u16string& path, const char16_t* name) {
  DWORD size = 0;
  if (RegGetValueW(parent, path.c_str(), name, RRF_RT_REG_SZ, nullptr, nullptr, &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  std::u16string text(size / sizeof(char16_t) + 1, u'\0');
  size = static_cast<DWORD>(text.size() * sizeof(char16_t));
  if (RegGetValueW(parent, path.c_str(), name, RRF_RT_REG_SZ, nullptr, text.data(), &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  text.resize(text.find(u'\0') == std::u16string::npos ? text.size() : text.find(u'\0'));
  return text;
}

bool same_text(std::u16string_view a, std::u16string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char16_t x = a[i];
    char16_t y = b[i];
    if (x >= u'a' && x <= u'z') x = static_cast<char16_t>(x - u'a' + u'A');
    if (y >= u'a' && y <= u'z') y = static_cast<char16_t>(y - u'a' + u'A');
    if (x != y) return false;
  }
  return true;
}

std::vector<std::u16string> subkeys(HKEY parent, const std::u16string& path) {
  std::vector<std::u16string> names;
  unique_hkey key;
  if (RegOpenKeyExW(parent, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return names;
  for (DWORD i = 0;; ++i) {
    char16_t name[256];
    DWORD length = 256;
    const LONG status = RegEnumKeyExW(key.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) break;
    registry.check(status);
    names.emplace_back(name, length);
  }
  return names;
}

bool has_subkeys(HKEY parent, const std::u16string& path) { return !subkeys(parent, path).empty(); }

// Deletes a key that has no subkeys; a missing key is not an error.
void delete_key(HKEY parent, const std::u16string& path) {
  const LONG status = RegDeleteKeyW(parent, path.c_str());
  if (status != ERROR_FILE_NOT_FOUND) registry.check(status);
}

// Runs f inside the error boundary with the scope's store in one batch, so that its changes are
// written to the store together when it returns.
template <class F>
HRESULT batched(scope s, F&& f) noexcept {
  return boundary([&]() -> HRESULT {
    registry_batch batch(scope_root(s));
    const HRESULT hr = f();
    registry.check(batch.end());
    return hr;
  });
}

struct library_identity {
  TLIBATTR attr;
  bstr name;
  bstr doc;
};

library_identity identify(ITypeLib* library) {
  library_identity id{};
  TLIBATTR* attr = nullptr;
  check_hresult(library->GetLibAttr(&attr));
  check_pointer(attr);
  id.attr = *attr;
  library->ReleaseTLibAttr(attr);
  check_hresult(library->GetDocumentation(-1, id.name.put(), id.doc.put(), nullptr, nullptr));
  return id;
}

// The registry entries of one interface of the library, when it is one that automation marshals.
void register_interface(HKEY classes, ITypeInfo* type_info, const std::u16string& libid_text,
                        const std::u16string& version) {
  TYPEATTR* attr = nullptr;
  check_hresult(type_info->GetTypeAttr(&attr));
  check_pointer(attr);
  const TYPEATTR a = *attr;
  type_info->ReleaseTypeAttr(attr);
  const bool dual = (a.wTypeFlags & TYPEFLAG_FDUAL) != 0;
  const bool automation = a.typekind == TKIND_DISPATCH ||
                          (a.typekind == TKIND_INTERFACE && (a.wTypeFlags & (TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDUAL)));
  if (!automation) return;
  bstr name;
  check_hresult(type_info->GetDocumentation(MEMBERID_NIL, name.put(), nullptr, nullptr, nullptr));

  const std::u16string key = u"Interface\\" + to_u16string(a.guid);
  registry.write_key(classes, key, name.view());
  const bool dispatch_only = a.typekind == TKIND_DISPATCH && !dual;
  registry.write_key(classes, key + u"\\ProxyStubClsid32",
                     to_u16string(dispatch_only ? proxy_stub_dispatch : proxy_stub_dual));
  const unique_hkey typelib = registry.create_key(classes, key + u"\\TypeLib");
  registry.set_string(typelib.get(), nullptr, libid_text);
  registry.set_string(typelib.get(), u"Version", version);
}

HRESULT register_type_library(scope s, ITypeLib* library, LPCOLESTR full_path, LPCOLESTR help_dir) noexcept {
  return batched(s, [&]() -> HRESULT {
    if (!library || !full_path) return E_INVALIDARG;
    const library_identity id = identify(library);
    const std::u16string libid_text = to_u16string(id.attr.guid);
    const std::u16string version = version_text(id.attr.wMajorVerNum, id.attr.wMinorVerNum);
    const std::u16string version_key = type_library_key(id.attr.guid) + u"\\" + version;

    const unique_hkey classes = open_classes(s, true);
    registry.write_key(classes.get(), version_key, id.doc.empty() ? id.name.view() : id.doc.view());
    registry.write_key(classes.get(),
                       version_key + u"\\" + registry_hex(id.attr.lcid) + u"\\" + platform_key(id.attr.syskind), full_path);
    registry.write_key(classes.get(), version_key + u"\\FLAGS", decimal(id.attr.wLibFlags));
    registry.write_key(classes.get(), version_key + u"\\HELPDIR", help_dir ? std::u16string_view(help_dir) : u"");

    const UINT count = library->GetTypeInfoCount();
    for (UINT i = 0; i < count; ++i) {
      com_ptr<ITypeInfo> type_info;
      check_hresult(library->GetTypeInfo(i, type_info.put()));
      register_interface(classes.get(), type_info.get(), libid_text, version);
    }
    return S_OK;
  });
}

HRESULT unregister_type_library(scope s, REFGUID libid, WORD major, WORD minor, LCID lcid,
                                SYSKIND syskind) noexcept {
  return batched(s, [&]() -> HRESULT {
    const std::u16string library_key = type_library_key(libid);
    const std::u16string version = version_text(major, minor);
    const std::u16string version_key = library_key + u"\\" + version;
    const std::u16string locale_key = version_key + u"\\" + registry_hex(lcid);
    const std::u16string platform = locale_key + u"\\" + platform_key(syskind);
    const unique_hkey classes = open_classes(s, false);
    if (!classes) return TYPE_E_REGISTRYACCESS;
    const HKEY root = classes.get();
    if (!read_string(root, platform, nullptr)) return TYPE_E_REGISTRYACCESS;

    delete_key(root, platform);
    if (!has_subkeys(root, locale_key)) delete_key(root, locale_key);
    // The version stays while it is registered for another locale or platform.
    for (const std::u16string& sub : subkeys(root, version_key)) {
      if (!same_text(sub, u"FLAGS") && !same_text(sub, u"HELPDIR")) return S_OK;
    }

    // The interfaces that name this library and version.
    const std::u16string libid_text = to_u16string(libid);
    for (const std::u16string& iid : subkeys(root, u"Interface")) {
      const std::u16string key = u"Interface\\" + iid;
      const auto owner = read_string(root, key + u"\\TypeLib", nullptr);
      const auto owner_version = read_string(root, key + u"\\TypeLib", u"Version");
      if (!owner || !same_text(*owner, libid_text) || !owner_version || !same_text(*owner_version, version)) continue;
      delete_key(root, key + u"\\ProxyStubClsid32");
      delete_key(root, key + u"\\TypeLib");
      if (!has_subkeys(root, key)) delete_key(root, key);
    }

    delete_key(root, version_key + u"\\FLAGS");
    delete_key(root, version_key + u"\\HELPDIR");
    if (!has_subkeys(root, version_key)) delete_key(root, version_key);
    if (!has_subkeys(root, library_key)) delete_key(root, library_key);
    return S_OK;
  });
}

}  // namespace
}  // namespace comrt

STDAPI RegisterTypeLib(ITypeLib* ptlib, LPCOLESTR szFullPath, LPCOLESTR szHelpDir) {
  return comrt::register_type_library(comrt::scope::machine, ptlib, szFullPath, szHelpDir);
}

STDAPI RegisterTypeLibForUser(ITypeLib* ptlib, LPCOLESTR szFullPath, LPCOLESTR szHelpDir) {
  return comrt::register_type_library(comrt::scope::user, ptlib, szFullPath, szHelpDir);
}

STDAPI UnRegisterTypeLib(REFGUID libID, WORD wVerMajor, WORD wVerMinor, LCID lcid, SYSKIND syskind) {
  return comrt::unregister_type_library(comrt::scope::machine, libID, wVerMajor, wVerMinor, lcid, syskind);
}

STDAPI UnRegisterTypeLibForUser(REFGUID libID, WORD wVerMajor, WORD wVerMinor, LCID lcid, SYSKIND syskind) {
  return comrt::unregister_type_library(comrt::scope::user, libID, wVerMajor, wVerMinor, lcid, syskind);
}
