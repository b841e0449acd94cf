// Identifiers (text forms, random GUIDs), task memory and the errno mapping.
#include <pthread.h>
#include <sys/random.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "comrt/combase.h"
#include "comrt/guid.h"

namespace {

size_t text_length(LPCOLESTR s) noexcept { return std::char_traits<char16_t>::length(s); }

// Fills buf with bytes from the kernel's random source.
HRESULT fill_random(void* buf, size_t size) noexcept {
  auto* p = static_cast<unsigned char*>(buf);
  while (size > 0) {
    const ssize_t n = getrandom(p, size, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return comrt::hresult_from_errno(errno);
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return S_OK;
}

// Random bytes are fetched from the kernel a batch at a time per thread and each byte is handed out
// once, so a GUID costs a system call only every 32 GUIDs. A forked child must not hand out the
// bytes its parent still holds: a fork moves every thread's batch into a past generation.
std::atomic<unsigned> g_random_generation{0};

struct random_batch {
  unsigned char bytes[512];
  size_t used = sizeof bytes;
  unsigned generation = 0;
};

HRESULT take_random(void* buf, size_t size) noexcept {
  static const int at_fork = pthread_atfork(nullptr, nullptr, [] { g_random_generation.fetch_add(1); });
  (void)at_fork;
  thread_local random_batch batch;
  const unsigned generation = g_random_generation.load(std::memory_order_relaxed);
  if (batch.generation != generation) batch.used = sizeof batch.bytes;
  if (size > sizeof batch.bytes) return fill_random(buf, size);
  if (sizeof batch.bytes - batch.used < size) {
    if (const HRESULT hr = fill_random(batch.bytes, sizeof batch.bytes); FAILED(hr)) return hr;
    batch.used = 0;
    batch.generation = generation;
  }
  std::memcpy(buf, batch.bytes + batch.used, size);
  std::memset(batch.bytes + batch.used, 0, size);
  batch.used += size;
  return S_OK;
}

}  // namespace

COMRT_API int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax) {
  if (!lpsz || cchMax < static_cast<int>(comrt::guid_text_size)) return 0;
  comrt::format_guid(rguid, lpsz);
  return static_cast<int>(comrt::guid_text_size);
}

STDAPI StringFromCLSID(REFCLSID rclsid, LPOLESTR* lplpsz) {
  if (!lplpsz) return E_INVALIDARG;
  *lplpsz = nullptr;
  auto* text = static_cast<LPOLESTR>(CoTaskMemAlloc(comrt::guid_text_size * sizeof(OLECHAR)));
  if (!text) return E_OUTOFMEMORY;
  comrt::format_guid(rclsid, text);
  *lplpsz = text;
  return S_OK;
}

// A null string gives CLSID_NULL and S_OK, as on Windows. Text that is not a braced GUID is tried
// as a ProgID; when that is not registered either the result is CO_E_CLASSSTRING and *pclsid is
// CLSID_NULL.
STDAPI CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid) {
  if (!pclsid) return E_INVALIDARG;
  *pclsid = CLSID_NULL;
  if (!lpsz) return S_OK;
  if (auto g = comrt::parse_guid(std::u16string_view(lpsz, text_length(lpsz)))) {
    *pclsid = *g;
    return S_OK;
  }
  CLSID found{};
  if (FAILED(CLSIDFromProgID(lpsz, &found))) return CO_E_CLASSSTRING;
  *pclsid = found;
  return S_OK;
}

// Braced text only (never a ProgID). A null string gives IID_NULL and S_OK, as on Windows; any
// other text that is not a braced GUID gives E_INVALIDARG and leaves *lpiid untouched.
STDAPI IIDFromString(LPCOLESTR lpsz, LPGUID lpiid) {
  if (!lpiid) return E_INVALIDARG;
  if (!lpsz) {
    *lpiid = IID_NULL;
    return S_OK;
  }
  auto g = comrt::parse_guid(std::u16string_view(lpsz, text_length(lpsz)));
  if (!g) return E_INVALIDARG;
  *lpiid = *g;
  return S_OK;
}

// A random (version 4, RFC 4122 variant) identifier.
STDAPI CoCreateGuid(GUID* pguid) {
  if (!pguid) return E_INVALIDARG;
  GUID g;
  if (const HRESULT hr = take_random(&g, sizeof g); FAILED(hr)) return hr;
  g.Data3 = static_cast<uint16_t>((g.Data3 & 0x0FFF) | 0x4000);
  g.Data4[0] = static_cast<uint8_t>((g.Data4[0] & 0x3F) | 0x80);
  *pguid = g;
  return S_OK;
}

// Task memory is the C heap. A request for zero bytes still returns a distinct block.
COMRT_API void* CoTaskMemAlloc(size_t cb) { return std::malloc(cb ? cb : 1); }

// Resizing to zero frees the block and returns null; a null block is allocated afresh.
COMRT_API void* CoTaskMemRealloc(void* pv, size_t cb) {
  if (!pv) return CoTaskMemAlloc(cb);
  if (cb == 0) {
    std::free(pv);
    return nullptr;
  }
  return std::realloc(pv, cb);
}

COMRT_API void CoTaskMemFree(void* pv) { std::free(pv); }

COMRT_API HRESULT HResultFromErrno(int err) { return comrt::hresult_from_errno(err); }
