// VariantChangeType: the conversion rules, overflow boundaries, exact types (VT_DECIMAL, VT_CY),
// objects, and what happens to the target on failure.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "comrt/strings.h"
#include "probe.h"

namespace {

using comrt::variant;
using i32 = std::numeric_limits<int32_t>;
using i64 = std::numeric_limits<int64_t>;

std::string describe(const VARIANT& v) {
  variant text;
  VariantChangeType(&text, &v, 0, VT_BSTR);
  return "vt " + std::to_string(v.vt) + " " + comrt::to_utf8(comrt::bstr_view(text.vt == VT_BSTR ? text.bstrVal : 0));
}

// Same type and value; strings by text, everything else bit for bit.
bool same(const VARIANT& a, const VARIANT& b) {
  if (a.vt != b.vt) return false;
  switch (a.vt) {
    case VT_EMPTY: return true;
    case VT_BSTR: return comrt::bstr_view(a.bstrVal) == comrt::bstr_view(b.bstrVal);
    case VT_I1: case VT_UI1: return a.bVal == b.bVal;
    case VT_I2: case VT_UI2: case VT_BOOL: return a.uiVal == b.uiVal;
    case VT_I4: case VT_UI4: case VT_R4: return a.ulVal == b.ulVal;
    case VT_DECIMAL: return std::memcmp(&a.decVal, &b.decVal, sizeof(DECIMAL)) == 0;
    default: return a.ullVal == b.ullVal;
  }
}

struct row {
  variant from;
  VARTYPE to;
  variant expected;  // the result, or the failure status as VT_ERROR
  USHORT flags = 0;
};

// A variant of type vt holding these 64 bits (as VT_CY and, in its low half, VT_ERROR keep them).
variant raw(VARTYPE vt, LONGLONG bits) {
  variant v;
  v.llVal = bits;
  v.vt = vt;
  return v;
}
variant fails(HRESULT hr) { return raw(VT_ERROR, static_cast<uint32_t>(hr)); }
variant date(DATE d) { return variant::from_date(d); }
variant decimal(BYTE sign, BYTE scale, ULONGLONG lo, ULONG hi = 0) {
  variant v;
  v.decVal = DECIMAL{0, scale, sign, hi, lo};
  v.vt = VT_DECIMAL;
  return v;
}
const variant mismatch = fails(DISP_E_TYPEMISMATCH), overflow = fails(DISP_E_OVERFLOW);

void check(const std::vector<row>& rows) {
  for (const row& r : rows) {
    SCOPED_TRACE(describe(r.from) + " -> vt " + std::to_string(r.to));
    variant out = u"untouched";
    const HRESULT hr = VariantChangeType(&out, &r.from, r.flags, r.to);
    if (r.expected.vt == VT_ERROR) {
      EXPECT_EQ(hr, r.expected.scode);
      EXPECT_TRUE(same(out, variant(u"untouched"))) << describe(out);  // failure touches nothing
    } else {
      EXPECT_EQ(hr, S_OK);
      EXPECT_TRUE(same(out, r.expected)) << describe(out) << " expected " << describe(r.expected);
    }
  }
}

TEST(ChangeType, TextAndNumbersToIntegersRoundHalfToEvenWithinTheirRange) {
  check({
      {u" 42 ", VT_I4, 42}, {u"+7", VT_I4, 7}, {u"1e3", VT_I4, 1000}, {u"5.", VT_I4, 5}, {u"2.5", VT_I4, 2},
      {u"3.5", VT_I4, 4}, {u"-2.5", VT_I4, -2}, {u"2.5000001", VT_I4, 3}, {u"1e-400", VT_I4, 0},
      {u"2147483647", VT_I4, i32::max()}, {u"2147483647.5", VT_I4, overflow}, {u"-2147483648", VT_I4, i32::min()},
      {u"-2147483649", VT_I4, overflow}, {u"1e400", VT_I4, overflow}, {u"", VT_I4, mismatch},
      {u"4 2", VT_I4, mismatch}, {u"12abc", VT_I4, mismatch}, {u"1e", VT_I4, mismatch}, {u"True", VT_I4, mismatch},
      {u"-1", VT_UI4, overflow}, {u"-0.4", VT_UI4, 0u}, {u"32768", VT_I2, overflow}, {u"-128", VT_I1, int8_t{-128}},
      {u"256", VT_UI1, overflow}, {u"-9223372036854775808", VT_I8, i64::min()},
      {u"18446744073709551615", VT_UI8, ~uint64_t{0}}, {u"18446744073709551616", VT_UI8, overflow},
      {u"133590240000000001", VT_UI8, uint64_t{133590240000000001}},  // beyond double precision
      {2.5, VT_I4, 2}, {-3.5, VT_I4, -4}, {-2147483648.5, VT_I4, i32::min()}, {2147483647.5, VT_I4, overflow},
      {1e19, VT_UI8, uint64_t{10000000000000000000ull}}, {std::nan(""), VT_I4, overflow},
      {4294967295u, VT_I4, overflow}, {~uint64_t{0}, VT_I8, overflow}, {int16_t{-1}, VT_I8, int64_t{-1}},
      {date(2.5), VT_I4, 2}, {variant(), VT_I4, 0},
  });
}

TEST(ChangeType, RealsDatesBooleansAndText) {
  check({
      {int64_t{1} << 53, VT_R8, 9007199254740992.0}, {7, VT_R4, 7.0f}, {1e39, VT_R4, overflow},
      {date(45413.5), VT_R8, 45413.5}, {45413.5, VT_DATE, date(45413.5)}, {2958466.0, VT_DATE, overflow},
      {-657435.0, VT_DATE, overflow}, {variant(), VT_R8, 0.0}, {u" -0.25 ", VT_R8, -0.25}, {u"1e-3", VT_R8, 0.001},
      {u"1.7976931348623157E+308", VT_R8, std::numeric_limits<double>::max()}, {u"1e309", VT_R8, overflow},
      {u"3.5e38", VT_R4, overflow}, {u"0.1", VT_R4, 0.1f}, {u"NaN", VT_R8, mismatch}, {u"1,5", VT_R8, mismatch},
      {true, VT_I4, -1}, {true, VT_UI1, uint8_t{255}}, {true, VT_BSTR, u"-1"}, {false, VT_BSTR, u"0"},
      {true, VT_BSTR, u"True", VARIANT_ALPHABOOL}, {false, VT_BSTR, u"False", VARIANT_LOCALBOOL},
      {5, VT_BOOL, true}, {0.1, VT_BOOL, true}, {variant(), VT_BOOL, false}, {u"true", VT_BOOL, true},
      {u" FALSE ", VT_BOOL, false}, {u"-1", VT_BOOL, true}, {u"0.0", VT_BOOL, false}, {u"yes", VT_BOOL, mismatch},
      {i32::min(), VT_BSTR, u"-2147483648"}, {~uint64_t{0}, VT_BSTR, u"18446744073709551615"},
      {-0.25, VT_BSTR, u"-0.25"}, {0.1, VT_BSTR, u"0.1"}, {100.0, VT_BSTR, u"100"}, {-0.0, VT_BSTR, u"0"},
      {123456789012345.0, VT_BSTR, u"123456789012345"}, {1e15, VT_BSTR, u"1E+15"}, {0.0001, VT_BSTR, u"0.0001"},
      {2.5e-7, VT_BSTR, u"2.5E-07"}, {2.0 / 3, VT_BSTR, u"0.666666666666667"}, {0.1 + 0.2, VT_BSTR, u"0.3"},
      {999999999999999.9, VT_BSTR, u"1E+15"},
      {std::numeric_limits<double>::max(), VT_BSTR, u"1.79769313486232E+308"},
      {0.1f, VT_BSTR, u"0.1"}, {1.0f / 3, VT_BSTR, u"0.3333333"}, {1e7f, VT_BSTR, u"1E+07"}, {variant(), VT_BSTR, u""},
      {date(45413 + 1.0 / 3), VT_BSTR, u"2024-05-01 08:00:00"}, {date(-1.25), VT_BSTR, u"1899-12-29 06:00:00"},
      {date(2958465.99999), VT_BSTR, u"9999-12-31 23:59:59"},
      {date(2958465.999999999), VT_BSTR, overflow},  // rounds into the year 10000
      {date(-657434.0), VT_BSTR, u"0100-01-01 00:00:00"}, {u"2024-05-01T08:00", VT_DATE, date(45413 + 1.0 / 3)},
      {u" 2024-05-01 ", VT_DATE, date(45413)}, {u"1899-12-29 06:00:00", VT_DATE, date(-1.25)},
      {u"06:00", VT_DATE, date(0.25)}, {u"2024-02-29", VT_DATE, date(45351)}, {u"2023-02-29", VT_DATE, mismatch},
      {u"2024-13-01", VT_DATE, mismatch}, {u"2024-05-01 24:00", VT_DATE, mismatch}, {u"0099-12-31", VT_DATE, mismatch},
      {u"45413", VT_DATE, mismatch}, {u"2024-05-01T", VT_DATE, mismatch}, {u"2024-05-01 8:5", VT_DATE, mismatch},
      {u"2024-05-01  8:00:30", VT_DATE, date(45413 + 28830 / 86400.0)},
  });
}

TEST(ChangeType, DecimalsAndCurrencyKeepEveryDigitAndRoundHalfToEven) {
  check({
      {u"123.456789", VT_DECIMAL, decimal(0, 6, 123456789)}, {u"-0.5", VT_DECIMAL, decimal(0x80, 1, 5)},
      {u"79228162514264337593543950335", VT_DECIMAL, decimal(0, 0, ~ULONGLONG{0}, 0xFFFFFFFF)},
      {u"79228162514264337593543950336", VT_DECIMAL, overflow},
      {u"0.00000000000000000000000000025", VT_DECIMAL, decimal(0, 28, 2)},  // 29 places: to 28, even
      {LONG{-7}, VT_DECIMAL, decimal(0x80, 0, 7)}, {0.1 + 0.2, VT_DECIMAL, decimal(0, 1, 3)},  // as a real shows
      {decimal(0x80, 3, 120500), VT_BSTR, u"-120.5"}, {decimal(0, 4, 5), VT_BSTR, u"0.0005"},
      {decimal(0, 1, 25), VT_I4, 2}, {decimal(0x80, 1, 35), VT_I4, -4}, {decimal(0, 2, 125), VT_R8, 1.25},
      {decimal(0, 29, 1), VT_I4, fails(E_INVALIDARG)},
      {1.23456, VT_CY, raw(VT_CY, 12346)}, {u"922337203685477.5807", VT_CY, raw(VT_CY, i64::max())},
      {u"922337203685477.5808", VT_CY, overflow}, {u"-922337203685477.5808", VT_CY, raw(VT_CY, i64::min())},
      {i64::max(), VT_CY, overflow}, {raw(VT_CY, 12500), VT_BSTR, u"1.25"}, {raw(VT_CY, -3), VT_BSTR, u"-0.0003"},
      {raw(VT_CY, -12345), VT_DECIMAL, decimal(0x80, 4, 12345)}, {decimal(0, 5, 123455), VT_CY, raw(VT_CY, 12346)},
      {raw(VT_CY, 15000), VT_I4, 2},
  });
}

TEST(ChangeType, ObjectsNullReferencesAndUnsupportedTypes) {
  auto dual = comrt::make<DualProbe>();
  variant disp(static_cast<IDispatch*>(dual.get())), unk, again;
  ASSERT_EQ(VariantChangeType(&unk, &disp, 0, VT_UNKNOWN), S_OK);
  EXPECT_EQ(unk.punkVal, dual->identity());  // the identity, not the IDispatch
  ASSERT_EQ(VariantChangeType(&again, &unk, 0, VT_DISPATCH), S_OK);
  EXPECT_EQ(again.pdispVal, disp.pdispVal);
  variant null, no_dispatch(static_cast<IUnknown*>(comrt::make<PlainProbe>()->identity()));
  null.vt = VT_NULL;
  LONG number = 42;
  variant inner(u"9"), by_long, by_variant, by_null;
  by_long.vt = VT_BYREF | VT_I4;
  by_long.plVal = &number;
  by_variant.vt = VT_BYREF | VT_VARIANT;
  by_variant.pvarVal = &inner;
  by_null.vt = VT_BYREF | VT_I4;
  by_null.plVal = nullptr;
  check({
      {no_dispatch, VT_DISPATCH, fails(E_NOINTERFACE)}, {no_dispatch, VT_I4, mismatch}, {u"x", VT_UNKNOWN, mismatch},
      {variant(static_cast<IUnknown*>(nullptr)), VT_DISPATCH, variant(static_cast<IDispatch*>(nullptr))},
      {null, VT_I4, mismatch}, {null, VT_BSTR, mismatch}, {5, 15, fails(DISP_E_BADVARTYPE)},
      {5, VT_ARRAY | VT_I4, fails(DISP_E_BADVARTYPE)}, {5, VT_BYREF | VT_I4, fails(DISP_E_BADVARTYPE)},
      {5, VT_EMPTY, variant()}, {by_long, VT_BSTR, u"42"}, {by_variant, VT_I2, int16_t{9}},
      {by_null, VT_I4, fails(E_INVALIDARG)},
  });
}

}  // namespace
