// The DOM objects over pugixml: one COM object per node reference handed out, pointing into a tree
// (tree.h) that it keeps alive.
#include "comrt/xmldom.h"
#include "comrt/xmlnative.h"

#include <vector>

#include "comrt/strings.h"
#include "comrt/variant.h"
#include "document_class.h"
#include "tree.h"

namespace comrt::xml {
struct node_state;
}

// Reaches the implementation behind a node pointer of this runtime (nodes of other origins do not
// answer it). Not published: its identifier exists only here.
struct IXmlNodeAccess : IUnknown {
  virtual comrt::xml::node_state& state() = 0;
};
COMRT_INTERFACE_ID(IXmlNodeAccess, IUnknown, 0x980727BF, 0x6C08, 0x416A, 0x9F, 0xA5, 0x2B, 0x4C, 0x71, 0x93, 0xD0,
                   0x6E)

namespace comrt::xml {

struct node_state {
  tree_ptr t;
  pugi::xml_node node;       // the node; for an attribute, the element (or hidden holder) carrying it
  pugi::xml_attribute attr;  // set for attribute nodes only
};

namespace {

constexpr long long kDefaultMaxBytes = 128ll << 20;
constexpr int kDefaultMaxDepth = 256;

// ---------------------------------------------------------------------------------------------
// Text at the interface

std::string utf8(BSTR s) {
  const std::u16string_view text = bstr_view(s);
  // Names and most values are ASCII: those are copied as they are.
  std::string out(text.size(), '\0');
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] >= 0x80) return to_utf8(text);
    out[i] = static_cast<char>(text[i]);
  }
  return out;
}

BSTR to_bstr(std::string_view text) { return bstr(to_utf16(text)).detach(); }

HRESULT out_bstr(BSTR* out, std::string_view text) {
  *init_out(out) = to_bstr(text);
  return S_OK;
}

// A value given to the DOM, as text (VT_BSTR as it is, anything else converted).
std::string text_of(const VARIANT& value) {
  if (value.vt == VT_BSTR) return utf8(value.bstrVal);
  variant converted;
  check_hresult(VariantChangeType(&converted, &value, 0, VT_BSTR));
  return utf8(converted.bstrVal);
}

std::string checked_name(BSTR name) {
  std::string s = utf8(name);
  if (!is_name(s)) throw_hresult(E_INVALIDARG);
  return s;
}

// Texts that would end their markup early cannot be written.
void check_comment(std::string_view s) {
  if (s.find("--") != std::string_view::npos || (!s.empty() && s.back() == '-')) throw_hresult(E_INVALIDARG);
}
void check_pi_data(std::string_view s) {
  if (s.find("?>") != std::string_view::npos) throw_hresult(E_INVALIDARG);
}

void check(bool ok) {
  if (!ok) throw std::bad_alloc();  // pugixml fails its modifications only for want of memory
}

// ---------------------------------------------------------------------------------------------
// Serialisation

struct string_writer final : pugi::xml_writer {
  std::string out;
  void write(const void* data, size_t size) override { out.append(static_cast<const char*>(data), size); }
};

void print(const pugi::xml_node& n, pugi::xml_writer& w) { n.print(w, "", pugi::format_raw, pugi::encoding_utf8); }

}  // namespace

class document_object;

// The DOM node of a pugixml node: the document itself for the content holder of its current tree,
// nothing for the hidden holders and for the old tree's content.
com_ptr<IXMLDOMNode> wrap(document_object* doc, const tree_ptr& t, const pugi::xml_node& n);
com_ptr<IXMLDOMNode> wrap_attribute(document_object* doc, const tree_ptr& t, const pugi::xml_node& element,
                                    const pugi::xml_attribute& a);
IXMLDOMDocument2* as_document(document_object* doc) noexcept;
bool is_current(document_object* doc, const tree_ptr& t) noexcept;

