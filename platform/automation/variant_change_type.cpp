// VariantChangeType: conversions among the automation types with the rules of OLE automation.
// The rules themselves are described in <comrt/oleauto.h>.
#include <algorithm>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "comrt/object.h"
#include "comrt/strings.h"
#include "comrt/oleauto.h"
#include "comrt/timeapi.h"
#include "comrt/variant.h"
#include "../time/calendar.h"
#include "variant_types.h"

namespace {

using comrt::throw_hresult;

[[noreturn]] void type_mismatch() { throw_hresult(DISP_E_TYPEMISMATCH); }
[[noreturn]] void overflow() { throw_hresult(DISP_E_OVERFLOW); }

// ---------------------------------------------------------------------------------------------
// Text helpers

constexpr bool is_blank(char16_t c) noexcept {
  return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r' || c == u'\v' || c == u'\f' || c == u'\u00A0';
}
constexpr bool is_digit(char16_t c) noexcept { return c >= u'0' && c <= u'9'; }

std::u16string_view trim(std::u16string_view s) noexcept {
  while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
  return s;
}

std::u16string widen(std::string_view ascii) { return std::u16string(ascii.begin(), ascii.end()); }

// ---------------------------------------------------------------------------------------------
// Numbers in text: [blanks] [+|-] digits [. digits] [(e|E) [+|-] digits] [blanks], with at least
// one digit before the exponent. No thousands separators, currency signs or hexadecimal forms.

// value = digits x 10^exponent; digits has no leading or trailing zeros (empty for zero).
struct decimal {
  bool negative = false;
  std::string digits;
  int64_t exponent = 0;
};

std::optional<decimal> parse_decimal(std::u16string_view text) {
  text = trim(text);
  decimal r;
  size_t i = 0;
  const size_t n = text.size();
  if (i < n && (text[i] == u'+' || text[i] == u'-')) r.negative = text[i++] == u'-';
  bool any_digit = false;
  for (; i < n && is_digit(text[i]); ++i) {
    any_digit = true;
    if (r.digits.empty() && text[i] == u'0') continue;
    r.digits += static_cast<char>(text[i]);
  }
  if (i < n && text[i] == u'.') {
    for (++i; i < n && is_digit(text[i]); ++i) {
      any_digit = true;
      --r.exponent;
      if (r.digits.empty() && text[i] == u'0') continue;
      r.digits += static_cast<char>(text[i]);
    }
  }
  if (!any_digit) return std::nullopt;
  if (i < n && (text[i] == u'e' || text[i] == u'E')) {
    ++i;
    bool negative_exponent = false;
    if (i < n && (text[i] == u'+' || text[i] == u'-')) negative_exponent = text[i++] == u'-';
    if (i == n || !is_digit(text[i])) return std::nullopt;
    // Saturates: anything this large overflows or vanishes whatever the digits are.
    constexpr int64_t exponent_limit = 1'000'000'000;
    int64_t e = 0;
    for (; i < n && is_digit(text[i]); ++i) e = std::min<int64_t>(e * 10 + (text[i] - u'0'), exponent_limit);
    r.exponent += negative_exponent ? -e : e;
  }
  if (i != n) return std::nullopt;
  while (!r.digits.empty() && r.digits.back() == '0') {
    r.digits.pop_back();
    ++r.exponent;
  }
  if (r.digits.empty()) r.exponent = 0;
  return r;
}

decimal parse_number(std::u16string_view text) {
  std::optional<decimal> d = parse_decimal(text);
  if (!d) type_mismatch();
  return std::move(*d);
}

// ---------------------------------------------------------------------------------------------
// Integers as sign and magnitude, wide enough for every integer type

struct integer {
  bool negative = false;
  uint64_t magnitude = 0;
};

integer from_signed(int64_t v) noexcept {
  return v < 0 ? integer{true, uint64_t{0} - static_cast<uint64_t>(v)} : integer{false, static_cast<uint64_t>(v)};
}
integer from_unsigned(uint64_t v) noexcept { return integer{false, v}; }

// The decimal rounded to an integer, half to even, exactly (no detour through double).
integer round_to_integer(const decimal& d) {
  if (d.digits.empty()) return {};
  const auto length = static_cast<int64_t>(d.digits.size());
  const int64_t whole_digits = length + d.exponent;
  if (whole_digits > 20) overflow();
  uint64_t magnitude = 0;
  for (int64_t k = 0; k < whole_digits; ++k) {
    const unsigned digit = k < length ? static_cast<unsigned>(d.digits[k] - '0') : 0;
    if (magnitude > (std::numeric_limits<uint64_t>::max() - digit) / 10) overflow();
    magnitude = magnitude * 10 + digit;
  }
  // Digits after the point: the first decides, the rest (non-zero whenever present) break ties.
  if (whole_digits >= 0 && whole_digits < length) {
    const char first = d.digits[whole_digits];
    const bool more = whole_digits + 1 < length;
    const bool up = first > '5' || (first == '5' && (more || (magnitude & 1)));
    if (up) {
      if (magnitude == std::numeric_limits<uint64_t>::max()) overflow();
      ++magnitude;
    }
  }
  return integer{d.negative && magnitude != 0, magnitude};
}

template <class T>
T narrow(const integer& v) {
  using U = std::make_unsigned_t<T>;
  const auto max = static_cast<uint64_t>(std::numeric_limits<T>::max());
  if (!v.negative || v.magnitude == 0) {
    if (v.magnitude > max) overflow();
    return static_cast<T>(v.magnitude);
  }
  if constexpr (std::is_unsigned_v<T>) {
    overflow();
  } else {
    if (v.magnitude > max + 1) overflow();
    return static_cast<T>(static_cast<U>(U{0} - static_cast<U>(v.magnitude)));
  }
}

// Round half to even, without depending on the floating-point rounding mode.
double round_half_even(double d) noexcept {
  const double down = std::floor(d);
  const double fraction = d - down;  // exact
  if (fraction < 0.5) return down;
  if (fraction > 0.5) return down + 1;
  return std::fmod(down, 2.0) == 0 ? down : down + 1;
}

template <class T>
T round_to(double d) {
  const double r = round_half_even(d);
  const double low = static_cast<double>(std::numeric_limits<T>::min());          // 0 or -2^k: exact
  const double high = std::ldexp(1.0, std::numeric_limits<T>::digits);            // max + 1: exact
  if (!(r >= low && r < high)) overflow();  // NaN and infinities included
  return static_cast<T>(r);
}

// ---------------------------------------------------------------------------------------------
// Doubles from and to text

double parse_double(const decimal& d) {
  const double zero = d.negative ? -0.0 : 0.0;
  if (d.digits.empty()) return zero;
  // The value lies in [10^(magnitude-1), 10^magnitude).
  const int64_t magnitude = static_cast<int64_t>(d.digits.size()) + d.exponent;
  if (magnitude > 310) overflow();
  if (magnitude < -330) return zero;
  // More digits than can affect the result are cut, keeping a non-zero last digit so that a
  // value just above a halfway point still rounds up.
  constexpr size_t kept_digits = 800;
  std::string text = d.negative ? "-" : "";
  int64_t exponent = d.exponent;
  if (d.digits.size() > kept_digits) {
    text.append(d.digits, 0, kept_digits);
    text += '1';
    exponent += static_cast<int64_t>(d.digits.size() - kept_digits - 1);
  } else {
    text += d.digits;
  }
  text += 'e';
  text += std::to_string(exponent);
  double value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec == std::errc::result_out_of_range) {
    if (magnitude > 0) overflow();
    return zero;
  }
  if (ec != std::errc() || end != text.data() + text.size()) type_mismatch();
  return value;
}

