#include "camt/xml_tree.hpp"

namespace tallyfold::camt {
namespace {

// A name as the parser keeps it, ending in NUL: measured once, its local part found on
// the way.
struct Name {
  std::string_view whole;
  std::string_view local;
};
Name measure(const char* name) noexcept {
  const char* local = name;
  const char* p = name;
  for (; *p != '\0'; ++p) {
    if (*p == ':') local = p + 1;
  }
  return {std::string_view(name, static_cast<std::size_t>(p - name)),
          std::string_view(local, static_cast<std::size_t>(p - local))};
}

}  // namespace

void Tree::read(Node root, std::string_view opaque) {
  elements_.clear();
  attributes_.clear();
  opaque_ = opaque;
  read_element(root, 0);
}

Tree::Id Tree::read_element(Node node, unsigned level) {
  const auto id = static_cast<Id>(elements_.size());
  elements_.emplace_back();
  Record e;
  e.node = node;
  e.name = measure(node.name()).local;
  e.attributes_at = static_cast<std::uint32_t>(attributes_.size());
  for (pugi::xml_attribute a = node.first_attribute(); a; a = a.next_attribute()) {
    const Name name = measure(a.name());
    attributes_.push_back(Attribute{name.whole, name.local, trim_white_space(a.value())});
  }
  e.attribute_count = static_cast<std::uint32_t>(attributes_.size()) - e.attributes_at;
  const bool expand = level < kDepth && !(level == 1 && !opaque_.empty() && e.name == opaque_);
  // Text before any child is the element's value (the document is parsed so): then it
  // is the first text child the parser's child_value would give.
  bool text_seen = false;
  if (const char* value = node.value(); *value != '\0') {
    text_seen = true;
    e.has_children = true;
    e.text = trim_white_space(value);
  }
  Id last = 0;
  for (Node c = node.first_child(); c; c = c.next_sibling()) {
    e.has_children = true;
    const pugi::xml_node_type type = c.type();
    if (type == pugi::node_element) {
      if (!expand) continue;
      const Id child = read_element(c, level + 1);
      if (last == 0) {
        e.first_child = child;
      } else {
        elements_[last].next_sibling = child;
      }
      last = child;
    } else if (!text_seen && (type == pugi::node_pcdata || type == pugi::node_cdata)) {
      // As the parser's child_value: the first text child's, even when empty.
      text_seen = true;
      e.text = trim_white_space(c.value());
    }
  }
  elements_[id] = e;
  return id;
}

}  // namespace tallyfold::camt
