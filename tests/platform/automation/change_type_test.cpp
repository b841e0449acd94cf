// VariantChangeType: the conversion rules, overflow boundaries, and what happens to the target on
// failure.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "comrt/strings.h"
#include "comrt/variant.h"
#include "probe.h"

namespace {

using comrt::variant;

std::string describe(const VARIANT& v) {
  std::string s = "vt " + std::to_string(v.vt) + ": ";
  switch (v.vt) {
    case VT_BSTR: return s + '"' + comrt::to_utf8(comrt::bstr_view(v.bstrVal)) + '"';
    case VT_R8: case VT_DATE: return s + std::to_string(v.dblVal);
    case VT_R4: return s + std::to_string(v.fltVal);
    case VT_UI8: return s + std::to_string(v.ullVal);
    default: return s + std::to_string(v.llVal);
  }
}

// Same type and value; strings by text, reals bit for bit.
bool same(const VARIANT& a, const VARIANT& b) {
  if (a.vt != b.vt) return false;
  switch (a.vt) {
    case VT_EMPTY: return true;
    case VT_BSTR: return comrt::bstr_view(a.bstrVal) == comrt::bstr_view(b.bstrVal);
    case VT_I1: case VT_UI1: return a.bVal == b.bVal;
    case VT_I2: case VT_UI2: case VT_BOOL: return a.uiVal == b.uiVal;
    case VT_I4: case VT_UI4: case VT_R4: case VT_INT: case VT_UINT: return a.ulVal == b.ulVal;
    default: return a.ullVal == b.ullVal;
  }
}

struct row {
  variant from;
  VARTYPE to;
  variant expected;  // the result, or the failure status as VT_ERROR
  USHORT flags = 0;
};

variant fails(HRESULT hr) {
  variant v;
  v.vt = VT_ERROR;
  v.scode = hr;
  return v;
}
variant date(DATE d) { return variant::from_date(d); }

const HRESULT mismatch = DISP_E_TYPEMISMATCH;
const HRESULT overflow = DISP_E_OVERFLOW;

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

TEST(ChangeType, TextToIntegers) {
  check({
      {u" 42 ", VT_I4, 42}, {u"+7", VT_I4, 7}, {u"-0", VT_I4, 0}, {u"1e3", VT_I4, 1000}, {u"5.", VT_I4, 5},
      {u".5", VT_I4, 0},
      {u"2.5", VT_I4, 2},  // half to even
      {u"3.5", VT_I4, 4}, {u"-2.5", VT_I4, -2}, {u"2.5000001", VT_I4, 3}, {u"1e-400", VT_I4, 0},
      {u"2147483647", VT_I4, 2147483647}, {u"2147483647.5", VT_I4, fails(overflow)},
      {u"2147483648", VT_I4, fails(overflow)}, {u"-2147483648", VT_I4, std::numeric_limits<int32_t>::min()},
      {u"-2147483649", VT_I4, fails(overflow)}, {u"1e400", VT_I4, fails(overflow)}, {u"", VT_I4, fails(mismatch)},
      {u"abc", VT_I4, fails(mismatch)}, {u"4 2", VT_I4, fails(mismatch)}, {u"12abc", VT_I4, fails(mismatch)},
      {u"1e", VT_I4, fails(mismatch)}, {u".", VT_I4, fails(mismatch)}, {u"True", VT_I4, fails(mismatch)},
      {u"-1", VT_UI4, fails(overflow)}, {u"-0.4", VT_UI4, 0u}, {u"4294967295", VT_UI4, 4294967295u},
      {u"4294967296", VT_UI4, fails(overflow)}, {u"32767", VT_I2, int16_t{32767}}, {u"32768", VT_I2, fails(overflow)},
      {u"65535", VT_UI2, uint16_t{65535}}, {u"-128", VT_I1, int8_t{-128}}, {u"128", VT_I1, fails(overflow)},
      {u"256", VT_UI1, fails(overflow)}, {u"9223372036854775807", VT_I8, std::numeric_limits<int64_t>::max()},
      {u"-9223372036854775808", VT_I8, std::numeric_limits<int64_t>::min()},
      {u"9223372036854775808", VT_I8, fails(overflow)},
      {u"18446744073709551615", VT_UI8, std::numeric_limits<uint64_t>::max()},
      {u"18446744073709551616", VT_UI8, fails(overflow)},
      {u"133590240000000001", VT_UI8, uint64_t{133590240000000001}},  // beyond double precision
  });
}

TEST(ChangeType, NumbersBetweenTypes) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  check({
      {2.5, VT_I4, 2}, {3.5, VT_I4, 4}, {-3.5, VT_I4, -4}, {2.4999, VT_I4, 2},
      {-2147483648.5, VT_I4, std::numeric_limits<int32_t>::min()}, {2147483647.5, VT_I4, fails(overflow)},
      {-0.5, VT_UI4, 0u}, {1e19, VT_UI8, uint64_t{10000000000000000000ull}},
      {18446744073709551616.0, VT_UI8, fails(overflow)}, {9223372036854775808.0, VT_I8, fails(overflow)},
      {nan, VT_I4, fails(overflow)}, {std::numeric_limits<double>::infinity(), VT_I8, fails(overflow)},
      {1e39, VT_R4, fails(overflow)}, {-1, VT_UI4, fails(overflow)}, {4294967295u, VT_I4, fails(overflow)},
      {int64_t{2147483648}, VT_I4, fails(overflow)}, {std::numeric_limits<uint64_t>::max(), VT_I8, fails(overflow)},
      {int16_t{-1}, VT_I8, int64_t{-1}}, {uint8_t{200}, VT_I1, fails(overflow)},
      {int64_t{1} << 53, VT_R8, 9007199254740992.0}, {7, VT_R4, 7.0f}, {date(45413.5), VT_R8, 45413.5},
      {45413.5, VT_DATE, date(45413.5)}, {date(2.5), VT_I4, 2}, {2958466.0, VT_DATE, fails(overflow)},
      {-657435.0, VT_DATE, fails(overflow)}, {variant(), VT_I4, 0}, {variant(), VT_R8, 0.0},
      {variant(), VT_DATE, date(0)},
  });
}

