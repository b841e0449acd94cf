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
  uint16_t vt, wReserved1, wReserved2, wReserved3;
  union {
    int32_t lVal;
    BSTR bstrVal;
    struct {
      void *pvRecord, *pRecInfo;
    } brecVal;
  };
};
static_assert(sizeof(VARIANT) == 24 && offsetof(VARIANT, lVal) == 8);
constexpr uint16_t VT_I4 = 3, VT_BSTR = 8;
constexpr auto DISP_E_TYPEMISMATCH = static_cast<HRESULT>(0x80020005u);

}  // namespace client

extern "C" {
client::BSTR SysAllocString(const char16_t* psz);
uint32_t SysStringLen(client::BSTR s);
void VariantInit(client::VARIANT* v);
client::HRESULT VariantClear(client::VARIANT* v);
client::HRESULT VariantChangeType(client::VARIANT* dest, const client::VARIANT* src, uint16_t flags, uint16_t vt);
int SystemTimeToVariantTime(client::SYSTEMTIME* st, double* date);
}

int main() {
  using namespace client;
  int failures = 0;
  const auto expect = [&](bool ok, const char* what) {
    if (!ok) std::fprintf(stderr, "FAILED: %s\n", what), ++failures;
  };
  VARIANT src, dst;
  VariantInit(&src);
  VariantInit(&dst);
  src.vt = VT_BSTR;
  src.bstrVal = SysAllocString(u"42");
  uint32_t prefix = 0;  // a BSTR is preceded by its 32-bit byte length
  std::memcpy(&prefix, reinterpret_cast<const char*>(src.bstrVal) - 4, 4);
  expect(prefix == 4 && SysStringLen(src.bstrVal) == 2 && src.bstrVal[2] == 0, "BSTR length prefix and terminator");
  expect(VariantChangeType(&dst, &src, 0, VT_I4) == 0 && dst.vt == VT_I4 && dst.lVal == 42, "\"42\" gives 42");
  VariantClear(&src);
  src.vt = VT_BSTR;
  src.bstrVal = SysAllocString(u"abc");
  expect(VariantChangeType(&dst, &src, 0, VT_I4) == DISP_E_TYPEMISMATCH, "\"abc\" to VT_I4 is a type mismatch");
  expect(dst.vt == VT_I4 && dst.lVal == 42, "a failed conversion leaves the target as it was");
  VariantClear(&src);
  expect(VariantClear(&dst) == 0 && dst.vt == 0, "VariantClear empties");
  SYSTEMTIME st{1899, 12, 0, 29, 6, 0, 0, 0};
  double date = 0;
  expect(SystemTimeToVariantTime(&st, &date) != 0 && date == -1.25, "1899-12-29 06:00 is the date -1.25");
  if (failures == 0) std::puts("binary interface as expected");
  return failures == 0 ? 0 : 1;
}
