// BSTR layout and lengths, UTF-8 <-> UTF-16, and VARIANT lifetime: clear, deep copy, references
// held by variants, and the owning variant.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include "comrt/strings.h"
#include "probe.h"

using namespace std::string_literals;
using namespace std::string_view_literals;

namespace {

TEST(Bstr, LayoutIsBytePrefixTextAndTerminator) {
  comrt::bstr s = comrt::bstr::attach(SysAllocStringLen(u"a\0b", 3));  // embedded NULs count
  uint32_t prefix = 0;
  std::memcpy(&prefix, reinterpret_cast<const char*>(s.get()) - sizeof prefix, sizeof prefix);
  EXPECT_EQ(prefix, 6u);
  EXPECT_EQ(SysStringLen(s.get()), 3u);
  EXPECT_EQ(s.view(), u"a\0b"sv);
  EXPECT_EQ(s.get()[3], u'\0');
  comrt::bstr zeros = comrt::bstr::attach(SysAllocStringLen(nullptr, 4));  // a null source gives zeros
  EXPECT_EQ(zeros.view(), std::u16string(4, u'\0'));

  // An odd byte length is followed by a whole zero character.
  comrt::bstr odd = comrt::bstr::attach(SysAllocStringByteLen("abc", 3));
  EXPECT_EQ(SysStringByteLen(odd.get()), 3u);
  EXPECT_EQ(SysStringLen(odd.get()), 1u);
  EXPECT_EQ(std::memcmp(odd.get(), "abc\0", 4), 0);
  EXPECT_EQ(odd.get()[2], u'\0');

  EXPECT_EQ(SysAllocStringLen(nullptr, 0x80000000u), nullptr);  // 2^32 bytes: wraps a 32-bit count
  EXPECT_EQ(SysAllocStringByteLen(nullptr, 0x7FFFFFFFu), nullptr);
}

TEST(Bstr, ReallocationMayReadFromTheOldStringAndAFailureKeepsIt) {
  BSTR s = SysAllocString(u"hello world");
  const BSTR before = s;
  EXPECT_EQ(SysReAllocStringLen(&s, nullptr, std::numeric_limits<UINT>::max()), FALSE);
  EXPECT_EQ(s, before);
  ASSERT_EQ(SysReAllocStringLen(&s, s + 6, 5), TRUE);
  EXPECT_EQ(comrt::bstr_view(s), u"world");
  // Asking for more than the old string holds copies what it has and zero-fills the rest.
  ASSERT_EQ(SysReAllocStringLen(&s, s + 1, 8), TRUE);
  EXPECT_EQ(comrt::bstr_view(s), u"orld\0\0\0\0"sv);
  SysFreeString(s);
}

TEST(Utf, RoundTripsEveryPlaneAndIllFormedInputBecomesReplacementCharacters) {
  const std::u16string text = u"a\u00e9\u20ac\U0001D11E\0z"s;
  EXPECT_EQ(comrt::to_utf8(text), "a\xC3\xA9\xE2\x82\xAC\xF0\x9D\x84\x9E\0z"s);
  EXPECT_EQ(comrt::to_utf16(comrt::to_utf8(text)), text);
  const std::pair<std::string, std::u16string> utf8_cases[] = {
      {"\xC3", u"\uFFFD"},                                // truncated at the end
      {"\xE2\x82" "A", u"\uFFFD" "A"},                    // truncated before ASCII
      {"\xC0\xAF", u"\uFFFD\uFFFD"},                      // overlong
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},            // encoded surrogate
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
      {"\x80x\xFF", u"\uFFFDx\uFFFD"},                    // stray bytes
  };
  for (const auto& [in, out] : utf8_cases) EXPECT_EQ(comrt::to_utf16(in), out) << in;
  EXPECT_EQ(comrt::to_utf8(u"a\xD800"), "a\xEF\xBF\xBD");      // high surrogate at the end
  EXPECT_EQ(comrt::to_utf8(u"\xDC00" "b"), "\xEF\xBF\xBD" "b");  // lone low surrogate
  EXPECT_EQ(comrt::to_utf8(u"\xD800\xD800\xDC00"), "\xEF\xBF\xBD\xF0\x90\x80\x80");
}

TEST(VariantLifetime, ClearAndCopyBalanceReferencesAndCopyStringsExactly) {
  auto probe = comrt::make<DualProbe>();
  IDispatch* disp = probe.get();
  const ULONG base = ref_count(disp);
  {
    comrt::variant a(disp), b;
    ASSERT_EQ(VariantCopy(&b, &a), S_OK);
    ASSERT_EQ(VariantCopy(&b, &a), S_OK);  // over a variant holding the same object
    ASSERT_EQ(VariantCopy(&a, &a), S_OK);
    EXPECT_EQ(b.pdispVal, disp);
    EXPECT_EQ(ref_count(disp), base + 2);
    EXPECT_EQ(VariantClear(&a), S_OK);
    EXPECT_EQ(a.vt, VT_EMPTY);
  }
  EXPECT_EQ(ref_count(disp), base);

  comrt::variant src(comrt::bstr::attach(SysAllocStringByteLen("abc", 3))), dst = 5;
  ASSERT_EQ(VariantCopy(&dst, &src), S_OK);
  EXPECT_NE(dst.bstrVal, src.bstrVal);
  EXPECT_EQ(SysStringByteLen(dst.bstrVal), 3u);
  EXPECT_EQ(std::memcmp(dst.bstrVal, "abc", 3), 0);
}

TEST(VariantLifetime, UnknownTypesAreRefusedAndReferencesOwnNothing) {
  VARIANT bad;
  bad.vt = 15;  // not a variant type
  EXPECT_EQ(VariantClear(&bad), DISP_E_BADVARTYPE);
  EXPECT_EQ(bad.vt, 15);
  comrt::variant good(u"keep");
  const BSTR before = good.bstrVal;
  EXPECT_EQ(VariantCopy(&good, &bad), DISP_E_BADVARTYPE);
  EXPECT_EQ(good.bstrVal, before);

  BSTR owned = SysAllocString(u"owned");
  VARIANT ref;
  ref.vt = VT_BYREF | VT_BSTR;
  ref.pbstrVal = &owned;
  EXPECT_EQ(VariantClear(&ref), S_OK);
  EXPECT_EQ(comrt::bstr_view(owned), u"owned");
  SysFreeString(owned);

  // The owning variant's change_type throws and keeps the value.
  comrt::variant twelve(u"twelve");
  EXPECT_THROW(twelve.change_type(VT_I4), comrt::hresult_error);
  EXPECT_EQ(comrt::bstr_view(twelve.bstrVal), u"twelve");
}

}  // namespace