// The value rounded to `precision` significant digits (15 for doubles, 7 for floats, as automation
// shows reals), trailing zeros dropped, in plain notation for decimal exponents from -4 up to below
// `precision` and as "1.5E+20" / "2.5E-07" beyond.
std::u16string format_real(double value, int precision) {
  const int plain_limit = precision;
  if (std::isnan(value)) return u"NaN";
  if (std::isinf(value)) return value < 0 ? u"-Infinity" : u"Infinity";
  if (value == 0) return u"0";
  char buffer[64];
  const auto [end, ec] =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific, precision - 1);
  if (ec != std::errc()) throw_hresult(E_FAIL);
  std::string_view s(buffer, static_cast<size_t>(end - buffer));  // "-d.ddde+xx"
  std::string out;
  if (s.front() == '-') {
    out += '-';
    s.remove_prefix(1);
  }
  const size_t e = s.find('e');
  std::string digits;
  for (char c : s.substr(0, e)) {
    if (c != '.') digits += c;
  }
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  std::string_view exponent_text = s.substr(e + 1);
  const bool negative_exponent = exponent_text.front() == '-';
  exponent_text.remove_prefix(1);
  int exponent = 0;
  std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), exponent);
  if (negative_exponent) exponent = -exponent;

  const auto count = static_cast<int>(digits.size());
  if (exponent < -4 || exponent >= plain_limit) {
    out += digits[0];
    if (count > 1) {
      out += '.';
      out.append(digits, 1);
    }
    out += negative_exponent ? "E-" : "E+";
    const int magnitude = negative_exponent ? -exponent : exponent;
    if (magnitude < 10) out += '0';
    out += std::to_string(magnitude);
  } else if (exponent >= 0) {
    if (count <= exponent + 1) {
      out += digits;
      out.append(static_cast<size_t>(exponent + 1 - count), '0');
    } else {
      out.append(digits, 0, static_cast<size_t>(exponent + 1));
      out += '.';
      out.append(digits, static_cast<size_t>(exponent + 1));
    }
  } else {
    out += "0.";
    out.append(static_cast<size_t>(-exponent - 1), '0');
    out += digits;
  }
  return widen(out);
}

