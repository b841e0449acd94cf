// IDispatch served from a static description of an interface, and the type information built
// from the same descriptions.
//
// One description per dual interface, next to the code that implements it:
//
//   template <>
//   struct comrt::dispatch_description<IThing> {
//     static const comrt::interface_info& get() {
//       static const comrt::interface_info info{IID_IThing, u"IThing", {
//           comrt::prop_get<&IThing::get_Name>(u"Name", 1),
//           comrt::prop_put<&IThing::put_Name>(u"Name", 1, {u"pVal"}),
//           comrt::prop_get<&IThing::get_Started, comrt::as_date>(u"Started", 2),
//           comrt::method<&IThing::Run>(u"Run", 3, {u"pServiceProvider"}),
//           comrt::method<&IThing::RunAt, comrt::deduced, comrt::as_date>(u"RunAt", 4, {u"name", u"when"}),
//           comrt::prop_get<&IThing::get__NewEnum>(u"_NewEnum", DISPID_NEWENUM, {}, FUNCFLAG_FRESTRICTED),
//       }};
//       return info;
//     }
//     // Optional: the library whose type information GetTypeInfo hands out (so that
//     // GetContainingTypeLib answers); without it a stand-alone ITypeInfo is made.
//     static const comrt::library_info& library();
//   };
//
// An interface derived from another dual interface lists the base's description first and only
// its own members after it: comrt::interface_info{IID_IDerived, u"IDerived", comrt::describe<IBase>(), {...}}.
// Objects whose first dual interface is IThing (see implements<> in <comrt/object.h>) then answer
// GetTypeInfoCount, GetTypeInfo, GetIDsOfNames and Invoke through dispatch_ops<IThing>; include
// this header wherever such an object class is defined.
//
// Parameter types are deduced from the member function's signature:
//   BSTR, const OLECHAR*            VT_BSTR          VARIANT_BOOL (int16)   VT_BOOL
//   LONG / INT / HRESULT (int32)    VT_I4 (a VT_ERROR argument gives its code)
//   ULONG (uint32)                  VT_UI4           BYTE, USHORT          VT_UI1, VT_UI2
//   LONGLONG                        VT_I8            ULONGLONG (uint64)    VT_UI8
//   double                          VT_R8            float                 VT_R4
//   any enumeration                 VT_I4            VARIANT               VT_VARIANT
//   interface pointer               VT_DISPATCH if the interface derives from IDispatch, else
//                                   VT_UNKNOWN; the argument is queried for the interface
//   GUID                            VT_BSTR, its braced text "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"
//   FILETIME                        VT_UI8, the count of 100-ns ticks since 1601
// The last parameter is the [out, retval] value when it is a pointer to one of these types (BSTR*,
// LONG*, IThing**, GUID*, VARIANT*, ...); its value becomes Invoke's result. Other pointer
// parameters to such types (GUID* id) are [in] by reference. DATE is the same C++ type as double:
// name the converter comrt::as_date in the template argument at the parameter's position
// (comrt::deduced keeps the deduced converter for the positions before it).
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "comrt/object.h"
#include "comrt/oleauto.h"
#include "comrt/typeinfo.h"

