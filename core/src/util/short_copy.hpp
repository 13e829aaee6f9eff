// Short copies without a library call: the texts the writers and the camt reading copy
// are mostly a few bytes to a few dozen, where memcpy's dispatch on the size costs more
// than the bytes, and an inlined copy keeps each call site's branch history for the sizes
// it meets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

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

}  // namespace tallyfold::detail
