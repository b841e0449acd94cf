// The registry tree and its text form.
#include <algorithm>
#include <cstring>

#include "comrt/guid.h"
#include "comrt/strings.h"
#include "store.h"

namespace comrt::registry {

bool names_equal(std::u16string_view a, std::u16string_view b) noexcept { return equal_ignoring_case(a, b); }

int compare_names(std::u16string_view a, std::u16string_view b) noexcept { return compare_ignoring_case(a, b); }

namespace {

template <class K>
auto lower_bound_of(K& subkeys, std::u16string_view n) {
  return std::lower_bound(subkeys.begin(), subkeys.end(), n,
                          [](const key& k, std::u16string_view x) { return compare_names(k.name, x) < 0; });
}

template <class V>
auto value_position(V& values, std::u16string_view n) {
  return std::find_if(values.begin(), values.end(), [&](const value& v) { return names_equal(v.name, n); });
}

}  // namespace

const value* key::find_value(std::u16string_view n) const noexcept {
  auto it = value_position(values, n);
  return it == values.end() ? nullptr : &*it;
}
value* key::find_value(std::u16string_view n) noexcept {
  auto it = value_position(values, n);
  return it == values.end() ? nullptr : &*it;
}
const key* key::find_subkey(std::u16string_view n) const noexcept {
  auto it = lower_bound_of(subkeys, n);
  return it != subkeys.end() && names_equal(it->name, n) ? &*it : nullptr;
}
key* key::find_subkey(std::u16string_view n) noexcept {
  auto it = lower_bound_of(subkeys, n);
  return it != subkeys.end() && names_equal(it->name, n) ? &*it : nullptr;
}
key& key::subkey(std::u16string_view n, bool* created) {
  auto it = lower_bound_of(subkeys, n);
  if (it != subkeys.end() && names_equal(it->name, n)) {
    if (created) *created = false;
    return *it;
  }
  if (created) *created = true;
  key k;
  k.name = std::u16string(n);
  return *subkeys.insert(it, std::move(k));
}
bool key::remove_subkey(std::u16string_view n) {
  auto it = lower_bound_of(subkeys, n);
  if (it == subkeys.end() || !names_equal(it->name, n)) return false;
  subkeys.erase(it);
  return true;
}
bool key::remove_value(std::u16string_view n) {
  auto it = value_position(values, n);
  if (it == values.end()) return false;
  values.erase(it);
  return true;
}

const key* find(const key& root, const path& p) noexcept {
  const key* k = &root;
  for (const auto& n : p) {
    k = k->find_subkey(n);
    if (!k) return nullptr;
  }
  return k;
}
key* find(key& root, const path& p) noexcept {
  key* k = &root;
  for (const auto& n : p) {
    k = k->find_subkey(n);
    if (!k) return nullptr;
  }
  return k;
}

// ---------------------------------------------------------------------------------------------
// Writing

namespace {

constexpr std::string_view signature = "TOLVANE REGISTRY 1";
constexpr char hex_chars[] = "0123456789abcdef";

bool is_surrogate(char16_t c) noexcept { return c >= 0xD800 && c <= 0xDFFF; }
bool is_high(char16_t c) noexcept { return c >= 0xD800 && c <= 0xDBFF; }
bool is_low(char16_t c) noexcept { return c >= 0xDC00 && c <= 0xDFFF; }

void put_unit_escape(std::string& out, char16_t c) {
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out += hex_chars[(c >> shift) & 0xF];
}

void put_quoted(std::string& out, std::u16string_view s) {
  out += '"';
  size_t run = 0;  // start of the current run of characters written as they are
  auto flush = [&](size_t end) {
    if (end > run) out += to_utf8(s.substr(run, end - run));
  };
  for (size_t i = 0; i < s.size(); ++i) {
    const char16_t c = s[i];
    if (is_high(c) && i + 1 < s.size() && is_low(s[i + 1])) {
      ++i;  // a valid pair stays in the run
      continue;
    }
    const char* esc = nullptr;
    switch (c) {
      case u'\\': esc = "\\\\"; break;
      case u'"': esc = "\\\""; break;
      case u'\n': esc = "\\n"; break;
      case u'\r': esc = "\\r"; break;
      case u'\t': esc = "\\t"; break;
      case u'\0': esc = "\\0"; break;
      default: break;
    }
    if (!esc && c >= 0x20 && c != 0x7F && !is_surrogate(c)) continue;
    flush(i);
    if (esc) {
      out += esc;
    } else {
      put_unit_escape(out, c);
    }
    run = i + 1;
  }
  flush(s.size());
  out += '"';
}

void put_hex_bytes(std::string& out, const std::vector<BYTE>& data) {
  for (size_t i = 0; i < data.size(); ++i) {
    if (i) out += ',';
    out += hex_chars[data[i] >> 4];
    out += hex_chars[data[i] & 0xF];
  }
}

void put_hex_number(std::string& out, uint64_t v, int digits) {
  for (int i = digits - 1; i >= 0; --i) out += hex_chars[(v >> (4 * i)) & 0xF];
}

// The text of REG_SZ-like data when it is whole code units ending in exactly one NUL.
std::optional<std::u16string> as_text(const std::vector<BYTE>& data) {
  if (data.size() < 2 || data.size() % 2 != 0) return std::nullopt;
  std::u16string s(data.size() / 2, u'\0');
  std::memcpy(s.data(), data.data(), data.size());
  if (s.back() != u'\0') return std::nullopt;
  s.pop_back();
  return s;
}

uint64_t little_endian(const std::vector<BYTE>& data) {
  uint64_t v = 0;
  for (size_t i = data.size(); i-- > 0;) v = (v << 8) | data[i];
  return v;
}

void put_value(std::string& out, const value& v) {
  if (v.name.empty()) {
    out += '@';
  } else {
    put_quoted(out, v.name);
  }
  out += '=';
  if (v.type == REG_SZ || v.type == REG_EXPAND_SZ) {
    if (auto text = as_text(v.data)) {
      if (v.type == REG_EXPAND_SZ) out += "expand:";
      put_quoted(out, *text);
      return;
    }
  } else if (v.type == REG_DWORD && v.data.size() == 4) {
    out += "dword:";
    put_hex_number(out, little_endian(v.data), 8);
    return;
  } else if (v.type == REG_QWORD && v.data.size() == 8) {
    out += "qword:";
    put_hex_number(out, little_endian(v.data), 16);
    return;
  } else if (v.type == REG_BINARY) {
    out += "hex:";
    put_hex_bytes(out, v.data);
    return;
  }
  out += "hex(";
  std::string type;  // without leading zeros: hex(7), not hex(00000007)
  for (DWORD t = v.type; type.empty() || t; t >>= 4) type.insert(type.begin(), hex_chars[t & 0xF]);
  out += type;
  out += "):";
  put_hex_bytes(out, v.data);
}

void put_key(std::string& out, const key& k, std::string& prefix) {
  const size_t before = prefix.size();
  if (!prefix.empty()) prefix += '\\';
  prefix += to_utf8(k.name);
  out += '[';
  out += prefix;
  out += "]\n";
  for (const auto& v : k.values) {
    put_value(out, v);
    out += '\n';
  }
  out += '\n';
  for (const auto& sub : k.subkeys) put_key(out, sub, prefix);
  prefix.resize(before);
}

}  // namespace

std::string serialize(const key& root) {
  std::string out;
  out += signature;
  out += "\n\n";
  std::string prefix;
  put_key(out, root, prefix);
  return out;
}

// ---------------------------------------------------------------------------------------------
// Reading

namespace {

// Strict UTF-8: text that does not convert back to the same bytes was ill-formed.
std::optional<std::u16string> decode(std::string_view s) {
  std::u16string u = to_utf16(s);
  if (to_utf8(u) != s) return std::nullopt;
  return u;
}

int hex_value(char c) noexcept { return comrt::detail::hex_value(static_cast<unsigned char>(c)); }

class line_parser {
 public:
  explicit line_parser(std::string_view s) : s_(s) {}

