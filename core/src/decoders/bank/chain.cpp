#include <array>
#include <cstddef>

#include "decoders/bank/slash.hpp"
#include "decoders/bank/bank_details.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tallyfold {
namespace {

// Whether a text holds a mark of the angular layout ("<" or "^") and a ":" that any
// label needs, found in one pass.
struct TailMarks {
  bool angular = false;
  bool colon = false;
};

TailMarks tail_marks(std::string_view text) noexcept {
  const char* p = text.data();
  const std::size_t n = text.size();
#if defined(__SSE2__)
  if (n >= 16) {
    __m128i angular = _mm_setzero_si128();
    __m128i colon = _mm_setzero_si128();
    const auto look = [&angular, &colon](const char* from) {
      const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
      angular = _mm_or_si128(angular, _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('<')),
                                                   _mm_cmpeq_epi8(bytes, _mm_set1_epi8('^'))));
      colon = _mm_or_si128(colon, _mm_cmpeq_epi8(bytes, _mm_set1_epi8(':')));
    };
    for (std::size_t i = 0; n - i >= 16; i += 16) look(p + i);
    if (n % 16 != 0) look(p + n - 16);  // the last bytes, some looked at twice: presence alone counts
    return {_mm_movemask_epi8(angular) != 0, _mm_movemask_epi8(colon) != 0};
  }
#endif
  TailMarks marks;
  for (std::size_t i = 0; i < n; ++i) {
    marks.angular = marks.angular || p[i] == '<' || p[i] == '^';
    marks.colon = marks.colon || p[i] == ':';
  }
  return marks;
}

// The layouts the full chain tries after the German one, in their order: the angular
// one, then the labelled ones. Each refuses a text without its mark, and most texts that
// come this far are prose with none: one look for all the marks refuses them, where each
// layout would search the text again.
class BankTailDecoder final : public Decoder {
 public:
  [[gnu::hot]] std::optional<DecodedDetails> decode(std::string_view details, TextBuffer& into) const override {
    const TailMarks marks = tail_marks(details);
    if (marks.angular) {
      if (auto map = angular_decoder().decode(details, into)) return map;
    }
    if (!marks.colon) return std::nullopt;
    if (auto map = bank_dutch_labels_decoder().decode(details, into)) return map;
    return bank_polish_labels_decoder().decode(details, into);
  }

  std::string_view name() const noexcept override { return "bank-angular-or-labels"; }
};

const BankTailDecoder kBankTail;

// The slash layouts try the one with sub-fields first, its recognition being the
// narrower; one decoder looks for both. The labelled layouts come last, as any text may
// hold a ":".
const std::array<const Decoder*, 4> kBankFullChain{&detail::bank_slash_decoder(), &bank_german_sepa_decoder(),
                                                   &kBankTail, &unstructured_decoder()};
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
