// Small helpers over the parsed XML tree of a camt document: elements by their local
// name (documents put any prefix on them), trimmed texts, and lines of elements.
#pragma once

#include <pugixml.hpp>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string_view>
#include <vector>

#include "camt/bytes.hpp"
#include "tallyfold/model.hpp"

namespace tallyfold::camt {

using Node = pugi::xml_node;

/// How camt documents are parsed. No option that expands entities: only the five
/// predefined ones and character references are read, and a DOCTYPE is kept as a node
/// so that it can be refused. An element's text before its first child is kept as its
/// value rather than as a node of its own: most elements hold text alone, and a third
/// fewer nodes is less memory to fill and fewer nodes to read (first_child_text tells a
/// text that opens an element apart from a child element).
inline constexpr unsigned kParseOptions = pugi::parse_default | pugi::parse_doctype | pugi::parse_embed_pcdata;

inline std::string_view local_name(const char* name) noexcept {
  const std::string_view n(name);
  const std::size_t colon = n.rfind(':');
  return colon == std::string_view::npos ? n : n.substr(colon + 1);
}
inline std::string_view local_name(Node n) noexcept { return local_name(n.name()); }
inline std::string_view prefix_of(Node n) noexcept {
  const std::string_view name(n.name());
  const std::size_t colon = name.rfind(':');
  return colon == std::string_view::npos ? std::string_view() : name.substr(0, colon);
}

inline bool is_element(Node n) noexcept { return n.type() == pugi::node_element; }

/// The first child element named `name` (any prefix), or a null node.
inline Node child(Node parent, std::string_view name) noexcept {
  for (Node c = parent.first_child(); c; c = c.next_sibling()) {
    if (is_element(c) && local_name(c) == name) return c;
  }
  return {};
}

/// The element at the end of `names`, child by child; null when any is missing.
inline Node at(Node n, std::initializer_list<std::string_view> names) noexcept {
  for (const std::string_view name : names) {
    if (!n) break;
    n = child(n, name);
  }
  return n;
}

/// The element's own text, without surrounding white space; empty for a null node.
inline std::string_view text_of(Node n) noexcept { return trim_white_space(n.child_value()); }

/// The text of the element's first child node: none when that is text (kept as the
/// element's value) or CDATA, else the child element's.
inline std::string_view first_child_text(Node n) noexcept {
  return *n.value() != '\0' ? std::string_view() : text_of(n.first_child());
}

/// The value of the attribute `name` (any prefix), without surrounding white space.
inline std::string_view trim_attribute(Node n, std::string_view name) noexcept {
  for (pugi::xml_attribute a = n.first_attribute(); a; a = a.next_attribute()) {
    if (local_name(a.name()) == name) return trim_white_space(a.value());
  }
  return {};
}

/// A subtree of the parsed document read out once: each element's local name, its text
/// and its attributes, and its element children as links. The reading looks elements up
/// by name many times over; here a look-up compares lengths and bytes inline, where the
/// parser's tree answers through a call per node and per name, and a name is measured
/// again at every compare.
class Tree {
 public:
  using Id = std::uint32_t;
  /// Elements deeper than this below the root are not read (their parent still says it
  /// has children). The deepest walk over details starts three levels down and stops
  /// kMaxDepth levels below that.
  static constexpr unsigned kDepth = 32;

  struct Attribute {
    std::string_view name;   // as written, prefix included
    std::string_view local;  // without the prefix
    std::string_view value;  // without surrounding white space
  };
  struct Record {
    std::string_view name;  // local
    std::string_view text;  // the first text child's (text_of)
    Id first_child = 0;     // 0 for none: the root is nobody's child or sibling
    Id next_sibling = 0;
    std::uint32_t attributes_at = 0;
    std::uint32_t attribute_count = 0;
    bool has_children = false;  // any child node, text included
    Node node;
  };

  /// Reads the subtree of `root` (an element), replacing what was read before. The
  /// children of root's children named `opaque` are left unread, to be read as trees of
  /// their own.
  void read(Node root, std::string_view opaque = {});

