// The UTF-8 scans that run over whole files, a block of bytes at a time.
#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>

#include "util/utf8.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tallyfold {

std::size_t detail::find_high_byte(std::string_view bytes, std::size_t from) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = from;
  // Statement files are nearly all ASCII, and a non-ASCII letter comes every few hundred
  // bytes at most: skip 64 bytes at a time, then find the byte in its 16.
#if defined(__SSE2__)
  const auto load = [p](std::size_t at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at)); };
  for (; n - i >= 64; i += 64) {
    const __m128i any =
        _mm_or_si128(_mm_or_si128(load(i), load(i + 16)), _mm_or_si128(load(i + 32), load(i + 48)));
    if (_mm_movemask_epi8(any) != 0) break;
  }
  for (; n - i >= 16; i += 16) {
    if (const auto high = static_cast<unsigned>(_mm_movemask_epi8(load(i))); high != 0) {
      return i + static_cast<std::size_t>(std::countr_zero(high));
    }
  }
#endif
  for (; n - i >= 8; i += 8) {
    std::uint64_t block;
    std::memcpy(&block, p + i, 8);
    if (block & 0x8080808080808080ull) break;
  }
  while (i < n && p[i] < 0x80) ++i;
  return i;
}

std::optional<std::size_t> find_invalid_utf8(std::string_view bytes) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
#if defined(__SSE2__)
  // 64 bytes at a time; a window with non-ASCII bytes is checked sequence by sequence
  // from its mask, so text with a letter every few words is not searched again from
  // each letter.
  const auto load = [p](std::size_t at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at)); };
  while (n - i >= 64) {
    const __m128i a = load(i), b = load(i + 16), c = load(i + 32), d = load(i + 48);
    if (_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d))) == 0) {
      i += 64;
      continue;
    }
    std::uint64_t high = static_cast<std::uint32_t>(_mm_movemask_epi8(a)) |
                         std::uint64_t{static_cast<std::uint32_t>(_mm_movemask_epi8(b))} << 16 |
                         std::uint64_t{static_cast<std::uint32_t>(_mm_movemask_epi8(c))} << 32 |
                         std::uint64_t{static_cast<std::uint32_t>(_mm_movemask_epi8(d))} << 48;
    std::size_t next = i + 64;
    while (high != 0) {
      const std::size_t at = i + static_cast<std::size_t>(std::countr_zero(high));
      const std::size_t length = detail::utf8_sequence_length(p + at, n - at);
      if (length == 0) return at;
      if (at + length >= next) {
        next = at + length;  // the last sequence of the window, perhaps reaching into the next
        break;
      }
      high &= ~std::uint64_t{0} << (at + length - i);
    }
    i = next;
  }
#endif
  while (i < n) {
    i = detail::find_high_byte(bytes, i);
    if (i == n) break;
    const std::size_t length = detail::utf8_sequence_length(p + i, n - i);
    if (length == 0) return i;
    i += length;
  }
  return std::nullopt;
}

}  // namespace tallyfold
