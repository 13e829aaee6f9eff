// Small helpers over the parsed XML tree of a camt document: elements by their local
// name (documents put any prefix on them), trimmed texts, and lines of elements.
#pragma once

#include <pugixml.hpp>

#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <string_view>
#include <vector>

#include "tallyfold/model.hpp"

namespace tallyfold::camt {

using Node = pugi::xml_node;

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

/// The value of the attribute `name` (any prefix), without surrounding white space.
inline std::string_view trim_attribute(Node n, std::string_view name) noexcept {
  for (pugi::xml_attribute a = n.first_attribute(); a; a = a.next_attribute()) {
    if (local_name(a.name()) == name) return trim_white_space(a.value());
  }
  return {};
}

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

 private:
  std::string_view text_;
  std::vector<std::size_t> breaks_;
  bool counted_ = false;
};

}  // namespace tallyfold::camt
