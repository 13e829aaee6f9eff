#include "tallyfold/decode.hpp"

namespace tallyfold {
namespace {

// Placeholder until the layout is decoded: recognises nothing.
class SwiftStructuredDecoder final : public Decoder {
 public:
  std::optional<DecodedDetails> decode(std::string_view) const override { return std::nullopt; }
  std::string_view name() const noexcept override { return "swift-structured"; }
};

}  // namespace

const Decoder& swift_structured_decoder() noexcept {
  static const SwiftStructuredDecoder instance;
  return instance;
}

}  // namespace tallyfold
