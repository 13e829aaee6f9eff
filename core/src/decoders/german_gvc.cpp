#include "tallyfold/decode.hpp"

namespace tallyfold {
namespace {

// Placeholder until the layout is decoded: recognises nothing.
class GermanGvcDecoder final : public Decoder {
 public:
  std::optional<DecodedDetails> decode(std::string_view) const override { return std::nullopt; }
  std::string_view name() const noexcept override { return "german-gvc"; }
};

}  // namespace

const Decoder& german_gvc_decoder() noexcept {
  static const GermanGvcDecoder instance;
  return instance;
}

}  // namespace tallyfold
