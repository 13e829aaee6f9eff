#include <array>

#include "decoders/bank/slash.hpp"
#include "decoders/bank/bank_details.hpp"

namespace tallyfold {
namespace {

// The slash layouts try the one with sub-fields first, its recognition being the
// narrower; one decoder looks for both. The labelled layouts come last, as any text may
// hold a ":".
const std::array<const Decoder*, 6> kBankFullChain{
    &detail::bank_slash_decoder(), &bank_german_sepa_decoder(),   &angular_decoder(),
    &bank_dutch_labels_decoder(),  &bank_polish_labels_decoder(), &unstructured_decoder()};
const std::array<const Decoder*, 2> kBankSwiftChain{&detail::bank_slash_decoder(), &unstructured_decoder()};
const std::array<const Decoder*, 2> kBankGvcChain{&bank_german_sepa_decoder(), &unstructured_decoder()};
const std::array<const Decoder*, 2> kBankAngularChain{&angular_decoder(), &unstructured_decoder()};

}  // namespace

std::optional<DecoderChain> select_bank_chain(std::string_view resolver) noexcept {
  if (resolver == "auto") return DecoderChain(kBankFullChain, FieldRules::Bank);
  if (resolver == "swift") return DecoderChain(kBankSwiftChain, FieldRules::Bank);
  if (resolver == "gvc") return DecoderChain(kBankGvcChain, FieldRules::Bank);
  if (resolver == "angular") return DecoderChain(kBankAngularChain, FieldRules::Bank);
  return std::nullopt;
}

}  // namespace tallyfold
