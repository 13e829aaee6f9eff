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

namespace tallyfold::detail {

/// One step through UTF-8 text: the length of the well-formed character at the start
/// of `p` (1 to 4) with `valid` set, or the length of the maximal ill-formed subpart to
/// replace by one U+FFFD (at least 1) with `valid` clear. `n` is at least 1.
struct Utf8Step {
  std::size_t length;
  bool valid;
};

inline Utf8Step utf8_step(const unsigned char* p, std::size_t n) noexcept {
  const unsigned char c = p[0];
  if (c < 0x80) return {1, true};
  std::size_t need;
  unsigned char lo = 0x80;
  unsigned char hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    need = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    need = 3;
    if (c == 0xE0) lo = 0xA0;       // no overlong forms
    if (c == 0xED) hi = 0x9F;       // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    need = 4;
    if (c == 0xF0) lo = 0x90;       // no overlong forms
    if (c == 0xF4) hi = 0x8F;       // nothing above U+10FFFF
  } else {
    return {1, false};
  }
  for (std::size_t i = 1; i < need; ++i) {
    if (i >= n) return {i, false};
    const unsigned char b = p[i];
    if (i == 1 ? (b < lo || b > hi) : (b < 0x80 || b > 0xBF)) return {i, false};
  }
  return {need, true};
}

inline constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";

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
