#include "camt/xml_tree.hpp"

#include <cstdint>
#include <cstring>

#include "util/ascii.hpp"

namespace tallyfold::camt {
namespace {

// A name as the parser keeps it, ending in NUL: measured once, and its local part, after
// the last colon. Two library searches take a short name without the mispredicted exit
// of a loop over its bytes.
struct Name {
  std::string_view whole;
  std::string_view local;
};
Name measure(const char* name) noexcept {
  const std::string_view whole(name, std::strlen(name));
  if (std::memchr(name, ':', whole.size()) == nullptr) return {whole, whole};
  return {whole, whole.substr(whole.rfind(':') + 1)};
}

// A text without surrounding white space. Most start and end with an ASCII graphic
// character: those are told inline, the others trimmed by the library's rule.
std::string_view trimmed(const char* text) noexcept {
  const std::string_view t(text, std::strlen(text));
  if (!t.empty() && ascii::is_graphic(t.front()) && ascii::is_graphic(t.back())) return t;
  return trim_white_space(t);
}

}  // namespace

[[gnu::hot]] void Tree::read(Node root, std::string_view opaque) {
  elements_.clear();
  attributes_.clear();
  opaque_ = opaque;
  read_element(root, 0);
}

[[gnu::hot]] Tree::Id Tree::read_element(Node node, unsigned level) {
  const auto id = static_cast<Id>(elements_.size());
  const std::string_view name = measure(node.name()).local;
  const auto attributes_at = static_cast<std::uint32_t>(attributes_.size());
  for (pugi::xml_attribute a = node.first_attribute(); a; a = a.next_attribute()) {
    const Name attribute = measure(a.name());
    attributes_.push_back(Attribute{attribute.whole, attribute.local, trimmed(a.value())});
  }
  // Text before any child is the element's value (the document is parsed so): then it
  // is the first text child the parser's child_value would give.
  bool text_seen = false;
  std::string_view text;
  if (const char* value = node.value(); *value != '\0') {
    text_seen = true;
    text = trimmed(value);
  }
  elements_.push_back(Record{name, text, 0, 0, attributes_at,
                             static_cast<std::uint32_t>(attributes_.size()) - attributes_at, text_seen, node});
  const bool expand = level < kDepth && !(level == 1 && !opaque_.empty() && name == opaque_);
  Id last = 0;
  for (Node c = node.first_child(); c; c = c.next_sibling()) {
    elements_[id].has_children = true;
    const pugi::xml_node_type type = c.type();
    if (type == pugi::node_element) {
      if (!expand) continue;
      const Id child = read_element(c, level + 1);
      if (last == 0) {
        elements_[id].first_child = child;
      } else {
        elements_[last].next_sibling = child;
      }
      last = child;
    } else if (!text_seen && (type == pugi::node_pcdata || type == pugi::node_cdata)) {
      // As the parser's child_value: the first text child's, even when empty.
      text_seen = true;
      elements_[id].text = trimmed(c.value());
    }
  }
  return id;
}

}  // namespace tallyfold::camt
