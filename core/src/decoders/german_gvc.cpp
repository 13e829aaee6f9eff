#include <cstddef>
#include <string>
#include <vector>

#include "decoders/numbered_subfields.hpp"
#include "tallyfold/decode.hpp"

namespace tallyfold {
namespace {

class GermanGvcDecoder final : public Decoder {
 public:
  std::optional<DecodedDetails> decode(std::string_view details) const override {
    std::size_t mark = details.find('?');
    if (mark == std::string_view::npos) return std::nullopt;

    // One pass over the pieces after each "?": recognition and decoding together. Only
    // views are kept until the end, except the remittance text, which only a qualifying
    // subfield can start, so a refused text allocates nothing.
    detail::SubfieldTable fields;
    std::string remittance;
    bool has_remittance = false;
    while (mark != std::string_view::npos) {
      const std::size_t start = mark + 1;
      mark = details.find('?', start);
      const std::string_view candidate =
          details.substr(start, mark == std::string_view::npos ? std::string_view::npos
                                                                : mark - start);
      const auto field = detail::read_subfield(candidate);
      if (!field) continue;
      fields.set(*field);
      if (field->number >= 20 && field->number <= 29) {
        // Every occurrence counts here, repeated numbers and empty values included.
        if (has_remittance) remittance.push_back(' ');
        remittance.append(field->value);
        has_remittance = true;
      }
    }
    if (fields.empty()) return std::nullopt;

    std::vector<DecodedDetails::Entry> writes;
    writes.reserve(fields.count() + 2);
    // Written in ascending key order ("00".."99" < "REMI_COMBINED" < "gvc"), so building
    // the map does no reordering.
    fields.append_writes(writes);
    if (has_remittance) writes.emplace_back("REMI_COMBINED", std::move(remittance));
    // The leading digits can never run past the first "?", so the head needs no cut.
    std::size_t code_length = 0;
    while (code_length < details.size() && detail::is_ascii_digit(details[code_length])) {
      ++code_length;
    }
    if (code_length > 0) writes.emplace_back("gvc", std::string(details.substr(0, code_length)));
    return DecodedDetails::from_writes(std::move(writes));
  }

  std::string_view name() const noexcept override { return "german-gvc"; }
};

}  // namespace

const Decoder& german_gvc_decoder() noexcept {
  static const GermanGvcDecoder instance;
  return instance;
}

}  // namespace tallyfold
