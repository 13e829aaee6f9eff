// The two slash layouts read as one: in the bank chain a text is looked at once for the
// marks of both, instead of once by each layout's decoder.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "decoders/text.hpp"
#include "tallyfold/decode.hpp"
#include "tallyfold/model.hpp"

namespace tallyfold::detail {

/// The details without line breaks and the blanks around them, and the way back from a
/// part of that text to the details: banks break a line wherever it is full, but most
/// values stand on one line, and a value that is a run of the details stays a position in
/// them when the map is written instead of a copy.
class JoinedSlashText {
 public:
  /// `details` joined (written into this object only when they hold a line break) and
  /// trimmed; valid until the next call.
  std::string_view join(std::string_view details);
  /// `details` trimmed, for details that hold no line break but among the blanks
  /// trimmed off (which leave the same text when joined); valid until the next call.
  std::string_view unbroken(std::string_view details) noexcept {
    details_ = details;
    runs_.clear();
    return trimmed(details);
  }
  /// `part` of the joined text as the same bytes in the details where no line break
  /// cuts it; otherwise `part` itself.
  std::string_view in_details(std::string_view part) const noexcept {
    return runs_.empty() ? part : in_lines(part);  // most texts come on one line
  }

 private:
  std::string_view in_lines(std::string_view part) const noexcept;

  struct Run {
    std::size_t joined_at;   // where a line's bytes start in `joined_`
    std::size_t details_at;  // and in the details
  };
  std::string_view details_;
  std::string joined_;
  std::vector<Run> runs_;
};

/// A party block written one sub-field per line (or such lines joined), decoded by its
/// lines; nullopt when `details` is no such block.
std::optional<DecodedDetails> decode_party_block_slow(std::string_view details, TextBuffer& into);
// Inline, as it is asked of every text with a slash: only the party codes open such a
// block, so texts of the single-slash layout, which often open with "/NAME/" or
// "/REMI/", are passed over at their first bytes.
inline std::optional<DecodedDetails> decode_party_block(std::string_view details, TextBuffer& into) {
  const std::string_view text = trimmed(details);
  if (text.size() < 7 || text[0] != '/' || text[5] != '/' || (text[1] != 'C' && text[1] != 'B' && text[1] != 'O')) {
    return std::nullopt;
  }
  return decode_party_block_slow(details, into);
}

/// Whether the "/" at `slash` in `text` (the details joined and trimmed) opens a mark of
/// the slash-segments layout: "/CNTP/", "/REMI/USTD", "/REMI/STRD", or "/BENM/" or
/// "/ORDP/" before an account.
bool opens_segments_mark_slow(std::string_view text, std::size_t slash) noexcept;
// Inline, as it is asked at every slash: nearly all are passed over at a look at two
// bytes, every mark being "/", four letters and "/".
inline bool opens_segments_mark(std::string_view text, std::size_t slash) noexcept {
  if (text.size() - slash < 6 || text[slash + 5] != '/') return false;
  const char c = text[slash + 1];
  if (c != 'C' && c != 'R' && c != 'B' && c != 'O') return false;
  return opens_segments_mark_slow(text, slash);
}

/// `text` (the details joined and trimmed) decoded as slash segments; the text holds a
/// mark of that layout.
DecodedDetails decode_slash_segments(std::string_view details, const JoinedSlashText& joined, std::string_view text,
                                     TextBuffer& into);

/// What reading `text` as slash tags came to.
enum class SlashTagsOutcome { Decoded, NoMark, SegmentsMark };

/// `details` decoded as slash tags into `map`, `joined` and `text` set to the details
/// joined and trimmed. Refused without one of the layout's marks; with `segments_first`,
/// also refused as soon as a slash opens a mark of the slash-segments layout, which the
/// chain tries first: the one walk over the slashes answers both.
SlashTagsOutcome decode_slash_tags(std::string_view details, JoinedSlashText& joined, std::string_view& text,
                                   TextBuffer& into, bool segments_first, std::optional<DecodedDetails>& map);

/// Both slash layouts in the chain's order, for the bank chains.
const Decoder& bank_slash_decoder() noexcept;

}  // namespace tallyfold::detail