  bool at_end() const noexcept { return pos_ == s_.size(); }
  bool take(std::string_view token) noexcept {
    if (s_.substr(pos_, token.size()) != token) return false;
    pos_ += token.size();
    return true;
  }

  // A quoted string with escapes.
  std::optional<std::u16string> quoted() {
    if (!take("\"")) return std::nullopt;
    std::u16string out;
    size_t run = pos_;
    auto flush = [&]() -> bool {
      auto text = decode(s_.substr(run, pos_ - run));
      if (!text) return false;
      out += *text;
      return true;
    };
    while (pos_ < s_.size()) {
      const char c = s_[pos_];
      if (c == '"') {
        if (!flush()) return std::nullopt;
        ++pos_;
        return out;
      }
      if (c != '\\') {
        if (static_cast<unsigned char>(c) < 0x20) return std::nullopt;
        ++pos_;
        continue;
      }
      if (!flush()) return std::nullopt;
      if (++pos_ >= s_.size()) return std::nullopt;
      switch (s_[pos_++]) {
        case '\\': out += u'\\'; break;
        case '"': out += u'"'; break;
        case 'n': out += u'\n'; break;
        case 'r': out += u'\r'; break;
        case 't': out += u'\t'; break;
        case '0': out += u'\0'; break;
        case 'u': {
          uint64_t v = 0;
          if (!number(4, v)) return std::nullopt;
          out += static_cast<char16_t>(v);
          break;
        }
        default: return std::nullopt;
      }
      run = pos_;
    }
    return std::nullopt;  // no closing quote
  }

