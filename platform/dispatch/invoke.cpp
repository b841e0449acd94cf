// GetIDsOfNames and Invoke served from an interface description.
//
// Invoke follows OLE automation: arguments arrive in reverse order in DISPPARAMS, named arguments
// first; a property write names its value DISPID_PROPERTYPUT; each argument is converted to its
// parameter's type (references dereferenced) before the interface method is called, and the
// method's own status is Invoke's result. Every converted value is freed on every path.
#include <cstring>
#include <limits>
#include <vector>

#include "comrt/dispatch.h"
#include "comrt/variant.h"
#include "comrt/strings.h"

namespace comrt {
namespace {

// The size of what a VT_BYREF argument of base type `vt` points to; 0 for types that cannot be
// passed here by reference.
size_t referenced_size(VARTYPE vt) noexcept {
  switch (vt) {
    case VT_I1: case VT_UI1: return 1;
    case VT_I2: case VT_UI2: case VT_BOOL: return 2;
    case VT_I4: case VT_UI4: case VT_INT: case VT_UINT: case VT_R4: case VT_ERROR: return 4;
    case VT_I8: case VT_UI8: case VT_R8: case VT_DATE: case VT_CY: return 8;
    case VT_BSTR: case VT_UNKNOWN: case VT_DISPATCH: return sizeof(void*);
    default: return 0;
  }
}

bool is_missing(const VARIANT& v) noexcept { return v.vt == VT_ERROR && v.scode == DISP_E_PARAMNOTFOUND; }

// Converts one argument to its parameter's type into `out` (empty on entry). Returns a status
// that names the argument's fault, or S_OK.
HRESULT convert_argument(const VARIANT& given, const param_info& param, VARIANT& out) {
  const VARIANT* src = &given;
  if (src->vt == (VT_BYREF | VT_VARIANT)) {
    src = src->pvarVal;
    if (!src || (src->vt & VT_BYREF)) return DISP_E_TYPEMISMATCH;
  }
  VARIANT value;  // a shallow, unowned copy of a referenced value
  if (src->vt & VT_BYREF) {
    const VARTYPE base = static_cast<VARTYPE>(src->vt & ~VT_BYREF);
    if (base == VT_DECIMAL && src->byref) {
      std::memcpy(&value.decVal, src->byref, sizeof(DECIMAL));
    } else {
      const size_t size = referenced_size(base);
      if (size == 0 || !src->byref) return DISP_E_TYPEMISMATCH;
      VariantInit(&value);
      std::memcpy(&value.llVal, src->byref, size);
    }
    value.vt = base;
    src = &value;
  }

  switch (param.vt) {
    case VT_VARIANT:
      return VariantCopy(&out, src);
    case VT_UNKNOWN:
    case VT_DISPATCH: {
      IUnknown* object = nullptr;
      if (src->vt == VT_UNKNOWN || src->vt == VT_DISPATCH) {
        object = src->punkVal;
      } else if (src->vt != VT_EMPTY && src->vt != VT_NULL) {
        return DISP_E_TYPEMISMATCH;
      }
      void* queried = nullptr;
      if (object && FAILED(object->QueryInterface(param.iid ? *param.iid : IID_IUnknown, &queried))) {
        return DISP_E_TYPEMISMATCH;
      }
      out.vt = param.vt;
      out.byref = queried;  // the reference is released when the argument is cleared
      return S_OK;
    }
    case VT_I4:
      if (src->vt == VT_ERROR) {
        out.vt = VT_I4;
        out.lVal = src->scode;
        return S_OK;
      }
      break;
    default:
      break;
  }
  const HRESULT hr = VariantChangeType(&out, src, 0, param.vt);
  if (SUCCEEDED(hr) || hr == E_OUTOFMEMORY || hr == DISP_E_OVERFLOW) return hr;
  return DISP_E_TYPEMISMATCH;
}

const member_info* select_member(const interface_info& info, DISPID id, WORD flags) noexcept {
  const unsigned put = INVOKE_PROPERTYPUT;
  const unsigned putref = INVOKE_PROPERTYPUTREF;
  if (flags & DISPATCH_PROPERTYPUTREF) {
    const member_info* m = info.find(id, putref);
    return m ? m : info.find(id, put);
  }
  if (flags & DISPATCH_PROPERTYPUT) {
    const member_info* m = info.find(id, put);
    return m ? m : info.find(id, putref);
  }
  const member_info* m = nullptr;
  if (flags & DISPATCH_METHOD) m = info.find(id, INVOKE_FUNC);
  if (!m && (flags & DISPATCH_PROPERTYGET)) m = info.find(id, INVOKE_PROPERTYGET);
  return m;
}

constexpr UINT no_argument = std::numeric_limits<UINT>::max();

// Where each parameter's argument stands in rgvarg. On failure *fault names the argument.
HRESULT place_arguments(const member_info& m, const DISPPARAMS& params, std::vector<UINT>& source, UINT& fault) {
  const bool is_put = m.kind == member_kind::prop_put || m.kind == member_kind::prop_putref;
  const size_t n = m.params.size();
  const UINT named = params.cNamedArgs;
  const UINT positional = params.cArgs - named;
  // A property write takes its value only by name; the other parameters are its indexes.
  const size_t positional_slots = is_put && n > 0 ? n - 1 : n;
  source.assign(n, no_argument);

  if (is_put) {
    bool has_value = false;
    for (UINT j = 0; j < named; ++j) has_value = has_value || params.rgdispidNamedArgs[j] == DISPID_PROPERTYPUT;
    if (!has_value || n == 0) return DISP_E_PARAMNOTFOUND;
  } else if (named > 0 && n == 0) {
    return DISP_E_NONAMEDARGS;
  }
  for (UINT j = 0; j < named; ++j) {
    const DISPID d = params.rgdispidNamedArgs[j];
    size_t slot = 0;
    if (is_put && d == DISPID_PROPERTYPUT) {
      slot = n - 1;
    } else if (d >= 0 && static_cast<size_t>(d) < positional_slots) {
      slot = static_cast<size_t>(d);
    } else {
      fault = j;
      return DISP_E_PARAMNOTFOUND;
    }
    if (source[slot] != no_argument) {
      fault = j;
      return DISP_E_PARAMNOTFOUND;
    }
    source[slot] = j;
  }
  if (positional > positional_slots) return DISP_E_BADPARAMCOUNT;
  for (UINT p = 0; p < positional; ++p) {
    if (source[p] != no_argument) {
      fault = source[p];  // a named argument for a parameter already given by position
      return DISP_E_PARAMNOTFOUND;
    }
    source[p] = params.cArgs - 1 - p;
  }
  for (size_t slot = 0; slot < n; ++slot) {
    if (m.params[slot].optional) continue;  // left out or passed as missing: both reach the member
    if (source[slot] == no_argument) return DISP_E_BADPARAMCOUNT;
    if (is_missing(params.rgvarg[source[slot]])) {
      fault = source[slot];
      return DISP_E_PARAMNOTOPTIONAL;
    }
  }
  return S_OK;
}

// Fills EXCEPINFO for a member that failed with hr, from the error information it set.
void fill_exception(EXCEPINFO& out, HRESULT hr, const CLSID* clsid) {
  out = EXCEPINFO{};
  out.scode = hr;
  com_ptr<IErrorInfo> info;
  if (GetErrorInfo(0, info.put()) != S_OK) info = nullptr;
  bstr source, description, help_file;
  if (info) {
    info->GetSource(source.put());
    info->GetDescription(description.put());
    info->GetHelpFile(help_file.put());
    info->GetHelpContext(&out.dwHelpContext);
  }
  if (bstr_view(source.get()).empty()) {
    if (clsid) source = bstr(prog_id_of(*clsid));
  }
  if (bstr_view(description.get()).empty()) description = bstr(standard_message(hr));
  out.bstrSource = source.detach();
  out.bstrDescription = description.detach();
  out.bstrHelpFile = help_file.detach();
}

}  // namespace

namespace dispatch {

HRESULT get_type_info(const interface_info& info, const library_info* library, UINT index,
                      ITypeInfo** type_info) noexcept {
  return boundary([&]() -> HRESULT {
    init_out(type_info);
    if (index != 0) return DISP_E_BADINDEX;
    if (library) return make_type_library(*library)->GetTypeInfoOfGuid(info.iid(), type_info);
    make_type_info(info).copy_to(type_info);
    return S_OK;
  });
}

HRESULT get_ids_of_names(const interface_info& info, REFIID riid, LPOLESTR* names, UINT count, DISPID* ids) noexcept {
  if (!(riid == IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  if (count == 0) return S_OK;
  if (!names || !ids) return E_POINTER;
  for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
  const member_info* m = names[0] ? info.find(std::u16string_view(names[0])) : nullptr;
  if (!m) return DISP_E_UNKNOWNNAME;
  ids[0] = m->id;
  HRESULT hr = S_OK;
  for (UINT i = 1; i < count; ++i) {
    // A parameter's DISPID is its position. The name may come from any member of that DISPID
    // (a property's read and write name their index parameters alike).
    for (const member_info& candidate : info.members()) {
      if (candidate.id != m->id || !names[i]) continue;
      for (size_t p = 0; p < candidate.params.size() && ids[i] == DISPID_UNKNOWN; ++p) {
        if (!candidate.params[p].name.empty() && equal_ignoring_case(candidate.params[p].name, names[i])) {
          ids[i] = static_cast<DISPID>(p);
        }
      }
    }
    if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
  }
  return hr;
}

HRESULT invoke(const interface_info& info, IUnknown* self, DISPID id, REFIID riid, LCID, WORD flags,
               DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception, UINT* arg_error,
               const CLSID* clsid) noexcept {
  return boundary([&]() -> HRESULT {
    if (result) VariantInit(result);
    if (!(riid == IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    if (!self) return E_UNEXPECTED;
    if (!params || params->cNamedArgs > params->cArgs || (params->cArgs > 0 && !params->rgvarg) ||
        (params->cNamedArgs > 0 && !params->rgdispidNamedArgs)) {
      return E_INVALIDARG;
    }
    const member_info* m = select_member(info, id, flags);
    if (!m || !m->invoke) return DISP_E_MEMBERNOTFOUND;

    std::vector<UINT> source;
    UINT fault = no_argument;
    HRESULT hr = place_arguments(*m, *params, source, fault);
    if (FAILED(hr)) {
      if (arg_error && fault != no_argument) *arg_error = fault;
      return hr;
    }

    std::vector<variant> args(m->params.size());
    for (size_t i = 0; i < m->params.size(); ++i) {
      if (source[i] == no_argument) {  // an optional parameter left out
        args[i].vt = VT_ERROR;
        args[i].scode = DISP_E_PARAMNOTFOUND;
        continue;
      }
      hr = convert_argument(params->rgvarg[source[i]], m->params[i], args[i]);
      if (FAILED(hr)) {
        if (arg_error && hr != E_OUTOFMEMORY) *arg_error = source[i];
        return hr;
      }
    }

    variant value;
    UINT bad_param = no_argument;
    static_assert(sizeof(variant) == sizeof(VARIANT));
    SetErrorInfo(0, nullptr);  // what the member leaves there is its own
    hr = m->invoke(self, args.data(), &value, &bad_param);
    if (bad_param != no_argument) {
      if (arg_error && bad_param < source.size()) *arg_error = source[bad_param];
      return hr;
    }
    if (FAILED(hr)) {
      // As the standard type information route: the member's failure is an exception.
      if (exception) {
        fill_exception(*exception, hr, clsid);
      } else {
        SetErrorInfo(0, nullptr);
      }
      return DISP_E_EXCEPTION;
    }
    if (result) {
      *result = value;
      VariantInit(&value);  // handed out
    }
    return hr;
  });
}

}  // namespace dispatch
}  // namespace comrt