// ---------------------------------------------------------------------------------------------
// Exact decimals: VT_DECIMAL (a 96-bit magnitude scaled by 10^-0..28) and VT_CY (a 64-bit count of
// ten-thousandths)

using u128 = unsigned __int128;
constexpr u128 max_decimal_magnitude = (u128{1} << 96) - 1;
constexpr int max_decimal_scale = 28;
constexpr int currency_scale = 4;

decimal from_magnitude(bool negative, u128 magnitude, int64_t scale) {
  decimal d;
  while (magnitude) {
    d.digits.insert(d.digits.begin(), static_cast<char>('0' + static_cast<int>(magnitude % 10)));
    magnitude /= 10;
  }
  d.negative = negative && !d.digits.empty();
  d.exponent = d.digits.empty() ? 0 : -scale;
  while (!d.digits.empty() && d.digits.back() == '0') {
    d.digits.pop_back();
    ++d.exponent;
  }
  return d;
}

decimal from_decimal(const DECIMAL& v) {
  if (v.scale > max_decimal_scale || (v.sign & 0x7F)) throw_hresult(E_INVALIDARG);
  return from_magnitude(v.sign & 0x80, (u128{v.Hi32} << 64) | v.Lo64, v.scale);
}

decimal from_currency(const CY& v) {
  const integer i = from_signed(v.int64);
  return from_magnitude(i.negative, i.magnitude, currency_scale);
}

// The magnitude of d x 10^scale rounded half to even; nullopt beyond 30 digits.
std::optional<u128> round_scaled(const decimal& d, int64_t scale) {
  if (d.digits.empty()) return u128{0};
  const auto length = static_cast<int64_t>(d.digits.size());
  const int64_t whole = length + d.exponent + scale;  // digits before the point
  if (whole > 30) return std::nullopt;
  u128 m = 0;
  for (int64_t k = 0; k < whole; ++k) m = m * 10 + static_cast<unsigned>(k < length ? d.digits[k] - '0' : 0);
  if (whole >= 0 && whole < length) {
    const char first = d.digits[whole];
    const bool more = whole + 1 < length;
    if (first > '5' || (first == '5' && (more || (m & 1)))) ++m;
  }
  return m;
}

