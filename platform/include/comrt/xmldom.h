// The XML document object model of the runtime: a document and its element, attribute, text,
// comment and processing-instruction nodes behind small COM interfaces. The runtime serves the
// document class itself, so any caller creates one with
//
//   comrt::com_ptr<IXMLDOMDocument2> doc;
//   CoCreateInstance(CLSID_DOMDocument60, nullptr, CLSCTX_ALL, IID_IXMLDOMDocument2, doc.put_void());
//
// and every other node comes from the document's create* operations or from loading.
//
// Conventions, as in other XML DOMs: getters of a node that may be absent (firstChild, nextSibling,
// parentNode, ...) answer S_FALSE with a null pointer when there is none; a detached node (made by a
// create* operation and not appended yet, or removed with removeChild) stays valid as long as it is
// referenced, and can be appended again. Names and texts are UTF-16 at the interface and UTF-8 in
// the files that load and save write (other encodings are read when a byte-order mark or the
// declaration names them).
//
// A document is used by one thread at a time.
//
// Loading never expands entities other than the five predefined ones and character references,
// never reads anything but the file named, and refuses: documents with a document type declaration
// (so no internal or external entity can be declared), files larger than the "MaxFileSize" property
// (checked before reading), elements nested deeper than "MaxElementDepth", and anything that is not
// well-formed. The reason is given by parseError.
#pragma once

#include "comrt/oaidl.h"

enum DOMNodeType : int32_t {
  NODE_INVALID = 0,
  NODE_ELEMENT = 1,
  NODE_ATTRIBUTE = 2,
  NODE_TEXT = 3,
  NODE_CDATA_SECTION = 4,
  NODE_PROCESSING_INSTRUCTION = 7,
  NODE_COMMENT = 8,
  NODE_DOCUMENT = 9,
};

// The document class served by the runtime.
inline constexpr CLSID CLSID_DOMDocument60{0x88D96A05, 0xF192, 0x11D4, {0xA6, 0x5F, 0x00, 0x40, 0x96, 0x32, 0x51, 0xE5}};

struct IXMLDOMDocument;
struct IXMLDOMNamedNodeMap;

