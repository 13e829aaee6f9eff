// Short copies without a library call: the texts the writers and the camt reading copy
// are mostly a few bytes to a few dozen, where memcpy's dispatch on the size costs more
// than the bytes, and an inlined copy keeps each call site's branch history for the sizes
// it meets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tallyfold::detail {

/// Copies n <= 16 bytes with loads and stores of a fixed size that stay within both
/// texts: two that meet or overlap in the middle. The ranges do not overlap.
[[gnu::always_inline]] inline void copy_at_most_16(char* to, const char* from, std::size_t n) noexcept {
  if (n >= 8) {
    std::uint64_t a;
    std::uint64_t b;
    std::memcpy(&a, from, 8);
    std::memcpy(&b, from + n - 8, 8);
    std::memcpy(to, &a, 8);
    std::memcpy(to + n - 8, &b, 8);
  } else if (n >= 4) {
    std::uint32_t a;
    std::uint32_t b;
    std::memcpy(&a, from, 4);
    std::memcpy(&b, from + n - 4, 4);
    std::memcpy(to, &a, 4);
    std::memcpy(to + n - 4, &b, 4);
  } else if (n > 0) {
    to[0] = from[0];
    to[n / 2] = from[n / 2];
    to[n - 1] = from[n - 1];
  }
}

/// Copies n bytes of any size; where the copy ends. Sixteen bytes a step, the last step
/// overlapping the one before, and shorter texts as copy_at_most_16: no byte outside
/// either range is touched. The ranges do not overlap.
[[gnu::always_inline]] inline char* copy_short(char* to, const char* from, std::size_t n) noexcept {
  if (n >= 16) {
    for (std::size_t i = 0; n - i > 16; i += 16) std::memcpy(to + i, from + i, 16);
    std::memcpy(to + n - 16, from + n - 16, 16);
  } else {
    copy_at_most_16(to, from, n);
  }
  return to + n;
}

#if defined(__SSE2__)
/// Copies `n` bytes from `s` to `to` and hands `look` sixteen-byte vectors that hold
/// every byte of the text, some perhaps twice, and nothing else: overlapping loads for
/// the last step and for texts under sixteen bytes, so that no byte outside the text is
/// read or outside its copy written.
template <typename Look>
inline void copy_looking(const char* s, std::size_t n, char* to, Look&& look) noexcept {
  if (n >= 16) {
    std::size_t i = 0;
    for (; n - i > 16; i += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(to + i), v);
      look(v);
    }
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + n - 16));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to + n - 16), v);
    look(v);
  } else if (n >= 8) {
    const __m128i a = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(s));
    const __m128i b = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(s + n - 8));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(to), a);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(to + n - 8), b);
    look(_mm_unpacklo_epi64(a, b));
  } else if (n >= 4) {
    std::uint32_t a, b;
    std::memcpy(&a, s, 4);
    std::memcpy(&b, s + n - 4, 4);
    std::memcpy(to, &a, 4);
    std::memcpy(to + n - 4, &b, 4);
    const __m128i ab = _mm_unpacklo_epi32(_mm_cvtsi32_si128(static_cast<int>(a)), _mm_cvtsi32_si128(static_cast<int>(b)));
    look(_mm_unpacklo_epi64(ab, ab));
  } else if (n > 0) {
    // The first, middle and last byte cover a text of up to three.
    const auto first = static_cast<unsigned char>(s[0]);
    const auto middle = static_cast<unsigned char>(s[n / 2]);
    const auto last = static_cast<unsigned char>(s[n - 1]);
    to[0] = static_cast<char>(first);
    to[n / 2] = static_cast<char>(middle);
    to[n - 1] = static_cast<char>(last);
    const std::uint32_t four = first | middle << 8 | last << 16 | std::uint32_t{first} << 24;
    look(_mm_shuffle_epi32(_mm_cvtsi32_si128(static_cast<int>(four)), 0));
  }
}
#endif

}  // namespace tallyfold::detail
