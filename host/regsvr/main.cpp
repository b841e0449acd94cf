// tolvane-regsvr: registers a component library's classes in the registry, or removes them, by
// calling the library's own registration exports (DllRegisterServer, DllUnregisterServer, and
// DllInstall with the command line "user" for the current user's registration).
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include <comrt/combase.h>

namespace {

// Exit codes.
constexpr int kDone = 0;
constexpr int kRegistrationFailed = 1;  // the library's registration function reported a failure
constexpr int kUsage = 2;
constexpr int kCannotLoad = 3;          // missing file, or not a loadable library
constexpr int kNotAComponent = 4;       // loads, but has no registration export

constexpr char kUsageText[] =
    "Usage: tolvane-regsvr [--unregister] [--user] LIBRARY\n"
    "Registers the classes of a component library so hosts can create them by class identifier or\n"
    "ProgID, or removes that registration.\n"
    "\n"
    "  -u, --unregister  remove the library's registration instead\n"
    "      --user        register for the current user only (HKEY_CURRENT_USER\\Software\\Classes)\n"
    "                    instead of machine-wide (HKEY_LOCAL_MACHINE\\Software\\Classes)\n"
    "  -h, --help        show this text\n"
    "\n"
    "The registry files are $TOLVANE_REGISTRY_MACHINE (default /var/lib/tolvane/registry/machine.reg)\n"
    "and $TOLVANE_REGISTRY_USER (default ~/.config/tolvane/registry/user.reg).\n"
    "\n"
    "Exit status: 0 done, 1 the registration failed, 2 bad arguments, 3 the library cannot be\n"
    "loaded, 4 the file is not a component library.\n";

struct options {
  bool unregister = false;
  bool user = false;
  std::string library;
};

int usage_error(const char* message, const char* argument) {
  std::fprintf(stderr, "tolvane-regsvr: %s%s\nTry 'tolvane-regsvr --help'.\n", message, argument);
  return kUsage;
}

uint32_t win32_code(HRESULT hr) {
  const auto code = static_cast<uint32_t>(hr);
  return (code & 0xFFFF0000u) == 0x80070000u ? code & 0xFFFFu : 0;
}

// What a user can do about a failure of the library's registration.
std::string explain(HRESULT hr, bool user) {
  const uint32_t w = win32_code(hr);
  const bool not_writable = hr == E_ACCESSDENIED || hr == TYPE_E_REGISTRYACCESS || w == ERROR_PATH_NOT_FOUND ||
                            w == ERROR_CANTOPEN || w == ERROR_CANTWRITE || w == 19 /* write-protected */;
  if (not_writable) {
    return user ? "the registry is not writable: check that $TOLVANE_REGISTRY_USER (or ~/.config/tolvane) can be "
                  "written"
                : "the registry is not writable: run as root for a machine-wide registration, or use --user";
  }
  if (w == ERROR_BADDB) return "the registry file is damaged: repair or remove it by hand";
  if (w == ERROR_DISK_FULL) return "the disk holding the registry is full";
  if (hr == E_OUTOFMEMORY) return "out of memory";
  if (hr == E_INVALIDARG) return "the library describes a class the registry cannot hold";
  return "the library reported a failure";
}

int run(const options& o) {
  std::error_code ec;
  const std::filesystem::path file = std::filesystem::absolute(o.library, ec);
  if (ec || !std::filesystem::exists(file, ec)) {
    std::fprintf(stderr, "tolvane-regsvr: %s: no such file\n", o.library.c_str());
    return kCannotLoad;
  }
  if (std::filesystem::is_directory(file, ec)) {
    std::fprintf(stderr, "tolvane-regsvr: %s: is a folder, not a library\n", o.library.c_str());
    return kCannotLoad;
  }
  // Loaded by its full path, so the library registers the path hosts will load it from.
  void* handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    std::fprintf(stderr, "tolvane-regsvr: %s: cannot be loaded: %s\n", o.library.c_str(), ::dlerror());
    return kCannotLoad;
  }

  using plain_fn = HRESULT();
  using install_fn = HRESULT(BOOL, LPCWSTR);
  const char* name = o.user ? "DllInstall" : o.unregister ? "DllUnregisterServer" : "DllRegisterServer";
  void* entry = ::dlsym(handle, name);
  int status = kDone;
  if (!entry) {
    const bool component = ::dlsym(handle, "DllGetClassObject") != nullptr;
    if (component) {
      std::fprintf(stderr, "tolvane-regsvr: %s: the component library does not export %s%s\n", o.library.c_str(),
                   name, o.user ? " (it cannot register for a single user)" : "");
    } else {
      std::fprintf(stderr, "tolvane-regsvr: %s: not a component library (it exports no DllGetClassObject)\n",
                   o.library.c_str());
    }
    status = kNotAComponent;
  } else {
    const HRESULT hr = o.user ? reinterpret_cast<install_fn*>(entry)(o.unregister ? FALSE : TRUE, u"user")
                              : reinterpret_cast<plain_fn*>(entry)();
    const char* action = o.unregister ? "unregistering" : "registering";
    const char* scope = o.user ? "for the current user" : "machine-wide";
    if (FAILED(hr)) {
      std::fprintf(stderr, "tolvane-regsvr: %s %s %s failed (0x%08X): %s\n", action, o.library.c_str(), scope,
                   static_cast<unsigned>(hr), explain(hr, o.user).c_str());
      status = kRegistrationFailed;
    } else {
      std::printf("tolvane-regsvr: %s %s: %s\n", o.unregister ? "unregistered" : "registered", scope,
                  file.c_str());
    }
  }
  ::dlclose(handle);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  options o;
  bool only_operands = false;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (!only_operands && std::strcmp(a, "--") == 0) {
      only_operands = true;
    } else if (!only_operands && (std::strcmp(a, "-h") == 0 || std::strcmp(a, "--help") == 0)) {
      std::fputs(kUsageText, stdout);
      return kDone;
    } else if (!only_operands && (std::strcmp(a, "-u") == 0 || std::strcmp(a, "--unregister") == 0)) {
      o.unregister = true;
    } else if (!only_operands && std::strcmp(a, "--user") == 0) {
      o.user = true;
    } else if (!only_operands && a[0] == '-' && a[1] != '\0') {
      return usage_error("unknown option ", a);
    } else if (!o.library.empty()) {
      return usage_error("more than one library: ", a);
    } else {
      o.library = a;
    }
  }
  if (o.library.empty()) return usage_error("no library given", "");
  return run(o);
}
