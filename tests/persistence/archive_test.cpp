// The archive's exchange operations in both directions, on documents built in memory.
#include "persistence_doubles.h"

namespace {

using comrt::bstr;
using comrt::com_ptr;
using comrt::variant;

class ArchiveTest : public ::testing::Test {
 protected:
  // Load mode, over the element <r> holding `inner`.
  com_ptr<IXMLDOMNode> reading(const std::string& inner) {
    VARIANT_BOOL ok = VARIANT_FALSE;
    EXPECT_EQ(doc->loadXML(bstr(comrt::to_utf16("<r>" + inner + "</r>")).get(), &ok), S_OK);
    archive->SetMode(XMLARCHIVE_MODE_LOAD);
    com_ptr<IXMLDOMNode> r;
    doc->selectSingleNode(bstr(u"r").get(), r.put());
    return r;
  }
  // Store mode: runs `write` on a new element <r> and returns what it became.
  template <class F>
  std::u16string written(F&& write) {
    archive->SetMode(XMLARCHIVE_MODE_STORE);
    com_ptr<IXMLDOMElement> r;
    doc->createElement(bstr(u"r").get(), r.put());
    write(r.as<IXMLDOMNode>().get());
    bstr xml;
    r->get_xml(xml.put());
    return xml.str();
  }

