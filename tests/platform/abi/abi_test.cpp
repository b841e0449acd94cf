// A separately written client of the runtime: its own declarations of the standard layouts and
// entry points, nothing from the project. Returns non-zero and prints the failed checks if the
// runtime's binary interface differs from the standard one.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace client {

using HRESULT = int32_t;
using BSTR = char16_t*;

struct SYSTEMTIME {
  uint16_t wYear, wMonth, wDayOfWeek, wDay, wHour, wMinute, wSecond, wMilliseconds;
};

struct VARIANT {
  uint16_t vt;
  uint16_t wReserved1, wReserved2, wReserved3;
  union {
    int64_t llVal;
    int32_t lVal;
    double dblVal;
    BSTR bstrVal;
    void* punkVal;
    struct {
      void* pvRecord;
      void* pRecInfo;
    } brecVal;
  };
};
static_assert(sizeof(VARIANT) == 24 && offsetof(VARIANT, lVal) == 8);

constexpr uint16_t VT_I4 = 3;
constexpr uint16_t VT_BSTR = 8;
constexpr HRESULT S_OK = 0;
constexpr auto DISP_E_TYPEMISMATCH = static_cast<HRESULT>(0x80020005u);

}  // namespace client

extern "C" {
client::BSTR SysAllocString(const char16_t* psz);
void SysFreeString(client::BSTR s);
uint32_t SysStringLen(client::BSTR s);
void VariantInit(client::VARIANT* v);
client::HRESULT VariantClear(client::VARIANT* v);
client::HRESULT VariantChangeType(client::VARIANT* dest, const client::VARIANT* src, uint16_t flags, uint16_t vt);
int SystemTimeToVariantTime(client::SYSTEMTIME* st, double* date);
}

namespace {

int failures = 0;

void expect(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "FAILED: %s\n", what);
    ++failures;
  }
}

client::VARIANT text(const char16_t* s) {
  client::VARIANT v;
  VariantInit(&v);
  v.vt = client::VT_BSTR;
  v.bstrVal = SysAllocString(s);
  return v;
}

}  // namespace

int main() {
  using namespace client;

  // A BSTR is preceded by its 32-bit byte length.
  BSTR s = SysAllocString(u"42");
  uint32_t prefix = 0;
  std::memcpy(&prefix, reinterpret_cast<const char*>(s) - 4, 4);
  expect(prefix == 4 && SysStringLen(s) == 2 && s[2] == 0, "BSTR length prefix and terminator");
  SysFreeString(s);

  VARIANT src = text(u"42");
  VARIANT dst;
  VariantInit(&dst);
  expect(VariantChangeType(&dst, &src, 0, VT_I4) == S_OK, "\"42\" converts to VT_I4");
  expect(dst.vt == VT_I4 && dst.lVal == 42, "\"42\" gives 42");
  VariantClear(&src);

  src = text(u"abc");
  expect(VariantChangeType(&dst, &src, 0, VT_I4) == DISP_E_TYPEMISMATCH, "\"abc\" to VT_I4 is a type mismatch");
  expect(dst.vt == VT_I4 && dst.lVal == 42, "a failed conversion leaves the target as it was");
  VariantClear(&src);
  expect(VariantClear(&dst) == S_OK && dst.vt == 0, "VariantClear empties");

  SYSTEMTIME st{1899, 12, 0, 29, 6, 0, 0, 0};
  double date = 0;
  expect(SystemTimeToVariantTime(&st, &date) != 0 && date == -1.25, "1899-12-29 06:00 is the date -1.25");

  if (failures == 0) std::puts("binary interface as expected");
  return failures == 0 ? 0 : 1;
}
