// Loading: reading a file within its limits and turning pugixml's result into a tree.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "comrt/guid.h"
#include "comrt/unique_fd.h"
#include "tree.h"

namespace comrt::xml {

namespace {

// Everything a well-formed document may contain. Document type declarations are parsed only so
// that they can be refused; entities other than the predefined ones are never expanded.
constexpr unsigned kParseOptions = pugi::parse_cdata | pugi::parse_escapes | pugi::parse_eol |
                                   pugi::parse_wconv_attribute | pugi::parse_comments | pugi::parse_pi |
                                   pugi::parse_declaration | pugi::parse_doctype;

void fail(load_error& error, std::string reason) {
  error.code = E_FAIL;
  error.reason = std::move(reason);
}

// Line and column (1-based) of a byte offset of the text.
void locate(std::string_view text, size_t offset, load_error& error) {
  offset = std::min(offset, text.size());
  error.offset = static_cast<long>(offset);
  error.line = 1;
  size_t line_start = 0;
  for (size_t i = 0; i < offset; ++i) {
    if (text[i] == '\n') {
      ++error.line;
      line_start = i + 1;
    }
  }
  error.column = static_cast<long>(offset - line_start) + 1;
}

// The XML declaration's pseudo-attributes as the data of a processing instruction.
std::string declaration_data(const pugi::xml_node& declaration) {
  std::string data;
  for (const pugi::xml_attribute& a : declaration.attributes()) {
    if (!data.empty()) data += ' ';
    data += a.name();
    data += "=\"";
    data += a.value();
    data += '"';
  }
  return data;
}

// Checks the shape of a parsed document: no document type declaration, one element at the top,
// elements nested no deeper than the limit. Walks without recursion, so any depth is safe.
bool check_shape(pugi::xml_document& doc, int max_depth, load_error& error) {
  int elements = 0;
  for (const pugi::xml_node& n : doc.children()) {
    if (n.type() == pugi::node_doctype) {
      fail(error, "The document has a document type declaration (<!DOCTYPE ...>), which is not allowed.");
      return false;
    }
    if (n.type() == pugi::node_element) ++elements;
  }
  if (elements != 1) {
    fail(error, elements == 0 ? "The document has no element." : "The document has more than one top-level element.");
    return false;
  }
  if (max_depth <= 0) return true;
  // A node deeper than the limit is the child of an element nested beyond it. pugixml's own walk
  // is a good deal cheaper than one through the node accessors.
  struct depth_walker final : pugi::xml_tree_walker {
    int max = 0;
    bool exceeded = false;
    bool for_each(pugi::xml_node&) override {
      exceeded = depth() > max;
      return !exceeded;
    }
  } walker;
  walker.max = max_depth;
  doc.traverse(walker);
  if (walker.exceeded) {
    fail(error, "Elements are nested more than " + std::to_string(max_depth) + " levels deep.");
    return false;
  }
  return true;
}

}  // namespace

tree_ptr parse(std::string_view text, const load_limits& limits, load_error& error, pugi::xml_encoding encoding) {
  error = load_error{};
  if (static_cast<long long>(text.size()) > limits.max_bytes) {
    fail(error, "The document is " + std::to_string(text.size()) + " bytes long, more than the limit of " +
                    std::to_string(limits.max_bytes) + " bytes.");
    return nullptr;
  }
  auto t = std::make_shared<tree>();
  const unsigned options = kParseOptions | (limits.keep_whitespace ? pugi::parse_ws_pcdata : 0u);
  const pugi::xml_parse_result result = t->doc.load_buffer(text.data(), text.size(), options, encoding);
  if (!result) {
    if (result.status == pugi::status_out_of_memory) throw std::bad_alloc();
    fail(error, std::string("The document is not well-formed XML: ") + result.description() + ".");
    locate(text, result.offset >= 0 ? static_cast<size_t>(result.offset) : 0, error);
    return nullptr;
  }
  if (!check_shape(t->doc, limits.max_depth, error)) return nullptr;

  // The top-level nodes move under the content holder; the declaration, which pugixml keeps only
  // at the top, becomes the processing instruction "xml" that DOM users expect.
  std::vector<pugi::xml_node> top(t->doc.begin(), t->doc.end());
  t->add_holders();
  for (const pugi::xml_node& n : top) {
    if (n.type() == pugi::node_declaration) {
      pugi::xml_node pi = t->content.append_child(pugi::node_pi);
      if (!pi || !pi.set_name("xml") || !pi.set_value(declaration_data(n).c_str())) throw std::bad_alloc();
    } else if (!t->content.append_move(n)) {
      throw std::bad_alloc();
    }
  }
  return t;
}

tree_ptr load_file(const std::string& path, const load_limits& limits, load_error& error) {
  error = load_error{};
  // Non-blocking, so that a FIFO at the path cannot stall the open; only regular files are read.
  unique_fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd) {
    const int err = errno;
    error.code = HResultFromErrno(err);
    error.reason = "The file cannot be opened: " + std::string(std::strerror(err)) + ".";
    return nullptr;
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) {
    error.code = HResultFromErrno(errno);
    error.reason = "The file cannot be read.";
    return nullptr;
  }
  if (!S_ISREG(st.st_mode)) {
    fail(error, "The path does not name a regular file.");
    return nullptr;
  }
  if (st.st_size > limits.max_bytes) {
    fail(error, "The file is " + std::to_string(st.st_size) + " bytes long, more than the limit of " +
                    std::to_string(limits.max_bytes) + " bytes.");
    return nullptr;
  }
  // The file may change while it is read: at most one byte beyond the limit is read, so a file that
  // grew past it is refused like one that was too long from the start.
  std::string text;
  text.resize(static_cast<size_t>(st.st_size) + 1);
  size_t used = 0;
  for (;;) {
    if (used == text.size()) {
      if (static_cast<long long>(used) > limits.max_bytes) break;
      text.resize(std::min<size_t>(text.size() * 2, static_cast<size_t>(limits.max_bytes) + 1));
    }
    const ssize_t n = ::read(fd.get(), text.data() + used, text.size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      error.code = HResultFromErrno(errno);
      error.reason = "The file cannot be read: " + std::string(std::strerror(errno)) + ".";
      return nullptr;
    }
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  text.resize(used);
  return parse(text, limits, error);
}

}  // namespace comrt::xml
