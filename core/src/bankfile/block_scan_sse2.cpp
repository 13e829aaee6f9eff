#include "bankfile/block_scan.hpp"

#if defined(TALLYFOLD_SSE2_SCAN)
#include <emmintrin.h>

#include "util/bits.hpp"

namespace tallyfold::detail {

// Without a byte shuffle each mask takes its own compares; what is rare (bytes not
// ASCII, control bytes, '@', carriage returns) is gathered into one test per block.
void scan_blocks_sse2(const char* text, std::size_t count, Blocks& out) noexcept {
  const auto set = [](char c) { return _mm_set1_epi8(c); };
  const __m128i line_feed = set('\n'), carriage_return = set('\r'), nul = _mm_setzero_si128();
  const __m128i brace = set('{'), dash = set('-'), colon = set(':'), four = set(4), six = set('6'), digit_one = set('1');
  const __m128i one = set('\x01'), three = set('\x03'), sub = set('\x1a'), at = set('@');
  // Signed compares: 0x80 to 0xBF are below -64, 0xC2 to 0xDF between -63 and -32.
  const __m128i below_leads = set('\xc0'), above_c1 = set('\xc1'), past_leads = set('\xe0');
  start_blocks(out);
  std::uint64_t starts_line = 1;
  unsigned lines = 0;
  for (std::size_t k = 0; k < count; ++k) {
    const char* p = text + 64 * k;
    prefetch_ahead(p);
    std::uint64_t feeds = 0;
    std::uint64_t needed = 0;
    std::uint64_t high = 0;
    std::uint64_t leads = 0;
    std::uint64_t continuations = 0;
    std::uint64_t returns = 0;
    __m128i special = _mm_setzero_si128();
    __m128i nuls = _mm_setzero_si128();
    __m128i braces = _mm_setzero_si128();
    for (unsigned i = 0; i < 4; ++i) {
      const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
      const auto mask = [i](__m128i v) {
        return std::uint64_t{static_cast<std::uint32_t>(_mm_movemask_epi8(v))} << (16 * i);
      };
      feeds |= mask(_mm_cmpeq_epi8(bytes, line_feed));
      // needs_look at every byte, from the bytes one and two further on.
      const __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i + 1));
      const __m128i third = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i + 2));
      const __m128i tag = _mm_andnot_si128(_mm_cmpeq_epi8(third, digit_one),
                                           _mm_cmpeq_epi8(_mm_or_si128(second, four), six));
      const __m128i braced = _mm_cmpeq_epi8(bytes, brace);
      braces = _mm_or_si128(braces, braced);
      needed |= mask(_mm_or_si128(_mm_or_si128(braced, _mm_cmpeq_epi8(bytes, dash)),
                                  _mm_and_si128(_mm_cmpeq_epi8(bytes, colon), tag)));
      high |= mask(bytes);
      leads |= mask(_mm_and_si128(_mm_cmpgt_epi8(bytes, above_c1), _mm_cmpgt_epi8(past_leads, bytes)));
      continuations |= mask(_mm_cmpgt_epi8(below_leads, bytes));
      returns |= mask(_mm_cmpeq_epi8(bytes, carriage_return));
      special = _mm_or_si128(special, _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(bytes, one), _mm_cmpeq_epi8(bytes, three)),
                                                   _mm_or_si128(_mm_cmpeq_epi8(bytes, sub), _mm_cmpeq_epi8(bytes, at))));
      nuls = _mm_or_si128(nuls, _mm_cmpeq_epi8(bytes, nul));
    }
    add_block(out, k, feeds, needed, static_cast<unsigned>(popcount64(feeds)), lines, starts_line);
    out.special |= std::uint64_t{_mm_movemask_epi8(special) != 0} << k;
    out.nul |= _mm_movemask_epi8(nuls) != 0;
    out.brace |= _mm_movemask_epi8(braces) != 0;
    if (high != 0) add_high(out, k, high, leads, continuations);
    out.lone_carriage_return |= has_lone_return(p, feeds, returns);
  }
}

}  // namespace tallyfold::detail
#endif
