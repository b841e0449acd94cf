// C++ functions for identifiers and for turning operating-system errors into statuses. Header-only,
// so servers that link the runtime use them without the runtime exporting C++ symbols.
//
//   std::u16string text = comrt::to_u16string(clsid);       // "{0946E232-81EA-4DF2-B7DB-CAF900E0D209}"
//   std::optional<GUID> id = comrt::parse_guid(u"{...}");   // braced form only, either case
//   if (fd < 0) comrt::throw_errno(errno);                  // hresult_error with the mapped status
#pragma once

#include <array>
#include <cerrno>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "comrt/object.h"
#include "comrt/types.h"

namespace comrt {

// Characters of the braced text form of a GUID, without and with the terminating NUL.
inline constexpr size_t guid_text_length = 38;
inline constexpr size_t guid_text_size = guid_text_length + 1;

namespace detail {

inline constexpr char16_t hex_digits[] = u"0123456789ABCDEF";

// The value of each ASCII character as a hex digit, -1 for those that are not one.
inline constexpr auto hex_values = [] {
  std::array<signed char, 128> t{};
  t.fill(-1);
  for (int i = 0; i < 10; ++i) t['0' + i] = static_cast<signed char>(i);
  for (int i = 0; i < 6; ++i) t['A' + i] = t['a' + i] = static_cast<signed char>(10 + i);
  return t;
}();

inline int hex_value(char16_t c) noexcept { return c < hex_values.size() ? hex_values[c] : -1; }

// Writes `digits` hex digits of v (most significant first) at out.
template <class Char>
Char* put_hex(Char* out, uint64_t v, int digits) noexcept {
  for (int i = digits - 1; i >= 0; --i) out[i] = static_cast<Char>(hex_digits[v & 0xF]), v >>= 4;
  return out + digits;
}

// Reads exactly `digits` hex digits at s; false when any is not a hex digit.
template <class Char>
bool get_hex(std::basic_string_view<Char> s, size_t pos, int digits, uint64_t& v) noexcept {
  v = 0;
  for (int i = 0; i < digits; ++i) {
    const int d = hex_value(static_cast<char16_t>(static_cast<std::make_unsigned_t<Char>>(s[pos + i])));
    if (d < 0) return false;
    v = (v << 4) | static_cast<uint64_t>(d);
  }
  return true;
}

// parse_guid for UTF-16 and for UTF-8 text.
template <class Char>
std::optional<GUID> parse_guid(std::basic_string_view<Char> s) noexcept {
  if (s.size() != guid_text_length || s.front() != '{' || s.back() != '}' || s[9] != '-' || s[14] != '-' ||
      s[19] != '-' || s[24] != '-')
    return std::nullopt;
  GUID g{};
  uint64_t v = 0;
  if (!get_hex(s, 1, 8, v)) return std::nullopt;
  g.Data1 = static_cast<uint32_t>(v);
  if (!get_hex(s, 10, 4, v)) return std::nullopt;
  g.Data2 = static_cast<uint16_t>(v);
  if (!get_hex(s, 15, 4, v)) return std::nullopt;
  g.Data3 = static_cast<uint16_t>(v);
  for (int i = 0; i < 8; ++i) {
    const size_t pos = i < 2 ? 20 + 2 * i : 25 + 2 * (i - 2);
    if (!get_hex(s, pos, 2, v)) return std::nullopt;
    g.Data4[i] = static_cast<uint8_t>(v);
  }
  return g;
}

}  // namespace detail

// Writes the 38 characters of the braced upper-case form and a NUL into out[0..38], as UTF-16 or
// as ASCII.
template <class Char>
void format_guid(const GUID& g, Char* out) noexcept {
  using detail::put_hex;
  *out++ = '{';
  out = put_hex(out, g.Data1, 8);
  *out++ = '-';
  out = put_hex(out, g.Data2, 4);
  *out++ = '-';
  out = put_hex(out, g.Data3, 4);
  *out++ = '-';
  out = put_hex(out, g.Data4[0], 2);
  out = put_hex(out, g.Data4[1], 2);
  *out++ = '-';
  for (int i = 2; i < 8; ++i) out = put_hex(out, g.Data4[i], 2);
  *out++ = '}';
  *out = '\0';
}

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case.
inline std::u16string to_u16string(const GUID& g) {
  char16_t buf[guid_text_size];
  format_guid(g, buf);
  return std::u16string(buf, guid_text_length);
}

// Parses the braced form "{8-4-4-4-12}" with hex digits of either case. Anything else (no braces,
// other lengths, spaces, missing dashes) gives nullopt.
inline std::optional<GUID> parse_guid(std::u16string_view s) noexcept { return detail::parse_guid(s); }
inline std::optional<GUID> parse_guid(std::string_view s) noexcept { return detail::parse_guid(s); }

// ---------------------------------------------------------------------------------------------
// errno -> Win32 error code / status.

// The Win32 error code that best describes an errno value, or `fallback` when there is none.
inline LONG win32_from_errno(int err, LONG fallback) noexcept {
  constexpr LONG error_too_many_open_files = 4;
  constexpr LONG error_write_protect = 19;
  constexpr LONG error_not_same_device = 17;
  constexpr LONG error_cant_resolve_filename = 1921;
  switch (err) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR: return ERROR_ACCESS_DENIED;
    case ENOMEM: return ERROR_OUTOFMEMORY;
    case EEXIST: return ERROR_FILE_EXISTS;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case EBUSY:
    case ETXTBSY: return ERROR_SHARING_VIOLATION;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case EIO: return ERROR_READ_FAULT;
    case EBADF: return ERROR_INVALID_HANDLE;
    case EMFILE:
    case ENFILE: return error_too_many_open_files;
    case EROFS: return error_write_protect;
    case EXDEV: return error_not_same_device;
    case ELOOP: return error_cant_resolve_filename;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case ETIMEDOUT: return ERROR_TIMEOUT;
    case ENOSYS:
    case EOPNOTSUPP: return ERROR_NOT_SUPPORTED;
    case EILSEQ: return ERROR_NO_UNICODE_TRANSLATION;
    default: return fallback;
  }
}

// The status for an errno value: S_OK for 0, the Win32 error as an HRESULT where one fits
// (ENOENT -> HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), EACCES -> E_ACCESSDENIED, ENOMEM ->
// E_OUTOFMEMORY, EINVAL -> E_INVALIDARG, ...), E_FAIL otherwise.
inline HRESULT hresult_from_errno(int err) noexcept {
  const LONG w = win32_from_errno(err, -1);
  return w < 0 ? E_FAIL : HRESULT_FROM_WIN32(w);
}

// Throws hresult_error with the status for err (E_FAIL for 0, which is not an error to throw).
[[noreturn]] inline void throw_errno(int err) {
  const HRESULT hr = hresult_from_errno(err);
  throw_hresult(FAILED(hr) ? hr : E_FAIL);
}

}  // namespace comrt