  com_ptr<tolvane::CXMLArchive> archive = comrt::make<tolvane::CXMLArchive>();
  com_ptr<IXMLDOMDocument2> doc = [this] {
    com_ptr<IXMLDOMDocument> d;
    EXPECT_EQ(archive->GetDocument(d.put()), S_OK);
    return d.as<IXMLDOMDocument2>();
  }();
};

TEST(Base64, CutsLinesAfterEveryFiftySevenBytes) {
  // "x" stands for one group "YWFh" of three a's.
  struct row { size_t bytes; std::string expected; } rows[] = {
      {0, ""}, {2, "YWE="}, {57, std::string(19, 'x') + "\r\n"}, {58, std::string(19, 'x') + "\r\nYQ=="},
      {114, std::string(19, 'x') + "\r\n" + std::string(19, 'x') + "\r\n"}};
  for (auto& r : rows) {
    std::string expected, input(r.bytes, 'a');
    for (char c : r.expected) expected += c == 'x' ? std::string("YWFh") : std::string(1, c);
    EXPECT_EQ(tolvane::base64_lines(reinterpret_cast<const unsigned char*>(input.data()), r.bytes), expected) << r.bytes;
  }
}

// Times written as UTC dates and periods in their units, read back from their six numbers; what
// cannot be written fails and writes nothing, what cannot be read leaves the value alone.
TEST_F(ArchiveTest, TimesAndPeriods) {
  constexpr uint64_t kUnchanged = 777;
  // write_only: written but not read back; no text: the write fails.
  enum way { round_trip, write_only, read_only };
  struct row { bool period; uint64_t value; const char* text; way how; } rows[] = {
      {false, 0, "1970-01-01T00:00:00Z", round_trip}, {false, 1714550401, "2024-05-01T08:00:01Z", round_trip},
      {false, static_cast<uint64_t>(-3600), "1969-12-31T23:00:00Z", write_only},
      {false, 253402300800ull, "", write_only}, {true, 86399, "P0000-00-00T23:59:59", round_trip},
      {true, 2592000, "P0000-01-00T00:00:00", round_trip}, {true, 34218061, "P0001-01-01T01:01:01", round_trip},
      {true, 315360000000ull, "", write_only}, {false, 1714550400, "2024-05-01T08:00:00", read_only},
      {false, 1714550400, "2024-05-01T08:00:00+02:00", read_only},
      {false, kUnchanged, "2024-13-01T08:00:00Z", read_only}, {false, kUnchanged, "2023-02-29T08:00:00Z", read_only},
      {false, kUnchanged, "yesterday", read_only}, {true, 60, "P0000-00-00T00:00:60", read_only},
      {true, kUnchanged, "P0000-00-01", read_only}};
  auto exchange = [&](const row& r, IXMLDOMNode* node, ULONGLONG* v) {
    return r.period ? archive->ExchangeTimeSpan(node, u"T", v) : archive->ExchangeTime(node, u"T", v);
  };
  for (const row& r : rows) {
    ULONGLONG v = r.value;
    if (r.how != read_only) {
      HRESULT hr = S_OK;
      EXPECT_EQ(written([&](IXMLDOMNode* node) { hr = exchange(r, node, &v); }),
                *r.text ? u"<r><T>" + comrt::to_utf16(r.text) + u"</T></r>" : u"<r/>") << r.value;
      EXPECT_EQ(hr, *r.text ? S_OK : E_FAIL) << r.value;
    }
    if (!*r.text) continue;
    v = kUnchanged;
    EXPECT_EQ(exchange(r, reading(std::string("<T>") + r.text + "</T>").get(), &v), S_OK) << r.text;
    EXPECT_EQ(v, r.how == write_only ? kUnchanged : r.value) << r.text;
  }
}

TEST_F(ArchiveTest, ValuesAndGuidsAreConvertedOrKeptAndMissingElementsFail) {
  const auto node = reading("<A>42</A><B>abc</B><C>42</C><Id>{0946e232-81ea-4df2-b7db-caf900e0d209}</Id>"
                            "<Bad>nonsense</Bad>");
  variant a(int32_t{7}), b(int32_t{7}), c;
  EXPECT_EQ(archive->ExchangeValue(node.get(), u"A", &a), S_OK);
  EXPECT_EQ(std::pair(a.vt, a.lVal), std::pair(VARTYPE{VT_I4}, LONG{42}));
  EXPECT_EQ(archive->ExchangeValue(node.get(), u"B", &b), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(std::pair(b.vt, b.lVal), std::pair(VARTYPE{VT_I4}, LONG{7})) << "kept";
  EXPECT_EQ(archive->ExchangeValue(node.get(), u"B", &b), E_FAIL) << "the element is removed even so";
  EXPECT_EQ(archive->ExchangeValue(node.get(), u"C", &c), S_OK);
  ASSERT_EQ(c.vt, VT_BSTR);
  EXPECT_EQ(comrt::bstr_view(c.bstrVal), u"42");
  GUID id{};
  EXPECT_EQ(archive->ExchangeGuid(node.get(), u"Id", &id), S_OK);
  EXPECT_EQ(id, CLSID_Scheduler);
  EXPECT_EQ(archive->ExchangeGuid(node.get(), u"Bad", &id), CO_E_CLASSSTRING);
  ULONGLONG t = 0;
  EXPECT_EQ(archive->ExchangeTime(node.get(), u"T", &t), E_FAIL) << "missing";
}

// The component's own objects exchange values through typed calls; these read and write exactly
// what ExchangeValue does with a VARIANT of the same type.
TEST_F(ArchiveTest, TypedExchangesMatchTheVariantPath) {
  for (const std::string text : {"42", "-7", " 12", "1e3", "abc", "4294967296", "", "\xC3\xA4&amp;"}) {
    const std::string element = "<L>" + text + "</L><U>" + text + "</U><S>" + text + "</S>";
    const auto node = reading(element + element);
    tolvane::CXMLDataExchange dx(archive.get(), node.get());
    LONG l = 5;
    ULONGLONG u = 5;
    std::u16string s = u"kept";
    variant vl(int32_t{5}), vu(uint64_t{5}), vs(bstr(u"kept"));
    EXPECT_EQ(dx.ExchangeLong(u"L", l), archive->ExchangeValue(node.get(), u"L", &vl)) << text;
    EXPECT_EQ(dx.ExchangeFileTime(u"U", u), archive->ExchangeValue(node.get(), u"U", &vu)) << text;
    EXPECT_EQ(dx.ExchangeString(u"S", s), archive->ExchangeValue(node.get(), u"S", &vs)) << text;
    EXPECT_EQ(std::tuple(l, u, s), std::tuple(vl.lVal, vu.ullVal, std::u16string(comrt::bstr_view(vs.bstrVal))))
        << text;
  }
  const std::u16string names[] = {u"L", u"N\u00e4me", u"1x"};
  for (const std::u16string& name : names) {
    HRESULT typed = S_OK, general = S_OK;
    const auto through_dx = written([&](IXMLDOMNode* node) {
      tolvane::CXMLDataExchange dx(archive.get(), node);
      LONG l = -5;
      ULONGLONG u = ~0ull;
      std::u16string s = u"\u00e4<&>";
      typed = dx.ExchangeLong(name.c_str(), l) | dx.ExchangeFileTime(name.c_str(), u) | dx.ExchangeString(name.c_str(), s);
    });
    const auto through_variant = written([&](IXMLDOMNode* node) {
      variant l(int32_t{-5}), u(~uint64_t{0}), s(bstr(u"\u00e4<&>"));
      general = archive->ExchangeValue(node, name.c_str(), &l) | archive->ExchangeValue(node, name.c_str(), &u) |
                archive->ExchangeValue(node, name.c_str(), &s);
    });
    EXPECT_EQ(through_dx, through_variant);
    EXPECT_EQ(typed, general);
    EXPECT_EQ(typed, name == u"1x" ? E_INVALIDARG : S_OK);
  }
}

}  // namespace
