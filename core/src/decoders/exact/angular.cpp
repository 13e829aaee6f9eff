#include <algorithm>
#include <cstddef>

#include "decoders/numbered_subfields.hpp"
#include "model/fixed_keys.hpp"
#include "tallyfold/decode.hpp"

namespace tallyfold {
namespace {

// Byte length of the UTF-8 character that starts with `lead`. A byte that cannot start
// a character counts as a character of its own, so any byte sequence makes progress.
std::size_t character_length(unsigned char lead) noexcept {
  if (lead >= 0xF0 && lead <= 0xF7) return 4;
  if (lead >= 0xE0) return lead <= 0xEF ? 3 : 1;
  if (lead >= 0xC0) return 2;
  return 1;
}

// Whether some mark is followed by two ASCII digits, found by a scan that steps over the
// two characters it takes after each mark without examining them again. This is
// stricter than the decoding split: "<<20" is not recognised, although the split would
// read subfield 20 from it.
bool has_numbered_mark(std::string_view text, char mark) noexcept {
  std::size_t pos = text.find(mark);
  while (pos != std::string_view::npos) {
    std::size_t next = pos + 1;
    if (text.size() - next >= 2 && ascii::is_digit(text[next]) &&
        ascii::is_digit(text[next + 1])) {
      return true;
    }
    // Characters, not bytes, are taken: a multi-byte character after the mark hides
    // the character behind it exactly as an ASCII letter would.
    for (int taken = 0; taken < 2 && next < text.size(); ++taken) {
      next += std::min(character_length(static_cast<unsigned char>(text[next])),
                       text.size() - next);
    }
    pos = text.find(mark, next);
  }
  return false;
}

class AngularDecoder final : public Decoder {
 public:
  [[gnu::hot]] std::optional<DecodedDetails> decode(std::string_view details, TextBuffer& into) const override {
    // Most texts that reach this decoder are prose with neither mark: two vector
    // searches refuse them, where counting looks at every byte.
    const std::size_t first_angle = details.find('<');
    const std::size_t first_caret = details.find('^');
    if (first_angle == std::string_view::npos && first_caret == std::string_view::npos) return std::nullopt;
    // One pass for both counts, from the first mark on.
    std::size_t angles = 0;
    std::size_t carets = 0;
    for (const char c : details.substr(std::min(first_angle, first_caret))) {
      angles += c == '<';
      carets += c == '^';
    }
    char mark;
    if (angles > 0 && angles >= carets) {
      mark = '<';
    } else if (carets > 0) {
      mark = '^';
    } else {
      return std::nullopt;
    }
    if (!has_numbered_mark(details, mark)) return std::nullopt;

    std::size_t pos = details.find(mark);
    const std::string_view head = detail::trimmed(details.substr(0, pos));
    detail::SubfieldTable fields;
    while (pos != std::string_view::npos) {
      const std::size_t start = pos + 1;
      pos = details.find(mark, start);
      const auto field = detail::read_subfield(details.substr(
          start, pos == std::string_view::npos ? std::string_view::npos : pos - start));
      if (field) fields.set(*field);
    }

    constexpr detail::FixedKey kHeadKey("tx_code");
    DecodedDetails::Builder map(into, details, fields.count() + !head.empty(),
                                fields.bytes() + (head.empty() ? 0 : kHeadKey.key.size() + head.size()));
    // Ascending key order: "00".."99" sort before "tx_code".
    fields.write_to(map);
    if (!head.empty()) {
      detail::add_key(map, kHeadKey);
      map.append_value(head);
    }
    return std::move(map).finish(Layout::Angular);
  }

  std::string_view name() const noexcept override { return "angular"; }
};

}  // namespace

const Decoder& angular_decoder() noexcept {
  static const AngularDecoder instance;
  return instance;
}

}  // namespace tallyfold
