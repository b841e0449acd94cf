// UTF-8 <-> UTF-16 conversion for the operating system boundary. Text inside is UTF-16; paths,
// environment values and file contents reach the system as UTF-8.
//
// Neither function throws on bad input: an ill-formed sequence (an unpaired surrogate, a stray or
// truncated UTF-8 sequence, an overlong form, an encoded surrogate, a value above U+10FFFF) becomes
// U+FFFD. In UTF-8 each maximal ill-formed subpart is replaced by one U+FFFD, so the rest of the
// text is kept. Only allocation failure throws (std::bad_alloc).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace comrt {

namespace detail {

inline constexpr char32_t replacement_char = 0xFFFD;

inline void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

inline void append_utf16(std::u16string& out, char32_t c) {
  if (c < 0x10000) {
    out += static_cast<char16_t>(c);
  } else {
    c -= 0x10000;
    out += static_cast<char16_t>(0xD800 + (c >> 10));
    out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
  }
}

constexpr bool is_high_surrogate(char32_t c) noexcept { return c >= 0xD800 && c <= 0xDBFF; }
constexpr bool is_low_surrogate(char32_t c) noexcept { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace detail

inline std::string to_utf8(std::u16string_view text) {
  // The ASCII start of the text, nearly always all of it, is copied as it is.
  size_t ascii = 0;
  while (ascii < text.size() && text[ascii] < 0x80) ++ascii;
  std::string out(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(ascii));
  if (ascii == text.size()) return out;
  out.reserve(text.size() + 2);
  for (size_t i = ascii; i < text.size(); ++i) {
    char32_t c = text[i];
    if (detail::is_high_surrogate(c) && i + 1 < text.size() && detail::is_low_surrogate(text[i + 1])) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (detail::is_high_surrogate(c) || detail::is_low_surrogate(c)) {
      c = detail::replacement_char;
    }
    detail::append_utf8(out, c);
  }
  return out;
}

inline std::u16string to_utf16(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && static_cast<unsigned char>(text[i]) < 0x80) ++i;
  std::u16string out(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(i));
  if (i == text.size()) return out;
  out.reserve(text.size());
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
      out += static_cast<char16_t>(lead);
      ++i;
      continue;
    }
    // The length of the sequence and the range its second byte must lie in (which excludes
    // overlong forms, encoded surrogates and values above U+10FFFF).
    size_t length = 0;
    char32_t c = 0;
    unsigned char second_lo = 0x80;
    unsigned char second_hi = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      c = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      c = lead & 0x0F;
      if (lead == 0xE0) second_lo = 0xA0;
      if (lead == 0xED) second_hi = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      c = lead & 0x07;
      if (lead == 0xF0) second_lo = 0x90;
      if (lead == 0xF4) second_hi = 0x8F;
    } else {
      out += static_cast<char16_t>(detail::replacement_char);
      ++i;
      continue;
    }
    size_t taken = 1;
    for (; taken < length && i + taken < text.size(); ++taken) {
      const auto b = static_cast<unsigned char>(text[i + taken]);
      const unsigned char lo = taken == 1 ? second_lo : 0x80;
      const unsigned char hi = taken == 1 ? second_hi : 0xBF;
      if (b < lo || b > hi) break;
      c = (c << 6) | (b & 0x3F);
    }
    if (taken < length) {
      out += static_cast<char16_t>(detail::replacement_char);
    } else {
      detail::append_utf16(out, c);
    }
    i += taken;
  }
  return out;
}

// Comparison without regard to case, the rule of registry names, automation member names and
// keywords: ASCII letters fold to upper case, every other character compares as it is. The order
// is that of the upper-case forms.
constexpr char16_t ascii_upper(char16_t c) noexcept {
  return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - u'a' + u'A') : c;
}
constexpr int compare_ignoring_case(std::u16string_view a, std::u16string_view b) noexcept {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    const char16_t x = ascii_upper(a[i]);
    const char16_t y = ascii_upper(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}
constexpr bool equal_ignoring_case(std::u16string_view a, std::u16string_view b) noexcept {
  return a.size() == b.size() && compare_ignoring_case(a, b) == 0;
}

}  // namespace comrt
