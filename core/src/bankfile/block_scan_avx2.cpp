#include "bankfile/block_scan.hpp"

#if defined(TALLYFOLD_AVX2_SCAN)
#include <immintrin.h>

namespace tallyfold::detail {
namespace {

// The bytes of a block that may hold a rare byte are put in their classes by two table
// lookups, one by the low and one by the high nibble: a class is the bits both lookups
// give. A class is thus a set of low nibbles times a set of high nibbles.
constexpr char kHigh = 0x01;     // 0x80 to 0xFF
constexpr char kControl = 0x02;  // 0x01 and 0x03
constexpr char kSub = 0x04;      // 0x1A
constexpr char kAt = 0x08;       // '@'
constexpr char kNul = 0x10;
constexpr char kReturn = 0x20;   // '\r'
constexpr char kRare = kHigh | kControl | kSub | kAt | kNul | kReturn;

// By low nibble.
constexpr char kLow[16] = {kHigh | kAt | kNul, kHigh | kControl, kHigh, kHigh | kControl,
                           kHigh, kHigh, kHigh, kHigh, kHigh, kHigh,
                           kHigh | kSub,  // 0xA: 0x1A
                           kHigh, kHigh,
                           kHigh | kReturn,  // 0xD: '\r'
                           kHigh, kHigh};
// By high nibble.
constexpr char kHighNibble[16] = {kControl | kNul | kReturn, kSub, 0, 0, kAt, 0, 0, 0,
                                  kHigh, kHigh, kHigh, kHigh, kHigh, kHigh, kHigh, kHigh};

// The byte that may open a line needing a look, by low nibble: ':', '{', '-'; for the
// other nibbles a byte whose low nibble differs, which no byte looked up by it equals.
constexpr char kOpeners[16] = {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, ':', '{', 0, '-', 0, 0};

// The loop over the blocks, which decides the common block in a few instructions per
// 32 bytes and one test for rare bytes (bytes not ASCII, control bytes, '@', carriage
// returns unless kReturns), giving the blocks that may hold one. With kReturns it
// tells the carriage returns itself, the lone ones among them: in a file whose lines
// end in them every block holds one, and would be sent to the sorting of rare bytes.
// Two loops, as a test in one would be made a select and cost other files its steps.
template <bool kReturns>
__attribute__((target("avx2,popcnt"))) std::uint64_t scan_loop(const char* text, std::size_t count,
                                                                Blocks& out) noexcept {
  // Lambdas would not inherit the target: everything is written out.
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  const __m256i line_feed = _mm256_set1_epi8('\n');
  const __m256i space = _mm256_set1_epi8(' ');
  const __m256i at = _mm256_set1_epi8('@');
  const __m256i sign = _mm256_set1_epi8(static_cast<char>(0x80));
  const __m256i brace = _mm256_set1_epi8('{');
  const __m256i carriage_return = _mm256_set1_epi8('\r');
  __m256i braces = _mm256_setzero_si256();  // whether any block holds a '{'
  const __m256i openers = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(kOpeners)));
  const __m256i four = _mm256_set1_epi8(4);
  const __m256i six = _mm256_set1_epi8('6');
  const __m256i digit_one = _mm256_set1_epi8('1');
  std::uint64_t starts_line = 1;
  unsigned lines = 0;
  // bit k: block k may hold a rare byte: one below the blank but the line feed (and the
  // carriage return, with kReturns; signed, so every byte beyond ASCII with them), or
  // '@'. Sorted out after the loop, block by block: which blocks hold one is a branch
  // no predictor learns.
  std::uint64_t rare_blocks = 0;
  __m256i returns = _mm256_setzero_si256();
  __m256i lone_returns = _mm256_setzero_si256();
  for (std::size_t k = 0; k < count; ++k) {
    const char* p = text + 64 * k;
    prefetch_ahead(p);
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
    const __m256i low_a = _mm256_and_si256(a, nibble);
    const __m256i low_b = _mm256_and_si256(b, nibble);
    const __m256i feed_a = _mm256_cmpeq_epi8(a, line_feed);
    const __m256i feed_b = _mm256_cmpeq_epi8(b, line_feed);
    const std::uint64_t feeds = std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(feed_a))} |
                                std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(feed_b))} << 32;
    // needs_look at every byte: an opener, but for a colon only where the next byte is
    // '2' or '6' ('| 4' takes both) and the one after it not '1'; the bytes one and two
    // further on are loaded as they stand, at most two past the block.
    const __m256i next_a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 1));
    const __m256i next_b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 33));
    const __m256i tag_a = _mm256_andnot_si256(
        _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 2)), digit_one),
        _mm256_cmpeq_epi8(_mm256_or_si256(next_a, four), six));
    const __m256i tag_b = _mm256_andnot_si256(
        _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 34)), digit_one),
        _mm256_cmpeq_epi8(_mm256_or_si256(next_b, four), six));
    // Of the openers, the colon alone has the low nibble 0xA, the line feed's.
    const __m256i needed_a = _mm256_andnot_si256(_mm256_andnot_si256(tag_a, _mm256_cmpeq_epi8(low_a, line_feed)),
                                                 _mm256_cmpeq_epi8(_mm256_shuffle_epi8(openers, low_a), a));
    const __m256i needed_b = _mm256_andnot_si256(_mm256_andnot_si256(tag_b, _mm256_cmpeq_epi8(low_b, line_feed)),
                                                 _mm256_cmpeq_epi8(_mm256_shuffle_epi8(openers, low_b), b));
    const std::uint64_t needed = std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(needed_a))} |
                                 std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(needed_b))} << 32;
    add_block(out, k, feeds, needed, static_cast<unsigned>(__builtin_popcountll(feeds)), lines, starts_line);
    // The bytes below the blank that are no rare bytes.
    __m256i plain_a = feed_a;
    __m256i plain_b = feed_b;
    if constexpr (kReturns) {
      const __m256i return_a = _mm256_cmpeq_epi8(a, carriage_return);
      const __m256i return_b = _mm256_cmpeq_epi8(b, carriage_return);
      returns = _mm256_or_si256(returns, _mm256_or_si256(return_a, return_b));
      // A lone one: the byte after it, loaded above, is no line feed.
      lone_returns = _mm256_or_si256(
          lone_returns, _mm256_or_si256(_mm256_andnot_si256(_mm256_cmpeq_epi8(next_a, line_feed), return_a),
                                        _mm256_andnot_si256(_mm256_cmpeq_epi8(next_b, line_feed), return_b)));
      plain_a = _mm256_or_si256(plain_a, return_a);
      plain_b = _mm256_or_si256(plain_b, return_b);
    }
    // A byte below the blank, signed, is one whose saturated difference to it is
    // negative: the sign bits tell.
    const __m256i rare = _mm256_or_si256(
        _mm256_or_si256(_mm256_andnot_si256(plain_a, _mm256_subs_epi8(a, space)), _mm256_cmpeq_epi8(a, at)),
        _mm256_or_si256(_mm256_andnot_si256(plain_b, _mm256_subs_epi8(b, space)), _mm256_cmpeq_epi8(b, at)));
    rare_blocks |= std::uint64_t{_mm256_testz_si256(rare, sign) == 0} << k;
    braces = _mm256_or_si256(braces, _mm256_or_si256(_mm256_cmpeq_epi8(a, brace), _mm256_cmpeq_epi8(b, brace)));
  }
  out.brace = _mm256_testz_si256(braces, braces) == 0;
  if constexpr (kReturns) {
    out.lone_carriage_return = _mm256_testz_si256(lone_returns, lone_returns) == 0;
    out.returns_ahead = _mm256_testz_si256(returns, returns) == 0;
  }
  return rare_blocks;
}

}  // namespace