TEST(ChangeType, Booleans) {
  check({
      {true, VT_I4, -1}, {false, VT_I4, 0}, {true, VT_R8, -1.0}, {true, VT_UI1, uint8_t{255}}, {true, VT_BSTR, u"-1"},
      {false, VT_BSTR, u"0"}, {true, VT_BSTR, u"True", VARIANT_ALPHABOOL},
      {false, VT_BSTR, u"False", VARIANT_ALPHABOOL}, {true, VT_BSTR, u"True", VARIANT_LOCALBOOL}, {5, VT_BOOL, true},
      {0, VT_BOOL, false}, {0.1, VT_BOOL, true}, {variant(), VT_BOOL, false}, {u"true", VT_BOOL, true},
      {u" FALSE ", VT_BOOL, false}, {u"1", VT_BOOL, true}, {u"-1", VT_BOOL, true}, {u"0.0", VT_BOOL, false},
      {u"yes", VT_BOOL, fails(mismatch)}, {u"", VT_BOOL, fails(mismatch)},
  });
}

TEST(ChangeType, NumbersToText) {
  check({
      {std::numeric_limits<int32_t>::min(), VT_BSTR, u"-2147483648"},
      {std::numeric_limits<uint64_t>::max(), VT_BSTR, u"18446744073709551615"}, {int8_t{-5}, VT_BSTR, u"-5"},
      {1.5, VT_BSTR, u"1.5"}, {-0.25, VT_BSTR, u"-0.25"}, {0.1, VT_BSTR, u"0.1"}, {100.0, VT_BSTR, u"100"},
      {-0.0, VT_BSTR, u"0"}, {123456789012345.0, VT_BSTR, u"123456789012345"}, {1e15, VT_BSTR, u"1E+15"},
      {0.0001, VT_BSTR, u"0.0001"}, {1e-5, VT_BSTR, u"1E-05"}, {2.5e-7, VT_BSTR, u"2.5E-07"},
      {1.0 / 3, VT_BSTR, u"0.333333333333333"},
      {std::numeric_limits<double>::max(), VT_BSTR, u"1.79769313486232E+308"}, {0.1f, VT_BSTR, u"0.1"},
      {1e7f, VT_BSTR, u"1E+07"}, {variant(), VT_BSTR, u""},
  });
}

