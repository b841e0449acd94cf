// The free-threaded marshaler: an inner object that an object aggregates to answer IMarshal, which
// tells the runtime that the object's pointers are valid on every thread of the process.
//
// There is no cross-process marshalling, and so no stream to marshal into: GetUnmarshalClass answers
// CLSID_InProcFreeMarshaler for the in-process contexts (MSHCTX_INPROC, MSHCTX_CROSSCTX) and
// E_NOTIMPL for the others; GetMarshalSizeMax, MarshalInterface, UnmarshalInterface and
// ReleaseMarshalData answer E_NOTIMPL; DisconnectObject has nothing to disconnect and answers S_OK.
#include "comrt/object.h"

namespace {

bool in_process(DWORD context) noexcept { return context == MSHCTX_INPROC || context == MSHCTX_CROSSCTX; }

class free_threaded_marshaler final
    : public comrt::implements<free_threaded_marshaler, IMarshal, comrt::no_module_lock> {
 public:
  HRESULT STDMETHODCALLTYPE GetUnmarshalClass(REFIID, void*, DWORD context, void*, DWORD, CLSID* pCid) override {
    return comrt::boundary([&]() -> HRESULT {
      comrt::init_out(pCid);
      if (!in_process(context)) return E_NOTIMPL;
      *pCid = CLSID_InProcFreeMarshaler;
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE GetMarshalSizeMax(REFIID, void*, DWORD, void*, DWORD, DWORD* pSize) override {
    return comrt::boundary([&]() -> HRESULT {
      comrt::init_out(pSize);
      return E_NOTIMPL;
    });
  }
  HRESULT STDMETHODCALLTYPE MarshalInterface(IStream*, REFIID, void*, DWORD, void*, DWORD) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE UnmarshalInterface(IStream*, REFIID, void** ppv) override {
    return comrt::boundary([&]() -> HRESULT {
      comrt::init_out(ppv);
      return E_NOTIMPL;
    });
  }
  HRESULT STDMETHODCALLTYPE ReleaseMarshalData(IStream*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE DisconnectObject(DWORD) override { return S_OK; }
};

}  // namespace

// With an outer object, returns the marshaler's non-delegating IUnknown for the outer object to
// hold (the marshaler's IMarshal then answers for the outer object's identity); without one, a
// marshaler of its own.
STDAPI CoCreateFreeThreadedMarshaler(IUnknown* punkOuter, IUnknown** ppunkMarshal) {
  return comrt::boundary([&]() -> HRESULT {
    if (!ppunkMarshal) return E_INVALIDARG;
    *ppunkMarshal = nullptr;
    comrt::com_ptr<IUnknown> inner;
    if (punkOuter) {
      inner = comrt::make_aggregated<free_threaded_marshaler>(punkOuter);
    } else {
      inner = comrt::make<free_threaded_marshaler>();
    }
    *ppunkMarshal = inner.detach();
    return S_OK;
  });
}
