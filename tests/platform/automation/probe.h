// Test objects whose reference counts the tests read: one that answers IDispatch and one that
// does not.
#pragma once

#include "comrt/object.h"
#include "comrt/variant.h"
#include "fakes/com_helpers.h"

struct ITestDual : IDispatch {};
COMRT_INTERFACE_ID(ITestDual, IDispatch, 0x6c1d53a0, 0x2b7e, 0x4d0e, 0x9a, 0x41, 0x3e, 0x51, 0x0b, 0x7c, 0x22, 0x90)
struct ITestPlain : IUnknown {};
COMRT_INTERFACE_ID(ITestPlain, IUnknown, 0x6c1d53a1, 0x2b7e, 0x4d0e, 0x9a, 0x41, 0x3e, 0x51, 0x0b, 0x7c, 0x22, 0x90)

// The dispatch methods are not exercised here; the object only has to answer IDispatch.
template <>
struct comrt::dispatch_ops<ITestDual> {
  static HRESULT get_type_info_count(UINT*) { return E_NOTIMPL; }
  static HRESULT get_type_info(UINT, LCID, ITypeInfo**) { return E_NOTIMPL; }
  static HRESULT get_ids_of_names(REFIID, LPOLESTR*, UINT, LCID, DISPID*) { return E_NOTIMPL; }
  static HRESULT invoke(ITestDual*, DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) {
    return E_NOTIMPL;
  }
};

// Answers IDispatch and another interface, so that its IDispatch is not its identity.
class DualProbe final : public comrt::implements<DualProbe, ITestPlain, ITestDual> {};
class PlainProbe final : public comrt::implements<PlainProbe, ITestPlain> {};

using fakes::ref_count;
