// Text in SWIFT's X character set: a-z A-Z 0-9 / - ? : ( ) . , ' + and the blank.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace tallyfold::detail {

/// Appends `text` (UTF-8) in the X character set: letters with marks lose them (ü → u,
/// ß → ss, Ł → L), a few signs take their nearest X form (& → +, € → EUR) and anything
/// else, ill-formed bytes included, becomes ".". Line breaks and tabs become blanks.
/// Returns how many characters were written in another form.
std::size_t append_swift_x(std::string_view text, std::string& out);

/// Whether `c` belongs to the X character set. A table: it is asked of every byte written.
inline constexpr std::array<bool, 256> kSwiftX = [] {
  std::array<bool, 256> x{};
  for (char c = 'a'; c <= 'z'; ++c) x[static_cast<unsigned char>(c)] = true;
  for (char c = 'A'; c <= 'Z'; ++c) x[static_cast<unsigned char>(c)] = true;
  for (char c = '0'; c <= '9'; ++c) x[static_cast<unsigned char>(c)] = true;
  for (const char c : std::string_view("/-?:().,'+ ")) x[static_cast<unsigned char>(c)] = true;
  return x;
}();
inline bool is_swift_x(char c) noexcept { return kSwiftX[static_cast<unsigned char>(c)]; }

/// How many bytes at the start of `text` are in the X set: what is_swift_x says of each,
/// found 16 bytes at a time where the machine allows.
std::size_t swift_x_run(std::string_view text) noexcept;

/// Writes each "/" of p[0, n) as "-" and returns how many there were: 16 bytes at a time
/// where the machine allows, since most values have none and are short.
std::size_t slashes_to_dashes(char* p, std::size_t n) noexcept;

}  // namespace tallyfold::detail