namespace comrt {

// ---------------------------------------------------------------------------------------------
// Converters: how one C++ parameter type travels in a VARIANT. A converter names
//   value_type                   the C++ type
//   vt                           the VARTYPE an argument is converted to before the call
//   iid                          for interface pointers, the interface the argument is queried for
//   from_variant(const VARIANT&) the value of an argument already converted to vt (borrowed: the
//                                argument keeps ownership); may throw hresult_error
//   to_variant(value_type&, VARIANT&)  moves a result (owned) into an empty VARIANT
//   discard(value_type&)         frees a result that is not handed out

namespace detail {
// The VARIANT field that holds a value of type VT.
template <VARTYPE VT>
auto& variant_field(VARIANT& v) noexcept {
  if constexpr (VT == VT_I4) return v.lVal;
  else if constexpr (VT == VT_UI4) return v.ulVal;
  else if constexpr (VT == VT_I8) return v.llVal;
  else if constexpr (VT == VT_UI8) return v.ullVal;
  else if constexpr (VT == VT_UI1) return v.bVal;
  else if constexpr (VT == VT_UI2) return v.uiVal;
  else if constexpr (VT == VT_BOOL) return v.boolVal;
  else if constexpr (VT == VT_R8) return v.dblVal;
  else if constexpr (VT == VT_R4) return v.fltVal;
  else if constexpr (VT == VT_DATE) return v.date;
}

template <class T, VARTYPE VT>
struct plain_converter {
  using value_type = T;
  static constexpr VARTYPE vt = VT;
  static constexpr const IID* iid = nullptr;
  static value_type from_variant(const VARIANT& v) noexcept { return variant_field<VT>(const_cast<VARIANT&>(v)); }
  static void to_variant(value_type& x, VARIANT& out) noexcept {
    out.vt = VT;
    variant_field<VT>(out) = x;
  }
  static void discard(value_type&) noexcept {}
};
}  // namespace detail

struct as_i4 : detail::plain_converter<LONG, VT_I4> {};
struct as_ui4 : detail::plain_converter<ULONG, VT_UI4> {};
struct as_i8 : detail::plain_converter<LONGLONG, VT_I8> {};
struct as_ui8 : detail::plain_converter<ULONGLONG, VT_UI8> {};
struct as_ui1 : detail::plain_converter<BYTE, VT_UI1> {};
struct as_ui2 : detail::plain_converter<USHORT, VT_UI2> {};
struct as_bool : detail::plain_converter<VARIANT_BOOL, VT_BOOL> {};
struct as_r8 : detail::plain_converter<double, VT_R8> {};
struct as_r4 : detail::plain_converter<float, VT_R4> {};
struct as_date : detail::plain_converter<DATE, VT_DATE> {};
// A status travels as VT_I4 (VT_ERROR arguments are accepted for every VT_I4 parameter).
struct as_hresult : as_i4 {};

// BSTR in both directions; a result is owned and handed out as is.
struct as_bstr {
  using value_type = BSTR;
  static constexpr VARTYPE vt = VT_BSTR;
  static constexpr const IID* iid = nullptr;
  static value_type from_variant(const VARIANT& v) noexcept { return v.bstrVal; }
  static void to_variant(value_type& x, VARIANT& out) noexcept {
    out.vt = VT_BSTR;
    out.bstrVal = std::exchange(x, nullptr);
  }
  static void discard(value_type& x) noexcept { SysFreeString(std::exchange(x, nullptr)); }
};

// A read-only string parameter (const OLECHAR*), received as a BSTR.
struct as_olestr {
  using value_type = const OLECHAR*;
  static constexpr VARTYPE vt = VT_BSTR;
  static constexpr const IID* iid = nullptr;
  static value_type from_variant(const VARIANT& v) noexcept { return v.bstrVal ? v.bstrVal : u""; }
};

// GUID as its braced text.
struct as_guid_text {
  using value_type = GUID;
  static constexpr VARTYPE vt = VT_BSTR;
  static constexpr const IID* iid = nullptr;
  static value_type from_variant(const VARIANT& v);  // DISP_E_TYPEMISMATCH for other text
  static void to_variant(value_type& x, VARIANT& out);
  static void discard(value_type&) noexcept {}
};

// FILETIME as its 64-bit count of 100-ns ticks.
struct as_filetime_ticks {
  using value_type = FILETIME;
  static constexpr VARTYPE vt = VT_UI8;
  static constexpr const IID* iid = nullptr;
  static value_type from_variant(const VARIANT& v) noexcept {
    return FILETIME{static_cast<DWORD>(v.ullVal), static_cast<DWORD>(v.ullVal >> 32)};
  }
  static void to_variant(value_type& x, VARIANT& out) noexcept {
    out.vt = VT_UI8;
    out.ullVal = (static_cast<ULONGLONG>(x.dwHighDateTime) << 32) | x.dwLowDateTime;
  }
  static void discard(value_type&) noexcept {}
};

// An enumeration as VT_I4.
template <class E>
struct as_enum {
  using value_type = E;
  static constexpr VARTYPE vt = VT_I4;
  static constexpr const IID* iid = nullptr;
  static value_type from_variant(const VARIANT& v) noexcept { return static_cast<E>(v.lVal); }
  static void to_variant(value_type& x, VARIANT& out) noexcept {
    out.vt = VT_I4;
    out.lVal = static_cast<LONG>(x);
  }
  static void discard(value_type&) noexcept {}
};

// VARIANT as is. An argument is a copy that the call borrows; a result is moved out.
struct as_variant {
  using value_type = VARIANT;
  static constexpr VARTYPE vt = VT_VARIANT;
  static constexpr const IID* iid = nullptr;
  static value_type from_variant(const VARIANT& v) noexcept { return v; }
  static void to_variant(value_type& x, VARIANT& out) noexcept {
    out = x;
    x.vt = VT_EMPTY;
  }
  static void discard(value_type& x) noexcept { VariantClear(&x); }
};

// An interface pointer. Arguments arrive already queried for I (null for VT_EMPTY, VT_NULL and
// null pointers); results travel as VT_DISPATCH or VT_UNKNOWN with their reference.
template <class I>
struct as_interface {
  using value_type = I*;
  static constexpr VARTYPE vt = std::is_base_of_v<IDispatch, I> ? VT_DISPATCH : VT_UNKNOWN;
  static constexpr const IID* iid = &uuidof<I>();
  static value_type from_variant(const VARIANT& v) noexcept { return static_cast<I*>(v.byref); }
  static void to_variant(value_type& x, VARIANT& out) noexcept {
    if constexpr (std::is_base_of_v<IDispatch, I>) {
      out.vt = VT_DISPATCH;
      out.pdispVal = static_cast<IDispatch*>(std::exchange(x, nullptr));
    } else {
      out.vt = VT_UNKNOWN;
      out.punkVal = static_cast<IUnknown*>(std::exchange(x, nullptr));
    }
  }
  static void discard(value_type& x) noexcept {
    if (I* p = std::exchange(x, nullptr)) p->Release();
  }
};

// An [optional] VARIANT parameter: a caller may leave it out (trailing positions, or a named
// call that skips it); the member then receives VT_ERROR with DISP_E_PARAMNOTFOUND, as from a
// script host that passes a missing argument. Named in the converter list at its position:
// comrt::method<&IThing::Find, comrt::deduced, comrt::optional>(u"Find", 5, {u"name", u"options"}).
struct optional : as_variant {
  static constexpr bool is_optional = true;
};

// Placeholder in a converter list: keep the converter deduced from the parameter's type.
struct deduced {};

namespace detail {

template <class T>
inline constexpr bool is_interface_v = std::is_class_v<T> && std::is_base_of_v<IUnknown, T>;

template <class T>
inline constexpr bool dependent_false_v = false;

template <class T>
struct default_converter_of {
  static_assert(dependent_false_v<T>, "no automation mapping for this parameter type; name a converter");
};
template <> struct default_converter_of<LONG> { using type = as_i4; };
template <> struct default_converter_of<ULONG> { using type = as_ui4; };
template <> struct default_converter_of<LONGLONG> { using type = as_i8; };
template <> struct default_converter_of<ULONGLONG> { using type = as_ui8; };
template <> struct default_converter_of<BYTE> { using type = as_ui1; };
template <> struct default_converter_of<USHORT> { using type = as_ui2; };
template <> struct default_converter_of<VARIANT_BOOL> { using type = as_bool; };
template <> struct default_converter_of<double> { using type = as_r8; };
template <> struct default_converter_of<float> { using type = as_r4; };
template <> struct default_converter_of<BSTR> { using type = as_bstr; };
template <> struct default_converter_of<const OLECHAR*> { using type = as_olestr; };
template <> struct default_converter_of<GUID> { using type = as_guid_text; };
template <> struct default_converter_of<FILETIME> { using type = as_filetime_ticks; };
template <> struct default_converter_of<VARIANT> { using type = as_variant; };

template <class T>
auto pick_default_converter() {
  if constexpr (std::is_enum_v<T>) {
    return std::type_identity<as_enum<T>>{};
  } else if constexpr (std::is_pointer_v<T> && is_interface_v<std::remove_pointer_t<T>>) {
    return std::type_identity<as_interface<std::remove_pointer_t<T>>>{};
  } else {
    return std::type_identity<typename default_converter_of<T>::type>{};
  }
}
template <class T>
using default_converter = typename decltype(pick_default_converter<T>())::type;

// How one C++ parameter is passed: by value, by [in] pointer, or as the [out, retval] pointer.
enum class pass_kind { value, in_pointer, retval };

template <class P>
inline constexpr bool is_string_v = std::is_same_v<P, BSTR> || std::is_same_v<P, const OLECHAR*>;

template <class P>
inline constexpr bool is_reference_pointer_v =
    std::is_pointer_v<P> && !is_string_v<P> && !is_interface_v<std::remove_pointer_t<P>>;

template <class P, bool Last>
inline constexpr pass_kind pass_kind_of =
    !is_reference_pointer_v<P> ? pass_kind::value : (Last ? pass_kind::retval : pass_kind::in_pointer);

// The value type behind a parameter (T for T, T* and const T* passed by reference).
template <class P, pass_kind K>
using referenced_t = std::conditional_t<K == pass_kind::value, P, std::remove_cv_t<std::remove_pointer_t<P>>>;

template <class P, pass_kind K, class Override>
using converter_for =
    std::conditional_t<std::is_same_v<Override, deduced>, default_converter<referenced_t<P, K>>, Override>;

template <class Fn>
struct member_function_traits;
template <class C, class... P>
struct member_function_traits<HRESULT (STDMETHODCALLTYPE C::*)(P...)> {
  using owner = C;
  using params = std::tuple<P...>;
  static constexpr size_t arity = sizeof...(P);
};

// Converter overrides padded with `deduced` to the parameter count.
template <size_t I, class... O>
struct override_at {
  using type = deduced;
};
template <size_t I, class H, class... T>
struct override_at<I, H, T...> : override_at<I - 1, T...> {};
template <class H, class... T>
struct override_at<0, H, T...> {
  using type = H;
};

}  // namespace detail

// ---------------------------------------------------------------------------------------------
// Descriptions.

enum class member_kind : uint8_t {
  method = INVOKE_FUNC,
  prop_get = INVOKE_PROPERTYGET,
  prop_put = INVOKE_PROPERTYPUT,
  prop_putref = INVOKE_PROPERTYPUTREF,
};

// One [in] parameter (or the result) as the type information shows it.
struct param_info {
  VARTYPE vt = VT_EMPTY;
  const IID* iid = nullptr;  // interface parameters: the interface
  std::u16string name;       // empty when the description names none
  bool optional = false;     // [optional] (PARAMFLAG_FOPT): a missing argument is passed as such
};

// Calls the interface method behind a member: `self` is the described interface (as IUnknown*),
// `args` the [in] arguments in declaration order, each already converted to its parameter's vt
// (interface arguments as VT_UNKNOWN/VT_DISPATCH holding the queried pointer in byref). The
// [out, retval] value is moved into `*result` on success. A conversion the invoker does itself
// that fails stores the parameter's position in *bad_param and returns DISP_E_TYPEMISMATCH.
using member_invoker = HRESULT (*)(IUnknown* self, const VARIANT* args, VARIANT* result, UINT* bad_param);

struct member_info {
  std::u16string name;
  DISPID id = DISPID_UNKNOWN;
  member_kind kind = member_kind::method;
  std::vector<param_info> params;  // [in] parameters in declaration order
  param_info result;               // vt VT_EMPTY when there is no [out, retval]
  WORD flags = 0;                  // FUNCFLAG_*
  member_invoker invoke = nullptr; // null for members of dispatch-only interfaces
};

enum class interface_kind : uint8_t {
  dual,           // a vtable interface derived from IDispatch, callable through Invoke
  dispatch_only,  // a dispinterface: described for the type information, called by Invoke only
  custom,         // a vtable interface derived from IUnknown (listed in coclasses, not dispatched)
};

class interface_info {
 public:
  interface_info(const IID& iid, std::u16string_view name, std::initializer_list<member_info> members,
                 interface_kind kind = interface_kind::dual);
  // A dual interface derived from `base`: the base's members come first.
  interface_info(const IID& iid, std::u16string_view name, const interface_info& base,
                 std::initializer_list<member_info> members);

