#include "persistence/xml_archive.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <optional>
#include <type_traits>
#include <typeinfo>

#include <comrt/guid.h>
#include <comrt/ocidl.h>
#include <comrt/strings.h>
#include <comrt/time.h>
#include <comrt/variant.h>

namespace tolvane {

namespace {

using comrt::bstr;
using comrt::check_hresult;
using comrt::com_ptr;
using comrt::variant;

// The first child element of `parent` whose name equals `name` exactly, detached from `parent`;
// null when there is none. Text, comments and other nodes never match.
com_ptr<IXMLDOMNode> take_child(IXMLDOMNode* parent, LPCOLESTR name) {
  if (!parent || !name) return nullptr;
  com_ptr<IXMLDOMNode> child;
  // A name that no element can have is not found.
  if (parent->selectSingleNode(bstr(name).get(), child.put()) != S_OK || !child) return nullptr;
  check_hresult(parent->removeChild(child.get(), nullptr));
  return child;
}

bool equals_ignoring_case(std::u16string_view a, std::u16string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    auto fold = [](char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; };
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

// A text as UTF-8: short ASCII texts, such as element names and most values, are copied into the
// object itself instead of a new string.
class utf8_text {
 public:
  explicit utf8_text(std::u16string_view text) {
    if (text.size() < sizeof short_) {
      char16_t seen = 0;
      for (size_t i = 0; i < text.size(); ++i) {
        seen |= text[i];
        short_[i] = static_cast<char>(text[i]);
      }
      if (seen < 0x80) {
        short_[text.size()] = '\0';
        view_ = {short_, text.size()};
        return;
      }
    }
    long_ = comrt::to_utf8(text);
    view_ = long_;
  }
  // A NUL-terminated text, copied in the same pass that finds its end.
  explicit utf8_text(LPCOLESTR text) {
    size_t i = 0;
    for (; text[i] && text[i] < 0x80 && i + 1 < sizeof short_; ++i) short_[i] = static_cast<char>(text[i]);
    if (text[i]) {
      long_ = comrt::to_utf8(std::u16string_view(text));
      view_ = long_;
    } else {
      short_[i] = '\0';
      view_ = {short_, i};
    }
  }
  utf8_text(const utf8_text&) = delete;
  utf8_text& operator=(const utf8_text&) = delete;
  std::string_view view() const noexcept { return view_; }
  const char* c_str() const noexcept { return view_.data(); }  // NUL-terminated

 private:
  char short_[128];
  std::string long_;
  std::string_view view_;
};

// A value as the text the DOM gives it: integers as decimal numbers, anything else as its
// conversion to a string.
std::string text_of(const VARIANT& value) {
  char buf[24];
  auto number = [&](auto n) { return std::string(buf, std::to_chars(buf, buf + sizeof buf, n).ptr); };
  switch (value.vt) {
    case VT_I4: return number(value.lVal);
    case VT_UI8: return number(value.ullVal);
    case VT_UI2: return number(value.uiVal);
    case VT_BSTR: return comrt::to_utf8(comrt::bstr_view(value.bstrVal));
    default: return comrt::to_utf8(comrt::bstr_view(variant(value).converted(VT_BSTR).bstrVal));
  }
}

// The text of an element: a view of its one text node, which is what elements nearly always hold,
// or the text below it gathered into `scratch`.
std::string_view element_text(const pugi::xml_node& element, std::string& scratch) {
  const pugi::xml_node first = element.first_child();
  if (first && !first.next_sibling() && first.type() == pugi::node_pcdata) return first.value();
  scratch = comrt::xml::descendant_text(element);
  return scratch;
}

BSTR bstr_of(std::string_view text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return bstr(comrt::to_utf16(text)).detach();
  }
  BSTR out = SysAllocStringLen(nullptr, static_cast<UINT>(text.size()));
  if (!out) throw std::bad_alloc();
  std::copy(text.begin(), text.end(), out);
  return out;
}

// Reads a text of plain decimal digits (a sign for VT_I4) that surely fits into a VT_I4 or VT_UI8
// value of the same type: the number that converting the text would give. False for any other
// text or type, which take the general conversion.
bool set_plain_integer(std::string_view text, VARIANT& value) {
  const bool negative = value.vt == VT_I4 && !text.empty() && text[0] == '-';
  const std::string_view digits = negative ? text.substr(1) : text;
  const size_t max_digits = value.vt == VT_I4 ? 9 : value.vt == VT_UI8 ? 19 : 0;
  if (digits.empty() || digits.size() > max_digits) return false;
  uint64_t n = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + static_cast<unsigned>(c - '0');
  }
  if (value.vt == VT_I4) {
    value.lVal = negative ? -static_cast<int32_t>(n) : static_cast<int32_t>(n);
  } else {
    value.ullVal = n;
  }
  return true;
}

// "<prefix>YYYY-MM-DDThh:mm:ss<suffix>", the form "%04u-%02u-%02uT%02u:%02u:%02u" gives a year
// below 10000 and five numbers below 100; prefix and suffix have one character at most.
std::string_view date_form(char (&buf)[20], std::string_view prefix, const std::array<unsigned, 6>& fields,
                           std::string_view suffix) {
  static constexpr char kSeparators[] = "--T::";
  char* p = std::copy(prefix.begin(), prefix.end(), buf);
  const auto digits = [&](unsigned n, int width) {
    for (int i = width - 1; i >= 0; --i, n /= 10) p[i] = static_cast<char>('0' + n % 10);
    p += width;
  };
  digits(fields[0], 4);
  for (size_t i = 1; i < fields.size(); ++i) {
    *p++ = kSeparators[i - 1];
    digits(fields[i], 2);
  }
  p = std::copy(suffix.begin(), suffix.end(), p);
  return {buf, static_cast<size_t>(p - buf)};
}

// Puts `read` into `value`, converted to the type `value` has unless that is VT_EMPTY; `value`
// changes only on success.
HRESULT assign(variant& read, VARIANT& value) {
  if (value.vt != VT_EMPTY) {
    if (const HRESULT hr = VariantChangeType(&read, &read, 0, value.vt); FAILED(hr)) return hr;
  }
  check_hresult(VariantClear(&value));
  value = read.detach();
  return S_OK;
}

// assign for the text of an element, which plain integers skip.
HRESULT assign_text(std::string_view text, VARIANT& value) {
  if (set_plain_integer(text, value)) return S_OK;
  variant read;
  read.vt = VT_BSTR;
  read.bstrVal = bstr_of(text);
  return assign(read, value);
}

// Reads the six numbers of a text that starts exactly as date_form writes it (what anything else
// gives is left to the general scan); false for any other text.
bool scan_date_form(std::string_view text, std::string_view prefix, unsigned (&fields)[6]) {
  static constexpr char kForm[] = "dddd-dd-ddTdd:dd:dd";
  if (text.substr(0, prefix.size()) != prefix) return false;
  text.remove_prefix(prefix.size());
  if (text.size() < sizeof kForm - 1) return false;
  unsigned field = 0, n = 0;
  for (size_t i = 0; i < sizeof kForm - 1; ++i) {
    const char c = text[i];
    if (kForm[i] != 'd') {
      if (c != kForm[i]) return false;
      fields[field++] = n;
      n = 0;
    } else if (c >= '0' && c <= '9') {
      n = n * 10 + static_cast<unsigned>(c - '0');
    } else {
      return false;
    }
  }
  fields[field] = n;
  return true;
}

void check(bool modified) {
  if (!modified) throw std::bad_alloc();  // pugixml fails its modifications only for want of memory
}

constexpr uint64_t kSecondsPerYear = 31'536'000;  // 365 days
constexpr uint64_t kSecondsPerMonth = 2'592'000;  // 30 days

}  // namespace