namespace {

HRESULT out_node(IXMLDOMNode** out, com_ptr<IXMLDOMNode> node) {
  *out = node.detach();
  return *out ? S_OK : S_FALSE;
}

node_state& state_of(IXMLDOMNode* node) {
  com_ptr<IXmlNodeAccess> access;
  if (!node || FAILED(node->QueryInterface(IID_IXmlNodeAccess, access.put_void()))) throw_hresult(E_INVALIDARG);
  return access->state();
}

class attribute_map;
class parse_error_object;

// ---------------------------------------------------------------------------------------------
// What every node does. D is the concrete class, I its principal interface.

template <class D, class I>
class node_object : public implements<D, I, IXmlNodeAccess, IXMLDOMNativeNode> {
 public:
  node_state& state() override { return state_; }

  pugi::xml_node STDMETHODCALLTYPE native_element() noexcept override {
    return kind() == NODE_ELEMENT ? state_.node : pugi::xml_node();
  }
  pugi::xml_node STDMETHODCALLTYPE detached() noexcept override { return state_.t->detached; }
  HRESULT STDMETHODCALLTYPE element_node(pugi::xml_node element, IXMLDOMNode** node) noexcept override {
    return boundary([&] {
      init_out(node);
      if (element.type() != pugi::node_element || !*element.name() || element.root() != state_.t->doc)
        return E_INVALIDARG;
      return out_node(node, wrap(doc(), state_.t, element));
    });
  }

