#include <cstddef>
#include <string>
#include <vector>

#include "tallyfold/decode.hpp"

namespace tallyfold {
namespace {

// 3 or 4 capital ASCII letters and nothing else.
bool has_tag_shape(std::string_view segment) noexcept {
  if (segment.size() != 3 && segment.size() != 4) return false;
  for (char c : segment) {
    if (c < 'A' || c > 'Z') return false;
  }
  return true;
}

// Whether the text holds "/EREF/", "/NAME/", "/REMI/", "/BIC/" or "/IBAN/". One walk over
// the slashes instead of five substring searches: most texts have few slashes.
bool has_trigger_mark(std::string_view text) noexcept {
  for (std::size_t slash = text.find('/'); slash != std::string_view::npos;
       slash = text.find('/', slash + 1)) {
    const std::string_view rest = text.substr(slash + 1);
    if (rest.starts_with("EREF/") || rest.starts_with("NAME/") || rest.starts_with("REMI/") ||
        rest.starts_with("BIC/") || rest.starts_with("IBAN/")) {
      return true;
    }
  }
  return false;
}

class SwiftStructuredDecoder final : public Decoder {
 public:
  std::optional<DecodedDetails> decode(std::string_view details) const override {
    if (!has_trigger_mark(details)) return std::nullopt;

    std::vector<DecodedDetails::Entry> writes;
    writes.reserve(8);
    // Overlapping pairs (segment, next segment): every segment is looked at once as a
    // possible tag and once as a value, so the walk stays linear however the slashes fall.
    std::size_t slash = details.find('/');  // present: a trigger mark was found
    std::string_view segment = details.substr(0, slash);
    while (slash != std::string_view::npos) {
      const std::size_t start = slash + 1;
      slash = details.find('/', start);
      const std::string_view next = details.substr(
          start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
      if (has_tag_shape(segment)) {
        writes.emplace_back(std::string(segment), std::string(trim_white_space(next)));
      }
      segment = next;
    }
    return DecodedDetails::from_writes(std::move(writes));
  }

  std::string_view name() const noexcept override { return "swift-structured"; }
};

}  // namespace

const Decoder& swift_structured_decoder() noexcept {
  static const SwiftStructuredDecoder instance;
  return instance;
}

}  // namespace tallyfold
