#include <array>

#include "tallyfold/decode.hpp"
#include "tallyfold/error.hpp"

namespace tallyfold {
namespace {

const std::array<const Decoder*, 4> kFullChain{&swift_structured_decoder(), &german_gvc_decoder(),
                                               &angular_decoder(), &unstructured_decoder()};
const std::array<const Decoder*, 2> kSwiftChain{&swift_structured_decoder(), &unstructured_decoder()};
const std::array<const Decoder*, 2> kGvcChain{&german_gvc_decoder(), &unstructured_decoder()};
const std::array<const Decoder*, 2> kAngularChain{&angular_decoder(), &unstructured_decoder()};

}  // namespace

std::optional<std::string> unknown_resolver(std::string_view name) {
  for (const std::string_view known : kResolverNames) {
    if (name == known) return std::nullopt;
  }
  std::string text = "unknown resolver '" + std::string(name) + "' (";
  for (std::size_t i = 0; i < kResolverNames.size(); ++i) {
    if (i != 0) text += ", ";
    text += kResolverNames[i];
  }
  return text + ")";
}

DecoderChain select_chain(std::string_view resolver) noexcept {
  if (resolver == "swift") return DecoderChain(kSwiftChain);
  if (resolver == "gvc") return DecoderChain(kGvcChain);
  if (resolver == "angular") return DecoderChain(kAngularChain);
  return DecoderChain(kFullChain);  // "auto" and every unrecognised name
}

// Hot, as are the decoders: the linker keeps them together (see StatementMachine::settle).
[[gnu::hot]] DecodedDetails decode_details(const DecoderChain& chain, std::string_view details, TextBuffer& into) {
  for (const Decoder* decoder : chain.decoders()) {
    if (auto map = decoder->decode(details, into)) return *map;
  }
  throw InternalError(
      "internal error: entered unreachable code: UnstructuredDecoder must be the last decoder "
      "in every chain");
}

}  // namespace tallyfold
