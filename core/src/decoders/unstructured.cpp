#include "tallyfold/decode.hpp"

namespace tallyfold {
namespace {

// The catch-all at the end of every chain: keeps the whole text, byte for byte.
class UnstructuredDecoder final : public Decoder {
 public:
  std::optional<DecodedDetails> decode(std::string_view details) const override {
    std::vector<DecodedDetails::Entry> writes;
    writes.emplace_back("detail", std::string(details));
    return DecodedDetails::from_writes(std::move(writes));
  }
  std::string_view name() const noexcept override { return "unstructured"; }
};

}  // namespace

const Decoder& unstructured_decoder() noexcept {
  static const UnstructuredDecoder instance;
  return instance;
}

}  // namespace tallyfold
