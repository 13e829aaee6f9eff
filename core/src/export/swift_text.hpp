// Text in SWIFT's X character set: a-z A-Z 0-9 / - ? : ( ) . , ' + and the blank.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "util/short_copy.hpp"

namespace tallyfold::detail {

/// Appends `text` (UTF-8) in the X character set: letters with marks lose them (ü → u,
/// ß → ss, Ł → L), a few signs take their nearest X form (& → +, € → EUR) and anything
/// else, ill-formed bytes included, becomes ".". Line breaks and tabs become blanks.
/// Returns how many characters were written in another form. One character at a time:
/// the rule put_swift_x follows a block at a time.
std::size_t append_swift_x(std::string_view text, std::string& out);

/// What put_swift_x and put_swift_x_dashed wrote besides the text.
struct SwiftXWritten {
  std::size_t changed = 0;  // characters written in another form
  std::size_t slashes = 0;  // "/" written (by put_swift_x_dashed: written as "-")
  bool blank = false;       // a blank was written (told by put_swift_x_dashed alone)
};

/// The same written at `at`, which has room for text.size() bytes: no X form is longer
/// than the UTF-8 it stands for. Returns the end of what was written; adds to `written`
/// how many characters were written in another form and how many "/" there were.
char* put_swift_x(std::string_view text, char* at, SwiftXWritten& written) noexcept;

/// put_swift_x with each "/" written as "-", and whether a blank was written: one pass
/// for the values where "/" would part a field, and for those whose blanks are dropped.
char* put_swift_x_dashed(std::string_view text, char* at, SwiftXWritten& written) noexcept;

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

/// The amount as MT940 writes it at `at` (room for 16 bytes): without its sign, with a
/// decimal comma and exactly two fraction digits, trailing zeros beyond two dropped.
/// Returns its length, or 0 when MT940 cannot hold it (another digit beyond two, or
/// more than the 15 characters of the field).
std::size_t put_mt_amount(std::uint64_t mantissa, int scale, char* at) noexcept;

/// The digits of 00 to 99, two by two: a date is three pairs.
inline constexpr std::array<char, 200> kDigitPairs = [] {
  std::array<char, 200> pairs{};
  for (std::size_t n = 0; n < 100; ++n) {
    pairs[2 * n] = static_cast<char>('0' + n / 10);
    pairs[2 * n + 1] = static_cast<char>('0' + n % 10);
  }
  return pairs;
}();

/// The last two decimal digits of n at `at`.
inline void put_two_digits(unsigned n, char* at) noexcept { std::memcpy(at, &kDigitPairs[2 * (n % 100)], 2); }

/// Writes each "/" of p[0, n) as "-" and returns how many there were: 16 bytes at a time
/// where the machine allows, since most values have none and are short.
std::size_t slashes_to_dashes(char* p, std::size_t n) noexcept;

}  // namespace tallyfold::detail
