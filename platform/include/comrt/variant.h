// Owning wrappers for BSTR and VARIANT.
//
//   comrt::bstr name(u"Nightly");               // SysAllocStringLen; throws E_OUTOFMEMORY
//   *pbstrOut = name.detach();                  // hand it out through an [out] BSTR*
//   std::u16string text = comrt::bstr_view(in); // read a BSTR parameter (null is empty)
//
//   comrt::variant v = 42;                      // VT_I4
//   v.change_type(VT_BSTR);                     // "42"; throws hresult_error on failure
//   disp->Invoke(..., &params, &v, ...);        // a variant is a VARIANT (same layout)
#pragma once

#include <concepts>
#include <limits>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "comrt/object.h"
#include "comrt/oleauto.h"

namespace comrt {

// The text of a BSTR that is not ours (a parameter): a null BSTR is the empty string.
inline std::u16string_view bstr_view(BSTR s) noexcept {
  return s ? std::u16string_view(s, SysStringLen(s)) : std::u16string_view();
}

// An owning BSTR. Empty (null) by default; a null BSTR reads as the empty string.
class bstr {
 public:
  bstr() noexcept = default;
  // Throws E_OUTOFMEMORY. Embedded NULs are kept.
  explicit bstr(std::u16string_view text) {
    if (text.size() > std::numeric_limits<UINT>::max()) throw_hresult(E_OUTOFMEMORY);
    p_ = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (!p_) throw_hresult(E_OUTOFMEMORY);
  }
  bstr(const bstr& other) : p_(other.copy()) {}
  bstr(bstr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  bstr& operator=(const bstr& other) {
    bstr(other).swap(*this);
    return *this;
  }
  bstr& operator=(bstr&& other) noexcept {
    bstr(std::move(other)).swap(*this);
    return *this;
  }
  ~bstr() { reset(); }

  // Takes over a BSTR the caller owns (an [out] result, for example).
  static bstr attach(BSTR s) noexcept {
    bstr r;
    r.p_ = s;
    return r;
  }

  BSTR get() const noexcept { return p_; }
  // For [out] BSTR* parameters: frees what is held and returns the address to fill.
  BSTR* put() noexcept {
    reset();
    return &p_;
  }
  // Gives up ownership, e.g. to hand the string out through an [out] parameter.
  [[nodiscard]] BSTR detach() noexcept { return std::exchange(p_, nullptr); }
  // A new BSTR with the same bytes (null for null); throws E_OUTOFMEMORY.
  [[nodiscard]] BSTR copy() const {
    if (!p_) return nullptr;
    BSTR c = SysAllocStringByteLen(reinterpret_cast<const char*>(p_), SysStringByteLen(p_));
    if (!c) throw_hresult(E_OUTOFMEMORY);
    return c;
  }
  void reset() noexcept { SysFreeString(std::exchange(p_, nullptr)); }
  void swap(bstr& other) noexcept { std::swap(p_, other.p_); }

  UINT length() const noexcept { return SysStringLen(p_); }
  bool empty() const noexcept { return length() == 0; }
  std::u16string_view view() const noexcept { return bstr_view(p_); }
  std::u16string str() const { return std::u16string(view()); }

  friend bool operator==(const bstr& a, const bstr& b) noexcept { return a.view() == b.view(); }
  friend bool operator==(const bstr& a, std::u16string_view b) noexcept { return a.view() == b; }

 private:
  BSTR p_ = nullptr;
};

// An owning VARIANT. It is a VARIANT (public base, same size), so its address can be passed
// wherever a VARIANT* is expected, and an array of them is an array of VARIANTs.
class variant : public VARIANT {

 public:
  variant() noexcept { VariantInit(this); }
  variant(const variant& other) : variant() { check_hresult(VariantCopy(this, &other)); }
  explicit variant(const VARIANT& other) : variant() { check_hresult(VariantCopy(this, &other)); }
  variant(variant&& other) noexcept : VARIANT(other) { VariantInit(&other); }
  variant& operator=(const variant& other) {
    check_hresult(VariantCopy(this, &other));
    return *this;
  }
  variant& operator=(variant&& other) noexcept {
    if (this != &other) {
      VariantClear(this);
      static_cast<VARIANT&>(*this) = other;
      VariantInit(&other);
    }
    return *this;
  }
  ~variant() { VariantClear(this); }