HRESULT serialize_object(IXMLArchiveSerializable* object, IXMLArchive* archive, IXMLDOMNode* node) noexcept {
  return comrt::boundary([&] { return object->Serialize(archive, node); });
}

std::vector<object_element> object_elements(IXMLDOMNode* parent, std::u16string_view name) {
  std::vector<object_element> found;
  if (!parent) return found;
  com_ptr<IXMLDOMNativeNode> native;
  if (SUCCEEDED(parent->QueryInterface(IID_IXMLDOMNativeNode, native.put_void())) && native->native_element()) {
    const std::string wanted = comrt::to_utf8(name);
    for (const pugi::xml_node& child : native->native_element().children()) {
      if (child.type() != pugi::node_element || wanted != child.name()) continue;
      const pugi::xml_attribute clsid = child.attribute("clsid");
      if (!clsid) continue;
      com_ptr<IXMLDOMNode> node;
      check_hresult(native->element_node(child, node.put()));
      object_element e{std::move(node), S_OK, CLSID_NULL};
      // Braced identifiers, which is what the archive writes, are read without widening the text.
      if (const auto id = comrt::parse_guid(std::string_view(clsid.value()))) {
        e.clsid = *id;
      } else {
        e.status = CLSIDFromString(comrt::to_utf16(clsid.value()).c_str(), &e.clsid);
      }
      found.push_back(std::move(e));
    }
    return found;
  }
  const bstr clsid_name(u"clsid");
  com_ptr<IXMLDOMNode> child;
  check_hresult(parent->get_firstChild(child.put()));
  while (child) {
    DOMNodeType type = NODE_INVALID;
    check_hresult(child->get_nodeType(&type));
    bstr child_name;
    if (type == NODE_ELEMENT && SUCCEEDED(child->get_nodeName(child_name.put())) && child_name.view() == name) {
      com_ptr<IXMLDOMNamedNodeMap> attributes;
      com_ptr<IXMLDOMNode> clsid;
      check_hresult(child->get_attributes(attributes.put()));
      if (attributes && attributes->getNamedItem(clsid_name.get(), clsid.put()) == S_OK) {
        variant text;
        check_hresult(clsid->get_nodeValue(text.put()));
        text.change_type(VT_BSTR);
        object_element e{child, S_OK, CLSID_NULL};
        e.status = CLSIDFromString(text.bstrVal, &e.clsid);
        found.push_back(std::move(e));
      }
    }
    com_ptr<IXMLDOMNode> next;
    check_hresult(child->get_nextSibling(next.put()));
    child = std::move(next);
  }
  return found;
}

