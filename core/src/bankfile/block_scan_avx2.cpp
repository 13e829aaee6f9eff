#include "bankfile/block_scan.hpp"

#if defined(TALLYFOLD_AVX2_SCAN)
#include <immintrin.h>

namespace tallyfold::detail {

// What scan_blocks_sse2 finds, with half the instructions; built for AVX2 whatever the
// build's target, and called only where the processor has it.
__attribute__((target("avx2,popcnt"))) void scan_blocks_avx2(const char* text, std::size_t count, Blocks& out) noexcept {
  // Lambdas would not inherit the target: everything is written out.
  const __m256i line_feed = _mm256_set1_epi8('\n');
  const __m256i three = _mm256_set1_epi8(3);
  const __m256i sub = _mm256_set1_epi8('\x1a');
  const __m256i at = _mm256_set1_epi8('@');
  const __m256i carriage_return = _mm256_set1_epi8('\r');
  const __m256i brace = _mm256_set1_epi8('{');
  const __m256i dash = _mm256_set1_epi8('-');
  const __m256i colon = _mm256_set1_epi8(':');
  const __m256i one = _mm256_set1_epi8('1');
  const __m256i two = _mm256_set1_epi8('2');
  const __m256i six = _mm256_set1_epi8('6');
  start_blocks(out);
  std::uint64_t starts_line = 1;
  std::uint64_t bit = 1;
  for (std::size_t k = 0; k < count; ++k, bit <<= 1) {
    const char* p = text + 64 * k;
    __m256i specials = _mm256_setzero_si256();
    std::uint64_t feeds = 0;
    std::uint64_t high = 0;
    std::uint64_t look = 0;
    for (unsigned i = 0; i < 2; ++i) {
      const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * i));
      const __m256i next = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * i + 1));
      const __m256i after_next = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * i + 2));
      feeds |= std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(bytes, line_feed)))}
               << (32 * i);
      high |= std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(bytes))} << (32 * i);
      const __m256i low = _mm256_cmpeq_epi8(_mm256_min_epu8(bytes, three), bytes);
      specials = _mm256_or_si256(specials, _mm256_or_si256(low, _mm256_or_si256(_mm256_cmpeq_epi8(bytes, sub),
                                                                               _mm256_cmpeq_epi8(bytes, at))));
      const __m256i lone_cr =
          _mm256_andnot_si256(_mm256_cmpeq_epi8(next, line_feed), _mm256_cmpeq_epi8(bytes, carriage_return));
      specials = _mm256_or_si256(specials, lone_cr);
      const __m256i field_end =
          _mm256_or_si256(_mm256_cmpeq_epi8(next, two),
                          _mm256_andnot_si256(_mm256_cmpeq_epi8(after_next, one), _mm256_cmpeq_epi8(next, six)));
      const __m256i framing = _mm256_or_si256(_mm256_cmpeq_epi8(bytes, brace), _mm256_cmpeq_epi8(bytes, dash));
      const __m256i looks =
          _mm256_or_si256(framing, _mm256_and_si256(_mm256_cmpeq_epi8(bytes, colon), field_end));
      look |= std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(looks))} << (32 * i);
    }
    add_block(out, k, bit, feeds, high, look, static_cast<unsigned>(__builtin_popcountll(feeds)), starts_line);
    out.maybe_special |= _mm256_testz_si256(specials, specials) == 0 ? bit : 0;
  }
}

}  // namespace tallyfold::detail
#endif
