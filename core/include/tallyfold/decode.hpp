// Details decoders: each turns one :86: text into a DecodedDetails map or refuses it.
// Decoders are field-less singletons, and a chain is a constant list of them. What a
// decoder answers depends on the text alone. The exact reading's decoders keep no state
// at all. The bank-file reading's layout decoders are not stateless: each keeps
// thread-local scratch vectors between calls, so that a file's thousands of texts cost
// no allocation each. Every call empties them before use, so nothing of one text
// reaches the next, and threads share nothing.
#pragma once

#include <array>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "tallyfold/model.hpp"

namespace tallyfold {

class Decoder {
 public:
  virtual ~Decoder() = default;
  /// A map written into `into` when this decoder recognises `details`, else nullopt
  /// with nothing written. Keeps nothing. `details` is the buffer's open piece (the map
  /// then lies right after it and closes it) or any other text, which is copied in.
  virtual std::optional<DecodedDetails> decode(std::string_view details, TextBuffer& into) const = 0;
  /// The fixed name, such as "swift-structured".
  virtual std::string_view name() const noexcept = 0;
};

/// The four decoders, one shared instance each.
const Decoder& swift_structured_decoder() noexcept;
const Decoder& german_gvc_decoder() noexcept;
const Decoder& angular_decoder() noexcept;
const Decoder& unstructured_decoder() noexcept;

/// An ordered list of decoders, and the rules that derive the fields of the transactions
/// whose details it reads. The built-in chains end with the unstructured decoder; a
/// chain built by hand that does not is a programming error found by decode_details.
class DecoderChain {
 public:
  constexpr explicit DecoderChain(std::span<const Decoder* const> decoders,
                                  FieldRules rules = FieldRules::Fixed) noexcept
      : decoders_(decoders), rules_(rules) {}
  std::span<const Decoder* const> decoders() const noexcept { return decoders_; }
  FieldRules rules() const noexcept { return rules_; }

 private:
  std::span<const Decoder* const> decoders_;
  FieldRules rules_;
};

/// The resolver names select_chain recognises, "auto" first. Front ends that refuse
/// other names list these; select_chain itself accepts any name.
inline constexpr std::array<std::string_view, 4> kResolverNames{"auto", "swift", "gvc", "angular"};

/// "unknown resolver 'NAME' (auto, swift, gvc, angular)" for a name not among
/// kResolverNames, which the front ends refuse (a misspelt name would otherwise fall back
/// to the full chain unnoticed); nullopt for a known name.
std::optional<std::string> unknown_resolver(std::string_view name);

/// The chain for a resolver name, compared byte for byte: "auto" and every unrecognised
/// name give the full chain; "swift", "gvc" and "angular" give their decoder followed by
/// the unstructured one. Allocates nothing; the chain refers to static storage.
DecoderChain select_chain(std::string_view resolver) noexcept;

/// The map of the first decoder in `chain` that recognises `details`, written into
/// `into` as Decoder::decode says. Throws InternalError when no decoder does (a chain
/// without its catch-all).
DecodedDetails decode_details(const DecoderChain& chain, std::string_view details, TextBuffer& into);

}  // namespace tallyfold