std::string base64_lines(const unsigned char* data, size_t size) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((size + 2) / 3 * 4 + size / 57 * 2);
  for (size_t i = 0; i < size; i += 3) {
    const uint32_t b0 = data[i];
    const uint32_t b1 = i + 1 < size ? data[i + 1] : 0;
    const uint32_t b2 = i + 2 < size ? data[i + 2] : 0;
    const uint32_t group = b0 << 16 | b1 << 8 | b2;
    out += kAlphabet[group >> 18];
    out += kAlphabet[(group >> 12) & 63];
    out += i + 1 < size ? kAlphabet[(group >> 6) & 63] : '=';
    out += i + 2 < size ? kAlphabet[group & 63] : '=';
    // 57 bytes make one line of 76 characters.
    if ((i + 3) % 57 == 0) out += "\r\n";
  }
  return out;
}

HRESULT CXMLArchive::FinalConstruct() {
  check_hresult(CoCreateInstance(CLSID_DOMDocument60, nullptr, CLSCTX_ALL, IID_IXMLDOMDocument2,
                                 document_.put_void()));
  check_hresult(document_->put_async(VARIANT_FALSE));
  check_hresult(document_->put_preserveWhiteSpace(VARIANT_TRUE));
  return document_->setProperty(bstr(u"NewParser").get(), variant(true));
}

std::u16string CXMLArchive::load_failure() const {
  com_ptr<IXMLDOMParseError> error;
  bstr reason;
  if (!document_ || FAILED(document_->get_parseError(error.put())) || FAILED(error->get_reason(reason.put()))) {
    return {};
  }
  std::u16string text = reason.str();
  LONG line = 0, column = 0;
  if (!text.empty() && SUCCEEDED(error->get_line(&line)) && SUCCEEDED(error->get_linepos(&column)) && line > 0) {
    text += comrt::to_utf16(" (line " + std::to_string(line) + ", column " + std::to_string(column) + ")");
  }
  return text;
}

IXMLDOMNativeNode* CXMLArchive::native(IXMLDOMNode* parent) {
  if (parent != native_parent_.get()) {
    native_ = nullptr;
    native_parent_ = com_ptr<IXMLDOMNode>(parent);
    com_ptr<IXMLDOMNativeNode> n;
    // Only elements: the document takes one element and is written to only once.
    if (parent && SUCCEEDED(parent->QueryInterface(IID_IXMLDOMNativeNode, n.put_void())) && n->native_element())
      native_ = std::move(n);
  }
  return native_.get();
}

pugi::xml_node CXMLArchive::take_native(IXMLDOMNativeNode* parent, LPCOLESTR name) {
  if (!name) return {};
  const utf8_text wanted(name);
  for (pugi::xml_node child = parent->native_element().first_child(); child; child = child.next_sibling()) {
    if (child.type() == pugi::node_element && std::strcmp(child.name(), wanted.c_str()) == 0) {
      check(static_cast<bool>(parent->detached().append_move(child)));
      return child;
    }
  }
  return {};
}

