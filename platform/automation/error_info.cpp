// Error information: one IErrorInfo per thread, and the object CreateErrorInfo makes.
#include <string>

#include "comrt/object.h"
#include "comrt/variant.h"

namespace {

using comrt::com_ptr;

class error_info final : public comrt::implements<error_info, IErrorInfo, ICreateErrorInfo, comrt::no_module_lock> {
 public:
  HRESULT STDMETHODCALLTYPE GetGUID(GUID* pGUID) override {
    if (!pGUID) return E_INVALIDARG;
    comrt::lock_guard guard(object_mutex());
    *pGUID = guid_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetSource(BSTR* out) override { return get(&error_info::source_, out); }
  HRESULT STDMETHODCALLTYPE GetDescription(BSTR* out) override { return get(&error_info::description_, out); }
  HRESULT STDMETHODCALLTYPE GetHelpFile(BSTR* out) override { return get(&error_info::help_file_, out); }
  HRESULT STDMETHODCALLTYPE GetHelpContext(DWORD* out) override {
    if (!out) return E_INVALIDARG;
    comrt::lock_guard guard(object_mutex());
    *out = help_context_;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE SetGUID(REFGUID guid) override {
    comrt::lock_guard guard(object_mutex());
    guid_ = guid;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetSource(LPOLESTR text) override { return set(&error_info::source_, text); }
  HRESULT STDMETHODCALLTYPE SetDescription(LPOLESTR text) override { return set(&error_info::description_, text); }
  HRESULT STDMETHODCALLTYPE SetHelpFile(LPOLESTR text) override { return set(&error_info::help_file_, text); }
  HRESULT STDMETHODCALLTYPE SetHelpContext(DWORD context) override {
    comrt::lock_guard guard(object_mutex());
    help_context_ = context;
    return S_OK;
  }

 private:
  using text_field = std::u16string error_info::*;

  // The text of a field, or null when it was never set.
  HRESULT get(text_field field, BSTR* out) {
    return comrt::boundary([&] {
      if (!out) return E_INVALIDARG;
      *out = nullptr;
      comrt::lock_guard guard(object_mutex());
      if (!(this->*field).empty()) *out = comrt::bstr(this->*field).detach();
      return S_OK;
    });
  }
  HRESULT set(text_field field, LPOLESTR text) {
    return comrt::boundary([&] {
      std::u16string value = text ? std::u16string(text) : std::u16string();
      comrt::lock_guard guard(object_mutex());
      (this->*field).swap(value);
    });
  }

  GUID guid_ COMRT_GUARDED_BY(object_mutex()) = {};
  std::u16string source_ COMRT_GUARDED_BY(object_mutex());
  std::u16string description_ COMRT_GUARDED_BY(object_mutex());
  std::u16string help_file_ COMRT_GUARDED_BY(object_mutex());
  DWORD help_context_ COMRT_GUARDED_BY(object_mutex()) = 0;
};

// The calling thread's error information (released when the thread ends).
thread_local com_ptr<IErrorInfo> current;

}  // namespace

STDAPI SetErrorInfo(ULONG dwReserved, IErrorInfo* perrinfo) {
  if (dwReserved != 0) return E_INVALIDARG;
  com_ptr<IErrorInfo> previous = std::exchange(current, com_ptr<IErrorInfo>(perrinfo));
  return S_OK;  // the previous one is released after the slot has changed
}

STDAPI GetErrorInfo(ULONG dwReserved, IErrorInfo** pperrinfo) {
  if (!pperrinfo) return E_INVALIDARG;
  *pperrinfo = nullptr;
  if (dwReserved != 0) return E_INVALIDARG;
  *pperrinfo = current.detach();
  return *pperrinfo ? S_OK : S_FALSE;
}

STDAPI CreateErrorInfo(ICreateErrorInfo** pperrinfo) {
  return comrt::boundary([&] {
    comrt::init_out(pperrinfo);
    *pperrinfo = comrt::make<error_info>().as<ICreateErrorInfo>().detach();
  });
}
