// Counting the set bits of a word without a library call. The build's target is plain
// x86-64, whose baseline lacks the popcnt instruction: there std::popcount becomes a call
// into the compiler's runtime, which costs more than the few bits a parse counts at a
// time. Where the target has the instruction, it is used.
#pragma once

#include <bit>
#include <cstdint>

namespace tallyfold::detail {

constexpr int popcount64(std::uint64_t x) noexcept {
#if defined(__POPCNT__) || !(defined(__x86_64__) || defined(__i386__))
  return std::popcount(x);
#else
  // Bits summed in pairs, nibbles and bytes, the bytes added up by one multiplication.
  x -= (x >> 1) & 0x5555555555555555u;
  x = (x & 0x3333333333333333u) + ((x >> 2) & 0x3333333333333333u);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
  return static_cast<int>((x * 0x0101010101010101u) >> 56);
#endif
}

}  // namespace tallyfold::detail