pugi::xml_node CXMLArchive::append_native(IXMLDOMNativeNode* parent, LPCOLESTR name) {
  if (!name) comrt::throw_hresult(E_INVALIDARG);
  const utf8_text n(name);
  if (!comrt::xml::is_name(n.view())) comrt::throw_hresult(E_INVALIDARG);
  pugi::xml_node element = parent->native_element().append_child(pugi::node_element);
  check(element && element.set_name(n.c_str()));
  return element;
}

com_ptr<IXMLDOMNode> CXMLArchive::take_element(IXMLDOMNode* parent, LPCOLESTR name) {
  IXMLDOMNativeNode* n = native(parent);
  if (!n) return take_child(parent, name);
  const pugi::xml_node child = take_native(n, name);
  com_ptr<IXMLDOMNode> node;
  if (child) check_hresult(n->element_node(child, node.put()));
  return node;
}

HRESULT CXMLArchive::store_text(IXMLDOMNode* parent, LPCOLESTR name, std::string_view text) {
  if (IXMLDOMNativeNode* n = native(parent)) {
    // The text of an element without children becomes its one text node, also when empty.
    check(append_native(n, name).append_child(pugi::node_pcdata).set_value(text.data(), text.size()));
    return S_OK;
  }
  com_ptr<IXMLDOMElement> element;
  check_hresult(document_->createElement(bstr(name).get(), element.put()));
  check_hresult(element->put_text(bstr(comrt::to_utf16(text)).get()));
  return parent->appendChild(element.get(), nullptr);
}

HRESULT CXMLArchive::store_value(IXMLDOMNode* parent, LPCOLESTR name, const VARIANT& value, DWORD flags) {
  const std::string text = (flags & XMLARCHIVE_FLAG_BASE64) && value.vt == VT_BSTR
                               ? base64_lines(reinterpret_cast<const unsigned char*>(value.bstrVal),
                                              SysStringByteLen(value.bstrVal))
                               : text_of(value);
  if (!(flags & XMLARCHIVE_FLAG_VT)) return store_text(parent, name, text);
  if (IXMLDOMNativeNode* n = native(parent)) {
    pugi::xml_node element = append_native(n, name);
    check(element.append_child(pugi::node_pcdata).set_value(text.data(), text.size()));
    check(element.append_attribute("vt").set_value(static_cast<unsigned>(value.vt)));
    return S_OK;
  }
  com_ptr<IXMLDOMElement> element;
  check_hresult(document_->createElement(bstr(name).get(), element.put()));
  check_hresult(element->put_text(bstr(comrt::to_utf16(text)).get()));
  check_hresult(element->setAttribute(bstr(u"vt").get(), variant(static_cast<uint16_t>(value.vt))));
  return parent->appendChild(element.get(), nullptr);
}

HRESULT CXMLArchive::load_text(IXMLDOMNode* parent, LPCOLESTR name, std::string& scratch, std::string_view& text) {
  comrt::check_pointer(parent);
  if (IXMLDOMNativeNode* n = native(parent)) {
    const pugi::xml_node child = take_native(n, name);
    if (!child) return E_FAIL;
    text = element_text(child, scratch);
    return S_OK;
  }
  const com_ptr<IXMLDOMNode> child = take_child(parent, name);
  if (!child) return E_FAIL;
  bstr read;
  check_hresult(child->get_text(read.put()));
  scratch = comrt::to_utf8(read.view());
  text = scratch;
  return S_OK;
}

HRESULT CXMLArchive::load_value(IXMLDOMNode* parent, LPCOLESTR name, VARIANT* value) {
  if (IXMLDOMNativeNode* n = native(parent)) {
    const pugi::xml_node child = take_native(n, name);
    if (!child) return E_FAIL;
    std::string scratch;
    return assign_text(element_text(child, scratch), *value);
  }
  const com_ptr<IXMLDOMNode> child = take_child(parent, name);
  if (!child) return E_FAIL;
  variant read;
  check_hresult(child->get_nodeTypedValue(read.put()));
  return assign(read, *value);
}

CXMLArchive* CXMLArchive::direct(IXMLArchive* archive, IXMLDOMNode* parent) {
  // The class is final, so its objects are exactly those whose dynamic type is this class.
  if (!archive || typeid(*archive) != typeid(CXMLArchive)) return nullptr;
  auto* own = static_cast<CXMLArchive*>(archive);
  return own->native(parent) ? own : nullptr;
}