  // VT_BOOL (VARIANT_TRUE or VARIANT_FALSE). A template so that pointers do not convert to it.
  template <class T>
    requires std::same_as<T, bool>
  variant(T value) noexcept : variant() {
    vt = VT_BOOL;
    boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
  }
  // The integer type of the same size and signedness: VT_I1 ... VT_I8, VT_UI1 ... VT_UI8.
  template <class T>
    requires(std::integral<T> && !std::same_as<T, bool> && !std::same_as<T, char> &&
             !std::same_as<T, char8_t> && !std::same_as<T, char16_t> && !std::same_as<T, char32_t> &&
             !std::same_as<T, wchar_t>)
  variant(T value) noexcept : variant() {
    set_integer(value);
  }
  variant(float value) noexcept : variant() {
    vt = VT_R4;
    fltVal = value;
  }
  variant(double value) noexcept : variant() {
    vt = VT_R8;
    dblVal = value;
  }
  // VT_BSTR; throws E_OUTOFMEMORY.
  variant(std::u16string_view text) : variant(bstr(text)) {}
  variant(const char16_t* text) : variant(text ? std::u16string_view(text) : std::u16string_view()) {}
  variant(const std::u16string& text) : variant(std::u16string_view(text)) {}
  variant(bstr&& text) noexcept : variant() {
    bstrVal = text.detach();
    vt = VT_BSTR;
  }
  // VT_UNKNOWN / VT_DISPATCH holding a new reference (an interface derived from IDispatch picks
  // VT_DISPATCH).
  variant(IUnknown* object) noexcept : variant() {
    if (object) object->AddRef();
    punkVal = object;
    vt = VT_UNKNOWN;
  }
  variant(IDispatch* object) noexcept : variant() {
    if (object) object->AddRef();
    pdispVal = object;
    vt = VT_DISPATCH;
  }
  template <class I>
  variant(const com_ptr<I>& object) noexcept : variant(object.get()) {}

  static variant from_date(DATE value) noexcept {
    variant r;
    r.vt = VT_DATE;
    r.date = value;
    return r;
  }

  VARTYPE type() const noexcept { return vt; }
  bool empty() const noexcept { return vt == VT_EMPTY; }

  // Clears (freeing what is held); throws DISP_E_BADVARTYPE for a type the runtime does not know.
  void clear() { check_hresult(VariantClear(this)); }
  // For [out] VARIANT* parameters that the callee fills: clears and returns this.
  VARIANT* put() {
    clear();
    return this;
  }
  // Gives up ownership: returns the contents and leaves this VT_EMPTY.
  [[nodiscard]] VARIANT detach() noexcept {
    VARIANT r = *this;
    VariantInit(this);
    return r;
  }
  // Takes over a VARIANT the caller owns; `raw` is left VT_EMPTY.
  void attach(VARIANT& raw) {
    clear();
    static_cast<VARIANT&>(*this) = raw;
    VariantInit(&raw);
  }
  // Deep copy into an [out] VARIANT*, which is treated as uninitialised (its old contents are not
  // freed). Throws on failure, leaving *out VT_EMPTY.
  void copy_to(VARIANT* out) const {
    VariantInit(check_pointer(out));
    check_hresult(VariantCopy(out, this));
  }

  // Converts in place with VariantChangeType; throws its failure and then keeps the old value.
  variant& change_type(VARTYPE type, USHORT flags = 0) {
    check_hresult(VariantChangeType(this, this, flags, type));
    return *this;
  }
  // A converted copy; throws the conversion's failure.
  variant converted(VARTYPE type, USHORT flags = 0) const {
    variant r;
    check_hresult(VariantChangeType(&r, this, flags, type));
    return r;
  }

 private:
  template <class T>
  void set_integer(T value) noexcept {
    if constexpr (std::is_signed_v<T>) {
      if constexpr (sizeof(T) == 1) {
        vt = VT_I1;
        cVal = static_cast<CHAR>(value);
      } else if constexpr (sizeof(T) == 2) {
        vt = VT_I2;
        iVal = value;
      } else if constexpr (sizeof(T) == 4) {
        vt = VT_I4;
        lVal = value;
      } else {
        vt = VT_I8;
        llVal = value;
      }
    } else {
      if constexpr (sizeof(T) == 1) {
        vt = VT_UI1;
        bVal = value;
      } else if constexpr (sizeof(T) == 2) {
        vt = VT_UI2;
        uiVal = value;
      } else if constexpr (sizeof(T) == 4) {
        vt = VT_UI4;
        ulVal = value;
      } else {
        vt = VT_UI8;
        ullVal = value;
      }
    }
  }
};
static_assert(sizeof(variant) == sizeof(VARIANT));

}  // namespace comrt
