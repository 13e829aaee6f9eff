// Byte classes of ASCII. Statements are read and written by these, never by the C
// locale's classes, so that a file reads the same on every machine; a byte of a UTF-8
// character belongs to none of them.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace tallyfold::ascii {

constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }
constexpr bool is_upper(char c) noexcept { return c >= 'A' && c <= 'Z'; }
constexpr bool is_lower(char c) noexcept { return c >= 'a' && c <= 'z'; }
constexpr bool is_letter(char c) noexcept { return is_upper(c) || is_lower(c); }
constexpr bool is_alnum(char c) noexcept { return is_digit(c) || is_letter(c); }
constexpr bool is_upper_or_digit(char c) noexcept { return is_upper(c) || is_digit(c); }
constexpr bool is_ascii(char c) noexcept { return static_cast<unsigned char>(c) < 0x80; }
/// A printing character other than the blank: never white space, never part of a UTF-8
/// character.
constexpr bool is_graphic(char c) noexcept { return c > ' ' && c < 0x7F; }
/// C0 controls and DEL: the bytes that can steer a terminal.
constexpr bool is_control(char c) noexcept {
  return static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) == 0x7F;
}
constexpr char to_upper(char c) noexcept { return is_lower(c) ? static_cast<char>(c - 'a' + 'A') : c; }
constexpr char to_lower(char c) noexcept { return is_upper(c) ? static_cast<char>(c - 'A' + 'a') : c; }

/// The number written by the `n` digits (at most 9) at `at` in `text`; nullopt when
/// `text` ends before them or one is not a digit.
constexpr std::optional<int> number_at(std::string_view text, std::size_t at, std::size_t n) noexcept {
  if (at > text.size() || n > text.size() - at) return std::nullopt;
  int v = 0;
  for (std::size_t i = at; i < at + n; ++i) {
    if (!is_digit(text[i])) return std::nullopt;
    v = v * 10 + (text[i] - '0');
  }
  return v;
}

}  // namespace tallyfold::ascii
