// The byte copies of the camt element writer. An element is a few bytes of markup and a
// short value; a library call per piece costs more in its size dispatch than the copy,
// so these copy inline, reading exactly the source's bytes and writing exactly as many.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "export/text_parts.hpp"
#include "util/short_copy.hpp"
#include "util/utf8.hpp"
#include "util/xml_text.hpp"

namespace tallyfold::camt::copy {

/// Whether some byte of the word is outside printable ASCII or one of the five that
/// XML writes as entities (non-zero then): the rule of detail::xml_plain.
inline std::uint64_t word_not_plain(std::uint64_t w) noexcept {
  namespace word = tallyfold::detail::word;
  return word::any_non_ascii(w) | word::any_below(w, 0x20) | word::any_equal(w, 0x7F) | word::any_equal(w, '&') |
         word::any_equal(w, '<') | word::any_equal(w, '>') | word::any_equal(w, '"') | word::any_equal(w, '\'');
}

/// Copies `n` bytes as copy_short() does and says whether they all are plain as
/// detail::xml_plain takes it: the usual text is checked in the same loads that copy it.
inline bool plain_bytes(char* to, const char* from, std::size_t n) noexcept {
#if defined(__SSE2__)
  __m128i bad = _mm_setzero_si128();
  tallyfold::detail::copy_looking(from, n, to, [&bad](__m128i x) noexcept {
    bad = _mm_or_si128(bad, _mm_cmplt_epi8(x, _mm_set1_epi8(0x20)));  // controls, and every byte from 0x80
    bad = _mm_or_si128(bad, _mm_cmpeq_epi8(x, _mm_set1_epi8(0x7F)));
    bad = _mm_or_si128(bad, _mm_cmpeq_epi8(x, _mm_set1_epi8('&')));
    bad = _mm_or_si128(bad, _mm_cmpeq_epi8(x, _mm_set1_epi8('<')));
    bad = _mm_or_si128(bad, _mm_cmpeq_epi8(x, _mm_set1_epi8('>')));
    bad = _mm_or_si128(bad, _mm_cmpeq_epi8(x, _mm_set1_epi8('"')));
    bad = _mm_or_si128(bad, _mm_cmpeq_epi8(x, _mm_set1_epi8('\'')));
  });
  return _mm_movemask_epi8(bad) == 0;
#else
  // Builds without SSE2 (other processors) copy and judge in two steps.
  tallyfold::detail::copy_short(to, from, n);
  return tallyfold::detail::xml_plain(std::string_view(from, n));
#endif
}

/// The most bytes escaped() writes for `n` bytes: "&quot;" for one.
constexpr std::size_t escaped_room(std::size_t n) noexcept { return 6 * n; }

/// Writes `text` to `to` as detail::xml_escape appends it; where the text ends. There
/// must be escaped_room(text.size()) bytes of room.
inline char* escaped(char* to, std::string_view text) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = p + text.size();
  auto put = [&to](std::string_view s) noexcept {
    std::memcpy(to, s.data(), s.size());
    to += s.size();
  };
  while (p < end) {
    // Runs of plain ASCII a word at a time.
    while (end - p >= 8) {
      const std::uint64_t w = tallyfold::detail::word::load(p);
      if (word_not_plain(w)) break;
      std::memcpy(to, &w, 8);
      to += 8;
      p += 8;
    }
    if (p == end) break;
    const unsigned char c = *p;
    if (c >= 0x80) {
      const tallyfold::detail::XmlStep step = tallyfold::detail::xml_step(p, static_cast<std::size_t>(end - p));
      if (step.allowed) {
        std::memcpy(to, p, step.length);
        to += step.length;
      } else {
        put(tallyfold::detail::kReplacementCharacter);
      }
      p += step.length;
      continue;
    }
    switch (c) {
      case '&': put("&amp;"); break;
      case '<': put("&lt;"); break;
      case '>': put("&gt;"); break;
      case '"': put("&quot;"); break;
      case '\'': put("&apos;"); break;
      default:
        // No XML 1.0 document may hold the other control characters, escaped or not.
        if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') {
          put(tallyfold::detail::kReplacementCharacter);
        } else {
          *to++ = static_cast<char>(c);
        }
    }
    ++p;
  }
  return to;
}

}  // namespace tallyfold::camt::copy
