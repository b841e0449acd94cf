// The storage behind the DOM objects: one pugixml document per loaded or created tree.
//
// pugixml destroys a node when it is removed and keeps every node inside its document. DOM nodes
// instead live on while referenced, detached or not. So the pugixml document holds two hidden
// elements: `content`, whose children are the DOM document's children, and `detached`, under which
// nodes wait that were created and not appended yet, or removed. Appending and removing move nodes
// between them without copying, and no node is ever destroyed while the tree lives; every DOM
// object holds the tree it points into, so loading a new tree leaves old references valid.
#pragma once

#include <pugixml.hpp>

#include <memory>
#include <functional>
#include <string>
#include <string_view>

#include "comrt/types.h"

namespace comrt::xml {

struct tree {
  pugi::xml_document doc;
  pugi::xml_node content;
  pugi::xml_node detached;

  // Adds the two hidden elements after whatever the document holds.
  void add_holders() {
    content = doc.append_child(pugi::node_element);
    detached = doc.append_child(pugi::node_element);
    if (!content || !detached) throw std::bad_alloc();
  }
};
using tree_ptr = std::shared_ptr<tree>;

// Why a load failed, in words a person can act on.
struct load_error {
  HRESULT code = S_OK;
  std::string reason;
  long offset = 0;
  long line = 0;
  long column = 0;
};

struct load_limits {
  long long max_bytes;
  int max_depth;  // 0: no limit
  bool keep_whitespace;
};

// Parses `text` into a new tree; null with `error` filled when it is not an acceptable document.
tree_ptr parse(std::string_view text, const load_limits& limits, load_error& error,
               pugi::xml_encoding encoding = pugi::encoding_auto);
// Reads the regular file at `path` (refusing one above the size limit before reading) and parses it.
tree_ptr load_file(const std::string& path, const load_limits& limits, load_error& error);

// Replaces the file at `path` by what `print` writes to the writer it is given, so that the file is
// never seen half-written; see IXMLDOMDocument::save. The text goes to the new file as it is printed.
HRESULT replace_file(const std::string& path, const std::function<void(pugi::xml_writer&)>& print) noexcept;

}  // namespace comrt::xml
