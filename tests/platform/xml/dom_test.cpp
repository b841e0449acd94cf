// The runtime's XML document: detached nodes, refusing what must not be read, and replacing files
// whole. What it writes and reads in schedule files is tested with the archive.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

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

com_ptr<IXMLDOMDocument2> new_document() {
  com_ptr<IXMLDOMDocument2> doc;
  EXPECT_EQ(CoCreateInstance(CLSID_DOMDocument60, nullptr, CLSCTX_INPROC_SERVER, IID_IXMLDOMDocument2,
                             doc.put_void()),
            S_OK);
  return doc;
}

std::u16string xml_of(IXMLDOMNode* node) {
  bstr xml;
  EXPECT_EQ(node->get_xml(xml.put()), S_OK);
  return xml.str();
}

class scratch {
 public:
  scratch() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tolvane-xml-XXXXXX").string();
    if (::mkdtemp(pattern.data())) path = pattern;
  }
  ~scratch() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  std::filesystem::path path;
};

variant path_variant(const std::filesystem::path& p) { return variant(comrt::to_utf16(p.string())); }

TEST(XmlDocument, RemovedNodesStayUsableAndCanBeAppendedAgain) {
  auto doc = new_document();
  VARIANT_BOOL ok = VARIANT_FALSE;
  ASSERT_EQ(doc->loadXML(bstr(u"<a><b><c>deep</c></b><d/></a>").get(), &ok), S_OK);
  com_ptr<IXMLDOMElement> a;
  doc->get_documentElement(a.put());
  com_ptr<IXMLDOMNode> b, c, d, parent;
  a->selectSingleNode(bstr(u"b").get(), b.put());
  b->selectSingleNode(bstr(u"c").get(), c.put());
  ASSERT_EQ(a->removeChild(b.get(), nullptr), S_OK);
  EXPECT_EQ(a->removeChild(b.get(), nullptr), E_INVALIDARG);
  EXPECT_EQ(b->get_parentNode(parent.put()), S_FALSE);
  EXPECT_EQ(xml_of(a.get()), u"<a><d/></a>");
  EXPECT_EQ(xml_of(c.get()), u"<c>deep</c>");
  a->selectSingleNode(bstr(u"d").get(), d.put());
  ASSERT_EQ(d->appendChild(b.get(), nullptr), S_OK);
  EXPECT_EQ(xml_of(a.get()), u"<a><d><b><c>deep</c></b></d></a>");
  // A new load leaves the nodes of the old document usable.
  ASSERT_EQ(doc->loadXML(bstr(u"<z/>").get(), &ok), S_OK);
  EXPECT_EQ(xml_of(c.get()), u"<c>deep</c>");
  EXPECT_EQ(xml_of(doc.get()), u"<z/>");
}

TEST(XmlDocument, RefusesDocumentsItCannotOrMustNotRead) {
  std::string deep;
  for (int i = 0; i < 300; ++i) deep += "<a>";
  for (int i = 0; i < 300; ++i) deep += "</a>";
  struct row {
    std::string xml;
    const char16_t* reason;  // a part of the reason given
  } rows[] = {
      {"", u"No document element"},
      {"<a>", u"not well-formed"},
      {"<a></b>", u"not well-formed"},
      {"<a/><b/>", u"more than one"},
      {"<!DOCTYPE a [<!ENTITY e 'x'>]><a>&e;</a>", u"document type declaration"},
      {"<!DOCTYPE a SYSTEM 'file:///etc/passwd'><a/>", u"document type declaration"},
      {deep, u"nested more than 256"},
  };
  for (const row& r : rows) {
    auto doc = new_document();
    VARIANT_BOOL ok = VARIANT_TRUE;
    EXPECT_EQ(doc->loadXML(bstr(comrt::to_utf16(r.xml)).get(), &ok), S_FALSE) << r.xml;
    EXPECT_EQ(ok, VARIANT_FALSE);
    com_ptr<IXMLDOMParseError> error;
    doc->get_parseError(error.put());
    bstr reason;
    error->get_reason(reason.put());
    EXPECT_NE(reason.view().find(r.reason), std::u16string_view::npos) << r.xml << " gave " << comrt::to_utf8(reason.view());
    com_ptr<IXMLDOMNode> nothing;
    EXPECT_EQ(doc->get_firstChild(nothing.put()), S_FALSE) << "a failed load leaves the document empty";
  }
  auto doc = new_document();
  doc->setProperty(bstr(u"MaxElementDepth").get(), variant(int32_t{0}));
  VARIANT_BOOL ok = VARIANT_FALSE;
  EXPECT_EQ(doc->loadXML(bstr(comrt::to_utf16(deep)).get(), &ok), S_OK) << "no limit";
}

TEST(XmlDocument, SavingReplacesTheFileWholeAndFollowsSymbolicLinks) {
  scratch dir;
  const auto target = dir.path / "target.xml";
  const auto link = dir.path / "link.xml";
  { std::ofstream(target) << "old"; }
  ASSERT_EQ(::chmod(target.c_str(), 0644), 0);
  std::filesystem::create_symlink(target, link);
  auto doc = new_document();
  VARIANT_BOOL ok = VARIANT_FALSE;
  doc->loadXML(bstr(u"<new/>").get(), &ok);
  ASSERT_EQ(doc->save(path_variant(link)), S_OK);
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  std::ifstream in(target);
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(content, "<new/>");
  struct stat st;
  ASSERT_EQ(::stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path), {}), 2) << "no temporary file is left";
  EXPECT_EQ(doc->save(variant(u"")), E_INVALIDARG);
}

}  // namespace