// What scan_blocks_scalar finds: scan_loop, then the rare bytes sorted out in the blocks
// that hold them. Built for AVX2 whatever the build's target, and called only where the
// processor has it.
__attribute__((target("avx2,popcnt"))) void scan_blocks_avx2(const char* text, std::size_t count, Blocks& out) noexcept {
  // Carriage returns in the batch before: the loop tells them (see scan_loop).
  const bool returns_in_loop = out.returns_ahead;
  start_blocks(out);
  out.returns_ahead = false;
  std::uint64_t rare_blocks =
      returns_in_loop ? scan_loop<true>(text, count, out) : scan_loop<false>(text, count, out);
  if (rare_blocks == 0) return;
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  const __m256i low_table = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(kLow)));
  const __m256i high_table =
      _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(kHighNibble)));
  for (; rare_blocks != 0; rare_blocks &= rare_blocks - 1) {
    const auto k = static_cast<std::size_t>(__builtin_ctzll(rare_blocks));
    const char* p = text + 64 * k;
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
    const __m256i class_a =
        _mm256_and_si256(_mm256_shuffle_epi8(low_table, _mm256_and_si256(a, nibble)),
                         _mm256_shuffle_epi8(high_table, _mm256_and_si256(_mm256_srli_epi16(a, 4), nibble)));
    const __m256i class_b =
        _mm256_and_si256(_mm256_shuffle_epi8(low_table, _mm256_and_si256(b, nibble)),
                         _mm256_shuffle_epi8(high_table, _mm256_and_si256(_mm256_srli_epi16(b, 4), nibble)));
    const __m256i classes = _mm256_or_si256(class_a, class_b);
    const std::uint64_t bit = std::uint64_t{1} << k;
    if (_mm256_testz_si256(classes, _mm256_set1_epi8(kHigh)) == 0) {
      // Signed compares: 0x80 to 0xBF are below -64, 0xC2 to 0xDF between -63 and -32.
      const __m256i below_leads = _mm256_set1_epi8('\xc0');
      const __m256i above_c1 = _mm256_set1_epi8('\xc1');
      const __m256i past_leads = _mm256_set1_epi8('\xe0');
      const std::uint64_t high = std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(a))} |
                                 std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(b))} << 32;
      const std::uint64_t leads =
          std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(
              _mm256_and_si256(_mm256_cmpgt_epi8(a, above_c1), _mm256_cmpgt_epi8(past_leads, a))))} |
          std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(
              _mm256_and_si256(_mm256_cmpgt_epi8(b, above_c1), _mm256_cmpgt_epi8(past_leads, b))))}
              << 32;
      const std::uint64_t continuations =
          std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpgt_epi8(below_leads, a)))} |
          std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpgt_epi8(below_leads, b)))}
              << 32;
      add_high(out, k, high, leads, continuations);
    }
    // Bytes beyond ASCII come in many files; the others in few.
    if (_mm256_testz_si256(classes, _mm256_set1_epi8(kRare & ~kHigh)) != 0) continue;
    out.special |= _mm256_testz_si256(classes, _mm256_set1_epi8(kControl | kSub | kAt)) == 0 ? bit : 0;
    out.nul |= _mm256_testz_si256(classes, _mm256_set1_epi8(kNul)) == 0;
    // Told in the loop already when it told them.
    if (!returns_in_loop && _mm256_testz_si256(classes, _mm256_set1_epi8(kReturn)) == 0) {
      out.returns_ahead = true;
      const __m256i carriage_return = _mm256_set1_epi8('\r');
      const std::uint64_t returns =
          std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(a, carriage_return)))} |
          std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(b, carriage_return)))}
              << 32;
      out.lone_carriage_return |= has_lone_return(p, out.feeds[k], returns);
    }
  }
}

}  // namespace tallyfold::detail
#endif
