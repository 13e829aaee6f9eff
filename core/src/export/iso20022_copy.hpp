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
  using tallyfold::detail::word::load;
  const auto* s = reinterpret_cast<const unsigned char*>(from);
  if (n >= 16) {
#if defined(__SSE2__)
    const auto not_plain = [](__m128i x) noexcept {
      __m128i bad = _mm_cmplt_epi8(x, _mm_set1_epi8(0x20));  // controls, and every byte from 0x80
      bad = _mm_or_si128(bad, _mm_cmpeq_epi8(x, _mm_set1_epi8(0x7F)));
      bad = _mm_or_si128(bad, _mm_cmpeq_epi8(x, _mm_set1_epi8('&')));
      bad = _mm_or_si128(bad, _mm_cmpeq_epi8(x, _mm_set1_epi8('<')));
      bad = _mm_or_si128(bad, _mm_cmpeq_epi8(x, _mm_set1_epi8('>')));
      bad = _mm_or_si128(bad, _mm_cmpeq_epi8(x, _mm_set1_epi8('"')));
      return _mm_or_si128(bad, _mm_cmpeq_epi8(x, _mm_set1_epi8('\'')));
    };
    __m128i bad = _mm_setzero_si128();
    for (std::size_t i = 0; i + 16 < n; i += 16) {
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(to + i), x);
      bad = _mm_or_si128(bad, not_plain(x));
    }
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + n - 16));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to + n - 16), x);
    bad = _mm_or_si128(bad, not_plain(x));
    return _mm_movemask_epi8(bad) == 0;
#else
    std::uint64_t bad = 0;
    for (std::size_t i = 0; i + 8 < n; i += 8) {
      const std::uint64_t w = load(s + i);
      std::memcpy(to + i, &w, 8);
      bad |= word_not_plain(w);
    }
    const std::uint64_t w = load(s + n - 8);
    std::memcpy(to + n - 8, &w, 8);
    return (bad | word_not_plain(w)) == 0;
#endif
  }
  if (n >= 8) {
    const std::uint64_t a = load(s);
    const std::uint64_t b = load(s + n - 8);
    std::memcpy(to, &a, 8);
    std::memcpy(to + n - 8, &b, 8);
    return (word_not_plain(a) | word_not_plain(b)) == 0;
  }
  // Fewer than eight: the bytes gathered into one word, the rest of it filled with a
  // plain letter.
  std::uint64_t w = 0x6161616161616161ULL;
  if (n >= 4) {
    std::uint32_t a;
    std::uint32_t b;
    std::memcpy(&a, s, 4);
    std::memcpy(&b, s + n - 4, 4);
    std::memcpy(to, &a, 4);
    std::memcpy(to + n - 4, &b, 4);
    w = std::uint64_t{a} | std::uint64_t{b} << 32;
  } else if (n > 0) {
    to[0] = static_cast<char>(s[0]);
    to[n / 2] = static_cast<char>(s[n / 2]);
    to[n - 1] = static_cast<char>(s[n - 1]);
    w = (w & ~std::uint64_t{0xFFFFFF}) | s[0] | std::uint64_t{s[n / 2]} << 8 | std::uint64_t{s[n - 1]} << 16;
  }
  return word_not_plain(w) == 0;
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
