#include <cstddef>
#include <vector>

#include "decoders/numbered_subfields.hpp"
#include "decoders/text.hpp"
#include "model/fixed_keys.hpp"
#include "tallyfold/decode.hpp"
#include "util/byte_bits.hpp"

namespace tallyfold {
namespace {

// The remittance subfields in text order, as views until they are joined once at the
// exact size. Inline for the usual few; a text with many spills to the heap.
class RemittancePieces {
 public:
  RemittancePieces() noexcept {}  // the inline pieces are written before they are read
  void push(std::string_view piece) {
    if (count_ < kInline) {
      inline_[count_] = piece;
    } else {
      if (spilled_.empty()) spilled_.assign(inline_, inline_ + kInline);
      spilled_.push_back(piece);
    }
    ++count_;
    length_ += piece.size();
  }
  bool empty() const noexcept { return count_ == 0; }

  /// Length of the pieces joined by one space.
  std::size_t joined_size() const noexcept { return count_ == 0 ? 0 : length_ + count_ - 1; }

  /// Appends the pieces joined by one space to the value being written.
  void write_joined(DecodedDetails::Builder& builder) const {
    builder.append_joined({spilled_.empty() ? inline_ : spilled_.data(), count_}, ' ');
  }

 private:
  static constexpr std::size_t kInline = 12;
  // Not set up for each text: only the first count_ are ever read.
  union {
    std::string_view inline_[kInline];
  };
  std::vector<std::string_view> spilled_;
  std::size_t count_ = 0;
  std::size_t length_ = 0;
};

class GermanGvcDecoder final : public Decoder {
 public:
  std::optional<DecodedDetails> decode(std::string_view details, TextBuffer& into) const override {
    detail::ByteBits marks(details, '?');
    std::size_t mark = marks.next();
    if (mark == std::string_view::npos) return std::nullopt;

    // One pass over the pieces after each "?": recognition and decoding together. Only
    // views are kept until the map is built, so a refused text allocates nothing.
    detail::SubfieldTable fields;
    RemittancePieces remittance;
    while (mark != std::string_view::npos) {
      const std::size_t start = mark + 1;
      mark = marks.next();
      const std::size_t end = mark == std::string_view::npos ? details.size() : mark;
      const auto field = detail::read_subfield({details.data() + start, end - start});
      if (!field) continue;
      fields.set(*field);
      if (field->number >= 20 && field->number <= 29) {
        // Every occurrence counts here, repeated numbers and empty values included.
        remittance.push(field->value);
      }
    }
    if (fields.empty()) return std::nullopt;

    // The leading digits can never run past the first "?", so the head needs no cut.
    std::size_t code_length = 0;
    while (code_length < details.size() && ascii::is_digit(details[code_length])) {
      ++code_length;
    }
    constexpr detail::FixedKey kRemittanceKey("REMI_COMBINED");
    constexpr detail::FixedKey kCodeKey("gvc");
    const std::size_t entries = fields.count() + !remittance.empty() + (code_length > 0);
    // Keys and values are positions in the text or keys of the table: only the joined
    // remittance text is written out.
    DecodedDetails::Builder map(into, details, entries, remittance.joined_size());
    // Ascending key order: "00".."99" < "REMI_COMBINED" < "gvc". The joined remittance
    // text is written in place, never built on its own.
    fields.write_to(map);
    if (!remittance.empty()) {
      detail::add_key(map, kRemittanceKey);
      remittance.write_joined(map);
    }
    if (code_length > 0) {
      detail::add_key(map, kCodeKey);
      map.append_value(details.substr(0, code_length));
    }
    return std::move(map).finish(Layout::GermanGvc);
  }

  std::string_view name() const noexcept override { return "german-gvc"; }
};

}  // namespace

const Decoder& german_gvc_decoder() noexcept {
  static const GermanGvcDecoder instance;
  return instance;
}

}  // namespace tallyfold