  // Exactly `digits` hex digits.
  bool number(int digits, uint64_t& v) noexcept {
    v = 0;
    for (int i = 0; i < digits; ++i) {
      if (pos_ >= s_.size()) return false;
      const int d = hex_value(s_[pos_++]);
      if (d < 0) return false;
      v = (v << 4) | static_cast<uint64_t>(d);
    }
    return true;
  }

  // One to eight hex digits.
  bool short_number(uint64_t& v) noexcept {
    v = 0;
    int n = 0;
    while (pos_ < s_.size() && hex_value(s_[pos_]) >= 0 && n < 8) {
      v = (v << 4) | static_cast<uint64_t>(hex_value(s_[pos_++]));
      ++n;
    }
    return n > 0;
  }

  // Comma-separated two-digit hex bytes, possibly none, up to the end of the line.
  bool bytes(std::vector<BYTE>& out) {
    if (at_end()) return true;
    for (;;) {
      uint64_t v = 0;
      if (!number(2, v)) return false;
      out.push_back(static_cast<BYTE>(v));
      if (at_end()) return true;
      if (!take(",")) return false;
    }
  }

 private:
  std::string_view s_;
  size_t pos_ = 0;
};

std::vector<BYTE> text_bytes(const std::u16string& s) {
  std::vector<BYTE> data((s.size() + 1) * 2);
  std::memcpy(data.data(), s.c_str(), data.size());
  return data;
}

std::vector<BYTE> number_bytes(uint64_t v, size_t size) {
  std::vector<BYTE> data(size);
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<BYTE>(v >> (8 * i));
  return data;
}

std::optional<value> parse_value(std::string_view line) {
  line_parser p(line);
  value v;
  if (!p.take("@")) {
    auto name = p.quoted();
    if (!name || name->empty()) return std::nullopt;  // the default value is written as @
    v.name = std::move(*name);
  }
  if (!p.take("=")) return std::nullopt;
  uint64_t n = 0;
  if (p.take("dword:")) {
    if (!p.number(8, n)) return std::nullopt;
    v.type = REG_DWORD;
    v.data = number_bytes(n, 4);
  } else if (p.take("qword:")) {
    if (!p.number(16, n)) return std::nullopt;
    v.type = REG_QWORD;
    v.data = number_bytes(n, 8);
  } else if (p.take("hex:")) {
    v.type = REG_BINARY;
    if (!p.bytes(v.data)) return std::nullopt;
  } else if (p.take("hex(")) {
    if (!p.short_number(n) || !p.take("):")) return std::nullopt;
    v.type = static_cast<DWORD>(n);
    if (!p.bytes(v.data)) return std::nullopt;
  } else {
    v.type = p.take("expand:") ? REG_EXPAND_SZ : REG_SZ;
    auto text = p.quoted();
    if (!text) return std::nullopt;
    v.data = text_bytes(*text);
  }
  if (!p.at_end()) return std::nullopt;
  return v;
}

bool valid_key_name(std::u16string_view n) noexcept {
  if (n.empty() || n.size() > max_key_name) return false;
  return std::none_of(n.begin(), n.end(), [](char16_t c) { return c < 0x20 || c == u'\\'; });
}

}  // namespace

std::optional<key> parse(std::string_view text, std::u16string_view root_name) {
  key root;
  root.name = std::u16string(root_name);
  if (text.empty()) return root;

  key* current = nullptr;
  bool first = true;
  while (!text.empty()) {
    const size_t eol = text.find('\n');
    std::string_view line = text.substr(0, eol);
    text = eol == std::string_view::npos ? std::string_view{} : text.substr(eol + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (first) {
      if (line != signature) return std::nullopt;
      first = false;
      continue;
    }
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      if (line.size() < 2 || line.back() != ']') return std::nullopt;
      auto full = decode(line.substr(1, line.size() - 2));
      if (!full) return std::nullopt;
      std::u16string_view rest = *full;
      const size_t sep = rest.find(u'\\');
      if (!names_equal(rest.substr(0, sep), root_name)) return std::nullopt;
      current = &root;
      rest = sep == std::u16string_view::npos ? std::u16string_view{} : rest.substr(sep + 1);
      if (sep != std::u16string_view::npos && rest.empty()) return std::nullopt;
      size_t depth = 0;
      while (!rest.empty()) {
        const size_t next = rest.find(u'\\');
        const std::u16string_view part = rest.substr(0, next);
        if (!valid_key_name(part) || ++depth > max_depth) return std::nullopt;
        current = &current->subkey(part, nullptr);
        if (next == std::u16string_view::npos) break;
        rest = rest.substr(next + 1);
        if (rest.empty()) return std::nullopt;
      }
      continue;
    }
    if (!current) return std::nullopt;
    auto v = parse_value(line);
    if (!v || v->name.size() > max_value_name || v->data.size() > max_value_size || current->find_value(v->name))
      return std::nullopt;
    current->values.push_back(std::move(*v));
  }
  if (first) return std::nullopt;
  return root;
}

}  // namespace comrt::registry
