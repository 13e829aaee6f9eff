#include "tallyfold/decode.hpp"

namespace tallyfold {
namespace {

// Placeholder until the layout is decoded: recognises nothing.
class AngularDecoder final : public Decoder {
 public:
  std::optional<DecodedDetails> decode(std::string_view) const override { return std::nullopt; }
  std::string_view name() const noexcept override { return "angular"; }
};

}  // namespace

const Decoder& angular_decoder() noexcept {
  static const AngularDecoder instance;
  return instance;
}

}  // namespace tallyfold