  const Record& operator[](Id id) const noexcept { return elements_[id]; }
  bool empty() const noexcept { return elements_.empty(); }
  std::span<const Attribute> attributes(const Record& e) const noexcept {
    return {attributes_.data() + e.attributes_at, e.attribute_count};
  }

 private:
  Id read_element(Node node, unsigned level);

  std::vector<Record> elements_;
  std::vector<Attribute> attributes_;
  std::string_view opaque_;
};

/// An element of a Tree, or null: what the look-ups below take and give.
class Element {
 public:
  Element() = default;
  Element(const Tree& tree, Tree::Id id) noexcept : tree_(&tree), id_(id) {}

  explicit operator bool() const noexcept { return tree_ != nullptr; }
  std::string_view name() const noexcept { return tree_ ? get().name : std::string_view(); }
  std::string_view text() const noexcept { return tree_ ? get().text : std::string_view(); }
  bool has_children() const noexcept { return tree_ && get().has_children; }
  Node node() const noexcept { return tree_ ? get().node : Node(); }
  std::span<const Tree::Attribute> attributes() const noexcept {
    return tree_ ? tree_->attributes(get()) : std::span<const Tree::Attribute>();
  }
  Element first_element() const noexcept { return tree_ ? link(get().first_child) : Element(); }
  Element next_element() const noexcept { return tree_ ? link(get().next_sibling) : Element(); }

  /// The first child element named `name` (any prefix), or null.
  Element child(std::string_view name) const noexcept {
    for (Element c = first_element(); c; c = c.next_element()) {
      if (same_text(c.name(), name)) return c;
    }
    return {};
  }
  /// The element at the end of `names`, child by child; null when any is missing.
  Element at(std::initializer_list<std::string_view> names) const noexcept {
    Element n = *this;
    for (const std::string_view name : names) {
      if (!n) break;
      n = n.child(name);
    }
    return n;
  }
  /// The value of the attribute `name` (any prefix), without surrounding white space.
  std::string_view attribute(std::string_view name) const noexcept {
    for (const Tree::Attribute& a : attributes()) {
      if (a.local == name) return a.value;
    }
    return {};
  }

 private:
  const Tree::Record& get() const noexcept { return (*tree_)[id_]; }
  Element link(Tree::Id id) const noexcept { return id == 0 ? Element() : Element(*tree_, id); }

  const Tree* tree_ = nullptr;
  Tree::Id id_ = 0;
};

/// The root of a tree read.
inline Element root_of(const Tree& tree) noexcept { return tree.empty() ? Element() : Element(tree, 0); }

// The look-ups above as for the parser's nodes.
inline Element child(Element parent, std::string_view name) noexcept { return parent.child(name); }
inline Element at(Element n, std::initializer_list<std::string_view> names) noexcept { return n.at(names); }
inline std::string_view text_of(Element n) noexcept { return n.text(); }
inline std::string_view trim_attribute(Element n, std::string_view name) noexcept { return n.attribute(name); }
inline std::string_view local_name(Element n) noexcept { return n.name(); }
inline bool is_element(Element n) noexcept { return static_cast<bool>(n); }

/// The 1-based line of a byte offset of the parsed text, found by bisection over the
/// line starts, which are counted once on first use.
class LineIndex {
 public:
  explicit LineIndex(std::string_view text) noexcept : text_(text) {}

  std::size_t line_of(std::ptrdiff_t offset) {
    if (offset < 0) return 0;
    if (!counted_) {
      counted_ = true;
      for (std::size_t at = text_.find('\n'); at != std::string_view::npos; at = text_.find('\n', at + 1)) {
        breaks_.push_back(at);
      }
    }
    return static_cast<std::size_t>(std::lower_bound(breaks_.begin(), breaks_.end(),
                                                     static_cast<std::size_t>(offset)) -
                                    breaks_.begin()) +
           1;
  }
  std::size_t line_of(Node n) { return n ? line_of(n.offset_debug()) : 0; }
  std::size_t line_of(Element e) { return line_of(e.node()); }

 private:
  std::string_view text_;
  std::vector<std::size_t> breaks_;
  bool counted_ = false;
};

}  // namespace tallyfold::camt
