// UTF-8 as every reading and writer checks it: one rule for what is well formed, so that
// a text one part passes as valid is never replaced or refused by another.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace tallyfold::detail {

/// A byte that continues a character rather than starting one.
constexpr bool is_continuation_byte(char c) noexcept { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

/// The characters of UTF-8 text: the bytes that do not continue a character. Banks and
/// schemas count widths in characters, so a width is never counted in bytes.
constexpr std::size_t character_count(std::string_view text) noexcept {
  std::size_t n = 0;
  for (const char c : text) n += !is_continuation_byte(c);
  return n;
}

/// The bytes of the first `count` characters of `text`, counted as character_count
/// counts them: a cut there never splits a character. `text.size()` when it holds no
/// more than `count`.
constexpr std::size_t character_prefix(std::string_view text, std::size_t count) noexcept {
  std::size_t characters = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (is_continuation_byte(text[i])) continue;
    if (characters == count) return i;
    ++characters;
  }
  return text.size();
}

/// One step through UTF-8 text: the length of the well-formed character at the start
/// of `p` (1 to 4) with `valid` set, or the length of the maximal ill-formed subpart to
/// replace by one U+FFFD (at least 1) with `valid` clear. Well formed means no overlong
/// forms, no surrogates and nothing above U+10FFFF. `n` is at least 1.
struct Utf8Step {
  std::size_t length;
  bool valid;
};

inline Utf8Step utf8_step(const unsigned char* p, std::size_t n) noexcept {
  const unsigned char c = p[0];
  if (c < 0x80) return {1, true};
  std::size_t need;
  unsigned char lo = 0x80;  // allowed range of the second byte
  unsigned char hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    need = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    need = 3;
    if (c == 0xE0) lo = 0xA0;  // overlong
    if (c == 0xED) hi = 0x9F;  // surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    need = 4;
    if (c == 0xF0) lo = 0x90;  // overlong
    if (c == 0xF4) hi = 0x8F;  // above U+10FFFF
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

/// The length of the well-formed character that the `n` bytes at `p` start with, or 0
/// when they start an ill-formed sequence. p[0] is not ASCII.
inline std::size_t utf8_sequence_length(const unsigned char* p, std::size_t n) noexcept {
  const Utf8Step step = utf8_step(p, n);
  return step.valid ? step.length : 0;
}

/// The code point of the well-formed character of `length` bytes at `p`, as utf8_step
/// measured it.
inline char32_t code_point(const unsigned char* p, std::size_t length) noexcept {
  static constexpr unsigned char kLeadBits[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
  char32_t cp = p[0] & kLeadBits[length];
  for (std::size_t i = 1; i < length; ++i) cp = cp << 6 | (p[i] & 0x3Fu);
  return cp;
}

/// U+FFFD, what a writer puts where a text held no character.
inline constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";

/// Offset of the first byte from `from` on that is not ASCII, or the size.
std::size_t find_high_byte(std::string_view bytes, std::size_t from) noexcept;

}  // namespace tallyfold::detail

namespace tallyfold {

/// Offset of the first byte that does not belong to a well-formed UTF-8 sequence (no
/// overlong forms, surrogates or values above U+10FFFF), or nullopt.
std::optional<std::size_t> find_invalid_utf8(std::string_view bytes) noexcept;

}  // namespace tallyfold
