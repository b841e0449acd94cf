// Self-registration of the component: the registry entries that make its classes creatable by class
// identifier and ProgID, the application identifier and the type library, written machine-wide
// (HKEY_LOCAL_MACHINE\Software\Classes, which HKEY_CLASSES_ROOT shows) or for the current user
// (HKEY_CURRENT_USER\Software\Classes).
//
// For each class C of the class list, with the description "<coclass> Class":
//   <ProgID>                       @=description, CLSID\@={C}
//   <version-independent ProgID>   @=description, CLSID\@={C}, CurVer\@=<ProgID>
//   CLSID\{C}                      @=description
//     ProgID, VersionIndependentProgID    only for the classes that ask for them
//     Programmable                        empty
//     InprocServer32               @=library path, ThreadingModel="Both"
//     TypeLib                      @={LIBID_Scheduler}
// and AppID\{appid} (@="Scheduler"), AppID\Scheduler.dll (AppID="{appid}").
//
// Registering replaces CLSID\{C} as a whole, so registering twice leaves one copy of the entries.
// Unregistering removes every key above (the containers CLSID and AppID stay) and nothing else;
// what is not registered is skipped, so unregistering twice, or what was never registered, succeeds.
#pragma once

#include <atomic>
#include <span>
#include <string>

#include <comrt/types.h>

#include "server/module.h"

namespace tolvane {

class registrar {
 public:
  // library: the full path of the server library that InprocServer32 names.
  registrar(std::u16string library, std::span<const class_entry> classes);

  // Registers in the scope the per-user switch chooses; the first failure ends the registration
  // and is returned.
  HRESULT register_server() const noexcept;
  // Removes the entries from the scope the switch chooses; the first failure ends it.
  HRESULT unregister_server() const noexcept;
  // A command line of "user" (the whole text, any case) turns the per-user switch on for good.
  // Installing undoes a registration that failed part-way and returns the registration's failure.
  HRESULT install(BOOL install, LPCWSTR command_line) noexcept;

  bool per_user() const noexcept { return per_user_.load(std::memory_order_acquire); }

 private:
  const std::u16string library_;
  const std::span<const class_entry> classes_;
  std::atomic<bool> per_user_{false};  // set once by install(), never cleared
};

// True for a command line of exactly "user", without regard to case.
bool is_per_user_command_line(LPCWSTR command_line) noexcept;

// A ProgID the registry can hold: letters, digits and periods, not starting with a digit, at most
// as long as a key name.
bool is_valid_prog_id(std::u16string_view prog_id) noexcept;

}  // namespace tolvane
