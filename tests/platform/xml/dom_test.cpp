// The runtime's XML document: building, reading, loading what is acceptable and refusing the rest,
// and replacing files whole.
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

std::u16string name_of(IXMLDOMNode* node) {
  bstr name;
  node->get_nodeName(name.put());
  return name.str();
}

com_ptr<IXMLDOMNode> first_child(IXMLDOMNode* node) {
  com_ptr<IXMLDOMNode> child;
  node->get_firstChild(child.put());
  return child;
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

TEST(XmlDocument, BuildsADocumentFromDetachedNodesAndWritesIt) {
  auto doc = new_document();
  com_ptr<IXMLDOMProcessingInstruction> declaration;
  ASSERT_EQ(doc->createProcessingInstruction(bstr(u"xml").get(), bstr(u"version=\"1.0\"").get(), declaration.put()),
            S_OK);
  ASSERT_EQ(doc->appendChild(declaration.get(), nullptr), S_OK);
  com_ptr<IXMLDOMElement> root, child;
  ASSERT_EQ(doc->createElement(bstr(u"Root").get(), root.put()), S_OK);
  ASSERT_EQ(doc->createElement(bstr(u"Child").get(), child.put()), S_OK);
  com_ptr<IXMLDOMText> text;
  ASSERT_EQ(doc->createTextNode(bstr(u"").get(), text.put()), S_OK);
  ASSERT_EQ(text->put_nodeTypedValue(variant(uint64_t{133590240000000000})), S_OK);
  child->appendChild(text.get(), nullptr);
  com_ptr<IXMLDOMNode> attribute;
  ASSERT_EQ(doc->createNode(variant(int32_t{NODE_ATTRIBUTE}), bstr(u"clsid").get(), bstr(u"").get(), attribute.put()),
            S_OK);
  attribute->put_nodeValue(variant(u"<\"&>"));
  com_ptr<IXMLDOMNamedNodeMap> attributes;
  ASSERT_EQ(root->get_attributes(attributes.put()), S_OK);
  ASSERT_EQ(attributes->setNamedItem(attribute.get(), nullptr), S_OK);
  root->setAttribute(bstr(u"n").get(), variant(int32_t{-5}));
  root->appendChild(child.get(), nullptr);
  ASSERT_EQ(doc->appendChild(root.get(), nullptr), S_OK);

  EXPECT_EQ(xml_of(doc.get()), u"<?xml version=\"1.0\"?><Root clsid=\"&lt;&quot;&amp;>\" n=\"-5\">"
                               u"<Child>133590240000000000</Child></Root>");
  // The attribute node added is the element's attribute from then on.
  attribute->put_nodeValue(variant(u"changed"));
  variant value;
  root->getAttribute(bstr(u"clsid").get(), value.put());
  EXPECT_EQ(comrt::bstr_view(value.bstrVal), u"changed");

  // Where nodes may not go.
  com_ptr<IXMLDOMElement> second;
  doc->createElement(bstr(u"Second").get(), second.put());
  EXPECT_EQ(doc->appendChild(second.get(), nullptr), E_FAIL) << "a second document element";
  EXPECT_EQ(child->appendChild(root.get(), nullptr), E_INVALIDARG) << "an ancestor";
  EXPECT_EQ(doc->createElement(bstr(u"two words").get(), second.put()), E_INVALIDARG);
  com_ptr<IXMLDOMComment> comment;
  EXPECT_EQ(doc->createComment(bstr(u"a -- b").get(), comment.put()), E_INVALIDARG);
  auto other = new_document();
  com_ptr<IXMLDOMElement> foreign;
  other->createElement(bstr(u"F").get(), foreign.put());
  EXPECT_EQ(root->appendChild(foreign.get(), nullptr), E_INVALIDARG);
}

TEST(XmlDocument, KeepsWhitespaceWhenAskedAndTextExactly) {
  const bstr xml(u"<a>\n  <b> x </b>\n  <!--c--><c>1<![CDATA[<2>]]>3</c>\n</a>");
  for (const VARIANT_BOOL preserve : {VARIANT_TRUE, VARIANT_FALSE}) {
    auto doc = new_document();
    doc->put_preserveWhiteSpace(preserve);
    VARIANT_BOOL ok = VARIANT_FALSE;
    ASSERT_EQ(doc->loadXML(xml.get(), &ok), S_OK);
    com_ptr<IXMLDOMElement> a;
    doc->get_documentElement(a.put());
    EXPECT_EQ(name_of(first_child(a.get()).get()), preserve ? u"#text" : u"b");
    com_ptr<IXMLDOMNode> b, c;
    a->selectSingleNode(bstr(u"b").get(), b.put());
    a->selectSingleNode(bstr(u"c").get(), c.put());
    bstr text;
    b->get_text(text.put());
    EXPECT_EQ(text.view(), u" x ");
    c->get_text(text.put());
    EXPECT_EQ(text.view(), u"1<2>3");
  }
}

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

TEST(XmlDocument, ReadsTheDeclarationAsAProcessingInstructionAndEntitiesOnlyThePredefined) {
  auto doc = new_document();
  VARIANT_BOOL ok = VARIANT_FALSE;
  ASSERT_EQ(doc->loadXML(bstr(u"<?xml version=\"1.0\" encoding=\"UTF-8\"?><a>&lt;&#65;&amp;&unknown;</a>").get(), &ok),
            S_OK);
  EXPECT_EQ(xml_of(first_child(doc.get()).get()), u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>");
  bstr text;
  doc->get_text(text.put());
  EXPECT_EQ(text.view(), u"<A&&unknown;");
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

TEST(XmlDocument, LoadsOnlyRegularFilesWithinTheSizeLimit) {
  scratch dir;
  const auto big = dir.path / "big.xml";
  { std::ofstream(big) << "<a/>"; }
  std::filesystem::resize_file(big, 1ll << 30);  // sparse: refused by its size, never read
  const auto fifo = dir.path / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  struct row {
    std::filesystem::path path;
    const char16_t* reason;
  } rows[] = {
      {big, u"more than the limit"},
      {fifo, u"not name a regular file"},
      {dir.path, u"not name a regular file"},
      {dir.path / "missing.xml", u"cannot be opened"},
  };
  for (const row& r : rows) {
    auto doc = new_document();
    VARIANT_BOOL ok = VARIANT_TRUE;
    EXPECT_EQ(doc->load(path_variant(r.path), &ok), S_FALSE) << r.path;
    com_ptr<IXMLDOMParseError> error;
    doc->get_parseError(error.put());
    bstr reason;
    error->get_reason(reason.put());
    EXPECT_NE(reason.view().find(r.reason), std::u16string_view::npos) << comrt::to_utf8(reason.view());
  }
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
