#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "decoders/text.hpp"
#include "tallyfold/decode.hpp"
#include "util/byte_bits.hpp"

namespace tallyfold {
namespace {

// 3 or 4 capital ASCII letters and nothing else. Unrolled without a loop: every segment
// between two slashes is asked.
bool has_tag_shape(std::string_view segment) noexcept {
  if (segment.size() != 3 && segment.size() != 4) return false;
  const auto capital = [](char c) { return static_cast<unsigned char>(c - 'A') < 26; };
  return capital(segment[0]) & capital(segment[1]) & capital(segment[2]) &
         (segment.size() == 3 || capital(segment[3]));
}

// Whether the text holds "/EREF/", "/NAME/", "/REMI/", "/BIC/" or "/IBAN/". One walk over
// the slashes instead of five substring searches: most texts have few slashes.
bool has_trigger_mark(std::string_view text) noexcept {
  for (std::size_t slash = text.find('/'); slash != std::string_view::npos;
       slash = text.find('/', slash + 1)) {
    const std::string_view rest = text.substr(slash + 1);
    // Fixed-length compares, chosen by the first letter, compile to a few loads.
    const auto is = [rest](const char(&mark)[6]) {
      return rest.size() >= 5 && std::memcmp(rest.data(), mark, 5) == 0;
    };
    if (rest.empty()) continue;
    switch (rest[0]) {
      case 'E': if (is("EREF/")) return true; break;
      case 'N': if (is("NAME/")) return true; break;
      case 'R': if (is("REMI/")) return true; break;
      case 'I': if (is("IBAN/")) return true; break;
      case 'B': if (rest.size() >= 4 && std::memcmp(rest.data(), "BIC/", 4) == 0) return true; break;
      default: break;
    }
  }
  return false;
}

// The (tag, trimmed value) pairs of one text as views, kept inline for the usual
// handful and spilling to the heap only for texts with unusually many tags.
class TagValues {
 public:
  struct Item {
    std::string_view tag;
    std::string_view value;
    std::uint32_t order;  // the tag's bytes, big-endian from the top: orders as the tag does
  };

  /// A number that orders tags of 3 or 4 capital letters as their bytes do: no tag
  /// holds a zero byte, so a shorter tag, padded with zeros, sorts before its extensions.
  static std::uint32_t order_of(std::string_view tag) noexcept {
    const auto byte = [tag](std::size_t i) { return std::uint32_t{static_cast<unsigned char>(tag[i])}; };
    return byte(0) << 24 | byte(1) << 16 | byte(2) << 8 | (tag.size() == 4 ? byte(3) : 0u);
  }

  TagValues() noexcept {}

  void push(Item item) {
    if (size_ < kInline) {
      inline_[size_] = item;
    } else {
      if (spilled_.empty()) spilled_.assign(inline_, inline_ + kInline);
      spilled_.push_back(item);
    }
    ++size_;
  }

  // Orders by tag, keeping equal tags in text order, so the last of each run of equal
  // tags is the write that wins.
  void sort() {
    Item* items = data();
    const auto less = [](const Item& a, const Item& b) { return a.order < b.order; };
    if (size_ > kInline) {
      std::stable_sort(items, items + size_, less);
      return;
    }
    for (std::size_t i = 1; i < size_; ++i) {
      const Item moving = items[i];
      std::size_t j = i;
      for (; j > 0 && less(moving, items[j - 1]); --j) items[j] = items[j - 1];
      items[j] = moving;
    }
  }

  Item* data() noexcept { return spilled_.empty() ? inline_ : spilled_.data(); }
  std::size_t size() const noexcept { return size_; }

 private:
  static constexpr std::size_t kInline = 16;
  // Not set up for each text: only the first size_ are ever read.
  union {
    Item inline_[kInline];
  };
  std::vector<Item> spilled_;
  std::size_t size_ = 0;
};

class SwiftStructuredDecoder final : public Decoder {
 public:
  std::optional<DecodedDetails> decode(std::string_view details, TextBuffer& into) const override {
    if (!has_trigger_mark(details)) return std::nullopt;

    // Overlapping pairs (segment, next segment): every segment is looked at once as a
    // possible tag and once as a value, so the walk stays linear however the slashes fall.
    // Pairs are collected as views and sorted before anything is copied, so each kept
    // value is copied once, straight into its final place in key order.
    TagValues found;
    detail::ByteBits slashes(details, '/');
    std::size_t slash = slashes.next();  // present: a trigger mark was found
    std::string_view segment = details.substr(0, slash);
    while (slash != std::string_view::npos) {
      const std::size_t start = slash + 1;
      slash = slashes.next();
      const std::string_view next(details.data() + start,
                                  (slash == std::string_view::npos ? details.size() : slash) - start);
      if (has_tag_shape(segment)) found.push({segment, detail::trimmed(next), TagValues::order_of(segment)});
      segment = next;
    }
    found.sort();

    const TagValues::Item* items = found.data();
    const std::size_t n = found.size();
    // Of each run of equal tags, the last is the write that wins.
    const auto kept = [items, n](std::size_t i) { return i + 1 == n || items[i + 1].order != items[i].order; };
    std::size_t unique = 0;
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < n; ++i) {
      if (!kept(i)) continue;
      ++unique;
      bytes += items[i].tag.size() + items[i].value.size();
    }
    DecodedDetails::Builder map(into, details, unique, bytes);
    // Sorted and without repeats: after the first, every key ascends by construction.
    bool first = true;
    for (std::size_t i = 0; i < n; ++i) {
      if (!kept(i)) continue;
      if (first) {
        map.add_entry(items[i].tag, items[i].value);
        first = false;
      } else {
        map.add_entry_in_order(items[i].tag, items[i].value);
      }
    }
    return std::move(map).finish(Layout::SwiftStructured);
  }

  std::string_view name() const noexcept override { return "swift-structured"; }
};

}  // namespace

const Decoder& swift_structured_decoder() noexcept {
  static const SwiftStructuredDecoder instance;
  return instance;
}

}  // namespace tallyfold
