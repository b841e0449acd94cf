// Standard messages of statuses and the ProgIDs that error information names as its source.
#include <cstdio>

#include "comrt/combase.h"
#include "comrt/dispatch.h"
#include "comrt/strings.h"

namespace comrt {

std::u16string standard_message(HRESULT hr) {
  struct entry {
    HRESULT hr;
    const char16_t* text;
  };
  static constexpr entry messages[] = {
      {E_FAIL, u"Unspecified error"},
      {E_INVALIDARG, u"The parameter is incorrect."},
      {E_POINTER, u"Invalid pointer"},
      {E_OUTOFMEMORY, u"Not enough memory resources are available to complete this operation."},
      {E_NOINTERFACE, u"No such interface supported"},
      {E_NOTIMPL, u"Not implemented"},
      {E_ACCESSDENIED, u"Access is denied."},
      {E_UNEXPECTED, u"Catastrophic failure"},
      {E_ABORT, u"Operation aborted"},
      {HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), u"The system cannot find the file specified."},
      {HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND), u"The system cannot find the path specified."},
      {HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE), u"The handle is invalid."},
      {HRESULT_FROM_WIN32(ERROR_WRITE_FAULT), u"The system cannot write to the specified device."},
      {HRESULT_FROM_WIN32(ERROR_READ_FAULT), u"The system cannot read from the specified device."},
      {HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION),
       u"The process cannot access the file because it is being used by another process."},
      {HRESULT_FROM_WIN32(ERROR_FILE_EXISTS), u"The file exists."},
      {HRESULT_FROM_WIN32(ERROR_DISK_FULL), u"There is not enough space on the disk."},
      {HRESULT_FROM_WIN32(ERROR_INVALID_NAME), u"The filename, directory name, or volume label syntax is incorrect."},
      {HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS), u"Cannot create a file when that file already exists."},
      {HRESULT_FROM_WIN32(ERROR_BADDB), u"The configuration registry database is corrupt."},
      {CLASS_E_NOAGGREGATION, u"Class does not support aggregation (or class object is remote)"},
      {CLASS_E_CLASSNOTAVAILABLE, u"ClassFactory cannot supply requested class"},
      {REGDB_E_CLASSNOTREG, u"Class not registered"},
      {DISP_E_TYPEMISMATCH, u"Type mismatch."},
      {DISP_E_OVERFLOW, u"Out of present range."},
      {DISP_E_BADINDEX, u"Invalid index."},
      {DISP_E_MEMBERNOTFOUND, u"Member not found."},
      {DISP_E_PARAMNOTFOUND, u"Parameter not found."},
      {DISP_E_BADPARAMCOUNT, u"Invalid number of parameters."},
      {DISP_E_PARAMNOTOPTIONAL, u"Parameter not optional."},
  };
  for (const entry& e : messages)
    if (e.hr == hr) return e.text;
  char text[32];
  std::snprintf(text, sizeof text, "Error 0x%08X", static_cast<unsigned>(hr));
  return to_utf16(text);
}

std::u16string prog_id_of(REFCLSID clsid) {
  std::u16string listed = module_prog_ids().find(clsid);
  if (!listed.empty()) return listed;
  LPOLESTR registered = nullptr;
  if (FAILED(ProgIDFromCLSID(clsid, &registered)) || !registered) return {};
  std::u16string result;
  try {
    result = registered;
  } catch (...) {
    CoTaskMemFree(registered);
    throw;
  }
  CoTaskMemFree(registered);
  return result;
}

}  // namespace comrt