TEST(ChangeType, TextToReals) {
  check({
      {u"1.5", VT_R8, 1.5}, {u" -0.25 ", VT_R8, -0.25}, {u"1e-3", VT_R8, 0.001}, {u"0.1", VT_R8, 0.1},
      {u"1.7976931348623157E+308", VT_R8, std::numeric_limits<double>::max()}, {u"1e309", VT_R8, fails(overflow)},
      {u"1e-400", VT_R8, 0.0}, {u"3.5e38", VT_R4, fails(overflow)}, {u"0.1", VT_R4, 0.1f},
      {u"NaN", VT_R8, fails(mismatch)}, {u"1,5", VT_R8, fails(mismatch)},
  });
}

TEST(ChangeType, DoublesRoundTripThroughText) {
  std::mt19937_64 random(20240501);
  for (int i = 0; i < 2000; ++i) {
    uint64_t bits = random();
    double d;
    std::memcpy(&d, &bits, sizeof d);
    if (!std::isfinite(d)) continue;
    variant text = variant(d).converted(VT_BSTR);
    variant back = text.converted(VT_R8);
    // Text carries 15 significant digits.
    ASSERT_LE(std::fabs(back.dblVal - d), std::fabs(d) * 1e-14) << comrt::to_utf8(comrt::bstr_view(text.bstrVal));
  }
}

TEST(ChangeType, Dates) {
  check({
      {date(45413 + 1.0 / 3), VT_BSTR, u"2024-05-01 08:00:00"}, {date(-1.25), VT_BSTR, u"1899-12-29 06:00:00"},
      {date(0), VT_BSTR, u"1899-12-30 00:00:00"}, {date(2958465.99999), VT_BSTR, u"9999-12-31 23:59:59"},
      {date(2958465.999999999), VT_BSTR, fails(overflow)},  // rounds into the year 10000
      {date(-657434.0), VT_BSTR, u"0100-01-01 00:00:00"}, {u"2024-05-01 08:00:00", VT_DATE, date(45413 + 1.0 / 3)},
      {u"2024-05-01T08:00", VT_DATE, date(45413 + 1.0 / 3)}, {u" 2024-05-01 ", VT_DATE, date(45413)},
      {u"1899-12-29 06:00:00", VT_DATE, date(-1.25)}, {u"06:00", VT_DATE, date(0.25)},
      {u"2024-02-29", VT_DATE, date(45351)}, {u"2023-02-29", VT_DATE, fails(mismatch)},
      {u"2024-13-01", VT_DATE, fails(mismatch)}, {u"2024-05-01 24:00", VT_DATE, fails(mismatch)},
      {u"0099-12-31", VT_DATE, fails(mismatch)}, {u"10000-01-01", VT_DATE, fails(mismatch)},
      {u"45413", VT_DATE, fails(mismatch)}, {u"2024-05-01T", VT_DATE, fails(mismatch)},
      {u"2024-05-0108:00", VT_DATE, fails(mismatch)}, {u"2024-05-01 8:5", VT_DATE, fails(mismatch)},
      {u"2024-05-01  8:00:30", VT_DATE, date(45413 + 28830 / 86400.0)},
  });
  // Every second of a few days survives the trip through text.
  for (double day : {-657434.0, -2.0, 0.0, 45413.0, 2958465.0}) {
    for (int s = 0; s < 86400; s += 1777) {
      const DATE d = day >= 0 ? day + s / 86400.0 : day - s / 86400.0;
      variant back = date(d).converted(VT_BSTR).converted(VT_DATE);
      EXPECT_NEAR(back.date, d, 1e-9) << d;
    }
  }
}

