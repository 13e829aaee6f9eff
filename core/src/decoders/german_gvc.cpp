#include <cstddef>
#include <string>
#include <vector>

#include "decoders/numbered_subfields.hpp"
#include "tallyfold/decode.hpp"

namespace tallyfold {
namespace {

// The remittance subfields in text order, as views until they are joined once at the
// exact size. Inline for the usual few; a text with many spills to the heap.
class RemittancePieces {
 public:
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

  /// The pieces joined by one space.
  std::string joined() const {
    const std::string_view* pieces = spilled_.empty() ? inline_ : spilled_.data();
    std::string out;
    out.reserve(length_ + count_ - 1);
    for (std::size_t i = 0; i < count_; ++i) {
      if (i != 0) out.push_back(' ');
      out.append(pieces[i]);
    }
    return out;
  }

 private:
  static constexpr std::size_t kInline = 12;
  std::string_view inline_[kInline];
  std::vector<std::string_view> spilled_;
  std::size_t count_ = 0;
  std::size_t length_ = 0;
};

class GermanGvcDecoder final : public Decoder {
 public:
  std::optional<DecodedDetails> decode(std::string_view details) const override {
    std::size_t mark = details.find('?');
    if (mark == std::string_view::npos) return std::nullopt;

    // One pass over the pieces after each "?": recognition and decoding together. Only
    // views are kept until the map is built, so a refused text allocates nothing.
    detail::SubfieldTable fields;
    RemittancePieces remittance;
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
        remittance.push(field->value);
      }
    }
    if (fields.empty()) return std::nullopt;

    // The leading digits can never run past the first "?", so the head needs no cut.
    std::size_t code_length = 0;
    while (code_length < details.size() && detail::is_ascii_digit(details[code_length])) {
      ++code_length;
    }
    std::vector<DecodedDetails::Entry> writes;
    // Exact: the map keeps this vector, and each spare slot would cost an entry's size.
    writes.reserve(fields.count() + !remittance.empty() + (code_length > 0));
    // Written in ascending key order ("00".."99" < "REMI_COMBINED" < "gvc"), so building
    // the map does no reordering.
    fields.append_writes(writes);
    if (!remittance.empty()) writes.emplace_back("REMI_COMBINED", remittance.joined());
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
