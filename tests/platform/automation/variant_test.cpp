// VARIANT lifetime: clear, deep copy, references held by variants, and the owning variant.
#include <gtest/gtest.h>

#include <cstring>

#include "comrt/variant.h"
#include "probe.h"

namespace {

TEST(VariantLifetime, ClearAndCopyBalanceReferences) {
  auto probe = comrt::make<DualProbe>();
  IDispatch* disp = probe.get();
  const ULONG base = ref_count(disp);

  VARIANT a;
  VariantInit(&a);
  a.vt = VT_DISPATCH;
  a.pdispVal = disp;
  disp->AddRef();
  VARIANT b;
  VariantInit(&b);
  ASSERT_EQ(VariantCopy(&b, &a), S_OK);
  EXPECT_EQ(b.pdispVal, disp);

  // Copying over a variant that holds the same object releases the old reference.
  ASSERT_EQ(VariantCopy(&b, &a), S_OK);
  ASSERT_EQ(VariantCopy(&a, &a), S_OK);
  EXPECT_EQ(ref_count(disp), base + 2);

  EXPECT_EQ(VariantClear(&a), S_OK);
  EXPECT_EQ(a.vt, VT_EMPTY);
  EXPECT_EQ(VariantClear(&b), S_OK);
  EXPECT_EQ(ref_count(disp), base);
  EXPECT_EQ(VariantClear(&b), S_OK);  // clearing twice is harmless
}

TEST(VariantLifetime, CopyOfAStringIsDeepAndExact) {
  comrt::variant src(comrt::bstr::attach(SysAllocStringByteLen("abc", 3)));
  comrt::variant dst = 5;
  ASSERT_EQ(VariantCopy(&dst, &src), S_OK);
  ASSERT_EQ(dst.vt, VT_BSTR);
  EXPECT_NE(dst.bstrVal, src.bstrVal);
  EXPECT_EQ(SysStringByteLen(dst.bstrVal), 3u);
  EXPECT_EQ(std::memcmp(dst.bstrVal, "abc", 3), 0);

  // A null BSTR stays null (it is the empty string).
  comrt::variant null_text;
  null_text.vt = VT_BSTR;
  null_text.bstrVal = nullptr;
  ASSERT_EQ(VariantCopy(&dst, &null_text), S_OK);
  EXPECT_EQ(dst.vt, VT_BSTR);
  EXPECT_EQ(dst.bstrVal, nullptr);
}

TEST(VariantLifetime, UnknownTypesAreRefusedAndLeftAlone) {
  VARIANT bad;
  VariantInit(&bad);
  bad.vt = 15;  // not a variant type
  bad.lVal = 7;
  EXPECT_EQ(VariantClear(&bad), DISP_E_BADVARTYPE);
  EXPECT_EQ(bad.vt, 15);

  comrt::variant good(u"keep");
  const BSTR before = good.bstrVal;
  EXPECT_EQ(VariantCopy(&good, &bad), DISP_E_BADVARTYPE);
  EXPECT_EQ(good.bstrVal, before);

  // A reference owns nothing: clearing it frees nothing.
  BSTR owned = SysAllocString(u"owned");
  VARIANT ref;
  ref.vt = VT_BYREF | VT_BSTR;
  ref.pbstrVal = &owned;
  EXPECT_EQ(VariantClear(&ref), S_OK);
  EXPECT_EQ(comrt::bstr_view(owned), u"owned");
  SysFreeString(owned);
}

TEST(OwningVariant, ChangeTypeThrowsAndKeepsTheValue) {
  comrt::variant v(u"12");
  EXPECT_EQ(v.converted(VT_I4).lVal, 12);
  EXPECT_EQ(v.vt, VT_BSTR);
  v.change_type(VT_I4);
  EXPECT_EQ(v.vt, VT_I4);
  EXPECT_EQ(v.lVal, 12);

  comrt::variant bad(u"twelve");
  try {
    bad.change_type(VT_I4);
    ADD_FAILURE() << "no exception";
  } catch (const comrt::hresult_error& e) {
    EXPECT_EQ(e.code(), DISP_E_TYPEMISMATCH);
  }
  EXPECT_EQ(comrt::bstr_view(bad.bstrVal), u"twelve");
}

}  // namespace