TEST(ChangeType, Objects) {
  auto dual = comrt::make<DualProbe>();
  auto plain = comrt::make<PlainProbe>();
  variant disp(static_cast<IDispatch*>(dual.get())), unk, again;
  ASSERT_EQ(VariantChangeType(&unk, &disp, 0, VT_UNKNOWN), S_OK);
  ASSERT_EQ(VariantChangeType(&again, &unk, 0, VT_DISPATCH), S_OK);
  EXPECT_EQ(again.pdispVal, disp.pdispVal);

  variant no_dispatch(static_cast<IUnknown*>(plain.get()));
  check({
      {no_dispatch, VT_DISPATCH, fails(E_NOINTERFACE)}, {no_dispatch, VT_I4, fails(mismatch)},
      {no_dispatch, VT_BSTR, fails(mismatch)}, {u"x", VT_UNKNOWN, fails(mismatch)},
  });
  variant null_unknown(static_cast<IUnknown*>(nullptr));
  variant out;
  ASSERT_EQ(VariantChangeType(&out, &null_unknown, 0, VT_DISPATCH), S_OK);
  EXPECT_EQ(out.vt, VT_DISPATCH);
  EXPECT_EQ(out.pdispVal, nullptr);
}

TEST(ChangeType, UnsupportedTypesAndNull) {
  variant null;
  null.vt = VT_NULL;
  check({
      {null, VT_I4, fails(mismatch)}, {null, VT_BSTR, fails(mismatch)}, {5, 15, fails(DISP_E_BADVARTYPE)},
      {5, VT_ARRAY | VT_I4, fails(DISP_E_BADVARTYPE)}, {5, VT_BYREF | VT_I4, fails(DISP_E_BADVARTYPE)},
      {null, VT_CY, fails(mismatch)}, {5, VT_EMPTY, variant()},
  });
}

TEST(ChangeType, ReferencesAreReadThrough) {
  LONG number = 42;
  BSTR text = SysAllocString(u"7");
  variant inner(u"9");
  VARIANT by_long, by_text, by_variant, by_null;
  by_long.vt = VT_BYREF | VT_I4;
  by_long.plVal = &number;
  by_text.vt = VT_BYREF | VT_BSTR;
  by_text.pbstrVal = &text;
  by_variant.vt = VT_BYREF | VT_VARIANT;
  by_variant.pvarVal = &inner;
  by_null.vt = VT_BYREF | VT_I4;
  by_null.plVal = nullptr;
  check({
      {variant(by_long), VT_BSTR, u"42"}, {variant(by_text), VT_I4, 7}, {variant(by_text), VT_BSTR, u"7"},
      {variant(by_variant), VT_I2, int16_t{9}}, {variant(by_null), VT_I4, fails(E_INVALIDARG)},
  });
  EXPECT_EQ(comrt::bstr_view(text), u"7");  // the referenced string is neither moved nor freed
  SysFreeString(text);
}

TEST(ChangeType, InPlaceConversionReplacesOrKeepsTheValue) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(u"42");
  ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_I4), S_OK);  // the old string is freed
  EXPECT_EQ(v.vt, VT_I4);
  EXPECT_EQ(v.lVal, 42);
  ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_BSTR), S_OK);
  const BSTR before = v.bstrVal;
  ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_BSTR), S_OK);  // same type: a fresh copy
  EXPECT_NE(v.bstrVal, before);
  EXPECT_EQ(comrt::bstr_view(v.bstrVal), u"42");
  v.bstrVal[0] = u'x';
  EXPECT_EQ(VariantChangeType(&v, &v, 0, VT_I4), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(comrt::bstr_view(v.bstrVal), u"x2");
  VariantClear(&v);
}

}  // namespace