DECIMAL to_decimal_value(const decimal& d) {
  // As many decimal places as the value has (at most 28), fewer when the magnitude would not fit.
  for (int64_t scale = std::clamp<int64_t>(-d.exponent, 0, max_decimal_scale); scale >= 0; --scale) {
    const std::optional<u128> m = round_scaled(d, scale);
    if (!m || *m > max_decimal_magnitude) continue;
    DECIMAL r{};
    r.scale = static_cast<BYTE>(scale);
    r.sign = d.negative && *m != 0 ? 0x80 : 0;
    r.Hi32 = static_cast<ULONG>(*m >> 64);
    r.Lo64 = static_cast<ULONGLONG>(*m);
    return r;
  }
  overflow();
}

CY to_currency_value(const decimal& d) {
  const std::optional<u128> m = round_scaled(d, currency_scale);
  const u128 limit = d.negative ? u128{1} << 63 : (u128{1} << 63) - 1;
  if (!m || *m > limit) overflow();
  CY r{};
  r.int64 = d.negative ? static_cast<LONGLONG>(u128{0} - *m) : static_cast<LONGLONG>(*m);
  return r;
}

// Plain decimal notation: "-123.45", "0.001", "1200".
std::u16string format_exact(const decimal& d) {
  if (d.digits.empty()) return u"0";
  std::string out = d.negative ? "-" : "";
  const auto length = static_cast<int64_t>(d.digits.size());
  const int64_t whole = length + d.exponent;
  if (whole <= 0) {
    out += "0.";
    out.append(static_cast<size_t>(-whole), '0');
    out += d.digits;
  } else if (whole >= length) {
    out += d.digits;
    out.append(static_cast<size_t>(whole - length), '0');
  } else {
    out.append(d.digits, 0, static_cast<size_t>(whole));
    out += '.';
    out.append(d.digits, static_cast<size_t>(whole));
  }
  return widen(out);
}

// ---------------------------------------------------------------------------------------------
// Dates: days since 1899-12-30 00:00:00; for a negative date the whole part counts days back and
// the fraction is still the time of that day (-1.25 is 1899-12-29 06:00). The calendar work is
// that of SystemTimeToVariantTime and VariantTimeToSystemTime.

namespace cal = comrt::calendar;

constexpr int64_t date_epoch = cal::days_from_civil(1899, 12, 30);  // in days since 1970-01-01
constexpr int min_year = 100;
constexpr int max_year = 9999;

// Dates from 0100-01-01 to 9999-12-31 (the whole last day included).
constexpr double min_date = static_cast<double>(cal::days_from_civil(min_year, 1, 1) - date_epoch) - 1;
constexpr double max_date = static_cast<double>(cal::days_from_civil(max_year, 12, 31) - date_epoch) + 1;
static_assert(min_date == -657435.0 && max_date == 2958466.0);

double check_date(double d) {
  if (!(d > min_date && d < max_date)) overflow();
  return d;
}

// Rounded to the second; a time that rounds up into the year 10000 overflows.
std::u16string format_date(double d) {
  SYSTEMTIME st{};
  if (!VariantTimeToSystemTime(check_date(d), &st)) overflow();
  char buffer[48];
  std::snprintf(buffer, sizeof buffer, "%04u-%02u-%02u %02u:%02u:%02u", unsigned{st.wYear}, unsigned{st.wMonth},
                unsigned{st.wDay}, unsigned{st.wHour}, unsigned{st.wMinute}, unsigned{st.wSecond});
  return widen(buffer);
}

// Reads between `min_digits` and `max_digits` decimal digits at `pos` into `field`.
bool read_field(std::u16string_view s, size_t& pos, size_t min_digits, size_t max_digits, WORD& field) {
  unsigned value = 0;
  size_t count = 0;
  while (pos < s.size() && count < max_digits && is_digit(s[pos])) {
    value = value * 10 + (s[pos++] - u'0');
    ++count;
  }
  field = static_cast<WORD>(value);
  return count >= min_digits;
}

bool skip(std::u16string_view s, size_t& pos, char16_t c) {
  if (pos >= s.size() || s[pos] != c) return false;
  ++pos;
  return true;
}

// "HH:MM[:SS]".
bool read_time_of_day(std::u16string_view s, size_t& pos, SYSTEMTIME& st) {
  if (!read_field(s, pos, 1, 2, st.wHour) || !skip(s, pos, u':') || !read_field(s, pos, 2, 2, st.wMinute)) {
    return false;
  }
  return !skip(s, pos, u':') || read_field(s, pos, 2, 2, st.wSecond);
}

