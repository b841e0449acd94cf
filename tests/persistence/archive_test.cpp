// The archive's exchange operations in both directions, on documents built in memory.
#include <gtest/gtest.h>

#include <string>

#include "persistence/xml_archive.h"
#include "triggers/schedule_triggers.h"
#include "persistence_doubles.h"

namespace {

using comrt::bstr;
using comrt::com_ptr;
using comrt::variant;
using tolvane::CXMLArchive;

class ArchiveTest : public ::testing::Test {
 protected:
  ArchiveTest() {
    archive = comrt::make<CXMLArchive>();
    com_ptr<IXMLDOMDocument> d;
    EXPECT_EQ(archive->GetDocument(d.put()), S_OK);
    doc = d.as<IXMLDOMDocument2>();
  }

  // Load mode, over the element <r> holding `inner`.
  com_ptr<IXMLDOMNode> reading(const std::string& inner) {
    VARIANT_BOOL ok = VARIANT_FALSE;
    EXPECT_EQ(doc->loadXML(bstr(comrt::to_utf16("<r>" + inner + "</r>")).get(), &ok), S_OK);
    archive->SetMode(XMLARCHIVE_MODE_LOAD);
    com_ptr<IXMLDOMElement> r;
    doc->get_documentElement(r.put());
    return r.as<IXMLDOMNode>();
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

  com_ptr<CXMLArchive> archive;
  com_ptr<IXMLDOMDocument2> doc;
};

TEST(Base64, CutsLinesAfterEveryFiftySevenBytes) {
  struct row { std::string input, expected; } rows[] = {
      {"", ""}, {"abc", "YWJj"}, {"ab", "YWI="}, {std::string(57, 'a'), std::string(19, 'x') + "\r\n"},
      {std::string(58, 'a'), std::string(19, 'x') + "\r\nYQ=="},
      {std::string(114, 'a'), std::string(19, 'x') + "\r\n" + std::string(19, 'x') + "\r\n"}};
  const std::string line = tolvane::base64_lines(reinterpret_cast<const unsigned char*>("aaa"), 3);  // "YWFh"
  for (auto& r : rows) {
    // "x" stands for one group "YWFh" of three a's.
    std::string expected;
    for (char c : r.expected) expected += c == 'x' ? line : std::string(1, c);
    EXPECT_EQ(tolvane::base64_lines(reinterpret_cast<const unsigned char*>(r.input.data()), r.input.size()), expected)
        << r.input.size() << " bytes";
  }
}

TEST_F(ArchiveTest, TimesAreWrittenAsUtcDatesAndPeriodsInTheirUnits) {
  // text null: the write fails and writes nothing (the year 10000; 10000 years).
  struct row { bool period; uint64_t value; const char16_t* text; } rows[] = {
      {false, 0, u"1970-01-01T00:00:00Z"}, {false, 1714550400, u"2024-05-01T08:00:00Z"},
      {false, static_cast<uint64_t>(-3600), u"1969-12-31T23:00:00Z"}, {false, 253402300800ull, nullptr},
      {true, 86399, u"P0000-00-00T23:59:59"}, {true, 90061, u"P0000-00-01T01:01:01"},
      {true, 2592000, u"P0000-01-00T00:00:00"}, {true, 31536000, u"P0001-00-00T00:00:00"},
      {true, 315360000000ull, nullptr}};
  for (const row& r : rows) {
    HRESULT hr = S_OK;
    const auto xml = written([&](IXMLDOMNode* node) {
      ULONGLONG v = r.value;
      hr = r.period ? archive->ExchangeTimeSpan(node, u"T", &v) : archive->ExchangeTime(node, u"T", &v);
    });
    if (r.text) {
      EXPECT_EQ(hr, S_OK) << r.value;
      EXPECT_EQ(xml, u"<r><T>" + std::u16string(r.text) + u"</T></r>") << r.value;
    } else {
      EXPECT_EQ(hr, E_FAIL) << r.value;
      EXPECT_EQ(xml, u"<r/>") << r.value;
    }
  }
}

TEST_F(ArchiveTest, TimesAreReadFromTheirSixNumbersOrLeftAlone) {
  constexpr uint64_t kUnchanged = 777;
  struct row { bool period; const char* text; uint64_t expected; } rows[] = {
      {false, "2024-05-01T08:00:01Z", 1714550401}, {false, "2024-05-01T08:00:00", 1714550400},
      {false, "2024-05-01T08:00:00+02:00", 1714550400}, {false, "2024-13-01T08:00:00Z", kUnchanged},
      {false, "2023-02-29T08:00:00Z", kUnchanged}, {false, "1969-12-31T23:59:59Z", kUnchanged},
      {false, "yesterday", kUnchanged}, {true, "P0000-00-00T00:00:60", 60},
      {true, "P0001-01-01T01:01:01", 34218061}, {true, "P0000-00-01", kUnchanged}};
  for (const row& r : rows) {
    const auto node = reading(std::string("<T>") + r.text + "</T>");
    ULONGLONG v = kUnchanged;
    const HRESULT hr = r.period ? archive->ExchangeTimeSpan(node.get(), u"T", &v)
                                : archive->ExchangeTime(node.get(), u"T", &v);
    EXPECT_EQ(hr, S_OK) << r.text;
    EXPECT_EQ(v, r.expected) << r.text;
  }
  ULONGLONG v = kUnchanged;
  EXPECT_EQ(archive->ExchangeTime(reading("").get(), u"T", &v), E_FAIL);
}

TEST_F(ArchiveTest, ValuesAreConvertedToTheCallersTypeAndKeptWhenTheyDoNotConvert) {
  const auto node = reading("<A>42</A><B>abc</B><C>42</C>");
  variant a(int32_t{7});
  EXPECT_EQ(archive->ExchangeValue(node.get(), u"A", &a), S_OK);
  EXPECT_EQ(a.vt, VT_I4);
  EXPECT_EQ(a.lVal, 42);
  variant b(int32_t{7});
  EXPECT_EQ(archive->ExchangeValue(node.get(), u"B", &b), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(b.lVal, 7);
  EXPECT_EQ(archive->ExchangeValue(node.get(), u"B", &b), E_FAIL) << "the element is removed even so";
  variant c;
  EXPECT_EQ(archive->ExchangeValue(node.get(), u"C", &c), S_OK);
  ASSERT_EQ(c.vt, VT_BSTR);
  EXPECT_EQ(comrt::bstr_view(c.bstrVal), u"42");
}

TEST_F(ArchiveTest, GuidsAreBracedUpperCaseAndParsedAsClassIdentifiers) {
  GUID id = CLSID_Scheduler;
  EXPECT_EQ(written([&](IXMLDOMNode* r) { archive->ExchangeGuid(r, u"Id", &id); }),
            u"<r><Id>{0946E232-81EA-4DF2-B7DB-CAF900E0D209}</Id></r>");
  const auto node = reading("<Id>{0946e232-81ea-4df2-b7db-caf900e0d209}</Id><Bad>nonsense</Bad>");
  GUID read{};
  EXPECT_EQ(archive->ExchangeGuid(node.get(), u"Id", &read), S_OK);
  EXPECT_EQ(read, CLSID_Scheduler);
  EXPECT_EQ(archive->ExchangeGuid(node.get(), u"Bad", &read), CO_E_CLASSSTRING);
}

TEST_F(ArchiveTest, ObjectsCarryTheirClassIdentifierWhenTheyHaveOne) {
  auto with_class = persist_test::stored_trigger(CLSID_ScheduleScheduleTrigger, {{u"V", u"1"}});
  // An item collection's element for an object without IPersist: the trigger collection.
  auto without_class = comrt::make<tolvane::CScheduleTriggers>();
  auto not_serializable = comrt::make<fakes::FakeTrigger>(fakes::trigger_script{});
  HRESULT third = S_OK;
  const auto xml = written([&](IXMLDOMNode* r) {
    EXPECT_EQ(archive->ExchangeObject(r, u"A", with_class.as<IUnknown>().get()), S_OK);
    EXPECT_EQ(archive->ExchangeObject(r, u"B", without_class.as<IUnknown>().get()), S_OK);
    third = archive->ExchangeObject(r, u"C", not_serializable.as<IUnknown>().get());
  });
  EXPECT_EQ(third, E_FAIL);
  EXPECT_EQ(xml, u"<r><A clsid=\"{8428D9B1-0B74-4879-80D1-797848330314}\"><V>1</V></A><B/><C/></r>");
}

}  // namespace
