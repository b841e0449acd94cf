// BSTR allocation. A BSTR points just past a 32-bit byte length; the text is followed by a zero
// OLECHAR (for odd byte lengths too, so that the character that holds the last byte and the one
// after it are both terminated).
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "comrt/oleauto.h"

namespace {

constexpr size_t prefix_size = sizeof(uint32_t);
// Zero bytes after the text: enough for a whole zero OLECHAR after an odd byte length.
constexpr size_t terminator_size = 2 * sizeof(OLECHAR);
// Byte lengths stay below 2^31 - 8, so that every length and the whole allocation fit a signed INT.
constexpr size_t max_byte_length = 0x7FFFFFFFu - prefix_size - terminator_size;
constexpr size_t max_char_length = max_byte_length / sizeof(OLECHAR);

unsigned char* base_of(BSTR s) noexcept { return reinterpret_cast<unsigned char*>(s) - prefix_size; }

uint32_t byte_length(BSTR s) noexcept {
  if (!s) return 0;
  uint32_t length = 0;
  std::memcpy(&length, base_of(s), sizeof length);
  return length;
}

// A new BSTR of `bytes` bytes copied from `source`, or zero-filled when `source` is null. Null when
// the length is too large or memory is exhausted.
BSTR allocate(const void* source, size_t bytes) noexcept {
  if (bytes > max_byte_length) return nullptr;
  const size_t total = prefix_size + bytes + terminator_size;
  auto* base = static_cast<unsigned char*>(source ? std::malloc(total) : std::calloc(1, total));
  if (!base) return nullptr;
  const auto length = static_cast<uint32_t>(bytes);
  std::memcpy(base, &length, sizeof length);
  if (source) {
    std::memcpy(base + prefix_size, source, bytes);
    std::memset(base + prefix_size + bytes, 0, terminator_size);
  }
  return reinterpret_cast<BSTR>(base + prefix_size);
}

}  // namespace

COMRT_API BSTR SysAllocString(const OLECHAR* psz) {
  if (!psz) return nullptr;
  const size_t length = std::char_traits<OLECHAR>::length(psz);
  if (length > max_char_length) return nullptr;
  return allocate(psz, length * sizeof(OLECHAR));
}

COMRT_API BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui) {
  if (ui > max_char_length) return nullptr;
  return allocate(strIn, size_t{ui} * sizeof(OLECHAR));
}

COMRT_API BSTR SysAllocStringByteLen(const char* psz, UINT len) { return allocate(psz, len); }

// The new string is made before the old one is freed, so `psz` may point into *pbstr. When it
// does, at most the characters the old string holds from `psz` on are copied; the rest is zero.
COMRT_API INT SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT len) {
  if (!pbstr || len > max_char_length) return FALSE;
  BSTR old = *pbstr;
  BSTR fresh = allocate(nullptr, size_t{len} * sizeof(OLECHAR));
  if (!fresh) return FALSE;
  if (psz) {
    size_t count = len;
    if (old) {
      const OLECHAR* old_end = old + SysStringLen(old);
      if (std::less_equal<const OLECHAR*>()(old, psz) && std::less_equal<const OLECHAR*>()(psz, old_end)) {
        count = std::min<size_t>(count, static_cast<size_t>(old_end - psz));
      }
    }
    std::memcpy(fresh, psz, count * sizeof(OLECHAR));
  }
  SysFreeString(old);
  *pbstr = fresh;
  return TRUE;
}

// A null `psz` gives an allocated empty string.
COMRT_API INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz) {
  if (!pbstr) return FALSE;
  const size_t length = psz ? std::char_traits<OLECHAR>::length(psz) : 0;
  if (length > max_char_length) return FALSE;
  return SysReAllocStringLen(pbstr, psz, static_cast<UINT>(length));
}

COMRT_API void SysFreeString(BSTR bstrString) {
  if (bstrString) std::free(base_of(bstrString));
}

COMRT_API UINT SysStringLen(BSTR pbstr) { return byte_length(pbstr) / sizeof(OLECHAR); }

COMRT_API UINT SysStringByteLen(BSTR bstr) { return byte_length(bstr); }
