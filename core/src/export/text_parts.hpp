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

}  // namespace tallyfold::detail
