// Where one byte occurs in a text, found 64 bytes at a time as bits: a decoder that looks
// at every slash of a :86: text walks the bits instead of searching again from each
// slash, a library call whose setup costs more than the few bytes it passes.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tallyfold::detail {

class ByteBits {
 public:
  static constexpr std::size_t npos = std::string_view::npos;

  ByteBits(std::string_view text, char byte) noexcept : text_(text), byte_(byte) {
    bits_ = text.empty() ? 0 : block_bits(0);
  }

  /// The position of the next occurrence, in text order, or npos after the last.
  std::size_t next() noexcept {
    while (bits_ == 0) {
      block_ += 64;
      if (block_ >= text_.size()) return npos;
      bits_ = block_bits(block_);
    }
    const std::size_t at = block_ + static_cast<std::size_t>(std::countr_zero(bits_));
    bits_ &= bits_ - 1;
    return at;
  }

  /// Bit i for `byte` at `at + i` in `text`, for the up to 64 bytes from `at` (less than
  /// the text's size), and whether those bytes hold a line break ("\n" or "\r"), added
  /// to `line_break`: a reader that joins lines learns it in the same loads. Reads no
  /// byte outside the text, as below.
  static std::uint64_t block_bits(std::string_view text, std::size_t at, char byte, bool& line_break) noexcept {
    return bits_of_block<true>(text, at, byte, &line_break);
  }

 private:
  // Bit i for the byte at `at + i`, for the up to 64 bytes from `at`, and with
  // `kBreaks` whether they hold a line break. Reads no byte outside the text: the last
  // 16 bytes are loaded where the text ends and shifted into place.
  template <bool kBreaks>
  static std::uint64_t bits_of_block(std::string_view text, std::size_t at, char byte, bool* line_break) noexcept {
    const std::size_t n = text.size() - at < 64 ? text.size() - at : 64;
    const char* p = text.data() + at;
    std::uint64_t bits = 0;
#if defined(__SSE2__)
    if (text.size() >= 16) {
      const __m128i wanted = _mm_set1_epi8(byte);
      __m128i breaks = _mm_setzero_si128();
      const auto bits_of = [wanted, &breaks](const char* from) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
        if constexpr (kBreaks) {
          breaks = _mm_or_si128(breaks, _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n')),
                                                     _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\r'))));
        }
        return static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, wanted)));
      };
      std::size_t i = 0;
      for (; n - i >= 16; i += 16) bits |= std::uint64_t{bits_of(p + i)} << i;
      if (i < n) {
        const std::size_t again = 16 - (n - i);  // bytes before p + i loaded once more
        bits |= std::uint64_t{bits_of(p + i - again) >> again} << i;
      }
      // Bytes loaded once more lie in the text all the same: a break there is one.
      if constexpr (kBreaks) *line_break = *line_break || _mm_movemask_epi8(breaks) != 0;
      return bits;
    }
#endif
    for (std::size_t i = 0; i < n; ++i) {
      bits |= std::uint64_t{p[i] == byte} << i;
      if constexpr (kBreaks) *line_break = *line_break || p[i] == '\n' || p[i] == '\r';
    }
    return bits;
  }

  std::uint64_t block_bits(std::size_t at) const noexcept { return bits_of_block<false>(text_, at, byte_, nullptr); }

  std::string_view text_;
  char byte_;
  std::size_t block_ = 0;
  std::uint64_t bits_ = 0;
};

}  // namespace tallyfold::detail