template <class T>
HRESULT CXMLArchive::exchange_typed(IXMLDOMNode* parent, LPCOLESTR name, T& value) {
  return comrt::boundary([&]() -> HRESULT {
    IXMLDOMNativeNode* n = native(parent);
    if (!n) return E_INVALIDARG;
    constexpr bool is_text = std::is_same_v<T, std::u16string>;
    if (IsStoring() == S_OK) {
      if constexpr (is_text) {
        return store_text(parent, name, utf8_text(value).view());
      } else {
        char buf[24];
        return store_text(parent, name, {buf, std::to_chars(buf, buf + sizeof buf, value).ptr});
      }
    }
    const pugi::xml_node child = take_native(n, name);
    if (!child) return E_FAIL;
    std::string scratch;
    const std::string_view text = element_text(child, scratch);
    if constexpr (is_text) {
      value = comrt::to_utf16(text);
    } else {
      variant read(value);
      if (const HRESULT hr = assign_text(text, read); FAILED(hr)) return hr;
      if constexpr (std::is_same_v<T, LONG>) {
        value = read.lVal;
      } else {
        value = read.ullVal;
      }
    }
    return S_OK;
  });
}

HRESULT CXMLArchive::exchange(IXMLDOMNode* parent, LPCOLESTR name, std::u16string& value) {
  return exchange_typed(parent, name, value);
}
HRESULT CXMLArchive::exchange(IXMLDOMNode* parent, LPCOLESTR name, LONG& value) {
  return exchange_typed(parent, name, value);
}
HRESULT CXMLArchive::exchange(IXMLDOMNode* parent, LPCOLESTR name, ULONGLONG& value) {
  return exchange_typed(parent, name, value);
}

HRESULT CXMLArchive::ExchangeValue(IXMLDOMNode* pParent, LPCOLESTR pszName, VARIANT* pValue) {
  return ExchangeValueEx(pParent, pszName, pValue, 0);
}

HRESULT CXMLArchive::ExchangeValueEx(IXMLDOMNode* pParent, LPCOLESTR pszName, VARIANT* pValue, DWORD dwFlags) {
  return comrt::boundary([&] {
    comrt::check_pointer(pParent);
    comrt::check_pointer(pValue);
    if (IsStoring() == S_OK) return store_value(pParent, pszName, *pValue, dwFlags);
    return load_value(pParent, pszName, pValue);
  });
}

HRESULT CXMLArchive::ExchangeGuid(IXMLDOMNode* pParent, LPCOLESTR pszName, GUID* pGuid) {
  return comrt::boundary([&] {
    comrt::check_pointer(pParent);
    comrt::check_pointer(pGuid);
    if (IsStoring() == S_OK) {
      char text[comrt::guid_text_size];
      comrt::format_guid(*pGuid, text);
      return store_text(pParent, pszName, {text, comrt::guid_text_length});
    }
    std::string scratch;
    std::string_view text;
    check_hresult(load_text(pParent, pszName, scratch, text));
    return CLSIDFromString(comrt::to_utf16(text).c_str(), pGuid);
  });
}

HRESULT CXMLArchive::load_fields(IXMLDOMNode* parent, LPCOLESTR name, const char* prefix, unsigned (&fields)[6],
                                 bool& scanned) {
  std::string scratch;
  std::string_view text;  // ends where a NUL follows
  if (const HRESULT hr = load_text(parent, name, scratch, text); FAILED(hr)) return hr;
  const std::string format = std::string(prefix) + "%4u-%2u-%2uT%2u:%2u:%2u";
  scanned = scan_date_form(text, prefix, fields) ||
            std::sscanf(text.data(), format.c_str(), &fields[0], &fields[1], &fields[2], &fields[3], &fields[4],
                        &fields[5]) == 6;
  return S_OK;
}