// "YYYY-MM-DD".
bool read_calendar_date(std::u16string_view s, size_t& pos, SYSTEMTIME& st) {
  return read_field(s, pos, 4, 4, st.wYear) && skip(s, pos, u'-') && read_field(s, pos, 1, 2, st.wMonth) &&
         skip(s, pos, u'-') && read_field(s, pos, 1, 2, st.wDay);
}

// "YYYY-MM-DD", "YYYY-MM-DD HH:MM[:SS]" (blanks or "T" between), or a time of day alone (a time
// on 1899-12-30, the date 0). The fields must form a real date and time in the date range.
double parse_date(std::u16string_view text) {
  const std::u16string_view s = trim(text);
  size_t pos = 0;
  SYSTEMTIME st{1899, 12, 0, 30, 0, 0, 0, 0};
  bool ok = false;
  if (s.size() > 2 && (s[1] == u':' || s[2] == u':')) {
    ok = read_time_of_day(s, pos, st);
  } else if (read_calendar_date(s, pos, st)) {
    if (pos == s.size()) {
      ok = true;
    } else {
      const size_t date_end = pos;
      if (!skip(s, pos, u'T')) {
        while (pos < s.size() && is_blank(s[pos])) ++pos;
      }
      ok = pos > date_end && read_time_of_day(s, pos, st);
    }
  }
  DATE result = 0;
  if (!ok || pos != s.size() || !SystemTimeToVariantTime(&st, &result)) type_mismatch();
  return result;
}

// ---------------------------------------------------------------------------------------------
// The source value, read once

enum class kind { empty, null, integer, boolean, real, date, text, exact, object, other };

struct value {
  kind k = kind::other;
  integer i;                 // kind::integer
  VARIANT_BOOL b = 0;        // kind::boolean (as stored: any non-zero is true)
  double d = 0;              // kind::real, kind::date
  bool single = false;       // kind::real from VT_R4
  std::u16string_view text;  // kind::text
  decimal exact;             // kind::exact (VT_DECIMAL, VT_CY)
};

value read(const VARIANT& v) {
  value r;
  switch (v.vt) {
    case VT_EMPTY: r.k = kind::empty; break;
    case VT_NULL: r.k = kind::null; break;
    case VT_I1: r.k = kind::integer; r.i = from_signed(static_cast<signed char>(v.cVal)); break;
    case VT_I2: r.k = kind::integer; r.i = from_signed(v.iVal); break;
    case VT_I4: r.k = kind::integer; r.i = from_signed(v.lVal); break;
    case VT_I8: r.k = kind::integer; r.i = from_signed(v.llVal); break;
    case VT_INT: r.k = kind::integer; r.i = from_signed(v.intVal); break;
    case VT_UI1: r.k = kind::integer; r.i = from_unsigned(v.bVal); break;
    case VT_UI2: r.k = kind::integer; r.i = from_unsigned(v.uiVal); break;
    case VT_UI4: r.k = kind::integer; r.i = from_unsigned(v.ulVal); break;
    case VT_UI8: r.k = kind::integer; r.i = from_unsigned(v.ullVal); break;
    case VT_UINT: r.k = kind::integer; r.i = from_unsigned(v.uintVal); break;
    case VT_BOOL: r.k = kind::boolean; r.b = v.boolVal; break;
    case VT_R4: r.k = kind::real; r.d = v.fltVal; r.single = true; break;
    case VT_R8: r.k = kind::real; r.d = v.dblVal; break;
    case VT_DATE: r.k = kind::date; r.d = v.date; break;
    case VT_BSTR: r.k = kind::text; r.text = comrt::bstr_view(v.bstrVal); break;
    case VT_DECIMAL: r.k = kind::exact; r.exact = from_decimal(v.decVal); break;
    case VT_CY: r.k = kind::exact; r.exact = from_currency(v.cyVal); break;
    case VT_UNKNOWN: case VT_DISPATCH: r.k = kind::object; break;
    default: r.k = kind::other; break;  // VT_ERROR
  }
  return r;
}

