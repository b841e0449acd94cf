#include "diagnostics/text_format.h"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "comrt/strings.h"

namespace tolvane::diagnostics {
namespace {

// Owns a copy of the caller's argument list, so that every reader advances the same list whatever
// the platform's va_list is (an array on some ABIs, a plain pointer on others).
class Arguments {
 public:
  explicit Arguments(va_list source) { va_copy(list_, source); }
  ~Arguments() { va_end(list_); }
  Arguments(const Arguments&) = delete;
  Arguments& operator=(const Arguments&) = delete;

  template <class T>
  T Next() {
    return va_arg(list_, T);
  }

 private:
  va_list list_;
};

enum class Length { kNone, kChar, kShort, kLong, kLongLong, kPointerSized, kLongDouble, kWide };

struct Conversion {
  std::string flags;  // any of "-+ #0", in the order given
  int width = -1;
  int precision = -1;
  Length length = Length::kNone;
  bool left_aligned() const { return flags.find('-') != std::string::npos; }
};

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// Reads decimal digits, saturating instead of overflowing.
int ParseNumber(const char16_t*& p) {
  int value = 0;
  while (IsDigit(*p)) {
    const int digit = *p++ - u'0';
    value = value > (INT_MAX - digit) / 10 ? INT_MAX : value * 10 + digit;
  }
  return value;
}

bool Consume(const char16_t*& p, std::u16string_view token) {
  for (size_t i = 0; i < token.size(); ++i) {
    if (p[i] != token[i]) return false;  // also stops at the terminating NUL
  }
  p += token.size();
  return true;
}

Length ParseLength(const char16_t*& p) {
  if (Consume(p, u"hh")) return Length::kChar;
  if (Consume(p, u"h")) return Length::kShort;
  if (Consume(p, u"ll")) return Length::kLongLong;
  if (Consume(p, u"l")) return Length::kLong;
  if (Consume(p, u"I64")) return Length::kLongLong;
  if (Consume(p, u"I32")) return Length::kLong;
  if (Consume(p, u"I")) return Length::kPointerSized;
  if (Consume(p, u"j")) return Length::kLongLong;
  if (Consume(p, u"z") || Consume(p, u"t")) return Length::kPointerSized;
  if (Consume(p, u"L") || Consume(p, u"q")) return Length::kLongDouble;
  if (Consume(p, u"w")) return Length::kWide;
  return Length::kNone;
}

void AppendAscii(std::u16string& out, std::string_view text) {
  for (const char c : text) out += static_cast<char16_t>(static_cast<unsigned char>(c));
}

// Appends text padded with spaces to the conversion's width.
void AppendPadded(std::u16string& out, std::u16string_view text, const Conversion& conv) {
  const size_t width = conv.width > 0 ? static_cast<size_t>(conv.width) : 0;
  const size_t pad = width > text.size() ? width - text.size() : 0;
  if (!conv.left_aligned()) out.append(pad, u' ');
  out.append(text);
  if (conv.left_aligned()) out.append(pad, u' ');
}

// Formats one numeric value through the C library with the conversion's flags, width and
// precision; `modifier` and `type` complete the narrow conversion ("ll" "d", "L" "f", "" "p").
template <class T>
void AppendNumber(std::u16string& out, const Conversion& conv, const char* modifier, char type,
                  T value) {
  std::string spec = "%" + conv.flags;
  if (conv.width >= 0) spec += std::to_string(conv.width);
  if (conv.precision >= 0) spec += "." + std::to_string(conv.precision);
  spec += modifier;
  spec += type;

  char small[128];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  const int needed = std::snprintf(small, sizeof small, spec.c_str(), value);
  if (needed < 0) return;
  if (static_cast<size_t>(needed) < sizeof small) {
    AppendAscii(out, std::string_view(small, static_cast<size_t>(needed)));
    return;
  }
  std::string large(static_cast<size_t>(needed) + 1, '\0');
  std::snprintf(large.data(), large.size(), spec.c_str(), value);
#pragma GCC diagnostic pop
  large.resize(static_cast<size_t>(needed));
  AppendAscii(out, large);
}

void AppendSigned(std::u16string& out, const Conversion& conv, char type, Arguments& args) {
  long long value = 0;
  switch (conv.length) {
    case Length::kChar: value = static_cast<signed char>(args.Next<int>()); break;
    case Length::kShort: value = static_cast<short>(args.Next<int>()); break;
    case Length::kLongLong:
    case Length::kLongDouble: value = args.Next<long long>(); break;
    case Length::kPointerSized: value = args.Next<ptrdiff_t>(); break;
    default: value = args.Next<int32_t>(); break;  // none and l: 32 bits
  }
  AppendNumber(out, conv, "ll", type, value);
}

void AppendUnsigned(std::u16string& out, const Conversion& conv, char type, Arguments& args) {
  unsigned long long value = 0;
  switch (conv.length) {
    case Length::kChar: value = static_cast<unsigned char>(args.Next<unsigned>()); break;
    case Length::kShort: value = static_cast<unsigned short>(args.Next<unsigned>()); break;
    case Length::kLongLong:
    case Length::kLongDouble: value = args.Next<unsigned long long>(); break;
    case Length::kPointerSized: value = args.Next<size_t>(); break;
    default: value = args.Next<uint32_t>(); break;
  }
  AppendNumber(out, conv, "ll", type, value);
}

void AppendWideString(std::u16string& out, const Conversion& conv, Arguments& args) {
  const char16_t* s = args.Next<const char16_t*>();
  if (!s) s = u"(null)";
  // With a precision, read no further than that many code units: the text need not end in NUL.
  const size_t limit = conv.precision >= 0 ? static_cast<size_t>(conv.precision) : SIZE_MAX;
  size_t n = 0;
  while (n < limit && s[n] != 0) ++n;
  AppendPadded(out, std::u16string_view(s, n), conv);
}

void AppendNarrowString(std::u16string& out, const Conversion& conv, Arguments& args) {
  const char* s = args.Next<const char*>();
  if (!s) s = "(null)";
  size_t n = 0;
  if (conv.precision >= 0) {
    n = ::strnlen(s, static_cast<size_t>(conv.precision));
  } else {
    n = std::strlen(s);
  }
  AppendPadded(out, comrt::to_utf16(std::string_view(s, n)), conv);
}

// Formats one conversion whose specification has been parsed; false for a conversion character
// that is not supported (the caller then copies the specification literally).
bool AppendConversion(std::u16string& out, Conversion& conv, char16_t type, Arguments& args) {
  const bool narrow = conv.length == Length::kShort;
  switch (type) {
    case u'd':
    case u'i':
      conv.precision = std::min(conv.precision, kMaxFieldWidth);
      AppendSigned(out, conv, 'd', args);
      return true;
    case u'u':
    case u'o':
    case u'x':
    case u'X':
      conv.precision = std::min(conv.precision, kMaxFieldWidth);
      AppendUnsigned(out, conv, static_cast<char>(type), args);
      return true;
    case u'f':
    case u'F':
    case u'e':
    case u'E':
    case u'g':
    case u'G':
    case u'a':
    case u'A':
      conv.precision = std::min(conv.precision, kMaxFieldWidth);
      if (conv.length == Length::kLongDouble) {
        AppendNumber(out, conv, "L", static_cast<char>(type), args.Next<long double>());
      } else {
        AppendNumber(out, conv, "", static_cast<char>(type), args.Next<double>());
      }
      return true;
    case u'p':
      conv.precision = -1;
      AppendNumber(out, conv, "", 'p', args.Next<void*>());
      return true;
    case u'c':
    case u'C': {
      const int value = args.Next<int>();
      char16_t c = static_cast<char16_t>(value);
      if (narrow || type == u'C') c = static_cast<char16_t>(static_cast<unsigned char>(value));
      AppendPadded(out, std::u16string_view(&c, 1), conv);
      return true;
    }
    case u's':
    case u'S':
      if (narrow || type == u'S') {
        AppendNarrowString(out, conv, args);
      } else {
        AppendWideString(out, conv, args);
      }
      return true;
    default:
      return false;  // includes %n: never write through an argument
  }
}

}  // namespace

std::u16string FormatV(const char16_t* format, va_list source) {
  std::u16string out;
  if (!format) return out;
  Arguments args(source);
  const char16_t* p = format;
  while (*p) {
    if (*p != u'%') {
      out += *p++;
      continue;
    }
    const char16_t* const start = p++;
    if (*p == u'%') {
      out += u'%';
      ++p;
      continue;
    }

    Conversion conv;
    while (*p == u'-' || *p == u'+' || *p == u' ' || *p == u'#' || *p == u'0') {
      if (conv.flags.find(static_cast<char>(*p)) == std::string::npos) conv.flags += static_cast<char>(*p);
      ++p;
    }
    if (*p == u'*') {
      ++p;
      const int w = args.Next<int>();
      if (w < 0) {
        if (!conv.left_aligned()) conv.flags += '-';
        conv.width = w == INT_MIN ? INT_MAX : -w;
      } else {
        conv.width = w;
      }
    } else if (IsDigit(*p)) {
      conv.width = ParseNumber(p);
    }
    conv.width = std::min(conv.width, kMaxFieldWidth);
    if (*p == u'.') {
      ++p;
      if (*p == u'*') {
        ++p;
        const int precision = args.Next<int>();
        conv.precision = precision < 0 ? -1 : precision;
      } else {
        conv.precision = ParseNumber(p);
      }
    }
    conv.length = ParseLength(p);

    const char16_t type = *p;
    if (type == 0) {  // the format ends inside a conversion: keep the text as it stands
      out.append(start, p);
      break;
    }
    ++p;
    if (!AppendConversion(out, conv, type, args)) out.append(start, p);
  }
  return out;
}

std::u16string Format(const char16_t* format, ...) {
  va_list args;
  va_start(args, format);
  std::u16string result;
  try {
    result = FormatV(format, args);
  } catch (...) {
    va_end(args);
    throw;
  }
  va_end(args);
  return result;
}

}  // namespace tolvane::diagnostics
