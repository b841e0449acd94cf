// How the host's transfer objects find one another's implementation behind an interface pointer:
// a change set handed to a transfer, a snapshot handed to the comparer and a transfer added as a
// dependency must be this host's own objects, and only they answer IHostTransferObject.
#pragma once

#include <comrt/object.h>

struct IHostTransferObject : IUnknown {
  // The object's implementation when its class is `clsid`, otherwise null. Borrowed: valid while
  // the caller holds a reference to the object.
  virtual void* STDMETHODCALLTYPE Implementation(REFCLSID clsid) = 0;
};
COMRT_INTERFACE_ID(IHostTransferObject, IUnknown, 0xF78F1DDC, 0x07DA, 0x4E3A, 0x86, 0xF1, 0x8B, 0x45, 0x29, 0x59,
                   0x46, 0x57)

namespace tolvane::host {

// The implementation T (which has a static class_id) behind `object`; null for null, for another
// class or for an object that is not the host's own.
template <class T>
T* host_object(IUnknown* object) noexcept {
  if (!object) return nullptr;
  comrt::com_ptr<IHostTransferObject> own;
  if (FAILED(object->QueryInterface(IID_IHostTransferObject, own.put_void())) || !own) return nullptr;
  return static_cast<T*>(own->Implementation(T::class_id));
}

// The one-line Implementation of a class D with a static class_id.
template <class D>
void* implementation_of(D* self, REFCLSID clsid) noexcept {
  return clsid == D::class_id ? self : nullptr;
}

}  // namespace tolvane::host