// A VT_BYREF variant as the plain variant it refers to (a view: nothing is owned or copied).
VARIANT dereference(const VARIANT& v) {
  using namespace comrt::automation;
  if (!(v.vt & VT_BYREF)) {
    if (!is_value_type(v.vt)) throw_hresult(DISP_E_BADVARTYPE);
    return v;
  }
  const auto base = static_cast<VARTYPE>(v.vt & ~VT_BYREF);
  const size_t size = referenced_size(base);
  if (size == 0) throw_hresult(DISP_E_BADVARTYPE);
  if (!v.byref) throw_hresult(E_INVALIDARG);
  if (base == VT_VARIANT) {
    const VARIANT& inner = *v.pvarVal;
    if (inner.vt == (VT_BYREF | VT_VARIANT)) throw_hresult(DISP_E_BADVARTYPE);
    return dereference(inner);
  }
  VARIANT plain{};
  if (base == VT_DECIMAL) {
    std::memcpy(static_cast<void*>(&plain.decVal), v.byref, size);
  } else {
    std::memcpy(&plain.llVal, v.byref, size);
  }
  plain.vt = base;
  return plain;
}

// ---------------------------------------------------------------------------------------------
// Targets

template <class T>
T to_integer(const value& v) {
  switch (v.k) {
    case kind::empty: return 0;
    case kind::integer: return narrow<T>(v.i);
    case kind::boolean: return static_cast<T>(v.b);  // true (-1) is all bits set in unsigned types
    case kind::real:
    case kind::date: return round_to<T>(v.d);
    case kind::text: return narrow<T>(round_to_integer(parse_number(v.text)));
    case kind::exact: return narrow<T>(round_to_integer(v.exact));
    default: type_mismatch();
  }
}

double to_double(const value& v) {
  switch (v.k) {
    case kind::empty: return 0;
    case kind::integer: {
      const auto m = static_cast<double>(v.i.magnitude);
      return v.i.negative ? -m : m;
    }
    case kind::boolean: return v.b;
    case kind::real:
    case kind::date: return v.d;
    case kind::text: return parse_double(parse_number(v.text));
    case kind::exact: return parse_double(v.exact);
    default: type_mismatch();
  }
}

// Any value as an exact decimal: reals with the significant digits that automation shows them
// with (15, 7 for VT_R4).
decimal to_exact(const value& v) {
  switch (v.k) {
    case kind::empty: return {};
    case kind::integer: return from_magnitude(v.i.negative, v.i.magnitude, 0);
    case kind::boolean: return from_magnitude(v.b != 0, v.b != 0 ? 1 : 0, 0);
    case kind::real:
    case kind::date:
      if (!std::isfinite(v.d)) overflow();
      return parse_number(format_real(v.d, v.single ? 7 : 15));
    case kind::text: return parse_number(v.text);
    case kind::exact: return v.exact;
    default: type_mismatch();
  }
}

float to_float(const value& v) {
  const double d = to_double(v);
  if (std::isfinite(d) && std::fabs(d) > FLT_MAX) overflow();
  return static_cast<float>(d);
}

DATE to_date(const value& v) {
  if (v.k == kind::text) return parse_date(v.text);
  return check_date(to_double(v));
}

bool to_bool(const value& v) {
  switch (v.k) {
    case kind::empty: return false;
    case kind::integer: return v.i.magnitude != 0;
    case kind::boolean: return v.b != 0;
    case kind::real:
    case kind::date: return v.d != 0;
    case kind::text: {
      const std::u16string_view t = trim(v.text);
      if (comrt::equal_ignoring_case(t, u"true")) return true;
      if (comrt::equal_ignoring_case(t, u"false")) return false;
      return !parse_number(t).digits.empty();
    }
    case kind::exact: return !v.exact.digits.empty();
    default: type_mismatch();
  }
}

std::u16string integer_text(const integer& i) {
  char buffer[24];
  char* p = buffer;
  if (i.negative) *p++ = '-';
  const auto [end, ec] = std::to_chars(p, buffer + sizeof buffer, i.magnitude);
  return widen(std::string_view(buffer, static_cast<size_t>(end - buffer)));
}

