// The runtime's XML document: detached nodes, refusing what must not be read, and replacing files
// whole. What it writes and reads in schedule files is tested with the archive.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <comrt/strings.h>
#include <comrt/variant.h>
#include <comrt/xmldom.h>

namespace {

using comrt::bstr;
using comrt::com_ptr;
using comrt::variant;

com_ptr<IXMLDOMDocument2> load(const std::string& xml, HRESULT expected = S_OK) {
  com_ptr<IXMLDOMDocument2> doc;
  EXPECT_EQ(CoCreateInstance(CLSID_DOMDocument60, nullptr, CLSCTX_INPROC_SERVER, IID_IXMLDOMDocument2, doc.put_void()),
            S_OK);
  VARIANT_BOOL ok = VARIANT_FALSE;
  if (!xml.empty() || expected != S_OK) {
    EXPECT_EQ(doc->loadXML(bstr(comrt::to_utf16(xml)).get(), &ok), expected) << xml;
  }
  return doc;
}
std::u16string xml_of(IXMLDOMNode* node) {
  bstr xml;
  EXPECT_EQ(node->get_xml(xml.put()), S_OK);
  return xml.str();
}

TEST(XmlDocument, RemovedNodesStayUsableAndCanBeAppendedAgain) {
  auto doc = load("<a><b><c>deep</c></b><d/></a>");
  com_ptr<IXMLDOMElement> a;
  doc->get_documentElement(a.put());
  com_ptr<IXMLDOMNode> b, c, d, parent;
  a->selectSingleNode(bstr(u"b").get(), b.put());
  b->selectSingleNode(bstr(u"c").get(), c.put());
  ASSERT_EQ(a->removeChild(b.get(), nullptr), S_OK);
  EXPECT_EQ(a->removeChild(b.get(), nullptr), E_INVALIDARG);
  EXPECT_EQ(b->get_parentNode(parent.put()), S_FALSE);
  EXPECT_EQ(xml_of(a.get()), u"<a><d/></a>");
  a->selectSingleNode(bstr(u"d").get(), d.put());
  ASSERT_EQ(d->appendChild(b.get(), nullptr), S_OK);
  EXPECT_EQ(xml_of(a.get()), u"<a><d><b><c>deep</c></b></d></a>");
  // A new load leaves the nodes of the old document usable.
  VARIANT_BOOL ok = VARIANT_FALSE;
  ASSERT_EQ(doc->loadXML(bstr(u"<z/>").get(), &ok), S_OK);
  EXPECT_EQ(xml_of(c.get()), u"<c>deep</c>");
  EXPECT_EQ(xml_of(doc.get()), u"<z/>");
}

TEST(XmlDocument, RefusesDocumentsItCannotOrMustNotRead) {
  std::string deep;
  for (int i = 0; i < 300; ++i) deep = "<a>" + deep + "</a>";
  // What the reason given says in part.
  struct row { std::string xml; const char16_t* reason; } rows[] = {
      {"", u"No document element"}, {"<a>", u"not well-formed"}, {"<a></b>", u"not well-formed"},
      {"<a/><b/>", u"more than one"}, {"<!DOCTYPE a [<!ENTITY e 'x'>]><a>&e;</a>", u"document type declaration"},
      {"<!DOCTYPE a SYSTEM 'file:///etc/passwd'><a/>", u"document type declaration"},
      {deep, u"nested more than 256"},
  };
  for (const row& r : rows) {
    auto doc = load(r.xml, S_FALSE);
    com_ptr<IXMLDOMParseError> error;
    doc->get_parseError(error.put());
    bstr reason;
    error->get_reason(reason.put());
    EXPECT_NE(reason.view().find(r.reason), std::u16string_view::npos) << r.xml << " gave " << comrt::to_utf8(reason.view());
    com_ptr<IXMLDOMNode> nothing;
    EXPECT_EQ(doc->get_firstChild(nothing.put()), S_FALSE) << "a failed load leaves the document empty";
  }
  auto doc = load("");
  doc->setProperty(bstr(u"MaxElementDepth").get(), variant(int32_t{0}));
  VARIANT_BOOL ok = VARIANT_FALSE;
  EXPECT_EQ(doc->loadXML(bstr(comrt::to_utf16(deep)).get(), &ok), S_OK) << "no limit";
}

TEST(XmlDocument, SavingReplacesTheFileWholeAndFollowsSymbolicLinks) {
  char pattern[] = "/tmp/tolvane-xml-XXXXXX";
  ASSERT_TRUE(::mkdtemp(pattern));
  const std::filesystem::path dir = pattern, target = dir / "target.xml", link = dir / "link.xml";
  std::shared_ptr<void> cleanup(nullptr, [&](void*) { std::filesystem::remove_all(dir); });
  std::ofstream(target) << "old";
  std::filesystem::permissions(target, std::filesystem::perms(0644));
  std::filesystem::create_symlink(target, link);
  auto doc = load("<new/>");
  ASSERT_EQ(doc->save(variant(comrt::to_utf16(link.string()))), S_OK);
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  std::ifstream in(target);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "<new/>");
  EXPECT_EQ(std::filesystem::status(target).permissions(), std::filesystem::perms(0644));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 2) << "no temporary file is left";
  EXPECT_EQ(doc->save(variant(u"")), E_INVALIDARG);
}

}  // namespace
