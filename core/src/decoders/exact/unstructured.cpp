#include "tallyfold/decode.hpp"
#include "model/fixed_keys.hpp"

namespace tallyfold {
namespace {

// The catch-all at the end of every chain: keeps the whole text, byte for byte.
class UnstructuredDecoder final : public Decoder {
 public:
  [[gnu::hot]] std::optional<DecodedDetails> decode(std::string_view details, TextBuffer& into) const override {
    constexpr detail::FixedKey kKey("detail");
    DecodedDetails::Builder map(into, details, 1, kKey.key.size() + details.size());
    detail::add_key(map, kKey);
    map.append_value(details);
    return std::move(map).finish(Layout::Unstructured);
  }
  std::string_view name() const noexcept override { return "unstructured"; }
};

}  // namespace

const Decoder& unstructured_decoder() noexcept {
  static const UnstructuredDecoder instance;
  return instance;
}

}  // namespace tallyfold