  const IID& iid() const noexcept { return iid_; }
  const std::u16string& name() const noexcept { return name_; }
  interface_kind kind() const noexcept { return kind_; }
  const std::vector<member_info>& members() const noexcept { return members_; }
  WORD type_flags() const noexcept;

  // The member with this DISPID whose kind is one of `kinds` (INVOKE_* bits), or null.
  const member_info* find(DISPID id, unsigned kinds) const noexcept;
  // The first member with this name, compared without regard to (ASCII) case, or null.
  const member_info* find(std::u16string_view name) const noexcept;

 private:
  IID iid_;
  std::u16string name_;
  interface_kind kind_;
  std::vector<member_info> members_;
};

// The description of I (dispatch_description<I>::get()).
template <class I>
struct dispatch_description;

template <class I>
const interface_info& describe() {
  return dispatch_description<I>::get();
}

namespace detail {

template <auto Fn, class... Overrides>
struct member_builder {
  using traits = member_function_traits<decltype(Fn)>;
  using owner = typename traits::owner;
  static constexpr size_t arity = traits::arity;

  template <size_t I>
  using param_t = std::tuple_element_t<I, typename traits::params>;
  template <size_t I>
  static constexpr pass_kind kind_v = pass_kind_of<param_t<I>, I + 1 == arity>;
  template <size_t I>
  using conv_t = converter_for<param_t<I>, kind_v<I>, typename override_at<I, Overrides...>::type>;

