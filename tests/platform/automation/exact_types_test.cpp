// VariantChangeType with VT_DECIMAL and VT_CY, objects' identity, and reals to text.
#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "comrt/variant.h"
#include "probe.h"

namespace {

using comrt::variant;

struct decimal_parts {
  BYTE sign;
  BYTE scale;
  ULONG hi;
  ULONGLONG lo;
};

HRESULT change(const variant& from, VARTYPE to, variant& out) { return VariantChangeType(&out, &from, 0, to); }

decimal_parts to_decimal(const variant& from, HRESULT expected = S_OK) {
  variant out;
  EXPECT_EQ(change(from, VT_DECIMAL, out), expected);
  if (expected != S_OK) return {};
  EXPECT_EQ(out.vt, VT_DECIMAL);
  return {out.decVal.sign, out.decVal.scale, out.decVal.Hi32, out.decVal.Lo64};
}

variant decimal_of(decimal_parts p) {
  variant v;
  v.decVal = DECIMAL{0, p.scale, p.sign, p.hi, p.lo};
  v.vt = VT_DECIMAL;
  return v;
}

variant currency(LONGLONG units) {
  variant v;
  v.vt = VT_CY;
  v.cyVal.int64 = units;
  return v;
}

std::u16string text_of(const variant& from) {
  variant out;
  EXPECT_EQ(change(from, VT_BSTR, out), S_OK);
  return std::u16string(comrt::bstr_view(out.bstrVal));
}

void expect_decimal(const variant& from, decimal_parts want) {
  const decimal_parts got = to_decimal(from);
  EXPECT_EQ(got.sign, want.sign);
  EXPECT_EQ(got.scale, want.scale);
  EXPECT_EQ(got.hi, want.hi);
  EXPECT_EQ(got.lo, want.lo);
}

TEST(ExactTypes, DecimalsKeepEveryDigitAndRoundHalfToEven) {
  expect_decimal(variant(u"123.456789"), {0, 6, 0, 123456789});
  expect_decimal(variant(u"-0.5"), {0x80, 1, 0, 5});
  expect_decimal(variant(u"79228162514264337593543950335"), {0, 0, 0xFFFFFFFF, ~ULONGLONG{0}});
  to_decimal(variant(u"79228162514264337593543950336"), DISP_E_OVERFLOW);
  expect_decimal(variant(u"0.00000000000000000000000000025"), {0, 28, 0, 2});  // 29 places: to 28, even
  expect_decimal(variant(LONG{-7}), {0x80, 0, 0, 7});
  expect_decimal(variant(0.1 + 0.2), {0, 1, 0, 3});  // the 15 digits a real shows
  EXPECT_EQ(text_of(decimal_of({0x80, 3, 0, 120500})), u"-120.5");
  EXPECT_EQ(text_of(decimal_of({0, 4, 0, 5})), u"0.0005");
  variant out;
  EXPECT_EQ(change(decimal_of({0, 1, 0, 25}), VT_I4, out), S_OK);
  EXPECT_EQ(out.lVal, 2);
  EXPECT_EQ(change(decimal_of({0x80, 1, 0, 35}), VT_I4, out), S_OK);
  EXPECT_EQ(out.lVal, -4);
  EXPECT_EQ(change(decimal_of({0, 2, 0, 125}), VT_R8, out), S_OK);
  EXPECT_EQ(out.dblVal, 1.25);
  EXPECT_EQ(change(decimal_of({0, 29, 0, 1}), VT_I4, out), E_INVALIDARG);
}

TEST(ExactTypes, CurrencyHasFourPlacesAndSixtyFourBits) {
  variant out;
  ASSERT_EQ(change(variant(1.23456), VT_CY, out), S_OK);
  EXPECT_EQ(out.cyVal.int64, 12346);
  ASSERT_EQ(change(variant(u"922337203685477.5807"), VT_CY, out), S_OK);
  EXPECT_EQ(out.cyVal.int64, std::numeric_limits<LONGLONG>::max());
  EXPECT_EQ(change(variant(u"922337203685477.5808"), VT_CY, out), DISP_E_OVERFLOW);
  ASSERT_EQ(change(variant(u"-922337203685477.5808"), VT_CY, out), S_OK);
  EXPECT_EQ(out.cyVal.int64, std::numeric_limits<LONGLONG>::min());
  EXPECT_EQ(change(variant(std::numeric_limits<LONGLONG>::max()), VT_CY, out), DISP_E_OVERFLOW);
  EXPECT_EQ(text_of(currency(12500)), u"1.25");
  EXPECT_EQ(text_of(currency(-3)), u"-0.0003");
  expect_decimal(currency(-12345), {0x80, 4, 0, 12345});
  ASSERT_EQ(change(decimal_of({0, 5, 0, 123455}), VT_CY, out), S_OK);
  EXPECT_EQ(out.cyVal.int64, 12346);
  ASSERT_EQ(change(currency(15000), VT_I4, out), S_OK);
  EXPECT_EQ(out.lVal, 2);
}

class Both final : public comrt::implements<Both, ITestPlain, ITestDual> {};

TEST(ExactTypes, DispatchToUnknownGivesTheIdentity) {
  auto object = comrt::make<Both>();
  auto dispatch = object.as<IDispatch>();
  ASSERT_NE(static_cast<void*>(dispatch.get()), static_cast<void*>(object->identity()));
  variant out;
  ASSERT_EQ(change(variant(dispatch.get()), VT_UNKNOWN, out), S_OK);
  EXPECT_EQ(out.punkVal, object->identity());
}

TEST(ExactTypes, RealsShowFifteenSignificantDigits) {
  EXPECT_EQ(text_of(variant(0.1 + 0.2)), u"0.3");
  EXPECT_EQ(text_of(variant(2.0 / 3)), u"0.666666666666667");
  EXPECT_EQ(text_of(variant(999999999999999.9)), u"1E+15");
  EXPECT_EQ(text_of(variant(1.0f / 3)), u"0.3333333");
}

}  // namespace
