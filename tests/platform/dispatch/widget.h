// A dual test interface with members of every mapped type, its description and type library, and an
// object that implements it.
#pragma once

#include <string>

#include "comrt/dispatch.h"
#include "comrt/variant.h"

// A read-write property of the test interface.
#define WIDGET_PROP(T, N) \
  virtual HRESULT STDMETHODCALLTYPE get_##N(T* p) = 0; \
  virtual HRESULT STDMETHODCALLTYPE put_##N(T v) = 0;
struct IWidget : IDispatch {
  WIDGET_PROP(BSTR, Name) WIDGET_PROP(LONG, Count) WIDGET_PROP(DATE, Started) WIDGET_PROP(GUID, Id)
  WIDGET_PROP(FILETIME, Created) WIDGET_PROP(HRESULT, Result)
  virtual HRESULT STDMETHODCALLTYPE get_Item(LONG index, IWidget** pp) = 0;
  virtual HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown** pp) = 0;
  virtual HRESULT STDMETHODCALLTYPE Subtract(LONG a, LONG b, LONG* difference) = 0;
  virtual HRESULT STDMETHODCALLTYPE Link(IWidget* other, LONG weight) = 0;
  virtual HRESULT STDMETHODCALLTYPE Fail(BSTR path) = 0;
  virtual HRESULT STDMETHODCALLTYPE FindById(GUID* id, IWidget** pp) = 0;
  virtual HRESULT STDMETHODCALLTYPE BrokenChild(IWidget** pp) = 0;
  virtual HRESULT STDMETHODCALLTYPE Find(BSTR name, VARIANT start, VARIANT count, LONG* missing) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Extra(LONG* p) = 0;
};
#undef WIDGET_PROP
COMRT_INTERFACE_ID(IWidget, IDispatch, 0x5D0C1A10, 0x2B3C, 0x4D5E, 0x8F, 0x90, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6)

// An outgoing dispinterface and a plain vtable interface, for the type library.
struct _IWidgetEvents : IDispatch {};
COMRT_INTERFACE_ID(_IWidgetEvents, IDispatch, 0x5D0C1A12, 0x2B3C, 0x4D5E, 0x8F, 0x90, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6)
struct IWidgetCallback : IUnknown {};
COMRT_INTERFACE_ID(IWidgetCallback, IUnknown, 0x5D0C1A13, 0x2B3C, 0x4D5E, 0x8F, 0x90, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6)

inline constexpr GUID LIBID_Widgets{0x5D0C1A20, 0x2B3C, 0x4D5E, {0x8F, 0x90, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6}};
inline constexpr CLSID CLSID_Gadget{0x5D0C1A30, 0x2B3C, 0x4D5E, {0x8F, 0x90, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6}};

namespace widgets {
const comrt::library_info& library();
}

template <>
struct comrt::dispatch_description<IWidget> {
  static const interface_info& get() {
    static const interface_info info{IID_IWidget, u"IWidget", {
        prop_get<&IWidget::get_Name>(u"Name", 1), prop_put<&IWidget::put_Name>(u"Name", 1, {u"value"}),
        prop_get<&IWidget::get_Count>(u"Count", 2), prop_put<&IWidget::put_Count>(u"Count", 2),
        prop_get<&IWidget::get_Started, as_date>(u"Started", 4), prop_put<&IWidget::put_Started, as_date>(u"Started", 4),
        prop_get<&IWidget::get_Id>(u"Id", 5), prop_put<&IWidget::put_Id>(u"Id", 5),
        prop_get<&IWidget::get_Created>(u"Created", 6), prop_put<&IWidget::put_Created>(u"Created", 6),
        prop_get<&IWidget::get_Result, as_hresult>(u"Result", 7), prop_put<&IWidget::put_Result, as_hresult>(u"Result", 7),
        prop_get<&IWidget::get_Item>(u"Item", DISPID_VALUE, {u"index"}),
        prop_get<&IWidget::get__NewEnum>(u"_NewEnum", DISPID_NEWENUM, {}, FUNCFLAG_FRESTRICTED),
        method<&IWidget::Subtract>(u"Subtract", 100, {u"a", u"b", u"difference"}), method<&IWidget::Fail>(u"Fail", 102, {u"path"}),
        method<&IWidget::Link>(u"Link", 101, {u"other", u"weight"}), method<&IWidget::FindById>(u"FindById", 103, {u"id"}),
        method<&IWidget::BrokenChild>(u"BrokenChild", 105), prop_get<&IWidget::get_Extra>(u"Extra", 200),
        method<&IWidget::Find, deduced, optional, optional>(u"Find", 106, {u"name", u"start", u"count", u"missing"}),
    }};
    return info;
  }
  static const library_info& library() { return widgets::library(); }
};