  static constexpr bool has_retval = [] {
    if constexpr (arity == 0) {
      return false;
    } else {
      return kind_v<arity - 1> == pass_kind::retval;
    }
  }();
  static constexpr size_t in_count = has_retval ? arity - 1 : arity;

  static_assert(sizeof...(Overrides) <= arity, "more converters than parameters");

  template <class C>
  static param_info describe_param(std::u16string_view name) {
    return param_info{C::vt, C::iid, std::u16string(name), requires { C::is_optional; }};
  }

  template <size_t I>
  static param_t<I> pass(typename conv_t<I>::value_type& v) {
    if constexpr (kind_v<I> == pass_kind::value) {
      return v;
    } else {
      return &v;
    }
  }

  // Destroys the retval value unless it was handed out.
  template <class C>
  struct result_guard {
    typename C::value_type& v;
    bool handed_out = false;
    ~result_guard() {
      if (!handed_out) C::discard(v);
    }
  };

  template <size_t... I>
  static HRESULT call(IUnknown* self, const VARIANT* args, VARIANT* result, UINT* bad_param,
                      std::index_sequence<I...>) {
    (void)args;
    std::tuple<typename conv_t<I>::value_type...> values{};
    UINT position = 0;
    try {
      (
          [&] {
            if constexpr (I < in_count) {
              position = static_cast<UINT>(I);
              std::get<I>(values) = conv_t<I>::from_variant(args[I]);
            }
          }(),
          ...);
    } catch (const hresult_error& e) {
      *bad_param = position;
      return e.code();
    }
    owner* object = static_cast<owner*>(self);
    if constexpr (has_retval) {
      using rc = conv_t<arity - 1>;
      auto& out = std::get<arity - 1>(values);
      result_guard<rc> guard{out};
      const HRESULT hr = (object->*Fn)(pass<I>(std::get<I>(values))...);
      if (SUCCEEDED(hr)) {
        rc::to_variant(out, *result);
        guard.handed_out = true;
      }
      return hr;
    } else {
      return (object->*Fn)(pass<I>(std::get<I>(values))...);
    }
  }