HRESULT CXMLArchive::ExchangeTime(IXMLDOMNode* pParent, LPCOLESTR pszName, ULONGLONG* pValue) {
  return comrt::boundary([&] {
    comrt::check_pointer(pValue);
    if (IsStoring() == S_OK) {
      // Unsigned arithmetic on purpose: a negative time stored in the unsigned value comes out as a
      // date before 1970, which reading leaves alone.
      const uint64_t ticks = (*pValue + static_cast<uint64_t>(comrt::seconds_1601_to_1970)) * comrt::ticks_per_second;
      const auto st = comrt::ticks_to_systemtime(ticks);
      if (!st) return E_FAIL;
      if (st->wYear > 9999) return E_FAIL;  // does not fit the four digits of the form
      char buf[20];
      const std::string_view text =
          date_form(buf, "", {st->wYear, st->wMonth, st->wDay, st->wHour, st->wMinute, st->wSecond}, "Z");
      comrt::check_pointer(pParent);
      return store_text(pParent, pszName, text);
    }
    unsigned f[6] = {};
    bool scanned = false;
    if (const HRESULT hr = load_fields(pParent, pszName, "", f, scanned); FAILED(hr)) return hr;
    if (!scanned) return S_OK;
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(f[0]);
    st.wMonth = static_cast<WORD>(f[1]);
    st.wDay = static_cast<WORD>(f[2]);
    st.wHour = static_cast<WORD>(f[3]);
    st.wMinute = static_cast<WORD>(f[4]);
    st.wSecond = static_cast<WORD>(f[5]);
    const bool fits = f[0] <= 0xFFFF && f[1] <= 0xFFFF && f[2] <= 0xFFFF && f[3] <= 0xFFFF && f[4] <= 0xFFFF &&
                      f[5] <= 0xFFFF;
    const auto ticks = fits ? comrt::systemtime_to_ticks(st) : std::nullopt;
    if (ticks && *ticks >= comrt::unix_epoch_ticks) *pValue = (*ticks - comrt::unix_epoch_ticks) / comrt::ticks_per_second;
    return S_OK;
  });
}

HRESULT CXMLArchive::ExchangeTimeSpan(IXMLDOMNode* pParent, LPCOLESTR pszName, ULONGLONG* pValue) {
  return comrt::boundary([&] {
    comrt::check_pointer(pValue);
    if (IsStoring() == S_OK) {
      uint64_t r = *pValue;
      const uint64_t years = r / kSecondsPerYear;
      r -= years * kSecondsPerYear;
      const uint64_t months = r / kSecondsPerMonth;
      r -= months * kSecondsPerMonth;
      const uint64_t days = r / 86400;
      r -= days * 86400;
      const uint64_t hours = r / 3600;
      r -= hours * 3600;
      const uint64_t minutes = r / 60;
      const uint64_t seconds = r - minutes * 60;
      if (years > 9999) return E_FAIL;  // does not fit the four digits of the form
      char buf[20];
      const std::string_view text =
          date_form(buf, "P", {static_cast<unsigned>(years), static_cast<unsigned>(months), static_cast<unsigned>(days),
                               static_cast<unsigned>(hours), static_cast<unsigned>(minutes),
                               static_cast<unsigned>(seconds)}, "");
      comrt::check_pointer(pParent);
      return store_text(pParent, pszName, text);
    }
    unsigned f[6] = {};
    bool scanned = false;
    if (const HRESULT hr = load_fields(pParent, pszName, "P", f, scanned); FAILED(hr)) return hr;
    if (scanned) {
      const uint64_t days = f[2] + 30ull * f[1] + 365ull * f[0];
      *pValue = ((days * 24 + f[3]) * 60 + f[4]) * 60 + f[5];
    }
    return S_OK;
  });
}

namespace {

// The object's serialisation interface, or null when it has none.
com_ptr<IXMLArchiveSerializable> serializable_of(IUnknown* object) {
  com_ptr<IXMLArchiveSerializable> serializable;
  if (object) object->QueryInterface(IID_IXMLArchiveSerializable, serializable.put_void());
  return serializable;
}

// The class the object names through IPersist, written as its "clsid" attribute.
std::optional<CLSID> class_of(IUnknown* object) {
  com_ptr<IPersist> persist;
  CLSID clsid;
  if (SUCCEEDED(object->QueryInterface(IID_IPersist, persist.put_void())) && persist->GetClassID(&clsid) == S_OK) return clsid;
  return std::nullopt;
}

}  // namespace

