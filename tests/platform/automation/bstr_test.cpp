// BSTR layout and lengths, the owning bstr, and UTF-8 <-> UTF-16.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include "comrt/strings.h"
#include "comrt/variant.h"

using namespace std::string_literals;
using namespace std::string_view_literals;

namespace {

uint32_t stored_prefix(BSTR s) {
  uint32_t n = 0;
  std::memcpy(&n, reinterpret_cast<const char*>(s) - sizeof n, sizeof n);
  return n;
}

TEST(Bstr, LayoutIsBytePrefixTextAndTerminator) {
  comrt::bstr s = comrt::bstr::attach(SysAllocString(u"abc"));
  ASSERT_NE(s.get(), nullptr);
  EXPECT_EQ(stored_prefix(s.get()), 6u);
  EXPECT_EQ(SysStringLen(s.get()), 3u);
  EXPECT_EQ(s.get()[3], u'\0');

  // Embedded NULs count; a null source gives zeros.
  comrt::bstr nuls = comrt::bstr::attach(SysAllocStringLen(u"a\0b", 3));
  EXPECT_EQ(nuls.view(), u"a\0b"sv);
  comrt::bstr zeros = comrt::bstr::attach(SysAllocStringLen(nullptr, 4));
  EXPECT_EQ(zeros.view(), std::u16string(4, u'\0'));
  EXPECT_EQ(zeros.get()[4], u'\0');
}

TEST(Bstr, OddByteLengthIsTerminatedByAWholeCharacter) {
  comrt::bstr s = comrt::bstr::attach(SysAllocStringByteLen("abc", 3));
  EXPECT_EQ(SysStringByteLen(s.get()), 3u);
  EXPECT_EQ(SysStringLen(s.get()), 1u);
  const auto* bytes = reinterpret_cast<const unsigned char*>(s.get());
  EXPECT_EQ(std::memcmp(bytes, "abc", 3), 0);
  EXPECT_EQ(bytes[3], 0);
  EXPECT_EQ(s.get()[2], u'\0');  // the character after the one holding the last byte
}

TEST(Bstr, OverflowingLengthsFailWithNull) {
  constexpr UINT max = std::numeric_limits<UINT>::max();
  EXPECT_EQ(SysAllocStringLen(nullptr, 0x80000000u), nullptr);  // 2^32 bytes: wraps a 32-bit count
  EXPECT_EQ(SysAllocStringLen(nullptr, 0x40000000u), nullptr);  // 2^31 bytes
  EXPECT_EQ(SysAllocStringByteLen(nullptr, 0x7FFFFFFFu), nullptr);

  // A failed reallocation keeps the old string.
  BSTR s = SysAllocString(u"kept");
  const BSTR before = s;
  EXPECT_EQ(SysReAllocStringLen(&s, nullptr, max), FALSE);
  EXPECT_EQ(s, before);
  EXPECT_EQ(comrt::bstr_view(s), u"kept");
  SysFreeString(s);
}

TEST(Bstr, ReallocationMayReadFromTheOldString) {
  BSTR s = SysAllocString(u"hello world");
  ASSERT_EQ(SysReAllocStringLen(&s, s + 6, 5), TRUE);
  EXPECT_EQ(comrt::bstr_view(s), u"world");
  // Asking for more than the old string holds copies what it has and zero-fills the rest.
  ASSERT_EQ(SysReAllocStringLen(&s, s + 1, 8), TRUE);
  EXPECT_EQ(comrt::bstr_view(s), u"orld\0\0\0\0"sv);
  SysFreeString(s);
}

TEST(Utf, RoundTripsEveryPlane) {
  const std::u16string text = u"a\u00e9\u20ac\U0001D11E\0z"s;
  const std::string utf8 = comrt::to_utf8(text);
  EXPECT_EQ(utf8, "a\xC3\xA9\xE2\x82\xAC\xF0\x9D\x84\x9E\0z"s);
  EXPECT_EQ(comrt::to_utf16(utf8), text);
}

TEST(Utf, IllFormedInputBecomesReplacementCharacters) {
  struct {
    std::string in;
    std::u16string out;
  } const utf8_cases[] = {
      {"\xC3", u"\uFFFD"},                                      // truncated at the end
      {"\xE2\x82" "A", u"\uFFFD" "A"},                          // truncated before ASCII
      {"\xC0\xAF", u"\uFFFD\uFFFD"},                            // overlong
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},                  // encoded surrogate
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},        // above U+10FFFF
      {"\x80x\xFF", u"\uFFFDx\uFFFD"},                          // stray bytes
  };
  for (const auto& c : utf8_cases) EXPECT_EQ(comrt::to_utf16(c.in), c.out) << c.in;

  EXPECT_EQ(comrt::to_utf8(u"a\xD800"), "a\xEF\xBF\xBD");      // high surrogate at the end
  EXPECT_EQ(comrt::to_utf8(u"\xDC00" "b"), "\xEF\xBF\xBD" "b");  // lone low surrogate
  EXPECT_EQ(comrt::to_utf8(u"\xD800\xD800\xDC00"), "\xEF\xBF\xBD\xF0\x90\x80\x80");
}

}  // namespace
