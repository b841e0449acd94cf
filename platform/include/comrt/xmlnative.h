// The pugixml tree behind the runtime's own DOM nodes, for components built with the runtime that
// read or write many elements at once (the schedule archive): working on the tree directly skips
// one COM object, one or two BSTRs and a UTF-16/UTF-8 conversion per element. Nodes of any other
// DOM do not answer IXMLDOMNativeNode; callers keep the node interfaces for those.
//
// Rules for a caller that changes the tree through it, so that the DOM's references stay valid:
// never destroy a node (remove a child by moving it under detached()), and only append elements
// under an element (not under the document, which allows one element only).
#pragma once

#include <pugixml.hpp>

#include <string_view>

#include "comrt/xmldom.h"

struct IXMLDOMNativeNode : IUnknown {
  // This node's pugixml node: the element itself; empty for the document and for any other kind of
  // node.
  virtual pugi::xml_node STDMETHODCALLTYPE native_element() noexcept = 0;
  // The hidden element of this node's tree under which removed nodes wait while referenced.
  virtual pugi::xml_node STDMETHODCALLTYPE detached() noexcept = 0;
  // The DOM node of `element`, an element of the same tree (E_INVALIDARG for anything else).
  virtual HRESULT STDMETHODCALLTYPE element_node(pugi::xml_node element, IXMLDOMNode** node) noexcept = 0;
};
COMRT_INTERFACE_ID(IXMLDOMNativeNode, IUnknown, 0x5B0E6C2D, 0x7A41, 0x4F3B, 0x8C, 0x95, 0x1E, 0x2D, 0x6A, 0x70, 0xB3,
                   0x44)

namespace comrt::xml {

// XML names: a letter, "_" or ":" first (any non-ASCII character counts as a letter), then also
// digits, "-" and ".". createElement refuses any other name.
inline bool is_name(std::string_view s) noexcept {
  if (s.empty()) return false;
  for (size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    const bool start = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':' || c >= 0x80;
    if (start || (i > 0 && ((c >= '0' && c <= '9') || c == '-' || c == '.'))) continue;
    return false;
  }
  return true;
}

// The text and CDATA below a node in document order: the DOM's text of an element.
inline std::string descendant_text(const pugi::xml_node& root) {
  const pugi::xml_node first = root.first_child();
  if (first && !first.next_sibling() && first.type() == pugi::node_pcdata) return first.value();
  std::string out;
  pugi::xml_node n = first;
  while (n) {
    if (n.type() == pugi::node_pcdata || n.type() == pugi::node_cdata) out += n.value();
    if (n.type() == pugi::node_element && n.first_child()) {
      n = n.first_child();
      continue;
    }
    while (n && n != root && !n.next_sibling()) n = n.parent();
    if (!n || n == root) break;
    n = n.next_sibling();
  }
  return out;
}

}  // namespace comrt::xml
