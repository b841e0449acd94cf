// Activation contexts: creating classes from a manifest instead of the registry.
//
// A component can ship a manifest beside its library that describes its classes; a host that keeps
// the component in its own folder activates a context made from that manifest and creates the
// classes with no registry entry at all:
//
//   HACTCTX context = nullptr;
//   RtCreateActCtx(u"/opt/app/Scheduler.manifest", &context);
//   ULONG_PTR cookie = 0;
//   RtActivateActCtx(context, &cookie);
//   CoCreateInstance(CLSID_Scheduler, ...);           // or CLSIDFromProgID(u"Scheduler.Scheduler", ...)
//   RtDeactivateActCtx(cookie);
//   RtReleaseActCtx(context);
//
// Contexts are active per thread, as a stack: while a context is active on a thread, CoCreateInstance,
// CoGetClassObject, CLSIDFromProgID and ProgIDFromCLSID on that thread look a class up in the
// innermost active context first, and in the registry when the context does not describe it.
// A context stays usable while it is active, even after its handle is released.
//
// The manifest is XML in the form of the platform's side-by-side manifests:
//
//   <assembly manifestVersion="1.0">
//     <assemblyIdentity name="Scheduler" version="1.0.0.0" type="linux64"/>
//     <file name="libScheduler.so">                     (relative to the manifest's folder, or absolute)
//       <typelib tlbid="{...}" version="1.0" helpdir=""/>
//       <comClass clsid="{...}" progid="Scheduler.Scheduler.1" threadingModel="Both" tlbid="{...}"
//                 description="Scheduler Class">
//         <progid>Scheduler.Scheduler</progid>          (further ProgIDs of the class)
//       </comClass>
//     </file>
//   </assembly>
//
// A manifest that is not of this form (no <assembly> root with manifestVersion "1.0", a <file> without
// a name, a class identifier that is not a braced GUID, a class or ProgID described twice) is refused
// with HRESULT_FROM_WIN32(ERROR_SXS_CANT_GEN_ACTCTX); a missing or unreadable file with the status of
// the failure (HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), E_ACCESSDENIED, ...).
#pragma once

#include "comrt/types.h"

struct HACTCTX__;
using HACTCTX = HACTCTX__*;
using ULONG_PTR = uintptr_t;

inline constexpr LONG ERROR_SXS_CANT_GEN_ACTCTX = 14001;

// Reads the manifest file (UTF-16 path) into a new context. E_POINTER for a null out pointer,
// E_INVALIDARG for a null or empty path.
STDAPI RtCreateActCtx(LPCWSTR manifest, HACTCTX* context);
// Makes the context the innermost active one on the calling thread; the cookie deactivates it.
// E_HANDLE for a handle that is not a live context.
STDAPI RtActivateActCtx(HACTCTX context, ULONG_PTR* cookie);
// Deactivates the innermost active context of the calling thread, which the cookie must name
// (E_INVALIDARG otherwise: a cookie of another thread, or one that is not the innermost).
STDAPI RtDeactivateActCtx(ULONG_PTR cookie);
// Releases the handle (E_HANDLE for one that is not a live context).
STDAPI RtReleaseActCtx(HACTCTX context);