  static HRESULT invoke(IUnknown* self, const VARIANT* args, VARIANT* result, UINT* bad_param) {
    return call(self, args, result, bad_param, std::make_index_sequence<arity>{});
  }

  template <size_t... I>
  static member_info build(std::u16string_view name, DISPID id, member_kind kind,
                           std::initializer_list<std::u16string_view> names, WORD flags, std::index_sequence<I...>) {
    member_info m;
    m.name = name;
    m.id = id;
    m.kind = kind;
    m.flags = flags;
    m.invoke = &invoke;
    const std::u16string_view* given = names.begin();
    auto name_of = [&](size_t i) { return i < names.size() ? given[i] : std::u16string_view{}; };
    (
        [&] {
          if constexpr (I < in_count) m.params.push_back(describe_param<conv_t<I>>(name_of(I)));
        }(),
        ...);
    if constexpr (has_retval) m.result = describe_param<conv_t<arity - 1>>(name_of(arity - 1));
    return m;
  }

  static member_info make(std::u16string_view name, DISPID id, member_kind kind,
                          std::initializer_list<std::u16string_view> names, WORD flags) {
    return build(name, id, kind, names, flags, std::make_index_sequence<arity>{});
  }
};

}  // namespace detail

// A method; `param_names` names the parameters in declaration order (the [out, retval] last).
template <auto Fn, class... Converters>
member_info method(std::u16string_view name, DISPID id, std::initializer_list<std::u16string_view> param_names = {},
                   WORD flags = 0) {
  return detail::member_builder<Fn, Converters...>::make(name, id, member_kind::method, param_names, flags);
}
// A property read (get_X): usually only an [out, retval]; indexed properties take [in] parameters first.
template <auto Fn, class... Converters>
member_info prop_get(std::u16string_view name, DISPID id, std::initializer_list<std::u16string_view> param_names = {},
                     WORD flags = 0) {
  return detail::member_builder<Fn, Converters...>::make(name, id, member_kind::prop_get, param_names, flags);
}
// A property write (put_X): the value is the last [in] parameter and arrives as the named
// argument DISPID_PROPERTYPUT.
template <auto Fn, class... Converters>
member_info prop_put(std::u16string_view name, DISPID id, std::initializer_list<std::u16string_view> param_names = {},
                     WORD flags = 0) {
  using builder = detail::member_builder<Fn, Converters...>;
  static_assert(!builder::has_retval && builder::in_count > 0, "a property write takes a value and has no result");
  return builder::make(name, id, member_kind::prop_put, param_names, flags);
}
// A reference property write (putref_X), as prop_put.
template <auto Fn, class... Converters>
member_info prop_putref(std::u16string_view name, DISPID id,
                        std::initializer_list<std::u16string_view> param_names = {}, WORD flags = 0) {
  using builder = detail::member_builder<Fn, Converters...>;
  static_assert(!builder::has_retval && builder::in_count > 0, "a property write takes a value and has no result");
  return builder::make(name, id, member_kind::prop_putref, param_names, flags);
}

// A parameter of a dispatch-only member, typed like a C++ parameter: param<IThing*>(u"pItem").
template <class T, class Converter = deduced>
param_info param(std::u16string_view name = {}) {
  using C = std::conditional_t<std::is_same_v<Converter, deduced>, detail::default_converter<T>, Converter>;
  return param_info{C::vt, C::iid, std::u16string(name)};
}

// A method of a dispatch-only interface (outgoing events): described, not callable through Invoke.
member_info dispatch_method(std::u16string_view name, DISPID id, std::initializer_list<param_info> params = {},
                            param_info result = {}, WORD flags = 0);

// ---------------------------------------------------------------------------------------------
// Coclasses and libraries.

struct implemented_interface {
  implemented_interface(const interface_info& i, INT f = 0) noexcept : info(&i), flags(f) {}
  const interface_info* info;
  INT flags;  // IMPLTYPEFLAG_*: the default interface FDEFAULT, the default events FDEFAULT|FSOURCE
};

struct coclass_info {
  CLSID clsid;
  std::u16string name;
  std::vector<implemented_interface> interfaces;
  WORD type_flags = TYPEFLAG_FCANCREATE;
};

// A type library. Interfaces referenced only by coclasses are added to it after the listed ones.
// The interface descriptions are referenced, not copied: they are the descriptions' statics.
struct library_info {
  GUID libid;
  std::u16string name;
  WORD major = 1;
  WORD minor = 0;
  std::vector<std::reference_wrapper<const interface_info>> interfaces;
  std::vector<coclass_info> coclasses;
  std::u16string doc;  // the help string, e.g. u"Thing 1.0 Type Library"
  LCID lcid = 0;
};

// Type information of one interface, outside any library.
com_ptr<ITypeInfo> make_type_info(const interface_info& info);
// The library; it keeps its own copy of `info` (not of the interface descriptions).
com_ptr<ITypeLib> make_type_library(const library_info& info);
// IProvideClassInfo::GetClassInfo: the type information of the coclass `clsid` of the library.
// E_POINTER for a null out pointer, TYPE_E_ELEMENTNOTFOUND for a class the library lacks.
HRESULT get_class_info(const library_info& library, REFCLSID clsid, ITypeInfo** type_info) noexcept;

// ---------------------------------------------------------------------------------------------
// The IDispatch operations served from a description (the engine behind dispatch_ops).

namespace dispatch {
HRESULT get_type_info(const interface_info& info, const library_info* library, UINT index, ITypeInfo** type_info) noexcept;
HRESULT get_ids_of_names(const interface_info& info, REFIID riid, LPOLESTR* names, UINT count, DISPID* ids) noexcept;
// A member that fails makes Invoke return DISP_E_EXCEPTION and fill *exception (when given):
// scode the member's status, bstrDescription the description of the error information the member
// set (see hresult_error in <comrt/object.h>), else the status' standard message, and bstrSource
// the error information's source, else the ProgID of the class `clsid` (prog_id_of).
HRESULT invoke(const interface_info& info, IUnknown* self, DISPID id, REFIID riid, LCID lcid, WORD flags,
               DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception, UINT* arg_error,
               const CLSID* clsid = nullptr) noexcept;
}  // namespace dispatch

// The ProgID of a class: the one its library's module listed (module_prog_ids in
// <comrt/object.h>), else the registry's HKEY_CLASSES_ROOT\CLSID\{clsid}\ProgID; empty when neither
// names one.
std::u16string prog_id_of(REFCLSID clsid);

// The standard message of a status ("The parameter is incorrect." for E_INVALIDARG); for a status
// without one, "Error 0x80040000".
std::u16string standard_message(HRESULT hr);

template <class I>
struct dispatch_ops {
  static const library_info* library() {
    if constexpr (requires { dispatch_description<I>::library(); }) {
      return &dispatch_description<I>::library();
    } else {
      return nullptr;
    }
  }

  static HRESULT get_type_info_count(UINT* count) noexcept {
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
  }
  static HRESULT get_type_info(UINT index, LCID, ITypeInfo** type_info) noexcept {
    return boundary([&] { return dispatch::get_type_info(describe<I>(), library(), index, type_info); });
  }
  static HRESULT get_ids_of_names(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* ids) noexcept {
    return boundary([&] { return dispatch::get_ids_of_names(describe<I>(), riid, names, count, ids); });
  }
  static HRESULT invoke(I* self, DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* exception, UINT* arg_error, const CLSID* clsid = nullptr) noexcept {
    return boundary([&] {
      return dispatch::invoke(describe<I>(), static_cast<IUnknown*>(self), id, riid, lcid, flags, params, result,
                              exception, arg_error, clsid);
    });
  }
};

}  // namespace comrt
