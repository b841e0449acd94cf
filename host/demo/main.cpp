// tolvane-demo: initialises the runtime, registers a class of its own under a ProgID in a
// temporary registry, creates an object by that ProgID, calls it, converts a few values, and
// releases everything. It prints each step and exits 0 when all succeeded.
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "comrt/guid.h"
#include "comrt/object.h"
#include "comrt/registry.h"
#include "comrt/strings.h"
#include "comrt/variant.h"

namespace {

struct IGreeter : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Greet(BSTR name, BSTR* greeting) = 0;
  virtual HRESULT STDMETHODCALLTYPE Add(LONG a, LONG b, LONG* sum) = 0;
};

}  // namespace

COMRT_INTERFACE_ID(IGreeter, IUnknown, 0x6A41F3D2, 0x0C5B, 0x4E7F, 0x9B, 0x18, 0x3D, 0x52, 0xE0, 0x7A, 0x91, 0x6C)

namespace {

constexpr CLSID CLSID_DemoGreeter{0xB3E9157C, 0x2A04, 0x4F6D, {0x8C, 0x3B, 0x57, 0x1E, 0xA9, 0x40, 0xD2, 0x86}};
constexpr char16_t demo_progid[] = u"Tolvane.DemoGreeter.1";

class CGreeter final : public comrt::implements<CGreeter, IGreeter, comrt::free_threaded> {
 public:
  HRESULT STDMETHODCALLTYPE Greet(BSTR name, BSTR* greeting) override {
    return comrt::boundary([&] {
      comrt::init_out(greeting);
      *greeting = comrt::bstr(u"Hello, " + std::u16string(comrt::bstr_view(name)) + u"!").detach();
    });
  }
  HRESULT STDMETHODCALLTYPE Add(LONG a, LONG b, LONG* sum) override {
    return comrt::boundary([&] { *comrt::init_out(sum) = a + b; });
  }
};

void say(const std::string& line) { std::printf("%s\n", line.c_str()); }
std::string text(std::u16string_view s) { return comrt::to_utf8(s); }

// Throws with the step's name for a failing status.
struct step_failed {
  std::string step;
  HRESULT hr;
};
void check(HRESULT hr, const char* step) {
  if (FAILED(hr)) throw step_failed{step, hr};
}
void check_reg(LONG r, const char* step) { check(HRESULT_FROM_WIN32(r), step); }

// A scratch folder for the registry's files, removed at the end; the runtime is pointed at it so
// the demonstration never touches a real registry.
class scratch_registry {
 public:
  scratch_registry() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tolvane-demo-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw step_failed{"create a temporary folder", E_FAIL};
    folder_ = pattern;
    ::setenv("TOLVANE_REGISTRY_MACHINE", (folder_ + "/machine.reg").c_str(), 1);
    ::setenv("TOLVANE_REGISTRY_USER", (folder_ + "/user.reg").c_str(), 1);
  }
  ~scratch_registry() {
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
  }
  const std::string& folder() const { return folder_; }

 private:
  std::string folder_;
};

// Writes HKEY_CURRENT_USER\Software\Classes\<ProgID>\CLSID = {clsid}.
void register_progid() {
  comrt::unique_hkey key;
  const std::u16string path = std::u16string(u"Software\\Classes\\") + demo_progid + u"\\CLSID";
  check_reg(RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, key.put(), nullptr),
            "create the ProgID key");
  const std::u16string clsid = comrt::to_u16string(CLSID_DemoGreeter);
  check_reg(RegSetValueExW(key.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(clsid.c_str()),
                           static_cast<DWORD>((clsid.size() + 1) * sizeof(char16_t))),
            "write the ProgID's class identifier");
}

void run() {
  scratch_registry registry;
  say("registry: temporary store in " + registry.folder());

  check(CoInitializeEx(nullptr, COINIT_MULTITHREADED), "initialise the runtime");
  say("runtime: initialised (multithreaded)");

  register_progid();
  say("registry: " + text(demo_progid) + " -> " + text(comrt::to_u16string(CLSID_DemoGreeter)));

  auto factory = comrt::make<comrt::class_factory<CGreeter>>();
  DWORD cookie = 0;
  check(CoRegisterClassObject(CLSID_DemoGreeter, factory.get(), CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie),
        "register the class object");
  say("runtime: class object registered, cookie " + std::to_string(cookie));

  {
    CLSID clsid{};
    check(CLSIDFromProgID(demo_progid, &clsid), "look up the ProgID");
    say("runtime: " + text(demo_progid) + " is class " + text(comrt::to_u16string(clsid)));

    comrt::com_ptr<IGreeter> greeter;
    check(CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IID_IGreeter, greeter.put_void()), "create the object");
    say("object: created by ProgID");

    comrt::bstr greeting;
    check(greeter->Greet(comrt::bstr(u"Tolvane").get(), greeting.put()), "call Greet");
    say("object: Greet(\"Tolvane\") = \"" + text(greeting.view()) + "\"");
    LONG sum = 0;
    check(greeter->Add(2, 40, &sum), "call Add");
    say("object: Add(2, 40) = " + std::to_string(sum));

    comrt::variant number(u"42");
    check(VariantChangeType(&number, &number, 0, VT_I4), "convert text to a number");
    say("convert: \"42\" (VT_BSTR) -> " + std::to_string(number.lVal) + " (VT_I4)");
    comrt::variant half = 3.5;
    check(VariantChangeType(&half, &half, 0, VT_BSTR), "convert a number to text");
    say("convert: 3.5 (VT_R8) -> \"" + text(comrt::bstr_view(half.bstrVal)) + "\" (VT_BSTR)");
    comrt::variant flag(u"True");
    check(VariantChangeType(&flag, &flag, 0, VT_BOOL), "convert text to a flag");
    say(std::string("convert: \"True\" (VT_BSTR) -> ") + (flag.boolVal == VARIANT_TRUE ? "VARIANT_TRUE" : "VARIANT_FALSE") +
        " (VT_BOOL)");
  }
  say("object: released");

  check(CoRevokeClassObject(cookie), "revoke the class object");
  say("runtime: class object revoked");
  CoUninitialize();
  say("runtime: uninitialised");
}

}  // namespace

int main() {
  try {
    run();
  } catch (const step_failed& f) {
    std::fprintf(stderr, "tolvane-demo: could not %s (0x%08X)\n", f.step.c_str(), static_cast<unsigned>(f.hr));
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tolvane-demo: %s\n", e.what());
    return 1;
  }
  say("done");
  return 0;
}