std::u16string to_text(const value& v, USHORT flags) {
  switch (v.k) {
    case kind::empty: return {};
    case kind::integer: return integer_text(v.i);
    case kind::boolean:
      if (flags & (VARIANT_ALPHABOOL | VARIANT_LOCALBOOL)) return v.b ? u"True" : u"False";
      return integer_text(from_signed(v.b));
    case kind::real:
      return format_real(v.d, v.single ? 7 : 15);
    case kind::date: return format_date(v.d);
    case kind::text: return std::u16string(v.text);
    case kind::exact: return format_exact(v.exact);
    default: type_mismatch();
  }
}

// The object asked for the target's interface: VT_DISPATCH to VT_UNKNOWN gives its identity
// (QueryInterface for IUnknown), VT_UNKNOWN to VT_DISPATCH its IDispatch; failing as QueryInterface
// does. Null stays null.
void to_object(const VARIANT& source, VARTYPE target, comrt::variant& result) {
  if (source.vt != VT_UNKNOWN && source.vt != VT_DISPATCH) type_mismatch();
  result.punkVal = nullptr;
  if (!source.punkVal) return;
  const IID& iid = target == VT_UNKNOWN ? IID_IUnknown : IID_IDispatch;
  comrt::check_hresult(source.punkVal->QueryInterface(iid, reinterpret_cast<void**>(&result.punkVal)));
}

comrt::variant convert(const VARIANT& source, USHORT flags, VARTYPE target) {
  if (!comrt::automation::is_value_type(target)) throw_hresult(DISP_E_BADVARTYPE);
  const VARIANT plain = dereference(source);
  comrt::variant result;
  if (plain.vt == target) {
    comrt::check_hresult(VariantCopy(&result, &plain));
    return result;
  }
  const value v = read(plain);
  switch (target) {
    case VT_EMPTY: return result;
    case VT_I1: result.cVal = static_cast<CHAR>(to_integer<int8_t>(v)); break;
    case VT_I2: result.iVal = to_integer<int16_t>(v); break;
    case VT_I4: result.lVal = to_integer<int32_t>(v); break;
    case VT_I8: result.llVal = to_integer<int64_t>(v); break;
    case VT_INT: result.intVal = to_integer<int32_t>(v); break;
    case VT_UI1: result.bVal = to_integer<uint8_t>(v); break;
    case VT_UI2: result.uiVal = to_integer<uint16_t>(v); break;
    case VT_UI4: result.ulVal = to_integer<uint32_t>(v); break;
    case VT_UI8: result.ullVal = to_integer<uint64_t>(v); break;
    case VT_UINT: result.uintVal = to_integer<uint32_t>(v); break;
    case VT_R4: result.fltVal = to_float(v); break;
    case VT_R8: result.dblVal = to_double(v); break;
    case VT_DATE: result.date = to_date(v); break;
    case VT_BOOL: result.boolVal = to_bool(v) ? VARIANT_TRUE : VARIANT_FALSE; break;
    case VT_BSTR: result.bstrVal = comrt::bstr(to_text(v, flags)).detach(); break;
    case VT_DECIMAL: result.decVal = to_decimal_value(to_exact(v)); break;
    case VT_CY: result.cyVal = to_currency_value(to_exact(v)); break;
    case VT_UNKNOWN:
    case VT_DISPATCH: to_object(plain, target, result); break;
    default: type_mismatch();  // VT_NULL, VT_ERROR from another type
  }
  result.vt = target;
  return result;
}

}  // namespace

STDAPI VariantChangeTypeEx(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, LCID, USHORT wFlags, VARTYPE vt) {
  return comrt::boundary([&]() -> HRESULT {
    if (!pvargDest || !pvarSrc) return E_INVALIDARG;
    if (!comrt::automation::is_valid_type(pvargDest->vt)) return DISP_E_BADVARTYPE;
    comrt::variant result = convert(*pvarSrc, wFlags, vt);
    // Only now is the destination (which may be the source) given up.
    VariantClear(pvargDest);
    *pvargDest = result.detach();
    return S_OK;
  });
}

STDAPI VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT wFlags, VARTYPE vt) {
  return VariantChangeTypeEx(pvargDest, pvarSrc, LOCALE_USER_DEFAULT, wFlags, vt);
}