HRESULT CXMLArchive::ExchangeObject(IXMLDOMNode* pParent, LPCOLESTR pszName, IUnknown* pObject) {
  return comrt::boundary([&]() -> HRESULT {
    comrt::check_pointer(pParent);
    if (IsStoring() == S_OK) {
      // The element is made first: an object that cannot be written leaves it empty.
      com_ptr<IXMLDOMNode> element;
      com_ptr<IXMLArchiveSerializable> serializable;
      if (IXMLDOMNativeNode* n = native(pParent)) {
        pugi::xml_node made = append_native(n, pszName);
        serializable = serializable_of(pObject);
        if (!serializable) return E_FAIL;
        if (const auto clsid = class_of(pObject)) {
          check(made.append_attribute("clsid").set_value(clsid_text(*clsid)));
        }
        check_hresult(n->element_node(made, element.put()));
      } else {
        com_ptr<IXMLDOMElement> made;
        check_hresult(document_->createElement(bstr(pszName).get(), made.put()));
        check_hresult(pParent->appendChild(made.get(), nullptr));
        serializable = serializable_of(pObject);
        if (!serializable) return E_FAIL;
        if (const auto clsid = class_of(pObject)) {
          com_ptr<IXMLDOMNode> attribute;
          check_hresult(document_->createNode(variant(static_cast<int32_t>(NODE_ATTRIBUTE)), bstr(u"clsid").get(),
                                              bstr(u"").get(), attribute.put()));
          check_hresult(attribute->put_nodeValue(variant(comrt::to_u16string(*clsid))));
          com_ptr<IXMLDOMNamedNodeMap> attributes;
          check_hresult(made->get_attributes(attributes.put()));
          check_hresult(attributes->setNamedItem(attribute.get(), nullptr));
        }
        element = made;
      }
      return serialize_object(serializable.get(), this, element.get());
    }
    const com_ptr<IXMLDOMNode> child = take_element(pParent, pszName);
    if (!child) return E_FAIL;
    const auto serializable = serializable_of(pObject);
    if (!serializable) return E_FAIL;
    return serialize_object(serializable.get(), this, child.get());
  });
}

const char* CXMLArchive::clsid_text(const CLSID& clsid) {
  for (class_text& known : class_texts_) {
    if (known.clsid == clsid) return known.text;
  }
  class_text& slot = class_texts_[next_class_text_++ % class_texts_.size()];
  slot.clsid = clsid;
  comrt::format_guid(clsid, slot.text);
  return slot.text;
}

HRESULT CXMLArchive::GetChildNode(IXMLDOMNode* pParent, LPCOLESTR pszName, IXMLDOMNode** ppNode) {
  return comrt::boundary([&]() -> HRESULT {
    comrt::init_out(ppNode);
    comrt::check_pointer(pParent);
    if (IsStoring() == S_OK) {
      if (IXMLDOMNativeNode* n = native(pParent)) return n->element_node(append_native(n, pszName), ppNode);
      com_ptr<IXMLDOMElement> element;
      check_hresult(document_->createElement(bstr(pszName).get(), element.put()));
      check_hresult(pParent->appendChild(element.get(), nullptr));
      *ppNode = element.as<IXMLDOMNode>().detach();
      return S_OK;
    }
    com_ptr<IXMLDOMNode> child = take_element(pParent, pszName);
    if (!child) return E_FAIL;
    *ppNode = child.detach();
    return S_OK;
  });
}

HRESULT CXMLArchive::SetMode(LONG lMode) {
  mode_ = lMode;
  return S_OK;
}

HRESULT CXMLArchive::GetMode(LONG* plMode) {
  if (!plMode) return E_POINTER;
  *plMode = mode_;
  return S_OK;
}

HRESULT CXMLArchive::SetUserValue(LONG lValue) {
  user_value_ = lValue;
  return S_OK;
}

HRESULT CXMLArchive::GetUserValue(LONG* plValue) {
  if (!plValue) return E_POINTER;
  *plValue = user_value_;
  return S_OK;
}

HRESULT CXMLArchive::PutPreserveWhiteSpace(VARIANT_BOOL bPreserve) {
  return document_->put_preserveWhiteSpace(bPreserve);
}

HRESULT CXMLArchive::GetPreserveWhiteSpace(VARIANT_BOOL* pbPreserve) {
  return document_->get_preserveWhiteSpace(pbPreserve);
}

HRESULT CXMLArchive::IsLoading() { return mode_ == XMLARCHIVE_MODE_LOAD ? S_OK : S_FALSE; }

HRESULT CXMLArchive::IsStoring() { return mode_ == XMLARCHIVE_MODE_STORE ? S_OK : S_FALSE; }

HRESULT CXMLArchive::GetDocument(IXMLDOMDocument** ppDocument) {
  if (!ppDocument) return E_POINTER;
  return document_->QueryInterface(IID_IXMLDOMDocument, reinterpret_cast<void**>(ppDocument));
}

