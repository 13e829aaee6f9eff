// Internal helpers shared by the exporters.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "tallyfold/fields.hpp"
#include "tallyfold/model.hpp"
#include "util/utf8.hpp"

namespace tallyfold::detail {

/// Appends the JSON number text of a finite double (shortest round-trip digits).
void format_json_number(double x, std::string& out);

/// Appends `text` with & < > " ' replaced by their XML entities, in one left-to-right
/// pass. So that any XML parser can read the result, every character XML 1.0 forbids
/// (controls other than tab, LF and CR; U+FFFE; U+FFFF) and every ill-formed UTF-8
/// sequence is written as U+FFFD.
void xml_escape(std::string_view text, std::string& out);

/// Eight bytes at a time: the escapers skip runs of ordinary ASCII with these tests
/// before looking at single bytes. Each answers exactly whether any of the eight bytes
/// qualifies (the result is non-zero then), not which one.
namespace word {
inline constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
inline constexpr std::uint64_t kHigh = 0x8080808080808080ULL;

inline std::uint64_t load(const unsigned char* p) noexcept {
  std::uint64_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}
/// Some byte is at or above 0x80.
inline std::uint64_t any_non_ascii(std::uint64_t w) noexcept { return w & kHigh; }
/// Some byte is below `n` (n at most 0x80).
inline std::uint64_t any_below(std::uint64_t w, unsigned char n) noexcept {
  return (w - kOnes * n) & ~w & kHigh;
}
/// Some byte equals `c`.
inline std::uint64_t any_equal(std::uint64_t w, unsigned char c) noexcept {
  const std::uint64_t x = w ^ (kOnes * c);
  return (x - kOnes) & ~x & kHigh;
}
}  // namespace word

/// Every byte printable ASCII, space to '~' (no controls, no DEL, nothing above 0x7F),
/// and, with `xml_plain`, none of the five that xml_escape writes as entities: a text
/// the camt writer's cleaning, cutting and escaping copy as it is. Eight bytes at a
/// time, the last word overlapping the one before so that no read passes the end.
template <bool xml_plain>
inline bool printable_ascii_words(std::string_view text) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  auto bad = [](std::uint64_t w) noexcept {
    std::uint64_t b = word::any_non_ascii(w) | word::any_below(w, 0x20) | word::any_equal(w, 0x7F);
    if constexpr (xml_plain) {
      b |= word::any_equal(w, '&') | word::any_equal(w, '<') | word::any_equal(w, '>') |
           word::any_equal(w, '"') | word::any_equal(w, '\'');
    }
    return b;
  };
  if (n < 8) {
    for (std::size_t i = 0; i < n; ++i) {
      const unsigned char c = p[i];
      if (c < 0x20 || c >= 0x7F) return false;
      if (xml_plain && (c == '&' || c == '<' || c == '>' || c == '"' || c == '\'')) return false;
    }
    return true;
  }
  std::uint64_t any = 0;
  for (std::size_t i = 0; i + 8 < n; i += 8) any |= bad(word::load(p + i));
  return (any | bad(word::load(p + n - 8))) == 0;
}
inline bool printable_ascii(std::string_view text) noexcept { return printable_ascii_words<false>(text); }
inline bool xml_plain(std::string_view text) noexcept { return printable_ascii_words<true>(text); }

}  // namespace tallyfold::detail
