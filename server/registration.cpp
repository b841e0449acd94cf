#include "server/registration.h"

#include <comrt/guid.h>
#include <comrt/object.h>
#include <comrt/registry.h>
#include <comrt/typeinfo.h>

#include "Scheduler.h"
#include "server/typelib.h"

namespace tolvane {

namespace {

using comrt::unique_hkey;

constexpr GUID kAppId{0x43EA843F, 0xBE3D, 0x4DFB, {0x97, 0x27, 0xDE, 0xA1, 0xF0, 0x6D, 0xD3, 0x00}};
constexpr char16_t kAppName[] = u"Scheduler";
// The application identifier's key named after the library file, as on the platform it came from.
constexpr char16_t kAppModuleKey[] = u"AppID\\Scheduler.dll";
constexpr char16_t kThreadingModel[] = u"Both";

[[noreturn]] void throw_registry_status(LONG status) { comrt::throw_hresult(HRESULT_FROM_WIN32(status)); }

// Registry failures end the operation with the registry's own status.
constexpr comrt::registry_writer registry(&throw_registry_status);

HKEY scope_root(bool per_user) noexcept { return per_user ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE; }

// Removes parent\path with everything below it; a missing key is not an error.
void remove_tree(HKEY parent, const std::u16string& path) {
  const LONG status = RegDeleteTreeW(parent, path.c_str());
  if (status != ERROR_FILE_NOT_FOUND) registry.check(status);
}

bool key_exists(HKEY parent, const std::u16string& path) {
  unique_hkey key;
  const LONG status = RegOpenKeyExW(parent, path.c_str(), 0, KEY_READ, key.put());
  if (status == ERROR_FILE_NOT_FOUND) return false;
  registry.check(status);
  return true;
}

std::u16string clsid_key(const class_entry& c) { return u"CLSID\\" + comrt::to_u16string(c.clsid); }

std::u16string description(const class_entry& c) { return std::u16string(c.coclass) + u" Class"; }

// A class's ProgIDs are checked before anything of it is written.
void check_prog_ids(const class_entry& c) {
  if (!is_valid_prog_id(c.prog_id) || !is_valid_prog_id(c.vi_prog_id)) comrt::throw_hresult(E_INVALIDARG);
}

void register_class(HKEY classes, const class_entry& c, const std::u16string& library) {
  check_prog_ids(c);
  const std::u16string clsid = comrt::to_u16string(c.clsid);
  const std::u16string text = description(c);
  const std::u16string prog_id(c.prog_id);
  const std::u16string vi_prog_id(c.vi_prog_id);

  registry.write_key(classes, prog_id, text);
  registry.write_key(classes, prog_id + u"\\CLSID", clsid);
  registry.write_key(classes, vi_prog_id, text);
  registry.write_key(classes, vi_prog_id + u"\\CLSID", clsid);
  registry.write_key(classes, vi_prog_id + u"\\CurVer", prog_id);

  // The class's own key is written afresh, so nothing of an earlier registration lingers.
  const std::u16string key = clsid_key(c);
  remove_tree(classes, key);
  registry.write_key(classes, key, text);
  if (c.registers_prog_id_keys) {
    registry.write_key(classes, key + u"\\ProgID", prog_id);
    registry.write_key(classes, key + u"\\VersionIndependentProgID", vi_prog_id);
  }
  registry.create_key(classes, key + u"\\Programmable");
  const unique_hkey server = registry.create_key(classes, key + u"\\InprocServer32");
  registry.set_string(server.get(), nullptr, library);
  registry.set_string(server.get(), u"ThreadingModel", kThreadingModel);
  registry.write_key(classes, key + u"\\TypeLib", comrt::to_u16string(LIBID_Scheduler));
}

void unregister_class(HKEY classes, const class_entry& c) {
  // A ProgID the registry cannot hold was never registered.
  if (is_valid_prog_id(c.prog_id)) remove_tree(classes, c.prog_id);
  if (is_valid_prog_id(c.vi_prog_id)) remove_tree(classes, c.vi_prog_id);
  remove_tree(classes, clsid_key(c));
}

TLIBATTR library_attributes(ITypeLib* library) {
  TLIBATTR* attr = nullptr;
  comrt::check_hresult(library->GetLibAttr(&attr));
  comrt::check_pointer(attr);
  const TLIBATTR copy = *attr;
  library->ReleaseTLibAttr(attr);
  return copy;
}

void register_type_library(const std::u16string& library, bool per_user) {
  const comrt::com_ptr<ITypeLib> type_library = comrt::make_type_library(scheduler_library());
  // The library carries no help file, so there is no help folder.
  comrt::check_hresult(per_user ? RegisterTypeLibForUser(type_library.get(), library.c_str(), nullptr)
                                : RegisterTypeLib(type_library.get(), library.c_str(), nullptr));
}

void unregister_type_library(HKEY classes, bool per_user) {
  const comrt::com_ptr<ITypeLib> type_library = comrt::make_type_library(scheduler_library());
  const TLIBATTR a = library_attributes(type_library.get());
  const std::u16string version = u"TypeLib\\" + comrt::to_u16string(a.guid) + u"\\" +
                                 comrt::registry_hex(a.wMajorVerNum) + u"." + comrt::registry_hex(a.wMinorVerNum) +
                                 u"\\" + comrt::registry_hex(a.lcid);
  if (!key_exists(classes, version)) return;  // not registered in this scope
  comrt::check_hresult(per_user ? UnRegisterTypeLibForUser(a.guid, a.wMajorVerNum, a.wMinorVerNum, a.lcid, a.syskind)
                                : UnRegisterTypeLib(a.guid, a.wMajorVerNum, a.wMinorVerNum, a.lcid, a.syskind));
}

}  // namespace

bool is_per_user_command_line(LPCWSTR command_line) noexcept {
  if (!command_line) return false;
  static constexpr char16_t user[] = u"user";
  for (size_t i = 0; i < 4; ++i) {
    char16_t c = command_line[i];
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    if (c != user[i]) return false;
  }
  return command_line[4] == u'\0';
}

bool is_valid_prog_id(std::u16string_view prog_id) noexcept {
  if (prog_id.empty() || prog_id.size() > 255 || (prog_id[0] >= u'0' && prog_id[0] <= u'9')) return false;
  for (const char16_t c : prog_id) {
    const bool letter = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
    const bool digit = c >= u'0' && c <= u'9';
    if (!letter && !digit && c != u'.') return false;
  }
  return true;
}

registrar::registrar(std::u16string library, std::span<const class_entry> classes)
    : library_(std::move(library)), classes_(classes) {}

HRESULT registrar::register_server() const noexcept {
  return comrt::boundary([&] {
    const bool user = per_user();
    // All entries are written to the store at once, when the batch ends.
    comrt::registry_batch batch(scope_root(user));
    const unique_hkey classes = registry.create_key(scope_root(user), u"Software\\Classes");
    const std::u16string app_id = comrt::to_u16string(kAppId);
    registry.write_key(classes.get(), u"AppID\\" + app_id, kAppName);
    registry.set_string(registry.create_key(classes.get(), kAppModuleKey).get(), u"AppID", app_id);
    for (const class_entry& c : classes_) register_class(classes.get(), c, library_);
    register_type_library(library_, user);
    registry.check(batch.end());
  });
}

HRESULT registrar::unregister_server() const noexcept {
  return comrt::boundary([&] {
    const bool user = per_user();
    comrt::registry_batch batch(scope_root(user));
    unique_hkey classes;
    const LONG status = RegOpenKeyExW(scope_root(user), u"Software\\Classes", 0, KEY_ALL_ACCESS, classes.put());
    if (status == ERROR_FILE_NOT_FOUND) return;  // nothing was ever registered in this scope
    registry.check(status);
    for (const class_entry& c : classes_) unregister_class(classes.get(), c);
    unregister_type_library(classes.get(), user);
    remove_tree(classes.get(), u"AppID\\" + comrt::to_u16string(kAppId));
    remove_tree(classes.get(), kAppModuleKey);
    registry.check(batch.end());
  });
}

HRESULT registrar::install(BOOL install, LPCWSTR command_line) noexcept {
  if (is_per_user_command_line(command_line)) per_user_.store(true, std::memory_order_release);
  if (!install) return unregister_server();
  const HRESULT hr = register_server();
  if (FAILED(hr)) static_cast<void>(unregister_server());
  return hr;
}

}  // namespace tolvane