struct IXMLDOMNode : IUnknown {
  // "#document", "#text", "#cdata-section", "#comment", an element's or attribute's name, a
  // processing instruction's target.
  virtual HRESULT STDMETHODCALLTYPE get_nodeName(BSTR* name) = 0;
  // The text of a text, comment, processing-instruction or attribute node (VT_BSTR); VT_NULL for
  // elements and the document, whose put_nodeValue fails with E_FAIL.
  virtual HRESULT STDMETHODCALLTYPE get_nodeValue(VARIANT* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_nodeValue(VARIANT value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_nodeType(DOMNodeType* type) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_parentNode(IXMLDOMNode** parent) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_firstChild(IXMLDOMNode** child) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_lastChild(IXMLDOMNode** child) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_previousSibling(IXMLDOMNode** sibling) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_nextSibling(IXMLDOMNode** sibling) = 0;
  // The attributes of an element; S_FALSE and null for other nodes.
  virtual HRESULT STDMETHODCALLTYPE get_attributes(IXMLDOMNamedNodeMap** attributes) = 0;
  // Moves newChild (detached, or a child elsewhere in the same document) to the end of this node's
  // children. E_INVALIDARG for a node of another document, an attribute, the document, this node or
  // one of its ancestors; E_FAIL where the child may not stand (text, or a second element, directly
  // under the document; anything under a text node).
  virtual HRESULT STDMETHODCALLTYPE appendChild(IXMLDOMNode* newChild, IXMLDOMNode** outNewChild) = 0;
  // Detaches a child of this node; E_INVALIDARG when it is not one.
  virtual HRESULT STDMETHODCALLTYPE removeChild(IXMLDOMNode* childNode, IXMLDOMNode** oldChild) = 0;
  virtual HRESULT STDMETHODCALLTYPE hasChildNodes(VARIANT_BOOL* hasChild) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_ownerDocument(IXMLDOMDocument** document) = 0;
  // The text of the node: for an element or the document, the text and CDATA of all descendants
  // in document order, exactly as stored (whitespace included); otherwise the node's value.
  // put_text on an element replaces its children by one text node.
  virtual HRESULT STDMETHODCALLTYPE get_text(BSTR* text) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_text(BSTR text) = 0;
  // Nodes carry no data types: the typed value is the text as VT_BSTR. put_nodeTypedValue converts
  // the value to text (VariantChangeType to VT_BSTR) and stores it as put_text does.
  virtual HRESULT STDMETHODCALLTYPE get_nodeTypedValue(VARIANT* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_nodeTypedValue(VARIANT value) = 0;
  // The node and its descendants as XML text, without indentation.
  virtual HRESULT STDMETHODCALLTYPE get_xml(BSTR* xml) = 0;
  // The first child element whose name equals the query exactly (the one path form supported is a
  // bare element name); S_FALSE and null when there is none, E_INVALIDARG for any other path.
  virtual HRESULT STDMETHODCALLTYPE selectSingleNode(BSTR query, IXMLDOMNode** node) = 0;
};
COMRT_INTERFACE_ID(IXMLDOMNode, IUnknown, 0xF8344D3A, 0xCD0D, 0x4877, 0x8D, 0xD6, 0xD7, 0x62, 0xE2, 0xEC, 0x4D, 0x48)

// The attributes of one element.
struct IXMLDOMNamedNodeMap : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE getNamedItem(BSTR name, IXMLDOMNode** item) = 0;
  // Adds an attribute node made by createAttribute and not yet added anywhere (E_INVALIDARG
  // otherwise); it then is this element's attribute and comes back as namedItem. An attribute of
  // the same name takes the new value instead, and references to it and to the new node see the
  // same attribute from then on. Attributes are never removed.
  virtual HRESULT STDMETHODCALLTYPE setNamedItem(IXMLDOMNode* newItem, IXMLDOMNode** namedItem) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_item(LONG index, IXMLDOMNode** item) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_length(LONG* length) = 0;
};
COMRT_INTERFACE_ID(IXMLDOMNamedNodeMap, IUnknown, 0x27E908E7, 0xC95C, 0x4B7C, 0x9F, 0xDD, 0x47, 0xA6, 0x48, 0xEF,
                   0x4D, 0xAB)

struct IXMLDOMElement : IXMLDOMNode {
  virtual HRESULT STDMETHODCALLTYPE get_tagName(BSTR* name) = 0;
  // VT_BSTR, or VT_NULL and S_FALSE when the element has no such attribute.
  virtual HRESULT STDMETHODCALLTYPE getAttribute(BSTR name, VARIANT* value) = 0;
  // The value is converted to text as by put_nodeTypedValue.
  virtual HRESULT STDMETHODCALLTYPE setAttribute(BSTR name, VARIANT value) = 0;
};
COMRT_INTERFACE_ID(IXMLDOMElement, IXMLDOMNode, 0x53CA2992, 0x05EE, 0x41EF, 0xBF, 0x27, 0x7B, 0x18, 0x06, 0x19, 0x4B,
                   0xF6)

struct IXMLDOMAttribute : IXMLDOMNode {
  virtual HRESULT STDMETHODCALLTYPE get_name(BSTR* name) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_value(VARIANT* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_value(VARIANT value) = 0;
};
COMRT_INTERFACE_ID(IXMLDOMAttribute, IXMLDOMNode, 0x3324E193, 0x48C0, 0x4F75, 0xB8, 0xD2, 0x4D, 0xC4, 0x50, 0x0D,
                   0x15, 0x18)

// Text, CDATA and comment nodes.
struct IXMLDOMCharacterData : IXMLDOMNode {
  virtual HRESULT STDMETHODCALLTYPE get_data(BSTR* data) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_data(BSTR data) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_length(LONG* length) = 0;
};
COMRT_INTERFACE_ID(IXMLDOMCharacterData, IXMLDOMNode, 0x723FD415, 0xD399, 0x4F73, 0x9E, 0xEF, 0xF5, 0xBF, 0xF0, 0x7B,
                   0xFF, 0xF5)

struct IXMLDOMText : IXMLDOMCharacterData {};
COMRT_INTERFACE_ID(IXMLDOMText, IXMLDOMCharacterData, 0x5B7850A2, 0x02C2, 0x4D76, 0xAA, 0x07, 0xA9, 0xDC, 0x42, 0x10,
                   0x1B, 0x7F)

// A comment's text may not contain "--" nor end with "-" (E_INVALIDARG).
struct IXMLDOMComment : IXMLDOMCharacterData {};
COMRT_INTERFACE_ID(IXMLDOMComment, IXMLDOMCharacterData, 0x42993290, 0x76CD, 0x4D8A, 0xA8, 0x77, 0xC2, 0xEA, 0xAC,
                   0x38, 0x22, 0x97)

// A processing instruction; the XML declaration is one with the target "xml". Its data may not
// contain "?>" (E_INVALIDARG).
struct IXMLDOMProcessingInstruction : IXMLDOMNode {
  virtual HRESULT STDMETHODCALLTYPE get_target(BSTR* target) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_data(BSTR* data) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_data(BSTR data) = 0;
};
COMRT_INTERFACE_ID(IXMLDOMProcessingInstruction, IXMLDOMNode, 0x03C6BE88, 0x88F2, 0x43C1, 0x94, 0x90, 0x2E, 0xDA,
                   0xDF, 0x39, 0x6B, 0xF6)

// Why the last load failed. errorCode is S_OK after a successful load; reason is a sentence a
// person can act on; filepos the byte offset, line and linepos the 1-based position in the file.
struct IXMLDOMParseError : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE get_errorCode(LONG* code) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_reason(BSTR* reason) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_filepos(LONG* position) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_line(LONG* line) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_linepos(LONG* position) = 0;
};
COMRT_INTERFACE_ID(IXMLDOMParseError, IUnknown, 0x137D516D, 0xCA50, 0x4757, 0x90, 0xC5, 0x4B, 0xCB, 0xD0, 0xC0, 0x38,
                   0x7E)

struct IXMLDOMDocument : IXMLDOMNode {
  // The one element directly under the document; S_FALSE and null when there is none.
  virtual HRESULT STDMETHODCALLTYPE get_documentElement(IXMLDOMElement** element) = 0;
  // Names must be XML names (E_INVALIDARG otherwise).
  virtual HRESULT STDMETHODCALLTYPE createElement(BSTR tagName, IXMLDOMElement** element) = 0;
  virtual HRESULT STDMETHODCALLTYPE createTextNode(BSTR data, IXMLDOMText** text) = 0;
  virtual HRESULT STDMETHODCALLTYPE createComment(BSTR data, IXMLDOMComment** comment) = 0;
  virtual HRESULT STDMETHODCALLTYPE createProcessingInstruction(BSTR target, BSTR data,
                                                                IXMLDOMProcessingInstruction** pi) = 0;
  virtual HRESULT STDMETHODCALLTYPE createAttribute(BSTR name, IXMLDOMAttribute** attribute) = 0;
  // type: a DOMNodeType (any integer variant) of an element, attribute, text, comment or processing
  // instruction. Namespaces are not supported: namespaceURI must be empty (E_INVALIDARG otherwise).
  virtual HRESULT STDMETHODCALLTYPE createNode(VARIANT type, BSTR name, BSTR namespaceURI, IXMLDOMNode** node) = 0;
  // Loading is always synchronous; async is kept for callers that set it.
  virtual HRESULT STDMETHODCALLTYPE get_async(VARIANT_BOOL* isAsync) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_async(VARIANT_BOOL isAsync) = 0;
  // Whether whitespace-only text between elements is kept as text nodes when loading (default
  // false). Text is always kept exactly as stored.
  virtual HRESULT STDMETHODCALLTYPE get_preserveWhiteSpace(VARIANT_BOOL* preserve) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_preserveWhiteSpace(VARIANT_BOOL preserve) = 0;
  // Replaces the content by the file whose path the VT_BSTR source gives. S_OK and VARIANT_TRUE
  // when it loaded; S_FALSE and VARIANT_FALSE when it did not (parseError says why; the document is
  // then empty); E_INVALIDARG for a source that is not a path.
  virtual HRESULT STDMETHODCALLTYPE load(VARIANT source, VARIANT_BOOL* isSuccessful) = 0;
  // The same from text.
  virtual HRESULT STDMETHODCALLTYPE loadXML(BSTR xml, VARIANT_BOOL* isSuccessful) = 0;
  // Writes the document as UTF-8 to the file whose path the VT_BSTR destination gives. The file is
  // replaced as a whole: written beside it under a temporary name, flushed to disk and renamed over
  // it, so a reader (or a crash) sees the old file or the new one, never a part. On failure the old
  // file is left as it was and no temporary file remains. A new file is readable and writable by
  // its owner only; an existing file keeps its permissions.
  virtual HRESULT STDMETHODCALLTYPE save(VARIANT destination) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_parseError(IXMLDOMParseError** error) = 0;
};
COMRT_INTERFACE_ID(IXMLDOMDocument, IXMLDOMNode, 0x9D615005, 0x7999, 0x445D, 0x9F, 0xAC, 0x46, 0xD2, 0xD9, 0x6E, 0xDB,
                   0x35)

// Properties (setProperty / getProperty):
//   "NewParser"        VT_BOOL, accepted and kept; there is one parser.
//   "ProhibitDTD"      VT_BOOL, always true: a document type declaration fails the load.
//   "MaxElementDepth"  VT_I4, deepest nesting of elements a load accepts (default 256; 0: no limit).
//   "MaxFileSize"      VT_I8, largest file or text in bytes a load accepts (default 128 MiB).
struct IXMLDOMDocument2 : IXMLDOMDocument {
  virtual HRESULT STDMETHODCALLTYPE setProperty(BSTR name, VARIANT value) = 0;
  virtual HRESULT STDMETHODCALLTYPE getProperty(BSTR name, VARIANT* value) = 0;
};
COMRT_INTERFACE_ID(IXMLDOMDocument2, IXMLDOMDocument, 0x70BA990C, 0xAC34, 0x4DA9, 0x99, 0x6E, 0xC6, 0x46, 0x87, 0x0F,
                   0x2E, 0x3C)