template <>
struct comrt::dispatch_description<_IWidgetEvents> {
  static inline const interface_info info{IID__IWidgetEvents, u"_IWidgetEvents",
      {dispatch_method(u"OnChange", 1, {param<IWidget*>(u"widget")})}, interface_kind::dispatch_only};
  static const interface_info& get() { return info; }
};

template <>
struct comrt::dispatch_description<IWidgetCallback> {
  static inline const interface_info info{IID_IWidgetCallback, u"IWidgetCallback", {}, interface_kind::custom};
  static const interface_info& get() { return info; }
};

namespace widgets {

inline const comrt::library_info& library() {
  using namespace comrt;
  static const library_info info{LIBID_Widgets, u"Widgets", 1, 0, {describe<IWidget>()},
      {coclass_info{CLSID_Gadget, u"Gadget", {{describe<IWidget>(), IMPLTYPEFLAG_FDEFAULT},
          {describe<_IWidgetEvents>(), IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE},
          {describe<IWidgetCallback>(), IMPLTYPEFLAG_FSOURCE}}}}, u"Widgets 1.0 Type Library"};
  return info;
}

// The implementation: plain fields behind the interface methods.
class Gadget final : public comrt::implements<Gadget, IWidget, comrt::supports_error_info> {
 public:
  static constexpr const CLSID& class_id = CLSID_Gadget;
#define GADGET_PROP(T, N, field) \
  HRESULT STDMETHODCALLTYPE get_##N(T* p) override { return *p = field, S_OK; } \
  HRESULT STDMETHODCALLTYPE put_##N(T v) override { return field = v, S_OK; }
  GADGET_PROP(LONG, Count, count) GADGET_PROP(DATE, Started, started) GADGET_PROP(GUID, Id, id)
  GADGET_PROP(FILETIME, Created, created) GADGET_PROP(HRESULT, Result, result)
#undef GADGET_PROP
  HRESULT STDMETHODCALLTYPE get_Name(BSTR* p) override { return *p = comrt::bstr(name).detach(), S_OK; }
  HRESULT STDMETHODCALLTYPE put_Name(BSTR v) override { return name = comrt::bstr_view(v), S_OK; }
  HRESULT STDMETHODCALLTYPE get_Item(LONG index, IWidget** pp) override {
    return child.copy_to(pp), index == 0 && child ? S_OK : E_INVALIDARG;
  }
  HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown** pp) override { return *pp = comrt::com_ptr<IUnknown>(child.get()).detach(), S_OK; }
  HRESULT STDMETHODCALLTYPE Subtract(LONG a, LONG b, LONG* difference) override { return *difference = a - b, S_OK; }
  HRESULT STDMETHODCALLTYPE Link(IWidget* other, LONG) override { return linked = other, S_OK; }
  // Without a path a bare status; with one, a described failure.
  HRESULT STDMETHODCALLTYPE Fail(BSTR path) override {
    if (comrt::bstr_view(path).empty()) return E_ACCESSDENIED;
    return comrt::boundary([&] {
      const std::u16string text = u"No file at " + std::u16string(comrt::bstr_view(path));
      comrt::throw_hresult(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), text);
    });
  }
  HRESULT STDMETHODCALLTYPE FindById(GUID* wanted, IWidget** pp) override {
    return (*pp = *wanted == child_id ? comrt::com_ptr<IWidget>(child).detach() : nullptr) ? S_OK : E_FAIL;
  }
  // Hands a reference out and still fails: the caller must not lose it.
  HRESULT STDMETHODCALLTYPE BrokenChild(IWidget** pp) override { return child.copy_to(pp), E_UNEXPECTED; }
  // Reports which optional arguments arrived missing: bit 0 start, bit 1 count.
  HRESULT STDMETHODCALLTYPE Find(BSTR, VARIANT start, VARIANT count, LONG* missing) override {
    auto is_missing = [](const VARIANT& v) { return v.vt == VT_ERROR && v.scode == DISP_E_PARAMNOTFOUND; };
    return *missing = (is_missing(start) ? 1 : 0) | (is_missing(count) ? 2 : 0), S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Extra(LONG* p) override { return *p = 7, S_OK; }

  std::u16string name;
  LONG count = 0;
  DATE started = 0;
  GUID id{};
  FILETIME created{};
  HRESULT result = S_OK;
  comrt::com_ptr<IWidget> child;
  GUID child_id{};
  comrt::com_ptr<IWidget> linked;
};

}  // namespace widgets
