#include "bankfile/block_scan.hpp"

#if defined(TALLYFOLD_SSE2_SCAN)
#include <emmintrin.h>

#include "util/bits.hpp"

namespace tallyfold::detail {

// The blocks read two bytes past their end, for needs_look. Special and NUL bytes are
// looked for with STX besides: a byte up to 3, 0x1A or "@"; and lone carriage returns.
void scan_blocks_sse2(const char* text, std::size_t count, Blocks& out) noexcept {
  const auto set = [](char c) { return _mm_set1_epi8(c); };
  const __m128i line_feed = set('\n'), three = set(3), sub = set('\x1a'), at = set('@');
  const __m128i carriage_return = set('\r');
  const __m128i brace = set('{'), dash = set('-'), colon = set(':'), one = set('1'), two = set('2'), six = set('6');
  start_blocks(out);
  std::uint64_t starts_line = 1;
  std::uint64_t bit = 1;
  for (std::size_t k = 0; k < count; ++k, bit <<= 1) {
    const char* p = text + 64 * k;
    __m128i special = _mm_setzero_si128();
    std::uint64_t feeds = 0;
    std::uint64_t high = 0;
    std::uint64_t look = 0;
    for (unsigned i = 0; i < 4; ++i) {
      const auto load = [p, i](unsigned ahead) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i + ahead));
      };
      const __m128i bytes = load(0), next = load(1), after_next = load(2);
      feeds |= std::uint64_t{static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, line_feed)))}
               << (16 * i);
      high |= std::uint64_t{static_cast<std::uint32_t>(_mm_movemask_epi8(bytes))} << (16 * i);
      const __m128i low = _mm_cmpeq_epi8(_mm_min_epu8(bytes, three), bytes);
      special = _mm_or_si128(special, _mm_or_si128(low, _mm_or_si128(_mm_cmpeq_epi8(bytes, sub),
                                                                     _mm_cmpeq_epi8(bytes, at))));
      special = _mm_or_si128(special, _mm_andnot_si128(_mm_cmpeq_epi8(next, line_feed),
                                                       _mm_cmpeq_epi8(bytes, carriage_return)));
      const __m128i field_end = _mm_or_si128(
          _mm_cmpeq_epi8(next, two), _mm_andnot_si128(_mm_cmpeq_epi8(after_next, one), _mm_cmpeq_epi8(next, six)));
      const __m128i framing = _mm_or_si128(_mm_cmpeq_epi8(bytes, brace), _mm_cmpeq_epi8(bytes, dash));
      const __m128i looks = _mm_or_si128(framing, _mm_and_si128(_mm_cmpeq_epi8(bytes, colon), field_end));
      look |= std::uint64_t{static_cast<std::uint32_t>(_mm_movemask_epi8(looks))} << (16 * i);
    }
    add_block(out, k, bit, feeds, high, look, static_cast<unsigned>(popcount64(feeds)), starts_line);
    out.maybe_special |= _mm_movemask_epi8(special) != 0 ? bit : 0;
  }
}

}  // namespace tallyfold::detail
#endif
