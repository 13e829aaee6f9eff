// Which characters an XML document may hold: the one rule behind both camt writers'
// text handling, which differ only in what they put where a character may not stand.
#pragma once

#include <cstddef>

#include "util/utf8.hpp"

namespace tallyfold::detail {

/// The character at `p` as XML 1.0 takes it: its length (as utf8_step gives it) and
/// whether a document may hold it. TAB, LF and CR may stand; the other C0 controls,
/// ill-formed UTF-8 and the non-characters U+FFFE and U+FFFF may not, escaped or not.
struct XmlStep {
  std::size_t length;
  bool allowed;
};

inline XmlStep xml_step(const unsigned char* p, std::size_t n) noexcept {
  const unsigned char c = p[0];
  if (c < 0x20) return {1, c == '\t' || c == '\n' || c == '\r'};
  const Utf8Step step = utf8_step(p, n);
  const bool non_character = step.length == 3 && c == 0xEF && p[1] == 0xBF && p[2] >= 0xBE;
  return {step.length, step.valid && !non_character};
}

/// Whether the well-formed character of `length` bytes at `p` is U+FFFD, which a reading
/// put where it could not decode a byte.
inline bool is_replacement_character(const unsigned char* p, std::size_t length) noexcept {
  return length == 3 && p[0] == 0xEF && p[1] == 0xBF && p[2] == 0xBD;
}

}  // namespace tallyfold::detail