  HRESULT STDMETHODCALLTYPE get_nodeName(BSTR* name) override {
    return boundary([&] {
      switch (kind()) {
        case NODE_DOCUMENT: return out_bstr(name, "#document");
        case NODE_TEXT: return out_bstr(name, "#text");
        case NODE_CDATA_SECTION: return out_bstr(name, "#cdata-section");
        case NODE_COMMENT: return out_bstr(name, "#comment");
        case NODE_ATTRIBUTE: return out_bstr(name, state_.attr.name());
        default: return out_bstr(name, state_.node.name());
      }
    });
  }
  HRESULT STDMETHODCALLTYPE get_nodeValue(VARIANT* value) override {
    return boundary([&] {
      VariantInit(check_pointer(value));
      if (is_container()) {
        value->vt = VT_NULL;
      } else {
        value->bstrVal = to_bstr(value_text());
        value->vt = VT_BSTR;
      }
    });
  }
  HRESULT STDMETHODCALLTYPE put_nodeValue(VARIANT value) override {
    return boundary([&] {
      if (is_container()) return E_FAIL;
      set_value_text(text_of(value));
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE get_nodeType(DOMNodeType* type) override {
    if (!type) return E_POINTER;
    *type = kind();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_parentNode(IXMLDOMNode** parent) override {
    return boundary([&] {
      init_out(parent);
      if (state_.attr || kind() == NODE_DOCUMENT) return S_FALSE;
      return out_node(parent, wrap(doc(), state_.t, state_.node.parent()));
    });
  }
  HRESULT STDMETHODCALLTYPE get_firstChild(IXMLDOMNode** child) override {
    return child_at(child, [](const pugi::xml_node& n) { return n.first_child(); });
  }
  HRESULT STDMETHODCALLTYPE get_lastChild(IXMLDOMNode** child) override {
    return child_at(child, [](const pugi::xml_node& n) { return n.last_child(); });
  }
  HRESULT STDMETHODCALLTYPE get_previousSibling(IXMLDOMNode** sibling) override {
    return sibling_at(sibling, [](const pugi::xml_node& n) { return n.previous_sibling(); });
  }
  HRESULT STDMETHODCALLTYPE get_nextSibling(IXMLDOMNode** sibling) override {
    return sibling_at(sibling, [](const pugi::xml_node& n) { return n.next_sibling(); });
  }
  HRESULT STDMETHODCALLTYPE get_attributes(IXMLDOMNamedNodeMap** attributes) override;

  HRESULT STDMETHODCALLTYPE appendChild(IXMLDOMNode* newChild, IXMLDOMNode** outNewChild) override {
    return boundary([&] {
      if (outNewChild) *outNewChild = nullptr;
      node_state& child = state_of(newChild);
      if (child.t != state_.t || child.attr || child.node == state_.t->content) return E_INVALIDARG;
      // This node or one of its ancestors (only a node with children can be an ancestor).
      if (child.node == state_.node) return E_INVALIDARG;
      if (child.node.first_child()) {
        for (pugi::xml_node p = state_.node; p; p = p.parent()) {
          if (p == child.node) return E_INVALIDARG;
        }
      }
      if (!is_container()) return E_FAIL;
      if (kind() == NODE_DOCUMENT) {
        const auto type = child.node.type();
        if (type == pugi::node_pcdata || type == pugi::node_cdata) return E_FAIL;
        if (type == pugi::node_element) {
          for (pugi::xml_node n = state_.node.first_child(); n; n = n.next_sibling()) {
            if (n.type() == pugi::node_element && n != child.node) return E_FAIL;  // one document element
          }
        }
      }
      check(static_cast<bool>(state_.node.append_move(child.node)));
      if (outNewChild) com_ptr<IXMLDOMNode>(newChild).copy_to(outNewChild);
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE removeChild(IXMLDOMNode* childNode, IXMLDOMNode** oldChild) override {
    return boundary([&] {
      if (oldChild) *oldChild = nullptr;
      node_state& child = state_of(childNode);
      if (child.t != state_.t || child.attr || !is_container() || child.node.parent() != state_.node)
        return E_INVALIDARG;
      check(static_cast<bool>(state_.t->detached.append_move(child.node)));
      if (oldChild) com_ptr<IXMLDOMNode>(childNode).copy_to(oldChild);
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE hasChildNodes(VARIANT_BOOL* hasChild) override {
    if (!hasChild) return E_POINTER;
    const bool any = is_container() && state_.node.first_child();
    *hasChild = any ? VARIANT_TRUE : VARIANT_FALSE;
    return any ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE get_ownerDocument(IXMLDOMDocument** document) override {
    return boundary([&] {
      init_out(document);
      if (kind() == NODE_DOCUMENT) return S_FALSE;
      com_ptr<IXMLDOMDocument>(as_document(doc())).copy_to(document);
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE get_text(BSTR* text) override {
    return boundary([&] { return out_bstr(text, text_content()); });
  }
  HRESULT STDMETHODCALLTYPE put_text(BSTR text) override {
    return boundary([&] { return set_text(utf8(text)); });
  }
  HRESULT STDMETHODCALLTYPE get_nodeTypedValue(VARIANT* value) override {
    return boundary([&] {
      VariantInit(check_pointer(value));
      value->bstrVal = to_bstr(text_content());
      value->vt = VT_BSTR;
    });
  }
  HRESULT STDMETHODCALLTYPE put_nodeTypedValue(VARIANT value) override {
    return boundary([&] { return set_text(text_of(value)); });
  }
  HRESULT STDMETHODCALLTYPE get_xml(BSTR* xml) override {
    return boundary([&] {
      string_writer w;
      if (state_.attr) {
        // An attribute is written as it stands in its element: name="value", escaped.
        pugi::xml_document scratch;
        check(static_cast<bool>(scratch.append_child("a").append_attribute(state_.attr.name()).set_value(
            state_.attr.value())));
        print(scratch.first_child(), w);
        const size_t start = w.out.find(' ') + 1;
        const size_t end = w.out.rfind('/');
        return out_bstr(xml, std::string_view(w.out).substr(start, end - start));
      }
      if (kind() == NODE_DOCUMENT) {
        for (const pugi::xml_node& n : state_.node.children()) print(n, w);
      } else {
        print(state_.node, w);
      }
      return out_bstr(xml, w.out);
    });
  }
  HRESULT STDMETHODCALLTYPE selectSingleNode(BSTR query, IXMLDOMNode** node) override {
    return boundary([&] {
      init_out(node);
      const std::string name = checked_name(query);
      if (!is_container()) return S_FALSE;
      return out_node(node, wrap(doc(), state_.t, state_.node.child(name.c_str())));
    });
  }

 protected:
  node_object() = default;
  node_object(document_object* owner, node_state s) : state_(std::move(s)), owner_(owner), owner_ref_(as_document(owner)) {}

  document_object* doc() noexcept {
    if constexpr (std::is_same_v<I, IXMLDOMDocument2>) {
      return static_cast<D*>(this);
    } else {
      return owner_;
    }
  }

  DOMNodeType kind() const noexcept {
    if (state_.attr) return NODE_ATTRIBUTE;
    if (state_.node == state_.t->content) return NODE_DOCUMENT;
    switch (state_.node.type()) {
      case pugi::node_element: return NODE_ELEMENT;
      case pugi::node_pcdata: return NODE_TEXT;
      case pugi::node_cdata: return NODE_CDATA_SECTION;
      case pugi::node_comment: return NODE_COMMENT;
      case pugi::node_pi: return NODE_PROCESSING_INSTRUCTION;
      default: return NODE_INVALID;
    }
  }
  bool is_container() const noexcept {
    return !state_.attr && state_.node.type() == pugi::node_element;  // elements and the content holder
  }

  std::string value_text() const { return state_.attr ? state_.attr.value() : state_.node.value(); }
  void set_value_text(const std::string& text) {
    if (state_.attr) {
      check(state_.attr.set_value(text.c_str(), text.size()));
      return;
    }
    if (kind() == NODE_COMMENT) check_comment(text);
    if (kind() == NODE_PROCESSING_INSTRUCTION) check_pi_data(text);
    check(state_.node.set_value(text.c_str(), text.size()));
  }
  std::string text_content() const { return is_container() ? descendant_text(state_.node) : value_text(); }

  // put_text: an element's children give way to one text node (they move to the detached nodes,
  // so references to them stay valid); other nodes take the text as their value.
  HRESULT set_text(const std::string& text) {
    if (kind() == NODE_DOCUMENT) return E_FAIL;
    if (!is_container()) {
      set_value_text(text);
      return S_OK;
    }
    while (pugi::xml_node c = state_.node.first_child()) check(static_cast<bool>(state_.t->detached.append_move(c)));
    check(state_.node.append_child(pugi::node_pcdata).set_value(text.c_str(), text.size()));
    return S_OK;
  }

  node_state state_;

 private:
  template <class F>
  HRESULT child_at(IXMLDOMNode** out, F&& pick) {
    return boundary([&] {
      init_out(out);
      if (!is_container()) return S_FALSE;
      return out_node(out, wrap(doc(), state_.t, pick(state_.node)));
    });
  }
  template <class F>
  HRESULT sibling_at(IXMLDOMNode** out, F&& pick) {
    return boundary([&] {
      init_out(out);
      // Detached nodes have no siblings, and neither have attributes or the document.
      if (state_.attr || kind() == NODE_DOCUMENT || state_.node.parent() == state_.t->detached) return S_FALSE;
      return out_node(out, wrap(doc(), state_.t, pick(state_.node)));
    });
  }

  document_object* owner_ = nullptr;
  com_ptr<IXMLDOMDocument2> owner_ref_;  // keeps the owner alive; null in the document itself
};

// ---------------------------------------------------------------------------------------------
// The node kinds

class element_object final : public node_object<element_object, IXMLDOMElement> {
 public:
  element_object(document_object* d, node_state s) : node_object(d, std::move(s)) {}

  HRESULT STDMETHODCALLTYPE get_tagName(BSTR* name) override {
    return boundary([&] { return out_bstr(name, state_.node.name()); });
  }
  HRESULT STDMETHODCALLTYPE getAttribute(BSTR name, VARIANT* value) override {
    return boundary([&] {
      VariantInit(check_pointer(value));
      const pugi::xml_attribute a = state_.node.attribute(utf8(name).c_str());
      if (!a) {
        value->vt = VT_NULL;
        return S_FALSE;
      }
      value->bstrVal = to_bstr(a.value());
      value->vt = VT_BSTR;
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE setAttribute(BSTR name, VARIANT value) override {
    return boundary([&] {
      const std::string n = checked_name(name);
      const std::string text = text_of(value);
      pugi::xml_attribute a = state_.node.attribute(n.c_str());
      if (!a) a = state_.node.append_attribute(n.c_str());
      check(a.set_value(text.c_str(), text.size()));
    });
  }
};

template <class D, class I>
class character_data : public node_object<D, I> {
 public:
  HRESULT STDMETHODCALLTYPE get_data(BSTR* data) override {
    return boundary([&] { return out_bstr(data, this->value_text()); });
  }
  HRESULT STDMETHODCALLTYPE put_data(BSTR data) override {
    return boundary([&] { this->set_value_text(utf8(data)); });
  }
  HRESULT STDMETHODCALLTYPE get_length(LONG* length) override {
    return boundary([&] { *check_pointer(length) = static_cast<LONG>(to_utf16(this->value_text()).size()); });
  }

 protected:
  using node_object<D, I>::node_object;
};

class text_object final : public character_data<text_object, IXMLDOMText> {
 public:
  text_object(document_object* d, node_state s) : character_data(d, std::move(s)) {}
};

class comment_object final : public character_data<comment_object, IXMLDOMComment> {
 public:
  comment_object(document_object* d, node_state s) : character_data(d, std::move(s)) {}
};

class pi_object final : public node_object<pi_object, IXMLDOMProcessingInstruction> {
 public:
  pi_object(document_object* d, node_state s) : node_object(d, std::move(s)) {}
  HRESULT STDMETHODCALLTYPE get_target(BSTR* target) override {
    return boundary([&] { return out_bstr(target, state_.node.name()); });
  }
  HRESULT STDMETHODCALLTYPE get_data(BSTR* data) override {
    return boundary([&] { return out_bstr(data, value_text()); });
  }
  HRESULT STDMETHODCALLTYPE put_data(BSTR data) override {
    return boundary([&] { set_value_text(utf8(data)); });
  }
};

class attribute_object final : public node_object<attribute_object, IXMLDOMAttribute> {
 public:
  attribute_object(document_object* d, node_state s) : node_object(d, std::move(s)) {}
  HRESULT STDMETHODCALLTYPE get_name(BSTR* name) override {
    return boundary([&] { return out_bstr(name, state_.attr.name()); });
  }
  HRESULT STDMETHODCALLTYPE get_value(VARIANT* value) override { return get_nodeValue(value); }
  HRESULT STDMETHODCALLTYPE put_value(VARIANT value) override { return put_nodeValue(value); }
};

// An attribute made by createAttribute waits on a nameless element under the detached nodes
// (elements made by createElement always have a name).
bool is_attribute_holder(const node_state& s) noexcept {
  return s.node.parent() == s.t->detached && !*s.node.name();
}

class attribute_map final : public implements<attribute_map, IXMLDOMNamedNodeMap> {
 public:
  attribute_map(document_object* d, tree_ptr t, pugi::xml_node element)
      : doc_(d), doc_ref_(as_document(d)), t_(std::move(t)), element_(element) {}

  HRESULT STDMETHODCALLTYPE getNamedItem(BSTR name, IXMLDOMNode** item) override {
    return boundary([&] {
      init_out(item);
      const pugi::xml_attribute a = element_.attribute(utf8(name).c_str());
      return out_node(item, a ? wrap_attribute(doc_, t_, element_, a) : nullptr);
    });
  }
  HRESULT STDMETHODCALLTYPE setNamedItem(IXMLDOMNode* newItem, IXMLDOMNode** namedItem) override {
    return boundary([&] {
      if (namedItem) *namedItem = nullptr;
      node_state& s = state_of(newItem);
      if (s.t != t_ || !s.attr || !is_attribute_holder(s)) return E_INVALIDARG;
      pugi::xml_attribute a = element_.attribute(s.attr.name());
      if (!a) a = element_.append_attribute(s.attr.name());
      check(a.set_value(s.attr.value()));
      const pugi::xml_node holder = s.node;
      s.node = element_;
      s.attr = a;
      t_->detached.remove_child(holder);  // only the node just rebound referred to it
      if (namedItem) com_ptr<IXMLDOMNode>(newItem).copy_to(namedItem);
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE get_item(LONG index, IXMLDOMNode** item) override {
    return boundary([&] {
      init_out(item);
      LONG i = 0;
      for (const pugi::xml_attribute& a : element_.attributes()) {
        if (i++ == index) return out_node(item, wrap_attribute(doc_, t_, element_, a));
      }
      return S_FALSE;
    });
  }
  HRESULT STDMETHODCALLTYPE get_length(LONG* length) override {
    if (!length) return E_POINTER;
    LONG n = 0;
    for (auto it = element_.attributes_begin(); it != element_.attributes_end(); ++it) ++n;
    *length = n;
    return S_OK;
  }

 private:
  document_object* doc_;
  com_ptr<IXMLDOMDocument2> doc_ref_;
  tree_ptr t_;
  pugi::xml_node element_;
};

template <class D, class I>
HRESULT STDMETHODCALLTYPE node_object<D, I>::get_attributes(IXMLDOMNamedNodeMap** attributes) {
  return boundary([&] {
    init_out(attributes);
    if (kind() != NODE_ELEMENT) return S_FALSE;
    *attributes = make<attribute_map>(doc(), state_.t, state_.node).detach();
    return S_OK;
  });
}

class parse_error_object final : public implements<parse_error_object, IXMLDOMParseError> {
 public:
  explicit parse_error_object(load_error e) : e_(std::move(e)) {}
  HRESULT STDMETHODCALLTYPE get_errorCode(LONG* code) override { return get(code, e_.code); }
  HRESULT STDMETHODCALLTYPE get_reason(BSTR* reason) override {
    return boundary([&] { return out_bstr(reason, e_.reason); });
  }
  HRESULT STDMETHODCALLTYPE get_filepos(LONG* position) override { return get(position, e_.offset); }
  HRESULT STDMETHODCALLTYPE get_line(LONG* line) override { return get(line, e_.line); }
  HRESULT STDMETHODCALLTYPE get_linepos(LONG* position) override { return get(position, e_.column); }

 private:
  static HRESULT get(LONG* out, long value) {
    if (!out) return E_POINTER;
    *out = static_cast<LONG>(value);
    return S_OK;
  }
  load_error e_;
};

tree_ptr empty_tree() {
  auto t = std::make_shared<tree>();
  t->add_holders();
  return t;
}

bool variant_flag(const VARIANT& v) {
  variant b;
  check_hresult(VariantChangeType(&b, &v, 0, VT_BOOL));
  return b.boolVal != VARIANT_FALSE;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The document

class document_object final : public node_object<document_object, IXMLDOMDocument2> {
 public:
  void FinalConstruct() {
    state_.t = empty_tree();
    state_.node = state_.t->content;
  }
  const tree_ptr& current() const noexcept { return state_.t; }

  HRESULT STDMETHODCALLTYPE get_documentElement(IXMLDOMElement** element) override {
    return boundary([&] {
      init_out(element);
      for (pugi::xml_node n = state_.node.first_child(); n; n = n.next_sibling()) {
        if (n.type() == pugi::node_element) {
          *element = make<element_object>(this, node_state{state_.t, n, {}}).detach();
          return S_OK;
        }
      }
      return S_FALSE;
    });
  }
  HRESULT STDMETHODCALLTYPE createElement(BSTR tagName, IXMLDOMElement** element) override {
    return boundary([&] { return create(element, pugi::node_element, checked_name(tagName), {}); });
  }
  HRESULT STDMETHODCALLTYPE createTextNode(BSTR data, IXMLDOMText** text) override {
    return boundary([&] { return create(text, pugi::node_pcdata, {}, utf8(data)); });
  }
  HRESULT STDMETHODCALLTYPE createComment(BSTR data, IXMLDOMComment** comment) override {
    return boundary([&] {
      std::string text = utf8(data);
      check_comment(text);
      return create(comment, pugi::node_comment, {}, text);
    });
  }
  HRESULT STDMETHODCALLTYPE createProcessingInstruction(BSTR target, BSTR data,
                                                        IXMLDOMProcessingInstruction** pi) override {
    return boundary([&] {
      std::string text = utf8(data);
      check_pi_data(text);
      return create(pi, pugi::node_pi, checked_name(target), text);
    });
  }
  HRESULT STDMETHODCALLTYPE createAttribute(BSTR name, IXMLDOMAttribute** attribute) override {
    return boundary([&] {
      init_out(attribute);
      const std::string n = checked_name(name);
      pugi::xml_node holder = state_.t->detached.append_child(pugi::node_element);
      check(static_cast<bool>(holder));
      const pugi::xml_attribute a = holder.append_attribute(n.c_str());
      check(static_cast<bool>(a));
      *attribute = make<attribute_object>(this, node_state{state_.t, holder, a}).detach();
    });
  }
  HRESULT STDMETHODCALLTYPE createNode(VARIANT type, BSTR name, BSTR namespaceURI, IXMLDOMNode** node) override {
    return boundary([&]() -> HRESULT {
      init_out(node);
      if (!bstr_view(namespaceURI).empty()) return E_INVALIDARG;
      variant kind;
      if (FAILED(VariantChangeType(&kind, &type, 0, VT_I4))) return E_INVALIDARG;
      com_ptr<IXMLDOMNode> made;
      switch (kind.lVal) {
        case NODE_ELEMENT: made = typed<IXMLDOMElement>([&](auto** p) { return createElement(name, p); }); break;
        case NODE_ATTRIBUTE:
          made = typed<IXMLDOMAttribute>([&](auto** p) { return createAttribute(name, p); });
          break;
        case NODE_TEXT: made = typed<IXMLDOMText>([&](auto** p) { return createTextNode(nullptr, p); }); break;
        case NODE_COMMENT: made = typed<IXMLDOMComment>([&](auto** p) { return createComment(nullptr, p); }); break;
        case NODE_PROCESSING_INSTRUCTION:
          made = typed<IXMLDOMProcessingInstruction>(
              [&](auto** p) { return createProcessingInstruction(name, nullptr, p); });
          break;
        default: return E_INVALIDARG;
      }
      *node = made.detach();
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE get_async(VARIANT_BOOL* isAsync) override { return get_flag(isAsync, async_); }
  HRESULT STDMETHODCALLTYPE put_async(VARIANT_BOOL isAsync) override { return put_flag(async_, isAsync); }
  HRESULT STDMETHODCALLTYPE get_preserveWhiteSpace(VARIANT_BOOL* preserve) override {
    return get_flag(preserve, preserve_);
  }
  HRESULT STDMETHODCALLTYPE put_preserveWhiteSpace(VARIANT_BOOL preserve) override {
    return put_flag(preserve_, preserve);
  }
  HRESULT STDMETHODCALLTYPE load(VARIANT source, VARIANT_BOOL* isSuccessful) override {
    return boundary([&] {
      if (isSuccessful) *isSuccessful = VARIANT_FALSE;
      if (source.vt != VT_BSTR) return E_INVALIDARG;
      const std::string path = utf8(source.bstrVal);
      load_error error;
      tree_ptr t;
      if (path.empty()) {
        error.code = E_INVALIDARG;
        error.reason = "No file was named.";
      } else {
        t = load_file(path, limits(), error);
      }
      return finish_load(std::move(t), std::move(error), isSuccessful);
    });
  }
  HRESULT STDMETHODCALLTYPE loadXML(BSTR xml, VARIANT_BOOL* isSuccessful) override {
    return boundary([&] {
      if (isSuccessful) *isSuccessful = VARIANT_FALSE;
      load_error error;
      tree_ptr t = parse(utf8(xml), limits(), error, pugi::encoding_utf8);
      return finish_load(std::move(t), std::move(error), isSuccessful);
    });
  }
  HRESULT STDMETHODCALLTYPE save(VARIANT destination) override {
    return boundary([&] {
      if (destination.vt != VT_BSTR || bstr_view(destination.bstrVal).empty()) return E_INVALIDARG;
      return replace_file(utf8(destination.bstrVal), [&](pugi::xml_writer& w) {
        for (const pugi::xml_node& n : state_.node.children()) print(n, w);
      });
    });
  }
  HRESULT STDMETHODCALLTYPE get_parseError(IXMLDOMParseError** error) override {
    return boundary([&] { *init_out(error) = make<parse_error_object>(error_).detach(); });
  }
  HRESULT STDMETHODCALLTYPE setProperty(BSTR name, VARIANT value) override {
    return boundary([&] {
      const std::u16string_view n = bstr_view(name);
      if (n == u"NewParser") {
        new_parser_ = variant_flag(value);
      } else if (n == u"ProhibitDTD") {
        if (!variant_flag(value)) return E_INVALIDARG;
      } else if (n == u"MaxElementDepth") {
        const variant v = variant(value).converted(VT_I4);
        if (v.lVal < 0) return E_INVALIDARG;
        max_depth_ = v.lVal;
      } else if (n == u"MaxFileSize") {
        const variant v = variant(value).converted(VT_I8);
        if (v.llVal <= 0) return E_INVALIDARG;
        max_bytes_ = v.llVal;
      } else {
        return E_INVALIDARG;
      }
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE getProperty(BSTR name, VARIANT* value) override {
    return boundary([&] {
      VariantInit(check_pointer(value));
      const std::u16string_view n = bstr_view(name);
      variant v;
      if (n == u"NewParser") {
        v = variant(new_parser_);
      } else if (n == u"ProhibitDTD") {
        v = variant(true);
      } else if (n == u"MaxElementDepth") {
        v = variant(static_cast<int32_t>(max_depth_));
      } else if (n == u"MaxFileSize") {
        v = variant(static_cast<int64_t>(max_bytes_));
      } else {
        return E_INVALIDARG;
      }
      *value = v.detach();
      return S_OK;
    });
  }

 private:
  template <class T, class F>
  static com_ptr<IXMLDOMNode> typed(F&& make_node) {
    com_ptr<T> p;
    check_hresult(make_node(p.put()));
    return p;
  }
  template <class Out>
  HRESULT create(Out** out, pugi::xml_node_type type, const std::string& name, const std::string& value) {
    return boundary([&] {
      init_out(out);
      pugi::xml_node n = state_.t->detached.append_child(type);
      check(static_cast<bool>(n));
      if (!name.empty()) check(n.set_name(name.c_str()));
      if (!value.empty()) check(n.set_value(value.c_str(), value.size()));
      *out = wrap(this, state_.t, n).template as<Out>().detach();
    });
  }
  static HRESULT get_flag(VARIANT_BOOL* out, bool value) {
    if (!out) return E_POINTER;
    *out = value ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  static HRESULT put_flag(bool& field, VARIANT_BOOL value) {
    field = value != VARIANT_FALSE;
    return S_OK;
  }
  load_limits limits() const { return {max_bytes_, max_depth_, preserve_}; }

  // A failed load leaves the document empty, as a document that never loaded.
  HRESULT finish_load(tree_ptr t, load_error error, VARIANT_BOOL* isSuccessful) {
    const bool ok = static_cast<bool>(t);
    state_.t = ok ? std::move(t) : empty_tree();
    state_.node = state_.t->content;
    error_ = std::move(error);
    if (isSuccessful) *isSuccessful = ok ? VARIANT_TRUE : VARIANT_FALSE;
    return ok ? S_OK : S_FALSE;
  }

  bool async_ = true;
  bool preserve_ = false;
  bool new_parser_ = false;
  long long max_bytes_ = kDefaultMaxBytes;
  int max_depth_ = kDefaultMaxDepth;
  load_error error_;
};

IXMLDOMDocument2* as_document(document_object* doc) noexcept { return doc; }

bool is_current(document_object* doc, const tree_ptr& t) noexcept { return doc->current() == t; }

com_ptr<IXMLDOMNode> wrap(document_object* doc, const tree_ptr& t, const pugi::xml_node& n) {
  if (!n || n == t->detached) return nullptr;
  if (n == t->content) return is_current(doc, t) ? com_ptr<IXMLDOMNode>(as_document(doc)) : nullptr;
  node_state s{t, n, {}};
  switch (n.type()) {
    case pugi::node_element:
      if (!*n.name()) return nullptr;  // a hidden holder
      return make<element_object>(doc, std::move(s));
    case pugi::node_pcdata:
    case pugi::node_cdata: return make<text_object>(doc, std::move(s));
    case pugi::node_comment: return make<comment_object>(doc, std::move(s));
    case pugi::node_pi: return make<pi_object>(doc, std::move(s));
    default: return nullptr;
  }
}

com_ptr<IXMLDOMNode> wrap_attribute(document_object* doc, const tree_ptr& t, const pugi::xml_node& element,
                                    const pugi::xml_attribute& a) {
  return make<attribute_object>(doc, node_state{t, element, a});
}

com_ptr<IUnknown> class_object(REFCLSID clsid) {
  if (!(clsid == CLSID_DOMDocument60)) return nullptr;
  // Made once and kept for the life of the process, like the runtime itself.
  static IClassFactory* const factory = make<class_factory<document_object>>().detach();
  return com_ptr<IUnknown>(factory);
}

}  // namespace comrt::xml
