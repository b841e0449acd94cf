// printf-style formatting of UTF-16 messages.
#include "diagnostics/text_format.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>

namespace {

using tolvane::diagnostics::Format;
using tolvane::diagnostics::kMaxFieldWidth;

TEST(TextFormat, ConversionsLengthsFlagsWidthsAndPrecisions) {
  EXPECT_EQ(Format(u"[%s] [%ls] [%ws] 100%%", u"wide", u"\u00e9t\u00e9", u""), u"[wide] [\u00e9t\u00e9] [] 100%");
  EXPECT_EQ(Format(u"%d %d %u %x %X", -42, INT32_MIN, 4000000000u, 0xbeefu, 0xbeefu),
            u"-42 -2147483648 4000000000 beef BEEF");
  EXPECT_EQ(Format(u"%c%c%hc", u'\u00e9', u'x', 'y'), u"\u00e9xy");
  EXPECT_EQ(Format(u"%hhd %hd %hu", 300, 70000, 65536 + 7), u"44 4464 7");
  EXPECT_EQ(Format(u"%ld %lu", int32_t{-5}, uint32_t{4000000000u}), u"-5 4000000000");
  EXPECT_EQ(Format(u"%lld %llu", INT64_MIN, UINT64_MAX), u"-9223372036854775808 18446744073709551615");
  EXPECT_EQ(Format(u"%I64d %I64x %zu %Iu", int64_t{-1}, uint64_t{0x1234567890}, size_t{1} << 40, size_t{3}),
            u"-1 1234567890 1099511627776 3");
  EXPECT_EQ(Format(u"%.2f %e %Lg", 2.5, 1.0, 0.25L), u"2.50 1.000000e+00 0.25");
  EXPECT_EQ(Format(u"[%5d][%-5d][%05d][%+d][% d]", 42, 42, 42, 42, 42), u"[   42][42   ][00042][+42][ 42]");
  EXPECT_EQ(Format(u"[%*d][%*d][%#x][%#o][%.3d]", 4, 7, -4, 7, 255u, 8u, 7), u"[   7][7   ][0xff][010][007]");
  EXPECT_EQ(Format(u"[%6s][%-6s][%.2s][%.*s][%.*s]", u"ab", u"ab", u"abcdef", 3, u"abcdef", -1, u"abc"),
            u"[    ab][ab    ][ab][abc][abc]");
  // A precision bounds how much of the string is read: the text need not end in NUL.
  const char16_t unterminated[3] = {u'x', u'y', u'z'};
  const char narrow_unterminated[2] = {'p', 'q'};
  EXPECT_EQ(Format(u"%.3s%.2hs", unterminated, narrow_unterminated), u"xyzpq");
}

TEST(TextFormat, NarrowStringsAreDecodedAsUtf8) {
  EXPECT_EQ(Format(u"%hs|%S|%hs", "Z\xc3\xbcrich", "\xe2\x82\xac", "\xf0\x9f\x98\x80"), u"Z\u00fcrich|\u20ac|\U0001F600");
  // Stray continuation bytes, truncated sequences, overlong forms and encoded surrogates.
  EXPECT_EQ(Format(u"%hs", "a\x80" "b\xc3"), u"a\ufffdb\ufffd");
  EXPECT_EQ(Format(u"%hs", "\xc0\xaf|\xed\xa0\x80"), u"\ufffd\ufffd|\ufffd\ufffd\ufffd");
}

TEST(TextFormat, NullsMalformedConversionsAndHugeWidthsPrintSafely) {
  EXPECT_EQ(Format(nullptr), u"");
  EXPECT_EQ(Format(u"[%s][%hs]", static_cast<const char16_t*>(nullptr), static_cast<const char*>(nullptr)),
            u"[(null)][(null)]");
  EXPECT_EQ(Format(u"50%"), u"50%");
  EXPECT_EQ(Format(u"[%-08.3l"), u"[%-08.3l");
  EXPECT_EQ(Format(u"%q %y%k%d%s", 1, u"x"), u"%q %y%k1x") << "an unknown conversion consumes no argument";
  int target = 17;
  EXPECT_EQ(Format(u"a%nb", &target), u"a%nb");
  EXPECT_EQ(target, 17) << "%n never writes through its argument";
  // Widths and precisions are pinned instead of exhausting memory.
  EXPECT_EQ(Format(u"%2147483647d", 1).size(), static_cast<size_t>(kMaxFieldWidth));
  EXPECT_EQ(Format(u"%99999999999999999999999d", 1).size(), static_cast<size_t>(kMaxFieldWidth));
  EXPECT_EQ(Format(u"%*s", INT_MIN, u"x").size(), static_cast<size_t>(kMaxFieldWidth));
  EXPECT_EQ(Format(u"%.99999999999d", 1).size(), static_cast<size_t>(kMaxFieldWidth));
  EXPECT_LT(Format(u"%.2147483647f", 1.0).size(), static_cast<size_t>(kMaxFieldWidth) + 16);
  EXPECT_EQ(Format(u"%.2147483647s", u"abc"), u"abc");
}

}  // namespace
