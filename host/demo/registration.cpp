#include "registration.h"

#include <stdlib.h>

#include <filesystem>
#include <system_error>

#include <comrt/guid.h>
#include <comrt/registry.h>
#include <comrt/strings.h>

namespace demo {

namespace {

void check_reg(LONG r, const char* step) { check(HRESULT_FROM_WIN32(r), step); }

// Sets a REG_SZ value of an open key (the default value for a null name).
void set_text(HKEY key, const char16_t* name, const std::u16string& text, const char* step) {
  check_reg(RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                           static_cast<DWORD>((text.size() + 1) * sizeof(char16_t))),
            step);
}

comrt::unique_hkey create_user_classes_key(const std::u16string& path, const char* step) {
  comrt::unique_hkey key;
  const std::u16string full = u"Software\\Classes\\" + path;
  check_reg(RegCreateKeyExW(HKEY_CURRENT_USER, full.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, key.put(), nullptr),
            step);
  return key;
}

}  // namespace

void check(HRESULT hr, const char* step) {
  if (FAILED(hr)) throw step_failed{step, hr};
}

std::string scheduler_library_path() {
  std::error_code ec;
  const auto beside = std::filesystem::read_symlink("/proc/self/exe", ec).parent_path() / "libScheduler.so";
  if (!ec && std::filesystem::exists(beside, ec)) return beside.string();
  return TOLVANE_SCHEDULER_LIBRARY;
}

scratch_registry::scratch_registry() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tolvane-demo-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw step_failed{"create a temporary folder", E_FAIL};
  folder_ = pattern;
  ::setenv("TOLVANE_REGISTRY_MACHINE", (folder_ + "/machine.reg").c_str(), 1);
  ::setenv("TOLVANE_REGISTRY_USER", (folder_ + "/user.reg").c_str(), 1);
}

scratch_registry::~scratch_registry() {
  std::error_code ec;
  std::filesystem::remove_all(folder_, ec);
}

void register_class(const CLSID& clsid, const char16_t* prog_id, const std::string& library) {
  const std::u16string clsid_text = comrt::to_u16string(clsid);
  {
    auto server = create_user_classes_key(u"CLSID\\" + clsid_text + u"\\InprocServer32", "create the class key");
    set_text(server.get(), nullptr, comrt::to_utf16(library), "name the server library");
    set_text(server.get(), u"ThreadingModel", u"Both", "write the threading model");
  }
  auto progid = create_user_classes_key(std::u16string(prog_id) + u"\\CLSID", "create the ProgID key");
  set_text(progid.get(), nullptr, clsid_text, "write the ProgID's class identifier");
}

}  // namespace demo