HRESULT CXMLArchive::CreateDocument(LPCOLESTR pszComment, IXMLDOMNode** ppRoot) {
  return comrt::boundary([&] {
    comrt::init_out(ppRoot);
    com_ptr<IXMLDOMProcessingInstruction> declaration;
    check_hresult(
        document_->createProcessingInstruction(bstr(u"xml").get(), bstr(u"version=\"1.0\"").get(), declaration.put()));
    check_hresult(document_->appendChild(declaration.get(), nullptr));
    if (pszComment && *pszComment) {
      com_ptr<IXMLDOMComment> comment;
      check_hresult(document_->createComment(bstr(pszComment).get(), comment.put()));
      check_hresult(document_->appendChild(comment.get(), nullptr));
    }
    *ppRoot = document_.as<IXMLDOMNode>().detach();
  });
}

HRESULT CXMLArchive::Save(VARIANT varDestination) {
  if (varDestination.vt == VT_EMPTY) return E_INVALIDARG;
  if (!document_) return E_FAIL;
  return document_->save(varDestination);
}

HRESULT CXMLArchive::Load(VARIANT varSource, IXMLDOMNode** ppRoot) {
  return comrt::boundary([&]() -> HRESULT {
    comrt::init_out(ppRoot);
    if (varSource.vt == VT_EMPTY) return E_INVALIDARG;
    if (!document_) return E_FAIL;
    VARIANT_BOOL loaded = VARIANT_FALSE;
    check_hresult(document_->load(varSource, &loaded));
    if (loaded != VARIANT_TRUE) return E_FAIL;
    com_ptr<IXMLDOMNode> last;
    check_hresult(document_->get_lastChild(last.put()));
    if (!last) return E_FAIL;
    bstr name;
    check_hresult(last->get_nodeName(name.put()));
    // A document may wrap its content in a final node named "Root" (any case).
    *ppRoot = equals_ignoring_case(name.view(), u"Root") ? last.detach() : document_.as<IXMLDOMNode>().detach();
    return S_OK;
  });
}

// ---------------------------------------------------------------------------------------------

HRESULT CXMLDataExchange::ExchangeValue(LPCOLESTR name, VARIANT* value) {
  const bool storing = archive_->IsStoring() == S_OK;
  if (storing && value->vt == VT_BOOL && value->boolVal == VARIANT_TRUE) {
    value->vt = VT_I4;
    value->lVal = 1;
  }
  const HRESULT hr = archive_->ExchangeValue(node_.get(), name, value);
  if (!storing && hr == S_OK && value->vt == VT_BOOL && value->boolVal == 1) value->boolVal = VARIANT_TRUE;
  return hr;
}

template <class T, class V>
HRESULT CXMLDataExchange::exchange_as(LPCOLESTR name, T& value, V as_variant) {
  if (direct_) return direct_->exchange(node_.get(), name, value);
  return comrt::boundary([&] {
    const bool load = loading();
    variant v = as_variant(load);
    const HRESULT hr = ExchangeValue(name, &v);
    if (hr == S_OK && load) {
      if constexpr (std::is_same_v<T, std::u16string>) {
        value = std::u16string(comrt::bstr_view(v.bstrVal));
      } else if constexpr (std::is_same_v<T, LONG>) {
        value = v.lVal;
      } else {
        value = v.ullVal;
      }
    }
    return hr;
  });
}

HRESULT CXMLDataExchange::ExchangeString(LPCOLESTR name, std::u16string& value) {
  return exchange_as(name, value, [&](bool load) { return load ? variant(bstr(u"")) : variant(value); });
}

HRESULT CXMLDataExchange::ExchangeFileTime(LPCOLESTR name, ULONGLONG& value) {
  return exchange_as(name, value, [&](bool) { return variant(static_cast<uint64_t>(value)); });
}

HRESULT CXMLDataExchange::ExchangeLong(LPCOLESTR name, LONG& value) {
  return exchange_as(name, value, [&](bool) { return variant(static_cast<int32_t>(value)); });
}

HRESULT CXMLDataExchange::ExchangeFlag(LPCOLESTR name, VARIANT_BOOL& value) {
  LONG number = value == VARIANT_TRUE ? 1 : 0;
  const HRESULT hr = ExchangeLong(name, number);
  if (hr == S_OK && loading()) value = number ? VARIANT_TRUE : VARIANT_FALSE;
  return hr;
}

}  // namespace tolvane
